#pragma once
// The RC4 stream cipher, as the client protocol's session keys use it.

#include <array>
#include <cstddef>
#include <cstdint>

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
