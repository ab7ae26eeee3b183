#include "host/ClientSocket.h"

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
    const COsError error = ResolveHostIpv4(hostName, &address);
    if (!error.Ok()) {
        m_LastSocketError = error;
        m_LocalFailure = error.Is(EOsErrorClass::NoResources);
        SetLastError(error.Number(),
                     FormatText("DNS Lookup of '%s' Failed with Error %d.", hostName.c_str(), error.Number()));
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

    m_Socket = NewTcpSocket(&m_LastSocketError);
    if (!m_Socket.Valid()) {
        m_LocalFailure = true; // nothing has left this machine yet
        SetLastError(kSocketCreationFailed, "Socket Creation Failed");
        return false;
    }
    if (!::SetNonBlocking(m_Socket.Get(), true, &m_LastSocketError)) {
        const int error = m_LastSocketError.Number();
        m_LocalFailure = true;
        return FailConnect(error, FormatText("Socket ioctl (No Block) Failed with Error %d", error));
    }
    const COsError started = StartTcpConnect(m_Socket.Get(), networkOrderAddress, static_cast<uint16_t>(port));
    if (started.Ok()) {
        SetBlocking();
        return true;
    }
    if (!started.Is(EOsErrorClass::InProgress)) {
        const int error = started.Number();
        m_LastSocketError = started;
        m_LocalFailure = started.Is(EOsErrorClass::NoResources);
        return FailConnect(error, FormatText("Got %d [0X%x] trying to Connect - Expected WSAEWOULDBLOCK", error,
                                             static_cast<unsigned>(error)));
    }

    IClock& clock = GetClock();
    const uint64_t start = clock.TickMs();
    for (;;) {
        // The time-out has passed once more than |timeoutMs| have gone by: the wait lasts one more millisecond.
        const uint64_t elapsed = clock.TickMs() - start;
        WaitForSocket(true, elapsed > timeoutMs ? 0 : timeoutMs + 1 - elapsed);
        COsError error;
        switch (CheckTcpConnect(m_Socket.Get(), &error)) {
        case ConnectProgress::Connected:
            SetBlocking();
            // A request goes out in a few small writes (a TLS record, a resumed handshake's last flight): without
            // this, each waits for the peer's delayed acknowledgement of the one before.
            SetTcpNoDelay(m_Socket.Get());
            return true;
        case ConnectProgress::PollFailed:
            m_LastSocketError = error;
            m_LocalFailure = error.Is(EOsErrorClass::NoResources);
            return FailConnect(error.Number(), FormatText("Socket Error Trying to Connect [%d]", error.Number()));
        case ConnectProgress::Failed:
            // Refused or unreachable: reported as the connect failure, with the system's reason kept aside.
            m_LastSocketError = error;
            return FailConnect(kConnectFailed, FormatText("Socket Error Trying to Connect [%d]", kConnectFailed));
        case ConnectProgress::Pending:
            break;
        }
        // A stopping host interface must not wait out the time-out of a provider that never answers.
        if (g_ShutdownEvent.IsSet()) {
            m_LastSocketError = COsError::Cancelled();
            return FailConnect(kConnectFailed, FormatText("Socket Error Trying to Connect [%d]", kConnectFailed));
        }
        if (clock.TickMs() - start > timeoutMs) {
            m_LastSocketError = COsError::TimedOut();
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
    COsError error;
    const long peeked = PeekOneByteNow(m_Socket.Get(), &error);
    if (peeked > 0) {
        return true;
    }
    if (peeked == 0) {
        return !readable; // end of stream: the peer closed
    }
    switch (error.Class()) {
    case EOsErrorClass::WouldBlock:
    case EOsErrorClass::InProgress:
        return true; // open and quiet
    case EOsErrorClass::PeerGone:
    case EOsErrorClass::Invalid:
        return false;
    default:
        return true; // an error that says nothing about the peer: let the read find out
    }
}

int CClientSocket::ReadRaw(char* buffer, size_t size) {
    if (size > static_cast<size_t>(INT_MAX)) {
        size = static_cast<size_t>(INT_MAX);
    }
    return static_cast<int>(RecvOnce(m_Socket.Get(), buffer, size, &m_LastSocketError));
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
    COsError error;
    if (!m_Socket.Valid()) {
        error = COsError::NotOpen();
    } else if (length > static_cast<size_t>(INT_MAX)) {
        error = COsError::TooLong();
    } else {
        IClock& clock = GetClock();
        const uint64_t start = clock.TickMs();
        size_t sent = 0;
        while (sent < length) {
            const long n = SendSomeNow(m_Socket.Get(), data + sent, length - sent, &error);
            if (n > 0) {
                sent += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && error.Is(EOsErrorClass::WouldBlock)) {
                // The peer is not taking bytes right now: wait for room, but not past a stop or the time-out.
                if (g_ShutdownEvent.IsSet()) {
                    error = COsError::ShutDown();
                    break;
                }
                const uint64_t elapsed = clock.TickMs() - start;
                if (elapsed >= m_SendTimeoutMs) {
                    error = COsError::TimedOut();
                    break;
                }
                if (WaitForSocket(true, m_SendTimeoutMs - elapsed) == SocketWait::Failed) {
                    clock.SleepMs(1);
                }
                continue;
            }
            if (n == 0) {
                error = COsError::PeerClosed(); // nothing taken and no error given: the peer takes no more
            }
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
