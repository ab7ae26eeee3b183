#include "peers/TestPki.h"

#include <cstdio>
#include <cstdlib>

#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace {
tls::EvpPkeyPtr NewKey() {
    return tls::EvpPkeyPtr(EVP_EC_gen("P-256"));
}

struct CertProfile {
    std::string commonName;
    std::string subjectAltName; // "DNS:localhost", "IP:127.0.0.1" or empty
    std::string extendedUsage;  // "serverAuth", an OID, or empty for none
    bool ca = false;
    long notBeforeDays = -1;
    long notAfterDays = 30;
};

void AddExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
    if (ext != nullptr) {
        X509_add_ext(cert, ext, -1);
        X509_EXTENSION_free(ext);
    }
}

tls::X509Ptr MakeCert(const CertProfile& profile, EVP_PKEY* subjectKey, X509* issuer, EVP_PKEY* issuerKey,
                      long serial) {
    tls::X509Ptr cert(X509_new());
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), profile.notBeforeDays * 86400L);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), profile.notAfterDays * 86400L);
    X509_set_pubkey(cert.get(), subjectKey);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Kestrove Test"), -1, -1,
                               0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(profile.commonName.c_str()), -1, -1, 0);
    X509* signer = issuer != nullptr ? issuer : cert.get();
    X509_set_issuer_name(cert.get(), X509_get_subject_name(signer));
    AddExtension(cert.get(), signer, NID_basic_constraints, profile.ca ? "critical,CA:TRUE" : "critical,CA:FALSE");
    AddExtension(cert.get(), signer, NID_key_usage,
                 profile.ca ? "critical,keyCertSign,cRLSign" : "critical,digitalSignature,keyEncipherment");
    AddExtension(cert.get(), signer, NID_subject_key_identifier, "hash");
    if (issuer != nullptr) {
        AddExtension(cert.get(), signer, NID_authority_key_identifier, "keyid:always");
    }
    if (!profile.subjectAltName.empty()) {
        AddExtension(cert.get(), signer, NID_subject_alt_name, profile.subjectAltName);
    }
    if (!profile.extendedUsage.empty()) {
        AddExtension(cert.get(), signer, NID_ext_key_usage, profile.extendedUsage);
    }
    X509_sign(cert.get(), issuerKey != nullptr ? issuerKey : subjectKey, EVP_sha256());
    return cert;
}
} // namespace

CTestPki::CTestPki() : m_RootKey(NewKey()), m_IntermediateKey(NewKey()), m_OtherRootKey(NewKey()), m_LeafKey(NewKey()) {
    long serial = 1;
    CertProfile rootProfile{"Kestrove Test Root", "", "", true, -1, 3650};
    m_Root = MakeCert(rootProfile, m_RootKey.get(), nullptr, nullptr, serial++);
    CertProfile intermediateProfile{"Kestrove Test Intermediate", "", "", true, -1, 3650};
    m_Intermediate = MakeCert(intermediateProfile, m_IntermediateKey.get(), m_Root.get(), m_RootKey.get(), serial++);
    CertProfile otherProfile{"Untrusted Test Root", "", "", true, -1, 3650};
    m_OtherRoot = MakeCert(otherProfile, m_OtherRootKey.get(), nullptr, nullptr, serial++);

    auto add = [&](TestLeaf leaf, const CertProfile& profile, X509* issuer, EVP_PKEY* issuerKey,
                   std::vector<X509*> chain) -> X509* {
        m_Owned.push_back(MakeCert(profile, m_LeafKey.get(), issuer, issuerKey, serial++));
        m_Leaves[leaf] = CTestIdentity{m_Owned.back().get(), m_LeafKey.get(), std::move(chain)};
        return m_Owned.back().get();
    };
    const CertProfile localhost{"localhost", "DNS:localhost", "serverAuth"};
    add(TestLeaf::Localhost, localhost, m_Root.get(), m_RootKey.get(), {});
    add(TestLeaf::LoopbackIp, {"127.0.0.1", "IP:127.0.0.1", "serverAuth"}, m_Root.get(), m_RootKey.get(), {});
    add(TestLeaf::WrongName, {"wrong.example", "DNS:wrong.example", "serverAuth"}, m_Root.get(), m_RootKey.get(), {});
    add(TestLeaf::Expired, {"localhost", "DNS:localhost", "serverAuth", false, -30, -1}, m_Root.get(), m_RootKey.get(),
        {});
    add(TestLeaf::SelfSigned, localhost, nullptr, nullptr, {});
    add(TestLeaf::ClientAuthOnly, {"localhost", "DNS:localhost", "clientAuth"}, m_Root.get(), m_RootKey.get(), {});
    add(TestLeaf::ServerGatedCrypto, {"localhost", "DNS:localhost", "1.3.6.1.4.1.311.10.3.3"}, m_Root.get(),
        m_RootKey.get(), {});
    add(TestLeaf::NetscapeGatedCrypto, {"localhost", "DNS:localhost", "2.16.840.1.113730.4.1"}, m_Root.get(),
        m_RootKey.get(), {});
    add(TestLeaf::NoExtendedUsage, {"localhost", "DNS:localhost", ""}, m_Root.get(), m_RootKey.get(), {});
    X509* viaIntermediate = add(TestLeaf::ViaIntermediate, localhost, m_Intermediate.get(), m_IntermediateKey.get(),
                                {m_Intermediate.get()});
    m_Leaves[TestLeaf::IntermediateNotSent] = CTestIdentity{viaIntermediate, m_LeafKey.get(), {}};
    X509* unknown = add(TestLeaf::UnknownIssuer, localhost, m_OtherRoot.get(), m_OtherRootKey.get(), {});
    m_Leaves[TestLeaf::UntrustedRootInChain] = CTestIdentity{unknown, m_LeafKey.get(), {m_OtherRoot.get()}};
}

bool CTestPki::WriteRootFile(const std::filesystem::path& path) const {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    const bool ok = PEM_write_X509(file, m_Root.get()) == 1;
    return std::fclose(file) == 0 && ok;
}

bool CTestPki::TrustRootForThisProcess(const std::filesystem::path& folder) const {
    const std::filesystem::path file = folder / "test-root.pem";
    if (!WriteRootFile(file)) {
        return false;
    }
    return setenv("SSL_CERT_FILE", file.c_str(), 1) == 0 && setenv("SSL_CERT_DIR", folder.c_str(), 1) == 0;
}

tls::SslCtxPtr CTestPki::ServerContext(const CTestIdentity& identity, int minVersion, int maxVersion) {
    tls::SslCtxPtr ctx(SSL_CTX_new(TLS_server_method()));
    if (!ctx) {
        return ctx;
    }
    SSL_CTX_set_min_proto_version(ctx.get(), minVersion);
    SSL_CTX_set_max_proto_version(ctx.get(), maxVersion);
    SSL_CTX_use_certificate(ctx.get(), identity.cert);
    SSL_CTX_use_PrivateKey(ctx.get(), identity.key);
    // Only what the test asked for goes out: no chain built from a store behind its back.
    SSL_CTX_set_mode(ctx.get(), SSL_MODE_NO_AUTO_CHAIN);
    for (X509* extra : identity.chain) {
        SSL_CTX_add1_chain_cert(ctx.get(), extra);
    }
    return ctx;
}
