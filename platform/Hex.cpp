#include "platform/Hex.h"

namespace {
constexpr char kUpperDigits[] = "0123456789ABCDEF";
constexpr char kLowerDigits[] = "0123456789abcdef";

template <typename Bytes> bool DecodeInto(std::string_view hex, Bytes& bytes, HexAccept accept) {
    if (hex.size() % 2 != 0) {
        return false;
    }
    bytes.clear();
    bytes.reserve(hex.size() / 2);
    for (size_t i = 0; i < hex.size(); i += 2) {
        const int high = HexDigitValue(hex[i], accept);
        const int low = HexDigitValue(hex[i + 1], accept);
        if (high < 0 || low < 0) {
            return false;
        }
        bytes.push_back(static_cast<typename Bytes::value_type>(high << 4 | low));
    }
    return true;
}
} // namespace

void AppendHexByte(std::string& out, uint8_t byte, HexCase letters) {
    const char* digits = letters == HexCase::kUpper ? kUpperDigits : kLowerDigits;
    out += digits[byte >> 4];
    out += digits[byte & 0x0F];
}

std::string HexEncode(const uint8_t* bytes, size_t count, HexCase letters) {
    std::string hex;
    if (bytes == nullptr) {
        return hex;
    }
    hex.reserve(count * 2);
    for (size_t i = 0; i < count; ++i) {
        AppendHexByte(hex, bytes[i], letters);
    }
    return hex;
}

std::string HexEncode(std::string_view bytes, HexCase letters) {
    return HexEncode(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), letters);
}

int HexDigitValue(char c, HexAccept accept) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (accept == HexAccept::kEitherCase && c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

bool HexDecode(std::string_view hex, std::vector<uint8_t>& bytes, HexAccept accept) {
    return DecodeInto(hex, bytes, accept);
}

bool HexDecode(std::string_view hex, std::string& bytes, HexAccept accept) {
    return DecodeInto(hex, bytes, accept);
}
