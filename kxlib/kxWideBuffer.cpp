#include "kxlib/kxWideBuffer.h"

#include "kxlib/kxTextBuffer.h"

kxWideBuffer::kxWideBuffer(const char* text, uint32_t length)
    : m_Data(CopyTextUnits<char16_t>(reinterpret_cast<const unsigned char*>(text), length, m_Length)) {}
