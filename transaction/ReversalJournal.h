#pragma once
// The reversal journal: every reversal that has been decided on stays in "Reversals.dat" in the current
// directory until it completed at the host or was given up, so that neither the end of the process nor a
// restart of the interfaces loses one.

#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "transaction/Transaction.h"
#include "transaction/TransactionQueue.h"

// The journal file, relative to the current directory.
inline const std::string kReversalJournalFileName = "Reversals.dat";

// How a line that could not be read is kept in the file: marked, so that it is never read as an entry again.
inline const std::string kDamagedLinePrefix = "# damaged: ";

// One reversal of the journal.
struct CJournalEntry {
    uint64_t id = 0;        // unique among the entries of the file
    int64_t failedAtMs = 0; // wall time (ms since 1970) of a failure that awaits its retry; 0: to be sent
    CTransaction record;    // the reversal record as it was queued (or as it failed)
};

// A journal line: "REV1", then TAB-separated name=value fields (the entry's id and failure time, then every
// member of the record), then "sum=" and a checksum of all before it. Values are escaped (%XX for '%',
// controls, TAB and bytes above 0x7E), so no value can break a line or a field.
std::string EncodeJournalLine(const CJournalEntry& entry);
// |body| followed by its checksum field: the last step of EncodeJournalLine.
std::string SignJournalLine(const std::string& body);
// False for a line that is not one EncodeJournalLine made (wrong start, bad checksum, bad escape or number,
// no id); what |entry| then holds is not to be used.
bool DecodeJournalLine(const std::string& line, CJournalEntry& entry);

// A reversal that a stopped worker had moved into the transaction queue and a new worker takes over.
struct CAdoptedReversal {
    int32_t seq = 0; // its sequence number in the transaction queue
    uint64_t id = 0;
};

// Holds the journal's entries and writes the whole file again (temporary file, flushed, renamed over it)
// after every change, so a crash leaves the file before or after the change. A line that cannot be read is
// logged, skipped and kept in the file behind kDamagedLinePrefix for the operator. It also remembers where each entry
// is in this process: waiting in the reversal queue (by that queue's sequence number) or handed back by a stopped
// worker. Thread-safe: every public member takes m_Lock; the one lock taken under it is that of the queue passed in.
class CReversalJournal {
public:
    // The journal of the process.
    static CReversalJournal& Instance();

    explicit CReversalJournal(std::filesystem::path fileName = kReversalJournalFileName);
    virtual ~CReversalJournal() = default;
    CReversalJournal(const CReversalJournal&) = delete;
    CReversalJournal& operator=(const CReversalJournal&) = delete;

    // Writes |record| to the journal, as a new entry or in place of entry |replacesId| (when not 0), then
    // adds it to |reversalQueue| (which numbers it) and remembers the entry under that number.
    // Returns the entry's id.
    uint64_t AddAndQueue(CTransaction& record, CTransactionQueue& reversalQueue, uint64_t replacesId = 0);
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
    // |adopted|; one waiting for a retry is returned in |retries|; every other one is queued in
    // |reversalQueue| again (state 1, its m_Created and attempts kept).
    void Replay(CTransactionQueue& reversalQueue, CTransactionQueue& transactionQueue,
                std::vector<CAdoptedReversal>& adopted, std::vector<CJournalEntry>& retries);

    // The entries now held, in id order (for tests and for the operator's view).
    std::vector<CJournalEntry> Entries();
    // Forgets everything held in memory, as a new process would; the file is left alone.
    void ResetForTesting();

private:
    void LoadLocked();                                                        // caller holds m_Lock
    void EnsureLoadedLocked();                                                // caller holds m_Lock
    void WriteLocked();                                                       // caller holds m_Lock
    void QueueLocked(CJournalEntry& entry, CTransactionQueue& reversalQueue); // caller holds m_Lock

    std::mutex m_Lock;
    const std::filesystem::path m_FileName;
    bool m_Loaded = false;                       // guarded by m_Lock
    bool m_ReadFailed = false;                   // the file is not written over; guarded by m_Lock
    bool m_WriteFailed = false;                  // the file lags behind memory; guarded by m_Lock
    uint64_t m_NextId = 1;                       // guarded by m_Lock
    std::map<uint64_t, CJournalEntry> m_Entries; // guarded by m_Lock
    std::vector<std::string> m_DamagedLines;     // kept verbatim for the operator; guarded by m_Lock
    std::map<int32_t, uint64_t> m_QueuedIds;     // reversal-queue seq -> id; guarded by m_Lock
    std::map<uint64_t, int32_t> m_HandedBack;    // id -> transaction-queue seq; guarded by m_Lock
};
