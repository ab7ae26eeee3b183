#pragma once
// The POS client session: greeting with the server's public key and a random challenge, the challenge-response
// login, ETX-terminated requests handed to transactions, invalid requests answered at once, valid ones queued in
// g_TransactionQueue, and delivery of finished transactions while the client stays connected. Replies that
// cannot be delivered lead to reversals.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/ControlChars.h"
#include "platform/PollableEvent.h"
#include "server/TcpSession.h"
#include "transaction/Transaction.h"

// Session reply codes and their texts.
enum EPosReplyCode : int {
    kPosReplyOk = 0,
    kPosReplyLoginVerified = 2000,
    kPosReplyLoginFailed = 2002,
    kPosReplyGoingOffline = 2003,
    kPosReplyDisconnecting = 2004,
    kPosReplyRefused = 2006,
    kPosReplyInvalidRequest = 2007,
    kPosReplyPasswordFailed = 2009,
    kPosReplyChallengeFailed = 2010,
    kPosReplyUpgradeRequired = 2020,
};
inline constexpr char kPosGreetingText[] = "CONNECTED to VYR_IP! -- Password ?";
inline constexpr char kPosQueuedFormat[] = "Queued:%03d:%03d";
inline constexpr int kPosQueuedLimit = 45; // the first number of every "Queued" reply
inline constexpr char kPosLoginVerifiedText[] = "Login Verified.";
inline constexpr char kPosLoginFailedText[] = "Login Failed! -- Disconnecting.";
inline constexpr char kPosGoingOfflineText[] = "System going off line - please try again later...";
inline constexpr char kPosDisconnectingText[] = "****Disconnecting****";
inline constexpr char kPosRefusedText[] = "REFUSED - Max Connections (Failed)";
inline constexpr char kPosInvalidRequestText[] = "Invalid Request.";
inline constexpr char kPosPasswordFailedText[] = "Password Failed!(Client/Server) -- Disconnecting.";
inline constexpr char kPosChallengeFailedText[] = "Password Failed!(Challenge/Response) -- Disconnecting.";
inline constexpr char kPosUpgradeRequiredText[] =
    "Requires VYRClientX Upgrade to 3.xx or Above. - Failed! -- Disconnecting.";

// Size of the login challenge, and the bounds on what a client may send: the longest challenge answer (hex),
// the longest client data that is answered, the longest login text kept while waiting for its ETX, and the
// longest request (a longer one is cut there).
inline constexpr size_t kPosChallengeBytes = 16;
inline constexpr size_t kPosMaxChallengeHex = 256;
inline constexpr size_t kPosMaxClientDataHex = 511;
inline constexpr size_t kPosMaxLoginText = 32767;
inline constexpr size_t kPosMaxRequestText = 32767;
// How much one receive takes.
inline constexpr int kPosReceiveChunk = 1023;

// Results of CPosSession::WaitLogin.
enum EPosLoginResult : int {
    kPosLoginPassed = 0,
    kPosLoginTimedOut = 1, // no complete login in time, or the connection ended
    kPosLoginBadPassword = 2,
    kPosLoginBadChallenge = 3,
    kPosLoginNoClientData = 4,
    kPosLoginOffline = 5, // the 2003 reply is already sent
};

// The session's waits. Every one runs on the clock seam; the defaults are the system's.
struct SPosSessionTimings {
    uint64_t loginWaitMs = 30000;     // for the whole login text
    uint64_t receiveWaitMs = 1000;    // one receive; replies go out after this much quiet
    uint64_t idleMs = 3600ull * 1000; // an idle connection is closed after this
    uint64_t outstandingMs = 300000;  // a vanished client's transactions are settled for this long
    uint64_t outstandingStepMs = 100; // pace of that settling
    uint64_t holdMs = 30000;          // one-lane hold after the last queued transaction
    uint64_t holdStepMs = 250;        // pace of the hold
};

// How many requests may wait for their answers at once: from one lane (its tickets) and in all (the records
// of g_TransactionQueue, reversals included). A request beyond either is answered at once with 9001 or 9002
// (an abort request, which gets no answer, is dropped) and logged, and nothing is queued for it.
struct SPosRequestLimits {
    size_t perLane = 100;
    int total = 2000;
};

// Serves one POS connection from greeting to disconnect; created by CPosServer for each connection.
// Owns its tickets (sequence numbers of its transactions in g_TransactionQueue) and its snapshot of them.
// It sleeps until its socket has data, one of its transactions finishes (the queue sets m_Finished) or the
// server goes offline, or until its next deadline: the end of a second of quiet while tickets wait, the
// idle hour, the login's 30 s.
// Not thread-safe: only the connection's own thread uses it. The server's m_bGoingOffline is read without a
// lock; g_TransactionQueue, the crypto object, the logger and the parameter store lock themselves.
class CPosSession : public CTcpSession {
public:
    explicit CPosSession(const SPosSessionTimings& timings = SPosSessionTimings(),
                         const SPosRequestLimits& limits = SPosRequestLimits());
    ~CPosSession() override;

    // Greeting, login, then the request loop; a connection over the maximum is greeted, logged in and
    // answered 2006.
    void Run() override;
    void RunRefused() override;

    // Waits for the login text (up to its ETX) and checks it against |block|, the encrypted challenge of
    // |length| bytes (null or 0: the challenge could not be made, so no answer can pass). |clientData| gets
    // the text between DC1 and DC2. Returns an EPosLoginResult.
    int WaitLogin(const uint8_t* block, size_t length, std::string& clientData);
    // Checks a whole login text, |etx| being where its first ETX stands: the challenge answer between RS and US
    // against |block| (as CheckChallengeResponse), the client data between DC1 and DC2 into |clientData|, and the
    // client/server password just before the ETX when the parameters ask for one. Returns kPosLoginPassed,
    // kPosLoginBadChallenge, kPosLoginBadPassword or kPosLoginNoClientData.
    static int CheckLoginText(const std::string& text, size_t etx, const uint8_t* block, size_t length,
                              std::string& clientData);
    // The answer to the client data of a login that passed: its bytes (hex, at most 511 digits, even) encrypted
    // with the login key, in hex; empty for data the session does not answer or when encryption failed (logged).
    static std::string AnswerClientData(const std::string& clientData);
    // Whether |hex| (even length, at most 256 characters) decodes to exactly the |length| bytes of |block|.
    // Always false for an empty block.
    static bool CheckChallengeResponse(const std::string& hex, const uint8_t* block, size_t length);

    // One request text (everything before its ETX): a transaction is made of it and handled.
    void HandleRequest(const std::string& text);
    // Handles a transaction made of a request: logs it, answers a refused one at once (also one beyond the
    // limits on outstanding requests), holds it on a one-lane configuration, answers "Queued" (or 2007 for an
    // encrypted request without a TranCode) and queues it with a ticket.
    void HandleTransaction(CTransaction& transaction);

    // Answers the finished transactions of the tickets (states 3, 4, 5 and 7) and marks them delivered.
    void DeliverResults();
    // Removes the delivered transactions of the tickets from the queue, and their tickets.
    void PurgeDelivered();
    // After a disconnect: settles the tickets for up to the outstanding period, then removes what is left.
    bool WaitOutstanding();

    // Sends a framed reply and logs it. -1 when it could not be sent, also because the client has gone.
    int SendReply(const std::string& framed);
    // The same, with "Error" logged as "Warning".
    int SendReplyLogWarning(const std::string& framed);
    // The sending part of both: the reply's length, or -1 when it could not be sent.
    int SendToClient(const std::string& framed);
    // Reply 2004.
    void SendDisconnect();

    const std::string& ClientId() const { return m_ClientId; }
    const std::vector<int32_t>& Tickets() const { return m_Tickets; }
    // Whether the client is known to have gone (a read of 0 bytes, a reset, a failed send or IsConnected).
    bool ClientGone() const { return m_ClientGone; }

protected:
    // Draws the challenge and encrypts it with the login key; a test session makes them fail.
    virtual bool DrawChallenge(uint8_t* block, uint32_t length);
    virtual bool EncryptChallenge(uint8_t* block, uint32_t* length, uint32_t bufferSize);

private:
    // Greets the client and waits for its login; returns the login result (kPosLoginOffline when the
    // session must end at once) with the client data.
    int Greet(std::string& clientData);
    // Sends the reply of a failed login (2002, 2009, 2010 or 2020).
    void AnswerLoginFailure(int login);
    // Runs the requests of a logged-in client; the idle deadline must be set.
    void RequestLoop();
    // The idle deadline becomes now + the idle period.
    void ResetIdleDeadline();
    // Sends a whole reply document of the session with origin "Server", framed plain.
    int SendSessionReply(int code, char status, const std::string& text, const std::string& traceData = "");
    // Whether |transaction| may be queued under the limits on outstanding requests; when not, it has been
    // answered (or, an abort request, dropped) and logged.
    bool AdmitRequest(CTransaction& transaction);
    // On a one-lane configuration, holds a money-moving request until the hold period has passed since the
    // last queued transaction.
    void HoldForSingleLane(int tranCode);
    // Waits for input until the clock's tick |deadlineTickMs| at most and reads it: bytes read, 0 when
    // nothing came (also when one of the session's transactions finished or the server is going offline), -1
    // when the client has gone. A deadline, not a span: the clock may move between the caller's reading and
    // the wait, and the wait must still end when the caller's moment has come.
    int ReceiveUntil(char* buffer, int size, uint64_t deadlineTickMs);
    // The tick until which the request loop may sleep: until the second of quiet after |quietSince| is over
    // while tickets wait (then their results wake it), at most until the idle deadline.
    uint64_t NextWakeTick(uint64_t quietSince) const;
    // Logs a reply that was sent (|result| -1: that failed), its card data masked.
    void LogSent(const std::string& framed, int result) const;
    // Whether the client is still there, remembering the first sign that it is not.
    bool ClientConnected();
    bool GoingOffline() const;

    SPosSessionTimings m_Timings;
    SPosRequestLimits m_Limits;
    std::string m_ClientId;         // "%s:%04d" of the peer address and the socket number
    uint64_t m_IdleDeadline = 0;    // whole seconds of the clock seam's tick
    CTransactionList m_Snapshot;    // copies of the ticket transactions, refilled at each look
    std::vector<int32_t> m_Tickets; // queue sequence numbers not yet purged
    bool m_ClientGone = false;
    // Set by g_TransactionQueue whenever one of the session's records is replaced (a result written).
    CPollableEvent m_Finished;
};
