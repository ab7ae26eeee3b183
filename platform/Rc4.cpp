#include "platform/Rc4.h"

#include <utility>

#include <openssl/crypto.h>

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
