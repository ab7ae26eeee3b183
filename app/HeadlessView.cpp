#include "app/HeadlessView.h"

#include <chrono>
#include <ctime>
#include <iostream>

#include "platform/Clock.h"

std::string TrafficLineText(EViewMessage message) {
    switch (message) {
    case WM_SENDING_AUTH:
        return "Sending Auth Request to RuvuzUvir.";
    case WM_SENDING_AUTH_DIAL:
        return "Sending Auth Request (Dial) to RuvuzUvir.";
    case WM_AUTH_RESPONSE:
        return "Auth Response Received from RuvuzUvir.";
    case WM_AUTH_RESPONSE_DIAL:
        return "Auth Response Received (Dial) from RuvuzUvir.";
    case WM_SD_RESPONSE:
        return "Service Discovery Response Received from RuvuzUvir.(Pinging Servers will commence.)";
    case WM_REGISTRATION_RESPONSE:
        return "Merchant Registration Response Received from RuvuzUvir.";
    case WM_ACTIVATION_RESPONSE:
        return "Merchant Activation Response Received from RuvuzUvir.";
    case WM_SENDING_SD_REQUEST:
        return "Sending Service Discovery Request to RuvuzUvir.";
    case WM_SENDING_REGISTRATION:
        return "Sending Merchant Registration Request to RuvuzUvir.";
    case WM_SENDING_ACTIVATION:
        return "Sending Merchant Activation Request to RuvuzUvir.";
    default:
        return "";
    }
}

void CHeadlessView::SetProgress(const std::string& text) {
    Print(text);
}

void CHeadlessView::PostViewMessage(EViewMessage message) {
    const std::string text = TrafficLineText(message);
    if (text.empty()) {
        return;
    }
    const std::time_t now = std::chrono::system_clock::to_time_t(GetClock().WallNow());
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[32] = {};
    std::strftime(stamp, sizeof stamp, "[%m/%d/%y %H:%M:%S] ", &local);
    Print(stamp + text);
}

void CHeadlessView::Print(const std::string& line) {
    if (!m_Echo) {
        return;
    }
    std::lock_guard<std::mutex> guard(m_Lock);
    std::cout << line << std::endl;
}
