#pragma once
// Local (AF_UNIX) SOCK_SEQPACKET sockets: connection-oriented like a stream, but every send arrives as one
// message with its boundaries, as a message-mode named pipe delivers it. Every send carries MSG_NOSIGNAL.

#include <cstddef>
#include <string>
#include <sys/types.h>

#include "platform/Socket.h"

// The longest socket path the kernel takes (the socket address holds it with its terminating zero).
size_t MaxLocalSocketPath();
// The longest queue of waiting clients the system lets a listener have.
int MaxListenBacklog();

// What Listen found.
enum class ELocalListenResult {
    Listening,   // the listener serves the path now
    NameInUse,   // a live server of this user answers on the path
    OtherOwner,  // a socket of another user stands on the path, live or not (HolderUid says whose)
    NotASocket,  // something other than a socket stands on the path
    NoFolder,    // the path's folder does not exist
    NotAFolder,  // a part of the path's folder is not a folder
    NotWritable, // the folder may not be written: its permissions, or a read-only file system
    NoResources, // no descriptor or memory was left for the socket
    Failed,      // the socket could not be made, bound or set listening for another cause
};

// Owns one listening socket and the socket file it made; Close (and the destructor) removes the file when it
// is still the one this listener made. Not thread-safe: the serving thread uses it. Not copyable.
class CLocalListener {
public:
    CLocalListener() = default;
    ~CLocalListener() { Close(); }
    CLocalListener(const CLocalListener&) = delete;
    CLocalListener& operator=(const CLocalListener&) = delete;

    // Binds a non-blocking, close-on-exec socket to |path| with the file mode |mode| and listens. A socket file
    // of this user that nobody answers on (its server died) is replaced; one a live server answers on, and one
    // of another user, are left alone: in a shared folder (/tmp) another user's name is never taken over.
    // |*error| (when given) receives the cause of anything but Listening; a name held by another (NameInUse,
    // OtherOwner, NotASocket) is "address in use".
    ELocalListenResult Listen(const std::string& path, mode_t mode, int backlog, COsError* error = nullptr);
    // The owner of the socket that the last Listen found in the way (OtherOwner).
    uid_t HolderUid() const { return m_HolderUid; }
    int Fd() const { return m_Fd.Get(); }
    // One waiting client, non-blocking and close-on-exec; invalid with errno EAGAIN when none waits. |*error|
    // (when given) receives the cause of an invalid one (WouldBlock when none waits).
    CSocketFd Accept(COsError* error = nullptr);
    void Close();

private:
    CSocketFd m_Fd;
    std::string m_Path;
    dev_t m_Device = 0;
    ino_t m_Inode = 0;
    uid_t m_HolderUid = 0;
};

// Connects a blocking, close-on-exec SOCK_SEQPACKET socket to |path|; invalid with errno set on failure.
CSocketFd ConnectLocalSeqPacket(const std::string& path);

// Receives one message of at most |size| bytes (EINTR retried): bytes, 0 when the peer closed (or sent an
// empty message), -1 with errno set and the cause in |error| (when given; WouldBlock when |dontWait| and none is
// there). |truncated| tells whether the message was longer than |size|; the rest of it is lost.
long ReceiveMessage(int fd, void* data, size_t size, bool* truncated, bool dontWait, COsError* error = nullptr);
// Sends one message whole (EINTR retried): |size|, or -1 with errno set and the cause in |error| (when given;
// WouldBlock when |dontWait| and the socket cannot take it now).
long SendMessage(int fd, const void* data, size_t size, bool dontWait, COsError* error = nullptr);
