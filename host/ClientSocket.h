#pragma once
// The outbound TCP connection that every host-side exchange travels on: name lookup, a connect under a
// time-out, a liveness probe, reads with a time-out that give way to the process's shutdown, and sends.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/Event.h"
#include "platform/OsError.h"
#include "platform/Socket.h"
#include "platform/TcpClient.h"

// Owns one connection at a time (Connect opens, Close or a failed connect releases; a closed object can
// connect again) and the last error code and text of its failures, which derived classes share. Failures are
// reported by result and by that pair; nothing is shown or logged here. Not thread-safe: one thread uses an
// object; the only shared thing it reads is g_ShutdownEvent. Time-outs run on the clock seam. Every wait
// (connect, read, a send that finds no room) is one poll on the socket and a watch of g_ShutdownEvent, so it
// ends the moment the socket or the stop says so.
class CClientSocket {
public:
    // Error codes of this class.
    static constexpr int kSendFailed = 3003;
    static constexpr int kSocketCreationFailed = 3005;
    static constexpr int kConnectFailed = 3006;
    // How long a send may wait for room when the peer stops reading.
    static constexpr uint32_t kDefaultSendTimeoutMs = 30000;

    CClientSocket();
    virtual ~CClientSocket();
    CClientSocket(const CClientSocket&) = delete;
    CClientSocket& operator=(const CClientSocket&) = delete;

    // Back to blocking mode, both directions shut down, the socket closed. Always true.
    bool Close();
    // Looks |hostName| up (a name or a dotted address) and connects to its first IPv4 address.
    bool Resolve(const std::string& hostName, int port, uint32_t timeoutMs);
    // Connects to |networkOrderAddress|:|port| within |timeoutMs|; gives up at once when g_ShutdownEvent is set.
    bool Connect(uint32_t networkOrderAddress, int port, uint32_t timeoutMs);

    bool IsDataAvailable();
    // Whether the peer is still there; never takes a byte out of the stream.
    bool IsConnected();
    // Bytes read (up to |size|), 0 when nothing could be read within |timeoutMs| (0: only what is there now),
    // the peer is gone or g_ShutdownEvent was set, -1 when the read failed.
    int Receive(char* buffer, size_t size, uint32_t timeoutMs);
    // One plain read that waits as the socket's mode says.
    int ReadRaw(char* buffer, size_t size);
    // Sends all |length| bytes: |length|, or -1 (code 3003) when the connection failed, the peer stopped taking
    // bytes for the send time-out, or g_ShutdownEvent was set. A length of 0 returns 0 without a call.
    int Send(const char* data, size_t length);
    int Send(const std::string& data) { return Send(data.data(), data.size()); }

    int GetLastError() const { return m_LastErrorCode; }
    std::string GetLastErrorText() const { return m_LastErrorText; }
    // The system's error number of the last socket call that failed (what "Socket Error %d" texts show).
    int GetLastSocketError() const { return m_LastSocketError.Number(); }
    // Whether the last connect failed on this machine (no descriptor, memory or local port; a socket or a TLS
    // session that could not be made) rather than at the peer or on the way to it. Such a failure must not be
    // held against the peer.
    bool IsLocalFailure() const { return m_LocalFailure; }

    bool SetNonBlocking();
    bool SetBlocking();
    bool IsOpen() const { return m_Socket.Valid(); }
    // Small sends leave at once (TCP_NODELAY, set by every connect).
    bool NoDelay() const;
    uint32_t PeerAddress() const { return m_PeerAddress; }
    int PeerPort() const { return m_PeerPort; }

    void SetSendTimeoutMs(uint32_t ms) { m_SendTimeoutMs = ms; }

protected:
    void SetLastError(int code, std::string text);
    void SetLocalFailure(bool local) { m_LocalFailure = local; }

    int m_LastErrorCode = 0;
    std::string m_LastErrorText;

private:
    bool FailConnect(int code, std::string text);
    // Waits at most |ms| for the socket to be readable (|forWrite|: writable) or g_ShutdownEvent to be set.
    SocketWait WaitForSocket(bool forWrite, uint64_t ms);

    CSocketFd m_Socket;
    uint32_t m_PeerAddress = 0; // network order, zeroed before each connect
    int m_PeerPort = 0;
    COsError m_LastSocketError;
    bool m_LocalFailure = false;
    uint32_t m_SendTimeoutMs = kDefaultSendTimeoutMs;
    // g_ShutdownEvent's watch, made at the first wait and kept for the object's life.
    std::unique_ptr<CEventWatch> m_StopWatch;
};
