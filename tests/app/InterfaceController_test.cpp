// The interface start-up and shut-down against stand-in pieces, a scripted presenter and a recording view:
// the order of the steps, what is reported and logged, which stop sequence runs, and the client wait; and the
// parameter download from a management-service fake over real TLS, at the first start-up and from the Setup
// dialog's "Load New Parameters" with the restart after it.

#include "app/InterfaceController.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "InterfaceFakes.h"
#include "ScriptedPresenter.h"
#include "app/InterfaceAdapters.h"
#include "app/LanesFile.h"
#include "app/LauncherViewCopy.h"
#include "app/ParameterDownload.h"
#include "common/LogFolder.h"
#include "common/ParamSets.h"
#include "common/ScopedEnvironment.h"
#include "common/TempDirTest.h"
#include "common/TestClock.h"
#include "common/Wait.h"
#include "foundation/AppMode.h"
#include "foundation/Logger.h"
#include "foundation/ParamStore.h"
#include "foundation/Presenter.h"
#include "foundation/Request.h"
#include "host/HostTestSupport.h"
#include "peers/LauncherClient.h"
#include "peers/ManagementService.h"
#include "platform/ProcessEvents.h"
#include "platform/ProcessSignals.h"
#include "platform/WorkerThread.h"
#include "transaction/TransactionQueue.h"

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

class CRecordingView final : public IInterfaceView {
public:
    explicit CRecordingView(CJournal& journal) : m_Journal(journal) {}
    void PostOfflineTitle() override { m_Journal.Add("View.OfflineTitle"); }
    void BeginProgress() override { m_Journal.Add("View.BeginProgress"); }
    void SetProgress(const std::string& text) override { m_Journal.Add("Progress: " + text); }
    void EndProgress() override { m_Journal.Add("View.EndProgress"); }
    void StartTitleTimer() override { m_Journal.Add("View.StartTitleTimer"); }
    void KillTitleTimer() override { m_Journal.Add("View.KillTitleTimer"); }

private:
    CJournal& m_Journal;
};

const std::vector<std::string> kStopSequence = {
    "View.KillTitleTimer",
    "View.BeginProgress",
    "Progress: Stopping New Client Connections ...",
    "Progress: Shutting down the Server Transaction Reversal Thread ...",
    "ReverseWorker.Stop",
    "Progress: Shutting down RUVUZUVIR Interface ...",
    "RuvuzUvir.Stop",
    "Progress: Shutting down Service Discovery ...",
    "ServiceDiscovery.Stop",
    "Progress: Shutting down Dial Backup...",
    "DialBackup.Stop",
    "Progress: Shutting down Clients...",
};

class InterfaceControllerTest : public TempDirTest {
protected:
    void SetUp() override {
        // Every wait of the start-up and shut-down (the 50 ms pause, the client wait) jumps at once.
        m_Clock.SetHeldSleep(CTestClock::HeldSleep::Advances);
        PrepareStartUpState();
        Configure(ConfiguredSettings());
    }
    void TearDown() override {
        AppModeFlags().SetStartedAsService(false);
        AppModeFlags().SetStartedByLauncher(false);
        g_TransactionQueue.RemoveAll();
        // The log's writer thread reads the clock seam for each batch it writes: every line must be written
        // before the test clock goes, or the writer may call a clock that no longer exists.
        m_Controller.reset();
        CLogger::Instance().Flush();
    }

    static void Configure(const CParamSettings& settings) { ASSERT_TRUE(CParamStore::Instance().SetParams(settings)); }

    CInterfaceController& Controller() {
        if (!m_Controller) {
            m_Controller = std::make_unique<CInterfaceController>(
                CInterfaceParts{m_Reverse, m_Host, m_Dial, m_Discovery, m_Pipe, m_Factory, m_Download}, m_View,
                AppModeFlags());
        }
        return *m_Controller;
    }

    // The journal from the first entry equal to |from| on.
    std::vector<std::string> JournalFrom(const std::string& from) const {
        const std::vector<std::string> all = m_Journal.Entries();
        const int at = m_Journal.IndexOf(from);
        return at < 0 ? std::vector<std::string>{} : std::vector<std::string>(all.begin() + at, all.end());
    }

    CTestClock m_Clock;
    CScopedClock m_ClockScope{m_Clock};
    CJournal m_Journal;
    CFakeReverseWorker m_Reverse{m_Journal};
    CFakeHostInterface m_Host{m_Journal};
    CFakeDialBackup m_Dial{m_Journal};
    CFakeServiceDiscovery m_Discovery{m_Journal};
    CFakePipe m_Pipe{m_Journal};
    CFakeServerFactory m_Factory{m_Journal};
    CFakeDownload m_Download{m_Journal};
    CRecordingView m_View{m_Journal};
    CScriptedPresenter m_Presenter{m_Journal};
    CScopedPresenter m_PresenterScope{m_Presenter};
    std::unique_ptr<CInterfaceController> m_Controller;
};

struct TransportCase {
    std::string transport;
    std::vector<std::string> expected;
};

class TransportMethodTest : public InterfaceControllerTest, public ::testing::WithParamInterface<TransportCase> {};

TEST_P(TransportMethodTest, StartsThePiecesOfTheTransportInOrder) {
    Configure(ConfiguredSettings(GetParam().transport));
    const uint64_t before = m_Clock.TickMs();
    EXPECT_EQ(0, Controller().StartInterfaces());
    EXPECT_THAT(m_Journal.Entries(), ElementsAreArray(GetParam().expected));
    // The one pause of the start-up, after the progress box comes up.
    EXPECT_EQ(50u, m_Clock.TickMs() - before);
    EXPECT_TRUE(LoggedInOrder(
        LogText(), {"TCP/IP Server (9100) initialized successfully.", "Interfaces initialized successfully."}));
    EXPECT_TRUE(Controller().ServerRunning());
}

std::vector<std::string> Sequence(const std::string& hostText, bool dial, bool discovery) {
    std::vector<std::string> s = {
        "View.OfflineTitle",   "View.BeginProgress",    "Progress: Starting the Server Transaction Reversal Thread ...",
        "ReverseWorker.Start", "Progress: " + hostText, "RuvuzUvir.Start"};
    if (dial) {
        s.insert(s.end(), {"Progress: Starting Dial Backup Support...", "DialBackup.Start(4)"});
    }
    if (discovery) {
        s.insert(s.end(), {"Progress: Performing Service Discovery ...", "ServiceDiscovery.Start"});
    }
    s.insert(s.end(), {"Progress: Initializing Client TCP/IP Interface....", "Server.Create",
                       "Server.SetMaxConnections(200)", "Server.Start", "View.StartTitleTimer", "View.EndProgress"});
    return s;
}

INSTANTIATE_TEST_SUITE_P(
    Methods, TransportMethodTest,
    ::testing::Values(TransportCase{"0", Sequence("Attempting to Connect to RuvuzUvir ...", false, true)},
                      TransportCase{"1", Sequence("Attempting to Connect to RuvuzUvir ...", true, true)},
                      TransportCase{"2", Sequence("Attempting to Start Main Worker...", true, false)},
                      TransportCase{"7", Sequence("Attempting to Connect to RuvuzUvir ...", false, true)}),
    [](const auto& info) { return "Method" + info.param.transport; });

struct LanesCase {
    std::string name;
    std::string lanes;
    int maxConnections;
};

class LanesTest : public InterfaceControllerTest, public ::testing::WithParamInterface<LanesCase> {};

TEST_P(LanesTest, OneLaneLimitsTheServerToOneClient) {
    Configure(ConfiguredSettings("0", GetParam().lanes));
    Controller().StartInterfaces();
    EXPECT_TRUE(m_Journal.Contains("Server.SetMaxConnections(" + std::to_string(GetParam().maxConnections) + ")"));
}

INSTANTIATE_TEST_SUITE_P(Lanes, LanesTest,
                         ::testing::Values(LanesCase{"One", "1", 1}, LanesCase{"ZeroOne", "01", 1},
                                           LanesCase{"Two", "2", 200}, LanesCase{"Empty", "", 200}),
                         [](const auto& info) { return info.param.name; });

TEST_F(InterfaceControllerTest, StartEmptiesTheTransactionQueue) {
    CTransaction stale;
    g_TransactionQueue.Add(stale);
    ASSERT_EQ(1, g_TransactionQueue.GetCount());
    Controller().StartInterfaces();
    EXPECT_EQ(0, g_TransactionQueue.GetCount());
}

TEST_F(InterfaceControllerTest, UnsetConfigurationEndsTheStartWithoutStopSequence) {
    CParamSettings defaults;
    defaults.BuildDefaults();
    Configure(defaults);
    Controller().StartInterfaces();
    EXPECT_THAT(m_Journal.Entries(),
                ElementsAre("View.OfflineTitle", "View.BeginProgress",
                            "Box[Ok,1]: Configuration not Set! - Use Setup | Merchant Parameters", "View.EndProgress"));
    EXPECT_FALSE(Controller().ServerRunning());
    EXPECT_EQ(kConfigurationNotSetText, Controller().StartFailure());
}

TEST_F(InterfaceControllerTest, ReverseWorkerFailureIsReportedWithoutStopSequence) {
    m_Reverse.script.Set({false});
    Controller().StartInterfaces();
    EXPECT_THAT(JournalFrom("ReverseWorker.Start"),
                ElementsAre("ReverseWorker.Start", "Box[Ok,1]: Failed to Server Transaction Reversal Thread!",
                            "View.EndProgress"));
    EXPECT_THAT(LogText(), HasSubstr("Failed to Server Transaction Reversal Thread!"));
    EXPECT_THAT(LogText(), Not(HasSubstr("Interfaces Stopped.")));
    EXPECT_EQ("Failed to Server Transaction Reversal Thread!", Controller().StartFailure());
}

TEST_F(InterfaceControllerTest, ServerStartFailureNamesThePortAskedForAndTheSystemsReason) {
    m_Factory.requestedPort = 9101;
    m_Factory.startResult = 3;
    Controller().StartInterfaces();
    EXPECT_TRUE(m_Journal.Contains("Box[Ok,1]: Failed to start TCP/IP Server(9101)!"));
    EXPECT_TRUE(LoggedInOrder(LogText(), {"Failed to initialize TCP/IP Server (9101) interface return code: 3.",
                                          "TCP/IP Server (9101): bind: Address already in use"}));
    EXPECT_EQ("Failed to start TCP/IP Server(9101)! bind: Address already in use", Controller().StartFailure());

    // The next start that gets the server listening has nothing left to tell.
    m_Factory.startResult = 0;
    Controller().RestartInterfaces();
    EXPECT_TRUE(Controller().ServerRunning());
    EXPECT_EQ("", Controller().StartFailure());
    EXPECT_THAT(LogText(), HasSubstr("TCP/IP Server (9101) initialized successfully."));
}

TEST_F(InterfaceControllerTest, HostInterfaceFailureIsRetriedWhileTheOperatorSaysYes) {
    m_Host.script.Set({false, false, true});
    m_Presenter.Answer({kIdYes, kIdYes});
    Controller().StartInterfaces();
    const std::string question = "Box[YesNo,6]: Host unreachable\r\n   Retry?";
    EXPECT_THAT(JournalFrom("RuvuzUvir.Start"), testing::IsSupersetOf({question}));
    int starts = 0;
    for (const std::string& e : m_Journal.Entries()) {
        starts += e == "RuvuzUvir.Start";
    }
    EXPECT_EQ(3, starts);
    EXPECT_TRUE(Controller().ServerRunning());
}

enum class EFail { Host, Dial, Discovery, Allocation, ServerStart };

struct FailureCase {
    std::string name;
    std::string transport;
    bool service;
    bool launcher;
    EFail fail;
    bool answerNo;
    std::vector<std::string> expectedFromFailure; // the journal from the failing step on
    std::vector<std::string> logged;              // in this order
    std::vector<std::string> notLogged;
    bool serverRunning;
    std::string startFailure; // what a service would end with
};

class StartFailureTest : public InterfaceControllerTest, public ::testing::WithParamInterface<FailureCase> {
protected:
    void Arrange(const FailureCase& c) {
        switch (c.fail) {
        case EFail::Host:
            m_Host.script.Set({false});
            break;
        case EFail::Dial:
            m_Dial.script.Set({false});
            break;
        case EFail::Discovery:
            m_Discovery.script.Set({false});
            break;
        case EFail::Allocation:
            m_Factory.failAllocation = true;
            break;
        case EFail::ServerStart:
            m_Factory.startResult = 3;
            break;
        }
        if (c.answerNo) {
            m_Presenter.Answer({kIdNo});
        }
    }
};

std::vector<std::string> Then(std::vector<std::string> head, const std::vector<std::string>& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

// The stop sequence run from a failed start, then the end of the stop and the end of the start.
const std::vector<std::string> kStopAndEnd = Then(kStopSequence, {"View.EndProgress", "View.EndProgress"});

TEST_P(StartFailureTest, EndsTheStartAsTheStepRequires) {
    const FailureCase& c = GetParam();
    AppModeFlags().SetStartedAsService(c.service);
    AppModeFlags().SetStartedByLauncher(c.launcher);
    Configure(ConfiguredSettings(c.transport));
    Arrange(c);
    Controller().StartInterfaces();
    EXPECT_THAT(JournalFrom(c.expectedFromFailure.front()), ElementsAreArray(c.expectedFromFailure));
    const std::string log = LogText();
    EXPECT_TRUE(LoggedInOrder(log, c.logged));
    for (const std::string& line : c.notLogged) {
        EXPECT_THAT(log, Not(HasSubstr(line)));
    }
    EXPECT_EQ(c.serverRunning, Controller().ServerRunning());
    EXPECT_EQ(c.startFailure, Controller().StartFailure());
}

INSTANTIATE_TEST_SUITE_P(
    Steps, StartFailureTest,
    ::testing::Values(
        FailureCase{"HostAnsweredNo",
                    "0",
                    false,
                    false,
                    EFail::Host,
                    true,
                    Then({"RuvuzUvir.Start", "Box[YesNo,6]: Host unreachable\r\n   Retry?"}, kStopAndEnd),
                    {"Interfaces Stopped."},
                    {"Interfaces initialized successfully."},
                    false,
                    "Host unreachable"},
        FailureCase{"HostInServiceModeGivesUpAtOnce",
                    "0",
                    true,
                    false,
                    EFail::Host,
                    false,
                    Then({"RuvuzUvir.Start"}, kStopAndEnd),
                    {"Interfaces Stopped."},
                    {},
                    false,
                    "Host unreachable"},
        FailureCase{"DialReportedAndStopped",
                    "1",
                    false,
                    false,
                    EFail::Dial,
                    false,
                    Then({"DialBackup.Start(4)", "Box[Ok,1]: COM 04 could not be opened."}, kStopAndEnd),
                    {"COM 04 could not be opened.", "Interfaces Stopped."},
                    {},
                    false,
                    "COM 04 could not be opened."},
        FailureCase{"DialInLauncherModeOnlyLogged",
                    "1",
                    false,
                    true,
                    EFail::Dial,
                    false,
                    {"DialBackup.Start(4)", "Progress: Performing Service Discovery ...", "ServiceDiscovery.Start",
                     "Progress: Initializing Client TCP/IP Interface....", "Server.Create",
                     "Server.SetMaxConnections(200)", "Server.Start", "View.StartTitleTimer", "View.EndProgress"},
                    {"COM 04 could not be opened.", "Interfaces initialized successfully."},
                    {"Interfaces Stopped."},
                    true,
                    ""},
        FailureCase{
            "DiscoveryAnsweredNo",
            "0",
            false,
            false,
            EFail::Discovery,
            true,
            Then({"ServiceDiscovery.Start", "Box[YesNo,6]: Service Discovery failed.\r\n   Retry?"}, kStopAndEnd),
            {"Interfaces Stopped."},
            {},
            false,
            "Service Discovery failed."},
        FailureCase{"DiscoveryInServiceModeGivesUpAtOnce",
                    "1",
                    true,
                    false,
                    EFail::Discovery,
                    false,
                    Then({"ServiceDiscovery.Start"}, kStopAndEnd),
                    {"Interfaces Stopped."},
                    {},
                    false,
                    "Service Discovery failed."},
        FailureCase{
            "ServerAllocationStopsThenReports",
            "0",
            false,
            false,
            EFail::Allocation,
            false,
            Then(Then({"Server.Create"}, kStopSequence),
                 {"View.EndProgress", "Box[Ok,1]: Failed to Allocate memory for TCP/IP Server!", "View.EndProgress"}),
            {"Interfaces Stopped.", "Failed to Allocate memory for TCP/IP Server!"},
            {},
            false,
            "Failed to Allocate memory for TCP/IP Server!"},
        FailureCase{
            "ServerStartReportsDeletesStopsLogs",
            "0",
            false,
            false,
            EFail::ServerStart,
            false,
            Then({"Server.Start", "Box[Ok,1]: Failed to start TCP/IP Server(9100)!", "Server.Destroy"}, kStopAndEnd),
            {"Interfaces Stopped.", "Failed to initialize TCP/IP Server (9100) interface return code: 3.",
             "TCP/IP Server (9100): bind: Address already in use"},
            {"Failed to start TCP/IP Server(9100)!"},
            false,
            "Failed to start TCP/IP Server(9100)! bind: Address already in use"}),
    [](const auto& info) { return info.param.name; });

TEST_F(InterfaceControllerTest, FirstStartDownloadsOnAWorkerThreadAndLaterStartsDoNot) {
    g_bParametersRetrievedOnce.store(false);
    CParamSettings defaults;
    defaults.BuildDefaults();
    Configure(defaults);
    // The download brings the configuration, so the check after it passes.
    const CParamSettings downloaded = ConfiguredSettings();
    m_Download.store = &downloaded;

    Controller().StartInterfaces();
    const std::vector<std::string> first = m_Journal.Entries();
    ASSERT_GE(first.size(), 5u);
    EXPECT_THAT(std::vector<std::string>(first.begin(), first.begin() + 5),
                ElementsAre("View.OfflineTitle", "View.BeginProgress", "Progress: Retrieving Parameters ...",
                            "Download.Run", "Progress: Starting the Server Transaction Reversal Thread ..."));
    EXPECT_TRUE(m_Download.ranOnOtherThread);
    EXPECT_TRUE(m_Download.flagSetBeforeRun);
    EXPECT_TRUE(g_bParametersRetrievedOnce.load());
    EXPECT_TRUE(Controller().ServerRunning());

    const size_t before = m_Journal.Entries().size();
    Controller().RestartInterfaces();
    const std::vector<std::string> all = m_Journal.Entries();
    const std::vector<std::string> restart(all.begin() + static_cast<long>(before), all.end());
    EXPECT_THAT(restart, Not(testing::Contains("Progress: Retrieving Parameters ...")));
    EXPECT_THAT(restart, Not(testing::Contains("Download.Run")));
    EXPECT_THAT(restart, testing::Contains("Server.Start"));
}

TEST_F(InterfaceControllerTest, LauncherModeStartsThePipeAndLogsItsFailure) {
    AppModeFlags().SetStartedByLauncher(true);
    m_Pipe.script.Set({false});
    Controller().StartInterfaces();
    const std::string name = EncodeIdLetters(static_cast<unsigned>(CurrentProcessId())) + "_CorvaneAppDirectory";
    EXPECT_THAT(m_Journal.Entries(), testing::IsSupersetOf({"Pipe.Start(" + name + ")"}));
    EXPECT_EQ(1, m_Journal.IndexOf("Pipe.Start(" + name + ")"));
    EXPECT_THAT(LogText(), HasSubstr("Failed to initialize Pipe Server. Interface return code: 5. The pipe folder "
                                     "/run/none does not exist."));
    EXPECT_TRUE(Controller().ServerRunning());
}

TEST_F(InterfaceControllerTest, PipeIsNotStartedOutsideLauncherMode) {
    Controller().StartInterfaces();
    for (const std::string& e : m_Journal.Entries()) {
        EXPECT_THAT(e, Not(HasSubstr("Pipe.")));
    }
}

TEST_F(InterfaceControllerTest, RestartsInLauncherModeKeepTheOnePipeThreadServing) {
    CScopedEnvironmentVariable pipeFolder("KESTROVE_PIPE_DIR", m_TempDir.Path().c_str());
    AppModeFlags().SetStartedByLauncher(true);
    CLauncherViewCopy copy;
    CLauncherPipePart pipe(copy);
    CInterfaceController controller(
        CInterfaceParts{m_Reverse, m_Host, m_Dial, m_Discovery, pipe, m_Factory, m_Download}, m_View, AppModeFlags());
    controller.StartInterfaces();
    const std::string path = CLauncherClient::SocketPath(CurrentProcessId());
    CLauncherClient launcher;
    ASSERT_TRUE(WaitUntil([&] { return launcher.ConnectPath(path); }));
    std::string reply;
    ASSERT_TRUE(launcher.Ask("APP NAME", &reply)) << launcher.LastError();

    // Every restart (after the Setup dialog) starts the pipe again: the thread that serves it stays.
    const int threads = CountEntries("/proc/self/task");
    for (int restart = 0; restart < 3; ++restart) {
        controller.RestartInterfaces();
        EXPECT_EQ(threads, CountEntries("/proc/self/task")) << restart;
    }
    ASSERT_TRUE(launcher.Ask("APP NAME", &reply)) << launcher.LastError();
    EXPECT_EQ("Kestrove 5.00 for RuvuzUvir", reply);
    EXPECT_THAT(LogText(), Not(HasSubstr("Failed to initialize Pipe Server.")));

    // The window's close stops it: the launcher's connection ends and the socket goes.
    EXPECT_TRUE(controller.OnStopInterfaces());
    EXPECT_FALSE(pipe.IsRunning());
    EXPECT_TRUE(launcher.WaitForClose(10000));
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(EncodeIdLettersTest, WritesReversedDigitsAsLetters) {
    EXPECT_EQ("CJBA", EncodeIdLetters(1203));
    EXPECT_EQ("J", EncodeIdLetters(0));
    EXPECT_EQ("IHGFEDCBA", EncodeIdLetters(123456789));
}

TEST(ParamTextToIntTest, ReadsLeadingDigitsAndCountsTheRestAsZero) {
    EXPECT_EQ(1, ParamTextToInt("01"));
    EXPECT_EQ(0, ParamTextToInt(""));
    EXPECT_EQ(0, ParamTextToInt("X"));
    EXPECT_EQ(12, ParamTextToInt("12X"));
    EXPECT_EQ(0, ParamTextToInt("99999999999999999999"));
}

TEST_F(InterfaceControllerTest, StopWaitsForClientsAndASessionThatStartsLate) {
    // Two sessions that end 1500 ms into the stop, then one that starts late, at +3000, for a second.
    std::optional<uint64_t> stopAt;
    m_Factory.activeCount = [&stopAt](uint64_t tick) {
        if (!stopAt) {
            return 2;
        }
        const uint64_t t = tick - *stopAt;
        return t < 1500 ? 2 : (t >= 3000 && t < 4000) ? 1 : 0;
    };
    Controller().StartInterfaces();
    ASSERT_TRUE(Controller().ServerRunning());
    stopAt = m_Clock.TickMs();
    Controller().StopInterfaces();

    EXPECT_THAT(JournalFrom("View.KillTitleTimer"),
                ElementsAreArray(Then({"View.KillTitleTimer", "View.BeginProgress",
                                       "Progress: Stopping New Client Connections ...", "Server.Stop"},
                                      Then(std::vector<std::string>(kStopSequence.begin() + 3, kStopSequence.end()),
                                           {"Server.GoingOffline", "Server.Destroy", "View.EndProgress"}))));
    // The count reached 0 at +1500; the settle period ran 5000 ms from there, waiting out the late session.
    EXPECT_EQ(6500u, m_Factory.destroyedAtTick - *stopAt);
    EXPECT_FALSE(Controller().ServerRunning());
    EXPECT_THAT(LogText(), HasSubstr("Interfaces Stopped."));
}

TEST_F(InterfaceControllerTest, AcceptThreadThatHadToBeEndedIsReportedAndTheStopGoesOn) {
    m_Factory.stopResult = 1;
    Controller().StartInterfaces();
    Controller().StopInterfaces();
    EXPECT_THAT(JournalFrom("Server.Stop"), testing::IsSupersetOf({"Box[Ok,1]: Error Stopping TCP/IP Accept thread!",
                                                                   "ReverseWorker.Stop", "DialBackup.Stop"}));
    EXPECT_LT(m_Journal.IndexOf("Box[Ok,1]: Error Stopping TCP/IP Accept thread!"),
              m_Journal.IndexOf("ReverseWorker.Stop"));
    EXPECT_THAT(LogText(), HasSubstr("Error Stopping TCP/IP Accept thread!"));
}

TEST_F(InterfaceControllerTest, StopOfPiecesThatNeverStartedIsHarmless) {
    Controller().StopInterfaces();
    EXPECT_THAT(m_Journal.Entries(), ElementsAreArray(Then(kStopSequence, {"View.EndProgress"})));
    EXPECT_THAT(LogText(), HasSubstr("Interfaces Stopped."));
}

TEST_F(InterfaceControllerTest, CaptionShowsCountsOnlyWhileTheServerExists) {
    EXPECT_FALSE(Controller().RefreshTitle().has_value());
    m_Factory.activeCount = [](uint64_t) { return 3; };
    Controller().StartInterfaces();
    CTransaction a;
    CTransaction b;
    g_TransactionQueue.Add(a);
    g_TransactionQueue.Add(b);
    const std::optional<std::string> caption = Controller().RefreshTitle();
    ASSERT_TRUE(caption.has_value());
    EXPECT_THAT(*caption,
                testing::MatchesRegex("  Kestrove XML 5\\.0 \\(RuvuzUvir\\) #Requests-> 2    #Sockets-> 3     "
                                      "[0-9][0-9]:[0-9][0-9]:[0-9][0-9]"));
    m_Factory.activeCount = nullptr;
    Controller().StopInterfaces();
    EXPECT_FALSE(Controller().RefreshTitle().has_value());
}

TEST_F(InterfaceControllerTest, RefusedCloseKeepsEverythingRunning) {
    m_Factory.activeCount = [](uint64_t) { return 1; };
    Controller().StartInterfaces();
    m_Presenter.Answer({kIdNo});
    EXPECT_FALSE(Controller().OnStopInterfaces());
    EXPECT_TRUE(m_Journal.Contains(
        "Box[YesNo,6]: There are Client connections in Process.\rAre you SURE you want to do this?"));
    EXPECT_FALSE(m_Journal.Contains("ReverseWorker.Stop"));
    EXPECT_TRUE(Controller().ServerRunning());
}

TEST_F(InterfaceControllerTest, StopThatNobodyCanBeAskedAboutTakesTheDefaultYes) {
    int polls = 0;
    m_Factory.activeCount = [&polls](uint64_t) { return ++polls < 3 ? 1 : 0; };
    Controller().StartInterfaces();
    // Were the question shown, this answer would refuse the stop.
    m_Presenter.Answer({kIdNo});
    EXPECT_TRUE(Controller().OnStopInterfaces(false));
    for (const std::string& e : m_Journal.Entries()) {
        EXPECT_THAT(e, Not(HasSubstr("Box[")));
    }
    EXPECT_TRUE(m_Journal.Contains("ReverseWorker.Stop"));
    EXPECT_FALSE(Controller().ServerRunning());
}

TEST_F(InterfaceControllerTest, CloseInServiceModeStopsWithoutAskingAndStopsThePipeInLauncherMode) {
    AppModeFlags().SetStartedAsService(true);
    AppModeFlags().SetStartedByLauncher(true);
    int polls = 0;
    m_Factory.activeCount = [&polls](uint64_t) { return ++polls < 3 ? 1 : 0; };
    Controller().StartInterfaces();
    EXPECT_TRUE(Controller().OnStopInterfaces());
    for (const std::string& e : m_Journal.Entries()) {
        EXPECT_THAT(e, Not(HasSubstr("Box[")));
    }
    EXPECT_EQ("Pipe.Stop", m_Journal.Entries().back());
    EXPECT_TRUE(m_Journal.Contains("ReverseWorker.Stop"));
    EXPECT_FALSE(Controller().ServerRunning());
}

} // namespace

// --- The parameter download from the management service ---

namespace {
const std::string kLaneLine = "1\x1c"
                              "Front counter\r\n";

// The controller with the real download against a management-service fake. Time runs for real, ten times
// faster, so the TLS exchanges keep their pace while the shut-down's client wait passes quickly.
class ParameterDownloadTest : public hosttest::TrustedPkiTest<InterfaceControllerTest> {
protected:
    void SetUp() override {
        InterfaceControllerTest::SetUp();
        ASSERT_TRUE(s_Pki->Ok());
        ASSERT_TRUE(CRequest::Instance().StartCrypto());
        g_ShutdownEvent.Reset();
        g_bParametersRetrievedOnce.store(false);
        CParamSettings defaults;
        defaults.BuildDefaults();
        Configure(defaults);
        WriteFileBytes("machine-id", "00112233445566778899aabbccddeeff\n");
        WriteFileBytes(kLanesFileName, kLaneLine);
        ASSERT_TRUE(m_Service.Start());
        m_Service.SetParams(ConfiguredSettings("0", "2"));
        m_RealDownload.SetHosts({{"127.0.0.1", m_Service.Port()}});
        m_RealDownload.SetMachineIdFile("machine-id");
        m_DownloadController = std::make_unique<CInterfaceController>(
            CInterfaceParts{m_Reverse, m_Host, m_Dial, m_Discovery, m_Pipe, m_Factory, m_RealDownload}, m_View,
            AppModeFlags());
    }
    void TearDown() override {
        m_DownloadController.reset();
        CRequest::Instance().StopCrypto();
        g_ShutdownEvent.Reset();
        InterfaceControllerTest::TearDown();
    }

    static bool StoreHolds(const CParamSettings& settings) {
        return CParamStore::Instance().GetParams().GetParamMap().Equals(settings.GetParamMap());
    }

    CTestClock m_JumpClock{CTestClock::SRealTime{}};
    CScopedClock m_JumpScope{m_JumpClock};
    CClockPump m_Pump{m_JumpClock, 10};
    CManagementService m_Service{s_Pki->Loopback()};
    CParameterDownload m_RealDownload{[] { return std::string("DEV-0007"); }};
    std::unique_ptr<CInterfaceController> m_DownloadController;
};
} // namespace

TEST_F(ParameterDownloadTest, FirstStartTakesTheSetAndALoadFromSetupRestartsWithTheNewOne) {
    m_DownloadController->StartInterfaces();
    EXPECT_TRUE(StoreHolds(ConfiguredSettings("0", "2")));
    EXPECT_TRUE(m_DownloadController->ServerRunning());
    EXPECT_TRUE(m_Journal.Contains("Server.SetMaxConnections(200)"));
    ASSERT_TRUE(m_Service.WaitForSessions(1));
    EXPECT_EQ(m_Service.Sessions()[0].Field("RUN_AS_SERVICE"), "N");
    EXPECT_EQ(m_Service.Sessions()[0].Field("DEVID"), "DEV-0007");
    // The start-up's download leaves the lane descriptions alone.
    EXPECT_EQ(ReadFileBytes(kLanesFileName), kLaneLine);

    // "Load New Parameters" while the interfaces run, then the restart the dialog's close asks for.
    m_Service.SetParams(ConfiguredSettings("0", "1"));
    const CParameterLoadResult result = LoadNewParameters(m_RealDownload);
    EXPECT_TRUE(result.loaded) << result.errorText;
    EXPECT_EQ(result.errorText, "");
    EXPECT_TRUE(StoreHolds(ConfiguredSettings("0", "1")));
    EXPECT_EQ(ReadFileBytes(kLanesFileName), "");
    EXPECT_FALSE(g_ShutdownEvent.IsSet());

    const size_t before = m_Journal.Entries().size();
    m_DownloadController->RestartInterfaces();
    const std::vector<std::string> all = m_Journal.Entries();
    const std::vector<std::string> restart(all.begin() + static_cast<long>(before), all.end());
    EXPECT_THAT(restart, testing::Contains("Server.Destroy"));
    EXPECT_THAT(restart, testing::Contains("Server.SetMaxConnections(1)"));
    EXPECT_THAT(restart, Not(testing::Contains("Progress: Retrieving Parameters ...")));
    EXPECT_TRUE(m_DownloadController->ServerRunning());
    EXPECT_EQ(m_Service.ConnectionsAccepted(), 2);
    EXPECT_THAT(LogText(), HasSubstr("Parameters Successfully Loaded from NQMS (127.0.0.1)."));
}

TEST_F(ParameterDownloadTest, ServiceModeDownloadsAtStartUpToo) {
    AppModeFlags().SetStartedAsService(true);
    m_DownloadController->StartInterfaces();
    EXPECT_TRUE(StoreHolds(ConfiguredSettings("0", "2")));
    EXPECT_TRUE(m_DownloadController->ServerRunning());
    ASSERT_TRUE(m_Service.WaitForSessions(1));
    EXPECT_EQ(m_Service.Sessions()[0].Field("RUN_AS_SERVICE"), "Y");
}

TEST_F(ParameterDownloadTest, FailedDownloadsLeaveTheSetAndTheLanesAndSayWhy) {
    m_Service.SetFault(NqmsFault::ServiceError);
    m_Service.SetServiceError("Device not registered");
    // At the start-up nothing shows the error; the configuration check finds the defaults.
    m_DownloadController->StartInterfaces();
    EXPECT_FALSE(m_DownloadController->ServerRunning());
    EXPECT_TRUE(m_Journal.Contains("Box[Ok,1]: Configuration not Set! - Use Setup | Merchant Parameters"));
    EXPECT_THAT(LogText(), HasSubstr("Parameter Load Failed - Error(NQMS): Device not registered"));

    const CParameterLoadResult result = LoadNewParameters(m_RealDownload);
    EXPECT_FALSE(result.loaded);
    EXPECT_EQ(result.errorText, "Error(NQMS): Device not registered");
    EXPECT_EQ(ParameterLoadFailedText(result.errorText),
              "Parameter Load Failed - Error(NQMS): Device not registered\r\n\r\n  Try Again?");
    CParamSettings defaults;
    defaults.BuildDefaults();
    EXPECT_TRUE(StoreHolds(defaults));
    EXPECT_EQ(ReadFileBytes(kLanesFileName), kLaneLine);

    // The next attempt may succeed; the error of the last one is gone then.
    m_Service.SetFault(NqmsFault::None);
    const CParameterLoadResult retry = LoadNewParameters(m_RealDownload);
    EXPECT_TRUE(retry.loaded) << retry.errorText;
    EXPECT_EQ(retry.errorText, "");
}

TEST_F(ParameterDownloadTest, LoadWhileTheInterfacesAreStoppedLiftsTheShutdownEventForItsLength) {
    g_bParametersRetrievedOnce.store(true);
    g_ShutdownEvent.Set(); // what a stopped host interface leaves behind; the client's reads would end at once
    const CParameterLoadResult result = LoadNewParameters(m_RealDownload);
    EXPECT_TRUE(result.loaded) << result.errorText;
    EXPECT_TRUE(g_ShutdownEvent.IsSet());
    EXPECT_TRUE(StoreHolds(ConfiguredSettings("0", "2")));
}

TEST_F(ParameterDownloadTest, WorkerThatCannotStartIsToldAndCountsAsAFailedLoad) {
    CWorkerThread::FailNextStartsForTesting(1);
    const CParameterLoadResult result = LoadNewParameters(m_RealDownload);
    EXPECT_FALSE(result.loaded);
    EXPECT_EQ(result.errorText, kWorkerNotStartedText);
    EXPECT_TRUE(m_Journal.Contains(std::string("Box[Ok,1]: ") + kWorkerNotStartedText));
    EXPECT_EQ(m_Service.ConnectionsAccepted(), 0);
    EXPECT_EQ(ReadFileBytes(kLanesFileName), kLaneLine);
}
