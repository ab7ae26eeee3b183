#include "platform/Files.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <vector>

#include <gtest/gtest.h>

#include "common/FileSizeLimit.h"
#include "common/TempDirTest.h"

namespace fs = std::filesystem;

namespace {
class FilesTest : public TempDirTest {
protected:
    void SetUp() override { m_PreviousUmask = ::umask(0); }
    void TearDown() override { ::umask(m_PreviousUmask); }
    mode_t m_PreviousUmask = 0;
};

const fs::perms kOwnerReadWrite = fs::perms::owner_read | fs::perms::owner_write;
} // namespace

TEST_F(FilesTest, AppendedFilesGetTheirModeWhateverTheUmaskOrTheirMaker) {
    ASSERT_TRUE(AppendFile("new.log", "one\n", 0600));
    EXPECT_EQ(fs::status("new.log").permissions(), kOwnerReadWrite);
    WriteFileBytes("old.log", "earlier\n");
    fs::permissions("old.log", fs::perms::all);
    ASSERT_TRUE(AppendFile("old.log", "later\n", 0600));
    EXPECT_EQ(fs::status("old.log").permissions(), kOwnerReadWrite);
    EXPECT_EQ(ReadFileBytes("old.log"), "earlier\nlater\n");
    std::string error;
    EXPECT_FALSE(AppendFile(fs::path("missing") / "x.log", "x", 0600, &error));
    EXPECT_NE(error.find("missing"), std::string::npos);
}

TEST_F(FilesTest, APrivateFolderIsMadeOrMadePrivate) {
    ASSERT_TRUE(MakePrivateFolder("made"));
    EXPECT_EQ(fs::status("made").permissions(), fs::perms::owner_all);
    fs::create_directory("open");
    fs::permissions("open", fs::perms::all);
    ASSERT_TRUE(MakePrivateFolder("open"));
    EXPECT_EQ(fs::status("open").permissions(), fs::perms::owner_all);
    WriteFileBytes("file", "x");
    std::string error;
    EXPECT_FALSE(MakePrivateFolder("file", &error));
    EXPECT_EQ(errno, ENOTDIR);
}

TEST_F(FilesTest, AFileMovedAsideKeepsItsBytesUnderANameNotTaken) {
    WriteFileBytes("journal", "first");
    fs::path first;
    ASSERT_TRUE(MoveFileAside("journal", ".bad", &first));
    EXPECT_FALSE(fs::exists("journal"));
    EXPECT_EQ(first.filename().string().rfind("journal.bad-", 0), 0u);
    EXPECT_EQ(ReadFileBytes(first), "first");
    // A second one within the same second does not replace the first.
    WriteFileBytes("journal", "second");
    fs::path second;
    ASSERT_TRUE(MoveFileAside("journal", ".bad", &second));
    EXPECT_NE(second, first);
    EXPECT_EQ(ReadFileBytes(first), "first");
    EXPECT_EQ(ReadFileBytes(second), "second");
    EXPECT_FALSE(MoveFileAside("journal", ".bad"));
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(FilesTest, TemporariesOfAnInterruptedWriteAreRemovedAndNothingElse) {
    ASSERT_TRUE(WriteFileAtomically("journal", "kept", 0600));
    WriteFileBytes("journal.tmp-a1B2c3", "left by a crash");
    WriteFileBytes("journal.tmp-a1B2c3d", "not one of ours");
    WriteFileBytes("other.tmp-a1B2c3", "another file's");
    EXPECT_EQ(RemoveStaleTemporaries("journal"), 1);
    EXPECT_FALSE(fs::exists("journal.tmp-a1B2c3"));
    EXPECT_TRUE(fs::exists("journal.tmp-a1B2c3d"));
    EXPECT_TRUE(fs::exists("other.tmp-a1B2c3"));
    EXPECT_EQ(ReadFileBytes("journal"), "kept");
}

TEST_F(FilesTest, AnAppendingFileKnowsWhetherItsNameStillLeadsToIt) {
    CAppendingFile file;
    EXPECT_FALSE(file.StillAtPath());
    ASSERT_TRUE(file.Open("kept.log", 0600));
    ASSERT_TRUE(file.Append("one\n"));
    ASSERT_TRUE(file.Append("two\n"));
    ASSERT_TRUE(file.SyncData());
    EXPECT_EQ(ReadFileBytes("kept.log"), "one\ntwo\n");
    EXPECT_EQ(file.Size(), 8);
    EXPECT_TRUE(file.StillAtPath());

    fs::rename("kept.log", "moved.log");
    EXPECT_FALSE(file.StillAtPath());
    WriteFileBytes("kept.log", "another file\n");
    EXPECT_FALSE(file.StillAtPath());
    ASSERT_TRUE(file.Append("three\n")); // still the moved file
    EXPECT_EQ(ReadFileBytes("moved.log"), "one\ntwo\nthree\n");
    fs::remove("moved.log");
    EXPECT_FALSE(file.StillAtPath());

    ASSERT_TRUE(file.Open("kept.log", 0600));
    EXPECT_TRUE(file.StillAtPath());
    EXPECT_EQ(fs::status("kept.log").permissions(), fs::perms::owner_read | fs::perms::owner_write);
    ASSERT_TRUE(file.Truncate(0));
    ASSERT_TRUE(file.Append("after the cut\n"));
    EXPECT_EQ(ReadFileBytes("kept.log"), "after the cut\n");
    file.Close();
    EXPECT_FALSE(file.Append("closed"));
    EXPECT_EQ(errno, EBADF);
}

namespace {
// What is left in the test's folder beside |keep|: names of files a write may have left behind.
std::vector<std::string> OtherEntries(const std::vector<std::string>& keep) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(".")) {
        const std::string name = entry.path().filename().string();
        if (std::find(keep.begin(), keep.end(), name) == keep.end()) {
            names.push_back(name);
        }
    }
    return names;
}

} // namespace

TEST_F(FilesTest, AnAtomicWriteReplacesTheWholeFileWithTheModeAskedForWhateverTheUmask) {
    ::umask(077);
    WriteFileBytes("state", "old contents, longer than the new ones");
    fs::permissions("state", fs::perms::owner_read);
    // A reader that has the old file open keeps reading the old file whole: the new one is another file.
    std::ifstream reader("state");
    ASSERT_TRUE(WriteFileAtomically("state", "new", 0644));
    EXPECT_EQ(ReadFileBytes("state"), "new");
    EXPECT_EQ(fs::status("state").permissions(), kOwnerReadWrite | fs::perms::group_read | fs::perms::others_read);
    std::string old;
    std::getline(reader, old);
    EXPECT_EQ(old, "old contents, longer than the new ones");
    ASSERT_TRUE(WriteFileAtomically("state", "", 0600));
    EXPECT_EQ(ReadFileBytes("state"), "");
    EXPECT_EQ(fs::status("state").permissions(), kOwnerReadWrite);
    EXPECT_EQ(OtherEntries({"state"}), std::vector<std::string>{});
}

TEST_F(FilesTest, AWriteThatFailsLeavesTheOldFileWholeAndNoTemporary) {
    WriteFileBytes("state", "old");
    fs::permissions("state", fs::perms::owner_read | fs::perms::owner_write);
    struct Case {
        const char* name;
        std::function<bool(std::string*)> write;
    };
    const Case cases[] = {
        {"the disk fills up in the middle",
         [](std::string* error) {
             CFileSizeLimit limit(4096);
             return WriteFileAtomically("state", std::string(64 * 1024, 'n'), 0644, error);
         }},
        {"the name is taken by a folder",
         [](std::string* error) {
             fs::create_directory("folder");
             WriteFileBytes("folder/inside", "x");
             const bool written = WriteFileAtomically("folder", "new", 0644, error);
             EXPECT_EQ(ReadFileBytes("folder/inside"), "x");
             fs::remove_all("folder");
             return written;
         }},
        {"the folder does not exist",
         [](std::string* error) { return WriteFileAtomically(fs::path("missing") / "state", "new", 0644, error); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string error;
        EXPECT_FALSE(c.write(&error));
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(ReadFileBytes("state"), "old");
        EXPECT_EQ(fs::status("state").permissions(), kOwnerReadWrite);
        EXPECT_EQ(OtherEntries({"state"}), std::vector<std::string>{});
    }
}

TEST_F(FilesTest, ANewVersionWrittenBesideAFileTakesItsPlaceOpenOrLeavesNothingBehind) {
    WriteFileBytes("journal", "old\n");
    {
        CAppendingFile abandoned;
        ASSERT_TRUE(abandoned.OpenTemporaryFor("journal", 0600));
        ASSERT_TRUE(abandoned.Append("never used\n"));
    } // dropped before it took the file's place: it leaves nothing
    EXPECT_EQ(OtherEntries({"journal"}), std::vector<std::string>{});
    EXPECT_EQ(ReadFileBytes("journal"), "old\n");

    CAppendingFile fresh;
    ASSERT_TRUE(fresh.OpenTemporaryFor("journal", 0640));
    ASSERT_TRUE(fresh.Append("new\n"));
    ASSERT_TRUE(fresh.Sync());
    EXPECT_EQ(ReadFileBytes("journal"), "old\n");
    ASSERT_TRUE(fresh.MoveOverTarget());
    ASSERT_TRUE(fresh.SyncFolder());
    EXPECT_EQ(fresh.Path(), fs::path("journal"));
    EXPECT_TRUE(fresh.StillAtPath());
    // Still open, now as the file itself.
    ASSERT_TRUE(fresh.Append("more\n"));
    EXPECT_EQ(ReadFileBytes("journal"), "new\nmore\n");
    EXPECT_EQ(fs::status("journal").permissions(), kOwnerReadWrite | fs::perms::group_read);

    CAppendingFile moved = std::move(fresh);
    EXPECT_FALSE(fresh.IsOpen());
    moved.Close(); // in its place: closing leaves it there
    EXPECT_EQ(ReadFileBytes("journal"), "new\nmore\n");
    EXPECT_EQ(OtherEntries({"journal"}), std::vector<std::string>{});
}

TEST_F(FilesTest, FailedFileCallsHandBackTheirCauseAndItsFileErrorCode) {
    COsError cause;
    CFileId id;
    EXPECT_FALSE(GetFileId("missing", &id, &cause));
    EXPECT_TRUE(cause.Is(EOsErrorClass::NotFound));
    EXPECT_EQ(FileErrorCause(cause), 2);

    cause = COsError();
    EXPECT_FALSE(MoveFileAside("missing", ".bad", nullptr, nullptr, &cause));
    EXPECT_TRUE(cause.Is(EOsErrorClass::NotFound));

    cause = COsError();
    EXPECT_FALSE(WriteFileAtomically(fs::path("missing") / "file", "x", 0600, nullptr, &cause));
    EXPECT_TRUE(cause.Is(EOsErrorClass::NotFound));

    fs::create_directory("folder");
    std::string bytes;
    EXPECT_FALSE(ReadWholeFile("folder", &bytes, nullptr, &cause));
    EXPECT_EQ(cause, COsError::FromNumber(EISDIR));
    EXPECT_EQ(FileErrorCause(cause), 5);

    CAppendingFile closed;
    EXPECT_FALSE(closed.Sync(&cause));
    EXPECT_EQ(cause, COsError::NotOpen());
}
