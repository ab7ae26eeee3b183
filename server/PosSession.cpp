#include "server/PosSession.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>

#include "foundation/CardDataMask.h"
#include "foundation/Logger.h"
#include "foundation/ParamSettings.h"
#include "foundation/ParamStore.h"
#include "foundation/Request.h"
#include "foundation/SharedConstants.h"
#include "platform/Clock.h"
#include "platform/Poll.h"
#include "platform/ProcessEvents.h"
#include "server/TcpServer.h"
#include "transaction/Replies.h"
#include "transaction/ReversalJournal.h"
#include "transaction/ReverseWorker.h"
#include "transaction/Settlement.h"
#include "transaction/TransactionQueue.h"

namespace {

// The login answer to the client data is encrypted in a buffer of this size.
constexpr uint32_t kClientDataBufferBytes = 256;

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

std::string GetParam(unsigned index) {
    return CParamStore::Instance().GetValue(static_cast<EParamIndex>(index));
}

bool HeldOnSingleLane(int tranCode) {
    switch (tranCode) {
    case kTranNumIssue:
    case kTranNumSale:
    case kTranNumReturn:
    case kTranNumReload:
    case kTranNumNoNSFSale:
    case kTranNumCashOut:
        return true;
    default:
        return false;
    }
}

} // namespace

CPosSession::CPosSession(const SPosSessionTimings& timings, const SPosRequestLimits& limits)
    : m_Timings(timings), m_Limits(limits) {}

CPosSession::~CPosSession() {
    // Records of the session may outlive it in the queue (a stop while they were on the host): none may set
    // this session's event from now on.
    g_TransactionQueue.DetachWatcher(&m_Finished.Event());
}

bool CPosSession::GoingOffline() const {
    return Server() != nullptr && Server()->m_bGoingOffline.load();
}

bool CPosSession::ClientConnected() {
    if (!m_ClientGone && !IsConnected()) {
        m_ClientGone = true;
    }
    return !m_ClientGone;
}

int CPosSession::ReceiveUntil(char* buffer, int size, uint64_t deadlineTickMs) {
    if (m_ClientGone) {
        return -1;
    }
    // One poll on the socket, the session's own transactions finishing and the server going offline: the
    // session sleeps until one of them or the time says so.
    std::vector<CPollItem> items;
    items.push_back(CPollItem{Socket(), true});
    const int offlineFd = Server() != nullptr ? Server()->m_bGoingOffline.Fd() : -1;
    if (offlineFd >= 0) {
        items.push_back(CPollItem{offlineFd, true});
    }
    const size_t finishedItem = items.size();
    if (m_Finished.Valid()) {
        items.push_back(CPollItem{m_Finished.Fd(), true});
    }
    // Without a descriptor for either event the session looks again after a receive's wait, as it would on
    // a quiet connection.
    if (offlineFd < 0 || !m_Finished.Valid()) {
        deadlineTickMs = std::min(deadlineTickMs, GetClock().TickMs() + m_Timings.receiveWaitMs);
    }
    const int rc = PollItemsUntil(items, deadlineTickMs);
    if (finishedItem < items.size() && items[finishedItem].Readable) {
        // Taken before the caller reads the queue: a result written meanwhile sets it again.
        m_Finished.Reset();
    }
    if (rc <= 0 || (!items[0].Readable && !items[0].Broken)) {
        // A failed wait on a socket that is gone shows in IsConnected. Any other failure comes back at once,
        // so a short pause keeps the loop from spinning on it.
        if (!ClientConnected()) {
            return -1;
        }
        if (rc < 0) {
            GetClock().SleepMs(1);
        }
        return 0;
    }
    COsError error;
    const int got = Receive(buffer, size, &error);
    if (got > 0) {
        return got;
    }
    if (got < 0 && error.Is(EOsErrorClass::WouldBlock)) {
        GetClock().SleepMs(1);
        return 0; // the socket's own receive time-out
    }
    // An orderly close or a reset: the client has gone, and nothing sent from now on can reach it.
    m_ClientGone = true;
    return -1;
}

uint64_t CPosSession::NextWakeTick(uint64_t quietSince) const {
    // The idle deadline has passed once its whole second is over.
    uint64_t wakeAt = (m_IdleDeadline + 1) * 1000;
    // Replies wait for a second of quiet; once it is over, a result that finishes wakes the session itself.
    const uint64_t quietAt = quietSince + m_Timings.receiveWaitMs;
    if (!m_Tickets.empty() && quietAt > GetClock().TickMs()) {
        wakeAt = std::min(wakeAt, quietAt);
    }
    return wakeAt;
}

bool CPosSession::DrawChallenge(uint8_t* block, uint32_t length) {
    return CRequest::Instance().GenerateRandom(length, block);
}

bool CPosSession::EncryptChallenge(uint8_t* block, uint32_t* length, uint32_t bufferSize) {
    return CRequest::Instance().EncryptLoginBlock(block, length, bufferSize);
}

int CPosSession::SendSessionReply(int code, char status, const std::string& text, const std::string& traceData) {
    CCmdResponse response;
    return SendReply(FrameReply(response.BuildDocument(code, status, text, traceData), false));
}

int CPosSession::Greet(std::string& clientData) {
    m_Snapshot.clear();
    char id[64];
    std::snprintf(id, sizeof id, ":%04d", Socket());
    m_ClientId = PeerAddress() + id;
    if (GoingOffline()) {
        SendSessionReply(kPosReplyGoingOffline, 'E', kPosGoingOfflineText);
        return kPosLoginOffline;
    }
    CLogger& logger = CLogger::Instance();
    logger.LogLine("Socket Connect from %s", m_ClientId.c_str());

    std::array<uint8_t, kPosChallengeBytes> block{};
    // A challenge that could not be drawn or encrypted must not be answerable: an all-zero block, or the
    // plain block the greeting has just shown, would let any client in.
    bool usable = DrawChallenge(block.data(), static_cast<uint32_t>(block.size()));
    if (!usable) {
        logger.LogLine("Random Buffer Generator Failed!!!");
        block.fill(0);
    }
    std::string greeting = kPosGreetingText;
    greeting += CRequest::Instance().GetPublicKeyHex();
    greeting += kCharRS;
    greeting += BytesToHex(block.size(), block.data());
    greeting += kCharUS;
    SendSessionReply(kPosReplyOk, 'S', greeting);

    uint32_t length = static_cast<uint32_t>(block.size());
    if (!EncryptChallenge(block.data(), &length, static_cast<uint32_t>(block.size()))) {
        logger.LogLine("Encryption failed on Random Block!!!");
        usable = false;
    }
    return WaitLogin(usable ? block.data() : nullptr, usable ? length : 0, clientData);
}

int CPosSession::WaitLogin(const uint8_t* block, size_t length, std::string& clientData) {
    IClock& clock = GetClock();
    const uint64_t start = clock.TickMs();
    std::string text;
    std::array<char, kPosReceiveChunk + 1> chunk{};
    while (ClientConnected()) {
        if (clock.TickMs() - start >= m_Timings.loginWaitMs) {
            return kPosLoginTimedOut;
        }
        const int got = ReceiveUntil(chunk.data(), kPosReceiveChunk, start + m_Timings.loginWaitMs);
        if (got < 0) {
            break;
        }
        if (got > 0) {
            if (text.size() + static_cast<size_t>(got) > kPosMaxLoginText) {
                return kPosLoginTimedOut; // no login is that long: the client is not speaking the protocol
            }
            text.append(chunk.data(), static_cast<size_t>(got));
        }
        const size_t etx = text.find(kCharETX);
        if (etx != std::string::npos) {
            return CheckLoginText(text, etx, block, length, clientData);
        }
        if (GoingOffline()) {
            SendSessionReply(kPosReplyGoingOffline, 'E', kPosGoingOfflineText);
            return kPosLoginOffline;
        }
    }
    return kPosLoginTimedOut;
}

int CPosSession::CheckLoginText(const std::string& text, size_t etx, const uint8_t* block, size_t length,
                                std::string& clientData) {
    const size_t rs = text.find(kCharRS);
    const size_t us = rs == std::string::npos ? std::string::npos : text.find(kCharUS, rs + 1);
    if (us == std::string::npos || !CheckChallengeResponse(text.substr(rs + 1, us - rs - 1), block, length)) {
        return kPosLoginBadChallenge;
    }
    const size_t dc1 = text.find(kCharDC1);
    const size_t dc2 = dc1 == std::string::npos ? std::string::npos : text.find(kCharDC2, dc1 + 1);
    if (dc2 != std::string::npos) {
        clientData = text.substr(dc1 + 1, dc2 - dc1 - 1);
    }
    if (GetParam(kParamUsePassword) == "Y") {
        const std::string password = GetParam(kParamPassword);
        if (etx < password.size() + 1 || text.compare(etx - password.size(), password.size(), password) != 0) {
            return kPosLoginBadPassword;
        }
    }
    return dc2 == std::string::npos ? kPosLoginNoClientData : kPosLoginPassed;
}

bool CPosSession::CheckChallengeResponse(const std::string& hex, const uint8_t* block, size_t length) {
    if (block == nullptr || length == 0 || hex.size() % 2 != 0 || hex.size() > kPosMaxChallengeHex) {
        return false;
    }
    std::vector<uint8_t> bytes;
    if (!CRequest::TranslateHexStringToByteArray(hex, &bytes) || bytes.size() != length) {
        return false;
    }
    return std::equal(bytes.begin(), bytes.end(), block);
}

void CPosSession::AnswerLoginFailure(int login) {
    switch (login) {
    case kPosLoginTimedOut: {
        CCmdResponse response;
        SendReplyLogWarning(
            FrameReply(response.BuildDocument(kPosReplyLoginFailed, 'E', kPosLoginFailedText, ""), false));
        break;
    }
    case kPosLoginBadPassword:
        SendSessionReply(kPosReplyPasswordFailed, 'E', kPosPasswordFailedText);
        break;
    case kPosLoginBadChallenge:
        SendSessionReply(kPosReplyChallengeFailed, 'E', kPosChallengeFailedText);
        break;
    case kPosLoginNoClientData:
        SendSessionReply(kPosReplyUpgradeRequired, 'E', kPosUpgradeRequiredText);
        break;
    default:
        break; // going offline: its reply is already out
    }
}

void CPosSession::Run() {
    std::string clientData;
    const int login = Greet(clientData);
    if (login != kPosLoginPassed) {
        AnswerLoginFailure(login);
        return;
    }

    std::string verified = kPosLoginVerifiedText;
    verified += kCharRS;
    verified += AnswerClientData(clientData);
    verified += kCharUS;
    // The idle hour counts from the login. It is set before the reply goes out, so that whatever the client
    // does on seeing the reply is measured against it.
    ResetIdleDeadline();
    SendSessionReply(kPosReplyLoginVerified, 'S', verified);
    RequestLoop();
}

std::string CPosSession::AnswerClientData(const std::string& clientData) {
    // The client proves it holds the login key by the challenge; the server proves the same by answering
    // the client's data encrypted with it.
    std::string answer;
    if (clientData.size() <= kPosMaxClientDataHex && clientData.size() % 2 == 0) {
        std::vector<uint8_t> bytes;
        CRequest::TranslateHexStringToByteArray(clientData, &bytes);
        bytes.resize(kClientDataBufferBytes);
        uint32_t length = static_cast<uint32_t>(clientData.size() / 2);
        if (CRequest::Instance().EncryptLoginBlock(bytes.data(), &length, kClientDataBufferBytes)) {
            answer = BytesToHex(length, bytes.data());
        } else {
            // Echoing the client's own bytes unencrypted would prove nothing; the answer stays empty.
            CLogger::Instance().LogLine("Encryption failed on Random Block!!!");
        }
    }
    return answer;
}

void CPosSession::RunRefused() {
    std::string clientData;
    const int login = Greet(clientData);
    if (login == kPosLoginPassed) {
        SendSessionReply(kPosReplyRefused, 'E', kPosRefusedText);
    } else {
        AnswerLoginFailure(login);
    }
}

void CPosSession::ResetIdleDeadline() {
    m_IdleDeadline = (GetClock().TickMs() + m_Timings.idleMs) / 1000;
}

void CPosSession::RequestLoop() {
    IClock& clock = GetClock();
    std::string request;
    std::array<char, kPosReceiveChunk + 1> chunk{};
    uint64_t quietSince = clock.TickMs();
    for (;;) {
        const int got = ReceiveUntil(chunk.data(), kPosReceiveChunk, NextWakeTick(quietSince));
        if (got <= 0) {
            // Replies go out only once the client has been quiet for a second, so they never interleave with a
            // request; a result that finishes after that second goes out as soon as it is written.
            if (got < 0 || clock.TickMs() - quietSince >= m_Timings.receiveWaitMs) {
                DeliverResults();
                PurgeDelivered();
            }
            // The deadline has passed once its whole second is over: never less than the idle period.
            if (!ClientConnected() || clock.TickMs() / 1000 > m_IdleDeadline) {
                WaitOutstanding();
                break;
            }
        } else {
            // Quiet is counted from the bytes' arrival, not from the end of their handling: a lane that has its
            // "Queued" answer has seen the request taken, and its second of quiet is already running.
            const uint64_t receivedAt = clock.TickMs();
            for (int i = 0; i < got; ++i) {
                const char byte = chunk[static_cast<size_t>(i)];
                if (byte != kCharETX && request.size() < kPosMaxRequestText) {
                    request += byte;
                    continue;
                }
                // An ETX ends the request; so does a byte past the longest request, which is dropped. The idle
                // hour restarts before the answer goes out, as at the login.
                ResetIdleDeadline();
                HandleRequest(request);
                request.clear();
            }
            quietSince = receivedAt;
            if (!ClientConnected()) {
                WaitOutstanding();
                break;
            }
        }
        if (GoingOffline()) {
            SendSessionReply(kPosReplyGoingOffline, 'E', kPosGoingOfflineText);
            break;
        }
    }
    if (ClientConnected()) {
        SendDisconnect();
    }
}

void CPosSession::HandleRequest(const std::string& text) {
    CTransaction transaction;
    transaction.SetRequest(text);
    transaction.m_ClientAddress = m_ClientId;
    HandleTransaction(transaction);
}

void CPosSession::HandleTransaction(CTransaction& transaction) {
    CLogger::Instance().LogLine("Request ->[%s] from %s", MaskCardData(transaction.GetRequestText()).c_str(),
                                transaction.GetClientAddress().c_str());
    if (transaction.m_CryptMode == kCryptModePlain) {
        SendReply(transaction.BuildErrorReply());
        return;
    }
    if (!AdmitRequest(transaction)) {
        return;
    }
    HoldForSingleLane(transaction.m_TranCode);
    if (transaction.m_CryptMode == kCryptModeEncrypted) {
        if (transaction.m_TranCode == kTranNumInvalid) {
            SendSessionReply(kPosReplyInvalidRequest, 'E', kPosInvalidRequestText, transaction.m_Header);
            return;
        }
        char queued[64];
        std::snprintf(queued, sizeof queued, kPosQueuedFormat, kPosQueuedLimit, g_TransactionQueue.GetCount());
        SendSessionReply(kPosReplyOk, 'S', queued, transaction.m_Header);
    }
    // Encrypted requests and abort requests alike wait for the host interface in state 1.
    transaction.m_State = kTranStateQueued;
    g_TransactionQueue.Add(transaction, &m_Finished.Event());
    m_Tickets.push_back(transaction.m_QueueSeq);
}

bool CPosSession::AdmitRequest(CTransaction& transaction) {
    if (transaction.m_CryptMode == kCryptModeEncrypted && transaction.m_TranCode == kTranNumInvalid) {
        return true; // answered 2007 and never queued
    }
    CLogger& logger = CLogger::Instance();
    const bool abort = transaction.m_CryptMode == kCryptModeAbort;
    const int total = g_TransactionQueue.GetCount();
    if (m_Tickets.size() >= m_Limits.perLane) {
        logger.LogLine("%s - %d request(s) outstanding from %s, at most %d.",
                       abort ? "Abort Request Dropped" : "Request Refused", static_cast<int>(m_Tickets.size()),
                       m_ClientId.c_str(), static_cast<int>(m_Limits.perLane));
        transaction.m_ResultCode = kResultLaneBusy;
    } else if (total >= m_Limits.total) {
        logger.LogLine("%s - %d request(s) outstanding in all, at most %d; from %s.",
                       abort ? "Abort Request Dropped" : "Request Refused", total, m_Limits.total, m_ClientId.c_str());
        transaction.m_ResultCode = kResultServerBusy;
    } else {
        return true;
    }
    if (!abort) {
        SendReply(transaction.BuildErrorReply());
    }
    return false;
}

void CPosSession::HoldForSingleLane(int tranCode) {
    if (!HeldOnSingleLane(tranCode) || std::strtol(GetParam(kParamNumberOfLanes).c_str(), nullptr, 10) != 1) {
        return;
    }
    // A single lane gets one money-moving transaction per hold period; the shutdown event (and going offline)
    // releases a held request at once.
    IClock& clock = GetClock();
    bool logged = false;
    for (;;) {
        // Read before the queue's own reading, so the step ends no later than the hold does.
        const uint64_t now = clock.TickMs();
        const uint64_t since = g_TransactionQueue.MsSinceLastAdd();
        if (since >= m_Timings.holdMs || GoingOffline()) {
            return;
        }
        if (!logged) {
            CLogger::Instance().LogLine("Holding Transaction - SL Violation -");
            logged = true;
        }
        if (g_ShutdownEvent.WaitUntilTick(now + std::min(m_Timings.holdStepMs, m_Timings.holdMs - since))) {
            return;
        }
    }
}

void CPosSession::DeliverResults() {
    if (m_Tickets.empty()) {
        return;
    }
    g_TransactionQueue.GetBySeqList(m_Tickets, m_Snapshot);
    for (CTransaction& copy : m_Snapshot) {
        const int32_t read = copy.m_State;
        switch (copy.m_State) {
        case kTranStateAborted:
            copy.m_ResultCode = kResultUserAbort;
            SendReply(copy.BuildErrorReply());
            break;
        case kTranStateHostError:
            copy.m_ResultCode = kResultHostError;
            SendReply(copy.BuildErrorReply());
            break;
        case kTranStateCodeSet:
            SendReply(copy.BuildErrorReply());
            break;
        case kTranStateCompleted: {
            const bool sent = SendReply(copy.GetReply()) != -1;
            EHostOutcome outcome = EHostOutcome::kDeclined;
            if (copy.m_Approved) {
                outcome = sent ? EHostOutcome::kDelivered : EHostOutcome::kUndeliverable;
            }
            const ESettlement settlement = SettlementOf(copy.m_TranCode, outcome);
            if (settlement == ESettlement::kReverse) {
                AddReversal(copy, kReversalReasonUndeliverableToClient);
            } else if (settlement == ESettlement::kSettle && copy.m_JournalId != 0) {
                // The lane has its answer (or there was nothing to answer for): nothing is left in doubt.
                CReversalJournal::Instance().SettleInDoubt(copy.m_JournalId);
            }
            break;
        }
        default:
            continue;
        }
        copy.m_State = kTranStateDelivered;
        // The session itself purges it: nobody else waits for this.
        g_TransactionQueue.ReplaceBySeqQuietly(copy.m_QueueSeq, read, copy);
    }
}

void CPosSession::PurgeDelivered() {
    if (m_Tickets.empty()) {
        return;
    }
    g_TransactionQueue.GetBySeqList(m_Tickets, m_Snapshot);
    std::vector<int32_t> present;
    for (const CTransaction& copy : m_Snapshot) {
        if (copy.m_State == kTranStateDelivered) {
            g_TransactionQueue.RemoveBySeq(copy.m_QueueSeq);
        } else {
            present.push_back(copy.m_QueueSeq);
        }
    }
    // A ticket whose record has left the queue (delivered now, or dropped by a restart of the interfaces) is
    // done: waiting for it would only keep a vanished client's session alive for nothing.
    std::erase_if(m_Tickets,
                  [&present](int32_t seq) { return std::find(present.begin(), present.end(), seq) == present.end(); });
}

bool CPosSession::WaitOutstanding() {
    if (m_Tickets.empty()) {
        return true;
    }
    IClock& clock = GetClock();
    const uint64_t start = clock.TickMs();
    for (uint64_t now = start; now - start < m_Timings.outstandingMs; now = clock.TickMs()) {
        clock.SleepUntilMs(now + m_Timings.outstandingStepMs);
        DeliverResults();
        PurgeDelivered();
        if (m_Tickets.empty() || GoingOffline()) {
            return true;
        }
    }
    for (const int32_t seq : m_Tickets) {
        g_TransactionQueue.RemoveBySeq(seq);
    }
    m_Tickets.clear();
    return true;
}

int CPosSession::SendReply(const std::string& framed) {
    const int result = SendToClient(framed);
    LogSent(framed, result);
    return result;
}

int CPosSession::SendReplyLogWarning(const std::string& framed) {
    const int result = SendToClient(framed);
    LogSent(ReplaceAll(framed, "Error", "Warning"), result);
    return result;
}

int CPosSession::SendToClient(const std::string& framed) {
    // A reply to a client that has gone may still be taken by the kernel; it counts as not delivered.
    if (!ClientConnected()) {
        return -1;
    }
    if (SendText(framed) < 0) {
        m_ClientGone = true;
        return -1;
    }
    return static_cast<int>(framed.size());
}

void CPosSession::LogSent(const std::string& framed, int result) const {
    // An encrypted reply never reaches the file: the logger would cut it away after formatting it.
    if (IsCutFromSentLine(framed)) {
        CLogger::Instance().LogLine(result == -1 ? "%ssent to %s ** FAILED ** " : "%ssent to %s", kCutSentFramePrefix,
                                    m_ClientId.c_str());
        return;
    }
    // A plain reply echoes the request's header as its trace data: whatever a lane put there is masked too.
    const std::string logged = MaskCardData(framed);
    if (result == -1) {
        CLogger::Instance().LogLine("[%s] sent to %s ** FAILED ** ", logged.c_str(), m_ClientId.c_str());
    } else {
        CLogger::Instance().LogLine("[%s] sent to %s", logged.c_str(), m_ClientId.c_str());
    }
}

void CPosSession::SendDisconnect() {
    SendSessionReply(kPosReplyDisconnecting, 'E', kPosDisconnectingText);
}
