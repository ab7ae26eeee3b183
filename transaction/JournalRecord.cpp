// The journal's lines: an entry's record written as one checksummed line with its card fields sealed, and read
// back.

#include "transaction/JournalRecord.h"

#include <charconv>
#include <cstdio>
#include <iterator>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/Hex.h"

namespace {
constexpr const char* kLineTag = "REV2";
// The earlier form kept every member of the record in the clear; it is still read, never written.
constexpr const char* kEarlierLineTag = "REV1";
// A line that takes an entry out of the journal.
constexpr const char* kRemovalLineTag = "DEL2";
constexpr const char* kSumKey = "sum=";
// The field of an entry line that takes the place of the entry with its id.
constexpr const char* kReplaceKey = "replace";
constexpr char kFieldSeparator = '\t';

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
    bool replaces = false;
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
    if (name == kReplaceKey) {
        read.replaces = value == "1";
        return read.replaces;
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

bool EncodeLine(const CJournalEntry& entry, const CSealingKey& key, bool replaces, std::string* line) {
    std::string body = kLineTag;
    AddField(body, "id", std::to_string(entry.id));
    if (replaces) {
        AddField(body, kReplaceKey, "1");
    }
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
    return EncodeLine(entry, key, false, line);
}

bool EncodeJournalReplacement(const CJournalEntry& entry, const CSealingKey& key, std::string* line) {
    return EncodeLine(entry, key, true, line);
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
    return read.replaces ? EJournalLine::Replacement : EJournalLine::Entry;
}

bool IsEarlierJournalLine(const std::string& line) {
    return line.rfind(kEarlierLineTag, 0) == 0;
}
