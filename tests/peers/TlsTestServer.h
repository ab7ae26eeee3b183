#pragma once
// An in-process TLS server on 127.0.0.1 for the tests of the host transport. It speaks TLS through a memory-BIO
// session, so a test decides how the raw bytes go out: a byte at a time, the end of the handshake and data in one
// send, half a record, a garbage record, a close-notify, a renegotiation, a key update, or nothing at all.
// Higher-level peers (an HTTP endpoint) sit on top of it through the request handler.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "peers/TestPki.h"
#include "platform/Mutex.h"
#include "platform/Socket.h"
#include "platform/Tls.h"
#include "platform/WorkerThread.h"

// One accepted connection, driven by the server's thread for it. Every wait here is in real time (a test may run
// the client on a manual clock) and ends when the server stops. Not thread-safe: one connection thread uses it.
class CTlsTestConnection {
public:
    CTlsTestConnection(CSocketFd socket, SSL_CTX* ctx, const std::atomic<bool>& stopping);

    // Runs the server side of the handshake. |chunk| > 0 sends each flight in pieces of that many bytes, |pauseMs|
    // apart. |holdFinalFlight| keeps the last flight back, so the next send carries it along with its own bytes.
    bool Handshake(size_t chunk = 0, uint32_t pauseMs = 0, bool holdFinalFlight = false);
    // Reads until at least |atLeast| decrypted bytes are in |out| (appended); false on time-out, close or error.
    bool ReadPlain(std::string* out, size_t atLeast, uint32_t timeoutMs = 5000);
    // |plain| as records, behind whatever output the session still holds; nothing is sent.
    std::string Encrypt(const std::string& plain);
    std::string CloseNotifyBytes();
    bool SendRaw(const std::string& bytes, size_t chunk = 0, uint32_t pauseMs = 0);
    bool SendPlain(const std::string& plain, size_t chunk = 0, uint32_t pauseMs = 0);
    // TLS 1.2: asks the client for a new handshake and runs it; data the client sends meanwhile is kept for
    // ReadPlain.
    bool Renegotiate(uint32_t timeoutMs = 5000);
    // TLS 1.3: queues a key update; it goes out with the next send.
    bool KeyUpdate(bool requestPeerUpdate);
    // Stays silent until the client closes the connection; true when it did within |timeoutMs|.
    bool WaitForPeerClose(uint32_t timeoutMs = 5000);
    bool PeerSentCloseNotify() const { return m_PeerCloseNotify; }
    // Closes the TCP connection (no close-notify).
    void Close();
    bool Stopping() const { return m_Stopping.load(); }
    CTlsSession& Session() { return m_Session; }
    // When the connection was accepted, for peers that time what the client does on it.
    std::chrono::steady_clock::time_point AcceptedAt() const { return m_AcceptedAt; }

private:
    // One read from the socket into the session; false on time-out, close, error or stop.
    bool ReadSome(uint32_t timeoutMs);
    bool Flush(size_t chunk = 0, uint32_t pauseMs = 0);

    const std::chrono::steady_clock::time_point m_AcceptedAt = std::chrono::steady_clock::now();
    CSocketFd m_Socket;
    CTlsSession m_Session;
    const std::atomic<bool>& m_Stopping;
    std::string m_Held; // decrypted bytes read ahead (during a renegotiation)
    bool m_PeerCloseNotify = false;
    bool m_PeerClosed = false;
};

// What the default connection loop does with a complete request.
struct CTlsTestReply {
    enum class After { KeepOpen, Close, CloseNotify, Silent };
    bool complete = true; // false: the request is not complete yet; read more and ask again
    std::string response; // sent back as records of up to 16384 bytes
    uint32_t delayMs = 0; // real-time pause before answering
    After after = After::KeepOpen;
};
// Gets the decrypted bytes of the request so far (everything since the last complete request).
using TlsRequestHandler = std::function<CTlsTestReply(const std::string& request)>;
// Replaces the default loop (handshake, then requests to the handler) for every connection.
using TlsScenario = std::function<void(CTlsTestConnection& connection)>;

// Listens on 127.0.0.1 (a port of the system's choosing) and serves each connection on a thread of its own,
// with the scenario when one is set, else with the handshake and the request handler (echo when none is set).
// Thread-safe: the configuration setters are for before Start; Requests and the counters may be read anytime.
class CTlsTestServer {
public:
    // |identity| (owned by a CTestPki) must outlive the server.
    explicit CTlsTestServer(const CTestIdentity& identity, int minVersion = 0x0303, int maxVersion = 0x0304);
    ~CTlsTestServer();
    CTlsTestServer(const CTlsTestServer&) = delete;
    CTlsTestServer& operator=(const CTlsTestServer&) = delete;

    void SetHandler(TlsRequestHandler handler) { m_Handler = std::move(handler); }
    void SetScenario(TlsScenario scenario) { m_Scenario = std::move(scenario); }
    // The listen backlog (default 16); a load test that connects many clients at once raises it.
    void SetBacklog(int backlog) { m_Backlog = backlog; }

    bool Start();
    int Port() const { return m_Port; }
    // Stops accepting, ends every connection and joins the threads.
    void Stop();

    // Every complete request the default loop handed to the handler, in order.
    std::vector<std::string> Requests() const;
    int ConnectionsAccepted() const { return m_Accepted.load(); }
    // Waits in real time until |count| connections have ended.
    bool WaitForConnectionsDone(int count, uint32_t timeoutMs = 5000) const;

private:
    int AcceptLoop();
    void Serve(CTlsTestConnection& connection);

    tls::SslCtxPtr m_Ctx;
    TlsRequestHandler m_Handler;
    TlsScenario m_Scenario;
    CSocketFd m_Listen;
    int m_Backlog = 16;
    int m_Port = 0;
    std::atomic<bool> m_Stopping{false};
    std::atomic<int> m_Accepted{0};
    std::atomic<int> m_Done{0};
    std::unique_ptr<CWorkerThread> m_AcceptThread;
    mutable CMutex m_Lock;
    // Finished ones are reaped as new connections come.
    std::vector<std::unique_ptr<CWorkerThread>> m_ConnectionThreads GUARDED_BY(m_Lock);
    std::vector<std::string> m_Requests GUARDED_BY(m_Lock);
};

// A loopback listener whose accept queue is full: a connect to it neither completes nor fails, for the tests of
// the connect time-out. Not thread-safe.
class CBacklogFullListener {
public:
    bool Start();
    int Port() const { return m_Port; }

private:
    CSocketFd m_Listen;
    std::vector<CSocketFd> m_Fillers;
    int m_Port = 0;
};
