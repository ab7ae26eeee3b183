#pragma once
// A key that seals small texts at rest with AES-256-GCM (OpenSSL 3 libcrypto): each sealed text carries its own
// random nonce and its authentication tag, and is bound to a context text, so a sealed value cannot be moved to
// another place of a file without being refused.

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>

// How LoadOrCreate came by its key.
enum class ESealingKeyOrigin {
    Loaded,          // read from the key file
    Created,         // there was no key file: a new key was made and stored
    ReplacedBadFile, // the key file was not a key: it was moved aside and a new key was made and stored
};

// Holds one 256-bit key; the bytes are wiped when it goes. Copies are independent. Seal and Open may be called from
// several threads at once on a const key.
class CSealingKey {
public:
    static constexpr size_t kKeyBytes = 32;
    static constexpr size_t kNonceBytes = 12;
    static constexpr size_t kTagBytes = 16;

    CSealingKey() = default;
    ~CSealingKey();
    CSealingKey(const CSealingKey&) = default;
    CSealingKey& operator=(const CSealingKey&) = default;

    // Reads the key kept in |file| (exactly 32 bytes); with no such file, makes one of 32 random bytes (its folder
    // made with mode 0700, the file written atomically with mode 0600). A file that is not a key is moved aside to
    // "<file>.bad-<UTC time stamp>" (never deleted) and replaced. False with a reason in |error| when no key could
    // be read or made; |origin| says what happened otherwise.
    static bool LoadOrCreate(const std::filesystem::path& file, CSealingKey* key, ESealingKeyOrigin* origin,
                             std::string* error);
    // A key of the given bytes (tests).
    static CSealingKey FromBytes(const std::array<uint8_t, kKeyBytes>& bytes);

    bool Empty() const { return !m_Set; }
    // |plain| sealed for |context|: nonce, cipher text and tag, as bytes. False only when the key is empty or the
    // cipher refused to run.
    bool Seal(const std::string& plain, const std::string& context, std::string* sealed) const;
    // The reverse; false when |sealed| was not made by Seal with this key and this |context|, or was changed since.
    bool Open(const std::string& sealed, const std::string& context, std::string* plain) const;

private:
    std::array<uint8_t, kKeyBytes> m_Bytes{};
    bool m_Set = false;
};
