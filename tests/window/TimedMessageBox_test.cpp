// The operator's box as a window, on Qt's offscreen platform: the buttons, texts and default of each kind of
// box, the count-down and the time-out (run fast through the box's time divisor), an answer by click, the box
// that refuses to show over a window in the tray, and the service mode that shows nothing.

#include "window/TimedMessageBox.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <QMainWindow>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "QtTestSupport.h"
#include "common/TempDirTest.h"
#include "foundation/ErrorReporter.h"
#include "foundation/Logger.h"
#include "tests/app/InterfaceFakes.h"
#include "window/WindowPresenter.h"

using ::testing::HasSubstr;

namespace {

// The box on screen now, or null.
CTimedMessageBox* ShownBox() {
    return dynamic_cast<CTimedMessageBox*>(QApplication::activeModalWidget());
}

class TimedMessageBoxTest : public TempDirTest {
protected:
    void SetUp() override {
        std::filesystem::create_directory(CLogger::kFolderName);
        CTimedMessageBox::SetTimeDivisorForTesting(20); // a box second lasts 50 ms
    }
    void TearDown() override { CTimedMessageBox::SetTimeDivisorForTesting(1); }

    // Runs |step| on the box once it shows (from inside the box's own loop), then lets the box go on.
    void OnceTheBoxShows(std::function<void(CTimedMessageBox&)> step) { Poll(m_BoxPoll, std::move(step)); }
    // Runs |step| every millisecond while a box shows.
    void WhileTheBoxShows(std::function<void(CTimedMessageBox&)> step) { Poll(m_Watch, std::move(step), false); }

    static void Poll(QTimer& timer, std::function<void(CTimedMessageBox&)> step, bool once = true) {
        timer.disconnect();
        QObject::connect(&timer, &QTimer::timeout, [&timer, step, once] {
            if (CTimedMessageBox* box = ShownBox()) {
                if (once) {
                    timer.stop();
                }
                step(*box);
            }
        });
        timer.start(1);
    }

    QTimer m_BoxPoll;
    QTimer m_Watch;

    CWindowPresenter m_Presenter;
    CScopedPresenter m_Scope{m_Presenter};
};

TEST_F(TimedMessageBoxTest, OkBoxWithoutCountDownEndsAtItsTimeout) {
    bool sawBox = false;
    OnceTheBoxShows([&](CTimedMessageBox& box) {
        sawBox = true;
        EXPECT_EQ(QString(kAppTitle), box.windowTitle());
        EXPECT_EQ(Qt::ApplicationModal, box.windowModality());
        EXPECT_EQ("Saved.", box.MessageControl().text().toStdString());
        EXPECT_TRUE(box.MessageControl().alignment() & Qt::AlignHCenter); // short texts are centred
        EXPECT_FALSE(box.YesButton().isVisible());
        EXPECT_TRUE(box.NoButton().isVisible());
        EXPECT_EQ("OK", box.NoButton().text().toStdString());
        EXPECT_TRUE(box.NoButton().isDefault());
        EXPECT_FALSE(box.CountDownControl().isVisible()); // 1500 ms: one whole second, no count-down
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(kIdOk, TimedMessageBox("Saved.", false, kIdOk, 1500));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(sawBox);
    // It ended by its one timer period (1500 ms / 20), not at once.
    EXPECT_GE(elapsed, std::chrono::milliseconds(60));
    EXPECT_EQ(nullptr, ShownBox());
}

TEST_F(TimedMessageBoxTest, YesNoBoxCountsDownOnceASecondToItsDefaultNo) {
    std::vector<std::string> countDown;
    OnceTheBoxShows([&](CTimedMessageBox& box) {
        EXPECT_TRUE(box.YesButton().isVisible());
        EXPECT_TRUE(box.NoButton().isVisible());
        EXPECT_EQ("No", box.NoButton().text().toStdString());
        EXPECT_TRUE(box.NoButton().isDefault());
        EXPECT_FALSE(box.YesButton().isDefault());
        // Record every text the count-down line shows until the box goes.
        WhileTheBoxShows([&countDown](CTimedMessageBox& shown) {
            const std::string text = shown.CountDownControl().text().toStdString();
            if (shown.CountDownControl().isVisible() && (countDown.empty() || countDown.back() != text)) {
                countDown.push_back(text);
            }
        });
    });
    EXPECT_EQ(kIdNo, TimedMessageBox("Delete the lane?", false, kIdNo, 10000));
    ASSERT_GE(countDown.size(), 2u);
    EXPECT_EQ("10 seconds until \"No\" is automatically selected", countDown[0]);
    EXPECT_EQ("9 seconds until \"No\" is automatically selected", countDown[1]);
    // Counting down, never up, and never past 1.
    for (size_t i = 1; i < countDown.size(); ++i) {
        EXPECT_LT(std::stoi(countDown[i]), std::stoi(countDown[i - 1])) << countDown[i];
        EXPECT_GE(std::stoi(countDown[i]), 1);
    }
}

struct ClickCase {
    int defaultButton;
    bool clickYes;
    int expected;
};

TEST_F(TimedMessageBoxTest, WithoutTimeoutTheBoxWaitsForTheClick) {
    const std::vector<ClickCase> table = {
        {kIdYes, true, kIdYes}, {kIdYes, false, kIdNo}, {kIdNo, true, kIdYes}, {kIdOk, false, kIdOk}};
    for (const ClickCase& c : table) {
        OnceTheBoxShows([&](CTimedMessageBox& box) {
            EXPECT_FALSE(box.CountDownControl().isVisible());
            // Long enough for a timer of any box period to have fired, were there one.
            QTest::qWait(120);
            ASSERT_EQ(&box, ShownBox()) << "a box without time-out ended by itself";
            QTest::mouseClick(c.clickYes ? &box.YesButton() : &box.NoButton(), Qt::LeftButton);
        });
        EXPECT_EQ(c.expected, TimedMessageBox("Connect the lanes now? This text is longer than forty characters.",
                                              false, c.defaultButton, 0))
            << c.defaultButton << " " << c.clickYes;
    }
}

TEST_F(TimedMessageBoxTest, CallersCountDownFormatReplacesTheStandardText) {
    CTimedMessageBox box;
    box.Create();
    box.PrepareCaption();
    box.SetMessage("A message of more than forty characters is left-aligned.");
    EXPECT_TRUE(box.MessageControl().alignment() & Qt::AlignLeft);
    OnceTheBoxShows([](CTimedMessageBox& shown) {
        EXPECT_EQ("5 s left", shown.CountDownControl().text().toStdString());
        QTest::mouseClick(&shown.YesButton(), Qt::LeftButton);
    });
    box.show();
    bool timedOut = true;
    EXPECT_EQ(kIdYes, box.Run(5000, kIdNo, "%d s left", &timedOut));
    EXPECT_FALSE(timedOut);
    // After Run the buttons go and the count-down line is as it was.
    EXPECT_FALSE(box.YesButton().isVisible());
    EXPECT_FALSE(box.NoButton().isVisible());
    EXPECT_FALSE(box.CountDownControl().isVisible());
}

TEST_F(TimedMessageBoxTest, NoBoxShowsOverAMainWindowInTheTrayUnlessItWaitsForTheOperator) {
    QMainWindow hiddenMain; // exists, but hidden as in the tray
    {
        CTimedMessageBox box;
        box.Create();
        box.SetMessage("Stopping New Client Connections ...");
        box.show();
        EXPECT_FALSE(box.isVisible());
        // A question with a time-out stays hidden and takes its default.
        bool timedOut = false;
        EXPECT_EQ(kIdYes, box.Run(1500, kIdYes, {}, &timedOut));
        EXPECT_TRUE(timedOut);
        EXPECT_FALSE(box.isVisible());
    }
    // One without time-out must be answered, so it shows.
    OnceTheBoxShows([](CTimedMessageBox& box) { QTest::mouseClick(&box.NoButton(), Qt::LeftButton); });
    EXPECT_EQ(kIdNo, TimedMessageBox("Retry?", false, kIdYes, 0));
}

TEST_F(TimedMessageBoxTest, ServiceModeShowsNoWidgetAndTakesTheDefault) {
    EXPECT_EQ(kIdNo, TimedMessageBox("Service Discovery failed.\r\n   Retry?", true, kIdNo, 0));
    EXPECT_EQ(kIdYes, TimedMessageBox("Anything?", true, kIdYes, 10000));
    ReportError("Failed to Server Transaction Reversal Thread!", true, true, 0);
    QCoreApplication::processEvents();
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        EXPECT_EQ(nullptr, dynamic_cast<CTimedMessageBox*>(widget));
    }
    EXPECT_THAT(LogText(), HasSubstr("Failed to Server Transaction Reversal Thread!"));
}

TEST_F(TimedMessageBoxTest, ReportErrorShowsAnOkBoxUntilItIsAnswered) {
    std::string shown;
    OnceTheBoxShows([&](CTimedMessageBox& box) {
        shown = box.MessageControl().text().toStdString();
        EXPECT_FALSE(box.YesButton().isVisible());
        QTest::mouseClick(&box.NoButton(), Qt::LeftButton);
    });
    ReportError("Failed to start TCP/IP Server(9100)!", false, false, 0);
    EXPECT_EQ("Failed to start TCP/IP Server(9100)!", shown);
}

TEST_F(TimedMessageBoxTest, BoxAskedForOnAWorkerThreadShowsOnTheUserInterfaceThread) {
    QThread* shownOn = nullptr;
    OnceTheBoxShows([&](CTimedMessageBox& box) {
        shownOn = QThread::currentThread();
        EXPECT_EQ(QApplication::instance()->thread(), box.thread());
        QTest::mouseClick(&box.NoButton(), Qt::LeftButton);
    });
    std::atomic<int> answer{0};
    std::thread worker([&] { answer = TimedMessageBox("Retry?", false, kIdYes, 0); });
    // The user-interface thread keeps its loop running, as the start-up's pumping wait does.
    const bool answered = QTest::qWaitFor([&] { return answer.load() != 0; }, 10000);
    worker.join();
    ASSERT_TRUE(answered);
    EXPECT_EQ(kIdNo, answer.load());
    EXPECT_EQ(QApplication::instance()->thread(), shownOn);
}

TEST_F(TimedMessageBoxTest, PumpingWaitKeepsTheEventLoopRunningUntilAnEventIsSet) {
    CEvent first(true), second(false);
    bool timerRan = false;
    // A timer of the window fires during the wait, and sets the second event from another thread.
    std::thread setter;
    QTimer::singleShot(20, [&] {
        timerRan = true;
        setter = std::thread([&] { second.Set(); });
    });
    EXPECT_EQ(1, WaitAndPumpMessages({&first, &second}));
    setter.join();
    EXPECT_TRUE(timerRan);
    EXPECT_FALSE(second.IsSet()); // consumed

    // An event already set returns at once; a quit already posted wins over it.
    first.Set();
    EXPECT_EQ(0, WaitAndPumpMessages({&first, &second}));
    GetPresenter().PostQuit();
    EXPECT_EQ(-1, WaitAndPumpMessages({&first, &second}));
    EXPECT_FALSE(GetPresenter().QuitPosted());

    // A quit posted during the wait ends it.
    CEvent never(true);
    QTimer::singleShot(10, [] { GetPresenter().PostQuit(); });
    EXPECT_EQ(-1, WaitAndPumpMessages({&never}));
}

TEST_F(TimedMessageBoxTest, PumpingWaitOnAWorkerThreadIsAPlainWait) {
    CEvent event(false);
    int index = -2;
    std::thread waiter([&] { index = WaitAndPumpMessages({&event}); });
    event.Set();
    waiter.join();
    EXPECT_EQ(0, index);
}

} // namespace
