#pragma once
// The process-wide crypto object: the server's key container with its exchange key pair and public-key text,
// random bytes, the two fixed session keys of the login and parameter-download challenges, and decryption of
// requests / encryption of replies with the key blob a POS client sends. Also the hex text helpers.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/KeyContainer.h"
#include "platform/Md5Hash.h"
#include "platform/Mutex.h"
#include "platform/Rc4Key.h"
#include "platform/RsaKey.h"

// Key container name; the pair is kept in CORVANE_KEYS/<name>.pem under the current directory.
inline constexpr const char* kKeyContainerName = "KestroveRuvuzUvirIP_Host{A4270DC8-54D5-11D7-A016-0003B3008F24}";

// Owns the container, the exchange key pair and the session keys.
// Thread-safe: every operation that touches a key takes m_Lock for its whole run. GetPublicKeyHex takes no
// lock: the text is written once by StartCrypto, before any session thread exists. The hex helpers are free.
class CRequest {
public:
    // The one instance of the process, constructed on first use and destroyed at exit.
    static CRequest& Instance();

    CRequest();
    ~CRequest();
    CRequest(const CRequest&) = delete;
    CRequest& operator=(const CRequest&) = delete;

    // Opens or creates the container and its exchange key, builds the public-key text and derives the session
    // keys, logging each step. False when the object cannot be used.
    bool StartCrypto();
    // Releases every key, hash and the container. Always true.
    bool StopCrypto();

    // DC1 + upper-case hex of the PUBLICKEYBLOB + DC2; empty before StartCrypto.
    std::string GetPublicKeyHex() const;

    bool GenerateRandom(uint32_t length, uint8_t* buffer);

    // Encrypt |*dataLength| bytes of |buffer| in place, one final block, with session key 1 (login challenge)
    // or session key 2 (management-service challenge). |bufferSize| must hold the data.
    bool EncryptLoginBlock(uint8_t* buffer, uint32_t* dataLength, uint32_t bufferSize);
    bool EncryptParamChallenge(uint8_t* buffer, uint32_t* dataLength, uint32_t bufferSize);

    // Imports the client's key blob, hex-decodes |hex| and decrypts it into |text| (up to its first zero byte).
    bool DecryptWithClientKey(const uint8_t* keyBlob, uint32_t blobLength, const std::string& hex, std::string* text);
    // Imports the client's key blob and encrypts |text| into upper-case hex.
    bool EncryptWithClientKey(const uint8_t* keyBlob, uint32_t blobLength, const std::string& text, std::string* hex);

    // Decodes the whole text, two characters a byte (HexPairToByte). Odd length: false, nothing decoded. The
    // output is sized from the text. |count| (optional) receives the number of bytes.
    static bool TranslateHexStringToByteArray(const std::string& text, std::vector<uint8_t>* bytes,
                                              size_t* count = nullptr);

private:
    bool EncryptWithSessionKey(const CRc4Key& key, uint8_t* buffer, uint32_t* dataLength, uint32_t bufferSize);
    bool FailStart(uint32_t code, const char* suffix = "");

    CMutex m_Lock;
    CKeyContainer m_Provider GUARDED_BY(m_Lock);
    CRsaKey m_ExchangeKey GUARDED_BY(m_Lock);
    CRc4Key m_SessionKey1 GUARDED_BY(m_Lock);
    CRc4Key m_SessionKey2 GUARDED_BY(m_Lock);
    CMd5Hash m_Hash1 GUARDED_BY(m_Lock); // held only while StartCrypto derives keys
    CMd5Hash m_Hash2 GUARDED_BY(m_Lock); // held only while StartCrypto derives keys
    std::string m_PublicKeyText;         // written by StartCrypto only
};

// The fixed session keys (1: login challenge, shared with the POS client component; 2: parameter download,
// shared with the management service), derived as StartCrypto derives them. For the peers of those exchanges.
bool DeriveSharedSessionKey(int number, CRc4Key* key);

// Two upper-case hex digits a byte, high nibble first.
std::string BytesToHex(size_t count, const uint8_t* bytes);
std::string BytesToHex(const std::vector<uint8_t>& bytes);
// "0".."9" and "A".."F" count 0..15; every other character (lower case included) counts 0.
uint8_t HexPairToByte(char high, char low);
