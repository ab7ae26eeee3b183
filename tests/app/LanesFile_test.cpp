// The lanes file and the lane ids of parameter 21: splitting, the checks the Lane Setup list makes, and the
// file's exact lines, its reading rules and its crash-safe rewrite.

#include "app/LanesFile.h"

#include <filesystem>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/LogFolder.h"
#include "common/TempDirTest.h"
#include "host/HostTestSupport.h"

using ::testing::Contains;

namespace {
const std::string kFs(1, '\x1c');

std::vector<std::string> Values(const CItemMap& items) {
    std::vector<std::string> values;
    int expectedKey = 1;
    for (const auto& [key, value] : items) {
        EXPECT_EQ(key, expectedKey++);
        values.push_back(value);
    }
    return values;
}

class LanesFileTest : public TempDirTest {
protected:
    void SetUp() override { PrepareLogFolder(); }
};
} // namespace

TEST(LaneIdsTest, SplitToMapAndTheListChecks) {
    struct Case {
        std::string text;
        bool split;
        std::vector<std::string> ids;
        std::string problem;
    };
    const Case cases[] = {
        {"1$2$3", true, {"1", "2", "3"}, ""},
        {"1$$3", true, {"1", "", "3"}, kLaneIdsMalformedText},
        {"1$2$", true, {"1", "2"}, ""},
        {"$", true, {""}, kLaneIdsMalformedText},
        {"$1", true, {"", "1"}, kLaneIdsMalformedText},
        {"12345678$A", true, {"12345678", "A"}, ""},
        {"123456789", true, {"123456789"}, kLaneIdsMalformedText},
        {"LANE 7", true, {"LANE 7"}, ""},
        {"", false, {}, kNoLaneIdsText},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        CItemMap ids = {{9, "left over"}};
        EXPECT_EQ(SplitToMap('$', c.text, ids), c.split);
        EXPECT_EQ(Values(ids), c.ids);
        EXPECT_EQ(CheckLaneIds(c.text, ids), c.problem);
        EXPECT_EQ(Values(ids), c.ids);
    }
}

TEST_F(LanesFileTest, WritesOneCrLfLinePerLaneAndReadsItBack) {
    const CStringMap lanes = {{"1", "Front counter"}, {"2", ""}, {"12345678", "Drive-through = window"}};
    ASSERT_TRUE(CLanesFile::WriteLanesFile(lanes));
    EXPECT_EQ(ReadFileBytes(kLanesFileName),
              "1" + kFs + "Front counter\r\n" + "12345678" + kFs + "Drive-through = window\r\n" + "2" + kFs + "\r\n");
    CStringMap read = {{"old", "entry"}};
    EXPECT_TRUE(CLanesFile::ReadLanesFile(read));
    EXPECT_EQ(read, lanes);
    // Nothing but the file itself is left behind.
    int entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(".")) {
        ++entries;
    }
    EXPECT_EQ(entries, 2); // the file and the log folder
}

TEST_F(LanesFileTest, ReadingRules) {
    struct Case {
        const char* name;
        std::string bytes;
        CStringMap lanes;
    };
    const Case cases[] = {
        {"line without FS skipped", "no separator\r\n1" + kFs + "A\r\n", {{"1", "A"}}},
        {"description after the first FS", "1" + kFs + "A" + kFs + "B\r\n", {{"1", "A" + kFs + "B"}}},
        {"FS last gives an empty description", "1" + kFs + "\r\n", {{"1", ""}}},
        {"stops at the first empty line", "1" + kFs + "A\r\n\r\n2" + kFs + "B\r\n", {{"1", "A"}}},
        {"a later line wins", "1" + kFs + "A\r\n1" + kFs + "B\r\n", {{"1", "B"}}},
        {"LF line ends and a last line without one", "1" + kFs + "A\n2" + kFs + "B", {{"1", "A"}, {"2", "B"}}},
        {"empty file", "", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteFileBytes(kLanesFileName, c.bytes);
        CStringMap read;
        EXPECT_TRUE(CLanesFile::ReadLanesFile(read));
        EXPECT_EQ(read, c.lanes);
    }
}

TEST_F(LanesFileTest, AbsentFileHasNoLanes) {
    CStringMap read = {{"1", "stale"}};
    EXPECT_TRUE(CLanesFile::ReadLanesFile(read));
    EXPECT_TRUE(read.empty());
}

TEST_F(LanesFileTest, AFileThatExistsButCannotBeReadIsToldApartFromAnAbsentOne) {
    // Root reads past any mode, so the file that cannot be read is a folder in its place.
    std::filesystem::create_directories(std::filesystem::path(kLanesFileName) / "inside");
    CStringMap read = {{"1", "stale"}};
    EXPECT_FALSE(CLanesFile::ReadLanesFile(read));
    EXPECT_TRUE(read.empty());
    // Cause 5: access denied.
    EXPECT_THAT(LogEntries(), Contains("Exception Reading Lanes File 5"));
}

TEST_F(LanesFileTest, EditingOneLaneKeepsTheOthers) {
    ASSERT_TRUE(CLanesFile::WriteLanesFile({{"1", "A"}, {"2", "B"}}));
    for (const auto& [id, description] : {std::pair<std::string, std::string>{"2", "Bar"}, {"3", "New"}}) {
        CStringMap lanes;
        ASSERT_TRUE(CLanesFile::ReadLanesFile(lanes));
        lanes[id] = description;
        ASSERT_TRUE(CLanesFile::WriteLanesFile(lanes));
    }
    CStringMap read;
    ASSERT_TRUE(CLanesFile::ReadLanesFile(read));
    EXPECT_EQ(read, (CStringMap{{"1", "A"}, {"2", "Bar"}, {"3", "New"}}));
}

TEST_F(LanesFileTest, ClearLeavesAnEmptyFile) {
    ASSERT_TRUE(CLanesFile::WriteLanesFile({{"1", "A"}}));
    EXPECT_TRUE(CLanesFile::ClearLanesFile());
    EXPECT_TRUE(std::filesystem::exists(kLanesFileName));
    EXPECT_EQ(ReadFileBytes(kLanesFileName), "");
}

TEST_F(LanesFileTest, FailedWriteIsReportedAndLeavesTheOldFile) {
    struct Case {
        const char* name;
        std::string folder;
        std::string logLine; // with the file error's cause code
    };
    const Case cases[] = {
        // A folder in the file's place cannot be replaced by a file: the write fails whole.
        {"a folder in the way", "blocked", "Exception Writing Lanes File 5"},
        // Not even the temporary file can be made.
        {"no folder to write in", "missing", "Exception Writing Lanes File 2"},
    };
    std::filesystem::create_directories("blocked/LanesInfo.dat/inside");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::filesystem::path file = std::filesystem::path(c.folder) / kLanesFileName;
        EXPECT_FALSE(CLanesFile::WriteLanesFile({{"1", "B"}}, file));
        EXPECT_EQ(CountLogLines(c.logLine), 1);
    }
    EXPECT_TRUE(std::filesystem::is_directory("blocked/LanesInfo.dat/inside"));
    int entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("blocked")) {
        ++entries;
    }
    EXPECT_EQ(entries, 1); // no temporary file left behind
    EXPECT_FALSE(std::filesystem::exists("missing"));
}
