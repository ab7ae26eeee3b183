#include "transaction/TransactionQueue.h"

#include <algorithm>

#include "foundation/Logger.h"
#include "platform/Clock.h"

namespace {
// Copies |record| into |out|[|at|], reusing the buffers of a record already there.
void CopyInto(CTransactionList& out, size_t at, const CTransaction& record) {
    if (at < out.size()) {
        out[at] = record;
    } else {
        out.push_back(record);
    }
}
} // namespace

CTransactionQueue g_TransactionQueue;
CTransactionQueue g_ReversalQueue;

CTransactionQueue::CTransactionQueue() {
    const uint64_t now = GetClock().TickMs();
    m_LastAddTick = now > kInitialAddAgeMs ? now - kInitialAddAgeMs : 0;
}

void CTransactionQueue::Add(CTransaction& transaction, CEvent* watcher) {
    CMutexLock lock(m_Lock);
    m_LastAddTick = GetClock().TickMs();
    m_Seq = m_Seq >= kMaxQueueSeq ? 1 : m_Seq + 1;
    m_SubSeq = m_SubSeq >= kMaxQueueSubSeq ? 1 : m_SubSeq + 1;
    transaction.m_QueueSeq = m_Seq;
    transaction.m_QueueSubSeq = m_SubSeq;
    m_List.push_back(CEntry{transaction, watcher});
    m_Count.store(static_cast<int32_t>(m_List.size()));
    WakeAndUnlock(lock, nullptr, m_AddWatchers);
}

void CTransactionQueue::WakeAndUnlock(CMutexLock& lock, CEvent* watcher, const std::vector<CEvent*>& watchers) {
    if (watcher == nullptr && watchers.empty()) {
        lock.Unlock();
        return;
    }
    // The watch lock is taken before the queue's is given up: an unwatch or a detach, which takes the queue's
    // lock first, then finds these sets finished before it returns. The events' own locks are the last ones
    // taken, and nothing under them comes back here.
    CMutexLock watchLock(m_WatchLock);
    lock.Unlock();
    if (watcher != nullptr) {
        watcher->Set();
    }
    for (CEvent* event : watchers) {
        event->Set();
    }
}

void CTransactionQueue::GetAll(CTransactionList& out) {
    CMutexLock lock(m_Lock);
    // Same as emptying |out| and appending copies, but a snapshot taken into the same list again reuses the
    // buffers of the previous one.
    size_t used = 0;
    for (const CEntry& entry : m_List) {
        CopyInto(out, used++, entry.record);
    }
    out.resize(used);
}

void CTransactionQueue::GetIf(const std::function<bool(const CTransaction&)>& wanted, CTransactionList& out) {
    CMutexLock lock(m_Lock);
    size_t used = 0;
    for (const CEntry& entry : m_List) {
        if (wanted(entry.record)) {
            CopyInto(out, used++, entry.record);
        }
    }
    out.resize(used);
}

int32_t CTransactionQueue::GetCount() const {
    return m_Count.load();
}

std::list<CTransactionQueue::CEntry>::iterator CTransactionQueue::FindLocked(int32_t seq) {
    return std::find_if(m_List.begin(), m_List.end(),
                        [seq](const CEntry& entry) { return entry.record.m_QueueSeq == seq; });
}

bool CTransactionQueue::GetBySeq(int32_t seq, CTransaction& out) {
    CMutexLock lock(m_Lock);
    const auto it = FindLocked(seq);
    if (it == m_List.end()) {
        return false;
    }
    out = it->record;
    return true;
}

void CTransactionQueue::GetBySeqList(const std::vector<int32_t>& seqs, CTransactionList& out) {
    CMutexLock lock(m_Lock);
    out.clear();
    if (seqs.empty()) {
        return;
    }
    for (const CEntry& entry : m_List) {
        for (const int32_t seq : seqs) {
            if (entry.record.m_QueueSeq == seq) {
                out.push_back(entry.record);
                if (out.size() >= seqs.size()) {
                    return;
                }
            }
        }
    }
}

bool CTransactionQueue::RemoveBySeq(int32_t seq) {
    CMutexLock lock(m_Lock);
    const auto it = FindLocked(seq);
    if (it == m_List.end()) {
        return false;
    }
    m_List.erase(it);
    m_Count.store(static_cast<int32_t>(m_List.size()));
    return true;
}

bool CTransactionQueue::Replace(int32_t seq, const int32_t* expectedState, const CTransaction& transaction, bool wake) {
    int32_t found = 0;
    {
        CMutexLock lock(m_Lock);
        const auto it = FindLocked(seq);
        if (it == m_List.end()) {
            return false;
        }
        if (expectedState == nullptr || it->record.m_State == *expectedState) {
            it->record = transaction;
            if (wake) {
                WakeAndUnlock(lock, it->watcher, m_ReplaceWatchers);
            }
            return true;
        }
        found = it->record.m_State;
    }
    CLogger::Instance().LogLine("Transaction queue: write-back of Seq# %d to state %d refused: it is in state %d, "
                                "not %d (a second writer)",
                                static_cast<int>(seq), static_cast<int>(transaction.m_State), static_cast<int>(found),
                                static_cast<int>(*expectedState));
    return false;
}

bool CTransactionQueue::ReplaceBySeq(int32_t seq, const CTransaction& transaction) {
    return Replace(seq, nullptr, transaction, true);
}

bool CTransactionQueue::ReplaceBySeq(int32_t seq, int32_t expectedState, const CTransaction& transaction) {
    return Replace(seq, &expectedState, transaction, true);
}

bool CTransactionQueue::ReplaceBySeqQuietly(int32_t seq, int32_t expectedState, const CTransaction& transaction) {
    return Replace(seq, &expectedState, transaction, false);
}

bool CTransactionQueue::PopFront(CTransaction& out) {
    CMutexLock lock(m_Lock);
    if (m_List.empty()) {
        return false;
    }
    out = std::move(m_List.front().record);
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

void CTransactionQueue::WatchAdds(CEvent* event) {
    CMutexLock lock(m_Lock);
    CMutexLock watchLock(m_WatchLock);
    m_AddWatchers.push_back(event);
}

void CTransactionQueue::WatchReplaces(CEvent* event) {
    CMutexLock lock(m_Lock);
    CMutexLock watchLock(m_WatchLock);
    m_ReplaceWatchers.push_back(event);
}

void CTransactionQueue::Unwatch(CEvent* event) {
    CMutexLock lock(m_Lock);
    CMutexLock watchLock(m_WatchLock);
    std::erase(m_AddWatchers, event);
    std::erase(m_ReplaceWatchers, event);
}

void CTransactionQueue::DetachWatcher(CEvent* watcher) {
    {
        CMutexLock lock(m_Lock);
        for (CEntry& entry : m_List) {
            if (entry.watcher == watcher) {
                entry.watcher = nullptr;
            }
        }
    }
    // A replace that read the watcher before the loop above holds the watch lock until its set is done.
    CMutexLock watchLock(m_WatchLock);
}

void CTransactionQueue::SetLastNumbersForTesting(int32_t seq, int32_t subSeq) {
    CMutexLock lock(m_Lock);
    m_Seq = seq;
    m_SubSeq = subSeq;
}
