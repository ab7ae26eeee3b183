#include "kxlib/kxFile.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/TempDirTest.h"
#include "common/Wait.h"
#include "kxlib/kxFileFunctions.h"
#include "kxlib/kxTestSupport.h"

using kx_test::ThrownText;

namespace {

// Every line one pass of ReadLine returns.
std::vector<std::string> Lines(kxFile& file, const kxString& endOfLine) {
    std::vector<std::string> lines;
    kxString line("stale");
    while (file.ReadLine(line, endOfLine)) {
        lines.push_back(line.Str());
    }
    EXPECT_EQ(line, "");
    return lines;
}

class kxFileTest : public TempDirTest {};

} // namespace

TEST_F(kxFileTest, WriteAppendsUnlessTruncating) {
    kxFile file("out.txt");
    EXPECT_EQ(file.Write("abc", 3), 3u);
    EXPECT_EQ(file.Write("def", 3), 3u);
    EXPECT_EQ(ReadFileBytes("out.txt"), "abcdef");
    file.SetTruncate(true);
    file.Write("x", 1, true);
    EXPECT_EQ(ReadFileBytes("out.txt"), "x");

    // A file written and closed at once keeps no descriptor open.
    const int descriptors = CountEntries("/proc/self/fd");
    kxFile once("once.txt");
    once.Write("1", 1, true);
    once.Write("2", 1, true);
    EXPECT_EQ(CountEntries("/proc/self/fd"), descriptors);
    EXPECT_EQ(ReadFileBytes("once.txt"), "12");

    kxFile nowhere("missing/out.txt");
    EXPECT_EQ(ThrownText([&] { nowhere.Write("x", 1); }), "Failed to create/open file: (missing/out.txt).");
}

TEST_F(kxFileTest, ReadTakesTheWholeFileOrItsStartFromTheBeginning) {
    const std::string bytes = std::string("head\0", 5) + std::string(20000, 'b');
    WriteFileBytes("in.bin", bytes);
    kxFile file("in.bin");
    kxString text("stale");
    EXPECT_EQ(file.Read(text), bytes.size());
    EXPECT_EQ(text.Str(), bytes);
    EXPECT_EQ(file.Read(text, 4), 4u); // again from the beginning, with the kept descriptor
    EXPECT_EQ(text, "head");
    EXPECT_EQ(file.Read(text, 1 << 30), bytes.size());
    EXPECT_EQ(file.Read(text, 0), 0u);
    EXPECT_EQ(text, "");

    kxFile missing("missing.bin");
    EXPECT_EQ(ThrownText([&] { missing.Read(text); }), "Failed to open file: (missing.bin).");
}

TEST_F(kxFileTest, ReadLineSplitsAtEveryEndOfLineIncludingOnesAcrossBlocks) {
    const size_t block = kxFile::kLineBlock;
    struct Case {
        std::string Name;
        std::string Content;
        std::string EndOfLine;
        std::vector<std::string> Lines;
    };
    std::vector<Case> cases = {
        {"crlf, last line without end", "a\r\nb\r\nc", "\r\n", {"a", "b", "c"}},
        {"lf, ends with its end", "a\nb\n", "\n", {"a", "b"}},
        {"empty lines", "\n\n", "\n", {"", ""}},
        {"empty file", "", "\n", {}},
        {"lone cr is text", "a\rb\r\n", "\r\n", {"a\rb"}},
        {"line longer than a block",
         std::string(3 * block + 5, 'z') + "\nw",
         "\n",
         {std::string(3 * block + 5, 'z'), "w"}},
    };
    // An end of line that starts at every position around the block boundary.
    for (size_t before = 0; before <= 6; ++before) {
        const std::string first(block - before, 'a');
        cases.push_back({"split " + std::to_string(before), first + "<EOL>b<EOL>", "<EOL>", {first, "b"}});
    }
    cases.push_back({"crlf split", std::string(block - 1, 'x') + "\r\ny", "\r\n", {std::string(block - 1, 'x'), "y"}});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        WriteFileBytes("lines.txt", c.Content);
        kxFile file("lines.txt");
        EXPECT_EQ(Lines(file, c.EndOfLine), c.Lines);
        // The pass after the end starts again from the beginning.
        EXPECT_EQ(Lines(file, c.EndOfLine), c.Lines);
    }
}

TEST_F(kxFileTest, ReadLinePositionsCountsAndSeeks) {
    WriteFileBytes("lines.txt", "one\ntwo\nthree");
    kxFile file("lines.txt");
    EXPECT_TRUE(file.IsAtBegin());
    EXPECT_FALSE(file.IsAtEnd());
    uint32_t count = 0;
    kxString line;
    ASSERT_TRUE(file.ReadLine(line, "\n", &count));
    EXPECT_EQ(line, "one");
    // The whole file sits in the line buffer, yet the reading position is after the first line.
    EXPECT_FALSE(file.IsAtBegin());
    EXPECT_FALSE(file.IsAtEnd());
    ASSERT_TRUE(file.ReadLine(line, "\n", &count));
    ASSERT_TRUE(file.ReadLine(line, "\n", &count));
    EXPECT_EQ(line, "three");
    EXPECT_TRUE(file.IsAtEnd());
    EXPECT_EQ(count, 3u);

    file.SeekToBegin();
    ASSERT_TRUE(file.ReadLine(line, "\n"));
    EXPECT_EQ(line, "one");
    file.SeekToEnd();
    EXPECT_FALSE(file.ReadLine(line, "\n"));
    EXPECT_EQ(line, "");

    kxFile fresh("lines.txt");
    fresh.SeekToEnd(); // opens the file first
    EXPECT_TRUE(fresh.IsAtEnd());
    EXPECT_FALSE(fresh.ReadLine(line, "\n"));

    EXPECT_EQ(ThrownText([&] { file.ReadLine(line, ""); }), "The end of line (EOL) parameter cannot be empty.");
    kxFile missing("missing.txt");
    EXPECT_EQ(ThrownText([&] { missing.ReadLine(line, "\n"); }), "Failed to open file: (missing.txt).");
    EXPECT_EQ(ThrownText([&] { missing.SeekToBegin(); }), "Failed to open file: (missing.txt).");
}

TEST_F(kxFileTest, TruncateAndCloseWithDeletion) {
    kxFile file("data.txt");
    file.Write("content", 7);
    file.Truncate();
    EXPECT_EQ(ReadFileBytes("data.txt"), "");
    file.Write("new", 3);
    EXPECT_EQ(ReadFileBytes("data.txt"), "new");
    file.Close();
    EXPECT_EQ(file.FileName(), "");
    EXPECT_TRUE(FileExists("data.txt"));

    kxFile doomed("doomed.txt");
    doomed.SetDeleteOnClose(true);
    doomed.Write("x", 1);
    doomed.Close();
    EXPECT_FALSE(FileExists("doomed.txt"));
    {
        kxFile scoped("scoped.txt");
        scoped.SetDeleteOnClose(true);
        scoped.Write("x", 1, true);
    }
    EXPECT_FALSE(FileExists("scoped.txt"));
}
