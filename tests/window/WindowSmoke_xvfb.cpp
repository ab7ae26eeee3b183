// The kestrove window on a real X server (ctest runs this program under xvfb-run): the window against the host
// simulator while a lane makes a Sale, grabbed to PNG files kept in the build folder, its traffic list and its
// caption checked; the kestrove program itself opening its window on the display and closing on SIGTERM; and
// the service mode, which opens no window even where a display is there.

#include <xcb/xcb.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <QAction>
#include <QImage>
#include <QMetaObject>
#include <QPixmap>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/TempDirTest.h"
#include "peers/PosClient.h"
#include "tests/app/ChildProcess.h"
#include "tests/app/ProgramWorld.h"
#include "tests/app/TestHostSide.h"
#include "window/MainFrame.h"
#include "window/VYRView.h"
#include "window/WindowShell.h"

using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;
using testing_child::kChildPollMs;

namespace {

constexpr int kTimeoutMs = testing_child::kProgramTimeoutMs;
const std::string kCard = "6006491111111111";
const char kSendingAuth[] = "Sending Auth Request to RuvuzUvir.";
const char kAuthResponse[] = "Auth Response Received from RuvuzUvir.";
// The caption while one lane is connected, and once none is.
const std::regex
    kCountsCaption(R"(  Kestrove XML 5\.0 \(RuvuzUvir\) #Requests-> \d+    #Sockets-> 1     \d\d:\d\d:\d\d)");
const std::regex
    kNoLaneCaption(R"(  Kestrove XML 5\.0 \(RuvuzUvir\) #Requests-> \d+    #Sockets-> 0     \d\d:\d\d:\d\d)");

std::string EnvironmentText(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// Where the grabs are kept: $KESTROVE_SMOKE_ARTEFACTS (the build folder's tests/artefacts), else the current one.
std::filesystem::path ArtefactFolder() {
    std::filesystem::path folder = EnvironmentText("KESTROVE_SMOKE_ARTEFACTS");
    if (folder.empty()) {
        folder = std::filesystem::current_path();
    }
    std::filesystem::create_directories(folder);
    return folder;
}

// The text after the time stamp of a traffic line.
std::string LineText(const std::string& line) {
    const size_t end = line.find("] ");
    return end == std::string::npos ? line : line.substr(end + 2);
}

// A connection of our own to the X server, to look at another client's windows as an operator would.
// Not thread-safe: for the test thread.
class CXDisplay {
public:
    CXDisplay() : m_Connection(xcb_connect(nullptr, nullptr)) {}
    ~CXDisplay() { xcb_disconnect(m_Connection); }
    CXDisplay(const CXDisplay&) = delete;
    CXDisplay& operator=(const CXDisplay&) = delete;

    bool Connected() const { return xcb_connection_has_error(m_Connection) == 0; }

    // The top-level windows with their captions.
    std::vector<std::pair<xcb_window_t, std::string>> Windows() const {
        std::vector<std::pair<xcb_window_t, std::string>> windows;
        std::unique_ptr<xcb_query_tree_reply_t, decltype(&std::free)> tree(
            xcb_query_tree_reply(m_Connection, xcb_query_tree(m_Connection, Root()), nullptr), &std::free);
        if (!tree) {
            return windows;
        }
        const xcb_window_t* children = xcb_query_tree_children(tree.get());
        for (int i = 0; i < xcb_query_tree_children_length(tree.get()); ++i) {
            windows.emplace_back(children[i], Caption(children[i]));
        }
        return windows;
    }

    // The first top-level window whose caption matches |caption|.
    std::optional<std::pair<xcb_window_t, std::string>> Find(const std::regex& caption) const {
        for (const auto& window : Windows()) {
            if (std::regex_match(window.second, caption)) {
                return window;
            }
        }
        return std::nullopt;
    }

    // Writes what |window| shows now into |path|; false when it could not be read.
    bool Grab(xcb_window_t window, const std::filesystem::path& path) const {
        std::unique_ptr<xcb_get_geometry_reply_t, decltype(&std::free)> geometry(
            xcb_get_geometry_reply(m_Connection, xcb_get_geometry(m_Connection, window), nullptr), &std::free);
        if (!geometry) {
            return false;
        }
        std::unique_ptr<xcb_get_image_reply_t, decltype(&std::free)> image(
            xcb_get_image_reply(m_Connection,
                                xcb_get_image(m_Connection, XCB_IMAGE_FORMAT_Z_PIXMAP, window, 0, 0, geometry->width,
                                              geometry->height, ~0u),
                                nullptr),
            &std::free);
        if (!image || image->depth != 24) {
            return false;
        }
        // Depth 24 in 32-bit pixels, as QImage's RGB32 lays them out on this machine.
        const QImage view(xcb_get_image_data(image.get()), geometry->width, geometry->height, QImage::Format_RGB32);
        return view.copy().save(QString::fromStdString(path.string()), "PNG");
    }

private:
    xcb_window_t Root() const { return xcb_setup_roots_iterator(xcb_get_setup(m_Connection)).data->root; }

    std::string Caption(xcb_window_t window) const {
        const xcb_atom_t utf8Name = Atom("_NET_WM_NAME");
        const xcb_atom_t utf8 = Atom("UTF8_STRING");
        std::string caption = Property(window, utf8Name, utf8);
        return caption.empty() ? Property(window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING) : caption;
    }

    xcb_atom_t Atom(const char* name) const {
        std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(
            xcb_intern_atom_reply(m_Connection, xcb_intern_atom(m_Connection, 0, std::strlen(name), name), nullptr),
            &std::free);
        return reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
    }

    std::string Property(xcb_window_t window, xcb_atom_t property, xcb_atom_t type) const {
        std::unique_ptr<xcb_get_property_reply_t, decltype(&std::free)> reply(
            xcb_get_property_reply(m_Connection, xcb_get_property(m_Connection, 0, window, property, type, 0, 1024),
                                   nullptr),
            &std::free);
        if (!reply) {
            return "";
        }
        return std::string(static_cast<const char*>(xcb_get_property_value(reply.get())),
                           static_cast<size_t>(xcb_get_property_value_length(reply.get())));
    }

    xcb_connection_t* m_Connection;
};

class WindowSmokeTest : public TempDirTest {
protected:
    void SetUp() override {
        if (!EnvironmentText("KESTROVE_NO_XVFB").empty()) {
            GTEST_SKIP() << "xvfb-run is not installed (Debian package xvfb): the window's smoke test needs an X "
                            "server of its own";
        }
        if (EnvironmentText("DISPLAY").empty()) {
            GTEST_SKIP() << "no X server: run this test through ctest, which starts it under xvfb-run";
        }
        m_World =
            std::make_unique<testing_child::CProgramWorld>(m_TempDir.Path() / "server", m_TempDir.Path() / "locks");
        ASSERT_TRUE(m_World->Ok());
        m_World->Simulator().Host().AddCard(kCard, 5000);
        m_Folder = m_World->Folder();
    }

    // A lane logged in on |port| that has run a Sale of 12.50 on the card and stays connected; null when it
    // could not log in.
    static std::unique_ptr<CPosClient> RunSale(int port) {
        std::string error;
        std::unique_ptr<CPosClient> lane = testing_child::CProgramWorld::Lane(port, &error);
        EXPECT_NE(nullptr, lane) << error;
        if (lane == nullptr) {
            return nullptr;
        }
        SPosReply reply;
        EXPECT_TRUE(lane->SendRequest(CEndToEndWorld::Request("Sale", kCard, "12.50"))) << lane->LastError();
        EXPECT_TRUE(lane->ReadReply(&reply, kTimeoutMs)) << lane->LastError();
        EXPECT_THAT(reply.textResponse, HasSubstr("Queued:"));
        EXPECT_TRUE(lane->ReadReply(&reply, kTimeoutMs)) << lane->LastError();
        EXPECT_EQ("Approved", reply.cmdStatus);
        return lane;
    }

    // The port the server logged, read from the log of this folder.
    int LoggedPort() const { return testing_child::ServedPort(ReadLogFolder(m_Folder)); }

    std::unique_ptr<testing_child::CProgramWorld> m_World;
    std::filesystem::path m_Folder;
};

TEST_F(WindowSmokeTest, TheWindowShowsTheSalesTrafficAndTheCountsAndClosesCleanly) {
    // The window runs in this process, in the server folder, with the program's own interface pieces.
    std::filesystem::current_path(m_Folder);
    std::map<std::string, std::string> env =
        testing_child::CTestHostSide::ProgramEnvironment(m_Folder, m_TempDir.Path() / "locks");
    // The one parameter download of the process meets a closed loopback port, never a real service.
    env["KESTROVE_NQMS_HOSTS"] = "127.0.0.1:1";
    env["QT_QPA_PLATFORM"] = "xcb";
    for (const auto& [key, value] : env) {
        setenv(key.c_str(), value.c_str(), 1);
    }
    char name[] = "kestrove";
    char* argv[] = {name, nullptr};
    std::string whyNot;
    std::unique_ptr<CWindowShell> shell = CWindowShell::Open(1, argv, &whyNot);
    ASSERT_NE(nullptr, shell) << whyNot;

    // What the driver saw on the user-interface thread, and where it failed.
    std::vector<std::string> lines;
    std::string caption;
    std::string failure;
    const std::filesystem::path png = ArtefactFolder() / "kestrove_window.png";
    std::filesystem::remove(png);
    bool grabbed = false;

    // Where the driver is, for the watchdog's report should the window never close.
    std::atomic<const char*> stage{"waiting for the start-up"};
    std::thread driver([&] {
        auto onWindow = [&](auto work) {
            QMetaObject::invokeMethod(shell->MainFrame(), work, Qt::BlockingQueuedConnection);
        };
        auto closeWindow = [&](bool asOperator) {
            // File > Exit, as the operator would; a failed run closes without any question.
            QMetaObject::invokeMethod(
                shell->MainFrame(),
                [&, asOperator] {
                    if (asOperator) {
                        shell->MainFrame()->ExitAction()->trigger();
                    } else {
                        shell->MainFrame()->RequestClose(false);
                    }
                },
                Qt::QueuedConnection);
        };
        int port = -1;
        if (!WaitUntil([&] { return (port = LoggedPort()) > 0; }, kTimeoutMs, kChildPollMs)) {
            failure = "the start-up did not finish";
            closeWindow(false);
            return;
        }
        stage = "running the Sale";
        std::unique_ptr<CPosClient> lane = RunSale(port);
        // The view shows the Sale's traffic, and the caption the connected lane, within a few refreshes.
        stage = "waiting for the traffic and the caption";
        WaitUntil(
            [&] {
                onWindow([&] {
                    lines = shell->MainFrame()->View()->TrafficLines();
                    caption = shell->MainFrame()->windowTitle().toStdString();
                });
                int auth = 0;
                for (const std::string& line : lines) {
                    auth += LineText(line) == kSendingAuth || LineText(line) == kAuthResponse;
                }
                return auth >= 2 && std::regex_match(caption, kCountsCaption);
            },
            kTimeoutMs, kChildPollMs);
        onWindow([&] { grabbed = shell->MainFrame()->grab().save(QString::fromStdString(png.string()), "PNG"); });
        if (lane != nullptr) {
            lane->Close();
        }
        // Once the session has ended the caption says so, and the close asks nothing.
        stage = "waiting for the session to end";
        std::string idle;
        const bool ended = WaitUntil(
            [&] {
                onWindow([&] { idle = shell->MainFrame()->windowTitle().toStdString(); });
                return std::regex_match(idle, kNoLaneCaption);
            },
            kTimeoutMs, kChildPollMs);
        if (!ended) {
            failure = "the lane's session did not end; the caption shows \"" + idle + "\"";
        }
        stage = "closing";
        closeWindow(ended);
    });
    std::mutex doneLock;
    std::condition_variable doneChanged;
    bool done = false;
    std::thread watchdog([&] {
        std::unique_lock<std::mutex> lock(doneLock);
        if (!doneChanged.wait_for(lock, std::chrono::seconds(200), [&] { return done; })) {
            std::fprintf(stderr, "The window did not close; the test was %s. The log:\n%s\n", stage.load(),
                         ReadLogFolder(m_Folder).c_str());
            std::abort();
        }
    });
    const int exitCode = shell->Run("kestrove");
    driver.join();
    {
        std::lock_guard<std::mutex> lock(doneLock);
        done = true;
    }
    doneChanged.notify_all();
    watchdog.join();
    ASSERT_EQ("", failure) << ReadLogFolder(m_Folder);

    EXPECT_EQ(0, exitCode);
    EXPECT_TRUE(grabbed) << png;
    EXPECT_TRUE(std::filesystem::exists(png));
    std::vector<std::string> texts;
    for (const std::string& line : lines) {
        EXPECT_TRUE(std::regex_match(line, std::regex(R"(\[\d\d/\d\d/\d\d \d\d:\d\d:\d\d\] .+)"))) << line;
        texts.push_back(LineText(line));
    }
    EXPECT_THAT(texts, Contains(kSendingAuth));
    EXPECT_THAT(texts, Contains(kAuthResponse));
    EXPECT_THAT(texts, Contains("Sending Service Discovery Request to RuvuzUvir."));
    // Newest on top: the answer above its request.
    const auto response = std::find(texts.begin(), texts.end(), kAuthResponse);
    const auto request = std::find(texts.begin(), texts.end(), kSendingAuth);
    EXPECT_LT(response, request);
    EXPECT_TRUE(std::regex_match(caption, kCountsCaption)) << caption;

    const std::string log = ReadLogFolder(m_Folder);
    EXPECT_THAT(log, Not(HasSubstr("runs in the terminal")));
    EXPECT_THAT(log, HasSubstr("Interfaces Stopped."));
    EXPECT_THAT(log, HasSubstr("Server Shutdown . . ."));
    EXPECT_EQ(3750, m_World->Simulator().Host().Balance(kCard));
}

TEST_F(WindowSmokeTest, TheProgramOpensItsWindowOnTheDisplayAndSigtermClosesIt) {
    CXDisplay display;
    ASSERT_TRUE(display.Connected());
    ASSERT_TRUE(m_World->Start({}, {{"DISPLAY", EnvironmentText("DISPLAY")}, {"QT_QPA_PLATFORM", "xcb"}}));
    const int port = m_World->WaitForPort();
    ASSERT_GT(port, 0) << ReadLogFolder(m_Folder) << m_World->Server().Stderr();
    EXPECT_THAT(ReadLogFolder(m_Folder), Not(HasSubstr("runs in the terminal")));

    std::unique_ptr<CPosClient> lane = RunSale(port);
    ASSERT_NE(nullptr, lane);
    std::optional<std::pair<xcb_window_t, std::string>> window;
    EXPECT_TRUE(
        WaitUntil([&] { return (window = display.Find(kCountsCaption)).has_value(); }, kTimeoutMs, kChildPollMs))
        << "no window with the counts caption";
    if (window) {
        EXPECT_TRUE(display.Grab(window->first, ArtefactFolder() / "kestrove_program.png"));
    }
    lane->Close();

    ASSERT_TRUE(m_World->Server().Signal(SIGTERM));
    ASSERT_TRUE(m_World->Server().Wait(kTimeoutMs));
    EXPECT_EQ(0, m_World->Server().ExitCode()) << m_World->Server().Stderr();
    const std::string log = ReadLogFolder(m_Folder);
    EXPECT_THAT(log, HasSubstr("Shut-down requested (signal 15)."));
    EXPECT_THAT(log, HasSubstr("Interfaces Stopped."));
    EXPECT_THAT(log, HasSubstr("Server Shutdown . . ."));
}

TEST_F(WindowSmokeTest, AServiceOpensNoWindowWhereADisplayIsThere) {
    CXDisplay display;
    ASSERT_TRUE(display.Connected());
    ASSERT_TRUE(m_World->Start({"/started_as_service"}, {{"DISPLAY", EnvironmentText("DISPLAY")}}));
    ASSERT_GT(m_World->WaitForPort(), 0) << ReadLogFolder(m_Folder) << m_World->Server().Stderr();
    for (const auto& [id, caption] : display.Windows()) {
        EXPECT_THAT(caption, Not(HasSubstr("Kestrove"))) << id;
    }
    EXPECT_THAT(ReadLogFolder(m_Folder), Not(HasSubstr("runs in the terminal")));
    ASSERT_TRUE(m_World->Server().Signal(SIGTERM));
    ASSERT_TRUE(m_World->Server().Wait(kTimeoutMs));
    EXPECT_EQ(0, m_World->Server().ExitCode()) << m_World->Server().Stderr();
}

} // namespace
