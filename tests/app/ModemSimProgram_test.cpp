// The modemsim program as someone trying the dial path by hand meets it: started with a card, it prints its pty
// and its line-state file; a terminal opened on that pty at the COM port's settings (19200 baud, 7E1) types modem
// commands and reads the answers; SIGTERM ends it cleanly and takes the line-state file away.

#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ChildProcess.h"
#include "common/TempDirTest.h"
#include "common/Wait.h"
#include "host/ComPort.h"
#include "platform/SerialPort.h"

using ::testing::HasSubstr;
using testing_child::CChildProcess;
using testing_child::kChildPollMs;
using testing_child::TestBinaryFolder;

namespace {

constexpr int kTimeoutMs = 10000;

class ModemSimProgramTest : public TempDirTest {
protected:
    // Starts modemsim with |args| and opens the pty it printed as a terminal would.
    void StartAndOpen(const std::vector<std::string>& args) {
        ASSERT_TRUE(m_Modem.Start(TestBinaryFolder() / "peers" / "modemsim", args, m_TempDir.Path(), {}, "modemsim"));
        std::vector<std::string> lines;
        ASSERT_TRUE(WaitUntil(
            [&] {
                lines = OutputLines(m_Modem.Stdout());
                return lines.size() >= 2 || m_Modem.Wait(0);
            },
            kTimeoutMs, kChildPollMs));
        ASSERT_EQ(lines.size(), 2u) << m_Modem.Stdout() << m_Modem.Stderr();
        m_Device = lines[0];
        m_LinesFile = lines[1];
        std::string error;
        ASSERT_TRUE(m_Port.Open(m_Device, CSerialSettings(), m_LinesFile, &error)) << error;
    }

    // Types |command| and a CR; returns what came back until |until| did (or the wait ran out).
    std::string Type(const std::string& command, const std::string& until) {
        const std::string line = command + "\r";
        EXPECT_EQ(m_Port.WriteSome(line.data(), line.size()), static_cast<long>(line.size()));
        std::string answer;
        WaitUntil(
            [&] {
                char buffer[256];
                const long got = m_Port.ReadSome(buffer, sizeof buffer);
                if (got > 0) {
                    answer.append(buffer, static_cast<size_t>(got));
                }
                return answer.find(until) != std::string::npos;
            },
            kTimeoutMs, kChildPollMs);
        return answer;
    }

    static std::vector<std::string> OutputLines(const std::string& text) {
        std::vector<std::string> lines;
        size_t from = 0;
        for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', from)) {
            lines.push_back(text.substr(from, end - from));
            from = end + 1;
        }
        return lines;
    }

    CChildProcess m_Modem;
    CSerialPort m_Port;
    std::string m_Device;
    std::string m_LinesFile;
};

} // namespace

TEST_F(ModemSimProgramTest, AnswersTheCommandsTypedOnItsPtyAndStopsCleanly) {
    const std::filesystem::path linesFile = m_TempDir.Path() / "modem.lines";
    StartAndOpen({"--card", "6006491234567890=5000", "--lines", linesFile.string()});
    EXPECT_EQ(m_LinesFile, linesFile.string());
    EXPECT_THAT(m_Modem.Stderr(),
                HasSubstr("start the server with KESTROVE_COM1=" + m_Device + " KESTROVE_COM1_LINES=" + m_LinesFile));
    // A modem with DSR and CTS on and no call yet.
    unsigned lines = 0;
    ASSERT_TRUE(m_Port.Lines().GetLines(&lines));
    EXPECT_EQ(lines & (kLineDsr | kLineCts | kLineDcd), kLineDsr | kLineCts);

    // It echoes what is typed (as a modem does at power-up) and answers.
    EXPECT_EQ(Type("AT", "OK\r\n"), "AT\r\r\nOK\r\n");
    EXPECT_EQ(Type(kModemIdentityCommand, "OK\r\n"), std::string(kModemIdentityCommand) + "\r\r\nCX84\r\n\r\nOK\r\n");
    // That command turned the echo off. The maker's model refuses the other model's command.
    EXPECT_EQ(Type(kModemModelCheckCommand, "ERROR\r\n"), "\r\nERROR\r\n");
    // A dial connects, the carrier comes up and the host's dial-in service asks for a frame.
    EXPECT_EQ(Type("ATDT18005550100", "\x05"), "\r\nCONNECT 14400\r\n\x05");
    ASSERT_TRUE(m_Port.Lines().GetLines(&lines));
    EXPECT_NE(lines & kLineDcd, 0u);
    EXPECT_TRUE(
        WaitUntil([&] { return m_Modem.Stderr().find("modemsim: command ATDT18005550100") != std::string::npos; },
                  kTimeoutMs, kChildPollMs))
        << m_Modem.Stderr();

    m_Port.Close();
    ASSERT_TRUE(m_Modem.Signal(SIGTERM));
    ASSERT_TRUE(m_Modem.Wait(kTimeoutMs));
    EXPECT_EQ(m_Modem.ExitCode(), 0) << m_Modem.Stderr();
    EXPECT_THAT(m_Modem.Stderr(), HasSubstr("modemsim: stopped"));
    EXPECT_FALSE(std::filesystem::exists(linesFile));
}

TEST_F(ModemSimProgramTest, RefusesAnUnknownOptionWithItsUsage) {
    ASSERT_TRUE(m_Modem.Start(TestBinaryFolder() / "peers" / "modemsim", {"--dial", "maybe"}, m_TempDir.Path(), {},
                              "modemsim"));
    ASSERT_TRUE(m_Modem.Wait(kTimeoutMs));
    EXPECT_EQ(m_Modem.ExitCode(), 2);
    EXPECT_THAT(m_Modem.Stderr(), HasSubstr("usage: modemsim"));
    EXPECT_EQ(m_Modem.Stdout(), "");
}
