#include "foundation/ParamSettings.h"

#include <algorithm>
#include <array>

#include "foundation/SharedConstants.h"
#include "foundation/TextHelpers.h"
#include "platform/AsciiChars.h"

namespace {

constexpr char kItemSeparator = ';';

bool IsPrintable(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte >= 0x20 && byte <= 0x7F;
}

// One row of the parameter table; |defaultValue| null means the type's own default.
struct SParamDefinition {
    const char* key;
    std::string_view typeCode;
    int minLen;
    int maxLen;
    const char* defaultValue;
};

// The 22 parameters in index order.
constexpr std::array<SParamDefinition, kParamLastIndex - kParamFirstIndex + 1> kParamDefinitions = {{
    {"NUMPARMS", kParamTypeNS1, 1, 2, "21"},
    {"MERCHANT ID", kParamTypeAN1, 11, 11, nullptr},
    {"ALTERNATE MERCHANT ID", kParamTypeAN1, 11, 11, nullptr},
    {"TERMINAL ID", kParamTypeNS1, 4, 4, nullptr},
    {"DATAWIRE ID", kParamTypeAN1, 1, 24, nullptr},
    {"AQUIRE DID", kParamTypeYN1, 0, 0, "N"},
    {"MERCHANT CURRENCY", kParamTypeNS1, 1, 2, "0"},
    {"PRIMARY URL ", kParamTypeAN2, 1, 50, nullptr},
    {"SECONDARY URL ", kParamTypeAN2, 1, 50, nullptr},
    {"USE OVEX CLIENT/SERVER PASSWORD", kParamTypeYN1, 0, 0, nullptr},
    {"OVEX CLIENT/SERVER PASSWORD", kParamTypeAN2, 0, 12, nullptr},
    {"DO NOT CONNECT TO HOST ON STARTUP", kParamTypeYN1, 0, 0, "N"},
    {"VERIFY SSL CERTIFICATE", kParamTypeYN1, 0, 0, "Y"},
    {"GO TO SYSTEM TRAY WHEN MINIMIZED", kParamTypeYN1, 0, 0, "N"},
    {"TRANSPORT METHOD", kParamTypeNS1, 1, 2, "0"},
    {"MODEM COM PORT", kParamTypeNS1, 1, 3, "1"},
    {"DIAL PREFIX", kParamTypeAN2, 0, 24, nullptr},
    {"AUTHORIZATION PHONE NUMBER", kParamTypeNS1, 1, 11, kDefaultAuthorizationPhoneNumber},
    {"IP CONNECT TIMEOUT", kParamTypeNS1, 1, 2, "3"},
    {"NUMBER OF LANES", kParamTypeNS1, 1, 2, "1"},
    {"LANE SPECIAL", kParamTypeAN1, 2, 6, nullptr},
    {"LANE IDS", kParamTypeAN2, 1, 300, nullptr},
}};

} // namespace

// ---- CParamType

CParamType::CParamType(std::string_view typeCode, int minLen, int maxLen)
    : m_TypeCode(typeCode), m_MinLen(minLen), m_MaxLen(maxLen),
      m_CheckLength(typeCode == kParamTypeNS1 || typeCode == kParamTypeAN1 || typeCode == kParamTypeAN2) {}

bool CParamType::LengthFits(const std::string& value) const {
    if (!m_CheckLength) {
        return true;
    }
    // Compare in a wide type: a value longer than INT_MAX must not wrap into range.
    const auto length = static_cast<long long>(value.size());
    return length >= m_MinLen && length <= m_MaxLen;
}

bool CParamType::IsValid(const std::string& value) const {
    return WhyInvalid(value).empty();
}

std::string CParamType::WhyInvalid(const std::string& value) const {
    if (m_TypeCode == kParamTypeYN1) {
        return value == "Y" || value == "N" ? "" : "it is neither \"Y\" nor \"N\"";
    }
    if (m_TypeCode != kParamTypeNS1 && m_TypeCode != kParamTypeAN1 && m_TypeCode != kParamTypeAN2) {
        return "the parameter has no value type";
    }
    if (!LengthFits(value)) {
        return "its length " + std::to_string(value.size()) + " is outside " + std::to_string(m_MinLen) + ".." +
               std::to_string(m_MaxLen);
    }
    if (m_TypeCode == kParamTypeNS1 && !std::all_of(value.begin(), value.end(), IsAsciiDigit)) {
        return "it holds a character other than the digits 0-9";
    }
    if (m_TypeCode == kParamTypeAN1 && !std::all_of(value.begin(), value.end(), IsAsciiLetterOrDigit)) {
        return "it holds a character other than letters and digits";
    }
    if (m_TypeCode == kParamTypeAN2) {
        if (!std::all_of(value.begin(), value.end(), IsPrintable)) {
            return "it holds a character that is not printable";
        }
        if (value.find(kItemSeparator) != std::string::npos) {
            return "it holds \";\", which the saved text cannot carry";
        }
    }
    return "";
}

std::string CParamType::DefaultValue() const {
    if (m_CheckLength && (m_TypeCode == kParamTypeNS1 || m_TypeCode == kParamTypeAN1)) {
        return std::string(static_cast<std::size_t>(std::max(m_MinLen, 1)), '0');
    }
    if (m_CheckLength && m_TypeCode == kParamTypeAN2) {
        return std::string(static_cast<std::size_t>(std::max(m_MinLen, 0)), '0');
    }
    if (m_TypeCode == kParamTypeYN1) {
        return "N";
    }
    return "";
}

bool CParamType::operator==(const CParamType& other) const {
    return m_TypeCode == other.m_TypeCode && m_MinLen == other.m_MinLen && m_MaxLen == other.m_MaxLen &&
           m_CheckLength == other.m_CheckLength;
}

// ---- CParamEntry

CParamEntry::CParamEntry() : m_Type(kParamTypeINV, 0, 0) {}

CParamEntry::CParamEntry(const CParamType& type, const std::string& name, const std::string& value)
    : m_Name(name), m_Value(value), m_Type(type) {}

bool CParamEntry::SetValue(const std::string& value) {
    if (!IsValid(value)) {
        return false;
    }
    m_Value = value;
    return true;
}

// ---- CParamMap

std::string CParamMap::GetValue(unsigned index) const {
    const CParamEntry* entry = FindEntry(index);
    return entry != nullptr ? entry->GetValue() : std::string();
}

const CParamEntry* CParamMap::FindEntry(unsigned index) const {
    const auto found = m_Entries.find(index);
    return found != m_Entries.end() ? &found->second : nullptr;
}

CParamEntry* CParamMap::FindEntry(unsigned index) {
    const auto found = m_Entries.find(index);
    return found != m_Entries.end() ? &found->second : nullptr;
}

bool CParamMap::SetAt(unsigned index, const CParamEntry& entry) {
    if (index > static_cast<unsigned>(kParamLastIndex)) {
        return false;
    }
    m_Entries.insert_or_assign(index, entry);
    return true;
}

bool CParamMap::Equals(const CParamMap& other) const {
    if (m_Entries.size() != other.m_Entries.size()) {
        return false;
    }
    for (const auto& [index, entry] : m_Entries) {
        const CParamEntry* theirs = other.FindEntry(index);
        if (theirs == nullptr || !(theirs->GetType() == entry.GetType()) || theirs->GetName() != entry.GetName() ||
            theirs->GetValue() != entry.GetValue()) {
            return false;
        }
    }
    return true;
}

// ---- CParamSettings

CParamSettings::CParamSettings() : m_Version(kParamSettingsVersion) {}

bool CParamSettings::BuildDefaults() {
    m_Version = kParamSettingsVersion;
    m_ParamMap.RemoveAll();
    unsigned index = kParamFirstIndex;
    for (const SParamDefinition& definition : kParamDefinitions) {
        const CParamType type(definition.typeCode, definition.minLen, definition.maxLen);
        const std::string value = definition.defaultValue != nullptr ? definition.defaultValue : type.DefaultValue();
        m_ParamMap.SetAt(index++, CParamEntry(type, definition.key, value));
    }
    return true;
}

bool CParamSettings::SetParamMap(const CParamMap& map) {
    m_ParamMap = map;
    return true;
}

std::string CParamSettings::ToString() const {
    std::string text = m_Version;
    text += kItemSeparator;
    for (unsigned index = kParamFirstIndex; index <= static_cast<unsigned>(kParamLastIndex); ++index) {
        if (const CParamEntry* entry = m_ParamMap.FindEntry(index)) {
            text += entry->GetValue();
            text += kItemSeparator;
        }
    }
    return text;
}

bool CParamSettings::FromString(const std::string& text, std::vector<CParamRefusal>* refusals) {
    CItemMap items;
    SplitToItems(kItemSeparator, text, items);
    BuildDefaults();
    if (GetItem(items, 1) != m_Version) {
        return false;
    }
    for (unsigned index = kParamFirstIndex; index <= static_cast<unsigned>(kParamLastIndex); ++index) {
        CParamEntry* entry = m_ParamMap.FindEntry(index);
        if (entry == nullptr) {
            continue;
        }
        // An invalid or missing item leaves the default in place.
        const int number = static_cast<int>(index) + 2;
        const std::string item = GetItem(items, number);
        if (entry->SetValue(item) || refusals == nullptr) {
            continue;
        }
        CParamRefusal refusal;
        refusal.index = index;
        refusal.name = entry->GetName();
        refusal.value = item;
        refusal.missing = items.find(number) == items.end();
        refusal.reason = refusal.missing ? "the saved text ends before it" : entry->GetType().WhyInvalid(item);
        refusals->push_back(std::move(refusal));
    }
    return true;
}

std::string CParamSettings::Dump() const {
    std::string text = "Param Settings:\nVer=" + m_Version + "\n";
    for (unsigned index = kParamFirstIndex; index <= static_cast<unsigned>(kParamLastIndex); ++index) {
        const CParamEntry* entry = m_ParamMap.FindEntry(index);
        if (entry == nullptr) {
            continue;
        }
        const CParamType& type = entry->GetType();
        text += "No." + std::to_string(index) + " " + entry->GetName() + "." + type.GetTypeCode() + "." +
                std::to_string(type.GetMinLen()) + "." + std::to_string(type.GetMaxLen()) + "." + entry->GetValue() +
                "\n";
    }
    return text;
}
