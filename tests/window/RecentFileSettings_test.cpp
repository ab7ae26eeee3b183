// The recent-file list read from the user's settings by the window's reader: the file it is in, the section and
// entry names, the four places, and settings that cannot be read. The user settings point at a temporary
// folder; the entries are written straight into the file the program is expected to read.

#include "window/RecentFileSettings.h"

#include <filesystem>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <QSettings>
#include <QString>

#include "app/RecentFileList.h"
#include "common/TempDirTest.h"

namespace {

class RecentFileListTest : public TempDirTest {
protected:
    void SetUp() override {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, QString::fromStdString(ConfigFolder()));
    }

    std::string ConfigFolder() const { return (m_TempDir.Path() / "config").string(); }
    // Where the program's settings are expected: the organisation's folder, the application's file.
    std::filesystem::path SettingsFile() const {
        return m_TempDir.Path() / "config" / "Corvane Applications" / "VYRRuvuzUvirIP_Voda50.conf";
    }

    // Writes |values| (key with its section, value) into the expected file.
    void Store(const std::map<std::string, std::string>& values) const {
        QSettings file(QString::fromStdString(SettingsFile().string()), QSettings::IniFormat);
        for (const auto& [key, value] : values) {
            file.setValue(QString::fromStdString(key), QString::fromStdString(value));
        }
        file.sync();
        ASSERT_EQ(QSettings::NoError, file.status());
    }

    static CRecentFileList ProgramList() {
        return CRecentFileList("Corvane Applications", "VYRRuvuzUvirIP_Voda50", 4, ReadRecentFileSettings);
    }
};

struct StoredCase {
    std::string name;
    std::map<std::string, std::string> stored;
    std::vector<std::string> names;
};

void PrintTo(const StoredCase& c, std::ostream* os) {
    *os << c.name;
}

class RecentFileListStoredTest : public RecentFileListTest, public ::testing::WithParamInterface<StoredCase> {};

TEST_P(RecentFileListStoredTest, ReadsTheFourEntriesInTheirPlaces) {
    const StoredCase& c = GetParam();
    if (!c.stored.empty()) {
        Store(c.stored);
    }
    CRecentFileList list = ProgramList();
    EXPECT_TRUE(list.ReadList());
    EXPECT_EQ(c.names, list.Names());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RecentFileListStoredTest,
    ::testing::Values(
        StoredCase{"NothingStored", {}, {"", "", "", ""}},
        StoredCase{"FourFiles",
                   {{"Recent File List/File1", "/srv/a.kst"},
                    {"Recent File List/File2", "/srv/b.kst"},
                    {"Recent File List/File3", "/srv/c.kst"},
                    {"Recent File List/File4", "/srv/d.kst"}},
                   {"/srv/a.kst", "/srv/b.kst", "/srv/c.kst", "/srv/d.kst"}},
        StoredCase{"GapsStayInTheirPlaces",
                   {{"Recent File List/File2", "/srv/b.kst"}, {"Recent File List/File4", "/srv/d.kst"}},
                   {"", "/srv/b.kst", "", "/srv/d.kst"}},
        StoredCase{"AFifthEntryIsNotRead",
                   {{"Recent File List/File1", "/srv/a.kst"}, {"Recent File List/File5", "/srv/e.kst"}},
                   {"/srv/a.kst", "", "", ""}},
        StoredCase{"EntriesOutsideTheSectionAreNotRead",
                   {{"File1", "/srv/a.kst"}, {"Settings/File1", "/srv/b.kst"}, {"Recent File List/file2", "/srv/c"}},
                   {"", "", "", ""}},
        StoredCase{"PathsKeepCommasSpacesAndNonAsciiLetters",
                   {{"Recent File List/File1", "/home/op/Lanes, old/day 1.kst"},
                    {"Recent File List/File2", "/home/op/\xc3\xa9t\xc3\xa9/caf\xc3\xa9.kst"}},
                   {"/home/op/Lanes, old/day 1.kst", "/home/op/\xc3\xa9t\xc3\xa9/caf\xc3\xa9.kst", "", ""}}),
    [](const auto& info) { return info.param.name; });

TEST_F(RecentFileListTest, SettingsThatCannotBeReadGiveAnEmptyList) {
    Store({{"Recent File List/File1", "/srv/a.kst"}});
    CRecentFileList list = ProgramList();
    ASSERT_TRUE(list.ReadList());
    ASSERT_EQ("/srv/a.kst", list.Names()[0]);

    // A folder where the file should be: nothing can be read from it, and nothing of the earlier read stays.
    std::filesystem::remove(SettingsFile());
    std::filesystem::create_directory(SettingsFile());
    EXPECT_FALSE(list.ReadList());
    EXPECT_EQ((std::vector<std::string>{"", "", "", ""}), list.Names());
}

TEST_F(RecentFileListTest, ReadingCreatesNothing) {
    CRecentFileList list = ProgramList();
    EXPECT_TRUE(list.ReadList());
    EXPECT_FALSE(std::filesystem::exists(ConfigFolder()));

    Store({{"Recent File List/File1", "/srv/a.kst"}});
    const auto written = std::filesystem::last_write_time(SettingsFile());
    const std::vector<std::filesystem::path> before{std::filesystem::directory_iterator(SettingsFile().parent_path()),
                                                    std::filesystem::directory_iterator()};
    EXPECT_TRUE(list.ReadList());
    EXPECT_EQ(written, std::filesystem::last_write_time(SettingsFile()));
    const std::vector<std::filesystem::path> after{std::filesystem::directory_iterator(SettingsFile().parent_path()),
                                                   std::filesystem::directory_iterator()};
    EXPECT_EQ(before, after);
}

} // namespace
