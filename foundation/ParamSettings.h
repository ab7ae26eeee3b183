#pragma once
// The merchant parameter set: 22 numbered parameters, each with a key text, a typed value and a default,
// kept between runs as one serialised text "4;" + 22 values, each followed by ";".

#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The value types of a parameter (constants without start-up code, so any static initialiser may use them).
inline constexpr std::string_view kParamTypeNS1 = "NS1"; // decimal digits
inline constexpr std::string_view kParamTypeYN1 = "YN1"; // "Y" or "N"
inline constexpr std::string_view kParamTypeAN1 = "AN1"; // ASCII letters and digits
inline constexpr std::string_view kParamTypeAN2 = "AN2"; // printable text
inline constexpr std::string_view kParamTypeINV = "INV"; // the type of an empty entry; nothing is valid for it

// The version item that leads the serialised text.
inline constexpr std::string_view kParamSettingsVersion = "4";

// What each parameter index holds; readers take values by these indexes.
enum EParamIndex : unsigned {
    kParamNumParms = 0,
    kParamMerchantId = 1,
    kParamAlternateMerchantId = 2,
    kParamTerminalId = 3,
    kParamDatawireId = 4,
    kParamAquireDid = 5,
    kParamMerchantCurrency = 6,
    kParamPrimaryUrl = 7,
    kParamSecondaryUrl = 8,
    kParamUsePassword = 9,
    kParamPassword = 10,
    kParamDoNotConnectOnStartup = 11,
    kParamVerifySslCertificate = 12,
    kParamGoToSystemTray = 13,
    kParamTransportMethod = 14,
    kParamModemComPort = 15,
    kParamDialPrefix = 16,
    kParamAuthorizationPhoneNumber = 17,
    kParamIpConnectTimeout = 18,
    kParamNumberOfLanes = 19,
    kParamLaneSpecial = 20,
    kParamLaneIds = 21,
};

// The host's dial-in number, the default of "AUTHORIZATION PHONE NUMBER".
inline constexpr char kDefaultAuthorizationPhoneNumber[] = "18005550100";

// The type of one parameter: code, length limits and the rule its values follow.
// A plain value: copy it freely; not shared between threads.
class CParamType {
public:
    CParamType(std::string_view typeCode, int minLen, int maxLen);
    CParamType(const CParamType&) = default;
    CParamType& operator=(const CParamType&) = default;
    virtual ~CParamType() = default;

    // Whether |value| may be stored under this type. "AN2" refuses ";" as well, since the serialised
    // text has no escape for its own separator.
    bool IsValid(const std::string& value) const;
    // Why |value| may not be stored under this type, for the operator ("" when it may). Names the length or the
    // kind of character at fault, never the value itself.
    std::string WhyInvalid(const std::string& value) const;
    // The value an entry of this type takes when nothing else is known.
    std::string DefaultValue() const;

    const std::string& GetTypeCode() const { return m_TypeCode; }
    int GetMinLen() const { return m_MinLen; }
    int GetMaxLen() const { return m_MaxLen; }
    bool ChecksLength() const { return m_CheckLength; }

    bool operator==(const CParamType& other) const;

private:
    bool LengthFits(const std::string& value) const;

    std::string m_TypeCode;
    int m_MinLen;
    int m_MaxLen;
    bool m_CheckLength; // "YN1" values never have their length tested
};

// One parameter: key text, value and type. A plain value; not shared between threads.
class CParamEntry {
public:
    // The empty entry: no key, no value, type ("INV", 0, 0).
    CParamEntry();
    CParamEntry(const CParamType& type, const std::string& name, const std::string& value);
    CParamEntry(const CParamEntry&) = default;
    CParamEntry& operator=(const CParamEntry&) = default;
    virtual ~CParamEntry() = default;

    // Stores |value| only when the entry's type accepts it; returns whether it did.
    bool SetValue(const std::string& value);
    bool IsValid(const std::string& value) const { return m_Type.IsValid(value); }

    const std::string& GetName() const { return m_Name; }
    const std::string& GetValue() const { return m_Value; }
    const CParamType& GetType() const { return m_Type; }

private:
    std::string m_Name;
    std::string m_Value;
    CParamType m_Type;
};

// The parameters of one set by index 0..21, entries held by value (copying the map copies every entry).
// A plain value; not shared between threads.
class CParamMap {
public:
    using Entries = std::map<unsigned, CParamEntry>;

    CParamMap() = default;
    CParamMap(const CParamMap&) = default;
    CParamMap& operator=(const CParamMap&) = default;
    virtual ~CParamMap() = default;

    // The value of the entry at |index|, or "" when the map holds none; never inserts.
    std::string GetValue(unsigned index) const;
    // The entry at |index|, or nullptr. The pointer lives until the map next changes.
    const CParamEntry* FindEntry(unsigned index) const;
    CParamEntry* FindEntry(unsigned index);
    // Puts |entry| under |index|, replacing what was there; false (nothing stored) for an index past 21.
    bool SetAt(unsigned index, const CParamEntry& entry);
    void RemoveAll() { m_Entries.clear(); }
    std::size_t GetCount() const { return m_Entries.size(); }
    // Same entries under the same indexes: type code, limits, length flag, key and value all equal.
    bool Equals(const CParamMap& other) const;
    // Every entry in ascending index order. On a temporary map (GetParams().GetParamMap().GetEntries()) the
    // entries are handed over by value, so a range-for over that chain never reads a destroyed map.
    const Entries& GetEntries() const& { return m_Entries; }
    Entries GetEntries() && { return std::move(m_Entries); }

private:
    Entries m_Entries;
};

// An item of a saved text that FromString could not take, so that parameter kept its default.
struct CParamRefusal {
    unsigned index = 0;
    std::string name;     // the parameter's key
    std::string value;    // the item offered ("" when the text ended before it)
    bool missing = false; // the text ended before this item
    std::string reason;   // CParamType::WhyInvalid, or that the item is missing
};

// One merchant parameter set: its map and its version "4". A plain value: each user works on its own copy.
class CParamSettings {
public:
    // Version "4" and an empty map; BuildDefaults fills it.
    CParamSettings();
    CParamSettings(const CParamSettings&) = default;
    CParamSettings& operator=(const CParamSettings&) = default;
    virtual ~CParamSettings() = default;

    // Version "4" and the 22 parameters with their defaults. Returns true.
    bool BuildDefaults();
    CParamMap GetParamMap() const { return m_ParamMap; }
    // The map itself, for a reader that takes a few values without copying it.
    const CParamMap& ParamMap() const { return m_ParamMap; }
    // Replaces the map with a copy of |map|. Returns true.
    bool SetParamMap(const CParamMap& map);
    std::string GetVersion() const { return m_Version; }

    // "4;" then each held value in index order followed by ";".
    std::string ToString() const;
    // Starts from the defaults; false (defaults kept) when the version item is not "4", else every valid
    // item replaces its default and an invalid or missing one leaves it. |refusals| (when given) receives the
    // items left out, in index order.
    bool FromString(const std::string& text, std::vector<CParamRefusal>* refusals = nullptr);
    // The multi-line text written to the log.
    std::string Dump() const;

private:
    CParamMap m_ParamMap;
    std::string m_Version;
};
