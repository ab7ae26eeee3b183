#include "platform/SealingKey.h"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <sys/stat.h>

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include "platform/Files.h"

namespace {
struct CipherCtxDeleter {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using CipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxDeleter>;

// No key file is anywhere near this long; a longer one is not read into memory at all.
constexpr uintmax_t kMaxKeyFileBytes = 4096;

const unsigned char* Bytes(const std::string& text) {
    return reinterpret_cast<const unsigned char*>(text.data());
}

bool AddContext(EVP_CIPHER_CTX* ctx, const std::string& context) {
    int length = 0;
    return context.empty() ||
           EVP_CipherUpdate(ctx, nullptr, &length, Bytes(context), static_cast<int>(context.size())) == 1;
}

// Makes and stores a new key in |file|.
bool CreateKey(const std::filesystem::path& file, CSealingKey* key, std::string* error) {
    std::array<uint8_t, CSealingKey::kKeyBytes> bytes{};
    if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
        ERR_clear_error();
        *error = "no random bytes for a new key";
        return false;
    }
    const std::filesystem::path folder = file.parent_path();
    if (!folder.empty() && !MakePrivateFolder(folder, error)) {
        OPENSSL_cleanse(bytes.data(), bytes.size());
        return false;
    }
    std::string text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    const bool written = WriteFileAtomically(file, text, 0600, error);
    OPENSSL_cleanse(text.data(), text.size());
    if (written) {
        *key = CSealingKey::FromBytes(bytes);
    }
    OPENSSL_cleanse(bytes.data(), bytes.size());
    return written;
}
} // namespace

CSealingKey::~CSealingKey() {
    OPENSSL_cleanse(m_Bytes.data(), m_Bytes.size());
}

CSealingKey CSealingKey::FromBytes(const std::array<uint8_t, kKeyBytes>& bytes) {
    CSealingKey key;
    key.m_Bytes = bytes;
    key.m_Set = true;
    return key;
}

bool CSealingKey::LoadOrCreate(const std::filesystem::path& file, CSealingKey* key, ESealingKeyOrigin* origin,
                               std::string* error) {
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0) {
        if (errno != ENOENT) {
            *error = "cannot look at " + file.string();
            return false;
        }
        *origin = ESealingKeyOrigin::Created;
        return CreateKey(file, key, error);
    }
    std::string text;
    if (S_ISREG(st.st_mode) && static_cast<uintmax_t>(st.st_size) <= kMaxKeyFileBytes &&
        ReadWholeFile(file, &text, error) && text.size() == kKeyBytes) {
        std::array<uint8_t, kKeyBytes> bytes{};
        std::copy(text.begin(), text.end(), bytes.begin());
        OPENSSL_cleanse(text.data(), text.size());
        *key = FromBytes(bytes);
        OPENSSL_cleanse(bytes.data(), bytes.size());
        *origin = ESealingKeyOrigin::Loaded;
        return true;
    }
    OPENSSL_cleanse(text.data(), text.size());
    if (!MoveFileAside(file, ".bad", nullptr, error)) {
        return false;
    }
    *origin = ESealingKeyOrigin::ReplacedBadFile;
    return CreateKey(file, key, error);
}

bool CSealingKey::Seal(const std::string& plain, const std::string& context, std::string* sealed) const {
    if (!m_Set) {
        return false;
    }
    unsigned char nonce[kNonceBytes];
    if (RAND_bytes(nonce, sizeof nonce) != 1) {
        ERR_clear_error();
        return false;
    }
    CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    std::string out(kNonceBytes + plain.size() + kTagBytes, '\0');
    auto* data = reinterpret_cast<unsigned char*>(out.data());
    std::copy(nonce, nonce + kNonceBytes, data);
    int length = 0;
    int finalLength = 0;
    const bool ok =
        ctx && EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, m_Bytes.data(), nonce) == 1 &&
        AddContext(ctx.get(), context) &&
        EVP_EncryptUpdate(ctx.get(), data + kNonceBytes, &length, Bytes(plain), static_cast<int>(plain.size())) == 1 &&
        EVP_EncryptFinal_ex(ctx.get(), data + kNonceBytes + length, &finalLength) == 1 &&
        static_cast<size_t>(length + finalLength) == plain.size() &&
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(kTagBytes),
                            data + kNonceBytes + plain.size()) == 1;
    if (!ok) {
        ERR_clear_error();
        return false;
    }
    *sealed = std::move(out);
    return true;
}

bool CSealingKey::Open(const std::string& sealed, const std::string& context, std::string* plain) const {
    if (!m_Set || sealed.size() < kNonceBytes + kTagBytes) {
        return false;
    }
    const size_t cipherBytes = sealed.size() - kNonceBytes - kTagBytes;
    const unsigned char* data = Bytes(sealed);
    unsigned char tag[kTagBytes];
    std::copy(data + kNonceBytes + cipherBytes, data + sealed.size(), tag);
    CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    std::string out(cipherBytes, '\0');
    auto* outData = reinterpret_cast<unsigned char*>(out.data());
    int length = 0;
    int finalLength = 0;
    const bool ok =
        ctx && EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, m_Bytes.data(), data) == 1 &&
        AddContext(ctx.get(), context) &&
        EVP_DecryptUpdate(ctx.get(), outData, &length, data + kNonceBytes, static_cast<int>(cipherBytes)) == 1 &&
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(kTagBytes), tag) == 1 &&
        EVP_DecryptFinal_ex(ctx.get(), outData + length, &finalLength) == 1;
    if (!ok) {
        ERR_clear_error();
        OPENSSL_cleanse(out.data(), out.size());
        return false;
    }
    *plain = std::move(out);
    return true;
}
