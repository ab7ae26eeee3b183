#pragma once
// The utility library's only exception: a kxString whose text is the message. Thrown by value; the catcher
// copies it as a string and reads its text. Adds no members and no virtual members of its own.

#include "kxlib/kxString.h"

class kxException : public kxString {
public:
    using kxString::kxString;
    kxException(const kxString& message) : kxString(message) {}
};
