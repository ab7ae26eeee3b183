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
#include <vector>

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
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP | IGNPAR | IGNBRK | BRKINT), 0u);
    // Parity and framing are checked, and a byte in error is marked rather than passed as data.
    EXPECT_EQ(tio.c_iflag & (INPCK | PARMRK), static_cast<tcflag_t>(INPCK | PARMRK));
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

TEST(LineErrorMarksTest, MarkedBytesAreDroppedAndCountedAndAnEscapedMarkIsData) {
    const std::string mark("\xFF", 1);
    const std::string error = mark + std::string(1, '\0');
    const struct {
        const char* name;
        std::vector<std::string> reads; // what successive reads brought
        std::string data;               // all their data
        size_t errors;
    } cases[] = {
        {"plain", {"OK\r\n"}, "OK\r\n", 0},
        {"the byte 0xFF", {"A" + mark + mark + "B"}, "A" + mark + "B", 0},
        {"a parity error", {"O" + error + "xK"}, "OK", 1},
        {"a break", {"A" + error + std::string(1, '\0') + "B"}, "AB", 1},
        {"two errors", {error + "a" + error + "b"}, "", 2},
        {"an error whose bad byte is 0xFF", {"A" + error + mark + "B"}, "AB", 1},
        {"a mark cut after its 0xFF", {"A" + mark, std::string(1, '\0') + "xB"}, "AB", 1},
        {"a mark cut after its 0x00", {"A" + error, "xB"}, "AB", 1},
        {"an escape cut in two", {"A" + mark, mark + "B"}, "A" + mark + "B", 0},
    };
    for (const auto& c : cases) {
        CLineErrorMarks marks;
        std::string data;
        size_t errors = 0;
        for (std::string read : c.reads) {
            size_t dropped = 0;
            const size_t kept = marks.Take(read.data(), read.size(), &dropped);
            data += read.substr(0, kept);
            errors += dropped;
        }
        EXPECT_EQ(data, c.data) << c.name;
        EXPECT_EQ(errors, c.errors) << c.name;
    }
}

TEST_F(SerialPortTest, ReadsHandOverDataAndLeaveOutBytesThatCameWithALineError) {
    CTestPty pty;
    CSerialPort port;
    std::string error;
    ASSERT_TRUE(port.Open(pty.Name(), CSerialSettings(), "", &error)) << error;
    auto readAll = [&](size_t dataBytes, size_t* lineErrors) {
        std::string data;
        *lineErrors = 0;
        WaitUntil([&] {
            char buffer[64];
            size_t dropped = 0;
            const long n = port.ReadSome(buffer, sizeof buffer, &dropped);
            if (n > 0) {
                data.append(buffer, static_cast<size_t>(n));
            }
            *lineErrors += dropped;
            return data.size() >= dataBytes && port.InputQueued() == 0;
        });
        return data;
    };
    // The line discipline doubles a 0xFF that came as data, and the read makes it one again.
    ASSERT_EQ(::write(pty.Master(),
                      "A\xFF"
                      "B",
                      3),
              3);
    size_t lineErrors = 0;
    EXPECT_EQ(readAll(3, &lineErrors), "A\xFF"
                                       "B");
    EXPECT_EQ(lineErrors, 0u);

    // A byte in error reaches the reader as the line discipline marks it (0xFF 0x00 byte); a pty has no parity,
    // so the mark is written as it would be read, the pty's doubling of 0xFF turned off.
    termios tio{};
    ASSERT_EQ(::tcgetattr(port.Fd(), &tio), 0);
    tio.c_iflag &= ~static_cast<tcflag_t>(PARMRK);
    ASSERT_EQ(::tcsetattr(port.Fd(), TCSANOW, &tio), 0);
    const char marked[] = {'O', '\xFF', '\0', 'x', 'K'};
    ASSERT_EQ(::write(pty.Master(), marked, sizeof marked), static_cast<ssize_t>(sizeof marked));
    EXPECT_EQ(readAll(2, &lineErrors), "OK");
    EXPECT_EQ(lineErrors, 1u);
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
