// The window-less view: the traffic line of every view message, byte for byte, the terminal form of the
// operator's texts, and what it keeps for the launcher pipe: the OFFLINE caption, the traffic lines, and the
// counts caption its title timer refreshes while the interfaces run.

#include "app/HeadlessView.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "app/ConsolePresenter.h"
#include "app/LauncherViewCopy.h"
#include "common/TestClock.h"
#include "common/Wait.h"
#include "platform/Clock.h"

namespace {

TEST(HeadlessViewTest, EveryViewMessageHasItsTrafficLine) {
    const std::vector<std::pair<EViewMessage, std::string>> table = {
        {WM_START_INTERFACES, ""},
        {WM_REFRESH_TITLE, ""},
        {WM_STOP_INTERFACES, ""},
        {WM_SENDING_AUTH, "Sending Auth Request to RuvuzUvir."},
        {WM_SENDING_AUTH_DIAL, "Sending Auth Request (Dial) to RuvuzUvir."},
        {WM_AUTH_RESPONSE, "Auth Response Received from RuvuzUvir."},
        {WM_AUTH_RESPONSE_DIAL, "Auth Response Received (Dial) from RuvuzUvir."},
        {WM_SET_OFFLINE_TITLE, ""},
        {WM_SD_RESPONSE, "Service Discovery Response Received from RuvuzUvir.(Pinging Servers will commence.)"},
        {WM_REGISTRATION_RESPONSE, "Merchant Registration Response Received from RuvuzUvir."},
        {WM_ACTIVATION_RESPONSE, "Merchant Activation Response Received from RuvuzUvir."},
        {WM_SENDING_SD_REQUEST, "Sending Service Discovery Request to RuvuzUvir."},
        {WM_SENDING_REGISTRATION, "Sending Merchant Registration Request to RuvuzUvir."},
        {WM_SENDING_ACTIVATION, "Sending Merchant Activation Request to RuvuzUvir."},
        {WM_TRAY_NOTIFY, ""},
    };
    for (const auto& [message, text] : table) {
        EXPECT_EQ(text, TrafficLineText(message)) << ViewMessageName(message);
    }
}

TEST(HeadlessViewTest, BoxLineBreaksBecomeTerminalLines) {
    EXPECT_EQ("Host unreachable\n   Retry?", TerminalText("Host unreachable\r\n   Retry?"));
    EXPECT_EQ("There are Client connections in Process.\nAre you SURE you want to do this?",
              TerminalText("There are Client connections in Process.\rAre you SURE you want to do this?"));
    EXPECT_EQ("a\n\nb\n", TerminalText("a\r\r\nb\n"));
}

TEST(HeadlessViewTest, TheLauncherCopyGetsTheOfflineCaptionAndTheTrafficLines) {
    CLauncherViewCopy copy;
    CHeadlessView view(false, &copy);
    view.PostOfflineTitle();
    EXPECT_EQ("Kestrove (RuvuzUvir)      OFFLINE       OFFLINE", copy.Caption());
    view.PostViewMessage(WM_SENDING_AUTH);
    view.PostViewMessage(WM_REFRESH_TITLE); // no line
    view.PostViewMessage(WM_AUTH_RESPONSE);
    const std::vector<std::string> lines = copy.TrafficLines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("Auth Response Received from RuvuzUvir.", lines[0].substr(lines[0].find("] ") + 2));
    EXPECT_EQ("Sending Auth Request to RuvuzUvir.", lines[1].substr(lines[1].find("] ") + 2));
}

TEST(HeadlessViewTest, TheTitleTimerRefreshesTheCopyEvery500MsUntilKilled) {
    CTestClock clock;
    CScopedClock clockScope(clock);
    CLauncherViewCopy copy;
    CHeadlessView view(false, &copy);
    std::mutex lock;
    std::vector<uint64_t> ticks; // the clock's time at each refresh
    std::atomic<bool> serverGone{false};
    view.SetTitleSource([&]() -> std::optional<std::string> {
        if (serverGone) {
            return std::nullopt; // the caption keeps what it shows
        }
        std::lock_guard<std::mutex> guard(lock);
        ticks.push_back(clock.TickMs());
        return "counts " + std::to_string(ticks.size());
    });
    auto refreshes = [&] {
        std::lock_guard<std::mutex> guard(lock);
        return ticks.size();
    };
    // Moves the clock in small steps until |done|.
    auto runUntil = [&](const std::function<bool()>& done) {
        return WaitUntil([&] {
            clock.Advance(10);
            return done();
        });
    };

    view.PostOfflineTitle();
    const uint64_t started = clock.TickMs();
    view.StartTitleTimer();
    view.StartTitleTimer(); // one timer, however often started
    ASSERT_TRUE(runUntil([&] { return copy.Caption() == "counts 3"; }));
    {
        std::lock_guard<std::mutex> guard(lock);
        EXPECT_GE(ticks[0] - started, 500u);
        EXPECT_GE(ticks[1] - ticks[0], 500u);
        EXPECT_GE(ticks[2] - ticks[1], 500u);
    }
    serverGone = true;
    clock.Advance(2000);
    EXPECT_FALSE(WaitUntil([&] { return copy.Caption() != "counts 3"; }, 50));

    view.KillTitleTimer();
    serverGone = false;
    const size_t before = refreshes();
    clock.Advance(5000);
    EXPECT_FALSE(WaitUntil([&] { return refreshes() != before; }, 50));
    // Started again, as after a restart.
    view.StartTitleTimer();
    EXPECT_TRUE(runUntil([&] { return refreshes() > before; }));
    view.KillTitleTimer();
}

TEST(HeadlessViewTest, WithoutALauncherCopyThereIsNoTitleTimer) {
    CHeadlessView view(false);
    int refreshes = 0;
    view.SetTitleSource([&]() -> std::optional<std::string> {
        ++refreshes;
        return "counts";
    });
    const int threads = CountEntries("/proc/self/task");
    view.StartTitleTimer();
    EXPECT_EQ(threads, CountEntries("/proc/self/task"));
    view.KillTitleTimer();
    EXPECT_EQ(0, refreshes);
}

} // namespace
