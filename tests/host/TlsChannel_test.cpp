#include "host/TlsChannel.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <regex>
#include <thread>

#include <gtest/gtest.h>

#include "HostTestSupport.h"
#include "common/TempDirTest.h"
#include "common/TestClock.h"
#include "host/SspiProvider.h"
#include "peers/TestPki.h"
#include "peers/TlsTestServer.h"
#include "platform/ProcessEvents.h"

namespace {
constexpr int kTls12 = 0x0303;
constexpr int kTls13 = 0x0304;

// The process trusts the test root (through SSL_CERT_FILE) and holds the credential for the whole suite.
class TlsChannelTest : public hosttest::TrustedPkiTest<> {
protected:
    void SetUp() override {
        ASSERT_TRUE(s_Pki->Ok());
        g_ShutdownEvent.Reset();
    }

    // A server with |leaf| running |scenario| (the default echo loop when empty).
    std::unique_ptr<CTlsTestServer> Serve(TestLeaf leaf, TlsScenario scenario = {}, int minVersion = kTls12,
                                          int maxVersion = kTls13) {
        auto server = std::make_unique<CTlsTestServer>(s_Pki->Leaf(leaf), minVersion, maxVersion);
        if (scenario) {
            server->SetScenario(std::move(scenario));
        }
        EXPECT_TRUE(server->Start());
        return server;
    }
};

// Reads until |want| bytes of data have come or a result other than 0 (for callers that expect more).
int ReceiveAtLeast(CTlsChannel& channel, size_t want, std::string* text, uint32_t timeoutMs = 5000) {
    int result = 0;
    while (text->size() < want) {
        int count = 0;
        result = channel.ReceiveAndDecrypt(&count, text, timeoutMs);
        if (result != 0) {
            break;
        }
    }
    return result;
}
} // namespace

TEST_F(TlsChannelTest, StatusTextsFormatWithAndWithoutAName) {
    EXPECT_EQ(CTlsChannel::FormatSspiError("TLS handshake failed", 0x80090326),
              "TLS handshake failed - 0x80090326: Illegal message received from server");
    EXPECT_EQ(CTlsChannel::FormatSspiError("X", 0x00090312), "X - 0x00090312: Continue needed");
    EXPECT_EQ(CTlsChannel::FormatSspiError("X", 0x800B010F), "X - 0x800b010f");
    EXPECT_EQ(CTlsChannel::SspiStatusText(0x12345678), nullptr);
    EXPECT_STREQ(CTlsChannel::SspiStatusText(0x80090331),
                 "Algorithm/protocol mismatch - no common TLS version between client and server");
}

struct HandshakeCase {
    const char* name;
    TestLeaf leaf;
    const char* host;
    int minVersion;
    int maxVersion;
    size_t chunk;
    const char* protocolLine;
};

TEST_F(TlsChannelTest, HandshakeVariantsCarryDataBothWaysAndCloseWithCloseNotify) {
    const HandshakeCase cases[] = {
        {"tls13", TestLeaf::Localhost, "localhost", kTls12, kTls13, 0, "Protocol: TLS 1.3\r\n"},
        {"tls12", TestLeaf::Localhost, "localhost", kTls12, kTls12, 0, "Protocol: TLS 1.2\r\n"},
        {"tls13 byte by byte", TestLeaf::Localhost, "localhost", kTls13, kTls13, 1, "Protocol: TLS 1.3\r\n"},
        {"tls12 byte by byte", TestLeaf::Localhost, "localhost", kTls12, kTls12, 1, "Protocol: TLS 1.2\r\n"},
        {"tls12 in 100-byte pieces", TestLeaf::ViaIntermediate, "localhost", kTls12, kTls12, 100,
         "Protocol: TLS 1.2\r\n"},
        {"ip address", TestLeaf::LoopbackIp, "127.0.0.1", kTls12, kTls13, 0, "Protocol: TLS 1.3\r\n"},
    };
    for (const HandshakeCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::string serverGot;
        bool closeNotify = false;
        auto server = Serve(
            c.leaf,
            [&](CTlsTestConnection& conn) {
                if (!conn.Handshake(c.chunk) || !conn.ReadPlain(&serverGot, 4)) {
                    return;
                }
                conn.SendPlain("pong:" + serverGot, c.chunk);
                conn.WaitForPeerClose();
                closeNotify = conn.PeerSentCloseNotify();
            },
            c.minVersion, c.maxVersion);
        CTlsChannel channel;
        ASSERT_TRUE(channel.Connect(c.host, server->Port(), 5000, 5000)) << channel.GetLastErrorText();
        EXPECT_EQ(channel.GetServerName(), c.host);
        EXPECT_TRUE(channel.IsHandshakeComplete());
        EXPECT_NE(channel.DescribeConnection().find(c.protocolLine), std::string::npos) << channel.DescribeConnection();
        EXPECT_NE(channel.DescribeServerCertificate().find("================ Server Certificate"), std::string::npos);
        // The dump writes lower-case digits, sixteen a line.
        EXPECT_TRUE(std::regex_search(
            channel.DescribeServerCertificate(),
            std::regex("  Serial Number: \\([0-9]+ bytes\\)\r\n    [0-9a-f]{2}( [0-9a-f]{2}){0,15}\r\n")))
            << channel.DescribeServerCertificate();
        ASSERT_TRUE(channel.EncryptSend("ping"));
        std::string text;
        EXPECT_EQ(ReceiveAtLeast(channel, 9, &text), 0) << channel.GetLastErrorText();
        EXPECT_EQ(text, "pong:ping");
        EXPECT_TRUE(channel.VerifyServerCertificate(c.host)) << channel.GetLastErrorText();
        channel.Close();
        EXPECT_FALSE(channel.IsOpen());
        ASSERT_TRUE(server->WaitForConnectionsDone(1));
        server->Stop();
        EXPECT_EQ(serverGot, "ping");
        EXPECT_TRUE(closeNotify);
    }
}

struct HandshakeFailureCase {
    const char* name;
    TlsScenario scenario;
    const char* text;
    bool manualClock;
};

TEST_F(TlsChannelTest, HandshakeFailuresStore3101AndLeaveTheChannelClosed) {
    const HandshakeFailureCase cases[] = {
        {"garbage instead of a server hello",
         [](CTlsTestConnection& conn) {
             conn.SendRaw("HTTP/1.1 400 Bad Request\r\n\r\n");
             conn.WaitForPeerClose();
         },
         "TLS handshake failed - 0x80090326: Illegal message received from server", false},
        {"closed at once", [](CTlsTestConnection& conn) { conn.Close(); },
         "Server disconnected unexpectedly.ClientHandshakeLoop()", false},
        // Silent until the client gives up, however long its manual-clock wait takes in real time.
        {"silent until the read times out", [](CTlsTestConnection& conn) { conn.WaitForPeerClose(60000); },
         "Server disconnected unexpectedly.ClientHandshakeLoop()", true},
    };
    for (const HandshakeFailureCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto server = Serve(TestLeaf::Localhost, c.scenario);
        CTestClock clock;
        clock.SetHeldSleep(CTestClock::HeldSleep::Advances);
        std::unique_ptr<CScopedClock> scoped;
        if (c.manualClock) {
            scoped = std::make_unique<CScopedClock>(clock);
        }
        CTlsChannel channel;
        const uint64_t before = clock.TickMs();
        EXPECT_FALSE(channel.Connect("localhost", server->Port(), 5000, 10000));
        EXPECT_EQ(channel.GetLastError(), 3101);
        EXPECT_EQ(channel.GetLastErrorText(), c.text);
        EXPECT_FALSE(channel.IsOpen());
        if (c.manualClock) {
            EXPECT_GE(clock.TickMs() - before, 10000u);
        }
    }
}

TEST_F(TlsChannelTest, ConnectFailuresKeepTheSocketsCode) {
    int port = 0;
    {
        auto server = Serve(TestLeaf::Localhost);
        port = server->Port();
    } // stopped: nothing listens there any more
    CTlsChannel channel;
    EXPECT_FALSE(channel.Connect("localhost", port, 5000, 5000));
    EXPECT_EQ(channel.GetLastError(), 3006);
    EXPECT_EQ(channel.GetLastErrorText(), "Socket Error Trying to Connect [3006]");
}

TEST_F(TlsChannelTest, WithoutACredentialTheHandshakeCannotStart) {
    auto server = Serve(TestLeaf::Localhost);
    CTlsChannel channel(nullptr);
    EXPECT_FALSE(channel.Connect("localhost", server->Port(), 5000, 5000));
    EXPECT_EQ(channel.GetLastError(), 3101);
    EXPECT_EQ(channel.GetLastErrorText(),
              "InitializeSecurityContext failed (ClientHello) - 0x80090301: Invalid handle");
}

struct ReceiveCase {
    const char* name;
    int maxVersion;
    TlsScenario scenario; // runs after the handshake
    uint32_t timeoutMs;
    bool manualClock;
    int result;
    const char* data;
    const char* text; // expected last-error text, for the failures
};

TEST_F(TlsChannelTest, ReceiveAndDecryptResults) {
    const std::string bigRecordData(3000, 'r');
    const ReceiveCase cases[] = {
        {"one byte at a time", kTls13, [](CTlsTestConnection& c) { c.SendPlain("hello world", 1); }, 5000, false, 0,
         "hello world", ""},
        {"record split across reads", kTls13,
         [&](CTlsTestConnection& c) {
             const std::string bytes = c.Encrypt(bigRecordData);
             c.SendRaw(bytes, bytes.size() / 2 + 1, 30);
         },
         5000, false, 0, bigRecordData.c_str(), ""},
        {"records in one send", kTls12,
         [](CTlsTestConnection& c) {
             std::string bytes = c.Encrypt("first,");
             bytes += c.Encrypt("second");
             c.SendRaw(bytes);
         },
         5000, false, 0, "first,second", ""},
        {"session tickets and data together", kTls13, [](CTlsTestConnection& c) { c.SendRaw(c.Encrypt("ticketed")); },
         5000, false, 0, "ticketed", ""},
        {"quiet server", kTls13, [](CTlsTestConnection& c) { c.WaitForPeerClose(60000); }, 10000, true, 3, "",
         "Timeout Waiting for Verifiable Packet from server  (ReceiveAndDecrypt)"},
        {"half a record then close", kTls13,
         [](CTlsTestConnection& c) {
             const std::string bytes = c.Encrypt("hello");
             c.SendRaw(bytes.substr(0, bytes.size() / 2));
             c.Close();
         },
         5000, false, 2, "", "Server unexpectedly disconnected.(ReceiveAndDecrypt)"},
        {"close-notify", kTls13, [](CTlsTestConnection& c) { c.SendRaw(c.CloseNotifyBytes()); }, 5000, false, 4, "",
         "Server Signaled End of Session. (ReceiveAndDecrypt)"},
        {"data then close-notify in one send", kTls12,
         [](CTlsTestConnection& c) {
             std::string bytes = c.Encrypt("bye");
             bytes += c.CloseNotifyBytes();
             c.SendRaw(bytes);
         },
         5000, false, 4, "bye", "Server Signaled End of Session. (ReceiveAndDecrypt)"},
        {"garbage record", kTls13,
         [](CTlsTestConnection& c) { c.SendRaw(std::string("\x17\x03\x03\x00\x20", 5) + std::string(32, '\x5a')); },
         5000, false, 6, "", "Error 0x80090330 returned by DecryptMessage."},
        {"garbage record on tls 1.2", kTls12,
         [](CTlsTestConnection& c) { c.SendRaw(std::string("\x17\x03\x03\x00\x20", 5) + std::string(32, '\x5a')); },
         5000, false, 6, "", "Error 0x80090330 returned by DecryptMessage."},
        {"tls 1.2 renegotiation", kTls12,
         [](CTlsTestConnection& c) {
             if (c.Renegotiate()) {
                 c.SendPlain("renegotiated");
             }
         },
         5000, false, 0, "renegotiated", ""},
        {"renegotiation the server abandons", kTls12,
         [](CTlsTestConnection& c) {
             c.Session().StartRenegotiation();
             c.SendRaw(c.Session().TakeOutput());
             c.Close();
         },
         5000, false, 5, "", "Error occured during Renegotiate attempt requested by server."},
        {"tls 1.3 key update", kTls13,
         [](CTlsTestConnection& c) {
             c.KeyUpdate(true);
             c.SendPlain("rekeyed");
         },
         5000, false, 0, "rekeyed", ""},
    };
    for (const ReceiveCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::string afterwards;
        auto server = Serve(
            TestLeaf::Localhost,
            [&](CTlsTestConnection& conn) {
                if (!conn.Handshake()) {
                    return;
                }
                c.scenario(conn);
                // Whatever the client sends afterwards must still decrypt (new keys after an update).
                conn.ReadPlain(&afterwards, 5, 5000);
                conn.WaitForPeerClose();
            },
            kTls12, c.maxVersion);
        CTlsChannel channel;
        ASSERT_TRUE(channel.Connect("localhost", server->Port(), 5000, 5000)) << channel.GetLastErrorText();
        CTestClock clock;
        clock.SetHeldSleep(CTestClock::HeldSleep::Advances);
        std::unique_ptr<CScopedClock> scoped;
        if (c.manualClock) {
            scoped = std::make_unique<CScopedClock>(clock);
        }
        std::string text;
        const int result =
            ReceiveAtLeast(channel, std::string(c.data).size() + (c.result == 0 ? 0 : 1), &text, c.timeoutMs);
        EXPECT_EQ(result, c.result) << channel.GetLastErrorText();
        EXPECT_EQ(text, c.data);
        if (c.result != 0) {
            EXPECT_EQ(channel.GetLastErrorText(), c.text);
        } else {
            ASSERT_TRUE(channel.EncryptSend("after"));
        }
        scoped.reset();
        channel.Close();
        ASSERT_TRUE(server->WaitForConnectionsDone(1));
        server->Stop();
        if (c.result == 0) {
            EXPECT_EQ(afterwards, "after");
        }
    }
}

TEST_F(TlsChannelTest, DataThatArrivesWithTheEndOfTheHandshakeIsReturnedWithoutARead) {
    auto server = Serve(
        TestLeaf::Localhost,
        [](CTlsTestConnection& conn) {
            // The server's last flight and its first record leave in one send.
            if (conn.Handshake(0, 0, true)) {
                conn.SendRaw(conn.Encrypt("early data"));
                conn.WaitForPeerClose();
            }
        },
        kTls12, kTls12);
    CTlsChannel channel;
    ASSERT_TRUE(channel.Connect("localhost", server->Port(), 5000, 5000)) << channel.GetLastErrorText();
    // A time-out of 0 only polls the socket: the bytes must already be inside the channel.
    int count = 0;
    std::string text;
    EXPECT_EQ(channel.ReceiveAndDecrypt(&count, &text, 0), 0) << channel.GetLastErrorText();
    EXPECT_EQ(text, "early data");
    EXPECT_EQ(count, 10);
}

TEST_F(TlsChannelTest, EncryptSendTakesTheMaximumMessageAndRefusesOneByteMore) {
    std::string serverGot;
    auto server = Serve(TestLeaf::Localhost, [&](CTlsTestConnection& conn) {
        if (conn.Handshake()) {
            conn.ReadPlain(&serverGot, 1 << 20, 5000); // everything until the client's close-notify
        }
    });
    CTlsChannel channel;
    ASSERT_TRUE(channel.Connect("localhost", server->Port(), 5000, 5000));
    EXPECT_EQ(channel.MaxMessageSize(), 16384u);
    EXPECT_TRUE(channel.EncryptSend(std::string(16384, 'm')));
    EXPECT_FALSE(channel.EncryptSend(std::string(16385, 'n')));
    EXPECT_EQ(channel.GetLastError(), 3107);
    EXPECT_EQ(channel.GetLastErrorText(), "Message too large to Send!.");
    channel.Close();
    ASSERT_TRUE(server->WaitForConnectionsDone(1));
    server->Stop();
    EXPECT_EQ(serverGot, std::string(16384, 'm'));
}

TEST_F(TlsChannelTest, EncryptSendWithoutAConnectionFails) {
    CTlsChannel channel;
    EXPECT_FALSE(channel.EncryptSend("x"));
    EXPECT_EQ(channel.GetLastError(), 3012);
    EXPECT_EQ(channel.GetLastErrorText(), "Error 0x80090301 Encrypting Message.");
}

TEST_F(TlsChannelTest, CloseKeepsTheErrorThatMadeTheCallerClose) {
    auto server = Serve(TestLeaf::Localhost, [](CTlsTestConnection& conn) {
        if (conn.Handshake()) {
            conn.SendRaw(std::string("\x17\x03\x03\x00\x20", 5) + std::string(32, '\x01'));
            conn.WaitForPeerClose();
        }
    });
    // The session tickets of TLS 1.3 may come in a read of their own, which ends a receive with nothing: read on
    // until the broken record. On a broken session the close-notify cannot be made, and Shutdown says so...
    {
        CTlsChannel channel;
        ASSERT_TRUE(channel.Connect("localhost", server->Port(), 5000, 5000));
        std::string text;
        ASSERT_EQ(ReceiveAtLeast(channel, 1, &text), 6);
        channel.Shutdown();
        EXPECT_EQ(channel.GetLastError(), 3102);
    }
    // ...but a Close after that failure leaves the caller the reason it closed for.
    CTlsChannel channel;
    ASSERT_TRUE(channel.Connect("localhost", server->Port(), 5000, 5000));
    std::string text;
    ASSERT_EQ(ReceiveAtLeast(channel, 1, &text), 6);
    const int code = channel.GetLastError();
    const std::string reason = channel.GetLastErrorText();
    channel.Close();
    EXPECT_EQ(channel.GetLastError(), code);
    EXPECT_EQ(channel.GetLastErrorText(), reason);
    EXPECT_FALSE(channel.IsOpen());
}

TEST_F(TlsChannelTest, ShutdownEventEndsAHandshakeRead) {
    auto server = Serve(TestLeaf::Localhost, [](CTlsTestConnection& conn) { conn.WaitForPeerClose(); });
    std::thread stopper([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        g_ShutdownEvent.Set();
    });
    CTlsChannel channel;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(channel.Connect("localhost", server->Port(), 5000, 600000));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    stopper.join();
    g_ShutdownEvent.Reset();
    EXPECT_EQ(channel.GetLastError(), 3101);
    EXPECT_EQ(channel.GetLastErrorText(), "Server disconnected unexpectedly.ClientHandshakeLoop()");
}

struct CertCase {
    const char* name;
    TestLeaf leaf;
    const char* host;
    bool trusted;
    uint32_t code;
};

TEST_F(TlsChannelTest, ServerCertificateChecks) {
    const CertCase cases[] = {
        {"localhost", TestLeaf::Localhost, "localhost", true, 0},
        {"ip address", TestLeaf::LoopbackIp, "127.0.0.1", true, 0},
        {"name certificate for an address", TestLeaf::Localhost, "127.0.0.1", false, kCertCnNoMatch},
        {"wrong name", TestLeaf::WrongName, "localhost", false, kCertCnNoMatch},
        {"expired", TestLeaf::Expired, "localhost", false, kCertExpired},
        {"self-signed", TestLeaf::SelfSigned, "localhost", false, kCertUntrustedRoot},
        {"untrusted root sent along", TestLeaf::UntrustedRootInChain, "localhost", false, kCertUntrustedRoot},
        {"unknown issuer", TestLeaf::UnknownIssuer, "localhost", false, kCertChaining},
        {"intermediate sent along", TestLeaf::ViaIntermediate, "localhost", true, 0},
        {"intermediate not sent", TestLeaf::IntermediateNotSent, "localhost", false, kCertChaining},
        {"client authentication only", TestLeaf::ClientAuthOnly, "localhost", false, kCertWrongUsage},
        {"server gated crypto", TestLeaf::ServerGatedCrypto, "localhost", true, 0},
        {"netscape server gated crypto", TestLeaf::NetscapeGatedCrypto, "localhost", true, 0},
        {"no extended usage", TestLeaf::NoExtendedUsage, "localhost", true, 0},
    };
    for (const CertCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto server = Serve(c.leaf);
        // The check is the caller's choice: without it every one of these connects.
        CTlsChannel channel;
        ASSERT_TRUE(channel.Connect(c.host, server->Port(), 5000, 5000)) << channel.GetLastErrorText();
        EXPECT_EQ(channel.VerifyServerCertificate(c.host), c.trusted);
        if (!c.trusted) {
            EXPECT_EQ(static_cast<uint32_t>(channel.GetLastError()), c.code);
            char prefix[96];
            std::snprintf(prefix, sizeof prefix,
                          "VerifyServerCertificate Failed (G) - certificate policy check - 0x%08x (", c.code);
            EXPECT_EQ(channel.GetLastErrorText().rfind(prefix, 0), 0u) << channel.GetLastErrorText();
        }
        channel.Close();

        // With the check on, Connect does it and a failure closes the channel.
        CTlsChannel checked;
        checked.SetVerifyServerCertificate(true);
        EXPECT_EQ(checked.Connect(c.host, server->Port(), 5000, 5000), c.trusted) << checked.GetLastErrorText();
        EXPECT_EQ(checked.IsOpen(), c.trusted);
        if (!c.trusted) {
            EXPECT_EQ(static_cast<uint32_t>(checked.GetLastError()), c.code);
        }
    }
}

TEST_F(TlsChannelTest, LaterConnectionsToTheSameHostResumeAndAreStillChecked) {
    const struct {
        const char* name;
        int maxVersion;
        bool serverResumes;
        TestLeaf leaf;
    } cases[] = {
        {"tls13", kTls13, true, TestLeaf::ViaIntermediate},
        {"tls12", kTls12, true, TestLeaf::ViaIntermediate},
        {"tls13 server without tickets", kTls13, false, TestLeaf::Localhost},
        {"tls12 server without tickets or cache", kTls12, false, TestLeaf::Localhost},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CTlsTestServer server(s_Pki->Leaf(c.leaf), kTls12, c.maxVersion);
        server.SetResumption(c.serverResumes);
        ASSERT_TRUE(server.Start());
        for (int i = 0; i < 3; ++i) {
            SCOPED_TRACE(i);
            CTlsChannel channel;
            channel.SetVerifyServerCertificate(true);
            ASSERT_TRUE(channel.Connect("localhost", server.Port(), 5000, 5000)) << channel.GetLastErrorText();
            EXPECT_EQ(channel.SessionReused(), c.serverResumes && i > 0);
            // A TLS 1.3 server's tickets come with the first records read.
            ASSERT_TRUE(channel.EncryptSend("ping"));
            std::string text;
            EXPECT_EQ(ReceiveAtLeast(channel, 4, &text), 0) << channel.GetLastErrorText();
            EXPECT_EQ(text, "ping");
            channel.Close();
        }
        ASSERT_TRUE(server.WaitForConnectionsDone(3));
        EXPECT_EQ(server.ConnectionsResumed(), c.serverResumes ? 2 : 0);
    }
}

// A trusted check is kept so that resumed connections need not verify the same chain again; what is kept must
// never answer for another name or for a time at which the chain is no longer valid.
TEST_F(TlsChannelTest, AKeptTrustedCheckHoldsOnlyForItsNameAndWhileTheChainIsValid) {
    auto server = Serve(TestLeaf::Localhost); // valid for 30 days from now
    const struct {
        const char* name;
        std::string host;
        int days; // the wall clock moved on by this much
        bool trusted;
        uint32_t code;
    } cases[] = {
        {"trusted, and kept", "localhost", 0, true, 0},
        {"again within the validity", "localhost", 29, true, 0},
        {"past the leaf's end", "localhost", 31, false, kCertExpired},
        {"another name", "127.0.0.1", 0, false, kCertCnNoMatch},
        {"the kept one still", "localhost", 0, true, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CTestClock clock(CTestClock::kDefaultStartTickMs, CSystemClock().WallNow() + std::chrono::hours(24 * c.days));
        CScopedClock scoped(clock);
        CTlsChannel channel;
        ASSERT_TRUE(channel.Connect("localhost", server->Port(), 5000, 5000)) << channel.GetLastErrorText();
        EXPECT_EQ(channel.VerifyServerCertificate(c.host), c.trusted);
        if (!c.trusted) {
            EXPECT_EQ(static_cast<uint32_t>(channel.GetLastError()), c.code);
        }
        channel.Close();
    }
}

TEST_F(TlsChannelTest, ASessionWhoseCertificateWasRefusedIsNotResumed) {
    auto server = Serve(TestLeaf::WrongName);
    CTlsChannel channel;
    ASSERT_TRUE(channel.Connect("localhost", server->Port(), 5000, 5000)) << channel.GetLastErrorText();
    ASSERT_TRUE(channel.EncryptSend("ping"));
    std::string text;
    EXPECT_EQ(ReceiveAtLeast(channel, 4, &text), 0);
    EXPECT_FALSE(channel.VerifyServerCertificate("localhost"));
    channel.Close();

    CTlsChannel next;
    ASSERT_TRUE(next.Connect("localhost", server->Port(), 5000, 5000)) << next.GetLastErrorText();
    EXPECT_FALSE(next.SessionReused());
    EXPECT_FALSE(next.VerifyServerCertificate("localhost"));
    EXPECT_EQ(static_cast<uint32_t>(next.GetLastError()), kCertCnNoMatch);
}

TEST_F(TlsChannelTest, CertificateCheckNeedsANameAndAConnection) {
    CTlsChannel channel;
    EXPECT_FALSE(channel.VerifyServerCertificate(""));
    EXPECT_EQ(channel.GetLastError(), 3124);
    EXPECT_EQ(channel.GetLastErrorText(),
              "VerifyServerCertificate Failed (A) - The target principal name is incorrect.");
    EXPECT_FALSE(channel.VerifyServerCertificate("localhost"));
    EXPECT_EQ(channel.GetLastError(), 3124);
    EXPECT_EQ(channel.GetLastErrorText(),
              "VerifyServerCertificate Failed (D) - Error 0x80090301 reading SECPKG_ATTR_REMOTE_CERT_CONTEXT.");
    EXPECT_EQ(channel.DescribeServerCertificate(), "No security context - not connected.\r\n");
}
