#pragma once
// What the transaction tests share: the process's crypto object started once, a POS client that frames and
// encrypts requests the way the client component does and reads the encrypted replies, and the merchant
// parameters the host message and the replies read.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "common/ParamSets.h"
#include "foundation/ParamSettings.h"
#include "foundation/ParamStore.h"
#include "foundation/Request.h"
#include "platform/Crypto.h"
#include "transaction/Transaction.h"

namespace testsupport {

inline const std::string kFS(1, kCharFS);

// Starts the process's crypto object (its key pair is made in the current folder) once per test program.
inline void EnsureCryptoStarted() {
    static bool started = false;
    if (!started) {
        ASSERT_TRUE(CRequest::Instance().StartCrypto());
        started = true;
    }
}

// Sets the merchant parameters the transaction reads, the rest at their defaults.
inline void SetMerchantParams(const std::string& merchantId, const std::string& alternateId,
                              const std::string& terminalId, const std::string& currency) {
    // Set even where the type would refuse the value (an empty currency), as a damaged set could hold it.
    ASSERT_TRUE(CParamStore::Instance().SetParams(
        ParamsWithUnchecked(DefaultParams(), {{kParamMerchantId, merchantId},
                                              {kParamAlternateMerchantId, alternateId},
                                              {kParamTerminalId, terminalId},
                                              {kParamMerchantCurrency, currency}})));
}

// Key=value pieces joined by FS, in order.
inline std::string JoinFields(const std::vector<std::pair<std::string, std::string>>& fields) {
    std::string text;
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) {
            text += kCharFS;
        }
        text += fields[i].first + "=" + fields[i].second;
    }
    return text;
}

// A POS client with its own RC4 request key, wrapped for the server's public key (the crypto object is
// started first, in the current folder).
class CPosClient {
public:
    CPosClient()
        : m_Key{0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xF0, 0x01} {
        EnsureCryptoStarted();
        EXPECT_EQ(BuildSimpleBlobForPublicKeyText(CRequest::Instance().GetPublicKeyHex(), m_Key.data(), m_Key.size(),
                                                  &m_Blob),
                  kCryptOk);
    }

    // header FS '2' "00" STX DC1 key-blob-hex DC2 encrypted-payload-hex (no ETX: the session removes it).
    std::string Frame(const std::string& payload, const std::string& header = "POS01") const {
        return header + kFS + "200" + std::string(1, kCharSTX) + std::string(1, kCharDC1) + BytesToHex(m_Blob) +
               std::string(1, kCharDC2) + Encrypt(payload);
    }

    std::string Encrypt(const std::string& text) const {
        std::vector<uint8_t> bytes(text.begin(), text.end());
        CRc4Key(m_Key.data(), m_Key.size()).Crypt(bytes.data(), bytes.size());
        return BytesToHex(bytes);
    }

    // The document inside an encrypted reply frame; "" when the frame is not one.
    std::string DecryptReply(const std::string& frame) const {
        const std::string head = kFS + "200" + std::string(1, kCharSTX);
        if (frame.size() < head.size() + 1 || frame.compare(0, head.size(), head) != 0 || frame.back() != kCharETX) {
            return "";
        }
        std::vector<uint8_t> bytes;
        if (!CRequest::TranslateHexStringToByteArray(frame.substr(head.size(), frame.size() - head.size() - 1),
                                                     &bytes)) {
            return "";
        }
        CRc4Key(m_Key.data(), m_Key.size()).Crypt(bytes.data(), bytes.size());
        return std::string(bytes.begin(), bytes.end());
    }

    const std::vector<uint8_t>& Blob() const { return m_Blob; }

private:
    std::vector<uint8_t> m_Key;
    std::vector<uint8_t> m_Blob;
};

// The fields of a valid keyed Sale.
inline std::vector<std::pair<std::string, std::string>> KeyedSaleFields() {
    return {{"TStream", "Transaction"}, {"MerchantID", "1234"},   {"TranType", "PrePaid"},        {"TranCode", "Sale"},
            {"InvoiceNo", "100234"},    {"RefNo", "55"},          {"AcctNo", "6001234567890123"}, {"ExpDate", "1226"},
            {"Purchase", "12.34"},      {"OperatorID", "CLERK7"}, {"TerminalID", "07"},           {"Memo", "gift"}};
}

} // namespace testsupport
