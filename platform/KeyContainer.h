#pragma once
// The key container that keeps the server's exchange key pair on disk.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "platform/CryptStatus.h"
#include "platform/Rc4Key.h"
#include "platform/RsaKey.h"

// Key specs and the flags of Acquire and GenKey.
inline constexpr uint32_t kAtKeyExchange = 1;
inline constexpr uint32_t kCryptNewKeyset = 0x00000008;
inline constexpr uint32_t kCryptDeleteKeyset = 0x00000010;
inline constexpr unsigned kDefaultExchangeKeyBits = 1024;

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
