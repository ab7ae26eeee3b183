#include "platform/KeyContainer.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

#include <openssl/crypto.h>

#include "platform/Files.h"
#include "platform/KeyBlob.h"
#include "platform/SimpleBlob.h"

namespace {

CryptStatus StatusFromErrno(int error) {
    return error != 0 ? static_cast<CryptStatus>(error) : kCryptFail;
}

} // namespace

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
