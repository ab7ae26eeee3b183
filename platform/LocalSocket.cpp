#include "platform/LocalSocket.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/OsError.h"

namespace {
bool MakeAddress(const std::string& path, sockaddr_un& address) {
    address = {};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() > MaxLocalSocketPath() || path.find('\0') != std::string::npos) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::memcpy(address.sun_path, path.data(), path.size());
    return true;
}

int ConnectRetryingEintr(int fd, const sockaddr_un& address) {
    int rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    // An interrupted connect goes on in the background; waiting for it tells how it ended.
    if (rc < 0 && errno == EINTR) {
        if (PollWritable(fd, -1) != PollResult::Ready) {
            return -1;
        }
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) < 0) {
            return -1;
        }
        errno = error;
        rc = error == 0 ? 0 : -1;
    }
    return rc;
}

// True when a server accepts connections on |path|. A full backlog still means a live server.
bool ServerAnswers(const sockaddr_un& address) {
    CSocketFd probe(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!probe.Valid()) {
        return true; // cannot tell: leave the file alone
    }
    if (ConnectRetryingEintr(probe.Get(), address) == 0) {
        return true;
    }
    return errno != ECONNREFUSED && errno != ENOENT;
}
} // namespace

size_t MaxLocalSocketPath() {
    return sizeof(sockaddr_un::sun_path) - 1;
}

int MaxListenBacklog() {
    return SOMAXCONN;
}

namespace {
// What a failure with the errno value |number| to make, bind or set up a listening socket says of its place.
ELocalListenResult ListenFailure(int number) {
    switch (number) {
    case ENOENT:
        return ELocalListenResult::NoFolder;
    case ENOTDIR:
        return ELocalListenResult::NotAFolder;
    case EACCES:
    case EPERM:
    case EROFS:
        return ELocalListenResult::NotWritable;
    default:
        return COsError::FromNumber(number).Is(EOsErrorClass::NoResources) ? ELocalListenResult::NoResources
                                                                           : ELocalListenResult::Failed;
    }
}

// |result| for a Listen that failed, with errno's cause in |*error| when given.
ELocalListenResult ListenFailed(COsError* error) {
    const int number = errno;
    if (error != nullptr) {
        *error = COsError::FromNumber(number);
    }
    return ListenFailure(number);
}

// |result|, a name held by another, with "address in use" in |*error| when given.
ELocalListenResult NameHeld(ELocalListenResult result, COsError* error) {
    if (error != nullptr) {
        *error = COsError::FromNumber(EADDRINUSE);
    }
    return result;
}
} // namespace

ELocalListenResult CLocalListener::Listen(const std::string& path, mode_t mode, int backlog, COsError* error) {
    Close();
    if (error != nullptr) {
        *error = COsError();
    }
    sockaddr_un address;
    if (!MakeAddress(path, address)) {
        return ListenFailed(error);
    }
    CSocketFd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.Valid()) {
        return ListenFailed(error);
    }
    // The socket's own mode becomes the file's mode at bind (less the umask), so the file never exists with
    // wider access than asked; the chmod after bind restores what the umask took away.
    ::fchmod(fd.Get(), mode);
    for (int attempt = 0;; ++attempt) {
        if (::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
            break;
        }
        if (errno != EADDRINUSE || attempt > 0) {
            return errno == EADDRINUSE ? NameHeld(ELocalListenResult::NameInUse, error) : ListenFailed(error);
        }
        struct stat existing {};
        if (::lstat(path.c_str(), &existing) != 0) {
            continue; // gone meanwhile: bind again
        }
        if (!S_ISSOCK(existing.st_mode)) {
            return NameHeld(ELocalListenResult::NotASocket, error);
        }
        if (existing.st_uid != ::geteuid()) {
            m_HolderUid = existing.st_uid;
            return NameHeld(ELocalListenResult::OtherOwner, error);
        }
        if (ServerAnswers(address)) {
            return NameHeld(ELocalListenResult::NameInUse, error);
        }
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
            return ListenFailed(error);
        }
    }
    struct stat made {};
    if (::chmod(path.c_str(), mode) != 0 || ::lstat(path.c_str(), &made) != 0 || ::listen(fd.Get(), backlog) != 0) {
        const int saved = errno;
        ::unlink(path.c_str());
        errno = saved;
        return ListenFailed(error);
    }
    m_Fd = std::move(fd);
    m_Path = path;
    m_Device = made.st_dev;
    m_Inode = made.st_ino;
    return ELocalListenResult::Listening;
}

CSocketFd CLocalListener::Accept(COsError* error) {
    return CSocketFd(
        RetryOnEintr([&] { return ::accept4(m_Fd.Get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK); }, error));
}

void CLocalListener::Close() {
    if (!m_Fd.Valid()) {
        return;
    }
    // Another server may have taken the name since (after someone removed our file): its file stays.
    struct stat now {};
    if (::lstat(m_Path.c_str(), &now) == 0 && now.st_dev == m_Device && now.st_ino == m_Inode) {
        ::unlink(m_Path.c_str());
    }
    m_Fd.Close();
    m_Path.clear();
}

CSocketFd ConnectLocalSeqPacket(const std::string& path) {
    sockaddr_un address;
    if (!MakeAddress(path, address)) {
        return CSocketFd();
    }
    CSocketFd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (!fd.Valid() || ConnectRetryingEintr(fd.Get(), address) != 0) {
        const int saved = errno;
        fd.Close();
        errno = saved;
    }
    return fd;
}

long ReceiveMessage(int fd, void* data, size_t size, bool* truncated, bool dontWait, COsError* error) {
    iovec part{data, size};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    const ssize_t n = RetryOnEintr([&] { return ::recvmsg(fd, &message, dontWait ? MSG_DONTWAIT : 0); }, error);
    if (truncated != nullptr) {
        *truncated = n >= 0 && (message.msg_flags & MSG_TRUNC) != 0;
    }
    return static_cast<long>(n);
}

long SendMessage(int fd, const void* data, size_t size, bool dontWait, COsError* error) {
    return static_cast<long>(
        RetryOnEintr([&] { return ::send(fd, data, size, MSG_NOSIGNAL | (dontWait ? MSG_DONTWAIT : 0)); }, error));
}
