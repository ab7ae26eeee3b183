#include "transaction/Replies.h"

#include <cstdio>
#include <map>

#include "foundation/CardDataMask.h"
#include "foundation/Logger.h"
#include "foundation/ParamSettings.h"
#include "foundation/ParamStore.h"
#include "foundation/TextHelpers.h"
#include "transaction/Transaction.h"

namespace {

// Field-error codes carry their texts behind this prefix.
constexpr int kFieldCodeLow = 100200;
constexpr int kFieldCodeHigh = 100245;
constexpr char kFieldPrefix[] = "Invalid Field - ";
constexpr char kEncryptFailedText[] = "Internal Server Error! Could Not Encrypt Response CALL PROVIDER.";
constexpr char kUndefinedText[] = "Error to be defined.";

const std::map<int, const char*>& CodeTexts() {
    static const std::map<int, const char*> kTexts = {
        {kResultInvalidCommandFormat, "Invalid Command Format."},
        {kResultUserAbort, "User Abort."},
        {kResultWeakEncryption, "Weak Encryption Request NOT supported."},
        {kResultClearText, "Clear Text Request NOT supported."},
        {kResultOldClient, "Old Client NOT Supported"},
        {kResultUnrecognizedFormat, "Unrecognized Request Format."},
        {kResultDecryptFailed, "Error occured while decrypting request."},
        {kResultMerchantIdMissing, "Merchant ID Missing."},
        {kResultTStreamMissing, "TStream Type Missing."},
        {kResultEncryptFailed, kEncryptFailedText},
        {kResultInvoiceMissing, "Invoice Number Missing."},
        {kResultRefNoMissing, "Reference Number Missing."},
        {kResultAuthThreadFailed, "Internal Server Error - Auth Thread Failed to Start Retry Trans/Restart Kestrove!"},
        {kResultShuttingDown, "Kestrove is Being Requested to ShutDown Restart Kestrove!"},
        {kResultLaneBusy, "Too Many Requests Outstanding for this Lane - Retry Trans Later!"},
        {kResultServerBusy, "Kestrove is Busy - Too Many Requests Outstanding - Retry Trans Later!"},
        {kResultUndefined, kUndefinedText},
        {kResultFieldTranType, "Transaction Type"},
        {kResultFieldAccount, "Account Number"},
        {kResultFieldExpDate, "Expiration Date"},
        {kResultFieldAuthCode, "Auth Code"},
        {kResultFieldAuthAmount, "Auth Amount"},
        {kResultFieldPurchase, "Purchase Amount"},
        {kResultFieldTranCode, "Invalid TranCode."},
        {kResultFieldTStream, "TStream Type."},
    };
    return kTexts;
}

// One "\t\t<Name>value</Name>\r\n" line, or nothing for an empty value.
void AddLine(std::string& out, const char* indent, const char* name, const std::string& value) {
    if (value.empty()) {
        return;
    }
    out += indent;
    out += '<';
    out += name;
    out += '>';
    out += value;
    out += "</";
    out += name;
    out += ">\r\n";
}

} // namespace

std::string CCmdResponse::StatusWord(char status) {
    switch (status) {
    case 'A':
        return "Approved";
    case 'D':
        return "Declined";
    case 'S':
        return "Success";
    default:
        return "Error";
    }
}

void CCmdResponse::Set(int returnCode, char status, const std::string& text, const std::string& traceData) {
    char code[16];
    std::snprintf(code, sizeof(code), "%06d", returnCode);
    m_ReturnCode = code;
    m_CmdStatus = StatusWord(status);
    m_TextResponse = text;
    m_UserTraceData = traceData;
}

std::string CCmdResponse::Fragment() const {
    std::string out = "\t<CmdResponse>\r\n";
    out += "\t\t<ResponseOrigin>" + m_ResponseOrigin + "</ResponseOrigin>\r\n";
    out += "\t\t<VYRXReturnCode>" + m_ReturnCode + "</VYRXReturnCode>\r\n";
    out += "\t\t<CmdStatus>" + m_CmdStatus + "</CmdStatus>\r\n";
    out += "\t\t<TextResponse>" + m_TextResponse + "</TextResponse>\r\n";
    out += "\t\t<UserTraceData>" + m_UserTraceData + "</UserTraceData>\r\n";
    out += "\t</CmdResponse>\r\n";
    return out;
}

std::string CCmdResponse::BuildDocument(int returnCode, char status, const std::string& text,
                                        const std::string& traceData) {
    Set(returnCode, status, text, traceData);
    return kRStreamHead + Fragment() + kRStreamTail;
}

std::string CCmdResponse::BuildFragment(int returnCode, char status, const std::string& text,
                                        const std::string& traceData) {
    Set(returnCode, status, text, traceData);
    return Fragment();
}

std::string FrameReply(const std::string& body, bool encrypted) {
    std::string frame;
    frame.reserve(body.size() + 5);
    frame += kCharFS;
    frame += encrypted ? '2' : '0';
    frame += "00";
    frame += kCharSTX;
    frame += body;
    frame += kCharETX;
    return frame;
}

std::string MaskAccount(const std::string& account) {
    if (account.size() <= 4) {
        return account;
    }
    return std::string(account.size() - 4, 'X') + account.substr(account.size() - 4);
}

std::string MaskExpDate(const std::string& expDate) {
    return std::string(expDate.size(), 'X');
}

SReplyCode ResultCodeText(int resultCode, const std::string& hostErrorText) {
    if (resultCode == kResultHostError) {
        return {resultCode, hostErrorText};
    }
    const auto found = CodeTexts().find(resultCode);
    if (found == CodeTexts().end()) {
        return {kResultUndefined, kUndefinedText};
    }
    std::string text = found->second;
    if (resultCode > kFieldCodeLow && resultCode < kFieldCodeHigh) {
        text.insert(0, kFieldPrefix);
    }
    return {resultCode, text};
}

std::string CTransaction::FormatTranResponse() const {
    const std::string merchantId = CParamStore::Instance().GetValue(kParamMerchantId);
    std::string out = "\t<TranResponse>\r\n";
    AddLine(out, "\t\t", "MerchantID", merchantId);
    AddLine(out, "\t\t", "TerminalID", m_TerminalID);
    AddLine(out, "\t\t", "AcctNo", MaskAccount(m_Account));
    AddLine(out, "\t\t", "ExpDate", MaskExpDate(m_ExpDate));
    AddLine(out, "\t\t", "CardType", m_CardType);
    AddLine(out, "\t\t", "TranCode", m_TranCodeName);
    AddLine(out, "\t\t", "AuthCode", m_HostAuthCode);
    out += "\t\t<CaptureStatus>";
    out += m_Captured ? "Captured" : "NotCaptured";
    out += "</CaptureStatus>\r\n";
    AddLine(out, "\t\t", "RefNo", m_HostRefNo);
    AddLine(out, "\t\t", "VLinkRefNo", m_HostVLinkRefNo);
    AddLine(out, "\t\t", "InvoiceNo", m_InvoiceNo);
    AddLine(out, "\t\t", "OperatorID", m_OperatorID);
    AddLine(out, "\t\t", "Memo", m_Memo);
    out += "\t\t<Amount>\r\n";
    AddLine(out, "\t\t\t", "Purchase", FormatAmount(m_Purchase));
    AddLine(out, "\t\t\t", "Authorize", FormatAmount(m_Authorize));
    AddLine(out, "\t\t\t", "Balance", m_Balance);
    out += "\t\t</Amount>\r\n";
    if (!m_IssueCurrency.empty()) {
        AddLine(out, "\t\t", "IssueCurrency", m_IssueCurrency);
        AddLine(out, "\t\t", "IssueCurrencyPreviousBalance", m_PrevBalance);
        AddLine(out, "\t\t", "IssueCurrencyEndingBalance", m_EndBalance);
        AddLine(out, "\t\t", "ExchangeRate", m_ExchangeRate);
    }
    out += "\t</TranResponse>\r\n";
    return out;
}

std::string CTransaction::FormatRStream() const {
    CCmdResponse response;
    response.m_ResponseOrigin = "Processor";
    return kRStreamHead + response.BuildFragment(0, m_Approved ? 'A' : 'D', m_ResponseText, m_Header) +
           FormatTranResponse() + kRStreamTail;
}

std::string CTransaction::BuildErrorReply() {
    const SReplyCode reply = ResultCodeText(m_ResultCode, m_HostErrorText);
    m_ResultText = reply.Text;
    m_CryptMode = kCryptModePlain;
    CCmdResponse response;
    response.m_ResponseOrigin = "Server";
    return FinishReply(response.BuildDocument(reply.Code, 'E', reply.Text, m_Header));
}

std::string CTransaction::FinishReply(const std::string& text) {
    switch (m_CryptMode) {
    case kCryptModeEncrypted: {
        const std::string body = FormatRStream();
        CLogger::Instance().LogLine("Response Built [%s] for %s", MaskCardData(body).c_str(), m_ClientAddress.c_str());
        std::string hex;
        if (EncryptResponse(hex, body)) {
            m_Reply = FrameReply(hex, true);
        } else {
            m_CryptMode = kCryptModePlain;
            CCmdResponse response;
            m_Reply =
                FrameReply(response.BuildDocument(kResultEncryptFailed, 'E', kEncryptFailedText, m_Header), false);
        }
        break;
    }
    case kCryptModePlain:
        m_Reply = FrameReply(text, false);
        break;
    default:
        break;
    }
    return m_Reply;
}
