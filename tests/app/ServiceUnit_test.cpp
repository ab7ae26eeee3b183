// The systemd unit of service mode: it passes systemd's own check (when the machine has systemd-analyze) and
// says what service mode needs: the switch, the state folder, restarts on failure and time for the shut-down.

#include <array>
#include <cstdio>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ChildProcess.h"
#include "common/TempDir.h"

using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

std::filesystem::path UnitFile() {
    return std::filesystem::path(__FILE__).parent_path().parent_path().parent_path() / "packaging" / "kestrove.service";
}

// The unit's settings, "Section.Key" -> value (the last one wins, as for systemd's single-value keys).
std::map<std::string, std::string> ParseUnit(const std::string& text) {
    std::map<std::string, std::string> settings;
    std::istringstream in(text);
    std::string line;
    std::string section;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#' || line[0] == ';') {
            continue;
        }
        if (line.front() == '[' && line.back() == ']') {
            section = line.substr(1, line.size() - 2);
            continue;
        }
        const size_t eq = line.find('=');
        if (eq != std::string::npos) {
            settings[section + "." + line.substr(0, eq)] = line.substr(eq + 1);
        }
    }
    return settings;
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

class ServiceUnitTest : public TempDirTest {};

TEST_F(ServiceUnitTest, RunsTheProgramInServiceModeInItsStateFolder) {
    const std::string text = testing_child::ReadText(UnitFile());
    ASSERT_FALSE(text.empty()) << UnitFile();
    const std::map<std::string, std::string> unit = ParseUnit(text);
    EXPECT_THAT(unit.at("Service.ExecStart"), EndsWith("/kestrove /started_as_service"));
    EXPECT_EQ("/var/lib/kestrove", unit.at("Service.WorkingDirectory"));
    EXPECT_EQ("kestrove", unit.at("Service.StateDirectory"));
    EXPECT_EQ("on-failure", unit.at("Service.Restart"));
    EXPECT_EQ("SIGTERM", unit.at("Service.KillSignal"));
    // The host interface alone may take 20 s, the client settle period 5 s more.
    EXPECT_GE(std::stoi(unit.at("Service.TimeoutStopSec")), 30);
    // The single-instance locks must stay writable under the file-system protection.
    EXPECT_THAT(unit.at("Service.ReadWritePaths"), HasSubstr("/run/lock"));
}

TEST_F(ServiceUnitTest, PassesSystemdVerification) {
    std::string which;
    if (RunCommand("command -v systemd-analyze", &which) != 0) {
        GTEST_SKIP() << "systemd-analyze is not installed";
    }
    // Verified as installed, with the program of this build where the unit expects it.
    std::string text = testing_child::ReadText(UnitFile());
    const std::string installed = "/usr/local/bin/kestrove";
    const size_t at = text.find(installed);
    ASSERT_NE(std::string::npos, at);
    text.replace(at, installed.size(), testing_child::KestroveProgram().string());
    const std::filesystem::path copy = m_TempDir.Path() / "kestrove.service";
    WriteFileBytes(copy, text);

    std::string output;
    const int status = RunCommand("systemd-analyze verify '" + copy.string() + "'", &output);
    EXPECT_EQ(0, status) << output;
    // systemd-analyze only warns about keys it cannot parse, naming the file: no such line may appear.
    EXPECT_THAT(output, Not(HasSubstr("kestrove.service"))) << output;
}

} // namespace
