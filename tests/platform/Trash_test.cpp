#include "platform/Trash.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

#include <gtest/gtest.h>

#include "common/ScopedEnvironment.h"
#include "common/ScopedTimeZone.h"
#include "common/TempDirTest.h"
#include "common/TestClock.h"

namespace fs = std::filesystem;

namespace {

// The trash lives in a data folder inside the test's temporary folder, never in the user's own.
class TrashTest : public TempDirTest {
protected:
    fs::path Data() const { return m_TempDir.Path() / "data home"; }
    fs::path Files() const { return Data() / "Trash" / "files"; }
    fs::path Info() const { return Data() / "Trash" / "info"; }
    std::string InfoText(const std::string& name) const { return ReadFileBytes(Info() / (name + ".trashinfo")); }

    CScopedEnvironmentVariable m_Data{"XDG_DATA_HOME", Data().c_str()};
};

fs::perms Permissions(const fs::path& path) {
    return fs::symlink_status(path).permissions();
}

} // namespace

TEST_F(TrashTest, AFolderGoesWholeAndItsRecordSaysWhereFromAndWhen) {
    const CScopedTimeZone zone("XST-2"); // two hours east of UTC, no daylight saving
    CTestClock clock(1000, std::chrono::sys_days(std::chrono::year(2012) / 3 / 15) + std::chrono::hours(8) +
                               std::chrono::minutes(5) + std::chrono::seconds(9));
    const CScopedClock scoped(clock);
    // A name with a blank, a "%" and a two-byte character, which the record escapes.
    const std::string name = "a b%\xC3\xA9";
    fs::create_directories(name + "/inner");
    WriteFileBytes(name + "/inner/file", "kept");

    std::string trashedAs;
    std::string error;
    ASSERT_TRUE(MoveToTrash(name + "/", &trashedAs, &error)) << error;
    EXPECT_FALSE(fs::exists(name));
    EXPECT_EQ(trashedAs, (Files() / name).string());
    EXPECT_EQ(ReadFileBytes(Files() / name / "inner" / "file"), "kept");

    // The temporary folder's own path needs no escaping; the name does.
    const std::string folder = fs::canonical(m_TempDir.Path()).string();
    ASSERT_EQ(folder.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/-_.!~*'()"),
              std::string::npos)
        << folder;
    EXPECT_EQ(InfoText(name), "[Trash Info]\nPath=" + folder + "/a%20b%25%C3%A9\nDeletionDate=2012-03-15T10:05:09\n");
    EXPECT_EQ(Permissions(Info() / (name + ".trashinfo")), fs::perms::owner_read | fs::perms::owner_write);
    // The data folder and the trash did not exist: each was made for this user alone.
    for (const fs::path& made : {Data(), Data() / "Trash", Files(), Info()}) {
        EXPECT_EQ(Permissions(made), fs::perms::owner_all) << made;
    }
}

TEST_F(TrashTest, ATakenNameGivesTheNextFreeOne) {
    const std::string from = (fs::canonical(m_TempDir.Path()) / "x").string();
    const struct {
        const char* Before; // made in files/ without a record before the move, or null
        const char* TrashedAs;
    } moves[] = {
        {nullptr, "x"}, {nullptr, "x.2"}, {"x.3", "x.4"}, // a name in files/ without its record is taken all the same
    };
    for (const auto& m : moves) {
        SCOPED_TRACE(m.TrashedAs);
        if (m.Before != nullptr) {
            WriteFileBytes(Files() / m.Before, "stray");
        }
        WriteFileBytes("x", m.TrashedAs);
        std::string trashedAs;
        ASSERT_TRUE(MoveToTrash("x", &trashedAs));
        EXPECT_EQ(trashedAs, (Files() / m.TrashedAs).string());
        EXPECT_EQ(ReadFileBytes(Files() / m.TrashedAs), m.TrashedAs);
        EXPECT_EQ(InfoText(m.TrashedAs).rfind("[Trash Info]\nPath=" + from + "\nDeletionDate=", 0), 0u);
    }
    EXPECT_FALSE(fs::exists(Info() / "x.3.trashinfo"));
    EXPECT_EQ(ReadFileBytes(Files() / "x.3"), "stray");
}

TEST_F(TrashTest, ALinkGoesItselfAndWhatIsNoEntryIsRefused) {
    fs::create_directory("target");
    WriteFileBytes("target/file", "stays");
    fs::create_directory_symlink("target", "link");
    ASSERT_TRUE(MoveToTrash("link"));
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(Files() / "link")));
    EXPECT_EQ(ReadFileBytes("target/file"), "stays");

    const struct {
        const char* Path;
        int Errno;
    } refusals[] = {{"", EINVAL},  {".", EINVAL},       {"..", EINVAL},
                    {"/", EINVAL}, {"missing", ENOENT}, {"gone/x", ENOENT}};
    for (const auto& r : refusals) {
        errno = 0;
        std::string error;
        EXPECT_FALSE(MoveToTrash(r.Path, nullptr, &error)) << r.Path;
        EXPECT_EQ(errno, r.Errno) << r.Path;
        EXPECT_NE(error.find(r.Path), std::string::npos) << error;
    }
    EXPECT_TRUE(fs::exists("target"));
}

TEST_F(TrashTest, AnEntryOnAnotherFileSystemStaysWhereItIs) {
    // /dev/shm is a file system of its own on most machines; where it is not (or is missing), there is no
    // second file system to try.
    struct stat shm {};
    struct stat here {};
    if (::stat("/dev/shm", &shm) != 0 || ::stat(m_TempDir.Path().c_str(), &here) != 0 || shm.st_dev == here.st_dev ||
        ::access("/dev/shm", W_OK) != 0) {
        GTEST_SKIP() << "no second file system to trash from";
    }
    std::string made = "/dev/shm/kestrove-trash-XXXXXX";
    ASSERT_NE(::mkdtemp(made.data()), nullptr);
    struct Remove {
        std::string Path;
        ~Remove() {
            std::error_code ec;
            fs::remove_all(Path, ec);
        }
    } const removed{made};
    WriteFileBytes(made + "/file", "stays");

    errno = 0;
    std::string error;
    EXPECT_FALSE(MoveToTrash(made, nullptr, &error));
    EXPECT_EQ(errno, EXDEV);
    EXPECT_NE(error.find("another file system"), std::string::npos) << error;
    EXPECT_EQ(ReadFileBytes(made + "/file"), "stays");
    EXPECT_TRUE(fs::is_empty(Info()));
    EXPECT_TRUE(fs::is_empty(Files()));
}
