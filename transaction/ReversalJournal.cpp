#include "transaction/ReversalJournal.h"

#include <charconv>
#include <cstdio>
#include <system_error>

#include "foundation/Logger.h"
#include "platform/Files.h"

namespace {
constexpr const char* kLineTag = "REV1";
constexpr const char* kSumKey = "sum=";
constexpr char kFieldSeparator = '\t';
// Card data lives in the journal as it does in the queued record: only the owner may read it.
constexpr mode_t kJournalFileMode = 0600;

// The record's members by name; the names are the file's, so they must never change.
struct CTextField {
    const char* name;
    std::string CTransaction::*member;
};
struct CIntField {
    const char* name;
    int32_t CTransaction::*member;
};
struct CFlagField {
    const char* name;
    bool CTransaction::*member;
};

const CTextField kTextFields[] = {
    {"RequestKey", &CTransaction::m_RequestKey},
    {"TStream", &CTransaction::m_TStream},
    {"Header", &CTransaction::m_Header},
    {"Request", &CTransaction::m_Request},
    {"Reply", &CTransaction::m_Reply},
    {"ResultText", &CTransaction::m_ResultText},
    {"HostTime", &CTransaction::m_HostTime},
    {"HostDate", &CTransaction::m_HostDate},
    {"TranCodeName", &CTransaction::m_TranCodeName},
    {"AuthCode", &CTransaction::m_AuthCode},
    {"RefNo", &CTransaction::m_RefNo},
    {"InvoiceNo", &CTransaction::m_InvoiceNo},
    {"ClientAddress", &CTransaction::m_ClientAddress},
    {"Account", &CTransaction::m_Account},
    {"ExpDate", &CTransaction::m_ExpDate},
    {"Track2", &CTransaction::m_Track2},
    {"CardType", &CTransaction::m_CardType},
    {"Authorize", &CTransaction::m_Authorize},
    {"Purchase", &CTransaction::m_Purchase},
    {"OperatorID", &CTransaction::m_OperatorID},
    {"Memo", &CTransaction::m_Memo},
    {"TerminalID", &CTransaction::m_TerminalID},
    {"HostRequest", &CTransaction::m_HostRequest},
    {"HostResponse", &CTransaction::m_HostResponse},
    {"HostAuthCode", &CTransaction::m_HostAuthCode},
    {"HostRefNo", &CTransaction::m_HostRefNo},
    {"HostVLinkRefNo", &CTransaction::m_HostVLinkRefNo},
    {"HostErrorText", &CTransaction::m_HostErrorText},
    {"ResponseText", &CTransaction::m_ResponseText},
    {"Balance", &CTransaction::m_Balance},
    {"IssueCurrency", &CTransaction::m_IssueCurrency},
    {"PrevBalance", &CTransaction::m_PrevBalance},
    {"EndBalance", &CTransaction::m_EndBalance},
    {"ExchangeRate", &CTransaction::m_ExchangeRate},
};

const CIntField kIntFields[] = {
    {"ResultCode", &CTransaction::m_ResultCode},     {"TranCode", &CTransaction::m_TranCode},
    {"OrigTranCode", &CTransaction::m_OrigTranCode}, {"State", &CTransaction::m_State},
    {"CryptMode", &CTransaction::m_CryptMode},       {"QueueSeq", &CTransaction::m_QueueSeq},
    {"QueueSubSeq", &CTransaction::m_QueueSubSeq},   {"DialRetry", &CTransaction::m_DialRetry},
};

const CFlagField kFlagFields[] = {
    {"Swiped", &CTransaction::m_Swiped},
    {"Approved", &CTransaction::m_Approved},
    {"Captured", &CTransaction::m_Captured},
    {"HostSpareFlag", &CTransaction::m_HostSpareFlag},
};

uint32_t Checksum(const std::string& text) {
    uint32_t hash = 2166136261u; // FNV-1a
    for (const char c : text) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 16777619u;
    }
    return hash;
}

std::string HexOf(uint32_t value) {
    char text[9];
    std::snprintf(text, sizeof text, "%08X", value);
    return text;
}

std::string Escape(const std::string& value) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(value.size());
    for (const char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte > 0x7E || c == '%') {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 0x0F];
        } else {
            out += c;
        }
    }
    return out;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool Unescape(const std::string& text, std::string& out) {
    out.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x20 || byte > 0x7E) {
            return false;
        }
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size()) {
            return false;
        }
        const int high = HexDigit(text[i + 1]);
        const int low = HexDigit(text[i + 2]);
        if (high < 0 || low < 0) {
            return false;
        }
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return true;
}

template <typename T> bool ParseNumber(const std::string& text, T& out) {
    if (text.empty()) {
        return false;
    }
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, out);
    return result.ec == std::errc() && result.ptr == end;
}

void AddField(std::string& line, const char* name, const std::string& value) {
    line += kFieldSeparator;
    line += name;
    line += '=';
    line += value;
}

// Assigns one name=value field to |entry|; false when the value does not fit its member. Unknown names are
// skipped, so a later version's fields do not make a line unreadable.
bool AssignField(const std::string& name, const std::string& value, CJournalEntry& entry, bool& sawId) {
    if (name == "id") {
        sawId = ParseNumber(value, entry.id) && entry.id != 0;
        return sawId;
    }
    if (name == "failed") {
        return ParseNumber(value, entry.failedAtMs);
    }
    if (name == "Created") {
        return ParseNumber(value, entry.record.m_Created);
    }
    if (name == "ReversalAttempts") {
        return ParseNumber(value, entry.record.m_ReversalAttempts);
    }
    for (const CIntField& field : kIntFields) {
        if (name == field.name) {
            return ParseNumber(value, entry.record.*field.member);
        }
    }
    for (const CFlagField& field : kFlagFields) {
        if (name == field.name) {
            if (value != "0" && value != "1") {
                return false;
            }
            entry.record.*field.member = value == "1";
            return true;
        }
    }
    for (const CTextField& field : kTextFields) {
        if (name == field.name) {
            return Unescape(value, entry.record.*field.member);
        }
    }
    return true;
}

void LogJournal(const std::string& text) {
    CLogger::Instance().LogLine("%s", text.c_str());
}
} // namespace

std::string EncodeJournalLine(const CJournalEntry& entry) {
    std::string line = kLineTag;
    AddField(line, "id", std::to_string(entry.id));
    AddField(line, "failed", std::to_string(entry.failedAtMs));
    const CTransaction& record = entry.record;
    AddField(line, "Created", std::to_string(record.m_Created));
    AddField(line, "ReversalAttempts", std::to_string(record.m_ReversalAttempts));
    for (const CIntField& field : kIntFields) {
        AddField(line, field.name, std::to_string(record.*field.member));
    }
    for (const CFlagField& field : kFlagFields) {
        AddField(line, field.name, record.*field.member ? "1" : "0");
    }
    for (const CTextField& field : kTextFields) {
        AddField(line, field.name, Escape(record.*field.member));
    }
    return SignJournalLine(line);
}

std::string SignJournalLine(const std::string& body) {
    return body + kFieldSeparator + kSumKey + HexOf(Checksum(body));
}

bool DecodeJournalLine(const std::string& line, CJournalEntry& entry) {
    const size_t sumAt = line.rfind(kFieldSeparator);
    if (sumAt == std::string::npos ||
        line.compare(sumAt + 1, std::string::npos, kSumKey + HexOf(Checksum(line.substr(0, sumAt)))) != 0) {
        return false;
    }
    const std::string body = line.substr(0, sumAt);
    size_t start = body.find(kFieldSeparator);
    if (body.substr(0, start) != kLineTag) {
        return false;
    }
    entry = CJournalEntry();
    bool sawId = false;
    while (start != std::string::npos) {
        const size_t next = body.find(kFieldSeparator, start + 1);
        const std::string field =
            body.substr(start + 1, next == std::string::npos ? std::string::npos : next - start - 1);
        const size_t equals = field.find('=');
        if (equals == std::string::npos ||
            !AssignField(field.substr(0, equals), field.substr(equals + 1), entry, sawId)) {
            return false;
        }
        start = next;
    }
    return sawId;
}

CReversalJournal& CReversalJournal::Instance() {
    static CReversalJournal journal;
    return journal;
}

CReversalJournal::CReversalJournal(std::filesystem::path fileName) : m_FileName(std::move(fileName)) {}

void CReversalJournal::EnsureLoadedLocked() {
    if (!m_Loaded) {
        LoadLocked();
    }
}

void CReversalJournal::LoadLocked() {
    std::map<uint64_t, CJournalEntry> loaded;
    std::vector<std::string> damaged;
    std::error_code ec;
    const bool present =
        std::filesystem::symlink_status(m_FileName, ec).type() != std::filesystem::file_type::not_found;
    std::string text;
    std::string error;
    if (present && !ReadWholeFile(m_FileName, &text, &error)) {
        // Nothing is known of what the file holds: keep what memory has and do not write over the file
        // until it can be read again.
        LogJournal("Reversal journal could not be read: " + error);
        m_ReadFailed = true;
        m_WriteFailed = true;
        m_Loaded = true;
        return;
    }
    size_t start = 0;
    int lineNumber = 0;
    bool newlyDamaged = false;
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
            damaged.push_back(line); // found and reported before
            continue;
        }
        CJournalEntry entry;
        // A second line with an id already read cannot be told from the first: it is set aside, never sent.
        if (!DecodeJournalLine(line, entry) || loaded.count(entry.id) != 0) {
            LogJournal("Reversal journal line " + std::to_string(lineNumber) + " is damaged and was skipped (" +
                       std::to_string(line.size()) + " bytes); it is kept in the file for the operator");
            damaged.push_back(kDamagedLinePrefix + line);
            newlyDamaged = true;
            continue;
        }
        loaded.emplace(entry.id, std::move(entry));
    }
    // Entries that only memory holds (their write failed) must not be lost by reading the file again.
    bool keptFromMemory = false;
    if (m_WriteFailed) {
        for (auto& [id, entry] : m_Entries) {
            if (loaded.count(id) == 0) {
                loaded.emplace(id, entry);
                keptFromMemory = true;
            }
        }
    }
    m_ReadFailed = false;
    m_Entries = std::move(loaded);
    m_DamagedLines = std::move(damaged);
    m_NextId = m_Entries.empty() ? 1 : m_Entries.rbegin()->first + 1;
    m_Loaded = true;
    if (keptFromMemory || newlyDamaged) {
        WriteLocked();
    } else {
        m_WriteFailed = false;
    }
}

void CReversalJournal::WriteLocked() {
    std::string bytes;
    for (const auto& [id, entry] : m_Entries) {
        bytes += EncodeJournalLine(entry);
        bytes += '\n';
    }
    for (const std::string& line : m_DamagedLines) {
        bytes += line;
        bytes += '\n';
    }
    if (m_ReadFailed) {
        m_WriteFailed = true;
        return;
    }
    std::string error;
    std::error_code ec;
    if (bytes.empty() && !std::filesystem::exists(m_FileName, ec)) {
        m_WriteFailed = false;
        return;
    }
    if (!WriteFileAtomically(m_FileName, bytes, kJournalFileMode, &error)) {
        LogJournal("Reversal journal could not be written: " + error);
        m_WriteFailed = true;
        return;
    }
    m_WriteFailed = false;
}

void CReversalJournal::QueueLocked(CJournalEntry& entry, CTransactionQueue& reversalQueue) {
    reversalQueue.Add(entry.record);
    m_QueuedIds[entry.record.m_QueueSeq] = entry.id;
}

uint64_t CReversalJournal::AddAndQueue(CTransaction& record, CTransactionQueue& reversalQueue, uint64_t replacesId) {
    std::lock_guard<std::mutex> lock(m_Lock);
    EnsureLoadedLocked();
    CJournalEntry entry;
    entry.id = replacesId != 0 ? replacesId : m_NextId++;
    if (entry.id >= m_NextId) {
        m_NextId = entry.id + 1;
    }
    entry.record = record;
    m_HandedBack.erase(entry.id);
    m_Entries[entry.id] = entry;
    WriteLocked();
    QueueLocked(entry, reversalQueue);
    record = entry.record;
    m_Entries[entry.id].record = entry.record;
    return entry.id;
}

uint64_t CReversalJournal::TakeQueuedId(int32_t reversalSeq) {
    std::lock_guard<std::mutex> lock(m_Lock);
    const auto it = m_QueuedIds.find(reversalSeq);
    if (it == m_QueuedIds.end()) {
        return 0;
    }
    const uint64_t id = it->second;
    m_QueuedIds.erase(it);
    return id;
}

uint64_t CReversalJournal::MarkFailed(uint64_t id, const CTransaction& record, int64_t failedAtMs) {
    std::lock_guard<std::mutex> lock(m_Lock);
    EnsureLoadedLocked();
    if (id == 0) {
        id = m_NextId++;
    }
    CJournalEntry& entry = m_Entries[id];
    entry.id = id;
    entry.record = record;
    entry.failedAtMs = failedAtMs;
    if (id >= m_NextId) {
        m_NextId = id + 1;
    }
    WriteLocked();
    return id;
}

void CReversalJournal::Remove(uint64_t id) {
    std::lock_guard<std::mutex> lock(m_Lock);
    EnsureLoadedLocked();
    m_HandedBack.erase(id);
    if (m_Entries.erase(id) != 0) {
        WriteLocked();
    }
}

void CReversalJournal::HandBack(const std::vector<CAdoptedReversal>& tracked) {
    std::lock_guard<std::mutex> lock(m_Lock);
    for (const CAdoptedReversal& reversal : tracked) {
        m_HandedBack[reversal.id] = reversal.seq;
    }
}

void CReversalJournal::Replay(CTransactionQueue& reversalQueue, CTransactionQueue& transactionQueue,
                              std::vector<CAdoptedReversal>& adopted, std::vector<CJournalEntry>& retries) {
    std::lock_guard<std::mutex> lock(m_Lock);
    LoadLocked();
    adopted.clear();
    retries.clear();

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
        entry.record.m_State = kTranStateQueued;
        entry.record.m_CryptMode = kCryptModeEncrypted;
        QueueLocked(entry, reversalQueue);
        ++requeued;
    }
    if (requeued != 0 || !retries.empty()) {
        LogJournal("Reversal journal: " + std::to_string(requeued) + " reversal(s) queued again, " +
                   std::to_string(retries.size()) + " waiting for a retry");
    }
}

std::vector<CJournalEntry> CReversalJournal::Entries() {
    std::lock_guard<std::mutex> lock(m_Lock);
    EnsureLoadedLocked();
    std::vector<CJournalEntry> entries;
    for (const auto& [id, entry] : m_Entries) {
        entries.push_back(entry);
    }
    return entries;
}

void CReversalJournal::ResetForTesting() {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Loaded = false;
    m_ReadFailed = false;
    m_WriteFailed = false;
    m_NextId = 1;
    m_Entries.clear();
    m_DamagedLines.clear();
    m_QueuedIds.clear();
    m_HandedBack.clear();
}
