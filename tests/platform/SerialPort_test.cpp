// The serial port over a real pty: the resolver of COM port numbers, the line settings read back after they were
// applied, exclusive non-blocking I/O with the queue counts and the purge, and the modem lines from the driver
// (which a pty lacks) or from a shared line-state file.

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <pty.h>
#include <string>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "common/ScopedEnvironment.h"
#include "common/TempDirTest.h"
#include "common/Wait.h"
#include "platform/SerialPort.h"
#include "platform/SharedModemLines.h"

namespace {

// A pty whose master the test reads and writes; the serial port opens its slave by name.
class CTestPty {
public:
    CTestPty() {
        termios raw{};
        ::cfmakeraw(&raw);
        char name[128] = {};
        EXPECT_EQ(::openpty(&m_Master, &m_Slave, name, &raw, nullptr), 0);
        m_Name = name;
    }
    ~CTestPty() {
        ::close(m_Master);
        ::close(m_Slave);
    }
    const std::string& Name() const { return m_Name; }
    int Master() const { return m_Master; }
    std::string ReadMaster(size_t count) {
        std::string bytes;
        WaitUntil([&] {
            char buffer[4096];
            const ssize_t n = ::read(m_Master, buffer, sizeof buffer);
            if (n > 0) {
                bytes.append(buffer, static_cast<size_t>(n));
            }
            return bytes.size() >= count;
        });
        return bytes;
    }

private:
    int m_Master = -1;
    int m_Slave = -1;
    std::string m_Name;
};

class SerialPortTest : public TempDirTest {
protected:
    std::string LinesFile() { return (m_TempDir.Path() / "com.lines").string(); }
};

TEST(ResolveComPortTest, PortNumbersLeadToTheirDeviceUnlessTheEnvironmentMovesThem) {
    EXPECT_EQ(ResolveComPort(1).device, "/dev/ttyS0");
    EXPECT_EQ(ResolveComPort(3).device, "/dev/ttyS2");
    EXPECT_EQ(ResolveComPort(3).linesFile, "");
    CScopedEnvironmentVariable device("KESTROVE_COM3", "/dev/ttyUSB0");
    CScopedEnvironmentVariable lines("KESTROVE_COM3_LINES", "/tmp/modem.lines");
    EXPECT_EQ(ResolveComPort(3).device, "/dev/ttyUSB0");
    EXPECT_EQ(ResolveComPort(3).linesFile, "/tmp/modem.lines");
    // Only the port named moves.
    EXPECT_EQ(ResolveComPort(13).device, "/dev/ttyS12");
    EXPECT_EQ(ResolveComPort(13).linesFile, "");
}

TEST(SerialSettingsTest, OnlyTheSupportedLineSettingsAreAccepted) {
    const struct {
        CSerialSettings settings;
        bool valid;
    } cases[] = {
        {{19200, 'E', '7', '1'}, true},  {{300, 'n', '8', '2'}, true},    {{115200, 'o', '8', '1'}, true},
        {{4800, 'E', '7', '1'}, false},  {{19200, 'M', '7', '1'}, false}, {{19200, 'E', '6', '1'}, false},
        {{19200, 'E', '7', '3'}, false}, {{0, 'E', '7', '1'}, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ValidSerialSettings(c.settings), c.valid)
            << c.settings.baud << c.settings.parity << c.settings.dataBits << c.settings.stopBits;
    }
}

TEST_F(SerialPortTest, OpenAppliesTheLineSettingsAndReadsThemBack) {
    CTestPty pty;
    CSerialPort port;
    std::string error;
    ASSERT_TRUE(port.Open(pty.Name(), CSerialSettings{19200, 'E', '7', '1'}, "", &error)) << error;
    termios tio{};
    ASSERT_EQ(::tcgetattr(port.Fd(), &tio), 0);
    EXPECT_EQ(::cfgetospeed(&tio), static_cast<speed_t>(B19200));
    EXPECT_EQ(::cfgetispeed(&tio), static_cast<speed_t>(B19200));
    // A pty reports every character format as 8N1 (it has no wire), so 7E1 cannot be read back from one.
    EXPECT_EQ(tio.c_cflag & CSTOPB, 0u);
    for (const tcflag_t flag : {tcflag_t{CLOCAL}, tcflag_t{HUPCL}, tcflag_t{CRTSCTS}, tcflag_t{CREAD}}) {
        EXPECT_NE(tio.c_cflag & flag, 0u) << flag;
    }
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP | INPCK), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 0);
    const int flags = ::fcntl(port.Fd(), F_GETFL);
    EXPECT_NE(flags & O_NONBLOCK, 0);
    EXPECT_NE(::fcntl(port.Fd(), F_GETFD) & FD_CLOEXEC, 0);
}

TEST_F(SerialPortTest, OpenFailsWithTheStepAndTheDevice) {
    CSerialPort port;
    std::string error;
    EXPECT_FALSE(port.Open("/dev/no-such-tty", CSerialSettings(), "", &error));
    EXPECT_NE(error.find("/dev/no-such-tty"), std::string::npos) << error;
    EXPECT_FALSE(port.IsOpen());

    // A file is no serial device.
    WriteFileBytes("plain.txt", "x");
    EXPECT_FALSE(port.Open("plain.txt", CSerialSettings(), "", &error));
    EXPECT_NE(error.find("plain.txt"), std::string::npos) << error;
    EXPECT_FALSE(port.IsOpen());

    CTestPty pty;
    EXPECT_FALSE(port.Open(pty.Name(), CSerialSettings{4800, 'E', '7', '1'}, "", &error));
    EXPECT_FALSE(port.IsOpen());
    // A line-state file that is not one.
    EXPECT_FALSE(port.Open(pty.Name(), CSerialSettings(), "plain.txt", &error));
    EXPECT_NE(error.find("line-state"), std::string::npos) << error;
    EXPECT_FALSE(port.IsOpen());
}

TEST_F(SerialPortTest, BytesCrossThePtyWithTheQueueCountsAndThePurge) {
    CTestPty pty;
    CSerialPort port;
    std::string error;
    ASSERT_TRUE(port.Open(pty.Name(), CSerialSettings(), "", &error)) << error;

    char buffer[64];
    EXPECT_EQ(port.ReadSome(buffer, sizeof buffer), 0); // nothing queued: no wait, no error
    ASSERT_EQ(::write(pty.Master(), "OK\r\n", 4), 4);
    ASSERT_TRUE(WaitUntil([&] { return port.InputQueued() == 4; }));
    EXPECT_EQ(port.ReadSome(buffer, 2), 2);
    EXPECT_EQ(std::string(buffer, 2), "OK");
    EXPECT_EQ(port.InputQueued(), 2);
    EXPECT_TRUE(port.PurgeInput());
    EXPECT_EQ(port.InputQueued(), 0);

    const std::string text = "ATDT5550100\r";
    EXPECT_EQ(port.WriteSome(text.data(), text.size()), static_cast<long>(text.size()));
    EXPECT_EQ(pty.ReadMaster(text.size()), text);
    EXPECT_GE(port.OutputQueued(), 0);
}

TEST_F(SerialPortTest, APtyHasNoModemLinesButALineStateFileGivesThem) {
    CTestPty pty;
    CSerialPort port;
    std::string error;
    ASSERT_TRUE(port.Open(pty.Name(), CSerialSettings(), "", &error)) << error;
    unsigned lines = 0xFF;
    EXPECT_FALSE(port.Lines().GetLines(&lines));
    EXPECT_EQ(lines, 0u);
    port.Close();

    auto modem = CSharedModemLines::Create(LinesFile(), kLineDsr | kLineCts, &error);
    ASSERT_NE(modem, nullptr) << error;
    ASSERT_TRUE(port.Open(pty.Name(), CSerialSettings(), LinesFile(), &error)) << error;
    ASSERT_TRUE(port.Lines().GetLines(&lines));
    EXPECT_EQ(lines, kLineDsr | kLineCts);
    modem->SetLine(kLineDcd, true);
    ASSERT_TRUE(port.Lines().GetLines(&lines));
    EXPECT_EQ(lines & kLineDcd, kLineDcd);
    EXPECT_TRUE(port.Lines().SetDtr(true));
    EXPECT_TRUE(port.Lines().SetRts(true));
    EXPECT_TRUE(modem->IsLine(kLineDtr));
    EXPECT_TRUE(modem->IsLine(kLineRts));
    EXPECT_TRUE(port.Lines().SetDtr(false));
    EXPECT_FALSE(modem->IsLine(kLineDtr));
    EXPECT_TRUE(modem->IsLine(kLineRts));
}

TEST_F(SerialPortTest, ALineStateFileMustBeOne) {
    std::string error;
    EXPECT_EQ(CSharedModemLines::Open("missing.lines", &error), nullptr);
    EXPECT_NE(error.find("missing.lines"), std::string::npos);
    WriteFileBytes("short.lines", "KSML");
    EXPECT_EQ(CSharedModemLines::Open("short.lines", &error), nullptr);
    WriteFileBytes("other.lines", std::string(16, 'x'));
    EXPECT_EQ(CSharedModemLines::Open("other.lines", &error), nullptr);
    // A file made anew replaces the old one.
    ASSERT_NE(CSharedModemLines::Create("other.lines", kLineCts, &error), nullptr) << error;
    auto lines = CSharedModemLines::Open("other.lines", &error);
    ASSERT_NE(lines, nullptr) << error;
    EXPECT_TRUE(lines->IsLine(kLineCts));
    EXPECT_FALSE(lines->IsLine(kLineDsr));
}

} // namespace
