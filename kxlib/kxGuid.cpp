#include "kxlib/kxGuid.h"

#include "kxlib/kxException.h"
#include "platform/Uuid.h"

void FormatNewGuid(kxString& text, char opening, char closing, char separator) {
    CUuidBytes bytes;
    if (!NewRandomUuid(bytes)) {
        throw kxException("Could not convert a GUID into a String.");
    }
    text.Clear();
    const auto delimiter = [&text](char c) {
        if (c != '\0') {
            text.Append(c);
        }
    };
    delimiter(opening);
    text.Append(UuidText(bytes, separator, HexCase::kUpper).c_str());
    delimiter(closing);
}
