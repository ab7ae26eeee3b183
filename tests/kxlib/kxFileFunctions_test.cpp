#include "kxlib/kxFileFunctions.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "common/ScopedEnvironment.h"
#include "common/ScopedTimeZone.h"
#include "common/TempDirTest.h"
#include "kxlib/kxTestSupport.h"

namespace fs = std::filesystem;
using kx_test::ThrownText;

namespace {

class kxFileFunctionsTest : public TempDirTest {
protected:
    std::string Here(const std::string& name) const { return (m_TempDir.Path() / name).string(); }
};

} // namespace

TEST(kxFileFunctions, PathTextsAcceptBothSeparatorsAndStayInsideTheText) {
    const struct {
        const char* Path;
        const char* Name;
        const char* Stem;
        const char* Extension;
        const char* Folder;
    } cases[] = {
        {"C:\\a\\b.txt", "b.txt", "b", "txt", "C:\\a"},
        {"/srv/data/Report.TAR.GZ", "Report.TAR.GZ", "Report.TAR", "GZ", "/srv/data"},
        {"a\\b/c.d", "c.d", "c", "d", "a\\b"},
        {"/x", "x", "x", "", "/"},                     // right under the root the folder is the root
        {"dir.v2/file", "file", "file", "", "dir.v2"}, // a dot in a folder name is no extension
        {"dir/", "", "", "", "dir"},
        {"name", "name", "name", "", ""},
        {".profile", ".profile", "", "profile", ""},
        {"\\", "", "", "", "\\"},
        {"", "", "", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Path);
        EXPECT_EQ(GetFileName(c.Path), c.Name);
        EXPECT_EQ(GetFileName(c.Path, false), c.Stem);
        EXPECT_EQ(GetExtension(c.Path), c.Extension);
        EXPECT_EQ(GetPathFolder(c.Path), c.Folder);
    }
    EXPECT_EQ(GetExtension("C:\\a\\B.TXT", true), "txt");
    EXPECT_EQ(GetPathFolder("C:\\a\\b.txt", false, true), "\\a");
    EXPECT_EQ(GetPathFolder("C:\\a\\b.txt", false, false, kTrailingBackslash), "C:\\a\\");
    EXPECT_EQ(GetPathFolder("/srv/x", false, false, kTrailingSlash), "/srv/");
    EXPECT_EQ(GetPathFolder("/x", false, false, kTrailingSlash), "/");
    EXPECT_EQ(GetPathFolder("name", false, false, kTrailingSlash), ""); // no folder gets no separator
    EXPECT_TRUE(HasWildcards("a/*.txt"));
    EXPECT_TRUE(HasWildcards("file?"));
    EXPECT_FALSE(HasWildcards("plain/name"));
}

TEST(kxFileFunctions, ADriveIsALetterAndAColonAtTheFrontOfTheText) {
    const struct {
        const char* Path;
        const char* Drive;
        const char* WithRoot;
        const char* FolderWithoutDrive;
    } cases[] = {
        {"C:\\x", "C:", "C:\\", ""},
        {"c:/a/b", "c:", "c:\\", "/a"},
        {"C:x", "C:", "C:\\", ""},
        {"C:", "", "", ""}, // not longer than two characters
        {"1:\\x", "", "", "1:"},
        {":\\x", "", "", ":"},
        {"/srv/x", "", "", "/srv"},
        {"\\\\server\\share", "", "", "\\\\server"},
        {"", "", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Path);
        EXPECT_EQ(GetDriveOf(c.Path, false), c.Drive);
        EXPECT_EQ(GetDriveOf(c.Path, true), c.WithRoot);
        EXPECT_EQ(GetPathFolder(c.Path, false, true), c.FolderWithoutDrive);
    }
}

TEST_F(kxFileFunctionsTest, ExistingFileOnlyCutsRealFilesAndAnswersRealFolders) {
    fs::create_directory("sub");
    WriteFileBytes("sub/file.txt", "x");
    EXPECT_EQ(GetPathFolder(Here("sub/file.txt"), true), Here("sub"));
    EXPECT_EQ(GetPathFolder(Here("sub"), true), Here("sub")); // a folder is not cut
    EXPECT_EQ(GetPathFolder(Here("sub/missing.txt"), true), "");
    EXPECT_EQ(GetPathFolder("sub/file.txt", true, false, kTrailingSlash), "sub/");
}

TEST_F(kxFileFunctionsTest, SpecialFoldersFollowTheirVariablesAndExistOrAreEmpty) {
    const struct {
        int Index;
        const char* Variable;
    } cases[] = {
        {0, "XDG_CONFIG_HOME"},
        {1, "KESTROVE_COMMON_APPDATA_DIR"},
        {2, "KESTROVE_COMMON_DOCUMENTS_DIR"},
        {3, "XDG_DESKTOP_DIR"},
        {4, "XDG_DATA_HOME"},
        {5, "XDG_DOCUMENTS_DIR"},
        {6, "KESTROVE_PROGRAM_FILES_DIR"},
        {7, "KESTROVE_PROGRAM_FILES_COMMON_DIR"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Index);
        const std::string folder = Here("special" + std::to_string(c.Index));
        CScopedEnvironmentVariable variable(c.Variable, (folder + "/").c_str());
        EXPECT_EQ(GetSpecialFolderPath(c.Index), ""); // not there yet
        fs::create_directory(folder);
        EXPECT_EQ(GetSpecialFolderPath(c.Index), folder);
    }
    {
        // A relative value is not a base directory: the default holds.
        CScopedEnvironmentVariable home("HOME", m_TempDir.Path().c_str());
        CScopedEnvironmentVariable variable("XDG_CONFIG_HOME", "relative/config");
        fs::create_directory(".config");
        EXPECT_EQ(GetSpecialFolderPath(0), Here(".config"));
    }
    {
        CScopedEnvironmentVariable variable("KESTROVE_COMMON_DOCUMENTS_DIR", nullptr);
        EXPECT_EQ(GetSpecialFolderPath(2), fs::is_directory("/var/tmp") ? "/var/tmp" : "");
    }
    for (const int index : {-1, 8, 9, 10}) {
        EXPECT_EQ(GetSpecialFolderPath(index), "") << index;
    }
}

TEST_F(kxFileFunctionsTest, TempFolderAndTempFilesLiveWhereTmpdirSays) {
    CScopedEnvironmentVariable tmpdir("TMPDIR", (m_TempDir.Path().string() + "/").c_str());
    EXPECT_EQ(GetTempFolder(true), m_TempDir.Path().string() + "/");
    EXPECT_EQ(GetTempFolder(false), m_TempDir.Path().string());

    const kxString first = GetTempFileName("kx");
    const kxString second = GetTempFileName("kx");
    EXPECT_NE(first, second);
    for (const kxString& made : {first, second}) {
        EXPECT_TRUE(FileExists(made));
        EXPECT_EQ(GetFileSize(made), 0u);
        EXPECT_EQ(GetPathFolder(made), m_TempDir.Path().string());
        EXPECT_TRUE(GetFileName(made).StartsWith("kx"));
        EXPECT_EQ(GetExtension(made), "tmp");
    }
    fs::create_directory("elsewhere");
    EXPECT_EQ(GetPathFolder(GetTempFileName("kx", Here("elsewhere/"))), Here("elsewhere"));
    EXPECT_EQ(ThrownText([&] { GetTempFileName("kx", Here("missing")); }),
              "Unable to create a temporary file in folder: (" + Here("missing") + ").");
    CScopedEnvironmentVariable unusable("TMPDIR", Here("missing").c_str());
    EXPECT_EQ(ThrownText([] { GetTempFolder(false); }), "Unable to get \"Windows\" temporary folder.");
}

TEST_F(kxFileFunctionsTest, EmptyFolderRemovesLinksButNeverWhatTheyPointAt) {
    // Outside the folder: a folder and a file that links inside point at.
    fs::create_directories("outside/deep");
    WriteFileBytes("outside/keep.txt", "keep");
    WriteFileBytes("outside/deep/keep2.txt", "keep");
    // Inside: nested folders, a read-only file, a hidden file and three kinds of links.
    fs::create_directories("victim/a/b/c");
    WriteFileBytes("victim/a/b/c/file", "x");
    WriteFileBytes("victim/.hidden", "x");
    WriteFileBytes("victim/a/readonly", "x");
    fs::permissions("victim/a/readonly", fs::perms::owner_read);
    fs::create_directory_symlink(Here("outside"), "victim/a/to-folder");
    fs::create_symlink(Here("outside/keep.txt"), "victim/to-file");
    fs::create_symlink(Here("gone"), "victim/dangling");

    EXPECT_TRUE(EmptyFolder("victim"));
    EXPECT_TRUE(fs::is_empty("victim"));
    EXPECT_EQ(ReadFileBytes("outside/keep.txt"), "keep");
    EXPECT_EQ(ReadFileBytes("outside/deep/keep2.txt"), "keep");

    // A link given as the folder itself is refused, and its target is left alone.
    fs::create_directory_symlink(Here("outside"), "link-to-outside");
    EXPECT_FALSE(EmptyFolder("link-to-outside"));
    EXPECT_FALSE(RemoveFolder("link-to-outside"));
    EXPECT_EQ(ReadFileBytes("outside/keep.txt"), "keep");

    fs::create_directories("victim/again/more");
    EXPECT_TRUE(RemoveFolder("victim"));
    EXPECT_FALSE(fs::exists("victim"));
    EXPECT_FALSE(EmptyFolder("victim"));
    EXPECT_FALSE(EmptyFolder(""));
}

TEST_F(kxFileFunctionsTest, RemovingToTheRecycleBinMovesTheFolderWholeIntoTheTrash) {
    CScopedEnvironmentVariable data("XDG_DATA_HOME", Here("data").c_str());
    fs::create_directories("box/inner");
    WriteFileBytes("box/inner/file", "kept");
    EXPECT_TRUE(RemoveFolder("box", true));
    EXPECT_FALSE(fs::exists("box"));
    EXPECT_EQ(ReadFileBytes("data/Trash/files/box/inner/file"), "kept");
    EXPECT_EQ(ReadFileBytes("data/Trash/info/box.trashinfo")
                  .rfind("[Trash Info]\nPath=" + fs::canonical(m_TempDir.Path()).string() + "/box\nDeletionDate=", 0),
              0u);

    // Only a real folder goes: not a file, not a link to a folder (nor what it leads to).
    WriteFileBytes("file", "x");
    fs::create_directory("target");
    fs::create_directory_symlink("target", "link");
    for (const char* path : {"file", "link", "missing", ""}) {
        EXPECT_FALSE(RemoveFolder(path, true)) << path;
    }
    EXPECT_TRUE(fs::exists("file"));
    EXPECT_TRUE(fs::is_symlink("link"));
    EXPECT_TRUE(fs::is_directory("target"));
    EXPECT_FALSE(fs::exists("data/Trash/files/file"));
}

TEST_F(kxFileFunctionsTest, RenameNeverReplacesAnExistingName) {
    fs::create_directory("d");
    WriteFileBytes("d/old", "old");
    WriteFileBytes("d/taken", "taken");
    fs::create_symlink("nowhere", "d/dangling");
    EXPECT_FALSE(RenameFile("d/old", "taken"));
    EXPECT_FALSE(RenameFile("d/old", "dangling")); // a dangling link is a name too
    EXPECT_EQ(ReadFileBytes("d/taken"), "taken");
    EXPECT_TRUE(RenameFile("d/old", "new")); // the new name goes into the source's folder
    EXPECT_EQ(ReadFileBytes("d/new"), "old");
    EXPECT_FALSE(fs::exists("d/old"));
    EXPECT_FALSE(RenameFile("d/old", "again"));
    EXPECT_FALSE(RenameFile("d/new", ""));
}

TEST_F(kxFileFunctionsTest, CopyOverwritesOnlyWhenAsked) {
    WriteFileBytes("source", "new");
    WriteFileBytes("target", "old");
    EXPECT_FALSE(CopyFileTo("source", "target", false));
    EXPECT_EQ(ReadFileBytes("target"), "old");
    EXPECT_TRUE(CopyFileTo("source", "target", true));
    EXPECT_EQ(ReadFileBytes("target"), "new");
    EXPECT_TRUE(CopyFileTo("source", "fresh", false));
    EXPECT_FALSE(CopyFileTo("missing", "other", true));
    fs::create_directory("folder");
    EXPECT_FALSE(CopyFileTo("folder", "folder2", true));
}

TEST_F(kxFileFunctionsTest, ReadOnlyRoundTripAndFolders) {
    WriteFileBytes("file", "x");
    fs::create_directory("folder");
    EXPECT_FALSE(IsReadOnly("file"));
    EXPECT_TRUE(SetReadOnly("file", true));
    EXPECT_TRUE(IsReadOnly("file"));
    EXPECT_TRUE(SetReadOnly("file", false));
    EXPECT_FALSE(IsReadOnly("file"));
    EXPECT_EQ(fs::status("file").permissions() & fs::perms::others_write, fs::perms::none);
    fs::permissions("folder", fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_FALSE(IsReadOnly("folder"));
    EXPECT_FALSE(SetReadOnly("folder", true));
    EXPECT_FALSE(SetReadOnly("missing", true));
    fs::permissions("folder", fs::perms::owner_all);
}

TEST_F(kxFileFunctionsTest, ExistenceSizeAndDeletionTellFilesFoldersAndLinksApart) {
    WriteFileBytes("file", "12345");
    fs::create_directory("folder");
    fs::create_directory_symlink("folder", "folder-link");
    fs::create_symlink("file", "file-link");
    fs::create_symlink("nowhere", "dangling");
    const struct {
        const char* Path;
        bool File;
        bool Folder;
        uint64_t Size;
    } cases[] = {
        {"file", true, false, 5},      {"folder", false, true, 0},   {"folder-link", false, true, 0},
        {"file-link", true, false, 5}, {"dangling", true, false, 0}, {"missing", false, false, 0},
        {"", false, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Path);
        EXPECT_EQ(FileExists(c.Path), c.File);
        EXPECT_EQ(FolderExists(c.Path), c.Folder);
        EXPECT_EQ(GetFileSize(c.Path), c.Size);
    }
    EXPECT_FALSE(DeleteFileAt("folder"));
    EXPECT_FALSE(DeleteFileAt("folder-link"));
    EXPECT_TRUE(DeleteFileAt("file-link")); // the link goes, its target stays
    EXPECT_TRUE(fs::exists("file"));
    EXPECT_TRUE(DeleteFileAt("dangling"));
    EXPECT_TRUE(DeleteFileAt("file"));
    EXPECT_FALSE(DeleteFileAt("file"));
}

TEST_F(kxFileFunctionsTest, FileSizesBeyondFourGigabytesAreWhole) {
    const uint64_t size = (uint64_t{5} << 30) + 7;
    {
        std::FILE* file = std::fopen("big", "wb");
        ASSERT_NE(file, nullptr);
        std::fclose(file);
    }
    std::error_code ec;
    fs::resize_file("big", size, ec); // sparse: takes no disk space
    if (ec) {
        GTEST_SKIP() << "the file system refuses a sparse file of 5 GiB: " << ec.message();
    }
    EXPECT_EQ(GetFileSize("big"), size);
}

TEST_F(kxFileFunctionsTest, CreateFolderPathMakesEveryMissingLevel) {
    EXPECT_TRUE(CreateFolderPath("one\\two/three"));
    EXPECT_TRUE(fs::is_directory("one/two/three"));
    EXPECT_TRUE(CreateFolderPath(Here("one/two/three/four")));
    EXPECT_TRUE(fs::is_directory("one/two/three/four"));
    EXPECT_TRUE(CreateFolderPath("single"));
    EXPECT_TRUE(CreateFolderPath("single")); // already there
    WriteFileBytes("blocker", "x");
    EXPECT_FALSE(CreateFolderPath("blocker/below"));
    EXPECT_FALSE(CreateFolderPath(""));
}

TEST_F(kxFileFunctionsTest, CurrentFolderAndDiskQuestions) {
    fs::create_directory("sub");
    const kxString start = GetCurrentFolder();
    EXPECT_EQ(start, fs::current_path().string());
    EXPECT_TRUE(SetCurrentFolder("sub"));
    EXPECT_EQ(GetCurrentFolder(), start + "/sub");
    EXPECT_FALSE(SetCurrentFolder("missing"));
    EXPECT_FALSE(SetCurrentFolder(""));
    EXPECT_TRUE(SetCurrentFolder(start));

    EXPECT_GT(GetDiskTotalBytes("."), 0u);
    EXPECT_LE(GetDiskFreeBytes("."), GetDiskTotalBytes("."));
    EXPECT_EQ(GetDiskTotalBytes(""), 0u);
    EXPECT_EQ(GetDiskFreeBytes("missing"), 0u);
    EXPECT_FALSE(IsNetworkDrive("."));
    EXPECT_FALSE(IsNetworkDrive(""));
}

TEST(kxFileFunctions, ModulePathNamesTheProgramAndTheObjectsItLoaded) {
    const fs::path program = fs::read_symlink("/proc/self/exe");
    EXPECT_EQ(GetModulePath(), program.string());
    EXPECT_EQ(GetModulePath(nullptr, true), program.parent_path().string());
    // An address inside the program itself names the program; one inside the C library names that.
    static const int inProgram = 0;
    EXPECT_EQ(GetModulePath(&inProgram), program.string());
    const kxString library = GetModulePath(reinterpret_cast<const void*>(&std::fclose));
    EXPECT_NE(library, program.string());
    EXPECT_TRUE(FileExists(library));
}

TEST_F(kxFileFunctionsTest, FileDatesAreUtcToTheSecond) {
    CScopedTimeZone zone("XST-2"); // the zone must not matter
    WriteFileBytes("file", "x");
    fs::create_directory("folder");
    using namespace std::chrono;
    const auto written = sys_days(year(2011) / 6 / 1) + hours(12) + minutes(30) + seconds(45) + milliseconds(678);
    fs::last_write_time("file", file_clock::from_sys(written));
    kxDate date;
    ASSERT_TRUE(GetLastWriteTime("file", &date));
    EXPECT_TRUE(date == kxDate(2011, 6, 1, 12, 30, 45));
    kxDate created;
    EXPECT_TRUE(GetCreationTime("file", &created));
    EXPECT_TRUE(created.HasDate());
    EXPECT_FALSE(GetLastWriteTime("folder", &date));
    EXPECT_FALSE(GetCreationTime("missing", &date));
    EXPECT_FALSE(GetLastWriteTime("file", nullptr));
    EXPECT_FALSE(GetLastWriteTime("", &date));
}
