#include "foundation/ParamStore.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/LogFolder.h"
#include "common/ParamSets.h"
#include "common/RecordingPresenter.h"
#include "common/TempDirTest.h"
#include "common/TestClock.h"
#include "foundation/AppMode.h"
#include "foundation/Logger.h"
#include "foundation/Presenter.h"

namespace {

// A default set with each (index, value) stored through the entry's own validation.
CParamSettings DefaultsWith(const ParamValues& values) {
    std::string refused;
    const CParamSettings settings = ParamsWith(DefaultParams(), values, &refused);
    EXPECT_EQ(refused, "");
    return settings;
}

// Both URLs at 50, the lane ids at 300 and the dial prefix at 24 characters: exactly 500 characters serialised.
CParamSettings LongestStorableSet() {
    return DefaultsWith({{kParamPrimaryUrl, "https://" + std::string(42, 'p')},
                         {kParamSecondaryUrl, "https://" + std::string(42, 's')},
                         {kParamLaneIds, std::string(300, '7')},
                         {kParamDialPrefix, std::string(24, '9')}});
}

bool SameSet(const CParamSettings& a, const CParamSettings& b) {
    return a.GetVersion() == b.GetVersion() && a.GetParamMap().Equals(b.GetParamMap());
}

class ParamStoreTest : public TempDirTest {
protected:
    // Two readers read through |readIsWhole| while the store switches between |first| and |second| 20 times;
    // the number of reads that were not wholly one set or the other.
    int TornReadsWhileSwitching(const CParamSettings& first, const CParamSettings& second,
                                const std::function<bool()>& readIsWhole) {
        std::atomic<bool> done{false};
        std::atomic<int> torn{0};
        auto reader = [&] {
            while (!done.load()) {
                if (!readIsWhole()) {
                    ++torn;
                }
            }
        };
        std::thread readerA(reader);
        std::thread readerB(reader);
        for (int round = 0; round < 20; ++round) {
            EXPECT_TRUE(m_Store.SetParams(round % 2 == 0 ? second : first));
        }
        done = true;
        readerA.join();
        readerB.join();
        return torn.load();
    }

    CParamStore m_Store;
};

} // namespace

TEST_F(ParamStoreTest, SetParamsSavesTheWholeTextThenMakesItCurrent) {
    const CParamSettings settings = DefaultsWith({{kParamMerchantId, "MID00000042"}, {kParamTerminalId, "0042"}});
    ASSERT_TRUE(m_Store.SetParams(settings));
    EXPECT_EQ(ReadFileBytes(kParamStoreFileName), settings.ToString());
    EXPECT_TRUE(SameSet(m_Store.GetParams(), settings));
    EXPECT_EQ(std::filesystem::status(kParamStoreFileName).permissions() & std::filesystem::perms::others_read,
              std::filesystem::perms::none);
}

TEST_F(ParamStoreTest, FiveHundredCharactersAreSavedFiveHundredTwelveOverflow) {
    const CParamSettings longest = LongestStorableSet();
    ASSERT_EQ(longest.ToString().size(), 500u);
    ASSERT_TRUE(m_Store.SetParams(longest));
    EXPECT_EQ(ReadFileBytes(kParamStoreFileName), longest.ToString());

    CParamSettings tooLong = longest;
    CParamMap map = tooLong.GetParamMap();
    ASSERT_TRUE(map.FindEntry(kParamPassword)->SetValue("ABCDEFGHIJKL"));
    tooLong.SetParamMap(map);
    ASSERT_EQ(tooLong.ToString().size(), 512u);

    EXPECT_FALSE(m_Store.SetParams(tooLong));
    EXPECT_EQ(m_Store.GetLastErrorCode(), 10002);
    EXPECT_EQ(m_Store.GetLastErrorText(), "Param Settings would overflow");
    EXPECT_TRUE(SameSet(m_Store.GetParams(), longest));
    EXPECT_EQ(ReadFileBytes(kParamStoreFileName), longest.ToString());
}

TEST_F(ParamStoreTest, ShorterTextLeavesNothingOfTheLongerOne) {
    ASSERT_TRUE(m_Store.SetParams(LongestStorableSet()));
    ASSERT_TRUE(m_Store.ClearParams());
    EXPECT_EQ(ReadFileBytes(kParamStoreFileName), DefaultParams().ToString());
    EXPECT_TRUE(SameSet(m_Store.GetParams(), DefaultParams()));
}

TEST_F(ParamStoreTest, SetThatCannotBeWrittenNeverBecomesCurrent) {
    CParamStore store("no-such-folder/MerchantParams.dat");
    EXPECT_TRUE(store.LoadParams()); // an absent file reads as empty; only the rewrite fails
    const CParamSettings before = store.GetParams();
    EXPECT_FALSE(store.SetParams(DefaultsWith({{kParamMerchantId, "MID00000042"}})));
    EXPECT_EQ(store.GetLastErrorCode(), kParamStoreErrorWriteFailed);
    EXPECT_FALSE(store.GetLastErrorText().empty());
    EXPECT_TRUE(SameSet(store.GetParams(), before));
}

TEST_F(ParamStoreTest, SetThatWouldNotReadBackIsRefused) {
    const CParamSettings saved = DefaultsWith({{kParamMerchantId, "MID00000042"}});
    ASSERT_TRUE(m_Store.SetParams(saved));

    // A set without "AQUIRE DID" would move every later value one parameter down at the next load.
    CParamMap incomplete;
    for (const auto& [index, entry] : DefaultParams().GetParamMap().GetEntries()) {
        if (index != kParamAquireDid) {
            incomplete.SetAt(index, entry);
        }
    }
    // An entry built directly, past the value test, with the separator inside its value.
    CParamMap separator = DefaultParams().GetParamMap();
    const CParamEntry* lanes = separator.FindEntry(kParamLaneIds);
    separator.SetAt(kParamLaneIds, CParamEntry(lanes->GetType(), lanes->GetName(), "1;2"));

    for (const CParamMap& map : {incomplete, separator}) {
        CParamSettings settings;
        settings.SetParamMap(map);
        EXPECT_FALSE(m_Store.SetParams(settings));
        EXPECT_EQ(m_Store.GetLastErrorCode(), kParamStoreErrorUnstorable);
        EXPECT_TRUE(SameSet(m_Store.GetParams(), saved));
        EXPECT_EQ(ReadFileBytes(kParamStoreFileName), saved.ToString());
    }
}

TEST_F(ParamStoreTest, GetParamsHandsOutAPrivateCopy) {
    ASSERT_TRUE(m_Store.ClearParams());
    CParamSettings copy = m_Store.GetParams();
    CParamMap map = copy.GetParamMap();
    ASSERT_TRUE(map.FindEntry(kParamMerchantId)->SetValue("MID00000042"));
    copy.SetParamMap(map);
    EXPECT_EQ(m_Store.GetParams().GetParamMap().GetValue(kParamMerchantId), "00000000000");
}

TEST_F(ParamStoreTest, LoadTakesSavedValuesAndDefaultsForInvalidOnes) {
    std::string text = DefaultsWith({{kParamMerchantId, "MID00000042"}, {kParamNumberOfLanes, "4"}}).ToString();
    text.replace(text.find(";0000;"), 6, ";12X4;"); // an unreadable terminal id
    WriteFileBytes(kParamStoreFileName, text);

    ASSERT_TRUE(m_Store.LoadParams());
    const CParamMap map = m_Store.GetParams().GetParamMap();
    EXPECT_EQ(map.GetCount(), 22u);
    EXPECT_EQ(map.GetValue(kParamMerchantId), "MID00000042");
    EXPECT_EQ(map.GetValue(kParamNumberOfLanes), "4");
    EXPECT_EQ(map.GetValue(kParamTerminalId), "0000");
    EXPECT_EQ(ReadFileBytes(kParamStoreFileName), text); // a readable file of our version is not rewritten
}

TEST_F(ParamStoreTest, LoadReplacesAbsentEmptyOrForeignTextWithTheDefaults) {
    const std::string foreign = "3;" + DefaultParams().ToString().substr(2);
    for (const char* name : {"absent", "empty", "foreign"}) {
        SCOPED_TRACE(name);
        std::filesystem::remove(kParamStoreFileName);
        if (std::string(name) == "empty") {
            WriteFileBytes(kParamStoreFileName, "");
        } else if (std::string(name) == "foreign") {
            WriteFileBytes(kParamStoreFileName, foreign);
        }
        CParamStore store;
        ASSERT_TRUE(store.LoadParams());
        EXPECT_TRUE(SameSet(store.GetParams(), DefaultParams()));
        EXPECT_EQ(ReadFileBytes(kParamStoreFileName), DefaultParams().ToString());
    }
    // Nothing was kept aside for the absent and the empty file.
    int kept = 0;
    for (const auto& entry : std::filesystem::directory_iterator(".")) {
        kept += entry.path().filename().string().rfind(std::string(kParamStoreFileName) + ".bad-", 0) == 0;
    }
    EXPECT_EQ(kept, 1);
}

TEST_F(ParamStoreTest, ForeignFileIsKeptAsideBeforeTheDefaultsAreWritten) {
    std::filesystem::create_directory(CLogger::kFolderName);
    // 2026-03-07 10:40:00 UTC on the clock seam names the copies.
    CTestClock clock(1000000, std::chrono::system_clock::time_point(std::chrono::seconds(1772880000)));
    CScopedClock scope(clock);
    const std::string older = "3;" + DefaultsWith({{kParamMerchantId, "MID00000042"}}).ToString().substr(2);
    const std::string garbage = "\x01\x02 not a parameter text\n";
    for (const std::string& text : {older, garbage}) {
        WriteFileBytes(kParamStoreFileName, text);
        std::filesystem::permissions(kParamStoreFileName, std::filesystem::perms(0600));
        CParamStore store;
        ASSERT_TRUE(store.LoadParams());
        EXPECT_TRUE(SameSet(store.GetParams(), DefaultParams()));
        EXPECT_EQ(ReadFileBytes(kParamStoreFileName), DefaultParams().ToString());
    }
    // Two in the same second: both survive, byte for byte and with the file's own mode (it holds the password).
    const std::string first = std::string(kParamStoreFileName) + ".bad-20260307104000";
    EXPECT_EQ(ReadFileBytes(first), older);
    EXPECT_EQ(ReadFileBytes(first + "-1"), garbage);
    EXPECT_EQ(std::filesystem::status(first).permissions(), std::filesystem::perms(0600));
    const std::string log = LogText();
    EXPECT_THAT(log, ::testing::HasSubstr("Param Settings: MerchantParams.dat is not of version 4; it is kept as " +
                                          first + " and the defaults are written."));
    EXPECT_THAT(log, ::testing::HasSubstr("it is kept as " + first + "-1 and"));
}

TEST_F(ParamStoreTest, RefusedValuesAreLoggedWithTheirReasonButNeverThePassword) {
    std::filesystem::create_directory(CLogger::kFolderName);
    CParamSettings saved = DefaultsWith({{kParamMerchantId, "MID00000042"}});
    CParamMap map = saved.GetParamMap();
    const auto put = [&map](unsigned index, const std::string& value) {
        const CParamEntry* entry = map.FindEntry(index);
        map.SetAt(index, CParamEntry(entry->GetType(), entry->GetName(), value));
    };
    put(kParamTerminalId, "12X4");
    put(kParamPassword, "TooLongSecret");
    put(kParamLaneIds, "1\t2");
    saved.SetParamMap(map);
    WriteFileBytes(kParamStoreFileName, saved.ToString());

    ASSERT_TRUE(m_Store.LoadParams());
    EXPECT_EQ(m_Store.GetParams().GetParamMap().GetValue(kParamMerchantId), "MID00000042");
    const std::string log = LogText();
    EXPECT_THAT(log, ::testing::HasSubstr("Param Settings: No.3 TERMINAL ID \"12X4\" refused: it holds a character "
                                          "other than the digits 0-9; the default \"0000\" is used."));
    EXPECT_THAT(log, ::testing::HasSubstr("Param Settings: No.10 OVEX CLIENT/SERVER PASSWORD refused: its length 13 is "
                                          "outside 0..12; the default is used."));
    // A control character reaches the log as "?".
    EXPECT_THAT(log, ::testing::HasSubstr("No.21 LANE IDS \"1?2\" refused: it holds a character that is not "
                                          "printable; the default \"0\" is used."));
    EXPECT_THAT(log, ::testing::Not(::testing::HasSubstr("TooLongSecret")));
    // Only refused values are told, and the operator's file is left for them to mend.
    EXPECT_THAT(log, ::testing::Not(::testing::HasSubstr("MERCHANT ID")));
    EXPECT_EQ(ReadFileBytes(kParamStoreFileName), saved.ToString());
}

TEST_F(ParamStoreTest, UnreadableFileFailsTheLoadButLeavesDefaultsAndTheFile) {
    std::filesystem::create_directory(kParamStoreFileName); // opens, but cannot be read as text
    EXPECT_FALSE(m_Store.LoadParams());
    EXPECT_EQ(m_Store.GetLastErrorCode(), kParamStoreErrorReadFailed);
    EXPECT_FALSE(m_Store.GetLastErrorText().empty());
    EXPECT_TRUE(SameSet(m_Store.GetParams(), DefaultParams()));
    EXPECT_TRUE(std::filesystem::is_directory(kParamStoreFileName));
}

TEST_F(ParamStoreTest, RebuildErasesAndSavesTheDefaults) {
    ASSERT_TRUE(m_Store.SetParams(DefaultsWith({{kParamMerchantId, "MID00000042"}})));
    ASSERT_TRUE(m_Store.RebuildParams());
    EXPECT_EQ(ReadFileBytes(kParamStoreFileName), DefaultParams().ToString());
    EXPECT_TRUE(SameSet(m_Store.GetParams(), DefaultParams()));
}

TEST_F(ParamStoreTest, ReadersSeeEitherTheWholeOldOrTheWholeNewSet) {
    const CParamSettings first = DefaultsWith(
        {{kParamMerchantId, "AAAAAAAAAAA"}, {kParamTerminalId, "1111"}, {kParamLaneIds, std::string(300, 'a')}});
    const CParamSettings second = DefaultsWith(
        {{kParamMerchantId, "BBBBBBBBBBB"}, {kParamTerminalId, "2222"}, {kParamLaneIds, std::string(300, 'b')}});
    ASSERT_TRUE(m_Store.SetParams(first));
    EXPECT_EQ(TornReadsWhileSwitching(first, second,
                                      [&] {
                                          const CParamSettings seen = m_Store.GetParams();
                                          return SameSet(seen, first) || SameSet(seen, second);
                                      }),
              0);
}

TEST_F(ParamStoreTest, ValuesReadOneByOneComeFromTheCurrentSetAndTogetherFromOneSet) {
    const CParamSettings first = DefaultsWith({{kParamMerchantId, "AAAAAAAAAAA"}, {kParamTerminalId, "1111"}});
    const CParamSettings second = DefaultsWith({{kParamMerchantId, "BBBBBBBBBBB"}, {kParamTerminalId, "2222"}});
    EXPECT_EQ(m_Store.GetValue(kParamMerchantId), ""); // nothing loaded yet
    ASSERT_TRUE(m_Store.SetParams(first));
    EXPECT_EQ(m_Store.GetValue(kParamMerchantId), "AAAAAAAAAAA");
    EXPECT_EQ(m_Store.GetValues({kParamTerminalId, kParamMerchantId, kParamTerminalId}),
              (std::vector<std::string>{"1111", "AAAAAAAAAAA", "1111"}));
    EXPECT_EQ(TornReadsWhileSwitching(
                  first, second,
                  [&] {
                      const std::vector<std::string> seen = m_Store.GetValues({kParamMerchantId, kParamTerminalId});
                      return seen == std::vector<std::string>{"AAAAAAAAAAA", "1111"} ||
                             seen == std::vector<std::string>{"BBBBBBBBBBB", "2222"};
                  }),
              0);
}

// What CheckConfiguration tells the operator goes, with the headless presenter, to the log.
class CheckConfigurationTest : public ParamStoreTest {
protected:
    // The application makes the log folder at start-up; the logger writes nothing without it.
    CheckConfigurationTest() { std::filesystem::create_directory(CLogger::kFolderName); }
    void TearDown() override {
        AppModeFlags().SetStartedAsService(false);
        CLogger::Instance().Flush(); // this test's lines land in this test's folder
    }
};

TEST_F(CheckConfigurationTest, DefaultSetIsReportedAsNotSet) {
    ASSERT_TRUE(m_Store.ClearParams());
    EXPECT_FALSE(CheckConfiguration(m_Store));
    EXPECT_NE(LogText().find("Configuration not Set! - Use Setup | Merchant Parameters"), std::string::npos);
}

TEST_F(CheckConfigurationTest, AnyChangedValueMakesTheConfigurationUsable) {
    for (const auto& change : std::vector<std::pair<unsigned, std::string>>{
             {kParamMerchantId, "MID00000042"}, {kParamVerifySslCertificate, "N"}, {kParamLaneIds, "1"}}) {
        ASSERT_TRUE(m_Store.SetParams(DefaultsWith({change})));
        EXPECT_TRUE(CheckConfiguration(m_Store)) << change.first;
    }
    EXPECT_EQ(LogText().find("Configuration not Set!"), std::string::npos);
}

TEST_F(CheckConfigurationTest, NotSetIsAnOkBoxThatWaitsForTheOperator) {
    CRecordingPresenter presenter;
    CScopedPresenter scoped(presenter);
    ASSERT_TRUE(m_Store.ClearParams());
    EXPECT_FALSE(CheckConfiguration(m_Store));
    ASSERT_EQ(presenter.Boxes().size(), 1u);
    EXPECT_EQ(presenter.Boxes()[0].message, "Configuration not Set! - Use Setup | Merchant Parameters");
    EXPECT_EQ(presenter.Boxes()[0].kind, EBoxKind::Ok);
    EXPECT_EQ(presenter.Boxes()[0].defaultButton, kIdOk);
    EXPECT_EQ(presenter.Boxes()[0].timeoutMs, 0u);
}

TEST_F(CheckConfigurationTest, ServiceModeShowsNothingButStillLogsWhy) {
    CRecordingPresenter presenter;
    CScopedPresenter scoped(presenter);
    AppModeFlags().SetStartedAsService(true);
    ASSERT_TRUE(m_Store.ClearParams());
    // The caller learns what was told too: a service ends its start-up with it.
    std::string problem = "stale";
    EXPECT_FALSE(CheckConfiguration(m_Store, &problem));
    EXPECT_EQ(problem, "Configuration not Set! - Use Setup | Merchant Parameters");
    EXPECT_TRUE(presenter.Boxes().empty());
    ASSERT_TRUE(m_Store.SetParams(DefaultsWith({{kParamTerminalId, "0042"}})));
    EXPECT_TRUE(CheckConfiguration(m_Store, &problem));
    EXPECT_EQ(problem, "");
    EXPECT_NE(LogText().find("Configuration not Set! - Use Setup | Merchant Parameters"), std::string::npos);
}

TEST_F(CheckConfigurationTest, TheProcessStoreIsCheckedByDefault) {
    ASSERT_TRUE(CParamStore::Instance().LoadParams());
    EXPECT_FALSE(CheckConfiguration());
    ASSERT_TRUE(CParamStore::Instance().SetParams(DefaultsWith({{kParamTerminalId, "0042"}})));
    EXPECT_TRUE(CheckConfiguration());
    EXPECT_EQ(ReadFileBytes(kParamStoreFileName), DefaultsWith({{kParamTerminalId, "0042"}}).ToString());
}
