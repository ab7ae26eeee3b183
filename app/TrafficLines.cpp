#include "app/TrafficLines.h"

#include "platform/LocalTime.h"

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
    return LocalNowText("[%m/%d/%y %H:%M:%S] ", ZoneRead::kAsLoaded) + text;
}
