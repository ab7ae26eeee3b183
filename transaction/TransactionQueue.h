#pragma once
// The lock-guarded list through which every transaction passes between the threads of the system: POS
// sessions add requests, the host interface and the dial backup write results back by sequence number,
// the reversal worker feeds and watches reversals.

#include <atomic>
#include <cstdint>
#include <list>
#include <vector>

#include "platform/Mutex.h"
#include "transaction/Transaction.h"

// The largest sequence number and sub-sequence number; the next after each is 1.
constexpr int32_t kMaxQueueSeq = 999999;
constexpr int32_t kMaxQueueSubSeq = 32;
// How far in the past the last-add tick is put at construction, so that the first request after start is
// not held by the sessions' 30000 ms hold.
constexpr uint64_t kInitialAddAgeMs = 30000;

// Owns an ordered list of transaction records and numbers them as they come. Records go in and come out
// only as copies: no caller ever holds a pointer into the list, and a change is made by ReplaceBySeq. The
// queue reads nothing of a record but its sequence number and, for the checked write-back, its state.
//
// One writer per state: a record in a given state is moved on by one thread only, so two threads never race
// to write the same record. In g_TransactionQueue (see transaction/Transaction.h for the states):
//   1 queued        -> 2 taken, 5 code set (no ticket)  the host interface's thread (dispatch)
//   1 queued        -> 3 aborted                        the host interface's thread (a client's abort)
//   2 taken         -> 4, 5, 7, 8 dial                  the host request worker that took it
//   2 taken         -> 1 queued (no worker), 4, 5       the host interface's thread (held reversals, start)
//   8 dial          -> 9, 10, 11                        the dial backup's thread
//   9, 11           -> 8 dial (a retry)                 the host request worker waiting for the dial
//   3, 4, 5, 7      -> 6 delivered                      the POS session of the lane (a reversal: the reverse
//                                                       worker); the reverse worker also moves 3 -> 1
// Removal is the session's (its own records, once delivered or given up) and the reverse worker's.
// The write-back that names the state it read (ReplaceBySeq with |expectedState|) catches a breach: when the
// record has moved on meanwhile it is refused and logged instead of silently undoing the other writer.
// Thread-safe: any thread may call any member; each takes m_Lock for its whole run (GetCount reads an
// atomic count without it).
class CTransactionQueue {
public:
    CTransactionQueue();
    virtual ~CTransactionQueue() = default;
    CTransactionQueue(const CTransactionQueue&) = delete;
    CTransactionQueue& operator=(const CTransactionQueue&) = delete;

    // Numbers |transaction| (m_QueueSeq 1..999999, m_QueueSubSeq 1..32, written into the caller's object)
    // and appends a copy of it.
    void Add(CTransaction& transaction);
    // Replaces |out| by copies of every record in queue order.
    void GetAll(CTransactionList& out);
    // The number of records, a momentary value for display.
    int32_t GetCount() const;
    // Copies the first record with |seq| into |out|; false (|out| untouched) when none has it.
    bool GetBySeq(int32_t seq, CTransaction& out);
    // Replaces |out| by copies of the records whose sequence numbers |seqs| names, in queue order, a record
    // once for each time it is named; stops when |out| holds as many records as |seqs| has entries.
    void GetBySeqList(const std::vector<int32_t>& seqs, CTransactionList& out);
    // Removes the first record with |seq|; false when none has it.
    bool RemoveBySeq(int32_t seq);
    // Overwrites the first record with |seq| by |transaction| (every field, numbers and state included);
    // false when none has it.
    bool ReplaceBySeq(int32_t seq, const CTransaction& transaction);
    // The same, only while that record is in |expectedState| (the state its writer read); a record in another
    // state is left as it is, the refusal is logged, and the result is false.
    bool ReplaceBySeq(int32_t seq, int32_t expectedState, const CTransaction& transaction);
    // Moves the head record into |out|; false (|out| untouched) when the queue is empty.
    bool PopFront(CTransaction& out);
    // Milliseconds of the clock seam since the last Add (or since 30000 ms before construction).
    uint64_t MsSinceLastAdd();
    // Drops every record; the numbering and the last-add tick go on as they were.
    void RemoveAll();

    // Sets the last numbers issued, so tests can reach the wrap without a million adds.
    void SetLastNumbersForTesting(int32_t seq, int32_t subSeq);

private:
    mutable CMutex m_Lock;
    std::list<CTransaction> m_List GUARDED_BY(m_Lock);
    int32_t m_Seq GUARDED_BY(m_Lock) = 0;    // last sequence number issued
    int32_t m_SubSeq GUARDED_BY(m_Lock) = 0; // last sub-sequence number issued
    std::atomic<int32_t> m_Count{0};
    uint64_t m_LastAddTick GUARDED_BY(m_Lock);
};

// Every transaction on its way to and from the host, reversals included.
extern CTransactionQueue g_TransactionQueue;
// Reversals waiting for the reversal worker to move them into g_TransactionQueue.
extern CTransactionQueue g_ReversalQueue;
