#pragma once
// An RC4 session key of the client protocol, wiped when it goes.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/CryptStatus.h"

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
