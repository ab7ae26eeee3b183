#pragma once
// What a POS lane does with its request key, for the tests, the test peers, the benchmarks and the fuzzers: the
// key wrapped for the server's public key, requests framed and encrypted under it, and replies decrypted with it.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// Key=value fields of a request, in the order they are sent.
using RequestFieldList = std::vector<std::pair<std::string, std::string>>;

// The fields joined by FS, in order.
std::string JoinFields(const RequestFieldList& fields);
// The fields of a valid keyed Sale.
RequestFieldList KeyedSaleFields();

// The request key of the samples.
const std::vector<uint8_t>& SampleLaneKey();

// One lane's RC4 request key and its blob for one server. Immutable after construction; any thread may use it.
class CLaneRequestKey {
public:
    // |key| wrapped for the server whose public key is |publicKeyHex| (as the greeting shows it); Ok() is false
    // when it cannot be wrapped.
    explicit CLaneRequestKey(const std::string& publicKeyHex, std::vector<uint8_t> key = SampleLaneKey());

    bool Ok() const { return !m_Blob.empty(); }
    const std::vector<uint8_t>& Key() const { return m_Key; }
    const std::vector<uint8_t>& Blob() const { return m_Blob; }

    // |header| FS "200" STX DC1 blob-hex DC2 encrypted-payload-hex, without the ETX a session takes off before
    // the transaction sees the frame.
    std::string Frame(const std::string& payload, const std::string& header = "POS01") const;
    // |text| encrypted under the key, as upper-case hex.
    std::string Encrypt(const std::string& text) const;
    // The hex |cipherHex| decrypted under the key; false when it is no hex.
    bool Decrypt(const std::string& cipherHex, std::string* text) const { return Decrypt(m_Key, cipherHex, text); }
    // The same under |key|, for a lane that has no blob to make.
    static bool Decrypt(const std::vector<uint8_t>& key, const std::string& cipherHex, std::string* text);
    // The document inside an encrypted reply frame (FS "200" STX hex ETX); "" when the frame is not one.
    std::string DecryptReply(const std::string& frame) const;

private:
    std::vector<uint8_t> m_Key;
    std::vector<uint8_t> m_Blob;
};
