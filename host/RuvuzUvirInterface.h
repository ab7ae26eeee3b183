#pragma once
// The host interface of the server: the "RuvuzUvir Processing" thread watches g_TransactionQueue, carries out
// the POS clients' abort requests, and gives every new transaction a ticket and a host worker, which sends it
// to the host over a Datawire provider or hands it to the dial backup, and writes the outcome back into the
// queue, deciding on a reversal where the outcome is left open. At most a fixed number of host workers run;
// transactions beyond them wait in the queue, in their state and in order.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/DatawireTransport.h"
#include "host/HostWorkerPool.h"
#include "host/TicketList.h"
#include "platform/Event.h"
#include "platform/WorkerThread.h"
#include "transaction/Transaction.h"

class CDatawireClient;

// The operator message when the processing thread does not start.
inline const std::string kRuvuzUvirStartFailedText =
    "The RuvuzUvir Processing thread could NOT be started.\r\nThis error is FATAL!";

// While reversals are held for their wait, the processing loop looks at them this often.
constexpr uint32_t kHeldReversalStepMs = 100;
// After a load, the queue empty this long, the processing loop ends the idle host workers and gives the
// allocator's free memory back. Longer than a lane's delivery second: a lane transacting back to back leaves the
// queue empty for about a second between its transactions, and a release there was undone by page faults in the
// next transaction, every time.
constexpr uint64_t kReleaseMemoryIdleMs = 3000;
// Stop waits at most this long, in steps of kStopTicketStepMs, for the workers' tickets.
constexpr uint64_t kStopTicketWaitMs = 20000;
constexpr uint32_t kStopTicketStepMs = 500;
// The dial hand-over looks at the queue this often, and waits this long before its one retry.
constexpr uint32_t kDialPollMs = 250;
constexpr uint32_t kDialRetryDelayMs = 1000;

// The reasons a failed IP send gives its reversal.
inline const std::string kReversalReasonIpTimeout = "of TIMEOUT (IP) from Datawire.";
inline constexpr char kReversalReasonDatawireCodeFormat[] = "of %d error from datawire.";

// The texts a transaction that could not be sent is answered with (code 4003) where the path to the host
// gives none of its own.
inline const std::string kNoProviderText = "No (Discovered)Host To Use for Connection.";
inline const std::string kDialBackupNotRunningText = "Dial Backup Not Running - Transaction Not Sent.";
inline const std::string kDialRecordLostText = "Transaction Left the Queue While Waiting for the Dial Backup.";
inline const std::string kNoResponseText = "No Response From Datawire.";
inline const std::string kDialFailedText = "Dial Backup Exchange Failed.";
// A transaction whose reversal could not be put in the journal on disk (disk full, folder not writable): were it
// sent, a crash would leave it booked at the host with nothing to reverse it.
inline const std::string kJournalNotWrittenText = "Transaction Not Sent - Reversal Journal Could Not Be Written.";

inline constexpr char kReversalReasonHttpStatusFormat[] = "of HTTP %d from Datawire.";

// What a failed IP send leaves known about whether the request can have reached the host.
struct CIpSendFacts {
    bool requestWentOut = false;   // every byte of the request was sent
    bool awaitingResponse = false; // and no whole response came back
    int httpStatus = 0;            // the status of the response that did come (-1: not HTTP)
};

// The reversal reason after a failed IP send, or "" when the failure queues none. Once the whole request is out
// the host may have booked it whatever comes back, so every failure after that is reversed but those that say
// the request was refused at the door: no answer at all (the TIMEOUT reason), a Datawire status word, ReturnCode
// or missing payload ("of %d error ..." with the code modulo 50000) other than the refusals 1 (bad DID), 13
// (authentication), 35 (service name), 40 (unknown service), 41 and 46 (XML), 58 (access denied) and 59 (invalid
// merchant), and an HTTP status of 500 or more or a response that is no HTTP at all ("of HTTP %d ..."). A failure
// before the request was out (connect, TLS, send) queues none.
std::string IpFailureReversalReason(const CIpSendFacts& facts, const CTransportResult& result);

// Tells a host worker whether a dial backup serves the queue's state-8 records. Must be thread-safe.
using DialBackupProbe = std::function<bool()>;

// Whether a transaction queued now has a route to the host: the provider list holds a provider, the merchant goes
// by dial only (TRANSPORT METHOD 2), or by IP with dial backup (1) while |dialBackupRunning| says the backup
// serves, for a send that finds no provider goes by dial. With method 0 there is none before the first discovery
// has found a provider. Any thread.
bool HostRouteKnown(const DialBackupProbe& dialBackupRunning = {});

// What a host worker gets: its own copy of the transaction, its ticket and where to return it.
struct CHostRequestRecord {
    CTransaction m_Transaction;
    uint32_t m_Ticket = 0;
    CTicketList* m_TicketList = nullptr;
    DialBackupProbe m_DialBackupRunning;
};

// Owns the processing thread, the pool of host workers it hands transactions to, the reversals it holds
// until their wait is over, and the ticket list. Start, Stop, SetMaxHostWorkers and the destructor are for
// the owning thread (the view); the processing thread runs Run and alone touches m_HeldReversals; the
// workers share only the ticket list and the pool, which guard themselves. Wake and the counts may be called
// from any thread.
class CRuvuzUvirInterface {
public:
    CRuvuzUvirInterface();
    virtual ~CRuvuzUvirInterface();
    CRuvuzUvirInterface(const CRuvuzUvirInterface&) = delete;
    CRuvuzUvirInterface& operator=(const CRuvuzUvirInterface&) = delete;

    // Clears g_ShutdownEvent, starts the processing thread and waits (keeping the window responsive) until
    // it runs. False, after telling the operator, when it could not be started (m_LastError says why).
    bool Start();
    // Sets g_ShutdownEvent (no new ticket, every blocking read gives up), waits at most 20 s for the
    // workers' tickets, ends the processing thread, then waits for every worker still running, so none
    // outlives the interface. Always true.
    bool Stop();
    // How many host exchanges may run at once (kDefaultHostWorkers unless set; 1..kMaxHostWorkers).
    void SetMaxHostWorkers(int count) { m_Pool.SetMaxWorkers(count); }
    int GetMaxHostWorkers() const { return m_Pool.GetMaxWorkers(); }
    // Has the processing loop look at the queue now. Every add to g_TransactionQueue does it while the
    // interface runs; the workers call it when one of them frees up while transactions wait.
    void Wake() { m_WakeEvent.Set(); }
    std::string GetLastErrorText() const { return m_LastError; }

    // How the workers learn whether a dial backup serves the queue (set before Start). Without one no dial
    // backup is taken to run, and a transaction for the dial path ends as a host error.
    void SetDialBackupProbe(DialBackupProbe probe) { m_DialBackupRunning = std::move(probe); }

    bool IsRunning() const { return m_pThread != nullptr && m_pThread->IsRunning(); }
    int GetTicketCount() const { return m_TicketList.GetCount(); }
    // Host workers busy with a transaction.
    int GetWorkerCount() const { return m_Pool.BusyCount(); }
    // Host worker threads running, busy or idle (never more than the maximum).
    int GetWorkerThreadCount() const { return m_Pool.ThreadCount(); }

    // The loop body (the processing thread).
    int Run();
    // Aborts the same client's waiting transactions for each abort request of |snapshot| (a copy of
    // g_TransactionQueue, written back record by record). The processing loop's first step; stand-ins for the
    // interface in tests run it too.
    static void AbortPass(CTransactionList& snapshot);

private:
    // A reversal taken from the queue (state 2, with its ticket) whose wait of more than 35 s since the
    // reversed transaction is not over: it waits here rather than hold a host worker for that long.
    struct CHeldReversal {
        CTransaction m_Transaction;
        uint32_t m_Ticket = 0;
        uint64_t m_HeldSinceMs = 0; // clock seam tick when it was taken
    };

    // Hands the held reversals whose wait is over to workers, in the order they were taken; ends them all
    // when the interface stops. True when one whose wait is over found no worker.
    bool ReleaseHeldReversals();
    // Hands each transaction of |snapshot| waiting for the host to a worker, in queue order, while workers are
    // free; the rest stay waiting in state 1, all of them when |waiting| (held reversals are ahead of them).
    void DispatchPass(CTransactionList& snapshot, bool waiting);
    // Gives |transaction| (already in state 2 with |ticket|) to a worker; false when none could take it now.
    bool StartWorker(CTransaction& transaction, uint32_t ticket);

    std::string m_LastError;
    CEvent m_StartedEvent{true, false};
    CEvent m_FailedEvent{false, false}; // part of the start-up wait; nothing sets it
    CEvent m_StopEvent{false, false};
    CEvent m_WakeEvent{false, false}; // watches the adds to g_TransactionQueue while the interface runs
    std::unique_ptr<CWorkerThread> m_pThread;
    CTicketList m_TicketList;
    DialBackupProbe m_DialBackupRunning;
    CHostWorkerPool m_Pool;
    std::vector<CHeldReversal> m_HeldReversals; // the processing thread's alone
};

// The processing thread's procedure: runs |ruvuzUvirInterface|'s loop; returns 0.
int RuvuzUvirProcessingThreadProc(CRuvuzUvirInterface* ruvuzUvirInterface);
// A host worker's job (it owns its record): builds the host message, journals a transaction that would be
// reversed as in doubt before it goes to any transport, sends it, settles the journal entry where the outcome
// allows (a decline, a failure before the host, a reversal decided), writes the record back (reversing an
// approval whose record has left the queue: nobody is left to deliver it), returns the ticket; returns 0.
int HostRequestWorker(CHostRequestRecord record);
// Sends |transaction| over a provider or through the dial backup (by TRANSPORT METHOD, parameter 14) and
// leaves the outcome in it: true when it went over IP or through the dial path, false when no route was
// found and dial is not allowed (state 4 then).
bool SendRequestToHost(CTransaction& transaction, const DialBackupProbe& dialBackupRunning = {});
// Sends |transaction| over the connected |client| and reads the answer into it (state 7, or 4 with a
// reversal where the outcome is left open). Always true.
bool SendOverIp(CTransaction& transaction, CDatawireClient& client);
