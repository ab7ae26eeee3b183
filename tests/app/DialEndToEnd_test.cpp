// The dial path of the real program, end to end: kestrove runs as a child process whose COM port is moved to the
// pty of the modem-and-host simulator; a POS client makes a Sale that travels through the simulated modem to the
// card host and back. With transport method 2 it goes by dial alone; with method 1 it goes by dial because every
// Datawire provider refuses the connection.

#include <csignal>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ChildProcess.h"
#include "TestHostSide.h"
#include "common/LogFolder.h"
#include "common/TempDirTest.h"
#include "foundation/ParamStore.h"
#include "host/ComPort.h"
#include "peers/CardHost.h"
#include "peers/EndToEndFixture.h"
#include "peers/HostSimulator.h"
#include "peers/ModemSimulator.h"
#include "peers/PosClient.h"
#include "peers/TestPki.h"

using ::testing::HasSubstr;
using testing_child::CChildProcess;
using testing_child::KestroveProgram;

namespace {

constexpr int kTimeoutMs = 60000;
constexpr int kComPort = 3;
const std::string kCard = "6006491111111111";
const std::string kPhone = "18005550199";

class DialEndToEndTest : public TempDirTest {
protected:
    void SetUp() override {
        m_Folder = m_TempDir.Path() / "server";
        std::filesystem::create_directories(m_Folder);
    }
    void TearDown() override {
        if (m_Server.Signal(SIGTERM)) {
            m_Server.Wait(kTimeoutMs);
        }
        m_Modem.reset();
        m_Simulator.reset();
    }

    // The modem answers with |host|'s accounts.
    void StartModem(CCardHost& host) {
        host.SetMerchant(kE2eMerchantId, kE2eTerminalId);
        m_Modem = std::make_unique<CModemSimulator>(host);
        ASSERT_TRUE(m_Modem->Start((m_TempDir.Path() / "com.lines").string())) << m_Modem->LastError();
    }

    void WriteParameters(const std::string& transportMethod) {
        ASSERT_TRUE(testing_child::WriteProgramParameters(
            m_Folder, {
                          {kParamPrimaryUrl, m_Simulator ? m_Simulator->DiscoveryHost(0) : "0"},
                          {kParamSecondaryUrl, m_Simulator ? m_Simulator->DiscoveryHost(1) : "0"},
                          {kParamTransportMethod, transportMethod},
                          {kParamModemComPort, std::to_string(kComPort)},
                          {kParamAuthorizationPhoneNumber, kPhone},
                      }));
    }

    // Starts the server in service mode and returns the POS port it logged, -1 when its start-up did not finish.
    int StartServer() {
        std::map<std::string, std::string> env =
            testing_child::CTestHostSide::ProgramEnvironment(m_Folder, m_TempDir.Path(), m_Simulator != nullptr);
        env["KESTROVE_COM" + std::to_string(kComPort)] = m_Modem->DevicePath();
        env["KESTROVE_COM" + std::to_string(kComPort) + "_LINES"] = m_Modem->LinesPath();
        if (!m_Server.Start(KestroveProgram(), {"/started_as_service"}, m_Folder, env, "kestrove")) {
            return -1;
        }
        return testing_child::WaitForServedPort(m_Server, m_Folder, kTimeoutMs);
    }

    // Logs a lane in, sends a Sale of 12.50 on the card and reads its final reply.
    void Sale(int port, SPosReply* reply) {
        CPosClient lane;
        ASSERT_TRUE(lane.ConnectAndLogIn("127.0.0.1", port, reply)) << lane.LastError() << " " << reply->textResponse;
        ASSERT_TRUE(lane.SendRequest(CEndToEndWorld::Request("Sale", kCard, "12.50"))) << lane.LastError();
        ASSERT_TRUE(lane.ReadReply(reply, kTimeoutMs)) << lane.LastError();
        EXPECT_THAT(reply->textResponse, HasSubstr("Queued:"));
        ASSERT_TRUE(lane.ReadReply(reply, kTimeoutMs)) << lane.LastError();
        lane.Close();
    }

    // SIGTERM runs the whole shut-down, the dial backup's threads included.
    void StopServer() {
        ASSERT_TRUE(m_Server.Signal(SIGTERM));
        ASSERT_TRUE(m_Server.Wait(kTimeoutMs));
        EXPECT_EQ(0, m_Server.ExitCode()) << m_Server.Stderr();
        const std::string log = ReadLogFolder(m_Folder);
        EXPECT_THAT(log, HasSubstr("Interfaces Stopped."));
        EXPECT_THAT(log, HasSubstr("Threads left after the shut-down: 0."));
        // The close dropped DTR: the call is over.
        EXPECT_FALSE(m_Modem->Line(kLineDtr));
    }

    std::filesystem::path m_Folder;
    CCardHost m_DialHost;
    std::unique_ptr<CHostSimulator> m_Simulator;
    std::unique_ptr<CModemSimulator> m_Modem;
    CChildProcess m_Server;
};

TEST_F(DialEndToEndTest, ASaleGoesByDialOnlyWithTransportMethodTwo) {
    m_DialHost.AddCard(kCard, 5000);
    StartModem(m_DialHost);
    WriteParameters("2");
    const int port = StartServer();
    ASSERT_GT(port, 0) << ReadLogFolder(m_Folder) << m_Server.Stderr();
    // The start-up checked the modem.
    EXPECT_EQ(m_Modem->Commands(), (std::vector<std::string>{kModemIdentityCommand, kModemModelCheckCommand}));

    SPosReply reply;
    Sale(port, &reply);
    ASSERT_TRUE(reply.decrypted);
    EXPECT_EQ("Approved", reply.cmdStatus) << reply.document;
    EXPECT_EQ("37.50", XmlElement(reply.document, "Balance"));
    EXPECT_EQ(3750, m_DialHost.Balance(kCard));
    ASSERT_EQ(1u, m_DialHost.Exchanges().size());
    EXPECT_TRUE(m_DialHost.Exchanges()[0].wellFormed) << m_DialHost.Exchanges()[0].problem;
    EXPECT_EQ("0200", m_DialHost.Exchanges()[0].type);
    EXPECT_EQ(m_Modem->Dialled(), (std::vector<std::string>{kPhone}));
    EXPECT_EQ(1u, m_Modem->Frames().size());
    StopServer();
}

TEST_F(DialEndToEndTest, ASaleGoesByDialWhenEveryProviderRefusesWithTransportMethodOne) {
    ASSERT_TRUE(EndToEndPki().WriteRootFile(m_Folder / "ca.pem"));
    m_Simulator = testing_child::MakeProgramHostSimulator();
    ASSERT_TRUE(m_Simulator->Start());
    // One card host behind both paths, so the balance is the same whichever path a transaction takes.
    m_Simulator->Host().AddCard(kCard, 5000);
    StartModem(m_Simulator->Host());
    WriteParameters("1");
    const int port = StartServer();
    ASSERT_GT(port, 0) << ReadLogFolder(m_Folder) << m_Server.Stderr();
    // Service discovery found the providers; now they refuse every connection.
    for (int i = 0; i < m_Simulator->ProviderCount(); ++i) {
        m_Simulator->StopProvider(i);
    }

    SPosReply reply;
    Sale(port, &reply);
    ASSERT_TRUE(reply.decrypted);
    EXPECT_EQ("Approved", reply.cmdStatus) << reply.document;
    EXPECT_EQ("37.50", XmlElement(reply.document, "Balance"));
    EXPECT_EQ(3750, m_Simulator->Host().Balance(kCard));
    ASSERT_EQ(1u, m_Simulator->Exchanges().size());
    EXPECT_EQ(-1, m_Simulator->Exchanges()[0].provider); // it came over the modem
    for (int i = 0; i < m_Simulator->ProviderCount(); ++i) {
        EXPECT_EQ(0, m_Simulator->TransactionsAt(i));
    }
    EXPECT_EQ(m_Modem->Dialled(), (std::vector<std::string>{kPhone}));
    EXPECT_THAT(ReadLogFolder(m_Folder), HasSubstr("Service Provider list exhausted"));
    StopServer();
}

} // namespace
