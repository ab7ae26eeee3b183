#pragma once
// MD5 over OpenSSL 3 libcrypto, and the RC4 key derivation of the client protocol.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/CryptStatus.h"
#include "platform/Rc4Key.h"

struct evp_md_ctx_st;

struct EvpMdCtxDeleter {
    void operator()(evp_md_ctx_st* ctx) const;
};

// An MD5 hash object that can become an RC4 key, as the key derivation of the client protocol does it.
// Not thread-safe: one caller uses it.
class CMd5Hash {
public:
    CMd5Hash() = default;
    CryptStatus Create();
    bool Created() const { return static_cast<bool>(m_Ctx); }
    CryptStatus HashData(const uint8_t* data, size_t length);
    // Finishes the hash (no more data may follow) and makes the RC4 key of the first bits / 8 digest bytes,
    // no salt. The bit length is in the upper 16 bits of |flags|; 0 means 128. Only 128-bit keys are made.
    CryptStatus DeriveRc4Key(uint32_t flags, CRc4Key* key);
    // The digest; finishes the hash like DeriveRc4Key.
    CryptStatus GetDigest(std::array<uint8_t, 16>* digest);
    void Destroy();

    static std::array<uint8_t, 16> Digest(const uint8_t* data, size_t length);

private:
    CryptStatus Finish();
    std::unique_ptr<evp_md_ctx_st, EvpMdCtxDeleter> m_Ctx;
    std::array<uint8_t, 16> m_Digest{};
    bool m_Finished = false;
};
