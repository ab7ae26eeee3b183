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
#include "common/TempDir.h"
#include "foundation/ParamStore.h"
#include "peers/EndToEndFixture.h"
#include "peers/HostSimulator.h"
#include "peers/ManagementService.h"
#include "peers/PosClient.h"
#include "peers/TestPki.h"

using ::testing::HasSubstr;
using ::testing::Not;
using testing_child::CChildProcess;
using testing_child::KestroveProgram;
using testing_child::ReadLogFolder;
using testing_child::WaitUntil;

namespace {

constexpr int kTimeoutMs = 60000;
const std::string kCard = "6006491111111111";

class ServiceModeTest : public TempDirTest {
protected:
    void SetUp() override {
        m_Folder = m_TempDir.Path() / "server";
        std::filesystem::create_directories(m_Folder);
        ASSERT_TRUE(EndToEndPki().WriteRootFile(m_Folder / "ca.pem"));

        CHostSimulatorOptions options;
        options.merchantId = kE2eMerchantId;
        options.altMerchantId = kE2eAltMerchantId;
        options.terminalId = kE2eTerminalId;
        options.datawireId = kE2eDatawireId;
        m_Simulator = std::make_unique<CHostSimulator>(EndToEndPki().Leaf(TestLeaf::LoopbackIp), options);
        ASSERT_TRUE(m_Simulator->Start());
        m_Simulator->Host().AddCard(kCard, 5000);
        WriteParameters();
    }

    // The merchant's parameters, with the discovery hosts at the simulator.
    CParamSettings MerchantSettings() const {
        const std::vector<std::pair<unsigned, std::string>> values = {
            {kParamMerchantId, kE2eMerchantId},
            {kParamAlternateMerchantId, kE2eAltMerchantId},
            {kParamTerminalId, kE2eTerminalId},
            {kParamDatawireId, kE2eDatawireId},
            {kParamPrimaryUrl, m_Simulator->DiscoveryHost(0)},
            {kParamSecondaryUrl, m_Simulator->DiscoveryHost(1)},
            {kParamTransportMethod, "0"},
            {kParamNumberOfLanes, "8"},
        };
        CParamSettings settings;
        settings.BuildDefaults();
        CParamMap map = settings.GetParamMap();
        for (const auto& [index, value] : values) {
            EXPECT_TRUE(map.FindEntry(index)->SetValue(value)) << index << " " << value;
        }
        settings.SetParamMap(map);
        return settings;
    }

    // The merchant's parameters in the server's folder.
    void WriteParameters() {
        CParamStore store(m_Folder / kParamStoreFileName);
        ASSERT_TRUE(store.SetParams(MerchantSettings())) << store.GetLastErrorText();
    }

    bool StartServer(const std::vector<std::string>& args = {"/started_as_service"},
                     const std::string& managementHosts = "") {
        std::map<std::string, std::string> env{
            {"KESTROVE_LOCK_DIR", m_TempDir.Path().string()},
            {"KESTROVE_POS_PORT", "0"},
            {"SSL_CERT_FILE", (m_Folder / "ca.pem").string()},
            {"SSL_CERT_DIR", m_Folder.string()},
        };
        if (!managementHosts.empty()) {
            env["KESTROVE_NQMS_HOSTS"] = managementHosts;
        }
        return m_Server.Start(KestroveProgram(), args, m_Folder, env, "kestrove");
    }

    // The port the server logged once its start-up had finished; -1 when it did not finish.
    int WaitForPort() {
        const std::regex portLine("POS clients are served on port ([0-9]+)\\.");
        int port = -1;
        WaitUntil(
            [&] {
                const std::string log = ReadLogFolder(m_Folder);
                std::smatch match;
                if (log.find("Interfaces initialized successfully.") != std::string::npos &&
                    std::regex_search(log, match, portLine)) {
                    port = std::stoi(match[1]);
                    return true;
                }
                return m_Server.Wait(0);
            },
            kTimeoutMs);
        return port;
    }

    std::filesystem::path m_Folder;
    std::unique_ptr<CHostSimulator> m_Simulator;
    CChildProcess m_Server;
};

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
}

TEST_F(ServiceModeTest, FirstStartTakesTheMerchantFromTheManagementService) {
    std::filesystem::remove(m_Folder / kParamStoreFileName);
    CManagementService service(EndToEndPki().Leaf(TestLeaf::LoopbackIp));
    ASSERT_TRUE(service.Start());
    service.SetParams(MerchantSettings());
    ASSERT_TRUE(StartServer({"/started_as_service"}, "127.0.0.1:1," + service.HostAndPort()));
    const int port = WaitForPort();
    ASSERT_GT(port, 0) << ReadLogFolder(m_Folder) << m_Server.Stderr();

    EXPECT_EQ(testing_child::ReadText(m_Folder / kParamStoreFileName), MerchantSettings().ToString());
    ASSERT_TRUE(service.WaitForSessions(1));
    const CNqmsSession session = service.Sessions().at(0);
    EXPECT_EQ(session.Field("RUN_AS_SERVICE"), "Y");
    EXPECT_FALSE(session.Field("DEVID").empty());
    EXPECT_EQ(session.laterMessages, std::vector<std::string>{"OK"});
    {
        CPosClient lane;
        SPosReply reply;
        ASSERT_TRUE(lane.Connect("127.0.0.1", port)) << lane.LastError();
        ASSERT_TRUE(lane.ReadGreeting(&reply)) << lane.LastError();
        ASSERT_TRUE(lane.Login(&reply)) << lane.LastError() << " " << reply.textResponse;
        ASSERT_TRUE(lane.SendRequest(CEndToEndWorld::Request("Balance", kCard, ""))) << lane.LastError();
        ASSERT_TRUE(lane.ReadReply(&reply, kTimeoutMs)) << lane.LastError();
        ASSERT_TRUE(lane.ReadReply(&reply, kTimeoutMs)) << lane.LastError();
        EXPECT_EQ("Approved", reply.cmdStatus);
        lane.Close();
    }
    ASSERT_TRUE(m_Server.Signal(SIGTERM));
    ASSERT_TRUE(m_Server.Wait(kTimeoutMs));
    EXPECT_EQ(0, m_Server.ExitCode()) << m_Server.Stderr();
    EXPECT_EQ("", m_Server.Stderr());
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
