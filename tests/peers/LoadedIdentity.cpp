#include "peers/LoadedIdentity.h"

#include <openssl/pem.h>
#include <openssl/x509.h>

bool CProgramIdentity::Prepare(const std::string& certFile, const std::string& keyFile, const std::string& caOut,
                               const std::string& name, std::string* error) {
    if (!certFile.empty()) {
        if (!Load(certFile, keyFile, error)) {
            return false;
        }
        m_Identity = &m_Loaded;
        return true;
    }
    m_Pki = std::make_unique<CTestPki>();
    m_Identity = &m_Pki->Leaf(name == "localhost" ? TestLeaf::Localhost : TestLeaf::LoopbackIp);
    if (!caOut.empty() && !m_Pki->WriteRootFile(caOut)) {
        *error = "cannot write " + caOut;
        return false;
    }
    return true;
}

bool CProgramIdentity::Load(const std::string& certFile, const std::string& keyFile, std::string* error) {
    std::unique_ptr<BIO, decltype(&BIO_free)> certs(BIO_new_file(certFile.c_str(), "r"), BIO_free);
    if (!certs) {
        *error = "cannot read " + certFile;
        return false;
    }
    for (X509* cert; (cert = PEM_read_bio_X509(certs.get(), nullptr, nullptr, nullptr)) != nullptr;) {
        m_Certs.emplace_back(cert);
    }
    std::unique_ptr<BIO, decltype(&BIO_free)> key(BIO_new_file(keyFile.c_str(), "r"), BIO_free);
    if (key) {
        m_Key.reset(PEM_read_bio_PrivateKey(key.get(), nullptr, nullptr, nullptr));
    }
    if (m_Certs.empty() || !m_Key) {
        *error = m_Certs.empty() ? "no certificate in " + certFile : "no private key in " + keyFile;
        return false;
    }
    m_Loaded.cert = m_Certs[0].get();
    m_Loaded.key = m_Key.get();
    for (size_t i = 1; i < m_Certs.size(); ++i) {
        m_Loaded.chain.push_back(m_Certs[i].get());
    }
    return true;
}
