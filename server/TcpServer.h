#pragma once
// A generic multi-threaded TCP listen server: one accept thread, one thread per connection, and a session
// object per connection (CTcpSession) that a derived server class creates. The POS server derives from it.

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <optional>
#include <vector>

#include "platform/Event.h"
#include "platform/Mutex.h"
#include "platform/OsError.h"
#include "platform/PollableEvent.h"
#include "platform/Socket.h"
#include "platform/WorkerThread.h"
#include "server/TcpSession.h"

// How many connections over the maximum are served at once unless the owner sets another number.
inline constexpr int kDefaultMaxRefusedSessions = 4;

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
    // Why the last Listen failed, no failure after a successful one; for the owner's thread.
    COsError GetListenError() const { return m_ListenError; }
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

    // Set by the owner when it shuts the server down, and by the destructor; sessions end when they see it. A
    // session asleep on its socket wakes when it is set.
    CPollableFlag m_bGoingOffline;

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
    // Moves the entry of connection |id| out of the list, and out of the refused count when it was refused;
    // nothing when it is not listed.
    std::optional<CClientEntry> TakeClientLocked(uint64_t id) REQUIRES(m_Lock);
    void ReapFinishedThreads();
    void JoinAcceptThread();

    CSocketFd m_ListenSocket;
    COsError m_ListenError; // see GetListenError
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
