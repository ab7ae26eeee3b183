#include "kxlib/kxProcess.h"

#include <csignal>
#include <fcntl.h>
#include <pthread.h>
#include <string>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "common/TempDirTest.h"
#include "kxlib/kxTestSupport.h"

using kx_test::Texts;
using kx_test::ThrownText;

namespace {

constexpr const char* kShell = "/bin/sh";

// Runs |script| in the shell and answers its exit code.
uint32_t RunShell(const std::string& script) {
    kxProcess process;
    EXPECT_TRUE(process.Start(kShell, "-c \"" + script + "\"", true));
    EXPECT_TRUE(process.HasExited());
    return process.GetExitCode();
}

class kxProcessTest : public TempDirTest {};

} // namespace

TEST(kxProcess, CommandLinesSplitAsAWindowsProgramSplitsThem) {
    const struct {
        const char* Line;
        std::vector<std::string> Arguments;
    } cases[] = {
        {"", {}},
        {"  a  b\tc ", {"a", "b", "c"}},
        {"\"with blanks\" plain", {"with blanks", "plain"}},
        {"ab\"c d\"e", {"abc de"}},
        {"\"\"", {""}},
        {"a\\\\b", {"a\\\\b"}},        // backslashes without a quote stay as they are
        {"a\\\"b", {"a\"b"}},          // an odd run before a quote makes it literal
        {"\"a\\\\\" b", {"a\\", "b"}}, // an even run before a quote halves, the quote delimits
        {"\"a\"\"b\"", {"a\"b"}},      // "" inside quotes is one quote
        {"C:\\Program Files\\x.exe", {"C:\\Program", "Files\\x.exe"}},
        {"\"unterminated quote", {"unterminated quote"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Texts(kxProcess::SplitCommandLine(c.Line)), c.Arguments) << c.Line;
    }
}

TEST_F(kxProcessTest, StartsARealChildAndWaitsForItsEnd) {
    kxProcess process;
    // The child waits until the test lets it go, so it is seen running first.
    ASSERT_TRUE(process.Start(kShell, "-c \"while [ ! -e go ]; do sleep 0.01; done; exit 7\""));
    EXPECT_GT(process.ProcessId(), 0);
    EXPECT_FALSE(process.HasExited());
    EXPECT_EQ(process.GetExitCode(), 0u); // still running
    WriteFileBytes("go", "");
    EXPECT_TRUE(process.WaitForExit());
    EXPECT_TRUE(process.HasExited());
    EXPECT_EQ(process.GetExitCode(), 7u);
    process.CloseHandles();
    EXPECT_EQ(process.ProcessId(), 0);
    EXPECT_FALSE(process.WaitForExit());
    EXPECT_FALSE(process.HasExited());
    EXPECT_EQ(process.GetExitCode(), 0u);

    EXPECT_EQ(RunShell("exit 4"), 4u);
    EXPECT_EQ(RunShell("kill -9 $$"), 128u + 9u);
}

TEST_F(kxProcessTest, ChildGetsNoDescriptorsAndNoSignalSettingsOfTheCaller) {
    // A descriptor opened without close-on-exec, at a number no shell uses.
    const int leaked = ::dup2(STDERR_FILENO, 50);
    ASSERT_EQ(leaked, 50);
    ASSERT_EQ(::fcntl(leaked, F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_EQ(RunShell("[ -e /proc/self/fd/50 ] && exit 1; exit 0"), 0u);
    ::close(leaked);

    // The program blocks SIGTERM and ignores SIGPIPE; its children must not inherit either.
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGTERM);
    sigset_t old;
    pthread_sigmask(SIG_BLOCK, &block, &old);
    const auto oldPipe = std::signal(SIGPIPE, SIG_IGN);
    // Bit 14 is SIGTERM, bit 12 SIGPIPE, in the shell's own masks.
    EXPECT_EQ(RunShell("m=$(sed -n 's/^SigBlk:[[:space:]]*//p' /proc/$$/status); exit $(( (0x$m >> 14) & 1 ))"), 0u);
    EXPECT_EQ(RunShell("m=$(sed -n 's/^SigIgn:[[:space:]]*//p' /proc/$$/status); exit $(( (0x$m >> 12) & 1 ))"), 0u);
    std::signal(SIGPIPE, oldPipe);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

TEST_F(kxProcessTest, RefusesAnEmptyPathAndNamesAProgramThatCannotStart) {
    kxProcess process;
    EXPECT_FALSE(process.Start("", "anything"));
    EXPECT_EQ(process.ProcessId(), 0);
    WriteFileBytes("not-executable", "#!/bin/sh\n");
    for (const std::string program : {"/no/such/program", "not-executable"}) {
        EXPECT_EQ(ThrownText([&] { process.Start(program, "a \"b c\""); }),
                  "Failed to start application (" + program + ") with command line (a \"b c\").");
    }
}
