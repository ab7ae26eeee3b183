#pragma once
// The host interface of the server: the "RuvuzUvir Processing" thread watches g_TransactionQueue, carries out
// the POS clients' abort requests, and gives every new transaction a ticket and a worker thread of its own,
// which sends it to the host over a Datawire provider or hands it to the dial backup, and writes the outcome
// back into the queue, deciding on a reversal where the outcome is left open.

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>

#include "host/DatawireTransport.h"
#include "host/TicketList.h"
#include "platform/Event.h"
#include "platform/WorkerThread.h"
#include "transaction/Transaction.h"

class CDatawireClient;

// The operator message when the processing thread does not start.
inline const std::string kRuvuzUvirStartFailedText =
    "The RuvuzUvir Processing thread could NOT be started.\r\nThis error is FATAL!";

// The processing loop looks at the queue this often.
constexpr uint32_t kProcessingPollMs = 50;
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

// Whether a transaction of |tranCode| is reversed when its outcome is left open: Issue to VoidReload,
// NoNSFSale and CashOut; never Balance (68) nor a reversal (50).
bool IsReversibleTranCode(int tranCode);
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

// Whether a transaction queued now has a route to the host: the provider list holds a provider, or the merchant
// goes by dial only (TRANSPORT METHOD 2). Before the first discovery has found a provider it has none. Any thread.
bool HostRouteKnown();

// Tells a host worker whether a dial backup serves the queue's state-8 records. Must be thread-safe.
using DialBackupProbe = std::function<bool()>;

// What a host worker gets: its own copy of the transaction, its ticket and where to return it.
struct CHostRequestRecord {
    CTransaction m_Transaction;
    uint32_t m_Ticket = 0;
    CTicketList* m_TicketList = nullptr;
    DialBackupProbe m_DialBackupRunning;
};

// Owns the processing thread, the host workers it started and the ticket list. Start, Stop and the
// destructor are for the owning thread (the view); the processing thread runs Run; the workers share only
// the ticket list and the worker list, which guard themselves (m_WorkersLock).
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
    std::string GetLastErrorText() const { return m_LastError; }

    // How the workers learn whether a dial backup serves the queue (set before Start). Without one no dial
    // backup is taken to run, and a transaction for the dial path ends as a host error.
    void SetDialBackupProbe(DialBackupProbe probe) { m_DialBackupRunning = std::move(probe); }

    bool IsRunning() const { return m_pThread != nullptr && m_pThread->IsRunning(); }
    int GetTicketCount() const { return m_TicketList.GetCount(); }
    // Host workers started and not yet reaped.
    int GetWorkerCount() const;

    // The loop body (the processing thread).
    int Run();

private:
    // Aborts the same client's waiting transactions for each abort request of |snapshot|.
    void AbortPass(CTransactionList& snapshot);
    // Starts a worker for each transaction of |snapshot| waiting for the host.
    void DispatchPass(CTransactionList& snapshot);
    // Joins and forgets the workers that have ended; all of them with |all| (waiting for each).
    void ReapWorkers(bool all);

    std::string m_LastError;
    CEvent m_StartedEvent{true, false};
    CEvent m_FailedEvent{false, false}; // part of the start-up wait; nothing sets it
    CEvent m_StopEvent{false, false};
    std::unique_ptr<CWorkerThread> m_pThread;
    CTicketList m_TicketList;
    DialBackupProbe m_DialBackupRunning;

    mutable std::mutex m_WorkersLock;
    std::list<std::unique_ptr<CWorkerThread>> m_Workers; // guarded by m_WorkersLock
};

// The processing thread's procedure: runs |ruvuzUvirInterface|'s loop; returns 0.
int RuvuzUvirProcessingThreadProc(CRuvuzUvirInterface* ruvuzUvirInterface);
// A host worker's procedure (it owns its record): builds the host message, journals a transaction that would be
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
