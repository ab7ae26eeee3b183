// The systemd unit of service mode: what service mode needs (the switch, the state folder, the lock folder,
// restarts on failure and time for the shut-down) and how little else it may do; `cmake --install` puts it
// beside the program with ExecStart at the installed path, and systemd's own checks pass on that copy where
// the machine has systemd-analyze (verify, and an exposure of 2.0 or lower).

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ChildProcess.h"
#include "ServiceUnitFile.h"
#include "app/StartFailure.h"
#include "common/TempDirTest.h"

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using testing_child::CSimulatedServiceManager;
using testing_child::ParseUnit;
using testing_child::SourceUnitFile;
using testing_child::UnitSettings;
using testing_child::Value;

namespace {

std::string Quoted(const std::filesystem::path& path) {
    return "'" + path.string() + "'";
}

// Runs |command| through the shell; returns its exit status and fills |output| with stdout and stderr.
int RunCommand(const std::string& command, std::string* output) {
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        return -1;
    }
    std::array<char, 512> buffer{};
    size_t n = 0;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) {
        output->append(buffer.data(), n);
    }
    const int status = ::pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool HaveSystemdAnalyze() {
    std::string which;
    return RunCommand("command -v systemd-analyze", &which) == 0;
}

// systemd's verification of the unit file at |path|: a failure names what it found.
::testing::AssertionResult PassesVerification(const std::filesystem::path& path) {
    std::string output;
    const int status = RunCommand("systemd-analyze verify " + Quoted(path), &output);
    // systemd-analyze only warns about keys it cannot parse, naming the file: no such line may appear.
    if (status != 0 || output.find(path.filename().string()) != std::string::npos) {
        return ::testing::AssertionFailure() << "exit " << status << ": " << output;
    }
    return ::testing::AssertionSuccess();
}

// The settings a comment of |text| shows: the "#   Key=value" lines right after the comment line that holds
// |intro|, without their "#   ".
std::vector<std::string> CommentedSettings(const std::string& text, const std::string& intro) {
    std::vector<std::string> settings;
    std::istringstream in(text.substr(text.find(intro)));
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line) && line.rfind("#   ", 0) == 0 && line.find('=') != std::string::npos) {
        settings.push_back(line.substr(4));
    }
    return settings;
}

// |text| without the lines in |drop| and with |add| at the top of its [Service] section.
std::string UnitWith(const std::string& text, const std::vector<std::string>& drop,
                     const std::vector<std::string>& add) {
    std::istringstream in(text);
    std::string out;
    for (std::string line; std::getline(in, line);) {
        if (std::find(drop.begin(), drop.end(), line) != drop.end()) {
            continue;
        }
        out += line + "\n";
        if (line == "[Service]") {
            for (const std::string& setting : add) {
                out += setting + "\n";
            }
        }
    }
    return out;
}

class ServiceUnitTest : public TempDirTest {
protected:
    // `cmake --install` of this build into a prefix of the test's own; the installed unit's path.
    std::filesystem::path Install() {
        m_Prefix = m_TempDir.Path() / "prefix";
        std::string output;
        const int status = RunCommand(Quoted(KESTROVE_CMAKE_COMMAND) + " --install " + Quoted(KESTROVE_BUILD_DIR) +
                                          " --prefix " + Quoted(m_Prefix),
                                      &output);
        EXPECT_EQ(0, status) << output;
        return m_Prefix / "lib" / "systemd" / "system" / "kestrove.service";
    }

    std::filesystem::path m_Prefix;
};

TEST_F(ServiceUnitTest, RunsTheProgramInServiceModeInItsStateFolder) {
    const std::string text = ReadFileBytes(SourceUnitFile());
    ASSERT_FALSE(text.empty()) << SourceUnitFile();
    const UnitSettings unit = ParseUnit(text);
    EXPECT_EQ("/usr/local/bin/kestrove /started_as_service", Value(unit, "Service.ExecStart"));
    EXPECT_EQ("/var/lib/kestrove", Value(unit, "Service.WorkingDirectory"));
    EXPECT_EQ("kestrove", Value(unit, "Service.StateDirectory"));
    EXPECT_EQ("on-failure", Value(unit, "Service.Restart"));
    // Long enough not to hammer a host that is down.
    EXPECT_GE(std::stoi(Value(unit, "Service.RestartSec")), 30);
    EXPECT_EQ("SIGTERM", Value(unit, "Service.KillSignal"));
    // The host interface alone may take 20 s, the client settle period 5 s more.
    EXPECT_GE(std::stoi(Value(unit, "Service.TimeoutStopSec")), 30);
    // The single-instance locks go to the unit's own runtime folder, through the program's variable.
    EXPECT_EQ("kestrove", Value(unit, "Service.RuntimeDirectory"));
    EXPECT_THAT(unit.at("Service.Environment"), ElementsAre("KESTROVE_LOCK_DIR=/run/kestrove"));
    EXPECT_EQ("65536", Value(unit, "Service.LimitNOFILE"));
}

TEST_F(ServiceUnitTest, RunsAsItsOwnUserWithNothingButTheNetworkAndItsFolder) {
    const UnitSettings unit = ParseUnit(ReadFileBytes(SourceUnitFile()));
    const std::map<std::string, std::string> expected = {
        {"Service.DynamicUser", "yes"},
        {"Service.StateDirectoryMode", "0700"},
        {"Service.RuntimeDirectoryMode", "0700"},
        {"Service.UMask", "0077"},
        {"Service.CapabilityBoundingSet", ""},
        {"Service.AmbientCapabilities", ""},
        {"Service.NoNewPrivileges", "yes"},
        {"Service.PrivateDevices", "yes"},
        {"Service.ProtectSystem", "strict"},
        {"Service.ProtectHome", "yes"},
        {"Service.ProtectKernelTunables", "yes"},
        {"Service.ProtectKernelModules", "yes"},
        {"Service.ProtectKernelLogs", "yes"},
        {"Service.ProtectControlGroups", "yes"},
        {"Service.RestrictAddressFamilies", "AF_INET AF_INET6 AF_UNIX"},
        {"Service.MemoryDenyWriteExecute", "yes"},
        {"Service.LockPersonality", "yes"},
    };
    for (const auto& [key, value] : expected) {
        EXPECT_EQ(value, Value(unit, key)) << key;
    }
    EXPECT_THAT(unit.at("Service.SystemCallFilter"), ElementsAre("@system-service", "~@privileged"));
    // The old way of keeping the locks writable is gone with the runtime folder.
    EXPECT_EQ(0u, unit.count("Service.ReadWritePaths"));
    // The dial backup's serial port is documented for the merchants who need it.
    const std::string text = ReadFileBytes(SourceUnitFile());
    EXPECT_THAT(text, HasSubstr("#   DeviceAllow=/dev/ttyS0 rw"));
    EXPECT_THAT(text, HasSubstr("#   SupplementaryGroups=dialout"));
}

TEST_F(ServiceUnitTest, InstallPutsTheUnitBesideTheProgramWithItsPath) {
    const std::filesystem::path installed = Install();
    const std::filesystem::path program = m_Prefix / "bin" / "kestrove";
    ASSERT_TRUE(std::filesystem::exists(program));
    EXPECT_NE(std::filesystem::perms::none,
              std::filesystem::status(program).permissions() & std::filesystem::perms::owner_exec);
    const std::string text = ReadFileBytes(installed);
    ASSERT_FALSE(text.empty()) << installed;
    EXPECT_EQ(program.string() + " /started_as_service", Value(ParseUnit(text), "Service.ExecStart"));
    // Nothing else differs from the unit in the source tree.
    std::string source = ReadFileBytes(SourceUnitFile());
    const std::string defaultStart = "ExecStart=/usr/local/bin/kestrove ";
    source.replace(source.find(defaultStart), defaultStart.size(), "ExecStart=" + program.string() + " ");
    EXPECT_EQ(source, text);
}

TEST_F(ServiceUnitTest, InstalledUnitPassesSystemdVerification) {
    if (!HaveSystemdAnalyze()) {
        GTEST_SKIP() << "systemd-analyze is not installed (Debian package systemd): the unit is not verified";
    }
    const std::filesystem::path installed = Install();
    EXPECT_TRUE(PassesVerification(installed));
}

TEST_F(ServiceUnitTest, TheDialSettingsTheCommentShowsPassVerification) {
    if (!HaveSystemdAnalyze()) {
        GTEST_SKIP() << "systemd-analyze is not installed (Debian package systemd): the unit is not verified";
    }
    const std::string text = ReadFileBytes(Install());
    const std::vector<std::string> serial = CommentedSettings(text, "Replace the next two lines by");
    ASSERT_THAT(serial, ElementsAre("PrivateDevices=no", "DeviceAllow=/dev/ttyS0 rw", "SupplementaryGroups=dialout",
                                    "PrivateUsers=no"));
    // A modem on another device: its COM port's variable names the device, which is allowed in place of ttyS0.
    const std::vector<std::string> usb = CommentedSettings(text, "A modem on another device");
    ASSERT_THAT(usb, ElementsAre("Environment=KESTROVE_COM1=/dev/ttyUSB0", "DeviceAllow=/dev/ttyUSB0 rw"));
    std::vector<std::string> usbVariant = {serial[0], serial[2], serial[3]};
    usbVariant.insert(usbVariant.end(), usb.begin(), usb.end());

    const std::vector<std::string> replaced = {"PrivateDevices=yes", "PrivateUsers=yes"};
    for (const auto& [name, settings] :
         {std::pair{std::string("serial"), serial}, std::pair{std::string("usb"), usbVariant}}) {
        const std::filesystem::path variant = m_TempDir.Path() / name / "kestrove.service";
        std::filesystem::create_directories(variant.parent_path());
        WriteFileBytes(variant, UnitWith(text, replaced, settings));
        EXPECT_TRUE(PassesVerification(variant)) << name;
        const UnitSettings unit = ParseUnit(ReadFileBytes(variant));
        EXPECT_EQ("no", Value(unit, "Service.PrivateDevices")) << name;
        EXPECT_EQ(name == "usb" ? "/dev/ttyUSB0 rw" : "/dev/ttyS0 rw", Value(unit, "Service.DeviceAllow")) << name;
    }
    // Both variables in force: the lock folder's and the modem's.
    const UnitSettings usbUnit = ParseUnit(ReadFileBytes(m_TempDir.Path() / "usb" / "kestrove.service"));
    EXPECT_THAT(usbUnit.at("Service.Environment"),
                ElementsAre("KESTROVE_COM1=/dev/ttyUSB0", "KESTROVE_LOCK_DIR=/run/kestrove"));
}

struct RestartCase {
    std::string name;
    int status;
    bool restarts;
};

void PrintTo(const RestartCase& c, std::ostream* os) {
    *os << c.name;
}

class UnitRestartTest : public ::testing::TestWithParam<RestartCase> {};

TEST_P(UnitRestartTest, StartsTheProgramAgainOnlyForACauseThatPassesByItself) {
    const RestartCase& c = GetParam();
    CSimulatedServiceManager manager(ParseUnit(ReadFileBytes(SourceUnitFile())));
    // Five hours of an outage, one try every pause: the unit never gives up on a passing cause.
    for (int start = 0; start < 600; ++start) {
        ASSERT_TRUE(manager.Start()) << "start " << start << " refused: the unit is left failed";
        const uint64_t before = manager.NowMs();
        ASSERT_EQ(c.restarts, manager.RestartsAfter(c.status)) << "after start " << start;
        if (!c.restarts) {
            return;
        }
        // A pause that neither hammers the host nor keeps the lanes down long after the outage.
        EXPECT_GE(manager.NowMs() - before, 30000u);
        EXPECT_LE(manager.NowMs() - before, 120000u);
    }
}

INSTANTIATE_TEST_SUITE_P(ExitStatuses, UnitRestartTest,
                         ::testing::Values(RestartCase{"SignalledStop", kExitStopped, false},
                                           RestartCase{"PassingCause", kExitTryAgain, true},
                                           RestartCase{"CommandLine", kExitCommandLine, false},
                                           RestartCase{"ModemRefused", kExitModemRefused, false},
                                           RestartCase{"StateNotWritable", kExitStateNotWritable, false},
                                           RestartCase{"NotConfigured", kExitNotConfigured, false}),
                         [](const auto& info) { return info.param.name; });

TEST_F(ServiceUnitTest, TheLogCleanUpIsInstalledOffAndKeepsTheFolderToTheAgeOnceTurnedOn) {
    std::string which;
    if (RunCommand("command -v systemd-tmpfiles", &which) != 0) {
        GTEST_SKIP() << "systemd-tmpfiles is not installed (Debian package systemd): the clean-up is not tried";
    }
    Install();
    const std::filesystem::path installed = m_Prefix / "lib" / "tmpfiles.d" / "kestrove.conf";
    ASSERT_TRUE(std::filesystem::exists(installed));

    // A machine's root as the unit leaves it: the state folder in /var/lib/private, reached through its link.
    const std::filesystem::path root = m_TempDir.Path() / "root";
    const std::filesystem::path state = root / "var" / "lib" / "private" / "kestrove";
    const std::filesystem::path logs = state / "CORVANE_LOGS";
    std::filesystem::create_directories(logs);
    std::filesystem::create_directories(state / "CORVANE_KEYS");
    std::filesystem::create_directory_symlink("private/kestrove", root / "var" / "lib" / "kestrove");
    const auto daysAgo = [](int days) { return std::filesystem::file_time_type::clock::now() - days * 24h; };
    const std::vector<std::pair<std::filesystem::path, int>> files = {
        {logs / "VYR01022024.log", 500},     {logs / "VYR03072025.log", 390},           {logs / "VYR05012026.log", 0},
        {state / "MerchantParams.dat", 900}, {state / "CORVANE_KEYS" / "old.pem", 900}, {state / "Reversals.dat", 900}};
    for (const auto& [file, age] : files) {
        WriteFileBytes(file, "x");
        std::filesystem::last_write_time(file, daysAgo(age));
    }
    const auto clean = [&](const std::filesystem::path& conf) {
        std::string output;
        EXPECT_EQ(0, RunCommand("systemd-tmpfiles --clean --root=" + Quoted(root) + " " + Quoted(conf), &output))
            << output;
    };

    // As installed it deletes nothing.
    clean(installed);
    for (const auto& [file, age] : files) {
        EXPECT_TRUE(std::filesystem::exists(file)) << file;
    }

    // Turned on as its comment says (the copy in /etc/tmpfiles.d without the "#"), with its example age.
    const std::filesystem::path turnedOn = m_TempDir.Path() / "kestrove.conf";
    std::string output;
    ASSERT_EQ(0, RunCommand("sed 's/^#e /e /' " + Quoted(installed) + " > " + Quoted(turnedOn), &output)) << output;
    EXPECT_THAT(ReadFileBytes(installed), HasSubstr("sed 's/^#e /e /' /usr/local/lib/tmpfiles.d/kestrove.conf"));
    clean(turnedOn);
    EXPECT_FALSE(std::filesystem::exists(logs / "VYR01022024.log"));
    // Only the logs older than the age go; nothing else of the state folder.
    for (const auto& [file, age] : files) {
        if (file.filename() != "VYR01022024.log") {
            EXPECT_TRUE(std::filesystem::exists(file)) << file;
        }
    }
}

TEST_F(ServiceUnitTest, ExposureIsTwoOrLower) {
    if (!HaveSystemdAnalyze()) {
        GTEST_SKIP() << "systemd-analyze is not installed (Debian package systemd): the exposure is not measured";
    }
    std::string output;
    const int status = RunCommand("systemd-analyze security --offline=yes " + Quoted(SourceUnitFile()), &output);
    ASSERT_EQ(0, status) << output;
    std::smatch match;
    ASSERT_TRUE(std::regex_search(output, match,
                                  std::regex("Overall exposure level for kestrove\\.service: "
                                             "([0-9]+\\.[0-9])")))
        << output;
    EXPECT_LE(std::stod(match[1]), 2.0) << output;
}

} // namespace
