#pragma once
// The key-container crypto the server's clients expect, over OpenSSL 3 libcrypto: an RSA key-exchange pair kept
// in a PEM file, the public-key and simple key blobs of the client protocol, MD5, RC4 and random bytes.
// Every call reports failure as a status code (0 success; a 0x8009xxxx crypto code, or an errno value when the
// operating system refused a file operation), never by throwing.

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

struct evp_pkey_st;
struct evp_md_ctx_st;

using CryptStatus = uint32_t;

inline constexpr CryptStatus kCryptOk = 0;
inline constexpr CryptStatus kCryptBadUid = 0x80090001;
inline constexpr CryptStatus kCryptBadHash = 0x80090002;
inline constexpr CryptStatus kCryptBadKey = 0x80090003;
inline constexpr CryptStatus kCryptBadLen = 0x80090004;
inline constexpr CryptStatus kCryptBadData = 0x80090005;
inline constexpr CryptStatus kCryptBadVersion = 0x80090007;
inline constexpr CryptStatus kCryptBadAlgId = 0x80090008;
inline constexpr CryptStatus kCryptBadFlags = 0x80090009;
inline constexpr CryptStatus kCryptBadType = 0x8009000A;
inline constexpr CryptStatus kCryptBadKeyState = 0x8009000B;
inline constexpr CryptStatus kCryptBadHashState = 0x8009000C;
inline constexpr CryptStatus kCryptNoKey = 0x8009000D;
inline constexpr CryptStatus kCryptExists = 0x8009000F;
inline constexpr CryptStatus kCryptBadKeyset = 0x80090016;
inline constexpr CryptStatus kCryptBadKeysetParam = 0x8009001F;
inline constexpr CryptStatus kCryptFail = 0x80090020;

// Algorithm ids, blob types and flags as the client protocol carries them.
inline constexpr uint32_t kCalgRc4 = 0x00006801;
inline constexpr uint32_t kCalgMd5 = 0x00008003;
inline constexpr uint32_t kCalgRsaKeyx = 0x0000A400;
inline constexpr uint8_t kSimpleBlob = 0x01;
inline constexpr uint8_t kPublicKeyBlob = 0x06;
inline constexpr uint8_t kCurBlobVersion = 0x02;
inline constexpr uint32_t kAtKeyExchange = 1;
inline constexpr uint32_t kCryptNewKeyset = 0x00000008;
inline constexpr uint32_t kCryptDeleteKeyset = 0x00000010;
inline constexpr unsigned kDefaultExchangeKeyBits = 1024;

struct EvpPkeyDeleter {
    void operator()(evp_pkey_st* key) const;
};
struct EvpMdCtxDeleter {
    void operator()(evp_md_ctx_st* ctx) const;
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

// RC4 cipher state over one key. Not thread-safe: one caller uses it.
class CRc4 {
public:
    CRc4(const uint8_t* key, size_t length);
    ~CRc4();
    CRc4(const CRc4&) = delete;
    CRc4& operator=(const CRc4&) = delete;
    // XORs the next |length| key-stream bytes into |data|.
    void Process(uint8_t* data, size_t length);

private:
    std::array<uint8_t, 256> m_State{};
    uint8_t m_I = 0;
    uint8_t m_J = 0;
};

// An RC4 session key. Every Crypt call is one final block: it runs the key stream afresh from the key's start,
// so encrypting and decrypting are the same call. The bytes are wiped when the key goes.
// Thread-safe for concurrent Crypt calls (each builds its own cipher state).
class CRc4Key {
public:
    CRc4Key() = default;
    CRc4Key(const uint8_t* key, size_t length);
    ~CRc4Key();
    CRc4Key(const CRc4Key& other) = default;
    CRc4Key& operator=(const CRc4Key& other);
    CRc4Key(CRc4Key&& other) noexcept;
    CRc4Key& operator=(CRc4Key&& other) noexcept;

    bool Empty() const { return m_Bytes.empty(); }
    const std::vector<uint8_t>& Bytes() const { return m_Bytes; }
    // kCryptBadKey when the key is empty.
    CryptStatus Crypt(uint8_t* data, size_t length) const;
    void Clear();

private:
    std::vector<uint8_t> m_Bytes;
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

// Imports a SIMPLEBLOB: 01 02 00 00, CALG_RC4, CALG_RSA_KEYX (all little-endian), then the PKCS#1 v1.5 type-2
// encryption of the key bytes under |exchangeKey|, byte-reversed, exactly one modulus long. Keys of 5 to 16
// bytes are accepted; a 5-byte key gets 11 zero salt bytes. Any other blob is refused.
CryptStatus ImportSimpleBlob(const CRsaKey& exchangeKey, const uint8_t* blob, size_t length, CRc4Key* key);
// Builds the SIMPLEBLOB that wraps |keyBytes| (5 to 16 bytes) for |publicKey|, as a POS client does.
CryptStatus BuildSimpleBlob(const CRsaKey& publicKey, const uint8_t* keyBytes, size_t keyLength,
                            std::vector<uint8_t>* blob);
// The same for the public-key text of the greeting (hex, optionally framed by DC1 ... DC2).
CryptStatus BuildSimpleBlobForPublicKeyText(const std::string& publicKeyText, const uint8_t* keyBytes, size_t keyLength,
                                            std::vector<uint8_t>* blob);

// Cryptographically strong random bytes.
CryptStatus GenerateRandomBytes(uint8_t* buffer, size_t length);

// The key container: one exchange key pair kept as "<folder>/<name>.pem" (folder mode 0700, file mode 0600,
// written atomically). Acquiring opens an existing container (absent: kCryptBadKeyset; present but unreadable,
// unparsable or not RSA: kCryptBadKeyState), kCryptNewKeyset makes an empty one (kCryptExists when the file is
// there), kCryptDeleteKeyset moves the file aside to "<name>.pem.bad-<UTC time stamp>" (a key is never deleted)
// and leaves nothing acquired.
// Not thread-safe: its owner serialises the calls.
class CKeyContainer {
public:
    explicit CKeyContainer(std::filesystem::path folder = "CORVANE_KEYS");

    CryptStatus Acquire(const std::string& name, uint32_t flags);
    void Release();
    bool Acquired() const { return m_Acquired; }

    // A shared copy of the held key pair; kCryptNoKey when the container holds none.
    CryptStatus GetUserKey(uint32_t keySpec, CRsaKey* key) const;
    // Makes a new exchange pair (bit length in the upper 16 bits of |flags|, 0 for 1024) and stores it before
    // returning it.
    CryptStatus GenKey(uint32_t keySpec, uint32_t flags, CRsaKey* key);
    // ImportSimpleBlob with the container's exchange key.
    CryptStatus ImportKey(const uint8_t* blob, size_t length, CRc4Key* key) const;

    std::filesystem::path KeyFilePath(const std::string& name) const;

private:
    CryptStatus OpenExisting(const std::filesystem::path& file);
    CryptStatus CreateEmpty(const std::filesystem::path& file);
    CryptStatus MoveAside(const std::filesystem::path& file);

    std::filesystem::path m_Folder;
    std::string m_Name;
    bool m_Acquired = false;
    CRsaKey m_ExchangeKey;
};
