// The window-less view: the traffic line of every view message, byte for byte, and the terminal form of the
// operator's texts.

#include "app/HeadlessView.h"

#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "app/ConsolePresenter.h"

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

} // namespace
