#include "platform/Md5Hash.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>

void EvpMdCtxDeleter::operator()(evp_md_ctx_st* ctx) const {
    EVP_MD_CTX_free(ctx);
}

CryptStatus CMd5Hash::Create() {
    m_Ctx.reset(EVP_MD_CTX_new());
    m_Finished = false;
    if (!m_Ctx || EVP_DigestInit_ex(m_Ctx.get(), EVP_md5(), nullptr) != 1) {
        m_Ctx.reset();
        ERR_clear_error();
        return kCryptFail;
    }
    return kCryptOk;
}

CryptStatus CMd5Hash::HashData(const uint8_t* data, size_t length) {
    if (!m_Ctx) {
        return kCryptBadHash;
    }
    if (m_Finished) {
        return kCryptBadHashState;
    }
    if (length > 0 && (data == nullptr || EVP_DigestUpdate(m_Ctx.get(), data, length) != 1)) {
        return ClearedFailure(kCryptBadData);
    }
    return kCryptOk;
}

CryptStatus CMd5Hash::Finish() {
    if (!m_Ctx) {
        return kCryptBadHash;
    }
    if (!m_Finished) {
        unsigned int size = 0;
        if (EVP_DigestFinal_ex(m_Ctx.get(), m_Digest.data(), &size) != 1 || size != m_Digest.size()) {
            return ClearedFailure(kCryptFail);
        }
        m_Finished = true;
    }
    return kCryptOk;
}

CryptStatus CMd5Hash::DeriveRc4Key(uint32_t flags, CRc4Key* key) {
    const uint32_t bits = flags >> 16;
    if ((bits != 0 && bits != 128) || (flags & 0xFFFF) != 0) {
        return kCryptBadFlags;
    }
    const CryptStatus status = Finish();
    if (status != kCryptOk) {
        return status;
    }
    *key = CRc4Key(m_Digest.data(), m_Digest.size());
    return kCryptOk;
}

CryptStatus CMd5Hash::GetDigest(std::array<uint8_t, 16>* digest) {
    const CryptStatus status = Finish();
    if (status == kCryptOk) {
        *digest = m_Digest;
    }
    return status;
}

void CMd5Hash::Destroy() {
    m_Ctx.reset();
    OPENSSL_cleanse(m_Digest.data(), m_Digest.size());
    m_Finished = false;
}

std::array<uint8_t, 16> CMd5Hash::Digest(const uint8_t* data, size_t length) {
    CMd5Hash hash;
    std::array<uint8_t, 16> digest{};
    if (hash.Create() == kCryptOk && hash.HashData(data, length) == kCryptOk) {
        hash.GetDigest(&digest);
    }
    return digest;
}
