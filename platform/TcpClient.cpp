#include "platform/TcpClient.h"

#include <arpa/inet.h>
#include <cerrno>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include "platform/Clock.h"
#include "platform/OsError.h"
#include "platform/Poll.h"

COsError ResolveHostIpv4(const std::string& host, uint32_t* networkOrderAddress) {
    constexpr int kNoSuchHost = 11001;
    constexpr int kTryAgain = 11002;
    constexpr int kLookupFailed = 11003;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &result);
    if (rc != 0) {
        switch (rc) {
        case EAI_SYSTEM:
            return COsError::FromNumber(errno != 0 ? errno : EIO);
        case EAI_AGAIN:
            return COsError::WithClass(EOsErrorClass::Other, kTryAgain);
        case EAI_MEMORY:
            return COsError::FromNumber(ENOMEM); // this machine's shortage, not the name's
        case EAI_FAIL:
            return COsError::WithClass(EOsErrorClass::Other, kLookupFailed);
        default:
            return COsError::WithClass(EOsErrorClass::NotFound, kNoSuchHost); // no address for that name
        }
    }
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owner(result, &::freeaddrinfo);
    for (const addrinfo* a = result; a != nullptr; a = a->ai_next) {
        if (a->ai_family == AF_INET && a->ai_addr != nullptr) {
            *networkOrderAddress = reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr.s_addr;
            return COsError();
        }
    }
    return COsError::WithClass(EOsErrorClass::NotFound, kNoSuchHost);
}

CSocketFd NewTcpSocket(COsError* error) {
    CSocketFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.Valid()) {
        StoreErrno(error);
    }
    return fd;
}

COsError StartTcpConnect(int fd, uint32_t networkOrderAddress, uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = networkOrderAddress;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) {
        return COsError();
    }
    // An interrupted connect goes on in the background, like one under way.
    return COsError::FromNumber(errno == EINTR ? EINPROGRESS : errno);
}

ConnectProgress CheckTcpConnect(int fd, COsError* error) {
    *error = COsError();
    pollfd p{fd, POLLOUT, 0};
    const int rc = PollWithDeadline(&p, 1, 0);
    if (rc < 0) {
        *error = COsError::FromErrno();
        return ConnectProgress::PollFailed;
    }
    if (rc == 0) {
        return ConnectProgress::Pending;
    }
    // A refused connect shows as writable too: only SO_ERROR tells it from a connected socket.
    int soError = 0;
    socklen_t len = sizeof soError;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len) != 0) {
        *error = COsError::FromErrno();
        return ConnectProgress::Failed;
    }
    if (soError != 0) {
        *error = COsError::FromNumber(soError);
        return ConnectProgress::Failed;
    }
    if ((p.revents & POLLOUT) == 0) {
        return ConnectProgress::Failed; // an error or hang-up condition alone
    }
    return ConnectProgress::Connected;
}

bool ReadableNow(int fd) {
    pollfd p{fd, POLLIN, 0};
    const int rc = PollWithDeadline(&p, 1, 0);
    return rc > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

long PendingReadBytes(int fd) {
    return BytesReadable(fd);
}

long PeekOneByteNow(int fd, COsError* error) {
    char byte = 0;
    return PeekSome(fd, &byte, 1, true, error);
}

long RecvOnce(int fd, void* data, size_t size, COsError* error) {
    return RecvSome(fd, data, size, error);
}

long SendSomeNow(int fd, const void* data, size_t size, COsError* error) {
    return static_cast<long>(RetryOnEintr([&] { return ::send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT); }, error));
}

SocketWait WaitSocketOrStop(int fd, bool forWrite, int stopFd, uint64_t ms) {
    CClockDeadline deadline = CClockDeadline::After(ms);
    pollfd fds[2] = {{fd, static_cast<short>(forWrite ? POLLOUT : POLLIN), 0}, {stopFd, POLLIN, 0}};
    const nfds_t count = stopFd >= 0 ? 2 : 1;
    for (;;) {
        // The system clock lets one poll block for the whole wait; a test clock has it look again every slice.
        const int rc = RetryOnEintr([&] { return ::poll(fds, count, deadline.PollSliceMs()); });
        if (rc < 0) {
            return SocketWait::Failed;
        }
        if (rc > 0 && fds[0].revents != 0) {
            return SocketWait::Ready;
        }
        if (rc > 0 && count == 2 && fds[1].revents != 0) {
            return SocketWait::Stopped;
        }
        if (deadline.Passed()) {
            return SocketWait::Timeout;
        }
    }
}

void ShutdownSocket(int fd) {
    ShutdownBoth(fd);
}

bool SetTcpNoDelay(int fd) {
    const int one = 1;
    return ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == 0;
}

bool TcpNoDelaySet(int fd) {
    int value = 0;
    socklen_t size = sizeof value;
    return ::getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &value, &size) == 0 && value != 0;
}

CSocketFd ListenOnLoopback(int port, int backlog, int* boundPort) {
    int failedStep = 0;
    return ListenTcpOn(LoopbackIpv4(), port, backlog, 0, boundPort, &failedStep);
}

CSocketFd AcceptOne(int listenFd) {
    return AcceptTcp(listenFd, nullptr);
}
