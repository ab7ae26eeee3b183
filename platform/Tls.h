#pragma once
// TLS over OpenSSL 3 for the host transport and its test peers: owners for the library's handles, the client
// context of the process, a session over memory BIOs that never touches a socket (its owner carries every byte,
// so reads and writes keep the owner's time-outs and shutdown watch), and the check of a server's certificate.

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <map>
#include <memory>
#include <string>

#include <openssl/types.h>

#include "platform/Mutex.h"
#include "platform/OsError.h"

// Declared by <openssl/ssl.h>, which this header keeps out of its includers.
typedef struct ssl_session_st SSL_SESSION;

namespace tls {
struct SslCtxFree {
    void operator()(SSL_CTX* p) const;
};
struct SslFree {
    void operator()(SSL* p) const;
};
struct X509Free {
    void operator()(X509* p) const;
};
struct EvpPkeyFree {
    void operator()(EVP_PKEY* p) const;
};
struct SslSessionFree {
    void operator()(SSL_SESSION* p) const;
};
using SslCtxPtr = std::unique_ptr<SSL_CTX, SslCtxFree>;
using SslPtr = std::unique_ptr<SSL, SslFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, EvpPkeyFree>;
using SslSessionPtr = std::unique_ptr<SSL_SESSION, SslSessionFree>;

// The reason of the oldest error in this thread's OpenSSL error queue (empty when there is none); empties the queue.
std::string TakeErrorReason();
} // namespace tls

// The client sessions that new connections may resume, one per peer ("host:port"): the latest one each server
// handed out. Thread-safe: every member takes m_Lock.
class CTlsSessionCache {
public:
    CTlsSessionCache() = default;
    CTlsSessionCache(const CTlsSessionCache&) = delete;
    CTlsSessionCache& operator=(const CTlsSessionCache&) = delete;

    // Holds |session| (with a reference of its own) for |peer|, in place of one held before.
    void Put(const std::string& peer, SSL_SESSION* session);
    // A reference to the session held for |peer|, null when there is none.
    tls::SslSessionPtr Get(const std::string& peer) const;
    void Forget(const std::string& peer);
    size_t Size() const;

private:
    mutable CMutex m_Lock;
    std::map<std::string, tls::SslSessionPtr> m_Sessions GUARDED_BY(m_Lock);
};

// The server certificates found trusted, so that a connection resuming a session (whose certificate is the one
// checked before) does not build and verify the same chain again: each entry is the name checked and the
// certificates the server sent, with the time span in which every certificate of the verified chain is valid.
// Only trusted outcomes are kept; outside the span, or for another name or other certificates, the check is made
// in full again. Thread-safe: every member takes m_Lock.
class CTrustedCertCache {
public:
    CTrustedCertCache() = default;
    CTrustedCertCache(const CTrustedCertCache&) = delete;
    CTrustedCertCache& operator=(const CTrustedCertCache&) = delete;

    // Whether |key| was found trusted for a span that holds |now| (its ends excluded).
    bool Holds(const std::string& key, time_t now) const;
    // Keeps |key| as trusted from |notBefore| to |notAfter|.
    void Put(const std::string& key, time_t notBefore, time_t notAfter);
    size_t Size() const;

private:
    struct SSpan {
        time_t notBefore = 0;
        time_t notAfter = 0;
    };
    static constexpr size_t kMaxEntries = 64; // a few providers; beyond this it starts afresh
    mutable CMutex m_Lock;
    std::map<std::string, SSpan> m_Trusted GUARDED_BY(m_Lock);
};

// Owns one SSL_CTX. Set up on one thread; afterwards shared read-only by every session and certificate check of
// the process (OpenSSL locks what it changes inside); the session cache locks itself.
class CTlsContext {
public:
    explicit CTlsContext(tls::SslCtxPtr ctx) : m_Ctx(std::move(ctx)) {}
    CTlsContext(const CTlsContext&) = delete;
    CTlsContext& operator=(const CTlsContext&) = delete;

    // A client context for TLS 1.2, and TLS 1.3 too when |allowTls13|: no client certificate, no check of the
    // server's certificate inside the handshake (the owner checks it afterwards, when it is asked to), trust from
    // the system's store, which honours the SSL_CERT_FILE and SSL_CERT_DIR variables. The sessions its servers
    // hand out are kept in Sessions() under the peer a client session was started for, so that the next
    // connection to that peer resumes one. Null with a reason on failure.
    static std::unique_ptr<CTlsContext> NewClient(bool allowTls13, std::string* error);

    SSL_CTX* Get() const { return m_Ctx.get(); }
    CTlsSessionCache& Sessions() const { return m_Sessions; }
    CTrustedCertCache& TrustedCerts() const { return m_TrustedCerts; }

private:
    tls::SslCtxPtr m_Ctx;
    mutable CTlsSessionCache m_Sessions;
    mutable CTrustedCertCache m_TrustedCerts;
};

// Outcome of one step of a session.
enum class TlsStep {
    Done,      // the handshake is complete / everything fed was taken
    NeedInput, // more bytes from the peer are needed
    Closed,    // the peer sent its close-notify
    Failed     // a fatal error: LastFailure and LastReason tell which
};

enum class TlsFailureKind {
    None,
    NoSession,       // Start was not called or failed
    Protocol,        // an illegal or unexpected message, a garbled record, a fatal alert
    VersionMismatch, // no protocol version or cipher in common
    Decrypt,         // a record that does not decrypt or authenticate
    Internal         // anything else (memory, library)
};

// Record sizes of the negotiated cipher, as a sender lays out one record.
struct CTlsStreamSizes {
    uint32_t header = 0;
    uint32_t trailer = 0;
    uint32_t maxMessage = 0;
    uint32_t buffers = 4;
    uint32_t blockSize = 0;
};

// What the connection runs on, in the words of the diagnostics.
struct CTlsConnectionInfo {
    int protocolVersion = 0; // 0x0303 TLS 1.2, 0x0304 TLS 1.3
    std::string protocol;    // "TLS 1.2", "TLS 1.3", ...
    std::string cipher;      // "AES-128", "AES-256", ... or the library's name
    int cipherStrength = 0;  // bits
    std::string hash;        // "SHA-256", "SHA-384", ... or the library's name
    int hashStrength = 0;    // bits
    std::string keyExchange; // "N/A (TLS 1.3)", "ECDH Ephemeral", "RSA", ...
    int keyExchangeStrength = 0;
};

// One TLS connection whose bytes travel through its owner: Feed what arrived from the peer, send what
// TakeOutput returns. Works for either side (the test peers run the server side). Not thread-safe: one thread
// owns a session.
class CTlsSession {
public:
    CTlsSession();
    ~CTlsSession();
    CTlsSession(const CTlsSession&) = delete;
    CTlsSession& operator=(const CTlsSession&) = delete;

    // Makes the connection from |ctx|. A client sends |serverName| as the server name indication when it is a
    // host name (not for an IP address). False when the library cannot make it.
    bool Start(SSL_CTX* ctx, bool server, const std::string& serverName = std::string());
    // A client session from |context| that offers the session held for |peer| (a full handshake follows when
    // the server does not take it up), and hands the sessions the server gives out to the context's cache under
    // |peer|. An empty |peer| resumes nothing and keeps nothing.
    bool StartClient(const CTlsContext& context, const std::string& serverName, const std::string& peer);
    bool Started() const { return m_Ssl != nullptr; }
    // The handshake resumed an earlier session.
    bool SessionReused() const;
    // The peer this client session keeps its sessions under ("" when none).
    const std::string& ResumePeer() const { return m_ResumePeer; }

    // Hands bytes received from the peer to the session.
    void Feed(const void* data, size_t size);
    bool HasOutput() const;
    // Bytes the session wants sent to the peer, in order; empties its output.
    std::string TakeOutput();

    // Drives the handshake as far as the bytes fed allow.
    TlsStep Handshake();
    // Appends every byte of application data that the records fed so far carry. Handshake messages that arrive
    // after the handshake (a renegotiation, session tickets, a key update) are dealt with on the way, and their
    // answers queued as output. NeedInput once everything fed is used up.
    TlsStep Read(std::string* plain);
    // Encrypts |size| bytes as records (one record for up to 16384 bytes) into the output.
    bool Write(const void* data, size_t size);
    // Queues the close-notify alert.
    bool CloseNotify();

    bool HandshakeDone() const;
    // A handshake is running: before the first one completes, or a renegotiation afterwards.
    bool InHandshake() const;
    // The bytes fed end inside a record (the rest of it has not arrived yet).
    bool HoldsPartialRecord() const { return m_HeaderHave > 0 || m_BodyLeft > 0; }

    TlsFailureKind LastFailure() const { return m_Failure; }
    const std::string& LastReason() const { return m_Reason; }

    bool GetStreamSizes(CTlsStreamSizes* sizes) const;
    bool GetConnectionInfo(CTlsConnectionInfo* info) const;
    // The peer's certificate and the chain it sent, as text (empty without a certificate).
    std::string DescribePeerCertificates() const;

    // Server side, for the test peers: asks the client for a new handshake (TLS 1.2 HelloRequest), or sends a TLS
    // 1.3 key update (|requestPeerUpdate|: the peer must update its keys too). The messages are queued as output.
    bool StartRenegotiation();
    bool RenegotiationPending() const;
    bool StartKeyUpdate(bool requestPeerUpdate);

    SSL* Native() const { return m_Ssl.get(); }

private:
    TlsStep Fail(int sslError);
    // The step that a handshake or read call which returned |rc| (not success) ends in.
    TlsStep Unfinished(int rc);
    void ScanRecords(const unsigned char* data, size_t size);

    tls::SslPtr m_Ssl;
    BIO* m_In = nullptr;  // owned by m_Ssl
    BIO* m_Out = nullptr; // owned by m_Ssl
    unsigned char m_Header[5] = {};
    size_t m_HeaderHave = 0;
    size_t m_BodyLeft = 0;
    TlsFailureKind m_Failure = TlsFailureKind::None;
    std::string m_Reason;
    std::string m_ResumePeer;
};

// Result of checking the server's certificate chain.
enum class CertCheckOutcome {
    Trusted,
    NoPeerCertificate, // no session, or the server sent none
    BadName,           // the expected name cannot be used for a check
    SetupFailed,       // the chain could not be set up (memory)
    CallFailed,        // the verification itself could not run
    NameMismatch,
    Expired,       // outside its validity period (expired or not yet valid)
    UntrustedRoot, // the chain ends in a self-signed certificate that is not trusted
    Chaining,      // no issuer could be found for a certificate of the chain
    WrongUsage,    // not meant for a TLS server
    OtherFailure
};

struct CCertCheckResult {
    CertCheckOutcome outcome = CertCheckOutcome::OtherFailure;
    int verifyError = 0; // the library's verification error, 0 when none
    COsError setupError; // SetupFailed: the system's cause (no memory)
    std::string reason;  // the library's words for it
};

// Builds the chain of the server's certificate against the trust store of |trust| (the intermediates the server
// sent may help), for the purpose of a TLS server (extended key usage serverAuth or one of the two server-gated
// crypto usages, or none at all), at the time |now|, and checks that it was issued to |name|, a host name or an
// IP address. A trusted outcome is kept in |trust|'s TrustedCerts() and given again, without building the chain,
// for the same name and certificates while |now| is inside the validity of every certificate of that chain.
// Safe from any thread for different sessions.
CCertCheckResult CheckServerCertificate(const CTlsSession& session, const CTlsContext& trust, const std::string& name,
                                        time_t now);
