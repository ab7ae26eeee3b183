#pragma once
// Stands in for the host interface on g_TransactionQueue: carries out abort requests with the processing loop's
// own abort pass and answers every new encrypted transaction at once through a decision the test chooses, so the
// POS session's delivery can be driven without a host.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

#include "transaction/Transaction.h"

// Owns its polling thread when started. ProcessOnce may be called from any one thread at a time; Start and
// Stop are for the owning thread.
class CQueueStandInHost {
public:
    // Fills in the host's answer and sets the record's state (7 with a reply, 4, 5, or leaves it in 2).
    using Decision = std::function<void(CTransaction&)>;

    explicit CQueueStandInHost(Decision decision = Approve);
    ~CQueueStandInHost();
    CQueueStandInHost(const CQueueStandInHost&) = delete;
    CQueueStandInHost& operator=(const CQueueStandInHost&) = delete;

    // Polls the queue every |pollMs| real milliseconds on a thread of its own.
    void Start(int pollMs = 2);
    void Stop();

    // One pass: the host interface's abort pass (abort requests turn their client's waiting transactions to
    // state 3 and are retired, state 6), then every other record in state 1 with crypt mode 0 is decided.
    // Returns how many records it decided.
    int ProcessOnce();
    uint64_t Decided() const { return m_Decided.load(); }

    // An approved, captured answer with an encrypted reply (state 7).
    static void Approve(CTransaction& transaction);
    // A declined answer with an encrypted reply (state 7).
    static void Decline(CTransaction& transaction);

private:
    Decision m_Decision;
    std::atomic<bool> m_Stop{false};
    std::atomic<uint64_t> m_Decided{0};
    std::unique_ptr<std::thread> m_Thread;
};
