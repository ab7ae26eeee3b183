#include "host/SspiProvider.h"

#include <cstdlib>
#include <filesystem>
#include <memory>

#include <gtest/gtest.h>

#include "common/TempDirTest.h"
#include "host/TlsChannel.h"
#include "peers/TestPki.h"
#include "peers/TlsTestServer.h"

namespace {
constexpr int kTls12 = 0x0303;
constexpr int kTls13 = 0x0304;

// A test root written into the test's folder and trusted through SSL_CERT_FILE; the credential is made per test.
class SspiProviderTest : public TempDirTest {
protected:
    static void SetUpTestSuite() { s_Pki = std::make_unique<CTestPki>(); }
    static void TearDownTestSuite() { s_Pki.reset(); }
    void SetUp() override { ASSERT_TRUE(s_Pki->TrustRootForThisProcess(m_TempDir.Path())); }
    void TearDown() override {
        g_SspiProvider.SetTls13UnavailableForTesting(false);
        g_SspiProvider.Free();
    }

    std::unique_ptr<CTlsTestServer> Serve(int minVersion, int maxVersion) {
        auto server = std::make_unique<CTlsTestServer>(s_Pki->Leaf(TestLeaf::Localhost), minVersion, maxVersion);
        EXPECT_TRUE(server->Start());
        return server;
    }

    static std::unique_ptr<CTestPki> s_Pki;
};
std::unique_ptr<CTestPki> SspiProviderTest::s_Pki;
} // namespace

TEST_F(SspiProviderTest, InitMakesATls13CapableCredential) {
    EXPECT_EQ(g_SspiProvider.GetCredential(), nullptr);
    ASSERT_TRUE(g_SspiProvider.Init());
    EXPECT_TRUE(g_SspiProvider.CredentialHeld());
    EXPECT_EQ(g_SspiProvider.CredentialLine(), "SSPI credential created - TLS 1.3 capable (SCH_CREDENTIALS).");
    auto server = Serve(kTls13, kTls13);
    CTlsChannel channel;
    ASSERT_TRUE(channel.Connect("localhost", server->Port(), 5000, 5000)) << channel.GetLastErrorText();
    EXPECT_NE(channel.DescribeConnection().find("Protocol: TLS 1.3\r\n"), std::string::npos);
}

TEST_F(SspiProviderTest, WithoutTls13TheLegacyCredentialIsTaken) {
    g_SspiProvider.SetTls13UnavailableForTesting(true);
    ASSERT_TRUE(g_SspiProvider.Init());
    EXPECT_EQ(g_SspiProvider.CredentialLine(),
              "SSPI credential created - legacy TLS 1.2 (SCHANNEL_CRED); OS does not support SCH_CREDENTIALS.");
    {
        auto server = Serve(kTls12, kTls13);
        CTlsChannel channel;
        ASSERT_TRUE(channel.Connect("localhost", server->Port(), 5000, 5000)) << channel.GetLastErrorText();
        EXPECT_NE(channel.DescribeConnection().find("Protocol: TLS 1.2\r\n"), std::string::npos);
    }
    auto server = Serve(kTls13, kTls13);
    CTlsChannel channel;
    EXPECT_FALSE(channel.Connect("localhost", server->Port(), 5000, 5000));
    EXPECT_EQ(channel.GetLastError(), 3101);
    EXPECT_EQ(channel.GetLastErrorText(), "TLS handshake failed - 0x80090331: Algorithm/protocol mismatch - no common "
                                          "TLS version between client and server");
}

TEST_F(SspiProviderTest, FreeIsSafeTwiceAndInitWorksAgain) {
    ASSERT_TRUE(g_SspiProvider.Init());
    EXPECT_TRUE(g_SspiProvider.Free());
    EXPECT_TRUE(g_SspiProvider.Free());
    EXPECT_EQ(g_SspiProvider.GetCredential(), nullptr);
    EXPECT_FALSE(g_SspiProvider.CredentialHeld());
    EXPECT_TRUE(g_SspiProvider.Init());
    EXPECT_NE(g_SspiProvider.GetCredential(), nullptr);
}

TEST_F(SspiProviderTest, TrustComesFromTheCertificateFileVariable) {
    auto server = Serve(kTls12, kTls13);
    ASSERT_TRUE(g_SspiProvider.Init());
    {
        CTlsChannel channel;
        ASSERT_TRUE(channel.Connect("localhost", server->Port(), 5000, 5000));
        EXPECT_TRUE(channel.VerifyServerCertificate("localhost")) << channel.GetLastErrorText();
    }
    // A credential made while the variable names a file without our root does not trust the server.
    WriteFileBytes(m_TempDir.Path() / "empty.pem", "");
    ASSERT_EQ(setenv("SSL_CERT_FILE", (m_TempDir.Path() / "empty.pem").c_str(), 1), 0);
    ASSERT_TRUE(g_SspiProvider.Init());
    CTlsChannel channel;
    ASSERT_TRUE(channel.Connect("localhost", server->Port(), 5000, 5000));
    EXPECT_FALSE(channel.VerifyServerCertificate("localhost"));
    EXPECT_EQ(static_cast<uint32_t>(channel.GetLastError()), kCertChaining);
}
