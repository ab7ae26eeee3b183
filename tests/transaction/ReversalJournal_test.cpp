#include "transaction/ReversalJournal.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/LogFolder.h"
#include "common/SampleTransaction.h"
#include "common/TempDirTest.h"
#include "common/TestClock.h"
#include "common/Wait.h"
#include "platform/Clock.h"
#include "platform/Mutex.h"
#include "transaction/JournalTestSupport.h"
#include "transaction/ReverseWorker.h"

using testsupport::IdsIn;
using testsupport::IdsOnDisk;
using testsupport::JournalKey;
using testsupport::JournalLines;
using testsupport::LineOf;

namespace {
// What the disk was asked to take: when, and what the journal file held then.
struct CFlush {
    uint64_t tickMs = 0;
    std::string fileBytes;
};

// A journal of its own in the test's folder, on a clock that stands still until the test moves it, with every
// flush recorded. A flush can be held up (a disk that stalls) until the test lets it go.
class ReversalJournalTest : public TempDirTest {
protected:
    void SetUp() override {
        PrepareLogFolder();
        m_Journal = std::make_unique<CReversalJournal>();
        m_Journal->SetFlushHookForTesting([this] {
            CFlush flush{GetClock().TickMs(), ReadFileBytes(kReversalJournalFileName)};
            {
                CMutexLock lock(m_Lock);
                m_Flushes.push_back(std::move(flush));
            }
            if (m_StallNext.exchange(false)) {
                m_Stalled = true;
                m_Release.get_future().wait();
            }
        });
    }
    void TearDown() override {
        ReleaseStall();
        m_Journal.reset();
    }

    std::vector<CFlush> Flushes() {
        CMutexLock lock(m_Lock);
        return m_Flushes;
    }
    // Whether the flush count stays at |count| while the test gives the flusher a moment of real time.
    bool StillFlushed(size_t count) {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        return Flushes().size() == count;
    }
    void ReleaseStall() {
        if (!m_Released) {
            m_Released = true;
            m_Release.set_value();
        }
    }

    static CTransaction Reversal() { return MakeReversalRecord(SampleTransaction()); }
    static CJournalEntry InDoubt(uint64_t id) {
        CJournalEntry entry;
        entry.id = id;
        entry.inDoubt = true;
        entry.record = Reversal();
        return entry;
    }

    CTestClock m_Clock;
    CScopedClock m_ScopedClock{m_Clock};
    CMutex m_Lock;
    std::vector<CFlush> m_Flushes GUARDED_BY(m_Lock);
    std::atomic<bool> m_StallNext{false};
    std::atomic<bool> m_Stalled{false};
    std::promise<void> m_Release;
    bool m_Released = false;
    std::unique_ptr<CReversalJournal> m_Journal; // last: it ends before what its hook touches
};

} // namespace

TEST_F(ReversalJournalTest, SettlesAreFlushedTogetherWithinTheBoundWithoutFurtherTraffic) {
    const uint64_t kept = m_Journal->AddInDoubt(Reversal());
    const uint64_t first = m_Journal->AddInDoubt(Reversal());
    const uint64_t second = m_Journal->AddInDoubt(Reversal());
    ASSERT_NE(kept * first * second, 0u);
    const CSealingKey key = JournalKey();
    const size_t before = Flushes().size();

    const uint64_t settledAt = m_Clock.TickMs();
    m_Journal->SettleInDoubt(first);
    m_Journal->SettleInDoubt(second);
    // In the file at once, which is what a killed process leaves; neither call waited for the disk.
    EXPECT_EQ(IdsOnDisk(key), (std::vector<uint64_t>{kept}));
    m_Clock.Advance(kJournalSettleFlushMs - 1);
    EXPECT_TRUE(StillFlushed(before));

    m_Clock.Advance(1);
    ASSERT_TRUE(WaitUntil([&] { return Flushes().size() > before; }, 5000));
    EXPECT_TRUE(StillFlushed(before + 1)); // one flush carried both
    const CFlush flush = Flushes().back();
    EXPECT_LE(flush.tickMs - settledAt, 100u);
    EXPECT_EQ(IdsIn(flush.fileBytes, key), (std::vector<uint64_t>{kept}));

    // Nothing waits now: however long the store stays quiet, the journal does not flush again.
    m_Clock.Advance(60 * 60 * 1000);
    EXPECT_TRUE(StillFlushed(before + 1));

    // The last entry leaving empties the file at once, and the emptying is flushed in the same time.
    const uint64_t lastAt = m_Clock.TickMs();
    m_Journal->SettleInDoubt(kept);
    EXPECT_EQ(ReadFileBytes(kReversalJournalFileName), "");
    m_Clock.Advance(kJournalSettleFlushMs);
    ASSERT_TRUE(WaitUntil([&] { return Flushes().size() > before + 1; }, 5000));
    EXPECT_LE(Flushes().back().tickMs - lastAt, 100u);
    EXPECT_EQ(Flushes().back().fileBytes, "");
    EXPECT_TRUE(m_Journal->Entries().empty());
}

TEST_F(ReversalJournalTest, ASettleReachesTheFileWhileAnotherEntrysFlushIsStalled) {
    const uint64_t delivered = m_Journal->AddInDoubt(Reversal());
    const CSealingKey key = JournalKey();
    m_StallNext = true;
    std::atomic<uint64_t> stalled{0};
    std::thread other([&] { stalled = m_Journal->AddInDoubt(Reversal()); });
    ASSERT_TRUE(WaitUntil([&] { return m_Stalled.load(); }, 5000));

    // The lane has its approval: its settle is in the file while the other entry still waits for the disk.
    auto settle = std::async(std::launch::async, [&] { m_Journal->SettleInDoubt(delivered); });
    const bool returned = settle.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    EXPECT_TRUE(returned);
    const std::vector<uint64_t> ids = IdsOnDisk(key);
    ASSERT_EQ(ids.size(), 1u);
    EXPECT_NE(ids[0], delivered);

    ReleaseStall();
    other.join();
    settle.wait();
    EXPECT_EQ(stalled.load(), ids[0]);
}

TEST_F(ReversalJournalTest, ChangesMadeWhileTheWholeFileIsWrittenAreCarriedIntoTheNewFile) {
    // A file past the size at which it is written anew at its next flush: an entry and a long line kept for the
    // operator.
    const CSealingKey key = JournalKey();
    const CJournalEntry waiting = InDoubt(7);
    const std::string damaged = kDamagedLinePrefix + std::string(300 * 1024, 'x');
    WriteFileBytes(kReversalJournalFileName, LineOf(waiting, key) + "\n" + damaged + "\n");
    ASSERT_EQ(m_Journal->Entries().size(), 1u);

    m_StallNext = true;
    std::atomic<uint64_t> added{0};
    std::thread adder([&] { added = m_Journal->AddInDoubt(Reversal()); });
    ASSERT_TRUE(WaitUntil([&] { return m_Stalled.load(); }, 5000));
    // The new file is being written: the settle goes to the file that is the journal until then ...
    auto settle = std::async(std::launch::async, [&] { m_Journal->SettleInDoubt(waiting.id); });
    EXPECT_EQ(settle.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(IdsOnDisk(key), (std::vector<uint64_t>{8}));

    // ... and into the new one when it takes its place.
    ReleaseStall();
    adder.join();
    settle.wait();
    EXPECT_EQ(added.load(), 8u);
    EXPECT_EQ(IdsOnDisk(key), (std::vector<uint64_t>{8}));
    const std::vector<std::string> lines = JournalLines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), damaged), 1); // (not printed: 300 KiB)
    EXPECT_LT(ReadFileBytes(kReversalJournalFileName).size(), damaged.size() + 4096);
    CReversalJournal fromDisk;
    ASSERT_EQ(fromDisk.Entries().size(), 1u);
    EXPECT_EQ(fromDisk.Entries()[0].id, 8u);
}

TEST_F(ReversalJournalTest, AReplacementIsOneLineSoATornOneLeavesTheEntryItReplaces) {
    const uint64_t id = m_Journal->AddInDoubt(Reversal());
    CTransaction retried = Reversal();
    retried.m_ReversalAttempts = 2;
    m_Journal->MarkFailed(id, retried, 1700000000000);
    const std::vector<std::string> lines = JournalLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[1].find("\treplace=1\t"), std::string::npos);
    {
        CReversalJournal fromDisk;
        ASSERT_EQ(fromDisk.Entries().size(), 1u);
        EXPECT_FALSE(fromDisk.Entries()[0].inDoubt);
        EXPECT_EQ(fromDisk.Entries()[0].failedAtMs, 1700000000000);
    }

    // The power went while the replacement was being written: the entry in doubt is still there to reverse.
    m_Journal.reset();
    WriteFileBytes(kReversalJournalFileName, lines[0] + "\n" + lines[1].substr(0, lines[1].size() / 2));
    CReversalJournal torn;
    const std::vector<CJournalEntry> entries = torn.Entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].id, id);
    EXPECT_TRUE(entries[0].inDoubt);
}

TEST_F(ReversalJournalTest, AReplacementWrittenByAnEarlierVersionStillLoads) {
    // Earlier versions wrote a replacement as the removal of the entry followed by its new line.
    const CSealingKey key = JournalKey();
    const CJournalEntry old = InDoubt(5);
    CJournalEntry replacement = old;
    replacement.inDoubt = false;
    replacement.failedAtMs = 1700000000000;
    WriteFileBytes(kReversalJournalFileName,
                   LineOf(old, key) + "\n" + EncodeJournalRemoval(5) + "\n" + LineOf(replacement, key) + "\n");
    const std::vector<CJournalEntry> entries = m_Journal->Entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].id, 5u);
    EXPECT_FALSE(entries[0].inDoubt);
    EXPECT_EQ(entries[0].failedAtMs, 1700000000000);
    EXPECT_EQ(LogText().find("damaged"), std::string::npos);
}
