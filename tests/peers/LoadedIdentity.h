#pragma once
// The certificate a peer program shows: loaded from files the user names, or made by a test CA of its own (whose
// root the program may write out for the server to trust). Shared by the peer programs.

#include <memory>
#include <string>
#include <vector>

#include "peers/TestPki.h"
#include "platform/Tls.h"

// Owns what it loaded or made. Built on the program's main thread before any server starts; read-only after.
class CProgramIdentity {
public:
    // With |certFile| (the leaf, then any chain) and |keyFile|: loads them. Without: makes a test CA and a
    // certificate for |name| ("localhost", else 127.0.0.1) and writes the CA's root to |caOut| when given.
    // False with a reason in |error|.
    bool Prepare(const std::string& certFile, const std::string& keyFile, const std::string& caOut,
                 const std::string& name, std::string* error);
    const CTestIdentity& Identity() const { return *m_Identity; }

private:
    bool Load(const std::string& certFile, const std::string& keyFile, std::string* error);

    std::unique_ptr<CTestPki> m_Pki;
    std::vector<tls::X509Ptr> m_Certs;
    tls::EvpPkeyPtr m_Key;
    CTestIdentity m_Loaded;
    const CTestIdentity* m_Identity = nullptr;
};
