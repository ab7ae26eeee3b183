#include "platform/SimpleBlob.h"

#include <algorithm>

#include <openssl/crypto.h>

#include "platform/KeyBlob.h"

namespace {

constexpr size_t kMinSessionKeyBytes = 5;
constexpr size_t kMaxSessionKeyBytes = 16;
constexpr size_t kSaltedKeyBytes = 16;

} // namespace

CryptStatus ImportSimpleBlob(const CRsaKey& exchangeKey, const uint8_t* blob, size_t length, CRc4Key* key) {
    if (exchangeKey.Empty()) {
        return kCryptNoKey;
    }
    if (const CryptStatus status = CheckBlobStart(blob, length, kBlobHeaderSize + 4, kSimpleBlob); status != kCryptOk) {
        return status;
    }
    // Only RC4: a block-cipher key would pass here and fail only when the reply is encrypted, after the
    // money has moved.
    if (GetLe32(blob + 4) != kCalgRc4 || GetLe32(blob + 8) != kCalgRsaKeyx) {
        return kCryptBadAlgId;
    }
    const size_t modulusBytes = exchangeKey.ModulusBytes();
    if (length != kBlobHeaderSize + 4 + modulusBytes) {
        return kCryptBadLen;
    }
    std::vector<uint8_t> cipher(blob + kBlobHeaderSize + 4, blob + length);
    std::reverse(cipher.begin(), cipher.end());
    std::vector<uint8_t> plain;
    CryptStatus status = exchangeKey.PrivateDecryptPkcs1(cipher.data(), cipher.size(), &plain);
    if (status == kCryptOk && (plain.size() < kMinSessionKeyBytes || plain.size() > kMaxSessionKeyBytes)) {
        status = kCryptBadData;
    }
    if (status != kCryptOk) {
        if (!plain.empty()) {
            OPENSSL_cleanse(plain.data(), plain.size());
        }
        return status;
    }
    if (plain.size() == kMinSessionKeyBytes) {
        plain.resize(kSaltedKeyBytes, 0); // 40-bit keys carry 11 zero salt bytes
    }
    *key = CRc4Key(plain.data(), plain.size());
    OPENSSL_cleanse(plain.data(), plain.size());
    return kCryptOk;
}

CryptStatus BuildSimpleBlob(const CRsaKey& publicKey, const uint8_t* keyBytes, size_t keyLength,
                            std::vector<uint8_t>* blob) {
    if (publicKey.Empty()) {
        return kCryptBadKey;
    }
    if (keyBytes == nullptr || keyLength < kMinSessionKeyBytes || keyLength > kMaxSessionKeyBytes) {
        return kCryptBadLen;
    }
    std::vector<uint8_t> cipher;
    const CryptStatus status = publicKey.PublicEncryptPkcs1(keyBytes, keyLength, &cipher);
    if (status != kCryptOk) {
        return status;
    }
    std::reverse(cipher.begin(), cipher.end());
    StartBlob(*blob, kSimpleBlob);
    PutLe32(*blob, kCalgRc4);
    PutLe32(*blob, kCalgRsaKeyx);
    blob->insert(blob->end(), cipher.begin(), cipher.end());
    return kCryptOk;
}

CryptStatus BuildSimpleBlobForPublicKeyText(const std::string& publicKeyText, const uint8_t* keyBytes, size_t keyLength,
                                            std::vector<uint8_t>* blob) {
    CRsaKey publicKey;
    const CryptStatus status = CRsaKey::FromPublicKeyText(publicKeyText, &publicKey);
    if (status != kCryptOk) {
        return status;
    }
    return BuildSimpleBlob(publicKey, keyBytes, keyLength, blob);
}
