#include "foundation/Logger.h"

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "common/ScopedTimeZone.h"
#include "common/TempDirTest.h"
#include "common/TestClock.h"
#include "platform/WorkerThread.h"

namespace {
namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The file names and stamps below are in UTC; set before any thread can read the zone.
const CScopedTimeZone g_UtcZone("UTC");

const std::chrono::system_clock::time_point kMarch7 =
    std::chrono::sys_days{std::chrono::year{2026} / 3 / 7} + 12h + 34min + 56s;
const fs::path kDailyFile = "CORVANE_LOGS/VYR03072026.log";
const fs::path kFallbackFile = "CORVANE_LOGS/VYR03072026_ALT.log";

// One entry as it lies in the file.
std::string Entry(const std::string& text, const std::string& stamp = "[12:34:56]") {
    return stamp + text + "\r\n----------\r\n";
}

struct MaskCase {
    const char* name;
    std::string in;
    std::string out;
};

void PrintTo(const MaskCase& c, std::ostream* os) {
    *os << c.name;
}

class MaskLogLineTest : public ::testing::TestWithParam<MaskCase> {};

TEST_P(MaskLogLineTest, RewritesTheLine) {
    std::string line = GetParam().in;
    MaskLogLine(line);
    EXPECT_EQ(line, GetParam().out);
}

// Control characters of the wire texts, spelled out so the cases read like the lines they stand for.
const std::string FS = "\x1c";
const std::string STX = "\x02";
const std::string ETX = "\x03";
const std::string DC1 = "\x11";
const std::string DC2 = "\x12";
const std::string RS = "\x1e";
const std::string US = "\x1f";

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, MaskLogLineTest, ::testing::Values(
    MaskCase{"BlockBeforeSentTo", "[" + FS + "1A1B2C3D] sent to 10.0.0.1", "[ Encrypted Msg ] sent to 10.0.0.1"},
    MaskCase{"BlockBeforeReceivedFrom", "Req " + FS + "2FFEE received from 127.0.0.1",
             "Req  Encrypted Msg ] received from 127.0.0.1"},
    MaskCase{"MarkerAtStart", FS + "1secret sent to pos", " Encrypted Msg ] sent to pos"},
    MaskCase{"MarkerWithoutEitherWordStays", "Frame " + FS + "200" + STX + "<RStream/>" + ETX,
             "Frame " + FS + "200" + STX + "<RStream/>" + ETX},
    MaskCase{"SentToWinsOverReceivedFrom", "a" + FS + "1b received from c sent to d", "a Encrypted Msg ] sent to d"},
    MaskCase{"WordsAreSearchedFromTheStart", "sent to x " + FS + "1blk",
             "sent to x  Encrypted Msg ] sent to x " + FS + "1blk"},
    MaskCase{"OtherFsCodeIsNoMarker", "x" + FS + "3" + DC1 + "key" + DC2 + "y", "x" + FS + "3y"},
    MaskCase{"MarkerLineKeepsKeySpans", "x" + DC1 + "k" + DC2 + " " + FS + "2y", "x" + DC1 + "k" + DC2 + " " + FS + "2y"},
    MaskCase{"FirstKeySpanAndRecordSpanGo", "a" + DC1 + "key" + DC2 + "b" + DC1 + "key2" + DC2 + "c" + RS + "blk" + US + "d",
             "ab" + DC1 + "key2" + DC2 + "cd"},
    MaskCase{"Dc2BeforeDc1Stays", "a" + DC2 + "b" + DC1 + "c", "a" + DC2 + "b" + DC1 + "c"},
    MaskCase{"RsWithoutUsStays", "a" + RS + "b", "a" + RS + "b"},
    MaskCase{"PlainLineStays", "[10:00:00]Server started", "[10:00:00]Server started"}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

struct StripCase {
    const char* name;
    std::string in;
    std::string out;
};

void PrintTo(const StripCase& c, std::ostream* os) {
    *os << c.name;
}

class StripAdminTranTypeTest : public ::testing::TestWithParam<StripCase> {};

TEST_P(StripAdminTranTypeTest, RemovesKeyValueAndSeparator) {
    std::string line = GetParam().in;
    StripAdminTranType(line);
    EXPECT_EQ(line, GetParam().out);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, StripAdminTranTypeTest, ::testing::Values(
    StripCase{"FieldInTheMiddle", "TStream=Transaction" + FS + "TranType=Administrative" + FS + "TranCode=Ping",
              "TStream=Transaction" + FS + "TranCode=Ping"},
    StripCase{"KeyAtTheVeryEnd", "fields: TranType=Administrative", "fields: "},
    StripCase{"OneCharacterAfterTheKey", "TranType=Administrative;", ""},
    StripCase{"OnlyTheFirstGoes", "TranType=Administrative,TranType=Administrative", "TranType=Administrative"},
    StripCase{"OtherTranTypeStays", "TranType=PrePaid" + FS + "TranCode=Sale", "TranType=PrePaid" + FS + "TranCode=Sale"}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// A fresh logger in a temporary folder with the log directory, on a manual clock at 7 March 2026 12:34:56.
class LoggerFileTest : public TempDirTest {
protected:
    LoggerFileTest() { fs::create_directory(CLogger::kFolderName); }

    CTestClock m_Clock{1000000, kMarch7};
    CScopedClock m_ScopedClock{m_Clock};
    std::unique_ptr<CLogger> m_Logger = CLogger::CreateForTesting();
};

TEST_F(LoggerFileTest, EntryGoesToTheDailyFileWithCrLfAndSeparator) {
    ASSERT_TRUE(m_Logger->LogLine("Sale %s for %d.%02d", "approved", 12, 5));
    ASSERT_TRUE(m_Logger->LogLine("two\nlines"));
    ASSERT_TRUE(m_Logger->Flush());
    EXPECT_EQ(ReadFileBytes(kDailyFile), Entry("Sale approved for 12.05") + "[12:34:56]two\r\nlines\r\n----------\r\n");
    EXPECT_FALSE(fs::exists(kFallbackFile));
}

TEST_F(LoggerFileTest, LogFilesAreTheOwnersAloneWhateverTheUmask) {
    const mode_t previous = ::umask(0);
    ASSERT_TRUE(m_Logger->LogLine("new file"));
    ASSERT_TRUE(m_Logger->Flush());
    EXPECT_EQ(fs::status(kDailyFile).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    // A file that an earlier version left readable to all is closed to others by the next batch.
    fs::permissions(kDailyFile, fs::perms::all);
    ASSERT_TRUE(m_Logger->LogLine("next batch"));
    ASSERT_TRUE(m_Logger->Flush());
    ::umask(previous);
    EXPECT_EQ(fs::status(kDailyFile).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(ReadFileBytes(kDailyFile), Entry("new file") + Entry("next batch"));
}

TEST_F(LoggerFileTest, LongLineIsWrittenWhole) {
    const std::string text(100000, 'x');
    ASSERT_TRUE(m_Logger->LogLine("%s", text.c_str()));
    ASSERT_TRUE(m_Logger->Flush());
    EXPECT_EQ(ReadFileBytes(kDailyFile), Entry(text));
}

TEST_F(LoggerFileTest, ExistingFileIsAppendedToNotTruncated) {
    WriteFileBytes(kDailyFile, "earlier\r\n");
    ASSERT_TRUE(m_Logger->LogLine("later"));
    ASSERT_TRUE(m_Logger->Flush());
    EXPECT_EQ(ReadFileBytes(kDailyFile), "earlier\r\n" + Entry("later"));
}

TEST_F(LoggerFileTest, LinesAreMaskedStrippedOrDroppedOnTheWayToTheFile) {
    m_Logger->LogLine("%s", ("Request " + FS + "1DEADBEEF received from 127.0.0.1").c_str());
    m_Logger->LogLine("%s", ("TStream=Corvane" + FS + "TranCode=Login" + FS + "AcctNo=6006491234567890").c_str());
    m_Logger->LogLine("%s", ("Fields TranType=Administrative" + FS + "TranCode=Ping").c_str());
    m_Logger->LogLine("%s", ("Key " + DC1 + "secret" + DC2 + " done").c_str());
    ASSERT_TRUE(m_Logger->Flush());
    EXPECT_EQ(ReadFileBytes(kDailyFile), Entry("Request  Encrypted Msg ] received from 127.0.0.1") +
                                             Entry("Fields TranCode=Ping") + Entry("Key  done"));
}

TEST_F(LoggerFileTest, LogLineAfterStopReturnsFalseAndIsNotWritten) {
    ASSERT_TRUE(m_Logger->LogLine("before the stop"));
    m_Logger->Stop();
    EXPECT_FALSE(m_Logger->LogLine("after the stop"));
    EXPECT_TRUE(m_Logger->Flush());
    EXPECT_EQ(ReadFileBytes(kDailyFile), Entry("before the stop"));
}

TEST_F(LoggerFileTest, WriterThatCannotStartRefusesEveryLine) {
    CWorkerThread::FailNextStartsForTesting(1);
    auto logger = CLogger::CreateForTesting();
    EXPECT_FALSE(logger->LogLine("never"));
    EXPECT_TRUE(logger->Flush()); // nothing was queued, so nothing to wait for
    logger.reset();
    EXPECT_TRUE(fs::is_empty(CLogger::kFolderName));
}

TEST_F(LoggerFileTest, UnopenableDailyFileSendsTheBatchToTheFallback) {
    // A folder in the daily file's place cannot be opened for writing, as a file locked by another program.
    fs::create_directory(kDailyFile);
    ASSERT_TRUE(m_Logger->LogLine("to the fallback"));
    ASSERT_TRUE(m_Logger->Flush());
    EXPECT_EQ(ReadFileBytes(kFallbackFile), Entry("to the fallback"));
}

TEST_F(LoggerFileTest, MissingLogDirectoryDropsTheBatchAndTheNextBatchTriesAgain) {
    fs::remove(CLogger::kFolderName);
    ASSERT_TRUE(m_Logger->LogLine("lost"));
    ASSERT_TRUE(m_Logger->Flush());
    EXPECT_FALSE(fs::exists(CLogger::kFolderName));
    fs::create_directory(CLogger::kFolderName);
    ASSERT_TRUE(m_Logger->LogLine("kept"));
    ASSERT_TRUE(m_Logger->Flush());
    EXPECT_EQ(ReadFileBytes(kDailyFile), Entry("kept"));
}

TEST_F(LoggerFileTest, FailedWriteLosesOnlyThatBatch) {
    if (!fs::exists("/dev/full")) {
        GTEST_SKIP() << "no /dev/full";
    }
    fs::create_symlink("/dev/full", kDailyFile); // opens, but every write fails: a full disk
    ASSERT_TRUE(m_Logger->LogLine("no room"));
    ASSERT_TRUE(m_Logger->Flush());
    fs::remove(kDailyFile);
    ASSERT_TRUE(m_Logger->LogLine("room again"));
    ASSERT_TRUE(m_Logger->Flush());
    EXPECT_EQ(ReadFileBytes(kDailyFile), Entry("room again"));
}

TEST_F(LoggerFileTest, BatchAfterMidnightGoesToTheNewDaysFile) {
    ASSERT_TRUE(m_Logger->LogLine("evening"));
    ASSERT_TRUE(m_Logger->Flush());
    m_Clock.Advance(12 * 3600 * 1000);
    ASSERT_TRUE(m_Logger->LogLine("morning"));
    ASSERT_TRUE(m_Logger->Flush());
    EXPECT_EQ(ReadFileBytes(kDailyFile), Entry("evening"));
    EXPECT_EQ(ReadFileBytes(fs::path(CLogger::kFolderName) / "VYR03082026.log"), Entry("morning", "[00:34:56]"));
}

// The writer keeps the day's file open between batches; whatever another program does to the file between two
// batches, the second one goes to the file that the name leads to then.
struct ReopenCase {
    const char* name;
    std::function<void()> betweenBatches;
    std::string movedAway; // what the file moved aside holds at the end, if one was
};

void PrintTo(const ReopenCase& c, std::ostream* os) {
    *os << c.name;
}

class LoggerReopenTest : public LoggerFileTest, public ::testing::WithParamInterface<ReopenCase> {};

TEST_P(LoggerReopenTest, SecondBatchGoesToTheFileTheNameLeadsTo) {
    const ReopenCase& c = GetParam();
    ASSERT_TRUE(m_Logger->LogLine("first"));
    ASSERT_TRUE(m_Logger->Flush());
    c.betweenBatches();
    ASSERT_TRUE(m_Logger->LogLine("second"));
    ASSERT_TRUE(m_Logger->Flush());
    EXPECT_EQ(ReadFileBytes(kDailyFile), Entry("second"));
    EXPECT_EQ(fs::status(kDailyFile).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    if (!c.movedAway.empty()) {
        EXPECT_EQ(ReadFileBytes("moved.log"), c.movedAway);
    }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, LoggerReopenTest, ::testing::Values(
    ReopenCase{"MovedAway", [] { fs::rename(kDailyFile, "moved.log"); }, Entry("first")},
    ReopenCase{"Deleted", [] { fs::remove(kDailyFile); }, ""},
    ReopenCase{"ReplacedByAnEmptyFile", [] {
        fs::rename(kDailyFile, "moved.log");
        WriteFileBytes(kDailyFile, "");
    }, Entry("first")},
    ReopenCase{"FolderMadeAnew", [] {
        fs::rename(CLogger::kFolderName, "moved");
        fs::create_directory(CLogger::kFolderName);
        fs::rename(fs::path("moved") / kDailyFile.filename(), "moved.log");
    }, Entry("first")}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

TEST_F(LoggerFileTest, FileKeptOpenStillTakesEveryBatchInOrder) {
    for (int n = 0; n < 3; ++n) {
        ASSERT_TRUE(m_Logger->LogLine("batch %d", n));
        ASSERT_TRUE(m_Logger->Flush());
    }
    EXPECT_EQ(ReadFileBytes(kDailyFile), Entry("batch 0") + Entry("batch 1") + Entry("batch 2"));
}

TEST_F(LoggerFileTest, BatchAfterTheFallbackTriesTheDailyFileAgain) {
    fs::create_directory(kDailyFile);
    ASSERT_TRUE(m_Logger->LogLine("to the fallback"));
    ASSERT_TRUE(m_Logger->Flush());
    fs::remove(kDailyFile);
    ASSERT_TRUE(m_Logger->LogLine("to the daily file"));
    ASSERT_TRUE(m_Logger->Flush());
    EXPECT_EQ(ReadFileBytes(kFallbackFile), Entry("to the fallback"));
    EXPECT_EQ(ReadFileBytes(kDailyFile), Entry("to the daily file"));
}

// A frame that IsCutFromSentLine lets a caller leave out gives the file the same bytes as the whole line did; any
// other frame must go to the writer whole.
TEST_F(LoggerFileTest, AFrameCutBeforeFormattingLeavesTheSameBytes) {
    const std::string stx = "\x02";
    const std::string etx = "\x03";
    const struct {
        const char* name;
        std::string frame;
        bool cut;
    } cases[] = {
        {"encrypted reply", FS + "200" + stx + "0A1B2C3D4E" + etx, true},
        {"marker 1", FS + "100" + stx + "ABCDEF" + etx, true},
        {"plain reply", FS + "000" + stx + "<RStream>sent</RStream>" + etx, false},
        {"marker 1 behind the frame's own", FS + "200" + stx + "AB" + FS + "1CD" + etx, false},
        {"sent to inside", FS + "200" + stx + "was sent to" + etx, false},
        {"dropped marker inside", FS + "200" + stx + "TStream=Corvane" + etx, false},
        {"too short", FS, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(IsCutFromSentLine(c.frame), c.cut);
        if (!c.cut) {
            continue;
        }
        fs::remove(kDailyFile);
        ASSERT_TRUE(m_Logger->LogLine("[%s] sent to %s", c.frame.c_str(), "127.0.0.1:0001"));
        ASSERT_TRUE(m_Logger->Flush());
        const std::string whole = ReadFileBytes(kDailyFile);
        fs::remove(kDailyFile);
        ASSERT_TRUE(m_Logger->LogLine("%ssent to %s", kCutSentFramePrefix, "127.0.0.1:0001"));
        ASSERT_TRUE(m_Logger->Flush());
        EXPECT_EQ(ReadFileBytes(kDailyFile), whole);
        EXPECT_EQ(whole, Entry("[ Encrypted Msg ] sent to 127.0.0.1:0001"));
    }
}

TEST_F(LoggerFileTest, LinesQueuedWhileTheWriterIsBusyFollowInTheNextBatch) {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<size_t> batches;
    bool release = false;
    m_Logger->SetBatchHookForTesting([&](size_t size) {
        std::unique_lock<std::mutex> guard(lock);
        batches.push_back(size);
        changed.notify_all();
        if (batches.size() == 1) {
            changed.wait(guard, [&] { return release; });
        }
    });
    ASSERT_TRUE(m_Logger->LogLine("first"));
    {
        std::unique_lock<std::mutex> guard(lock);
        changed.wait(guard, [&] { return !batches.empty(); });
    }
    ASSERT_TRUE(m_Logger->LogLine("second"));
    ASSERT_TRUE(m_Logger->LogLine("third"));
    {
        std::lock_guard<std::mutex> guard(lock);
        release = true;
        changed.notify_all();
    }
    ASSERT_TRUE(m_Logger->Flush());
    EXPECT_EQ(batches, (std::vector<size_t>{1, 2}));
    EXPECT_EQ(ReadFileBytes(kDailyFile), Entry("first") + Entry("second") + Entry("third"));
}

TEST_F(LoggerFileTest, EveryLineOfConcurrentCallersIsWrittenInEachCallersOrder) {
    constexpr int kThreads = 8;
    constexpr int kLines = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int n = 0; n < kLines; ++n) {
                m_Logger->LogLine("t%d n%d", t, n);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    ASSERT_TRUE(m_Logger->Flush());
    const std::string bytes = ReadFileBytes(kDailyFile);
    std::vector<int> next(kThreads, 0);
    int entries = 0;
    size_t pos = 0;
    const std::string separator = "\r\n----------\r\n";
    while (pos < bytes.size()) {
        const size_t end = bytes.find(separator, pos);
        ASSERT_NE(end, std::string::npos);
        int t = -1;
        int n = -1;
        ASSERT_EQ(std::sscanf(bytes.substr(pos, end - pos).c_str(), "[12:34:56]t%d n%d", &t, &n), 2);
        ASSERT_TRUE(t >= 0 && t < kThreads);
        EXPECT_EQ(n, next[t]++);
        ++entries;
        pos = end + separator.size();
    }
    EXPECT_EQ(entries, kThreads * kLines);
}

TEST_F(LoggerFileTest, ProcessLoggerWritesIntoTheCurrentDirectory) {
    CLogger& logger = CLogger::Instance();
    EXPECT_EQ(&logger, &CLogger::Instance());
    ASSERT_TRUE(logger.LogLine("process logger %d", 7));
    ASSERT_TRUE(logger.Flush());
    EXPECT_EQ(ReadFileBytes(kDailyFile), Entry("process logger 7"));
}

} // namespace
