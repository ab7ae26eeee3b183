#include "transaction/ReversalJournal.h"

#include <charconv>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "foundation/Logger.h"
#include "platform/Files.h"
#include "platform/Hex.h"

namespace {
constexpr const char* kLineTag = "REV2";
// The earlier form kept every member of the record in the clear; it is still read, never written.
constexpr const char* kEarlierLineTag = "REV1";
// A line that takes an entry out of the journal.
constexpr const char* kRemovalLineTag = "DEL2";
constexpr const char* kSumKey = "sum=";
constexpr char kFieldSeparator = '\t';
// Only the owner may read the journal.
constexpr mode_t kJournalFileMode = 0600;
// The file is written whole again once it holds this much and several times what its entries take.
constexpr int64_t kRewriteAtBytes = 256 * 1024;
constexpr int64_t kRewriteFactor = 4;
// About what one entry line takes, for the estimate of what the entries need.
constexpr int64_t kEntryLineBytes = 1024;

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

// What the journal keeps in the clear: what the reversal message, its log lines and its timing need.
const CTextField kTextFields[] = {
    {"Header", &CTransaction::m_Header},
    {"HostTime", &CTransaction::m_HostTime},
    {"HostDate", &CTransaction::m_HostDate},
    {"TranCodeName", &CTransaction::m_TranCodeName},
    {"RefNo", &CTransaction::m_RefNo},
    {"InvoiceNo", &CTransaction::m_InvoiceNo},
    {"ClientAddress", &CTransaction::m_ClientAddress},
    {"Authorize", &CTransaction::m_Authorize},
    {"Purchase", &CTransaction::m_Purchase},
    {"OperatorID", &CTransaction::m_OperatorID},
};
// What it keeps sealed.
const CTextField kSealedFields[] = {
    {"Account", &CTransaction::m_Account},
    {"Track2", &CTransaction::m_Track2},
};

const CIntField kIntFields[] = {
    {"TranCode", &CTransaction::m_TranCode},
    {"OrigTranCode", &CTransaction::m_OrigTranCode},
    {"State", &CTransaction::m_State},
    {"CryptMode", &CTransaction::m_CryptMode},
};

const CFlagField kFlagFields[] = {
    {"Swiped", &CTransaction::m_Swiped},
};

// Every member the earlier form wrote, by its name there; what the journal no longer keeps is read and dropped.
const CTextField kEarlierTextFields[] = {
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
const CIntField kEarlierIntFields[] = {
    {"ResultCode", &CTransaction::m_ResultCode},     {"TranCode", &CTransaction::m_TranCode},
    {"OrigTranCode", &CTransaction::m_OrigTranCode}, {"State", &CTransaction::m_State},
    {"CryptMode", &CTransaction::m_CryptMode},       {"QueueSeq", &CTransaction::m_QueueSeq},
    {"QueueSubSeq", &CTransaction::m_QueueSubSeq},   {"DialRetry", &CTransaction::m_DialRetry},
};
const CFlagField kEarlierFlagFields[] = {
    {"Swiped", &CTransaction::m_Swiped},
    {"Approved", &CTransaction::m_Approved},
    {"Captured", &CTransaction::m_Captured},
    {"HostSpareFlag", &CTransaction::m_HostSpareFlag},
};

// The fields one form of line may hold.
struct CLineForm {
    const CTextField* texts;
    size_t textCount;
    const CTextField* sealed;
    size_t sealedCount;
    const CIntField* ints;
    size_t intCount;
    const CFlagField* flags;
    size_t flagCount;
};
const CLineForm kCurrentForm = {kTextFields, std::size(kTextFields), kSealedFields, std::size(kSealedFields),
                                kIntFields,  std::size(kIntFields),  kFlagFields,   std::size(kFlagFields)};
const CLineForm kEarlierForm = {
    kEarlierTextFields, std::size(kEarlierTextFields), nullptr, 0, kEarlierIntFields, std::size(kEarlierIntFields),
    kEarlierFlagFields, std::size(kEarlierFlagFields)};

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
    std::string out;
    out.reserve(value.size());
    for (const char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte > 0x7E || c == '%') {
            out += '%';
            AppendHexByte(out, byte, HexCase::kUpper);
        } else {
            out += c;
        }
    }
    return out;
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
        const int high = HexDigitValue(text[i + 1], HexAccept::kUpperOnly);
        const int low = HexDigitValue(text[i + 2], HexAccept::kUpperOnly);
        if (high < 0 || low < 0) {
            return false;
        }
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return true;
}

// What a sealed field of entry |id| is bound to: it opens only there.
std::string SealContext(uint64_t id, const char* name) {
    return std::string(kLineTag) + "|" + std::to_string(id) + "|" + name;
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

// A line's fields as read, before the sealed ones are opened (they need the entry's id).
struct CReadFields {
    bool sawId = false;
    std::vector<std::pair<const CTextField*, std::string>> sealed; // field, hex text
};

// Assigns one name=value field to |entry|; false when the value does not fit its member. Unknown names are
// skipped, so a later version's fields do not make a line unreadable.
bool AssignField(const CLineForm& form, const std::string& name, const std::string& value, CJournalEntry& entry,
                 CReadFields& read) {
    if (name == "id") {
        read.sawId = ParseNumber(value, entry.id) && entry.id != 0;
        return read.sawId;
    }
    if (name == "failed") {
        return ParseNumber(value, entry.failedAtMs);
    }
    if (name == "doubt") {
        if (value != "0" && value != "1") {
            return false;
        }
        entry.inDoubt = value == "1";
        return true;
    }
    if (name == "Created") {
        return ParseNumber(value, entry.record.m_Created);
    }
    if (name == "ReversalAttempts") {
        return ParseNumber(value, entry.record.m_ReversalAttempts);
    }
    for (size_t i = 0; i < form.intCount; ++i) {
        if (name == form.ints[i].name) {
            return ParseNumber(value, entry.record.*form.ints[i].member);
        }
    }
    for (size_t i = 0; i < form.flagCount; ++i) {
        if (name == form.flags[i].name) {
            if (value != "0" && value != "1") {
                return false;
            }
            entry.record.*form.flags[i].member = value == "1";
            return true;
        }
    }
    for (size_t i = 0; i < form.sealedCount; ++i) {
        if (name == form.sealed[i].name) {
            read.sealed.emplace_back(&form.sealed[i], value);
            return true;
        }
    }
    for (size_t i = 0; i < form.textCount; ++i) {
        if (name == form.texts[i].name) {
            return Unescape(value, entry.record.*form.texts[i].member);
        }
    }
    return true;
}

void LogJournal(const std::string& text) {
    CLogger::Instance().LogLine("%s", text.c_str());
}
} // namespace

CTransaction JournalRecordOf(const CTransaction& record) {
    CTransaction kept;
    kept.m_Created = record.m_Created;
    kept.m_ReversalAttempts = record.m_ReversalAttempts;
    for (const CIntField& field : kIntFields) {
        kept.*field.member = record.*field.member;
    }
    for (const CFlagField& field : kFlagFields) {
        kept.*field.member = record.*field.member;
    }
    for (const CTextField& field : kTextFields) {
        kept.*field.member = record.*field.member;
    }
    for (const CTextField& field : kSealedFields) {
        kept.*field.member = record.*field.member;
    }
    return kept;
}

bool EncodeJournalLine(const CJournalEntry& entry, const CSealingKey& key, std::string* line) {
    std::string body = kLineTag;
    AddField(body, "id", std::to_string(entry.id));
    AddField(body, "failed", std::to_string(entry.failedAtMs));
    AddField(body, "doubt", entry.inDoubt ? "1" : "0");
    const CTransaction& record = entry.record;
    AddField(body, "Created", std::to_string(record.m_Created));
    AddField(body, "ReversalAttempts", std::to_string(record.m_ReversalAttempts));
    for (const CIntField& field : kIntFields) {
        AddField(body, field.name, std::to_string(record.*field.member));
    }
    for (const CFlagField& field : kFlagFields) {
        AddField(body, field.name, record.*field.member ? "1" : "0");
    }
    for (const CTextField& field : kTextFields) {
        AddField(body, field.name, Escape(record.*field.member));
    }
    for (const CTextField& field : kSealedFields) {
        std::string sealed;
        if (!key.Seal(record.*field.member, SealContext(entry.id, field.name), &sealed)) {
            return false;
        }
        AddField(body, field.name, HexEncode(sealed, HexCase::kUpper));
    }
    *line = SignJournalLine(body);
    return true;
}

std::string EncodeJournalRemoval(uint64_t id) {
    std::string body = kRemovalLineTag;
    AddField(body, "id", std::to_string(id));
    return SignJournalLine(body);
}

std::string SignJournalLine(const std::string& body) {
    return body + kFieldSeparator + kSumKey + HexOf(Checksum(body));
}

EJournalLine DecodeJournalLine(const std::string& line, const CSealingKey& key, CJournalEntry& entry) {
    const size_t sumAt = line.rfind(kFieldSeparator);
    if (sumAt == std::string::npos ||
        line.compare(sumAt + 1, std::string::npos, kSumKey + HexOf(Checksum(line.substr(0, sumAt)))) != 0) {
        return EJournalLine::Damaged;
    }
    const std::string body = line.substr(0, sumAt);
    size_t start = body.find(kFieldSeparator);
    const std::string tag = body.substr(0, start);
    if (tag == kRemovalLineTag) {
        entry = CJournalEntry();
        const std::string idField = "id=";
        if (start == std::string::npos || body.compare(start + 1, idField.size(), idField) != 0 ||
            !ParseNumber(body.substr(start + 1 + idField.size()), entry.id) || entry.id == 0) {
            return EJournalLine::Damaged;
        }
        return EJournalLine::Removal;
    }
    const CLineForm* form = tag == kLineTag ? &kCurrentForm : tag == kEarlierLineTag ? &kEarlierForm : nullptr;
    if (form == nullptr) {
        return EJournalLine::Damaged;
    }
    entry = CJournalEntry();
    CReadFields read;
    while (start != std::string::npos) {
        const size_t next = body.find(kFieldSeparator, start + 1);
        const std::string field =
            body.substr(start + 1, next == std::string::npos ? std::string::npos : next - start - 1);
        const size_t equals = field.find('=');
        if (equals == std::string::npos ||
            !AssignField(*form, field.substr(0, equals), field.substr(equals + 1), entry, read)) {
            return EJournalLine::Damaged;
        }
        start = next;
    }
    if (!read.sawId) {
        return EJournalLine::Damaged;
    }
    bool opened = true;
    for (const auto& [field, hex] : read.sealed) {
        std::string sealed;
        if (!HexDecode(hex, sealed, HexAccept::kUpperOnly)) {
            return EJournalLine::Damaged;
        }
        // Every field is tried, so a line that is damaged elsewhere is not taken for one of another key.
        opened = key.Open(sealed, SealContext(entry.id, field->name), &(entry.record.*field->member)) && opened;
    }
    if (!opened) {
        return EJournalLine::Undecryptable;
    }
    entry.record = JournalRecordOf(entry.record);
    return EJournalLine::Entry;
}

CReversalJournal& CReversalJournal::Instance() {
    static CReversalJournal journal;
    return journal;
}

CReversalJournal::CReversalJournal(std::filesystem::path fileName, std::filesystem::path keyFileName)
    : m_FileName(std::move(fileName)), m_KeyFileName(std::move(keyFileName)) {}

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
    // What is read must be what was last written, not a file that a write under way is about to replace.
    while (m_Writing) {
        m_WriteDone.Wait(m_Lock);
    }
    m_File.Close();
    m_PendingAppend.clear();
    m_NeedRewrite = false;
    // A process killed in the middle of a write leaves its temporary file: nothing reads it, so it goes.
    RemoveStaleTemporaries(m_FileName);
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
    if (!text.empty() && !EnsureKeyLocked()) {
        // Without the key no entry can be opened, and none could be written back: leave the file alone.
        m_ReadFailed = true;
        m_WriteFailed = true;
        m_Loaded = true;
        return;
    }
    size_t start = 0;
    int lineNumber = 0;
    bool newlyDamaged = false;
    size_t earlierForm = 0;
    size_t undecryptable = 0;
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
        const EJournalLine read = DecodeJournalLine(line, m_Key, entry);
        if (read == EJournalLine::Undecryptable) {
            ++undecryptable;
            continue;
        }
        if (read == EJournalLine::Removal) {
            // The entry left (or was replaced by the entry line that follows).
            loaded.erase(entry.id);
            continue;
        }
        // A second line with an id already read cannot be told from the first: it is set aside, never sent.
        if (read == EJournalLine::Damaged || loaded.count(entry.id) != 0) {
            LogJournal("Reversal journal line " + std::to_string(lineNumber) + " is damaged and was skipped (" +
                       std::to_string(line.size()) + " bytes); it is kept in the file for the operator");
            damaged.push_back(kDamagedLinePrefix + line);
            newlyDamaged = true;
            continue;
        }
        if (line.rfind(kEarlierLineTag, 0) == 0) {
            ++earlierForm;
        }
        loaded.emplace(entry.id, std::move(entry));
    }
    if (undecryptable != 0 && !MoveAsideLocked(undecryptable)) {
        m_ReadFailed = true;
        m_WriteFailed = true;
        m_Loaded = true;
        return;
    }
    if (earlierForm != 0) {
        LogJournal("Reversal journal: " + std::to_string(earlierForm) +
                   " entr(ies) of the earlier form read; they are kept without the request and with the card "
                   "fields sealed from now on");
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
    m_FileBytes = static_cast<int64_t>(text.size());
    if (keptFromMemory || newlyDamaged || earlierForm != 0 || undecryptable != 0) {
        m_NeedRewrite = true;
        WriteLocked(true);
        return;
    }
    m_WriteFailed = false;
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

void CReversalJournal::AppendEntryLocked(const CJournalEntry& entry) {
    std::string line;
    if (EnsureKeyLocked() && EncodeJournalLine(entry, m_Key, &line)) {
        m_PendingAppend += line;
        m_PendingAppend += '\n';
    } else {
        // The whole file is built then, which finds (and logs) what is missing.
        m_NeedRewrite = true;
    }
}

void CReversalJournal::AppendRemovalLocked(uint64_t id) {
    m_PendingAppend += EncodeJournalRemoval(id);
    m_PendingAppend += '\n';
}

void CReversalJournal::WriteLocked(bool sync) {
    // Group commit: the change is on disk when a write that began after it has ended. Callers that change the
    // journal while a write is under way wait for it, and the next write carries all their changes at once.
    const uint64_t change = ++m_ChangeCount;
    m_PendingSync = m_PendingSync || sync;
    while (m_WrittenCount < change) {
        if (m_Writing) {
            m_WriteDone.Wait(m_Lock);
            continue;
        }
        m_Writing = true;
        const uint64_t covers = m_ChangeCount;
        const bool syncNow = m_PendingSync;
        m_PendingSync = false;
        std::string lines;
        lines.swap(m_PendingAppend);

        enum class EWrite { None, Append, Cut, Whole } kind = EWrite::Append;
        const int64_t needed =
            static_cast<int64_t>(m_Entries.size() + m_DamagedLines.size()) * kEntryLineBytes * kRewriteFactor;
        const int64_t grown = m_FileBytes + static_cast<int64_t>(lines.size());
        if (m_ReadFailed || m_WriteFailed || m_NeedRewrite || !m_File.StillAtPath() ||
            (grown > kRewriteAtBytes && grown > needed)) {
            kind = EWrite::Whole;
        } else if (m_Entries.empty()) {
            // Nothing but what is kept for the operator (if anything) is left to hold.
            kind = m_DamagedLines.empty() ? EWrite::Cut : EWrite::Whole;
        } else if (lines.empty()) {
            kind = EWrite::None;
        }
        std::string bytes;
        if (kind == EWrite::Whole && !BuildFileLocked(&bytes)) {
            kind = EWrite::None; // nothing to write, or it cannot be (logged, m_WriteFailed says so)
            m_File.Close();
        }
        if (kind != EWrite::None) {
            m_Lock.Unlock(); // the caller's lock holds it again from here on
            std::string error;
            bool written = true;
            switch (kind) {
            case EWrite::Whole:
                m_File.Close();
                written = WriteFileAtomically(m_FileName, bytes, kJournalFileMode, &error) &&
                          m_File.Open(m_FileName, kJournalFileMode, &error);
                break;
            case EWrite::Append:
                written = m_File.Append(lines, &error);
                if (written && syncNow && !m_File.SyncData()) {
                    written = false;
                    error = std::string("cannot flush ") + m_FileName.string() + ": " + std::strerror(errno);
                }
                break;
            case EWrite::Cut:
                written = m_File.Truncate(0) && (!syncNow || m_File.SyncData());
                if (!written) {
                    error = std::string("cannot empty ") + m_FileName.string() + ": " + std::strerror(errno);
                }
                break;
            case EWrite::None:
                break;
            }
            m_Lock.Lock();
            if (!written) {
                LogJournal("Reversal journal could not be written: " + error);
                m_File.Close();
            } else if (kind == EWrite::Whole) {
                m_FileBytes = static_cast<int64_t>(bytes.size());
                m_NeedRewrite = false;
            } else if (kind == EWrite::Append) {
                m_FileBytes += static_cast<int64_t>(lines.size());
            } else {
                m_FileBytes = 0;
            }
            m_WriteFailed = !written;
        }
        m_Writing = false;
        m_WrittenCount = covers;
        m_WriteDone.NotifyAll();
    }
}

void CReversalJournal::QueueLocked(uint64_t id, CTransaction& record, CTransactionQueue& reversalQueue) {
    reversalQueue.Add(record);
    m_QueuedIds[record.m_QueueSeq] = id;
}

uint64_t CReversalJournal::AddInDoubt(const CTransaction& reversal) {
    CMutexLock lock(m_Lock);
    EnsureLoadedLocked();
    CJournalEntry entry;
    entry.id = m_NextId++;
    entry.inDoubt = true;
    entry.record = JournalRecordOf(reversal);
    const uint64_t id = entry.id;
    AppendEntryLocked(entry);
    m_Entries[id] = std::move(entry);
    // On disk before the host can have the transaction: the one flush a transaction costs.
    WriteLocked(true);
    return id;
}

void CReversalJournal::SettleInDoubt(uint64_t id) {
    CMutexLock lock(m_Lock);
    EnsureLoadedLocked();
    const auto it = m_Entries.find(id);
    if (it == m_Entries.end() || !it->second.inDoubt) {
        return;
    }
    m_Entries.erase(it);
    AppendRemovalLocked(id);
    WriteLocked(false);
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
    if (m_Entries.count(id) != 0) {
        AppendRemovalLocked(id);
    }
    AppendEntryLocked(entry);
    m_Entries[id] = std::move(entry);
    WriteLocked(true);
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
    if (m_Entries.count(id) != 0) {
        AppendRemovalLocked(id);
    }
    CJournalEntry& entry = m_Entries[id];
    entry.id = id;
    entry.inDoubt = false;
    entry.record = JournalRecordOf(record);
    entry.failedAtMs = failedAtMs;
    if (id >= m_NextId) {
        m_NextId = id + 1;
    }
    AppendEntryLocked(entry);
    WriteLocked(true);
    return id;
}

void CReversalJournal::Remove(uint64_t id) {
    CMutexLock lock(m_Lock);
    EnsureLoadedLocked();
    m_HandedBack.erase(id);
    if (m_Entries.erase(id) != 0) {
        // A completed reversal that a power loss brings back is sent once more; the host refuses the repeat.
        AppendRemovalLocked(id);
        WriteLocked(false);
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
    for (auto& [id, entry] : m_Entries) {
        if (entry.inDoubt) {
            entry.inDoubt = false;
            revived.push_back(entry);
            AppendRemovalLocked(id);
            AppendEntryLocked(entry);
        }
    }
    if (!revived.empty()) {
        WriteLocked(true);
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
    while (m_Writing) {
        m_WriteDone.Wait(m_Lock);
    }
    m_Key = CSealingKey();
    m_Loaded = false;
    m_ReadFailed = false;
    m_WriteFailed = false;
    m_NextId = 1;
    m_Entries.clear();
    m_DamagedLines.clear();
    m_QueuedIds.clear();
    m_HandedBack.clear();
    m_PendingAppend.clear();
    m_PendingSync = false;
    m_NeedRewrite = false;
    m_FileBytes = 0;
    m_File.Close();
}
