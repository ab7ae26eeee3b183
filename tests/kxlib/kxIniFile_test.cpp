#include "kxlib/kxIniFile.h"

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/TempDirTest.h"
#include "kxlib/kxTestSupport.h"

namespace fs = std::filesystem;
using kx_test::Texts;
using kx_test::ThrownText;

namespace {

class kxIniFileTest : public TempDirTest {};

} // namespace

TEST_F(kxIniFileTest, GetStringFindsWholeKeysInTheirSectionWithAnyLineEnd) {
    const struct {
        const char* Name;
        const char* Content;
        const char* Section;
        const char* Key;
        const char* Expected;
    } cases[] = {
        {"lf", "[Main]\nName=Alpha\n", "Main", "Name", "Alpha"},
        {"crlf", "[Main]\r\nName=Alpha\r\n", "Main", "Name", "Alpha"},
        {"last line without an end", "[Main]\nName=Alpha", "Main", "Name", "Alpha"},
        {"crlf, last line without an end", "[Main]\r\nName=Alpha", "Main", "Name", "Alpha"},
        {"a longer key is another key", "[Main]\nNameLong=Wrong\nName=Right\n", "Main", "Name", "Right"},
        {"a prefix of a key is no key", "[Main]\nName=Alpha\n", "Main", "Nam", "<default>"},
        {"the search ends at the next section", "[A]\nx=1\n[B]\nk=2\n", "A", "k", "<default>"},
        {"a later section", "[A]\nx=1\n[B]\nk=2\n", "B", "k", "2"},
        {"comment lines never hold values", "[A]\n;k=1\n  # k=2\nk = 3 \n", "A", "k", "3"},
        {"an empty value gives the default", "[A]\nk=\nk=later\n", "A", "k", "<default>"},
        {"names ignore case and blanks", "[ main ]\nNAME = x\n", "Main", "name", "x"},
        {"a value that looks like a section is a value", "[A]\nv=[B]\nk=wrong\n[B]\nk=right\n", "B", "k", "right"},
        {"the first equals sign splits", "[A]\nk=a=b\n", "A", "k", "a=b"},
        {"missing section", "[A]\nk=1\n", "Z", "k", "<default>"},
        {"empty file", "", "A", "k", "<default>"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        WriteFileBytes("test.ini", c.Content);
        EXPECT_EQ(kxIniFile("test.ini").GetString(c.Section, c.Key, "<default>"), c.Expected);
    }
}

TEST_F(kxIniFileTest, DelimitedValuesSpanLinesAndDropComments) {
    const struct {
        const char* Name;
        const char* Content;
        const char* Expected;
    } cases[] = {
        {"one line", "[A]\nk=\"hello world\" trailing\n", "hello world"},
        {"over lines, joined", "[A]\nk=\"line one\n  line two\"\n", "line oneline two"},
        {"lines that are not data are passed over", "[A]\nk=\"one\n; skipped\n\ntwo\"\n", "onetwo"},
        {"comment inside", "[A]\nk=\"a /* x */b\"\n", "a b"},
        {"comment over lines", "[A]\nk=\"a /* start\nstill inside\nend */ b\"\n", "a  b"},
        {"on past a section line", "[A]\nk=\"x\n[B]\ny\"\n", "x[B]y"},
        {"never closed", "[A]\nk=\"open\nstill open\n", "<default>"},
        {"nothing after the delimiter", "[A]\nk=\"\n", "<default>"},
        {"no delimiter at all", "[A]\nk=plain\n", "<default>"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        WriteFileBytes("test.ini", c.Content);
        EXPECT_EQ(kxIniFile("test.ini").GetString("A", "k", "<default>", "\""), c.Expected);
    }
}

TEST_F(kxIniFileTest, SectionsAndTheirNames) {
    WriteFileBytes("test.ini", "; head\r\n[A]\r\none=1\r\ntwo = \"2\"\r\nbad=\"open\r\nempty=\r\n[]\r\n[ B ]\r\n"
                               "x=y\r\n[C\r\n");
    const kxIniFile ini("test.ini");
    std::vector<kxString> names{kxString("stale")};
    ini.GetSectionNames(names);
    EXPECT_EQ(Texts(names), (std::vector<std::string>{"A", "B"}));

    kxIniFile::Pairs pairs{{"stale", "x"}};
    ini.GetSection("A", "", pairs);
    ASSERT_EQ(pairs.size(), 3u);
    EXPECT_EQ(pairs[0], (std::pair<kxString, kxString>("one", "1")));
    EXPECT_EQ(pairs[1], (std::pair<kxString, kxString>("two", "\"2\"")));
    EXPECT_EQ(pairs[2], (std::pair<kxString, kxString>("bad", "\"open")));

    // With a delimiter, a value that never closes is left out, and one that does not begin on its own line is
    // sought on the lines after it.
    std::map<kxString, kxString> values{{"kept", "k"}};
    ini.GetSection("A", "\"", values);
    EXPECT_EQ(values, (std::map<kxString, kxString>{{"kept", "k"}, {"one", "2"}, {"two", "2"}}));
    ini.GetSection("missing", "", pairs);
    EXPECT_TRUE(pairs.empty());
}

TEST_F(kxIniFileTest, RefusalsNameTheirReason) {
    const kxIniFile missing("missing.ini");
    EXPECT_EQ(ThrownText([&] { missing.GetString("A", "k"); }), "Cannot find INI file: (missing.ini)");
    std::vector<kxString> names;
    EXPECT_EQ(ThrownText([&] { missing.GetSectionNames(names); }), "Cannot find INI file: (missing.ini)");
    WriteFileBytes("test.ini", "[A]\n");
    kxIniFile ini("test.ini");
    EXPECT_EQ(ThrownText([&] { ini.GetString("", "k"); }), "Section name cannot be empty.");
    EXPECT_EQ(ThrownText([&] { ini.GetString("A", ""); }), "Key name cannot be empty.");
    EXPECT_EQ(ThrownText([&] { ini.WriteString("A", "", "v"); }), "Key name cannot be empty.");
    EXPECT_EQ(ThrownText([&] { kxIniFile("").WriteSection("A", {}); }), "Filename cannot be empty.");
    kxIniFile unwritable("missing/test.ini");
    EXPECT_EQ(ThrownText([&] { unwritable.WriteString("A", "k", "v"); }),
              "Failed to write: v, into INI file: missing/test.ini");
    EXPECT_EQ(ThrownText([&] { unwritable.WriteSection("A", {}); }),
              "Failed to write section: A, into INI file: missing/test.ini");
}

TEST_F(kxIniFileTest, WriteStringReplacesInsertsOrAppendsAndKeepsTheRest) {
    kxIniFile ini("test.ini");
    ini.WriteString("Main", "Name", "Alpha"); // a missing file is created
    EXPECT_EQ(ReadFileBytes("test.ini"), "[Main]\nName=Alpha\n");

    WriteFileBytes("test.ini", "; settings\r\n[Main]\r\nNameLong=keep\r\nName=old\r\n\r\n; next\r\n[Other]\r\nx=1");
    ini.WriteString("main", "NAME", "new");
    ini.WriteString("Main", "Added", "2");
    ini.WriteString("Third", "k", "v");
    EXPECT_EQ(ReadFileBytes("test.ini"), "; settings\r\n[Main]\r\nNameLong=keep\r\nNAME=new\r\nAdded=2\r\n\r\n"
                                         "; next\r\n[Other]\r\nx=1\r\n[Third]\r\nk=v\r\n");
    EXPECT_EQ(ini.GetString("Main", "Name"), "new");
}

TEST_F(kxIniFileTest, WriteSectionReplacesTheEntriesOnly) {
    WriteFileBytes("test.ini", "[A]\nold=1\n; inside\nold2=2\n\n; about B\n[B]\nb=1\n");
    kxIniFile ini("test.ini");
    ini.WriteSection("A", {{"n1", "x"}, {"", "skipped"}, {"n2", "y"}});
    EXPECT_EQ(ReadFileBytes("test.ini"), "[A]\nn1=x\nn2=y\n\n; about B\n[B]\nb=1\n");
    ini.WriteSection("B", {});
    EXPECT_EQ(ReadFileBytes("test.ini"), "[A]\nn1=x\nn2=y\n\n; about B\n[B]\n");
    ini.WriteSection("C", {{"c", "3"}});
    EXPECT_EQ(ReadFileBytes("test.ini"), "[A]\nn1=x\nn2=y\n\n; about B\n[B]\n[C]\nc=3\n");
}

TEST_F(kxIniFileTest, WritesReplaceTheFileWholeAndKeepItsModeAndLinks) {
    fs::create_directory("conf");
    WriteFileBytes("conf/real.ini", "[A]\nk=1\n");
    fs::permissions("conf/real.ini", fs::perms::owner_read | fs::perms::owner_write);
    fs::create_symlink("real.ini", "conf/link.ini");
    kxIniFile ini("conf/link.ini");
    ini.WriteString("A", "k", "2");
    EXPECT_TRUE(fs::is_symlink("conf/link.ini"));
    EXPECT_EQ(ReadFileBytes("conf/real.ini"), "[A]\nk=2\n");
    EXPECT_EQ(fs::status("conf/real.ini").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    // Nothing but the two names is left in the folder: the temporary file went by rename.
    EXPECT_EQ(std::distance(fs::directory_iterator("conf"), fs::directory_iterator()), 2);
}
