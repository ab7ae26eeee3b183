#include "transaction/SynchroStanFile.h"

#include <csignal>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/TempDirTest.h"

namespace fs = std::filesystem;

namespace {
const std::string kEnd = "\r\r\n";

CFileId FileIdOf(const fs::path& path) {
    CFileId id;
    EXPECT_TRUE(GetFileId(path, &id)) << path;
    return id;
}

class SynchroStanFileTest : public TempDirTest {
protected:
    // Files other than the STAN file and |keep| left in the folder (a temporary file would show here).
    static std::vector<std::string> StrayFiles(const std::string& keep = "") {
        std::vector<std::string> stray;
        for (const auto& entry : fs::directory_iterator(".")) {
            const std::string name = entry.path().filename().string();
            if (name != kSynchroStanFileName && name != keep) {
                stray.push_back(name);
            }
        }
        return stray;
    }
};
} // namespace

TEST_F(SynchroStanFileTest, FirstCallCreatesTheFileAndReturnsOne) {
    CSynchroStanFile stan;
    std::string error = "left over";
    EXPECT_EQ(stan.NextStan(error), 1);
    EXPECT_EQ(error, "");
    EXPECT_EQ(ReadFileBytes(kSynchroStanFileName), "1" + kEnd);
    EXPECT_EQ(stan.NextStan(error), 2);
    EXPECT_EQ(ReadFileBytes(kSynchroStanFileName), "2" + kEnd);
    EXPECT_TRUE(StrayFiles().empty());
}

TEST_F(SynchroStanFileTest, AFileThatWentAwayIsMadeAnewFromTheLastStanHandedOut) {
    CSynchroStanFile stan;
    std::string error;
    for (int32_t expected = 1; expected <= 3; ++expected) {
        ASSERT_EQ(stan.NextStan(error), expected);
    }
    fs::remove(kSynchroStanFileName);
    EXPECT_EQ(stan.NextStan(error), 4); // 1 again would reach the host a second time
    EXPECT_EQ(error, "");
    EXPECT_EQ(ReadFileBytes(kSynchroStanFileName), "4" + kEnd);
}

struct StanCase {
    const char* name;
    std::string fileBefore;
    int32_t expected;
};

class StanFromFileTest : public SynchroStanFileTest, public ::testing::WithParamInterface<StanCase> {};

TEST_P(StanFromFileTest, NextStanFollowsTheStoredLine) {
    const StanCase& c = GetParam();
    WriteFileBytes(kSynchroStanFileName, c.fileBefore);
    CSynchroStanFile stan;
    std::string error;
    EXPECT_EQ(stan.NextStan(error), c.expected);
    EXPECT_EQ(error, "");
    EXPECT_EQ(ReadFileBytes(kSynchroStanFileName), std::to_string(c.expected) + kEnd);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StanFromFileTest,
    ::testing::Values(StanCase{"OwnFormat", "41" + kEnd, 42}, StanCase{"PlainLine", "7\n", 8},
                      StanCase{"NoLineEnd", "12", 13}, StanCase{"LeadingBlanks", "  \t99 trailing", 100},
                      StanCase{"PlusSign", "+5\r\n", 6}, StanCase{"Largest", "999999" + kEnd, 1},
                      StanCase{"OneBelowLargest", "999998" + kEnd, 999999}, StanCase{"Above", "1000000\r\n", 1},
                      StanCase{"HugeNumber", "99999999999999999999999\r\n", 1}, StanCase{"NoDigits", "abc\r\n", 1},
                      StanCase{"Negative", "-17\r\n", 1}, StanCase{"MinusOne", "-1\r\n", 1},
                      StanCase{"EmptyFirstLine", "\r\n55\r\n", 1}, StanCase{"OnlySecondLineCounts", "3\n9\n", 4}),
    [](const ::testing::TestParamInfo<StanCase>& info) { return std::string(info.param.name); });

TEST_F(SynchroStanFileTest, EmptyFileRepeatsTheCurrentStanAndStaysEmpty) {
    CSynchroStanFile stan;
    std::string error;
    ASSERT_EQ(stan.NextStan(error), 1);
    WriteFileBytes(kSynchroStanFileName, "");
    EXPECT_EQ(stan.NextStan(error), 1);
    EXPECT_EQ(error, kStanReadFailedText);
    EXPECT_EQ(ReadFileBytes(kSynchroStanFileName), "");

    CSynchroStanFile fresh;
    EXPECT_EQ(fresh.NextStan(error), 0);
    EXPECT_EQ(error, kStanReadFailedText);
}

TEST_F(SynchroStanFileTest, FileThatCannotBeOpenedRepeatsTheCurrentStan) {
    CSynchroStanFile stan;
    std::string error;
    ASSERT_EQ(stan.NextStan(error), 1);
    ASSERT_EQ(stan.NextStan(error), 2);
    // A link that points at itself exists but no one can open it, not even root.
    fs::remove(kSynchroStanFileName);
    fs::create_symlink(kSynchroStanFileName, kSynchroStanFileName);
    EXPECT_EQ(stan.NextStan(error), 2);
    EXPECT_EQ(error, kStanOpenReadFailedText);
    EXPECT_TRUE(fs::is_symlink(kSynchroStanFileName));
}

TEST_F(SynchroStanFileTest, ReadErrorIsReportedWithCauseAndErrorNumber) {
    fs::create_directory(kSynchroStanFileName);
    CSynchroStanFile stan;
    std::string error;
    EXPECT_EQ(stan.NextStan(error), 0);
    EXPECT_EQ(error, "Synchronized Stan File Exception [5},[21]..."); // access denied, EISDIR
    EXPECT_TRUE(fs::is_directory(kSynchroStanFileName));
}

TEST_F(SynchroStanFileTest, NewValueReplacesTheFileInsteadOfRewritingItInPlace) {
    WriteFileBytes(kSynchroStanFileName, "5" + kEnd);
    // A second name for the old file: had the file been truncated and rewritten in place, this name would
    // show the truncation (a crash at that moment would leave the file empty for good).
    fs::create_hard_link(kSynchroStanFileName, "old-stan");
    CSynchroStanFile stan;
    std::string error;
    EXPECT_EQ(stan.NextStan(error), 6);
    EXPECT_EQ(ReadFileBytes("old-stan"), "5" + kEnd);
    EXPECT_EQ(ReadFileBytes(kSynchroStanFileName), "6" + kEnd);
    EXPECT_TRUE(StrayFiles("old-stan").empty());
}

namespace {
// Makes every write to a regular file of this process fail with EFBIG, as a full disk would fail it, for the
// life of the object (the signal such a write raises is ignored meanwhile).
class CScopedNoRoomForWrites {
public:
    CScopedNoRoomForWrites() {
        m_OldHandler = std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &m_Old);
        rlimit none = m_Old;
        none.rlim_cur = 0;
        m_Set = setrlimit(RLIMIT_FSIZE, &none) == 0;
    }
    ~CScopedNoRoomForWrites() {
        setrlimit(RLIMIT_FSIZE, &m_Old);
        std::signal(SIGXFSZ, m_OldHandler);
    }
    CScopedNoRoomForWrites(const CScopedNoRoomForWrites&) = delete;
    CScopedNoRoomForWrites& operator=(const CScopedNoRoomForWrites&) = delete;
    bool Set() const { return m_Set; }

private:
    rlimit m_Old{};
    void (*m_OldHandler)(int) = SIG_DFL;
    bool m_Set = false;
};

struct StanWriteFailureCase {
    const char* name;
    std::optional<std::string> fileBefore; // none: no file yet
    int32_t nextAfterwards;
};

class StanWriteFailureTest : public SynchroStanFileTest, public ::testing::WithParamInterface<StanWriteFailureCase> {};
} // namespace

TEST_P(StanWriteFailureTest, FailedWriteIsAFileErrorAndLeavesTheFileAsItWas) {
    const StanWriteFailureCase& c = GetParam();
    if (c.fileBefore) {
        WriteFileBytes(kSynchroStanFileName, *c.fileBefore);
    }
    CSynchroStanFile stan;
    std::string error;
    int32_t drawn = -1;
    {
        CScopedNoRoomForWrites noRoom;
        ASSERT_TRUE(noRoom.Set());
        drawn = stan.NextStan(error);
    }
    EXPECT_EQ(drawn, 0);
    EXPECT_EQ(error, "Synchronized Stan File Exception [13},[27]..."); // disk full, EFBIG
    EXPECT_EQ(fs::exists(kSynchroStanFileName), c.fileBefore.has_value());
    if (c.fileBefore) {
        EXPECT_EQ(ReadFileBytes(kSynchroStanFileName), *c.fileBefore);
    }
    EXPECT_TRUE(StrayFiles().empty());
    EXPECT_EQ(stan.NextStan(error), c.nextAfterwards);
    EXPECT_EQ(error, "");
}

INSTANTIATE_TEST_SUITE_P(Cases, StanWriteFailureTest,
                         ::testing::Values(StanWriteFailureCase{"NewFile", std::nullopt, 1},
                                           StanWriteFailureCase{"NextValue", "5" + kEnd, 6}),
                         [](const ::testing::TestParamInfo<StanWriteFailureCase>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(SynchroStanFileTest, ErrorTextIsEmptiedOnSuccess) {
    CSynchroStanFile stan;
    std::string error;
    WriteFileBytes(kSynchroStanFileName, "");
    EXPECT_EQ(stan.NextStan(error), 0);
    EXPECT_FALSE(error.empty());
    WriteFileBytes(kSynchroStanFileName, "10" + kEnd);
    EXPECT_EQ(stan.NextStan(error), 11);
    EXPECT_EQ(error, "");
}

TEST_F(SynchroStanFileTest, ConcurrentCallersNeverShareAStan) {
    CSynchroStanFile stan;
    constexpr int kThreads = 4;
    constexpr int kCalls = 25;
    std::vector<std::vector<int32_t>> drawn(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&stan, &drawn, t] {
            std::string error;
            for (int i = 0; i < kCalls; ++i) {
                drawn[t].push_back(stan.NextStan(error));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    std::set<int32_t> all;
    for (const auto& numbers : drawn) {
        all.insert(numbers.begin(), numbers.end());
    }
    EXPECT_EQ(all.size(), static_cast<size_t>(kThreads * kCalls));
    EXPECT_EQ(*all.begin(), 1);
    EXPECT_EQ(*all.rbegin(), kThreads * kCalls);
}

TEST(StanTextTest, LineEndsInTwoCarriageReturnsAndALineFeed) {
    EXPECT_EQ(StanFileText(0), "0\r\r\n");
    EXPECT_EQ(StanFileText(123456), "123456\r\r\n");
}

TEST_F(SynchroStanFileTest, BlockIsReservedWithOneWriteAndTheFileHoldsItsLastNumber) {
    CSynchroStanFile stan(kSynchroStanFileName, 10);
    std::string error;
    EXPECT_EQ(stan.NextStan(error), 1);
    EXPECT_EQ(ReadFileBytes(kSynchroStanFileName), "10" + kEnd);
    // The rest of the block must not touch the file: a new one would come with a new inode.
    const CFileId written = FileIdOf(kSynchroStanFileName);
    for (int32_t expected = 2; expected <= 10; ++expected) {
        EXPECT_EQ(stan.NextStan(error), expected);
        EXPECT_EQ(error, "");
    }
    EXPECT_EQ(FileIdOf(kSynchroStanFileName), written);
    EXPECT_EQ(stan.NextStan(error), 11);
    EXPECT_EQ(ReadFileBytes(kSynchroStanFileName), "20" + kEnd);
    EXPECT_NE(FileIdOf(kSynchroStanFileName), written);
    EXPECT_TRUE(StrayFiles().empty());
}

TEST_F(SynchroStanFileTest, RestartBeginsAboveTheReservedBlock) {
    std::string error;
    {
        CSynchroStanFile stan(kSynchroStanFileName, 10);
        EXPECT_EQ(stan.NextStan(error), 1);
        EXPECT_EQ(stan.NextStan(error), 2);
    }
    CSynchroStanFile restarted(kSynchroStanFileName, 10);
    EXPECT_EQ(restarted.NextStan(error), 11);
}

TEST_F(SynchroStanFileTest, BlockStopsAtTheLargestStanAndTheNextOneIsOne) {
    WriteFileBytes(kSynchroStanFileName, "999995" + kEnd);
    CSynchroStanFile stan(kSynchroStanFileName, 10);
    std::string error;
    for (int32_t expected = 999996; expected <= kMaxStan; ++expected) {
        EXPECT_EQ(stan.NextStan(error), expected);
    }
    EXPECT_EQ(ReadFileBytes(kSynchroStanFileName), "999999" + kEnd);
    EXPECT_EQ(stan.NextStan(error), 1);
    EXPECT_EQ(ReadFileBytes(kSynchroStanFileName), "10" + kEnd);
}

TEST_F(SynchroStanFileTest, FileThatWentAwayInsideABlockIsMadeAnewAtOnce) {
    CSynchroStanFile stan(kSynchroStanFileName, 10);
    std::string error;
    EXPECT_EQ(stan.NextStan(error), 1);
    EXPECT_EQ(stan.NextStan(error), 2);
    fs::remove(kSynchroStanFileName);
    EXPECT_EQ(stan.NextStan(error), 3);
    EXPECT_EQ(error, "");
    EXPECT_EQ(ReadFileBytes(kSynchroStanFileName), "12" + kEnd);
}

TEST_F(SynchroStanFileTest, ProcessKilledAnywhereNeverHasItsStansReused) {
    // A child draws STANs from the process's block size and reports each one before using it; it is killed at
    // whatever point it has reached, several times over. Every STAN drawn after a kill is above all before.
    int32_t highest = 0;
    for (int round = 0; round < 5; ++round) {
        int report[2];
        ASSERT_EQ(::pipe(report), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(report[0]);
            CSynchroStanFile stan(kSynchroStanFileName, kStanReserveBlock);
            std::string error;
            for (;;) {
                const int32_t drawn = stan.NextStan(error);
                if (!error.empty() || ::write(report[1], &drawn, sizeof drawn) != sizeof drawn) {
                    ::_exit(1);
                }
            }
        }
        ::close(report[1]);
        // A different point of the block each round.
        const int wanted = 37 + round * 61;
        int32_t drawn = 0;
        for (int n = 0; n < wanted; ++n) {
            ASSERT_EQ(::read(report[0], &drawn, sizeof drawn), static_cast<ssize_t>(sizeof drawn));
            ASSERT_GT(drawn, highest);
            highest = drawn;
        }
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        // What the child sent before it died counts as handed out too.
        while (::read(report[0], &drawn, sizeof drawn) == static_cast<ssize_t>(sizeof drawn)) {
            ASSERT_GT(drawn, highest);
            highest = drawn;
        }
        ::close(report[0]);
    }
    CSynchroStanFile restarted(kSynchroStanFileName, kStanReserveBlock);
    std::string error;
    EXPECT_GT(restarted.NextStan(error), highest);
    EXPECT_EQ(error, "");
}

TEST_F(SynchroStanFileTest, FileReplacedInsideABlockIsReadAtOnce) {
    CSynchroStanFile stan(kSynchroStanFileName, 10);
    std::string error;
    EXPECT_EQ(stan.NextStan(error), 1);
    // Another file put in its place (a restored backup, say), and then a folder.
    WriteFileBytes("restored", "500" + kEnd);
    fs::rename("restored", kSynchroStanFileName);
    EXPECT_EQ(stan.NextStan(error), 501);
    EXPECT_EQ(ReadFileBytes(kSynchroStanFileName), "510" + kEnd);
    fs::remove(kSynchroStanFileName);
    fs::create_directory(kSynchroStanFileName);
    EXPECT_EQ(stan.NextStan(error), 501);
    EXPECT_EQ(error, "Synchronized Stan File Exception [5},[21]..."); // access denied, EISDIR
}

TEST_F(SynchroStanFileTest, CleanStopGivesTheBlockBackAndTheNextStartGoesOnWithoutAGap) {
    std::string error;
    {
        CSynchroStanFile stan(kSynchroStanFileName, 10);
        EXPECT_TRUE(stan.ReleaseReserve(error)); // nothing drawn: nothing to give back
        EXPECT_FALSE(fs::exists(kSynchroStanFileName));
        for (int32_t expected = 1; expected <= 3; ++expected) {
            ASSERT_EQ(stan.NextStan(error), expected);
        }
        EXPECT_TRUE(stan.ReleaseReserve(error));
        EXPECT_EQ(error, "");
        EXPECT_EQ(ReadFileBytes(kSynchroStanFileName), "3" + kEnd);
        // The interfaces started again in the same process: a new block above the last number used.
        EXPECT_EQ(stan.NextStan(error), 4);
        EXPECT_EQ(ReadFileBytes(kSynchroStanFileName), "13" + kEnd);
        EXPECT_TRUE(stan.ReleaseReserve(error));
        EXPECT_EQ(ReadFileBytes(kSynchroStanFileName), "4" + kEnd);
    }
    CSynchroStanFile restarted(kSynchroStanFileName, 10);
    EXPECT_EQ(restarted.NextStan(error), 5);
    EXPECT_TRUE(StrayFiles().empty());
}

TEST_F(SynchroStanFileTest, CleanStopLeavesAFileThatNoLongerHoldsItsBlock) {
    struct Case {
        const char* name;
        std::function<void()> change;
        std::optional<std::string> fileAfter; // none: no file
    };
    const std::vector<Case> cases = {
        {"replaced by another file",
         [] {
             WriteFileBytes("restored", "500" + kEnd);
             fs::rename("restored", kSynchroStanFileName);
         },
         "500" + kEnd},
        {"rewritten in place", [] { WriteFileBytes(kSynchroStanFileName, "700" + kEnd); }, "700" + kEnd},
        {"removed", [] { fs::remove(kSynchroStanFileName); }, std::nullopt},
    };
    for (const Case& c : cases) {
        fs::remove(kSynchroStanFileName);
        CSynchroStanFile stan(kSynchroStanFileName, 10);
        std::string error;
        ASSERT_EQ(stan.NextStan(error), 1) << c.name;
        ASSERT_EQ(stan.NextStan(error), 2) << c.name;
        c.change();
        EXPECT_TRUE(stan.ReleaseReserve(error)) << c.name;
        EXPECT_EQ(error, "") << c.name;
        EXPECT_EQ(fs::exists(kSynchroStanFileName), c.fileAfter.has_value()) << c.name;
        if (c.fileAfter) {
            EXPECT_EQ(ReadFileBytes(kSynchroStanFileName), *c.fileAfter) << c.name;
        }
    }
}

TEST_F(SynchroStanFileTest, CleanStopThatCannotWriteKeepsTheBlockSoNoStanIsReused) {
    CSynchroStanFile stan(kSynchroStanFileName, 10);
    std::string error;
    ASSERT_EQ(stan.NextStan(error), 1);
    ASSERT_EQ(stan.NextStan(error), 2);
    {
        CScopedNoRoomForWrites noRoom;
        ASSERT_TRUE(noRoom.Set());
        EXPECT_FALSE(stan.ReleaseReserve(error));
    }
    EXPECT_EQ(error, "Synchronized Stan File Exception [13},[27]..."); // disk full, EFBIG
    EXPECT_EQ(ReadFileBytes(kSynchroStanFileName), "10" + kEnd);
    EXPECT_TRUE(StrayFiles().empty());
    CSynchroStanFile restarted(kSynchroStanFileName, 10);
    EXPECT_EQ(restarted.NextStan(error), 11);
}
