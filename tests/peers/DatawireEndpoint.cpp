#include "peers/DatawireEndpoint.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "common/Wait.h"

namespace {
constexpr size_t kMaxRecord = 16384;
constexpr uint32_t kSliceMs = 5;
constexpr uint32_t kSeparateClosePauseMs = 50;
constexpr char kDefaultHostAnswer[] = "HOST ANSWER 00.APPROVED";
constexpr char kDefaultDid[] = "00020304050607080910";

// Pauses in real time, giving way when the server stops.
void PauseMs(uint32_t ms, const CTlsTestConnection& connection) {
    for (uint32_t waited = 0; waited < ms && !connection.Stopping(); waited += kSliceMs) {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(kSliceMs, ms - waited)));
    }
}

std::string Upper(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

std::string Between(const std::string& text, const std::string& open, const std::string& close) {
    const size_t start = text.find(open);
    if (start == std::string::npos) {
        return std::string();
    }
    const size_t from = start + open.size();
    const size_t end = text.find(close, from);
    return end == std::string::npos ? std::string() : text.substr(from, end - from);
}

const char* ReasonPhrase(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 404:
        return "Not Found";
    case 500:
        return "Internal Server Error";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

size_t KindIndex(DatawireRequestKind kind) {
    return static_cast<size_t>(kind);
}
} // namespace

CDatawireEndpoint::CDatawireEndpoint(const CTestIdentity& identity)
    : m_Server(identity), m_HostAnswer(kDefaultHostAnswer), m_RegistrationDid(kDefaultDid) {
    m_Answers[KindIndex(DatawireRequestKind::Unknown)].httpStatus = 404;
    m_Server.SetScenario([this](CTlsTestConnection& connection) {
        CDatawireConnectionTimes times;
        times.accepted = times.firstRequest = times.lastAnswer = connection.AcceptedAt();
        Serve(connection, &times);
        times.ended = std::chrono::steady_clock::now();
        CMutexLock lock(m_Lock);
        m_ConnectionTimes.push_back(std::move(times));
    });
}

CDatawireEndpoint::~CDatawireEndpoint() {
    Stop();
}

bool CDatawireEndpoint::Start() {
    return m_Server.Start();
}

void CDatawireEndpoint::Stop() {
    m_Server.Stop();
}

std::string CDatawireEndpoint::HostAndPort() const {
    return "127.0.0.1:" + std::to_string(Port());
}

void CDatawireEndpoint::SetAnswer(DatawireRequestKind kind, const CDatawireAnswer& answer) {
    CMutexLock lock(m_Lock);
    m_Answers[KindIndex(kind)] = answer;
}

void CDatawireEndpoint::SetProviderUrls(const std::vector<std::string>& urls) {
    CMutexLock lock(m_Lock);
    m_ProviderUrls = urls;
}

void CDatawireEndpoint::SetHostAnswer(const std::string& hostMessage) {
    CMutexLock lock(m_Lock);
    m_HostAnswer = hostMessage;
}

void CDatawireEndpoint::SetHostHandler(HostHandler handler) {
    CMutexLock lock(m_Lock);
    m_HostHandler = std::move(handler);
}

void CDatawireEndpoint::SetRequestHook(RequestHook hook) {
    CMutexLock lock(m_Lock);
    m_RequestHook = std::move(hook);
}

void CDatawireEndpoint::SetRegistrationAnswer(const std::string& did, const std::string& url) {
    CMutexLock lock(m_Lock);
    m_RegistrationDid = did;
    m_RegistrationUrl = url;
}

std::vector<CDatawireRequest> CDatawireEndpoint::Requests() const {
    CMutexLock lock(m_Lock);
    return m_Requests;
}

std::vector<std::string> CDatawireEndpoint::RawRequests() const {
    CMutexLock lock(m_Lock);
    std::vector<std::string> raw;
    for (const CDatawireRequest& request : m_Requests) {
        raw.push_back(request.raw);
    }
    return raw;
}

std::vector<CDatawireConnectionTimes> CDatawireEndpoint::ConnectionTimes() const {
    CMutexLock lock(m_Lock);
    return m_ConnectionTimes;
}

bool CDatawireEndpoint::WaitForRequests(size_t count, uint32_t timeoutMs) const {
    return WaitUntil(
        [&] {
            CMutexLock lock(m_Lock);
            return m_Requests.size() >= count;
        },
        timeoutMs, kSliceMs);
}

size_t CDatawireEndpoint::CompleteRequestLength(const std::string& text) {
    const size_t headerEnd = text.find("\r\n\r\n");
    if (headerEnd == std::string::npos) {
        return 0;
    }
    const size_t bodyStart = headerEnd + 4;
    const std::string header = Upper(text.substr(0, headerEnd + 2));
    size_t length = 0;
    const size_t field = header.find("\r\nCONTENT-LENGTH:");
    if (field != std::string::npos) {
        length = static_cast<size_t>(std::strtoull(header.c_str() + field + 17, nullptr, 10));
    }
    return text.size() - bodyStart >= length ? bodyStart + length : 0;
}

CDatawireRequest CDatawireEndpoint::ParseRequest(const std::string& raw) {
    CDatawireRequest request;
    request.raw = raw;
    const size_t lineEnd = raw.find("\r\n");
    const std::string requestLine = raw.substr(0, lineEnd);
    const size_t firstBlank = requestLine.find(' ');
    const size_t secondBlank =
        firstBlank == std::string::npos ? std::string::npos : requestLine.find(' ', firstBlank + 1);
    request.method = requestLine.substr(0, firstBlank);
    if (firstBlank != std::string::npos) {
        request.path = requestLine.substr(
            firstBlank + 1, secondBlank == std::string::npos ? std::string::npos : secondBlank - firstBlank - 1);
    }
    const size_t headerEnd = raw.find("\r\n\r\n");
    request.body = headerEnd == std::string::npos ? std::string() : raw.substr(headerEnd + 4);
    request.clientRef = Between(request.body, "<ClientRef>", "</ClientRef>");
    if (request.method == "GET" && request.path.rfind("/sd/", 0) == 0) {
        request.kind = DatawireRequestKind::ServiceDiscovery;
    } else if (request.method == "POST" && request.body.find("<Ping>") != std::string::npos) {
        request.kind = DatawireRequestKind::Ping;
    } else if (request.method == "POST" && request.body.find("<Transaction>") != std::string::npos) {
        request.kind = DatawireRequestKind::Transaction;
        request.hostMessage = UnescapePayload(Between(request.body, "<Payload>", "</Payload>"));
    } else if (request.method == "POST" && request.body.find("<Registration>") != std::string::npos) {
        request.kind = DatawireRequestKind::Registration;
    } else if (request.method == "POST" && request.body.find("<Activation>") != std::string::npos) {
        request.kind = DatawireRequestKind::Activation;
    }
    return request;
}

std::string CDatawireEndpoint::EscapePayload(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (std::isalnum(static_cast<unsigned char>(c)) && static_cast<unsigned char>(c) < 0x80) {
            out += c;
        } else {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "|%02x", static_cast<unsigned char>(c));
            out += escaped;
        }
    }
    return out;
}

std::string CDatawireEndpoint::UnescapePayload(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '|' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

CDatawireAnswer CDatawireEndpoint::AnswerFor(const CDatawireRequest& request) {
    CDatawireAnswer answer;
    RequestHook hook;
    {
        CMutexLock lock(m_Lock);
        answer = m_Answers[KindIndex(request.kind)];
        hook = m_RequestHook;
    }
    if (hook) {
        hook(request, &answer);
    }
    return answer;
}

std::string CDatawireEndpoint::BuildBody(const CDatawireRequest& request, const CDatawireAnswer& answer) {
    if (answer.body) {
        return *answer.body;
    }
    std::string did;
    std::string hostAnswer;
    HostHandler handler;
    std::vector<std::string> urls;
    std::string registrationUrl;
    {
        CMutexLock lock(m_Lock);
        did = m_RegistrationDid;
        hostAnswer = m_HostAnswer;
        handler = m_HostHandler;
        urls = m_ProviderUrls;
        registrationUrl = m_RegistrationUrl;
    }
    if (urls.empty()) {
        urls.push_back("https://" + HostAndPort() + "/sd");
    }
    if (registrationUrl.empty()) {
        registrationUrl = "https://" + HostAndPort() + "/sd";
    }
    const std::string q(1, answer.quote);
    const std::string returnCode =
        answer.returnCode.empty() ? std::string() : "\t\t<ReturnCode>" + answer.returnCode + "</ReturnCode>\r\n";
    std::string body = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<Response Version=\"3\">\r\n";
    // A merchant that registers has no DID yet; its answer names the new one further down.
    const std::string clientDid =
        request.kind == DatawireRequestKind::Registration ? std::string() : "\t\t<DID>" + did + "</DID>\r\n";
    body += "\t<RespClientID>\r\n" + clientDid + "\t\t<ClientRef>" + request.clientRef +
            "</ClientRef>\r\n\t</RespClientID>\r\n";
    body += "\t<Status StatusCode=" + q + answer.statusWord + q + "></Status>\r\n";
    switch (request.kind) {
    case DatawireRequestKind::Transaction:
        body += "\t<TransactionResponse>\r\n" + returnCode;
        if (!answer.omitResult) {
            const std::string hostMessage = handler ? handler(request.hostMessage) : hostAnswer;
            body += "\t\t<Payload>" + EscapePayload(hostMessage) + "</Payload>\r\n";
        }
        body += "\t</TransactionResponse>\r\n";
        break;
    case DatawireRequestKind::Ping:
        body += "\t<PingResponse>\r\n" + returnCode + "\t\t<ServiceID>104</ServiceID>\r\n";
        if (!answer.omitResult) {
            body += "\t\t<TransactionTimeMs>" + std::to_string(answer.transactionTimeMs) + "</TransactionTimeMs>\r\n";
        }
        body += "\t</PingResponse>\r\n";
        break;
    case DatawireRequestKind::ServiceDiscovery:
        body += "\t<ServiceDiscoveryResponse>\r\n" + returnCode;
        if (!answer.omitResult) {
            for (const std::string& url : urls) {
                body += "\t\t<ServiceProvider>\r\n\t\t\t<URL>" + url + "</URL>\r\n\t\t</ServiceProvider>\r\n";
            }
        }
        body += "\t</ServiceDiscoveryResponse>\r\n";
        break;
    case DatawireRequestKind::Registration:
        body += "\t<RegistrationResponse>\r\n" + returnCode;
        if (!answer.omitResult) {
            body += "\t\t<DID>" + did + "</DID>\r\n\t\t<URL>" + registrationUrl + "</URL>\r\n";
        }
        body += "\t</RegistrationResponse>\r\n";
        break;
    case DatawireRequestKind::Activation:
        body += "\t<ActivationResponse>\r\n" + returnCode + "\t</ActivationResponse>\r\n";
        break;
    case DatawireRequestKind::Unknown:
        break;
    }
    body += "</Response>\r\n";
    return body;
}

std::string CDatawireEndpoint::BuildResponse(const CDatawireRequest& request, const CDatawireAnswer& answer) {
    if (answer.raw) {
        return *answer.raw;
    }
    const std::string body = BuildBody(request, answer);
    std::string response = "HTTP/1.1 " + std::to_string(answer.httpStatus) + " " + ReasonPhrase(answer.httpStatus) +
                           "\r\nContent-Type: text/xml\r\n";
    if (!answer.omitContentLength) {
        const long long length = answer.declaredLength ? *answer.declaredLength : static_cast<long long>(body.size());
        response += (answer.contentLengthWithoutBlank ? "Content-Length:" : "Content-Length: ") +
                    std::to_string(length) + "\r\n";
    }
    response += answer.ending == DatawireEnding::KeepOpen ? "Connection: Keep-Alive\r\n" : "Connection: close\r\n";
    response += "\r\n";
    return response + body + answer.trailingBytes;
}

bool CDatawireEndpoint::SendResponse(CTlsTestConnection& connection, const std::string& response,
                                     const CDatawireAnswer& answer) {
    const size_t record = answer.recordSize == 0 ? kMaxRecord : std::min(answer.recordSize, kMaxRecord);
    std::string pending;
    for (size_t at = 0; at < response.size(); at += record) {
        const std::string piece = response.substr(at, record);
        const bool last = at + record >= response.size();
        if (answer.recordPauseMs == 0) {
            pending += connection.Encrypt(piece);
            continue;
        }
        if (!connection.SendRaw(connection.Encrypt(piece))) {
            return false;
        }
        if (!last) {
            PauseMs(answer.recordPauseMs, connection);
        }
    }
    if (answer.ending == DatawireEnding::CloseNotify) {
        pending += connection.CloseNotifyBytes(); // in the same send as the answer
    }
    return pending.empty() || connection.SendRaw(pending);
}

void CDatawireEndpoint::Serve(CTlsTestConnection& connection, CDatawireConnectionTimes* times) {
    if (!connection.Handshake()) {
        return;
    }
    std::string pending;
    while (!connection.Stopping()) {
        size_t length = CompleteRequestLength(pending);
        while (length == 0) {
            if (!connection.ReadPlain(&pending, pending.size() + 1, 60000)) {
                return;
            }
            length = CompleteRequestLength(pending);
        }
        const CDatawireRequest request = ParseRequest(pending.substr(0, length));
        pending.erase(0, length);
        if (times->requests++ == 0) {
            times->firstRequest = std::chrono::steady_clock::now();
            times->firstKind = request.kind;
            times->firstHostMessage = request.hostMessage;
        }
        const CDatawireAnswer answer = AnswerFor(request);
        const std::string response =
            answer.ending == DatawireEnding::Silent ? std::string() : BuildResponse(request, answer);
        {
            CMutexLock lock(m_Lock);
            m_Requests.push_back(request);
        }
        PauseMs(answer.delayMs, connection);
        switch (answer.ending) {
        case DatawireEnding::Silent:
            connection.WaitForPeerClose(60000);
            return;
        case DatawireEnding::KeepOpen:
            if (!SendResponse(connection, response, answer)) {
                return;
            }
            times->lastAnswer = std::chrono::steady_clock::now();
            break;
        case DatawireEnding::CloseNotify:
            SendResponse(connection, response, answer);
            return;
        case DatawireEnding::CloseNotifySeparately:
            if (SendResponse(connection, response, answer)) {
                PauseMs(kSeparateClosePauseMs, connection);
                connection.SendRaw(connection.CloseNotifyBytes());
            }
            return;
        case DatawireEnding::CloseTcp:
            SendResponse(connection, response, answer);
            return; // the server closes the socket behind us
        }
    }
}
