#pragma once
// A TLS client connection on top of the client socket: the handshake, one encrypted record per send, reads that
// decrypt every record received so far (answering the server's renegotiation and post-handshake messages), the
// close-notify, and the check of the server's certificate against the host name. Every byte travels through
// CClientSocket::Receive and CClientSocket::Send, so their time-outs and the shutdown watch hold here too.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "foundation/ErrorCodes.h"
#include "host/ClientSocket.h"
#include "host/SspiProvider.h"
#include "platform/Tls.h"

// Owns one TLS session over the socket it derives from, and shares the process's credential it was given (which
// must outlive it). Results and the last error code/text of the socket report failures; nothing is logged here.
// Not thread-safe: one channel belongs to one thread.
class CTlsChannel : public CClientSocket {
public:
    // Error codes of this class (the socket's are in CClientSocket).
    static constexpr int kHandshakeFailed = 3101;
    static constexpr int kCloseNotifyFailed = 3102;
    static constexpr int kControlTokenFailed = 3106;
    static constexpr int kMessageTooLarge = 3107;
    static constexpr int kEncryptFailed = 3012;
    static constexpr int kCertificateCheckFailed = 3124;

    // Security statuses of the handshake and record layer, in the numbering operators know.
    static constexpr uint32_t kSecOk = 0x00000000;
    static constexpr uint32_t kSecContextExpired = 0x00090317;
    static constexpr uint32_t kSecInvalidHandle = 0x80090301;
    static constexpr uint32_t kSecInternalError = 0x80090304;
    static constexpr uint32_t kSecIllegalMessage = 0x80090326;
    static constexpr uint32_t kSecCertUnknown = 0x80090327;
    static constexpr uint32_t kSecDecryptFailure = 0x80090330;
    static constexpr uint32_t kSecAlgorithmMismatch = 0x80090331;

    // Results of ReceiveAndDecrypt.
    static constexpr int kReceiveOk = 0;
    static constexpr int kReceiveFailed = 2;       // read error, or the server went away inside a record
    static constexpr int kReceiveTimeout = 3;      // nothing arrived within the time-out
    static constexpr int kReceiveEndOfSession = 4; // the server sent its close-notify
    static constexpr int kReceiveRenegotiationFailed = 5;
    static constexpr int kReceiveDecryptFailed = 6;

    static constexpr uint32_t kMaxMessage = 16384;
    static constexpr uint32_t kRenegotiateReadTimeoutMs = 10000;

    // |credential| null: every handshake fails with an invalid-handle status.
    explicit CTlsChannel(const CTlsContext* credential = g_SspiProvider.GetCredential());
    ~CTlsChannel() override;

    // Connects to |hostName|:|port| within |connectTimeoutMs| and runs the handshake, each of its reads waiting at
    // most |handshakeTimeoutMs|. On failure the channel is closed (a handshake failure stores 3101); with the
    // certificate check switched on, a certificate that fails it fails the connect too.
    bool Connect(const std::string& hostName, int port, uint32_t connectTimeoutMs, uint32_t handshakeTimeoutMs);
    const std::string& GetServerName() const { return m_ServerName; }
    // Close-notify when the handshake had completed, then the socket closed. Keeps the last error code and text as
    // they were, so the failure that made the caller close is still there to report.
    bool Close();

    // Sends |length| bytes (at most kMaxMessage) as one record.
    bool EncryptSend(const char* data, size_t length);
    bool EncryptSend(const std::string& data) { return EncryptSend(data.data(), data.size()); }
    // Reads and decrypts until the records received so far are used up, or a result other than kReceiveOk:
    // appends the data to |text| and stores its length in |count|, which is 0 when the records carried none (a
    // key update, a session ticket); a caller that expects more calls again. Each read waits at most |timeoutMs|.
    // A failure leaves the connection open; the caller closes it.
    int ReceiveAndDecrypt(int* count, std::string* text, uint32_t timeoutMs);
    // Sends the close-notify.
    void Shutdown();

    // Checks the server's certificate chain against the credential's trust store for a TLS server, and that it
    // was issued to |serverName| (a host name or an IP address). On failure stores 3124 or, when the chain or
    // name check itself failed, the certificate policy error (kCert*, kTrustFail of foundation/ErrorCodes.h).
    bool VerifyServerCertificate(const std::string& serverName);
    // On: Connect runs VerifyServerCertificate with the host name after the handshake. Off (the default): the
    // caller decides whether to check.
    void SetVerifyServerCertificate(bool on) { m_VerifyOnConnect = on; }

    bool IsHandshakeComplete() const { return m_HandshakeComplete; }
    // The handshake resumed a session of an earlier connection to the same host and port. The credential keeps
    // the latest session each host:port handed out; one whose handshake or certificate check failed is
    // forgotten, so the next connection there makes a full handshake.
    bool SessionReused() const;
    uint32_t MaxMessageSize() const { return m_StreamSizes.maxMessage; }

    static const char* SspiStatusText(uint32_t status);
    // "%s - 0x%08x: %s" with the status text, or "%s - 0x%08x" for a status without one.
    static std::string FormatSspiError(const std::string& prefix, uint32_t status);

    // Diagnostics: protocol, cipher and sizes of the connection; the server's certificate and its issuers.
    std::string DescribeConnection() const;
    std::string DescribeServerCertificate() const;

private:
    bool PerformClientHandshake(uint32_t timeoutMs);
    bool CheckCertificate(const std::string& serverName);
    void ForgetSession();
    uint32_t ClientHandshakeLoop(uint32_t timeoutMs);
    bool ClientHandshakeReNogLoop(int* count, std::string* text);
    // One read from the server within |timeoutMs| into the session; false, with the error text naming |loop|,
    // when the socket fails or the server has gone.
    bool FeedFromServer(char* buffer, uint32_t timeoutMs, const char* loop);
    bool SetContextSizes();
    bool SendPendingOutput();
    void AppendPlain(const std::string& plain, int* count, std::string* text);
    static uint32_t StatusOf(TlsFailureKind kind);

    const CTlsContext* m_Credential;
    std::unique_ptr<CTlsSession> m_Session;
    bool m_HandshakeComplete = false;
    bool m_ContextValid = false;
    bool m_VerifyOnConnect = false;
    CTlsStreamSizes m_StreamSizes;
    std::string m_ServerName;
    std::string m_ResumePeer; // "host:port" of the connection, the key of its sessions in the credential
    // One read of up to kReadBufferSize bytes. Made once a channel and never filled in advance: zeroing it for
    // every connection cost a page fault and a 64 KB memset an exchange, for bytes the socket overwrites.
    char* ReadBuffer();
    std::unique_ptr<char[]> m_ReadBuffer;
};
