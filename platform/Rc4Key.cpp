#include "platform/Rc4Key.h"

#include <utility>

#include <openssl/crypto.h>

#include "platform/Rc4.h"

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
