#pragma once
// A Datawire VXN endpoint for the tests, on top of the TLS test server: it answers service discovery
// ("GET /sd/<id>") with provider URLs, a ping with a TransactionTimeMs, a transaction by decoding the host message
// from its payload and answering with a host message of its own, and self-registration and activation. Each kind
// of request can be scripted to answer late, with another HTTP status, status word or ReturnCode, a bad body, a
// wrong Content-Length, an early close, or not at all. Every request is recorded as received, byte for byte.
//
// The host message answer comes from a handler, so a host simulator can grow behind the same endpoint.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "peers/TestPki.h"
#include "peers/TlsTestServer.h"
#include "platform/Mutex.h"

enum class DatawireRequestKind { ServiceDiscovery, Ping, Transaction, Registration, Activation, Unknown };

// One request as the endpoint received it.
struct CDatawireRequest {
    DatawireRequestKind kind = DatawireRequestKind::Unknown;
    std::string raw; // header and body, exactly as received
    std::string method;
    std::string path;
    std::string body;
    std::string clientRef;   // of the ReqClientID block, when there is one
    std::string hostMessage; // a transaction's payload, unescaped
};

// When things happened on one connection, as the endpoint saw them (steady clock), for the benchmarks that put
// the client's exchange beside a bare one.
struct CDatawireConnectionTimes {
    std::chrono::steady_clock::time_point accepted;
    std::chrono::steady_clock::time_point firstRequest; // the first request complete; accepted when none came
    std::chrono::steady_clock::time_point lastAnswer;   // the last answer sent; accepted when none went
    std::chrono::steady_clock::time_point ended;        // the connection over (mostly: the client closed it)
    DatawireRequestKind firstKind = DatawireRequestKind::Unknown;
    std::string firstHostMessage; // the first request's host message, unescaped
    int requests = 0;
};

// How the endpoint ends its answer.
enum class DatawireEnding {
    KeepOpen,              // waits for the next request on the same connection
    CloseNotify,           // the close-notify goes out in the same send as the answer
    CloseNotifySeparately, // the close-notify follows after a pause, so the client reads it on its own
    CloseTcp,              // the connection is closed without a close-notify
    Silent                 // answers nothing and waits until the client goes away
};

// What the endpoint answers to one request. The defaults give a well-formed success.
struct CDatawireAnswer {
    uint32_t delayMs = 0; // real-time pause before answering
    int httpStatus = 200;
    std::string statusWord = "OK";
    char quote = '"';                        // around the StatusCode value
    std::string returnCode = "000";          // the ReturnCode element's text; empty: no element
    bool omitResult = false;                 // no Payload / TransactionTimeMs / URL / DID in the body
    int transactionTimeMs = 25;              // of a ping answer
    std::optional<std::string> body;         // the whole body in place of the generated one
    std::optional<std::string> raw;          // the whole response (status line, header, body) in place of everything
    std::optional<long long> declaredLength; // Content-Length value in place of the body's length
    bool omitContentLength = false;
    bool contentLengthWithoutBlank = false; // "Content-Length:12"
    std::string trailingBytes;              // sent behind the body, outside the declared length
    size_t recordSize = 0;                  // plain bytes per TLS record (0: one record of up to 16384)
    uint32_t recordPauseMs = 0;             // real-time pause between those records
    DatawireEnding ending = DatawireEnding::KeepOpen;
};

// Listens on 127.0.0.1 with |identity|'s certificate. Thread-safe: the setters may be called at any time (each
// request takes a copy of the script under the lock), the recordings read at any time.
class CDatawireEndpoint {
public:
    // The host message answer for a transaction's decoded host message.
    using HostHandler = std::function<std::string(const std::string& hostMessage)>;
    // Sees every request before it is answered and may change the answer.
    using RequestHook = std::function<void(const CDatawireRequest& request, CDatawireAnswer* answer)>;

    // |identity| (owned by a CTestPki) must outlive the endpoint.
    explicit CDatawireEndpoint(const CTestIdentity& identity);
    ~CDatawireEndpoint();
    CDatawireEndpoint(const CDatawireEndpoint&) = delete;
    CDatawireEndpoint& operator=(const CDatawireEndpoint&) = delete;

    bool Start();
    void Stop();
    int Port() const { return m_Server.Port(); }
    // "127.0.0.1:<port>", what a client is given as its host.
    std::string HostAndPort() const;

    void SetAnswer(DatawireRequestKind kind, const CDatawireAnswer& answer);
    // The URLs of the discovery answer (default: one, "https://<HostAndPort>/sd").
    void SetProviderUrls(const std::vector<std::string>& urls);
    // The answer to every transaction (default: a fixed host message).
    void SetHostAnswer(const std::string& hostMessage);
    void SetHostHandler(HostHandler handler);
    void SetRequestHook(RequestHook hook);
    // The DID and URL of a registration answer.
    void SetRegistrationAnswer(const std::string& did, const std::string& url);

    std::vector<CDatawireRequest> Requests() const;
    std::vector<std::string> RawRequests() const;
    // Waits in real time until |count| requests have been recorded.
    bool WaitForRequests(size_t count, uint32_t timeoutMs = 5000) const;
    int ConnectionsAccepted() const { return m_Server.ConnectionsAccepted(); }
    // The times of every connection that has ended, in the order they ended.
    std::vector<CDatawireConnectionTimes> ConnectionTimes() const;
    // The listen backlog, for before Start (default 16).
    void SetBacklog(int backlog) { m_Server.SetBacklog(backlog); }

    // The parts of a request, for the endpoint and for tests: the length of the first complete request in
    // |text| (0 while incomplete) and the parsed request.
    static size_t CompleteRequestLength(const std::string& text);
    static CDatawireRequest ParseRequest(const std::string& raw);
    // The endpoint's own escaping, written apart from the client's so that one checks the other.
    static std::string EscapePayload(const std::string& text);
    static std::string UnescapePayload(const std::string& text);

private:
    void Serve(CTlsTestConnection& connection, CDatawireConnectionTimes* times);
    // The answer to |request| and the whole response text it makes.
    CDatawireAnswer AnswerFor(const CDatawireRequest& request);
    std::string BuildResponse(const CDatawireRequest& request, const CDatawireAnswer& answer);
    std::string BuildBody(const CDatawireRequest& request, const CDatawireAnswer& answer);
    bool SendResponse(CTlsTestConnection& connection, const std::string& response, const CDatawireAnswer& answer);

    CTlsTestServer m_Server;
    mutable CMutex m_Lock;
    CDatawireAnswer m_Answers[6] GUARDED_BY(m_Lock); // by kind
    std::vector<std::string> m_ProviderUrls GUARDED_BY(m_Lock);
    std::string m_HostAnswer GUARDED_BY(m_Lock);
    HostHandler m_HostHandler GUARDED_BY(m_Lock);
    RequestHook m_RequestHook GUARDED_BY(m_Lock);
    std::string m_RegistrationDid GUARDED_BY(m_Lock);
    std::string m_RegistrationUrl GUARDED_BY(m_Lock);
    std::vector<CDatawireRequest> m_Requests GUARDED_BY(m_Lock);

    std::vector<CDatawireConnectionTimes> m_ConnectionTimes GUARDED_BY(m_Lock);
};
