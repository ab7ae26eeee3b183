#include "app/TrafficLines.h"

#include <chrono>
#include <ctime>

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

std::string StampTrafficLine(const std::string& text) {
    const std::time_t now = std::chrono::system_clock::to_time_t(GetClock().WallNow());
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[32] = {};
    std::strftime(stamp, sizeof stamp, "[%m/%d/%y %H:%M:%S] ", &local);
    return stamp + text;
}
