#include "platform/Tls.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include "platform/Hex.h"

namespace tls {
void SslCtxFree::operator()(SSL_CTX* p) const {
    SSL_CTX_free(p);
}
void SslFree::operator()(SSL* p) const {
    SSL_free(p);
}
void SslSessionFree::operator()(SSL_SESSION* p) const {
    SSL_SESSION_free(p);
}
void X509Free::operator()(X509* p) const {
    X509_free(p);
}
void EvpPkeyFree::operator()(EVP_PKEY* p) const {
    EVP_PKEY_free(p);
}

std::string TakeErrorReason() {
    const unsigned long first = ERR_get_error();
    ERR_clear_error();
    if (first == 0) {
        return std::string();
    }
    char text[256] = {};
    ERR_error_string_n(first, text, sizeof text);
    const char* reason = ERR_reason_error_string(first);
    return reason != nullptr ? std::string(reason) : std::string(text);
}
} // namespace tls

namespace {
struct X509StoreCtxFree {
    void operator()(X509_STORE_CTX* p) const { X509_STORE_CTX_free(p); }
};

bool IsIpAddress(const std::string& name) {
    unsigned char buffer[16];
    return inet_pton(AF_INET, name.c_str(), buffer) == 1 || inet_pton(AF_INET6, name.c_str(), buffer) == 1;
}

TlsFailureKind ClassifyReason(unsigned long error) {
    if (error == 0) {
        return TlsFailureKind::Internal;
    }
    const int reason = ERR_GET_REASON(error);
    if (ERR_GET_LIB(error) == ERR_LIB_PROV || ERR_GET_LIB(error) == ERR_LIB_EVP) {
        return TlsFailureKind::Decrypt; // a cipher that refused the record (a tag that does not match)
    }
    if (ERR_GET_LIB(error) != ERR_LIB_SSL) {
        return TlsFailureKind::Internal;
    }
    if (reason >= SSL_AD_REASON_OFFSET && reason < SSL_AD_REASON_OFFSET + 256) {
        const int alert = reason - SSL_AD_REASON_OFFSET;
        if (alert == SSL_AD_PROTOCOL_VERSION || alert == SSL_AD_HANDSHAKE_FAILURE ||
            alert == SSL_AD_INSUFFICIENT_SECURITY) {
            return TlsFailureKind::VersionMismatch;
        }
        if (alert == SSL_AD_BAD_RECORD_MAC || alert == SSL_AD_DECRYPT_ERROR) {
            return TlsFailureKind::Decrypt;
        }
        return TlsFailureKind::Protocol;
    }
    switch (reason) {
    case SSL_R_UNSUPPORTED_PROTOCOL:
    case SSL_R_NO_PROTOCOLS_AVAILABLE:
    case SSL_R_WRONG_SSL_VERSION:
    case SSL_R_NO_SHARED_CIPHER:
    case SSL_R_NO_CIPHERS_AVAILABLE:
    case SSL_R_VERSION_TOO_LOW:
    case SSL_R_VERSION_TOO_HIGH:
        return TlsFailureKind::VersionMismatch;
    case SSL_R_DECRYPTION_FAILED_OR_BAD_RECORD_MAC:
    case SSL_R_DECRYPTION_FAILED:
    case SSL_R_BLOCK_CIPHER_PAD_IS_WRONG:
        return TlsFailureKind::Decrypt;
    default:
        return TlsFailureKind::Protocol;
    }
}

std::string HashLabel(const EVP_MD* md) {
    if (md == nullptr) {
        return std::string();
    }
    switch (EVP_MD_get_type(md)) {
    case NID_md5:
        return "MD5";
    case NID_sha1:
        return "SHA-1";
    case NID_sha256:
        return "SHA-256";
    case NID_sha384:
        return "SHA-384";
    case NID_sha512:
        return "SHA-512";
    default: {
        const char* name = OBJ_nid2sn(EVP_MD_get_type(md));
        return name != nullptr ? name : "";
    }
    }
}

std::string CipherLabel(int nid) {
    switch (nid) {
    case NID_aes_128_gcm:
    case NID_aes_128_cbc:
    case NID_aes_128_ccm:
        return "AES-128";
    case NID_aes_192_gcm:
    case NID_aes_192_cbc:
        return "AES-192";
    case NID_aes_256_gcm:
    case NID_aes_256_cbc:
    case NID_aes_256_ccm:
        return "AES-256";
    case NID_des_ede3_cbc:
        return "Triple DES";
    case NID_des_cbc:
        return "DES";
    case NID_rc4:
        return "RC4";
    default: {
        const char* name = OBJ_nid2sn(nid);
        return name != nullptr ? name : "";
    }
    }
}

std::string ProtocolLabel(int version) {
    switch (version) {
    case SSL3_VERSION:
        return "SSL 3.0";
    case TLS1_VERSION:
        return "TLS 1.0";
    case TLS1_1_VERSION:
        return "TLS 1.1";
    case TLS1_2_VERSION:
        return "TLS 1.2";
    case TLS1_3_VERSION:
        return "TLS 1.3";
    default:
        return std::string();
    }
}

std::string Oid(const ASN1_OBJECT* object) {
    char text[128] = {};
    OBJ_obj2txt(text, sizeof text, object, 1);
    return text;
}

std::string NameText(const X509_NAME* name) {
    BIO* bio = BIO_new(BIO_s_mem());
    if (bio == nullptr) {
        return std::string();
    }
    X509_NAME_print_ex(bio, name, 0,
                       (XN_FLAG_SEP_CPLUS_SPC | XN_FLAG_DN_REV | ASN1_STRFLGS_RFC2253) & ~ASN1_STRFLGS_ESC_MSB);
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    std::string text(data != nullptr ? data : "", size > 0 ? static_cast<size_t>(size) : 0);
    BIO_free(bio);
    return text;
}

std::string TimeText(const ASN1_TIME* time) {
    tm parts{};
    if (time == nullptr || ASN1_TIME_to_tm(time, &parts) != 1) {
        return std::string();
    }
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", parts.tm_year + 1900, parts.tm_mon + 1,
                  parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
    return text;
}

std::string Block(const char* label, const unsigned char* data, size_t size) {
    char line[64];
    std::snprintf(line, sizeof line, "%s: (%d bytes)\r\n", label, static_cast<int>(size));
    std::string text = line;
    if (size == 0) {
        return text + "  <empty>\r\n";
    }
    for (size_t i = 0; i < size; ++i) {
        text += (i % 16 == 0) ? "    " : " ";
        AppendHexByte(text, data[i], HexCase::kLower);
        if (i % 16 == 15 || i + 1 == size) {
            text += "\r\n";
        }
    }
    return text;
}

std::string DescribeCertificate(X509* cert) {
    std::string text;
    char line[512];
    text += "  Subject: " + NameText(X509_get_subject_name(cert)) + "\r\n";
    text += "  Issuer: " + NameText(X509_get_issuer_name(cert)) + "\r\n";
    std::snprintf(line, sizeof line, "  Version: %u\r\n", static_cast<unsigned>(X509_get_version(cert) + 1));
    text += line;
    const ASN1_INTEGER* serial = X509_get0_serialNumber(cert);
    text += Block("  Serial Number", ASN1_STRING_get0_data(serial), static_cast<size_t>(ASN1_STRING_length(serial)));
    text += "  Signature Algorithm: " + Oid(X509_get0_tbs_sigalg(cert)->algorithm) + "\r\n";
    text += "  Valid From: " + TimeText(X509_get0_notBefore(cert)) + "\r\n";
    text += "  Valid To:   " + TimeText(X509_get0_notAfter(cert)) + "\r\n";
    X509_PUBKEY* key = X509_get_X509_PUBKEY(cert);
    ASN1_OBJECT* keyAlgorithm = nullptr;
    const unsigned char* keyBytes = nullptr;
    int keyLength = 0;
    if (key != nullptr && X509_PUBKEY_get0_param(&keyAlgorithm, &keyBytes, &keyLength, nullptr, key) == 1) {
        text += "  Public Key Algorithm: " + Oid(keyAlgorithm) + "\r\n";
        text += Block("  Public Key", keyBytes, static_cast<size_t>(keyLength));
    }
    const int extensions = X509_get_ext_count(cert);
    std::snprintf(line, sizeof line, "  Extensions: %d\r\n", extensions);
    text += line;
    for (int i = 0; i < extensions; ++i) {
        X509_EXTENSION* ext = X509_get_ext(cert, i);
        text += "    " + Oid(X509_EXTENSION_get_object(ext)) + " (" +
                (X509_EXTENSION_get_critical(ext) ? "critical" : "not critical") + ")\r\n";
    }
    return text;
}
} // namespace

void CTlsSessionCache::Put(const std::string& peer, SSL_SESSION* session) {
    if (session == nullptr || SSL_SESSION_up_ref(session) != 1) {
        return;
    }
    tls::SslSessionPtr held(session);
    CMutexLock lock(m_Lock);
    m_Sessions[peer].swap(held); // the session held before is freed once the lock is let go
}

tls::SslSessionPtr CTlsSessionCache::Get(const std::string& peer) const {
    CMutexLock lock(m_Lock);
    const auto it = m_Sessions.find(peer);
    if (it == m_Sessions.end() || SSL_SESSION_up_ref(it->second.get()) != 1) {
        return nullptr;
    }
    return tls::SslSessionPtr(it->second.get());
}

void CTlsSessionCache::Forget(const std::string& peer) {
    CMutexLock lock(m_Lock);
    m_Sessions.erase(peer);
}

size_t CTlsSessionCache::Size() const {
    CMutexLock lock(m_Lock);
    return m_Sessions.size();
}

namespace {
// The library hands every session a server gives a client to this: after a TLS 1.2 handshake, and for each
// TLS 1.3 ticket (those arrive after the handshake, with the first records read).
int KeepNewSession(SSL* ssl, SSL_SESSION* session) {
    const auto* context = static_cast<const CTlsContext*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
    const auto* owner = static_cast<const CTlsSession*>(SSL_get_app_data(ssl));
    if (context != nullptr && owner != nullptr && !owner->ResumePeer().empty() && SSL_SESSION_is_resumable(session)) {
        context->Sessions().Put(owner->ResumePeer(), session);
    }
    return 0; // the cache took a reference of its own
}
} // namespace

std::unique_ptr<CTlsContext> CTlsContext::NewClient(bool allowTls13, std::string* error) {
    tls::SslCtxPtr ctx(SSL_CTX_new(TLS_client_method()));
    if (!ctx) {
        *error = tls::TakeErrorReason();
        return nullptr;
    }
    if (SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION) != 1 ||
        SSL_CTX_set_max_proto_version(ctx.get(), allowTls13 ? TLS1_3_VERSION : TLS1_2_VERSION) != 1) {
        *error = tls::TakeErrorReason();
        return nullptr;
    }
    // The certificate is checked after the handshake, by the owner and only when it is asked to.
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_NONE, nullptr);
    if (SSL_CTX_set_default_verify_paths(ctx.get()) != 1) {
        *error = tls::TakeErrorReason();
        return nullptr;
    }
    ERR_clear_error(); // a missing default folder leaves harmless entries behind
    // The sessions are kept by the context's own cache, by peer; the library's store would key them by id.
    SSL_CTX_set_session_cache_mode(ctx.get(), SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(ctx.get(), KeepNewSession);
    auto context = std::make_unique<CTlsContext>(std::move(ctx));
    SSL_CTX_set_app_data(context->Get(), context.get());
    return context;
}

CTlsSession::CTlsSession() = default;
CTlsSession::~CTlsSession() = default;

bool CTlsSession::Start(SSL_CTX* ctx, bool server, const std::string& serverName) {
    m_Ssl.reset();
    m_In = m_Out = nullptr;
    m_HeaderHave = m_BodyLeft = 0;
    m_Failure = TlsFailureKind::None;
    m_Reason.clear();
    if (ctx == nullptr) {
        m_Failure = TlsFailureKind::NoSession;
        return false;
    }
    tls::SslPtr ssl(SSL_new(ctx));
    BIO* in = BIO_new(BIO_s_mem());
    BIO* out = BIO_new(BIO_s_mem());
    if (!ssl || in == nullptr || out == nullptr) {
        BIO_free(in);
        BIO_free(out);
        m_Failure = TlsFailureKind::Internal;
        m_Reason = tls::TakeErrorReason();
        return false;
    }
    // An empty input means "wait for more", not end of stream.
    BIO_set_mem_eof_return(in, -1);
    BIO_set_mem_eof_return(out, -1);
    SSL_set_bio(ssl.get(), in, out);
    if (server) {
        SSL_set_accept_state(ssl.get());
    } else {
        SSL_set_connect_state(ssl.get());
        if (!serverName.empty() && !IsIpAddress(serverName)) {
            SSL_set_tlsext_host_name(ssl.get(), serverName.c_str());
        }
    }
    m_Ssl = std::move(ssl);
    m_In = in;
    m_Out = out;
    m_ResumePeer.clear();
    SSL_set_app_data(m_Ssl.get(), this);
    return true;
}

bool CTlsSession::StartClient(const CTlsContext& context, const std::string& serverName, const std::string& peer) {
    if (!Start(context.Get(), false, serverName)) {
        return false;
    }
    m_ResumePeer = peer;
    if (!peer.empty()) {
        const tls::SslSessionPtr session = context.Sessions().Get(peer);
        // A session the library will not offer (another version, say) only means a full handshake.
        if (session && SSL_set_session(m_Ssl.get(), session.get()) != 1) {
            ERR_clear_error();
        }
    }
    return true;
}

bool CTlsSession::SessionReused() const {
    return m_Ssl && SSL_session_reused(m_Ssl.get()) == 1;
}

void CTlsSession::ScanRecords(const unsigned char* data, size_t size) {
    // Follows the record framing of the incoming stream, so the owner knows whether it ends inside a record.
    size_t i = 0;
    while (i < size) {
        if (m_BodyLeft > 0) {
            const size_t take = std::min(m_BodyLeft, size - i);
            m_BodyLeft -= take;
            i += take;
            continue;
        }
        m_Header[m_HeaderHave++] = data[i++];
        if (m_HeaderHave == sizeof m_Header) {
            m_BodyLeft = (static_cast<size_t>(m_Header[3]) << 8) | m_Header[4];
            m_HeaderHave = 0;
        }
    }
}

void CTlsSession::Feed(const void* data, size_t size) {
    if (m_In == nullptr || size == 0) {
        return;
    }
    const auto* bytes = static_cast<const unsigned char*>(data);
    ScanRecords(bytes, size);
    size_t done = 0;
    while (done < size) {
        const int chunk = static_cast<int>(std::min<size_t>(size - done, 1 << 30));
        const int n = BIO_write(m_In, bytes + done, chunk);
        if (n <= 0) {
            break;
        }
        done += static_cast<size_t>(n);
    }
}

bool CTlsSession::HasOutput() const {
    return m_Out != nullptr && BIO_ctrl_pending(m_Out) > 0;
}

std::string CTlsSession::TakeOutput() {
    std::string bytes;
    if (m_Out == nullptr) {
        return bytes;
    }
    const size_t pending = BIO_ctrl_pending(m_Out);
    if (pending == 0) {
        return bytes;
    }
    bytes.resize(pending);
    const int n = BIO_read(m_Out, bytes.data(), static_cast<int>(pending));
    bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return bytes;
}

TlsStep CTlsSession::Fail(int sslError) {
    const unsigned long first = ERR_peek_error();
    if (sslError == SSL_ERROR_SSL) {
        m_Failure = ClassifyReason(first);
    } else {
        m_Failure = TlsFailureKind::Internal;
    }
    m_Reason = tls::TakeErrorReason();
    if (m_Reason.empty()) {
        m_Reason = "TLS library error " + std::to_string(sslError);
    }
    return TlsStep::Failed;
}

TlsStep CTlsSession::Unfinished(int rc) {
    const int error = SSL_get_error(m_Ssl.get(), rc);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
        return TlsStep::NeedInput;
    }
    if (error == SSL_ERROR_ZERO_RETURN) {
        return TlsStep::Closed;
    }
    return Fail(error);
}

TlsStep CTlsSession::Handshake() {
    if (!m_Ssl) {
        m_Failure = TlsFailureKind::NoSession;
        return TlsStep::Failed;
    }
    ERR_clear_error();
    const int rc = SSL_do_handshake(m_Ssl.get());
    if (rc == 1) {
        return TlsStep::Done;
    }
    return Unfinished(rc);
}

TlsStep CTlsSession::Read(std::string* plain) {
    if (!m_Ssl) {
        m_Failure = TlsFailureKind::NoSession;
        return TlsStep::Failed;
    }
    char buffer[16384];
    for (;;) {
        ERR_clear_error();
        size_t got = 0;
        const int rc = SSL_read_ex(m_Ssl.get(), buffer, sizeof buffer, &got);
        if (rc == 1) {
            plain->append(buffer, got);
            continue;
        }
        return Unfinished(rc);
    }
}

bool CTlsSession::Write(const void* data, size_t size) {
    if (!m_Ssl) {
        m_Failure = TlsFailureKind::NoSession;
        return false;
    }
    if (size == 0) {
        return true;
    }
    ERR_clear_error();
    size_t written = 0;
    const int rc = SSL_write_ex(m_Ssl.get(), data, size, &written);
    if (rc == 1 && written == size) {
        return true;
    }
    Fail(SSL_get_error(m_Ssl.get(), rc));
    return false;
}

bool CTlsSession::CloseNotify() {
    if (!m_Ssl) {
        m_Failure = TlsFailureKind::NoSession;
        return false;
    }
    ERR_clear_error();
    const int rc = SSL_shutdown(m_Ssl.get());
    if (rc >= 0) {
        return true;
    }
    Fail(SSL_get_error(m_Ssl.get(), rc));
    return false;
}

bool CTlsSession::HandshakeDone() const {
    return m_Ssl && SSL_is_init_finished(m_Ssl.get());
}

bool CTlsSession::InHandshake() const {
    // After a fatal error the library reports itself "in init" too; that is no handshake.
    return m_Ssl && m_Failure == TlsFailureKind::None && SSL_in_init(m_Ssl.get());
}

bool CTlsSession::GetStreamSizes(CTlsStreamSizes* sizes) const {
    if (!m_Ssl) {
        return false;
    }
    const SSL_CIPHER* cipher = SSL_get_current_cipher(m_Ssl.get());
    if (cipher == nullptr) {
        return false;
    }
    *sizes = CTlsStreamSizes{};
    sizes->maxMessage = SSL3_RT_MAX_PLAIN_LENGTH;
    const int nid = SSL_CIPHER_get_cipher_nid(cipher);
    const EVP_CIPHER* evpCipher = EVP_get_cipherbynid(nid);
    sizes->blockSize = evpCipher != nullptr ? static_cast<uint32_t>(EVP_CIPHER_get_block_size(evpCipher)) : 1;
    if (SSL_version(m_Ssl.get()) >= TLS1_3_VERSION) {
        sizes->header = SSL3_RT_HEADER_LENGTH;
        sizes->trailer = EVP_GCM_TLS_TAG_LEN + 1; // the tag and the inner content type
    } else if (SSL_CIPHER_is_aead(cipher)) {
        sizes->header = SSL3_RT_HEADER_LENGTH + (nid == NID_chacha20_poly1305 ? 0 : EVP_GCM_TLS_EXPLICIT_IV_LEN);
        sizes->trailer = EVP_GCM_TLS_TAG_LEN;
    } else {
        const EVP_MD* md = EVP_get_digestbynid(SSL_CIPHER_get_digest_nid(cipher));
        const uint32_t mac = md != nullptr ? static_cast<uint32_t>(EVP_MD_get_size(md)) : 0;
        sizes->header = SSL3_RT_HEADER_LENGTH + sizes->blockSize;
        sizes->trailer = mac + sizes->blockSize;
    }
    return true;
}

bool CTlsSession::GetConnectionInfo(CTlsConnectionInfo* info) const {
    if (!m_Ssl) {
        return false;
    }
    const SSL_CIPHER* cipher = SSL_get_current_cipher(m_Ssl.get());
    if (cipher == nullptr) {
        return false;
    }
    *info = CTlsConnectionInfo{};
    info->protocolVersion = SSL_version(m_Ssl.get());
    info->protocol = ProtocolLabel(info->protocolVersion);
    info->cipher = CipherLabel(SSL_CIPHER_get_cipher_nid(cipher));
    info->cipherStrength = SSL_CIPHER_get_bits(cipher, nullptr);
    const EVP_MD* md = EVP_get_digestbynid(SSL_CIPHER_get_digest_nid(cipher));
    if (md == nullptr) {
        md = SSL_CIPHER_get_handshake_digest(cipher); // AEAD suites hash with their handshake digest
    }
    info->hash = HashLabel(md);
    info->hashStrength = md != nullptr ? EVP_MD_get_size(md) * 8 : 0;
    switch (SSL_CIPHER_get_kx_nid(cipher)) {
    case NID_kx_any:
        info->keyExchange = "N/A (TLS 1.3)";
        break;
    case NID_kx_ecdhe:
        info->keyExchange = "ECDH Ephemeral";
        break;
    case NID_kx_dhe:
        info->keyExchange = "DH Ephemeral";
        break;
    case NID_kx_rsa:
        info->keyExchange = "RSA";
        break;
    default:
        info->keyExchange =
            OBJ_nid2sn(SSL_CIPHER_get_kx_nid(cipher)) != nullptr ? OBJ_nid2sn(SSL_CIPHER_get_kx_nid(cipher)) : "";
        break;
    }
    EVP_PKEY* peerKey = nullptr;
    if (SSL_get_peer_tmp_key(m_Ssl.get(), &peerKey) == 1 && peerKey != nullptr) {
        info->keyExchangeStrength = EVP_PKEY_get_bits(peerKey);
        EVP_PKEY_free(peerKey);
    }
    return true;
}

std::string CTlsSession::DescribePeerCertificates() const {
    if (!m_Ssl) {
        return std::string();
    }
    tls::X509Ptr cert(SSL_get1_peer_certificate(m_Ssl.get()));
    if (!cert) {
        return std::string();
    }
    std::string text = "================ Server Certificate ================\r\n" + DescribeCertificate(cert.get());
    STACK_OF(X509)* chain = SSL_get_peer_cert_chain(m_Ssl.get());
    int shown = 0;
    for (int i = 0; chain != nullptr && i < sk_X509_num(chain); ++i) {
        X509* issuer = sk_X509_value(chain, i);
        if (X509_cmp(issuer, cert.get()) == 0) {
            continue; // a client's chain starts with the server's own certificate
        }
        char line[96];
        std::snprintf(line, sizeof line, "\r\n================ CA Certificate [%d] ================\r\n", ++shown);
        text += line + DescribeCertificate(issuer);
    }
    if (shown == 0) {
        text += "\r\n(No issuer certificates found in store)\r\n";
    }
    return text;
}

bool CTlsSession::StartRenegotiation() {
    if (!m_Ssl || SSL_renegotiate(m_Ssl.get()) != 1) {
        return false;
    }
    return Handshake() != TlsStep::Failed;
}

bool CTlsSession::RenegotiationPending() const {
    return m_Ssl && SSL_renegotiate_pending(m_Ssl.get()) == 1;
}

bool CTlsSession::StartKeyUpdate(bool requestPeerUpdate) {
    if (!m_Ssl ||
        SSL_key_update(m_Ssl.get(), requestPeerUpdate ? SSL_KEY_UPDATE_REQUESTED : SSL_KEY_UPDATE_NOT_REQUESTED) != 1) {
        return false;
    }
    return Handshake() != TlsStep::Failed;
}

bool CTrustedCertCache::Holds(const std::string& key, time_t now) const {
    CMutexLock lock(m_Lock);
    const auto it = m_Trusted.find(key);
    return it != m_Trusted.end() && it->second.notBefore < now && now < it->second.notAfter;
}

void CTrustedCertCache::Put(const std::string& key, time_t notBefore, time_t notAfter) {
    CMutexLock lock(m_Lock);
    if (m_Trusted.size() >= kMaxEntries && m_Trusted.find(key) == m_Trusted.end()) {
        m_Trusted.clear();
    }
    m_Trusted[key] = SSpan{notBefore, notAfter};
}

size_t CTrustedCertCache::Size() const {
    CMutexLock lock(m_Lock);
    return m_Trusted.size();
}

namespace {
// The key of a check in the trusted cache: the name, then the SHA-256 of the server's certificate and of each one
// it sent with it. Empty when a digest cannot be made (the check is then made in full and not kept).
std::string TrustedCertKey(const std::string& name, X509* cert, STACK_OF(X509) * sent) {
    std::string key = name;
    key += '\0';
    auto add = [&key](X509* c) {
        unsigned char md[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        if (X509_digest(c, EVP_sha256(), md, &length) != 1) {
            return false;
        }
        key.append(reinterpret_cast<const char*>(md), length);
        return true;
    };
    if (!add(cert)) {
        return std::string();
    }
    for (int i = 0; sent != nullptr && i < sk_X509_num(sent); ++i) {
        if (!add(sk_X509_value(sent, i))) {
            return std::string();
        }
    }
    return key;
}

bool AsTime(const ASN1_TIME* time, time_t* out) {
    tm parts{};
    if (time == nullptr || ASN1_TIME_to_tm(time, &parts) != 1) {
        return false;
    }
    *out = timegm(&parts);
    return true;
}

// Keeps a trusted outcome with the span in which every certificate of the verified chain is valid.
void KeepTrusted(const CTlsContext& trust, const std::string& key, X509_STORE_CTX* verified) {
    STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(verified);
    if (key.empty() || chain == nullptr || sk_X509_num(chain) == 0) {
        return;
    }
    time_t notBefore = std::numeric_limits<time_t>::min();
    time_t notAfter = std::numeric_limits<time_t>::max();
    for (int i = 0; i < sk_X509_num(chain); ++i) {
        X509* c = sk_X509_value(chain, i);
        time_t from = 0;
        time_t until = 0;
        if (!AsTime(X509_get0_notBefore(c), &from) || !AsTime(X509_get0_notAfter(c), &until)) {
            return;
        }
        notBefore = std::max(notBefore, from);
        notAfter = std::min(notAfter, until);
    }
    trust.TrustedCerts().Put(key, notBefore, notAfter);
}
} // namespace

CCertCheckResult CheckServerCertificate(const CTlsSession& session, const CTlsContext& trust, const std::string& name,
                                        time_t now) {
    CCertCheckResult result;
    if (!session.Started()) {
        result.outcome = CertCheckOutcome::NoPeerCertificate;
        return result;
    }
    tls::X509Ptr cert(SSL_get1_peer_certificate(session.Native()));
    if (!cert) {
        result.outcome = CertCheckOutcome::NoPeerCertificate;
        return result;
    }
    // A resumed session carries the certificates checked when it was made: the same chain, the same answer.
    const std::string key = TrustedCertKey(name, cert.get(), SSL_get_peer_cert_chain(session.Native()));
    if (!key.empty() && trust.TrustedCerts().Holds(key, now)) {
        result.outcome = CertCheckOutcome::Trusted;
        return result;
    }
    std::unique_ptr<X509_STORE_CTX, X509StoreCtxFree> ctx(X509_STORE_CTX_new());
    if (!ctx || X509_STORE_CTX_init(ctx.get(), SSL_CTX_get_cert_store(trust.Get()), cert.get(),
                                    SSL_get_peer_cert_chain(session.Native())) != 1) {
        result.outcome = CertCheckOutcome::SetupFailed;
        result.setupError = COsError::FromNumber(ENOMEM);
        result.reason = tls::TakeErrorReason();
        return result;
    }
    X509_STORE_CTX_set_purpose(ctx.get(), X509_PURPOSE_SSL_SERVER);
    X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(ctx.get());
    X509_VERIFY_PARAM_set_time(param, now);
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    const bool named = IsIpAddress(name) ? X509_VERIFY_PARAM_set1_ip_asc(param, name.c_str()) == 1
                                         : X509_VERIFY_PARAM_set1_host(param, name.c_str(), name.size()) == 1;
    if (!named) {
        result.outcome = CertCheckOutcome::BadName;
        result.reason = tls::TakeErrorReason();
        return result;
    }
    ERR_clear_error();
    const int rc = X509_verify_cert(ctx.get());
    if (rc == 1) {
        KeepTrusted(trust, key, ctx.get());
        result.outcome = CertCheckOutcome::Trusted;
        return result;
    }
    if (rc < 0) {
        result.outcome = CertCheckOutcome::CallFailed;
        result.reason = tls::TakeErrorReason();
        return result;
    }
    result.verifyError = X509_STORE_CTX_get_error(ctx.get());
    result.reason = X509_verify_cert_error_string(result.verifyError);
    switch (result.verifyError) {
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        result.outcome = CertCheckOutcome::NameMismatch;
        break;
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
        result.outcome = CertCheckOutcome::Expired;
        break;
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        result.outcome = CertCheckOutcome::UntrustedRoot;
        break;
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        result.outcome = CertCheckOutcome::Chaining;
        break;
    case X509_V_ERR_INVALID_PURPOSE:
        result.outcome = CertCheckOutcome::WrongUsage;
        break;
    default:
        result.outcome = CertCheckOutcome::OtherFailure;
        break;
    }
    ERR_clear_error();
    return result;
}
