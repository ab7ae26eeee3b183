#include "kxlib/kxNarrowBuffer.h"

#include "kxlib/kxTextBuffer.h"

kxNarrowBuffer::kxNarrowBuffer(const char16_t* text, uint32_t length)
    : m_Data(CopyTextUnits<char>(text, length, m_Length)) {}
