#include "platform/Uuid.h"

#include <sys/random.h>

#include "platform/OsError.h"

bool NewRandomUuid(CUuidBytes& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = RetryOnEintr([&] { return getrandom(bytes.data() + done, bytes.size() - done, 0); });
        if (n < 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40); // version 4
    bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80); // RFC 4122 variant
    return true;
}

std::string UuidText(const CUuidBytes& bytes, char separator, HexCase letters) {
    std::string text;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (separator != '\0' && (i == 4 || i == 6 || i == 8 || i == 10)) {
            text += separator;
        }
        AppendHexByte(text, bytes[i], letters);
    }
    return text;
}
