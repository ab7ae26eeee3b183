#include "transaction/Transaction.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <vector>

#include "foundation/Request.h"
#include "foundation/SharedConstants.h"
#include "platform/Clock.h"
#include "transaction/CardHelpers.h"

namespace {

// The last |count| characters of |text| (all of it when it is shorter).
std::string LastChars(const std::string& text, size_t count) {
    return text.size() > count ? text.substr(text.size() - count) : text;
}

// The first |count| characters of |text|.
std::string FirstChars(const std::string& text, size_t count) {
    return text.substr(0, count);
}

bool Has(const CStringMap& fields, const std::string& key) {
    return fields.find(key) != fields.end();
}

// TranCode keywords, exact and case-sensitive.
int TranCodeNumber(const std::string& keyword) {
    static const std::map<std::string, int> kNumbers = {
        {kTranCodeIssue, kTranNumIssue},
        {kTranCodeVoidIssue, kTranNumVoidIssue},
        {kTranCodeSale, kTranNumSale},
        {kTranCodeReturn, kTranNumReturn},
        {kTranCodeReload, kTranNumReload},
        {kTranCodeVoidSale, kTranNumVoidSale},
        {kTranCodeVoidReturn, kTranNumVoidReturn},
        {kTranCodeVoidReload, kTranNumVoidReload},
        {kTranCodeBalance, kTranNumBalance},
        {kTranCodeNoNSFSale, kTranNumNoNSFSale},
        {kTranCodeCashOut, kTranNumCashOut},
    };
    const auto found = kNumbers.find(keyword);
    return found == kNumbers.end() ? kTranNumInvalid : found->second;
}

bool IsVoid(int tranCode) {
    return tranCode == kTranNumVoidIssue || tranCode == kTranNumVoidSale || tranCode == kTranNumVoidReturn ||
           tranCode == kTranNumVoidReload;
}

} // namespace

CTransaction::CTransaction() : m_TranCodeName(TranCodeName(kTranNumInvalid)), m_Created(CreatedTimeNow()) {}

int64_t CTransaction::CreatedTimeNow() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(GetClock().WallNow().time_since_epoch()).count();
}

int64_t CTransaction::SecondsSinceCreated() const {
    // Truncation toward zero keeps "more than 35 whole seconds" meaning at least 36 seconds have passed.
    return (CreatedTimeNow() - m_Created) / 1000;
}

void CTransaction::ClearHostResultKeepRequest() {
    m_Approved = false;
    m_Captured = false;
    m_HostSpareFlag = false;
    m_HostResponse.clear();
    m_HostAuthCode.clear();
    m_HostRefNo.clear();
    m_HostVLinkRefNo.clear();
    m_HostErrorText.clear();
    m_ResponseText.clear();
    m_Balance.clear();
    m_IssueCurrency.clear();
    m_PrevBalance.clear();
    m_EndBalance.clear();
    m_ExchangeRate.clear();
}

void CTransaction::SetRequest(const std::string& text) {
    m_Request = text;
    UnframeRequest();
    ParseRequest();
}

void CTransaction::UnframeRequest() {
    m_ResultCode = kResultUnrecognizedFormat;
    const size_t fs = m_Request.find(kCharFS);
    if (fs == std::string::npos) {
        m_Header = m_Request;
        return;
    }
    m_Header = m_Request.substr(0, fs);
    const size_t stx = m_Request.find(kCharSTX);
    if (stx == std::string::npos) {
        m_Header = m_Request;
        return;
    }
    // At least two characters after the FS: the format letter and one more.
    if (m_Request.size() < stx + 1 || m_Request.size() < fs + 3) {
        return;
    }
    switch (m_Request[fs + 1]) {
    case '0':
        m_ResultCode = kResultClearText;
        m_CryptMode = kCryptModePlain;
        break;
    case '1':
        m_ResultCode = kResultOldClient;
        m_CryptMode = kCryptModePlain;
        break;
    case '2': {
        m_CryptMode = kCryptModeEncrypted;
        bool decrypted = false;
        if (ExtractRequestKey(m_Request)) {
            // The payload starts after the STX found above; a key block in front of the STX has moved the
            // payload, so the offset is checked against the shortened text.
            const std::string payload = stx + 1 <= m_Request.size() ? m_Request.substr(stx + 1) : std::string();
            std::string plain;
            if (DecryptRequest(payload, plain)) {
                m_Request = plain;
                decrypted = true;
            }
        }
        if (!decrypted) {
            m_CryptMode = kCryptModePlain;
            m_ResultCode = kResultDecryptFailed;
        }
        break;
    }
    case 'A':
        m_CryptMode = kCryptModeAbort;
        break;
    case 'E':
        m_ResultCode = kResultWeakEncryption;
        m_CryptMode = kCryptModePlain;
        break;
    default:
        m_CryptMode = kCryptModePlain;
        break;
    }
}

bool CTransaction::ExtractRequestKey(std::string& text) {
    const size_t dc1 = text.find(kCharDC1);
    if (dc1 == std::string::npos) {
        return false;
    }
    const size_t dc2 = text.find(kCharDC2, dc1 + 1);
    if (dc2 == std::string::npos) {
        return false;
    }
    m_RequestKey = text.substr(dc1 + 1, dc2 - dc1 - 1);
    text.erase(dc1, dc2 - dc1 + 1);
    return true;
}

bool CTransaction::DecryptRequest(const std::string& payloadHex, std::string& out) {
    m_SessionKey.reset();
    std::vector<uint8_t> blob;
    if (m_RequestKey.empty() || !CRequest::TranslateHexStringToByteArray(m_RequestKey, &blob)) {
        return false;
    }
    std::shared_ptr<const CRc4Key> key;
    if (!CRequest::Instance().ImportClientKey(blob.data(), static_cast<uint32_t>(blob.size()), &key) ||
        !CRequest::DecryptWithImportedKey(*key, payloadHex, &out)) {
        return false;
    }
    m_SessionKey = std::move(key);
    return true;
}

bool CTransaction::EncryptResponse(std::string& outHex, const std::string& text) const {
    if (m_SessionKey) {
        return CRequest::EncryptWithImportedKey(*m_SessionKey, text, &outHex);
    }
    std::vector<uint8_t> blob;
    if (m_RequestKey.empty() || !CRequest::TranslateHexStringToByteArray(m_RequestKey, &blob)) {
        return false;
    }
    return CRequest::Instance().EncryptWithClientKey(blob.data(), static_cast<uint32_t>(blob.size()), text, &outHex);
}

void CTransaction::ParseRequest() {
    if (m_CryptMode != kCryptModeEncrypted) {
        return;
    }
    ParseFields();
    if (m_TranCode == kTranNumInvalid) {
        m_CryptMode = kCryptModePlain;
    }
}

void CTransaction::ParseFields() {
    m_ResultCode = kResultInvalidCommandFormat;

    CStringMap fields;
    size_t start = 0;
    while (start <= m_Request.size()) {
        size_t end = m_Request.find(kCharFS, start);
        if (end == std::string::npos) {
            end = m_Request.size();
        }
        const std::string piece = m_Request.substr(start, end - start);
        const size_t equals = piece.find('=');
        if (equals != std::string::npos) {
            fields[piece.substr(0, equals)] = piece.substr(equals + 1);
        }
        start = end + 1;
    }

    const auto value = [&fields](const std::string& key) { return LookupText(fields, key); };

    if (!Has(fields, kRequestFieldTStream)) {
        m_ResultCode = kResultTStreamMissing;
        return;
    }
    if (value(kRequestFieldTStream) != kTStreamTransaction) {
        m_ResultCode = kResultFieldTStream;
        return;
    }
    m_TStream = value(kRequestFieldTStream);
    if (Has(fields, kRequestFieldTerminalID)) {
        m_TerminalID = LastChars(value(kRequestFieldTerminalID), 2);
    }
    if (!Has(fields, kRequestFieldMerchantID)) {
        m_ResultCode = kResultMerchantIdMissing;
        return;
    }
    if (Has(fields, kRequestFieldOperatorID)) {
        m_OperatorID = LastChars(value(kRequestFieldOperatorID), 20);
    }
    if (Has(fields, kRequestFieldMemo)) {
        m_Memo = FirstChars(value(kRequestFieldMemo), 20);
    }
    if (!Has(fields, kRequestFieldTranType)) {
        m_ResultCode = kResultFieldTranType;
        return;
    }
    if (!Has(fields, kRequestFieldInvoiceNo)) {
        m_ResultCode = kResultInvoiceMissing;
        return;
    }
    m_InvoiceNo = LastChars(value(kRequestFieldInvoiceNo), 12);
    if (!Has(fields, kRequestFieldRefNo)) {
        m_ResultCode = kResultRefNoMissing;
        return;
    }
    m_RefNo = LastChars(value(kRequestFieldRefNo), 16);
    if (value(kRequestFieldTranType) != kTranTypePrePaid) {
        m_ResultCode = kResultFieldTranType;
        return;
    }
    ParseTranFields(fields);
}

void CTransaction::ParseTranFields(const CStringMap& fields) {
    const auto value = [&fields](const std::string& key) { return LookupText(fields, key); };

    const int tranCode = Has(fields, kRequestFieldTranCode) ? TranCodeNumber(value(kRequestFieldTranCode))
                                                            : static_cast<int>(kTranNumInvalid);
    if (tranCode == kTranNumInvalid) {
        m_ResultCode = kResultFieldTranCode;
        return;
    }

    std::string account;
    if (Has(fields, kRequestFieldTrack2)) {
        m_Swiped = true;
        account = value(kRequestFieldTrack2);
    } else if (!Has(fields, kRequestFieldAcctNo)) {
        m_ResultCode = kResultFieldAccount;
        return;
    } else {
        account = value(kRequestFieldAcctNo);
        if (Has(fields, kRequestFieldExpDate) && value(kRequestFieldExpDate).size() != 4) {
            m_ResultCode = kResultFieldExpDate;
            return;
        }
    }
    if (account.size() < 4 || account.size() > 38) {
        m_ResultCode = kResultFieldAccount;
        return;
    }

    if (Has(fields, kRequestFieldPurchase)) {
        const std::string purchase = value(kRequestFieldPurchase);
        if (!IsValidAmount(purchase, false)) {
            m_ResultCode = kResultFieldPurchase;
            return;
        }
        m_Purchase = NormalizeAmount(purchase);
        m_Authorize = m_Purchase;
        // The sign is judged on the amount as sent: normalising drops the '-', and a negative Sale must not
        // reach the host as a positive one.
        if (tranCode != kTranNumBalance && tranCode != kTranNumCashOut && AmountToCents(purchase) <= 0) {
            m_ResultCode = kResultFieldAuthAmount;
            return;
        }
    } else if (tranCode != kTranNumBalance) {
        m_ResultCode = kResultFieldPurchase;
        return;
    } else {
        m_Purchase = NormalizeAmount("0.00");
        m_Authorize = m_Purchase;
    }

    m_Account = account;
    m_ExpDate = value(kRequestFieldExpDate);
    m_Track2 = account;

    if (m_Swiped) {
        const size_t equals = account.find('=');
        if (equals != std::string::npos) {
            if (equals + 4 < account.size()) {
                const std::string yymm = account.substr(equals + 1, 4);
                m_ExpDate = yymm.substr(2, 2) + yymm.substr(0, 2);
            }
            m_Account = account.substr(0, equals);
        }
    }

    if (IsVoid(tranCode)) {
        if (!Has(fields, kRequestFieldAuthCode)) {
            m_ResultCode = kResultFieldAuthCode;
            return;
        }
        m_AuthCode = FirstChars(value(kRequestFieldAuthCode), 12);
    }

    m_TranCode = tranCode;
    m_TranCodeName = TranCodeName(tranCode);
    m_CardType = kPaymentKindPrePaid;
}
