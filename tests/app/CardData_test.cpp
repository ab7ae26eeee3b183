// Card data handed to the real program: kestrove runs as a child process against the host simulator, a lane takes
// every TranCode through a card's life (keyed and swiped, with a CVV, a card field given twice) and a Sale that
// ends in a reversal, and every byte of every file the program wrote in its folder is read back: no full account
// number, track text or CVV stands anywhere but sealed in the reversal journal.

#include <cstdint>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ProgramWorld.h"
#include "common/CardDataScan.h"
#include "common/LogFolder.h"
#include "common/TempDirTest.h"
#include "foundation/Logger.h"
#include "peers/CardDataLife.h"
#include "transaction/ReversalJournal.h"

using ::testing::HasSubstr;
using testing_child::AheadOfTheWallClock;
using testing_child::CProgramWorld;
using testing_child::FakeTimeLibrary;
using testing_child::kProgramTimeoutMs;

namespace {

class CardDataTest : public TempDirTest {
protected:
    void SetUp() override {
        ASSERT_FALSE(FakeTimeLibrary().empty()) << "libfaketime is missing: run scripts/setup";
        ASSERT_TRUE(m_World.Ok());
    }

    // The journal the program left, read as its next run will read it.
    CReversalJournal Journal() const {
        return CReversalJournal(m_World.Folder() / kReversalJournalFileName,
                                m_World.Folder() / kReversalJournalKeyFileName);
    }

    // Fails for every file of the program's folder that holds card data in the clear.
    void ExpectNoCardData() {
        const std::filesystem::path folder = m_World.Folder();
        EXPECT_GE(FileCountUnder(folder), 4u); // the log, the journal's key, the STAN file, the output at least
        for (const std::string& found : CardDataFoundIn(folder, CardDataLifeSecrets(), kReversalJournalFileName)) {
            ADD_FAILURE() << found;
        }
    }

    int64_t Balance() { return m_World.Simulator().Host().Balance(kLifeKeyedCard); }

    CProgramWorld m_World{m_TempDir.Path() / "server", m_TempDir.Path(), CProgramWorld::OneProvider()};
};

} // namespace

TEST_F(CardDataTest, NoCardNumberTrackOrCvvIsWrittenToAnyFileButSealedInTheJournal) {
    const int port = m_World.StartService();
    ASSERT_GT(port, 0);
    std::string error;
    auto lane = CProgramWorld::Lane(port, &error);
    ASSERT_NE(lane, nullptr) << error;
    for (const std::string& problem : RunCardDataLife(*lane, kProgramTimeoutMs)) {
        ADD_FAILURE() << problem;
    }

    // A Sale, its card field given twice, that the host books and whose connection closes before the answer: the
    // lane is told it failed, and the reversal waits in the journal for its hold to pass. The life cashed the card
    // out: it is reloaded first.
    SPosReply reply;
    ASSERT_TRUE(
        lane->Transact(CardDataRequest("Reload", kLifeKeyedCard, "10.00", "5990"), &reply, nullptr, kProgramTimeoutMs))
        << lane->LastError();
    EXPECT_EQ(reply.cmdStatus, "Approved") << reply.document;
    const int64_t before = Balance();
    ASSERT_EQ(before, 1000);
    CProviderScript cut;
    cut.fault = ProviderFault::CloseAfterRequest;
    cut.hostApplies = true;
    cut.count = 1;
    m_World.Simulator().ScriptProvider(0, cut);
    SPosRequest sale = CardDataRequest("Sale", kLifeKeyedCard, "1.00", "6000");
    sale.extra.emplace_back("AcctNo", kLifeKeyedCard);
    ASSERT_TRUE(lane->Transact(sale, &reply, nullptr, kProgramTimeoutMs)) << lane->LastError();
    EXPECT_EQ(reply.returnCode, 4003) << reply.document;
    EXPECT_EQ(Balance(), before - 100);
    ASSERT_TRUE(m_World.WaitForLog("-- because of TIMEOUT (IP) from Datawire.")) << m_World.LogOfThisRun();
    ASSERT_EQ(Journal().Entries().size(), 1u);
    const std::string log = m_World.LogOfThisRun();
    // The lines that carry a request and a host answer are there to be read.
    EXPECT_THAT(log, HasSubstr("Request ->["));
    EXPECT_THAT(log, HasSubstr("RESPONSE from RuvuzUvir ->["));
    ExpectNoCardData();

    // Stopped with the reversal pending, and started again past its hold: it goes out and settles.
    lane.reset();
    m_World.StopCleanly();
    ASSERT_EQ(Journal().Entries().size(), 1u);
    ExpectNoCardData();
    ASSERT_GT(m_World.StartService(AheadOfTheWallClock(40)), 0);
    ASSERT_TRUE(m_World.WaitForLog("Completed Reversal (on Attempt# 1)")) << m_World.LogOfThisRun();
    const std::vector<CHostExchange> exchanges = m_World.Simulator().Exchanges();
    ASSERT_FALSE(exchanges.empty());
    EXPECT_EQ(exchanges.back().type, "0704");
    EXPECT_EQ(exchanges.back().account, kLifeKeyedCard);
    EXPECT_EQ(Balance(), before);
    m_World.StopCleanly();
    EXPECT_TRUE(Journal().Entries().empty());
    ExpectNoCardData();
    for (const std::string& problem : m_World.Simulator().Problems()) {
        ADD_FAILURE() << "the simulator found: " << problem;
    }
}
