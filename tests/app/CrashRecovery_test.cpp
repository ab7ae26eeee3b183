// The program killed at the worst moments: kestrove runs as a child process against the host simulator, which books
// a transaction and holds its answer; SIGKILL ends the program while it waits; started again in the same folder,
// it must leave every card's balance exactly as the lanes saw it approved (reversed once, never twice).
//
// A reversal waits until more than 35 seconds have passed since the transaction it reverses. The restarted program
// runs with its wall clock 40 seconds ahead (libfaketime; its steady clock is left alone), so that hold has passed
// at once instead of after half a minute of real time.

#include <csignal>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ProgramWorld.h"
#include "common/CardDataScan.h"
#include "common/LogFolder.h"
#include "common/TempDirTest.h"
#include "foundation/Logger.h"
#include "transaction/ReversalJournal.h"
#include "transaction/SynchroStanFile.h"

using ::testing::HasSubstr;
using ::testing::Not;
using testing_child::AheadOfTheWallClock;
using testing_child::CProgramWorld;
using testing_child::FakeTimeLibrary;
using testing_child::kProgramTimeoutMs;

namespace fs = std::filesystem;

namespace {

const std::string kCard = "6006497777777777";
constexpr int64_t kStartBalance = 5000;

class CrashRecoveryTest : public TempDirTest {
protected:
    void SetUp() override {
        ASSERT_FALSE(FakeTimeLibrary().empty()) << "libfaketime is missing: run scripts/setup";
        ASSERT_TRUE(m_World.Ok());
        m_World.Simulator().Host().AddCard(kCard, kStartBalance);
    }

    // The provider books the next transaction and never answers it.
    void HoldTheNextAnswer() {
        CProviderScript script;
        script.fault = ProviderFault::Timeout;
        script.hostApplies = true;
        script.count = 1;
        m_World.Simulator().ScriptProvider(0, script);
    }

    void Kill() {
        ASSERT_TRUE(m_World.Server().Signal(SIGKILL));
        ASSERT_TRUE(m_World.Server().Wait(kProgramTimeoutMs));
        EXPECT_EQ(m_World.Server().ExitCode(), 128 + SIGKILL);
    }

    // Run 1: a lane's Sale of 12.50 that the host books and holds, and the program killed while it waits.
    void KillWhileTheHostHoldsTheSale() {
        HoldTheNextAnswer();
        const int port = m_World.StartService();
        ASSERT_GT(port, 0);
        std::string error;
        auto lane = CProgramWorld::Lane(port, &error);
        ASSERT_NE(lane, nullptr) << error;
        ASSERT_TRUE(lane->SendRequest(CEndToEndWorld::Request("Sale", kCard, "12.50")));
        SPosReply queued;
        ASSERT_TRUE(lane->ReadReply(&queued, kProgramTimeoutMs)) << lane->LastError();
        EXPECT_THAT(queued.textResponse, HasSubstr("Queued:"));
        ASSERT_TRUE(m_World.Simulator().WaitForExchanges(1, kProgramTimeoutMs));
        EXPECT_EQ(m_World.Simulator().Host().Balance(kCard), kStartBalance - 1250);
        Kill();
        // The lane saw no approval; the journal knows what the host may have booked.
        const std::vector<CJournalEntry> entries = Journal().Entries();
        ASSERT_EQ(entries.size(), 1u);
        EXPECT_TRUE(entries[0].inDoubt);
        EXPECT_EQ(entries[0].record.m_Account, kCard);
    }

    // The journal the program left, read as the next run will read it.
    CReversalJournal Journal() const {
        return CReversalJournal(m_World.Folder() / kReversalJournalFileName,
                                m_World.Folder() / kReversalJournalKeyFileName);
    }

    std::vector<CHostExchange> Exchanges() { return m_World.Simulator().Exchanges(); }

    // The STANs of the transactions the host has received, in the order they came.
    std::vector<int> SentStans() {
        std::vector<int> stans;
        for (int i = 0; i < m_World.Simulator().ProviderCount(); ++i) {
            for (const CDatawireRequest& request : m_World.Simulator().Provider(i).Requests()) {
                if (request.kind == DatawireRequestKind::Transaction) {
                    stans.push_back(std::stoi(request.clientRef.substr(0, 7)));
                }
            }
        }
        return stans;
    }

    // A lane's Sale of 1.00 on |port|, approved; the STAN it went to the host under.
    int SellAndGetStan(int port) {
        std::string error;
        auto lane = CProgramWorld::Lane(port, &error);
        EXPECT_NE(lane, nullptr) << error;
        if (lane == nullptr) {
            return -1;
        }
        EXPECT_TRUE(lane->SendRequest(CEndToEndWorld::Request("Sale", kCard, "1.00")));
        SPosReply reply;
        EXPECT_TRUE(lane->ReadReply(&reply, kProgramTimeoutMs)) << lane->LastError(); // "Queued:"
        EXPECT_TRUE(lane->ReadReply(&reply, kProgramTimeoutMs)) << lane->LastError();
        EXPECT_EQ(reply.cmdStatus, "Approved");
        const std::vector<int> stans = SentStans();
        return stans.empty() ? -1 : stans.back();
    }

    std::string StanFile() const { return ReadFileBytes(m_World.Folder() / kSynchroStanFileName); }

    // What every run leaves: the balance the lanes saw, an empty journal, files for the owner alone and no card
    // number in any of them.
    void ExpectSettled() {
        EXPECT_EQ(m_World.Simulator().Host().Balance(kCard), kStartBalance);
        EXPECT_TRUE(Journal().Entries().empty());
        const fs::path folder = m_World.Folder();
        EXPECT_EQ(fs::status(folder / CLogger::kFolderName).permissions(), fs::perms::owner_all);
        for (const auto& entry : fs::directory_iterator(folder / CLogger::kFolderName)) {
            EXPECT_EQ(entry.status().permissions(), fs::perms::owner_read | fs::perms::owner_write) << entry.path();
        }
        EXPECT_EQ(fs::status(folder / kReversalJournalFileName).permissions(),
                  fs::perms::owner_read | fs::perms::owner_write);
        EXPECT_EQ(fs::status(folder / "CORVANE_KEYS").permissions(), fs::perms::owner_all);
        EXPECT_EQ(fs::status(folder / kReversalJournalKeyFileName).permissions(),
                  fs::perms::owner_read | fs::perms::owner_write);
        for (const std::string& found : CardDataFoundIn(folder, {kCard}, kReversalJournalFileName)) {
            ADD_FAILURE() << found;
        }
    }

    CProgramWorld m_World{m_TempDir.Path() / "server", m_TempDir.Path(), CProgramWorld::OneProvider()};
};

} // namespace

TEST_F(CrashRecoveryTest, ASaleBookedWhenTheProgramWasKilledIsReversedOnceAfterTheRestart) {
    KillWhileTheHostHoldsTheSale();

    ASSERT_GT(m_World.StartService(AheadOfTheWallClock(40)), 0);
    ASSERT_TRUE(m_World.WaitForLog("Completed Reversal (on Attempt# 1)")) << m_World.LogOfThisRun();
    const std::vector<CHostExchange> exchanges = Exchanges();
    ASSERT_EQ(exchanges.size(), 2u);
    EXPECT_EQ(exchanges[1].type, "0704");
    EXPECT_EQ(exchanges[1].origType, "0200");
    EXPECT_EQ(exchanges[1].responseCode, "00");
    EXPECT_TRUE(exchanges[1].applied);
    const std::string log = m_World.LogOfThisRun();
    EXPECT_EQ(CountOf(log, "-- because its outcome was left in doubt when the server stopped"), 1u);
    // It waited for the first provider list rather than fail for want of one.
    EXPECT_THAT(log, Not(HasSubstr("Failed for this Transaction")));
    m_World.StopCleanly();
    ExpectSettled();
    EXPECT_EQ(Exchanges().size(), 2u);
}

TEST_F(CrashRecoveryTest, AReversalCutOffByAKillIsSentAgainAndItsAlreadyReversedAnswerSettlesIt) {
    KillWhileTheHostHoldsTheSale();

    // Run 2: the host books the reversal and holds its answer; the program is killed again.
    HoldTheNextAnswer();
    ASSERT_GT(m_World.StartService(AheadOfTheWallClock(40)), 0);
    ASSERT_TRUE(m_World.Simulator().WaitForExchanges(2, kProgramTimeoutMs));
    EXPECT_EQ(Exchanges()[1].type, "0704");
    EXPECT_EQ(m_World.Simulator().Host().Balance(kCard), kStartBalance);
    Kill();
    const std::vector<CJournalEntry> entries = Journal().Entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_FALSE(entries[0].inDoubt);

    // Run 3: sent again; the host has done it already and says so.
    ASSERT_GT(m_World.StartService(AheadOfTheWallClock(40)), 0);
    ASSERT_TRUE(m_World.WaitForLog("Completed Reversal (on Attempt# 1)")) << m_World.LogOfThisRun();
    const std::vector<CHostExchange> exchanges = Exchanges();
    ASSERT_EQ(exchanges.size(), 3u);
    EXPECT_EQ(exchanges[2].type, "0704");
    EXPECT_EQ(exchanges[2].responseCode, "34");
    EXPECT_FALSE(exchanges[2].applied);
    // Revived from doubt once, in run 2; run 3 only queued the journal's reversal again.
    EXPECT_EQ(CountOf(ReadLogFolder(m_World.Folder()), "-- because its outcome was left in doubt"), 1u);
    m_World.StopCleanly();
    ExpectSettled();
}

TEST_F(CrashRecoveryTest, ACleanStopGoesOnFromTheLastStanAndAKillSkipsAheadButNeverBack) {
    // Run 1, stopped cleanly: the file holds the STAN last sent, not the end of the block reserved.
    int port = m_World.StartService();
    ASSERT_GT(port, 0);
    const int first = SellAndGetStan(port);
    ASSERT_GT(first, 0);
    m_World.StopCleanly();
    EXPECT_EQ(StanFile(), StanFileText(first));

    // Run 2 goes on with the next number, and is killed.
    port = m_World.StartService();
    ASSERT_GT(port, 0);
    const int second = SellAndGetStan(port);
    EXPECT_EQ(second, first + 1);
    Kill();

    // Run 3 starts above the block run 2 had reserved: numbers skipped, none used again.
    port = m_World.StartService();
    ASSERT_GT(port, 0);
    const int third = SellAndGetStan(port);
    EXPECT_GT(third, second + kStanReserveBlock - 1);
    const std::vector<int> stans = SentStans();
    EXPECT_EQ(std::set<int>(stans.begin(), stans.end()).size(), stans.size());
    m_World.StopCleanly();
    EXPECT_EQ(StanFile(), StanFileText(third));
}
