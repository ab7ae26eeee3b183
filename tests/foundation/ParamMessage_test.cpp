// The management service's parameter message: the control pairs, the count, and each check against the running
// system's definitions, as a table of messages and the exact text of the first failure.

#include "foundation/ParamMessage.h"

#include <functional>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "common/TempDirTest.h"
#include "foundation/ParamSettings.h"
#include "foundation/ParamStore.h"

namespace {

const std::string kFs(1, '\x1c');

// A merchant's values, valid for every definition; the rest are the defaults.
const std::map<unsigned, std::string> kMerchantValues = {
    {kParamMerchantId, "RVZMERCH001"},  {kParamAlternateMerchantId, "RVZALTID002"}, {kParamTerminalId, "0042"},
    {kParamDatawireId, "DW0011223344"}, {kParamPrimaryUrl, "sd1.example/sd"},       {kParamLaneIds, "1$2$3"},
};

// One parameter pair as the service writes it: key, then unused|type|min|max|value.
struct SPair {
    std::string key;
    std::string value;
};

class ParamMessageTest : public TempDirTest {
protected:
    void SetUp() override { ASSERT_TRUE(m_Store.ClearParams()); }

    // The 22 pairs of the merchant, in index order.
    static std::vector<SPair> GoodPairs() {
        CParamSettings defaults;
        defaults.BuildDefaults();
        std::vector<SPair> pairs;
        for (const auto& [index, entry] : defaults.GetParamMap().GetEntries()) {
            const auto merchant = kMerchantValues.find(index);
            const std::string value = merchant != kMerchantValues.end() ? merchant->second : entry.GetValue();
            const CParamType& type = entry.GetType();
            pairs.push_back({std::to_string(index), "P" + std::to_string(index) + "|" + type.GetTypeCode() + "|" +
                                                        std::to_string(type.GetMinLen()) + "|" +
                                                        std::to_string(type.GetMaxLen()) + "|" + value});
        }
        return pairs;
    }

    static std::string Join(const std::vector<SPair>& pairs, const std::string& tail = "") {
        std::string text;
        for (const SPair& pair : pairs) {
            text += pair.key + "=" + pair.value + kFs;
        }
        return text + tail;
    }

    CParamStore m_Store{"MerchantParams.dat"};
};

using Edit = std::function<void(std::vector<SPair>&)>;

void SetValue(std::vector<SPair>& pairs, unsigned index, const std::string& value) {
    pairs.at(index).value = value;
}

} // namespace

TEST_F(ParamMessageTest, ChecksFailWithTheirExactTexts) {
    struct Case {
        const char* name;
        Edit edit;
        std::string extra; // appended after the pairs
        std::string error;
    };
    const Case cases[] = {
        {"500 with an empty value counts as a parameter", nullptr, "500=" + kFs, "Expected 22 Parms Got 23"},
        {"21 pairs", [](std::vector<SPair>& p) { p.pop_back(); }, "", "Expected 22 Parms Got 21"},
        {"23 pairs",
         [](std::vector<SPair>& p) {
             p.push_back({"23", "x|AN1|1|1|A"});
         },
         "", "Expected 22 Parms Got 23"},
        {"index 22 among 22 pairs", [](std::vector<SPair>& p) { p[21].key = "22"; }, "", "Parm#: 22 is out of bounds."},
        {"negative index", [](std::vector<SPair>& p) { p[21].key = "-1"; }, "", "Parm#: -1 is out of bounds."},
        {"key without digits reads as 0, already given", [](std::vector<SPair>& p) { p[21].key = "LANES"; }, "",
         "Parm#: 0 is received more than once."},
        {"05 and 5 fill the same index",
         [](std::vector<SPair>& p) {
             p[21] = {"05", p[5].value};
         },
         "", "Parm#: 5 is received more than once."},
        {"wrong type", [](std::vector<SPair>& p) { SetValue(p, 3, "P3|AN1|4|4|0042"); }, "",
         "Parm#: 3 [TERMINAL ID] Receive Data Type: [AN1] is incorrect expecting: [NS1]."},
        {"type compared exactly", [](std::vector<SPair>& p) { SetValue(p, 3, "P3|ns1|4|4|0042"); }, "",
         "Parm#: 3 [TERMINAL ID] Receive Data Type: [ns1] is incorrect expecting: [NS1]."},
        {"wrong minimum", [](std::vector<SPair>& p) { SetValue(p, 3, "P3|NS1|5|4|0042"); }, "",
         "Parm#: 3 MinLen 5 is incorrect [4]."},
        {"YN1 lengths are compared too", [](std::vector<SPair>& p) { SetValue(p, 12, "P12|YN1|1|1|Y"); }, "",
         "Parm#: 12 MinLen 1 is incorrect [0]."},
        {"wrong maximum", [](std::vector<SPair>& p) { SetValue(p, 3, "P3|NS1|4|x|0042"); }, "",
         "Parm#: 3 MaxLen x is incorrect [4]."},
        {"missing maximum reads as 0", [](std::vector<SPair>& p) { SetValue(p, 21, "P21|AN2|1"); }, "",
         "Parm#: 21 MaxLen  is incorrect [300]."},
        {"value refused by its type", [](std::vector<SPair>& p) { SetValue(p, 3, "P3|NS1|4|4|00A2|more"); }, "",
         "Parm#: 3 failed to Validate (1) [P3|NS1|4|4|00A2|more]"},
        {"value too long", [](std::vector<SPair>& p) { SetValue(p, 1, "P1|AN1|11|11|RVZMERCH0012"); }, "",
         "Parm#: 1 failed to Validate (1) [P1|AN1|11|11|RVZMERCH0012]"},
        {"missing value", [](std::vector<SPair>& p) { SetValue(p, 9, "P9|YN1|0|0"); }, "",
         "Parm#: 9 failed to Validate (1) [P9|YN1|0|0]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<SPair> pairs = GoodPairs();
        if (c.edit) {
            c.edit(pairs);
        }
        CParamMap map;
        map.SetAt(1, CParamEntry(CParamType("AN1", 1, 1), "LEFT", "X")); // emptied by every call
        CParamMessage message;
        EXPECT_FALSE(message.Parse(Join(pairs, c.extra), map, m_Store));
        EXPECT_EQ(message.m_ParseError, c.error);
        EXPECT_EQ(message.m_ServiceError, "");
        EXPECT_EQ(map.GetCount(), 0u);
    }
}

TEST_F(ParamMessageTest, GoodMessageYieldsTheDefinitionsWithTheReceivedValues) {
    std::vector<SPair> pairs = GoodPairs();
    SetValue(pairs, 3, "ignored|NS1|04|4|0042"); // "04" is the minimum 4
    SetValue(pairs, 7, "x|AN2|1|50|sd.example/q?a=1;b=2");
    std::swap(pairs[0], pairs[21]); // any order
    const std::string text = Join(pairs) + kFs + "junk without equals" + kFs + "500=a|b|c|d|ANSWER|e" + kFs +
                             "510=a|b|c|d|" + kFs + "500=a|b|c|d|LATER";
    CParamMap map;
    CParamMessage message;
    ASSERT_TRUE(message.Parse(text, map, m_Store)) << message.m_ParseError;
    EXPECT_EQ(message.m_ChallengeAnswer, "LATER"); // a later pair with the same key replaces the earlier
    EXPECT_EQ(message.m_ServiceError, "");
    EXPECT_EQ(message.m_ParseError, "");

    CParamSettings defaults;
    defaults.BuildDefaults();
    ASSERT_EQ(map.GetCount(), 22u);
    for (const auto& [index, definition] : defaults.GetParamMap().GetEntries()) {
        const CParamEntry* entry = map.FindEntry(index);
        ASSERT_NE(entry, nullptr) << index;
        EXPECT_EQ(entry->GetName(), definition.GetName()) << index; // not item 1
        EXPECT_TRUE(entry->GetType() == definition.GetType()) << index;
    }
    EXPECT_EQ(map.GetValue(kParamMerchantId), "RVZMERCH001");
    EXPECT_EQ(map.GetValue(kParamTerminalId), "0042");
    EXPECT_EQ(map.GetValue(kParamPrimaryUrl), "sd.example/q?a=1,b=2"); // ";" arrives as ","
    EXPECT_EQ(map.GetValue(kParamLaneIds), "1$2$3");

    // Storing is the caller's step.
    CParamSettings current = m_Store.GetParams();
    EXPECT_TRUE(current.GetParamMap().Equals(defaults.GetParamMap()));
}

TEST_F(ParamMessageTest, LastPairMayEndWithoutSeparator) {
    std::string text = Join(GoodPairs());
    text.pop_back();
    CParamMap map;
    CParamMessage message;
    EXPECT_TRUE(message.Parse(text, map, m_Store)) << message.m_ParseError;
    EXPECT_EQ(map.GetValue(kParamLaneIds), "1$2$3");
}

TEST_F(ParamMessageTest, ServiceErrorEndsTheParseBeforeAnyCheck) {
    CParamMap map;
    CParamMessage message;
    EXPECT_FALSE(message.Parse("500=||||ANSWER" + kFs + "510=x|x|x|x|Device not registered|y" + kFs, map, m_Store));
    EXPECT_EQ(message.m_ServiceError, "Device not registered");
    EXPECT_EQ(message.m_ChallengeAnswer, "ANSWER");
    EXPECT_EQ(message.m_ParseError, "");
    EXPECT_EQ(map.GetCount(), 0u);
}

TEST_F(ParamMessageTest, MessageWithoutControlPairsIsNoErrorInItself) {
    CParamMap map;
    CParamMessage message;
    EXPECT_TRUE(message.Parse(Join(GoodPairs()), map, m_Store));
    EXPECT_EQ(message.m_ChallengeAnswer, "");
    EXPECT_FALSE(message.Parse("", map, m_Store));
    EXPECT_EQ(message.m_ParseError, "Expected 22 Parms Got 0");
}
