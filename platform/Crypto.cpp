#include "platform/Crypto.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include "platform/Files.h"
#include "platform/HexDigit.h"

void EvpPkeyDeleter::operator()(evp_pkey_st* key) const {
    EVP_PKEY_free(key);
}

void EvpMdCtxDeleter::operator()(evp_md_ctx_st* ctx) const {
    EVP_MD_CTX_free(ctx);
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

constexpr size_t kBlobHeaderSize = 8;
constexpr size_t kRsaPubKeySize = 12;
constexpr uint32_t kRsa1Magic = 0x31415352; // "RSA1"
constexpr unsigned kMinBlobBits = 384;
constexpr unsigned kMaxBlobBits = 16384;
constexpr size_t kMinSessionKeyBytes = 5;
constexpr size_t kMaxSessionKeyBytes = 16;
constexpr size_t kSaltedKeyBytes = 16;
// Far above the largest private key we could write (about 13 KB for 16384 bits): anything bigger is not ours,
// and reading it whole at start-up would only cost memory.
constexpr size_t kMaxKeyFileBytes = 64 * 1024;

void PutLe32(std::vector<uint8_t>& out, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

uint32_t GetLe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

// The first four bytes every key blob starts with: its type, the blob version and two reserved zero bytes.
void StartBlob(std::vector<uint8_t>& blob, uint8_t type) {
    blob.clear();
    blob.push_back(type);
    blob.push_back(kCurBlobVersion);
    blob.push_back(0);
    blob.push_back(0);
}

// Checks the length (at least |minLength|) and the first four bytes of a blob of |type|.
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

// Strict hex: both cases, nothing else. A DC1 ... DC2 frame around it is allowed.
bool DecodeHexText(const std::string& text, std::vector<uint8_t>* bytes) {
    std::string hex = text;
    if (!hex.empty() && hex.front() == '\x11') {
        hex.erase(0, 1);
        if (hex.empty() || hex.back() != '\x12') {
            return false;
        }
        hex.pop_back();
    }
    if (hex.size() % 2 != 0) {
        return false;
    }
    bytes->clear();
    bytes->reserve(hex.size() / 2);
    for (size_t i = 0; i < hex.size(); i += 2) {
        const int high = HexDigitValue(hex[i]);
        const int low = HexDigitValue(hex[i + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        bytes->push_back(static_cast<uint8_t>(high << 4 | low));
    }
    return true;
}

// OpenSSL keeps its errors per thread; one left behind here would be read later as a TLS failure of the same
// thread, so every failure path empties the queue.
CryptStatus ClearedFailure(CryptStatus status) {
    ERR_clear_error();
    return status;
}

// OpenSSL must never stop to ask a terminal for a pass phrase: an encrypted file is simply not our key.
int RefusePassphrase(char*, int, int, void*) {
    return -1;
}

CryptStatus StatusFromErrno(int error) {
    return error != 0 ? static_cast<CryptStatus>(error) : kCryptFail;
}

} // namespace

// ---- CRsaKey ----

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

// ---- RC4 ----

CRc4::CRc4(const uint8_t* key, size_t length) {
    for (size_t i = 0; i < m_State.size(); ++i) {
        m_State[i] = static_cast<uint8_t>(i);
    }
    if (length == 0) {
        return;
    }
    uint8_t j = 0;
    for (size_t i = 0; i < m_State.size(); ++i) {
        j = static_cast<uint8_t>(j + m_State[i] + key[i % length]);
        std::swap(m_State[i], m_State[j]);
    }
}

CRc4::~CRc4() {
    OPENSSL_cleanse(m_State.data(), m_State.size());
    m_I = 0;
    m_J = 0;
}

void CRc4::Process(uint8_t* data, size_t length) {
    for (size_t n = 0; n < length; ++n) {
        m_I = static_cast<uint8_t>(m_I + 1);
        m_J = static_cast<uint8_t>(m_J + m_State[m_I]);
        std::swap(m_State[m_I], m_State[m_J]);
        data[n] ^= m_State[static_cast<uint8_t>(m_State[m_I] + m_State[m_J])];
    }
}

CRc4Key::CRc4Key(const uint8_t* key, size_t length) : m_Bytes(key, key + length) {}

CRc4Key::~CRc4Key() {
    Clear();
}

CRc4Key& CRc4Key::operator=(const CRc4Key& other) {
    if (this != &other) {
        Clear();
        m_Bytes = other.m_Bytes;
    }
    return *this;
}

CRc4Key::CRc4Key(CRc4Key&& other) noexcept : m_Bytes(std::move(other.m_Bytes)) {
    other.m_Bytes.clear();
}

CRc4Key& CRc4Key::operator=(CRc4Key&& other) noexcept {
    if (this != &other) {
        Clear();
        m_Bytes = std::move(other.m_Bytes);
        other.m_Bytes.clear();
    }
    return *this;
}

CryptStatus CRc4Key::Crypt(uint8_t* data, size_t length) const {
    if (m_Bytes.empty()) {
        return kCryptBadKey;
    }
    if (length == 0) {
        return kCryptOk;
    }
    if (data == nullptr) {
        return kCryptBadData;
    }
    CRc4 cipher(m_Bytes.data(), m_Bytes.size());
    cipher.Process(data, length);
    return kCryptOk;
}

void CRc4Key::Clear() {
    if (!m_Bytes.empty()) {
        OPENSSL_cleanse(m_Bytes.data(), m_Bytes.size());
    }
    m_Bytes.clear();
}

// ---- MD5 ----

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

// ---- Simple blobs ----

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

// ---- CKeyContainer ----

CKeyContainer::CKeyContainer(std::filesystem::path folder) : m_Folder(std::move(folder)) {}

std::filesystem::path CKeyContainer::KeyFilePath(const std::string& name) const {
    return m_Folder / (name + ".pem");
}

CryptStatus CKeyContainer::Acquire(const std::string& name, uint32_t flags) {
    Release();
    if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..") {
        return kCryptBadKeysetParam;
    }
    const std::filesystem::path file = KeyFilePath(name);
    CryptStatus status;
    switch (flags) {
    case 0:
        status = OpenExisting(file);
        break;
    case kCryptNewKeyset:
        status = CreateEmpty(file);
        break;
    case kCryptDeleteKeyset:
        // Deleting leaves no usable context behind, as callers of the key container expect.
        return MoveAside(file);
    default:
        return kCryptBadFlags;
    }
    if (status == kCryptOk) {
        m_Name = name;
        m_Acquired = true;
    }
    return status;
}

void CKeyContainer::Release() {
    m_ExchangeKey = CRsaKey();
    m_Name.clear();
    m_Acquired = false;
}

CryptStatus CKeyContainer::OpenExisting(const std::filesystem::path& file) {
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0) {
        return errno == ENOENT ? kCryptBadKeyset : kCryptBadKeyState;
    }
    std::string pem;
    if (!S_ISREG(st.st_mode) || static_cast<uintmax_t>(st.st_size) > kMaxKeyFileBytes || !ReadWholeFile(file, &pem)) {
        return kCryptBadKeyState;
    }
    CRsaKey key;
    const CryptStatus status = CRsaKey::FromPrivatePem(pem, &key);
    OPENSSL_cleanse(pem.data(), pem.size());
    if (status != kCryptOk) {
        return kCryptBadKeyState;
    }
    m_ExchangeKey = std::move(key);
    return kCryptOk;
}

CryptStatus CKeyContainer::CreateEmpty(const std::filesystem::path& file) {
    struct stat st {};
    if (::lstat(file.c_str(), &st) == 0) {
        return kCryptExists;
    }
    if (errno != ENOENT) {
        return StatusFromErrno(errno);
    }
    // Private keys live here: whoever made the folder, only we may look into it.
    if (!MakePrivateFolder(m_Folder)) {
        return StatusFromErrno(errno);
    }
    return kCryptOk;
}

CryptStatus CKeyContainer::MoveAside(const std::filesystem::path& file) {
    if (MoveFileAside(file, ".bad")) {
        return kCryptOk;
    }
    return errno == ENOENT ? kCryptBadKeyset : StatusFromErrno(errno);
}

CryptStatus CKeyContainer::GetUserKey(uint32_t keySpec, CRsaKey* key) const {
    if (!m_Acquired) {
        return kCryptBadUid;
    }
    if (keySpec != kAtKeyExchange || m_ExchangeKey.Empty()) {
        return kCryptNoKey;
    }
    *key = m_ExchangeKey;
    return kCryptOk;
}

CryptStatus CKeyContainer::GenKey(uint32_t keySpec, uint32_t flags, CRsaKey* key) {
    if (!m_Acquired) {
        return kCryptBadUid;
    }
    if (keySpec != kAtKeyExchange) {
        return kCryptBadAlgId;
    }
    unsigned bits = flags >> 16;
    if (bits == 0) {
        bits = kDefaultExchangeKeyBits;
    }
    if ((flags & 0xFFFF) != 0 || bits < kMinBlobBits || bits > kMaxBlobBits || bits % 8 != 0) {
        return kCryptBadFlags;
    }
    CRsaKey fresh;
    CryptStatus status = CRsaKey::Generate(bits, &fresh);
    if (status != kCryptOk) {
        return status;
    }
    std::string pem;
    status = fresh.ToPrivatePem(&pem);
    if (status != kCryptOk) {
        return status;
    }
    errno = 0;
    const bool written = WriteFileAtomically(KeyFilePath(m_Name), pem, 0600);
    const int error = errno;
    OPENSSL_cleanse(pem.data(), pem.size());
    if (!written) {
        return StatusFromErrno(error);
    }
    m_ExchangeKey = fresh;
    *key = std::move(fresh);
    return kCryptOk;
}

CryptStatus CKeyContainer::ImportKey(const uint8_t* blob, size_t length, CRc4Key* key) const {
    if (!m_Acquired) {
        return kCryptBadUid;
    }
    return ImportSimpleBlob(m_ExchangeKey, blob, length, key);
}
