#include "platform/KeyBlob.h"

void PutLe32(std::vector<uint8_t>& out, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

uint32_t GetLe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

void StartBlob(std::vector<uint8_t>& blob, uint8_t type) {
    blob.clear();
    blob.push_back(type);
    blob.push_back(kCurBlobVersion);
    blob.push_back(0);
    blob.push_back(0);
}

CryptStatus CheckBlobStart(const uint8_t* blob, size_t length, size_t minLength, uint8_t type) {
    if (blob == nullptr || length < minLength) {
        return kCryptBadLen;
    }
    if (blob[0] != type) {
        return kCryptBadType;
    }
    if (blob[1] != kCurBlobVersion) {
        return kCryptBadVersion;
    }
    if (blob[2] != 0 || blob[3] != 0) {
        return kCryptBadData;
    }
    return kCryptOk;
}
