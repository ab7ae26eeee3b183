// The management-service client against the management-service fake over real TLS with the test CA: the request
// on the wire, a good download replacing the stored set, each failure's text with the stored set untouched, the
// certificate and host-name check, the receive budget on the clock seam, and the framing and text helpers.

#include "app/NQMSClient.h"

#include <openssl/hmac.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/LanesFile.h"
#include "app/NQMSResponse.h"
#include "common/LogFolder.h"
#include "common/ParamSets.h"
#include "common/ScopedEnvironment.h"
#include "common/TempDirTest.h"
#include "common/TestClock.h"
#include "common/Wait.h"
#include "foundation/AppMode.h"
#include "foundation/ParamMessage.h"
#include "foundation/ParamStore.h"
#include "foundation/Request.h"
#include "host/HostTestSupport.h"
#include "peers/ManagementService.h"
#include "peers/TlsTestServer.h"
#include "platform/ProcessEvents.h"

namespace {
const std::string kFs(1, '\x1c');
constexpr char kDeviceId[] = "[DEV-0042]";
constexpr char kMachineId[] = "0123456789abcdef00112233445566ff";

// The merchant the service hands out.
CParamSettings MerchantSettings() {
    std::string refused;
    const CParamSettings settings = ParamsWith(DefaultParams(),
                                               {{kParamMerchantId, "RVZMERCH001"},
                                                {kParamAlternateMerchantId, "RVZALTID002"},
                                                {kParamTerminalId, "0042"},
                                                {kParamDatawireId, "DW0011223344"},
                                                {kParamPrimaryUrl, "127.0.0.1:9443/sd"},
                                                {kParamLaneIds, "1$2$3"},
                                                {kParamNumberOfLanes, "3"}},
                                               &refused);
    EXPECT_EQ(refused, "");
    return settings;
}

// Our application's id of |machineId|, computed here apart from the client.
std::string ExpectedMachineId(const std::string& machineId) {
    const uint8_t key[16] = {0x4b, 0x65, 0x73, 0x74, 0x72, 0x6f, 0x76, 0x65,
                             0x9e, 0x21, 0x5c, 0xd3, 0x07, 0xa8, 0x3f, 0x61};
    std::vector<uint8_t> machine;
    for (size_t i = 0; i < machineId.size(); i += 2) {
        machine.push_back(static_cast<uint8_t>(std::stoul(machineId.substr(i, 2), nullptr, 16)));
    }
    uint8_t mac[32];
    unsigned length = 0;
    HMAC(EVP_sha256(), key, sizeof key, machine.data(), machine.size(), mac, &length);
    return BytesToHex(length, mac);
}

class NQMSClientTest : public hosttest::TrustedPkiTest<> {
protected:
    void SetUp() override {
        ASSERT_TRUE(s_Pki->Ok());
        PrepareLogFolder();
        g_ShutdownEvent.Reset();
        AppModeFlags().SetStartedAsService(false);
        ASSERT_TRUE(m_Crypto.StartCrypto());
        ASSERT_TRUE(m_Store.ClearParams());
        WriteFileBytes("machine-id", std::string(kMachineId) + "\n");
    }
    void TearDown() override { AppModeFlags().SetStartedAsService(false); }

    std::unique_ptr<CManagementService> StartService(TestLeaf leaf = TestLeaf::LoopbackIp) {
        auto service = std::make_unique<CManagementService>(s_Pki->Leaf(leaf));
        EXPECT_TRUE(service->Start());
        service->SetParams(MerchantSettings());
        return service;
    }

    std::unique_ptr<CNQMSClient> Client(const std::vector<CServiceHost>& hosts, const std::string& deviceId = kDeviceId,
                                        CRequest* crypto = nullptr) {
        auto client = std::make_unique<CNQMSClient>(deviceId, g_SspiProvider.GetCredential(),
                                                    crypto != nullptr ? *crypto : m_Crypto, m_Store);
        client->SetHosts(hosts);
        client->SetMachineIdFile("machine-id");
        return client;
    }

    static CServiceHost At(const CManagementService& service, const std::string& name = "127.0.0.1") {
        return {name, service.Port()};
    }

    bool StoreHoldsDefaults() const {
        CParamSettings defaults;
        defaults.BuildDefaults();
        return m_Store.GetParams().GetParamMap().Equals(defaults.GetParamMap());
    }

    CRequest m_Crypto;
    CParamStore m_Store{"MerchantParams.dat"};
};
} // namespace

// --- A good download ---

TEST_F(NQMSClientTest, GoodDownloadReplacesTheStoredSetAndSaysOk) {
    auto service = StartService();
    auto client = Client({At(*service)});
    ASSERT_TRUE(client->RetrieveParameters()) << client->GetLastErrorText();
    EXPECT_TRUE(client->GetRetrievalResult());
    EXPECT_FALSE(client->IsOpen());

    EXPECT_TRUE(m_Store.GetParams().GetParamMap().Equals(MerchantSettings().GetParamMap()));
    EXPECT_EQ(ReadFileBytes("MerchantParams.dat"), MerchantSettings().ToString());

    ASSERT_TRUE(service->WaitForSessions(1));
    const CNqmsSession session = service->Sessions().at(0);
    EXPECT_TRUE(session.challengeAnswered);
    EXPECT_EQ(session.laterMessages, std::vector<std::string>{"OK"});

    // The request: its framing and every field in order, each followed by FS.
    const std::string body = session.request.substr(session.request.find("\r\n\r\n") + 4);
    EXPECT_EQ(session.request, "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
    EXPECT_EQ(body.back(), '\x1c');
    ASSERT_EQ(session.fields.size(), 12u);
    const std::vector<std::string> keys = {"REQ",   "AVER",    "ABUILD",     "RUN_AS_SERVICE", "CC",    "CR",
                                           "DEVID", "PART_NO", "MACHINE_ID", "PVER",           "PHVER", "SDT"};
    for (size_t i = 0; i < keys.size(); ++i) {
        EXPECT_EQ(session.fields[i].first, keys[i]) << i;
    }
    EXPECT_EQ(session.Field("REQ"), "OVEX_PARAMETERS");
    EXPECT_EQ(session.Field("AVER"), "5.06");
    EXPECT_EQ(session.Field("ABUILD"), "0001");
    EXPECT_EQ(session.Field("RUN_AS_SERVICE"), "N");
    EXPECT_EQ(session.Field("CC").size(), 32u);
    EXPECT_EQ(session.Field("CC").find_first_not_of("0123456789ABCDEF"), std::string::npos);
    EXPECT_EQ(session.Field("CR"), CManagementService::AnswerChallenge(session.challenge));
    EXPECT_EQ(session.Field("DEVID"), kDeviceId);
    EXPECT_EQ(session.Field("PART_NO"), CNQMSClient::kPartNumber);
    EXPECT_EQ(session.Field("MACHINE_ID"), ExpectedMachineId(kMachineId));
    EXPECT_EQ(session.Field("PVER"), "4");
    EXPECT_EQ(session.Field("PHVER"), "1");
    EXPECT_EQ(session.Field("SDT").size(), 14u);
    EXPECT_EQ(session.Field("SDT").find_first_not_of("0123456789"), std::string::npos);
}

TEST_F(NQMSClientTest, ServiceModeSaysSoAndTheChallengesDifferEachSession) {
    AppModeFlags().SetStartedAsService(true);
    auto service = StartService();
    ASSERT_TRUE(Client({At(*service)})->RetrieveParameters());
    ASSERT_TRUE(Client({At(*service)})->RetrieveParameters());
    ASSERT_TRUE(service->WaitForSessions(2));
    const std::vector<CNqmsSession> sessions = service->Sessions();
    EXPECT_EQ(sessions[0].Field("RUN_AS_SERVICE"), "Y");
    EXPECT_NE(sessions[0].Field("CC"), sessions[1].Field("CC"));
}

TEST_F(NQMSClientTest, OddChallengeGetsAnEmptyAnswerAndTheRequestStillGoesOut) {
    auto service = StartService();
    service->SetFault(NqmsFault::OddChallenge);
    ASSERT_TRUE(Client({At(*service)})->RetrieveParameters());
    ASSERT_TRUE(service->WaitForSessions(1));
    const CNqmsSession session = service->Sessions().at(0);
    EXPECT_EQ(session.challenge.size(), 31u);
    EXPECT_EQ(session.Field("CR"), "");
    EXPECT_FALSE(session.Field("CC").empty());
}

TEST_F(NQMSClientTest, MessageSentBeforeTheServiceClosesCounts) {
    auto service = StartService();
    service->SetFault(NqmsFault::CloseWithMessage);
    auto client = Client({At(*service)});
    EXPECT_TRUE(client->RetrieveParameters()) << client->GetLastErrorText();
    EXPECT_TRUE(m_Store.GetParams().GetParamMap().Equals(MerchantSettings().GetParamMap()));
}

TEST_F(NQMSClientTest, SecondaryHostServesWhenThePrimaryCannot) {
    auto service = StartService();
    auto client = Client({{"127.0.0.1", std::stoi(hosttest::RefusingHostAndPort(*s_Pki).substr(10))}, At(*service)});
    EXPECT_TRUE(client->RetrieveParameters()) << client->GetLastErrorText();
    EXPECT_EQ(client->GetServerName(), "127.0.0.1");
    EXPECT_EQ(service->ConnectionsAccepted(), 1);
}

// --- Failures: the text shown, the text sent, and the stored set untouched ---

TEST_F(NQMSClientTest, EachServiceFaultFailsWithItsTextAndLeavesTheStoredSet) {
    struct Case {
        NqmsFault fault;
        std::string error; // exact, or the beginning when |prefix|
        bool prefix;
        bool serviceToldError; // the last message reached the service
    };
    const Case cases[] = {
        {NqmsFault::ServiceError, "Error(NQMS): Device not registered", false, true},
        {NqmsFault::WrongChallengeAnswer, "Parms: Challenge Verification Failed!", false, true},
        {NqmsFault::NoChallengeAnswer, "Parms: Challenge Verification Failed!", false, true},
        {NqmsFault::WrongType,
         "Parameter Parsing Error: Parm#: 3 [TERMINAL ID] Receive Data Type: [AN1] is incorrect expecting: [NS1].",
         false, true},
        {NqmsFault::WrongLength, "Parameter Parsing Error: Parm#: 3 MinLen 5 is incorrect [4].", false, true},
        {NqmsFault::InvalidValue, "Parameter Parsing Error: Parm#: 3 failed to Validate (1) [TERMINAL ID|NS1|4|4|00A2]",
         false, true},
        {NqmsFault::Pairs21, "Parameter Parsing Error: Expected 22 Parms Got 21", false, true},
        {NqmsFault::Pairs23, "Parameter Parsing Error: Expected 22 Parms Got 23", false, true},
        // The close-notify comes with the message cut short: what came is parsed, and cannot be.
        {NqmsFault::BodyCutShort, "Unable to Parse 2 - Content%2dLength%3a+", true, false},
        {NqmsFault::BodyCutInLastValue, "Unable to Parse 2 - Content%2dLength%3a+", true, false},
        {NqmsFault::Oversized, "Wait Message 2 Failed - Message too large to Receive!.3130", false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.fault));
        ASSERT_TRUE(m_Store.ClearParams());
        WriteFileBytes(kLanesFileName, "1" + kFs + "Front\r\n");
        auto service = StartService();
        service->SetFault(c.fault);
        service->SetServiceError("Device not registered");
        auto client = Client({At(*service)});
        EXPECT_FALSE(client->RetrieveParameters());
        EXPECT_FALSE(client->GetRetrievalResult());
        if (c.prefix) {
            EXPECT_EQ(client->GetLastErrorText().rfind(c.error, 0), 0u) << client->GetLastErrorText();
        } else {
            EXPECT_EQ(client->GetLastErrorText(), c.error);
        }
        EXPECT_TRUE(StoreHoldsDefaults());
        EXPECT_EQ(ReadFileBytes(kLanesFileName), "1" + kFs + "Front\r\n");
        ASSERT_TRUE(service->WaitForSessions(1));
        const CNqmsSession session = service->Sessions().at(0);
        EXPECT_TRUE(session.challengeAnswered);
        if (c.serviceToldError) {
            EXPECT_EQ(session.laterMessages, std::vector<std::string>{c.error});
        }
    }
}

TEST_F(NQMSClientTest, SilentServiceGetsTheErrorTextTwice) {
    auto service = StartService();
    service->SetFault(NqmsFault::Silent);
    auto client = Client({At(*service)});
    client->SetReceiveBudgetMs(300);
    EXPECT_FALSE(client->RetrieveParameters());
    const std::string error = client->GetLastErrorText();
    EXPECT_EQ(error.rfind("Wait Message 1 Failed - Timeout Waiting for Verifiable Packet from server  "
                          "(ReceiveAndDecrypt)",
                          0),
              0u)
        << error;
    ASSERT_TRUE(service->WaitForSessions(1));
    EXPECT_EQ(service->Sessions().at(0).laterMessages, (std::vector<std::string>{error, error}));
    EXPECT_TRUE(StoreHoldsDefaults());
}

TEST_F(NQMSClientTest, ParameterMessageCutWithinItsLastValueIsNeverStored) {
    auto service = StartService();
    service->SetFault(NqmsFault::BodyCutInLastValue);
    auto client = Client({At(*service)});
    EXPECT_FALSE(client->RetrieveParameters());
    EXPECT_EQ(client->GetLastErrorText(), "Unable to Parse 2 - " + UrlEncode(client->GetReceiveBuffer()));
    EXPECT_TRUE(StoreHoldsDefaults());

    // What came, read as a whole message, would pass every check of the parameter message with the last value
    // cut: the lane ids "1$2$3" as "1$2$".
    const std::string received = client->GetReceiveBuffer();
    const size_t bodyStart = received.find("\r\n\r\n");
    ASSERT_NE(bodyStart, std::string::npos);
    CParamMessage message;
    CParamMap map;
    EXPECT_TRUE(message.Parse(received.substr(bodyStart + 4), map, m_Store)) << message.m_ParseError;
    EXPECT_EQ(map.GetValue(kParamLaneIds), "1$2$");
}

TEST_F(NQMSClientTest, EachFailureAroundTheChallengeHasItsText) {
    struct Case {
        NqmsFault fault;
        std::string deviceId;
        std::string error; // the beginning
        std::string errorEnd;
    };
    const Case cases[] = {
        // The close-notify comes with the first line of the challenge message: that line is all there is to parse.
        {NqmsFault::ChallengeCutShort, kDeviceId, "Unable to Parse 1 - Content%2dLength%3a+32%0d%0a", ""},
        // A close-notify that comes alone brings no message at all.
        {NqmsFault::CloseBeforeChallenge, kDeviceId,
         "Wait Message 1 Failed - Server Signaled End of Session. (ReceiveAndDecrypt)", ""},
        // The service has gone when the request is sent; a request of many records meets the reset connection.
        {NqmsFault::CloseAfterChallenge, std::string(1 << 20, 'D'), "Send Message 1 Failed - Socket Error ",
         " sending to Host3003"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.fault));
        WriteFileBytes(kLanesFileName, "1" + kFs + "Front\r\n");
        auto service = StartService();
        service->SetFault(c.fault);
        auto client = Client({At(*service)}, c.deviceId);
        EXPECT_FALSE(client->RetrieveParameters());
        const std::string error = client->GetLastErrorText();
        EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
        EXPECT_TRUE(error.size() >= c.errorEnd.size() &&
                    error.compare(error.size() - c.errorEnd.size(), c.errorEnd.size(), c.errorEnd) == 0)
            << error;
        EXPECT_TRUE(StoreHoldsDefaults());
        EXPECT_EQ(ReadFileBytes(kLanesFileName), "1" + kFs + "Front\r\n");
        ASSERT_TRUE(service->WaitForSessions(1));
        EXPECT_EQ(service->Sessions().at(0).request, "");
    }
}

TEST_F(NQMSClientTest, WhatCameWhenTheTimeRanOutIsParsed) {
    // The challenge message comes in pieces, the second record of it in three, each read before the clock moves
    // on: the read that completes the record returns after the budget has run out, with a message that never
    // got its empty line.
    std::atomic<int> allowed{0};
    std::atomic<int> sent{0};
    CTlsTestServer server(s_Pki->Leaf(TestLeaf::LoopbackIp));
    server.SetScenario([&](CTlsTestConnection& connection) {
        if (!connection.Handshake()) {
            return;
        }
        const std::string first = connection.Encrypt("Content-Length: 32\r\n");
        const std::string second = connection.Encrypt("X-Pad: 1\r\n");
        const std::string pieces[] = {first + second.substr(0, 3), second.substr(3, 3), second.substr(6)};
        for (const std::string& piece : pieces) {
            if (!WaitUntil([&] { return allowed.load() > sent.load(); }, 20000) || !connection.SendRaw(piece)) {
                return;
            }
            ++sent;
        }
        connection.WaitForPeerClose(20000);
    });
    ASSERT_TRUE(server.Start());
    auto client = Client({{"127.0.0.1", server.Port()}});
    ASSERT_TRUE(client->CTlsChannel::Connect("127.0.0.1", server.Port(), 10000, 10000)) << client->GetLastErrorText();

    CTestClock clock;
    CScopedClock scoped(clock);
    bool exchanged = true;
    std::thread exchange([&] { exchanged = client->ExchangeParameters(); });
    // Lets piece |count| go and waits until the client has read it.
    const auto release = [&](int count) {
        allowed = count;
        EXPECT_TRUE(WaitUntil([&] { return sent.load() >= count; }));
        EXPECT_TRUE(WaitUntil([&] { return !client->IsDataAvailable(); }));
    };
    release(1);
    clock.Advance(15000); // within the read's own time-out, which began with the budget
    release(2);
    clock.Advance(10000); // past the budget, within the time-out of the read that took piece 2
    release(3);
    exchange.join();
    EXPECT_FALSE(exchanged);
    EXPECT_EQ(client->GetLastErrorText(), "Unable to Parse 1 - Content%2dLength%3a+32%0d%0aX%2dPad%3a+1%0d%0a");
    client->Close();
}

TEST_F(NQMSClientTest, ChallengeIsAnsweredWithSessionKey2) {
    // Made once apart from the code under test, with the openssl command line: session key 2 is RC4 keyed with
    // the MD5 of password 2 as the start-up builds it (its 35 kept characters, each raised by 2 or 1), so
    //   KEY=$(<the 35 built bytes> | openssl dgst -md5 -binary | xxd -p)
    //   printf '00112233445566778899AABBCCDDEEFF' | xxd -r -p |
    //     openssl enc -rc4 -provider legacy -provider default -K "$KEY" -nosalt | xxd -p -u
    // gives the answer below.
    auto service = StartService();
    service->SetChallenge("00112233445566778899AABBCCDDEEFF");
    ASSERT_TRUE(Client({At(*service)})->RetrieveParameters());
    ASSERT_TRUE(service->WaitForSessions(1));
    EXPECT_EQ(service->Sessions().at(0).Field("CR"), "4678B7AC79075D016E301B819B1B002B");
}

TEST_F(NQMSClientTest, EachMessageWaitsTwentySecondsOnTheClock) {
    for (const NqmsFault fault : {NqmsFault::Silent, NqmsFault::SilentAfterRequest}) {
        SCOPED_TRACE(static_cast<int>(fault));
        auto service = StartService();
        service->SetFault(fault);
        auto client = Client({At(*service)});
        ASSERT_TRUE(client->CTlsChannel::Connect("127.0.0.1", service->Port(), 10000, 10000))
            << client->GetLastErrorText();
        if (fault == NqmsFault::SilentAfterRequest) {
            // The challenge follows the handshake. Let it arrive before the clock is measured: the receive loop
            // moves the held clock a millisecond a turn, far faster than real time, so a challenge held up by a
            // busy machine would count as seconds of waiting for the first message.
            WaitUntil([&] { return client->IsDataAvailable(); }, 5000);
        }
        const uint64_t waited = ClockTimeOf([&] { EXPECT_FALSE(client->ExchangeParameters()); });
        EXPECT_GE(waited, 20000u);
        EXPECT_LT(waited, 21000u);
        const std::string expected =
            fault == NqmsFault::Silent ? "Wait Message 1 Failed - " : "Wait Message 2 Failed - ";
        EXPECT_EQ(client->GetLastErrorText().rfind(expected, 0), 0u) << client->GetLastErrorText();
        client->Close();
    }
}

TEST_F(NQMSClientTest, DeviceThatCannotNameItselfSendsNoRequest) {
    struct Case {
        const char* name;
        std::string deviceId;
        std::string machineIdFile;
        std::string logLine; // why, for the operator who reads the log ("": the device id's source logs it)
    };
    const Case cases[] = {
        {"no device id", "", "machine-id", ""},
        {"no machine id", kDeviceId, "missing-machine-id",
         "The machine id cannot be read: cannot open missing-machine-id: No such file or directory"},
        {"machine id not hex", kDeviceId, "bad-machine-id",
         "The machine id cannot be read: bad-machine-id does not hold a machine id"},
    };
    WriteFileBytes("bad-machine-id", "0123456789abcdef00112233445566fg\n");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto service = StartService();
        auto client = Client({At(*service)}, c.deviceId);
        client->SetMachineIdFile(c.machineIdFile);
        const int machineIdLines = CountLogLines("The machine id cannot be read: ");
        EXPECT_FALSE(client->RetrieveParameters());
        EXPECT_EQ(client->GetLastErrorText(), "Unable to Determine who I am.");
        if (c.logLine.empty()) {
            EXPECT_EQ(CountLogLines("The machine id cannot be read: "), machineIdLines);
        } else {
            EXPECT_EQ(CountLogLines(c.logLine), 1);
        }
        ASSERT_TRUE(service->WaitForSessions(1));
        const CNqmsSession session = service->Sessions().at(0);
        EXPECT_EQ(session.request, "Content-Length: 29\r\n\r\nUnable to Determine who I am.");
        EXPECT_TRUE(StoreHoldsDefaults());
    }
}

TEST_F(NQMSClientTest, ChallengesAreNeverMadeWithoutTheKey) {
    // A crypto object that was never started has no session key 2: neither challenge can be made, so nothing
    // predictable goes out.
    CRequest unstarted;
    for (const NqmsFault fault : {NqmsFault::None, NqmsFault::OddChallenge}) {
        SCOPED_TRACE(static_cast<int>(fault));
        auto service = StartService();
        service->SetFault(fault);
        auto client = Client({At(*service)}, kDeviceId, &unstarted);
        EXPECT_FALSE(client->RetrieveParameters());
        const std::string expected =
            fault == NqmsFault::None ? "Unable to Answer the Challenge." : "Unable to Create the Challenge.";
        EXPECT_EQ(client->GetLastErrorText(), expected);
        ASSERT_TRUE(service->WaitForSessions(1));
        EXPECT_EQ(service->Sessions().at(0).request, CManagementService::Frame(expected));
        EXPECT_TRUE(StoreHoldsDefaults());
    }
}

TEST_F(NQMSClientTest, SetTheStoreRefusesLeavesTheStoredSet) {
    // Every value valid, but together longer than the 500 characters the store keeps.
    std::string refused;
    const CParamSettings settings = ParamsWith(MerchantSettings(),
                                               {{kParamPrimaryUrl, std::string(50, 'p')},
                                                {kParamSecondaryUrl, std::string(50, 's')},
                                                {kParamLaneIds, std::string(300, '1')},
                                                {kParamDialPrefix, std::string(24, '9')},
                                                {kParamPassword, std::string(12, 'w')}},
                                               &refused);
    ASSERT_EQ(refused, "");
    auto service = StartService();
    service->SetParams(settings);
    auto client = Client({At(*service)});
    EXPECT_FALSE(client->RetrieveParameters());
    EXPECT_EQ(client->GetLastErrorText(), "Unable to Store Param Settings!");
    EXPECT_EQ(m_Store.GetLastErrorCode(), 10002);
    EXPECT_TRUE(StoreHoldsDefaults());
}

TEST_F(NQMSClientTest, NoHostReachableKeepsTheConnectError) {
    const std::string refusing = hosttest::RefusingHostAndPort(*s_Pki);
    const int port = std::stoi(refusing.substr(10));
    auto client = Client({{"127.0.0.1", port}, {"127.0.0.1", port}});
    EXPECT_FALSE(client->RetrieveParameters());
    EXPECT_EQ(client->GetLastError(), CClientSocket::kConnectFailed);
    EXPECT_EQ(client->GetLastErrorText(), "Socket Error Trying to Connect [3006]");
    EXPECT_TRUE(StoreHoldsDefaults());
}

// --- The service's certificate ---

TEST_F(NQMSClientTest, ServiceMustProveItsNameWithATrustedCertificate) {
    struct Case {
        const char* name;
        TestLeaf leaf;
        const char* hostName;
        uint32_t code;
    };
    const Case cases[] = {
        {"wrong name", TestLeaf::WrongName, "127.0.0.1", kCertCnNoMatch},
        {"name given for an address certificate", TestLeaf::LoopbackIp, "localhost", kCertCnNoMatch},
        {"expired", TestLeaf::Expired, "localhost", kCertExpired},
        {"unknown issuer", TestLeaf::UnknownIssuer, "localhost", kCertChaining},
        {"self-signed", TestLeaf::SelfSigned, "localhost", kCertUntrustedRoot},
        {"client certificate only", TestLeaf::ClientAuthOnly, "localhost", kCertWrongUsage},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto service = StartService(c.leaf);
        // What the Datawire channel's check says of the same service.
        CTlsChannel reference;
        reference.SetVerifyServerCertificate(true);
        ASSERT_FALSE(reference.Connect(c.hostName, service->Port(), 10000, 10000));

        auto client = Client({At(*service, c.hostName)});
        EXPECT_FALSE(client->RetrieveParameters());
        EXPECT_EQ(static_cast<uint32_t>(client->GetLastError()), c.code);
        EXPECT_EQ(client->GetLastErrorText(), reference.GetLastErrorText());
        EXPECT_FALSE(client->IsOpen());
        EXPECT_TRUE(StoreHoldsDefaults());
        // The forged service heard nothing from us: no request, no last message.
        ASSERT_TRUE(service->WaitForSessions(2));
        for (const CNqmsSession& session : service->Sessions()) {
            EXPECT_EQ(session.request, "");
            EXPECT_TRUE(session.laterMessages.empty());
        }
    }
}

TEST_F(NQMSClientTest, ForgedPrimaryIsPassedOverForTheRealSecondary) {
    auto forged = StartService(TestLeaf::WrongName);
    forged->SetParams(CParamSettings());
    auto real = StartService();
    auto client = Client({At(*forged), At(*real)});
    EXPECT_TRUE(client->RetrieveParameters()) << client->GetLastErrorText();
    EXPECT_TRUE(m_Store.GetParams().GetParamMap().Equals(MerchantSettings().GetParamMap()));
}

// --- Framing and texts ---

TEST(NQMSFramingTest, MessageIsCompleteWhenTheBodyHasExactlyTheDeclaredLength) {
    struct Case {
        const char* name;
        std::string text;
        bool complete;
    };
    const Case cases[] = {
        {"exact body", "Content-Length: 5\r\n\r\nabcde", true},
        {"body one short", "Content-Length: 5\r\n\r\nabcd", false},
        {"body one long", "Content-Length: 5\r\n\r\nabcdef", false},
        {"lower-case name", "content-length: 5\r\n\r\nabcde", true},
        {"no blank after the colon", "Content-Length:5\r\n\r\nabcde", true},
        {"no blank after the colon, body not there", "Content-Length:5\r\n\r\n", false},
        {"blanks and a tab", "Content-Length:  \t5\r\n\r\nabcde", true},
        {"other header lines", "X-Service: nqms\r\nContent-Length: 2\r\nX-More: 1\r\n\r\nab", true},
        {"length 0", "Content-Length: 0\r\n\r\n", true},
        {"no length", "X-Service: nqms\r\n\r\n", true},
        {"LF-only lines", "Content-Length: 2\n\nab", true},
        {"header not ended", "Content-Length: 2\r\n", false},
        {"a body line is no header line", "Content-Length: 2\r\n\r\nab\r\nContent-Length: 0\r\n\r\n", false},
        {"huge length", "Content-Length: 99999999999999999999999\r\n\r\nab", false},
        {"empty", "", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CNQMSClient::IsMessageComplete(c.text), c.complete) << c.name;
    }
}

TEST(NQMSFramingTest, ResponseSplitsHeaderLinesFromTheBody) {
    struct Case {
        std::string text;
        bool parsed;
        std::vector<std::string> lines;
        std::string body;
    };
    const Case cases[] = {
        {"Content-Length: 6\r\n\r\nAB\r\nCD", true, {"Content-Length: 6"}, "AB\r\nCD"},
        {"A\r\nB\n\nbody\n\nmore", true, {"A", "B"}, "body\n\nmore"},
        {"Content-Length: 0\r\n\r\n", false, {"Content-Length: 0"}, ""},
        {"\r\nbody", false, {}, "body"},
        {"only a line", false, {"only a line"}, ""},
        {"", false, {}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        CNQMSResponse response;
        EXPECT_EQ(response.Parse(c.text), c.parsed);
        EXPECT_EQ(response.GetStatus(), c.parsed ? 200 : 0);
        std::list<std::string> lines = {"left over"};
        std::string body = "left over";
        EXPECT_EQ(CNQMSResponse::SplitLines(c.text, lines, body), static_cast<int>(c.lines.size()));
        EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.end()), c.lines);
        EXPECT_EQ(body, c.body);
        if (c.parsed) {
            EXPECT_EQ(response.GetBody(), c.body);
        }
    }
}

TEST(NQMSFramingTest, FrameMessageNeedsTwoCharacters) {
    CNQMSClient client("device");
    EXPECT_FALSE(client.FrameMessage(""));
    EXPECT_FALSE(client.FrameMessage("K"));
    EXPECT_TRUE(client.FrameMessage("OK"));
    EXPECT_EQ(client.GetOutgoingMessage(), "Content-Length: 2\r\n\r\nOK");
}

TEST(NQMSTextTest, UrlEncodeKeepsLettersAndDigitsOnly) {
    EXPECT_EQ(UrlEncode("Az09"), "Az09");
    EXPECT_EQ(UrlEncode("a b/c"), "a+b%2fc");
    EXPECT_EQ(UrlEncode("Content-Length: 5\r\n"), "Content%2dLength%3a+5%0d%0a");
    EXPECT_EQ(UrlEncode(std::string("\x1c\x7f\xe9\0", 4)), "%1c%7f%e9%00");
    EXPECT_EQ(UrlEncode(""), "");
}

TEST(NQMSTextTest, ServiceHostsFromTheVariableOrOurs) {
    struct Case {
        std::string text;
        std::vector<CServiceHost> hosts;
    };
    const Case cases[] = {
        {"127.0.0.1:8443", {{"127.0.0.1", 8443}}},
        {"a.example:1, b.example", {{"a.example", 1}, {"b.example", 443}}},
        {" a.example , ,b.example:2,c.example:3", {{"a.example", 443}, {"b.example", 2}}},
        {"a.example:99999", {{"a.example:99999", 443}}},
        {"", {}},
        {" , ", {}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ParseServiceHosts(c.text), c.hosts) << c.text;
    }
    {
        CScopedEnvironmentVariable none(kNqmsHostsVariable, nullptr);
        EXPECT_EQ(ManagementServiceHosts(),
                  (std::vector<CServiceHost>{{"nqms1.kestrove.com", 443}, {"nqms2.kestrove.com", 443}}));
    }
    CScopedEnvironmentVariable moved(kNqmsHostsVariable, "127.0.0.1:7001,localhost:7002");
    EXPECT_EQ(ManagementServiceHosts(), (std::vector<CServiceHost>{{"127.0.0.1", 7001}, {"localhost", 7002}}));
    EXPECT_EQ(CNQMSClient("device").GetHosts(), ManagementServiceHosts());
}
