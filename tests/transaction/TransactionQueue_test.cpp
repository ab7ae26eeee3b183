#include "transaction/TransactionQueue.h"

#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/LogFolder.h"
#include "common/TempDirTest.h"
#include "common/TestClock.h"
#include "foundation/Logger.h"

namespace {
// A record told apart by its invoice number.
CTransaction Record(const std::string& invoice) {
    CTransaction transaction;
    transaction.m_InvoiceNo = invoice;
    transaction.m_State = kTranStateQueued;
    return transaction;
}

std::vector<std::string> Invoices(const CTransactionList& list) {
    std::vector<std::string> invoices;
    for (const CTransaction& transaction : list) {
        invoices.push_back(transaction.m_InvoiceNo);
    }
    return invoices;
}

class TransactionQueueTest : public ::testing::Test {
protected:
    CTestClock m_Clock{1000000};
    CScopedClock m_ScopedClock{m_Clock};
    CTransactionQueue m_Queue;

    // Adds records "a", "b", ... and returns their sequence numbers.
    std::vector<int32_t> AddRecords(int count) {
        std::vector<int32_t> seqs;
        for (int i = 0; i < count; ++i) {
            CTransaction transaction = Record(std::string(1, static_cast<char>('a' + i)));
            m_Queue.Add(transaction);
            seqs.push_back(transaction.m_QueueSeq);
        }
        return seqs;
    }
};
} // namespace

TEST_F(TransactionQueueTest, AddNumbersFromOneAndSubSequenceWrapsAfter32) {
    for (int i = 1; i <= 33; ++i) {
        CTransaction transaction = Record("x");
        m_Queue.Add(transaction);
        EXPECT_EQ(transaction.m_QueueSeq, i);
        EXPECT_EQ(transaction.m_QueueSubSeq, i <= 32 ? i : 1);
    }
    EXPECT_EQ(m_Queue.GetCount(), 33);
    CTransaction queued;
    ASSERT_TRUE(m_Queue.GetBySeq(33, queued));
    EXPECT_EQ(queued.m_QueueSubSeq, 1); // the numbers travel with the queued copy too
}

TEST_F(TransactionQueueTest, SequenceAfter999999IsOne) {
    m_Queue.SetLastNumbersForTesting(kMaxQueueSeq - 1, 31);
    CTransaction first = Record("last");
    CTransaction second = Record("wrapped");
    m_Queue.Add(first);
    m_Queue.Add(second);
    EXPECT_EQ(first.m_QueueSeq, 999999);
    EXPECT_EQ(first.m_QueueSubSeq, 32);
    EXPECT_EQ(second.m_QueueSeq, 1);
    EXPECT_EQ(second.m_QueueSubSeq, 1);
}

TEST_F(TransactionQueueTest, RemoveAllKeepsTheNumberingAndTheLastAddTick) {
    AddRecords(3);
    m_Clock.Advance(500);
    m_Queue.RemoveAll();
    EXPECT_EQ(m_Queue.GetCount(), 0);
    EXPECT_EQ(m_Queue.MsSinceLastAdd(), 500u);
    CTransaction next = Record("next");
    m_Queue.Add(next);
    EXPECT_EQ(next.m_QueueSeq, 4);
    EXPECT_EQ(next.m_QueueSubSeq, 4);
}

TEST_F(TransactionQueueTest, GetAllCopiesEveryRecordInQueueOrder) {
    AddRecords(3);
    CTransactionList out{Record("stale")};
    m_Queue.GetAll(out);
    EXPECT_EQ(Invoices(out), (std::vector<std::string>{"a", "b", "c"}));
    out[0].m_InvoiceNo = "changed";
    CTransaction queued;
    ASSERT_TRUE(m_Queue.GetBySeq(1, queued));
    EXPECT_EQ(queued.m_InvoiceNo, "a"); // callers hold copies, never the queued record
}

struct SeqListCase {
    const char* name;
    std::vector<int32_t> seqs;
    std::vector<std::string> expected;
};

class GetBySeqListTest : public TransactionQueueTest, public ::testing::WithParamInterface<SeqListCase> {};

TEST_P(GetBySeqListTest, ReturnsTheNamedRecordsInQueueOrder) {
    AddRecords(4); // a=1 b=2 c=3 d=4
    ASSERT_TRUE(m_Queue.RemoveBySeq(2));
    CTransactionList out{Record("stale")};
    m_Queue.GetBySeqList(GetParam().seqs, out);
    EXPECT_EQ(Invoices(out), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, GetBySeqListTest,
    ::testing::Values(SeqListCase{"Empty", {}, {}}, SeqListCase{"QueueOrderNotArrayOrder", {4, 1}, {"a", "d"}},
                      SeqListCase{"NamedTwiceComesTwice", {3, 3}, {"c", "c"}},
                      SeqListCase{"GoneNumbersAreLeftOut", {2, 4, 99}, {"d"}}, SeqListCase{"NoneQueued", {2, 7}, {}}),
    [](const ::testing::TestParamInfo<SeqListCase>& info) { return std::string(info.param.name); });

TEST_F(TransactionQueueTest, LookupsTakeTheFirstRecordWhenANumberCameRoundAgain) {
    AddRecords(1);                          // "a" is 1
    m_Queue.SetLastNumbersForTesting(0, 0); // a million adds later, while "a" still waits
    CTransaction again = Record("again");
    m_Queue.Add(again);
    ASSERT_EQ(again.m_QueueSeq, 1);

    CTransactionList out;
    m_Queue.GetBySeqList({1}, out);
    EXPECT_EQ(Invoices(out), (std::vector<std::string>{"a"})); // as many as were asked for
    CTransaction found;
    ASSERT_TRUE(m_Queue.GetBySeq(1, found));
    EXPECT_EQ(found.m_InvoiceNo, "a");
    ASSERT_TRUE(m_Queue.RemoveBySeq(1));
    ASSERT_TRUE(m_Queue.GetBySeq(1, found));
    EXPECT_EQ(found.m_InvoiceNo, "again");
}

TEST_F(TransactionQueueTest, LookupsOfAnAbsentNumberChangeNothing) {
    AddRecords(2);
    CTransaction out = Record("untouched");
    EXPECT_FALSE(m_Queue.GetBySeq(9, out));
    EXPECT_EQ(out.m_InvoiceNo, "untouched");
    EXPECT_FALSE(m_Queue.RemoveBySeq(9));
    EXPECT_FALSE(m_Queue.ReplaceBySeq(9, Record("z")));
    EXPECT_EQ(m_Queue.GetCount(), 2);
}

TEST_F(TransactionQueueTest, ReplaceOverwritesTheWholeRecordInPlace) {
    AddRecords(3);
    CTransaction changed;
    ASSERT_TRUE(m_Queue.GetBySeq(2, changed));
    changed.m_State = kTranStateCompleted;
    changed.m_HostAuthCode = "123456";
    ASSERT_TRUE(m_Queue.ReplaceBySeq(2, changed));
    CTransactionList out;
    m_Queue.GetAll(out);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[1].m_State, kTranStateCompleted);
    EXPECT_EQ(out[1].m_HostAuthCode, "123456");
    EXPECT_EQ(Invoices(out), (std::vector<std::string>{"a", "b", "c"}));

    // Its numbers are replaced too: the record then answers to the new number.
    changed.m_QueueSeq = 77;
    ASSERT_TRUE(m_Queue.ReplaceBySeq(2, changed));
    EXPECT_FALSE(m_Queue.GetBySeq(2, changed));
    EXPECT_TRUE(m_Queue.GetBySeq(77, changed));
}

TEST_F(TransactionQueueTest, PopFrontTakesTheHeadAndLeavesOutputAloneWhenEmpty) {
    AddRecords(2);
    CTransaction out;
    ASSERT_TRUE(m_Queue.PopFront(out));
    EXPECT_EQ(out.m_InvoiceNo, "a");
    ASSERT_TRUE(m_Queue.PopFront(out));
    EXPECT_EQ(out.m_InvoiceNo, "b");
    out = Record("kept");
    EXPECT_FALSE(m_Queue.PopFront(out));
    EXPECT_EQ(out.m_InvoiceNo, "kept");
    EXPECT_EQ(m_Queue.GetCount(), 0);
}

struct SinceAddCase {
    const char* name;
    uint64_t startTick;
    bool add;
    uint64_t advance;
    uint64_t expected;
};

class MsSinceLastAddTest : public ::testing::TestWithParam<SinceAddCase> {};

TEST_P(MsSinceLastAddTest, CountsFromTheLastAddOrFrom30SecondsBeforeStart) {
    const SinceAddCase& c = GetParam();
    CTestClock clock(c.startTick);
    CScopedClock scoped(clock);
    CTransactionQueue queue;
    if (c.add) {
        CTransaction transaction;
        queue.Add(transaction);
    }
    clock.Advance(c.advance);
    EXPECT_EQ(queue.MsSinceLastAdd(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, MsSinceLastAddTest,
                         ::testing::Values(SinceAddCase{"UpLongerThan30s", 1000000, false, 0, 30000},
                                           SinceAddCase{"UpLongerThan30sLater", 1000000, false, 1500, 31500},
                                           SinceAddCase{"UpFor10s", 10000, false, 0, 10000},
                                           SinceAddCase{"UpForExactly30s", 30000, false, 0, 30000},
                                           SinceAddCase{"AfterAnAdd", 1000000, true, 250, 250},
                                           // Where a 32-bit tick would wrap, the 64-bit tick just goes on.
                                           SinceAddCase{"Across32BitWrap", 4294967295ull, true, 2, 2}),
                         [](const ::testing::TestParamInfo<SinceAddCase>& info) {
                             return std::string(info.param.name);
                         });

TEST(TransactionQueueClockTest, ClockSwappedForAnEarlierOneCountsAsNoTime) {
    CTestClock late(5000000);
    CTestClock early(1000);
    CScopedClock scoped(late);
    CTransactionQueue queue;
    CTransaction transaction;
    queue.Add(transaction);
    SetClockForTesting(&early); // the scoped clock still restores the system clock at the end
    EXPECT_EQ(queue.MsSinceLastAdd(), 0u);
}

TEST_F(TransactionQueueTest, ConcurrentAddsNeverShareASequenceNumber) {
    constexpr int kThreads = 4;
    constexpr int kAdds = 250;
    std::vector<std::vector<int32_t>> seqs(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([this, &seqs, t] {
            for (int i = 0; i < kAdds; ++i) {
                CTransaction transaction = Record("t");
                m_Queue.Add(transaction);
                seqs[t].push_back(transaction.m_QueueSeq);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    std::set<int32_t> all;
    for (const auto& list : seqs) {
        all.insert(list.begin(), list.end());
    }
    EXPECT_EQ(all.size(), static_cast<size_t>(kThreads * kAdds));
    EXPECT_EQ(m_Queue.GetCount(), kThreads * kAdds);
    CTransactionList out;
    m_Queue.GetAll(out);
    for (size_t i = 1; i < out.size(); ++i) {
        EXPECT_LT(out[i - 1].m_QueueSeq, out[i].m_QueueSeq); // queue order is the order of numbering
    }
}

namespace {
class CheckedWriteBackTest : public TempDirTest {
protected:
    void SetUp() override { PrepareLogFolder(); }
    void TearDown() override { CLogger::Instance().Flush(); }

    CTestClock m_Clock{1000000};
    CScopedClock m_ScopedClock{m_Clock};
    CTransactionQueue m_Queue;
};
} // namespace

// Two writers of one state: the one that comes second names the state it read, finds the record moved on, and
// is refused instead of undoing the first one's answer.
TEST_F(CheckedWriteBackTest, WriteBackFromAStateTheRecordHasLeftIsRefusedAndLogged) {
    CTransaction record = Record("a");
    record.m_State = kTranStateTaken;
    m_Queue.Add(record);
    const int32_t seq = record.m_QueueSeq;

    CTransaction answered = record;
    answered.m_State = kTranStateCompleted;
    answered.m_HostAuthCode = "123456";
    ASSERT_TRUE(m_Queue.ReplaceBySeq(seq, kTranStateTaken, answered));

    CTransaction late = record; // read while it was still taken
    late.m_State = kTranStateHostError;
    EXPECT_FALSE(m_Queue.ReplaceBySeq(seq, kTranStateTaken, late));
    CTransaction now;
    ASSERT_TRUE(m_Queue.GetBySeq(seq, now));
    EXPECT_EQ(now.m_State, kTranStateCompleted);
    EXPECT_EQ(now.m_HostAuthCode, "123456");
    EXPECT_EQ(CountLogLines("Transaction queue: write-back of Seq# " + std::to_string(seq) +
                            " to state 4 refused: it is in state 7, not 2 (a second writer)"),
              1);

    // The state's own writer goes on; an absent record is refused without a word.
    now.m_State = kTranStateDelivered;
    EXPECT_TRUE(m_Queue.ReplaceBySeq(seq, kTranStateCompleted, now));
    EXPECT_FALSE(m_Queue.ReplaceBySeq(seq + 1, kTranStateCompleted, now));
    EXPECT_EQ(CountLogLines("Transaction queue: write-back"), 1);
}
