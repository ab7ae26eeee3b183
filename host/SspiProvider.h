#pragma once
// The process's one outbound TLS credential: a client context for TLS 1.2 and 1.3 with trust from the system's
// store, made at start-up and shared by every TLS channel.

#include <memory>
#include <string>

#include "platform/Tls.h"

// Owns the client context. Init and Free run on the start-up / exit thread while no channel exists; in between
// every channel of every thread reads the credential without a lock (the library locks what it changes inside).
class CSspiProvider {
public:
    CSspiProvider() = default;
    virtual ~CSspiProvider();
    CSspiProvider(const CSspiProvider&) = delete;
    CSspiProvider& operator=(const CSspiProvider&) = delete;

    // Makes the credential: TLS 1.2 and 1.3 first, TLS 1.2 alone when the library cannot offer 1.3; logs which
    // one it got. The trust store is read now, so SSL_CERT_FILE / SSL_CERT_DIR must be set before. False (and
    // nothing held) when neither can be made. A credential already held is freed first.
    bool Init();
    // Frees the credential; safe to call twice. Always true.
    bool Free();

    // The credential for new channels; null while none is held.
    const CTlsContext* GetCredential() const { return m_CredentialHeld ? m_Credential.get() : nullptr; }
    bool CredentialHeld() const { return m_CredentialHeld; }
    // The log line of the last successful Init.
    const std::string& CredentialLine() const { return m_CredentialLine; }

    // Makes the next Init behave as on a library without TLS 1.3, so the fallback can be tested.
    void SetTls13UnavailableForTesting(bool unavailable) { m_Tls13UnavailableForTesting = unavailable; }
    // Makes the next Init fail as on a library that can make no client credential at all, so the start-up's
    // refusal can be tested.
    void SetUnavailableForTesting(bool unavailable) { m_UnavailableForTesting = unavailable; }

private:
    std::unique_ptr<CTlsContext> m_Credential;
    bool m_CredentialHeld = false;
    std::string m_CredentialLine;
    bool m_Tls13UnavailableForTesting = false;
    bool m_UnavailableForTesting = false;
};

extern CSspiProvider g_SspiProvider;
