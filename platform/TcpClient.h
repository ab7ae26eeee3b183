#pragma once
// POSIX primitives of the outbound TCP connection (the host transport's client socket) and of the loopback test
// peers that answer it. Every call here but WaitSocketOrStop returns at once; what to wait for, with its
// time-outs and its shutdown watch, is the caller's.

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/Socket.h"

// Resolves |host| to its first IPv4 address with getaddrinfo (thread-safe). Returns no failure and stores the
// address in network order, or the cause: a system failure under its errno (NoResources when the lookup ran out
// of memory), else the numbers operators know from the name service: 11001 (no such host, NotFound), 11002 (try
// again later) or 11003 (the lookup failed for good).
COsError ResolveHostIpv4(const std::string& host, uint32_t* networkOrderAddress);

// A new IPv4 TCP socket, close-on-exec; invalid with errno set and the cause in |error| (when given) on failure.
CSocketFd NewTcpSocket(COsError* error = nullptr);

// Starts a connect of |fd| (already non-blocking): no failure when connected at once, InProgress while under
// way, else the cause of the failure.
COsError StartTcpConnect(int fd, uint32_t networkOrderAddress, uint16_t port);

// One look at a connect under way, without waiting.
enum class ConnectProgress { Pending, Connected, Failed, PollFailed };
// |error| gets SO_ERROR for Failed (none when the socket only showed an error condition) and the poll's cause for
// PollFailed.
ConnectProgress CheckTcpConnect(int fd, COsError* error);

// Whether |fd| is readable right now (data or end of stream); false also when poll fails.
bool ReadableNow(int fd);

// Bytes waiting to be read (FIONREAD), or -1 with errno set.
long PendingReadBytes(int fd);

// Peeks one byte without waiting and without removing it: 1 a byte is there, 0 the peer closed, -1 with errno
// set and the cause in |error| (when given; WouldBlock: nothing yet). EINTR is retried.
long PeekOneByteNow(int fd, COsError* error = nullptr);

// One recv, EINTR retried, waiting as the socket's mode says: bytes, 0 at end of stream, -1 with errno set and
// the cause in |error| (when given).
long RecvOnce(int fd, void* data, size_t size, COsError* error = nullptr);

// One send without waiting (MSG_NOSIGNAL | MSG_DONTWAIT), EINTR retried: bytes sent, or -1 with errno set and the
// cause in |error| (when given; WouldBlock: no room now).
long SendSomeNow(int fd, const void* data, size_t size, COsError* error = nullptr);

// What a wait for a socket found: the socket ready (an error or hang-up counts, the next call tells which),
// the stop descriptor readable, the time passed, or the wait itself failed (errno set).
enum class SocketWait { Ready, Stopped, Timeout, Failed };
// One poll on |fd| (readable, or writable for |forWrite|) and |stopFd| (readable; -1: none) until one is ready or
// |ms| of the clock seam have passed, EINTR retried. A socket that is ready wins over the stop.
SocketWait WaitSocketOrStop(int fd, bool forWrite, int stopFd, uint64_t ms);

// shutdown(SHUT_RDWR); errors are of no interest to a closing caller.
void ShutdownSocket(int fd);

// Sets TCP_NODELAY, so small writes leave at once.
bool SetTcpNoDelay(int fd);
// Whether TCP_NODELAY is set on |fd|.
bool TcpNoDelaySet(int fd);

// Opens an IPv4 TCP listening socket on 127.0.0.1 only; |port| 0 lets the system choose, |boundPort| gets the
// port. Invalid with errno set on failure.
CSocketFd ListenOnLoopback(int port, int backlog, int* boundPort);

// accept4 with close-on-exec, EINTR retried; invalid with errno set on failure.
CSocketFd AcceptOne(int listenFd);
