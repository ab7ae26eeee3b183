#include "host/TlsChannel.h"

#include <chrono>

#include "platform/Clock.h"
#include "platform/TextFormat.h"

namespace {
constexpr size_t kReadBufferSize = 0x10000;

struct StatusText {
    uint32_t status;
    const char* text;
};

constexpr StatusText kStatusTexts[] = {
    {0x00000000, "Success"},
    {0x00090312, "Continue needed"},
    {0x00090317, "Context expired"},
    {0x00090320, "Incomplete credentials"},
    {0x00090321, "Renegotiate"},
    {0x80090300, "Insufficient memory"},
    {0x80090301, "Invalid handle"},
    {0x80090302, "Unsupported function - server may require a TLS version this OS does not support (e.g. TLS 1.3)"},
    {0x80090303, "Target unknown"},
    {0x80090304, "Internal error"},
    {0x80090308, "Invalid token from server"},
    {0x8009030C, "Logon denied"},
    {0x8009030E, "No credentials - server may require a TLS version this OS does not support"},
    {0x80090311, "No authenticating authority"},
    {0x80090318, "Incomplete message"},
    {0x80090322, "Wrong principal / server name mismatch"},
    {0x80090326, "Illegal message received from server"},
    {0x80090327, "Certificate unknown"},
    {0x80090328, "Certificate expired"},
    {0x80090331, "Algorithm/protocol mismatch - no common TLS version between client and server"},
};

// Saves the last error code and text of a socket and puts them back when it goes out of scope.
class CKeepLastError {
public:
    CKeepLastError(int& code, std::string& text) : m_Code(code), m_Text(text), m_SavedCode(code), m_SavedText(text) {}
    ~CKeepLastError() {
        m_Code = m_SavedCode;
        m_Text = std::move(m_SavedText);
    }
    CKeepLastError(const CKeepLastError&) = delete;
    CKeepLastError& operator=(const CKeepLastError&) = delete;

private:
    int& m_Code;
    std::string& m_Text;
    int m_SavedCode;
    std::string m_SavedText;
};
} // namespace

CTlsChannel::CTlsChannel(const CTlsContext* credential) : m_Credential(credential) {
    m_StreamSizes.maxMessage = kMaxMessage;
}

CTlsChannel::~CTlsChannel() {
    Close();
}

const char* CTlsChannel::SspiStatusText(uint32_t status) {
    for (const StatusText& entry : kStatusTexts) {
        if (entry.status == status) {
            return entry.text;
        }
    }
    return nullptr;
}

std::string CTlsChannel::FormatSspiError(const std::string& prefix, uint32_t status) {
    const char* text = SspiStatusText(status);
    if (text == nullptr) {
        return FormatText("%s - 0x%08x", prefix.c_str(), status);
    }
    return FormatText("%s - 0x%08x: %s", prefix.c_str(), status, text);
}

uint32_t CTlsChannel::StatusOf(TlsFailureKind kind) {
    switch (kind) {
    case TlsFailureKind::NoSession:
        return kSecInvalidHandle;
    case TlsFailureKind::Protocol:
        return kSecIllegalMessage;
    case TlsFailureKind::VersionMismatch:
        return kSecAlgorithmMismatch;
    case TlsFailureKind::Decrypt:
        return kSecDecryptFailure;
    case TlsFailureKind::None:
    case TlsFailureKind::Internal:
        break;
    }
    return kSecInternalError;
}

bool CTlsChannel::Connect(const std::string& hostName, int port, uint32_t connectTimeoutMs,
                          uint32_t handshakeTimeoutMs) {
    Close();
    if (!Resolve(hostName, port, connectTimeoutMs)) {
        return false;
    }
    m_ServerName = hostName;
    m_ResumePeer = hostName + ":" + std::to_string(port);
    if (!PerformClientHandshake(handshakeTimeoutMs)) {
        // The texts above say what failed; the code says that it was the handshake.
        m_LastErrorCode = kHandshakeFailed;
        ForgetSession();
        Close();
        return false;
    }
    if (!SetContextSizes()) {
        Shutdown();
        Close();
        return false;
    }
    m_HandshakeComplete = true;
    if (m_VerifyOnConnect && !VerifyServerCertificate(m_ServerName)) {
        Close();
        return false;
    }
    return true;
}

bool CTlsChannel::Close() {
    CKeepLastError keep(m_LastErrorCode, m_LastErrorText);
    if (m_HandshakeComplete) {
        Shutdown();
        m_HandshakeComplete = false;
    }
    m_ContextValid = false;
    m_Session.reset();
    CClientSocket::Close();
    return true;
}

bool CTlsChannel::SendPendingOutput() {
    if (!m_Session || !m_Session->HasOutput()) {
        return true;
    }
    const std::string bytes = m_Session->TakeOutput();
    return Send(bytes) > 0;
}

bool CTlsChannel::PerformClientHandshake(uint32_t timeoutMs) {
    m_Session = std::make_unique<CTlsSession>();
    TlsStep step = TlsStep::Failed;
    if (m_Credential != nullptr && m_Session->StartClient(*m_Credential, m_ServerName, m_ResumePeer)) {
        step = m_Session->Handshake();
    }
    if (step == TlsStep::Failed || step == TlsStep::Closed) {
        const uint32_t status = m_Credential == nullptr ? kSecInvalidHandle : StatusOf(m_Session->LastFailure());
        m_LastErrorText = FormatSspiError("InitializeSecurityContext failed (ClientHello)", status);
        // No credential, or a session the library could not make (memory): nothing went to the server yet.
        SetLocalFailure(m_Credential == nullptr || !m_Session->Started());
        return false;
    }
    if (!SendPendingOutput()) {
        m_LastErrorText =
            FormatText("Socket Error %d sending to server PerformClientHandshake()", GetLastSocketError());
        return false;
    }
    m_ContextValid = true;
    // Bytes that arrive behind the server's last handshake message stay inside the session; the first
    // ReceiveAndDecrypt decrypts them before it reads the socket.
    return ClientHandshakeLoop(timeoutMs) == kSecOk;
}

uint32_t CTlsChannel::ClientHandshakeLoop(uint32_t timeoutMs) {
    char* const buffer = ReadBuffer();
    for (;;) {
        if (!FeedFromServer(buffer, timeoutMs, "ClientHandshakeLoop")) {
            return kSecInternalError;
        }
        const TlsStep step = m_Session->Handshake();
        // Our next flight, or the alert that tells the server why we give up.
        if (!SendPendingOutput()) {
            m_LastErrorText =
                FormatText("Socket Error %d sending to server(2) ClientHandshakeLoop()", GetLastSocketError());
            return kSecInternalError;
        }
        switch (step) {
        case TlsStep::Done:
            return kSecOk;
        case TlsStep::NeedInput:
            continue;
        case TlsStep::Closed:
            m_LastErrorText = FormatSspiError("TLS handshake failed", kSecContextExpired);
            return kSecContextExpired;
        case TlsStep::Failed: {
            const uint32_t status = StatusOf(m_Session->LastFailure());
            m_LastErrorText = FormatSspiError("TLS handshake failed", status);
            return status;
        }
        }
    }
}

bool CTlsChannel::ClientHandshakeReNogLoop(int* count, std::string* text) {
    char* const buffer = ReadBuffer();
    while (m_Session->InHandshake()) {
        if (!FeedFromServer(buffer, kRenegotiateReadTimeoutMs, "ClientHandshakeReNogLoop")) {
            return false;
        }
        std::string plain;
        const TlsStep step = m_Session->Read(&plain);
        AppendPlain(plain, count, text);
        if (!SendPendingOutput()) {
            m_LastErrorText =
                FormatText("Socket Error %d sending to server ClientHandshakeReNogLoop()", GetLastSocketError());
            return false;
        }
        if (step == TlsStep::Failed || step == TlsStep::Closed) {
            const uint32_t status = step == TlsStep::Closed ? kSecContextExpired : StatusOf(m_Session->LastFailure());
            m_LastErrorText = FormatSspiError("TLS post-handshake (renegotiate) failed", status);
            return false;
        }
    }
    return true;
}

bool CTlsChannel::FeedFromServer(char* buffer, uint32_t timeoutMs, const char* loop) {
    const int n = Receive(buffer, kReadBufferSize, timeoutMs);
    if (n < 0) {
        m_LastErrorText = FormatText("Socket Error %d receiving from server %s()", GetLastSocketError(), loop);
        return false;
    }
    if (n == 0) {
        m_LastErrorText = FormatText("Server disconnected unexpectedly.%s()", loop);
        return false;
    }
    m_Session->Feed(buffer, static_cast<size_t>(n));
    return true;
}

char* CTlsChannel::ReadBuffer() {
    if (m_ReadBuffer == nullptr) {
        m_ReadBuffer = std::make_unique_for_overwrite<char[]>(kReadBufferSize);
    }
    return m_ReadBuffer.get();
}

bool CTlsChannel::SetContextSizes() {
    if (!m_Session || !m_Session->GetStreamSizes(&m_StreamSizes)) {
        m_LastErrorText = FormatText("QueryContextAttributes return Error - %d(SetContextSizes)",
                                     static_cast<int>(kSecInvalidHandle));
        m_StreamSizes = CTlsStreamSizes{};
        m_StreamSizes.maxMessage = kMaxMessage;
        return false;
    }
    if (m_StreamSizes.maxMessage > kMaxMessage) {
        m_StreamSizes.maxMessage = kMaxMessage;
    }
    return true;
}

bool CTlsChannel::EncryptSend(const char* data, size_t length) {
    if (length > m_StreamSizes.maxMessage) {
        SetLastError(kMessageTooLarge, "Message too large to Send!.");
        return false;
    }
    if (!m_Session || !m_HandshakeComplete) {
        SetLastError(kEncryptFailed, FormatText("Error 0x%x Encrypting Message.", kSecInvalidHandle));
        return false;
    }
    if (length == 0) {
        return true; // nothing to carry
    }
    if (!m_Session->Write(data, length)) {
        SetLastError(kEncryptFailed, FormatText("Error 0x%x Encrypting Message.", StatusOf(m_Session->LastFailure())));
        return false;
    }
    const std::string record = m_Session->TakeOutput();
    if (Send(record) <= 0) {
        SetLastError(kSendFailed, FormatText("Socket Error %d sending to Host", GetLastSocketError()));
        return false;
    }
    return true;
}

void CTlsChannel::AppendPlain(const std::string& plain, int* count, std::string* text) {
    if (plain.empty()) {
        return;
    }
    text->append(plain);
    *count += static_cast<int>(plain.size());
}

int CTlsChannel::ReceiveAndDecrypt(int* count, std::string* text, uint32_t timeoutMs) {
    *count = 0;
    if (!m_Session) {
        m_LastErrorText = FormatText("Error 0x%x returned by DecryptMessage.", kSecInvalidHandle);
        return kReceiveDecryptFailed;
    }
    char* const buffer = ReadBuffer();
    // Whether this call has read records of its own since the last handshake: once they are used up, the call is
    // over even when they carried no data (a key update, a session ticket), so a caller's budget still holds
    // against a server that sends nothing else.
    bool readRecords = false;
    for (;;) {
        // Records already held (also those that came with the end of the handshake) are decrypted first.
        std::string plain;
        const TlsStep step = m_Session->Read(&plain);
        AppendPlain(plain, count, text);
        // Answers to the server's post-handshake messages (a key update it asked us to make, a renegotiation).
        if (!SendPendingOutput()) {
            m_LastErrorText = "Error occured during Renegotiate attempt requested by server.";
            return kReceiveRenegotiationFailed;
        }
        if (step == TlsStep::Closed) {
            m_LastErrorText = "Server Signaled End of Session. (ReceiveAndDecrypt)";
            return kReceiveEndOfSession;
        }
        if (step == TlsStep::Failed) {
            if (m_Session->InHandshake()) {
                m_LastErrorText = "Error occured during Renegotiate attempt requested by server.";
                return kReceiveRenegotiationFailed;
            }
            m_LastErrorText = FormatText("Error 0x%x returned by DecryptMessage.", StatusOf(m_Session->LastFailure()));
            return kReceiveDecryptFailed;
        }
        if (m_Session->InHandshake()) {
            // The server asked for a new handshake: finish it, then go on with the data behind it.
            if (!ClientHandshakeReNogLoop(count, text)) {
                m_LastErrorText = "Error occured during Renegotiate attempt requested by server.";
                return kReceiveRenegotiationFailed;
            }
            readRecords = false;
            continue;
        }
        if ((*count > 0 || readRecords) && !m_Session->HoldsPartialRecord()) {
            return kReceiveOk;
        }
        const int n = Receive(buffer, kReadBufferSize, timeoutMs);
        if (n < 0) {
            m_LastErrorText = FormatText("Socket Error %d reading data from server", GetLastSocketError());
            return kReceiveFailed;
        }
        if (n == 0) {
            if (m_Session->HoldsPartialRecord()) {
                m_LastErrorText = "Server unexpectedly disconnected.(ReceiveAndDecrypt)";
                return kReceiveFailed;
            }
            m_LastErrorText = "Timeout Waiting for Verifiable Packet from server  (ReceiveAndDecrypt)";
            return kReceiveTimeout;
        }
        m_Session->Feed(buffer, static_cast<size_t>(n));
        readRecords = true;
    }
}

void CTlsChannel::Shutdown() {
    if (!m_Session || !m_Session->Started()) {
        m_LastErrorCode = kControlTokenFailed;
        return;
    }
    if (!m_Session->CloseNotify()) {
        m_LastErrorCode = kCloseNotifyFailed;
        return;
    }
    CKeepLastError keep(m_LastErrorCode, m_LastErrorText); // a failed send of the alert is of no consequence
    SendPendingOutput();
}

bool CTlsChannel::VerifyServerCertificate(const std::string& serverName) {
    if (CheckCertificate(serverName)) {
        return true;
    }
    // A resumed session would carry the refused certificate along: the next connection starts afresh.
    ForgetSession();
    return false;
}

void CTlsChannel::ForgetSession() {
    if (m_Credential != nullptr && !m_ResumePeer.empty()) {
        m_Credential->Sessions().Forget(m_ResumePeer);
    }
}

bool CTlsChannel::SessionReused() const {
    return m_Session && m_Session->SessionReused();
}

bool CTlsChannel::CheckCertificate(const std::string& serverName) {
    if (serverName.empty()) {
        SetLastError(kCertificateCheckFailed,
                     "VerifyServerCertificate Failed (A) - The target principal name is incorrect.");
        return false;
    }
    if (!m_Session || !m_Session->HandshakeDone() || m_Credential == nullptr) {
        SetLastError(kCertificateCheckFailed, FormatText("VerifyServerCertificate Failed (D) - Error 0x%x reading "
                                                         "SECPKG_ATTR_REMOTE_CERT_CONTEXT.",
                                                         kSecInvalidHandle));
        return false;
    }
    const time_t now = std::chrono::system_clock::to_time_t(GetClock().WallNow());
    const CCertCheckResult result = CheckServerCertificate(*m_Session, *m_Credential, serverName, now);
    uint32_t policyError = kTrustFail;
    switch (result.outcome) {
    case CertCheckOutcome::Trusted:
        return true;
    case CertCheckOutcome::NoPeerCertificate:
        SetLastError(kCertificateCheckFailed, FormatText("VerifyServerCertificate Failed (D) - Error 0x%x reading "
                                                         "SECPKG_ATTR_REMOTE_CERT_CONTEXT.",
                                                         kSecCertUnknown));
        return false;
    case CertCheckOutcome::BadName:
        SetLastError(kCertificateCheckFailed,
                     "VerifyServerCertificate Failed (C) - The target principal name is incorrect.");
        return false;
    case CertCheckOutcome::SetupFailed:
        SetLocalFailure(true); // no memory for the chain: the server's certificate is not at fault
        SetLastError(kCertificateCheckFailed,
                     FormatText("VerifyServerCertificate Failed (E) - CertGetCertificateChain error %d.",
                                result.setupError.Number()));
        return false;
    case CertCheckOutcome::CallFailed:
        SetLastError(kCertificateCheckFailed,
                     FormatText("VerifyServerCertificate Failed (F) - CertVerifyCertificateChainPolicy error %d.",
                                result.verifyError));
        return false;
    case CertCheckOutcome::NameMismatch:
        policyError = kCertCnNoMatch;
        break;
    case CertCheckOutcome::Expired:
        policyError = kCertExpired;
        break;
    case CertCheckOutcome::UntrustedRoot:
        policyError = kCertUntrustedRoot;
        break;
    case CertCheckOutcome::Chaining:
        policyError = kCertChaining;
        break;
    case CertCheckOutcome::WrongUsage:
        policyError = kCertWrongUsage;
        break;
    case CertCheckOutcome::OtherFailure:
        policyError = kTrustFail;
        break;
    }
    std::string text = FormatSspiError("VerifyServerCertificate Failed (G) - certificate policy check", policyError);
    if (!result.reason.empty()) {
        text += " (" + result.reason + ")";
    }
    SetLastError(static_cast<int>(policyError), std::move(text));
    return false;
}

std::string CTlsChannel::DescribeConnection() const {
    CTlsConnectionInfo info;
    if (!m_Session || !m_Session->GetConnectionInfo(&info)) {
        return FormatText("Error 0x%x querying connection info\r\n", kSecInvalidHandle);
    }
    CTlsStreamSizes sizes;
    if (!m_Session->GetStreamSizes(&sizes)) {
        return FormatText("Error 0x%x reading SECPKG_ATTR_STREAM_SIZES\r\n", kSecInvalidHandle);
    }
    std::string text = FormatText("Header: %d, Trailer: %d, MaxMessage: %d\r\n", static_cast<int>(sizes.header),
                                  static_cast<int>(sizes.trailer), static_cast<int>(sizes.maxMessage));
    text += info.protocol.empty() ? FormatText("Protocol: 0x%x\r\n", static_cast<unsigned>(info.protocolVersion))
                                  : FormatText("Protocol: %s\r\n", info.protocol.c_str());
    text += FormatText("Cipher: %s\r\n", info.cipher.c_str());
    text += FormatText("Cipher strength: %d\r\n", info.cipherStrength);
    text += FormatText("Hash: %s\r\n", info.hash.c_str());
    text += FormatText("Hash strength: %d\r\n", info.hashStrength);
    text += FormatText("Key exchange: %s\r\n", info.keyExchange.c_str());
    text += FormatText("Key exchange strength: %d\r\n", info.keyExchangeStrength);
    return text;
}

std::string CTlsChannel::DescribeServerCertificate() const {
    if (!m_Session || !m_ContextValid) {
        return "No security context - not connected.\r\n";
    }
    std::string text = m_Session->DescribePeerCertificates();
    if (text.empty()) {
        return FormatText("Error 0x%x querying remote certificate context.\r\n", kSecCertUnknown);
    }
    return text;
}
