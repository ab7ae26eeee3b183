// scripts/run, the demo, run as a person would run it but on this build's programs (nothing is set up or built)
// and in a temporary folder: the server starting from an empty folder with its parameters from the
// management-service fake, a summary line above each raw reply, a second demo refused while one runs (without
// touching the first one's files), and Ctrl-C waiting for the server's clean shut-down, also with the output
// piped into a reader that Ctrl-C ends or that goes away by itself.

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/ChildProcess.h"
#include "app/VYRRuvuzUvirIP_Voda50App.h"
#include "common/LogFolder.h"
#include "common/TempDirTest.h"
#include "common/Wait.h"
#include "platform/LockFile.h"

using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using testing_child::CChildProcess;
using testing_child::kChildPollMs;
using testing_child::TestBinaryFolder;

namespace {

constexpr int kDemoTimeoutMs = 180000;
constexpr int kStopTimeoutMs = 60000;
constexpr char kDemoRunning[] = "Ctrl-C stops them all.";

std::filesystem::path RunScript() {
    return std::filesystem::path(KESTROVE_SOURCE_DIR) / "scripts" / "run";
}

class RunScriptTest : public TempDirTest {
protected:
    void SetUp() override {
        m_RunDir = m_TempDir.Path() / "run";
        m_Env = {{"KESTROVE_RUN_DIR", m_RunDir.string()},
                 {"KESTROVE_BUILD_DIR", TestBinaryFolder().parent_path().string()},
                 {"KESTROVE_POS_PORT", "0"}};
    }
    // A demo that a failed check left running still stops its server and simulator through its own trap.
    void TearDown() override {
        if (m_Demo.Signal(SIGTERM)) {
            m_Demo.Wait(kStopTimeoutMs);
        }
    }

    std::filesystem::path m_RunDir;
    std::map<std::string, std::string> m_Env;
    CChildProcess m_Demo;
};

// The processes whose command line or working folder names |folder| (a demo's server and simulators, whose
// certificate and state live there), this one aside.
std::vector<pid_t> ProcessesIn(const std::filesystem::path& folder) {
    std::vector<pid_t> found;
    std::error_code ec;
    for (std::filesystem::directory_iterator it("/proc", ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos || std::stoi(name) == ::getpid()) {
            continue;
        }
        std::ifstream cmdline(it->path() / "cmdline");
        const std::string command{std::istreambuf_iterator<char>(cmdline), std::istreambuf_iterator<char>()};
        std::error_code linkError;
        const std::string cwd = std::filesystem::read_symlink(it->path() / "cwd", linkError).string();
        if (command.find(folder.string()) != std::string::npos || cwd.rfind(folder.string(), 0) == 0) {
            found.push_back(static_cast<pid_t>(std::stoi(name)));
        }
    }
    return found;
}

// The lines of |text| that start with one of the demo's step labels.
std::vector<std::string> SummaryLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < text.size()) {
        const size_t end = text.find('\n', at);
        const std::string line = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
        for (const char* label : {"Issue ", "Sale ", "Balance:", "Reload ", "VoidSale "}) {
            if (line.rfind(label, 0) == 0) {
                lines.push_back(line);
            }
        }
        at = end == std::string::npos ? text.size() : end + 1;
    }
    return lines;
}

TEST_F(RunScriptTest, DemoSummarisesEachStepRefusesASecondDemoAndStopsCleanlyOnCtrlC) {
    // What an earlier demo left behind goes: the server starts from an empty folder.
    std::filesystem::create_directories(m_RunDir / "demo");
    WriteFileBytes(m_RunDir / "demo" / "MerchantParams.dat", "4;21;STALEMERCH1;");
    WriteFileBytes(m_RunDir / "demo" / "LanesInfo.dat", "1\x1cOld lane\r\n");
    m_Demo.SetOwnProcessGroup(true);
    ASSERT_TRUE(m_Demo.Start(RunScript(), {}, m_TempDir.Path(), m_Env, "demo"));
    ASSERT_TRUE(WaitUntil([&] { return m_Demo.Stdout().find(kDemoRunning) != std::string::npos || m_Demo.Wait(0); },
                          kDemoTimeoutMs, kChildPollMs))
        << m_Demo.Stdout() << m_Demo.Stderr();
    ASSERT_EQ(-1, m_Demo.ExitCode()) << m_Demo.Stdout() << m_Demo.Stderr();

    // The parameters came from the management-service fake at the server's start.
    const std::string out = m_Demo.Stdout();
    EXPECT_THAT(out, HasSubstr("downloaded its merchant's parameters from the management-service fake"));
    EXPECT_THAT(ReadFileBytes(m_RunDir / "demo" / "MerchantParams.dat"),
                MatchesRegex("4;21;RVZMERCH001;RVZALTID002;0042;.*"));
    EXPECT_FALSE(std::filesystem::exists(m_RunDir / "demo" / "LanesInfo.dat"));
    EXPECT_THAT(ReadFileBytes(m_RunDir / "nqmssim.log"), HasSubstr("challenge answered -> OK"));

    // One line a person can read for each step, above the raw reply of that step.
    const std::vector<std::string> summaries = SummaryLines(out);
    ASSERT_EQ(5u, summaries.size()) << out;
    EXPECT_THAT(summaries[0], MatchesRegex("Issue 50\\.00: Approved, balance 50\\.00, auth [0-9]+"));
    EXPECT_THAT(summaries[1], MatchesRegex("Sale 12\\.50: Approved, balance 37\\.50, auth [0-9]+"));
    EXPECT_THAT(summaries[2], MatchesRegex("Balance: Approved, balance 37\\.50.*"));
    EXPECT_THAT(summaries[3], MatchesRegex("Reload 20\\.00: Approved, balance 57\\.50, auth [0-9]+"));
    EXPECT_THAT(summaries[4], MatchesRegex("VoidSale 12\\.50: Approved, balance 70\\.00, auth [0-9]+"));
    for (const std::string& summary : summaries) {
        const size_t at = out.find(summary);
        const size_t reply = out.find("<RStream>", at);
        ASSERT_NE(std::string::npos, reply) << summary;
        EXPECT_EQ(std::string::npos, out.substr(at, reply - at).find("===")) << "no reply below: " << summary;
    }

    // A second demo is refused and names the process that holds the first; the first one's files stay.
    const std::string certificate = ReadFileBytes(m_RunDir / "ca.pem");
    const std::string parameters = ReadFileBytes(m_RunDir / "demo" / "MerchantParams.dat");
    CChildProcess second;
    ASSERT_TRUE(second.Start(RunScript(), {}, m_TempDir.Path(), m_Env, "second"));
    ASSERT_TRUE(second.Wait(kStopTimeoutMs));
    EXPECT_EQ(1, second.ExitCode());
    EXPECT_THAT(second.Stderr(), HasSubstr("another scripts/run (process " + std::to_string(m_Demo.Pid()) + ")"));
    EXPECT_EQ(certificate, ReadFileBytes(m_RunDir / "ca.pem"));
    EXPECT_EQ(parameters, ReadFileBytes(m_RunDir / "demo" / "MerchantParams.dat"));
    EXPECT_EQ(-1, m_Demo.ExitCode());

    // Ctrl-C: the script waits for the server's shut-down, says how it ended and ends with it.
    ASSERT_TRUE(m_Demo.SignalGroup(SIGINT));
    ASSERT_TRUE(m_Demo.Wait(kStopTimeoutMs));
    EXPECT_EQ(0, m_Demo.ExitCode()) << m_Demo.Stdout() << m_Demo.Stderr();
    EXPECT_THAT(m_Demo.Stdout(), HasSubstr("kestrove stopped (exit 0)"));
    EXPECT_THAT(ReadLogFolder(m_RunDir / "demo"), HasSubstr("Server Shutdown . . ."));
    EXPECT_THAT(ReadFileBytes(m_RunDir / "nqmssim.log"), HasSubstr("nqmssim: stopped"));
    // The server is gone: its instance lock is free again.
    CLockFile probe;
    EXPECT_EQ(ELockResult::Acquired, probe.TryAcquire(m_RunDir / "demo" / kServiceInstanceLockName));
}

} // namespace

namespace {

struct PipedCase {
    std::string name;
    std::string reader; // the command the demo's output is piped into
    bool ctrlC;         // the reader stays until Ctrl-C; else it goes away by itself after some lines
};

void PrintTo(const PipedCase& c, std::ostream* os) {
    *os << c.name;
}

class PipedRunScriptTest : public RunScriptTest, public ::testing::WithParamInterface<PipedCase> {
protected:
    void SetUp() override {
        RunScriptTest::SetUp();
        // No lane starts late here: the server's stop need not wait the usual 5 s for one.
        m_Env["KESTROVE_CLIENT_SETTLE_MS"] = "200";
    }
    // Whatever a failed check left running goes with the test.
    void TearDown() override {
        RunScriptTest::TearDown();
        for (const pid_t pid : ProcessesIn(m_RunDir)) {
            ::kill(pid, SIGKILL);
        }
    }
};

TEST_P(PipedRunScriptTest, TheServerAndBothSimulatorsStopWhenTheReaderOfThePipeIsGone) {
    const PipedCase& c = GetParam();
    // As a terminal runs `scripts/run | tee run.log`: both in one process group, which Ctrl-C signals whole.
    m_Demo.SetOwnProcessGroup(true);
    ASSERT_TRUE(m_Demo.Start("/bin/bash", {"-c", "\"$0\" | " + c.reader, RunScript().string()}, m_TempDir.Path(), m_Env,
                             "demo"));
    ASSERT_TRUE(
        WaitUntil([&] { return m_Demo.Stdout().find("serves POS clients on") != std::string::npos || m_Demo.Wait(0); },
                  kDemoTimeoutMs, kChildPollMs))
        << m_Demo.Stdout() << m_Demo.Stderr();
    if (c.ctrlC) {
        ASSERT_EQ(3u, ProcessesIn(m_RunDir).size()) << "the server and both simulators run";
        ASSERT_TRUE(m_Demo.SignalGroup(SIGINT));
    }
    ASSERT_TRUE(m_Demo.Wait(kStopTimeoutMs)) << m_Demo.Stdout() << m_Demo.Stderr();

    EXPECT_TRUE(ProcessesIn(m_RunDir).empty());
    // The server was stopped, not left to die: it shut down cleanly and said so where the person can see it.
    EXPECT_THAT(ReadLogFolder(m_RunDir / "demo"), HasSubstr("Server Shutdown . . ."));
    EXPECT_THAT(m_Demo.Stderr(), HasSubstr("run: kestrove stopped (exit 0)"));
    EXPECT_THAT(ReadFileBytes(m_RunDir / "nqmssim.log"), HasSubstr("nqmssim: stopped"));
}

INSTANTIATE_TEST_SUITE_P(Readers, PipedRunScriptTest,
                         ::testing::Values(PipedCase{"TeeEndedByCtrlC", "tee run.log", true},
                                           PipedCase{"ReaderThatQuits", "head -n 5", false}),
                         [](const auto& info) { return info.param.name; });

} // namespace
