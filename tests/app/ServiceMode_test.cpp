// The program in service mode, end to end: kestrove runs as a child process in its own folder against the host
// simulator (real TLS on loopback, the test CA through SSL_CERT_FILE), a POS client makes a Sale, and SIGTERM
// runs the whole shut-down: exit status 0, the shut-down lines in the log and no thread left behind. A service
// whose interfaces cannot all start ends by itself, non-zero, with the reason on standard error and in the log.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <ostream>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ChildProcess.h"
#include "ServiceUnitFile.h"
#include "TestHostSide.h"
#include "app/StartFailure.h"
#include "app/VYRRuvuzUvirIP_Voda50App.h"
#include "common/LogFolder.h"
#include "common/TempDirTest.h"
#include "common/Wait.h"
#include "foundation/Logger.h"
#include "foundation/ParamStore.h"
#include "host/HostWorkerPool.h"
#include "peers/EndToEndFixture.h"
#include "peers/ManagementService.h"
#include "peers/ModemSimulator.h"
#include "peers/PosClient.h"
#include "platform/Socket.h"
#include "server/PosSession.h"
#include "transaction/Transaction.h"

using ::testing::HasSubstr;
using ::testing::Not;
using testing_child::CChildProcess;
using testing_child::CSimulatedServiceManager;
using testing_child::CTestHostSide;
using testing_child::kChildPollMs;
using testing_child::KestroveProgram;
using testing_child::ParseUnit;
using testing_child::SourceUnitFile;

namespace {

constexpr int kTimeoutMs = 60000;
const std::string kCard = "6006491111111111";

class ServiceModeTest : public TempDirTest {
protected:
    void SetUp() override {
        m_Folder = m_TempDir.Path() / "server";
        std::filesystem::create_directories(m_Folder);
        ASSERT_TRUE(m_HostSide.Started());
        m_HostSide.Simulator().Host().AddCard(kCard, 5000);
        ASSERT_TRUE(m_HostSide.PrepareFolder(m_Folder));
    }

    std::map<std::string, std::string> Environment(const std::string& posPort = "0",
                                                   const std::string& managementHosts = "") const {
        std::map<std::string, std::string> env = CTestHostSide::ProgramEnvironment(m_Folder, m_TempDir.Path());
        env["KESTROVE_POS_PORT"] = posPort;
        // No modem: COM port 1 is a device that does not exist, never a serial port of the machine.
        env["KESTROVE_COM1"] = (m_Folder / "no-modem").string();
        if (!managementHosts.empty()) {
            env["KESTROVE_NQMS_HOSTS"] = managementHosts;
        }
        return env;
    }

    bool StartServer(const std::vector<std::string>& args = {"/started_as_service"}, const std::string& posPort = "0",
                     const std::string& managementHosts = "",
                     const std::map<std::string, std::string>& extraEnvironment = {}) {
        std::map<std::string, std::string> env = Environment(posPort, managementHosts);
        for (const auto& [key, value] : extraEnvironment) {
            env[key] = value;
        }
        return m_Server.Start(KestroveProgram(), args, m_Folder, env, "kestrove");
    }

    // Starts the service after the shell command |limit| ("ulimit ..."), whose limits the program inherits.
    bool StartServerUnder(const std::string& limit) {
        return m_Server.Start("/bin/sh",
                              {"-c", limit + " && exec \"$0\" /started_as_service", KestroveProgram().string()},
                              m_Folder, Environment(), "kestrove");
    }

    // The port the server logged once its start-up had finished; -1 when it did not finish.
    int WaitForPort() { return testing_child::WaitForServedPort(m_Server, m_Folder, kTimeoutMs); }

    // One lane logs in on |port|, sends |request| and reads its "Queued" reply, then the final one into |*reply|.
    static testing::AssertionResult ServeOneRequest(int port, const SPosRequest& request, SPosReply* reply) {
        CPosClient lane;
        if (!lane.ConnectAndLogIn("127.0.0.1", port, reply)) {
            return testing::AssertionFailure() << lane.LastError() << " " << reply->textResponse;
        }
        if (!lane.SendRequest(request) || !lane.ReadReply(reply, kTimeoutMs) || !lane.ReadReply(reply, kTimeoutMs)) {
            return testing::AssertionFailure() << lane.LastError();
        }
        return testing::AssertionSuccess();
    }

    std::filesystem::path m_Folder;
    CTestHostSide m_HostSide;
    CChildProcess m_Server;
};

TEST_F(ServiceModeTest, SaleIsServedAndSigtermShutsDownCleanly) {
    ASSERT_TRUE(StartServer());
    const int port = WaitForPort();
    ASSERT_GT(port, 0) << ReadLogFolder(m_Folder) << m_Server.Stderr();

    {
        CPosClient lane;
        SPosReply reply;
        ASSERT_TRUE(lane.ConnectAndLogIn("127.0.0.1", port, &reply)) << lane.LastError() << " " << reply.textResponse;
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
    EXPECT_EQ(3750, m_HostSide.Simulator().Host().Balance(kCard));
    ASSERT_EQ(1u, m_HostSide.Simulator().Exchanges().size());
    EXPECT_EQ("0200", m_HostSide.Simulator().Exchanges()[0].type);

    ASSERT_TRUE(m_Server.Signal(SIGTERM));
    ASSERT_TRUE(m_Server.Wait(kTimeoutMs));
    EXPECT_EQ(0, m_Server.ExitCode()) << m_Server.Stderr();
    const std::string log = ReadLogFolder(m_Folder);
    EXPECT_THAT(log, HasSubstr("Interfaces Stopped."));
    EXPECT_THAT(log, HasSubstr("Server Shutdown . . ."));
    // Every worker was joined before the exit: only the main thread and the log writer were left.
    EXPECT_THAT(log, HasSubstr("Threads left after the shut-down: 0."));
    EXPECT_LT(log.find("Interfaces Stopped."), log.find("Server Shutdown . . ."));
    // A service shows nothing: standard error stays empty, and it never looks for a display.
    EXPECT_EQ("", m_Server.Stderr());
    EXPECT_THAT(log, Not(HasSubstr("runs in the terminal")));
}

TEST_F(ServiceModeTest, FirstStartTakesTheMerchantFromTheManagementService) {
    std::filesystem::remove(m_Folder / kParamStoreFileName);
    CManagementService service(EndToEndPki().Leaf(TestLeaf::LoopbackIp));
    ASSERT_TRUE(service.Start());
    service.SetParams(m_HostSide.MerchantSettings());
    ASSERT_TRUE(StartServer({"/started_as_service"}, "0", "127.0.0.1:1," + service.HostAndPort()));
    const int port = WaitForPort();
    ASSERT_GT(port, 0) << ReadLogFolder(m_Folder) << m_Server.Stderr();

    EXPECT_EQ(ReadFileBytes(m_Folder / kParamStoreFileName), m_HostSide.MerchantSettings().ToString());
    ASSERT_TRUE(service.WaitForSessions(1));
    const CNqmsSession session = service.Sessions().at(0);
    EXPECT_EQ(session.Field("RUN_AS_SERVICE"), "Y");
    EXPECT_FALSE(session.Field("DEVID").empty());
    EXPECT_EQ(session.laterMessages, std::vector<std::string>{"OK"});
    {
        SPosReply reply;
        ASSERT_TRUE(ServeOneRequest(port, CEndToEndWorld::Request("Balance", kCard, ""), &reply));
        EXPECT_EQ("Approved", reply.cmdStatus);
    }
    ASSERT_TRUE(m_Server.Signal(SIGTERM));
    ASSERT_TRUE(m_Server.Wait(kTimeoutMs));
    EXPECT_EQ(0, m_Server.ExitCode()) << m_Server.Stderr();
    EXPECT_EQ("", m_Server.Stderr());
}

TEST_F(ServiceModeTest, TheDownloadNamesTheDeviceByTheLaunchersIdElseByTheOneKeptHere) {
    CManagementService service(EndToEndPki().Leaf(TestLeaf::LoopbackIp));
    ASSERT_TRUE(service.Start());
    service.SetParams(m_HostSide.MerchantSettings());
    const std::filesystem::path kept = m_Folder / kDeviceIdFileName;
    // Runs one start-up with the stored parameters (a failed download leaves them) and returns its session. Each
    // run has a log of its own, so that the port is the one this run serves.
    const auto startOnce = [&](const std::vector<std::string>& args, size_t sessions) {
        std::filesystem::remove_all(m_Folder / CLogger::kFolderName);
        EXPECT_TRUE(StartServer(args, "0", service.HostAndPort()));
        EXPECT_GT(WaitForPort(), 0) << ReadLogFolder(m_Folder) << m_Server.Stderr();
        EXPECT_TRUE(m_Server.Signal(SIGTERM));
        EXPECT_TRUE(m_Server.Wait(kTimeoutMs));
        EXPECT_EQ(0, m_Server.ExitCode()) << m_Server.Stderr();
        EXPECT_TRUE(service.WaitForSessions(sessions));
        const std::vector<CNqmsSession> all = service.Sessions();
        return all.size() >= sessions ? all[sessions - 1] : CNqmsSession();
    };

    // Started by the launcher: its id, and nothing kept here.
    EXPECT_EQ(startOnce({"/started_as_service", "/device_id=[DEV-4711]"}, 1).Field("DEVID"), "DEV-4711");
    EXPECT_FALSE(std::filesystem::exists(kept));

    // Otherwise the id this installation keeps, made at its first download.
    const std::string id = startOnce({"/started_as_service"}, 2).Field("DEVID");
    EXPECT_EQ(id.size(), 32u);
    EXPECT_EQ(ReadFileBytes(kept), id + "\n");

    // An id that is there but cannot be read is not replaced by a new one: the request cannot name the device,
    // and the log says why.
    std::filesystem::remove(kept);
    std::filesystem::create_directories(kept / "inside");
    EXPECT_EQ(startOnce({"/started_as_service"}, 3).request,
              CManagementService::Frame("Unable to Determine who I am."));
    const std::string log = ReadLogFolder(m_Folder);
    EXPECT_THAT(log, HasSubstr("The device id cannot be read: cannot read DeviceId.dat: Is a directory"));
    EXPECT_THAT(log, HasSubstr("Parameter Load Failed - Unable to Determine who I am."));
    EXPECT_TRUE(std::filesystem::is_directory(kept / "inside"));
}

TEST_F(ServiceModeTest, SigtermStopsAServerStartedByHandWhileALaneStaysConnected) {
    // Started without the service switch and with no terminal to answer the question about connected clients.
    ASSERT_TRUE(StartServer({}));
    const int port = WaitForPort();
    ASSERT_GT(port, 0) << ReadLogFolder(m_Folder) << m_Server.Stderr();

    CPosClient lane;
    SPosReply reply;
    ASSERT_TRUE(lane.ConnectAndLogIn("127.0.0.1", port, &reply)) << lane.LastError() << " " << reply.textResponse;

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
    ASSERT_TRUE(StartServer({}, "0", "", {{"DISPLAY", ":4711"}, {"QT_QPA_PLATFORM", ""}}));
    const int port = WaitForPort();
    ASSERT_GT(port, 0) << ReadLogFolder(m_Folder) << m_Server.Stderr();
    EXPECT_THAT(ReadLogFolder(m_Folder), HasSubstr("The display :4711 could not be opened: kestrove runs in the "
                                                   "terminal."));
    ASSERT_TRUE(m_Server.Signal(SIGTERM));
    ASSERT_TRUE(m_Server.Wait(kTimeoutMs));
    EXPECT_EQ(0, m_Server.ExitCode()) << m_Server.Stderr();
}

TEST_F(ServiceModeTest, StartFailedByHandLeavesTheProcessForTheOperatorToStop) {
    // Without the service switch the operator is asked (no terminal here: "No" is taken) and then decides.
    m_HostSide.Simulator().StopDiscoveryHost(0);
    m_HostSide.Simulator().StopDiscoveryHost(1);
    ASSERT_TRUE(StartServer({}));
    ASSERT_TRUE(WaitUntil(
        [&] { return ReadLogFolder(m_Folder).find("Interfaces Stopped.") != std::string::npos || m_Server.Wait(0); },
        kTimeoutMs, kChildPollMs));
    EXPECT_EQ(-1, m_Server.ExitCode()) << m_Server.Stderr();
    EXPECT_THAT(m_Server.Stderr(), HasSubstr("Service Discovery failed."));
    EXPECT_THAT(ReadLogFolder(m_Folder), Not(HasSubstr("Interfaces initialized successfully.")));
    ASSERT_TRUE(m_Server.Signal(SIGTERM));
    ASSERT_TRUE(m_Server.Wait(kTimeoutMs));
    EXPECT_EQ(0, m_Server.ExitCode());
    EXPECT_THAT(ReadLogFolder(m_Folder), HasSubstr("Threads left after the shut-down: 0."));
}

TEST_F(ServiceModeTest, AServiceStartedDuringAnOutageServesLanesOnceDiscoveryAnswers) {
    // The unit's own restart rules, played as systemd plays them, the pauses skipped.
    CSimulatedServiceManager manager(ParseUnit(ReadFileBytes(SourceUnitFile())));
    // The outage: both discovery hosts take a connection and close it without an answer.
    CDatawireAnswer noAnswer;
    noAnswer.raw = "";
    noAnswer.ending = DatawireEnding::CloseTcp;
    for (int i = 0; i < 2; ++i) {
        m_HostSide.Simulator().Discovery(i).SetAnswer(DatawireRequestKind::ServiceDiscovery, noAnswer);
    }
    // Three minutes at the unit's pause: more starts than a start limit of five within five minutes allows.
    constexpr int kFailedStarts = 6;
    int port = -1;
    for (int start = 0; port <= 0; ++start) {
        ASSERT_LE(start, kFailedStarts) << ReadLogFolder(m_Folder) << m_Server.Stderr();
        if (start == kFailedStarts) {
            // The router is up again: discovery answers from the next start on.
            for (int i = 0; i < 2; ++i) {
                m_HostSide.Simulator().Discovery(i).SetAnswer(DatawireRequestKind::ServiceDiscovery, CDatawireAnswer());
            }
        }
        ASSERT_TRUE(manager.Start()) << "the unit is left failed after " << start << " failed starts";
        ASSERT_TRUE(StartServer());
        port = WaitForPort();
        if (port > 0) {
            EXPECT_EQ(start, kFailedStarts);
            break;
        }
        ASSERT_TRUE(m_Server.Wait(kTimeoutMs));
        EXPECT_THAT(m_Server.Stderr(), HasSubstr("kestrove: service start-up failed: Service Discovery failed."));
        ASSERT_TRUE(manager.RestartsAfter(m_Server.ExitCode()))
            << "exit status " << m_Server.ExitCode() << " is not started again";
    }

    SPosReply reply;
    ASSERT_TRUE(ServeOneRequest(port, CEndToEndWorld::Request("Sale", kCard, "12.50"), &reply));
    EXPECT_EQ("Approved", reply.cmdStatus);
    ASSERT_TRUE(m_Server.Signal(SIGTERM));
    ASSERT_TRUE(m_Server.Wait(kTimeoutMs));
    EXPECT_EQ(0, m_Server.ExitCode()) << m_Server.Stderr();
}

// What a case breaks before the server starts, and what it starts the server with; the peers it starts live
// as long as the test.
struct CFailedStartWorld {
    CFailedStartWorld(CTestHostSide& host, std::filesystem::path serverFolder)
        : hostSide(host), folder(std::move(serverFolder)) {}

    CTestHostSide& hostSide;
    std::filesystem::path folder;
    std::string posPort = "0";                      // "taken": one the test holds
    std::string managementHosts;                    // "": none answers
    std::map<std::string, std::string> environment; // on top of the usual
    std::unique_ptr<CManagementService> service;
    std::unique_ptr<CModemSimulator> modem;
};

struct FailedServiceCase {
    std::string name;
    std::function<void(CFailedStartWorld&)> arrange;
    std::string reason; // told on standard error and logged
    int status;         // the exit status: whether the service unit starts it again
};

void PrintTo(const FailedServiceCase& c, std::ostream* os) {
    *os << c.name;
}

class FailedServiceStartTest : public ServiceModeTest, public ::testing::WithParamInterface<FailedServiceCase> {
protected:
    CSocketFd m_Blocker; // a POS port already taken
};

TEST_P(FailedServiceStartTest, EndsByItselfWithTheReasonOnStandardErrorAndInTheLogAndAStatusForTheUnit) {
    const FailedServiceCase& c = GetParam();
    CFailedStartWorld world{m_HostSide, m_Folder};
    ASSERT_NO_FATAL_FAILURE(c.arrange(world));
    if (world.posPort == "taken") {
        int port = -1;
        int step = 0;
        m_Blocker = ListenTcp(0, 1, 0, &port, &step);
        ASSERT_TRUE(m_Blocker.Valid());
        world.posPort = std::to_string(port);
    }
    ASSERT_TRUE(StartServer({"/started_as_service"}, world.posPort, world.managementHosts, world.environment));
    // No signal: a service that cannot serve must not idle on.
    ASSERT_TRUE(m_Server.Wait(kTimeoutMs)) << ReadLogFolder(m_Folder);
    EXPECT_EQ(c.status, m_Server.ExitCode());
    const std::string reason = std::regex_replace(c.reason, std::regex("<port>"), world.posPort);
    const std::string status = std::to_string(c.status) + ": ";
    EXPECT_THAT(m_Server.Stderr(), HasSubstr("kestrove: service start-up failed: " + reason));
    EXPECT_THAT(m_Server.Stderr(), HasSubstr("kestrove: exit status " + status));
    const std::string log = ReadLogFolder(m_Folder);
    EXPECT_THAT(log, HasSubstr("Service start-up failed: " + reason));
    EXPECT_THAT(log, HasSubstr("Exit status " + status));
    EXPECT_THAT(log, Not(HasSubstr("Interfaces initialized successfully.")));
    EXPECT_THAT(log, HasSubstr("Threads left after the shut-down: 0."));
    EXPECT_THAT(log, HasSubstr("Server Shutdown . . ."));
}

INSTANTIATE_TEST_SUITE_P(
    Causes, FailedServiceStartTest,
    ::testing::Values(
        // The management service may answer at the next start.
        FailedServiceCase{"ConfigurationNotSetAndTheManagementServiceUnreachable",
                          [](CFailedStartWorld& world) { std::filesystem::remove(world.folder / kParamStoreFileName); },
                          "Configuration not Set! - Use Setup | Merchant Parameters", kExitTryAgain},
        // It answered, and will answer the same until someone at the maker's or the store acts.
        FailedServiceCase{"ConfigurationNotSetAndTheManagementServiceRefuses",
                          [](CFailedStartWorld& world) {
                              std::filesystem::remove(world.folder / kParamStoreFileName);
                              world.service =
                                  std::make_unique<CManagementService>(EndToEndPki().Leaf(TestLeaf::LoopbackIp));
                              ASSERT_TRUE(world.service->Start());
                              world.service->SetFault(NqmsFault::ServiceError);
                              world.service->SetServiceError("Device Not Registered");
                              world.managementHosts = world.service->HostAndPort();
                          },
                          "Configuration not Set! - Use Setup | Merchant Parameters", kExitNotConfigured},
        FailedServiceCase{"NoDiscoveryHostAnswers",
                          [](CFailedStartWorld& world) {
                              world.hostSide.Simulator().StopDiscoveryHost(0);
                              world.hostSide.Simulator().StopDiscoveryHost(1);
                          },
                          "Service Discovery failed.", kExitTryAgain},
        // The process that held it may be ending.
        FailedServiceCase{"PosPortTaken", [](CFailedStartWorld& world) { world.posPort = "taken"; },
                          "Failed to start TCP/IP Server(<port>)! bind: Address already in use", kExitTryAgain},
        // A USB modem may not be there yet.
        FailedServiceCase{
            "DialBackupCannotOpenItsPort",
            [](CFailedStartWorld& world) { ASSERT_TRUE(world.hostSide.PrepareFolder(world.folder, "1")); },
            "Could not Open Com Port 1.", kExitTryAgain},
        FailedServiceCase{"ModemIsNotTheMakers",
                          [](CFailedStartWorld& world) {
                              ASSERT_TRUE(world.hostSide.PrepareFolder(world.folder, "2"));
                              CModemScript otherModel;
                              otherModel.genuine = false;
                              world.modem =
                                  std::make_unique<CModemSimulator>(world.hostSide.Simulator().Host(), otherModel);
                              ASSERT_TRUE(world.modem->Start((world.folder / "com.lines").string()))
                                  << world.modem->LastError();
                              world.environment["KESTROVE_COM1"] = world.modem->DevicePath();
                              world.environment["KESTROVE_COM1_LINES"] = world.modem->LinesPath();
                          },
                          "Failed to Initialize Device on Com Port 1.", kExitModemRefused}),
    [](const auto& info) { return info.param.name; });

} // namespace

TEST_F(ServiceModeTest, OneLaneFloodingIsAnsweredInFullWhileANewLaneIsServed) {
    // A descriptor limit that one thread and one connection per request would run through many times over.
    ASSERT_TRUE(StartServerUnder("ulimit -n 512"));
    const int port = WaitForPort();
    ASSERT_GT(port, 0) << ReadLogFolder(m_Folder) << m_Server.Stderr();
    const std::string floodCard = "6006492222222222";
    m_HostSide.Simulator().Host().AddCard(floodCard, 1000000);

    std::atomic<bool> sampling{true};
    std::atomic<long> peakThreads{0};
    std::thread sampler([&] {
        while (sampling.load()) {
            peakThreads = std::max(peakThreads.load(), ProcessStatusField(m_Server.Pid(), "Threads:"));
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });

    CPosClient flooder;
    SPosReply reply;
    ASSERT_TRUE(flooder.ConnectAndLogIn("127.0.0.1", port, &reply)) << flooder.LastError();
    constexpr int kFlood = 2500;
    std::string flood;
    for (int i = 0; i < kFlood; ++i) {
        const std::string frame = flooder.RequestFrame(
            RequestFields(CEndToEndWorld::Request("Sale", floodCard, "0.01", std::to_string(100000 + i))));
        ASSERT_FALSE(frame.empty()) << flooder.LastError();
        flood += frame;
    }
    std::atomic<int> answered{0};
    std::atomic<int> answeredWhenLoggedIn{-1};
    SPosReply newLaneReply;
    bool newLaneOk = false;
    std::thread newLane([&] {
        WaitUntil([&] { return answered.load() >= 200; }, kTimeoutMs, kChildPollMs);
        CPosClient lane;
        SPosReply queued;
        if (lane.ConnectAndLogIn("127.0.0.1", port, &queued)) {
            answeredWhenLoggedIn = answered.load();
            newLaneOk = lane.SendRequest(CEndToEndWorld::Request("Sale", kCard, "1.00", "777")) &&
                        lane.ReadReply(&queued, kTimeoutMs) && queued.returnCode == 0 &&
                        lane.ReadReply(&newLaneReply, kTimeoutMs);
        }
    });
    // Sent in one go while the answers are read, as a lane that lost its mind would.
    SPosFloodReplies replies;
    const bool complete = FloodRequests(flooder, flood, kFlood, &replies, kTimeoutMs, &answered);
    newLane.join();
    sampling = false;
    sampler.join();
    ASSERT_TRUE(complete) << replies.error;

    // Every request was answered: served, or refused at once in so many words.
    EXPECT_EQ(replies.queued + replies.refused[kResultLaneBusy] + replies.refused[kResultServerBusy], kFlood);
    EXPECT_GT(replies.queued, 0);
    EXPECT_EQ(replies.approved, replies.queued);
    EXPECT_TRUE(replies.otherFinals.empty()) << replies.otherFinals.front();
    EXPECT_EQ(replies.refusalTexts,
              (std::set<std::string>{"Too Many Requests Outstanding for this Lane - Retry Trans Later!"}));
    EXPECT_EQ(m_HostSide.Simulator().Host().Balance(floodCard), 1000000 - replies.queued);

    // The new lane logged in while the flood was being answered, and was served.
    EXPECT_GE(answeredWhenLoggedIn.load(), 200);
    EXPECT_LT(answeredWhenLoggedIn.load(), kFlood);
    ASSERT_TRUE(newLaneOk);
    EXPECT_EQ("Approved", newLaneReply.cmdStatus);
    EXPECT_EQ(4900, m_HostSide.Simulator().Host().Balance(kCard));

    // No STAN reached the host twice, and no provider was given up.
    std::set<std::string> stans;
    size_t sent = 0;
    for (int i = 0; i < m_HostSide.Simulator().ProviderCount(); ++i) {
        for (const CDatawireRequest& request : m_HostSide.Simulator().Provider(i).Requests()) {
            if (request.kind == DatawireRequestKind::Transaction) {
                stans.insert(request.clientRef);
                ++sent;
            }
        }
    }
    EXPECT_EQ(sent, static_cast<size_t>(replies.queued + 1));
    EXPECT_EQ(stans.size(), sent);
    // The threads stayed bounded: a host worker for each request the lanes may have outstanding (the flooder's
    // limit, and the new lane's one), never more than the pool holds, and a handful of fixed ones; not one per
    // request.
    const int workerBound = std::min(kDefaultHostWorkers, static_cast<int>(SPosRequestLimits().perLane) + 1);
    EXPECT_LE(peakThreads.load(), workerBound + 16);

    // (Searched rather than matched: a failure must not print a log of thousands of lines.)
    const std::string log = ReadLogFolder(m_Folder);
    for (const char* text : {"(Trying Next Host)", "Service Provider list exhausted", "Synchronized Stan File"}) {
        EXPECT_EQ(log.find(text), std::string::npos) << text;
    }
    EXPECT_NE(log.find("Request Refused - 100 request(s) outstanding from 127.0.0.1:"), std::string::npos);

    ASSERT_TRUE(m_Server.Signal(SIGTERM));
    ASSERT_TRUE(m_Server.Wait(kTimeoutMs));
    EXPECT_EQ(0, m_Server.ExitCode()) << m_Server.Stderr();
    EXPECT_NE(ReadLogFolder(m_Folder).find("Threads left after the shut-down: 0."), std::string::npos);
}

TEST_F(ServiceModeTest, TheDescriptorLimitIsRaisedToTheHardLimitAtStart) {
    ASSERT_TRUE(StartServerUnder("ulimit -S -n 256"));
    const int port = WaitForPort();
    ASSERT_GT(port, 0) << ReadLogFolder(m_Folder) << m_Server.Stderr();
    const std::string limits = ReadFileBytes("/proc/" + std::to_string(m_Server.Pid()) + "/limits");
    std::smatch match;
    ASSERT_TRUE(std::regex_search(limits, match, std::regex("Max open files +([0-9]+) +([0-9]+)"))) << limits;
    EXPECT_EQ(match[1].str(), match[2].str());
    EXPECT_GT(std::stol(match[1].str()), 256);
    EXPECT_THAT(ReadLogFolder(m_Folder), HasSubstr("Open file limit raised from 256 to " + match[1].str() + "."));
    ASSERT_TRUE(m_Server.Signal(SIGTERM));
    ASSERT_TRUE(m_Server.Wait(kTimeoutMs));
    EXPECT_EQ(0, m_Server.ExitCode());
}
