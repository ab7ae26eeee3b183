// The programs' "-" options, run as the real programs: kestrove answers --help, -h and --version and refuses
// any other "-" argument before it makes anything (no log, key, parameter or lock file); the test peers show
// their defaults.

#include "app/Program.h"

#include <filesystem>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ChildProcess.h"
#include "common/ScopedEnvironment.h"
#include "common/TempDirTest.h"

using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;
using testing_child::CChildProcess;
using testing_child::KestroveProgram;
using testing_child::TestBinaryFolder;

namespace {

constexpr int kTimeoutMs = 30000;

// Every name in |folder| but the child's own output files.
std::vector<std::string> MadeIn(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (name != "child.out" && name != "child.err") {
            names.push_back(name);
        }
    }
    return names;
}

struct OptionCase {
    std::string name;
    std::vector<std::string> args;
    int exitCode;
    std::string stdoutStart; // "" : nothing on standard output
    std::string stderrStart; // "" : nothing on standard error
};

void PrintTo(const OptionCase& c, std::ostream* os) {
    *os << c.name;
}

class ProgramOptionsTest : public TempDirTest, public ::testing::WithParamInterface<OptionCase> {};

TEST_P(ProgramOptionsTest, AnswersWithoutMakingAnything) {
    const OptionCase& c = GetParam();
    const std::filesystem::path folder = m_TempDir.Path() / "instance";
    const std::filesystem::path locks = m_TempDir.Path() / "locks";
    std::filesystem::create_directories(folder);
    CChildProcess child;
    ASSERT_TRUE(child.Start(KestroveProgram(), c.args, folder, {{"KESTROVE_LOCK_DIR", locks.string()}}));
    ASSERT_TRUE(child.Wait(kTimeoutMs));
    EXPECT_EQ(c.exitCode, child.ExitCode());
    if (c.stdoutStart.empty()) {
        EXPECT_EQ("", child.Stdout());
    } else {
        EXPECT_THAT(child.Stdout(), StartsWith(c.stdoutStart));
    }
    if (c.stderrStart.empty()) {
        EXPECT_EQ("", child.Stderr());
    } else {
        EXPECT_THAT(child.Stderr(), StartsWith(c.stderrStart));
        // The refusal shows the usage too.
        EXPECT_THAT(child.Stderr(), HasSubstr("Usage: kestrove"));
    }
    EXPECT_THAT(MadeIn(folder), IsEmpty());
    EXPECT_FALSE(std::filesystem::exists(locks));
}

INSTANTIATE_TEST_SUITE_P(
    Options, ProgramOptionsTest,
    ::testing::Values(
        OptionCase{"Help", {"--help"}, 0, "Usage: kestrove [/started_as_service] [/device_id=[ID]]\n", ""},
        OptionCase{"ShortHelp", {"-h"}, 0, "Usage: kestrove", ""},
        OptionCase{"HelpInServiceMode", {"/started_as_service", "--help"}, 0, "Usage: kestrove", ""},
        OptionCase{"Version", {"--version"}, 0, "kestrove 5.00.06-0001 (VL 5.06)\n", ""},
        OptionCase{"UnknownLongOption", {"--verbose"}, 2, "", "kestrove: unknown option \"--verbose\"\n"},
        OptionCase{"UnknownShortOption", {"/started_as_service", "-x"}, 2, "", "kestrove: unknown option \"-x\"\n"},
        OptionCase{"LoneDash", {"-"}, 2, "", "kestrove: unknown option \"-\"\n"},
        // The first "-" argument decides.
        OptionCase{"UnknownBeforeHelp", {"--bogus", "--help"}, 2, "", "kestrove: unknown option \"--bogus\"\n"},
        OptionCase{"HelpBeforeUnknown", {"--help", "--bogus"}, 0, "Usage: kestrove", ""}),
    [](const auto& info) { return info.param.name; });

TEST(UsageTextTest, NamesTheSwitchesTheVariablesAndTheFiles) {
    const std::string usage = UsageText();
    for (const char* text : {"/started_as_service",
                             "/device_id=[ID]",
                             "--help",
                             "--version",
                             "KESTROVE_POS_PORT",
                             "KESTROVE_LOCK_DIR",
                             "KESTROVE_HOST_WORKERS",
                             "KESTROVE_NQMS_HOSTS",
                             "host:port[,host:port]",
                             "nqms1.kestrove.com:443",
                             "nqms2.kestrove.com:443",
                             "KESTROVE_COM<n>",
                             "KESTROVE_COM<n>_LINES",
                             "KESTROVE_PIPE_DIR",
                             "KESTROVE_COMMON_DOCUMENTS_DIR",
                             "KESTROVE_CLIENT_SETTLE_MS",
                             "(default /var/tmp)",
                             "SSL_CERT_FILE",
                             "CORVANE_KEYS/",
                             "MerchantParams.dat",
                             "Reversals.dat",
                             "SynchroStan.dat",
                             "LanesInfo.dat",
                             "CORVANE_LOGS/",
                             "(default /run/lock)"}) {
        EXPECT_THAT(usage, HasSubstr(text));
    }
}

TEST(ReadProgramOptionsTest, OtherArgumentsAreLeftToTheApplicationObject) {
    char program[] = "kestrove";
    char service[] = "/started_as_service";
    char device[] = "/device_id=[AB]";
    char bracket[] = "[AB]";
    char* argv[] = {program, service, device, bracket, nullptr};
    EXPECT_EQ(EProgramOptions::Run, ReadProgramOptions(4, argv));
}

// The test peers, programs for trying the server by hand, tell their defaults.
struct PeerCase {
    std::string program;
    std::vector<std::string> shown;
};

void PrintTo(const PeerCase& c, std::ostream* os) {
    *os << c.program;
}

class PeerHelpTest : public TempDirTest, public ::testing::WithParamInterface<PeerCase> {};

TEST_P(PeerHelpTest, HelpShowsTheDefaultsAndExitsZero) {
    const PeerCase& c = GetParam();
    for (const char* option : {"--help", "-h"}) {
        CChildProcess child;
        ASSERT_TRUE(child.Start(TestBinaryFolder() / "peers" / c.program, {option}, m_TempDir.Path(), {}));
        ASSERT_TRUE(child.Wait(kTimeoutMs));
        EXPECT_EQ(0, child.ExitCode()) << option;
        EXPECT_THAT(child.Stdout(), StartsWith("usage: " + c.program));
        for (const std::string& text : c.shown) {
            EXPECT_THAT(child.Stdout(), HasSubstr(text)) << option;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Peers, PeerHelpTest,
                         ::testing::Values(PeerCase{"poslane",
                                                    {"--host 127.0.0.1", "--port 9100", "--trancode Sale",
                                                     "--merchant 123456789012", "--timeout 120"}},
                                           PeerCase{"hostsim", {"--port 0", "--name 127.0.0.1"}}),
                         [](const auto& info) { return info.param.program; });

} // namespace

TEST(ClientSettleTest, TheVariableCanOnlyShortenTheFiveSecondPeriod) {
    const struct {
        const char* text; // null: unset
        uint64_t ms;
    } cases[] = {{nullptr, 5000}, {"", 5000},     {"200", 200}, {"0", 0},
                 {"5000", 5000},  {"5001", 5000}, {"-1", 5000}, {"20x", 5000}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text == nullptr ? "unset" : c.text);
        CScopedEnvironmentVariable variable(kClientSettleVariable, c.text);
        EXPECT_EQ(ClientSettleMsFromEnvironment(), c.ms);
    }
}
