#include "host/SspiProvider.h"

#include "foundation/Logger.h"

CSspiProvider g_SspiProvider;

namespace {
constexpr const char* kTls13Line = "SSPI credential created - TLS 1.3 capable (SCH_CREDENTIALS).";
constexpr const char* kLegacyLine =
    "SSPI credential created - legacy TLS 1.2 (SCHANNEL_CRED); OS does not support SCH_CREDENTIALS.";
} // namespace

CSspiProvider::~CSspiProvider() {
    Free();
}

bool CSspiProvider::Init() {
    Free();
    std::string error;
    const char* line = kTls13Line;
    if (!m_Tls13UnavailableForTesting && !m_UnavailableForTesting) {
        m_Credential = CTlsContext::NewClient(true, &error);
    }
    if (!m_Credential && !m_UnavailableForTesting) {
        line = kLegacyLine;
        m_Credential = CTlsContext::NewClient(false, &error);
    }
    if (!m_Credential) {
        m_CredentialHeld = false;
        Free();
        return false;
    }
    CLogger::Instance().LogLine("%s", line);
    m_CredentialLine = line;
    m_CredentialHeld = true;
    return true;
}

bool CSspiProvider::Free() {
    if (m_CredentialHeld) {
        m_CredentialHeld = false;
    }
    m_Credential.reset();
    return true;
}
