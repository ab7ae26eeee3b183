#pragma once
// Reversals: a transaction that may have reached the host without its result reaching the merchant is
// turned into a reversal record, journalled, queued, sent by the host interface like any request (as host
// message "0704") and watched by the reverse worker until it completed, failed for good or was retried.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Event.h"
#include "platform/WorkerThread.h"
#include "transaction/ReversalJournal.h"
#include "transaction/Transaction.h"

// The worker's operator message when its thread does not start.
inline const std::string kReverseWorkerStartFailedText =
    "The ReverseWorker thread could NOT be started.\r\nThis error is FATAL!";
// How long the worker's loop sleeps between rounds.
constexpr uint32_t kReverseWorkerPollMs = 150;
// A failed reversal is queued again no sooner than this after its failure ...
constexpr uint64_t kReversalRetryDelayMs = 60000;
// ... until it has been tried this many times in all; then it is given up and left to the operator.
constexpr uint32_t kMaxReversalAttempts = 5;

// |transaction| turned into its reversal: host result block cleared but for m_HostRequest, TranCode 50
// ("Reversal") with m_OrigTranCode the reversed TranCode (kept from the first reversal of a reversal),
// state 1, crypt mode 0, one attempt more; every other member, m_Created among them, unchanged.
CTransaction MakeReversalRecord(CTransaction transaction);

// Makes the reversal of |transaction|, logs it with |reason|, writes it to the reversal journal and queues
// it in g_ReversalQueue for the reverse worker. A transaction whose outcome the journal holds in doubt
// (m_JournalId) has that entry turned into the reversal, in the same write. Any thread.
void AddReversal(CTransaction transaction, const std::string& reason);

// The reason a transaction left in doubt by the end of the process (or of the interfaces) is reversed with.
inline const std::string kReversalReasonLeftInDoubt = "its outcome was left in doubt when the server stopped";

// Tells the reverse worker whether a route to the host is there to send reversals on. Must be thread-safe.
using ReversalRouteProbe = std::function<bool()>;

// Moves reversals from g_ReversalQueue into g_TransactionQueue, logs how each one ends there and removes
// it: a completed one leaves the journal; a failed one (host error, or not taken by the host interface) is
// queued again after 60 s until it has been tried 5 times, then given up with a log line for the operator (a
// host answer other than an approval, "33" or "34" counts as a failure); one that a client's abort caught is
// queued again at once. At start it first queues what the journal holds, and reverses what it holds in doubt.
// Start, Stop and the destructor are for the owning thread (the view); everything else runs on the worker's
// own thread, which alone touches m_Tracked, m_TrackedIds, m_Retries and m_Scratch while it runs.
class CReverseWorker {
public:
    CReverseWorker();
    virtual ~CReverseWorker();
    CReverseWorker(const CReverseWorker&) = delete;
    CReverseWorker& operator=(const CReverseWorker&) = delete;

    // Queues the journal's reversals, starts the thread and waits until it runs. False, after telling the
    // operator, when the thread could not be started. A worker that already runs is left as it is (true).
    bool Start();
    // Ends the thread (waiting for it only when it had started), hands the reversals it still tracked back to
    // the journal and ends the journal's flusher (CReversalJournal::StopFlusher). Returns 1.
    int Stop();
    bool IsRunning() const { return m_pThread != nullptr && m_pThread->IsRunning(); }
    // While |probe| says there is no route (at start-up, before discovery has found a provider), reversals wait
    // in g_ReversalQueue instead of spending an attempt on a send that cannot go out. Set before Start; without a
    // probe a route is taken to be there.
    void SetRouteProbe(ReversalRouteProbe probe) { m_RouteReady = std::move(probe); }

private:
    // A failed reversal waiting for its retry.
    struct CRetry {
        uint64_t dueTick = 0; // clock seam tick at which it may be queued again
        uint64_t journalId = 0;
        CTransaction record;
    };

    int Run();
    void MoveReversalsToQueue();
    void CheckReversals();
    void DropFinished();
    void QueueDueRetries();
    // Handles a reversal that ended at the host in state 4: retry later or give up.
    void HandleFailure(const CTransaction& record, uint64_t journalId);
    uint64_t JournalIdOf(int32_t seq) const;

    CEvent m_StartedEvent{true, false};
    CEvent m_StartFailureEvent{false, false};
    CEvent m_StopEvent{false, false};
    std::unique_ptr<CWorkerThread> m_pThread;
    CTransactionList m_Scratch;
    std::vector<int32_t> m_Tracked;             // seqs in g_TransactionQueue of the reversals moved there
    std::vector<CAdoptedReversal> m_TrackedIds; // journal id of each tracked seq
    std::vector<CRetry> m_Retries;
    ReversalRouteProbe m_RouteReady;
    bool m_WaitLogged = false; // "waiting for a route" was logged since the route was last there
};
