#include "host/DatawireTransport.h"

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "HostTestSupport.h"
#include "common/DescriptorExhaustion.h"
#include "common/LogFolder.h"
#include "common/TempDirTest.h"
#include "common/TestClock.h"
#include "foundation/Logger.h"
#include "host/DatawireClient.h"
#include "host/ServiceProviderList.h"
#include "host/ViewSink.h"
#include "peers/DatawireEndpoint.h"
#include "platform/ProcessEvents.h"
#include "transaction/SynchroStanFile.h"
#include "transaction/Transaction.h"

using namespace hosttest;

namespace {
class DatawireTransportTest : public hosttest::TrustedPkiTest<> {
protected:
    void SetUp() override {
        ASSERT_TRUE(s_Pki->Ok());
        PrepareLogFolder();
        g_ShutdownEvent.Reset();
        g_ServiceProviderList.RemoveAll();
        SetMerchantParams({{kParamPrimaryUrl, "0"}, {kParamSecondaryUrl, "0"}});
    }
    void TearDown() override {
        CLogger::Instance().Flush();
        g_ServiceProviderList.RemoveAll();
    }

    std::unique_ptr<CDatawireEndpoint> Endpoint() {
        auto endpoint = std::make_unique<CDatawireEndpoint>(s_Pki->Loopback());
        EXPECT_TRUE(endpoint->Start());
        return endpoint;
    }
    // A ping hook that jumps |clock| by |ms| before the answer goes out, so the round trip is exactly that.
    static void PingTakes(CDatawireEndpoint& endpoint, CTestClock& clock, uint64_t ms) {
        endpoint.SetRequestHook([&clock, ms](const CDatawireRequest& request, CDatawireAnswer*) {
            if (request.kind == DatawireRequestKind::Ping) {
                clock.Advance(ms);
            }
        });
    }
    static std::vector<std::string> KindsOf(const CDatawireEndpoint& endpoint, DatawireRequestKind kind) {
        std::vector<std::string> refs;
        for (const CDatawireRequest& request : endpoint.Requests()) {
            if (request.kind == kind) {
                refs.push_back(request.clientRef);
            }
        }
        return refs;
    }
};
} // namespace

TEST_F(DatawireTransportTest, PingMeasuresTheRoundTripAndNumbersItselfApartFromTheStan) {
    CTestClock clock;
    clock.SetHeldSleep(CTestClock::HeldSleep::Passes);
    CScopedClock scoped(clock);
    auto provider = Endpoint();
    PingTakes(*provider, clock, 37);
    CDatawireTransport transport;
    EXPECT_EQ(transport.PingServer("https://" + provider->HostAndPort() + "/sd"), 37);
    EXPECT_EQ(transport.PingServer(provider->HostAndPort()), 37);
    const std::vector<std::string> refs = KindsOf(*provider, DatawireRequestKind::Ping);
    ASSERT_EQ(refs.size(), 2u);
    EXPECT_NE(refs[0], refs[1]);
    EXPECT_EQ(refs[1].substr(7), "V005006");
    EXPECT_EQ(std::stoi(refs[1].substr(0, 7)), std::stoi(refs[0].substr(0, 7)) + 1);
    EXPECT_FALSE(std::filesystem::exists(kSynchroStanFileName)); // no STAN was drawn
}

TEST_F(DatawireTransportTest, PingFailuresReportTheirCodeAndOrigin) {
    auto provider = Endpoint();
    CDatawireAnswer timeoutWord;
    timeoutWord.statusWord = "Timeout";
    provider->SetAnswer(DatawireRequestKind::Ping, timeoutWord);
    const struct {
        std::string url;
        int code;
        bool datawire;
    } cases[] = {
        {RefusingHostAndPort(*s_Pki) + "/sd", CClientSocket::kConnectFailed, false},
        {provider->HostAndPort() + "/sd", 50011, true},
        {"0", -1, false},
        {"https:///sd", -1, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        CDatawireTransport transport;
        EXPECT_EQ(transport.PingServer(c.url), -1);
        EXPECT_EQ(transport.GetLastResult().m_Code, c.code);
        EXPECT_EQ(transport.GetLastResult().m_IsDatawireStatus, c.datawire);
        EXPECT_FALSE(transport.GetLastResult().m_Detail.empty());
    }
    EXPECT_EQ(provider->ConnectionsAccepted(), 1); // the URLs without a host were never connected to
    EXPECT_EQ(CountLogLines("[PingServer] RuvuzUvir Data/Datawire/Connect ERROR-> [Socket Error Trying to Connect"), 1);
}

TEST_F(DatawireTransportTest, DiscoveryOrdersProvidersByRoundTripAndLeavesOutFailedPings) {
    CTestClock clock;
    clock.SetHeldSleep(CTestClock::HeldSleep::Passes);
    CScopedClock scoped(clock);
    auto slow = Endpoint();
    auto fast = Endpoint();
    auto broken = Endpoint();
    PingTakes(*slow, clock, 30);
    PingTakes(*fast, clock, 10);
    CDatawireAnswer failed;
    failed.statusWord = "Failed";
    broken->SetAnswer(DatawireRequestKind::Ping, failed);
    auto discovery = Endpoint();
    const std::string slowUrl = slow->HostAndPort() + "/sd/slow";
    const std::string fastUrl = fast->HostAndPort() + "/sd";
    discovery->SetProviderUrls({"https://" + slowUrl, "HTTPS://" + broken->HostAndPort() + "/sd", fastUrl});
    SetMerchantParams({{kParamPrimaryUrl, "0"}, {kParamSecondaryUrl, "https://" + discovery->HostAndPort()}});

    CQueuedViewSink view;
    CScopedTrafficView connected(view);
    CDatawireTransport transport;
    ASSERT_TRUE(transport.ServiceDiscovery());
    EXPECT_EQ(g_ServiceProviderList.GetProviders(), (std::vector<std::string>{fastUrl, slowUrl}));
    EXPECT_EQ(view.Take(), (std::vector<EViewMessage>{WM_SENDING_SD_REQUEST, WM_SD_RESPONSE}));
    // The discovery host got "GET /sd/104" and nothing else; each provider one ping.
    ASSERT_EQ(discovery->Requests().size(), 1u);
    EXPECT_EQ(discovery->Requests()[0].kind, DatawireRequestKind::ServiceDiscovery);
    EXPECT_EQ(discovery->Requests()[0].path, "/sd/104");
    EXPECT_EQ(KindsOf(*broken, DatawireRequestKind::Ping).size(), 1u);
    EXPECT_EQ(slow->Requests().at(0).path, "/sd/slow");
}

TEST_F(DatawireTransportTest, AProviderWhosePingCouldNotBeMadeHereStaysListedLast) {
    auto measured = Endpoint();
    auto unmeasured = Endpoint();
    auto failed = Endpoint();
    CDatawireAnswer failedWord;
    failedWord.statusWord = "Failed";
    failed->SetAnswer(DatawireRequestKind::Ping, failedWord);
    // The first ping is answered; from then on this process has no descriptor left, so the second ping
    // cannot even make its socket.
    std::unique_ptr<CDescriptorExhaustion> exhausted;
    measured->SetRequestHook([&exhausted](const CDatawireRequest& request, CDatawireAnswer*) {
        if (request.kind == DatawireRequestKind::Ping) {
            exhausted = std::make_unique<CDescriptorExhaustion>();
        }
    });
    auto discovery = Endpoint();
    const std::vector<std::string> answer = {failed->HostAndPort() + "/sd", measured->HostAndPort() + "/sd",
                                             unmeasured->HostAndPort() + "/sd"};
    discovery->SetProviderUrls(answer);
    SetMerchantParams({{kParamPrimaryUrl, discovery->HostAndPort()}, {kParamSecondaryUrl, discovery->HostAndPort()}});
    CDatawireTransport transport;
    const bool discovered = transport.ServiceDiscovery();
    ASSERT_NE(exhausted, nullptr);
    EXPECT_TRUE(exhausted->Exhausted());
    exhausted.reset();
    ASSERT_TRUE(discovered);
    // The provider that failed its ping is left out; the one this machine could not reach is not.
    EXPECT_EQ(g_ServiceProviderList.GetProviders(), (std::vector<std::string>{answer[1], answer[2]}));
    EXPECT_EQ(unmeasured->ConnectionsAccepted(), 0);
}

TEST_F(DatawireTransportTest, EqualRoundTripsKeepTheOrderOfTheAnswer) {
    CTestClock clock; // no advances: every ping takes exactly 0 ms
    clock.SetHeldSleep(CTestClock::HeldSleep::Passes);
    CScopedClock scoped(clock);
    auto a = Endpoint();
    auto b = Endpoint();
    auto c = Endpoint();
    auto discovery = Endpoint();
    const std::vector<std::string> answer = {c->HostAndPort() + "/sd", a->HostAndPort() + "/sd",
                                             b->HostAndPort() + "/sd"};
    discovery->SetProviderUrls(answer);
    SetMerchantParams({{kParamPrimaryUrl, discovery->HostAndPort()}, {kParamSecondaryUrl, discovery->HostAndPort()}});
    CDatawireTransport transport;
    ASSERT_TRUE(transport.ServiceDiscovery());
    EXPECT_EQ(g_ServiceProviderList.GetProviders(), answer);
}

TEST_F(DatawireTransportTest, DiscoveryStartsWithTheHostTheClockPicksAndAlternates) {
    auto discovery = Endpoint();
    const std::string refusing = RefusingHostAndPort(*s_Pki);
    SetMerchantParams({{kParamPrimaryUrl, refusing}, {kParamSecondaryUrl, discovery->HostAndPort()}});
    for (const uint64_t parity : {0u, 1u}) {
        SCOPED_TRACE(parity);
        CTestClock clock;
        clock.SetHeldSleep(CTestClock::HeldSleep::Passes);
        if ((clock.TickMs() & 1U) != parity) {
            clock.Advance(1);
        }
        CScopedClock scoped(clock);
        const int before = CountLogLines("(Trying Next SD URL) ERROR-> [SD Attempt (" + refusing + "): ");
        CDatawireTransport transport;
        ASSERT_TRUE(transport.ServiceDiscovery());
        // Even: parameter 7 (refusing) first, then 8. Odd: parameter 8 first, so no failed attempt at all.
        EXPECT_EQ(CountLogLines("(Trying Next SD URL) ERROR-> [SD Attempt (" + refusing + "): ") - before,
                  parity == 0 ? 1 : 0);
    }
    EXPECT_EQ(discovery->ConnectionsAccepted(), 4); // one discovery connection and one ping connection, twice
}

TEST_F(DatawireTransportTest, DiscoveryHostsThatFailOrAreUnsetLeaveTheListAsItWas) {
    const std::string refusing = RefusingHostAndPort(*s_Pki);
    auto discovery = Endpoint();
    CDatawireAnswer noSuchService;
    noSuchService.statusWord = "UnknownServiceID";
    auto provider = Endpoint();
    CDatawireAnswer pingFails;
    pingFails.httpStatus = 503;
    provider->SetAnswer(DatawireRequestKind::Ping, pingFails);
    discovery->SetProviderUrls({provider->HostAndPort() + "/sd"});

    const std::vector<std::string> old = {"old.example:1/sd"};
    const struct {
        const char* name;
        std::string primary;
        std::string secondary;
        bool answerFails;
        std::string detail;
    } cases[] = {
        // Both unset: three skipped attempts, nothing connected, an empty accumulated text.
        {"both unset", "0", "0", false, ""},
        {"both refuse", refusing, refusing, false,
         "SD Attempt (" + refusing +
             "): Socket Error Trying to Connect [3006]\r\n"
             "SD Attempt (" +
             refusing +
             "): Socket Error Trying to Connect [3006]\r\n"
             "SD Attempt (" +
             refusing + "): Socket Error Trying to Connect [3006]\r\n"},
        {"discovery answers an error", discovery->HostAndPort(), "0", true, DatawireStatusText(50040)},
        {"no provider answers the ping", "0", discovery->HostAndPort(), false, " HTTP:503"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        g_ServiceProviderList.SetProviders(old);
        discovery->SetAnswer(DatawireRequestKind::ServiceDiscovery, c.answerFails ? noSuchService : CDatawireAnswer());
        SetMerchantParams({{kParamPrimaryUrl, c.primary}, {kParamSecondaryUrl, c.secondary}});
        CDatawireTransport transport;
        EXPECT_FALSE(transport.ServiceDiscovery());
        EXPECT_EQ(transport.GetLastResult().m_Detail, c.detail);
        EXPECT_EQ(g_ServiceProviderList.GetProviders(), old);
    }
    EXPECT_EQ(discovery->ConnectionsAccepted(), 2);
}

TEST_F(DatawireTransportTest, SendTransactionCarriesTheHostMessageUnderTheNextStan) {
    WriteFileBytes(kSynchroStanFileName, "41\r\r\n");
    auto provider = Endpoint();
    provider->SetHostAnswer("SV.ANSWER\x1C"
                            "3900\x1C"
                            "38AUTH01");
    CTransaction transaction;
    transaction.m_HostRequest = "SV.MERCH000001\x1C"
                                "400200\x1C"
                                "04 1.50";
    CDatawireClient client;
    client.SetEndpoint(hosttest::EndpointOf(provider->HostAndPort()));
    client.SetServiceID(kDatawireServiceId);
    ASSERT_TRUE(client.Connect());
    CDatawireTransport transport;
    ASSERT_TRUE(transport.SendTransaction(client, transaction));
    EXPECT_EQ(transport.GetLastResult().m_Text, "SV.ANSWER\x1C"
                                                "3900\x1C"
                                                "38AUTH01");
    EXPECT_FALSE(client.IsOpen());
    const std::vector<CDatawireRequest> requests = provider->Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].clientRef, "0000042V005006");
    EXPECT_EQ(requests[0].hostMessage, transaction.m_HostRequest);
    EXPECT_NE(requests[0].body.find("<ServiceID>104</ServiceID>"), std::string::npos);
    // The file holds the last STAN of the block the process reserved.
    EXPECT_EQ(ReadFileBytes(kSynchroStanFileName), StanFileText(41 + kStanReserveBlock));

    // A failure keeps the code, the text and where it came from.
    CDatawireAnswer timeoutWord;
    timeoutWord.statusWord = "Timeout";
    provider->SetAnswer(DatawireRequestKind::Transaction, timeoutWord);
    ASSERT_TRUE(client.Connect());
    EXPECT_FALSE(transport.SendTransaction(client, transaction));
    EXPECT_EQ(transport.GetLastResult().m_Text, "");
    EXPECT_EQ(transport.GetLastResult().m_Code, 50011);
    EXPECT_EQ(transport.GetLastResult().m_Detail, DatawireStatusText(50011));
    EXPECT_TRUE(transport.GetLastResult().m_IsDatawireStatus);
    EXPECT_FALSE(client.IsAwaitingResponse());
}

TEST_F(DatawireTransportTest, RegistrationIsRetriedWhileDatawireSaysRetryThenActivated) {
    auto service = Endpoint();
    std::atomic<int> registrations{0};
    service->SetRequestHook([&registrations](const CDatawireRequest& request, CDatawireAnswer* answer) {
        if (request.kind == DatawireRequestKind::Registration && ++registrations <= 2) {
            answer->statusWord = "Retry";
        }
    });
    service->SetRegistrationAnswer("NEWDID0001", "https://prov.example.net:9443/sd");
    CQueuedViewSink view;
    CScopedTrafficView connected(view);
    CDatawireTransport transport;
    transport.SetRegistrationRetryDelayMs(5);
    ASSERT_TRUE(transport.MerchantRegistration(service->HostAndPort()));
    EXPECT_EQ(registrations.load(), 3);
    EXPECT_EQ(transport.GetRegisteredDid(), "NEWDID0001");
    EXPECT_EQ(transport.GetRegisteredProviderHost(), "prov.example.net:9443");
    EXPECT_EQ(transport.GetRegisteredProviderPath(), "/sd");
    EXPECT_EQ(service->ConnectionsAccepted(), 3); // closed after each Retry, the activation on the last one
    EXPECT_EQ(KindsOf(*service, DatawireRequestKind::Activation).size(), 1u);
    EXPECT_EQ(view.Take(),
              (std::vector<EViewMessage>{WM_SENDING_REGISTRATION, WM_REGISTRATION_RESPONSE, WM_SENDING_REGISTRATION,
                                         WM_REGISTRATION_RESPONSE, WM_SENDING_REGISTRATION, WM_REGISTRATION_RESPONSE,
                                         WM_SENDING_ACTIVATION, WM_ACTIVATION_RESPONSE}));
}

TEST_F(DatawireTransportTest, RegistrationGivesUpAfterFiveRetriesOrAnUnreachableService) {
    auto service = Endpoint();
    CDatawireAnswer retry;
    retry.statusWord = "Retry";
    service->SetAnswer(DatawireRequestKind::Registration, retry);
    CDatawireAnswer denied;
    denied.statusWord = "AccessDenied";
    service->SetAnswer(DatawireRequestKind::Activation, denied);
    CDatawireTransport transport;
    transport.SetRegistrationRetryDelayMs(1);
    EXPECT_FALSE(transport.MerchantRegistration(service->HostAndPort()));
    EXPECT_EQ(KindsOf(*service, DatawireRequestKind::Registration).size(), 5u);
    EXPECT_EQ(KindsOf(*service, DatawireRequestKind::Activation).size(), 1u);
    EXPECT_EQ(transport.GetLastResult().m_Code, 50058);

    const std::string refusing = RefusingHostAndPort(*s_Pki);
    EXPECT_FALSE(transport.MerchantRegistration(refusing));
    EXPECT_EQ(transport.GetLastResult().m_Code, CClientSocket::kConnectFailed);
    EXPECT_EQ(CountLogLines("[MerchantRegistration] RuvuzUvir Data/Datawire/Connect ERROR-> [(" + refusing + "): "), 1);
}
