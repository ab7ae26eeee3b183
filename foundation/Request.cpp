#include "foundation/Request.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "foundation/ErrorCodes.h"
#include "foundation/Logger.h"
#include "foundation/TextHelpers.h"
#include "platform/ControlChars.h"
#include "platform/CryptStatus.h"
#include "platform/Hex.h"
#include "platform/KeyContainer.h"
#include "platform/RandomBytes.h"

namespace {
// Session keys are RC4, 128 bits, the length in the upper half of the flags.
constexpr uint32_t kSessionKeyFlags = 0x00800000;
constexpr size_t kPasswordWorkSize = 100;

// The session-key passwords are never stored whole: each is a text and a mask kept apart, joined at run time.
constexpr char kPassword1Text[] = "jn6?mplh1Y5X5n?rOKU$OCbO6nDnlH7eP2am4xN&fOY0_C%p?@g+T7PlFdo5";
constexpr uint8_t kPassword1Mask[] = {1, 0, 1, 0, 2, 1, 2, 0, 1, 1, 1, 2, 2, 1, 2, 0, 0, 0, 0, 2,
                                      2, 0, 1, 1, 0, 1, 1, 0, 0, 1, 1, 0, 1, 1, 1, 1, 0, 0, 0, 1,
                                      2, 1, 2, 1, 1, 1, 1, 0, 0, 2, 0, 0, 1, 2, 0, 0, 0, 1, 0, 1};
constexpr char kPassword2Text[] = "Uvg9Kk7Js47xWw%N6lmOpqi9WiVeqkg!4MnJxrm%HwYKTxanCelk*HziN*?Bnt8aBrE1eE";
constexpr uint8_t kPassword2Mask[] = {1, 0, 1, 1, 0, 1, 1, 0, 2, 0, 1, 0, 0, 0, 0, 1, 1, 2, 0, 0, 1, 1, 1, 0,
                                      2, 1, 1, 2, 1, 0, 2, 1, 0, 2, 1, 0, 1, 2, 0, 1, 0, 1, 1, 1, 2, 1, 1, 2,
                                      0, 0, 0, 2, 1, 0, 1, 1, 0, 1, 1, 0, 0, 1, 1, 2, 1, 1, 1, 1, 0, 1};
static_assert(sizeof kPassword1Text - 1 == sizeof kPassword1Mask, "password 1: one mask byte a character");
static_assert(sizeof kPassword2Text - 1 == sizeof kPassword2Mask, "password 2: one mask byte a character");

using PasswordWork = std::array<uint8_t, kPasswordWorkSize>;

// Keeps, in order, every character whose mask byte is not 1.
std::string SelectUnmasked(const char* text, const uint8_t* mask, size_t length) {
    std::string kept;
    for (size_t i = 0; i < length; ++i) {
        if (mask[i] != 1) {
            kept.push_back(text[i]);
        }
    }
    return kept;
}

// Writes the kept characters raised by 2 at even and by 1 at odd positions (8-bit arithmetic, 0 written as
// 1) into the zeroed work buffer; returns how many bytes to hash.
size_t BuildPassword(int number, PasswordWork* work) {
    work->fill(0);
    std::string kept = number == 1 ? SelectUnmasked(kPassword1Text, kPassword1Mask, sizeof kPassword1Mask)
                                   : SelectUnmasked(kPassword2Text, kPassword2Mask, sizeof kPassword2Mask);
    const size_t length = std::min(kept.size(), work->size());
    for (size_t i = 0; i < length; ++i) {
        uint8_t value = static_cast<uint8_t>(static_cast<uint8_t>(kept[i]) + (i % 2 == 0 ? 2 : 1));
        (*work)[i] = value == 0 ? 1 : value;
    }
    std::fill(kept.begin(), kept.end(), '\0');
    return length;
}

// Builds password |number| and hashes exactly its length into |hash|; the work buffer is cleared afterwards.
CryptStatus HashPassword(int number, CMd5Hash* hash) {
    PasswordWork work;
    const size_t length = BuildPassword(number, &work);
    const CryptStatus status = hash->HashData(work.data(), length);
    work.fill(0);
    return status;
}

unsigned Hex(uint32_t code) {
    return static_cast<unsigned>(code);
}
} // namespace

CRequest& CRequest::Instance() {
    static CRequest instance;
    return instance;
}

CRequest::CRequest() = default;

CRequest::~CRequest() = default;

bool CRequest::FailStart(uint32_t code, const char* suffix) {
    CLogger::Instance().LogLine("Error %x  %s Attempting to Start 128 bit Crypto%s", Hex(code),
                                GetErrorText(code).c_str(), suffix);
    return false;
}

bool CRequest::StartCrypto() {
    CMutexLock lock(m_Lock);
    CLogger& log = CLogger::Instance();
    // A second start must not publish the key of the first, not even its text when this start fails early.
    m_ExchangeKey = CRsaKey();
    m_PublicKeyText.clear();

    log.LogLine("Trying ::CtAcCt('A')");
    CryptStatus status = m_Provider.Acquire(kKeyContainerName, 0);
    if (status == kCryptOk) {
        log.LogLine("Success on Trying ::CtAcCt('A')");
    } else {
        log.LogLine("Failed ('A') with [0x%x] %s", Hex(status), GetErrorText(status).c_str());
        if (status != kCryptBadKeyset && status != kCryptBadKeyState) {
            // Carry on without a container: the steps below fail and say why.
            log.LogLine("Not Handled When Failure is not NTE_BAD_KEYSET and is not NTE_BAD_KEY_STATE");
        } else {
            log.LogLine("NTE_BAD_KEYSET and NTE_BAD_KEY_STATE handler");
            log.LogLine("Trying ::CryptAcquireContext('B')");
            status = m_Provider.Acquire(kKeyContainerName, kCryptNewKeyset);
            if (status == kCryptOk) {
                log.LogLine("Success on Trying ::CryptAcquireContext('B')");
            } else {
                log.LogLine("Failed ('B') with [0x%x] %s", Hex(status), GetErrorText(status).c_str());
                log.LogLine("Trying ::CryptAcquireContext('C')");
                status = m_Provider.Acquire(kKeyContainerName, kCryptDeleteKeyset);
                if (status != kCryptOk) {
                    log.LogLine("Failed ('C') with [0x%x] %s", Hex(status), GetErrorText(status).c_str());
                    FailStart(status);
                    log.LogLine("Unable to Delete Keyset...");
                    return false;
                }
                log.LogLine("Success on Trying ::CryptAcquireContext('C')");
                log.LogLine("Deleted Keyset ...");
                log.LogLine("Trying ::CryptAcquireContext('D')");
                status = m_Provider.Acquire(kKeyContainerName, kCryptNewKeyset);
                if (status != kCryptOk) {
                    log.LogLine("Failed ('D') with [0x%x] %s", Hex(status), GetErrorText(status).c_str());
                    return FailStart(status, "2");
                }
                log.LogLine("Success on Trying ::CryptAcquireContext('D')");
            }
        }
    }

    log.LogLine("Trying ::CtGtUKy('GA')");
    status = m_Provider.GetUserKey(kAtKeyExchange, &m_ExchangeKey);
    if (status == kCryptOk) {
        log.LogLine("Success on Trying CtGtUKy('GA')");
    } else {
        log.LogLine("Failed ('GA') with [0x%x] %s", Hex(status), GetErrorText(status).c_str());
        if (status == kCryptNoKey) {
            log.LogLine("Failure is NTE_NO_KEY");
            log.LogLine("Trying ::CryptGenKey('GB')");
            status = m_Provider.GenKey(kAtKeyExchange, 0, &m_ExchangeKey);
            if (status != kCryptOk) {
                log.LogLine("Failed ('GB') with [0x%x] %s", Hex(status), GetErrorText(status).c_str());
                return FailStart(status);
            }
            log.LogLine("Success on Trying CryptGenKey('GB')");
        } else {
            log.LogLine("Not Handled When Failure is not NTE_NO_KEY");
        }
    }

    std::vector<uint8_t> blob;
    status = m_ExchangeKey.ExportPublicKeyBlob(&blob);
    if (status != kCryptOk) {
        return FailStart(status);
    }
    m_PublicKeyText = kCharDC1 + BytesToHex(blob) + kCharDC2;

    if ((status = m_Hash1.Create()) != kCryptOk || (status = m_Hash2.Create()) != kCryptOk) {
        return FailStart(status);
    }
    if ((status = HashPassword(1, &m_Hash1)) != kCryptOk ||
        (status = m_Hash1.DeriveRc4Key(kSessionKeyFlags, &m_SessionKey1)) != kCryptOk ||
        (status = HashPassword(2, &m_Hash2)) != kCryptOk ||
        (status = m_Hash2.DeriveRc4Key(kSessionKeyFlags, &m_SessionKey2)) != kCryptOk) {
        return FailStart(status);
    }
    m_Hash1.Destroy();
    m_Hash2.Destroy();
    return true;
}

bool CRequest::StopCrypto() {
    CMutexLock lock(m_Lock);
    m_SessionKey1.Clear();
    m_SessionKey2.Clear();
    m_Hash1.Destroy();
    m_Hash2.Destroy();
    m_ExchangeKey = CRsaKey();
    m_Provider.Release();
    return true;
}

std::string CRequest::GetPublicKeyHex() const {
    return m_PublicKeyText;
}

bool CRequest::GenerateRandom(uint32_t length, uint8_t* buffer) {
    CMutexLock lock(m_Lock);
    return GenerateRandomBytes(buffer, length) == kCryptOk;
}

bool CRequest::EncryptWithSessionKey(const CRc4Key& key, uint8_t* buffer, uint32_t* dataLength, uint32_t bufferSize) {
    // A stream cipher keeps the length, but a data length past the buffer would still run off its end.
    if (dataLength == nullptr || *dataLength > bufferSize || (buffer == nullptr && *dataLength > 0)) {
        return false;
    }
    return key.Crypt(buffer, *dataLength) == kCryptOk;
}

bool CRequest::EncryptLoginBlock(uint8_t* buffer, uint32_t* dataLength, uint32_t bufferSize) {
    CMutexLock lock(m_Lock);
    return EncryptWithSessionKey(m_SessionKey1, buffer, dataLength, bufferSize);
}

bool CRequest::EncryptParamChallenge(uint8_t* buffer, uint32_t* dataLength, uint32_t bufferSize) {
    CMutexLock lock(m_Lock);
    return EncryptWithSessionKey(m_SessionKey2, buffer, dataLength, bufferSize);
}

bool CRequest::DecryptWithClientKey(const uint8_t* keyBlob, uint32_t blobLength, const std::string& hex,
                                    std::string* text) {
    std::shared_ptr<const CRc4Key> key;
    return ImportClientKey(keyBlob, blobLength, &key) && DecryptWithImportedKey(*key, hex, text);
}

bool CRequest::EncryptWithClientKey(const uint8_t* keyBlob, uint32_t blobLength, const std::string& text,
                                    std::string* hex) {
    std::shared_ptr<const CRc4Key> key;
    return ImportClientKey(keyBlob, blobLength, &key) && EncryptWithImportedKey(*key, text, hex);
}

bool CRequest::ImportClientKey(const uint8_t* keyBlob, uint32_t blobLength, std::shared_ptr<const CRc4Key>* key) {
    auto imported = std::make_shared<CRc4Key>();
    {
        CMutexLock lock(m_Lock);
        if (m_Provider.ImportKey(keyBlob, blobLength, imported.get()) != kCryptOk) {
            return false;
        }
    }
    *key = std::move(imported);
    return true;
}

bool CRequest::DecryptWithImportedKey(const CRc4Key& key, const std::string& hex, std::string* text) {
    if (hex.empty() || hex.size() % 2 != 0) {
        return false;
    }
    std::vector<uint8_t> buffer;
    TranslateHexStringToByteArray(hex, &buffer);
    const CryptStatus status = key.Crypt(buffer.data(), buffer.size());
    if (status != kCryptOk) {
        CLogger::Instance().LogLine("Error %x during CryptDecrypt!", Hex(status));
        return false;
    }
    // The plain text is a zero-terminated text: it ends at its first zero byte.
    const auto* chars = reinterpret_cast<const char*>(buffer.data());
    text->assign(chars, strnlen(chars, buffer.size()));
    std::fill(buffer.begin(), buffer.end(), 0);
    return true;
}

bool CRequest::EncryptWithImportedKey(const CRc4Key& key, const std::string& text, std::string* hex) {
    std::vector<uint8_t> buffer(text.begin(), text.end());
    const CryptStatus status = key.Crypt(buffer.data(), buffer.size());
    if (status != kCryptOk) {
        CLogger::Instance().LogLine("Error %x during CryptEncrypt!", Hex(status));
        return false;
    }
    *hex = BytesToHex(buffer);
    return true;
}

bool CRequest::TranslateHexStringToByteArray(const std::string& text, std::vector<uint8_t>* bytes, size_t* count) {
    if (text.size() % 2 != 0) {
        return false;
    }
    bytes->resize(text.size() / 2);
    for (size_t i = 0; i < bytes->size(); ++i) {
        (*bytes)[i] = HexPairToByte(text[2 * i], text[2 * i + 1]);
    }
    if (count != nullptr) {
        *count = bytes->size();
    }
    return true;
}

bool DeriveSharedSessionKey(int number, CRc4Key* key) {
    if (number != 1 && number != 2) {
        return false;
    }
    CMd5Hash hash;
    return hash.Create() == kCryptOk && HashPassword(number, &hash) == kCryptOk &&
           hash.DeriveRc4Key(kSessionKeyFlags, key) == kCryptOk;
}

std::string BytesToHex(size_t count, const uint8_t* bytes) {
    return HexEncode(bytes, count, HexCase::kUpper);
}

std::string BytesToHex(const std::vector<uint8_t>& bytes) {
    return BytesToHex(bytes.size(), bytes.data());
}

uint8_t HexPairToByte(char high, char low) {
    // The lanes' texts have always been read this leniently: a character that is no digit counts 0.
    auto value = [](char c) { return std::max(HexDigitValue(c, HexAccept::kUpperOnly), 0); };
    return static_cast<uint8_t>(value(high) << 4 | value(low));
}
