#include "peers/TlsTestServer.h"

#include <chrono>
#include <thread>

#include <openssl/ssl.h>

#include "common/Wait.h"
#include "platform/TcpClient.h"

namespace {
constexpr int kSliceMs = 5;
constexpr size_t kMaxRecord = 16384;
// How long the server side waits for each of the client's handshake flights. A loaded machine running a few
// hundred handshakes at once can take seconds over one; a client that gives up closes, and Stop ends the wait.
constexpr uint32_t kHandshakeReadMs = 60000;

void PauseMs(uint32_t ms) {
    if (ms > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
}
} // namespace

CTlsTestConnection::CTlsTestConnection(CSocketFd socket, SSL_CTX* ctx, const std::atomic<bool>& stopping)
    : m_Socket(std::move(socket)), m_Stopping(stopping) {
    SetTcpNoDelay(m_Socket.Get());
    m_Session.Start(ctx, true);
}

bool CTlsTestConnection::ReadSome(uint32_t timeoutMs) {
    if (!m_Socket.Valid() || m_PeerClosed) {
        return false;
    }
    for (uint32_t waited = 0; !m_Stopping.load(); waited += kSliceMs) {
        const PollResult ready = PollReadable(m_Socket.Get(), kSliceMs);
        if (ready == PollResult::Error) {
            return false;
        }
        if (ready == PollResult::Ready) {
            char buffer[16384];
            const long n = RecvOnce(m_Socket.Get(), buffer, sizeof buffer);
            if (n <= 0) {
                m_PeerClosed = true;
                return false;
            }
            m_Session.Feed(buffer, static_cast<size_t>(n));
            return true;
        }
        if (waited >= timeoutMs) {
            return false;
        }
    }
    return false;
}

bool CTlsTestConnection::SendRaw(const std::string& bytes, size_t chunk, uint32_t pauseMs) {
    if (!m_Socket.Valid()) {
        return false;
    }
    if (chunk == 0) {
        chunk = bytes.size();
    }
    for (size_t at = 0; at < bytes.size(); at += chunk) {
        const size_t size = std::min(chunk, bytes.size() - at);
        if (SendAll(m_Socket.Get(), bytes.data() + at, size) != static_cast<long>(size)) {
            return false;
        }
        if (at + size < bytes.size()) {
            PauseMs(pauseMs);
        }
    }
    return true;
}

bool CTlsTestConnection::Flush(size_t chunk, uint32_t pauseMs) {
    return !m_Session.HasOutput() || SendRaw(m_Session.TakeOutput(), chunk, pauseMs);
}

bool CTlsTestConnection::Handshake(size_t chunk, uint32_t pauseMs, bool holdFinalFlight) {
    for (;;) {
        const TlsStep step = m_Session.Handshake();
        if (step == TlsStep::Done) {
            return holdFinalFlight || Flush(chunk, pauseMs);
        }
        if (!Flush(chunk, pauseMs) || step != TlsStep::NeedInput) {
            return false;
        }
        if (!ReadSome(kHandshakeReadMs)) {
            return false;
        }
    }
}

bool CTlsTestConnection::ReadPlain(std::string* out, size_t atLeast, uint32_t timeoutMs) {
    out->append(m_Held);
    m_Held.clear();
    for (;;) {
        const TlsStep step = m_Session.Read(out);
        Flush();
        if (out->size() >= atLeast && out->size() > 0) {
            return true;
        }
        if (step == TlsStep::Closed) {
            m_PeerCloseNotify = true;
            return false;
        }
        if (step == TlsStep::Failed) {
            return false;
        }
        if (!ReadSome(timeoutMs)) {
            return false;
        }
    }
}

std::string CTlsTestConnection::Encrypt(const std::string& plain) {
    for (size_t at = 0; at < plain.size(); at += kMaxRecord) {
        const size_t size = std::min(kMaxRecord, plain.size() - at);
        m_Session.Write(plain.data() + at, size);
    }
    return m_Session.TakeOutput();
}

std::string CTlsTestConnection::CloseNotifyBytes() {
    m_Session.CloseNotify();
    return m_Session.TakeOutput();
}

bool CTlsTestConnection::SendPlain(const std::string& plain, size_t chunk, uint32_t pauseMs) {
    return SendRaw(Encrypt(plain), chunk, pauseMs);
}

bool CTlsTestConnection::Renegotiate(uint32_t timeoutMs) {
    if (!m_Session.StartRenegotiation() || !Flush()) {
        return false;
    }
    while (m_Session.RenegotiationPending() || m_Session.InHandshake()) {
        if (!ReadSome(timeoutMs)) {
            return false;
        }
        if (m_Session.Read(&m_Held) == TlsStep::Failed || !Flush()) {
            return false;
        }
    }
    return true;
}

bool CTlsTestConnection::KeyUpdate(bool requestPeerUpdate) {
    return m_Session.StartKeyUpdate(requestPeerUpdate);
}

bool CTlsTestConnection::WaitForPeerClose(uint32_t timeoutMs) {
    for (uint32_t waited = 0; waited < timeoutMs && !m_Stopping.load(); waited += kSliceMs) {
        if (m_PeerClosed) {
            return true;
        }
        if (!ReadSome(kSliceMs)) {
            if (m_PeerClosed) {
                return true;
            }
            continue;
        }
        std::string ignored;
        if (m_Session.Read(&ignored) == TlsStep::Closed) {
            m_PeerCloseNotify = true;
        }
    }
    return m_PeerClosed;
}

void CTlsTestConnection::Close() {
    m_Socket.Close();
}

CTlsTestServer::CTlsTestServer(const CTestIdentity& identity, int minVersion, int maxVersion)
    : m_Ctx(CTestPki::ServerContext(identity, minVersion, maxVersion)) {}

void CTlsTestServer::SetResumption(bool on) {
    if (!m_Ctx || on) {
        return;
    }
    SSL_CTX_set_options(m_Ctx.get(), SSL_OP_NO_TICKET);
    SSL_CTX_set_num_tickets(m_Ctx.get(), 0);
    SSL_CTX_set_session_cache_mode(m_Ctx.get(), SSL_SESS_CACHE_OFF);
}

CTlsTestServer::~CTlsTestServer() {
    Stop();
}

bool CTlsTestServer::Start() {
    if (!m_Ctx) {
        return false;
    }
    m_Listen = ListenOnLoopback(0, m_Backlog, &m_Port);
    if (!m_Listen.Valid()) {
        return false;
    }
    m_AcceptThread = std::make_unique<CWorkerThread>("TlsTestAccept", [this] { return AcceptLoop(); });
    return m_AcceptThread->Start();
}

void CTlsTestServer::Stop() {
    m_Stopping.store(true);
    if (m_AcceptThread) {
        m_AcceptThread->Join();
        m_AcceptThread.reset();
    }
    std::vector<std::unique_ptr<CWorkerThread>> threads;
    {
        CMutexLock lock(m_Lock);
        threads.swap(m_ConnectionThreads);
    }
    threads.clear(); // joins each
    m_Listen.Close();
}

int CTlsTestServer::AcceptLoop() {
    while (!m_Stopping.load()) {
        if (PollReadable(m_Listen.Get(), kSliceMs) != PollResult::Ready) {
            continue;
        }
        CSocketFd socket = AcceptOne(m_Listen.Get());
        if (!socket.Valid()) {
            continue;
        }
        m_Accepted.fetch_add(1);
        auto connection = std::make_shared<CTlsTestConnection>(std::move(socket), m_Ctx.get(), m_Stopping);
        auto thread = std::make_unique<CWorkerThread>("TlsTestConnection", [this, connection] {
            Serve(*connection);
            connection->Close();
            m_Done.fetch_add(1);
            return 0;
        });
        CMutexLock lock(m_Lock);
        // A long load makes thousands of connections: the threads that ended are joined here, so their stacks
        // and mappings do not pile up until Stop.
        std::erase_if(m_ConnectionThreads, [](const std::unique_ptr<CWorkerThread>& t) { return !t->IsRunning(); });
        if (thread->Start()) {
            m_ConnectionThreads.push_back(std::move(thread));
        }
    }
    return 0;
}

void CTlsTestServer::Serve(CTlsTestConnection& connection) {
    if (m_Scenario) {
        m_Scenario(connection);
        return;
    }
    if (!connection.Handshake()) {
        return;
    }
    if (connection.Session().SessionReused()) {
        ++m_Resumed;
    }
    std::string pending;
    while (!connection.Stopping()) {
        if (!connection.ReadPlain(&pending, pending.size() + 1, 60000)) {
            return;
        }
        CTlsTestReply reply;
        if (m_Handler) {
            reply = m_Handler(pending);
        } else {
            reply.response = pending; // echo
        }
        if (!reply.complete) {
            continue;
        }
        {
            CMutexLock lock(m_Lock);
            m_Requests.push_back(pending);
        }
        pending.clear();
        for (uint32_t waited = 0; waited < reply.delayMs && !connection.Stopping(); waited += kSliceMs) {
            PauseMs(kSliceMs);
        }
        if (reply.after == CTlsTestReply::After::Silent) {
            connection.WaitForPeerClose(60000);
            return;
        }
        if (!reply.response.empty() && !connection.SendPlain(reply.response)) {
            return;
        }
        if (reply.after == CTlsTestReply::After::CloseNotify) {
            connection.SendRaw(connection.CloseNotifyBytes());
            return;
        }
        if (reply.after == CTlsTestReply::After::Close) {
            return;
        }
    }
}

std::vector<std::string> CTlsTestServer::Requests() const {
    CMutexLock lock(m_Lock);
    return m_Requests;
}

bool CTlsTestServer::WaitForConnectionsDone(int count, uint32_t timeoutMs) const {
    return WaitUntil([&] { return m_Done.load() >= count; }, timeoutMs, kSliceMs);
}

bool CBacklogFullListener::Start() {
    // A backlog of 0 holds one finished connection; once a filler sits in it, later SYNs are dropped unanswered.
    m_Listen = ListenOnLoopback(0, 0, &m_Port);
    if (!m_Listen.Valid()) {
        return false;
    }
    uint32_t loopback = 0;
    ResolveHostIpv4("127.0.0.1", &loopback);
    for (int i = 0; i < 2; ++i) {
        CSocketFd filler = NewTcpSocket();
        SetNonBlocking(filler.Get(), true);
        StartTcpConnect(filler.Get(), loopback, static_cast<uint16_t>(m_Port));
        m_Fillers.push_back(std::move(filler));
    }
    // The first filler's handshake fills the queue; a loaded machine may take a while to finish it.
    PollWritable(m_Fillers[0].Get(), 2000);
    PauseMs(20); // and its last ACK to land on the listening side
    return true;
}
