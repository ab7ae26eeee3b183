// A POS request's whole road over real sockets and real TLS on loopback: POS client -> POS server -> transaction
// queue -> host interface -> discovered provider -> host simulator -> back to the client. Each test checks the
// decrypted reply the client gets and the host message the simulated card host got.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/CardDataScan.h"
#include "common/FileSizeLimit.h"
#include "common/LogFolder.h"
#include "common/TempDir.h"
#include "common/Wait.h"
#include "foundation/Logger.h"
#include "host/ServiceProviderList.h"
#include "peers/CardDataLife.h"
#include "peers/EndToEndFixture.h"
#include "transaction/ReversalJournal.h"
#include "transaction/TransactionQueue.h"

namespace {

const std::string kCardA = "6006491111111111";
const std::string kCardB = "6006492222222222";
const std::string kCardC = "6006493333333333";

// Steps of the clock seam towards the end of the Datawire read budget (35 s), and more than the reversal hold.
constexpr uint64_t kTimeoutStepMs = 5000;
constexpr uint64_t kPastReversalHoldMs = 37000;

class EndToEndTest : public ::testing::Test {
protected:
    // Builds the world; |script| runs on the simulator before the server side starts.
    void StartWorld(CEndToEndOptions options = CEndToEndOptions(),
                    const std::function<void(CHostSimulator&)>& script = {}) {
        m_World = std::make_unique<CEndToEndWorld>(std::move(options));
        if (script) {
            script(m_World->Simulator());
        }
        ASSERT_TRUE(m_World->Start()) << m_World->LastError();
    }

    void TearDown() override {
        if (m_World) {
            for (const std::string& problem : m_World->Simulator().Problems()) {
                ADD_FAILURE() << "the simulator found: " << problem;
            }
            m_World->Stop();
            m_World.reset();
        }
    }

    std::unique_ptr<CPosClient> Lane() {
        auto lane = m_World->NewLane();
        EXPECT_NE(lane, nullptr) << m_World->LastError();
        return lane;
    }

    // The one provider the server sends to first.
    int FirstProvider() {
        std::string url;
        if (!g_ServiceProviderList.GetCurrent(url)) {
            return -1;
        }
        for (int i = 0; i < m_World->Simulator().ProviderCount(); ++i) {
            if (url == m_World->Simulator().ProviderUrl(i).substr(8)) {
                return i;
            }
        }
        return -1;
    }

    // Moves the clock on in steps until |lane|'s next reply comes, so a wait that started a little after the test
    // looked (the read budget begins once the request is out) still ends. True when the reply came.
    bool JumpUntilReply(CPosClient& lane, SPosReply* reply) {
        for (int step = 0; step < 40; ++step) {
            m_World->Jump(kTimeoutStepMs);
            if (lane.ReadReply(reply, 40)) {
                return true;
            }
        }
        return false;
    }

    std::unique_ptr<CEndToEndWorld> m_World;
};

// One step of a card's life and what the client and the host must see.
struct TranStep {
    const char* tranCode;
    std::string account;
    std::string track2;     // a swiped request instead of the account
    std::string purchase;   // "" sends none
    int authOf;             // a void names the AuthCode of this earlier step; -1 none
    const char* hostType;   // field "40" the host must get
    const char* hostAmount; // field "04" the host must get; nullptr: none
    const char* authorize;  // Authorize of the reply
    const char* balance;    // Balance of the reply
    int64_t hostBalance;    // cents the card holds afterwards
};

TEST_F(EndToEndTest, EveryTranCodeTravelsToTheHostAndBack) {
    StartWorld();
    auto lane = Lane();
    ASSERT_NE(lane, nullptr);
    const std::vector<TranStep> steps = {
        {"Issue", kCardA, "", "50.00", -1, "0100", "5000", "50.00", "50.00", 5000},
        {"Balance", kCardA, "", "", -1, "0400", nullptr, "0.00", "50.00", 5000},
        {"Sale", kCardA, "", "12.50", -1, "0200", "1250", "12.50", "37.50", 3750},
        {"VoidSale", kCardA, "", "12.50", 2, "0800", "1250", "12.50", "50.00", 5000},
        {"Return", kCardA, "", "5.00", -1, "0300", "500", "5.00", "55.00", 5500},
        {"VoidReturn", kCardA, "", "5.00", 4, "0801", "500", "5.00", "50.00", 5000},
        {"Reload", kCardA, "", "20.00", -1, "0300", "2000", "20.00", "70.00", 7000},
        {"VoidReload", kCardA, "", "20.00", 6, "0801", "2000", "20.00", "50.00", 5000},
        {"NoNSFSale", kCardA, "", "60.00", -1, "0202", "6000", "50.00", "0.00", 0},
        {"Reload", kCardA, "", "30.00", -1, "0300", "3000", "30.00", "30.00", 3000},
        {"CashOut", kCardA, "", "0.00", -1, "0600", nullptr, "30.00", "0.00", 0},
        {"Issue", kCardB, "", "10.00", -1, "0100", "1000", "10.00", "10.00", 1000},
        {"VoidIssue", kCardB, "", "10.00", 11, "0802", "1000", "10.00", "0.00", 0},
        {"Issue", kCardC, "", "25.00", -1, "0100", "2500", "25.00", "25.00", 2500},
        {"Sale", "", kCardC + "=2512101123", "5.00", -1, "0200", "500", "5.00", "20.00", 2000},
    };
    std::vector<std::string> authCodes;
    for (size_t i = 0; i < steps.size(); ++i) {
        const TranStep& step = steps[i];
        SCOPED_TRACE(std::to_string(i) + " " + step.tranCode);
        SPosRequest request =
            CEndToEndWorld::Request(step.tranCode, step.account, step.purchase, std::to_string(2000 + i));
        request.track2 = step.track2;
        if (step.authOf >= 0) {
            request.authCode = authCodes.at(static_cast<size_t>(step.authOf));
        }
        SPosReply queued;
        SPosReply reply;
        ASSERT_TRUE(m_World->Transact(*lane, request, &reply, &queued)) << m_World->LastError();
        EXPECT_EQ(queued.cmdStatus, "Success");
        ASSERT_TRUE(reply.encrypted && reply.decrypted) << reply.frame;
        EXPECT_EQ(reply.responseOrigin, "Processor");
        EXPECT_EQ(reply.returnCode, 0);
        EXPECT_EQ(reply.cmdStatus, "Approved") << reply.document;
        EXPECT_EQ(reply.textResponse, "");
        EXPECT_EQ(reply.traceData, "Lane01");

        ASSERT_EQ(m_World->Host().ExchangeCount(), i + 1);
        const CHostExchange exchange = m_World->Host().Exchanges().back();
        CHostRequestMessage message;
        std::string problem;
        ASSERT_TRUE(CHostRequestMessage::Decode(exchange.request, &message, &problem)) << problem;
        const std::string account = step.track2.empty() ? step.account : kCardC;
        EXPECT_EQ(message.m_MerchantId, kE2eMerchantId);
        EXPECT_EQ(message.m_Type, step.hostType);
        EXPECT_EQ(message.m_Account, account);
        EXPECT_EQ(message.m_Swiped, !step.track2.empty());
        if (!step.track2.empty()) {
            EXPECT_EQ(message.m_Track2, step.track2);
        }
        EXPECT_EQ(message.m_TerminalId, kE2eTerminalId);
        EXPECT_EQ(message.m_AltMerchantId, kE2eAltMerchantId);
        EXPECT_EQ(message.m_Operator, "clerk7  ");
        EXPECT_EQ(message.m_Invoice, std::to_string(2000 + i));
        EXPECT_EQ(message.m_RefNo, std::string(step.tranCode) == "Issue" ? "R" + std::to_string(2000 + i) : "");
        EXPECT_EQ(message.m_HasAmount, step.hostAmount != nullptr);
        if (step.hostAmount != nullptr) {
            EXPECT_EQ(std::to_string(message.m_AmountCents), step.hostAmount);
        }
        EXPECT_EQ(message.m_CurrencyField, "C0840");
        EXPECT_EQ(exchange.responseCode, "00");
        EXPECT_EQ(m_World->Host().Balance(account), step.hostBalance);

        const std::string& doc = reply.document;
        EXPECT_EQ(XmlElement(doc, "MerchantID"), kE2eMerchantId);
        EXPECT_EQ(XmlElement(doc, "TerminalID"), "01");
        EXPECT_EQ(XmlElement(doc, "AcctNo"), "XXXXXXXXXXXX" + account.substr(12));
        EXPECT_EQ(XmlElement(doc, "ExpDate"), step.track2.empty() ? "" : "XXXX");
        EXPECT_EQ(XmlElement(doc, "CardType"), "PrePaid");
        EXPECT_EQ(XmlElement(doc, "TranCode"), step.tranCode);
        EXPECT_EQ(XmlElement(doc, "AuthCode"), exchange.authCode);
        EXPECT_EQ(XmlElement(doc, "CaptureStatus"), "Captured");
        EXPECT_EQ(XmlElement(doc, "RefNo"), account.substr(0, 12) + "****");
        EXPECT_EQ(XmlElement(doc, "VLinkRefNo"), "************" + account.substr(12));
        EXPECT_EQ(XmlElement(doc, "InvoiceNo"), std::to_string(2000 + i));
        EXPECT_EQ(XmlElement(doc, "Purchase"), step.purchase.empty() ? "0.00" : step.purchase);
        EXPECT_EQ(XmlElement(doc, "Authorize"), step.authorize);
        EXPECT_EQ(XmlElement(doc, "Balance"), step.balance);
        EXPECT_EQ(XmlElement(doc, "IssueCurrency"), "");
        authCodes.push_back(XmlElement(doc, "AuthCode"));
    }
    // Each send drew its own STAN, and the view heard of every exchange.
    std::vector<std::string> refs;
    for (int p = 0; p < m_World->Simulator().ProviderCount(); ++p) {
        for (const CDatawireRequest& r : m_World->Simulator().Provider(p).Requests()) {
            if (r.kind == DatawireRequestKind::Transaction) {
                refs.push_back(r.clientRef);
            }
        }
    }
    std::sort(refs.begin(), refs.end());
    EXPECT_EQ(std::adjacent_find(refs.begin(), refs.end()), refs.end());
    EXPECT_EQ(refs.size(), steps.size());
    EXPECT_EQ(m_World->View().Count(WM_SENDING_AUTH), static_cast<int>(steps.size()));
    EXPECT_EQ(m_World->View().Count(WM_AUTH_RESPONSE), static_cast<int>(steps.size()));
}

struct DeclineCase {
    const char* name;
    std::string forced; // response code the host is made to give; "" lets the account rules decline
    std::string purchase;
    const char* text;
};

TEST_F(EndToEndTest, DeclinesCarryTheHostsResponseText) {
    StartWorld();
    m_World->Host().AddCard(kCardA, 1000);
    auto lane = Lane();
    ASSERT_NE(lane, nullptr);
    const std::vector<DeclineCase> cases = {
        {"insufficient funds", "", "20.00", "01:INSUFFICIENT FUNDS"},
        {"expired card", "05", "1.00", "05:EXPIRED CARD"},
        {"code without a text", "13", "1.00", "13:UNKNOWN RESPONSE CODE"},
    };
    for (const DeclineCase& c : cases) {
        SCOPED_TRACE(c.name);
        m_World->Host().ForceResponse(kCardA, c.forced);
        SPosReply reply;
        ASSERT_TRUE(m_World->Transact(*lane, CEndToEndWorld::Request("Sale", kCardA, c.purchase), &reply))
            << m_World->LastError();
        ASSERT_TRUE(reply.decrypted);
        EXPECT_EQ(reply.cmdStatus, "Declined");
        EXPECT_EQ(reply.textResponse, c.text);
        EXPECT_EQ(XmlElement(reply.document, "CaptureStatus"), "NotCaptured");
        EXPECT_EQ(XmlElement(reply.document, "AuthCode"), "");
        EXPECT_EQ(XmlElement(reply.document, "Balance"), "10.00");
    }
    EXPECT_EQ(m_World->Host().Balance(kCardA), 1000);
}

TEST_F(EndToEndTest, OptionalFieldsFollowTheRequestAndTheMerchantCurrency) {
    CEndToEndOptions options;
    options.merchantCurrency = "2";
    StartWorld(options);
    m_World->Host().AddCard(kCardA, 700);
    auto lane = Lane();
    ASSERT_NE(lane, nullptr);
    SPosRequest request = CEndToEndWorld::Request("Balance", kCardA, "", "A17");
    request.operatorId.clear();
    SPosReply reply;
    ASSERT_TRUE(m_World->Transact(*lane, request, &reply));
    EXPECT_EQ(reply.cmdStatus, "Approved");
    EXPECT_EQ(XmlElement(reply.document, "InvoiceNo"), "A17");
    ASSERT_EQ(m_World->Host().ExchangeCount(), 1u);
    CHostRequestMessage message;
    std::string problem;
    ASSERT_TRUE(CHostRequestMessage::Decode(m_World->Host().Exchanges()[0].request, &message, &problem)) << problem;
    EXPECT_FALSE(message.Has("15")); // an invoice with a letter stays out
    EXPECT_EQ(message.m_Operator, "        ");
    EXPECT_EQ(message.m_CurrencyField, "C00");
    EXPECT_FALSE(message.m_HasAmount);
}

TEST_F(EndToEndTest, IssueCurrencyFieldsReachTheReply) {
    StartWorld();
    m_World->Host().AddCard(kCardA, 2000);
    m_World->Host().SetIssueCurrency(kCardA, "124", 13500, "1.3500");
    auto lane = Lane();
    ASSERT_NE(lane, nullptr);
    SPosReply reply;
    ASSERT_TRUE(m_World->Transact(*lane, CEndToEndWorld::Request("Sale", kCardA, "10.00"), &reply));
    EXPECT_EQ(reply.cmdStatus, "Approved");
    EXPECT_EQ(XmlElement(reply.document, "IssueCurrency"), "CAD");
    EXPECT_EQ(XmlElement(reply.document, "IssueCurrencyPreviousBalance"), "27.00");
    EXPECT_EQ(XmlElement(reply.document, "IssueCurrencyEndingBalance"), "13.50");
    EXPECT_EQ(XmlElement(reply.document, "ExchangeRate"), "1.3500");
}

TEST_F(EndToEndTest, SaleThatTimesOutIsReversedAfterMoreThan35Seconds) {
    CEndToEndOptions options;
    options.simulator.providers = 1;
    StartWorld(options, [](CHostSimulator& simulator) {
        CProviderScript script;
        script.fault = ProviderFault::Timeout;
        script.count = 1; // the host books the Sale, its answer never comes; the reversal is answered
        simulator.ScriptProvider(0, script);
    });
    m_World->Host().AddCard(kCardA, 10000);
    auto lane = Lane();
    ASSERT_NE(lane, nullptr);
    ASSERT_TRUE(lane->SendRequest(CEndToEndWorld::Request("Sale", kCardA, "40.00")));
    SPosReply reply;
    ASSERT_TRUE(lane->ReadReply(&reply));
    EXPECT_EQ(reply.textResponse.rfind("Queued:", 0), 0u);
    ASSERT_TRUE(m_World->Simulator().WaitForExchanges(1));
    EXPECT_EQ(m_World->Host().Balance(kCardA), 6000);

    ASSERT_TRUE(JumpUntilReply(*lane, &reply));
    EXPECT_FALSE(reply.encrypted);
    EXPECT_EQ(reply.returnCode, 4003);
    EXPECT_EQ(reply.cmdStatus, "Error");
    EXPECT_FALSE(reply.textResponse.empty());

    ASSERT_TRUE(m_World->Simulator().WaitForExchanges(2)) << "no reversal reached the host";
    const auto exchanges = m_World->Host().Exchanges();
    const CHostExchange& sale = exchanges[0];
    const CHostExchange& reversal = exchanges[1];
    CHostRequestMessage saleMessage, reversalMessage;
    std::string problem;
    ASSERT_TRUE(CHostRequestMessage::Decode(sale.request, &saleMessage, &problem)) << problem;
    ASSERT_TRUE(CHostRequestMessage::Decode(reversal.request, &reversalMessage, &problem)) << problem;
    EXPECT_EQ(reversalMessage.m_Type, "0704");
    EXPECT_EQ(reversalMessage.m_OrigType, "0200");
    EXPECT_EQ(reversal.request.substr(reversal.request.size() - 7), std::string(1, 0x1C) + "F60200");
    EXPECT_EQ(reversalMessage.m_Time, saleMessage.m_Time);
    EXPECT_EQ(reversalMessage.m_Date, saleMessage.m_Date);
    EXPECT_EQ(reversalMessage.m_AmountCents, 4000);
    EXPECT_EQ(reversalMessage.m_Account, kCardA);
    // Held back until more than 35 whole seconds of the clock seam had passed since the Sale.
    EXPECT_GT(reversal.receivedTickMs - sale.receivedTickMs, 35000u);
    EXPECT_EQ(reversal.responseCode, "00");
    EXPECT_EQ(m_World->Host().Balance(kCardA), 10000);
    EXPECT_TRUE(m_World->WaitForLog("Completed Reversal"));
    const std::string log = m_World->LogText();
    EXPECT_NE(log.find("-- because of TIMEOUT (IP) from Datawire."), std::string::npos);
}

TEST_F(EndToEndTest, BalanceThatTimesOutIsNotReversed) {
    CEndToEndOptions options;
    options.simulator.providers = 1;
    StartWorld(options, [](CHostSimulator& simulator) {
        CProviderScript script;
        script.fault = ProviderFault::Timeout;
        script.count = 1;
        simulator.ScriptProvider(0, script);
    });
    m_World->Host().AddCard(kCardA, 1500);
    auto lane = Lane();
    ASSERT_NE(lane, nullptr);
    ASSERT_TRUE(lane->SendRequest(CEndToEndWorld::Request("Balance", kCardA, "")));
    SPosReply reply;
    ASSERT_TRUE(lane->ReadReply(&reply));
    ASSERT_TRUE(m_World->Simulator().WaitForExchanges(1));
    ASSERT_TRUE(JumpUntilReply(*lane, &reply));
    EXPECT_EQ(reply.returnCode, 4003);

    // Long past any reversal hold, nothing more reaches the host.
    m_World->Jump(kPastReversalHoldMs);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(m_World->Host().ExchangeCount(), 1u);
    EXPECT_EQ(g_ReversalQueue.GetCount(), 0);
    EXPECT_TRUE(CReversalJournal::Instance().Entries().empty());
    EXPECT_EQ(m_World->LogText().find("Adding Reversal"), std::string::npos);
}

TEST_F(EndToEndTest, RefusingProviderIsDroppedAndTheNextOneUsed) {
    StartWorld();
    m_World->Host().AddCard(kCardA, 5000);
    const int first = FirstProvider();
    ASSERT_GE(first, 0);
    const int second = 1 - first;
    m_World->Simulator().StopProvider(first);

    auto lane = Lane();
    ASSERT_NE(lane, nullptr);
    SPosReply reply;
    ASSERT_TRUE(m_World->Transact(*lane, CEndToEndWorld::Request("Sale", kCardA, "10.00"), &reply));
    EXPECT_EQ(reply.cmdStatus, "Approved");
    ASSERT_EQ(m_World->Host().ExchangeCount(), 1u);
    EXPECT_EQ(m_World->Host().Exchanges()[0].provider, second);
    EXPECT_EQ(g_ServiceProviderList.GetProviders(),
              std::vector<std::string>{m_World->Simulator().ProviderUrl(second).substr(8)});
    EXPECT_NE(m_World->LogText().find("RuvuzUvir/Datawire/Connect (Trying Next Host) ERROR->"), std::string::npos);

    // The next Sale goes to the remaining provider at once.
    ASSERT_TRUE(m_World->Transact(*lane, CEndToEndWorld::Request("Sale", kCardA, "1.00", "1002"), &reply));
    EXPECT_EQ(reply.cmdStatus, "Approved");
    EXPECT_EQ(CountOf(m_World->LogText(), "(Trying Next Host)"), 1u);
    EXPECT_EQ(m_World->Host().Balance(kCardA), 3900);
}

TEST_F(EndToEndTest, AllProvidersGoneRequestsDiscoveryAndAnswersHostError) {
    StartWorld();
    m_World->Host().AddCard(kCardA, 5000);
    const int discoveriesBefore = m_World->Simulator().DiscoveriesAt(0) + m_World->Simulator().DiscoveriesAt(1);
    m_World->Simulator().StopProvider(0);
    m_World->Simulator().StopProvider(1);

    auto lane = Lane();
    ASSERT_NE(lane, nullptr);
    SPosReply reply;
    ASSERT_TRUE(m_World->Transact(*lane, CEndToEndWorld::Request("Sale", kCardA, "10.00"), &reply));
    EXPECT_FALSE(reply.encrypted);
    EXPECT_EQ(reply.returnCode, 4003);
    EXPECT_EQ(reply.cmdStatus, "Error");
    EXPECT_FALSE(reply.textResponse.empty());
    EXPECT_NE(m_World->LogText().find("Service Provider list exhausted; requesting new Service Discovery"),
              std::string::npos);
    // The discovery thread took the request and asked a discovery host again; the providers it named answer no
    // ping, so the list stays empty.
    WaitUntil(
        [&] {
            return m_World->Simulator().DiscoveriesAt(0) + m_World->Simulator().DiscoveriesAt(1) > discoveriesBefore;
        },
        2000, 10);
    EXPECT_GT(m_World->Simulator().DiscoveriesAt(0) + m_World->Simulator().DiscoveriesAt(1), discoveriesBefore);
    EXPECT_TRUE(g_ServiceProviderList.IsEmpty());
    // A connection that never came up leaves nothing to reverse.
    EXPECT_EQ(m_World->Host().ExchangeCount(), 0u);
    EXPECT_EQ(m_World->LogText().find("Adding Reversal"), std::string::npos);
}

TEST_F(EndToEndTest, SaleWhoseReversalCannotBeJournalledIsRefusedAndNeverSent) {
    // A journal larger than the log grows in this test (lines kept for the operator), so that a limit on the size
    // of files, just above it, is a full disk for the journal alone.
    std::string kept;
    for (int i = 0; i < 256; ++i) {
        kept += kDamagedLinePrefix + std::string(1000, 'k') + "\n";
    }
    CEndToEndOptions options;
    options.simulator.providers = 1;
    StartWorld(options, [&](CHostSimulator&) { WriteFileBytes(m_World->Folder() / kReversalJournalFileName, kept); });
    m_World->Host().AddCard(kCardA, 5000);
    auto lane = Lane();
    ASSERT_NE(lane, nullptr);
    SPosReply reply;
    {
        CFileSizeLimit diskFull(kept.size() + 100);
        ASSERT_TRUE(diskFull.Set());
        ASSERT_TRUE(m_World->Transact(*lane, CEndToEndWorld::Request("Sale", kCardA, "10.00", "7001"), &reply));
    }
    EXPECT_EQ(reply.returnCode, 4003);
    EXPECT_EQ(reply.textResponse, kJournalNotWrittenText);
    EXPECT_EQ(m_World->Host().ExchangeCount(), 0u);
    EXPECT_EQ(m_World->Host().Balance(kCardA), 5000);
    EXPECT_TRUE(CReversalJournal::Instance().Entries().empty());
    EXPECT_NE(m_World->LogText().find("Reversal journal could not be written: cannot append to Reversals.dat: File "
                                      "too large"),
              std::string::npos);

    // With room again the next Sale goes to the host, and nothing of the refused one is ever reversed.
    ASSERT_TRUE(m_World->Transact(*lane, CEndToEndWorld::Request("Sale", kCardA, "10.00", "7002"), &reply));
    EXPECT_EQ(reply.returnCode, 0);
    EXPECT_EQ(m_World->Host().Balance(kCardA), 4000);
    m_World->Jump(kPastReversalHoldMs);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(m_World->Host().ExchangeCount(), 1u);
    EXPECT_EQ(m_World->LogText().find("Adding Reversal"), std::string::npos);
}

TEST_F(EndToEndTest, ClientGoneBeforeApprovedSaleIsAnsweredLeadsToReversal) {
    CEndToEndOptions options;
    options.simulator.providers = 1;
    StartWorld(options, [](CHostSimulator& simulator) {
        CProviderScript script;
        script.delayMs = 200; // the lane is gone before the answer comes
        script.count = 1;
        simulator.ScriptProvider(0, script);
    });
    m_World->Host().AddCard(kCardA, 8000);
    auto lane = Lane();
    ASSERT_NE(lane, nullptr);
    ASSERT_TRUE(lane->SendRequest(CEndToEndWorld::Request("Sale", kCardA, "30.00")));
    SPosReply reply;
    ASSERT_TRUE(lane->ReadReply(&reply));
    EXPECT_EQ(reply.textResponse.rfind("Queued:", 0), 0u);
    lane->Close();

    ASSERT_TRUE(m_World->Simulator().WaitForExchanges(1));
    EXPECT_EQ(m_World->Host().Balance(kCardA), 5000);
    ASSERT_TRUE(m_World->WaitForLog("-- because UndeliverableToClient"));
    m_World->Jump(kPastReversalHoldMs);
    ASSERT_TRUE(m_World->Simulator().WaitForExchanges(2)) << "no reversal reached the host";
    const CHostExchange reversal = m_World->Host().Exchanges()[1];
    EXPECT_EQ(reversal.type, "0704");
    EXPECT_EQ(reversal.origType, "0200");
    EXPECT_EQ(reversal.responseCode, "00");
    EXPECT_EQ(m_World->Host().Balance(kCardA), 8000);
}

TEST_F(EndToEndTest, AbortRequestAbortsTheSameClientsWaitingTransactions) {
    StartWorld();
    m_World->Host().AddCard(kCardA, 9000);
    m_World->Host().AddCard(kCardB, 9000);
    auto laneA = Lane();
    auto laneB = Lane();
    ASSERT_TRUE(laneA && laneB);

    // One host exchange at a time, and lane B's Sale holds it at the host: lane A's Sales wait in the queue
    // for a worker, so the abort finds them still queued (an added transaction is taken at once otherwise).
    m_World->Interface().SetMaxHostWorkers(1);
    std::atomic<bool> release{false};
    for (int p = 0; p < m_World->Simulator().ProviderCount(); ++p) {
        m_World->Simulator().Provider(p).SetRequestHook([&release](const CDatawireRequest& request, CDatawireAnswer*) {
            if (request.kind == DatawireRequestKind::Transaction) {
                WaitUntil([&release] { return release.load(); }, 20000);
            }
        });
    }
    SPosReply reply;
    ASSERT_TRUE(laneB->SendRequest(CEndToEndWorld::Request("Sale", kCardB, "3.00", "3003")));
    ASSERT_TRUE(laneB->ReadReply(&reply));
    ASSERT_TRUE(WaitUntil([this] { return m_World->Interface().GetWorkerCount() == 1; }));
    ASSERT_TRUE(laneA->SendRequest(CEndToEndWorld::Request("Sale", kCardA, "1.00", "3001")));
    ASSERT_TRUE(laneA->ReadReply(&reply));
    ASSERT_TRUE(laneA->SendRequest(CEndToEndWorld::Request("Sale", kCardA, "2.00", "3002")));
    ASSERT_TRUE(laneA->ReadReply(&reply));
    ASSERT_TRUE(laneA->SendAbort());
    WaitUntil([] { return g_TransactionQueue.GetCount() >= 4; }, 2000, 5);
    ASSERT_EQ(g_TransactionQueue.GetCount(), 4);

    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(laneA->ReadReply(&reply)) << laneA->LastError();
        EXPECT_FALSE(reply.encrypted);
        EXPECT_EQ(reply.returnCode, 1010);
        EXPECT_EQ(reply.textResponse, "User Abort.");
    }
    release = true;
    ASSERT_TRUE(laneB->ReadReply(&reply));
    EXPECT_EQ(reply.cmdStatus, "Approved");
    ASSERT_EQ(m_World->Host().ExchangeCount(), 1u);
    EXPECT_EQ(m_World->Host().Exchanges()[0].account, kCardB);
    EXPECT_EQ(m_World->Host().Balance(kCardA), 9000);
}

struct DatawireFailureCase {
    const char* name;
    ProviderFault fault;
    std::string word;   // status word or ReturnCode
    const char* text;   // the 4003 text the client gets
    const char* reason; // the reversal reason, nullptr when none is queued
};

TEST_F(EndToEndTest, DatawireFailuresAfterTheSendDecideTheReversal) {
    CEndToEndOptions options;
    options.simulator.providers = 1;
    StartWorld(options);
    m_World->Host().AddCard(kCardA, 50000);
    auto lane = Lane();
    ASSERT_NE(lane, nullptr);
    const std::vector<DatawireFailureCase> cases = {
        {"status Timeout", ProviderFault::StatusWord, "Timeout", "DW:50011 Response Timed Out (DataWire)",
         "-- because of 11 error from datawire."},
        {"status AuthenticationError", ProviderFault::StatusWord, "AuthenticationError",
         "DW:50013 Authentication Error Check MID TID", nullptr},
        {"ReturnCode 50205", ProviderFault::ReturnCode, "50205", "DW:50205 No Response (Datawire)",
         "-- because of 205 error from datawire."},
        {"server closes after the request", ProviderFault::CloseAfterRequest, "", nullptr,
         "-- because of TIMEOUT (IP) from Datawire."},
    };
    int invoice = 4000;
    for (const DatawireFailureCase& c : cases) {
        SCOPED_TRACE(c.name);
        CProviderScript script;
        script.fault = c.fault;
        script.statusWord = c.word;
        script.returnCode = c.word;
        script.count = 1;
        m_World->Simulator().ScriptProvider(0, script);
        const size_t before = m_World->Host().ExchangeCount();
        const size_t reasonsBefore = c.reason == nullptr ? 0 : CountOf(m_World->LogText(), c.reason);
        SPosReply reply;
        ASSERT_TRUE(m_World->Transact(*lane, CEndToEndWorld::Request("Sale", kCardA, "1.00", std::to_string(++invoice)),
                                      &reply));
        EXPECT_EQ(reply.returnCode, 4003);
        if (c.text != nullptr) {
            EXPECT_EQ(reply.textResponse, c.text);
        }
        m_World->Jump(kPastReversalHoldMs);
        if (c.reason != nullptr) {
            ASSERT_TRUE(m_World->Simulator().WaitForExchanges(before + 2)) << "no reversal reached the host";
            EXPECT_EQ(m_World->Host().Exchanges()[before + 1].type, "0704");
            EXPECT_EQ(CountOf(m_World->LogText(), c.reason), reasonsBefore + 1);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            EXPECT_EQ(m_World->Host().ExchangeCount(), before + 1);
        }
    }
    // Every Sale the host booked was either reversed or never booked.
    EXPECT_EQ(m_World->Host().Balance(kCardA), 50000 - 100);
}

// Fails for every file of |folder| that holds one of |secrets|.
void ExpectNoCardDataIn(const std::filesystem::path& folder, const std::vector<std::string>& secrets) {
    EXPECT_GE(FileCountUnder(folder), 4u); // the log, the journal, its key, the STAN file at least
    for (const std::string& found : CardDataFoundIn(folder, secrets, kReversalJournalFileName)) {
        ADD_FAILURE() << found;
    }
}

TEST_F(EndToEndTest, NoCardNumberTrackOrCvvIsWrittenToAnyFileButSealedInTheJournal) {
    CEndToEndOptions options;
    options.simulator.providers = 1;
    StartWorld(options);
    auto lane = Lane();
    ASSERT_NE(lane, nullptr);
    for (const std::string& problem : RunCardDataLife(*lane)) {
        ADD_FAILURE() << problem;
    }

    // A Sale the host books and does not answer: it is in doubt in the journal, sealed, while the scan runs.
    CProviderScript hold;
    hold.fault = ProviderFault::Timeout;
    hold.count = 1;
    m_World->Simulator().ScriptProvider(0, hold);
    const SPosRequest held = CardDataRequest("Sale", kLifeKeyedCard, "1.00", "6000");
    const size_t before = m_World->Host().ExchangeCount();
    ASSERT_TRUE(lane->SendRequest(held));
    ASSERT_TRUE(m_World->Simulator().WaitForExchanges(before + 1));
    CReversalJournal fromDisk;
    const std::vector<CJournalEntry> entries = fromDisk.Entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_TRUE(entries[0].inDoubt);
    EXPECT_EQ(entries[0].record.m_Account, kLifeKeyedCard);

    const std::vector<std::string> secrets = CardDataLifeSecrets();
    CLogger::Instance().Flush();
    EXPECT_NE(m_World->LogText().find("Request ->["), std::string::npos);
    ExpectNoCardDataIn(m_World->Folder(), secrets);

    // Stopped with the Sale unanswered: it becomes a pending reversal, still sealed.
    const std::filesystem::path folder = m_World->Folder();
    for (const std::string& problem : m_World->Simulator().Problems()) {
        ADD_FAILURE() << "the simulator found: " << problem;
    }
    m_World->Stop();
    CReversalJournal afterStop;
    ASSERT_EQ(afterStop.Entries().size(), 1u);
    EXPECT_FALSE(afterStop.Entries()[0].inDoubt);
    ExpectNoCardDataIn(folder, secrets);
}

TEST_F(EndToEndTest, ASlowHostHoldsUpNoLaneOfAFullStore) {
    // Every lane the server accepts sends one Sale to a host that takes 5 s over each answer: each request goes to
    // the host at once, so every lane has its reply about one host delay later, and none waits for another's.
    constexpr int kLanes = kPosServerMaxConnections;
    constexpr uint64_t kHostDelayMs = 5000;
    constexpr uint64_t kDeliveryMs = 1000;
    // Real time only bounds a hung test: what the lanes see is measured on the held clock, and a loaded machine
    // may take many seconds over two hundred TLS handshakes.
    constexpr auto kRealBudget = std::chrono::seconds(120);
    CEndToEndOptions options;
    options.simulator.providers = 1;
    options.simulator.backlog = kLanes; // the lanes' host connections come at once
    StartWorld(options, [](CHostSimulator& simulator) {
        CProviderScript script;
        script.clockDelayMs = kHostDelayMs;
        simulator.ScriptProvider(0, script);
    });
    m_World->Host().AddCard(kCardA, 100 * kLanes);
    std::vector<std::unique_ptr<CPosClient>> lanes;
    for (int i = 0; i < kLanes; ++i) {
        lanes.push_back(Lane());
        ASSERT_NE(lanes.back(), nullptr) << "lane " << i;
    }

    // From here the clock moves only when the test says: what the lanes see is measured on it.
    m_World->Clock()->Hold();
    const uint64_t sent = m_World->Clock()->TickMs();
    for (int i = 0; i < kLanes; ++i) {
        ASSERT_TRUE(lanes[i]->SendRequest(CEndToEndWorld::Request("Sale", kCardA, "1.00", std::to_string(5000 + i))));
    }
    for (int i = 0; i < kLanes; ++i) {
        SPosReply queued;
        ASSERT_TRUE(lanes[i]->ReadReply(&queued)) << "lane " << i;
        ASSERT_EQ(queued.textResponse.rfind("Queued:", 0), 0u) << "lane " << i;
    }
    EXPECT_TRUE(WaitUntil([&] { return m_World->Simulator().TransactionsPaused() == kLanes; },
                          static_cast<uint32_t>(std::chrono::milliseconds(kRealBudget).count())))
        << m_World->Simulator().TransactionsPaused() << " of " << kLanes << " requests reached the host";

    std::vector<bool> answered(kLanes, false);
    int approved = 0;
    std::vector<std::string> otherAnswers;
    auto readReplies = [&] {
        const auto deadline = std::chrono::steady_clock::now() + kRealBudget;
        for (int i = 0; i < kLanes; ++i) {
            if (answered[i]) {
                continue;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            SPosReply reply;
            if (lanes[i]->ReadReply(&reply, static_cast<int>(std::max<int64_t>(left.count(), 20)))) {
                answered[i] = true;
                if (reply.cmdStatus == "Approved") {
                    ++approved;
                } else {
                    otherAnswers.push_back("lane " + std::to_string(i) + ": " + std::to_string(reply.returnCode) + " " +
                                           reply.cmdStatus + " " + reply.textResponse);
                }
            }
        }
    };
    m_World->Jump(kHostDelayMs);
    readReplies();
    m_World->Jump(kDeliveryMs);
    readReplies();
    EXPECT_EQ(m_World->Clock()->TickMs() - sent, kHostDelayMs + kDeliveryMs);
    EXPECT_EQ(std::count(answered.begin(), answered.end(), true), kLanes) << "lanes answered within 6 s";
    EXPECT_EQ(approved, kLanes);
    for (const std::string& other : otherAnswers) {
        ADD_FAILURE() << other;
    }
}

TEST_F(EndToEndTest, DiscoveryHostThatIsDownIsPassedOver) {
    CEndToEndOptions options;
    StartWorld(options, [](CHostSimulator& simulator) { simulator.StopDiscoveryHost(0); });
    EXPECT_TRUE(m_World->DiscoverySucceeded());
    EXPECT_EQ(m_World->Simulator().DiscoveriesAt(1), 1);
    // The fast clock's ticks are even, so discovery starts with parameter 7, the host that is down.
    EXPECT_EQ(CountOf(m_World->LogText(),
                      "(Trying Next SD URL) ERROR-> [SD Attempt (" + m_World->Simulator().DiscoveryHost(0) + "): "),
              1u);
    EXPECT_EQ(g_ServiceProviderList.GetProviders().size(), 2u);
    m_World->Host().AddCard(kCardA, 100);
    auto lane = Lane();
    ASSERT_NE(lane, nullptr);
    SPosReply reply;
    ASSERT_TRUE(m_World->Transact(*lane, CEndToEndWorld::Request("Balance", kCardA, ""), &reply));
    EXPECT_EQ(XmlElement(reply.document, "Balance"), "1.00");
}

} // namespace
