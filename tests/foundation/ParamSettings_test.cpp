#include "foundation/ParamSettings.h"

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/ParamSets.h"

namespace {

// Cuts a serialised text at every ";" independently of the code under test; a tail without ";" is kept.
std::vector<std::string> Items(const std::string& text) {
    std::vector<std::string> items;
    std::string current;
    for (char c : text) {
        if (c == ';') {
            items.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.empty()) {
        items.push_back(current);
    }
    return items;
}

// A default set with |value| put straight into the entry at |index| (bypassing validation).
CParamSettings DefaultsWith(unsigned index, const std::string& value) {
    return ParamsWithUnchecked(DefaultParams(), {{index, value}});
}

// The serialised default set with item |index| + 2 replaced by |value|.
std::string DefaultTextWith(unsigned index, const std::string& value) {
    std::vector<std::string> items = Items(DefaultParams().ToString());
    items.at(index + 1) = value;
    std::string text;
    for (const std::string& item : items) {
        text += item + ";";
    }
    return text;
}

} // namespace

TEST(ParamSettingsTest, NewSetHasVersionFourAndNoEntries) {
    CParamSettings settings;
    EXPECT_EQ(settings.GetVersion(), "4");
    EXPECT_EQ(settings.GetParamMap().GetCount(), 0u);
    EXPECT_EQ(settings.ToString(), "4;");
}

TEST(ParamSettingsTest, DefaultSetSerialisesItemByItem) {
    const std::string text = DefaultParams().ToString();
    const std::vector<std::string> expected = {
        "4", "21", "00000000000", "00000000000", "0000", "0", "N",           "0", "0", "0",  "N", "",
        "N", "Y",  "N",           "0",           "1",    "",  "18005550100", "3", "1", "00", "0"};
    EXPECT_EQ(Items(text), expected);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), ';');
    EXPECT_EQ(text.size(), 79u);
}

TEST(ParamSettingsTest, DefaultEntriesCarryTheirKeysAndTypes) {
    struct SRow {
        unsigned index;
        const char* key;
        const char* typeCode;
        int minLen;
        int maxLen;
    };
    const SRow rows[] = {
        {0, "NUMPARMS", "NS1", 1, 2},
        {1, "MERCHANT ID", "AN1", 11, 11},
        {2, "ALTERNATE MERCHANT ID", "AN1", 11, 11},
        {3, "TERMINAL ID", "NS1", 4, 4},
        {4, "DATAWIRE ID", "AN1", 1, 24},
        {5, "AQUIRE DID", "YN1", 0, 0},
        {6, "MERCHANT CURRENCY", "NS1", 1, 2},
        {7, "PRIMARY URL ", "AN2", 1, 50},
        {8, "SECONDARY URL ", "AN2", 1, 50},
        {9, "USE OVEX CLIENT/SERVER PASSWORD", "YN1", 0, 0},
        {10, "OVEX CLIENT/SERVER PASSWORD", "AN2", 0, 12},
        {11, "DO NOT CONNECT TO HOST ON STARTUP", "YN1", 0, 0},
        {12, "VERIFY SSL CERTIFICATE", "YN1", 0, 0},
        {13, "GO TO SYSTEM TRAY WHEN MINIMIZED", "YN1", 0, 0},
        {14, "TRANSPORT METHOD", "NS1", 1, 2},
        {15, "MODEM COM PORT", "NS1", 1, 3},
        {16, "DIAL PREFIX", "AN2", 0, 24},
        {17, "AUTHORIZATION PHONE NUMBER", "NS1", 1, 11},
        {18, "IP CONNECT TIMEOUT", "NS1", 1, 2},
        {19, "NUMBER OF LANES", "NS1", 1, 2},
        {20, "LANE SPECIAL", "AN1", 2, 6},
        {21, "LANE IDS", "AN2", 1, 300},
    };
    const CParamMap map = DefaultParams().GetParamMap();
    ASSERT_EQ(map.GetCount(), 22u);
    for (const SRow& row : rows) {
        SCOPED_TRACE(row.index);
        const CParamEntry* entry = map.FindEntry(row.index);
        ASSERT_NE(entry, nullptr);
        EXPECT_EQ(entry->GetName(), row.key);
        EXPECT_EQ(entry->GetType().GetTypeCode(), row.typeCode);
        EXPECT_EQ(entry->GetType().GetMinLen(), row.minLen);
        EXPECT_EQ(entry->GetType().GetMaxLen(), row.maxLen);
        EXPECT_EQ(entry->GetType().ChecksLength(), std::string(row.typeCode) != "YN1");
        // Every default passes its own type's test, or the first load would refuse it.
        EXPECT_TRUE(entry->IsValid(entry->GetValue())) << entry->GetValue();
    }
}

TEST(ParamTypeTest, ValidityFollowsTheTypeTable) {
    struct SCase {
        const char* typeCode;
        int minLen;
        int maxLen;
        std::string value;
        bool valid;
    };
    const SCase cases[] = {
        // digits within the limits
        {"NS1", 4, 4, "0000", true},
        {"NS1", 4, 4, "123", false},
        {"NS1", 4, 4, "12345", false},
        {"NS1", 4, 4, "12a4", false},
        {"NS1", 1, 2, "", false},
        {"NS1", 1, 2, "-1", false},
        {"NS1", 1, 2, " 1", false},
        // exactly "Y" or "N", whatever the limits say
        {"YN1", 0, 0, "Y", true},
        {"YN1", 0, 0, "N", true},
        {"YN1", 0, 0, "y", false},
        {"YN1", 0, 0, "n", false},
        {"YN1", 0, 0, "", false},
        {"YN1", 0, 0, "YN", false},
        // letters and digits
        {"AN1", 2, 6, "aZ09", true},
        {"AN1", 2, 6, "a", false},
        {"AN1", 2, 6, "abcdefg", false},
        {"AN1", 2, 6, "ab cd", false},
        {"AN1", 2, 6, "ab-cd", false},
        {"AN1", 2, 6, "ab\xC3\xA9", false},
        // printable text
        {"AN2", 1, 50, "https://a.example/x?y=1&z=~", true},
        {"AN2", 1, 50, "with blank", true},
        {"AN2", 1, 50, "\x7F", true},
        {"AN2", 1, 50, "", false},
        {"AN2", 0, 12, "", true},
        {"AN2", 0, 12, "1234567890123", false},
        {"AN2", 1, 50, "tab\there", false},
        {"AN2", 1, 50, "line\r\n", false},
        {"AN2", 1, 50, "caf\xC3\xA9", false},
        {"AN2", 1, 50, std::string("nul\0x", 5), false},
        // ";" would end the value inside the serialised text
        {"AN2", 1, 50, "a;b", false},
        {"AN2", 1, 50, ";", false},
        // nothing is valid for an unknown type
        {"INV", 0, 0, "", false},
        {"INV", 0, 10, "x", false},
        {"XYZ", 0, 10, "1", false},
    };
    for (const SCase& c : cases) {
        const CParamType type(c.typeCode, c.minLen, c.maxLen);
        EXPECT_EQ(type.IsValid(c.value), c.valid)
            << c.typeCode << " " << c.minLen << ".." << c.maxLen << " [" << c.value << "]";
        // The reason given for a refusal and the refusal itself never disagree.
        EXPECT_EQ(type.WhyInvalid(c.value).empty(), c.valid)
            << c.typeCode << " " << c.minLen << ".." << c.maxLen << " [" << c.value << "]";
    }
}

TEST(ParamTypeTest, WhyInvalidNamesTheRuleTheValueBreaks) {
    struct SCase {
        const char* typeCode;
        int minLen;
        int maxLen;
        std::string value;
        std::string reason;
    };
    const SCase cases[] = {
        {"NS1", 4, 4, "123", "its length 3 is outside 4..4"},
        {"NS1", 4, 4, "12a4", "it holds a character other than the digits 0-9"},
        {"YN1", 0, 0, "y", "it is neither \"Y\" nor \"N\""},
        {"AN1", 11, 11, "ABC-1234567", "it holds a character other than letters and digits"},
        // the length is told before the characters
        {"AN1", 2, 6, "a-", "it holds a character other than letters and digits"},
        {"AN1", 2, 6, "-", "its length 1 is outside 2..6"},
        {"AN2", 1, 50, "tab\there", "it holds a character that is not printable"},
        {"AN2", 1, 50, "a;b", "it holds \";\", which the saved text cannot carry"},
        {"INV", 0, 0, "", "the parameter has no value type"},
    };
    for (const SCase& c : cases) {
        EXPECT_EQ(CParamType(c.typeCode, c.minLen, c.maxLen).WhyInvalid(c.value), c.reason)
            << c.typeCode << " [" << c.value << "]";
    }
    // The reason never repeats the value (it may be the password).
    EXPECT_EQ(CParamType("AN2", 0, 12).WhyInvalid("secret;secret").find("secret"), std::string::npos);
}

TEST(ParamTypeTest, DefaultValueFollowsTheTypeTable) {
    struct SCase {
        const char* typeCode;
        int minLen;
        int maxLen;
        const char* expected;
    };
    const SCase cases[] = {
        {"NS1", 4, 4, "0000"}, {"NS1", 0, 3, "0"}, {"AN1", 11, 11, "00000000000"}, {"AN1", 0, 5, "0"},
        {"AN2", 1, 50, "0"},   {"AN2", 0, 12, ""}, {"AN2", 3, 9, "000"},           {"YN1", 0, 0, "N"},
        {"INV", 0, 0, ""},     {"ABC", 2, 2, ""},
    };
    for (const SCase& c : cases) {
        EXPECT_EQ(CParamType(c.typeCode, c.minLen, c.maxLen).DefaultValue(), c.expected) << c.typeCode;
    }
}

TEST(ParamEntryTest, SetValueStoresOnlyValidValues) {
    CParamEntry entry(CParamType("NS1", 4, 4), "TERMINAL ID", "0000");
    EXPECT_FALSE(entry.SetValue("12A4"));
    EXPECT_EQ(entry.GetValue(), "0000");
    EXPECT_TRUE(entry.SetValue("1234"));
    EXPECT_EQ(entry.GetValue(), "1234");

    const CParamEntry empty;
    EXPECT_EQ(empty.GetName(), "");
    EXPECT_EQ(empty.GetValue(), "");
    EXPECT_EQ(empty.GetType().GetTypeCode(), "INV");
    EXPECT_FALSE(empty.IsValid(""));
}

TEST(ParamMapTest, GetValueOfAnAbsentIndexLeavesTheMapAlone) {
    const CParamMap map = DefaultParams().GetParamMap();
    EXPECT_EQ(map.GetValue(22), "");
    EXPECT_EQ(map.FindEntry(22), nullptr);
    EXPECT_EQ(map.GetCount(), 22u);
    EXPECT_EQ(map.GetValue(3), "0000");
}

TEST(ParamMapTest, RefusesIndexesPastTheLast) {
    CParamMap map;
    EXPECT_FALSE(map.SetAt(22, CParamEntry(CParamType("NS1", 1, 2), "X", "1")));
    EXPECT_EQ(map.GetCount(), 0u);
    EXPECT_TRUE(map.SetAt(21, CParamEntry(CParamType("NS1", 1, 2), "X", "1")));
    EXPECT_EQ(map.GetCount(), 1u);
}

TEST(ParamMapTest, CopiesAreDeep) {
    const CParamSettings original = DefaultParams();
    CParamMap copy = original.GetParamMap();
    ASSERT_TRUE(copy.FindEntry(kParamMerchantId)->SetValue("12345678901"));
    EXPECT_EQ(original.GetParamMap().GetValue(kParamMerchantId), "00000000000");
    const CParamMap& self = copy;
    copy = self; // self-assignment keeps the entries
    EXPECT_EQ(copy.GetValue(kParamMerchantId), "12345678901");
}

TEST(ParamMapTest, EqualsComparesEveryPartOfEveryEntry) {
    const CParamMap defaults = DefaultParams().GetParamMap();
    EXPECT_TRUE(defaults.Equals(DefaultParams().GetParamMap()));

    EXPECT_FALSE(defaults.Equals(DefaultsWith(kParamMerchantId, "00000000001").GetParamMap()));

    CParamMap otherMinimum = defaults;
    const CParamEntry* lanes = otherMinimum.FindEntry(kParamLaneIds);
    otherMinimum.SetAt(kParamLaneIds, CParamEntry(CParamType("AN2", 0, 300), lanes->GetName(), lanes->GetValue()));
    EXPECT_FALSE(defaults.Equals(otherMinimum));

    CParamMap otherKey = defaults;
    const CParamEntry* url = otherKey.FindEntry(kParamPrimaryUrl);
    otherKey.SetAt(kParamPrimaryUrl, CParamEntry(url->GetType(), "PRIMARY URL", url->GetValue()));
    EXPECT_FALSE(defaults.Equals(otherKey));

    CParamMap caseOnly = DefaultsWith(kParamLaneSpecial, "ab").GetParamMap();
    EXPECT_FALSE(caseOnly.Equals(DefaultsWith(kParamLaneSpecial, "AB").GetParamMap()));

    CParamMap fewer = defaults;
    CParamMap fewerCopy;
    for (const auto& [index, entry] : fewer.GetEntries()) {
        if (index != kParamLaneIds) {
            fewerCopy.SetAt(index, entry);
        }
    }
    EXPECT_FALSE(defaults.Equals(fewerCopy));
    EXPECT_FALSE(fewerCopy.Equals(defaults));
}

TEST(ParamSettingsTest, FromStringOfAnotherVersionKeepsTheDefaults) {
    for (const std::string& text : {std::string("5;1;"), DefaultTextWith(0, "21").replace(0, 1, "5"), std::string(""),
                                    std::string(";"), std::string("4")}) {
        CParamSettings settings = DefaultsWith(kParamMerchantId, "12345678901");
        EXPECT_EQ(settings.FromString(text), text == "4") << text;
        EXPECT_TRUE(settings.GetParamMap().Equals(DefaultParams().GetParamMap())) << text;
    }
}

TEST(ParamSettingsTest, FromStringOfVersionAloneKeepsDefaultsExceptEmptyableValues) {
    CParamSettings settings = DefaultsWith(kParamPassword, "secret");
    ASSERT_TRUE(settings.FromString("4;"));
    const CParamMap map = settings.GetParamMap();
    EXPECT_EQ(map.GetValue(kParamPassword), "");
    EXPECT_EQ(map.GetValue(kParamDialPrefix), "");
    EXPECT_TRUE(map.Equals(DefaultParams().GetParamMap()));
}

TEST(ParamSettingsTest, FromStringTakesValidItemsAndKeepsDefaultsForInvalidOnes) {
    struct SCase {
        unsigned index;
        std::string item;
        std::string expected;
    };
    const SCase cases[] = {
        {kParamTerminalId, "12A4", "0000"},
        {kParamTerminalId, "1234", "1234"},
        {kParamVerifySslCertificate, "n", "Y"},
        {kParamVerifySslCertificate, "N", "N"},
        {kParamMerchantId, "ABC-1234567", "00000000000"},
        {kParamMerchantId, "ABC12345678", "ABC12345678"},
        {kParamPrimaryUrl, "https://sd.example/disc", "https://sd.example/disc"},
        {kParamPrimaryUrl, "", "0"},
        {kParamLaneIds, "1\t2", "0"},
        {kParamDialPrefix, "9,", "9,"},
    };
    for (const SCase& c : cases) {
        CParamSettings settings;
        ASSERT_TRUE(settings.FromString(DefaultTextWith(c.index, c.item)));
        EXPECT_EQ(settings.GetParamMap().GetValue(c.index), c.expected) << c.index << " [" << c.item << "]";
    }

    // One refused item does not cost the others.
    CParamSettings settings;
    std::vector<std::string> items = Items(DefaultTextWith(kParamTerminalId, "12X4"));
    items[kParamMerchantId + 1] = "MID00000042";
    items[kParamNumberOfLanes + 1] = "4";
    std::string joined;
    for (const std::string& item : items) {
        joined += item + ";";
    }
    ASSERT_TRUE(settings.FromString(joined));
    EXPECT_EQ(settings.GetParamMap().GetValue(kParamTerminalId), "0000");
    EXPECT_EQ(settings.GetParamMap().GetValue(kParamMerchantId), "MID00000042");
    EXPECT_EQ(settings.GetParamMap().GetValue(kParamNumberOfLanes), "4");
}

TEST(ParamSettingsTest, FromStringReportsEachRefusedItemWithItsReason) {
    std::vector<std::string> items = Items(DefaultTextWith(kParamTerminalId, "12X4"));
    items[kParamVerifySslCertificate + 1] = "n";
    items[kParamMerchantId + 1] = "MID00000042"; // taken: not reported
    std::string text;
    for (const std::string& item : items) {
        text += item + ";";
    }
    CParamSettings settings;
    std::vector<CParamRefusal> refusals;
    ASSERT_TRUE(settings.FromString(text, &refusals));
    ASSERT_EQ(refusals.size(), 2u);
    EXPECT_EQ(refusals[0].index, static_cast<unsigned>(kParamTerminalId));
    EXPECT_EQ(refusals[0].name, "TERMINAL ID");
    EXPECT_EQ(refusals[0].value, "12X4");
    EXPECT_FALSE(refusals[0].missing);
    EXPECT_EQ(refusals[0].reason, "it holds a character other than the digits 0-9");
    EXPECT_EQ(refusals[1].index, static_cast<unsigned>(kParamVerifySslCertificate));
    EXPECT_EQ(refusals[1].value, "n");
    EXPECT_EQ(settings.GetParamMap().GetValue(kParamMerchantId), "MID00000042");

    // A text cut short: the items it lacks are reported as missing, except where "" is a valid value.
    refusals.clear();
    ASSERT_TRUE(settings.FromString("4;21;MID00000042;", &refusals));
    ASSERT_EQ(refusals.size(), 18u);
    EXPECT_EQ(refusals[0].index, static_cast<unsigned>(kParamAlternateMerchantId));
    EXPECT_TRUE(refusals[0].missing);
    EXPECT_EQ(refusals[0].reason, "the saved text ends before it");
    for (const CParamRefusal& refusal : refusals) {
        EXPECT_NE(refusal.index, static_cast<unsigned>(kParamPassword));
        EXPECT_NE(refusal.index, static_cast<unsigned>(kParamDialPrefix));
    }

    // A foreign version reports nothing: nothing was offered item by item.
    refusals.clear();
    EXPECT_FALSE(settings.FromString("3;" + text.substr(2), &refusals));
    EXPECT_TRUE(refusals.empty());
}

TEST(ParamSettingsTest, FromStringIgnoresItemsAfterTheLastParameter) {
    CParamSettings settings;
    ASSERT_TRUE(settings.FromString(DefaultTextWith(kParamLaneIds, "1,2,3") + "junk;more"));
    EXPECT_EQ(settings.GetParamMap().GetCount(), 22u);
    EXPECT_EQ(settings.GetParamMap().GetValue(kParamLaneIds), "1,2,3");
    EXPECT_EQ(settings.ToString(), DefaultTextWith(kParamLaneIds, "1,2,3"));
}

TEST(ParamSettingsTest, ToStringAndFromStringRoundTrip) {
    CParamSettings changed = DefaultParams();
    CParamMap map = changed.GetParamMap();
    ASSERT_TRUE(map.FindEntry(kParamMerchantId)->SetValue("MID12345678"));
    ASSERT_TRUE(map.FindEntry(kParamPassword)->SetValue("p@ss word"));
    ASSERT_TRUE(map.FindEntry(kParamUsePassword)->SetValue("Y"));
    ASSERT_TRUE(map.FindEntry(kParamPrimaryUrl)->SetValue("https://sd1.example:443/sd/"));
    changed.SetParamMap(map);

    CParamSettings loaded;
    ASSERT_TRUE(loaded.FromString(changed.ToString()));
    EXPECT_TRUE(loaded.GetParamMap().Equals(changed.GetParamMap()));
    EXPECT_EQ(loaded.ToString(), changed.ToString());
}

TEST(ParamSettingsTest, ToStringSkipsAbsentIndexesWithoutSeparator) {
    CParamMap map;
    map.SetAt(3, CParamEntry(CParamType("NS1", 4, 4), "TERMINAL ID", "1234"));
    map.SetAt(1, CParamEntry(CParamType("AN1", 11, 11), "MERCHANT ID", "ABCDEFGHIJK"));
    CParamSettings settings;
    settings.SetParamMap(map);
    EXPECT_EQ(settings.ToString(), "4;ABCDEFGHIJK;1234;");
}

TEST(ParamSettingsTest, DumpListsEveryEntryInIndexOrder) {
    const std::string dump = DefaultParams().Dump();
    EXPECT_EQ(
        dump.rfind("Param Settings:\nVer=4\nNo.0 NUMPARMS.NS1.1.2.21\nNo.1 MERCHANT ID.AN1.11.11.00000000000\n", 0), 0u)
        << dump;
    EXPECT_NE(dump.find("\nNo.3 TERMINAL ID.NS1.4.4.0000\n"), std::string::npos);
    EXPECT_NE(dump.find("\nNo.7 PRIMARY URL .AN2.1.50.0\n"), std::string::npos);
    EXPECT_NE(dump.find("\nNo.10 OVEX CLIENT/SERVER PASSWORD.AN2.0.12.\n"), std::string::npos);
    const std::string tail = "No.21 LANE IDS.AN2.1.300.0\n";
    ASSERT_GE(dump.size(), tail.size());
    EXPECT_EQ(dump.substr(dump.size() - tail.size()), tail);
    EXPECT_EQ(std::count(dump.begin(), dump.end(), '\n'), 24);
}
