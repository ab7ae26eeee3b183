#include "foundation/ErrorReporter.h"

#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/LogFolder.h"
#include "common/RecordingPresenter.h"
#include "common/TempDirTest.h"
#include "foundation/Logger.h"
#include "foundation/Presenter.h"
#include "foundation/TimedBoxModel.h"

namespace {
namespace fs = std::filesystem;

// Every log file the process logger wrote into the current folder, joined.
std::string LoggedBytes() {
    EXPECT_TRUE(CLogger::Instance().Flush());
    return LogText();
}

// A temporary folder with a log directory, so what the reporter logs can be read back.
class ErrorReporterTest : public TempDirTest {
protected:
    ErrorReporterTest() { fs::create_directory(CLogger::kFolderName); }
};

TEST(TimedBoxRulesTest, DefaultWordIsTheQuotedButtonName) {
    EXPECT_EQ(DefaultButtonWord(kIdOk), "\"OK\"");
    EXPECT_EQ(DefaultButtonWord(kIdYes), "\"Yes\"");
    EXPECT_EQ(DefaultButtonWord(kIdNo), "\"No\"");
    EXPECT_EQ(DefaultButtonWord(2), "UNKNOWN");
    EXPECT_EQ(DefaultButtonWord(0), "UNKNOWN");
}

TEST(TimedBoxRulesTest, CountDownShowsOnlyForMoreThanOneWholeSecond) {
    struct Case {
        uint32_t timeoutMs;
        bool countDown;
        int seconds;
        uint32_t timerPeriodMs;
    };
    const Case cases[] = {{0, false, 0, 0},        {999, false, 0, 999},    {1000, false, 1, 1000},
                          {1500, false, 1, 1500},  {1999, false, 1, 1999},  {2000, true, 2, 1000},
                          {10000, true, 10, 1000}, {10999, true, 10, 1000}, {4294967295u, true, 4294967, 1000}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.timeoutMs);
        EXPECT_EQ(ShowsCountDown(c.timeoutMs), c.countDown);
        EXPECT_EQ(CountDownSeconds(c.timeoutMs), c.seconds);
        CBoxRequest request;
        request.timeoutMs = c.timeoutMs;
        CTimedBoxModel box(request);
        EXPECT_EQ(box.CountDownVisible(), c.countDown);
        EXPECT_EQ(box.TimerPeriodMs(), c.timerPeriodMs);
    }
}

TEST(TimedBoxRulesTest, TenSecondYesNoBoxCountsDownOnceASecondToNo) {
    CBoxRequest request;
    request.kind = EBoxKind::YesNo;
    request.defaultButton = kIdNo;
    request.timeoutMs = 10000;
    CTimedBoxModel box(request);
    EXPECT_EQ(box.CountDownLine(), "10 seconds until \"No\" is automatically selected");
    for (int left = 9; left >= 1; --left) {
        ASSERT_FALSE(box.OnTimerTick());
        EXPECT_EQ(box.CountDownLine(), std::to_string(left) + " seconds until \"No\" is automatically selected");
    }
    EXPECT_TRUE(box.OnTimerTick());
    EXPECT_TRUE(box.Done());
    EXPECT_TRUE(box.TimedOut());
    EXPECT_EQ(box.Answer(), kIdNo);
}

TEST(TimedBoxRulesTest, ShortTimeoutHasNoCountDownAndTheFirstTickAnswersTheDefault) {
    CBoxRequest request;
    request.kind = EBoxKind::YesNo;
    request.defaultButton = kIdYes;
    request.timeoutMs = 1500;
    CTimedBoxModel box(request);
    EXPECT_FALSE(box.CountDownVisible());
    EXPECT_EQ(box.CountDownLine(), "");
    EXPECT_EQ(box.TimerPeriodMs(), 1500u);
    EXPECT_TRUE(box.OnTimerTick());
    EXPECT_EQ(box.Answer(), kIdYes);
}

TEST(TimedBoxRulesTest, ZeroTimeoutWaitsForTheOperator) {
    CBoxRequest request;
    request.kind = EBoxKind::YesNo;
    request.defaultButton = kIdYes;
    CTimedBoxModel box(request);
    EXPECT_EQ(box.TimerPeriodMs(), 0u);
    EXPECT_FALSE(box.OnTimerTick()); // a stray tick does not end it
    EXPECT_FALSE(box.Done());
    box.OnClick(EBoxButton::No);
    EXPECT_TRUE(box.Done());
    EXPECT_FALSE(box.TimedOut());
    EXPECT_EQ(box.Answer(), kIdNo);
}

TEST(TimedBoxRulesTest, ButtonsAndClicksFollowTheKindOfBox) {
    struct Case {
        EBoxKind kind;
        int defaultButton;
        bool yesVisible;
        const char* noLabel;
        EBoxButton marked;
        int yesAnswer; // 0: the click is ignored
        int noAnswer;
    };
    const Case cases[] = {
        {EBoxKind::Ok, kIdOk, false, "OK", EBoxButton::No, 0, kIdOk},
        {EBoxKind::YesNo, kIdYes, true, "No", EBoxButton::Yes, kIdYes, kIdNo},
        {EBoxKind::YesNo, kIdNo, true, "No", EBoxButton::No, kIdYes, kIdNo},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.defaultButton);
        CBoxRequest request;
        request.kind = c.kind;
        request.defaultButton = c.defaultButton;
        CTimedBoxModel layout(request);
        EXPECT_EQ(layout.YesVisible(), c.yesVisible);
        EXPECT_EQ(layout.NoLabel(), c.noLabel);
        EXPECT_EQ(layout.DefaultMarked(), c.marked);

        CTimedBoxModel yes(request);
        yes.OnClick(EBoxButton::Yes);
        EXPECT_EQ(yes.Done(), c.yesAnswer != 0);
        if (c.yesAnswer != 0) {
            EXPECT_EQ(yes.Answer(), c.yesAnswer);
        }
        CTimedBoxModel no(request);
        no.OnClick(EBoxButton::No);
        EXPECT_EQ(no.Answer(), c.noAnswer);
    }
}

TEST(TimedBoxRulesTest, ClickAfterTheTimeoutChangesNothing) {
    CBoxRequest request;
    request.kind = EBoxKind::YesNo;
    request.defaultButton = kIdNo;
    request.timeoutMs = 1000;
    CTimedBoxModel box(request);
    ASSERT_TRUE(box.OnTimerTick());
    box.OnClick(EBoxButton::Yes);
    EXPECT_TRUE(box.TimedOut());
    EXPECT_EQ(box.Answer(), kIdNo);
}

TEST(TimedBoxRulesTest, CallersCountDownFormatTakesTheSecondsOnly) {
    EXPECT_EQ(CountDownText(10, kIdYes), "10 seconds until \"Yes\" is automatically selected");
    EXPECT_EQ(CountDownText(7, kIdYes, "Closing in %d s"), "Closing in 7 s");
    EXPECT_EQ(CountDownText(7, kIdYes, "%3d%% left"), "  7% left");
    // Anything but exactly one integer conversion would read arguments that are not there.
    for (const char* bad : {"%s left", "%d of %d", "no conversion", "%ld", "%n", "100%"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(CountDownText(7, kIdOk, bad), "7 seconds until \"OK\" is automatically selected");
    }
}

TEST(TimedBoxRulesTest, ShortMessagesAreCentred) {
    CBoxRequest request;
    request.message = std::string(40, 'm');
    EXPECT_TRUE(CTimedBoxModel(request).CentreMessage());
    request.message += 'm';
    EXPECT_FALSE(CTimedBoxModel(request).CentreMessage());
}

TEST_F(ErrorReporterTest, ServiceModeReportErrorOnlyLogs) {
    CRecordingPresenter presenter;
    CScopedPresenter scoped(presenter);
    ReportError("The ReverseWorker thread could NOT be started.\r\nThis error is FATAL! 100% %s", true, true, 0);
    EXPECT_TRUE(presenter.Boxes().empty());
    // The message is text, not a format: its "%" signs reach the log unchanged.
    EXPECT_EQ(
        CountOf(LoggedBytes(), "]The ReverseWorker thread could NOT be started.\r\r\nThis error is FATAL! 100% %s\r\n"),
        1u);
}

TEST_F(ErrorReporterTest, ServiceModeBoxReturnsTheDefaultWithoutShowingOrLogging) {
    CRecordingPresenter presenter;
    CScopedPresenter scoped(presenter);
    for (int button : {kIdOk, kIdYes, kIdNo}) {
        EXPECT_EQ(TimedMessageBox("Retry?", true, button, 10000), button);
    }
    EXPECT_TRUE(presenter.Boxes().empty());
    EXPECT_EQ(LoggedBytes(), "");
}

TEST_F(ErrorReporterTest, ReportErrorShowsAnOkBoxAndWaitsForIt) {
    CRecordingPresenter presenter;
    CScopedPresenter scoped(presenter);
    ReportError("Logging is disabled", false, false, 5000);
    ASSERT_EQ(presenter.Boxes().size(), 1u);
    const CBoxRequest box = presenter.Boxes()[0];
    EXPECT_EQ(box.message, "Logging is disabled");
    EXPECT_EQ(box.kind, EBoxKind::Ok);
    EXPECT_EQ(box.defaultButton, kIdOk);
    EXPECT_EQ(box.timeoutMs, 5000u);
    EXPECT_FALSE(box.alreadyLogged);
    EXPECT_EQ(LoggedBytes(), "");
}

TEST_F(ErrorReporterTest, TimedMessageBoxAsksWithTheKindThatFitsTheDefault) {
    CRecordingPresenter presenter;
    CScopedPresenter scoped(presenter);
    presenter.Answer({kIdNo});
    EXPECT_EQ(TimedMessageBox("Are you SURE?", false, kIdYes, 0), kIdNo);
    presenter.Answer({kIdOk});
    EXPECT_EQ(TimedMessageBox("Check the setup", false, kIdOk, 0), kIdOk);
    ASSERT_EQ(presenter.Boxes().size(), 2u);
    EXPECT_EQ(presenter.Boxes()[0].kind, EBoxKind::YesNo);
    EXPECT_EQ(presenter.Boxes()[0].defaultButton, kIdYes);
    EXPECT_EQ(presenter.Boxes()[1].kind, EBoxKind::Ok);
}

TEST_F(ErrorReporterTest, HeadlessBoxesAnswerTheirDefaultAndAreLoggedOnce) {
    ReportError("shown and logged", true, false, 0);
    ReportError("shown only", false, false, 0);
    EXPECT_EQ(TimedMessageBox("Retry?", false, kIdNo, 10000), kIdNo);
    const std::string log = LoggedBytes();
    EXPECT_EQ(CountOf(log, "]shown and logged\r\n"), 1u);
    EXPECT_EQ(CountOf(log, "]shown only\r\n"), 1u);
    EXPECT_EQ(CountOf(log, "]Retry? [\"No\" is automatically selected]\r\n"), 1u);
}

TEST(WaitAndPumpMessagesTest, ReturnsTheIndexOfTheEventSetByAnotherThread) {
    CEvent failed(true);
    CEvent started(true);
    CEvent stop(true);
    std::thread worker([&] { started.Set(); });
    EXPECT_EQ(WaitAndPumpMessages({&failed, &started, &stop}), 1);
    worker.join();
}

TEST(WaitAndPumpMessagesTest, WaitingQuitWinsBeforeAnyEventIsTested) {
    CEvent ready(false);
    ready.Set();
    GetPresenter().PostQuit();
    EXPECT_TRUE(GetPresenter().QuitPosted());
    EXPECT_EQ(WaitAndPumpMessages({&ready}), -1);
    EXPECT_FALSE(GetPresenter().QuitPosted()); // the quit was taken
    EXPECT_TRUE(ready.IsSet());                // and the event's signal was not consumed
    EXPECT_EQ(WaitAndPumpMessages({&ready}), 0);
}

TEST(WaitAndPumpMessagesTest, QuitPostedDuringTheWaitEndsIt) {
    CEvent never(true);
    std::thread poster([] { GetPresenter().PostQuit(); });
    EXPECT_EQ(WaitAndPumpMessages({&never}), -1);
    poster.join();
}

} // namespace
