#include "server/TcpServer.h"

#include "platform/Clock.h"

CTcpServer::CTcpServer() = default;

CTcpServer::~CTcpServer() {
    {
        // From here on a connection still running can no longer reach the derived class: its session is
        // deleted directly when it ends.
        CMutexLock lock(m_Lock);
        m_Destroying = true;
    }
    m_bGoingOffline = true;
    Stop();
    ShutdownBoth(m_ListenSocket.Get());
    m_ListenSocket.Close();
    m_NoSessions.Wait(kInfinite);
    ReapFinishedThreads();
}

int CTcpServer::Listen(int port, int backlog) {
    if (m_AcceptThread != nullptr && m_AcceptThread->IsRunning()) {
        return 1;
    }
    JoinAcceptThread();
    m_ListenSocket.Close();
    m_Port = -1;
    m_ListenError = COsError();
    if (port < 0 || port > 65535) {
        m_ListenError = COsError::BadArgument();
        return 3;
    }
    int boundPort = -1;
    int failedStep = 0;
    CSocketFd socket = ListenTcp(port, backlog, m_Protocol, &boundPort, &failedStep, &m_ListenError);
    if (!socket.Valid()) {
        return failedStep;
    }
    m_ListenSocket = std::move(socket);
    m_Port = boundPort;
    return 0;
}

int CTcpServer::StartAccept() {
    if (m_AcceptThread != nullptr && m_AcceptThread->IsRunning()) {
        return 1;
    }
    JoinAcceptThread();
    if (!m_ListenSocket.Valid()) {
        return 1;
    }
    m_StopRequested = false;
    m_StopWake.Reset();
    // Marked running before the thread starts, so a thread that ends at once leaves the flag right.
    m_AcceptRunning = true;
    m_AcceptThread = std::make_unique<CWorkerThread>("TcpAccept", [this] { return AcceptLoop(); });
    if (!m_AcceptThread->Start()) {
        m_AcceptThread.reset();
        m_AcceptRunning = false;
        return 1;
    }
    return 0;
}

int CTcpServer::Stop() {
    if (m_AcceptThread == nullptr) {
        return 0;
    }
    if (!m_AcceptThread->IsRunning()) {
        JoinAcceptThread(); // it ended by itself on a failed accept()
        return 0;
    }
    m_AcceptRunning = false;
    m_StopRequested = true;
    m_StopWake.Set();
    int result = 0;
    // A connection of our own wakes the blocked accept(); if that does not release the thread in time, shutting
    // the listening socket down does. The thread is never killed: it is always joined.
    CSocketFd wake = ConnectTcp(LoopbackIpv4(), m_Port.load(), 500);
    const bool woke = wake.Valid() && m_AcceptThread->WaitForExit(m_StopWaitMs.load());
    wake.Close();
    if (!woke) {
        ShutdownBoth(m_ListenSocket.Get());
        result = 1;
    }
    JoinAcceptThread();
    return result;
}

void CTcpServer::StopAndWaitForSessions() {
    m_bGoingOffline = true;
    Stop();
    m_NoSessions.Wait(kInfinite);
    ReapFinishedThreads();
}

bool CTcpServer::WaitForSessions(uint32_t ms) {
    return m_NoSessions.Wait(ms);
}

int CTcpServer::SetMaxConnections(int n) {
    if (n < 1 || n > 32000) {
        return -1;
    }
    m_MaxConnections = n;
    return n;
}

int CTcpServer::CountClients() const {
    CMutexLock lock(m_Lock);
    return static_cast<int>(m_Clients.size());
}

void CTcpServer::JoinAcceptThread() {
    if (m_AcceptThread != nullptr) {
        m_AcceptThread->Join();
        m_AcceptThread.reset();
    }
    m_AcceptRunning = false;
    ReapFinishedThreads();
}

int CTcpServer::AcceptLoop() {
    for (;;) {
        ReapFinishedThreads();
        Ipv4Endpoint peer;
        COsError error;
        CSocketFd socket = AcceptTcp(m_ListenSocket.Get(), &peer, &error);
        if (m_StopRequested) {
            ShutdownBoth(socket.Get());
            break;
        }
        if (!socket.Valid()) {
            // The connection at the head of the queue failed: the next one may be taken at once. Anything but
            // that or a shortage (the socket closed or shut down) ends the accept thread.
            if (error.Is(EOsErrorClass::PeerGone)) {
                continue;
            }
            if (error.Is(EOsErrorClass::NoResources)) {
                m_StopWake.Wait(100); // let sessions end and give their descriptors back
                continue;
            }
            break;
        }
        ServeConnection(std::move(socket), peer);
    }
    m_AcceptRunning = false;
    m_StopRequested = false;
    return 0;
}

bool CTcpServer::RefuseNewConnection() {
    if (m_ActiveCount.load() < m_MaxConnections.load()) {
        return false;
    }
    if (m_MaxConnections.load() == 1) {
        // A lane that reconnects at once after a disconnect is served: give its old session a moment to end.
        IClock& clock = GetClock();
        const uint64_t deadline = clock.TickMs() + m_RefusalPauseMs.load();
        while (m_ActiveCount.load() >= m_MaxConnections.load() && !m_StopRequested) {
            if (clock.TickMs() >= deadline) {
                break;
            }
            WaitForAnyEventUntil({&m_SessionEnded, &m_StopWake}, deadline);
        }
    }
    return m_ActiveCount.load() >= m_MaxConnections.load();
}

void CTcpServer::ServeConnection(CSocketFd socket, const Ipv4Endpoint& peer) {
    const bool refused = RefuseNewConnection();
    if (m_StopRequested) {
        ShutdownBoth(socket.Get());
        return;
    }
    // Only the accept thread adds refused sessions, so the count cannot pass the bound behind its back.
    if (refused && m_RefusedCount.load() >= m_MaxRefusedSessions.load()) {
        // Counted first: once the client sees its connection closed, the count already holds it.
        m_DroppedCount.fetch_add(1);
        ShutdownBoth(socket.Get());
        return;
    }
    std::unique_ptr<CTcpSession> session;
    try {
        session = CreateSession();
    } catch (...) {
        session.reset(); // a factory that fails turns this one connection away, not the server
    }
    if (session == nullptr) {
        ShutdownBoth(socket.Get());
        return;
    }
    session->Attach(socket.Get(), peer, m_ListenSocket.Get(), this);

    CClientEntry entry;
    {
        CMutexLock lock(m_Lock);
        entry.id = m_NextClientId++;
    }
    const uint64_t id = entry.id;
    entry.session = session.get();
    entry.ownedSession = std::move(session);
    entry.socket = std::move(socket);
    entry.refused = refused;
    entry.thread =
        std::make_unique<CWorkerThread>("TcpClient", [this, id, refused] { return ClientThread(id, refused); });
    CWorkerThread* thread = entry.thread.get();
    AddClient(std::move(entry));
    // The entry, and with it |thread|, stays listed until the thread itself removes it.
    if (thread->Start()) {
        return;
    }
    std::unique_ptr<CTcpSession> unused;
    CSocketFd unusedSocket;
    std::unique_ptr<CWorkerThread> unusedThread;
    {
        CMutexLock lock(m_Lock);
        if (std::optional<CClientEntry> entry = TakeClientLocked(id)) {
            unused = std::move(entry->ownedSession);
            unusedSocket = std::move(entry->socket);
            unusedThread = std::move(entry->thread);
        }
        m_ActiveCount = static_cast<int>(m_Clients.size());
        if (m_Clients.empty()) {
            m_NoSessions.Set();
        }
    }
    if (unused != nullptr) {
        DestroySession(std::move(unused));
    }
    ShutdownBoth(unusedSocket.Get());
    m_SessionEnded.Set();
}

void CTcpServer::AddClient(CClientEntry entry) {
    CMutexLock lock(m_Lock);
    if (entry.refused) {
        m_RefusedCount.fetch_add(1);
    }
    m_Clients.push_front(std::move(entry));
    m_ActiveCount = static_cast<int>(m_Clients.size());
    m_NoSessions.Reset();
}

int CTcpServer::ClientThread(uint64_t id, bool refused) {
    CTcpSession* session = nullptr;
    int socket = -1;
    {
        CMutexLock lock(m_Lock);
        for (const CClientEntry& entry : m_Clients) {
            if (entry.id == id) {
                session = entry.session;
                socket = entry.socket.Get();
                break;
            }
        }
    }
    if (session != nullptr) {
        const int timeoutMs = m_SocketTimeoutMs.load();
        ::SetSocketTimeoutMs(socket, true, timeoutMs);
        ::SetSocketTimeoutMs(socket, false, timeoutMs);
        // Nothing may throw past the thread's edge; a session that does simply ends.
        try {
            if (refused) {
                session->RunRefused();
            } else {
                session->Run();
            }
        } catch (...) {
        }
    }
    RemoveClient(id);
    return 0;
}

void CTcpServer::RemoveClient(uint64_t id) {
    std::unique_ptr<CTcpSession> session;
    bool destroying = false;
    {
        CMutexLock lock(m_Lock);
        for (CClientEntry& entry : m_Clients) {
            if (entry.id == id) {
                session = std::move(entry.ownedSession);
                entry.session = nullptr;
                break;
            }
        }
        destroying = m_Destroying;
    }
    // The session goes before the entry, so the active count reaches 0 only when no session is left and a
    // derived class that waits for that count may safely go away.
    if (session != nullptr) {
        if (destroying) {
            session.reset();
        } else {
            DestroySession(std::move(session));
        }
    }
    CSocketFd socket;
    {
        CMutexLock lock(m_Lock);
        if (std::optional<CClientEntry> entry = TakeClientLocked(id)) {
            socket = std::move(entry->socket);
            // This thread is still running: whoever reaps next joins it.
            m_Finished.push_back(std::move(entry->thread));
        }
        ShutdownBoth(socket.Get());
        socket.Close();
        m_ActiveCount = static_cast<int>(m_Clients.size());
        m_SessionEnded.Set();
        if (m_Clients.empty()) {
            m_NoSessions.Set();
        }
    }
}

std::optional<CTcpServer::CClientEntry> CTcpServer::TakeClientLocked(uint64_t id) {
    for (auto it = m_Clients.begin(); it != m_Clients.end(); ++it) {
        if (it->id == id) {
            if (it->refused) {
                m_RefusedCount.fetch_sub(1);
            }
            std::optional<CClientEntry> entry(std::move(*it));
            m_Clients.erase(it);
            return entry;
        }
    }
    return std::nullopt;
}

void CTcpServer::ReapFinishedThreads() {
    std::vector<std::unique_ptr<CWorkerThread>> finished;
    {
        CMutexLock lock(m_Lock);
        finished.swap(m_Finished);
    }
    finished.clear(); // each destructor joins its thread
}
