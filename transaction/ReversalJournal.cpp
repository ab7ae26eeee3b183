#include "transaction/ReversalJournal.h"

#include <algorithm>
#include <map>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "foundation/Logger.h"
#include "platform/Clock.h"
#include "platform/Files.h"

namespace {
// Only the owner may read the journal.
constexpr mode_t kJournalFileMode = 0600;
// The file is written whole again once it holds this much and several times what its entries take.
constexpr int64_t kRewriteAtBytes = 256 * 1024;
constexpr int64_t kRewriteFactor = 4;
// About what one entry line takes, for the estimate of what the entries need.
constexpr int64_t kEntryLineBytes = 1024;

void LogJournal(const std::string& text) {
    CLogger::Instance().LogLine("%s", text.c_str());
}

// What the lines of a journal file gave.
struct CReadLines {
    std::map<uint64_t, CJournalEntry> entries;
    std::vector<std::string> damaged; // every line set aside, behind kDamagedLinePrefix
    bool newlyDamaged = false;        // one of them was set aside only now
    size_t earlierForm = 0;           // entries read from lines of the earlier form
    size_t undecryptable = 0;         // lines whose card fields |key| cannot open
};

// Reads journal text |text| line by line with |key|, each line in turn making, replacing or removing an entry;
// logs each line it sets aside.
CReadLines ReadLines(const std::string& text, const CSealingKey& key) {
    CReadLines read;
    size_t start = 0;
    int lineNumber = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(start, end - start);
        start = end + 1;
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty()) {
            continue;
        }
        if (line.rfind(kDamagedLinePrefix, 0) == 0) {
            read.damaged.push_back(line); // found and reported before
            continue;
        }
        CJournalEntry entry;
        const EJournalLine kind = DecodeJournalLine(line, key, entry);
        if (kind == EJournalLine::Undecryptable) {
            ++read.undecryptable;
            continue;
        }
        if (kind == EJournalLine::Removal) {
            // The entry left (or, in files of earlier versions, was replaced by the entry line that follows).
            read.entries.erase(entry.id);
            continue;
        }
        if (kind == EJournalLine::Replacement) {
            read.entries.insert_or_assign(entry.id, std::move(entry));
            continue;
        }
        // A second line with an id already read cannot be told from the first: it is set aside, never sent.
        if (kind == EJournalLine::Damaged || read.entries.count(entry.id) != 0) {
            LogJournal("Reversal journal line " + std::to_string(lineNumber) + " is damaged and was skipped (" +
                       std::to_string(line.size()) + " bytes); it is kept in the file for the operator");
            read.damaged.push_back(kDamagedLinePrefix + line);
            read.newlyDamaged = true;
            continue;
        }
        if (IsEarlierJournalLine(line)) {
            ++read.earlierForm;
        }
        read.entries.emplace(entry.id, std::move(entry));
    }
    return read;
}

} // namespace

CReversalJournal& CReversalJournal::Instance() {
    static CReversalJournal journal;
    return journal;
}

CReversalJournal::CReversalJournal(std::filesystem::path fileName, std::filesystem::path keyFileName)
    : m_FileName(std::move(fileName)), m_KeyFileName(std::move(keyFileName)),
      m_Flusher("ReversalJournalFlusher", [this] { return RunFlusher(); }) {}

CReversalJournal::~CReversalJournal() {
    StopFlusher();
}

void CReversalJournal::StopFlusher() {
    {
        CMutexLock lock(m_Lock);
        m_FlusherWanted = false;
        if (!m_FlusherStarted) {
            return;
        }
        m_Stopping = true;
    }
    m_FlusherWake.NotifyAll();
    m_Flusher.Join(); // after it has flushed what waited
    CMutexLock lock(m_Lock);
    m_Stopping = false;
    m_FlusherStarted = false;
}

void CReversalJournal::WaitForFlushLocked() {
    while (m_Flushing) {
        m_FlushEnded.Wait(m_Lock);
    }
}

void CReversalJournal::EnsureLoadedLocked() {
    if (!m_Loaded) {
        LoadLocked();
    }
}

bool CReversalJournal::EnsureKeyLocked() {
    if (!m_Key.Empty()) {
        return true;
    }
    ESealingKeyOrigin origin = ESealingKeyOrigin::Loaded;
    std::string error;
    if (!CSealingKey::LoadOrCreate(m_KeyFileName, &m_Key, &origin, &error)) {
        LogJournal("Reversal journal key could not be read or made: " + error);
        return false;
    }
    if (origin == ESealingKeyOrigin::Created) {
        LogJournal("Reversal journal key made: " + m_KeyFileName.string());
    } else if (origin == ESealingKeyOrigin::ReplacedBadFile) {
        LogJournal("Reversal journal key " + m_KeyFileName.string() +
                   " was not a key: moved aside (.bad-<time>) and a new key made");
    }
    return true;
}

bool CReversalJournal::MoveAsideLocked(size_t undecryptable) {
    std::filesystem::path movedTo;
    std::string error;
    if (!MoveFileAside(m_FileName, kUndecryptableJournalMark, &movedTo, &error)) {
        LogJournal("Reversal journal holds " + std::to_string(undecryptable) +
                   " entr(ies) that cannot be decrypted with its key and could not be moved aside (" + error +
                   "); it is left as it is and not written over");
        return false;
    }
    LogJournal("Reversal journal holds " + std::to_string(undecryptable) +
               " entr(ies) that cannot be decrypted with its key: the file was moved aside to " + movedTo.string() +
               " for the operator; the entries that could be read are kept");
    return true;
}

void CReversalJournal::LoadLocked() {
    // What is read must be what was last written, not a file that a flush under way is about to replace.
    WaitForFlushLocked();
    m_File.Close();
    m_NeedRewrite = false;
    // A process killed in the middle of a write leaves its temporary file: nothing reads it, so it goes.
    RemoveStaleTemporaries(m_FileName);
    bool present = false;
    std::string text;
    if (!ReadFileLocked(&present, &text)) {
        LeaveFileAloneLocked();
        return;
    }
    CReadLines read = ReadLines(text, m_Key);
    if (read.undecryptable != 0 && !MoveAsideLocked(read.undecryptable)) {
        LeaveFileAloneLocked();
        return;
    }
    if (read.earlierForm != 0) {
        LogJournal("Reversal journal: " + std::to_string(read.earlierForm) +
                   " entr(ies) of the earlier form read; they are kept without the request and with the card "
                   "fields sealed from now on");
    }
    const bool keptFromMemory = KeepUnwrittenEntriesLocked(read.entries);
    m_ReadFailed = false;
    m_Entries = std::move(read.entries);
    m_DamagedLines = std::move(read.damaged);
    m_NextId = m_Entries.empty() ? 1 : m_Entries.rbegin()->first + 1;
    m_Loaded = true;
    m_FileBytes = static_cast<int64_t>(text.size());
    if (keptFromMemory || read.newlyDamaged || read.earlierForm != 0 || read.undecryptable != 0) {
        // What was mended, set aside or kept from memory goes to the file whole.
        m_NeedRewrite = true;
        CommitLocked(RecordChangeLocked(std::string()));
        return;
    }
    m_WriteFailed = false;
    AppendBehindLocked(text, present);
}

bool CReversalJournal::ReadFileLocked(bool* present, std::string* text) {
    std::error_code ec;
    *present = std::filesystem::symlink_status(m_FileName, ec).type() != std::filesystem::file_type::not_found;
    std::string error;
    if (*present && !ReadWholeFile(m_FileName, text, &error)) {
        LogJournal("Reversal journal could not be read: " + error);
        return false;
    }
    // Without the key no entry can be opened, and none could be written back.
    return text->empty() || EnsureKeyLocked();
}

void CReversalJournal::LeaveFileAloneLocked() {
    // Nothing is known of what the file holds: keep what memory has and do not write over the file until it can be
    // read again.
    m_ReadFailed = true;
    m_WriteFailed = true;
    m_Loaded = true;
}

bool CReversalJournal::KeepUnwrittenEntriesLocked(std::map<uint64_t, CJournalEntry>& loaded) {
    if (!m_WriteFailed) {
        return false;
    }
    bool kept = false;
    for (auto& [id, entry] : m_Entries) {
        if (loaded.count(id) == 0) {
            loaded.emplace(id, entry);
            kept = true;
        }
    }
    return kept;
}

void CReversalJournal::AppendBehindLocked(const std::string& text, bool present) {
    std::string error;
    // Lines go on behind what was read; a file that does not end in a whole line is written anew first.
    if (!text.empty() && text.back() != '\n') {
        m_NeedRewrite = true;
    } else if (present && !m_File.Open(m_FileName, kJournalFileMode, &error)) {
        LogJournal("Reversal journal could not be opened for writing: " + error);
        m_NeedRewrite = true;
    }
}

bool CReversalJournal::BuildFileLocked(std::string* bytes) {
    if (m_ReadFailed) {
        m_WriteFailed = true;
        return false;
    }
    std::error_code ec;
    if (m_Entries.empty() && m_DamagedLines.empty() && !std::filesystem::exists(m_FileName, ec)) {
        m_WriteFailed = false;
        return false;
    }
    if (!m_Entries.empty() && !EnsureKeyLocked()) {
        m_WriteFailed = true;
        return false;
    }
    bytes->clear();
    for (const auto& [id, entry] : m_Entries) {
        std::string line;
        if (!EncodeJournalLine(entry, m_Key, &line)) {
            LogJournal("Reversal journal could not seal an entry; the file was not written");
            m_WriteFailed = true;
            return false;
        }
        *bytes += line;
        *bytes += '\n';
    }
    for (const std::string& line : m_DamagedLines) {
        *bytes += line;
        *bytes += '\n';
    }
    return true;
}

std::string CReversalJournal::EntryLineLocked(const CJournalEntry& entry, bool replaces) {
    std::string line;
    if (EnsureKeyLocked() &&
        (replaces ? EncodeJournalReplacement(entry, m_Key, &line) : EncodeJournalLine(entry, m_Key, &line))) {
        return line + '\n';
    }
    // The whole file is built then, which finds (and logs) what is missing.
    m_NeedRewrite = true;
    return std::string();
}

bool CReversalJournal::FileTakesLinesLocked() {
    return !m_ReadFailed && !m_WriteFailed && !m_NeedRewrite && m_File.StillAtPath();
}

uint64_t CReversalJournal::RecordChangeLocked(const std::string& lines) {
    const uint64_t change = ++m_ChangeCount;
    if (lines.empty()) {
        return change;
    }
    if (m_Rewriting) {
        m_Carried += lines;
    }
    // Also while a whole file is being written: the old one is the journal until the new one takes its place.
    if (FileTakesLinesLocked()) {
        std::string error;
        if (m_File.Append(lines, &error)) {
            m_FileBytes += static_cast<int64_t>(lines.size());
        } else {
            LogJournal("Reversal journal could not be written: " + error);
            m_WriteFailed = true;
        }
    }
    return change;
}

bool CReversalJournal::CommitLocked(uint64_t change) {
    for (;;) {
        if (m_DurableCount >= change) {
            return true;
        }
        if (m_AttemptedCount >= change) {
            return false;
        }
        if (!m_Flushing) {
            FlushLocked();
            continue;
        }
        m_FlushEnded.Wait(m_Lock);
    }
}

void CReversalJournal::SettleLocked(uint64_t change) {
    if (!m_Flushing) {
        if (!FileTakesLinesLocked() || (m_Entries.empty() && !m_DamagedLines.empty())) {
            // The change is not in the file (or the file is to hold only the damaged lines): its caller writes
            // the whole file now, as a killed process must not undo a settle.
            FlushLocked();
            return;
        }
        CutIfEmptyLocked();
    }
    // Otherwise the flush under way cuts the file when it ends.
    WaitForFlusherLocked(change);
}

void CReversalJournal::WaitForFlusherLocked(uint64_t change) {
    // A flusher that has something to flush already waits for a time this change does not bring forward.
    const bool wake = !FlusherDueLocked();
    if (wake) {
        m_LazySinceMs = GetClock().TickMs();
    }
    m_LazyChange = change;
    if (m_FlusherWanted && !m_FlusherStarted && !m_Stopping) {
        m_FlusherStarted = m_Flusher.Start();
        if (!m_FlusherStarted) {
            LogJournal("Reversal journal: the flusher thread could not be started; the change is flushed at once");
        }
    }
    if (!m_FlusherWanted || !m_FlusherStarted || m_Stopping) {
        CommitLocked(change);
        return;
    }
    if (wake) {
        m_FlusherWake.NotifyAll();
    }
}

int CReversalJournal::RunFlusher() {
    CMutexLock lock(m_Lock);
    for (;;) {
        if (!FlusherDueLocked()) {
            if (m_Stopping) {
                return 0;
            }
            // Nothing waits: no time-out, so an idle server is never woken for the journal.
            m_FlusherWake.Wait(m_Lock);
            continue;
        }
        if (m_Flushing) {
            m_FlushEnded.Wait(m_Lock); // it may cover what waits
            continue;
        }
        CClockDeadline due(m_LazySinceMs + kJournalSettleFlushMs);
        if (!m_Stopping && !due.Passed()) {
            // Changes made meanwhile go with the same flush, and any other flush may carry them before.
            m_FlusherWake.WaitFor(m_Lock, due.RealSlice());
            continue;
        }
        FlushLocked();
    }
}

bool CReversalJournal::NeedsRewriteLocked() {
    if (m_ReadFailed || m_WriteFailed || m_NeedRewrite || !m_File.StillAtPath()) {
        return true;
    }
    if (m_Entries.empty()) {
        // Nothing but what is kept for the operator is left to hold: written alone (or the file cut).
        return !m_DamagedLines.empty();
    }
    const int64_t needed =
        static_cast<int64_t>(m_Entries.size() + m_DamagedLines.size()) * kEntryLineBytes * kRewriteFactor;
    return m_FileBytes > kRewriteAtBytes && m_FileBytes > needed;
}

bool CReversalJournal::CutIfEmptyLocked() {
    if (!m_Entries.empty() || !m_DamagedLines.empty() || m_FileBytes == 0 || m_Rewriting || !FileTakesLinesLocked()) {
        return false;
    }
    // Under m_Lock, so no line goes in between; never while another thread flushes the file, so the cut waits
    // for no write-back of ours.
    COsError cause;
    if (!m_File.Truncate(0, &cause)) {
        LogJournal(cause.FailureText("Reversal journal could not be emptied: " + m_FileName.string()));
        m_WriteFailed = true;
        return false;
    }
    m_FileBytes = 0;
    return true;
}

void CReversalJournal::FlushLocked() {
    m_Flushing = true;
    const std::function<void()> hook = m_FlushHook;
    const uint64_t startedMs = GetClock().TickMs();
    uint64_t covers = m_ChangeCount;
    std::string error;
    bool flushed = true;
    if (NeedsRewriteLocked()) {
        flushed = RewriteLocked(hook, &covers, &error);
    } else {
        CutIfEmptyLocked();
        m_Lock.Unlock(); // the caller's lock holds it again from here on
        if (hook) {
            hook();
        }
        COsError cause;
        flushed = m_File.SyncData(&cause);
        if (!flushed) {
            error = cause.FailureText("cannot flush " + m_FileName.string());
        }
        m_Lock.Lock();
    }
    if (!flushed) {
        if (!error.empty()) {
            LogJournal("Reversal journal could not be written: " + error);
        }
        m_WriteFailed = true;
    }
    m_AttemptedCount = std::max(m_AttemptedCount, covers);
    if (flushed) {
        m_DurableCount = std::max(m_DurableCount, covers);
    }
    // The last entry left while the file was being flushed: it is cut now, a change of its own.
    const bool cut = CutIfEmptyLocked();
    m_Flushing = false;
    m_FlushEnded.NotifyAll();
    if (cut) {
        WaitForFlusherLocked(++m_ChangeCount);
    } else if (FlusherDueLocked()) {
        // What waits was made after this flush began: its time counts from then at the latest.
        m_LazySinceMs = std::max(m_LazySinceMs, startedMs);
    }
}

bool CReversalJournal::RewriteLocked(const std::function<void()>& hook, uint64_t* covers, std::string* error) {
    std::string bytes;
    if (!BuildFileLocked(&bytes)) {
        // Nothing to write, or it cannot be written (m_WriteFailed says so; a seal that failed was logged).
        m_File.Close();
        *covers = m_ChangeCount;
        return !m_WriteFailed;
    }
    // Lines written from here on go to the old file and are carried into the new one before it takes its place.
    m_Rewriting = true;
    m_Carried.clear();
    m_Lock.Unlock();
    if (hook) {
        hook();
    }
    CAppendingFile fresh;
    bool written = fresh.OpenTemporaryFor(m_FileName, kJournalFileMode, error) && fresh.Append(bytes, error);
    COsError cause;
    if (written && !fresh.Sync(&cause)) {
        written = false;
        *error = cause.FailureText("cannot flush " + fresh.Path().string());
    }
    m_Lock.Lock();
    written = written && fresh.Append(m_Carried, error) && fresh.MoveOverTarget(error);
    m_Rewriting = false;
    const size_t carried = m_Carried.size();
    m_Carried.clear();
    *covers = m_ChangeCount;
    if (!written) {
        return false; // the temporary goes with |fresh|; the old file stays as it was
    }
    m_File = std::move(fresh);
    m_FileBytes = static_cast<int64_t>(bytes.size() + carried);
    m_NeedRewrite = false;
    m_WriteFailed = false;
    m_Lock.Unlock();
    // The rename, and what was carried, on disk; nobody but the holder of the flush role replaces m_File.
    const bool flushed = m_File.SyncFolder(&cause) && (carried == 0 || m_File.SyncData(&cause));
    if (!flushed) {
        *error = cause.FailureText("cannot flush " + m_FileName.string());
    }
    m_Lock.Lock();
    return flushed;
}

void CReversalJournal::QueueLocked(uint64_t id, CTransaction& record, CTransactionQueue& reversalQueue) {
    reversalQueue.Add(record);
    m_QueuedIds[record.m_QueueSeq] = id;
}

uint64_t CReversalJournal::AddInDoubt(const CTransaction& reversal) {
    CMutexLock lock(m_Lock);
    EnsureLoadedLocked();
    if (m_ReadFailed) {
        // A file that could not be read is never written over: read it again before a transaction depends on it.
        LoadLocked();
    }
    CJournalEntry entry;
    entry.id = m_NextId++;
    entry.inDoubt = true;
    entry.record = JournalRecordOf(reversal);
    const uint64_t id = entry.id;
    const std::string line = EntryLineLocked(entry, false);
    m_Entries[id] = std::move(entry);
    // On disk before the host can have the transaction: the one flush a transaction waits for.
    if (CommitLocked(RecordChangeLocked(line))) {
        return id;
    }
    // The transaction stays away from the host, so nothing of it is left to reverse. The file lags behind memory
    // after the failed write: it is written whole at the next flush, without this entry.
    m_Entries.erase(id);
    return 0;
}

void CReversalJournal::SettleInDoubt(uint64_t id) {
    CMutexLock lock(m_Lock);
    EnsureLoadedLocked();
    const auto it = m_Entries.find(id);
    if (it == m_Entries.end() || !it->second.inDoubt) {
        return;
    }
    m_Entries.erase(it);
    SettleLocked(RecordChangeLocked(EncodeJournalRemoval(id) + '\n'));
}

uint64_t CReversalJournal::AddAndQueue(CTransaction& record, CTransactionQueue& reversalQueue, uint64_t replacesId,
                                       bool onlyInDoubt) {
    CMutexLock lock(m_Lock);
    EnsureLoadedLocked();
    if (onlyInDoubt && replacesId != 0) {
        const auto replaced = m_Entries.find(replacesId);
        if (replaced == m_Entries.end() || !replaced->second.inDoubt) {
            replacesId = 0;
        }
    }
    CJournalEntry entry;
    entry.id = replacesId != 0 ? replacesId : m_NextId++;
    if (entry.id >= m_NextId) {
        m_NextId = entry.id + 1;
    }
    entry.record = JournalRecordOf(record);
    const uint64_t id = entry.id;
    m_HandedBack.erase(id);
    const std::string line = EntryLineLocked(entry, m_Entries.count(id) != 0);
    m_Entries[id] = std::move(entry);
    CommitLocked(RecordChangeLocked(line));
    QueueLocked(id, record, reversalQueue);
    return id;
}

uint64_t CReversalJournal::TakeQueuedId(int32_t reversalSeq) {
    CMutexLock lock(m_Lock);
    const auto it = m_QueuedIds.find(reversalSeq);
    if (it == m_QueuedIds.end()) {
        return 0;
    }
    const uint64_t id = it->second;
    m_QueuedIds.erase(it);
    return id;
}

uint64_t CReversalJournal::MarkFailed(uint64_t id, const CTransaction& record, int64_t failedAtMs) {
    CMutexLock lock(m_Lock);
    EnsureLoadedLocked();
    if (id == 0) {
        id = m_NextId++;
    }
    CJournalEntry entry;
    entry.id = id;
    entry.inDoubt = false;
    entry.record = JournalRecordOf(record);
    entry.failedAtMs = failedAtMs;
    if (id >= m_NextId) {
        m_NextId = id + 1;
    }
    const std::string line = EntryLineLocked(entry, m_Entries.count(id) != 0);
    m_Entries[id] = std::move(entry);
    CommitLocked(RecordChangeLocked(line));
    return id;
}

void CReversalJournal::Remove(uint64_t id) {
    CMutexLock lock(m_Lock);
    EnsureLoadedLocked();
    m_HandedBack.erase(id);
    if (m_Entries.erase(id) != 0) {
        // A completed reversal that a power loss brings back is sent once more; the host refuses the repeat.
        SettleLocked(RecordChangeLocked(EncodeJournalRemoval(id) + '\n'));
    }
}

void CReversalJournal::HandBack(const std::vector<CAdoptedReversal>& tracked) {
    CMutexLock lock(m_Lock);
    for (const CAdoptedReversal& reversal : tracked) {
        m_HandedBack[reversal.id] = reversal.seq;
    }
}

void CReversalJournal::Replay(CTransactionQueue& reversalQueue, CTransactionQueue& transactionQueue,
                              std::vector<CAdoptedReversal>& adopted, std::vector<CJournalEntry>& retries,
                              std::vector<CJournalEntry>& revived) {
    CMutexLock lock(m_Lock);
    m_FlusherWanted = true;
    LoadLocked();
    adopted.clear();
    retries.clear();
    revived.clear();

    // Entries still waiting in the reversal queue: the new worker moves them like any other.
    std::map<uint64_t, int32_t> waiting;
    for (auto it = m_QueuedIds.begin(); it != m_QueuedIds.end();) {
        CTransaction queued;
        if (m_Entries.count(it->second) != 0 && reversalQueue.GetBySeq(it->first, queued)) {
            waiting[it->second] = it->first;
            ++it;
        } else {
            it = m_QueuedIds.erase(it);
        }
    }

    // A transaction still in doubt now was sent and never settled: the process (or the interfaces) ended before
    // its approval reached the lane. Written as a pending reversal before it is queued, so that it is revived
    // (and logged) once only.
    std::string lines;
    for (auto& [id, entry] : m_Entries) {
        if (entry.inDoubt) {
            entry.inDoubt = false;
            revived.push_back(entry);
            lines += EntryLineLocked(entry, true);
        }
    }
    if (!revived.empty()) {
        CommitLocked(RecordChangeLocked(lines));
    }

    std::map<uint64_t, int32_t> handedBack;
    handedBack.swap(m_HandedBack);
    size_t requeued = 0;
    for (auto& [id, entry] : m_Entries) {
        if (waiting.count(id) != 0) {
            continue;
        }
        const auto back = handedBack.find(id);
        if (back != handedBack.end()) {
            CTransaction queued;
            // The same record, not a later one that happens to carry the number.
            if (transactionQueue.GetBySeq(back->second, queued) && queued.m_TranCode == kTranNumReversal &&
                queued.m_Created == entry.record.m_Created && queued.m_Account == entry.record.m_Account &&
                queued.m_ReversalAttempts == entry.record.m_ReversalAttempts) {
                adopted.push_back(CAdoptedReversal{back->second, id});
                continue;
            }
        }
        if (entry.failedAtMs != 0) {
            retries.push_back(entry);
            continue;
        }
        CTransaction record = entry.record;
        record.m_State = kTranStateQueued;
        record.m_CryptMode = kCryptModeEncrypted;
        QueueLocked(id, record, reversalQueue);
        ++requeued;
    }
    if (requeued != 0 || !retries.empty()) {
        LogJournal("Reversal journal: " + std::to_string(requeued) + " reversal(s) queued again, " +
                   std::to_string(retries.size()) + " waiting for a retry");
    }
}

std::vector<CJournalEntry> CReversalJournal::Entries() {
    CMutexLock lock(m_Lock);
    EnsureLoadedLocked();
    std::vector<CJournalEntry> entries;
    for (const auto& [id, entry] : m_Entries) {
        entries.push_back(entry);
    }
    return entries;
}

void CReversalJournal::ResetForTesting() {
    CMutexLock lock(m_Lock);
    WaitForFlushLocked();
    m_Key = CSealingKey();
    m_Loaded = false;
    m_ReadFailed = false;
    m_WriteFailed = false;
    m_NeedRewrite = false;
    m_LazyChange = 0;
    m_FlusherWanted = true;
    m_NextId = 1;
    m_Entries.clear();
    m_DamagedLines.clear();
    m_QueuedIds.clear();
    m_HandedBack.clear();
    m_FileBytes = 0;
    m_File.Close();
}

void CReversalJournal::SetFlushHookForTesting(std::function<void()> hook) {
    CMutexLock lock(m_Lock);
    m_FlushHook = std::move(hook);
}
