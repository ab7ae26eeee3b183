#include "host/DatawireClient.h"

#include <algorithm>

#include "foundation/Logger.h"
#include "foundation/ParamSettings.h"
#include "foundation/ParamStore.h"
#include "foundation/TextHelpers.h"
#include "host/ContentLengthHeader.h"
#include "platform/AsciiChars.h"
#include "platform/Clock.h"
#include "platform/Hex.h"
#include "transaction/Transaction.h"

namespace {
constexpr char kXmlDeclaration[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n";

struct StatusWord {
    const char* word;
    int code;
};

// Compared exactly, in this order; any other word is 50050.
constexpr StatusWord kStatusWords[] = {
    {"AuthenticationError", 50013},
    {"UnknownServiceID", 50040},
    {"PackageWasStopped", 50049},
    {"WrongSessionContext", 50006},
    {"Timeout", 50011},
    {"XMLError", 50041},
    {"OtherError", 50050},
    {"Retry", 50055},
    {"Duplicated", 50056},
    {"Failed", 50057},
    {"AccessDenied", 50058},
    {"InvalidMerchant", 50059},
    {"NotFound", 50060},
};

struct StatusMessage {
    int code;
    const char* message;
};

constexpr StatusMessage kStatusMessages[] = {
    {50001, "Invalid Datawire ID (DID) Specified"},
    {50002, "Invalid Packet ID Specified (Datawire)"},
    {50003, "Invalid Destination IP (Datawire)"},
    {50004, "Invalid Destination Port (Datawire)"},
    {50005, "Invalid Data Length (Datawire)"},
    {50006, "Invalid Session ID (Datawire)"},
    {50007, "Socket Error(Datawire)"},
    {50008, "Network or Bad Address (Datawire)"},
    {50009, "Send Error (Datawire)"},
    {50010, "Receive Error (Datawire)"},
    {50011, "Response Timed Out (DataWire)"},
    {50012, "Insane Packet (Datawire)"},
    {50013, "Authentication Error Check MID TID"},
    {50014, "NULL Query (Datawire)"},
    {50015, "NULL Response (Datawire)"},
    {50016, "Server Not Available (Datawire)"},
    {50030, "System is Out of Memory! (Datawire)"},
    {50035, "Invalid Service Name (Datawire)"},
    {50037, "Session Already Exists (Datawire)"},
    {50038, "Service Discovery Unavailable (Datawire)"},
    {50039, "Internal Error (Datawire)"},
    {50040, "The Host Service is not in service (Datawire)"},
    {50041, "XML Error From Datawire - Check TIDS(Parameters)"},
    {50042, "HTTP Error\t(Datawire)"},
    {50043, "Internet Error (Datawire)"},
    {50044, "Bad Url Error (Datawire)"},
    {50045, "No Service (Datawire)"},
    {50046, "XML (Parser) Error From Datawire - Check TIDS(Parameters)"},
    {50047, "Overflow on Request (Datawire)"},
    {50048, "Bad Response (Datawire)"},
    {50049, "Package Stopped (Datawire)"},
    {50050, "Other Error  (Datawire)"},
    {50051, "Overflow on Response (Datawire)"},
    {50052, "Internet Timeout (Datawire)"},
    {50053, "Send Error from Datawire"},
    {50054, "Receive error From Datawire"},
    {50055, "Retry error From Datawire"},
    {50056, "Duplicated Request error From Datawire"},
    {50057, "Failed Request error From Datawire"},
    {50058, "Access Denied error From Datawire"},
    {50059, "Invalid Merchant error From Datawire"},
    {50060, "Data Not Found error From Datawire"},
    {50061, "Lib Expired error From Datawire"},
    {50062, "Invalid Server Cert error From Datawire"},
    {50200, "Host is Busy (Datawire)"},
    {50201, "Host is not Available (Datawire)"},
    {50202, "Unable To Connect Host (Datawire)"},
    {50203, "Host Disconnected (Datawire)"},
    {50204, "Unknown Host Com Error (Datawire)"},
    {50205, "No Response (Datawire)"},
    {50206, "Unable To Send (Datawire)"},
    {50405, "SRP Timeout error From Datawire"},
    {50505, "Network Error From Datawire"},
    {50999, "TimeStamp Expired (Datawire)"},
};

// The blanks trimmed from an element's or an attribute's text.
constexpr std::string_view kBlanks = " \t\r\n";
} // namespace

CDatawireClient::CDatawireClient(const CTlsContext* credential) : CTlsChannel(credential) {}

CDatawireClient::~CDatawireClient() {
    Close();
}

bool CDatawireClient::Connect() {
    const std::vector<std::string> params =
        CParamStore::Instance().GetValues({kParamIpConnectTimeout, kParamVerifySslCertificate});
    const int seconds = LeadingInt(params[0]);
    const uint32_t timeoutMs = seconds <= 0 ? 0 : static_cast<uint32_t>(std::min(seconds, 4000000)) * 1000U;
    if (!CTlsChannel::Connect(m_Endpoint.m_HostName, m_Endpoint.m_Port, timeoutMs, kHandshakeTimeoutMs)) {
        return false;
    }
    if (params[1] == "Y" && !VerifyServerCertificate(m_Endpoint.m_HostName)) {
        Close();
        return false;
    }
    return true;
}

std::string CDatawireClient::BuildClientIdBlock(const std::string& did, int32_t clientRef) const {
    const std::vector<std::string> params =
        CParamStore::Instance().GetValues({kParamMerchantId, kParamAlternateMerchantId});
    std::string block;
    block += "\t<ReqClientID>\r\n";
    block += "\t\t<DID>" + did + "</DID>\r\n";
    block += std::string("\t\t<App>") + kAppId + "</App>\r\n";
    block += "\t\t<Auth>" + params[0] + "|" + params[1] + "</Auth>\r\n";
    block += "\t\t<ClientRef>" + FormatClientRef(clientRef) + "</ClientRef>\r\n";
    block += "\t</ReqClientID>\r\n";
    return block;
}

std::string CDatawireClient::BuildRequestHeaderLines() const {
    std::string lines = std::string("User-Agent: ") + kUserAgent + "\r\n";
    lines += "Host: " + m_Endpoint.m_Host + "\r\n";
    lines += "Accept: */*\r\n";
    lines += "Connection: Keep-Alive\r\n";
    lines += "Cache-Control: no-cache\r\n";
    lines += "Content-Type: text/xml\r\n";
    return lines;
}

std::string CDatawireClient::BuildHttpPostHeader(size_t contentLength) const {
    std::string header;
    header +=
        "POST " + (m_Endpoint.m_Path.empty() ? std::string(kDefaultServicePath) : m_Endpoint.m_Path) + " HTTP/1.1\r\n";
    header += BuildRequestHeaderLines();
    header += FormatText("Content-Length: %zu\r\n", contentLength);
    header += "\r\n";
    return header;
}

std::string CDatawireClient::BuildPostedRequest(int32_t clientRef, const std::string& body) const {
    const std::string did = CParamStore::Instance().GetValue(kParamDatawireId);
    std::string envelope = kXmlDeclaration;
    envelope += "<Request>\r\n";
    envelope += BuildClientIdBlock(did, clientRef);
    envelope += body;
    envelope += "</Request>\r\n";
    return BuildHttpPostHeader(envelope.size()) + envelope;
}

bool CDatawireClient::BuildTransactionRequest(const CTransaction& transaction, int32_t stan) {
    std::string body = "\t<Transaction>\r\n";
    body += "\t\t<ServiceID>" + m_ServiceID + "</ServiceID>\r\n";
    body += "\t\t<Payload>" + PipeHexEncode(transaction.m_HostRequest) + "</Payload>\r\n";
    body += "\t</Transaction>\r\n";
    m_RequestBuffer = BuildPostedRequest(stan, body);
    return true;
}

bool CDatawireClient::BuildServiceDiscoveryRequest() {
    m_RequestBuffer = "GET /sd/" + m_ServiceID + " HTTP/1.1\r\n" + BuildRequestHeaderLines() + "\r\n";
    return true;
}

bool CDatawireClient::BuildPingRequest(int32_t clientRef) {
    std::string body = "\t<Ping>\r\n";
    body += "\t\t<ServiceID>" + m_ServiceID + "</ServiceID>\r\n";
    body += "\t</Ping>\r\n";
    m_RequestBuffer = BuildPostedRequest(clientRef, body);
    return true;
}

std::string CDatawireClient::BuildRegistrationEnvelope(const std::string& element, int32_t clientRef) const {
    // The registration asks for a DID, so it sends none; the activation names the one it was given.
    const std::string did =
        element == "Registration" ? std::string() : CParamStore::Instance().GetValue(kParamDatawireId);
    std::string envelope = kXmlDeclaration;
    envelope +=
        std::string("<!DOCTYPE Request PUBLIC \"") + kRegistrationPublicId + "\" \"" + m_RegistrationDtd + "\">\r\n";
    envelope += "<Request Version = \"3\">\r\n";
    envelope += BuildClientIdBlock(did, clientRef);
    envelope += "\t<" + element + ">\r\n";
    envelope += "\t\t<ServiceID>" + m_ServiceID + "</ServiceID>\r\n";
    envelope += "\t</" + element + ">\r\n";
    envelope += "</Request>\r\n";

    std::string header = std::string("POST ") + kRegistrationPath + " HTTP/1.1\r\n";
    header += std::string("User-Agent: ") + kUserAgent + "\r\n";
    header += "Host: " + m_Endpoint.m_Host + "\r\n";
    header += "Connection: Keep-Alive\r\n";
    header += "Cache-Control: no-cache\r\n";
    header += FormatText("Content-Length: %zu\r\n", envelope.size());
    header += "Content-Type: text/xml\r\n\r\n";
    return header + envelope;
}

bool CDatawireClient::BuildRegistrationRequest(int32_t clientRef) {
    m_RequestBuffer = BuildRegistrationEnvelope("Registration", clientRef);
    return true;
}

bool CDatawireClient::BuildActivationRequest(int32_t clientRef) {
    m_RequestBuffer = BuildRegistrationEnvelope("Activation", clientRef);
    return true;
}

int CDatawireClient::SendRequestAndRead(bool transaction) {
    if (transaction) {
        m_PayloadText.clear();
    }
    m_RequestWentOut = false;
    m_HttpStatus = 0;
    // One record carries at most the channel's maximum message; a longer request goes out in several.
    const size_t record = std::max<size_t>(1, MaxMessageSize());
    for (size_t at = 0; at < m_RequestBuffer.size(); at += record) {
        if (!EncryptSend(m_RequestBuffer.data() + at, std::min(record, m_RequestBuffer.size() - at))) {
            return -1;
        }
    }
    m_RequestWentOut = true;
    if (transaction) {
        m_AwaitingResponse = true;
    }
    return ReadResponse();
}

int CDatawireClient::ReadResponse() {
    m_ResponseText.clear();
    const uint64_t start = GetClock().TickMs();
    for (;;) {
        const uint64_t elapsed = GetClock().TickMs() - start;
        if (elapsed >= m_ResponseBudgetMs) {
            return 0; // the budget ran out before the response was whole: no answer
        }
        int count = 0;
        const int result =
            ReceiveAndDecrypt(&count, &m_ResponseText, static_cast<uint32_t>(m_ResponseBudgetMs - elapsed));
        if (result == kReceiveOk) {
            const size_t length = CompleteResponseLength(m_ResponseText, false);
            if (length > 0) {
                m_ResponseText.resize(length);
                return static_cast<int>(length);
            }
            if (m_ResponseText.size() > kMaxResponseBytes) {
                SetLastError(kCodeResponseOverflow, DatawireStatusText(kCodeResponseOverflow));
                return -1;
            }
            continue;
        }
        // The server ended the session (close-notify, or the connection closed without one): whatever it sent
        // before counts, in whichever read the end came.
        const bool ended = result == kReceiveEndOfSession || (result == kReceiveTimeout && !IsConnected());
        if (ended) {
            const size_t length = CompleteResponseLength(m_ResponseText, true);
            if (length > 0) {
                m_ResponseText.resize(length);
                return static_cast<int>(length);
            }
            return 0;
        }
        return result == kReceiveTimeout ? 0 : -1;
    }
}

size_t CDatawireClient::CompleteResponseLength(const std::string& text, bool sessionEnded) {
    const CFramedHeader header = ScanFramedHeader(text);
    if (!header.ended) {
        return 0;
    }
    if (header.haveLength) {
        return text.size() - header.bodyStart >= header.contentLength ? header.bodyStart + header.contentLength : 0;
    }
    return sessionEnded ? text.size() : 0;
}

CDatawireResult CDatawireClient::DatawireFailure(int code) {
    SetLastError(code, DatawireStatusText(code));
    m_IsDatawireStatus = 1;
    return CDatawireResult{false, code};
}

CDatawireResult CDatawireClient::DecodeCommon() {
    int status = -1;
    if (m_ResponseText.compare(0, 5, "HTTP/") == 0) {
        status = LeadingInt(SafeMid(m_ResponseText, 9, 3));
    }
    m_HttpStatus = status;
    if (status != 200) {
        // A fresh text: whatever an earlier step of this client left there (another host's connect error) is
        // not what went wrong now.
        m_LastErrorText = FormatText(" HTTP:%d", status);
        return CDatawireResult{false, 0};
    }
    const std::string word = GetAttribute(m_ResponseText, "Status", "StatusCode");
    if (word != "OK") {
        return DatawireFailure(DatawireStatusWordCode(word));
    }
    const int returnCode = LeadingInt(GetElementText(m_ResponseText, "ReturnCode", 1));
    if (returnCode != 0) {
        return DatawireFailure(returnCode);
    }
    return CDatawireResult{true, 0};
}

bool CDatawireClient::SendAndReceive() {
    m_AwaitingResponse = false;
    return ReadTransactionResponse().ok;
}

CDatawireResult CDatawireClient::ReadTransactionResponse() {
    if (SendRequestAndRead(true) <= 0) {
        return CDatawireResult{false, 0}; // m_AwaitingResponse stays set when the request went out
    }
    m_AwaitingResponse = false;
    return DecodeTransactionResponse();
}

CDatawireResult CDatawireClient::DecodeTransactionResponse() {
    m_PayloadText.clear();
    const CDatawireResult common = DecodeCommon();
    if (!common.ok) {
        return common;
    }
    const std::string payload = GetElementText(m_ResponseText, "Payload", 1);
    if (payload.empty()) {
        return DatawireFailure(kCodeBadResponse);
    }
    m_PayloadText = PipeHexDecode(payload);
    return CDatawireResult{true, 0};
}

CDatawireResult CDatawireClient::ReadServiceDiscoveryResponse(std::vector<std::string>* urls) {
    urls->clear();
    if (!Exchange()) {
        return CDatawireResult{false, 0};
    }
    return DecodeServiceDiscoveryResponse(urls);
}

CDatawireResult CDatawireClient::DecodeServiceDiscoveryResponse(std::vector<std::string>* urls) {
    urls->clear();
    const CDatawireResult common = DecodeCommon();
    if (!common.ok) {
        return common;
    }
    size_t from = 0;
    for (;;) {
        const size_t open = m_ResponseText.find("<URL>", from);
        if (open == std::string::npos) {
            break;
        }
        const size_t start = open + 5;
        const size_t close = m_ResponseText.find("</URL>", start);
        if (close == std::string::npos) {
            break;
        }
        const std::string url = ServiceAddressOf(m_ResponseText.substr(start, close - start));
        if (!url.empty()) {
            urls->push_back(url);
        }
        from = close;
    }
    if (urls->empty()) {
        return DatawireFailure(kCodeBadResponse);
    }
    return CDatawireResult{true, 0};
}

CDatawireResult CDatawireClient::ReadPingResponse(int* milliseconds) {
    *milliseconds = 0;
    if (!Exchange()) {
        return CDatawireResult{false, 0};
    }
    return DecodePingResponse(milliseconds);
}

CDatawireResult CDatawireClient::DecodePingResponse(int* milliseconds) {
    *milliseconds = 0;
    const CDatawireResult common = DecodeCommon();
    if (!common.ok) {
        return common;
    }
    *milliseconds = LeadingInt(GetElementText(m_ResponseText, "TransactionTimeMs", 1));
    if (*milliseconds <= 0) {
        return DatawireFailure(kCodeBadResponse);
    }
    return CDatawireResult{true, 0};
}

CDatawireResult CDatawireClient::ReadRegistrationResponse(std::string* did, std::string* providerHost,
                                                          std::string* providerPath) {
    did->clear();
    providerHost->clear();
    providerPath->clear();
    if (!Exchange("Registration")) {
        return CDatawireResult{false, 0};
    }
    return DecodeRegistrationResponse(did, providerHost, providerPath);
}

CDatawireResult CDatawireClient::DecodeRegistrationResponse(std::string* did, std::string* providerHost,
                                                            std::string* providerPath) {
    did->clear();
    providerHost->clear();
    providerPath->clear();
    const CDatawireResult common = DecodeCommon();
    if (!common.ok) {
        return common;
    }
    *did = TrimChars(GetElementText(m_ResponseText, "DID", 1), kBlanks);
    const std::string url = ServiceAddressOf(GetElementText(m_ResponseText, "URL", 1));
    const size_t sd = url.rfind("/sd");
    *providerHost = sd == std::string::npos ? url : url.substr(0, sd);
    *providerPath = sd == std::string::npos ? std::string() : url.substr(sd);
    if (did->empty() && url.empty()) {
        return DatawireFailure(kCodeBadResponse);
    }
    return CDatawireResult{true, 0};
}

CDatawireResult CDatawireClient::ReadActivationResponse() {
    if (!Exchange("Activation")) {
        return CDatawireResult{false, 0};
    }
    return DecodeActivationResponse();
}

bool CDatawireClient::Exchange(const char* setUp) {
    if (setUp != nullptr) {
        CLogger::Instance().LogLine("Sending Merchant %s:\r\n%s", setUp, m_RequestBuffer.c_str());
    }
    const int length = SendRequestAndRead(false);
    if (setUp != nullptr) {
        CLogger::Instance().LogLine("Merchant %s Response:\r\n%s", setUp, m_ResponseText.c_str());
    }
    return length > 0;
}

CDatawireResult CDatawireClient::DecodeActivationResponse() {
    return DecodeCommon();
}

std::string CDatawireClient::PipeHexEncode(const std::string& text) {
    std::string out;
    out.reserve(text.size() * 3);
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (IsAsciiLetterOrDigit(c)) {
            out += c;
        } else {
            out += '|';
            AppendHexByte(out, byte, HexCase::kLower);
        }
    }
    return out;
}

std::string CDatawireClient::PipeHexDecode(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '|' && i + 2 < text.size() && HexDigitValue(text[i + 1]) >= 0 &&
            HexDigitValue(text[i + 2]) >= 0) {
            out += static_cast<char>(HexDigitValue(text[i + 1]) * 16 + HexDigitValue(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string FormatClientRef(int32_t number) {
    return FormatText("%07dV005006", number);
}

std::string DatawireStatusText(int code) {
    const long long lookup = code < 1000 ? static_cast<long long>(code) + 50000 : code;
    const char* message = "Unknown Datawire Error";
    for (const StatusMessage& entry : kStatusMessages) {
        if (entry.code == lookup) {
            message = entry.message;
            break;
        }
    }
    return FormatText("DW:%d %s", code, message);
}

int DatawireStatusWordCode(const std::string& word) {
    for (const StatusWord& entry : kStatusWords) {
        if (word == entry.word) {
            return entry.code;
        }
    }
    return CDatawireClient::kCodeOtherError;
}

std::string GetElementText(const std::string& xml, const std::string& tag, int occurrence) {
    const std::string open = "<" + tag + ">";
    const std::string close = "</" + tag + ">";
    size_t pos = xml.find(open);
    for (int i = 1; i < occurrence && pos != std::string::npos; ++i) {
        const size_t after = pos + open.size();
        pos = after >= xml.size() ? std::string::npos : xml.find(open, after);
    }
    if (pos == std::string::npos) {
        return std::string();
    }
    const size_t start = pos + open.size();
    const size_t end = xml.find(close, pos);
    if (end == std::string::npos || end < start) {
        return std::string();
    }
    return xml.substr(start, end - start);
}

std::string GetAttribute(const std::string& xml, const std::string& element, const std::string& attribute) {
    const size_t open = xml.find("<" + element);
    if (open == std::string::npos) {
        return std::string();
    }
    size_t end = xml.find("</" + element + ">", open);
    if (end == std::string::npos) {
        end = xml.find("/>", open);
    }
    if (end == std::string::npos) {
        return std::string();
    }
    const size_t inner = open + 1 + element.size();
    if (end < inner) {
        return std::string();
    }
    const std::string tag = xml.substr(inner, end - inner);
    const size_t name = tag.find(attribute + "=");
    if (name == std::string::npos) {
        return std::string();
    }
    const size_t quote = tag.find_first_of("\"'", name + attribute.size() + 1);
    if (quote == std::string::npos) {
        return std::string();
    }
    const size_t closing = tag.find(tag[quote], quote + 1);
    const size_t valueEnd = closing == std::string::npos ? tag.size() : closing;
    return TrimChars(tag.substr(quote + 1, valueEnd - quote - 1), kBlanks);
}
