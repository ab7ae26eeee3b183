#include "kxlib/kxPathHelpers.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/ScopedEnvironment.h"
#include "common/ScopedTimeZone.h"
#include "common/TempDirTest.h"
#include "common/TestClock.h"
#include "kxlib/PeImageBuilder.h"
#include "kxlib/kxTestSupport.h"

namespace fs = std::filesystem;
using kx_test::Texts;
using kx_test::ThrownText;

namespace {

constexpr uint64_t kUnixEpochFileTime = 116444736000000000ULL;

// The file time of a UTC calendar time, counted in whole days (system_clock cannot reach 1601 or 9999).
uint64_t FileTime(int year, int month, int day, int hour, int minute, int second, int ms) {
    using namespace std::chrono;
    const int64_t days = sys_days(std::chrono::year(year) / month / day).time_since_epoch().count() + 134774;
    const int64_t seconds = days * 86400 + hour * 3600 + minute * 60 + second;
    return static_cast<uint64_t>(seconds) * 10000000 + static_cast<uint64_t>(ms) * 10000;
}

std::chrono::system_clock::time_point Utc(int year, int month, int day, int hour, int minute, int second, int ms) {
    using namespace std::chrono;
    return sys_days(std::chrono::year(year) / month / day) + hours(hour) + minutes(minute) + seconds(second) +
           milliseconds(ms);
}

uint64_t FileTimeOf(std::chrono::system_clock::time_point t) {
    using namespace std::chrono;
    return kUnixEpochFileTime + static_cast<uint64_t>(duration_cast<nanoseconds>(t.time_since_epoch()).count() / 100);
}

class kxPathHelpersTest : public TempDirTest {};

} // namespace

TEST(kxPathHelpers, SplitPathCutsAtEitherSeparator) {
    const struct {
        const char* Path;
        std::vector<std::string> Parts;
        std::vector<std::string> Kept;
    } cases[] = {
        {"C:\\a\\b", {"C:", "a", "b"}, {"C:\\", "a\\", "b"}},
        {"/usr/lib/", {"", "usr", "lib"}, {"/", "usr/", "lib/"}},
        {"a\\\\b/c", {"a", "", "b", "c"}, {"a\\", "\\", "b/", "c"}},
        {"name", {"name"}, {"name"}},
        {"", {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Path);
        std::vector<kxString> parts{kxString("stale")};
        EXPECT_EQ(SplitPath(c.Path, parts, false), static_cast<int>(c.Parts.size()));
        EXPECT_EQ(Texts(parts), c.Parts);
        EXPECT_EQ(SplitPath(c.Path, parts, true), static_cast<int>(c.Kept.size()));
        EXPECT_EQ(Texts(parts), c.Kept);
    }
}

TEST(kxPathHelpers, EnvironmentTextsComeWhole) {
    const std::string big(5000, 'v');
    CScopedEnvironmentVariable bigValue("KX_TEST_BIG", big.c_str());
    CScopedEnvironmentVariable emptyValue("KX_TEST_EMPTY", "");
    bool found = false;
    EXPECT_EQ(GetEnvironmentText("KX_TEST_BIG", &found), big);
    EXPECT_TRUE(found);
    EXPECT_EQ(GetEnvironmentText("KX_TEST_EMPTY", &found), "");
    EXPECT_FALSE(found);
    EXPECT_EQ(GetEnvironmentText("KX_TEST_UNSET_VARIABLE", &found), "");
    EXPECT_FALSE(found);
    EXPECT_EQ(GetEnvironmentText("", &found), "");
    EXPECT_FALSE(found);
}

// The command shell is read once, at the first call of the process, so each case runs in a process of its own:
// a death-test child that runs this test again from its start, where nothing has asked for the shell yet.
TEST(kxPathHelpersDeathTest, TheCommandShellIsReadOnceFromShellElseIsBinSh) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const struct {
        const char* Name;
        const char* Shell; // null: not set
        const char* FullPath;
        const char* FileName;
    } cases[] = {
        {"set", "/opt/tools/zsh", "/opt/tools/zsh", "zsh"},
        {"empty", "", "/bin/sh", "sh"},
        {"unset", nullptr, "/bin/sh", "sh"},
    };
    for (const auto& c : cases) {
        EXPECT_EXIT(
            {
                CScopedEnvironmentVariable shell("SHELL", c.Shell);
                const std::string full = GetCommandShell(true, true).Str();
                const std::string name = GetCommandShell(false, false).Str();
                CScopedEnvironmentVariable later("SHELL", "/changed/later/bash");
                const std::string again = GetCommandShell(true, false).Str();
                std::fprintf(stderr, "full %s, name %s, again %s\n", full.c_str(), name.c_str(), again.c_str());
                std::_Exit(full == c.FullPath && name == c.FileName && again == c.FullPath ? 0 : 1);
            },
            ::testing::ExitedWithCode(0), "")
            << c.Name;
    }
}

TEST(kxPathHelpers, FileTimePartsAndDosTimes) {
    const struct {
        uint64_t Time;
        kxDateParts Fields;
    } cases[] = {
        {0, {1601, 1, 1, 0, 0, 0, 0}},
        {kUnixEpochFileTime, {1970, 1, 1, 0, 0, 0, 0}},
        {FileTime(2000, 2, 29, 23, 59, 59, 999), {2000, 2, 29, 23, 59, 59, 999}},
        {FileTime(2100, 3, 1, 12, 0, 0, 1), {2100, 3, 1, 12, 0, 0, 1}},
        {FileTime(9999, 12, 31, 23, 59, 59, 0), {9999, 12, 31, 23, 59, 59, 0}},
    };
    for (const auto& c : cases) {
        kxDateParts f;
        ASSERT_TRUE(FileTimeToParts(c.Time, f));
        SCOPED_TRACE(c.Fields.Year);
        EXPECT_EQ(f.Year, c.Fields.Year);
        EXPECT_EQ(f.Month, c.Fields.Month);
        EXPECT_EQ(f.Day, c.Fields.Day);
        EXPECT_EQ(f.Hour, c.Fields.Hour);
        EXPECT_EQ(f.Minute, c.Fields.Minute);
        EXPECT_EQ(f.Second, c.Fields.Second);
        EXPECT_EQ(f.Millisecond, c.Fields.Millisecond);
    }
    kxDateParts f;
    EXPECT_FALSE(FileTimeToParts(FileTime(9999, 12, 31, 0, 0, 0, 0) + 864000000000ULL, f));

    uint16_t date = 0;
    uint16_t time = 0;
    ASSERT_TRUE(FileTimeToDosDateTime(FileTime(1980, 1, 1, 0, 0, 0, 0), date, time));
    EXPECT_EQ(date, 0x21);
    EXPECT_EQ(time, 0);
    ASSERT_TRUE(FileTimeToDosDateTime(FileTime(2107, 12, 31, 23, 59, 59, 0), date, time));
    EXPECT_EQ(date, (127 << 9) | (12 << 5) | 31);
    EXPECT_EQ(time, (23 << 11) | (59 << 5) | 29);
    EXPECT_FALSE(FileTimeToDosDateTime(FileTime(1979, 12, 31, 23, 59, 59, 0), date, time));
    EXPECT_FALSE(FileTimeToDosDateTime(FileTime(2108, 1, 1, 0, 0, 0, 0), date, time));
}

TEST(kxPathHelpers, NowComesFromTheClockSeamInEitherZone) {
    CTestClock clock(1000, Utc(2012, 3, 15, 8, 5, 9, 7));
    CScopedClock scoped(clock);
    CScopedTimeZone zone("XST-2"); // two hours east of UTC, no daylight saving
    const uint64_t universal = FileTimeOf(Utc(2012, 3, 15, 8, 5, 9, 7));
    EXPECT_EQ(GetNowFileTime(true), universal);
    EXPECT_EQ(GetNowFileTime(false), universal + 2ULL * 3600 * 10000000);

    uint16_t date = 1;
    uint16_t time = 1;
    GetNowDosDateTime(&date, &time, true);
    EXPECT_EQ(date, (32 << 9) | (3 << 5) | 15);
    EXPECT_EQ(time, (8 << 11) | (5 << 5) | 4);
    GetNowDosDateTime(&date, &time, false);
    EXPECT_EQ(time, (10 << 11) | (5 << 5) | 4);
    uint16_t untouched = 77;
    GetNowDosDateTime(&untouched, nullptr, true);
    EXPECT_EQ(untouched, 77);
}

TEST(kxPathHelpers, WildcardsMatchAsTheListingDoes) {
    const struct {
        const char* Pattern;
        const char* Name;
        bool Matches;
    } cases[] = {
        {"*", "anything", true},  {"*.*", "noextension", true},
        {"*.txt", "a.txt", true}, {"*.txt", "a.txt.bak", false},
        {"a?c", "abc", true},     {"a?c", "ac", false},
        {"*b*", "abc", true},     {"*b*b", "abcb", true},
        {"*b*b", "abcbc", false}, {"A*", "abc", false},
        {"", "", true},           {"x*", "x", true},
        {"**", "", true},         {"?", "", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MatchesWildcards(c.Pattern, c.Name), c.Matches) << c.Pattern << " " << c.Name;
    }
}

TEST_F(kxPathHelpersTest, FindFilesListsMatchesWithAttributesAndTimes) {
    fs::create_directory("d");
    fs::create_directory("d/sub");
    WriteFileBytes("d/b.txt", "b");
    WriteFileBytes("d/a.txt", "a");
    WriteFileBytes("d/.hidden", "h");
    WriteFileBytes("d/locked.dat", "l");
    fs::permissions("d/locked.dat", fs::perms::owner_read);
    fs::create_symlink("sub", "d/link");
    const auto written = Utc(2011, 6, 1, 12, 30, 45, 0);
    fs::last_write_time("d/a.txt", std::chrono::file_clock::from_sys(written));

    std::vector<kxFoundFile> found;
    ASSERT_EQ(FindFiles("d/*", found), 6u);
    std::vector<std::string> names;
    for (const kxFoundFile& f : found) {
        names.push_back(f.Name.Str());
    }
    EXPECT_EQ(names, (std::vector<std::string>{".hidden", "a.txt", "b.txt", "link", "locked.dat", "sub"}));
    EXPECT_EQ(found[0].Attributes, kxAttributeHidden);
    EXPECT_EQ(found[1].Attributes, kxAttributeNormal);
    EXPECT_EQ(found[1].LastWriteTime, FileTimeOf(written));
    EXPECT_NE(found[1].CreationTime, 0u);
    EXPECT_EQ(found[3].Attributes, kxAttributeDirectory | kxAttributeReparsePoint);
    EXPECT_EQ(found[4].Attributes, kxAttributeReadOnly);
    EXPECT_EQ(found[5].Attributes, kxAttributeDirectory);

    found.clear();
    EXPECT_EQ(FindFiles("d/*.txt", found), 2u);
    EXPECT_EQ(FindFiles("d/a.txt", found), 1u); // no wildcard: the one entry, appended
    EXPECT_EQ(found.back().Name, "a.txt");
    EXPECT_EQ(FindFiles("d/missing", found), 0u);
    EXPECT_EQ(FindFiles("d/", found), 0u);
    EXPECT_EQ(FindFiles("d/.", found), 0u);
    EXPECT_EQ(FindFiles("", found), 0u);
    fs::current_path("d");
    EXPECT_EQ(FindFiles("*.txt", found), 2u); // no folder: the current one
}

TEST_F(kxPathHelpersTest, FileTimesOfOneFile) {
    WriteFileBytes("old.txt", "x");
    fs::create_directory("folder");
    const auto written = Utc(2011, 6, 1, 12, 30, 45, 0);
    fs::last_write_time("old.txt", std::chrono::file_clock::from_sys(written));
    EXPECT_EQ(GetFileTimeOf("old.txt", kxLastWriteTime), FileTimeOf(written));
    EXPECT_EQ(GetFileTimeOf("*.txt", kxLastWriteTime), FileTimeOf(written)); // the first match
    EXPECT_NE(GetFileTimeOf("old.txt", kxLastAccessTime), 0u);
    EXPECT_NE(GetFileTimeOf("old.txt", kxCreationTime), 0u);
    EXPECT_EQ(GetFileTimeOf("old.txt", 3), 0u);
    EXPECT_EQ(GetFileTimeOf("folder", kxLastWriteTime), 0u);
    EXPECT_EQ(GetFileTimeOf("missing", kxLastWriteTime), 0u);

    uint16_t date = 0;
    uint16_t time = 0;
    ASSERT_TRUE(GetFileDosDateTime("old.txt", kxLastWriteTime, &date, &time));
    EXPECT_EQ(date, (31 << 9) | (6 << 5) | 1);
    EXPECT_EQ(time, (12 << 11) | (30 << 5) | 22);
    EXPECT_FALSE(GetFileDosDateTime("old.txt", kxLastWriteTime, &date, nullptr));
    EXPECT_FALSE(GetFileDosDateTime("folder", kxLastWriteTime, &date, &time));
    fs::last_write_time("old.txt", std::chrono::file_clock::from_sys(Utc(1975, 1, 1, 0, 0, 0, 0)));
    EXPECT_FALSE(GetFileDosDateTime("old.txt", kxLastWriteTime, &date, &time));
}

TEST_F(kxPathHelpersTest, ImageCheckExaminesOnlyExecutablesAndNamesTheFile) {
    WriteFileBytes("tool.EXE", "not an image");
    WriteFileBytes("good.dll", pe_builder::Image(""));
    WriteFileBytes("notes.txt", "not an image either");
    EXPECT_TRUE(kxImageCheck("good.dll"));
    EXPECT_TRUE(kxImageCheck("notes.txt"));
    const struct {
        const char* Path;
        const char* Message;
    } refusals[] = {
        {"tool.EXE",
         "tool.EXE is not a valid Win32 application file format (not in correct \"Portable Executable\" format)."},
        {"missing.exe", "Cannot find file (missing.exe)."},
        {"", "Filename cannot be empty."},
    };
    for (const auto& r : refusals) {
        EXPECT_EQ(ThrownText([&] { kxImageCheck(r.Path); }), r.Message);
    }
}

TEST_F(kxPathHelpersTest, DirectoryListingsCarryLocalDates) {
    CScopedTimeZone zone("XST-2"); // two hours east of UTC, no daylight saving
    fs::create_directory("d");
    WriteFileBytes("d/a.txt", "a");
    WriteFileBytes("d/b.txt", "b");
    WriteFileBytes("d/c.dat", "c");
    fs::last_write_time("d/a.txt", std::chrono::file_clock::from_sys(Utc(2011, 6, 1, 12, 30, 45, 678)));

    std::vector<kxDirectoryEntry> entries;
    EXPECT_EQ(kxDirectoryList("d", "*.txt", entries), 2);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].Name, "a.txt");
    EXPECT_EQ(entries[0].Attributes, kxAttributeNormal);
    EXPECT_TRUE(entries[0].LastWriteTime == kxDate(2011, 6, 1, 14, 30, 45, 678));
    EXPECT_TRUE(entries[0].CreationTime.HasDate());
    EXPECT_TRUE(entries[0].LastAccessTime.HasDate());
    EXPECT_EQ(ListDirectoryOf("d/*.*", entries), 3); // appended
    EXPECT_EQ(entries.size(), 5u);
    EXPECT_EQ(kxDirectoryList("missing", "*", entries), 0);
    EXPECT_EQ(ListDirectoryOf("", entries), 0);
    fs::current_path("d");
    EXPECT_EQ(ListDirectoryOf("*.dat", entries), 1);
    EXPECT_EQ(kxDirectoryList("", "*.txt", entries), 2); // no folder: the current one
}
