#include "platform/FileSystem.h"

#include <cerrno>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "common/TempDirTest.h"

namespace fs = std::filesystem;

using FileSystemTest = TempDirTest;

TEST_F(FileSystemTest, ARenameThatMayNotReplaceLeavesBothFilesAsTheyWere) {
    struct Case {
        const char* name;
        void (*arrange)();
    };
    const Case cases[] = {
        {"a file", [] { WriteFileBytes("to", "taken"); }},
        {"a dangling link", [] { fs::create_symlink("nowhere", "to"); }},
        {"a folder", [] { fs::create_directory("to"); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteFileBytes("from", "moving");
        c.arrange();
        const fs::file_status before = fs::symlink_status("to");
        errno = 0;
        EXPECT_FALSE(RenameNoReplace("from", "to"));
        EXPECT_EQ(errno, EEXIST);
        EXPECT_EQ(ReadFileBytes("from"), "moving");
        EXPECT_EQ(fs::symlink_status("to").type(), before.type());
        if (fs::is_regular_file(fs::symlink_status("to"))) {
            EXPECT_EQ(ReadFileBytes("to"), "taken");
        }
        fs::remove_all("to");
    }
    ASSERT_TRUE(RenameNoReplace("from", "to"));
    EXPECT_FALSE(fs::exists("from"));
    EXPECT_EQ(ReadFileBytes("to"), "moving");
    errno = 0;
    EXPECT_FALSE(RenameNoReplace("from", "again"));
    EXPECT_EQ(errno, ENOENT);
}
