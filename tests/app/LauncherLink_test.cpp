// The launcher link end to end: the real kestrove started in launcher mode ("/device_id=[...]") against the host
// simulator, with its window (Qt's offscreen platform) and without one (service mode), and the launcherctl
// program asking it all five commands while a lane transacts: the name, the caption with the counts, the log
// folder it writes in, the traffic lines newest first, and the Setup dialog's snapshot as a bitmap file (the
// error reply without a window). A stop while pipe requests come in ends cleanly, and the pipe goes with it.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <QImage>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "BitmapFileCheck.h"
#include "ChildProcess.h"
#include "ProgramWorld.h"
#include "common/TempDirTest.h"
#include "peers/EndToEndFixture.h"
#include "peers/LauncherClient.h"
#include "peers/PosClient.h"

using ::testing::HasSubstr;
using ::testing::Not;
using testing_child::CChildProcess;
using testing_child::CProgramWorld;
using testing_child::TestBinaryFolder;

namespace {

constexpr int kTimeoutMs = testing_child::kProgramTimeoutMs;
const std::string kCard = "6006491111111111";
const char RS = '\x1E';
const char kOfflineCaption[] = "Kestrove (RuvuzUvir)      OFFLINE       OFFLINE";
const char US = '\x1F';
const std::regex
    kCountsCaption(R"(  Kestrove XML 5\.0 \(RuvuzUvir\) #Requests-> \d+    #Sockets-> (\d+)     \d\d:\d\d:\d\d)");
const std::regex kTrafficLine(R"(\[\d\d/\d\d/\d\d \d\d:\d\d:\d\d\] .+)");
const std::regex kSnapshotName(R"([0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\.tmp)");

// The text after a traffic line's time stamp.
std::string LineText(const std::string& line) {
    const size_t end = line.find("] ");
    return end == std::string::npos ? line : line.substr(end + 2);
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    if (text.empty()) {
        return parts;
    }
    size_t from = 0;
    for (size_t at = text.find(separator); at != std::string::npos; at = text.find(separator, from)) {
        parts.push_back(text.substr(from, at - from));
        from = at + 1;
    }
    parts.push_back(text.substr(from));
    return parts;
}

// A lane that makes |sales| Sales of 1.00 one after the other on its own thread; Failure says what went wrong.
class CTransactingLane {
public:
    CTransactingLane(int port, int sales)
        : m_Thread([this, port, sales] {
              std::string error;
              std::unique_ptr<CPosClient> lane = CProgramWorld::Lane(port, &error);
              if (lane == nullptr) {
                  m_Failure = "login: " + error;
                  m_Done = true;
                  return;
              }
              for (int i = 0; i < sales && m_Failure.empty(); ++i) {
                  SPosReply reply;
                  const std::string invoice = std::to_string(2001 + i);
                  if (!lane->SendRequest(CEndToEndWorld::Request("Sale", kCard, "1.00", invoice)) ||
                      !lane->ReadReply(&reply, kTimeoutMs) || !lane->ReadReply(&reply, kTimeoutMs)) {
                      m_Failure = "sale " + invoice + ": " + lane->LastError();
                  } else if (reply.cmdStatus != "Approved") {
                      m_Failure = "sale " + invoice + ": " + reply.cmdStatus + " " + reply.textResponse;
                  }
                  ++m_Sales;
              }
              m_Done = true;
              // Connected until told, so the caption counts the lane.
              while (!m_Leave) {
                  std::this_thread::sleep_for(std::chrono::milliseconds(10));
              }
          }) {}
    ~CTransactingLane() {
        m_Leave = true;
        m_Thread.join();
    }
    bool Done() const { return m_Done; }
    int Sales() const { return m_Sales; }
    const std::string& Failure() const { return m_Failure; }

private:
    std::string m_Failure;
    std::atomic<bool> m_Done{false};
    std::atomic<bool> m_Leave{false};
    std::atomic<int> m_Sales{0};
    std::thread m_Thread;
};

class LauncherLinkTest : public TempDirTest {
protected:
    void SetUp() override {
        m_World = std::make_unique<CProgramWorld>(m_TempDir.Path() / "server", m_TempDir.Path() / "locks");
        ASSERT_TRUE(m_World->Ok());
        m_World->Simulator().Host().AddCard(kCard, 5000);
        m_Folder = std::filesystem::canonical(m_World->Folder());
    }

    // Starts kestrove in launcher mode, with its window (offscreen) or as a service, with further environment
    // |more|, and waits for its port.
    int StartInLauncherMode(bool window, const std::map<std::string, std::string>& more = {}) {
        const std::vector<std::string> args =
            window ? std::vector<std::string>{"/device_id=[DEV0001]"}
                   : std::vector<std::string>{"/started_as_service", "/device_id=[DEV0001]"};
        std::map<std::string, std::string> env;
        if (window) {
            // A display is named, and Qt's offscreen platform opens it: the window without an X server.
            env = {{"DISPLAY", ":kestrove-offscreen"}, {"QT_QPA_PLATFORM", "offscreen"}};
        }
        env.insert(more.begin(), more.end());
        EXPECT_TRUE(m_World->Start(args, env));
        const int port = m_World->WaitForPort();
        EXPECT_GT(port, 0) << m_World->LogOfThisRun() << m_World->Server().Stderr();
        if (window) {
            EXPECT_THAT(m_World->LogOfThisRun(), Not(HasSubstr("runs in the terminal")));
        }
        return port;
    }

    std::filesystem::path PipePath() const { return m_Folder / CLauncherClient::PipeName(m_World->Server().Pid()); }

    // launcherctl's reply to |command| as it came (--raw); "<exit N: ...>" when it failed.
    std::string Launcherctl(const std::string& command) {
        std::vector<std::string> args = {"--raw", std::to_string(m_World->Server().Pid())};
        for (const std::string& word : Split(command, ' ')) {
            args.push_back(word);
        }
        CChildProcess ctl;
        if (!ctl.Start(TestBinaryFolder() / "peers" / "launcherctl", args, m_Folder,
                       {{"KESTROVE_PIPE_DIR", m_Folder.string()}}, "launcherctl") ||
            !ctl.Wait(kTimeoutMs)) {
            return "<launcherctl did not run>";
        }
        if (ctl.ExitCode() != 0) {
            return "<exit " + std::to_string(ctl.ExitCode()) + ": " + ctl.Stderr() + ">";
        }
        return ctl.Stdout();
    }

    // All five commands, each reply checked by what it must be in either mode.
    void AskAllFive(bool window, int* lanesSeen = nullptr) {
        EXPECT_EQ("Kestrove 5.00 for RuvuzUvir", Launcherctl("APP NAME"));
        // OFFLINE until the first refresh of the running interfaces, the counts from then on.
        const std::string caption = Launcherctl("APP CAPTION");
        std::smatch counts;
        EXPECT_TRUE(std::regex_match(caption, counts, kCountsCaption) || caption == kOfflineCaption) << caption;
        if (lanesSeen != nullptr && !counts.empty()) {
            *lanesSeen = std::max(*lanesSeen, std::stoi(counts[1]));
        }
        EXPECT_EQ((m_Folder / "CORVANE_LOGS").string(), Launcherctl("APP LOG LOCATION"));
        for (const std::string& line : Split(Launcherctl("APP VIEW"), US)) {
            EXPECT_TRUE(std::regex_match(line, kTrafficLine)) << line;
        }
        const std::string form = Launcherctl("APP SETTINGS FORM");
        if (window) {
            CheckSnapshot(form);
        } else {
            EXPECT_EQ(std::string("ERROR") + RS + "Failed to create dialog window.", form);
        }
    }

    // |reply| names a new bitmap file of the Setup dialog in the shared documents folder (the child's folder).
    void CheckSnapshot(const std::string& reply) {
        const std::filesystem::path file = reply;
        EXPECT_EQ(m_Folder, file.parent_path()) << reply;
        EXPECT_TRUE(std::regex_match(file.filename().string(), kSnapshotName)) << reply;
        QImage image;
        ASSERT_TRUE(testing_bitmap::IsBitmapFile(ReadFileBytes(file), &image)) << reply;
        EXPECT_GT(image.width(), 300);
        EXPECT_GT(image.height(), 200);
        EXPECT_TRUE(testing_bitmap::ShowsText(image)) << reply;
        EXPECT_EQ(0u, m_Snapshots.count(reply)) << "a second snapshot under the same name";
        m_Snapshots.insert(reply);
    }

    // SIGTERM, as the launcher or a service manager stops it: exit 0, the pipe gone with the program.
    void StopAndCheck() {
        ASSERT_TRUE(m_World->Server().Signal(SIGTERM));
        ASSERT_TRUE(m_World->Server().Wait(kTimeoutMs)) << m_World->LogOfThisRun();
        EXPECT_EQ(0, m_World->Server().ExitCode()) << m_World->Server().Stderr();
        EXPECT_FALSE(std::filesystem::exists(PipePath()));
        const std::string log = m_World->LogOfThisRun();
        EXPECT_THAT(log, Not(HasSubstr("Failed to initialize Pipe Server.")));
        EXPECT_THAT(log, HasSubstr("Interfaces Stopped."));
        EXPECT_THAT(log, HasSubstr("Server Shutdown . . ."));
    }

    // Asks all five while a lane makes its Sales, until it has made them; then the traffic they left.
    void AskWhileALaneTransacts(bool window, int port) {
        int rounds = 0;
        int lanesSeen = 0;
        {
            CTransactingLane lane(port, 3);
            while (!lane.Done() || rounds == 0) {
                AskAllFive(window, &lanesSeen);
                ++rounds;
            }
            ASSERT_EQ("", lane.Failure());
            EXPECT_EQ(3, lane.Sales());
            // The caption counts the connected lane once a refresh has seen it.
            EXPECT_TRUE(WaitUntil(
                [&] {
                    std::smatch counts;
                    const std::string caption = Launcherctl("APP CAPTION");
                    return std::regex_match(caption, counts, kCountsCaption) && counts[1] == "1";
                },
                kTimeoutMs));
        }
        EXPECT_GE(rounds, 1);

        const std::vector<std::string> lines = Split(Launcherctl("APP VIEW"), US);
        std::vector<std::string> texts;
        for (const std::string& line : lines) {
            texts.push_back(LineText(line));
        }
        EXPECT_GE(std::count(texts.begin(), texts.end(), "Sending Auth Request to RuvuzUvir."), 3);
        EXPECT_GE(std::count(texts.begin(), texts.end(), "Auth Response Received from RuvuzUvir."), 3);
        // Newest first: the last answer above its request, the discovery at the bottom.
        ASSERT_FALSE(texts.empty());
        EXPECT_EQ("Auth Response Received from RuvuzUvir.", texts.front());
        EXPECT_THAT(texts.back(), HasSubstr("Service Discovery"));
        EXPECT_EQ(5000 - 300, m_World->Simulator().Host().Balance(kCard));
    }

    std::unique_ptr<CProgramWorld> m_World;
    std::filesystem::path m_Folder;
    std::set<std::string> m_Snapshots;
};

TEST_F(LauncherLinkTest, WithoutAWindowAllFiveAreAnsweredWhileALaneTransacts) {
    const int port = StartInLauncherMode(false);
    ASSERT_GT(port, 0);
    ASSERT_TRUE(std::filesystem::exists(PipePath()));
    AskWhileALaneTransacts(false, port);
    StopAndCheck();
}

TEST_F(LauncherLinkTest, WithTheWindowAllFiveAreAnsweredAndTheSnapshotIsTheSetupDialog) {
    const int port = StartInLauncherMode(true);
    ASSERT_GT(port, 0);
    AskWhileALaneTransacts(true, port);
    // Every snapshot is left for the launcher: the program deletes none of them.
    for (const std::string& file : m_Snapshots) {
        EXPECT_TRUE(std::filesystem::exists(file)) << file;
    }
    EXPECT_GE(m_Snapshots.size(), 1u);
    StopAndCheck();
    for (const std::string& file : m_Snapshots) {
        EXPECT_TRUE(std::filesystem::exists(file)) << file;
    }
}

TEST_F(LauncherLinkTest, APipeThatCannotListenIsLoggedWithItsReasonAndTheLanesAreServed) {
    const std::filesystem::path missing = m_Folder / "no-such-folder";
    const int port = StartInLauncherMode(false, {{"KESTROVE_PIPE_DIR", missing.string()}});
    ASSERT_GT(port, 0);
    EXPECT_THAT(m_World->LogOfThisRun(), HasSubstr("Failed to initialize Pipe Server. Interface return code: 2. The "
                                                   "pipe folder " +
                                                   missing.string() + " does not exist."));
    std::string error;
    EXPECT_NE(nullptr, CProgramWorld::Lane(port, &error)) << error;
    ASSERT_TRUE(m_World->Server().Signal(SIGTERM));
    ASSERT_TRUE(m_World->Server().Wait(kTimeoutMs));
    EXPECT_EQ(0, m_World->Server().ExitCode()) << m_World->Server().Stderr();
}

// A launcher that keeps asking while the program stops: every request is answered or its connection closed,
// and the program ends as cleanly as without it.
class LauncherStopTest : public LauncherLinkTest, public ::testing::WithParamInterface<bool> {};

TEST_P(LauncherStopTest, AStopWhileTheLauncherAsksEndsCleanly) {
    const bool window = GetParam();
    ASSERT_GT(StartInLauncherMode(window), 0);
    CLauncherClient launcher;
    ASSERT_TRUE(launcher.ConnectPath(PipePath().string())) << launcher.LastError();
    std::atomic<int> answered{0};
    std::atomic<int> formsRefused{0};
    std::string failure;
    std::thread asking([&] {
        const std::vector<std::string> commands = {"APP SETTINGS FORM", "APP VIEW", "APP CAPTION"};
        for (size_t i = 0;; ++i) {
            std::string reply;
            const std::string& command = commands[i % commands.size()];
            if (!launcher.Ask(command, &reply, kTimeoutMs)) {
                // The program has stopped: it closed the pipe, never left a request hanging.
                if (launcher.LastError() != "the program closed the pipe") {
                    failure = launcher.LastError();
                }
                return;
            }
            if (command == "APP SETTINGS FORM" &&
                reply == std::string("ERROR") + RS + "Failed to create dialog window.") {
                ++formsRefused;
            }
            ++answered;
        }
    });
    EXPECT_TRUE(WaitUntil([&] { return answered >= 5; }, kTimeoutMs));
    StopAndCheck();
    m_World->Server().Signal(SIGKILL); // only when the stop failed: the asking thread must end either way
    asking.join();
    EXPECT_EQ("", failure);
    EXPECT_TRUE(launcher.WaitForClose(kTimeoutMs));
    // The window's thread, busy stopping the interfaces, could not draw the dialog: the launcher was told so
    // instead of being kept waiting.
    EXPECT_GE(formsRefused, 1);
}

INSTANTIATE_TEST_SUITE_P(Modes, LauncherStopTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? std::string("Window") : std::string("Headless");
                         });

} // namespace
