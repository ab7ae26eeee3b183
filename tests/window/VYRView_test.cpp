// The main window and its traffic view on Qt's offscreen platform, with stand-in interface pieces: the traffic
// list and its trim, the captions, view messages posted from worker threads, the start-up behind its modal
// progress box, the close with its question, closes and restarts asked for while a start is under way, the
// tray icon and the minimise rule, the menus and bars; the launcher pipe's copy of the caption and the lines,
// and its snapshot made through the window's queue.

#include "window/VYRView.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <QAction>
#include <QEvent>
#include <QHeaderView>
#include <QLabel>
#include <QMenuBar>
#include <QStatusBar>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QToolBar>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "MainWindowSupport.h"
#include "QtTestSupport.h"
#include "app/LauncherViewCopy.h"
#include "app/TrafficLines.h"
#include "common/ScopedEnvironment.h"
#include "common/TempDirTest.h"
#include "common/TestClock.h"
#include "foundation/AppMode.h"
#include "foundation/ErrorReporter.h"
#include "tests/app/BitmapFileCheck.h"
#include "tests/app/InterfaceFakes.h"
#include "transaction/TransactionQueue.h"
#include "window/AboutDlg.h"
#include "window/MainFrame.h"
#include "window/MerchantParametersDlg.h"
#include "window/TimedMessageBox.h"
#include "window/WindowPresenter.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

constexpr int kWaitMs = 10000;
// The close question as its box shows it: the "\r" breaks the line.
const char kCloseQuestion[] = "There are Client connections in Process.\nAre you SURE you want to do this?";

// The box on screen now, or null.
CTimedMessageBox* ShownBox() {
    return dynamic_cast<CTimedMessageBox*>(QApplication::activeModalWidget());
}

// Records which thread delivers each view message to the view, and in which order.
class CDeliveryRecorder final : public QObject {
public:
    bool eventFilter(QObject* /*watched*/, QEvent* event) override {
        const auto type = static_cast<uint32_t>(event->type());
        if (type >= WM_START_INTERFACES && type <= WM_TRAY_NOTIFY) {
            messages.push_back(static_cast<EViewMessage>(type));
            threads.push_back(QThread::currentThread());
        }
        return false;
    }
    std::vector<EViewMessage> messages;
    std::vector<QThread*> threads;
};

class MainWindowTest : public TempDirTest {
protected:
    void SetUp() override {
        m_Clock.SetHeldSleep(CTestClock::HeldSleep::Advances);
        PrepareStartUpState();
        Configure();
        auto interfaces = std::make_unique<CFakeInterfaces>();
        m_Fakes = interfaces.get();
        m_Frame = ShowMainWindow(std::move(interfaces), &m_View, &m_Closed);
    }
    void TearDown() override {
        m_Frame.reset();
        g_TransactionQueue.RemoveAll();
    }

    // The configured stand-in parameters, with "GO TO SYSTEM TRAY WHEN MINIMIZED" as given.
    static void Configure(const std::string& goToTray = "N") {
        CParamSettings settings = ConfiguredSettings();
        CParamMap map = settings.GetParamMap();
        ASSERT_TRUE(map.FindEntry(kParamGoToSystemTray)->SetValue(goToTray));
        settings.SetParamMap(map);
        ASSERT_TRUE(CParamStore::Instance().SetParams(settings));
    }

    // The first update and the start-up it posts, run to its end.
    void StartUp() {
        m_View->OnInitialUpdate();
        ASSERT_TRUE(
            QTest::qWaitFor([this] { return m_View->Controller().ServerRunning() && !m_View->Busy(); }, kWaitMs));
    }

    const CJournal& Journal() const { return m_Fakes->journal; }
    // One lane connected until the shut-down takes the server offline.
    void OneLaneUntilOffline() {
        m_Fakes->factory.activeCount = [this](uint64_t) { return Journal().Contains("Server.GoingOffline") ? 0 : 1; };
    }
    std::string Caption() const { return m_Frame->windowTitle().toStdString(); }

    CTestClock m_Clock;
    CScopedClock m_ClockScope{m_Clock};
    CWindowPresenter m_Presenter;
    CScopedPresenter m_PresenterScope{m_Presenter};
    std::unique_ptr<CMainFrame> m_Frame;
    CVYRView* m_View = nullptr;
    CFakeInterfaces* m_Fakes = nullptr;
    int m_Closed = 0;
    QTimer m_Answer;
};

TEST_F(MainWindowTest, The51stLineTrimsTheListToTheNewest25) {
    for (int i = 1; i <= 50; ++i) {
        m_View->AddTrafficLine("line " + std::to_string(i));
    }
    ASSERT_EQ(50u, m_View->TrafficLines().size());
    m_View->AddTrafficLine("line 51");
    const std::vector<std::string> lines = m_View->TrafficLines();
    ASSERT_EQ(25u, lines.size());
    const std::regex stamped(R"(\[\d\d/\d\d/\d\d \d\d:\d\d:\d\d\] line (\d+))");
    for (size_t i = 0; i < lines.size(); ++i) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(lines[i], match, stamped)) << lines[i];
        EXPECT_EQ(51 - static_cast<int>(i), std::stoi(match[1])) << "newest first";
    }
}

TEST_F(MainWindowTest, CaptionsOfflineUntilTheServerRunsThenTheCounts) {
    EXPECT_EQ("Kestrove", Caption()); // never a document name
    EXPECT_FALSE(m_Frame->windowFlags() & Qt::WindowCloseButtonHint);

    // No server yet: a refresh leaves the caption as it is.
    m_Frame->setWindowTitle("before");
    PostViewMessage(WM_REFRESH_TITLE); // no view connected yet: nothing happens
    m_View->PostViewMessage(WM_REFRESH_TITLE);
    QCoreApplication::processEvents();
    EXPECT_EQ("before", Caption());

    m_View->PostViewMessage(WM_SET_OFFLINE_TITLE);
    QCoreApplication::processEvents();
    EXPECT_EQ("Kestrove (RuvuzUvir)      OFFLINE       OFFLINE", Caption());

    m_Fakes->factory.activeCount = [](uint64_t) { return 3; };
    StartUp();
    EXPECT_EQ(QString(kTrafficColumnTitle), m_View->headerItem()->text(0));
    m_View->PostViewMessage(WM_REFRESH_TITLE);
    QCoreApplication::processEvents();
    EXPECT_TRUE(std::regex_match(
        Caption(), std::regex(R"(  Kestrove XML 5\.0 \(RuvuzUvir\) #Requests-> 0    #Sockets-> 3     \d\d:\d\d:\d\d)")))
        << Caption();
}

TEST_F(MainWindowTest, EveryViewMessageHasItsEffect) {
    StartUp();
    // Every message a worker posts: a traffic line where it has one (the texts are pinned in the headless
    // view's test), none otherwise.
    for (uint32_t number = WM_SENDING_AUTH; number <= WM_TRAY_NOTIFY; ++number) {
        const auto message = static_cast<EViewMessage>(number);
        const std::string text = TrafficLineText(message);
        const size_t before = m_View->TrafficLines().size();
        PostViewMessage(message); // the workers' door
        QCoreApplication::processEvents();
        if (text.empty()) {
            EXPECT_EQ(before, m_View->TrafficLines().size()) << ViewMessageName(message);
            continue;
        }
        ASSERT_EQ(before + 1, m_View->TrafficLines().size()) << ViewMessageName(message);
        const std::string top = m_View->TrafficLines().front();
        EXPECT_EQ(text, top.substr(top.find("] ") + 2)) << ViewMessageName(message);
    }
    const size_t before = m_View->TrafficLines().size();
    PostViewMessage(WM_REFRESH_TITLE);
    QCoreApplication::processEvents();
    EXPECT_EQ(before, m_View->TrafficLines().size());
}

TEST_F(MainWindowTest, ViewMessagesFromFourThreadsAreHandledOnTheUserInterfaceThreadInOrder) {
    StartUp();
    CDeliveryRecorder recorder;
    m_View->installEventFilter(&recorder);
    // Each thread posts its own request/response pair, so its order shows in the list.
    const std::vector<std::pair<EViewMessage, EViewMessage>> pairs = {
        {WM_SENDING_AUTH, WM_AUTH_RESPONSE},
        {WM_SENDING_AUTH_DIAL, WM_AUTH_RESPONSE_DIAL},
        {WM_SENDING_SD_REQUEST, WM_SD_RESPONSE},
        {WM_SENDING_REGISTRATION, WM_REGISTRATION_RESPONSE},
    };
    constexpr int kPairsEach = 5; // 40 lines: below the trim
    std::vector<std::thread> posters;
    for (const auto& pair : pairs) {
        posters.emplace_back([pair] {
            for (int i = 0; i < kPairsEach; ++i) {
                PostViewMessage(pair.first);
                PostViewMessage(pair.second);
            }
        });
    }
    for (std::thread& poster : posters) {
        poster.join();
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return recorder.messages.size() >= 4u * 2 * kPairsEach; }, kWaitMs));
    m_View->removeEventFilter(&recorder);
    for (QThread* thread : recorder.threads) {
        EXPECT_EQ(QApplication::instance()->thread(), thread);
    }
    // Oldest first: each thread's lines alternate request, response.
    std::vector<std::string> lines = m_View->TrafficLines();
    ASSERT_EQ(40u, lines.size());
    std::reverse(lines.begin(), lines.end());
    for (const auto& [request, response] : pairs) {
        const std::string requestText = TrafficLineText(request);
        const std::string responseText = TrafficLineText(response);
        int seen = 0;
        for (const std::string& line : lines) {
            const std::string text = line.substr(line.find("] ") + 2);
            if (text == requestText || text == responseText) {
                EXPECT_EQ(seen % 2 == 0 ? requestText : responseText, text);
                ++seen;
            }
        }
        EXPECT_EQ(2 * kPairsEach, seen) << requestText;
    }
}

TEST_F(MainWindowTest, StartUpRunsBehindAnApplicationModalProgressBox) {
    std::string progress;
    Qt::WindowModality modality = Qt::NonModal;
    m_Fakes->host.whileStarting = [&] {
        if (CTimedMessageBox* box = ShownBox()) {
            progress = box->MessageControl().text().toStdString();
            modality = box->windowModality();
            EXPECT_EQ(QString(kAppTitle), box->windowTitle());
        }
    };
    StartUp();
    EXPECT_EQ("Attempting to Connect to RuvuzUvir ...", progress);
    EXPECT_EQ(Qt::ApplicationModal, modality);
    EXPECT_EQ(nullptr, ShownBox()); // the box went with the handler
    // The OFFLINE caption was posted, so it comes once the handler has returned.
    QCoreApplication::processEvents();
    EXPECT_EQ("Kestrove (RuvuzUvir)      OFFLINE       OFFLINE", Caption());
}

TEST_F(MainWindowTest, CloseQuestionAnsweredNoKeepsTheInterfacesRunning) {
    OneLaneUntilOffline();
    StartUp();
    std::string asked;
    bool yesIsDefault = false;
    auto answer = [&](bool yes) {
        m_Answer.disconnect();
        QObject::connect(&m_Answer, &QTimer::timeout, [&, yes] {
            if (CTimedMessageBox* box = ShownBox(); box != nullptr && box->YesButton().isVisible()) {
                m_Answer.stop();
                asked = box->MessageControl().text().toStdString();
                yesIsDefault = box->YesButton().isDefault();
                QTest::mouseClick(yes ? &box->YesButton() : &box->NoButton(), Qt::LeftButton);
            }
        });
        m_Answer.start(1);
    };

    answer(false);
    m_Frame->ExitAction()->trigger();
    EXPECT_EQ(kCloseQuestion, asked);
    EXPECT_TRUE(yesIsDefault);
    EXPECT_FALSE(Journal().Contains("RuvuzUvir.Stop"));
    EXPECT_TRUE(m_Frame->isVisible());
    EXPECT_TRUE(m_Frame->TrayIcon().isVisible());
    EXPECT_EQ(0, m_Closed);

    asked.clear();
    answer(true);
    m_Frame->ExitAction()->trigger();
    EXPECT_EQ(kCloseQuestion, asked);
    EXPECT_TRUE(Journal().Contains("RuvuzUvir.Stop"));
    EXPECT_TRUE(Journal().Contains("Server.Destroy"));
    EXPECT_FALSE(m_Frame->isVisible());
    EXPECT_FALSE(m_Frame->TrayIcon().isVisible());
    EXPECT_EQ(1, m_Closed);
}

TEST_F(MainWindowTest, CloseAskedForDuringTheStartWaitsUntilTheStartHasEnded) {
    CEvent release(true);
    bool closeReturnedDuringStart = false;
    m_Fakes->host.whileStarting = [&] {
        // The operator's Exit arrives while the start is waiting for the host interface.
        QTimer::singleShot(0, [&] {
            m_Frame->close();
            m_Frame->close(); // asked twice: still one stop, one close
            closeReturnedDuringStart = m_View->Busy();
            release.Set();
        });
        WaitAndPumpMessages({&release});
    };
    m_View->OnInitialUpdate();
    ASSERT_TRUE(QTest::qWaitFor([this] { return m_Closed == 1; }, kWaitMs));
    QTest::qWait(20);
    EXPECT_EQ(1, m_Closed);
    EXPECT_TRUE(closeReturnedDuringStart);
    // The whole start-up ran before the stop began: no stop nested inside it.
    const std::vector<std::string> entries = Journal().Entries();
    const int started = Journal().IndexOf("Server.Start");
    const int stopping = Journal().IndexOf("ReverseWorker.Stop");
    ASSERT_GE(started, 0);
    ASSERT_GE(stopping, 0);
    EXPECT_LT(started, stopping);
    EXPECT_TRUE(Journal().Contains("Server.Destroy"));
    EXPECT_EQ(1, std::count(entries.begin(), entries.end(), "ReverseWorker.Stop"));
    EXPECT_FALSE(m_Frame->isVisible());
}

TEST_F(MainWindowTest, SignalledCloseDuringTheStartStopsWithoutAskingOnceTheStartHasEnded) {
    OneLaneUntilOffline();
    CEvent release(true);
    m_Fakes->host.whileStarting = [&] {
        QTimer::singleShot(0, [&] {
            m_Frame->RequestClose(false); // a termination signal: nobody to ask
            release.Set();
        });
        WaitAndPumpMessages({&release});
    };
    bool asked = false;
    QObject::connect(&m_Answer, &QTimer::timeout, [&] {
        CTimedMessageBox* box = ShownBox();
        asked = asked || (box != nullptr && box->YesButton().isVisible());
    });
    m_Answer.start(1);
    m_View->OnInitialUpdate();
    ASSERT_TRUE(QTest::qWaitFor([this] { return m_Closed == 1; }, kWaitMs));
    EXPECT_FALSE(asked);
    EXPECT_LT(Journal().IndexOf("Server.Start"), Journal().IndexOf("ReverseWorker.Stop"));
    EXPECT_GE(Journal().IndexOf("Server.Start"), 0);
}

TEST_F(MainWindowTest, RestartAskedForDuringTheStartRunsAfterIt) {
    CEvent release(true);
    bool firstStart = true;
    m_Fakes->host.whileStarting = [&] {
        if (!firstStart) {
            return;
        }
        firstStart = false;
        QTimer::singleShot(0, [&] {
            m_View->RequestRestart();
            release.Set();
        });
        WaitAndPumpMessages({&release});
    };
    m_View->OnInitialUpdate();
    ASSERT_TRUE(QTest::qWaitFor(
        [this] {
            const std::vector<std::string> entries = Journal().Entries();
            return std::count(entries.begin(), entries.end(), "Server.Start") == 2 && !m_View->Busy();
        },
        kWaitMs));
    const std::vector<std::string> entries = Journal().Entries();
    // Start, then the restart's stop, then its start: never a stop inside a start.
    EXPECT_EQ(2, std::count(entries.begin(), entries.end(), "RuvuzUvir.Start"));
    EXPECT_LT(Journal().IndexOf("Server.Start"), Journal().IndexOf("ReverseWorker.Stop"));
    EXPECT_FALSE(m_View->Busy());
}

TEST_F(MainWindowTest, MinimisingHidesInTheTrayOnlyWhenATrayCanHoldTheIcon) {
    Configure("Y");
    // No tray: the window minimises as any window does, and stays reachable.
    m_Frame->SetTrayAvailabilityForTesting([] { return false; });
    m_Frame->showMinimized();
    QTest::qWait(20);
    EXPECT_TRUE(m_Frame->isVisible());

    // A tray: minimising hides the window; a double click on the icon brings it back.
    m_Frame->showNormal();
    m_Frame->SetTrayAvailabilityForTesting([] { return true; });
    m_Frame->showMinimized();
    ASSERT_TRUE(QTest::qWaitFor([this] { return !m_Frame->isVisible(); }, kWaitMs));
    emit m_Frame->TrayIcon().activated(QSystemTrayIcon::Trigger); // a single click does nothing
    QTest::qWait(20);
    EXPECT_FALSE(m_Frame->isVisible());
    emit m_Frame->TrayIcon().activated(QSystemTrayIcon::DoubleClick);
    ASSERT_TRUE(QTest::qWaitFor([this] { return m_Frame->isVisible(); }, kWaitMs));
    EXPECT_FALSE(m_Frame->isMinimized());

    // Parameter 13 other than "Y": minimising keeps the window, a double click does nothing special.
    Configure("N");
    m_Frame->showMinimized();
    QTest::qWait(20);
    EXPECT_TRUE(m_Frame->isVisible());
    emit m_Frame->TrayIcon().activated(QSystemTrayIcon::DoubleClick);
    QTest::qWait(20);
    EXPECT_TRUE(m_Frame->isMinimized());
}

TEST_F(MainWindowTest, MenusBarsTrayIconAndAbout) {
    std::vector<std::string> menus;
    for (QAction* menu : m_Frame->menuBar()->actions()) {
        menus.push_back(menu->text().toStdString());
    }
    EXPECT_THAT(menus, ElementsAre("&File", "Setup", "&Help"));
    EXPECT_EQ("E&xit", m_Frame->ExitAction()->text().toStdString());
    EXPECT_EQ("&Merchant Parameters", m_Frame->MerchantParametersAction()->text().toStdString());
    EXPECT_EQ(kMerchantParametersCommand, m_Frame->MerchantParametersAction()->data().toInt());
    EXPECT_TRUE(m_Frame->MerchantParametersAction()->isEnabled());
    EXPECT_EQ("&About", m_Frame->AboutAction()->text().toStdString());
    EXPECT_NE(nullptr, m_Frame->findChild<QToolBar*>("toolbar128"));

    std::vector<std::string> indicators;
    for (QLabel* label : m_Frame->statusBar()->findChildren<QLabel*>()) {
        if (!label->text().isEmpty()) {
            indicators.push_back(label->text().toStdString());
        }
    }
    EXPECT_THAT(indicators, ::testing::IsSupersetOf({"CAP", "NUM", "SCRL"}));

    // The tray icon is there from the window's creation, whatever parameter 13 says.
    EXPECT_TRUE(m_Frame->TrayIcon().isVisible());
    EXPECT_EQ(QString(kTrayTip), m_Frame->TrayIcon().toolTip());
    EXPECT_FALSE(m_Frame->TrayIcon().icon().isNull());

    CAboutDlg about;
    EXPECT_EQ("About", about.windowTitle().toStdString());
    EXPECT_EQ("5.00.06-0001", about.VersionControl().text().toStdString());
}

TEST_F(MainWindowTest, TheLauncherCopyFollowsTheCaptionAndTheLines) {
    CLauncherViewCopy& copy = m_Fakes->launcherView;
    StartUp();
    QCoreApplication::processEvents(); // the OFFLINE caption the start-up posted
    EXPECT_EQ(Caption(), copy.Caption());
    m_Fakes->factory.activeCount = [](uint64_t) { return 2; };
    m_View->RefreshTitle();
    EXPECT_THAT(copy.Caption(), HasSubstr("#Sockets-> 2"));
    EXPECT_EQ(Caption(), copy.Caption());
    for (int i = 1; i <= 51; ++i) {
        m_View->AddTrafficLine("line " + std::to_string(i));
        ASSERT_EQ(m_View->TrafficLines(), copy.TrafficLines()) << i;
    }
    EXPECT_EQ(25u, copy.TrafficLines().size());
}

TEST_F(MainWindowTest, TheCopyStartsWithTheCaptionTheWindowShows) {
    m_View->OnInitialUpdate();
    EXPECT_EQ("Kestrove", m_Fakes->launcherView.Caption());
}

TEST_F(MainWindowTest, TheSnapshotOfTheSetupDialogIsMadeOnTheUserInterfaceThreadThroughItsQueue) {
    const std::filesystem::path documents = m_TempDir.Path() / "documents";
    std::filesystem::create_directory(documents);
    CScopedEnvironmentVariable folder("KESTROVE_COMMON_DOCUMENTS_DIR", documents.c_str());
    const QWidgetList before = QApplication::topLevelWidgets();
    std::future<std::string> reply =
        std::async(std::launch::async, [this] { return m_Fakes->launcherView.MakeSettingsForm(); });
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return reply.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, kWaitMs));
    const std::filesystem::path file = reply.get();
    EXPECT_EQ(documents, file.parent_path());
    EXPECT_EQ(".tmp", file.extension());
    // The Setup dialog's picture: as wide and high as the dialog itself.
    CMerchantParametersDlg measure;
    ASSERT_TRUE(measure.Create());
    QImage image;
    ASSERT_TRUE(testing_bitmap::IsBitmapFile(ReadFileBytes(file), &image));
    EXPECT_EQ(measure.size(), image.size());
    EXPECT_TRUE(testing_bitmap::ShowsText(image));
    // No dialog is left behind once it is drawn.
    EXPECT_EQ(before.size() + 1, QApplication::topLevelWidgets().size()); // the one measured here
}

TEST_F(MainWindowTest, AUserInterfaceThreadThatDoesNotAnswerInTimeGivesTheErrorReply) {
    CScopedEnvironmentVariable folder("KESTROVE_COMMON_DOCUMENTS_DIR", (m_TempDir.Path() / "missing").c_str());
    m_Fakes->launcherView.SetSnapshotWaitMs(100);
    // This thread is busy (as in a shut-down's client wait) and takes no events until the reply is in.
    std::future<std::string> reply =
        std::async(std::launch::async, [this] { return m_Fakes->launcherView.MakeSettingsForm(); });
    // The wait runs on the clock seam: the fixture's clock moves only when told.
    bool answered = false;
    for (int step = 0; step < 1000 && !answered; ++step) {
        m_Clock.Advance(20);
        answered = reply.wait_for(std::chrono::milliseconds(10)) == std::future_status::ready;
    }
    if (!answered) {
        m_Fakes->launcherView.CancelSnapshots(); // so the asker ends and the test reports instead of hanging
    }
    ASSERT_TRUE(answered);
    EXPECT_EQ("ERROR\x1E"
              "Failed to create dialog window.",
              reply.get());
    QCoreApplication::processEvents(); // the late request finds nobody waiting and makes nothing
}

} // namespace
