#include "kxlib/kxGuid.h"

#include "kxlib/kxException.h"
#include "kxlib/kxFormatString.h"
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
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            delimiter(separator);
        }
        text.Append(kxFormatString("%02X", bytes[i]));
    }
    delimiter(closing);
}
