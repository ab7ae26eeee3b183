#include "kxlib/kxVersionInfo.h"

#include <map>
#include <string>

#include <gtest/gtest.h>

#include "common/TempDirTest.h"
#include "kxlib/PeImageBuilder.h"
#include "kxlib/kxFileFunctions.h"

namespace {

std::map<std::string, std::string> Read(const kxString& path) {
    std::map<kxString, kxString> entries{{"stale", "x"}};
    kxVersionInfo(path).Read(entries);
    std::map<std::string, std::string> texts;
    for (const auto& [key, value] : entries) {
        texts[key.Str()] = value.Str();
    }
    return texts;
}

using kxVersionInfoTest = TempDirTest;

} // namespace

TEST_F(kxVersionInfoTest, AFileWithoutAVersionResourceHasNoEntries) {
    // The running program is a Linux executable, an empty path names no file and "." a folder.
    for (const kxString& path : {GetModulePath(), kxString(), kxString(".")}) {
        EXPECT_TRUE(Read(path).empty()) << path.Str();
    }
}

TEST_F(kxVersionInfoTest, AnotherFileAnswersFromItsVersionResourceOrNotAtAll) {
    WriteFileBytes("tool.exe", pe_builder::Image(pe_builder::VersionResource(
                                   {{"companyname", "Corvane"}, {"FileVersion", "1.2.3.4"}, {"Private", "x"}})));
    WriteFileBytes("plain.exe", pe_builder::Image(""));
    WriteFileBytes("notes.txt", "text");
    // Keys match in any case and come back spelled as the library lists them; others are left out.
    EXPECT_EQ(Read("tool.exe"),
              (std::map<std::string, std::string>{{"CompanyName", "Corvane"}, {"FileVersion", "1.2.3.4"}}));
    EXPECT_TRUE(Read("plain.exe").empty());
    EXPECT_TRUE(Read("notes.txt").empty());
    EXPECT_TRUE(Read("missing.dll").empty());
}
