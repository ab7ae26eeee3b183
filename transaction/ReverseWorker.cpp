#include "transaction/ReverseWorker.h"

#include <algorithm>

#include "foundation/AppMode.h"
#include "foundation/CardDataMask.h"
#include "foundation/ErrorReporter.h"
#include "foundation/Logger.h"
#include "foundation/SharedConstants.h"
#include "foundation/WorkerStart.h"
#include "platform/Clock.h"
#include "transaction/Settlement.h"
#include "transaction/TransactionQueue.h"

namespace {
const std::string kReversalTranCodeName = "Reversal";

std::string LastFour(const std::string& account) {
    return account.size() > 4 ? account.substr(account.size() - 4) : account;
}

std::string FirstFour(const std::string& account) {
    return account.substr(0, 4);
}

void LogAddingReversal(const CTransaction& record, const std::string& reason) {
    CLogger::Instance().LogLine(
        "Adding Reversal (Attempt# %d) for this Transaction Acct:XXX...%s PurchAmt:%s -- because %s",
        static_cast<int>(record.m_ReversalAttempts), LastFour(record.m_Account).c_str(), record.m_Purchase.c_str(),
        reason.c_str());
}

// Journals and queues the reversal of |transaction|; |replacesId| names the journal entry that it takes the place
// of: a failed reversal's (this is its retry), or, with |onlyInDoubt|, the transaction's entry in doubt. 0: a new
// entry.
void QueueReversal(CTransaction transaction, const std::string& reason, uint64_t replacesId, bool onlyInDoubt) {
    CTransaction record = MakeReversalRecord(std::move(transaction));
    LogAddingReversal(record, reason);
    CReversalJournal::Instance().AddAndQueue(record, g_ReversalQueue, replacesId, onlyInDoubt);
}
} // namespace

CTransaction MakeReversalRecord(CTransaction transaction) {
    // m_HostRequest stays: it is the host message of the transaction being reversed.
    transaction.ClearHostResultKeepRequest();
    if (transaction.m_TranCode != kTranNumReversal) {
        transaction.m_OrigTranCode = transaction.m_TranCode;
    }
    transaction.m_TranCode = kTranNumReversal;
    transaction.m_TranCodeName = kReversalTranCodeName;
    transaction.m_State = kTranStateQueued;
    transaction.m_CryptMode = kCryptModeEncrypted;
    transaction.m_ReversalAttempts += 1;
    // The reversal is journalled in its own right; the entry of the transaction it reverses is its caller's.
    transaction.m_JournalId = 0;
    return transaction;
}

void AddReversal(CTransaction transaction, const std::string& reason) {
    const uint64_t inDoubt = transaction.m_JournalId;
    QueueReversal(std::move(transaction), reason, inDoubt, true);
}

CReverseWorker::CReverseWorker() = default;

CReverseWorker::~CReverseWorker() {
    if (m_pThread != nullptr) {
        Stop();
    }
}

bool CReverseWorker::Start() {
    if (IsRunning()) {
        return true;
    }
    m_pThread.reset();

    // What the journal holds goes first: reversals of an earlier run, or of interfaces restarted since.
    std::vector<CJournalEntry> retries;
    std::vector<CJournalEntry> revived;
    CReversalJournal::Instance().Replay(g_ReversalQueue, g_TransactionQueue, m_TrackedIds, retries, revived);
    for (const CJournalEntry& entry : revived) {
        LogAddingReversal(entry.record, kReversalReasonLeftInDoubt);
    }
    m_WaitLogged = false;
    m_Tracked.clear();
    for (const CAdoptedReversal& adopted : m_TrackedIds) {
        m_Tracked.push_back(adopted.seq);
    }
    const uint64_t now = GetClock().TickMs();
    const int64_t wallNow = CTransaction::CreatedTimeNow();
    m_Retries.clear();
    for (CJournalEntry& entry : retries) {
        const int64_t waited = wallNow - entry.failedAtMs;
        const uint64_t remaining = waited >= static_cast<int64_t>(kReversalRetryDelayMs)
                                       ? 0
                                       : kReversalRetryDelayMs - std::max<int64_t>(waited, 0);
        m_Retries.push_back(CRetry{now + remaining, entry.id, std::move(entry.record)});
    }

    const EWorkerStart started = StartWorkerAndWait(
        m_pThread, "ReverseWorker", [this] { return Run(); }, {m_StartFailureEvent, m_StartedEvent, m_StopEvent},
        [this] {
            // The thread may not have seen a stop that the wait consumed: tell it again before waiting for it.
            m_StopEvent.Set();
            m_pThread->Join();
            Stop();
        });
    if (started == EWorkerStart::NotCreated) {
        Stop();
        ReportError(kReverseWorkerStartFailedText, true, AppModeFlags().StartedAsService(), 0);
    }
    return started == EWorkerStart::Started;
}

int CReverseWorker::Stop() {
    m_StopEvent.Set();
    if (m_pThread != nullptr && m_StartedEvent.IsSet()) {
        m_pThread->Join();
    }
    m_pThread.reset();
    m_StartedEvent.Reset();
    // The journal keeps every reversal; what this worker still tracked is handed back so that the next
    // worker takes it over when the record is still queued, or queues it again when it is not.
    if (!m_TrackedIds.empty()) {
        CReversalJournal::Instance().HandBack(m_TrackedIds);
    }
    m_Tracked.clear();
    m_TrackedIds.clear();
    m_Retries.clear();
    // The interfaces stop, and leave no thread behind: the journal's flusher ends, having flushed what waited.
    CReversalJournal::Instance().StopFlusher();
    return 1;
}

int CReverseWorker::Run() {
    m_StartedEvent.Set();
    for (;;) {
        QueueDueRetries();
        MoveReversalsToQueue();
        CheckReversals();
        DropFinished();
        if (m_StopEvent.Wait(kReverseWorkerPollMs)) {
            return 0;
        }
    }
}

void CReverseWorker::MoveReversalsToQueue() {
    if (m_RouteReady && !m_RouteReady()) {
        if (!m_WaitLogged && g_ReversalQueue.GetCount() > 0) {
            CLogger::Instance().LogLine("Reversals wait for a Service Provider to send them to.");
            m_WaitLogged = true;
        }
        return;
    }
    m_WaitLogged = false;
    g_ReversalQueue.GetAll(m_Scratch);
    for (CTransaction& record : m_Scratch) {
        const int32_t reversalSeq = record.m_QueueSeq;
        if (!g_ReversalQueue.RemoveBySeq(reversalSeq)) {
            continue;
        }
        const uint64_t journalId = CReversalJournal::Instance().TakeQueuedId(reversalSeq);
        g_TransactionQueue.Add(record);
        m_Tracked.push_back(record.m_QueueSeq);
        m_TrackedIds.push_back(CAdoptedReversal{record.m_QueueSeq, journalId});
    }
}

uint64_t CReverseWorker::JournalIdOf(int32_t seq) const {
    for (const CAdoptedReversal& tracked : m_TrackedIds) {
        if (tracked.seq == seq) {
            return tracked.id;
        }
    }
    return 0;
}

void CReverseWorker::CheckReversals() {
    if (m_Tracked.empty()) {
        return;
    }
    g_TransactionQueue.GetBySeqList(m_Tracked, m_Scratch);
    for (CTransaction& record : m_Scratch) {
        const int32_t read = record.m_State;
        const uint64_t journalId = JournalIdOf(record.m_QueueSeq);
        if (record.m_State == kTranStateCompleted && !ReversalAnswerSettles(record)) {
            // The host answered but did not reverse it: the transaction still stands, so this is a failed attempt.
            CLogger::Instance().LogLine(
                "Reversal (Attempt# %d) Declined [%s] for this Transaction Acct:XXX...%s PurchAmt:%s ",
                static_cast<int>(record.m_ReversalAttempts), record.m_ResponseText.c_str(),
                LastFour(record.m_Account).c_str(), record.m_Purchase.c_str());
            HandleFailure(record, journalId);
            record.m_State = kTranStateDelivered;
            g_TransactionQueue.ReplaceBySeq(record.m_QueueSeq, read, record);
        } else if (record.m_State == kTranStateCompleted) {
            CLogger::Instance().LogLine(
                "Completed Reversal (on Attempt# %d) for this Transaction Acct:%s... PurchAmt:%s ",
                static_cast<int>(record.m_ReversalAttempts), FirstFour(record.m_Account).c_str(),
                record.m_Purchase.c_str());
            if (journalId != 0) {
                CReversalJournal::Instance().Remove(journalId);
            }
            record.m_State = kTranStateDelivered;
            g_TransactionQueue.ReplaceBySeq(record.m_QueueSeq, read, record);
        } else if (record.m_State == kTranStateHostError || record.m_State == kTranStateCodeSet) {
            // State 5: the host interface could not take it (no ticket, no thread) and nothing went out. No
            // client waits for a reversal's reply, so it is a failed attempt like a host error, not a reply.
            if (record.m_State == kTranStateHostError) {
                record.m_ResultCode = kResultHostError;
            }
            const std::string reply = record.BuildErrorReply();
            CLogger::Instance().LogLine("%s", MaskCardData(reply).c_str());
            HandleFailure(record, journalId);
            record.m_State = kTranStateDelivered;
            g_TransactionQueue.ReplaceBySeq(record.m_QueueSeq, read, record);
        } else if (record.m_State == kTranStateAborted) {
            // A client's abort cancels that client's own waiting requests; it caught this reversal only because
            // the reversal carries the client's address. Left aborted, it would never be sent.
            CLogger::Instance().LogLine(
                "Reversal (Attempt# %d) for this Transaction Acct:XXX...%s PurchAmt:%s was caught by a client abort "
                "-- queued again",
                static_cast<int>(record.m_ReversalAttempts), LastFour(record.m_Account).c_str(),
                record.m_Purchase.c_str());
            record.m_State = kTranStateQueued;
            record.m_CryptMode = kCryptModeEncrypted;
            g_TransactionQueue.ReplaceBySeq(record.m_QueueSeq, read, record);
        }
    }
}

void CReverseWorker::HandleFailure(const CTransaction& record, uint64_t journalId) {
    CReversalJournal& journal = CReversalJournal::Instance();
    if (record.m_ReversalAttempts >= kMaxReversalAttempts) {
        CLogger::Instance().LogLine(
            "Giving Up Reversal after %d Attempts for this Transaction Acct:XXX...%s PurchAmt:%s -- SETTLE IT BY HAND",
            static_cast<int>(record.m_ReversalAttempts), LastFour(record.m_Account).c_str(), record.m_Purchase.c_str());
        if (journalId != 0) {
            journal.Remove(journalId);
        }
        return;
    }
    const uint64_t id = journal.MarkFailed(journalId, record, CTransaction::CreatedTimeNow());
    m_Retries.push_back(CRetry{GetClock().TickMs() + kReversalRetryDelayMs, id, record});
    CLogger::Instance().LogLine(
        "Reversal (Attempt# %d) Failed for this Transaction Acct:XXX...%s PurchAmt:%s -- retry in %d seconds",
        static_cast<int>(record.m_ReversalAttempts), LastFour(record.m_Account).c_str(), record.m_Purchase.c_str(),
        static_cast<int>(kReversalRetryDelayMs / 1000));
}

void CReverseWorker::QueueDueRetries() {
    if (m_Retries.empty()) {
        return;
    }
    const uint64_t now = GetClock().TickMs();
    for (auto it = m_Retries.begin(); it != m_Retries.end();) {
        if (it->dueTick > now) {
            ++it;
            continue;
        }
        QueueReversal(it->record, kReversalReasonPreviousReversalFailed, it->journalId, false);
        it = m_Retries.erase(it);
    }
}

void CReverseWorker::DropFinished() {
    if (m_Tracked.empty()) {
        return;
    }
    g_TransactionQueue.GetBySeqList(m_Tracked, m_Scratch);
    for (const CTransaction& record : m_Scratch) {
        if (record.m_State != kTranStateDelivered) {
            continue;
        }
        g_TransactionQueue.RemoveBySeq(record.m_QueueSeq);
        const auto tracked = std::find(m_Tracked.begin(), m_Tracked.end(), record.m_QueueSeq);
        if (tracked != m_Tracked.end()) {
            m_Tracked.erase(tracked);
        }
        const auto id =
            std::find_if(m_TrackedIds.begin(), m_TrackedIds.end(),
                         [&record](const CAdoptedReversal& entry) { return entry.seq == record.m_QueueSeq; });
        if (id != m_TrackedIds.end()) {
            m_TrackedIds.erase(id);
        }
    }
}
