#include "platform/Socket.h"

#include "platform/Clock.h"
#include "platform/OsError.h"
#include "platform/Poll.h"
#include "platform/TcpClient.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

CSocketFd& CSocketFd::operator=(CSocketFd&& other) noexcept {
    if (this != &other) {
        Close();
        m_Fd = other.Release();
    }
    return *this;
}

int CSocketFd::Release() {
    const int fd = m_Fd;
    m_Fd = -1;
    return fd;
}

void CSocketFd::Close() {
    if (m_Fd >= 0) {
        ::close(m_Fd);
        m_Fd = -1;
    }
}

namespace {
// Closes |fd| and leaves errno as the failure that made the caller give it up.
void CloseKeepingErrno(CSocketFd& fd) {
    const int saved = errno;
    fd.Close();
    errno = saved;
}

sockaddr_in Ipv4SocketAddress(uint32_t networkOrderAddress, int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = networkOrderAddress;
    return addr;
}

long RecvRetryingEintr(int fd, void* data, size_t size, int flags, COsError* error) {
    return static_cast<long>(RetryOnEintr([&] { return ::recv(fd, data, size, flags); }, error));
}

PollResult PollFor(int fd, short events, int ms, COsError* error) {
    pollfd p{fd, events, 0};
    const int rc = PollWithDeadline(&p, 1, ms);
    if (rc > 0) {
        return PollResult::Ready; // includes POLLERR/POLLHUP: the next call on fd tells what happened
    }
    if (rc < 0) {
        StoreErrno(error);
    }
    return rc == 0 ? PollResult::Timeout : PollResult::Error;
}

// Errors that accept() passes on from the connection at the head of the queue, which failed before it was taken:
// the listening socket is sound and the next connection may be accepted at once.
bool IsPendingConnectionError(int error) {
    switch (error) {
    case ECONNABORTED:
    case EPROTO:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
    case ENETDOWN:
    case EPERM: // a firewall rule refused that connection
        return true;
    default:
        return false;
    }
}
} // namespace

PollResult PollReadable(int fd, int ms, COsError* error) {
    return PollFor(fd, POLLIN, ms, error);
}
PollResult PollWritable(int fd, int ms) {
    return PollFor(fd, POLLOUT, ms, nullptr);
}

long SendAll(int fd, const void* data, size_t size) {
    return SendAll(fd, data, size, 0);
}

long RecvSome(int fd, void* data, size_t size, COsError* error) {
    return RecvRetryingEintr(fd, data, size, 0, error);
}

bool SetNonBlocking(int fd, bool on, COsError* error) {
    const int flags = ::fcntl(fd, F_GETFL, 0);
    if (flags < 0) {
        StoreErrno(error);
        return false;
    }
    const int wanted = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    if (::fcntl(fd, F_SETFL, wanted) != 0) {
        StoreErrno(error);
        return false;
    }
    return true;
}

CSocketFd ListenTcp(int port, int backlog, int protocol, int* boundPort, int* failedStep, COsError* error) {
    return ListenTcpOn(htonl(INADDR_ANY), port, backlog, protocol, boundPort, failedStep, error);
}

CSocketFd ListenTcpOn(uint32_t networkOrderAddress, int port, int backlog, int protocol, int* boundPort,
                      int* failedStep, COsError* error) {
    CSocketFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, protocol));
    if (!fd.Valid()) {
        StoreErrno(error);
        *failedStep = 2;
        return fd;
    }
    const int one = 1;
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr = Ipv4SocketAddress(networkOrderAddress, port);
    if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        StoreErrno(error);
        *failedStep = 3;
        CloseKeepingErrno(fd);
        return fd;
    }
    if (::listen(fd.Get(), backlog) != 0) {
        StoreErrno(error);
        *failedStep = 4;
        CloseKeepingErrno(fd);
        return fd;
    }
    socklen_t len = sizeof addr;
    ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&addr), &len);
    *boundPort = ntohs(addr.sin_port);
    *failedStep = 0;
    return fd;
}

std::string Ipv4ToText(uint32_t networkOrderAddress) {
    char text[INET_ADDRSTRLEN] = {};
    in_addr a{};
    a.s_addr = networkOrderAddress;
    ::inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

// ---- Listen-server and session primitives ----

uint32_t LoopbackIpv4() {
    return htonl(INADDR_LOOPBACK);
}

CSocketFd AcceptTcp(int listenFd, Ipv4Endpoint* peer, COsError* error) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    const int fd = RetryOnEintr([&] {
        len = sizeof addr;
        return ::accept4(listenFd, reinterpret_cast<sockaddr*>(&addr), &len, SOCK_CLOEXEC);
    });
    if (fd < 0) {
        if (error != nullptr) {
            *error = IsPendingConnectionError(errno) ? COsError::WithClass(EOsErrorClass::PeerGone, errno)
                                                     : COsError::FromErrno();
        }
        return CSocketFd();
    }
    if (peer != nullptr) {
        peer->address = addr.sin_addr.s_addr;
        peer->port = ntohs(addr.sin_port);
    }
    return CSocketFd(fd);
}

CSocketFd ConnectTcp(uint32_t networkOrderAddress, int port, int timeoutMs) {
    CSocketFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.Valid()) {
        return fd;
    }
    const sockaddr_in addr = Ipv4SocketAddress(networkOrderAddress, port);
    if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        if (errno != EINPROGRESS) {
            CloseKeepingErrno(fd);
            return fd;
        }
        if (PollWritable(fd.Get(), timeoutMs) != PollResult::Ready) {
            fd.Close();
            errno = ETIMEDOUT;
            return fd;
        }
        int error = 0;
        socklen_t len = sizeof error;
        if (::getsockopt(fd.Get(), SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0) {
            fd.Close();
            errno = error != 0 ? error : ECONNREFUSED;
            return fd;
        }
    }
    SetNonBlocking(fd.Get(), false);
    return fd;
}

void ShutdownBoth(int fd) {
    if (fd >= 0) {
        ::shutdown(fd, SHUT_RDWR);
    }
}

long SendAll(int fd, const void* data, size_t size, int flags) {
    const char* p = static_cast<const char*>(data);
    size_t sent = 0;
    while (sent < size) {
        const ssize_t n = RetryOnEintr([&] { return ::send(fd, p + sent, size - sent, flags | MSG_NOSIGNAL); });
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                // A non-blocking socket whose buffer is full: wait for room rather than fail a half-sent reply.
                if (PollWritable(fd, 30000) == PollResult::Ready) {
                    continue;
                }
                errno = ETIMEDOUT;
            }
            return -1;
        }
        sent += static_cast<size_t>(n);
    }
    return static_cast<long>(sent);
}

long PeekSome(int fd, void* data, size_t size, bool dontWait, COsError* error) {
    return RecvRetryingEintr(fd, data, size, MSG_PEEK | (dontWait ? MSG_DONTWAIT : 0), error);
}

long BytesReadable(int fd) {
    int count = 0;
    if (::ioctl(fd, FIONREAD, &count) != 0) {
        return -1;
    }
    return count;
}

namespace {
PollResult WaitOnClock(int fd, uint64_t ms, bool readable) {
    CClockDeadline deadline = CClockDeadline::After(ms);
    for (;;) {
        const int wait = deadline.RealSliceMs();
        const PollResult result = readable ? PollReadable(fd, wait) : PollWritable(fd, wait);
        if (result != PollResult::Timeout || deadline.Passed()) {
            return result;
        }
    }
}
} // namespace

PollResult WaitReadableOnClock(int fd, uint64_t ms) {
    return WaitOnClock(fd, ms, true);
}
PollResult WaitWritableOnClock(int fd, uint64_t ms) {
    return WaitOnClock(fd, ms, false);
}

int SetSocketTimeoutMs(int fd, bool receive, int ms) {
    timeval tv{};
    if (ms > 0) {
        tv.tv_sec = ms / 1000;
        tv.tv_usec = (ms % 1000) * 1000;
    }
    return ::setsockopt(fd, SOL_SOCKET, receive ? SO_RCVTIMEO : SO_SNDTIMEO, &tv, sizeof tv) == 0 ? 0 : -1;
}

int GetSocketBufferSize(int fd, bool send) {
    int size = 0;
    socklen_t len = sizeof size;
    if (::getsockopt(fd, SOL_SOCKET, send ? SO_SNDBUF : SO_RCVBUF, &size, &len) != 0) {
        return 0;
    }
    return size;
}

int SetSocketBufferSize(int fd, bool send, int bytes) {
    return ::setsockopt(fd, SOL_SOCKET, send ? SO_SNDBUF : SO_RCVBUF, &bytes, sizeof bytes) == 0 ? 0 : -1;
}

bool TextToIpv4(const std::string& dotted, uint32_t* networkOrderAddress) {
    in_addr a{};
    if (::inet_pton(AF_INET, dotted.c_str(), &a) != 1) {
        return false;
    }
    *networkOrderAddress = a.s_addr;
    return true;
}

bool ReverseLookupIpv4(uint32_t networkOrderAddress, std::string* name) {
    const sockaddr_in addr = Ipv4SocketAddress(networkOrderAddress, 0);
    char host[NI_MAXHOST] = {};
    if (::getnameinfo(reinterpret_cast<const sockaddr*>(&addr), sizeof addr, host, sizeof host, nullptr, 0,
                      NI_NAMEREQD) != 0) {
        return false;
    }
    *name = host;
    return true;
}

bool LookupIpv4(const std::string& host, uint32_t* networkOrderAddress) {
    return !host.empty() && ResolveHostIpv4(host, networkOrderAddress).Ok();
}
