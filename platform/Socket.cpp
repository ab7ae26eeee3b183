#include "platform/Socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
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
PollResult PollFor(int fd, short events, int ms) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms < 0 ? 0 : ms);
    for (;;) {
        int wait = -1;
        if (ms >= 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            wait = left > 0 ? static_cast<int>(left) : 0;
        }
        pollfd p{fd, events, 0};
        const int rc = ::poll(&p, 1, wait);
        if (rc > 0) {
            return PollResult::Ready; // includes POLLERR/POLLHUP: the next call on fd tells what happened
        }
        if (rc == 0) {
            return PollResult::Timeout;
        }
        if (errno != EINTR) {
            return PollResult::Error;
        }
    }
}
} // namespace

PollResult PollReadable(int fd, int ms) {
    return PollFor(fd, POLLIN, ms);
}
PollResult PollWritable(int fd, int ms) {
    return PollFor(fd, POLLOUT, ms);
}

long SendAll(int fd, const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    size_t sent = 0;
    while (sent < size) {
        const ssize_t n = ::send(fd, p + sent, size - sent, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
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

long RecvSome(int fd, void* data, size_t size) {
    for (;;) {
        const ssize_t n = ::recv(fd, data, size, 0);
        if (n >= 0 || errno != EINTR) {
            return static_cast<long>(n);
        }
    }
}

bool SetNonBlocking(int fd, bool on) {
    const int flags = ::fcntl(fd, F_GETFL, 0);
    if (flags < 0) {
        return false;
    }
    const int wanted = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return ::fcntl(fd, F_SETFL, wanted) == 0;
}

CSocketFd ListenTcp(int port, int backlog, int protocol, int* boundPort, int* failedStep) {
    CSocketFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, protocol));
    if (!fd.Valid()) {
        *failedStep = 2;
        return fd;
    }
    const int one = 1;
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        *failedStep = 3;
        const int saved = errno;
        fd.Close();
        errno = saved;
        return fd;
    }
    if (::listen(fd.Get(), backlog) != 0) {
        *failedStep = 4;
        const int saved = errno;
        fd.Close();
        errno = saved;
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
