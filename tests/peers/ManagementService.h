#pragma once
// A management service (NQMS) for the tests, on top of the TLS test server: it sends its challenge, checks the
// client's answer to it with session key 2, answers the client's own challenge, and hands out a configured
// parameter set as the parameter message; then it reads the client's last message ("OK" or an error text). On
// request it misbehaves in one of the ways a client must survive. Every session is recorded.

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "foundation/ParamSettings.h"
#include "peers/TestPki.h"
#include "peers/TlsTestServer.h"
#include "platform/Mutex.h"

enum class NqmsFault {
    None,
    ServiceError,         // "510" carries the configured error text
    WrongChallengeAnswer, // "500" answers the client's challenge with other bytes
    NoChallengeAnswer,    // no "500" pair at all
    WrongType,            // "TERMINAL ID" announced as AN1
    WrongLength,          // "TERMINAL ID" announced with the minimum 5
    InvalidValue,         // "TERMINAL ID" holds a letter
    Pairs21,              // the last parameter left out
    Pairs23,              // one pair too many
    BodyCutShort,         // the parameter message declares more than it sends; the close-notify in the same send
    BodyCutInLastValue,   // the control pairs first, the message cut within the last parameter's value, as above
    ChallengeCutShort,    // the challenge message stops inside its header; the close-notify in the same send
    CloseBeforeChallenge, // the close-notify alone, right after the handshake
    CloseAfterChallenge,  // the challenge, then the connection closes without a close-notify or a read
    OddChallenge,         // the challenge has 31 hex digits
    Silent,               // nothing after the handshake; waits until the client goes
    SilentAfterRequest,   // the challenge, then nothing once the request came
    Oversized,            // a parameter message far longer than any real one
    CloseWithMessage,     // the close-notify goes out in the same send as the parameter message
};

// One session as the service saw it.
struct CNqmsSession {
    std::string challenge;                                   // the body of message 1
    std::string request;                                     // message 2 as received, header and body
    std::vector<std::pair<std::string, std::string>> fields; // its key=value fields, in order
    bool challengeAnswered = false;                          // its CR was the right answer
    std::vector<std::string> laterMessages;                  // the bodies of every message after the request
    std::string Field(const std::string& key) const;
};

// Listens on 127.0.0.1 with |identity|'s certificate. Thread-safe: the setters may be called at any time (each
// session takes a copy of the script under the lock), the recordings read at any time.
class CManagementService {
public:
    // |identity| (owned by a CTestPki) must outlive the service.
    explicit CManagementService(const CTestIdentity& identity);
    ~CManagementService();
    CManagementService(const CManagementService&) = delete;
    CManagementService& operator=(const CManagementService&) = delete;

    bool Start();
    void Stop();
    int Port() const { return m_Server.Port(); }
    // "127.0.0.1:<port>".
    std::string HostAndPort() const;

    // The set handed out (default: the default set).
    void SetParams(const CParamSettings& settings);
    void SetFault(NqmsFault fault);
    // The "510" text of NqmsFault::ServiceError.
    void SetServiceError(const std::string& text);
    // The challenge of every session, in hex (default: 16 random bytes each).
    void SetChallenge(const std::string& hex);

    std::vector<CNqmsSession> Sessions() const;
    // Waits in real time until |count| sessions have ended.
    bool WaitForSessions(size_t count, uint32_t timeoutMs = 5000) const;
    int ConnectionsAccepted() const { return m_Server.ConnectionsAccepted(); }

    // The message framing of the service, written apart from the client's so that one checks the other.
    static std::string Frame(const std::string& body);
    // The length of the first whole message in |text| (0 while incomplete), and its body.
    static size_t CompleteMessageLength(const std::string& text, std::string* body);
    // The parameter message for |settings| (without the control pairs).
    static std::string ParameterPairs(const CParamSettings& settings);
    // The bytes of NqmsFault::BodyCutInLastValue's message that are sent: all but the last two.
    static constexpr size_t kCutInLastValueBytes = 2;
    // Session key 2 over the bytes of |hex|, as upper-case hex.
    static std::string AnswerChallenge(const std::string& hex);

private:
    void Serve(CTlsTestConnection& connection);
    std::string BuildParameterMessage(const CNqmsSession& session, NqmsFault fault, const CParamSettings& settings,
                                      const std::string& serviceError) const;

    CTlsTestServer m_Server;
    mutable CMutex m_Lock;
    CParamSettings m_Settings GUARDED_BY(m_Lock);
    NqmsFault m_Fault GUARDED_BY(m_Lock) = NqmsFault::None;
    std::string m_ServiceError GUARDED_BY(m_Lock);
    std::string m_Challenge GUARDED_BY(m_Lock);
    std::vector<CNqmsSession> m_Sessions GUARDED_BY(m_Lock);
};
