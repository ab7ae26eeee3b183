#pragma once
// A kxString whose destructor overwrites its text with zero bytes before the storage is freed, for texts that
// should not linger in freed memory. Same threading rules as kxString.

#include "kxlib/kxString.h"

class kxSecureString : public kxString {
public:
    using kxString::kxString;
    kxSecureString(const kxString& text) : kxString(text) {}
    kxSecureString(const kxSecureString&) = default;
    kxSecureString& operator=(const kxSecureString&) = default;
    ~kxSecureString() override { Clear(true); }
};
