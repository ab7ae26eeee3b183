#include "host/RuvuzUvirInterface.h"

#include <algorithm>
#include <cctype>

#include "foundation/AppMode.h"
#include "foundation/CardDataMask.h"
#include "foundation/ErrorReporter.h"
#include "foundation/Logger.h"
#include "foundation/ParamSettings.h"
#include "foundation/ParamStore.h"
#include "foundation/SharedConstants.h"
#include "foundation/WorkerStart.h"
#include "host/DatawireClient.h"
#include "host/ServiceProviderList.h"
#include "host/ViewSink.h"
#include "platform/Clock.h"
#include "platform/ProcessEvents.h"
#include "platform/ProcessLimits.h"
#include "transaction/Replies.h"
#include "transaction/ReversalJournal.h"
#include "transaction/ReverseWorker.h"
#include "transaction/Settlement.h"
#include "transaction/TransactionQueue.h"

namespace {
// The reply text of a transaction that the stop of the interface kept from the host.
std::string ShutdownText() {
    return ResultCodeText(kResultShuttingDown, std::string()).Text;
}

bool IsBlankText(const std::string& text) {
    for (const char c : text) {
        if (std::isspace(static_cast<unsigned char>(c)) == 0) {
            return false;
        }
    }
    return true;
}

// Ends |transaction| as a host error answered with |text| (|fallback| when that is blank, so a POS client is
// never answered 4003 with an empty text) and logs it.
void EndAsHostError(CTransaction& transaction, const std::string& text, const std::string& fallback) {
    transaction.m_State = kTranStateHostError;
    transaction.m_HostErrorText = IsBlankText(text) ? fallback : text;
    CLogger::Instance().LogLine("RESPONSE from RuvuzUvir INTERFACE ->[%s] for %s", transaction.m_HostErrorText.c_str(),
                                transaction.m_ClientAddress.c_str());
}

// Reverses |transaction| for |reason| where the settlement rule says so for |outcome|; true when it did.
bool ReverseWhereOpen(const CTransaction& transaction, EHostOutcome outcome, const std::string& reason) {
    if (SettlementOf(transaction.m_TranCode, outcome) != ESettlement::kReverse) {
        return false;
    }
    AddReversal(transaction, reason);
    return true;
}

// The hand-over to the dial backup through the queue: state 8, then the backup's answer 9, 10 or 11.
bool SendOverDial(CTransaction& transaction, const DialBackupProbe& dialBackupRunning) {
    transaction.m_State = kTranStateDial;
    if (g_DialConnectedEvent.IsSet()) {
        transaction.m_DialRetry = 1;
    }
    // Whether the last hand-over reached the queue's record: only then can the dial backup have taken it onto a
    // call (before it, the record had failed where the host cannot have booked it).
    bool handedOver = g_TransactionQueue.ReplaceBySeq(transaction.m_QueueSeq, transaction);
    PostViewMessage(WM_SENDING_AUTH_DIAL);
    for (;;) {
        if (g_ShutdownEvent.Wait(kDialPollMs)) {
            // Take the queue's record as it stands, so the worker's write-back cannot undo an answer that
            // the dial backup wrote meanwhile.
            g_TransactionQueue.GetBySeq(transaction.m_QueueSeq, transaction);
            PostViewMessage(WM_AUTH_RESPONSE_DIAL);
            return true;
        }
        // Asked before the record is read: a backup that had already ended cannot have answered since.
        const bool backupRunning = dialBackupRunning && dialBackupRunning();
        if (!g_TransactionQueue.GetBySeq(transaction.m_QueueSeq, transaction)) {
            // Its session gave up on it. A record handed over may be on a call, booked at the host with its
            // answer lost with the record (the backup's write-back finds nothing and reverses nothing): the
            // outcome is open. One that left before the hand-over never reached the host.
            ReverseWhereOpen(transaction, handedOver ? EHostOutcome::kAnswerMissing : EHostOutcome::kNotBooked,
                             kReversalReasonRuvuzUvirTimeout);
            EndAsHostError(transaction, kDialRecordLostText, kDialRecordLostText);
            PostViewMessage(WM_AUTH_RESPONSE_DIAL);
            return true;
        }
        const int32_t state = transaction.m_State;
        if (state == kTranStateDialSendFailed || state == kTranStateDialFailed) {
            const bool retryLeft = transaction.m_DialRetry > 0;
            transaction.m_DialRetry = 0;
            // A failed exchange may have reached the host; a failed set-up cannot have. One that is reversed is
            // not tried again.
            const EHostOutcome outcome =
                state == kTranStateDialFailed ? EHostOutcome::kAnswerMissing : EHostOutcome::kNotBooked;
            const bool reversed = ReverseWhereOpen(transaction, outcome, kReversalReasonRuvuzUvirTimeout);
            if (reversed) {
                CLogger::Instance().LogLine("RESPONSE (reverse handler)from RuvuzUvir (Dial) INTERFACE ->[%s] for %s",
                                            transaction.m_HostErrorText.c_str(), transaction.m_ClientAddress.c_str());
            }
            if (reversed || !retryLeft) {
                transaction.m_State = kTranStateHostError;
                if (IsBlankText(transaction.m_HostErrorText)) {
                    transaction.m_HostErrorText = kDialFailedText;
                }
                PostViewMessage(WM_AUTH_RESPONSE_DIAL);
                return true;
            }
            if (g_ShutdownEvent.Wait(kDialRetryDelayMs)) {
                PostViewMessage(WM_AUTH_RESPONSE_DIAL);
                return true;
            }
            transaction.ClearHostResultKeepRequest();
            transaction.m_State = kTranStateDial;
            handedOver = g_TransactionQueue.ReplaceBySeq(transaction.m_QueueSeq, transaction);
            PostViewMessage(WM_SENDING_AUTH_DIAL);
            continue;
        }
        if (state == kTranStateDialParsed) {
            transaction.m_State = kTranStateCompleted;
            PostViewMessage(WM_AUTH_RESPONSE_DIAL);
            return true;
        }
        if (state == kTranStateDial && !backupRunning) {
            // Nobody will ever answer it: the POS client gets an error instead of waiting forever.
            EndAsHostError(transaction, kDialBackupNotRunningText, kDialBackupNotRunningText);
            PostViewMessage(WM_AUTH_RESPONSE_DIAL);
            return true;
        }
    }
}
} // namespace

bool HostRouteKnown(const DialBackupProbe& dialBackupRunning) {
    const int method = LeadingInt(CParamStore::Instance().GetValue(kParamTransportMethod));
    if (method == 2 || !g_ServiceProviderList.IsEmpty()) {
        return true;
    }
    // An internet outage empties the list and keeps it empty; the transactions then go by dial, and so must the
    // reversals they leave.
    return method == 1 && dialBackupRunning && dialBackupRunning();
}

std::string IpFailureReversalReason(const CIpSendFacts& facts, const CTransportResult& result) {
    if (facts.awaitingResponse) {
        return kReversalReasonIpTimeout;
    }
    if (!facts.requestWentOut) {
        return std::string();
    }
    if (result.m_IsDatawireStatus) {
        const int remainder = result.m_Code % 50000;
        switch (remainder) {
        case 1:
        case 13:
        case 35:
        case 40:
        case 41:
        case 46:
        case 58:
        case 59:
            return std::string();
        default:
            return FormatText(kReversalReasonDatawireCodeFormat, remainder);
        }
    }
    if (facts.httpStatus >= 500 || facts.httpStatus < 0) {
        return FormatText(kReversalReasonHttpStatusFormat, facts.httpStatus);
    }
    return std::string();
}

CRuvuzUvirInterface::CRuvuzUvirInterface() {
    m_Pool.SetJobDoneCallback([this](bool refused) {
        // A worker free while transactions wait for one (the pool marked the refusal as the loop was refused, so
        // even a worker that ends before the loop goes to sleep wakes it), or the last one done (the load is over,
        // and the loop counts the idle time before it gives memory back).
        if (refused || m_Pool.BusyCount() == 0) {
            Wake();
        }
    });
}

CRuvuzUvirInterface::~CRuvuzUvirInterface() {
    Stop();
}

bool CRuvuzUvirInterface::Start() {
    if (IsRunning()) {
        return true;
    }
    m_pThread.reset();
    m_LastError.clear();
    m_WakeEvent.Reset();
    g_ShutdownEvent.Reset();
    g_TransactionQueue.WatchAdds(&m_WakeEvent);
    // The thread runs its loop until told to stop, so it is stopped rather than waited for.
    const EWorkerStart started = StartWorkerAndWait(
        m_pThread, "RuvuzUvir Processing", [this] { return RuvuzUvirProcessingThreadProc(this); },
        {m_FailedEvent, m_StartedEvent, m_StopEvent}, [this] { Stop(); });
    if (started == EWorkerStart::NotCreated) {
        g_TransactionQueue.Unwatch(&m_WakeEvent);
        m_LastError = kRuvuzUvirStartFailedText;
        ReportError(kRuvuzUvirStartFailedText, true, AppModeFlags().StartedAsService(), 0);
    } else if (started == EWorkerStart::Stopped) {
        m_LastError = "The RuvuzUvir Processing thread did not report that it runs.";
    }
    return started == EWorkerStart::Started;
}

bool CRuvuzUvirInterface::Stop() {
    g_ShutdownEvent.Set();
    IClock& clock = GetClock();
    const uint64_t start = clock.TickMs();
    while (m_TicketList.GetCount() > 0 && clock.TickMs() - start < kStopTicketWaitMs) {
        clock.SleepMs(kStopTicketStepMs);
    }
    const int outstanding = m_TicketList.GetCount();
    if (outstanding > 0) {
        CLogger::Instance().LogLine("RuvuzUvir Interface stopping with %d host request(s) still outstanding.",
                                    outstanding);
        m_TicketList.RemoveAll();
    }
    StopWorkerThread(m_StopEvent, m_pThread);
    g_TransactionQueue.Unwatch(&m_WakeEvent);
    // Every wait of a worker gives way to g_ShutdownEvent, so this ends as soon as their reads, connects
    // and reversal holds have noticed it.
    m_Pool.Stop();
    m_StartedEvent.Reset();
    return true;
}

int RuvuzUvirProcessingThreadProc(CRuvuzUvirInterface* ruvuzUvirInterface) {
    ruvuzUvirInterface->Run();
    return 0;
}

namespace {
// What the processing loop works on: the records waiting for the host, and the abort requests not yet
// carried out. The others are past its reach, so it does not copy them.
bool WaitsForProcessing(const CTransaction& record) {
    return record.m_State == kTranStateQueued ||
           (record.m_CryptMode == kCryptModeAbort && record.m_State != kTranStateDelivered);
}
} // namespace

int CRuvuzUvirInterface::Run() {
    m_StartedEvent.Set();
    CTransactionList snapshot;
    IClock& clock = GetClock();
    bool hadWork = false;
    uint64_t idleSince = clock.TickMs();
    for (;;) {
        // The wake event is consumed before the queue is read: an add after the read sets it again, so the
        // wait below returns at once and nothing added is left for later.
        g_TransactionQueue.GetIf(WaitsForProcessing, snapshot);
        AbortPass(snapshot);
        DispatchPass(snapshot, ReleaseHeldReversals());
        // The loop sleeps until a transaction is added, a worker frees up while transactions wait for one, or
        // the interface stops; only held reversals (whose wait ends by the clock) and the memory release after
        // a load need a time-out.
        uint32_t waitMs = kInfinite;
        if (!m_HeldReversals.empty()) {
            waitMs = kHeldReversalStepMs;
        }
        // Once a load has drained, what it left free in the allocator goes back to the system.
        if (!snapshot.empty() || m_Pool.BusyCount() > 0 || !m_HeldReversals.empty()) {
            hadWork = true;
            idleSince = clock.TickMs();
        } else if (hadWork) {
            const uint64_t idle = clock.TickMs() - idleSince;
            if (idle >= kReleaseMemoryIdleMs) {
                // The workers the load started end as well (every one is idle, and only this thread posts):
                // their stacks go back with the rest, so the threads of a burst (up to one a lane) cost nothing
                // once it is over, and the next load starts the ones it needs.
                m_Pool.Stop();
                ReleaseFreeMemory();
                hadWork = false;
            } else {
                waitMs = std::min<uint32_t>(waitMs, static_cast<uint32_t>(kReleaseMemoryIdleMs - idle));
            }
        }
        if (WaitForAnyEvent({&m_StopEvent, &m_WakeEvent}, waitMs) == 0) {
            // Stop has set g_ShutdownEvent first: whatever is still held ends here, unsent.
            ReleaseHeldReversals();
            return 0;
        }
    }
}

void CRuvuzUvirInterface::AbortPass(CTransactionList& snapshot) {
    for (CTransaction& abort : snapshot) {
        // An abort already carried out (state 6, waiting for its session to remove it) aborts nothing more:
        // requests the client sent after it are its new work.
        if (abort.m_CryptMode != kCryptModeAbort || abort.m_State == kTranStateDelivered) {
            continue;
        }
        for (CTransaction& other : snapshot) {
            if (other.m_CryptMode != kCryptModeAbort && other.m_State == kTranStateQueued &&
                other.m_ClientAddress == abort.m_ClientAddress) {
                other.m_State = kTranStateAborted;
                g_TransactionQueue.ReplaceBySeq(other.m_QueueSeq, kTranStateQueued, other);
            }
        }
        abort.m_State = kTranStateDelivered;
        g_TransactionQueue.ReplaceBySeq(abort.m_QueueSeq, abort);
    }
}

bool CRuvuzUvirInterface::ReleaseHeldReversals() {
    for (auto it = m_HeldReversals.begin(); it != m_HeldReversals.end();) {
        if (g_ShutdownEvent.IsSet()) {
            // As the reversal's own hold ends at a stop: no message written, nothing sent.
            EndAsHostError(it->m_Transaction, ShutdownText(), ShutdownText());
            g_TransactionQueue.ReplaceBySeq(it->m_Transaction.m_QueueSeq, kTranStateTaken, it->m_Transaction);
            m_TicketList.RemoveTicket(it->m_Ticket);
            it = m_HeldReversals.erase(it);
            continue;
        }
        if (!ReversalHoldOver(it->m_Transaction, it->m_HeldSinceMs)) {
            ++it;
            continue;
        }
        // In the order they were taken; one that finds no worker keeps the rest waiting behind it.
        if (!m_Pool.CanTake() || !StartWorker(it->m_Transaction, it->m_Ticket)) {
            return true;
        }
        it = m_HeldReversals.erase(it);
    }
    return false;
}

void CRuvuzUvirInterface::DispatchPass(CTransactionList& snapshot, bool waiting) {
    for (CTransaction& transaction : snapshot) {
        if (transaction.m_State != kTranStateQueued || transaction.m_CryptMode != kCryptModeEncrypted) {
            continue;
        }
        const bool reversal = transaction.m_TranCode == kTranNumReversal;
        // A reversal still within its wait needs no worker yet; anything else waits in state 1 for one.
        const bool held = reversal && !ReversalHoldOver(transaction, GetClock().TickMs());
        // Once one waits, the later ones wait behind it, so they go to the host in queue order.
        if (!held && (waiting || !m_Pool.CanTake()) && !g_ShutdownEvent.IsSet()) {
            waiting = true;
            continue;
        }
        const uint32_t ticket = m_TicketList.NextTicket();
        if (ticket == 0) {
            transaction.m_State = kTranStateCodeSet;
            transaction.m_ResultCode = kResultShuttingDown;
            g_TransactionQueue.ReplaceBySeq(transaction.m_QueueSeq, kTranStateQueued, transaction);
            continue;
        }
        transaction.m_State = kTranStateTaken;
        if (!reversal) {
            // A reversal keeps the time of the transaction it reverses: its 35-second hold counts from it.
            transaction.m_Created = CTransaction::CreatedTimeNow();
        }
        // Nobody waits for a record to be taken: its session waits for the result.
        g_TransactionQueue.ReplaceBySeqQuietly(transaction.m_QueueSeq, kTranStateQueued, transaction);
        if (held) {
            m_HeldReversals.push_back(CHeldReversal{transaction, ticket, GetClock().TickMs()});
            continue;
        }
        if (!StartWorker(transaction, ticket)) {
            // A worker that could not start while others run: the transaction waits for one of them.
            m_TicketList.RemoveTicket(ticket);
            transaction.m_State = kTranStateQueued;
            g_TransactionQueue.ReplaceBySeqQuietly(transaction.m_QueueSeq, kTranStateTaken, transaction);
            waiting = true;
        }
    }
}

bool CRuvuzUvirInterface::StartWorker(CTransaction& transaction, uint32_t ticket) {
    auto record = std::make_shared<CHostRequestRecord>();
    record->m_Transaction = transaction;
    record->m_Ticket = ticket;
    record->m_TicketList = &m_TicketList;
    record->m_DialBackupRunning = m_DialBackupRunning;
    switch (m_Pool.Post([record] { HostRequestWorker(std::move(*record)); })) {
    case CHostWorkerPool::PostResult::Taken:
        return true;
    case CHostWorkerPool::PostResult::Busy:
        return false;
    case CHostWorkerPool::PostResult::NoThread:
        break;
    }
    // Not one worker runs: nothing would ever take it.
    m_TicketList.RemoveTicket(ticket);
    transaction.m_State = kTranStateCodeSet;
    transaction.m_ResultCode = kResultAuthThreadFailed;
    g_TransactionQueue.ReplaceBySeq(transaction.m_QueueSeq, kTranStateTaken, transaction);
    return true;
}

int HostRequestWorker(CHostRequestRecord record) {
    CTransaction transaction = std::move(record.m_Transaction);
    if (transaction.BuildHostRequest()) {
        CReversalJournal& journal = CReversalJournal::Instance();
        // On disk before any transport has it: a crash from here on leaves a reversal behind, never a Sale that
        // the host booked and nobody knows of. One that cannot be put there (the journal logged why) is not sent.
        const bool inDoubt = SettlementOf(transaction.m_TranCode, EHostOutcome::kSending) == ESettlement::kLeaveInDoubt;
        if (inDoubt) {
            transaction.m_JournalId = journal.AddInDoubt(MakeReversalRecord(transaction));
        }
        if (inDoubt && transaction.m_JournalId == 0) {
            EndAsHostError(transaction, kJournalNotWrittenText, kJournalNotWrittenText);
        } else {
            SendRequestToHost(transaction, record.m_DialBackupRunning);
        }
        // A decline and a host error are settled here (a host error that left the outcome open has already
        // become a reversal); an approval only once the lane has it; anything else (a dial hand-over cut by the
        // stop) is still on its way.
        EHostOutcome outcome = EHostOutcome::kSending;
        if (transaction.m_State == kTranStateCompleted) {
            outcome = transaction.m_Approved ? EHostOutcome::kApproved : EHostOutcome::kDeclined;
        } else if (transaction.m_State == kTranStateHostError) {
            outcome = EHostOutcome::kHostError;
        }
        if (transaction.m_JournalId != 0 && SettlementOf(transaction.m_TranCode, outcome) == ESettlement::kSettle) {
            journal.SettleInDoubt(transaction.m_JournalId);
        }
    } else {
        // The stop ended a reversal's hold: no message was written, and the one the record still carries is
        // the reversed transaction's, which must not go out again.
        EndAsHostError(transaction, ShutdownText(), ShutdownText());
    }
    if (!g_TransactionQueue.ReplaceBySeq(transaction.m_QueueSeq, transaction) &&
        transaction.m_State == kTranStateCompleted && transaction.m_Approved &&
        SettlementOf(transaction.m_TranCode, EHostOutcome::kUndeliverable) == ESettlement::kReverse) {
        // The session gave up on it (its client gone for longer than it waits): the approval reaches nobody.
        AddReversal(transaction, kReversalReasonUndeliverableToClient);
    }
    record.m_TicketList->RemoveTicket(record.m_Ticket);
    return 0;
}

bool SendRequestToHost(CTransaction& transaction, const DialBackupProbe& dialBackupRunning) {
    const int method = LeadingInt(CParamStore::Instance().GetValue(kParamTransportMethod));
    const bool dialAllowed = method == 1 || method == 2;
    if (dialAllowed && (g_DialConnectedEvent.IsSet() || method == 2)) {
        return SendOverDial(transaction, dialBackupRunning);
    }

    CDatawireClient client;
    std::string lastErrorText;
    std::string url;
    if (!g_ServiceProviderList.GetCurrent(url)) {
        CLogger::Instance().LogLine("RuvuzUvir/Datawire/Connect ERROR-> No (Discovered)Host To Use for Connection.");
        if (!g_ShutdownEvent.IsSet()) {
            g_ServiceDiscoveryRequest.Set();
        }
    } else {
        for (;;) {
            CServiceUrl endpoint;
            if (SplitServiceUrl(url, endpoint)) {
                client.SetEndpoint(endpoint);
                client.SetServiceID(kDatawireServiceId);
                if (client.Connect()) {
                    CLogger::Instance().LogLine("Connected to [%s].", client.GetEndpoint().m_Host.c_str());
                    SendOverIp(transaction, client);
                    client.Close();
                    return true;
                }
                lastErrorText = client.GetLastErrorText();
                if (client.IsLocalFailure()) {
                    // No descriptor, memory or local port here: the provider is not at fault, so it stays
                    // listed, no discovery is asked for, and the next provider would fare no better.
                    CLogger::Instance().LogLine("RuvuzUvir/Datawire/Connect ERROR-> [%s] (failure on this server; "
                                                "provider kept)",
                                                lastErrorText.c_str());
                    break;
                }
            } else {
                lastErrorText = "No Host in URL [" + url + "]";
            }
            if (g_ShutdownEvent.IsSet()) {
                // The connect gave way to the stop: the provider is not at fault, so it stays listed and no
                // discovery is asked for.
                EndAsHostError(transaction, lastErrorText, ShutdownText());
                return false;
            }
            CLogger::Instance().LogLine("RuvuzUvir/Datawire/Connect (Trying Next Host) ERROR-> [%s]",
                                        lastErrorText.c_str());
            std::string next;
            if (!g_ServiceProviderList.RemoveAndGetNext(url, next)) {
                CLogger::Instance().LogLine(
                    "RuvuzUvir/Datawire/Connect ERROR-> Service Provider list exhausted; requesting new Service "
                    "Discovery");
                g_ServiceDiscoveryRequest.Set();
                break;
            }
            url = next;
        }
    }
    if (dialAllowed) {
        return SendOverDial(transaction, dialBackupRunning);
    }
    EndAsHostError(transaction, lastErrorText, kNoProviderText);
    return false;
}

bool SendOverIp(CTransaction& transaction, CDatawireClient& client) {
    PostViewMessage(WM_SENDING_AUTH);
    CLogger::Instance().LogLine("SENDING to RuvuzUvir -> [%s] for %s", "{Truncated}",
                                transaction.m_ClientAddress.c_str());
    CDatawireTransport transport;
    if (transport.SendTransaction(client, transaction)) {
        transaction.m_HostResponse = transport.GetLastResult().m_Text;
        PostViewMessage(WM_AUTH_RESPONSE);
        CLogger::Instance().LogLine("RESPONSE from RuvuzUvir ->[%s] for %s",
                                    MaskCardData(transaction.m_HostResponse).c_str(),
                                    transaction.m_ClientAddress.c_str());
        transaction.ParseHostResponse();
        transaction.m_State = kTranStateCompleted;
        return true;
    }
    const CTransportResult& result = transport.GetLastResult();
    // A failure with a reversal reason may have left the transaction booked at the host; any other cannot have.
    const CIpSendFacts facts{client.RequestWentOut(), client.IsAwaitingResponse(), client.GetHttpStatus()};
    const std::string reason = IpFailureReversalReason(facts, result);
    const EHostOutcome outcome = reason.empty() ? EHostOutcome::kNotBooked : EHostOutcome::kAnswerMissing;
    ReverseWhereOpen(transaction, outcome, reason);
    transaction.m_State = kTranStateHostError;
    // A read that simply ran out of time leaves no error text behind; the client is told what happened.
    transaction.m_HostErrorText = IsBlankText(result.m_Detail) ? kNoResponseText : result.m_Detail;
    CLogger::Instance().LogLine("RESPONSE from DATAWIRE ->[%s] for %s", transaction.m_HostErrorText.c_str(),
                                transaction.m_ClientAddress.c_str());
    return true;
}
