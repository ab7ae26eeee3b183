#pragma once
// A small certificate authority made in memory for the TLS tests: a root, an intermediate, a second root that
// nobody trusts, and server certificates with one defect each.

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/Tls.h"

enum class TestLeaf {
    Localhost,           // "localhost", serverAuth, issued by the root
    LoopbackIp,          // IP address 127.0.0.1
    WrongName,           // "wrong.example"
    Expired,             // "localhost", validity ended yesterday
    SelfSigned,          // "localhost", signs itself
    ClientAuthOnly,      // "localhost", extended key usage clientAuth alone
    ServerGatedCrypto,   // "localhost", the Microsoft server-gated-crypto usage alone
    NetscapeGatedCrypto, // "localhost", the Netscape server-gated-crypto usage alone
    NoExtendedUsage,     // "localhost", no extended key usage at all
    ViaIntermediate,     // "localhost", issued by the intermediate, which the server sends along
    IntermediateNotSent, // the same certificate without the intermediate
    UnknownIssuer,       // "localhost", issued by the untrusted root, sent alone
    UntrustedRootInChain // "localhost", issued by the untrusted root, which the server sends along
};

// A server's certificate, its key and the certificates it sends behind it. Owned by the CTestPki.
struct CTestIdentity {
    X509* cert = nullptr;
    EVP_PKEY* key = nullptr;
    std::vector<X509*> chain;
};

// Owns every key and certificate it made. Built on one thread; read-only afterwards.
class CTestPki {
public:
    CTestPki();
    CTestPki(const CTestPki&) = delete;
    CTestPki& operator=(const CTestPki&) = delete;

    const CTestIdentity& Leaf(TestLeaf leaf) const { return m_Leaves.at(leaf); }
    X509* Root() const { return m_Root.get(); }

    // Writes the trusted root as PEM (what SSL_CERT_FILE points at).
    bool WriteRootFile(const std::filesystem::path& path) const;
    // Writes the root into |folder| and points SSL_CERT_FILE at it and SSL_CERT_DIR at |folder|, so a credential
    // made afterwards trusts this root and nothing else.
    bool TrustRootForThisProcess(const std::filesystem::path& folder) const;

    // A server context for |identity| that allows the versions from |minVersion| to |maxVersion| (TLS1_2_VERSION,
    // TLS1_3_VERSION).
    static tls::SslCtxPtr ServerContext(const CTestIdentity& identity, int minVersion, int maxVersion);

private:
    tls::EvpPkeyPtr m_RootKey, m_IntermediateKey, m_OtherRootKey, m_LeafKey;
    tls::X509Ptr m_Root, m_Intermediate, m_OtherRoot;
    std::vector<tls::X509Ptr> m_Owned;
    std::map<TestLeaf, CTestIdentity> m_Leaves;
};
