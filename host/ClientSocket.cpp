#include "host/ClientSocket.h"

#include <cerrno>
#include <climits>
#include <vector>

#include "foundation/TextHelpers.h"
#include "platform/Clock.h"
#include "platform/ProcessEvents.h"
#include "platform/TcpClient.h"

CClientSocket::CClientSocket() = default;

CClientSocket::~CClientSocket() {
    Close();
}

void CClientSocket::SetLastError(int code, std::string text) {
    m_LastErrorCode = code;
    m_LastErrorText = std::move(text);
}

bool CClientSocket::NoDelay() const {
    return m_Socket.Valid() && TcpNoDelaySet(m_Socket.Get());
}

bool CClientSocket::Close() {
    if (m_Socket.Valid()) {
        SetBlocking();
        ShutdownSocket(m_Socket.Get());
        m_Socket.Close();
    }
    return true;
}

bool CClientSocket::SetNonBlocking() {
    return m_Socket.Valid() && ::SetNonBlocking(m_Socket.Get(), true);
}

bool CClientSocket::SetBlocking() {
    return m_Socket.Valid() && ::SetNonBlocking(m_Socket.Get(), false);
}

bool CClientSocket::Resolve(const std::string& hostName, int port, uint32_t timeoutMs) {
    uint32_t address = 0;
    const int error = ResolveHostIpv4(hostName, &address);
    if (error != 0) {
        m_LastSocketError = error;
        m_LocalFailure = IsLocalResourceError(error);
        SetLastError(error, FormatText("DNS Lookup of '%s' Failed with Error %d.", hostName.c_str(), error));
        return false;
    }
    return Connect(address, port, timeoutMs);
}

SocketWait CClientSocket::WaitForSocket(bool forWrite, uint64_t ms) {
    if (m_StopWatch == nullptr) {
        m_StopWatch = std::make_unique<CEventWatch>(std::vector<CEvent*>{&g_ShutdownEvent});
    }
    IClock& clock = GetClock();
    const uint64_t start = clock.TickMs();
    for (;;) {
        const uint64_t elapsed = clock.TickMs() - start;
        const uint64_t left = elapsed >= ms ? 0 : ms - elapsed;
        if (!m_StopWatch->Valid()) {
            // No descriptor was left for the watch: the event is looked at every millisecond instead.
            const SocketWait result = WaitSocketOrStop(m_Socket.Get(), forWrite, -1, std::min<uint64_t>(left, 1));
            if (result != SocketWait::Timeout) {
                return result;
            }
            if (g_ShutdownEvent.IsSet()) {
                return SocketWait::Stopped;
            }
            if (left == 0) {
                return SocketWait::Timeout;
            }
            continue;
        }
        const SocketWait result = WaitSocketOrStop(m_Socket.Get(), forWrite, m_StopWatch->Fd(), left);
        if (result != SocketWait::Stopped) {
            return result;
        }
        // The watch stays readable while the event is set; after a stop and a new start of the interface it
        // may only remember the old set, which the take clears.
        if (m_StopWatch->TryTake() != kWaitTimeout) {
            return SocketWait::Stopped;
        }
    }
}

bool CClientSocket::FailConnect(int code, std::string text) {
    SetLastError(code, std::move(text));
    Close();
    return false;
}

bool CClientSocket::Connect(uint32_t networkOrderAddress, int port, uint32_t timeoutMs) {
    Close(); // one connection at a time: a socket still held is not leaked
    m_PeerAddress = networkOrderAddress;
    m_PeerPort = port;
    m_LocalFailure = false;

    m_Socket = NewTcpSocket();
    if (!m_Socket.Valid()) {
        m_LastSocketError = errno;
        m_LocalFailure = true; // nothing has left this machine yet
        SetLastError(kSocketCreationFailed, "Socket Creation Failed");
        return false;
    }
    if (!SetNonBlocking()) {
        const int error = errno;
        m_LastSocketError = error;
        m_LocalFailure = true;
        return FailConnect(error, FormatText("Socket ioctl (No Block) Failed with Error %d", error));
    }
    const int started = StartTcpConnect(m_Socket.Get(), networkOrderAddress, static_cast<uint16_t>(port));
    if (started == 0) {
        SetBlocking();
        return true;
    }
    if (started != EINPROGRESS) {
        m_LastSocketError = started;
        m_LocalFailure = IsLocalResourceError(started);
        return FailConnect(started, FormatText("Got %d [0X%x] trying to Connect - Expected WSAEWOULDBLOCK", started,
                                               static_cast<unsigned>(started)));
    }

    IClock& clock = GetClock();
    const uint64_t start = clock.TickMs();
    for (;;) {
        // The time-out has passed once more than |timeoutMs| have gone by: the wait lasts one more millisecond.
        const uint64_t elapsed = clock.TickMs() - start;
        WaitForSocket(true, elapsed > timeoutMs ? 0 : timeoutMs + 1 - elapsed);
        int error = 0;
        switch (CheckTcpConnect(m_Socket.Get(), &error)) {
        case ConnectProgress::Connected:
            SetBlocking();
            // A request goes out in a few small writes (a TLS record, a resumed handshake's last flight): without
            // this, each waits for the peer's delayed acknowledgement of the one before.
            SetTcpNoDelay(m_Socket.Get());
            return true;
        case ConnectProgress::PollFailed:
            m_LastSocketError = error;
            m_LocalFailure = IsLocalResourceError(error);
            return FailConnect(error, FormatText("Socket Error Trying to Connect [%d]", error));
        case ConnectProgress::Failed:
            // Refused or unreachable: reported as the connect failure, with the system's reason kept aside.
            m_LastSocketError = error;
            return FailConnect(kConnectFailed, FormatText("Socket Error Trying to Connect [%d]", kConnectFailed));
        case ConnectProgress::Pending:
            break;
        }
        // A stopping host interface must not wait out the time-out of a provider that never answers.
        if (g_ShutdownEvent.IsSet()) {
            m_LastSocketError = ECANCELED;
            return FailConnect(kConnectFailed, FormatText("Socket Error Trying to Connect [%d]", kConnectFailed));
        }
        if (clock.TickMs() - start > timeoutMs) {
            m_LastSocketError = ETIMEDOUT;
            return FailConnect(kConnectFailed, FormatText("Socket Error Trying to Connect [%d]", kConnectFailed));
        }
    }
}

bool CClientSocket::IsDataAvailable() {
    return m_Socket.Valid() && PendingReadBytes(m_Socket.Get()) > 0;
}

bool CClientSocket::IsConnected() {
    if (!m_Socket.Valid()) {
        return false;
    }
    const bool readable = ReadableNow(m_Socket.Get());
    const long peeked = PeekOneByteNow(m_Socket.Get());
    if (peeked > 0) {
        return true;
    }
    if (peeked == 0) {
        return !readable; // end of stream: the peer closed
    }
    switch (errno) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EINPROGRESS:
        return true; // open and quiet
    case ECONNRESET:
    case EFAULT:
    case EINVAL:
    case EBADF:
    case ENOTSOCK:
    case ENOTCONN:
    case EMSGSIZE:
    case EOPNOTSUPP:
    case ENETDOWN:
    case ENETRESET:
    case ECONNABORTED:
    case ESHUTDOWN:
    case EPIPE:
    case ETIMEDOUT:
        return false;
    default:
        return true; // an error that says nothing about the peer: let the read find out
    }
}

int CClientSocket::ReadRaw(char* buffer, size_t size) {
    if (size > static_cast<size_t>(INT_MAX)) {
        size = static_cast<size_t>(INT_MAX);
    }
    const long n = RecvOnce(m_Socket.Get(), buffer, size);
    if (n < 0) {
        m_LastSocketError = errno;
    }
    return static_cast<int>(n);
}

int CClientSocket::Receive(char* buffer, size_t size, uint32_t timeoutMs) {
    if (!m_Socket.Valid()) {
        return 0;
    }
    if (timeoutMs == 0 && IsDataAvailable()) {
        return ReadRaw(buffer, size);
    }
    IClock& clock = GetClock();
    const uint64_t start = clock.TickMs();
    if (!IsConnected()) {
        return 0;
    }
    for (;;) {
        const uint64_t elapsed = clock.TickMs() - start;
        if (elapsed >= timeoutMs) {
            return 0;
        }
        const SocketWait waited = WaitForSocket(false, timeoutMs - elapsed);
        // Bytes that are there are read even when the stop came at the same moment.
        if (IsDataAvailable()) {
            return ReadRaw(buffer, size);
        }
        if (waited == SocketWait::Stopped || g_ShutdownEvent.IsSet()) {
            return 0;
        }
        if (!IsConnected()) {
            return 0;
        }
        if (waited == SocketWait::Failed) {
            clock.SleepMs(1); // a poll that fails at once must not spin the thread
        }
    }
}

int CClientSocket::Send(const char* data, size_t length) {
    if (length == 0) {
        return 0;
    }
    int error = 0;
    if (!m_Socket.Valid()) {
        error = EBADF;
    } else if (length > static_cast<size_t>(INT_MAX)) {
        error = EMSGSIZE;
    } else {
        IClock& clock = GetClock();
        const uint64_t start = clock.TickMs();
        size_t sent = 0;
        while (sent < length) {
            const long n = SendSomeNow(m_Socket.Get(), data + sent, length - sent);
            if (n > 0) {
                sent += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                // The peer is not taking bytes right now: wait for room, but not past a stop or the time-out.
                if (g_ShutdownEvent.IsSet()) {
                    error = ESHUTDOWN;
                    break;
                }
                const uint64_t elapsed = clock.TickMs() - start;
                if (elapsed >= m_SendTimeoutMs) {
                    error = ETIMEDOUT;
                    break;
                }
                if (WaitForSocket(true, m_SendTimeoutMs - elapsed) == SocketWait::Failed) {
                    clock.SleepMs(1);
                }
                continue;
            }
            error = n < 0 ? errno : EPIPE;
            break;
        }
        if (sent == length) {
            return static_cast<int>(length);
        }
    }
    m_LastSocketError = error;
    SetLastError(kSendFailed, FormatText("Socket Error Sending %d", kSendFailed));
    return -1;
}
