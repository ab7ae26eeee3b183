#pragma once
// One accepted connection of the TCP listen server (CTcpServer): the socket, its peer, and the send, receive,
// line, file and token helpers a connection's protocol is written with. The POS session derives from it.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/OsError.h"
#include "platform/Socket.h"

class CTcpServer;

// What the default sessions answer.
inline constexpr std::string_view kConnectSuccessfulText = "Connect Successful ... Now Disconnecting.";
inline constexpr std::string_view kTooManyConnectionsText = "Too Many Connections, Please Try Later.";

// Serves one accepted connection. The server creates it (CTcpServer::CreateSession), attaches the connected
// socket, runs Run or RunRefused once on the connection's own thread and destroys it on that thread. The
// socket stays the server's: it is shut down and closed after the session is destroyed.
// Not thread-safe: only the connection's thread uses a session.
class CTcpSession {
public:
    CTcpSession() = default;
    virtual ~CTcpSession() = default;
    CTcpSession(const CTcpSession&) = delete;
    CTcpSession& operator=(const CTcpSession&) = delete;

    // Gives the session its connection; |socket| is used, not owned. |server| may be null (a session used alone).
    void Attach(int socket, const Ipv4Endpoint& peer, int listenSocket, CTcpServer* server);

    // Serves an accepted connection. The default reads one line and answers kConnectSuccessfulText.
    virtual void Run();
    // Serves a connection over the maximum. The default answers kTooManyConnectionsText to any input.
    virtual void RunRefused();
    // Called by the file transfers after every block with the bytes moved so far; false stops the transfer.
    virtual bool OnReceiveProgress(uint64_t total);
    virtual bool OnSendProgress(uint64_t total);

    // Sends every byte; a negative |length| means the zero-terminated text's own length. Returns the bytes
    // sent or -1.
    int Send(const char* data, int length, int flags);
    int SendText(std::string_view text);
    // Sends the first |length| characters (<= 0: all of them) in pieces of |chunk| characters, each followed by
    // CR LF. Returns the total of the send results, the first result <= 0, or -1 when |chunk| < 1.
    int SendLines(std::string_view text, int length, int chunk);
    // Sends the file in blocks of 255 bytes: 0 done (or stopped by OnSendProgress), 1 cannot open, 2 send failed.
    int SendFile(const std::string& path, uint64_t& total);

    // One recv: bytes, 0 when the peer closed, -1 on an error (also when the receive time-out passed, which
    // |error| then tells as WouldBlock). |error| (when given) gets the cause of a failed recv.
    int Receive(char* buffer, int size, COsError* error = nullptr);
    // As Receive, but with |seconds| > 0 returns 0 when nothing is readable within them (clock-seam time).
    int ReceiveTimed(char* buffer, int size, int seconds);
    // Reads at most |size| - 1 bytes up to and including the first CR LF, zero-terminates them and returns the
    // count. With |seconds| > 0 each read first waits that long for data. Stops early (returning what it
    // consumed) on a time-out, a closed connection or an error.
    int ReadLine(char* buffer, int size, int seconds);
    // Receives into a file until the peer closes: |mode| 1 creates it, 2 appends. Results: 0 done, 1 bad mode,
    // 2 cannot open, 3 nothing readable within |seconds| (> 0), 4 receive error, 5 short write, 6 stopped by
    // OnReceiveProgress.
    int ReceiveFile(const std::string& path, int mode, uint64_t& total, int seconds);

    // Socket options; setters return 0 or -1.
    int SetReceiveTimeout(int ms);
    int SetSendTimeout(int ms);
    int GetSendBufferSize() const;
    int GetReceiveBufferSize() const;
    int SetSendBufferSize(int bytes);
    int SetReceiveBufferSize(int bytes);
    int SetNonBlocking(bool flag);
    bool IsNonBlocking() const { return m_NonBlocking; }

    bool BytesAvailable() const;
    // Reads and drops whatever is already waiting. Returns 0.
    int DrainInput();
    // True when the socket is NOT readable (writable) within the time (clock-seam time), or on an error.
    bool WaitReadable(int seconds, int microseconds) const;
    bool WaitWritable(int seconds, int microseconds) const;

    // Name of the peer by reverse lookup: 0 copied, 1 does not fit with its terminating zero, 2 no name.
    int GetPeerHostName(char* buffer, size_t size) const;
    // Dotted text of the peer address: 0 copied, 1 does not fit, 2 no peer.
    int GetPeerAddressText(char* buffer, size_t size) const;
    std::string PeerAddress() const;
    // False once the peer has closed or reset the connection. Never blocks and leaves the socket's mode alone.
    bool IsConnected() const;

    int Socket() const { return m_Socket; }
    int ListenSocket() const { return m_ListenSocket; }
    CTcpServer* Server() const { return m_Server; }
    const Ipv4Endpoint& Peer() const { return m_Peer; }

    // Cuts one trailing line end (CR LF, CR, LF, or a pair of them) and returns the new length.
    static size_t TrimLineEnd(std::string& text);
    static size_t TrimLineEnd(char* text);
    // Reverse lookup of a dotted address / first IPv4 address of a name (only the part after its last "@" is
    // looked up), copied into |buffer|: 0 done, 1 does not fit with its terminating zero, 2 lookup failed.
    static int HostNameOfAddress(const std::string& dotted, char* buffer, size_t size);
    static int AddressOfHost(const std::string& name, char* buffer, size_t size);
    // Token |index| (from 0) of |text|, tokens being maximal runs of characters not in |delimiters|: 0 copied,
    // 1 no such token or it does not fit with its terminating zero.
    static int GetToken(std::string_view text, std::string_view delimiters, int index, char* buffer, size_t size);
    // The token (at most 59 characters) read as a number; 0 when there is none.
    static long GetTokenLong(std::string_view text, std::string_view delimiters, int index);
    static int CountTokens(std::string_view text, std::string_view delimiters);

private:
    int m_Socket = -1;
    Ipv4Endpoint m_Peer;
    bool m_HasPeer = false;
    int m_ListenSocket = -1;
    CTcpServer* m_Server = nullptr;
    bool m_NonBlocking = false;
};
