#include "common/LaneRequestKey.h"

#include "foundation/Request.h"
#include "platform/Rc4Key.h"
#include "platform/SimpleBlob.h"
#include "transaction/Transaction.h"

std::string JoinFields(const RequestFieldList& fields) {
    std::string text;
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) {
            text += kCharFS;
        }
        text += fields[i].first + "=" + fields[i].second;
    }
    return text;
}

RequestFieldList KeyedSaleFields() {
    return {{"TStream", "Transaction"}, {"MerchantID", "1234"},   {"TranType", "PrePaid"},        {"TranCode", "Sale"},
            {"InvoiceNo", "100234"},    {"RefNo", "55"},          {"AcctNo", "6001234567890123"}, {"ExpDate", "1226"},
            {"Purchase", "12.34"},      {"OperatorID", "CLERK7"}, {"TerminalID", "07"},           {"Memo", "gift"}};
}

const std::vector<uint8_t>& SampleLaneKey() {
    static const std::vector<uint8_t> key = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88,
                                             0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xF0, 0x01};
    return key;
}

CLaneRequestKey::CLaneRequestKey(const std::string& publicKeyHex, std::vector<uint8_t> key) : m_Key(std::move(key)) {
    if (BuildSimpleBlobForPublicKeyText(publicKeyHex, m_Key.data(), m_Key.size(), &m_Blob) != kCryptOk) {
        m_Blob.clear();
    }
}

std::string CLaneRequestKey::Frame(const std::string& payload, const std::string& header) const {
    return header + kCharFS + "200" + kCharSTX + kCharDC1 + BytesToHex(m_Blob) + kCharDC2 + Encrypt(payload);
}

std::string CLaneRequestKey::Encrypt(const std::string& text) const {
    std::vector<uint8_t> bytes(text.begin(), text.end());
    CRc4Key(m_Key.data(), m_Key.size()).Crypt(bytes.data(), bytes.size());
    return BytesToHex(bytes);
}

bool CLaneRequestKey::Decrypt(const std::vector<uint8_t>& key, const std::string& cipherHex, std::string* text) {
    std::vector<uint8_t> bytes;
    if (!CRequest::TranslateHexStringToByteArray(cipherHex, &bytes)) {
        return false;
    }
    CRc4Key(key.data(), key.size()).Crypt(bytes.data(), bytes.size());
    text->assign(bytes.begin(), bytes.end());
    return true;
}

std::string CLaneRequestKey::DecryptReply(const std::string& frame) const {
    const std::string head = std::string(1, kCharFS) + "200" + kCharSTX;
    if (frame.size() < head.size() + 1 || frame.compare(0, head.size(), head) != 0 || frame.back() != kCharETX) {
        return "";
    }
    std::string document;
    if (!Decrypt(frame.substr(head.size(), frame.size() - head.size() - 1), &document)) {
        return "";
    }
    return document;
}
