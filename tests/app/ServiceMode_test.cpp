// The program in service mode, end to end: kestrove runs as a child process in its own folder against the host
// simulator (real TLS on loopback, the test CA through SSL_CERT_FILE), a POS client makes a Sale, and SIGTERM
// runs the whole shut-down: exit status 0, the shut-down lines in the log and no thread left behind.

#include <csignal>
#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ChildProcess.h"
#include "ServerFolderFixture.h"
#include "peers/PosClient.h"

using ::testing::HasSubstr;
using ::testing::Not;
using testing_child::CChildProcess;
using testing_child::KestroveProgram;
using testing_child::ReadLogFolder;
using testing_child::WaitUntil;

namespace {

constexpr int kTimeoutMs = kServerFolderTimeoutMs;
const std::string kCard = kServerFolderCard;

using ServiceModeTest = ServerFolderTest;

TEST_F(ServiceModeTest, SaleIsServedAndSigtermShutsDownCleanly) {
    ASSERT_TRUE(StartServer());
    const int port = WaitForPort();
    ASSERT_GT(port, 0) << ReadLogFolder(m_Folder) << m_Server.Stderr();

    {
        CPosClient lane;
        SPosReply reply;
        ASSERT_TRUE(lane.Connect("127.0.0.1", port)) << lane.LastError();
        ASSERT_TRUE(lane.ReadGreeting(&reply)) << lane.LastError();
        ASSERT_TRUE(lane.Login(&reply)) << lane.LastError() << " " << reply.textResponse;
        ASSERT_TRUE(lane.SendRequest(CEndToEndWorld::Request("Sale", kCard, "12.50"))) << lane.LastError();
        ASSERT_TRUE(lane.ReadReply(&reply, kTimeoutMs)) << lane.LastError();
        EXPECT_EQ(0, reply.returnCode);
        EXPECT_THAT(reply.textResponse, HasSubstr("Queued:"));
        ASSERT_TRUE(lane.ReadReply(&reply, kTimeoutMs)) << lane.LastError();
        ASSERT_TRUE(reply.decrypted);
        EXPECT_EQ("Approved", reply.cmdStatus);
        EXPECT_EQ("37.50", XmlElement(reply.document, "Balance"));
        lane.Close();
    }
    EXPECT_EQ(3750, m_Simulator->Host().Balance(kCard));
    ASSERT_EQ(1u, m_Simulator->Exchanges().size());
    EXPECT_EQ("0200", m_Simulator->Exchanges()[0].type);

    ASSERT_TRUE(m_Server.Signal(SIGTERM));
    ASSERT_TRUE(m_Server.Wait(kTimeoutMs));
    EXPECT_EQ(0, m_Server.ExitCode()) << m_Server.Stderr();
    const std::string log = ReadLogFolder(m_Folder);
    EXPECT_THAT(log, HasSubstr("Interfaces Stopped."));
    EXPECT_THAT(log, HasSubstr("Server Shutdown . . ."));
    // Every worker was joined before the exit: only the main thread and the log writer were left.
    EXPECT_THAT(log, HasSubstr("Threads left after the shut-down: 0."));
    EXPECT_LT(log.find("Interfaces Stopped."), log.find("Server Shutdown . . ."));
    // A service shows nothing: standard error stays empty.
    EXPECT_EQ("", m_Server.Stderr());
    EXPECT_THAT(log, Not(HasSubstr("runs in the terminal")));
}

TEST_F(ServiceModeTest, SigtermStopsAServerStartedByHandWhileALaneStaysConnected) {
    // Started without the service switch and with no terminal to answer the question about connected clients.
    ASSERT_TRUE(StartServer({}));
    const int port = WaitForPort();
    ASSERT_GT(port, 0) << ReadLogFolder(m_Folder) << m_Server.Stderr();

    CPosClient lane;
    SPosReply reply;
    ASSERT_TRUE(lane.Connect("127.0.0.1", port)) << lane.LastError();
    ASSERT_TRUE(lane.ReadGreeting(&reply)) << lane.LastError();
    ASSERT_TRUE(lane.Login(&reply)) << lane.LastError() << " " << reply.textResponse;

    ASSERT_TRUE(m_Server.Signal(SIGTERM));
    ASSERT_TRUE(m_Server.Wait(kTimeoutMs)) << "SIGTERM was refused while a lane was connected";
    EXPECT_EQ(0, m_Server.ExitCode()) << m_Server.Stderr();
    const std::string log = ReadLogFolder(m_Folder);
    EXPECT_THAT(log, HasSubstr("Interfaces Stopped."));
    EXPECT_THAT(log, HasSubstr("Threads left after the shut-down: 0."));
    EXPECT_THAT(m_Server.Stderr(), Not(HasSubstr("Are you SURE")));
    // Without a display it ran in the terminal, and said so once.
    EXPECT_THAT(log, HasSubstr("No display to open (DISPLAY and WAYLAND_DISPLAY are not set): kestrove runs in the "
                               "terminal."));
    EXPECT_EQ(std::string::npos, log.find("runs in the terminal", log.find("runs in the terminal") + 1));
}

TEST_F(ServiceModeTest, ADisplayThatCannotBeOpenedLeavesTheProgramInTheTerminal) {
    // No X server listens on display 4711: Qt cannot start there, and the program must not end with it.
    ASSERT_TRUE(StartServer({}, {{"DISPLAY", ":4711"}, {"QT_QPA_PLATFORM", ""}}));
    const int port = WaitForPort();
    ASSERT_GT(port, 0) << ReadLogFolder(m_Folder) << m_Server.Stderr();
    EXPECT_THAT(ReadLogFolder(m_Folder), HasSubstr("The display :4711 could not be opened: kestrove runs in the "
                                                   "terminal."));
    ASSERT_TRUE(m_Server.Signal(SIGTERM));
    ASSERT_TRUE(m_Server.Wait(kTimeoutMs));
    EXPECT_EQ(0, m_Server.ExitCode()) << m_Server.Stderr();
}

TEST_F(ServiceModeTest, UnreachableHostEndsTheStartWithoutAskingAndTheServiceKeepsNoInterface) {
    m_Simulator->StopDiscoveryHost(0);
    m_Simulator->StopDiscoveryHost(1);
    ASSERT_TRUE(StartServer());
    ASSERT_TRUE(WaitUntil(
        [&] { return ReadLogFolder(m_Folder).find("Interfaces Stopped.") != std::string::npos || m_Server.Wait(0); },
        kTimeoutMs));
    const std::string log = ReadLogFolder(m_Folder);
    EXPECT_THAT(log, Not(HasSubstr("Interfaces initialized successfully.")));
    ASSERT_TRUE(m_Server.Signal(SIGTERM));
    ASSERT_TRUE(m_Server.Wait(kTimeoutMs));
    EXPECT_EQ(0, m_Server.ExitCode());
    EXPECT_THAT(ReadLogFolder(m_Folder), HasSubstr("Threads left after the shut-down: 0."));
}

} // namespace
