#include "platform/RandomBytes.h"

#include <algorithm>

#include <openssl/err.h>
#include <openssl/rand.h>

CryptStatus GenerateRandomBytes(uint8_t* buffer, size_t length) {
    if (length == 0) {
        return kCryptOk;
    }
    if (buffer == nullptr) {
        return kCryptBadData;
    }
    constexpr size_t kChunk = 1 << 20;
    for (size_t done = 0; done < length;) {
        const size_t n = std::min(kChunk, length - done);
        if (RAND_bytes(buffer + done, static_cast<int>(n)) != 1) {
            ERR_clear_error();
            return kCryptFail;
        }
        done += n;
    }
    return kCryptOk;
}
