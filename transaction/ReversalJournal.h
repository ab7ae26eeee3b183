#pragma once
// The reversal journal: every transaction whose outcome at the host is in doubt, and every reversal that has been
// decided on, stays in "Reversals.dat" in the current directory until it is settled, so that neither a crash nor a
// restart of the interfaces loses one. The journal keeps only what a reversal message and its log lines need, and
// keeps the card fields sealed with a key of its own.

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "platform/Mutex.h"
#include "platform/SealingKey.h"
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

// One entry of the journal.
struct CJournalEntry {
    uint64_t id = 0;        // unique among the entries of the file
    int64_t failedAtMs = 0; // wall time (ms since 1970) of a failure that awaits its retry; 0: to be sent
    // True while the transaction is at the host (or its approval not yet delivered): |record| is then the reversal
    // that the transaction gets if the process ends before its outcome is settled.
    bool inDoubt = false;
    CTransaction record; // the reversal record, only the members the journal keeps
};

// The record with only the members a reversal needs: its host message (TranCodes, time and date, swipe flag,
// account and track, operator, invoice and reference numbers, amounts), its log lines (purchase, client
// address, header) and its timing (creation time, attempts). Never the request (its CVV), its key, the reply or
// the host's messages.
CTransaction JournalRecordOf(const CTransaction& record);

// What reading a journal line gave.
enum class EJournalLine {
    Entry,         // a whole entry
    Damaged,       // not a line EncodeJournalLine made: wrong start, bad checksum, escape or number, no id
    Undecryptable, // a whole line whose card fields this key cannot open
};

// A journal line: "REV2", then TAB-separated name=value fields (the entry's id, failure time and doubt flag,
// then the kept members of the record), then "sum=" and a checksum of all before it. Values are escaped (%XX for
// '%', controls, TAB and bytes above 0x7E), so no value can break a line or a field; the account and the track are
// sealed with |key| for this entry (hex of nonce, cipher text and tag). False when |key| cannot seal.
bool EncodeJournalLine(const CJournalEntry& entry, const CSealingKey& key, std::string* line);
// |body| followed by its checksum field: the last step of EncodeJournalLine.
std::string SignJournalLine(const std::string& body);
// Reads a line of the current form, or of the earlier "REV1" form (every member in the clear), which is read as
// it stands and kept from then on as JournalRecordOf would. What |entry| holds is to be used only for Entry.
EJournalLine DecodeJournalLine(const std::string& line, const CSealingKey& key, CJournalEntry& entry);

// A reversal that a stopped worker had moved into the transaction queue and a new worker takes over.
struct CAdoptedReversal {
    int32_t seq = 0; // its sequence number in the transaction queue
    uint64_t id = 0;
};

// Holds the journal's entries and writes the whole file again (temporary file, flushed, renamed over it; mode
// 0600) after every change, so a crash leaves the file before or after the change. A line that cannot be read is
// logged, skipped and kept in the file behind kDamagedLinePrefix for the operator; a file whose entries cannot be
// decrypted is logged and moved aside whole, the entries that could be read staying in a new file. It also
// remembers where each entry is in this process: waiting in the reversal queue (by that queue's sequence number)
// or handed back by a stopped worker.
// Changes are written in groups: one write carries every change made while the write before it ran, and each
// caller returns once its change is on disk.
// Thread-safe: every public member takes m_Lock; the one lock taken under it is that of the queue passed in. The
// file is written without m_Lock, by one thread at a time.
class CReversalJournal {
public:
    // The journal of the process.
    static CReversalJournal& Instance();

    explicit CReversalJournal(std::filesystem::path fileName = kReversalJournalFileName,
                              std::filesystem::path keyFileName = kReversalJournalKeyFileName);
    virtual ~CReversalJournal() = default;
    CReversalJournal(const CReversalJournal&) = delete;
    CReversalJournal& operator=(const CReversalJournal&) = delete;

    // Writes |reversal| (the reversal a transaction gets if its outcome is never settled) as an entry in doubt,
    // before the transaction goes to the host. Returns the entry's id.
    uint64_t AddInDoubt(const CTransaction& reversal);
    // The transaction of entry |id| was settled (its reply delivered, its answer a decline, or it was never sent):
    // an entry still in doubt leaves the journal. An entry that became a reversal meanwhile is left alone.
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
    // The reversal of entry |id| completed or was given up: the entry leaves the journal.
    void Remove(uint64_t id);
    // A stopping worker hands back the entries it still tracked in the transaction queue (id, seq).
    void HandBack(const std::vector<CAdoptedReversal>& tracked);

    // Reads the file again for a starting worker and sorts every entry: one still waiting in
    // |reversalQueue| stays there; one handed back whose record is still in |transactionQueue| is returned in
    // |adopted|; one waiting for a retry is returned in |retries|; one in doubt (nothing in the process can still
    // settle it) becomes a pending reversal, is written so, and is returned in |revived|; every other one is
    // queued in |reversalQueue| again (state 1, its m_Created and attempts kept), the revived ones too.
    void Replay(CTransactionQueue& reversalQueue, CTransactionQueue& transactionQueue,
                std::vector<CAdoptedReversal>& adopted, std::vector<CJournalEntry>& retries,
                std::vector<CJournalEntry>& revived);

    // The entries now held, in id order (for tests and for the operator's view).
    std::vector<CJournalEntry> Entries();
    // Forgets everything held in memory, as a new process would; the files are left alone.
    void ResetForTesting();

private:
    // Each of these is called with m_Lock held; LoadLocked and WriteLocked let it go while they wait for a write or
    // write themselves (and hold it again when they return), so the state may have moved on when they return.
    void LoadLocked() REQUIRES(m_Lock);
    void EnsureLoadedLocked() REQUIRES(m_Lock);
    // Returns once the file holds every change made so far (or its write failed, which is logged).
    void WriteLocked() REQUIRES(m_Lock);
    // The whole file as it should now be; false when nothing is to be written.
    bool BuildFileLocked(std::string* bytes) REQUIRES(m_Lock);
    bool EnsureKeyLocked() REQUIRES(m_Lock);
    void QueueLocked(uint64_t id, CTransaction& record, CTransactionQueue& reversalQueue) REQUIRES(m_Lock);
    // Moves the file aside after entries could not be decrypted; false when it stays where it is.
    bool MoveAsideLocked(size_t undecryptable) REQUIRES(m_Lock);

    CMutex m_Lock;
    CCondVar m_WriteDone; // a write ended; waited for with m_Lock
    const std::filesystem::path m_FileName;
    const std::filesystem::path m_KeyFileName;
    CSealingKey m_Key GUARDED_BY(m_Lock); // empty until first needed
    bool m_Loaded GUARDED_BY(m_Lock) = false;
    bool m_ReadFailed GUARDED_BY(m_Lock) = false;   // the file is not written over
    bool m_WriteFailed GUARDED_BY(m_Lock) = false;  // the file lags behind memory
    bool m_Writing GUARDED_BY(m_Lock) = false;      // a write is under way (without m_Lock)
    uint64_t m_ChangeCount GUARDED_BY(m_Lock) = 0;  // changes made
    uint64_t m_WrittenCount GUARDED_BY(m_Lock) = 0; // changes that a finished write covered
    uint64_t m_NextId GUARDED_BY(m_Lock) = 1;
    std::map<uint64_t, CJournalEntry> m_Entries GUARDED_BY(m_Lock);
    std::vector<std::string> m_DamagedLines GUARDED_BY(m_Lock);  // kept verbatim for the operator
    std::map<int32_t, uint64_t> m_QueuedIds GUARDED_BY(m_Lock);  // reversal-queue seq -> id
    std::map<uint64_t, int32_t> m_HandedBack GUARDED_BY(m_Lock); // id -> transaction-queue seq
};
