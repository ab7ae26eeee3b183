// The program's own interface pieces wired as the program wires them, in this process against the modem-and-host
// simulator on a real pty: the reverse worker asks the dial backup whether it runs, so with IP down (no provider
// known) a reversal goes by dial as the transaction it reverses did, once its hold since that transaction is over;
// and a Sale whose lane gave up on it while the dial backup had it on a call is reversed once.

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/InterfaceAdapters.h"
#include "common/LogFolder.h"
#include "common/SampleTransaction.h"
#include "common/ScopedEnvironment.h"
#include "common/TempDirTest.h"
#include "common/TestClock.h"
#include "common/Wait.h"
#include "foundation/Logger.h"
#include "foundation/ParamSettings.h"
#include "foundation/SharedConstants.h"
#include "host/DialBackupServer.h"
#include "peers/CardHost.h"
#include "peers/ModemSimulator.h"
#include "tests/host/HostTestSupport.h"
#include "transaction/ReversalJournal.h"
#include "transaction/TransactionQueue.h"

namespace {

constexpr int kComPort = 3;
const std::string kAccount = "6006491234567890";
// The hold of a reversal since its transaction (more than 35 whole seconds), and a second more.
constexpr uint64_t kPastTheHoldMs = 37000;

// The reversal of g_TransactionQueue, state -1 while there is none.
CTransaction QueuedReversal() {
    CTransactionList all;
    g_TransactionQueue.GetAll(all);
    for (const CTransaction& record : all) {
        if (record.m_TranCode == kTranNumReversal) {
            return record;
        }
    }
    CTransaction none;
    none.m_State = -1;
    return none;
}

class InterfaceAdaptersTest : public TempDirTest {
protected:
    void SetUp() override {
        PrepareLogFolder();
        hosttest::ResetSharedHostState();
        m_Host.AddCard(kAccount, 5000);
    }
    void TearDown() override {
        hosttest::ResetSharedHostState();
        CLogger::Instance().Flush();
    }

    CCardHost m_Host;
};

// The reverse worker, the host interface and the dial backup on |modem|'s pty, started in the start-up's order and
// stopped in the shut-down's. For the test's thread.
class CWiredDialParts {
public:
    explicit CWiredDialParts(const CModemSimulator& modem)
        : m_Device(Variable().c_str(), modem.DevicePath().c_str()),
          m_Lines((Variable() + "_LINES").c_str(), modem.LinesPath().c_str()), m_ReverseWorker(m_DialBackup),
          m_HostInterface(m_DialBackup) {}
    ~CWiredDialParts() {
        m_ReverseWorker.Stop();
        m_HostInterface.Stop();
        m_DialBackup.Stop();
    }
    CWiredDialParts(const CWiredDialParts&) = delete;
    CWiredDialParts& operator=(const CWiredDialParts&) = delete;

    // Fails the test when a part does not start.
    void Start() {
        ASSERT_TRUE(m_ReverseWorker.Start());
        ASSERT_TRUE(m_HostInterface.Start());
        ASSERT_TRUE(m_DialBackup.Start(kComPort)) << m_DialBackup.GetLastErrorText();
    }

private:
    static std::string Variable() { return "KESTROVE_COM" + std::to_string(kComPort); }

    CScopedEnvironmentVariable m_Device;
    CScopedEnvironmentVariable m_Lines;
    CDialBackupPart m_DialBackup;
    CReverseWorkerPart m_ReverseWorker;
    CRuvuzUvirInterfacePart m_HostInterface;
};

TEST_F(InterfaceAdaptersTest, WithIpDownAReversalGoesByDialAsItsSaleDid) {
    // IP with dial backup, and no provider: discovery has found none (the internet is down).
    hosttest::SetMerchantParams({{kParamTransportMethod, "1"},
                                 {kParamModemComPort, std::to_string(kComPort)},
                                 {kParamAuthorizationPhoneNumber, "18005550100"}});
    CTestClock clock{CTestClock::SRealTime{}};
    CScopedClock clockScope(clock);
    // The host books the Sale, but its answer is cut off by a lost carrier.
    CModemScript script;
    script.host = ModemHostAnswer::CarrierLostMidway;
    CModemSimulator modem(m_Host, script);
    ASSERT_TRUE(modem.Start((m_TempDir.Path() / "com.lines").string())) << modem.LastError();
    CWiredDialParts parts(modem);
    ASSERT_NO_FATAL_FAILURE(parts.Start());

    CTransaction sale = SampleTransaction(kTranNumSale, kAccount, "1250");
    g_TransactionQueue.Add(sale);
    ASSERT_TRUE(WaitUntil([&] { return QueuedRecord(sale.m_QueueSeq).m_State == kTranStateHostError; }))
        << QueuedRecord(sale.m_QueueSeq).m_State;
    EXPECT_EQ(QueuedRecord(sale.m_QueueSeq).m_HostErrorText, kDialLostCarrierText);
    EXPECT_EQ(m_Host.Balance(kAccount), 3750);

    // The reversal reaches the host interface, which holds it until 35 s have passed since the Sale.
    ASSERT_TRUE(WaitUntil([] { return QueuedReversal().m_State == kTranStateTaken; }))
        << "the reversal waits in state " << QueuedReversal().m_State << " with " << g_ReversalQueue.GetCount()
        << " in the reversal queue";
    EXPECT_EQ(m_Host.Exchanges().size(), 1u);
    script.host = ModemHostAnswer::Good;
    modem.SetScript(script);
    clock.Advance(kPastTheHoldMs);

    // It goes over a call of its own and the funds are back.
    ASSERT_TRUE(WaitUntil([&] { return m_Host.Balance(kAccount) == 5000; })) << m_Host.Balance(kAccount);
    ASSERT_EQ(m_Host.Exchanges().size(), 2u);
    EXPECT_EQ(m_Host.Exchanges()[0].type, "0200");
    EXPECT_EQ(m_Host.Exchanges()[1].type, "0704");
    EXPECT_EQ(modem.Dialled(), (std::vector<std::string>{"18005550100", "18005550100"}));
    ASSERT_TRUE(WaitUntil([] { return CReversalJournal::Instance().Entries().empty(); }));
    EXPECT_EQ(CountLogLines("Completed Reversal (on Attempt# 1)"), 1);
}

TEST_F(InterfaceAdaptersTest, ASaleLostByItsLaneWhileOnADialCallIsReversedOnce) {
    // Dial alone: the lane gives up on its Sale (it removes the record, as a session does after waiting 300 s
    // for its client) while the host has booked it and its answer is still on its way.
    hosttest::SetMerchantParams({{kParamTransportMethod, "2"},
                                 {kParamModemComPort, std::to_string(kComPort)},
                                 {kParamAuthorizationPhoneNumber, "18005550100"}});
    const struct {
        const char* name;
        ModemHostAnswer host;
        const char* exchangeOver; // the dial backup's log line once the exchange is over
    } cases[] = {
        {"the answer comes after the record left", ModemHostAnswer::Good, "RESPONSE from RuvuzUvir (Dial) ->["},
        {"the call ends after the record left", ModemHostAnswer::CarrierLostMidway,
         "RESPONSE from RuvuzUvir (Dial) ERROR ->["},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        hosttest::ResetSharedHostState();
        CCardHost host;
        host.AddCard(kAccount, 5000);
        CTestClock clock{CTestClock::SRealTime{}};
        CScopedClock clockScope(clock);
        CModemScript script;
        script.host = c.host;
        script.answerDelayMs = 1500; // real time: the record leaves well before the answer
        CModemSimulator modem(host, script);
        const std::string linesFile = "com" + std::to_string(&c - cases) + ".lines";
        ASSERT_TRUE(modem.Start((m_TempDir.Path() / linesFile).string())) << modem.LastError();
        CWiredDialParts parts(modem);
        ASSERT_NO_FATAL_FAILURE(parts.Start());
        const int reversalsLogged = CountLogLines("Adding Reversal");
        const int exchangesOver = CountLogLines(c.exchangeOver);

        CTransaction sale = SampleTransaction(kTranNumSale, kAccount, "1250");
        g_TransactionQueue.Add(sale);
        ASSERT_TRUE(WaitUntil([&] { return host.Balance(kAccount) == 3750; })) << host.Balance(kAccount);
        std::vector<CJournalEntry> entries = CReversalJournal::Instance().Entries();
        ASSERT_EQ(entries.size(), 1u);
        EXPECT_TRUE(entries[0].inDoubt);
        ASSERT_TRUE(g_TransactionQueue.RemoveBySeq(sale.m_QueueSeq));
        ASSERT_TRUE(WaitUntil([&] { return CountLogLines(c.exchangeOver) == exchangesOver + 1; }));

        // The in-doubt entry has become the one reversal, held until 35 s have passed since the Sale.
        ASSERT_TRUE(WaitUntil([] { return QueuedReversal().m_State == kTranStateTaken; }))
            << "the reversal waits in state " << QueuedReversal().m_State << " with " << g_ReversalQueue.GetCount()
            << " in the reversal queue";
        entries = CReversalJournal::Instance().Entries();
        ASSERT_EQ(entries.size(), 1u);
        EXPECT_FALSE(entries[0].inDoubt);
        EXPECT_EQ(entries[0].record.m_TranCode, kTranNumReversal);
        EXPECT_EQ(host.Exchanges().size(), 1u);
        script.host = ModemHostAnswer::Good;
        script.answerDelayMs = 0;
        modem.SetScript(script);
        clock.Advance(kPastTheHoldMs);

        ASSERT_TRUE(WaitUntil([&] { return host.Balance(kAccount) == 5000; })) << host.Balance(kAccount);
        ASSERT_TRUE(WaitUntil([] { return CReversalJournal::Instance().Entries().empty(); }));
        ASSERT_EQ(host.Exchanges().size(), 2u);
        EXPECT_EQ(host.Exchanges()[0].type, "0200");
        EXPECT_EQ(host.Exchanges()[1].type, "0704");
        EXPECT_EQ(CountLogLines("Adding Reversal"), reversalsLogged + 1);
    }
}

} // namespace
