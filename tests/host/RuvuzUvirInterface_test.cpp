#include "host/RuvuzUvirInterface.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "HostTestSupport.h"
#include "common/DescriptorExhaustion.h"
#include "common/LogFolder.h"
#include "common/SampleTransaction.h"
#include "common/TempDirTest.h"
#include "common/TestClock.h"
#include "common/Wait.h"
#include "foundation/Logger.h"
#include "foundation/Presenter.h"
#include "host/DatawireClient.h"
#include "host/ServiceProviderList.h"
#include "host/ViewSink.h"
#include "peers/CardHost.h"
#include "peers/DatawireEndpoint.h"
#include "peers/TlsTestServer.h"
#include "platform/ProcessEvents.h"
#include "transaction/CardHelpers.h"
#include "transaction/Replies.h"
#include "transaction/ReversalJournal.h"
#include "transaction/SynchroStanFile.h"
#include "transaction/TransactionQueue.h"

using namespace hosttest;

namespace {
constexpr char kFs = 0x1C;
const std::string kAccount = "6006491234567890";
const std::string kClientA = "127.0.0.1 #1";
const std::string kClientB = "127.0.0.1 #2";

// The host's approval of a card with 12.50 left.
std::string ApprovedAnswer() {
    return std::string("SV.MERCH000001") + kFs + "3900" + kFs + "38AUTH01" + kFs + "70" + kAccount + kFs + "751500" +
           kFs + "761250";
}

CTransaction MakeTransaction(int tranCode, const std::string& client = kClientA) {
    CTransaction transaction = SampleTransaction(tranCode, kAccount, "250");
    transaction.m_ClientAddress = client;
    return transaction;
}

int32_t Queue(CTransaction transaction) {
    g_TransactionQueue.Add(transaction);
    return transaction.m_QueueSeq;
}

// Waits until the record's state is |state|.
bool WaitForState(int32_t seq, int32_t state, uint32_t timeoutMs = 10000) {
    return WaitUntil([&] { return QueuedRecord(seq).m_State == state; }, timeoutMs);
}

// Stands in for the dial backup: takes each record the host interface hands over (state 8, crypt mode 0) and
// answers it with the next outcome of its script (9, 10 with an approved answer, 11, or 0: take the record
// out of the queue), the last outcome again once the script is used up.
class CDialStandIn {
public:
    explicit CDialStandIn(std::vector<int> outcomes) : m_Outcomes(std::move(outcomes)) {
        m_Thread = std::thread([this] { Run(); });
    }
    ~CDialStandIn() {
        m_Stop = true;
        m_Thread.join();
    }
    int HandOvers() const { return m_HandOvers.load(); }
    // The m_DialRetry of each record as it was handed over.
    std::vector<int32_t> RetryFlags() const {
        std::lock_guard<std::mutex> lock(m_Lock);
        return m_RetryFlags;
    }

private:
    void Run() {
        CTransactionList snapshot;
        while (!m_Stop) {
            g_TransactionQueue.GetAll(snapshot);
            for (CTransaction& transaction : snapshot) {
                if (transaction.m_State != kTranStateDial || transaction.m_CryptMode != kCryptModeEncrypted) {
                    continue;
                }
                const size_t index = static_cast<size_t>(m_HandOvers.fetch_add(1));
                const int outcome = m_Outcomes[std::min(index, m_Outcomes.size() - 1)];
                {
                    std::lock_guard<std::mutex> lock(m_Lock);
                    m_RetryFlags.push_back(transaction.m_DialRetry);
                }
                if (outcome == 0) {
                    g_TransactionQueue.RemoveBySeq(transaction.m_QueueSeq);
                    continue;
                }
                if (outcome == kTranStateDialParsed) {
                    transaction.m_HostResponse = ApprovedAnswer();
                    transaction.ParseHostResponse();
                } else {
                    transaction.m_HostErrorText = "Lost Carrier Waiting for Response.";
                }
                transaction.m_State = outcome;
                g_TransactionQueue.ReplaceBySeq(transaction.m_QueueSeq, transaction);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    const std::vector<int> m_Outcomes;
    std::atomic<bool> m_Stop{false};
    std::atomic<int> m_HandOvers{0};
    mutable std::mutex m_Lock;
    std::vector<int32_t> m_RetryFlags;
    std::thread m_Thread;
};

class RuvuzUvirInterfaceTest : public hosttest::TrustedPkiTest<> {
protected:
    void SetUp() override {
        ASSERT_TRUE(s_Pki->Ok());
        PrepareLogFolder();
        ResetShared();
        SetMerchantParams({{kParamTransportMethod, "0"}});
    }
    void TearDown() override {
        m_Interface.reset();
        ResetShared();
        CLogger::Instance().Flush();
    }
    static void ResetShared() { ResetSharedHostState(); }

    void StartInterface(DialBackupProbe probe = {}) {
        m_Interface = std::make_unique<CRuvuzUvirInterface>();
        m_Interface->SetDialBackupProbe(std::move(probe));
        ASSERT_TRUE(m_Interface->Start());
    }
    void StopInterface() {
        ASSERT_TRUE(m_Interface->Stop());
        EXPECT_EQ(m_Interface->GetWorkerCount(), 0);
        EXPECT_FALSE(m_Interface->IsRunning());
    }
    std::unique_ptr<CDatawireEndpoint> Provider() {
        auto endpoint = std::make_unique<CDatawireEndpoint>(s_Pki->Loopback());
        EXPECT_TRUE(endpoint->Start());
        endpoint->SetHostAnswer(ApprovedAnswer());
        return endpoint;
    }
    static std::string UrlOf(const CDatawireEndpoint& endpoint) { return endpoint.HostAndPort() + "/sd"; }
    static std::string RefusingUrl() { return RefusingHostAndPort(*s_Pki) + "/sd"; }
    static int TransactionsAt(const CDatawireEndpoint& endpoint) {
        int count = 0;
        for (const CDatawireRequest& request : endpoint.Requests()) {
            count += request.kind == DatawireRequestKind::Transaction ? 1 : 0;
        }
        return count;
    }
    static CTransactionList Reversals() {
        CTransactionList reversals;
        g_ReversalQueue.GetAll(reversals);
        return reversals;
    }
    bool WaitForIdle() {
        return WaitUntil([&] { return m_Interface->GetTicketCount() == 0 && m_Interface->GetWorkerCount() == 0; });
    }

    CTestClock m_Clock{CTestClock::SRealTime{}};
    CScopedClock m_ScopedClock{m_Clock};
    CQueuedViewSink m_View;
    CScopedTrafficView m_ConnectedView{m_View};
    std::unique_ptr<CRuvuzUvirInterface> m_Interface;
};
} // namespace

TEST(RuvuzUvirReversalRulesTest, AFailedIpSendIsReversedOnlyWhenItsOutcomeIsOpen) {
    const struct {
        bool sent;     // the whole request went out
        bool awaiting; // no whole response came back
        int http;      // the status of the response that came
        int code;
        bool datawire;
        const char* reason;
    } cases[] = {
        {true, true, 0, -1, false, "of TIMEOUT (IP) from Datawire."},
        {true, true, 0, 50011, true, "of TIMEOUT (IP) from Datawire."}, // unanswered wins over the code
        {true, false, 200, 50008, true, "of 8 error from datawire."},
        {true, false, 200, 50011, true, "of 11 error from datawire."},
        {true, false, 200, 50201, true, "of 201 error from datawire."},
        {true, false, 200, 50203, true, "of 203 error from datawire."},
        {true, false, 200, 50204, true, "of 204 error from datawire."},
        {true, false, 200, 50205, true, "of 205 error from datawire."},
        {true, false, 200, 50206, true, "of 206 error from datawire."},
        {true, false, 200, 50405, true, "of 405 error from datawire."},
        {true, false, 200, 50505, true, "of 505 error from datawire."},
        {true, false, 200, 205, true, "of 205 error from datawire."}, // a ReturnCode given without the 50000
        {true, false, 200, 100011, true, "of 11 error from datawire."},
        // Once the request is out, whatever else Datawire answers leaves it open whether the host booked it.
        {true, false, 200, -50011, true, "of -11 error from datawire."}, // the remainder of a signed division
        {true, false, 200, 50202, true, "of 202 error from datawire."},
        {true, false, 200, 50207, true, "of 207 error from datawire."},
        {true, false, 200, 50048, true, "of 48 error from datawire."}, // OK without a payload
        {true, false, 200, 50050, true, "of 50 error from datawire."},
        // ... but for the words that refuse the request at the door.
        {true, false, 200, 50001, true, ""},
        {true, false, 200, 50013, true, ""},
        {true, false, 200, 50035, true, ""},
        {true, false, 200, 50040, true, ""},
        {true, false, 200, 50041, true, ""},
        {true, false, 200, 50046, true, ""},
        {true, false, 200, 50058, true, ""},
        {true, false, 200, 50059, true, ""},
        // An HTTP status of the server's failure, or an answer that is no HTTP at all.
        {true, false, 500, 0, false, "of HTTP 500 from Datawire."},
        {true, false, 503, 0, false, "of HTTP 503 from Datawire."},
        {true, false, -1, 0, false, "of HTTP -1 from Datawire."},
        {true, false, 404, 0, false, ""},
        {true, false, 302, 0, false, ""},
        // Nothing (or not all) went out: the host cannot have booked it.
        {false, false, 0, 50011, false, ""},
        {false, false, 0, 3006, false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.code) + " HTTP " + std::to_string(c.http));
        CTransportResult result;
        result.m_Code = c.code;
        result.m_IsDatawireStatus = c.datawire;
        EXPECT_EQ(IpFailureReversalReason(CIpSendFacts{c.sent, c.awaiting, c.http}, result), c.reason);
    }
}

TEST_F(RuvuzUvirInterfaceTest, ApprovedSaleGoesOverTheBestProviderAndIsCompleted) {
    auto best = Provider();
    auto other = Provider();
    g_ServiceProviderList.SetProviders({UrlOf(*best), UrlOf(*other)});
    StartInterface();
    EXPECT_EQ(m_Interface->GetLastErrorText(), "");
    CTransaction sale = MakeTransaction(kTranNumSale);
    sale.m_Created -= 3600000; // an hour in the queue: the interface takes its own time stamp
    const int32_t seq = Queue(sale);
    ASSERT_TRUE(WaitForState(seq, kTranStateCompleted));
    ASSERT_TRUE(WaitForIdle());
    const CTransaction done = QueuedRecord(seq);
    EXPECT_TRUE(done.m_Approved);
    EXPECT_EQ(done.m_HostAuthCode, "AUTH01");
    EXPECT_EQ(done.m_HostResponse, ApprovedAnswer());
    EXPECT_LT(done.SecondsSinceCreated(), 60);
    ASSERT_EQ(TransactionsAt(*best), 1);
    EXPECT_EQ(TransactionsAt(*other), 0);
    const std::string hostMessage = best->Requests().at(0).hostMessage;
    EXPECT_EQ(hostMessage, done.m_HostRequest);
    EXPECT_EQ(hostMessage.rfind(std::string("SV.MERCH000001") + kFs + "400200" + kFs, 0), 0u);
    EXPECT_EQ(best->Requests().at(0).clientRef, "0000001V005006"); // the first STAN
    EXPECT_EQ(m_View.Take(), (std::vector<EViewMessage>{WM_SENDING_AUTH, WM_AUTH_RESPONSE}));
    EXPECT_TRUE(Reversals().empty());
    EXPECT_EQ(CountLogLines("SENDING to RuvuzUvir -> [{Truncated}] for " + kClientA), 1);
    EXPECT_EQ(CountLogLines("Connected to [" + best->HostAndPort() + "]."), 1);
    StopInterface();
}

TEST_F(RuvuzUvirInterfaceTest, FailedIpSendsEndAsHostErrorsAndReverseWhereTheOutcomeIsOpen) {
    auto provider = Provider();
    g_ServiceProviderList.SetProviders({UrlOf(*provider)});
    StartInterface();
    auto silent = [] {
        CDatawireAnswer answer;
        answer.ending = DatawireEnding::Silent;
        return answer;
    };
    auto word = [](const char* statusWord) {
        CDatawireAnswer answer;
        answer.statusWord = statusWord;
        return answer;
    };
    auto returnCode = [](const char* code) {
        CDatawireAnswer answer;
        answer.returnCode = code;
        return answer;
    };
    CDatawireAnswer http500;
    http500.httpStatus = 500;
    CDatawireAnswer http404;
    http404.httpStatus = 404;
    CDatawireAnswer closeAfterRequest;
    closeAfterRequest.raw = std::string();
    closeAfterRequest.ending = DatawireEnding::CloseTcp;
    const struct {
        const char* name;
        int tranCode;
        CDatawireAnswer answer;
        bool timesOut;
        std::string reason; // empty: no reversal
    } cases[] = {
        {"Sale without answer", kTranNumSale, silent(), true, kReversalReasonIpTimeout},
        {"Balance without answer", kTranNumBalance, silent(), true, ""},
        {"reversal without answer", kTranNumReversal, silent(), true, ""},
        {"Sale, provider closes", kTranNumSale, closeAfterRequest, false, kReversalReasonIpTimeout},
        {"Sale, status Timeout", kTranNumSale, word("Timeout"), false, "of 11 error from datawire."},
        {"VoidSale, status Timeout", kTranNumVoidSale, word("Timeout"), false, "of 11 error from datawire."},
        {"Sale, status AuthenticationError", kTranNumSale, word("AuthenticationError"), false, ""},
        {"CashOut, ReturnCode 205", kTranNumCashOut, returnCode("205"), false, "of 205 error from datawire."},
        {"Issue, ReturnCode 50505", kTranNumIssue, returnCode("50505"), false, "of 505 error from datawire."},
        {"Sale, ReturnCode 50202", kTranNumSale, returnCode("50202"), false, "of 202 error from datawire."},
        {"Balance, status Timeout", kTranNumBalance, word("Timeout"), false, ""},
        {"Sale, HTTP 500", kTranNumSale, http500, false, "of HTTP 500 from Datawire."},
        {"Sale, HTTP 404", kTranNumSale, http404, false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        g_ReversalQueue.RemoveAll();
        provider->SetAnswer(DatawireRequestKind::Transaction, c.answer);
        const int before = TransactionsAt(*provider);
        CTransaction transaction = MakeTransaction(c.tranCode);
        if (c.tranCode == kTranNumReversal) {
            transaction.m_OrigTranCode = kTranNumSale;
            transaction.m_Created -= 40000; // past its hold
        }
        const int32_t seq = Queue(transaction);
        if (c.timesOut) {
            // Once the request is out, the clock races on until the 35-second budget has run out.
            ASSERT_TRUE(WaitUntil([&] { return TransactionsAt(*provider) == before + 1; }));
            CClockPump pump(m_Clock, 1000);
            ASSERT_TRUE(WaitForState(seq, kTranStateHostError));
        }
        ASSERT_TRUE(WaitForState(seq, kTranStateHostError));
        ASSERT_TRUE(WaitForIdle());
        const CTransaction done = QueuedRecord(seq);
        EXPECT_FALSE(done.m_HostErrorText.find_first_not_of(" \r\n") == std::string::npos) << done.m_HostErrorText;
        const CTransactionList reversals = Reversals();
        if (c.reason.empty()) {
            EXPECT_TRUE(reversals.empty());
            continue;
        }
        ASSERT_EQ(reversals.size(), 1u);
        EXPECT_EQ(reversals[0].m_TranCode, kTranNumReversal);
        EXPECT_EQ(reversals[0].m_OrigTranCode, c.tranCode);
        EXPECT_EQ(reversals[0].m_HostRequest, done.m_HostRequest);
        EXPECT_GE(CountLogLines("-- because " + c.reason), 1);
    }
    StopInterface();
}

TEST_F(RuvuzUvirInterfaceTest, ATransactionIsInDoubtInTheJournalFromBeforeTheSendUntilItsOutcomeSettlesIt) {
    auto provider = Provider();
    g_ServiceProviderList.SetProviders({UrlOf(*provider)});
    StartInterface();
    CReversalJournal& journal = CReversalJournal::Instance();
    const std::string declined = std::string("SV.MERCH000001") + kFs + "3901" + kFs + "70" + kAccount;
    const struct {
        const char* name;
        int tranCode;
        std::string answer; // "" : the provider refuses the connection
        bool staysInDoubt;  // until its reply is delivered
    } cases[] = {
        {"approved Sale", kTranNumSale, ApprovedAnswer(), true},
        {"declined Sale", kTranNumSale, declined, false},
        {"approved Reload", kTranNumReload, ApprovedAnswer(), true},
        {"Balance", kTranNumBalance, ApprovedAnswer(), false},
        {"Sale that never reached a provider", kTranNumSale, "", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        journal.ResetForTesting();
        std::filesystem::remove(kReversalJournalFileName);
        g_ServiceProviderList.SetProviders({c.answer.empty() ? RefusingUrl() : UrlOf(*provider)});
        provider->SetHostAnswer(c.answer);
        CDatawireAnswer held;
        held.delayMs = 300; // long enough to look at the journal while the host has it
        provider->SetAnswer(DatawireRequestKind::Transaction, held);
        const int before = TransactionsAt(*provider);
        const int32_t seq = Queue(MakeTransaction(c.tranCode));
        if (!c.answer.empty() && c.tranCode != kTranNumBalance) {
            ASSERT_TRUE(WaitUntil([&] { return TransactionsAt(*provider) == before + 1; }));
            // On disk before the host has it, with the time and date the host got.
            const std::vector<CJournalEntry> entries = journal.Entries();
            ASSERT_EQ(entries.size(), 1u);
            EXPECT_TRUE(entries[0].inDoubt);
            EXPECT_EQ(entries[0].record.m_TranCode, kTranNumReversal);
            EXPECT_EQ(entries[0].record.m_OrigTranCode, c.tranCode);
            EXPECT_EQ(entries[0].record.m_Account, kAccount);
            EXPECT_NE(provider->Requests().back().hostMessage.find("12" + entries[0].record.m_HostTime),
                      std::string::npos);
            CReversalJournal fromDisk;
            ASSERT_EQ(fromDisk.Entries().size(), 1u);
            EXPECT_TRUE(fromDisk.Entries()[0].inDoubt);
        }
        ASSERT_TRUE(WaitUntil([&] {
            const int32_t state = QueuedRecord(seq).m_State;
            return state == kTranStateCompleted || state == kTranStateHostError;
        }));
        ASSERT_TRUE(WaitForIdle());
        const std::vector<CJournalEntry> entries = journal.Entries();
        ASSERT_EQ(entries.size(), c.staysInDoubt ? 1u : 0u);
        if (c.staysInDoubt) {
            EXPECT_TRUE(entries[0].inDoubt);
            EXPECT_EQ(QueuedRecord(seq).m_JournalId, entries[0].id);
        }
        EXPECT_TRUE(Reversals().empty());
        g_TransactionQueue.RemoveBySeq(seq);
        provider->SetAnswer(DatawireRequestKind::Transaction, CDatawireAnswer());
    }
    StopInterface();
}

TEST_F(RuvuzUvirInterfaceTest, AnApprovalWhoseRecordLeftTheQueueMeanwhileIsReversed) {
    auto provider = Provider();
    g_ServiceProviderList.SetProviders({UrlOf(*provider)});
    CDatawireAnswer held;
    held.delayMs = 200;
    provider->SetAnswer(DatawireRequestKind::Transaction, held);
    StartInterface();
    const int32_t seq = Queue(MakeTransaction(kTranNumSale));
    ASSERT_TRUE(WaitUntil([&] { return TransactionsAt(*provider) == 1; }));
    // The session of a vanished lane gave up on it.
    ASSERT_TRUE(g_TransactionQueue.RemoveBySeq(seq));
    ASSERT_TRUE(WaitForIdle());
    const CTransactionList reversals = Reversals();
    ASSERT_EQ(reversals.size(), 1u);
    EXPECT_EQ(reversals[0].m_OrigTranCode, kTranNumSale);
    EXPECT_EQ(CountLogLines("-- because UndeliverableToClient"), 1);
    // The entry in doubt became the reversal: one entry, not two.
    const std::vector<CJournalEntry> entries = CReversalJournal::Instance().Entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_FALSE(entries[0].inDoubt);
    StopInterface();
}

TEST_F(RuvuzUvirInterfaceTest, AResponseLoggedFromTheHostShowsNoCardNumber) {
    auto provider = Provider();
    g_ServiceProviderList.SetProviders({UrlOf(*provider)});
    StartInterface();
    const int32_t seq = Queue(MakeTransaction(kTranNumSale));
    ASSERT_TRUE(WaitForState(seq, kTranStateCompleted));
    ASSERT_TRUE(WaitForIdle());
    CLogger::Instance().Flush();
    EXPECT_EQ(CountLogLines(kAccount), 0);
    EXPECT_EQ(CountLogLines("RESPONSE from RuvuzUvir ->["), 1);
    EXPECT_EQ(CountLogLines(std::string(1, kFs) + "70XXXXXXXXXXXX7890"), 1);
    StopInterface();
}

TEST_F(RuvuzUvirInterfaceTest, ARefusingProviderIsDroppedAndTheNextOneCarriesTheSale) {
    auto good = Provider();
    const std::string refusing = RefusingUrl();
    g_ServiceProviderList.SetProviders({refusing, UrlOf(*good)});
    StartInterface();
    const int32_t seq = Queue(MakeTransaction(kTranNumSale));
    ASSERT_TRUE(WaitForState(seq, kTranStateCompleted));
    EXPECT_EQ(g_ServiceProviderList.GetProviders(), (std::vector<std::string>{UrlOf(*good)}));
    EXPECT_FALSE(g_ServiceDiscoveryRequest.IsSet());
    EXPECT_EQ(CountLogLines("RuvuzUvir/Datawire/Connect (Trying Next Host) ERROR-> [Socket Error Trying to Connect"),
              1);
    StopInterface();
}

TEST_F(RuvuzUvirInterfaceTest, WhenEveryProviderIsGoneDiscoveryIsRequestedAndTheSaleFails) {
    g_ServiceProviderList.SetProviders({RefusingUrl(), RefusingUrl(), "0"});
    StartInterface();
    const int32_t seq = Queue(MakeTransaction(kTranNumSale));
    ASSERT_TRUE(WaitForState(seq, kTranStateHostError));
    EXPECT_EQ(QueuedRecord(seq).m_HostErrorText, "No Host in URL [0]");
    EXPECT_TRUE(g_ServiceProviderList.IsEmpty());
    EXPECT_TRUE(g_ServiceDiscoveryRequest.IsSet());
    EXPECT_EQ(CountLogLines("Service Provider list exhausted; requesting new Service Discovery"), 1);
    EXPECT_TRUE(Reversals().empty()); // never sent, so nothing to reverse

    // With the list already empty the transaction says why rather than carrying an empty error text.
    g_ServiceDiscoveryRequest.Reset();
    const int32_t next = Queue(MakeTransaction(kTranNumSale));
    ASSERT_TRUE(WaitForState(next, kTranStateHostError));
    EXPECT_EQ(QueuedRecord(next).m_HostErrorText, kNoProviderText);
    EXPECT_TRUE(g_ServiceDiscoveryRequest.IsSet());
    EXPECT_EQ(CountLogLines("RuvuzUvir/Datawire/Connect ERROR-> No (Discovered)Host To Use for Connection."), 1);
    StopInterface();
}

TEST_F(RuvuzUvirInterfaceTest, AnAbortRequestAbortsOnlyItsClientsWaitingTransactions) {
    const int32_t waiting1 = Queue(MakeTransaction(kTranNumSale, kClientA));
    const int32_t waiting2 = Queue(MakeTransaction(kTranNumReload, kClientA));
    CTransaction taken = MakeTransaction(kTranNumSale, kClientA);
    taken.m_State = kTranStateTaken;
    const int32_t inFlight = Queue(taken);
    const int32_t otherClient = Queue(MakeTransaction(kTranNumSale, kClientB));
    CTransaction abort = MakeTransaction(kTranNumInvalid, kClientA);
    abort.m_CryptMode = kCryptModeAbort;
    const int32_t abortSeq = Queue(abort);
    // An abort of client B already carried out: B's request sent after it is not aborted by it.
    CTransaction doneAbort = MakeTransaction(kTranNumInvalid, kClientB + " ");
    doneAbort.m_CryptMode = kCryptModeAbort;
    doneAbort.m_State = kTranStateDelivered;
    const int32_t doneAbortSeq = Queue(doneAbort);
    const int32_t afterDoneAbort = Queue(MakeTransaction(kTranNumSale, kClientB + " "));

    StartInterface(); // no provider: whatever is dispatched ends as a host error
    ASSERT_TRUE(WaitForState(otherClient, kTranStateHostError));
    ASSERT_TRUE(WaitForState(afterDoneAbort, kTranStateHostError));
    ASSERT_TRUE(WaitForIdle());
    EXPECT_EQ(QueuedRecord(waiting1).m_State, kTranStateAborted);
    EXPECT_EQ(QueuedRecord(waiting2).m_State, kTranStateAborted);
    EXPECT_EQ(QueuedRecord(inFlight).m_State, kTranStateTaken);
    EXPECT_EQ(QueuedRecord(abortSeq).m_State, kTranStateDelivered);
    EXPECT_EQ(QueuedRecord(doneAbortSeq).m_State, kTranStateDelivered);
    StopInterface();
}

TEST_F(RuvuzUvirInterfaceTest, NoTicketWhileShuttingDownAndNoThreadAreAnsweredWithTheirCodes) {
    StartInterface();
    CWorkerThread::FailNextStartsForTesting(1);
    const int32_t noThread = Queue(MakeTransaction(kTranNumSale));
    ASSERT_TRUE(WaitForState(noThread, kTranStateCodeSet));
    EXPECT_EQ(QueuedRecord(noThread).m_ResultCode, kResultAuthThreadFailed);
    EXPECT_EQ(m_Interface->GetTicketCount(), 0);

    g_ShutdownEvent.Set();
    const int32_t noTicket = Queue(MakeTransaction(kTranNumSale));
    ASSERT_TRUE(WaitForState(noTicket, kTranStateCodeSet));
    EXPECT_EQ(QueuedRecord(noTicket).m_ResultCode, kResultShuttingDown);
    StopInterface();
}

TEST_F(RuvuzUvirInterfaceTest, AThreadThatCannotStartIsReportedAndExplained) {
    m_Interface = std::make_unique<CRuvuzUvirInterface>();
    CWorkerThread::FailNextStartsForTesting(1);
    EXPECT_FALSE(m_Interface->Start());
    EXPECT_EQ(m_Interface->GetLastErrorText(), kRuvuzUvirStartFailedText);
    EXPECT_EQ(CountLogLines("The RuvuzUvir Processing thread could NOT be started."), 1);
    EXPECT_TRUE(m_Interface->Start());
    EXPECT_EQ(m_Interface->GetLastErrorText(), "");
    StopInterface();

    // A quit while the start-up waits: the thread is stopped, not waited for, and the reason kept.
    GetPresenter().PostQuit();
    EXPECT_FALSE(m_Interface->Start());
    EXPECT_FALSE(m_Interface->IsRunning());
    EXPECT_EQ(m_Interface->GetLastErrorText(), "The RuvuzUvir Processing thread did not report that it runs.");
    EXPECT_TRUE(m_Interface->Start());
    StopInterface();
}

TEST_F(RuvuzUvirInterfaceTest, AStopDuringAReversalsHoldSendsNothingAndEndsItAsAHostError) {
    auto provider = Provider();
    g_ServiceProviderList.SetProviders({UrlOf(*provider)});
    CTransaction reversal = MakeTransaction(kTranNumReversal);
    reversal.m_OrigTranCode = kTranNumSale;
    reversal.m_HostRequest = "the reversed Sale's own message"; // what the record carries from AddReversal
    const int32_t seq = Queue(reversal);                        // created now: held for 35 s
    StartInterface();
    ASSERT_TRUE(WaitForState(seq, kTranStateTaken));
    StopInterface();
    const CTransaction done = QueuedRecord(seq);
    EXPECT_EQ(done.m_State, kTranStateHostError);
    EXPECT_EQ(done.m_HostErrorText, ResultCodeText(kResultShuttingDown, "").Text);
    EXPECT_EQ(provider->ConnectionsAccepted(), 0);
    EXPECT_TRUE(g_ShutdownEvent.IsSet()); // stays set until the next start
}

TEST_F(RuvuzUvirInterfaceTest, AReversalGoesOutOnceItsHoldHasPassed) {
    auto provider = Provider();
    g_ServiceProviderList.SetProviders({UrlOf(*provider)});
    CTransaction reversal = MakeTransaction(kTranNumReversal);
    reversal.m_OrigTranCode = kTranNumSale;
    const int32_t seq = Queue(reversal);
    StartInterface();
    ASSERT_TRUE(WaitForState(seq, kTranStateTaken));
    m_Clock.Advance(36000);
    ASSERT_TRUE(WaitForState(seq, kTranStateCompleted));
    const std::string sent = provider->Requests().at(0).hostMessage;
    EXPECT_NE(sent.find(std::string(1, kFs) + "400704" + kFs), std::string::npos);
    EXPECT_EQ(sent.substr(sent.size() - 7), std::string(1, kFs) + "F60200");
    StopInterface();
}

TEST_F(RuvuzUvirInterfaceTest, AStopDuringAHandshakeKeepsTheProviderAndAsksForNoDiscovery) {
    CTlsTestServer mute(s_Pki->Loopback());
    mute.SetScenario([](CTlsTestConnection& connection) { connection.WaitForPeerClose(20000); });
    ASSERT_TRUE(mute.Start());
    auto good = Provider();
    const std::string muteUrl = "127.0.0.1:" + std::to_string(mute.Port()) + "/sd";
    g_ServiceProviderList.SetProviders({muteUrl, UrlOf(*good)});
    StartInterface();
    const int32_t seq = Queue(MakeTransaction(kTranNumSale));
    ASSERT_TRUE(WaitUntil([&] { return mute.ConnectionsAccepted() == 1; }));
    StopInterface();
    EXPECT_EQ(QueuedRecord(seq).m_State, kTranStateHostError);
    EXPECT_EQ(g_ServiceProviderList.GetProviders(), (std::vector<std::string>{muteUrl, UrlOf(*good)}));
    EXPECT_FALSE(g_ServiceDiscoveryRequest.IsSet());
    EXPECT_EQ(good->ConnectionsAccepted(), 0);
    EXPECT_TRUE(Reversals().empty());
}

TEST_F(RuvuzUvirInterfaceTest, StopForgetsTicketsAfterTwentySecondsButStillWaitsForTheWorker) {
    // Time moves only by the steps Stop sleeps (and the dial polls this test ends), so the cap is exact.
    CTestClock clock;
    CScopedClock scoped(clock);
    SetMerchantParams({{kParamTransportMethod, "2"}});
    std::atomic<bool> entered{false};
    std::atomic<bool> release{false};
    // Queued before the start: the first pass dispatches it without waiting for the time to move.
    const int32_t seq = Queue(MakeTransaction(kTranNumBalance));
    StartInterface([&] {
        entered = true;
        while (!release) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    });
    ASSERT_TRUE(WaitUntil([&] {
        clock.Advance(kDialPollMs); // ends the worker's first dial poll, whenever it began
        return entered.load();
    }));
    EXPECT_EQ(m_Interface->GetTicketCount(), 1);

    clock.SetHeldSleep(CTestClock::HeldSleep::Advances);
    const uint64_t stopBegan = clock.TickMs();
    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
        m_Interface->Stop();
        stopped = true;
    });
    ASSERT_TRUE(WaitUntil([&] { return m_Interface->GetTicketCount() == 0; }));
    EXPECT_EQ(clock.TickMs() - stopBegan, kStopTicketWaitMs);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(stopped.load()); // the worker still runs: Stop does not leave it behind
    release = true;
    stopper.join();
    EXPECT_EQ(m_Interface->GetWorkerCount(), 0);
    EXPECT_EQ(QueuedRecord(seq).m_State, kTranStateDial);
    EXPECT_EQ(CountLogLines("RuvuzUvir Interface stopping with 1 host request(s) still outstanding."), 1);
    m_Interface.reset(); // before this test's clock goes
}

namespace {
struct DialCase {
    const char* name;
    const char* method;
    bool lineUp;
    int tranCode;
    bool provider;
    std::vector<int> outcomes; // the stand-in's answers; empty: no dial backup runs
    int32_t finalState;
    int handOvers;
    bool reversed;
    std::vector<int32_t> retryFlags;
};
} // namespace

TEST_F(RuvuzUvirInterfaceTest, TheDialPathHandsOverThroughTheQueueAndTurnsTheAnswersIntoStates) {
    const DialCase cases[] = {
        {"dial only, answered", "2", false, kTranNumSale, false, {10}, kTranStateCompleted, 1, false, {0}},
        {"dial only, Sale times out", "2", false, kTranNumSale, false, {11}, kTranStateHostError, 1, true, {0}},
        {"dial only, Sale not sent", "2", false, kTranNumSale, false, {9}, kTranStateHostError, 1, false, {0}},
        {"line up, Balance retried once",
         "2",
         true,
         kTranNumBalance,
         false,
         {11, 10},
         kTranStateCompleted,
         2,
         false,
         {1, 0}},
        {"line up, Balance fails twice",
         "2",
         true,
         kTranNumBalance,
         false,
         {11, 9},
         kTranStateHostError,
         2,
         false,
         {1, 0}},
        {"line up, Sale reversed at once", "2", true, kTranNumSale, false, {11}, kTranStateHostError, 1, true, {1}},
        {"backup, line up: no IP tried", "1", true, kTranNumSale, true, {10}, kTranStateCompleted, 1, false, {1}},
        {"backup, line down: IP first", "1", false, kTranNumSale, true, {10}, kTranStateCompleted, 0, false, {}},
        {"backup, no provider: dial", "1", false, kTranNumSale, false, {10}, kTranStateCompleted, 1, false, {0}},
        {"no dial backup runs", "2", false, kTranNumSale, false, {}, kTranStateHostError, 0, false, {}},
    };
    // Fast enough for the dial polls, slow enough that a TLS handshake of the IP case keeps its own time-out.
    CClockPump pump(m_Clock, 10);
    for (const DialCase& c : cases) {
        SCOPED_TRACE(c.name);
        ResetShared();
        SetMerchantParams({{kParamTransportMethod, c.method}});
        std::unique_ptr<CDatawireEndpoint> provider;
        if (c.provider) {
            provider = Provider();
            g_ServiceProviderList.SetProviders({UrlOf(*provider)});
        }
        if (c.lineUp) {
            g_DialConnectedEvent.Set();
        }
        std::unique_ptr<CDialStandIn> dial;
        if (!c.outcomes.empty()) {
            dial = std::make_unique<CDialStandIn>(c.outcomes);
        }
        StartInterface([running = !c.outcomes.empty()] { return running; });
        m_View.Take();
        const int32_t seq = Queue(MakeTransaction(c.tranCode));
        ASSERT_TRUE(WaitForState(seq, c.finalState));
        ASSERT_TRUE(WaitForIdle());
        StopInterface();
        const CTransaction done = QueuedRecord(seq);
        EXPECT_EQ(done.m_State, c.finalState);
        EXPECT_EQ(dial ? dial->HandOvers() : 0, c.handOvers);
        if (dial) {
            EXPECT_EQ(dial->RetryFlags(), c.retryFlags);
        }
        EXPECT_EQ(Reversals().size(), c.reversed ? 1u : 0u);
        if (c.finalState == kTranStateCompleted) {
            EXPECT_TRUE(done.m_Approved);
        }
        if (provider) {
            EXPECT_EQ(TransactionsAt(*provider), c.handOvers == 0 ? 1 : 0);
        }
        if (c.outcomes.empty()) {
            EXPECT_EQ(done.m_HostErrorText, kDialBackupNotRunningText);
        }
        const std::vector<EViewMessage> posted = m_View.Take();
        const int sendingDial = static_cast<int>(std::count(posted.begin(), posted.end(), WM_SENDING_AUTH_DIAL));
        const int answeredDial = static_cast<int>(std::count(posted.begin(), posted.end(), WM_AUTH_RESPONSE_DIAL));
        if (c.handOvers > 0 || c.outcomes.empty()) {
            EXPECT_EQ(sendingDial, std::max(c.handOvers, 1));
            EXPECT_EQ(answeredDial, 1);
        } else {
            EXPECT_EQ(sendingDial + answeredDial, 0);
        }
    }
    EXPECT_EQ(CountLogLines("RESPONSE (reverse handler)from RuvuzUvir (Dial) INTERFACE ->[Lost Carrier"), 2);
    EXPECT_EQ(CountLogLines("-- because RuvuzUvirTimeout"), 2);
}

TEST_F(RuvuzUvirInterfaceTest, ADialHandOverWhoseRecordLeftTheQueueEndsReversedWhereItMayBeBooked) {
    SetMerchantParams({{kParamTransportMethod, "2"}});
    const struct {
        const char* name;
        int tranCode;
        bool handedOver; // false: the record left before the hand-over, which then finds nothing to write
        bool reversed;
    } cases[] = {
        {"Sale taken onto a call", kTranNumSale, true, true},
        {"Balance taken onto a call", kTranNumBalance, true, false},
        {"Sale gone before the hand-over", kTranNumSale, false, false},
    };
    CClockPump pump(m_Clock, 20);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ResetShared();
        std::filesystem::remove(kReversalJournalFileName);
        const int reasonsLogged = CountLogLines("-- because RuvuzUvirTimeout");
        const int lostLogged = CountLogLines("->[" + kDialRecordLostText + "]");
        // The stand-in takes the record out of the queue as it takes it, as a session giving up on it would.
        CDialStandIn dial({0});
        StartInterface([] { return true; });
        if (c.handedOver) {
            Queue(MakeTransaction(c.tranCode));
            ASSERT_TRUE(WaitUntil([&] { return dial.HandOvers() == 1; }));
            ASSERT_TRUE(WaitForIdle());
        } else {
            CTransaction gone = MakeTransaction(c.tranCode);
            ASSERT_TRUE(gone.BuildHostRequest());
            gone.m_QueueSeq = 4711;
            EXPECT_TRUE(SendRequestToHost(gone, [] { return true; }));
            EXPECT_EQ(gone.m_State, kTranStateHostError);
            EXPECT_EQ(gone.m_HostErrorText, kDialRecordLostText);
            EXPECT_EQ(dial.HandOvers(), 0);
        }
        StopInterface();
        EXPECT_EQ(g_TransactionQueue.GetCount(), 0);
        EXPECT_EQ(CountLogLines("->[" + kDialRecordLostText + "]"), lostLogged + 1);
        const CTransactionList reversals = Reversals();
        ASSERT_EQ(reversals.size(), c.reversed ? 1u : 0u);
        EXPECT_EQ(CountLogLines("-- because RuvuzUvirTimeout"), reasonsLogged + (c.reversed ? 1 : 0));
        // The entry in doubt became the reversal (one entry, not two); with nothing to reverse it is gone.
        const std::vector<CJournalEntry> entries = CReversalJournal::Instance().Entries();
        ASSERT_EQ(entries.size(), c.reversed ? 1u : 0u);
        if (c.reversed) {
            EXPECT_FALSE(entries[0].inDoubt);
            EXPECT_EQ(entries[0].record.m_OrigTranCode, kTranNumSale);
            EXPECT_EQ(reversals[0].m_OrigTranCode, kTranNumSale);
        }
    }
}

TEST_F(RuvuzUvirInterfaceTest, AtMostTheSetNumberOfExchangesRunAndTheRestWaitInOrder) {
    auto provider = Provider();
    CDatawireAnswer slow;
    slow.delayMs = 50;
    provider->SetAnswer(DatawireRequestKind::Transaction, slow);
    g_ServiceProviderList.SetProviders({UrlOf(*provider)});
    m_Interface = std::make_unique<CRuvuzUvirInterface>();
    m_Interface->SetMaxHostWorkers(2);
    ASSERT_TRUE(m_Interface->Start());

    std::atomic<bool> sampling{true};
    std::atomic<int> peakTaken{0};
    std::atomic<int> peakThreads{0};
    std::thread sampler([&] {
        CTransactionList snapshot;
        while (sampling.load()) {
            g_TransactionQueue.GetAll(snapshot);
            const int taken = static_cast<int>(std::count_if(
                snapshot.begin(), snapshot.end(), [](const auto& t) { return t.m_State == kTranStateTaken; }));
            peakTaken = std::max(peakTaken.load(), taken);
            peakThreads = std::max(peakThreads.load(), m_Interface->GetWorkerThreadCount());
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    auto queueSales = [&](int first, int count) {
        std::vector<int32_t> seqs;
        for (int i = first; i < first + count; ++i) {
            CTransaction sale = MakeTransaction(kTranNumSale);
            sale.m_InvoiceNo = std::to_string(i);
            seqs.push_back(Queue(sale));
        }
        return seqs;
    };
    const std::vector<int32_t> wide = queueSales(2000, 8);
    for (const int32_t seq : wide) {
        ASSERT_TRUE(WaitForState(seq, kTranStateCompleted));
    }
    EXPECT_EQ(peakTaken.load(), 2);
    EXPECT_EQ(peakThreads.load(), 2);

    // One at a time, they reach the host exactly in the order they were queued.
    m_Interface->SetMaxHostWorkers(1);
    const std::vector<int32_t> narrow = queueSales(3000, 5);
    for (const int32_t seq : narrow) {
        ASSERT_TRUE(WaitForState(seq, kTranStateCompleted));
    }
    sampling = false;
    sampler.join();
    std::vector<std::string> invoices;
    for (const CDatawireRequest& request : provider->Requests()) {
        CHostRequestMessage message;
        std::string problem;
        if (request.kind == DatawireRequestKind::Transaction &&
            CHostRequestMessage::Decode(request.hostMessage, &message, &problem) && message.m_Invoice[0] == '3') {
            invoices.push_back(message.m_Invoice);
        }
    }
    EXPECT_EQ(invoices, (std::vector<std::string>{"3000", "3001", "3002", "3003", "3004"}));
    EXPECT_EQ(m_Interface->GetWorkerThreadCount(), 2); // kept for the next load, never more
    // Once the load has drained, the threads end with the memory it left: an idle server holds no worker.
    m_Clock.Advance(kReleaseMemoryIdleMs);
    EXPECT_TRUE(WaitUntil([&] { return m_Interface->GetWorkerThreadCount() == 0; }));
    const int32_t next = queueSales(4000, 1).front();
    ASSERT_TRUE(WaitForState(next, kTranStateCompleted));
    StopInterface();
    EXPECT_EQ(m_Interface->GetWorkerThreadCount(), 0);
}

TEST_F(RuvuzUvirInterfaceTest, ATransactionWaitingForAWorkerGoesOutTheMomentOneFrees) {
    // Two workers: one held by a slow exchange all along, the other by the transaction of the run before. Each run
    // queues a transaction, which finds the pool full, and frees the second worker a moment before or after it, so
    // that the worker ends anywhere around the processing loop's decision that the transaction waits. The waiting
    // transaction goes out at once, every time, with nothing else to wake the loop.
    constexpr int kRuns = 200;
    constexpr int kMaxGapUs = 600;
    auto provider = Provider();
    std::mutex lock;
    std::condition_variable changed;
    int arrived = 0;
    int released = 0; // the k-th transaction to arrive (k >= 1) is answered once k are released
    bool end = false;
    provider->SetRequestHook([&](const CDatawireRequest& request, CDatawireAnswer*) {
        if (request.kind != DatawireRequestKind::Transaction) {
            return;
        }
        std::unique_lock<std::mutex> held(lock);
        const int k = arrived++;
        changed.notify_all();
        changed.wait(held, [&] { return end || (k > 0 && released >= k); });
    });
    auto release = [&] {
        std::lock_guard<std::mutex> held(lock);
        ++released;
        changed.notify_all();
    };
    auto waitArrived = [&](int count, int timeoutMs) {
        std::unique_lock<std::mutex> held(lock);
        return changed.wait_for(held, std::chrono::milliseconds(timeoutMs), [&] { return arrived >= count; });
    };
    g_ServiceProviderList.SetProviders({UrlOf(*provider)});
    m_Interface = std::make_unique<CRuvuzUvirInterface>();
    m_Interface->SetMaxHostWorkers(2);
    ASSERT_TRUE(m_Interface->Start());
    auto queueBalance = [](int invoice) {
        CTransaction balance = MakeTransaction(kTranNumBalance);
        balance.m_InvoiceNo = std::to_string(invoice);
        return Queue(balance);
    };
    queueBalance(1);
    ASSERT_TRUE(waitArrived(1, 10000));
    int32_t held = queueBalance(2);
    ASSERT_TRUE(waitArrived(2, 10000));

    std::mt19937 random(24);
    std::uniform_int_distribution<int> gapUs(0, kMaxGapUs);
    auto spin = [](int us) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(us);
        while (std::chrono::steady_clock::now() < until) {
        }
    };
    for (int run = 0; run < kRuns; ++run) {
        int32_t waiting = 0;
        if (run % 2 == 0) {
            release();
            spin(gapUs(random));
            waiting = queueBalance(3 + run);
        } else {
            waiting = queueBalance(3 + run);
            spin(gapUs(random));
            release();
        }
        ASSERT_TRUE(WaitForState(held, kTranStateCompleted)) << "run " << run;
        ASSERT_TRUE(waitArrived(run + 3, 2000))
            << "run " << run << ": the waiting transaction was not dispatched (state " << QueuedRecord(waiting).m_State
            << ")";
        held = waiting;
    }
    {
        std::lock_guard<std::mutex> hold(lock);
        end = true;
        changed.notify_all();
    }
    ASSERT_TRUE(WaitForIdle());
    StopInterface();
}

TEST_F(RuvuzUvirInterfaceTest, AReversalWaitingOutItsHoldKeepsNoWorkerFromTheOthers) {
    auto provider = Provider();
    g_ServiceProviderList.SetProviders({UrlOf(*provider)});
    m_Interface = std::make_unique<CRuvuzUvirInterface>();
    m_Interface->SetMaxHostWorkers(1);
    ASSERT_TRUE(m_Interface->Start());
    CTransaction reversal = MakeTransaction(kTranNumReversal);
    reversal.m_OrigTranCode = kTranNumSale;
    const int32_t held = Queue(reversal); // created now: held for 35 s
    ASSERT_TRUE(WaitForState(held, kTranStateTaken));
    EXPECT_EQ(m_Interface->GetTicketCount(), 1);
    EXPECT_EQ(m_Interface->GetWorkerCount(), 0);

    const int32_t sale = Queue(MakeTransaction(kTranNumSale));
    ASSERT_TRUE(WaitForState(sale, kTranStateCompleted));
    EXPECT_EQ(QueuedRecord(held).m_State, kTranStateTaken);
    EXPECT_EQ(TransactionsAt(*provider), 1);

    m_Clock.Advance(36000);
    ASSERT_TRUE(WaitForState(held, kTranStateCompleted));
    const std::string sent = provider->Requests().at(1).hostMessage;
    EXPECT_NE(sent.find(std::string(1, kFs) + "400704" + kFs), std::string::npos);
    ASSERT_TRUE(WaitForIdle());
    StopInterface();
}

TEST_F(RuvuzUvirInterfaceTest, AFailureOnThisServerKeepsEveryProviderAndAsksForNoDiscovery) {
    auto first = Provider();
    auto second = Provider();
    const std::vector<std::string> providers = {UrlOf(*first), UrlOf(*second)};
    g_ServiceProviderList.SetProviders(providers);
    CTransaction sale = MakeTransaction(kTranNumSale);
    ASSERT_TRUE(SendRequestToHost(sale)); // the same road once, with descriptors
    ASSERT_EQ(sale.m_State, kTranStateCompleted);
    sale = MakeTransaction(kTranNumSale);
    bool sent = true;
    {
        CDescriptorExhaustion exhausted;
        ASSERT_TRUE(exhausted.Exhausted());
        sent = SendRequestToHost(sale);
    }
    EXPECT_FALSE(sent);
    EXPECT_EQ(sale.m_State, kTranStateHostError);
    EXPECT_FALSE(sale.m_HostErrorText.empty());
    EXPECT_EQ(g_ServiceProviderList.GetProviders(), providers);
    EXPECT_FALSE(g_ServiceDiscoveryRequest.IsSet());
    EXPECT_EQ(first->ConnectionsAccepted() + second->ConnectionsAccepted(), 1);
    EXPECT_TRUE(Reversals().empty()); // nothing went out

    // Descriptors back, the same provider carries the next Sale.
    StartInterface();
    const int32_t seq = Queue(MakeTransaction(kTranNumSale));
    ASSERT_TRUE(WaitForState(seq, kTranStateCompleted));
    EXPECT_EQ(TransactionsAt(*first), 2);
    StopInterface();
}

TEST_F(RuvuzUvirInterfaceTest, AStanThatCannotBeStoredIsNeverSentAndNoStanGoesOutTwice) {
    auto provider = Provider();
    g_ServiceProviderList.SetProviders({UrlOf(*provider)});
    StartInterface();
    const int32_t first = Queue(MakeTransaction(kTranNumSale));
    ASSERT_TRUE(WaitForState(first, kTranStateCompleted));

    // The STAN file cannot be read or written (a folder stands in its place).
    std::filesystem::remove(kSynchroStanFileName);
    std::filesystem::create_directory(kSynchroStanFileName);
    const int32_t blocked = Queue(MakeTransaction(kTranNumSale));
    ASSERT_TRUE(WaitForState(blocked, kTranStateHostError));
    const std::string text = QueuedRecord(blocked).m_HostErrorText;
    EXPECT_EQ(text.rfind("Transaction Not Sent - Synchronized Stan File", 0), 0u) << text;
    EXPECT_EQ(TransactionsAt(*provider), 1);
    EXPECT_TRUE(Reversals().empty());

    // The file gone altogether: it is made anew from the last STAN handed out, not from 0.
    std::filesystem::remove(kSynchroStanFileName);
    const int32_t after = Queue(MakeTransaction(kTranNumSale));
    ASSERT_TRUE(WaitForState(after, kTranStateCompleted));
    ASSERT_TRUE(WaitForIdle());
    std::vector<std::string> refs;
    for (const CDatawireRequest& request : provider->Requests()) {
        if (request.kind == DatawireRequestKind::Transaction) {
            refs.push_back(request.clientRef);
        }
    }
    ASSERT_EQ(refs.size(), 2u);
    EXPECT_NE(refs[0], refs[1]);
    EXPECT_EQ(std::stoi(refs[1].substr(0, 7)), std::stoi(refs[0].substr(0, 7)) + 1);
    StopInterface();
}

TEST_F(RuvuzUvirInterfaceTest, AnAddedTransactionIsTakenAtOnceWithoutATimedLookAtTheQueue) {
    auto provider = Provider();
    g_ServiceProviderList.SetProviders({UrlOf(*provider)});
    StartInterface();
    // With the clock standing still no timed wait of the processing loop can end: only the queue's own
    // notification of the add can bring the transaction to a worker.
    m_Clock.Hold();
    for (int i = 0; i < 3; ++i) {
        const int32_t seq = Queue(MakeTransaction(kTranNumSale));
        ASSERT_TRUE(WaitForState(seq, kTranStateCompleted)) << i;
    }
    EXPECT_EQ(TransactionsAt(*provider), 3);
    m_Clock.Run();
    StopInterface();
}

TEST_F(RuvuzUvirInterfaceTest, AStopEndsAnIdleProcessingLoopAtOnce) {
    StartInterface();
    m_Clock.Hold(); // an idle loop waits for no time-out: only the stop can end it
    const auto start = std::chrono::steady_clock::now();
    StopInterface();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    m_Clock.Run();
}
