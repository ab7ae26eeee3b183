// The application object's start-up and exit, run as the real program: command lines, the single-instance
// locks in both modes, the log folder, unreadable parameters, a crypto object that cannot start and the user's
// settings left as they were. A service stays up only when all its interfaces start, so its folders are
// configured against the host simulator. What the start-up leaves in the process (the recent-file list, the
// program's version entries) is seen by running it in the test's own process, as are a TLS credential that
// cannot be made and the device id the installation keeps.

#include "app/VYRRuvuzUvirIP_Voda50App.h"

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QSettings>
#include <QString>

#include "ChildProcess.h"
#include "ScriptedPresenter.h"
#include "TestHostSide.h"
#include "common/LogFolder.h"
#include "common/ScopedEnvironment.h"
#include "common/TempDirTest.h"
#include "common/Wait.h"
#include "foundation/AppMode.h"
#include "foundation/Logger.h"
#include "host/SspiProvider.h"
#include "peers/LauncherClient.h"
#include "platform/LockFile.h"
#include "window/RecentFileSettings.h"

using ::testing::HasSubstr;
using ::testing::Not;
using testing_child::CChildProcess;
using testing_child::CTestHostSide;
using testing_child::kChildPollMs;
using testing_child::KestroveProgram;

namespace {

constexpr int kStartTimeoutMs = 30000;
constexpr char kStartupLine[] = "Server Startup: RuvuzUvir Kestrove - VL 5.06";
constexpr char kShutdownLine[] = "Server Shutdown . . .";
constexpr char kOneInstanceText[] = "Only one instance of VYR RuvuzUvir TCPIP Gift may be run at a time!";
constexpr char kOtherIsServiceText[] = "Only one instance of VYR RuvuzUvir TCPIP Gift may be run at a time! The other "
                                       "instance is running as a Service.";
constexpr char kOverseerText[] = "Overseer Device Id is missing from command line!";

std::string Trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return text;
}

// Each instance runs in a folder of its own; all of them share one lock folder, as on one machine.
class AppProcessTest : public TempDirTest {
protected:
    void SetUp() override { std::filesystem::create_directory(LockFolder()); }

    std::filesystem::path LockFolder() const { return m_TempDir.Path() / "locks"; }

    std::filesystem::path Folder(const std::string& name) const {
        const std::filesystem::path folder = m_TempDir.Path() / name;
        std::filesystem::create_directories(folder);
        return folder;
    }

    // A folder whose parameters let every interface start (against the host simulator, made on first use).
    std::filesystem::path ConfiguredFolder(const std::string& name) {
        const std::filesystem::path folder = Folder(name);
        if (!m_HostSide) {
            m_HostSide = std::make_unique<CTestHostSide>();
            EXPECT_TRUE(m_HostSide->Started());
        }
        EXPECT_TRUE(m_HostSide->PrepareFolder(folder));
        m_Configured.push_back(folder);
        return folder;
    }

    std::unique_ptr<CChildProcess> Start(const std::filesystem::path& folder, const std::vector<std::string>& args,
                                         const std::filesystem::path& lockFolder = {}) {
        auto child = std::make_unique<CChildProcess>();
        const bool configured = std::find(m_Configured.begin(), m_Configured.end(), folder) != m_Configured.end();
        const std::map<std::string, std::string> env =
            CTestHostSide::ProgramEnvironment(folder, lockFolder.empty() ? LockFolder() : lockFolder, configured);
        EXPECT_TRUE(child->Start(KestroveProgram(), args, folder, env, "kestrove"));
        return child;
    }

    // The folder for an instance in this mode: a service needs its interfaces to stay up.
    std::filesystem::path FolderFor(bool service, const std::string& name) {
        return service ? ConfiguredFolder(name) : Folder(name);
    }

    // Waits until the instance in |folder| has logged |text|, or has ended.
    static bool WaitForLog(const std::filesystem::path& folder, CChildProcess& child, const std::string& text) {
        return WaitUntil([&] { return ReadLogFolder(folder).find(text) != std::string::npos || child.Wait(0); },
                         kStartTimeoutMs, kChildPollMs);
    }

    // Waits until the start-up of the instance in |folder| has reached the configuration check (the folder's
    // parameters are never set here): logged in service mode, told on the terminal otherwise.
    static bool WaitForConfigurationCheck(const std::filesystem::path& folder, CChildProcess& child) {
        return WaitUntil(
            [&] {
                return ReadLogFolder(folder).find("Configuration not Set!") != std::string::npos ||
                       child.Stderr().find("Configuration not Set!") != std::string::npos || child.Wait(0);
            },
            kStartTimeoutMs, kChildPollMs);
    }

    // Whether another process holds the lock file |name| in the lock folder.
    bool LockHeldElsewhere(const std::string& name) const {
        CLockFile probe;
        return probe.TryAcquire(LockFolder() / name) == ELockResult::HeldElsewhere;
    }

    // Stops a running instance the way a service manager does and checks that it ended cleanly.
    static void Terminate(CChildProcess& child, const std::filesystem::path& folder) {
        ASSERT_TRUE(child.Signal(SIGTERM));
        ASSERT_TRUE(child.Wait(kStartTimeoutMs));
        EXPECT_EQ(0, child.ExitCode()) << child.Stderr();
        EXPECT_THAT(ReadLogFolder(folder), HasSubstr(kShutdownLine));
    }

    std::unique_ptr<CTestHostSide> m_HostSide;
    std::vector<std::filesystem::path> m_Configured;
};

struct CommandLineCase {
    std::string name;
    std::vector<std::string> args;
    bool runs;
    bool service;
    bool launcher;
};

void PrintTo(const CommandLineCase& c, std::ostream* os) {
    *os << c.name;
}

class CommandLineTest : public AppProcessTest, public ::testing::WithParamInterface<CommandLineCase> {};

TEST_P(CommandLineTest, DecidesModesAndDeviceIdFromTheCommandLine) {
    const CommandLineCase& c = GetParam();
    const std::filesystem::path folder = c.runs ? FolderFor(c.service, "instance") : Folder("instance");
    auto child = Start(folder, c.args);
    if (!c.runs) {
        ASSERT_TRUE(child->Wait(kStartTimeoutMs));
        // A command line that will not change by itself: the service unit does not start it again.
        EXPECT_EQ(kExitCommandLine, child->ExitCode());
        EXPECT_THAT(child->Stderr(), HasSubstr(kOverseerText));
        EXPECT_THAT(ReadLogFolder(folder), Not(HasSubstr(kOverseerText)));
        EXPECT_FALSE(LockHeldElsewhere(kInstanceLockName));
        EXPECT_FALSE(LockHeldElsewhere(kServiceInstanceLockName));
        return;
    }
    if (c.service) {
        ASSERT_TRUE(WaitForLog(folder, *child, "Interfaces initialized successfully.")) << child->Stderr();
    } else {
        ASSERT_TRUE(WaitForConfigurationCheck(folder, *child)) << child->Stderr();
    }
    ASSERT_EQ(-1, child->ExitCode()) << child->Stderr();
    // In launcher mode the pipe serves from the start-up on, in the pipe folder (the child's own folder here).
    const std::filesystem::path pipe = folder / CLauncherClient::PipeName(child->Pid());
    CLauncherClient launcher;
    EXPECT_EQ(c.launcher,
              WaitUntil([&] { return launcher.ConnectPath(pipe.string()); }, c.launcher ? kStartTimeoutMs : 200));
    if (c.launcher) {
        std::string name;
        EXPECT_TRUE(launcher.Ask("APP NAME", &name)) << launcher.LastError();
        EXPECT_EQ("Kestrove 5.00 for RuvuzUvir", name);
    }
    EXPECT_TRUE(LockHeldElsewhere(c.service ? kServiceInstanceLockName : kInstanceLockName));
    EXPECT_FALSE(LockHeldElsewhere(c.service ? kInstanceLockName : kServiceInstanceLockName));
    // By hand the unset configuration is told on the terminal; a service that runs tells nothing there.
    if (c.service) {
        EXPECT_EQ("", child->Stderr());
    } else {
        EXPECT_THAT(child->Stderr(), HasSubstr("Configuration not Set!"));
    }
    Terminate(*child, folder);
    // The log writer works on its own thread: the whole log is on disk only once the program has ended.
    const std::string log = ReadLogFolder(folder);
    EXPECT_THAT(log, HasSubstr(kStartupLine));
    // The pipe starts without a failure, and its socket goes with the program.
    EXPECT_THAT(log, Not(HasSubstr("Failed to initialize Pipe Server.")));
    EXPECT_TRUE(launcher.WaitForClose(kStartTimeoutMs));
    EXPECT_FALSE(std::filesystem::exists(pipe));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CommandLineTest,
    ::testing::Values(
        CommandLineCase{"NoArguments", {}, true, false, false},
        CommandLineCase{"OneCharacterDeviceIdIsMissing", {"/device_id=[A]"}, false, false, false},
        CommandLineCase{"TwoCharacterDeviceIdIsAccepted", {"/device_id=[AB]"}, true, false, true},
        CommandLineCase{"BracketsBeforeTheSwitchDoNotCount", {"[AB]", "/device_id="}, false, false, false},
        CommandLineCase{"BracketsInTheNextArgumentCount", {"/device_id=", "[AB]"}, true, false, true},
        CommandLineCase{"ClosingBracketFirstGivesNoId", {"/device_id=]AB["}, false, false, false},
        CommandLineCase{"EmptySwitchGivesNoId", {"/device_id="}, false, false, false},
        CommandLineCase{"ServiceSwitchInsideAnotherArgument", {"x/started_as_servicey"}, true, true, false},
        CommandLineCase{"ServiceSwitchIsCaseSensitive", {"/STARTED_AS_SERVICE"}, true, false, false},
        CommandLineCase{"ServiceAndLauncher", {"/started_as_service", "/device_id=[DEV42]"}, true, true, true},
        CommandLineCase{
            "ServiceWithMissingIdTellsStandardError", {"/started_as_service", "/device_id=[X]"}, false, true, false}),
    [](const auto& info) { return info.param.name; });

struct TwoInstancesCase {
    std::string name;
    bool firstService;
    bool secondService;
    std::string secondStderr; // exactly, without the final line end
};

void PrintTo(const TwoInstancesCase& c, std::ostream* os) {
    *os << c.name;
}

class TwoInstancesTest : public AppProcessTest, public ::testing::WithParamInterface<TwoInstancesCase> {};

TEST_P(TwoInstancesTest, SecondInstanceIsRefused) {
    const TwoInstancesCase& c = GetParam();
    const auto args = [](bool service) {
        return service ? std::vector<std::string>{"/started_as_service"} : std::vector<std::string>{};
    };
    const std::filesystem::path first = FolderFor(c.firstService, "first");
    auto running = Start(first, args(c.firstService));
    ASSERT_TRUE(WaitForLog(first, *running, kStartupLine));
    ASSERT_EQ(-1, running->ExitCode()) << running->Stderr();

    const std::filesystem::path second = Folder("second");
    auto refused = Start(second, args(c.secondService));
    ASSERT_TRUE(refused->Wait(kStartTimeoutMs));
    // The other instance may be one that is ending: worth another try.
    EXPECT_EQ(kExitTryAgain, refused->ExitCode());
    EXPECT_EQ(c.secondStderr, Trimmed(refused->Stderr()));
    EXPECT_THAT(ReadLogFolder(second), Not(HasSubstr(kStartupLine)));
    EXPECT_THAT(ReadLogFolder(second), Not(HasSubstr("Only one instance")));

    // The first one goes on, and its lock goes with it.
    EXPECT_EQ(-1, running->ExitCode());
    Terminate(*running, first);
    EXPECT_FALSE(LockHeldElsewhere(kInstanceLockName));
    EXPECT_FALSE(LockHeldElsewhere(kServiceInstanceLockName));
}

INSTANTIATE_TEST_SUITE_P(Modes, TwoInstancesTest,
                         // A refused service says it in one line (its journal's only record); it never tells
                         // which mode the other instance runs in.
                         ::testing::Values(TwoInstancesCase{"ServiceThenService", true, true, kOneInstanceText},
                                           TwoInstancesCase{"ServiceThenNormal", true, false, kOtherIsServiceText},
                                           TwoInstancesCase{"NormalThenNormal", false, false, kOneInstanceText},
                                           TwoInstancesCase{"NormalThenService", false, true, kOneInstanceText}),
                         [](const auto& info) { return info.param.name; });

TEST_F(AppProcessTest, CrashedInstanceDoesNotBlockTheNextStart) {
    const std::filesystem::path first = ConfiguredFolder("first");
    auto crashed = Start(first, {"/started_as_service"});
    ASSERT_TRUE(WaitForLog(first, *crashed, kStartupLine));
    ASSERT_TRUE(crashed->Signal(SIGKILL));
    ASSERT_TRUE(crashed->Wait(kStartTimeoutMs));

    const std::filesystem::path second = ConfiguredFolder("second");
    auto next = Start(second, {"/started_as_service"});
    ASSERT_TRUE(WaitForLog(second, *next, kStartupLine));
    EXPECT_EQ(-1, next->ExitCode()) << next->Stderr();
    Terminate(*next, second);
}

TEST_F(AppProcessTest, LockThatCannotBeTakenRefusesTheStartAndSaysWhy) {
    const std::filesystem::path folder = Folder("instance");
    const std::filesystem::path notAFolder = m_TempDir.Path() / "lockfile-in-the-way";
    WriteFileBytes(notAFolder, "x");
    auto child = Start(folder, {}, notAFolder);
    ASSERT_TRUE(child->Wait(kStartTimeoutMs));
    EXPECT_EQ(kExitStateNotWritable, child->ExitCode());
    EXPECT_THAT(child->Stderr(), HasSubstr("Instance lock not available: cannot open"));
    EXPECT_THAT(child->Stderr(), HasSubstr(kOneInstanceText));
}

TEST_F(AppProcessTest, MissingLockFolderIsMade) {
    const std::filesystem::path folder = ConfiguredFolder("instance");
    const std::filesystem::path locks = m_TempDir.Path() / "not" / "yet";
    auto child = Start(folder, {"/started_as_service"}, locks);
    ASSERT_TRUE(WaitForLog(folder, *child, kStartupLine));
    EXPECT_TRUE(std::filesystem::exists(locks / kServiceInstanceLockName));
    Terminate(*child, folder);
}

TEST_F(AppProcessTest, ExistingLogFolderIsNotAnError) {
    const std::filesystem::path folder = Folder("instance");
    std::filesystem::create_directory(folder / CLogger::kFolderName);
    auto child = Start(folder, {});
    ASSERT_TRUE(WaitForConfigurationCheck(folder, *child));
    EXPECT_THAT(child->Stderr(), Not(HasSubstr("Unable to create Log Directory")));
    Terminate(*child, folder);
}

TEST_F(AppProcessTest, TheUserSettingsAreLeftAsTheyWere) {
    const std::filesystem::path folder = Folder("instance");
    const std::filesystem::path config = Folder("config");
    const std::filesystem::path settings = config / "Corvane Applications" / "VYRRuvuzUvirIP_Voda50.conf";
    // The comment would not survive a rewrite by the settings code.
    const std::string stored = "; kept by hand\n[Recent%20File%20List]\nFile1=/srv/a.kst\n";
    std::filesystem::create_directories(settings.parent_path());
    WriteFileBytes(settings, stored);
    auto child = std::make_unique<CChildProcess>();
    std::map<std::string, std::string> env = CTestHostSide::ProgramEnvironment(folder, LockFolder(), false);
    env["XDG_CONFIG_HOME"] = config.string();
    ASSERT_TRUE(child->Start(KestroveProgram(), {}, folder, env, "kestrove"));
    ASSERT_TRUE(WaitForConfigurationCheck(folder, *child)) << child->Stderr();
    Terminate(*child, folder);
    EXPECT_EQ(stored, ReadFileBytes(settings));
    // Nothing beside it either (no lock file, no copy).
    std::vector<std::filesystem::path> left{std::filesystem::recursive_directory_iterator(config),
                                            std::filesystem::recursive_directory_iterator()};
    std::sort(left.begin(), left.end());
    EXPECT_EQ((std::vector<std::filesystem::path>{settings.parent_path(), settings}), left);
}

TEST_F(AppProcessTest, LogFolderThatCannotBeMadeIsToldAndTheStartGoesOn) {
    const std::filesystem::path folder = Folder("instance");
    WriteFileBytes(folder / CLogger::kFolderName, "not a folder");
    auto child = Start(folder, {});
    // Without a log, the terminal shows how far it got: the configuration check comes after the start-up.
    ASSERT_TRUE(WaitUntil([&] { return child->Stderr().find("Configuration not Set!") != std::string::npos; },
                          kStartTimeoutMs, kChildPollMs))
        << child->Stderr();
    EXPECT_THAT(child->Stderr(), HasSubstr("Unable to create Log Directory - logging disabled!"));
    ASSERT_TRUE(child->Signal(SIGTERM));
    ASSERT_TRUE(child->Wait(kStartTimeoutMs));
    EXPECT_EQ(0, child->ExitCode());
}

struct FatalStartCase {
    std::string name;
    std::string blocker; // a folder of this name stands where the program expects a file, or the reverse
    bool blockerIsFolder;
    std::string report; // told on standard error and logged
};

void PrintTo(const FatalStartCase& c, std::ostream* os) {
    *os << c.name;
}

class FatalStartTest : public AppProcessTest, public ::testing::WithParamInterface<FatalStartCase> {};

TEST_P(FatalStartTest, ServiceStartFailsWithItsReportOnStandardErrorAndInTheLog) {
    const FatalStartCase& c = GetParam();
    const std::filesystem::path folder = Folder("instance");
    if (c.blockerIsFolder) {
        std::filesystem::create_directory(folder / c.blocker);
    } else {
        WriteFileBytes(folder / c.blocker, "in the way");
    }
    auto child = Start(folder, {"/started_as_service"});
    ASSERT_TRUE(child->Wait(kStartTimeoutMs));
    // A file in the way stays there until an operator moves it.
    EXPECT_EQ(kExitStateNotWritable, child->ExitCode());
    EXPECT_THAT(child->Stderr(), HasSubstr(c.report));
    const std::string log = ReadLogFolder(folder);
    EXPECT_THAT(log, HasSubstr(c.report));
    EXPECT_THAT(log, Not(HasSubstr(kStartupLine)));
    EXPECT_THAT(log, HasSubstr(kShutdownLine));
    EXPECT_FALSE(LockHeldElsewhere(kServiceInstanceLockName));
}

INSTANTIATE_TEST_SUITE_P(Steps, FatalStartTest,
                         ::testing::Values(FatalStartCase{"UnreadableParameters", "MerchantParams.dat", true,
                                                          "Failed ->Unable to read Param Settings"},
                                           FatalStartCase{"CryptoCannotStart", "CORVANE_KEYS", false,
                                                          "Could Not Start Crypto API"}),
                         [](const auto& info) { return info.param.name; });

// The start-up in this process, in each mode: the user settings and the lock folder in the temporary folder.
class InProcessStartupTest : public TempDirTest, public ::testing::WithParamInterface<const char*> {
protected:
    void SetUp() override {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                           QString::fromStdString((m_TempDir.Path() / "config").string()));
    }

    CScopedEnvironmentVariable m_Locks{kLockFolderVariable, (m_TempDir.Path() / "locks").c_str()};
    CAppModeFlags m_Flags;
};

TEST_P(InProcessStartupTest, StartupReadsTheRecentFiles) {
    {
        QSettings stored(
            QString::fromStdString(
                (m_TempDir.Path() / "config" / "Corvane Applications" / "VYRRuvuzUvirIP_Voda50.conf").string()),
            QSettings::IniFormat);
        stored.setValue("Recent File List/File1", "/srv/lane day.kst");
        stored.setValue("Recent File List/File3", "/srv/old.kst");
    }
    // With the reader the program's main hands in.
    CVYRRuvuzUvirIP_Voda50App app(m_Flags, ReadRecentFileSettings);
    ASSERT_TRUE(app.InitInstance(std::string("kestrove ") + GetParam()));
    EXPECT_EQ((std::vector<std::string>{"/srv/lane day.kst", "", "/srv/old.kst", ""}), app.RecentFileList().Names());
    EXPECT_EQ(0, app.ExitInstance());
}

INSTANTIATE_TEST_SUITE_P(Modes, InProcessStartupTest, ::testing::Values("", "/started_as_service"),
                         [](const auto& info) { return info.index == 0 ? "ByHand" : "Service"; });

// The start-up in this process when no TLS credential can be made.
class FailedCredentialTest : public InProcessStartupTest {};

TEST_P(FailedCredentialTest, ATlsCredentialThatCannotBeMadeEndsTheStartUp) {
    const std::string text = "Could Not Start SSPI \r\nEnsure that 128 bit encryption is installed.- FATAL Error!!";
    CJournal journal;
    CScriptedPresenter presenter(journal);
    CScopedPresenter scoped(presenter);
    g_SspiProvider.SetUnavailableForTesting(true);
    CVYRRuvuzUvirIP_Voda50App app(m_Flags);
    const bool started = app.InitInstance(std::string("kestrove ") + GetParam());
    g_SspiProvider.SetUnavailableForTesting(false);
    EXPECT_FALSE(started);
    EXPECT_FALSE(g_SspiProvider.CredentialHeld());
    EXPECT_THAT(LogEntries(), ::testing::Contains(text));
    EXPECT_THAT(LogText(), Not(HasSubstr(kStartupLine)));
    // By hand the operator is shown it as well; a service shows nothing.
    if (std::string(GetParam()).empty()) {
        EXPECT_EQ(journal.Entries(), std::vector<std::string>{"Box[Ok,1]: " + text});
    } else {
        EXPECT_TRUE(journal.Entries().empty());
    }
    EXPECT_EQ(0, app.ExitInstance());
}

INSTANTIATE_TEST_SUITE_P(Modes, FailedCredentialTest, ::testing::Values("", "/started_as_service"),
                         [](const auto& info) { return info.index == 0 ? "ByHand" : "Service"; });

// This installation's own device id, kept in the test's folder.
class KeptDeviceIdTest : public TempDirTest {
protected:
    void SetUp() override { PrepareLogFolder(); }
};

TEST_F(KeptDeviceIdTest, MadeOnceAndKeptForEveryLaterDownload) {
    const std::string id = KeptDeviceId();
    EXPECT_EQ(id.size(), 32u);
    EXPECT_EQ(id.find_first_not_of("0123456789ABCDEF"), std::string::npos) << id;
    EXPECT_EQ(ReadFileBytes(kDeviceIdFileName), id + "\n");
    EXPECT_EQ(KeptDeviceId(), id);
    // One kept with a Windows line end.
    WriteFileBytes(kDeviceIdFileName, "DEV-0042\r\n");
    EXPECT_EQ(KeptDeviceId(), "DEV-0042");
}

TEST_F(KeptDeviceIdTest, AnIdThatCannotBeKeptIsNoIdAndTheLogSaysWhy) {
    struct Case {
        const char* name;
        std::filesystem::path file;
        std::string logLine;
    };
    const Case cases[] = {
        // Root writes past any mode, so the id cannot be kept where its folder is missing.
        {"no folder to keep it in", "missing/DeviceId.dat",
         "The device id cannot be kept: cannot create missing/DeviceId.dat.tmp-"},
        // A new id would take the place of the one the service knows.
        {"a kept id that cannot be read", kDeviceIdFileName,
         "The device id cannot be read: cannot read DeviceId.dat: Is a directory"},
    };
    std::filesystem::create_directories(std::filesystem::path(kDeviceIdFileName) / "inside");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(KeptDeviceId(c.file), "");
        EXPECT_EQ(CountLogLines(c.logLine), 1);
    }
    EXPECT_FALSE(std::filesystem::exists("missing"));
    EXPECT_TRUE(std::filesystem::is_directory(std::filesystem::path(kDeviceIdFileName) / "inside"));
}

TEST(ParseDeviceIdTest, TakesTheTextBetweenTheBracketsAfterTheSwitch) {
    EXPECT_EQ("AB", ParseDeviceId("kestrove /device_id=[AB]"));
    EXPECT_EQ("", ParseDeviceId("kestrove /device_id=[A]"));
    EXPECT_EQ("DEV 7", ParseDeviceId("[x] kestrove /device_id= [DEV 7] ]"));
    EXPECT_EQ("", ParseDeviceId("[AB] /device_id="));
    EXPECT_EQ("", ParseDeviceId("/device_id=]AB["));
    EXPECT_EQ("", ParseDeviceId("kestrove [AB]"));
}

TEST(MaskLast4Test, ReplacesTheLastFourCharacters) {
    EXPECT_EQ("1234XXXX", MaskLast4("12345678"));
    EXPECT_EQ("XXXX", MaskLast4("1234"));
    EXPECT_EQ("123", MaskLast4("123"));
}

} // namespace
