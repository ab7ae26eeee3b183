#include "transaction/TransactionQueue.h"

#include <algorithm>

#include "foundation/Logger.h"
#include "platform/Clock.h"

CTransactionQueue g_TransactionQueue;
CTransactionQueue g_ReversalQueue;

CTransactionQueue::CTransactionQueue() {
    const uint64_t now = GetClock().TickMs();
    m_LastAddTick = now > kInitialAddAgeMs ? now - kInitialAddAgeMs : 0;
}

void CTransactionQueue::Add(CTransaction& transaction) {
    CMutexLock lock(m_Lock);
    m_LastAddTick = GetClock().TickMs();
    m_Seq = m_Seq >= kMaxQueueSeq ? 1 : m_Seq + 1;
    m_SubSeq = m_SubSeq >= kMaxQueueSubSeq ? 1 : m_SubSeq + 1;
    transaction.m_QueueSeq = m_Seq;
    transaction.m_QueueSubSeq = m_SubSeq;
    m_List.push_back(transaction);
    m_Count.store(static_cast<int32_t>(m_List.size()));
}

void CTransactionQueue::GetAll(CTransactionList& out) {
    CMutexLock lock(m_Lock);
    // Same as emptying |out| and appending copies, but a snapshot taken every polling cycle into the same
    // list reuses the buffers of the previous one.
    out.assign(m_List.begin(), m_List.end());
}

int32_t CTransactionQueue::GetCount() const {
    return m_Count.load();
}

bool CTransactionQueue::GetBySeq(int32_t seq, CTransaction& out) {
    CMutexLock lock(m_Lock);
    for (const CTransaction& record : m_List) {
        if (record.m_QueueSeq == seq) {
            out = record;
            return true;
        }
    }
    return false;
}

void CTransactionQueue::GetBySeqList(const std::vector<int32_t>& seqs, CTransactionList& out) {
    CMutexLock lock(m_Lock);
    out.clear();
    if (seqs.empty()) {
        return;
    }
    for (const CTransaction& record : m_List) {
        for (const int32_t seq : seqs) {
            if (record.m_QueueSeq == seq) {
                out.push_back(record);
                if (out.size() >= seqs.size()) {
                    return;
                }
            }
        }
    }
}

bool CTransactionQueue::RemoveBySeq(int32_t seq) {
    CMutexLock lock(m_Lock);
    const auto it = std::find_if(m_List.begin(), m_List.end(),
                                 [seq](const CTransaction& record) { return record.m_QueueSeq == seq; });
    if (it == m_List.end()) {
        return false;
    }
    m_List.erase(it);
    m_Count.store(static_cast<int32_t>(m_List.size()));
    return true;
}

bool CTransactionQueue::ReplaceBySeq(int32_t seq, const CTransaction& transaction) {
    CMutexLock lock(m_Lock);
    for (CTransaction& record : m_List) {
        if (record.m_QueueSeq == seq) {
            record = transaction;
            return true;
        }
    }
    return false;
}

bool CTransactionQueue::ReplaceBySeq(int32_t seq, int32_t expectedState, const CTransaction& transaction) {
    int32_t found = 0;
    {
        CMutexLock lock(m_Lock);
        auto it = std::find_if(m_List.begin(), m_List.end(),
                               [seq](const CTransaction& record) { return record.m_QueueSeq == seq; });
        if (it == m_List.end()) {
            return false;
        }
        if (it->m_State == expectedState) {
            *it = transaction;
            return true;
        }
        found = it->m_State;
    }
    CLogger::Instance().LogLine("Transaction queue: write-back of Seq# %d to state %d refused: it is in state %d, "
                                "not %d (a second writer)",
                                static_cast<int>(seq), static_cast<int>(transaction.m_State), static_cast<int>(found),
                                static_cast<int>(expectedState));
    return false;
}

bool CTransactionQueue::PopFront(CTransaction& out) {
    CMutexLock lock(m_Lock);
    if (m_List.empty()) {
        return false;
    }
    out = m_List.front();
    m_List.pop_front();
    m_Count.store(static_cast<int32_t>(m_List.size()));
    return true;
}

uint64_t CTransactionQueue::MsSinceLastAdd() {
    CMutexLock lock(m_Lock);
    const uint64_t now = GetClock().TickMs();
    // The 64-bit steady tick does not wrap; a tick below the last add can only come from a clock that was
    // swapped for an earlier one, and counts as no time passed.
    return now >= m_LastAddTick ? now - m_LastAddTick : 0;
}

void CTransactionQueue::RemoveAll() {
    CMutexLock lock(m_Lock);
    m_List.clear();
    m_Count.store(0);
}

void CTransactionQueue::SetLastNumbersForTesting(int32_t seq, int32_t subSeq) {
    CMutexLock lock(m_Lock);
    m_Seq = seq;
    m_SubSeq = subSeq;
}
