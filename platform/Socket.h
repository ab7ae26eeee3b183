#pragma once
// POSIX socket primitives shared by the listen server and the client socket. Every send is looped until all
// bytes are out and carries MSG_NOSIGNAL, so a vanished peer never raises SIGPIPE.

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/OsError.h"

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
// EINTR is retried with the remaining time. |error| (when given) gets the cause of an Error.
PollResult PollReadable(int fd, int ms, COsError* error = nullptr);
PollResult PollWritable(int fd, int ms);

// Sends every byte (looping over short sends and EINTR) with MSG_NOSIGNAL. Returns the bytes sent, which is
// |size| on success, or -1 with errno set.
long SendAll(int fd, const void* data, size_t size);
// One recv, EINTR retried: >0 bytes, 0 orderly close, -1 error with errno set and its cause in |error| (when
// given).
long RecvSome(int fd, void* data, size_t size, COsError* error = nullptr);

// False with the cause in |error| (when given).
bool SetNonBlocking(int fd, bool on, COsError* error = nullptr);

// Opens an IPv4 TCP listening socket on all interfaces; |port| 0 lets the system choose. On success returns the
// socket and stores the port it got in |boundPort|; on failure returns an invalid socket with errno set, the
// cause in |error| (when given) and |failedStep| 2 (socket), 3 (bind) or 4 (listen).
CSocketFd ListenTcp(int port, int backlog, int protocol, int* boundPort, int* failedStep, COsError* error = nullptr);
// The same on one local address (in network order) instead of all of them.
CSocketFd ListenTcpOn(uint32_t networkOrderAddress, int port, int backlog, int protocol, int* boundPort,
                      int* failedStep, COsError* error = nullptr);

// "a.b.c.d" of an IPv4 address in network order.
std::string Ipv4ToText(uint32_t networkOrderAddress);

// ---- Listen-server and session primitives ----

// An IPv4 peer: address in network order, port in host order.
struct Ipv4Endpoint {
    uint32_t address = 0;
    uint16_t port = 0;
};

// 127.0.0.1 in network order.
uint32_t LoopbackIpv4();

// Accepts one connection (close-on-exec, EINTR retried). On failure returns an invalid socket with errno set and
// the cause in |error| (when given): PeerGone when the connection at the head of the queue failed (the next one
// may be taken at once), NoResources when the process is short of descriptors or memory for a moment, another
// class when the listening socket itself cannot accept any more (closed, shut down).
CSocketFd AcceptTcp(int listenFd, Ipv4Endpoint* peer, COsError* error = nullptr);

// Connects a TCP socket to |networkOrderAddress|:|port|, waiting at most |timeoutMs| real milliseconds for the
// connection. Returns the connected socket in blocking mode, or an invalid socket with errno set.
CSocketFd ConnectTcp(uint32_t networkOrderAddress, int port, int timeoutMs);

// shutdown() of both directions; errors (a socket that was never connected) are ignored.
void ShutdownBoth(int fd);

// Like SendAll, with extra send() |flags| (MSG_NOSIGNAL is always added).
long SendAll(int fd, const void* data, size_t size, int flags);
// One recv with MSG_PEEK (plus MSG_DONTWAIT when |dontWait|), EINTR retried: bytes, 0 closed, -1 with errno set
// and its cause in |error| (when given).
long PeekSome(int fd, void* data, size_t size, bool dontWait, COsError* error = nullptr);
// Bytes waiting to be read (FIONREAD), or -1 with errno set.
long BytesReadable(int fd);

// Waits on the clock seam (platform/Clock.h) for at most |ms| of its time, so a manual clock ends the wait.
PollResult WaitReadableOnClock(int fd, uint64_t ms);
PollResult WaitWritableOnClock(int fd, uint64_t ms);

// SO_RCVTIMEO (|receive|) or SO_SNDTIMEO in milliseconds: 0, or -1 with errno set.
int SetSocketTimeoutMs(int fd, bool receive, int ms);
// SO_SNDBUF (|send|) or SO_RCVBUF: the size, 0 when the query fails.
int GetSocketBufferSize(int fd, bool send);
// 0, or -1 with errno set.
int SetSocketBufferSize(int fd, bool send, int bytes);

// "a.b.c.d" to an address in network order; false for anything else.
bool TextToIpv4(const std::string& dotted, uint32_t* networkOrderAddress);
// Name of an IPv4 address from the system's resolver; false when it has none.
bool ReverseLookupIpv4(uint32_t networkOrderAddress, std::string* name);
// First IPv4 address of |host| (a name or a dotted address); false when the lookup fails.
bool LookupIpv4(const std::string& host, uint32_t* networkOrderAddress);
