#pragma once
// The reversal journal: every transaction whose outcome at the host is in doubt, and every reversal that has been
// decided on, stays in "Reversals.dat" in the current directory until it is settled, so that neither a crash nor a
// restart of the interfaces loses one. The journal keeps only what a reversal message and its log lines need, and
// keeps the card fields sealed with a key of its own; how an entry is written as a line is JournalRecord.h.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/Files.h"
#include "platform/Mutex.h"
#include "platform/SealingKey.h"
#include "platform/WorkerThread.h"
#include "transaction/JournalRecord.h"
#include "transaction/Transaction.h"
#include "transaction/TransactionQueue.h"

// The journal file, relative to the current directory.
inline const std::string kReversalJournalFileName = "Reversals.dat";
// The journal's own key, in the key folder.
inline const std::string kReversalJournalKeyFileName = "CORVANE_KEYS/ReversalJournal.key";

// How a line that could not be read is kept in the file: marked, so that it is never read as an entry again.
inline const std::string kDamagedLinePrefix = "# damaged: ";
// What a journal that cannot be decrypted is moved aside to: "Reversals.dat" + this + "-<UTC time stamp>".
inline const std::string kUndecryptableJournalMark = ".undecryptable";
// A change that need not wait for the disk (a settle, a removal) is flushed to it this long after it was made at
// the latest (on the clock seam), with every change made meanwhile; the flush itself comes on top.
inline constexpr uint64_t kJournalSettleFlushMs = 50;

// A reversal that a stopped worker had moved into the transaction queue and a new worker takes over.
struct CAdoptedReversal {
    int32_t seq = 0; // its sequence number in the transaction queue
    uint64_t id = 0;
};

// Holds the journal's entries and keeps the file (mode 0600) open, appending one line for each change: an entry
// line for an entry made, a replacing entry line for an entry replaced, a removal line for an entry that leaves.
// Each line goes to the file (O_APPEND) the moment its change is made, beside any flush under way and never
// waiting for one, so a killed process (the page cache outlives it) never undoes a change whose call returned.
// A change that a power loss must not undo (an entry made, replaced or marked failed) is flushed to disk before
// its call returns, one fdatasync carrying every change made meanwhile; a settle or a removal returns at once and
// is flushed by the journal's flusher thread within kJournalSettleFlushMs, together with every change made
// meanwhile (or sooner, by any other flush), so a power loss can at worst bring back an entry that had left in
// the last moments, never lose one. The flusher sleeps without a time-out while nothing waits for it.
// The whole file is written again (a temporary, flushed and renamed over it, which lines written meanwhile are
// carried into) when it is new, when it grew to several times what its entries need, when it was moved away,
// deleted or replaced, after a failed write, after a load that found something to mend, and when the last entry
// left while damaged lines are kept; when the last entry left and there are none, the file is cut to nothing. So
// a quiet journal holds no line of an entry that left. A line that cannot be read is logged, skipped and kept in
// the file behind kDamagedLinePrefix for the operator; a file whose entries cannot be decrypted is logged and
// moved aside whole, the entries that could be read staying in a new file. It also remembers where each entry is
// in this process: waiting in the reversal queue (by that queue's sequence number) or handed back by a stopped
// worker.
// Thread-safe: every public member takes m_Lock; the one lock taken under it is that of the queue passed in. One
// thread at a time holds the flush role (m_Flushing) and waits for the disk without m_Lock.
class CReversalJournal {
public:
    // The journal of the process.
    static CReversalJournal& Instance();

    explicit CReversalJournal(std::filesystem::path fileName = kReversalJournalFileName,
                              std::filesystem::path keyFileName = kReversalJournalKeyFileName);
    // Flushes what still waits for the flusher, then ends it.
    virtual ~CReversalJournal();
    CReversalJournal(const CReversalJournal&) = delete;
    CReversalJournal& operator=(const CReversalJournal&) = delete;

    // Writes |reversal| (the reversal a transaction gets if its outcome is never settled) as an entry in doubt,
    // on disk before the transaction goes to the host. Returns the entry's id, or 0 when it could not be written
    // to disk (logged): the transaction must then not go to the host, and nothing of it stays in the journal.
    uint64_t AddInDoubt(const CTransaction& reversal);
    // The transaction of entry |id| was settled (its reply delivered, its answer a decline, or it was never sent):
    // an entry still in doubt leaves the journal. An entry that became a reversal meanwhile is left alone.
    // Returns once the removal is in the file; the flusher puts it on disk.
    void SettleInDoubt(uint64_t id);

    // Writes |record| to the journal, as a new entry or in place of entry |replacesId| (when not 0: a failed
    // reversal's entry, or one in doubt that this reversal settles), then adds it to |reversalQueue| (which
    // numbers it) and remembers the entry under that number. With |onlyInDoubt| the entry is replaced only while
    // it is in doubt; otherwise a new entry is made. Returns the entry's id.
    uint64_t AddAndQueue(CTransaction& record, CTransactionQueue& reversalQueue, uint64_t replacesId = 0,
                         bool onlyInDoubt = false);
    // The entry of the record that waited in the reversal queue under |reversalSeq|, now taken out of it;
    // 0 when the record was not journalled.
    uint64_t TakeQueuedId(int32_t reversalSeq);
    // The reversal of entry |id| failed at |failedAtMs|: the entry keeps |record| until its retry. An |id| of
    // 0 (a record that was not journalled) makes a new entry. Returns the entry's id.
    uint64_t MarkFailed(uint64_t id, const CTransaction& record, int64_t failedAtMs);
    // The reversal of entry |id| completed or was given up: the entry leaves the journal, as a settle does.
    void Remove(uint64_t id);
    // A stopping worker hands back the entries it still tracked in the transaction queue (id, seq).
    void HandBack(const std::vector<CAdoptedReversal>& tracked);

    // Reads the file again for a starting worker (and lets the flusher run again after StopFlusher) and sorts
    // every entry: one still waiting in |reversalQueue| stays there; one handed back whose record is still in
    // |transactionQueue| is returned in |adopted|; one waiting for a retry is returned in |retries|; one in doubt
    // (nothing in the process can still settle it) becomes a pending reversal, is written so, and is returned in
    // |revived|; every other one is queued in |reversalQueue| again (state 1, its m_Created and attempts kept),
    // the revived ones too.
    void Replay(CTransactionQueue& reversalQueue, CTransactionQueue& transactionQueue,
                std::vector<CAdoptedReversal>& adopted, std::vector<CJournalEntry>& retries,
                std::vector<CJournalEntry>& revived);

    // Flushes what waits for the flusher and ends its thread, so that stopped interfaces leave no thread behind;
    // until the next Replay each settle and removal is then flushed by its caller. For the reverse worker's stop,
    // on one thread at a time.
    void StopFlusher();

    // The entries now held, in id order (for tests and for the operator's view).
    std::vector<CJournalEntry> Entries();
    // Forgets everything held in memory, as a new process would; the files are left alone, and what waited for
    // the flusher is not flushed.
    void ResetForTesting();
    // Called by the holder of the flush role, without m_Lock, before each flush goes to the disk. Tests use it to
    // see when the disk is written and to make a flush slow.
    void SetFlushHookForTesting(std::function<void()> hook);

private:
    // Each of these is called with m_Lock held; LoadLocked, WaitForFlushLocked, CommitLocked, SettleLocked and
    // FlushLocked let it go while they wait for a flush or flush themselves (and hold it again when they return),
    // so the state may have moved on when they return.
    // Reads the file into memory: the steps below, in order.
    void LoadLocked() REQUIRES(m_Lock);
    // Reads the whole file into |text| (|present|: there is one) and makes sure of the key when it holds anything;
    // false (logged) when the file cannot be read or the key cannot be had.
    bool ReadFileLocked(bool* present, std::string* text) REQUIRES(m_Lock);
    // After a failed read: memory keeps what it has, and the file is not written over until it is read again.
    void LeaveFileAloneLocked() REQUIRES(m_Lock);
    // Adds to |loaded| the entries that only memory holds, their write having failed; true when there was one.
    bool KeepUnwrittenEntriesLocked(std::map<uint64_t, CJournalEntry>& loaded) REQUIRES(m_Lock);
    // Opens the file just read (|text|, |present|) for the lines of the changes to come, or has the next flush
    // write it whole when it cannot take them.
    void AppendBehindLocked(const std::string& text, bool present) REQUIRES(m_Lock);
    void EnsureLoadedLocked() REQUIRES(m_Lock);
    // Returns once no flush is under way (it lets m_Lock go while it waits).
    void WaitForFlushLocked() REQUIRES(m_Lock);
    // Counts one change and writes its |lines| to the file when the file can take them (and to the whole file
    // being written, if one is); otherwise the next flush writes the whole file. Returns the change's number.
    uint64_t RecordChangeLocked(const std::string& lines) REQUIRES(m_Lock);
    // Returns once a flush that covers change |change| has ended, taking the flush role when nobody holds it:
    // true when the change is on disk.
    bool CommitLocked(uint64_t change) REQUIRES(m_Lock);
    // Sees to change |change|, which need not wait for the disk: the file is written whole at once when it could
    // not take the change's lines, cut when nothing is left in it, and flushed by the flusher in time.
    void SettleLocked(uint64_t change) REQUIRES(m_Lock);
    // Holds the flush role for one flush: writes the whole file when it needs that (cut to nothing when no line
    // is left to keep), then flushes it to disk. Only while nobody else holds the role.
    void FlushLocked() REQUIRES(m_Lock);
    // The whole-file write of FlushLocked: true when the new file is in place and on disk. |covers| gets the
    // changes it holds.
    bool RewriteLocked(const std::function<void()>& hook, uint64_t* covers, std::string* error) REQUIRES(m_Lock);
    bool NeedsRewriteLocked() REQUIRES(m_Lock);
    // Whether the open file is the journal's and takes lines.
    bool FileTakesLinesLocked() REQUIRES(m_Lock);
    // Cuts the file to nothing when no entry and no damaged line is left; true when it did.
    bool CutIfEmptyLocked() REQUIRES(m_Lock);
    // Change |change| waits for the flusher, which is started when it does not run yet.
    void WaitForFlusherLocked(uint64_t change) REQUIRES(m_Lock);
    bool FlusherDueLocked() REQUIRES(m_Lock) { return m_LazyChange > m_AttemptedCount; }
    // The flusher thread's body.
    int RunFlusher();
    // The line of |entry| as a change writes it (one that replaces the entry with its id when |replaces|), or ""
    // when it cannot be sealed: the whole file is written then, which finds (and logs) what is missing.
    std::string EntryLineLocked(const CJournalEntry& entry, bool replaces) REQUIRES(m_Lock);
    // The whole file as it should now be; false when nothing is to be written.
    bool BuildFileLocked(std::string* bytes) REQUIRES(m_Lock);
    bool EnsureKeyLocked() REQUIRES(m_Lock);
    void QueueLocked(uint64_t id, CTransaction& record, CTransactionQueue& reversalQueue) REQUIRES(m_Lock);
    // Moves the file aside after entries could not be decrypted; false when it stays where it is.
    bool MoveAsideLocked(size_t undecryptable) REQUIRES(m_Lock);

    CMutex m_Lock;
    CCondVar m_FlushEnded;  // a flush ended; waited for with m_Lock
    CCondVar m_FlusherWake; // a change waits for the flusher, or the journal stops; waited for with m_Lock
    const std::filesystem::path m_FileName;
    const std::filesystem::path m_KeyFileName;
    CSealingKey m_Key GUARDED_BY(m_Lock); // empty until first needed
    bool m_Loaded GUARDED_BY(m_Lock) = false;
    bool m_ReadFailed GUARDED_BY(m_Lock) = false;  // the file is not written over
    bool m_WriteFailed GUARDED_BY(m_Lock) = false; // the file lags behind memory
    bool m_NeedRewrite GUARDED_BY(m_Lock) = false; // the next flush writes the whole file
    bool m_Flushing GUARDED_BY(m_Lock) = false;    // a thread holds the flush role
    bool m_Rewriting GUARDED_BY(m_Lock) = false;   // the flush under way writes the whole file anew
    std::string m_Carried GUARDED_BY(m_Lock);      // lines written meanwhile, for the new file
    // Changes are numbered as they are made. A flush covers the changes made before it began (a whole-file write:
    // before its new file took the old one's place).
    uint64_t m_ChangeCount GUARDED_BY(m_Lock) = 0;
    uint64_t m_AttemptedCount GUARDED_BY(m_Lock) = 0; // covered by a flush that ended, well or not
    uint64_t m_DurableCount GUARDED_BY(m_Lock) = 0;   // covered by a flush that ended well
    uint64_t m_LazyChange GUARDED_BY(m_Lock) = 0;     // the last change that waits for the flusher
    uint64_t m_LazySinceMs GUARDED_BY(m_Lock) = 0;    // clock tick since which one has waited
    bool m_FlusherWanted GUARDED_BY(m_Lock) = true;   // false from StopFlusher to the next Replay
    bool m_Stopping GUARDED_BY(m_Lock) = false;       // the flusher is told to end
    bool m_FlusherStarted GUARDED_BY(m_Lock) = false;
    std::function<void()> m_FlushHook GUARDED_BY(m_Lock);
    uint64_t m_NextId GUARDED_BY(m_Lock) = 1;
    std::map<uint64_t, CJournalEntry> m_Entries GUARDED_BY(m_Lock);
    std::vector<std::string> m_DamagedLines GUARDED_BY(m_Lock);  // kept verbatim for the operator
    std::map<int32_t, uint64_t> m_QueuedIds GUARDED_BY(m_Lock);  // reversal-queue seq -> id
    std::map<uint64_t, int32_t> m_HandedBack GUARDED_BY(m_Lock); // id -> transaction-queue seq
    int64_t m_FileBytes GUARDED_BY(m_Lock) = 0;                  // the file's size as written
    // The file, kept open for appending: written under m_Lock; opened, replaced and closed only by the holder of
    // the flush role (or while nobody holds it) under m_Lock; flushed by that holder without m_Lock.
    CAppendingFile m_File;
    CWorkerThread m_Flusher; // last: it ends before the rest goes
};
