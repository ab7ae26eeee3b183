#pragma once
// POSIX socket primitives shared by the listen server and the client socket. Every send is looped until all
// bytes are out and carries MSG_NOSIGNAL, so a vanished peer never raises SIGPIPE.

#include <cstddef>
#include <cstdint>
#include <string>

// Owns one file descriptor and closes it. Movable, not copyable. Not thread-safe.
class CSocketFd {
public:
    CSocketFd() = default;
    explicit CSocketFd(int fd) : m_Fd(fd) {}
    ~CSocketFd() { Close(); }
    CSocketFd(CSocketFd&& other) noexcept : m_Fd(other.Release()) {}
    CSocketFd& operator=(CSocketFd&& other) noexcept;
    CSocketFd(const CSocketFd&) = delete;
    CSocketFd& operator=(const CSocketFd&) = delete;

    int Get() const { return m_Fd; }
    bool Valid() const { return m_Fd >= 0; }
    int Release();
    void Close();

private:
    int m_Fd = -1;
};

// Result of a readiness wait.
enum class PollResult { Ready, Timeout, Error };

// Waits up to |ms| real milliseconds (negative: without limit) for |fd| to become readable / writable.
// EINTR is retried with the remaining time.
PollResult PollReadable(int fd, int ms);
PollResult PollWritable(int fd, int ms);

// Sends every byte (looping over short sends and EINTR) with MSG_NOSIGNAL. Returns the bytes sent, which is
// |size| on success, or -1 with errno set.
long SendAll(int fd, const void* data, size_t size);
// One recv, EINTR retried: >0 bytes, 0 orderly close, -1 error with errno set.
long RecvSome(int fd, void* data, size_t size);

bool SetNonBlocking(int fd, bool on);

// Opens an IPv4 TCP listening socket on all interfaces; |port| 0 lets the system choose. On success returns the
// socket and stores the port it got in |boundPort|; on failure returns an invalid socket with errno set and
// |failedStep| 2 (socket), 3 (bind) or 4 (listen).
CSocketFd ListenTcp(int port, int backlog, int protocol, int* boundPort, int* failedStep);

// "a.b.c.d" of an IPv4 address in network order.
std::string Ipv4ToText(uint32_t networkOrderAddress);
