// The COM port against the modem simulator on a real pty: the port numbers and line settings it refuses, the
// identity and genuine-model checks, line reading that keeps what follows a line end, writes that send every
// byte or say why not, both hang-up ways, and the comm-event thread's events.

#include <fcntl.h>
#include <functional>
#include <memory>
#include <pty.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "common/LogFolder.h"
#include "common/TempDirTest.h"
#include "common/Wait.h"
#include "host/ComPort.h"
#include "host/DialBackupServer.h"
#include "peers/ModemSimulator.h"
#include "platform/SharedModemLines.h"
#include "tests/host/HostTestSupport.h"

using namespace hosttest;

namespace {

SDialTimings FastTimings() {
    SDialTimings timings = ScaleDialTimings(SDialTimings(), 20);
    // Waits that end as soon as their answer is there keep their length, so a loaded machine does not fail them.
    timings.writeMs = 5000;
    timings.hangUpCarrierMs = 300;
    timings.okMs = 2000;
    return timings;
}

class ComPortTest : public TempDirTest {
protected:
    void SetUp() override { PrepareLogFolder(); }
    void TearDown() override { m_Port.Close(); }

    std::string LinesFile() const { return (m_TempDir.Path() / "com.lines").string(); }
    // A modem whose echo is already off, as the identity check leaves it.
    static CModemScript QuietModem() {
        CModemScript script;
        script.echo = false;
        return script;
    }
    void StartModem(const CModemScript& script = QuietModem()) {
        m_Modem = std::make_unique<CModemSimulator>(m_Host, script);
        ASSERT_TRUE(m_Modem->Start(LinesFile())) << m_Modem->LastError();
        m_Port.SetResolver([this](int) { return m_Modem->Location(); });
    }
    void OpenPort() {
        m_Port.SetCancelEvent(&m_Cancel);
        ASSERT_TRUE(m_Port.Open(3, 19200, 'E', '7', '1'));
    }
    // Dials and reads the CONNECT line.
    void Connect() {
        ASSERT_EQ(m_Port.SendCommand("ATDT5550100", true), kComSuccess);
        std::string line;
        ASSERT_EQ(m_Port.ReadLine(1000, &line), kComSuccess);
        ASSERT_EQ(line, "CONNECT 14400");
        ASSERT_TRUE(m_Port.WaitForCarrier(1000));
    }

    CCardHost m_Host;
    std::unique_ptr<CModemSimulator> m_Modem;
    CEvent m_Cancel{true};
    CComPort m_Port{FastTimings()};
};

TEST_F(ComPortTest, PortNumbersAndLineSettingsOutsideTheirRangesAreRefusedWithoutTouchingTheSystem) {
    int resolved = 0;
    m_Port.SetResolver([&](int port) {
        ++resolved;
        return ResolveComPort(port);
    });
    for (const int port : {0, 256, -1}) {
        EXPECT_FALSE(m_Port.Open(port, 19200, 'E', '7', '1')) << port;
    }
    EXPECT_FALSE(m_Port.Open(3, 4800, 'E', '7', '1'));
    EXPECT_FALSE(m_Port.Open(3, 19200, 'X', '7', '1'));
    EXPECT_EQ(resolved, 0);
    EXPECT_FALSE(m_Port.IsOpen());
}

TEST_F(ComPortTest, APtyWithoutALineStateFileIsRefused) {
    StartModem();
    m_Port.SetResolver([this](int) { return CComPortLocation{m_Modem->DevicePath(), ""}; });
    EXPECT_FALSE(m_Port.Open(3, 19200, 'E', '7', '1'));
    EXPECT_FALSE(m_Port.IsOpen());
    EXPECT_GE(CountLogLines("the modem lines of " + m_Modem->DevicePath() + " cannot be read"), 1);
}

TEST_F(ComPortTest, TheIdentityCheckTakesOnlyTheMakersModel) {
    struct Case {
        const char* name;
        std::string identity;
        bool genuine;
        bool answers;
        bool answersModelCheck;
        int code;
        std::string text;
        size_t commands;
    };
    const Case cases[] = {
        {"CX84", "CX84", true, true, true, kComSuccess, "", 2},
        {"CX90", "CX90-V.92", true, true, true, kComSuccess, "", 2},
        {"other identity", "CX42", true, true, true, kComFailure, kModemNotGenuineText, 1},
        {"takes the other model's command", "CX84", false, true, true, kComFailure, kModemNotGenuineText, 2},
        {"silent modem", "CX84", true, false, true, kComFailure, kModemNotGenuineText, 1},
        // Its identity answer came, so the silence is no "Timeout on Response.".
        {"silent to the model check", "CX84", true, true, false, kComTimeout, "", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CModemScript script; // echo on, as at power-up
        script.identity = c.identity;
        script.genuine = c.genuine;
        script.answers = c.answers;
        script.answersModelCheck = c.answersModelCheck;
        StartModem(script);
        OpenPort();
        std::string text = "left from before";
        EXPECT_EQ(m_Port.CheckModemIdentity(&text, 300), c.code);
        EXPECT_EQ(text, c.code == kComSuccess ? "" : c.text);
        const std::vector<std::string> commands = m_Modem->Commands();
        ASSERT_EQ(commands.size(), c.commands);
        EXPECT_EQ(commands[0], kModemIdentityCommand);
        if (c.commands > 1) {
            EXPECT_EQ(commands[1], kModemModelCheckCommand);
        }
        m_Port.Close();
        m_Modem.reset();
    }
}

TEST_F(ComPortTest, ACancelEndsTheIdentityCheck) {
    StartModem();
    OpenPort();
    m_Cancel.Set();
    std::string text;
    EXPECT_EQ(m_Port.CheckModemIdentity(&text, 2000), kComCancelled);
    EXPECT_EQ(text, kModemNoResponseText);
}

TEST_F(ComPortTest, ReadLineSkipsBlankLinesAndLeavesWhatFollowsForTheNextRead) {
    // The host's ENQ arrives in the same read as "\r\nCONNECT 14400\r\n".
    StartModem();
    OpenPort();
    Connect();
    ASSERT_GT(m_Port.BytesAvailable(), 0);
    ASSERT_EQ(m_Port.Read(-1), 1);
    EXPECT_EQ(m_Port.GetReceiveBuffer()[0], kCharENQ);
    EXPECT_EQ(m_Port.BytesAvailable(), 0);
}

TEST_F(ComPortTest, AByteWithAParityErrorFailsItsReadAndIsNoData) {
    StartModem();
    OpenPort();
    m_Modem->SendWithLineError("\r\nCONNECT 14", '4', "400\r\n");
    ASSERT_TRUE(WaitUntil([&] { return m_Port.BytesAvailable() >= 20; }));
    // The read that meets it fails; what came with it is read after, in order, without it.
    std::string data;
    int failed = 0;
    while (m_Port.BytesAvailable() > 0) {
        const int count = m_Port.Read(-1);
        failed += count == 0 ? 1 : 0;
        data.append(m_Port.GetReceiveBuffer(), static_cast<size_t>(count));
    }
    EXPECT_EQ(failed, 1);
    EXPECT_EQ(data, "\r\nCONNECT 14400\r\n");

    // As a line: the byte in error is not in it.
    m_Modem->SendWithLineError("\r\nO", 'x', "K\r\n");
    std::string line;
    ASSERT_EQ(m_Port.ReadLine(1000, &line), kComSuccess);
    EXPECT_EQ(line, "OK");
}

TEST_F(ComPortTest, AWriteLongerThanTheQueueSendsEveryByte) {
    StartModem();
    OpenPort();
    Connect();
    const std::string bulk(10000, 'A');
    ASSERT_EQ(m_Port.WriteString(bulk, 5000), kComSuccess);
    ASSERT_TRUE(WaitUntil([&] { return m_Modem->DataBytes().size() >= bulk.size(); }));
    EXPECT_EQ(m_Modem->DataBytes(), bulk);
}

TEST_F(ComPortTest, AWriteThatCannotLeaveTimesOutOrGivesWayToTheCancel) {
    // A pty whose far end never reads: the output stops once the kernel's buffers are full.
    termios raw{};
    ::cfmakeraw(&raw);
    int master = -1;
    int slave = -1;
    char name[128] = {};
    ASSERT_EQ(::openpty(&master, &slave, name, &raw, nullptr), 0);
    std::string error;
    auto lines = CSharedModemLines::Create(LinesFile(), kLineDsr | kLineCts, &error);
    ASSERT_NE(lines, nullptr) << error;
    const std::string device = name;
    m_Port.SetResolver([&](int) { return CComPortLocation{device, LinesFile()}; });
    OpenPort();
    const std::string bulk(1 << 20, 'A');
    EXPECT_EQ(m_Port.WriteString(bulk, 100), kComTimeout);
    EXPECT_EQ(CountLogLines("TIMED OUT! on TRANSMIT!! [COMSTAT [cbInQue = 0,cbOutQue = "), 1);
    m_Cancel.Set();
    EXPECT_EQ(m_Port.WriteString(bulk, 5000), kComCancelled);
    m_Port.Close();
    ::close(master);
    ::close(slave);
}

TEST_F(ComPortTest, HangUpDropsDtrAndRaisesItAgain) {
    StartModem();
    OpenPort();
    Connect();
    EXPECT_TRUE(m_Port.HangUp());
    EXPECT_TRUE(WaitUntil([&] { return m_Modem->DtrDrops() == 1; }));
    EXPECT_FALSE(m_Port.IsCarrier());
    EXPECT_TRUE(m_Modem->Line(kLineDtr));
    EXPECT_EQ(m_Modem->Commands().back(), "ATDT5550100");
}

TEST_F(ComPortTest, AModemThatIgnoresDtrIsHungUpWithTheEscapeAndAth0) {
    CModemScript script = QuietModem();
    script.hangUpOnDtrDrop = false;
    StartModem(script);
    OpenPort();
    Connect();
    EXPECT_TRUE(m_Port.HangUp());
    EXPECT_FALSE(m_Port.IsCarrier());
    EXPECT_EQ(m_Modem->DataBytes().find(kModemEscape), 0u);
    EXPECT_EQ(m_Modem->Commands().back(), kModemHangUpCommand);
    EXPECT_TRUE(m_Modem->Line(kLineDtr));
}

TEST_F(ComPortTest, ACancelDuringTheHangUpStillRaisesDtrAgain) {
    CModemScript script = QuietModem();
    script.hangUpOnDtrDrop = false;
    StartModem(script);
    OpenPort();
    Connect();
    m_Cancel.Set();
    EXPECT_FALSE(m_Port.HangUp());
    EXPECT_TRUE(WaitUntil([&] { return m_Modem->DtrDrops() == 1; }));
    EXPECT_TRUE(m_Modem->Line(kLineDtr));
}

TEST_F(ComPortTest, TheCommEventThreadReportsLineChangesAndCloseDropsDtr) {
    StartModem();
    OpenPort();
    EXPECT_TRUE(m_Modem->Line(kLineDtr));
    EXPECT_TRUE(m_Modem->Line(kLineRts));
    EXPECT_TRUE(m_Port.GetDtr());
    EXPECT_TRUE(m_Port.GetRts());
    EXPECT_TRUE(m_Port.IsDsr());
    EXPECT_TRUE(m_Port.IsCts());
    EXPECT_FALSE(m_Port.WaitForCarrier(20));
    // The carrier comes while the port waits for it; from then on a call is up and its lines are watched.
    std::thread carrier([this] {
        CSystemClock().SleepMs(20);
        m_Modem->SetLine(kLineDcd, true);
    });
    EXPECT_TRUE(m_Port.WaitForCarrier(2000));
    carrier.join();
    EXPECT_TRUE(m_Port.CarrierChangedEvent().Wait(2000));
    m_Modem->SetLine(kLineCts, false);
    EXPECT_TRUE(m_Port.CtsChangedEvent().Wait(2000));
    EXPECT_FALSE(m_Port.IsCts());
    m_Modem->SetLine(kLineDsr, false);
    EXPECT_TRUE(m_Port.DsrChangedEvent().Wait(2000));
    ASSERT_EQ(m_Port.SendCommand("AT", true), kComSuccess);
    EXPECT_TRUE(m_Port.DataReceivedEvent().Wait(2000));
    EXPECT_EQ(m_Port.WaitForOk(1000), kComSuccess);

    const int threads = CountEntries("/proc/self/task");
    EXPECT_TRUE(m_Port.Close());
    EXPECT_FALSE(m_Modem->Line(kLineDtr));
    EXPECT_EQ(CountEntries("/proc/self/task"), threads - 1);
    EXPECT_FALSE(m_Port.IsCarrier());
}

TEST_F(ComPortTest, TheLinesAreWatchedOnlyWhileACallIsUpOrAnOperationWaits) {
    StartModem();
    OpenPort();
    CSystemClock real;
    // How often the comm-event thread woke while |quiet| ran.
    auto wakeUpsDuring = [this](const std::function<void()>& quiet) {
        const uint64_t before = m_Port.LineWatchWakeUps();
        quiet();
        return m_Port.LineWatchWakeUps() - before;
    };
    const uint32_t quietMs = 200; // 200 looks of the lines at this test's pace, were they taken
    ASSERT_EQ(FastTimings().lineWatchMs, 1u);

    // An open port with no call and nothing waiting: no look at all, and a line that changes meanwhile is seen
    // once the port watches again.
    EXPECT_EQ(wakeUpsDuring([&] { real.SleepMs(quietMs); }), 0u);
    m_Modem->SetLine(kLineCts, false);
    real.SleepMs(20);
    EXPECT_FALSE(m_Port.CtsChangedEvent().Wait(0));
    // A command waiting for its answer is watched while it waits.
    EXPECT_GE(wakeUpsDuring([&] {
                  ASSERT_EQ(m_Port.SendCommand("AT", true), kComSuccess);
                  EXPECT_EQ(m_Port.WaitForOk(1000), kComSuccess);
              }),
              1u);
    EXPECT_TRUE(m_Port.CtsChangedEvent().Wait(2000));
    m_Modem->SetLine(kLineCts, true);
    // (At most the one look that was due when the wait ended.)
    EXPECT_LE(wakeUpsDuring([&] { real.SleepMs(quietMs); }), 1u);

    // A call is watched while it is up, with nobody waiting ...
    Connect();
    EXPECT_GE(wakeUpsDuring([&] { real.SleepMs(quietMs); }), 5u);
    // ... and no longer once it is over.
    EXPECT_TRUE(m_Port.HangUp());
    EXPECT_LE(wakeUpsDuring([&] { real.SleepMs(quietMs); }), 1u);
}

} // namespace
