#pragma once
// A generic multi-threaded TCP listen server: one accept thread, one thread per connection, and a session
// object per connection that a derived server class creates. The POS server derives from these two classes.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Event.h"
#include "platform/Mutex.h"
#include "platform/Socket.h"
#include "platform/WorkerThread.h"

class CTcpServer;

// How many connections over the maximum are served at once unless the owner sets another number.
inline constexpr int kDefaultMaxRefusedSessions = 4;

// What the default sessions answer.
inline constexpr std::string_view kConnectSuccessfulText = "Connect Successful ... Now Disconnecting.";
inline constexpr std::string_view kTooManyConnectionsText = "Too Many Connections, Please Try Later.";

// Serves one accepted connection. The server creates it (CTcpServer::CreateSession), attaches the connected
// socket, runs Run or RunRefused once on the connection's own thread and destroys it on that thread. The
// socket stays the server's: it is shut down and closed after the session is destroyed.
// Not thread-safe: only the connection's thread uses a session.
class CTcpSession {
public:
    CTcpSession() = default;
    virtual ~CTcpSession() = default;
    CTcpSession(const CTcpSession&) = delete;
    CTcpSession& operator=(const CTcpSession&) = delete;

    // Gives the session its connection; |socket| is used, not owned. |server| may be null (a session used alone).
    void Attach(int socket, const Ipv4Endpoint& peer, int listenSocket, CTcpServer* server);

    // Serves an accepted connection. The default reads one line and answers kConnectSuccessfulText.
    virtual void Run();
    // Serves a connection over the maximum. The default answers kTooManyConnectionsText to any input.
    virtual void RunRefused();
    // Called by the file transfers after every block with the bytes moved so far; false stops the transfer.
    virtual bool OnReceiveProgress(uint64_t total);
    virtual bool OnSendProgress(uint64_t total);

    // Sends every byte; a negative |length| means the zero-terminated text's own length. Returns the bytes
    // sent or -1.
    int Send(const char* data, int length, int flags);
    int SendText(std::string_view text);
    // Sends the first |length| characters (<= 0: all of them) in pieces of |chunk| characters, each followed by
    // CR LF. Returns the total of the send results, the first result <= 0, or -1 when |chunk| < 1.
    int SendLines(std::string_view text, int length, int chunk);
    // Sends the file in blocks of 255 bytes: 0 done (or stopped by OnSendProgress), 1 cannot open, 2 send failed.
    int SendFile(const std::string& path, uint64_t& total);

    // One recv: bytes, 0 when the peer closed, -1 on an error (also when the receive time-out passed).
    int Receive(char* buffer, int size);
    // As Receive, but with |seconds| > 0 returns 0 when nothing is readable within them (clock-seam time).
    int ReceiveTimed(char* buffer, int size, int seconds);
    // Reads at most |size| - 1 bytes up to and including the first CR LF, zero-terminates them and returns the
    // count. With |seconds| > 0 each read first waits that long for data. Stops early (returning what it
    // consumed) on a time-out, a closed connection or an error.
    int ReadLine(char* buffer, int size, int seconds);
    // Receives into a file until the peer closes: |mode| 1 creates it, 2 appends. Results: 0 done, 1 bad mode,
    // 2 cannot open, 3 nothing readable within |seconds| (> 0), 4 receive error, 5 short write, 6 stopped by
    // OnReceiveProgress.
    int ReceiveFile(const std::string& path, int mode, uint64_t& total, int seconds);

    // Socket options; setters return 0 or -1.
    int SetReceiveTimeout(int ms);
    int SetSendTimeout(int ms);
    int GetSendBufferSize() const;
    int GetReceiveBufferSize() const;
    int SetSendBufferSize(int bytes);
    int SetReceiveBufferSize(int bytes);
    int SetNonBlocking(bool flag);
    bool IsNonBlocking() const { return m_NonBlocking; }

    bool BytesAvailable() const;
    // Reads and drops whatever is already waiting. Returns 0.
    int DrainInput();
    // True when the socket is NOT readable (writable) within the time (clock-seam time), or on an error.
    bool WaitReadable(int seconds, int microseconds) const;
    bool WaitWritable(int seconds, int microseconds) const;

    // Name of the peer by reverse lookup: 0 copied, 1 does not fit with its terminating zero, 2 no name.
    int GetPeerHostName(char* buffer, size_t size) const;
    // Dotted text of the peer address: 0 copied, 1 does not fit, 2 no peer.
    int GetPeerAddressText(char* buffer, size_t size) const;
    std::string PeerAddress() const;
    // False once the peer has closed or reset the connection. Never blocks and leaves the socket's mode alone.
    bool IsConnected() const;

    int Socket() const { return m_Socket; }
    int ListenSocket() const { return m_ListenSocket; }
    CTcpServer* Server() const { return m_Server; }
    const Ipv4Endpoint& Peer() const { return m_Peer; }

    // Cuts one trailing line end (CR LF, CR, LF, or a pair of them) and returns the new length.
    static size_t TrimLineEnd(std::string& text);
    static size_t TrimLineEnd(char* text);
    // Reverse lookup of a dotted address / first IPv4 address of a name (only the part after its last "@" is
    // looked up), copied into |buffer|: 0 done, 1 does not fit with its terminating zero, 2 lookup failed.
    static int HostNameOfAddress(const std::string& dotted, char* buffer, size_t size);
    static int AddressOfHost(const std::string& name, char* buffer, size_t size);
    // Token |index| (from 0) of |text|, tokens being maximal runs of characters not in |delimiters|: 0 copied,
    // 1 no such token or it does not fit with its terminating zero.
    static int GetToken(std::string_view text, std::string_view delimiters, int index, char* buffer, size_t size);
    // The token (at most 59 characters) read as a number; 0 when there is none.
    static long GetTokenLong(std::string_view text, std::string_view delimiters, int index);
    static int CountTokens(std::string_view text, std::string_view delimiters);

private:
    int m_Socket = -1;
    Ipv4Endpoint m_Peer;
    bool m_HasPeer = false;
    int m_ListenSocket = -1;
    CTcpServer* m_Server = nullptr;
    bool m_NonBlocking = false;
};

// Listens on one port on all interfaces and serves every connection on a thread of its own through a session
// from CreateSession; of the connections over the maximum, only a few are served (refused) at once, and the
// others are closed as soon as they are accepted. Owns the listening socket, the accept thread, the connected sockets
// and the connection threads; sessions are owned by their connection thread while they run. Listen, StartAccept, Stop,
// StopAndWaitForSessions and the destructor are for the owner's thread; the counts, the maximum and m_bGoingOffline may
// be used from any thread. The client list is guarded by m_Lock. A derived class must call StopAndWaitForSessions (or
// Stop and wait until GetActiveCount is 0) in its own destructor: the accept thread calls its CreateSession and each
// connection thread its DestroySession, and the active count reaches 0 only after the last DestroySession has returned.
class CTcpServer {
public:
    CTcpServer();
    virtual ~CTcpServer();
    CTcpServer(const CTcpServer&) = delete;
    CTcpServer& operator=(const CTcpServer&) = delete;

    // Opens the listening socket on all interfaces; |port| 0 lets the system choose (see GetPort).
    // 0 done; 1 the server is accepting; 2 socket() failed; 3 bind failed (also for a port outside 0..65535);
    // 4 listen failed.
    int Listen(int port, int backlog = 5);
    // Starts the accept thread: 0 started, 1 it already runs, there is no listening socket or it cannot start.
    int StartAccept();
    // Stops accepting; running sessions go on. 0 when the accept thread ended on its wake-up connection, 1 when
    // the listening socket had to be shut down to release it. 0 at once when the accept thread does not run.
    int Stop();
    // Sets going offline, stops accepting and waits until every connection thread has ended.
    void StopAndWaitForSessions();
    // Waits at most |ms| (clock-seam time; kInfinite: no limit) until no connection is active.
    bool WaitForSessions(uint32_t ms);

    // 1..32000; anything else returns -1 and keeps the old maximum.
    int SetMaxConnections(int n);
    int GetMaxConnections() const { return m_MaxConnections.load(); }
    int GetActiveCount() const { return m_ActiveCount.load(); }
    int CountClients() const;
    // The protocol passed to socket() by the next Listen.
    void SetProtocol(int n) { m_Protocol = n; }
    // The port Listen got, -1 before.
    int GetPort() const { return m_Port.load(); }
    // The system's error code (errno) of the last failed Listen, 0 after a successful one; for the owner's
    // thread.
    int GetListenError() const { return m_ListenError; }
    bool IsAccepting() const { return m_AcceptRunning.load(); }

    // Settable periods (milliseconds): the receive and send time-out set on every connection (30000), the
    // wait for the accept thread in Stop (5000, clock-seam time) and the pause before refusing a second client
    // when the maximum is 1 (1000, clock-seam time).
    void SetSocketTimeoutMs(int ms) { m_SocketTimeoutMs = ms; }
    void SetStopWaitMs(uint32_t ms) { m_StopWaitMs = ms; }
    void SetRefusalPauseMs(uint32_t ms) { m_RefusalPauseMs = ms; }
    // How many connections over the maximum are served (RunRefused) at once; one beyond them is closed at
    // once, so a flood of connections costs no thread each. 0 closes every refused connection.
    void SetMaxRefusedSessions(int n) { m_MaxRefusedSessions = n < 0 ? 0 : n; }
    int GetRefusedCount() const { return m_RefusedCount.load(); }
    // Connections closed at once since the start, for being past the maximum and the refused ones served.
    uint64_t GetDroppedCount() const { return m_DroppedCount.load(); }

    // Set by the owner when it shuts the server down, and by the destructor; sessions end when they see it.
    std::atomic<bool> m_bGoingOffline{false};

protected:
    // Returns a new session, or null to turn the connection away.
    virtual std::unique_ptr<CTcpSession> CreateSession() = 0;
    // Takes a session whose connection thread has finished and disposes of it.
    virtual void DestroySession(std::unique_ptr<CTcpSession> session) = 0;

private:
    struct CClientEntry {
        uint64_t id = 0;                // identifies the connection thread
        CTcpSession* session = nullptr; // the running session; owned by |ownedSession| until it ends
        std::unique_ptr<CTcpSession> ownedSession;
        CSocketFd socket;
        std::unique_ptr<CWorkerThread> thread;
        bool refused = false; // served by RunRefused; counted in m_RefusedCount
    };

    int AcceptLoop();
    void ServeConnection(CSocketFd socket, const Ipv4Endpoint& peer);
    bool RefuseNewConnection();
    int ClientThread(uint64_t id, bool refused);
    void AddClient(CClientEntry entry);
    void RemoveClient(uint64_t id);
    void ReapFinishedThreads();
    void JoinAcceptThread();

    CSocketFd m_ListenSocket;
    int m_ListenError = 0; // see GetListenError
    std::unique_ptr<CWorkerThread> m_AcceptThread;
    std::atomic<bool> m_AcceptRunning{false};
    std::atomic<bool> m_StopRequested{false};
    std::atomic<int> m_MaxConnections{20};
    std::atomic<int> m_ActiveCount{0};
    int m_Protocol = 0;
    std::atomic<int> m_Port{-1};
    std::atomic<int> m_SocketTimeoutMs{30000};
    std::atomic<uint32_t> m_StopWaitMs{5000};
    std::atomic<uint32_t> m_RefusalPauseMs{1000};
    std::atomic<int> m_MaxRefusedSessions{kDefaultMaxRefusedSessions};
    std::atomic<int> m_RefusedCount{0};
    std::atomic<uint64_t> m_DroppedCount{0};

    mutable CMutex m_Lock;
    std::list<CClientEntry> m_Clients GUARDED_BY(m_Lock);                      // newest first
    std::vector<std::unique_ptr<CWorkerThread>> m_Finished GUARDED_BY(m_Lock); // ended connection threads to join
    uint64_t m_NextClientId GUARDED_BY(m_Lock) = 1;
    bool m_Destroying GUARDED_BY(m_Lock) = false;
    CEvent m_NoSessions{true, true}; // set while no connection is active
    CEvent m_SessionEnded{false};    // a connection ended
    CEvent m_StopWake{true};         // Stop asks the accept thread to end
};
