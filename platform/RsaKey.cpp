#include "platform/RsaKey.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include "platform/ControlChars.h"
#include "platform/Hex.h"
#include "platform/KeyBlob.h"

void EvpPkeyDeleter::operator()(evp_pkey_st* key) const {
    EVP_PKEY_free(key);
}

namespace {
struct PkeyCtxDeleter {
    void operator()(EVP_PKEY_CTX* ctx) const { EVP_PKEY_CTX_free(ctx); }
};
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxDeleter>;

struct BioDeleter {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
using BioPtr = std::unique_ptr<BIO, BioDeleter>;

struct BnDeleter {
    void operator()(BIGNUM* bn) const { BN_free(bn); }
};
using BnPtr = std::unique_ptr<BIGNUM, BnDeleter>;

struct ParamBldDeleter {
    void operator()(OSSL_PARAM_BLD* bld) const { OSSL_PARAM_BLD_free(bld); }
};
struct ParamDeleter {
    void operator()(OSSL_PARAM* params) const { OSSL_PARAM_free(params); }
};

constexpr size_t kRsaPubKeySize = 12;
constexpr uint32_t kRsa1Magic = 0x31415352; // "RSA1"

// Strict hex: both cases, nothing else. A DC1 ... DC2 frame around it is allowed.
bool DecodeHexText(const std::string& text, std::vector<uint8_t>* bytes) {
    std::string hex = text;
    if (!hex.empty() && hex.front() == kCharDC1) {
        hex.erase(0, 1);
        if (hex.empty() || hex.back() != kCharDC2) {
            return false;
        }
        hex.pop_back();
    }
    return HexDecode(hex, *bytes);
}

// OpenSSL must never stop to ask a terminal for a pass phrase: an encrypted file is simply not our key.
int RefusePassphrase(char*, int, int, void*) {
    return -1;
}

} // namespace

CRsaKey::CRsaKey(const CRsaKey& other) {
    *this = other;
}

CRsaKey& CRsaKey::operator=(const CRsaKey& other) {
    if (this != &other) {
        if (other.m_Key && EVP_PKEY_up_ref(other.m_Key.get()) == 1) {
            m_Key.reset(other.m_Key.get());
        } else {
            m_Key.reset();
        }
    }
    return *this;
}

CryptStatus CRsaKey::Generate(unsigned bits, CRsaKey* key) {
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), static_cast<int>(bits)) != 1) {
        return ClearedFailure(kCryptFail);
    }
    BnPtr exponent(BN_new());
    if (!exponent || BN_set_word(exponent.get(), RSA_F4) != 1 ||
        EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx.get(), exponent.get()) != 1) {
        return ClearedFailure(kCryptFail);
    }
    EVP_PKEY* raw = nullptr;
    if (EVP_PKEY_generate(ctx.get(), &raw) != 1) {
        return ClearedFailure(kCryptFail);
    }
    *key = CRsaKey(raw);
    return kCryptOk;
}

CryptStatus CRsaKey::FromPrivatePem(const std::string& pem, CRsaKey* key) {
    // A memory BIO takes an int length; a negative one would make it read up to a zero byte instead.
    if (pem.size() > kMaxKeyFileBytes) {
        return kCryptBadKeyState;
    }
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (!bio) {
        return kCryptFail;
    }
    std::unique_ptr<EVP_PKEY, EvpPkeyDeleter> parsed(
        PEM_read_bio_PrivateKey(bio.get(), nullptr, RefusePassphrase, nullptr));
    ERR_clear_error();
    if (!parsed || EVP_PKEY_get_base_id(parsed.get()) != EVP_PKEY_RSA) {
        return kCryptBadKeyState;
    }
    // A damaged file can still parse into numbers that do not make a key; such a key would only garble blobs.
    PkeyCtxPtr check(EVP_PKEY_CTX_new_from_pkey(nullptr, parsed.get(), nullptr));
    if (!check || EVP_PKEY_private_check(check.get()) != 1 || EVP_PKEY_pairwise_check(check.get()) != 1) {
        ERR_clear_error();
        return kCryptBadKeyState;
    }
    *key = CRsaKey(parsed.release());
    return kCryptOk;
}

CryptStatus CRsaKey::FromPublicKeyBlob(const uint8_t* blob, size_t length, CRsaKey* key) {
    if (const CryptStatus status = CheckBlobStart(blob, length, kBlobHeaderSize + kRsaPubKeySize, kPublicKeyBlob);
        status != kCryptOk) {
        return status;
    }
    if (GetLe32(blob + 4) != kCalgRsaKeyx) {
        return kCryptBadAlgId;
    }
    if (GetLe32(blob + 8) != kRsa1Magic) {
        return kCryptBadData;
    }
    const uint32_t bits = GetLe32(blob + 12);
    const uint32_t exponentValue = GetLe32(blob + 16);
    if (bits < kMinBlobBits || bits > kMaxBlobBits || exponentValue < 3 || exponentValue % 2 == 0) {
        return kCryptBadData;
    }
    const size_t modulusBytes = (bits + 7) / 8;
    if (length != kBlobHeaderSize + kRsaPubKeySize + modulusBytes) {
        return kCryptBadLen;
    }
    BnPtr modulus(BN_lebin2bn(blob + kBlobHeaderSize + kRsaPubKeySize, static_cast<int>(modulusBytes), nullptr));
    BnPtr exponent(BN_new());
    if (!modulus || !exponent || BN_set_word(exponent.get(), exponentValue) != 1) {
        return ClearedFailure(kCryptFail);
    }
    if (static_cast<uint32_t>(BN_num_bits(modulus.get())) != bits) {
        return kCryptBadData;
    }
    std::unique_ptr<OSSL_PARAM_BLD, ParamBldDeleter> builder(OSSL_PARAM_BLD_new());
    if (!builder || OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_N, modulus.get()) != 1 ||
        OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_E, exponent.get()) != 1) {
        return ClearedFailure(kCryptFail);
    }
    std::unique_ptr<OSSL_PARAM, ParamDeleter> params(OSSL_PARAM_BLD_to_param(builder.get()));
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY* raw = nullptr;
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &raw, EVP_PKEY_PUBLIC_KEY, params.get()) != 1) {
        ERR_clear_error();
        return kCryptBadData;
    }
    *key = CRsaKey(raw);
    return kCryptOk;
}

CryptStatus CRsaKey::FromPublicKeyText(const std::string& text, CRsaKey* key) {
    std::vector<uint8_t> blob;
    if (!DecodeHexText(text, &blob)) {
        return kCryptBadData;
    }
    return FromPublicKeyBlob(blob.data(), blob.size(), key);
}

unsigned CRsaKey::Bits() const {
    return m_Key ? static_cast<unsigned>(EVP_PKEY_get_bits(m_Key.get())) : 0;
}

CryptStatus CRsaKey::ToPrivatePem(std::string* pem) const {
    if (!m_Key) {
        return kCryptBadKey;
    }
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PKCS8PrivateKey(bio.get(), m_Key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
        ERR_clear_error();
        return kCryptBadKey;
    }
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    if (size <= 0 || data == nullptr) {
        return kCryptFail;
    }
    pem->assign(data, static_cast<size_t>(size));
    return kCryptOk;
}

CryptStatus CRsaKey::ExportPublicKeyBlob(std::vector<uint8_t>* blob) const {
    if (!m_Key) {
        return kCryptBadKey;
    }
    BIGNUM* rawModulus = nullptr;
    BIGNUM* rawExponent = nullptr;
    EVP_PKEY_get_bn_param(m_Key.get(), OSSL_PKEY_PARAM_RSA_N, &rawModulus);
    EVP_PKEY_get_bn_param(m_Key.get(), OSSL_PKEY_PARAM_RSA_E, &rawExponent);
    BnPtr modulus(rawModulus);
    BnPtr exponent(rawExponent);
    if (!modulus || !exponent) {
        ERR_clear_error();
        return kCryptBadKey;
    }
    // The blob has 32 bits for the exponent.
    if (BN_num_bits(exponent.get()) > 32) {
        return kCryptBadKey;
    }
    const uint32_t bits = static_cast<uint32_t>(BN_num_bits(modulus.get()));
    const size_t modulusBytes = (bits + 7) / 8;
    StartBlob(*blob, kPublicKeyBlob);
    PutLe32(*blob, kCalgRsaKeyx);
    PutLe32(*blob, kRsa1Magic);
    PutLe32(*blob, bits);
    PutLe32(*blob, static_cast<uint32_t>(BN_get_word(exponent.get())));
    const size_t start = blob->size();
    blob->resize(start + modulusBytes);
    if (BN_bn2lebinpad(modulus.get(), blob->data() + start, static_cast<int>(modulusBytes)) < 0) {
        blob->clear();
        return ClearedFailure(kCryptFail);
    }
    return kCryptOk;
}

CryptStatus CRsaKey::PublicEncryptPkcs1(const uint8_t* data, size_t length, std::vector<uint8_t>* cipher) const {
    if (!m_Key) {
        return kCryptBadKey;
    }
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, m_Key.get(), nullptr));
    size_t outLength = 0;
    if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_encrypt(ctx.get(), nullptr, &outLength, data, length) != 1) {
        ERR_clear_error();
        return kCryptFail;
    }
    cipher->assign(outLength, 0);
    if (EVP_PKEY_encrypt(ctx.get(), cipher->data(), &outLength, data, length) != 1) {
        ERR_clear_error();
        cipher->clear();
        return kCryptBadLen;
    }
    cipher->resize(outLength);
    return kCryptOk;
}

CryptStatus CRsaKey::PrivateDecryptPkcs1(const uint8_t* cipher, size_t length, std::vector<uint8_t>* data) const {
    if (!m_Key) {
        return kCryptBadKey;
    }
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, m_Key.get(), nullptr));
    if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1) {
        ERR_clear_error();
        return kCryptFail;
    }
#ifdef OSSL_ASYM_CIPHER_PARAM_IMPLICIT_REJECTION
    // Newer libraries answer bad padding with a made-up message; the protocol wants bad blobs refused.
    unsigned int implicitRejection = 0;
    OSSL_PARAM params[] = {OSSL_PARAM_construct_uint(OSSL_ASYM_CIPHER_PARAM_IMPLICIT_REJECTION, &implicitRejection),
                           OSSL_PARAM_construct_end()};
    if (EVP_PKEY_CTX_set_params(ctx.get(), params) != 1) {
        ERR_clear_error();
        return kCryptFail;
    }
#endif
    size_t outLength = ModulusBytes();
    std::vector<uint8_t> plain(outLength);
    if (EVP_PKEY_decrypt(ctx.get(), plain.data(), &outLength, cipher, length) != 1) {
        ERR_clear_error();
        OPENSSL_cleanse(plain.data(), plain.size());
        return kCryptBadData;
    }
    data->assign(plain.begin(), plain.begin() + static_cast<std::ptrdiff_t>(outLength));
    OPENSSL_cleanse(plain.data(), plain.size());
    return kCryptOk;
}
