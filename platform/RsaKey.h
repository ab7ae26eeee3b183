#pragma once
// An RSA key-exchange key over OpenSSL 3 libcrypto, and its PEM and public-key blob forms.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/CryptStatus.h"

struct evp_pkey_st;

// Far above the largest private key we could write (about 13 KB for 16384 bits): anything bigger is not ours,
// and reading it whole at start-up would only cost memory.
inline constexpr size_t kMaxKeyFileBytes = 64 * 1024;

struct EvpPkeyDeleter {
    void operator()(evp_pkey_st* key) const;
};

// An RSA key: a private pair or a public key alone. The OpenSSL key is immutable once made, so copies share it
// (reference counted). A const key may be used from several threads at once.
class CRsaKey {
public:
    CRsaKey() = default;
    CRsaKey(const CRsaKey& other);
    CRsaKey& operator=(const CRsaKey& other);
    CRsaKey(CRsaKey&&) noexcept = default;
    CRsaKey& operator=(CRsaKey&&) noexcept = default;

    // A new pair of |bits| bits with public exponent 65537.
    static CryptStatus Generate(unsigned bits, CRsaKey* key);
    // An unencrypted PKCS#8 PEM private key; anything else (encrypted, not RSA, inconsistent numbers) is
    // kCryptBadKeyState.
    static CryptStatus FromPrivatePem(const std::string& pem, CRsaKey* key);
    // The public key of a PUBLICKEYBLOB (06 02 00 00, CALG_RSA_KEYX, "RSA1", bit length, exponent, modulus
    // little-endian).
    static CryptStatus FromPublicKeyBlob(const uint8_t* blob, size_t length, CRsaKey* key);
    // The same from its hex text, upper or lower case, optionally framed by DC1 ... DC2 as the greeting sends it.
    static CryptStatus FromPublicKeyText(const std::string& text, CRsaKey* key);

    bool Empty() const { return !m_Key; }
    unsigned Bits() const;
    size_t ModulusBytes() const { return (Bits() + 7) / 8; }

    CryptStatus ToPrivatePem(std::string* pem) const;
    CryptStatus ExportPublicKeyBlob(std::vector<uint8_t>* blob) const;
    // RSA PKCS#1 v1.5 (type 2) with big-endian ciphertext, as OpenSSL has it.
    CryptStatus PublicEncryptPkcs1(const uint8_t* data, size_t length, std::vector<uint8_t>* cipher) const;
    CryptStatus PrivateDecryptPkcs1(const uint8_t* cipher, size_t length, std::vector<uint8_t>* data) const;

    // For code that must call OpenSSL itself (benchmarks). The key stays owned here.
    evp_pkey_st* Raw() const { return m_Key.get(); }

private:
    explicit CRsaKey(evp_pkey_st* key) : m_Key(key) {}
    std::unique_ptr<evp_pkey_st, EvpPkeyDeleter> m_Key;
};
