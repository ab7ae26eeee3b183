#include "transaction/ReverseWorker.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "common/LogFolder.h"
#include "common/RecordingPresenter.h"
#include "common/SampleTransaction.h"
#include "common/TempDirTest.h"
#include "common/TestClock.h"
#include "foundation/AppMode.h"
#include "foundation/Logger.h"
#include "foundation/Presenter.h"
#include "foundation/SharedConstants.h"
#include "platform/SealingKey.h"
#include "platform/WorkerThread.h"
#include "transaction/HostMessage.h"
#include "transaction/JournalTestSupport.h"
#include "transaction/ReversalJournal.h"
#include "transaction/Settlement.h"
#include "transaction/TransactionQueue.h"

namespace fs = std::filesystem;
using testsupport::IdsOnDisk;
using testsupport::JournalKey;
using testsupport::JournalLines;
using testsupport::LineOf;

namespace {
// An approved keyed Sale as the host interface leaves it.
CTransaction ApprovedSale() {
    CTransaction sale = SampleTransaction(kTranNumSale, kSampleAccount, "1000");
    sale.m_State = kTranStateCompleted;
    sale.m_InvoiceNo = "INV1";
    sale.m_RefNo = "REF1";
    sale.m_HostTime = "101500";
    sale.m_HostDate = "03142024";
    sale.m_Approved = true;
    sale.m_Captured = true;
    sale.m_HostSpareFlag = true;
    sale.m_HostRequest = "SV.host message of the sale";
    sale.m_HostResponse = "answer";
    sale.m_HostAuthCode = "123456";
    sale.m_HostRefNo = "R9";
    sale.m_HostVLinkRefNo = "V9";
    sale.m_HostErrorText = "error";
    sale.m_ResponseText = "00:APPROVED";
    sale.m_Balance = "500";
    sale.m_IssueCurrency = "USD";
    sale.m_PrevBalance = "1500";
    sale.m_EndBalance = "500";
    sale.m_ExchangeRate = "1.0";
    return sale;
}

std::vector<CTransaction> Reversals(CTransactionQueue& queue) {
    CTransactionList all;
    queue.GetAll(all);
    std::vector<CTransaction> reversals;
    for (const CTransaction& record : all) {
        if (record.m_TranCode == kTranNumReversal) {
            reversals.push_back(record);
        }
    }
    return reversals;
}

// A key of one repeated byte, for line tests.
CSealingKey KeyOf(uint8_t fill) {
    std::array<uint8_t, CSealingKey::kKeyBytes> bytes{};
    bytes.fill(fill);
    return CSealingKey::FromBytes(bytes);
}

// Runs each test in its own folder with a manual clock and empty process-wide queues and journal; the
// worker's loop moves on when the test moves the clock.
class ReverseWorkerTest : public TempDirTest {
protected:
    void SetUp() override {
        fs::create_directory(CLogger::kFolderName);
        ForgetProcessState();
    }
    void TearDown() override {
        m_Worker.Stop();
        CLogger::Instance().Flush();
        ForgetProcessState();
    }

    // What a process end forgets: both queues and whatever the journal holds in memory.
    static void ForgetProcessState() {
        g_ReversalQueue.RemoveAll();
        g_TransactionQueue.RemoveAll();
        g_ReversalQueue.SetLastNumbersForTesting(0, 0);
        g_TransactionQueue.SetLastNumbersForTesting(0, 0);
        CReversalJournal::Instance().ResetForTesting();
    }

    // Moves the clock one worker period at a time until |done| holds; false when it never does.
    bool StepUntil(const std::function<bool()>& done, int maxSteps = 100) {
        for (int i = 0; i < maxSteps; ++i) {
            if (done()) {
                return true;
            }
            m_Clock.Advance(kReverseWorkerPollMs);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return done();
    }

    // Lets the worker run |rounds| rounds.
    void Steps(int rounds) {
        StepUntil([] { return false; }, rounds);
    }

    bool ReversalsInHostQueue(size_t count) {
        return StepUntil([count] { return Reversals(g_TransactionQueue).size() == count; });
    }

    // Plays the host interface: the one queued reversal ends in |state|, answered with |hostCode| when it
    // completed.
    void AnswerTheReversal(int state, int hostCode = 0) {
        const std::vector<CTransaction> reversals = Reversals(g_TransactionQueue);
        ASSERT_EQ(reversals.size(), 1u);
        CTransaction record = reversals[0];
        ASSERT_EQ(record.m_State, kTranStateQueued);
        record.m_State = state;
        if (state == kTranStateHostError) {
            record.m_HostErrorText = "Host Link Timed Out";
        } else {
            Answer(record, hostCode);
        }
        ASSERT_TRUE(g_TransactionQueue.ReplaceBySeq(record.m_QueueSeq, record));
    }

    // What ParseHostResponse leaves in a reversal the host answered with |hostCode|.
    static void Answer(CTransaction& record, int hostCode) {
        record.m_HostResponse = "39" + std::string(hostCode < 10 ? "0" : "") + std::to_string(hostCode);
        record.m_Approved = hostCode == 0;
        record.m_Captured = hostCode == 0;
        if (hostCode != 0) {
            record.m_ResponseText = HostResponseText(hostCode);
        }
    }

    CTestClock m_Clock{1000000};
    CScopedClock m_ScopedClock{m_Clock};
    CReverseWorker m_Worker;
};
} // namespace

TEST(ReversalRecordTest, ClearsTheHostResultButKeepsTheHostMessageAndRequest) {
    const CTransaction sale = ApprovedSale();
    const CTransaction reversal = MakeReversalRecord(sale);
    EXPECT_EQ(reversal.m_TranCode, kTranNumReversal);
    EXPECT_EQ(reversal.m_TranCodeName, "Reversal");
    EXPECT_EQ(reversal.m_OrigTranCode, kTranNumSale);
    EXPECT_EQ(reversal.m_State, kTranStateQueued);
    EXPECT_EQ(reversal.m_CryptMode, kCryptModeEncrypted);
    EXPECT_EQ(reversal.m_ReversalAttempts, 1u);
    EXPECT_FALSE(reversal.m_Approved);
    EXPECT_FALSE(reversal.m_Captured);
    EXPECT_FALSE(reversal.m_HostSpareFlag);
    for (const std::string* text :
         {&reversal.m_HostResponse, &reversal.m_HostAuthCode, &reversal.m_HostRefNo, &reversal.m_HostVLinkRefNo,
          &reversal.m_HostErrorText, &reversal.m_ResponseText, &reversal.m_Balance, &reversal.m_IssueCurrency,
          &reversal.m_PrevBalance, &reversal.m_EndBalance, &reversal.m_ExchangeRate}) {
        EXPECT_EQ(*text, "");
    }
    EXPECT_EQ(reversal.m_HostRequest, sale.m_HostRequest);
    EXPECT_EQ(reversal.m_Created, sale.m_Created);
    EXPECT_EQ(reversal.m_Account, sale.m_Account);
    EXPECT_EQ(reversal.m_Purchase, sale.m_Purchase);
    EXPECT_EQ(reversal.m_HostTime, sale.m_HostTime);
    EXPECT_EQ(reversal.m_HostDate, sale.m_HostDate);
    EXPECT_EQ(reversal.m_ClientAddress, sale.m_ClientAddress);
}

TEST(ReversalRecordTest, ReversalOfAReversalKeepsTheReversedTranCode) {
    const CTransaction again = MakeReversalRecord(MakeReversalRecord(ApprovedSale()));
    EXPECT_EQ(again.m_TranCode, kTranNumReversal);
    EXPECT_EQ(again.m_OrigTranCode, kTranNumSale);
    EXPECT_EQ(again.m_ReversalAttempts, 2u);
}

TEST_F(ReverseWorkerTest, AddReversalLogsTheMaskedAccountJournalsAndQueues) {
    AddReversal(ApprovedSale(), kReversalReasonUndeliverableToClient);
    const std::vector<CTransaction> waiting = Reversals(g_ReversalQueue);
    ASSERT_EQ(waiting.size(), 1u);
    EXPECT_EQ(waiting[0].m_State, kTranStateQueued);
    EXPECT_EQ(waiting[0].m_QueueSeq, 1);
    EXPECT_NE(LogText().find("Adding Reversal (Attempt# 1) for this Transaction Acct:XXX...1234 PurchAmt:1000 -- "
                             "because UndeliverableToClient"),
              std::string::npos);
    ASSERT_EQ(JournalLines().size(), 1u);
    EXPECT_EQ(fs::status(kReversalJournalFileName).permissions() & fs::perms::others_read, fs::perms::none);
}

TEST_F(ReverseWorkerTest, StopWithoutStartDoesNotWait) {
    CReverseWorker idle;
    EXPECT_EQ(idle.Stop(), 1);
    EXPECT_FALSE(idle.IsRunning());
}

TEST_F(ReverseWorkerTest, MovesACompletedReversalLogsItAndDropsIt) {
    ASSERT_TRUE(m_Worker.Start());
    AddReversal(ApprovedSale(), kReversalReasonRuvuzUvirTimeout);
    ASSERT_TRUE(ReversalsInHostQueue(1));
    EXPECT_EQ(g_ReversalQueue.GetCount(), 0);
    AnswerTheReversal(kTranStateCompleted);
    ASSERT_TRUE(StepUntil([] { return g_TransactionQueue.GetCount() == 0; }));
    EXPECT_NE(LogText().find("Completed Reversal (on Attempt# 1) for this Transaction Acct:6035... PurchAmt:1000 "),
              std::string::npos);
    EXPECT_TRUE(CReversalJournal::Instance().Entries().empty());
    EXPECT_TRUE(JournalLines().empty());
}

TEST_F(ReverseWorkerTest, LeavesOtherTransactionsAlone) {
    ASSERT_TRUE(m_Worker.Start());
    CTransaction sale = ApprovedSale();
    sale.m_State = kTranStateDelivered; // a finished sale the session has not purged yet
    g_TransactionQueue.Add(sale);
    AddReversal(ApprovedSale(), kReversalReasonRuvuzUvirTimeout);
    ASSERT_TRUE(ReversalsInHostQueue(1));
    Steps(3);
    EXPECT_EQ(g_TransactionQueue.GetCount(), 2);
}

struct TrackedEndCase {
    const char* name;
    int state;          // what the host interface leaves in the tracked record
    int32_t resultCode; // and its result code
    bool queuedAgainAtOnce;
    bool retriedAfterAMinute;
    int hostCode = 0; // the host's answer of a completed one
};

class TrackedReversalEndTest : public ReverseWorkerTest, public ::testing::WithParamInterface<TrackedEndCase> {};

TEST_P(TrackedReversalEndTest, EndsAsItsStateSays) {
    const TrackedEndCase& c = GetParam();
    ASSERT_TRUE(m_Worker.Start());
    AddReversal(ApprovedSale(), kReversalReasonRuvuzUvirTimeout);
    ASSERT_TRUE(ReversalsInHostQueue(1));
    CTransaction record = Reversals(g_TransactionQueue)[0];
    record.m_State = c.state;
    record.m_ResultCode = c.resultCode;
    if (c.state == kTranStateCompleted) {
        Answer(record, c.hostCode);
    }
    ASSERT_TRUE(g_TransactionQueue.ReplaceBySeq(record.m_QueueSeq, record));

    if (c.queuedAgainAtOnce) {
        ASSERT_TRUE(StepUntil([] {
            const std::vector<CTransaction> reversals = Reversals(g_TransactionQueue);
            return reversals.size() == 1 && reversals[0].m_State == kTranStateQueued;
        }));
        const CTransaction again = Reversals(g_TransactionQueue)[0];
        EXPECT_EQ(again.m_QueueSeq, record.m_QueueSeq);
        EXPECT_EQ(again.m_ReversalAttempts, 1u);
        EXPECT_EQ(CReversalJournal::Instance().Entries().size(), 1u);
        EXPECT_NE(LogText().find("Acct:XXX...1234 PurchAmt:1000 was caught by a client abort -- queued again"),
                  std::string::npos);
        return;
    }
    ASSERT_TRUE(StepUntil([] { return g_TransactionQueue.GetCount() == 0; }));
    EXPECT_EQ(g_ReversalQueue.GetCount(), 0);
    EXPECT_EQ(CReversalJournal::Instance().Entries().size(), c.retriedAfterAMinute ? 1u : 0u);
    m_Clock.Advance(kReversalRetryDelayMs);
    if (c.retriedAfterAMinute) {
        ASSERT_TRUE(ReversalsInHostQueue(1));
        EXPECT_EQ(Reversals(g_TransactionQueue)[0].m_ReversalAttempts, 2u);
        EXPECT_NE(LogText().find("Adding Reversal (Attempt# 2) for this Transaction Acct:XXX...1234 PurchAmt:1000 -- "
                                 "because PreviousReversalFailed"),
                  std::string::npos);
    } else {
        Steps(3);
        EXPECT_EQ(g_TransactionQueue.GetCount() + g_ReversalQueue.GetCount(), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TrackedReversalEndTest,
    ::testing::Values(TrackedEndCase{"Completed", kTranStateCompleted, kResultNew, false, false},
                      // An earlier attempt, cut off before its answer, reversed it already.
                      TrackedEndCase{"AlreadyReversed", kTranStateCompleted, kResultNew, false, false, 34},
                      // The host never booked what it reverses.
                      TrackedEndCase{"NoPreviousTransaction", kTranStateCompleted, kResultNew, false, false, 33},
                      // Any other answer leaves the reversed transaction standing: tried again.
                      TrackedEndCase{"DeclinedByTheHost", kTranStateCompleted, kResultNew, false, true, 9},
                      TrackedEndCase{"HostError", kTranStateHostError, kResultNew, false, true},
                      // The host interface had no thread for it: nothing went out.
                      TrackedEndCase{"NotTakenByTheHost", kTranStateCodeSet, kResultAuthThreadFailed, false, true},
                      // An abort of the client whose transaction it reverses caught it while it waited.
                      TrackedEndCase{"CaughtByAClientAbort", kTranStateAborted, kResultNew, true, false}),
    [](const ::testing::TestParamInfo<TrackedEndCase>& info) { return std::string(info.param.name); });

TEST_F(ReverseWorkerTest, FailedReversalIsRetriedEverySixtySecondsUntilFiveAttemptsThenGivenUp) {
    ASSERT_TRUE(m_Worker.Start());
    AddReversal(ApprovedSale(), kReversalReasonRuvuzUvirTimeout);
    for (uint32_t attempt = 1; attempt <= kMaxReversalAttempts; ++attempt) {
        SCOPED_TRACE(attempt);
        ASSERT_TRUE(ReversalsInHostQueue(1));
        EXPECT_EQ(Reversals(g_TransactionQueue)[0].m_ReversalAttempts, attempt);
        AnswerTheReversal(kTranStateHostError);
        ASSERT_TRUE(StepUntil([] { return g_TransactionQueue.GetCount() == 0; }));
        // Failed and dropped; nothing new is queued at once ...
        EXPECT_EQ(g_ReversalQueue.GetCount(), 0);
        if (attempt < kMaxReversalAttempts) {
            // ... nor within the 60 seconds; the journal keeps it meanwhile.
            ASSERT_EQ(CReversalJournal::Instance().Entries().size(), 1u);
            EXPECT_NE(CReversalJournal::Instance().Entries()[0].failedAtMs, 0);
            m_Clock.Advance(kReversalRetryDelayMs - 1000);
            Steps(2);
            EXPECT_TRUE(Reversals(g_TransactionQueue).empty());
            m_Clock.Advance(1000);
        }
    }
    const std::string logs = LogText();
    EXPECT_NE(logs.find("Adding Reversal (Attempt# 5) for this Transaction Acct:XXX...1234 PurchAmt:1000 -- because "
                        "PreviousReversalFailed"),
              std::string::npos);
    EXPECT_NE(logs.find("Host Link Timed Out"), std::string::npos); // the 4003 error reply is logged
    EXPECT_NE(logs.find("Giving Up Reversal after 5 Attempts for this Transaction Acct:XXX...1234 PurchAmt:1000"),
              std::string::npos);
    EXPECT_EQ(logs.find("Attempt# 6"), std::string::npos);
    EXPECT_TRUE(CReversalJournal::Instance().Entries().empty());
    m_Clock.Advance(10 * kReversalRetryDelayMs);
    Steps(3);
    EXPECT_EQ(g_TransactionQueue.GetCount() + g_ReversalQueue.GetCount(), 0);
}

TEST_F(ReverseWorkerTest, ReversalsOfAnEarlierRunAreQueuedAtStartWithTheirCreationTime) {
    CTransaction old = ApprovedSale();
    old.m_Created = CTransaction::CreatedTimeNow() - 10 * 60 * 1000;
    AddReversal(old, kReversalReasonRuvuzUvirTimeout);
    AddReversal(ApprovedSale(), kReversalReasonUndeliverableToClient);
    ForgetProcessState(); // the process ends with both still waiting

    ASSERT_TRUE(m_Worker.Start());
    ASSERT_TRUE(ReversalsInHostQueue(2));
    std::vector<CTransaction> replayed = Reversals(g_TransactionQueue);
    EXPECT_EQ(replayed[0].m_Created, old.m_Created);
    EXPECT_GT(replayed[0].SecondsSinceCreated(), kReversalHoldSeconds);
    EXPECT_LE(replayed[1].SecondsSinceCreated(), kReversalHoldSeconds);
    for (const CTransaction& record : replayed) {
        EXPECT_EQ(record.m_ReversalAttempts, 1u);
        EXPECT_EQ(record.m_OrigTranCode, kTranNumSale);
        EXPECT_EQ(record.m_State, kTranStateQueued);
        EXPECT_EQ(record.m_Account, old.m_Account);
        // The reversed transaction's host message carries the whole card number: the journal never keeps it.
        EXPECT_EQ(record.m_HostRequest, "");
    }
    // The old one's hold has long passed: its host message is written at once.
    EXPECT_TRUE(replayed[0].BuildHostRequest());
    EXPECT_NE(replayed[0].m_HostRequest.find(old.m_Account), std::string::npos);
}

TEST_F(ReverseWorkerTest, ReversalTakenByTheHostSurvivesARestartOfTheInterfaces) {
    ASSERT_TRUE(m_Worker.Start());
    AddReversal(ApprovedSale(), kReversalReasonRuvuzUvirTimeout);
    ASSERT_TRUE(ReversalsInHostQueue(1));
    CTransaction taken = Reversals(g_TransactionQueue)[0];
    taken.m_State = kTranStateTaken; // the host worker is in its 35-second hold
    g_TransactionQueue.ReplaceBySeq(taken.m_QueueSeq, taken);

    m_Worker.Stop();
    g_TransactionQueue.RemoveAll(); // what the interface start-up does
    ASSERT_TRUE(m_Worker.Start());
    ASSERT_TRUE(ReversalsInHostQueue(1));
    EXPECT_EQ(Reversals(g_TransactionQueue)[0].m_Created, taken.m_Created);
    AnswerTheReversal(kTranStateCompleted);
    ASSERT_TRUE(StepUntil([] { return g_TransactionQueue.GetCount() == 0; }));
    EXPECT_TRUE(CReversalJournal::Instance().Entries().empty());
}

TEST_F(ReverseWorkerTest, NewWorkerTakesOverAReversalStillQueuedInsteadOfSendingItTwice) {
    ASSERT_TRUE(m_Worker.Start());
    AddReversal(ApprovedSale(), kReversalReasonRuvuzUvirTimeout);
    ASSERT_TRUE(ReversalsInHostQueue(1));
    m_Worker.Stop();
    AddReversal(ApprovedSale(), kReversalReasonUndeliverableToClient); // waits in the reversal queue meanwhile

    ASSERT_TRUE(m_Worker.Start());
    ASSERT_TRUE(ReversalsInHostQueue(2));
    Steps(3);
    EXPECT_EQ(Reversals(g_TransactionQueue).size(), 2u);
    EXPECT_EQ(g_ReversalQueue.GetCount(), 0);
    for (const CTransaction& record : Reversals(g_TransactionQueue)) {
        CTransaction done = record;
        done.m_State = kTranStateCompleted;
        Answer(done, 0);
        g_TransactionQueue.ReplaceBySeq(done.m_QueueSeq, done);
    }
    ASSERT_TRUE(StepUntil([] { return g_TransactionQueue.GetCount() == 0; }));
    EXPECT_TRUE(CReversalJournal::Instance().Entries().empty());
}

TEST_F(ReverseWorkerTest, RetryDueAfterARestartWaitsOutTheRestOfItsMinute) {
    ASSERT_TRUE(m_Worker.Start());
    AddReversal(ApprovedSale(), kReversalReasonRuvuzUvirTimeout);
    ASSERT_TRUE(ReversalsInHostQueue(1));
    AnswerTheReversal(kTranStateHostError);
    ASSERT_TRUE(StepUntil([] { return g_TransactionQueue.GetCount() == 0; }));
    m_Worker.Stop();
    ForgetProcessState();

    m_Clock.Advance(30000);
    ASSERT_TRUE(m_Worker.Start());
    Steps(3);
    EXPECT_TRUE(Reversals(g_TransactionQueue).empty());
    m_Clock.Advance(30000);
    ASSERT_TRUE(ReversalsInHostQueue(1));
    EXPECT_EQ(Reversals(g_TransactionQueue)[0].m_ReversalAttempts, 2u);
    EXPECT_EQ(CReversalJournal::Instance().Entries().size(), 1u);
    EXPECT_EQ(CReversalJournal::Instance().Entries()[0].failedAtMs, 0);
}

TEST_F(ReverseWorkerTest, DamagedJournalLinesAreLoggedSkippedAndKept) {
    CJournalEntry entry;
    entry.id = 7;
    entry.record = MakeReversalRecord(ApprovedSale());
    const std::string good = LineOf(entry, JournalKey());
    std::string flipped = good;
    flipped[flipped.find("Purchase=1000") + 9] = '9';
    const std::string truncated = good.substr(0, good.size() / 2);
    WriteFileBytes(kReversalJournalFileName,
                   "garbage\n" + good + "\n" + flipped + "\n\n" + truncated + "\n" + good + "\n" + "REV1\t\x01\n");

    ASSERT_TRUE(m_Worker.Start());
    ASSERT_TRUE(ReversalsInHostQueue(1));
    const std::string logs = LogText();
    for (const char* line : {"line 1 is", "line 3 is", "line 5 is", "line 6 is", "line 7 is"}) {
        EXPECT_NE(logs.find(std::string("Reversal journal ") + line + " damaged"), std::string::npos) << line;
    }
    EXPECT_EQ(logs.find("line 2 is"), std::string::npos);

    AnswerTheReversal(kTranStateCompleted);
    ASSERT_TRUE(StepUntil([] { return g_TransactionQueue.GetCount() == 0; }));
    // The good entry left; what could not be read stays for the operator.
    const std::vector<std::string> lines = JournalLines();
    const std::string mark = kDamagedLinePrefix;
    EXPECT_EQ(lines, (std::vector<std::string>{mark + "garbage", mark + flipped, mark + truncated, mark + good,
                                               mark + "REV1\t\x01"}));

    // Marked, they are neither reported nor sent again at the next start.
    m_Worker.Stop();
    ForgetProcessState();
    ASSERT_TRUE(m_Worker.Start());
    Steps(3);
    EXPECT_EQ(g_TransactionQueue.GetCount(), 0);
    EXPECT_EQ(JournalLines(), lines);
}

TEST_F(ReverseWorkerTest, WhatWasInDoubtWhenTheProcessEndedIsReversedWithItsCreationTimeAndLoggedOnce) {
    CTransaction sale = ApprovedSale();
    sale.m_Created = CTransaction::CreatedTimeNow() - 20000; // sent 20 s before the crash
    CReversalJournal::Instance().AddInDoubt(MakeReversalRecord(sale));
    ForgetProcessState(); // killed while the host had it

    ASSERT_TRUE(m_Worker.Start());
    ASSERT_TRUE(ReversalsInHostQueue(1));
    const CTransaction revived = Reversals(g_TransactionQueue)[0];
    EXPECT_EQ(revived.m_Created, sale.m_Created); // so the 35-second hold counts from the Sale
    EXPECT_EQ(revived.m_OrigTranCode, kTranNumSale);
    EXPECT_EQ(revived.m_ReversalAttempts, 1u);
    EXPECT_EQ(revived.m_Account, sale.m_Account);
    EXPECT_EQ(revived.m_HostTime, sale.m_HostTime);
    const std::string line = "Adding Reversal (Attempt# 1) for this Transaction Acct:XXX...1234 PurchAmt:1000 -- "
                             "because " +
                             kReversalReasonLeftInDoubt;
    EXPECT_NE(LogText().find(line), std::string::npos);
    ASSERT_EQ(CReversalJournal::Instance().Entries().size(), 1u);
    EXPECT_FALSE(CReversalJournal::Instance().Entries()[0].inDoubt);

    // Killed again before the reversal went out: it is sent again, but not logged as revived a second time.
    m_Worker.Stop();
    ForgetProcessState();
    ASSERT_TRUE(m_Worker.Start());
    ASSERT_TRUE(ReversalsInHostQueue(1));
    const std::string logs = LogText();
    EXPECT_EQ(logs.find(line), logs.rfind(line));
    AnswerTheReversal(kTranStateCompleted, 34); // the host had it already
    ASSERT_TRUE(StepUntil([] { return g_TransactionQueue.GetCount() == 0; }));
    EXPECT_TRUE(CReversalJournal::Instance().Entries().empty());
}

TEST_F(ReverseWorkerTest, ATransactionInDoubtIsSettledOrBecomesItsReversalInOneEntry) {
    CReversalJournal& journal = CReversalJournal::Instance();
    CTransaction delivered = ApprovedSale();
    delivered.m_JournalId = journal.AddInDoubt(MakeReversalRecord(delivered));
    CTransaction undelivered = ApprovedSale();
    undelivered.m_JournalId = journal.AddInDoubt(MakeReversalRecord(undelivered));
    ASSERT_EQ(journal.Entries().size(), 2u);

    journal.SettleInDoubt(delivered.m_JournalId);
    AddReversal(undelivered, kReversalReasonUndeliverableToClient);
    std::vector<CJournalEntry> entries = journal.Entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].id, undelivered.m_JournalId);
    EXPECT_FALSE(entries[0].inDoubt);
    EXPECT_EQ(Reversals(g_ReversalQueue).size(), 1u);
    EXPECT_EQ(Reversals(g_ReversalQueue)[0].m_JournalId, 0u);

    // A late settle of what is now a reversal leaves it alone; a second reversal of it is an entry of its own.
    journal.SettleInDoubt(undelivered.m_JournalId);
    AddReversal(undelivered, kReversalReasonUndeliverableToClient);
    EXPECT_EQ(journal.Entries().size(), 2u);
    // What the file holds agrees.
    CReversalJournal fromDisk;
    EXPECT_EQ(fromDisk.Entries().size(), 2u);
}

TEST_F(ReverseWorkerTest, AJournalOfTheEarlierFormIsReadAndKeptFromThenOnWithoutTheRequest) {
    // A line as the earlier form wrote it: the decrypted request (its CVV too), its key and the host message.
    const std::string body =
        "REV1\tid=4\tfailed=0\tCreated=" + std::to_string(CTransaction::CreatedTimeNow() - 60000) +
        "\tReversalAttempts=1\tResultCode=1003\tTranCode=50\tOrigTranCode=62\tState=1\tCryptMode=0"
        "\tQueueSeq=3\tQueueSubSeq=3\tDialRetry=0\tSwiped=0\tApproved=0\tCaptured=0\tHostSpareFlag=0"
        "\tRequestKey=0102ABCDEF\tRequest=TStream=Transaction%1CAcctNo=6035710012341234%1CCVVData=987"
        "%1CPurchase=10.00\tHostTime=101500\tHostDate=03142024\tTranCodeName=Reversal"
        "\tClientAddress=127.0.0.1:0007\tAccount=6035710012341234\tTrack2=6035710012341234"
        "\tPurchase=1000\tAuthorize=1000\tHostRequest=SV.X%1C706035710012341234";
    WriteFileBytes(kReversalJournalFileName, SignJournalLine(body) + "\n");

    ASSERT_TRUE(m_Worker.Start());
    ASSERT_TRUE(ReversalsInHostQueue(1));
    const CTransaction reversal = Reversals(g_TransactionQueue)[0];
    EXPECT_EQ(reversal.m_Account, "6035710012341234");
    EXPECT_EQ(reversal.m_ClientAddress, "127.0.0.1:0007");
    EXPECT_EQ(reversal.m_Request, "");
    EXPECT_NE(LogText().find("Reversal journal: 1 entr(ies) of the earlier form read"), std::string::npos);
    const std::string file = ReadFileBytes(kReversalJournalFileName);
    EXPECT_EQ(file.rfind("REV2\t", 0), 0u);
    for (const char* gone : {"6035710012341234", "CVVData", "0102ABCDEF", "REV1"}) {
        EXPECT_EQ(file.find(gone), std::string::npos) << gone;
    }
}

TEST_F(ReverseWorkerTest, AJournalThatCannotBeDecryptedIsMovedAsideAndLoggedNotDropped) {
    AddReversal(ApprovedSale(), kReversalReasonRuvuzUvirTimeout);
    const std::string sealed = ReadFileBytes(kReversalJournalFileName);
    ASSERT_FALSE(sealed.empty());
    ForgetProcessState();
    // The key is lost (a restored backup without it, say): a new one is made, the old entries cannot be opened.
    fs::remove(kReversalJournalKeyFileName);

    ASSERT_TRUE(m_Worker.Start());
    Steps(3);
    EXPECT_TRUE(Reversals(g_TransactionQueue).empty());
    const std::string logs = LogText();
    EXPECT_NE(logs.find("Reversal journal holds 1 entr(ies) that cannot be decrypted with its key: the file was "
                        "moved aside to Reversals.dat.undecryptable-"),
              std::string::npos);
    std::vector<fs::path> aside;
    for (const auto& entry : fs::directory_iterator(".")) {
        if (entry.path().filename().string().rfind("Reversals.dat.undecryptable-", 0) == 0) {
            aside.push_back(entry.path());
        }
    }
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_EQ(ReadFileBytes(aside[0]), sealed);
    EXPECT_TRUE(CReversalJournal::Instance().Entries().empty());

    // New reversals go on in a journal of the new key.
    AddReversal(ApprovedSale(), kReversalReasonRuvuzUvirTimeout);
    ASSERT_TRUE(ReversalsInHostQueue(1));
    m_Worker.Stop();
    ForgetProcessState();
    EXPECT_EQ(CReversalJournal::Instance().Entries().size(), 1u);
}

TEST_F(ReverseWorkerTest, AKeyFileThatIsNoKeyIsMovedAsideAndReplaced) {
    fs::create_directory("CORVANE_KEYS");
    WriteFileBytes(kReversalJournalKeyFileName, "not a key");
    AddReversal(ApprovedSale(), kReversalReasonRuvuzUvirTimeout);
    // (Where the old file went is the key's own business.)
    EXPECT_EQ(ReadFileBytes(kReversalJournalKeyFileName).size(), CSealingKey::kKeyBytes);
    EXPECT_EQ(CReversalJournal::Instance().Entries().size(), 1u);
    EXPECT_NE(LogText().find("was not a key: moved aside"), std::string::npos);
}

TEST_F(ReverseWorkerTest, TheJournalAndItsKeyAreTheOwnersAloneWhateverTheUmask) {
    const mode_t previous = ::umask(0);
    AddReversal(ApprovedSale(), kReversalReasonRuvuzUvirTimeout);
    ::umask(previous);
    EXPECT_EQ(fs::status(kReversalJournalFileName).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(fs::status(kReversalJournalKeyFileName).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(fs::status("CORVANE_KEYS").permissions(), fs::perms::owner_all);
    // The account is in the file only sealed.
    EXPECT_EQ(ReadFileBytes(kReversalJournalFileName).find("6035710012341234"), std::string::npos);
}

TEST_F(ReverseWorkerTest, ReversalsWaitForARouteToTheHostWithoutSpendingAnAttempt) {
    std::atomic<bool> route{false};
    m_Worker.SetRouteProbe([&route] { return route.load(); });
    AddReversal(ApprovedSale(), kReversalReasonRuvuzUvirTimeout);
    ASSERT_TRUE(m_Worker.Start());
    // However long discovery takes, the reversal waits where it is: no attempt, no 60-second retry.
    m_Clock.Advance(5 * kReversalRetryDelayMs);
    Steps(5);
    EXPECT_EQ(g_ReversalQueue.GetCount(), 1);
    EXPECT_TRUE(Reversals(g_TransactionQueue).empty());
    EXPECT_EQ(CountOf(LogText(), "Reversals wait for a Service Provider to send them to."), 1u);

    route = true;
    ASSERT_TRUE(ReversalsInHostQueue(1));
    EXPECT_EQ(Reversals(g_TransactionQueue)[0].m_ReversalAttempts, 1u);
    AnswerTheReversal(kTranStateCompleted);
    ASSERT_TRUE(StepUntil([] { return g_TransactionQueue.GetCount() == 0; }));
}

TEST_F(ReverseWorkerTest, ChangesMadeAtOnceAreEachOnDiskWhenTheirCallReturns) {
    CReversalJournal& journal = CReversalJournal::Instance();
    journal.Remove(journal.AddInDoubt(MakeReversalRecord(ApprovedSale()))); // makes the key
    const CSealingKey key = JournalKey();
    std::atomic<int> missing{0};
    std::atomic<int> lingering{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 10; ++i) {
                const uint64_t id = journal.AddInDoubt(MakeReversalRecord(ApprovedSale()));
                std::vector<uint64_t> ids = IdsOnDisk(key);
                missing += std::find(ids.begin(), ids.end(), id) == ids.end() ? 1 : 0;
                journal.SettleInDoubt(id);
                ids = IdsOnDisk(key);
                lingering += std::find(ids.begin(), ids.end(), id) != ids.end() ? 1 : 0;
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(missing.load(), 0);
    EXPECT_EQ(lingering.load(), 0);
    EXPECT_TRUE(journal.Entries().empty());
    EXPECT_TRUE(IdsOnDisk(key).empty());
}

// What a journal kept open and written line by line holds for the next process, the file read without the
// journal's help and by a journal of its own.
TEST_F(ReverseWorkerTest, ChangesWrittenLineByLineReadBackAsTheyWereLeft) {
    CReversalJournal& journal = CReversalJournal::Instance();
    const uint64_t settled = journal.AddInDoubt(MakeReversalRecord(ApprovedSale()));
    const uint64_t kept = journal.AddInDoubt(MakeReversalRecord(ApprovedSale()));
    const uint64_t failed = journal.AddInDoubt(MakeReversalRecord(ApprovedSale()));
    journal.SettleInDoubt(settled);
    CTransaction retried = MakeReversalRecord(ApprovedSale());
    retried.m_ReversalAttempts = 2;
    journal.MarkFailed(failed, retried, 1700000000000);
    const CSealingKey key = JournalKey();
    EXPECT_EQ(IdsOnDisk(key), (std::vector<uint64_t>{kept, failed}));

    ForgetProcessState(); // killed here
    const std::vector<CJournalEntry> entries = CReversalJournal::Instance().Entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].id, kept);
    EXPECT_TRUE(entries[0].inDoubt);
    EXPECT_EQ(entries[1].id, failed);
    EXPECT_FALSE(entries[1].inDoubt);
    EXPECT_EQ(entries[1].failedAtMs, 1700000000000);
    EXPECT_EQ(entries[1].record.m_ReversalAttempts, 2u);
    // Read again, nothing is mended, so the file stays as it was written.
    const std::string before = ReadFileBytes(kReversalJournalFileName);
    CReversalJournal::Instance().Remove(kept);
    EXPECT_EQ(ReadFileBytes(kReversalJournalFileName).rfind(before, 0), 0u);
    EXPECT_EQ(IdsOnDisk(key), (std::vector<uint64_t>{failed}));
}

struct JournalFileChangeCase {
    const char* name;
    std::function<void()> change; // done to the file by someone else while the journal holds it open
};

void PrintTo(const JournalFileChangeCase& c, std::ostream* os) {
    *os << c.name;
}

class JournalFileChangeTest : public ReverseWorkerTest, public ::testing::WithParamInterface<JournalFileChangeCase> {};

TEST_P(JournalFileChangeTest, NextChangeWritesTheWholeJournalWhereItsNameIs) {
    CReversalJournal& journal = CReversalJournal::Instance();
    const uint64_t first = journal.AddInDoubt(MakeReversalRecord(ApprovedSale()));
    GetParam().change();
    const uint64_t second = journal.AddInDoubt(MakeReversalRecord(ApprovedSale()));
    EXPECT_EQ(IdsOnDisk(JournalKey()), (std::vector<uint64_t>{first, second}));
    EXPECT_EQ(fs::status(kReversalJournalFileName).permissions(), fs::perms::owner_read | fs::perms::owner_write);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, JournalFileChangeTest, ::testing::Values(
    JournalFileChangeCase{"MovedAway", [] { fs::rename(kReversalJournalFileName, "moved.dat"); }},
    JournalFileChangeCase{"Deleted", [] { fs::remove(kReversalJournalFileName); }},
    JournalFileChangeCase{"ReplacedByAnEmptyFile", [] {
        fs::remove(kReversalJournalFileName);
        WriteFileBytes(kReversalJournalFileName, "");
    }}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

TEST_F(ReverseWorkerTest, ALastLineCutShortIsKeptAsDamagedAndTheNextLinesStartOnALineOfTheirOwn) {
    CReversalJournal& journal = CReversalJournal::Instance();
    const uint64_t whole = journal.AddInDoubt(MakeReversalRecord(ApprovedSale()));
    journal.AddInDoubt(MakeReversalRecord(ApprovedSale()));
    // Power lost in the middle of the second line.
    std::string text = ReadFileBytes(kReversalJournalFileName);
    text.resize(text.size() - 40);
    WriteFileBytes(kReversalJournalFileName, text);
    ForgetProcessState();

    const std::vector<CJournalEntry> entries = CReversalJournal::Instance().Entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].id, whole);
    const uint64_t next = CReversalJournal::Instance().AddInDoubt(MakeReversalRecord(ApprovedSale()));
    EXPECT_EQ(IdsOnDisk(JournalKey()), (std::vector<uint64_t>{whole, next}));
    const std::vector<std::string> lines = JournalLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& line) { return line.rfind(kDamagedLinePrefix, 0) == 0; }),
              1);
}

TEST_F(ReverseWorkerTest, AJournalWrittenLineByLineStaysSmallWhileItsEntriesComeAndGo) {
    CReversalJournal& journal = CReversalJournal::Instance();
    const uint64_t pending = journal.AddInDoubt(MakeReversalRecord(ApprovedSale()));
    uintmax_t largest = 0;
    for (int i = 0; i < 500; ++i) {
        journal.SettleInDoubt(journal.AddInDoubt(MakeReversalRecord(ApprovedSale())));
        largest = std::max(largest, fs::file_size(kReversalJournalFileName));
    }
    // Five hundred entries of about 750 bytes came and went.
    EXPECT_LT(largest, 300u * 1024u);
    EXPECT_EQ(IdsOnDisk(JournalKey()), (std::vector<uint64_t>{pending}));
    ForgetProcessState();
    ASSERT_EQ(CReversalJournal::Instance().Entries().size(), 1u);
    EXPECT_EQ(CReversalJournal::Instance().Entries()[0].id, pending);
}

TEST_F(ReverseWorkerTest, StartFailureIsReportedToTheOperatorAndLogged) {
    CRecordingPresenter presenter;
    CScopedPresenter scoped(presenter);
    AppModeFlags().SetStartedAsService(false);
    CWorkerThread::FailNextStartsForTesting(1);
    EXPECT_FALSE(m_Worker.Start());
    EXPECT_FALSE(m_Worker.IsRunning());
    EXPECT_EQ(presenter.Messages(), (std::vector<std::string>{kReverseWorkerStartFailedText}));
    EXPECT_NE(LogText().find("The ReverseWorker thread could NOT be started."), std::string::npos);
    EXPECT_TRUE(m_Worker.Start());
}

TEST(JournalLineTest, KeptValuesSurviveTheRoundTripAndNoneBreaksTheLine) {
    const CSealingKey key = KeyOf(0x5A);
    CJournalEntry entry;
    entry.id = 42;
    entry.failedAtMs = 1700000000123;
    entry.inDoubt = true;
    entry.record = MakeReversalRecord(ApprovedSale());
    entry.record.m_Header = "lane\t7\r\n%41\xff";
    entry.record.m_OperatorID = "%%%";
    entry.record.m_Swiped = true;
    entry.record.m_Track2 = "6035710012341234=2512101";
    entry.record.m_ReversalAttempts = 4294967295u;
    const std::string line = LineOf(entry, key);
    EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos);

    CJournalEntry decoded;
    ASSERT_EQ(DecodeJournalLine(line, key, decoded), EJournalLine::Entry);
    EXPECT_EQ(decoded.id, 42u);
    EXPECT_EQ(decoded.failedAtMs, entry.failedAtMs);
    EXPECT_TRUE(decoded.inDoubt);
    EXPECT_EQ(decoded.record.m_Header, entry.record.m_Header);
    EXPECT_EQ(decoded.record.m_Account, entry.record.m_Account);
    EXPECT_EQ(decoded.record.m_Track2, entry.record.m_Track2);
    EXPECT_EQ(decoded.record.m_ReversalAttempts, 4294967295u);
    // Every kept member came back: the reversal's host message is the one the full record gives.
    CTransaction full = entry.record;
    CTransaction kept = decoded.record;
    full.m_Created = kept.m_Created = CTransaction::CreatedTimeNow() - 60000;
    ASSERT_TRUE(full.BuildHostRequest());
    ASSERT_TRUE(kept.BuildHostRequest());
    EXPECT_EQ(kept.m_HostRequest, full.m_HostRequest);

    // Fields of a later version are passed over.
    const std::string body = line.substr(0, line.rfind('\t'));
    ASSERT_EQ(DecodeJournalLine(SignJournalLine(body + "\tLaterField=x"), key, decoded), EJournalLine::Entry);
    EXPECT_EQ(decoded.record.m_Track2, entry.record.m_Track2);
}

TEST(JournalLineTest, NeitherTheRequestNorTheCardDataIsWrittenInTheClear) {
    CJournalEntry entry;
    entry.id = 9;
    entry.record = MakeReversalRecord(ApprovedSale());
    entry.record.m_Request = "TStream=Transaction\x1c"
                             "AcctNo=6035710012341234\x1c"
                             "CVVData=987";
    entry.record.m_RequestKey = "0102A0B0C0D0E0F0";
    entry.record.m_Reply = "\x1c"
                           "200\x02"
                           "ABCDEF\x03";
    entry.record.m_ExpDate = "1225";
    entry.record.m_Memo = "memo text";
    const std::string line = LineOf(entry, KeyOf(1));
    // (Short values such as the CVV itself could stand in the hex of the sealed fields by chance: the fields that
    // would carry them are looked for instead.)
    for (const std::string& secret : {std::string("6035710012341234"), std::string("CVVData"), std::string("AcctNo"),
                                      std::string("0102A0B0C0D0E0F0"), std::string("ExpDate"), std::string("Memo"),
                                      std::string("memo text"), std::string("SV.host message"), std::string("Request"),
                                      std::string("Reply"), std::string("HostRequest"), std::string("HostResponse")}) {
        EXPECT_EQ(line.find(secret), std::string::npos) << secret;
    }
    CJournalEntry decoded;
    ASSERT_EQ(DecodeJournalLine(line, KeyOf(1), decoded), EJournalLine::Entry);
    EXPECT_EQ(decoded.record.m_Request, "");
    EXPECT_EQ(decoded.record.m_RequestKey, "");
    EXPECT_EQ(decoded.record.m_HostRequest, "");
    EXPECT_EQ(decoded.record.m_ExpDate, "");
    EXPECT_EQ(decoded.record.m_Account, "6035710012341234");
}

TEST(JournalLineTest, SealedFieldsOpenOnlyWithTheirKeyAndInTheirOwnEntry) {
    CJournalEntry entry;
    entry.id = 3;
    entry.record = MakeReversalRecord(ApprovedSale());
    const std::string line = LineOf(entry, KeyOf(1));
    CJournalEntry decoded;
    EXPECT_EQ(DecodeJournalLine(line, KeyOf(2), decoded), EJournalLine::Undecryptable);
    // The sealed account of entry 3 copied into a line of entry 4 does not open there.
    std::string body = line.substr(0, line.rfind('\t'));
    body.replace(body.find("\tid=3"), 5, "\tid=4");
    EXPECT_EQ(DecodeJournalLine(SignJournalLine(body), KeyOf(1), decoded), EJournalLine::Undecryptable);
}

// |line| with |from| replaced by |to| and signed again.
std::string Resign(const std::string& line, const std::string& from, const std::string& to) {
    std::string body = line.substr(0, line.rfind('\t'));
    body.replace(body.find(from), from.size(), to);
    return SignJournalLine(body);
}

struct DamagedLineCase {
    const char* name;
    std::function<std::string(const std::string&)> damage;
};

class DamagedJournalLineTest : public ::testing::TestWithParam<DamagedLineCase> {};

TEST_P(DamagedJournalLineTest, IsRefused) {
    CJournalEntry entry;
    entry.id = 3;
    entry.record = MakeReversalRecord(ApprovedSale());
    const std::string line = GetParam().damage(LineOf(entry, KeyOf(7)));
    CJournalEntry decoded;
    EXPECT_EQ(DecodeJournalLine(line, KeyOf(7), decoded), EJournalLine::Damaged);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DamagedJournalLineTest,
    ::testing::Values(
        DamagedLineCase{"Empty", [](const std::string&) { return std::string(); }},
        DamagedLineCase{"Truncated", [](const std::string& l) { return l.substr(0, l.size() - 1); }},
        DamagedLineCase{"ByteChanged",
                        [](const std::string& l) {
                            std::string d = l;
                            d[10] = static_cast<char>(d[10] ^ 1);
                            return d;
                        }},
        DamagedLineCase{"NoChecksum", [](const std::string& l) { return l.substr(0, l.rfind('\t')); }},
        DamagedLineCase{"OtherTag", [](const std::string& l) { return Resign(l, "REV2", "REV9"); }},
        DamagedLineCase{"SealedFieldNotHex",
                        [](const std::string& l) { return Resign(l, "\tAccount=", "\tAccount=zz"); }},
        // Correctly signed lines whose fields do not fit.
        DamagedLineCase{"BadNumber", [](const std::string& l) { return Resign(l, "State=1", "State=x"); }},
        DamagedLineCase{"NumberOutOfRange",
                        [](const std::string& l) { return Resign(l, "State=1", "State=99999999999"); }},
        DamagedLineCase{"BadEscape", [](const std::string& l) { return Resign(l, "Purchase=1000", "Purchase=%G1"); }},
        DamagedLineCase{"CutEscape", [](const std::string& l) { return Resign(l, "Purchase=1000", "Purchase=%4"); }},
        DamagedLineCase{"BadFlag", [](const std::string& l) { return Resign(l, "Swiped=0", "Swiped=2"); }},
        DamagedLineCase{"NoId", [](const std::string& l) { return Resign(l, "\tid=3", ""); }},
        DamagedLineCase{"IdZero", [](const std::string& l) { return Resign(l, "\tid=3", "\tid=0"); }},
        DamagedLineCase{"FieldWithoutEquals", [](const std::string& l) { return Resign(l, "Swiped=0", "Swiped"); }}),
    [](const ::testing::TestParamInfo<DamagedLineCase>& info) { return std::string(info.param.name); });
