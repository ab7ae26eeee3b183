#include "QueueStandInHost.h"

#include <chrono>

#include "host/RuvuzUvirInterface.h"
#include "transaction/TransactionQueue.h"

CQueueStandInHost::CQueueStandInHost(Decision decision) : m_Decision(std::move(decision)) {}

CQueueStandInHost::~CQueueStandInHost() {
    Stop();
}

void CQueueStandInHost::Start(int pollMs) {
    if (m_Thread != nullptr) {
        return;
    }
    m_Stop = false;
    m_Thread = std::make_unique<std::thread>([this, pollMs] {
        while (!m_Stop.load()) {
            ProcessOnce();
            // Real time on purpose: the stand-in keeps answering while a test holds a manual clock still.
            std::this_thread::sleep_for(std::chrono::milliseconds(pollMs));
        }
    });
}

void CQueueStandInHost::Stop() {
    m_Stop = true;
    if (m_Thread != nullptr) {
        m_Thread->join();
        m_Thread.reset();
    }
}

int CQueueStandInHost::ProcessOnce() {
    CTransactionList snapshot;
    g_TransactionQueue.GetAll(snapshot);
    CRuvuzUvirInterface::AbortPass(snapshot);
    int decided = 0;
    for (CTransaction& record : snapshot) {
        if (record.m_State != kTranStateQueued || record.m_CryptMode != kCryptModeEncrypted) {
            continue;
        }
        record.m_State = kTranStateTaken;
        m_Decision(record);
        g_TransactionQueue.ReplaceBySeq(record.m_QueueSeq, record);
        ++decided;
    }
    m_Decided += static_cast<uint64_t>(decided);
    return decided;
}

void CQueueStandInHost::Approve(CTransaction& transaction) {
    transaction.m_Approved = true;
    transaction.m_Captured = true;
    transaction.m_HostAuthCode = "A" + std::to_string(transaction.m_QueueSeq);
    transaction.m_HostRefNo = std::to_string(100000 + transaction.m_QueueSeq);
    transaction.m_Balance = "25.00";
    transaction.FinishReply("");
    transaction.m_State = kTranStateCompleted;
}

void CQueueStandInHost::Decline(CTransaction& transaction) {
    transaction.m_Approved = false;
    transaction.m_Captured = false;
    transaction.m_ResponseText = "05:DECLINED";
    transaction.FinishReply("");
    transaction.m_State = kTranStateCompleted;
}
