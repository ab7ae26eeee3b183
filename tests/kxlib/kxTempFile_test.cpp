#include "kxlib/kxTempFile.h"

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "common/ScopedEnvironment.h"
#include "common/TempDirTest.h"
#include "kxlib/kxFileFunctions.h"
#include "kxlib/kxTestSupport.h"

namespace fs = std::filesystem;
using kx_test::ThrownText;

namespace {

class kxTempFileTest : public TempDirTest {
protected:
    CScopedEnvironmentVariable m_Tmpdir{"TMPDIR", m_TempDir.Path().c_str()};
};

} // namespace

TEST_F(kxTempFileTest, CreateNamesTheFileInTheTemporaryFolderWithItsExtension) {
    const struct {
        const char* Asked;
        const char* Extension;
    } cases[] = {{"", "tmp"}, {"TMP", "tmp"}, {"bmp", "bmp"}, {".Bmp", "Bmp"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Asked);
        kxTempFile file;
        const kxString path = file.Create(c.Asked);
        EXPECT_EQ(path, file.GetFileName());
        EXPECT_TRUE(FileExists(path));
        EXPECT_EQ(GetPathFolder(path), m_TempDir.Path().string());
        EXPECT_TRUE(GetFileName(path).StartsWith("kx"));
        EXPECT_EQ(GetExtension(path), c.Extension);
        EXPECT_EQ(file.GetFileName(false) + "." + c.Extension, path);
    }
    // Every object removed its file when it went.
    EXPECT_TRUE(fs::is_empty(m_TempDir.Path()));
}

TEST_F(kxTempFileTest, DataRoundTripsAndEachCreateReplacesTheLastFile) {
    kxTempFile file;
    const std::string bytes("BM\0\x01\xff data", 10);
    const kxString first = file.CreateWithData(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), "bmp");
    EXPECT_EQ(file.Load(), bytes.size());
    EXPECT_EQ(file.Data(), bytes);
    const kxString second = file.Create();
    EXPECT_NE(first, second);
    EXPECT_FALSE(FileExists(first));
    EXPECT_EQ(file.Load(), 0u);
    EXPECT_TRUE(file.Data().empty());
    file.Delete();
    EXPECT_FALSE(FileExists(second));
    EXPECT_EQ(file.GetFileName(), "");
}

TEST_F(kxTempFileTest, LoadNamesWhatIsMissing) {
    kxTempFile file;
    EXPECT_EQ(ThrownText([&] { file.Load(); }), "Filename variable \"m_FileName\" is empty.");
    const kxString path = file.Create();
    fs::remove(path.Str());
    EXPECT_EQ(ThrownText([&] { file.Load(); }), "Cannot find file: (" + path.Str() + ")");
    CScopedEnvironmentVariable unusable("TMPDIR", (m_TempDir.Path() / "missing").c_str());
    EXPECT_EQ(ThrownText([&] { file.Create(); }), "Unable to get \"Windows\" temporary folder.");
}
