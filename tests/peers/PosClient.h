#pragma once
// A POS client of the port-9100 protocol, for the tests and the poslane program: reads the greeting (public
// key and challenge), logs in with the shared login key, sends encrypted requests and abort requests with a
// key of its own wrapped for the server's public key, and reads and decrypts the framed replies.

#include <atomic>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/Socket.h"

// One reply frame as the client received it.
struct SPosReply {
    std::string frame;      // FS through ETX, as received
    bool encrypted = false; // frame letter '2'
    bool decrypted = false; // an encrypted body that decrypted with the client's key
    std::string document;   // the body; decrypted for an encrypted frame
    int returnCode = -1;    // VYRXReturnCode, -1 when the document has none
    std::string responseOrigin;
    std::string cmdStatus;
    std::string textResponse;
    std::string traceData;
};

// What the login text holds. The defaults make a login that passes.
struct SPosLogin {
    std::string prefix = "VYRClientX 3.10"; // text before the client data
    bool sendClientData = true;             // DC1 + client data + DC2
    bool sendChallengeAnswer = true;        // RS + answer + US
    bool answerInPlain = false;             // answer with the challenge as the greeting showed it
    std::string answerOverride;             // when not empty: sent between RS and US instead of the answer
    std::string password;                   // the client/server password, right before the ETX
    bool sendEtx = true;
};

// The fields of a request, in the order they are sent; empty values are left out.
struct SPosRequest {
    std::string tranCode = "Sale";
    std::string merchantId = "123456789012";
    std::string acctNo;
    std::string track2;
    std::string expDate;
    std::string purchase;
    std::string invoiceNo = "1001";
    std::string refNo = "1001";
    std::string authCode;
    std::string terminalId;
    std::string operatorId;
    std::string memo;
    std::vector<std::pair<std::string, std::string>> extra; // further key=value fields
};
std::vector<std::pair<std::string, std::string>> RequestFields(const SPosRequest& request);

// The text of the first <name>...</name> element of |document|; empty when there is none.
std::string XmlElement(const std::string& document, const std::string& name);

// One connection to the server. Not thread-safe: one thread drives a client. Every wait is real time (the
// client is the server's peer, not part of it), so tests that move a manual clock still get their replies.
class CPosClient {
public:
    CPosClient();
    ~CPosClient() = default;
    CPosClient(const CPosClient&) = delete;
    CPosClient& operator=(const CPosClient&) = delete;

    bool Connect(const std::string& host, int port, int timeoutMs = 5000);
    bool Connected() const { return m_Socket.Valid(); }
    // Orderly close, or a reset (the peer then sees ECONNRESET).
    void Close();
    void Reset();
    int Fd() const { return m_Socket.Get(); }

    // Reads the greeting and keeps its public key and challenge. False when no greeting with both came.
    bool ReadGreeting(SPosReply* reply, int timeoutMs = 5000);
    // Sends the login text.
    bool SendLogin(const SPosLogin& login = SPosLogin());
    // Sends the login and reads its reply; true when it is 2000 "Login Verified.".
    bool Login(SPosReply* reply, const SPosLogin& login = SPosLogin(), int timeoutMs = 5000);
    // Connect, ReadGreeting and Login in one, each within |timeoutMs|: false at the first that failed (LastError
    // says why, |reply| holds what came back).
    bool ConnectAndLogIn(const std::string& host, int port, SPosReply* reply, const SPosLogin& login = SPosLogin(),
                         int timeoutMs = 5000);
    // Whether the server's 2000 reply answered the client data encrypted with the login key.
    bool ServerProvedKey() const { return m_ServerProvedKey; }

    // A new request key for the requests that follow (each connection starts with a fresh one).
    void NewRequestKey();
    // The frame of an encrypted request (letter '2') with |header| before the FS, for a caller that sends it
    // later (SendRaw) or with others at once; empty, with LastError, when it cannot be made.
    std::string RequestFrame(const std::vector<std::pair<std::string, std::string>>& fields,
                             const std::string& header = "Lane01");
    // An encrypted request (letter '2') with |header| before the FS.
    bool SendRequest(const std::vector<std::pair<std::string, std::string>>& fields,
                     const std::string& header = "Lane01");
    bool SendRequest(const SPosRequest& request, const std::string& header = "Lane01");
    // An abort request (letter 'A').
    bool SendAbort(const std::string& header = "Lane01");
    bool SendRaw(const std::string& bytes);
    // Sends |request| and reads its replies: the "Queued" reply of an accepted request, then the final one (an
    // error reply comes alone), each within |timeoutMs|. False, with LastError, when one did not come.
    bool Transact(const SPosRequest& request, SPosReply* final, SPosReply* queued = nullptr, int timeoutMs = 10000);

    // Reads the next reply frame (decrypting it with the request key); false when none came in time or the
    // connection ended first.
    bool ReadReply(SPosReply* reply, int timeoutMs = 5000);
    // Reads until the server closes the connection (or |timeoutMs| of silence); true when it closed.
    bool WaitClosed(int timeoutMs = 5000);

    const std::string& PublicKeyText() const { return m_PublicKeyText; }
    const std::vector<uint8_t>& Challenge() const { return m_Challenge; }
    const std::string& LastError() const { return m_LastError; }

private:
    bool Fail(const std::string& text);
    void ParseReply(const std::string& frame, SPosReply* reply) const;

    CSocketFd m_Socket;
    std::string m_Input; // bytes received but not yet taken as a frame
    std::string m_PublicKeyText;
    std::vector<uint8_t> m_Challenge;
    std::vector<uint8_t> m_RequestKey;
    std::string m_ClientData; // hex sent between DC1 and DC2
    bool m_ServerProvedKey = false;
    std::string m_LastError;
};

// What one lane got back for a flood of requests sent at once.
struct SPosFloodReplies {
    int queued = 0;                       // "Queued" replies
    std::map<int, int> refused;           // immediate error replies, by code
    std::set<std::string> refusalTexts;   // their texts
    int approved = 0;                     // final replies: approved
    std::vector<std::string> otherFinals; // final replies of any other kind, as received
    std::string error;                    // why the flood ended early; empty when every reply came
    int Answered() const;                 // requests answered at once, queued or refused
};

// Sends the |count| request frames in |frames| in one go, from a thread of its own, while reading every
// reply: the immediate one of each request, then the final one of each queued request (a session delivers
// finals only once its lane is quiet, so an error reply before all immediate ones came is a refusal).
// |answered| (may be null) counts the immediate replies as they come. False (with |replies|->error) when a reply did
// not come within |timeoutMs| of real time.
bool FloodRequests(CPosClient& lane, const std::string& frames, int count, SPosFloodReplies* replies, int timeoutMs,
                   std::atomic<int>* answered = nullptr);
