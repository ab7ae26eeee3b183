#include "platform/LocalTime.h"

#include <chrono>
#include <time.h>

#include "platform/Clock.h"

bool LocalCalendarTime(std::time_t time, std::tm& local) {
    // localtime_r need not read TZ again by itself; tzset makes a changed zone take effect.
    tzset();
    return localtime_r(&time, &local) != nullptr;
}

bool LocalInstant(std::tm& local, std::time_t& time) {
    // mktime answers -1 both for failure and for the second before 1970; only a failure leaves the day of
    // week unwritten.
    local.tm_wday = -1;
    const std::time_t result = std::mktime(&local);
    if (result == static_cast<std::time_t>(-1) && local.tm_wday == -1) {
        return false;
    }
    time = result;
    return true;
}

bool LocalCalendarNow(std::tm& local, ZoneRead zone) {
    const std::time_t now = std::chrono::system_clock::to_time_t(GetClock().WallNow());
    if (zone == ZoneRead::kAgain) {
        return LocalCalendarTime(now, local);
    }
    return localtime_r(&now, &local) != nullptr;
}

std::string CalendarTimeText(const std::tm& local, const char* format) {
    char text[128];
    if (std::strftime(text, sizeof text, format, &local) == 0) {
        return std::string();
    }
    return text;
}

std::string LocalNowText(const char* format, ZoneRead zone) {
    std::tm local{};
    LocalCalendarNow(local, zone);
    return CalendarTimeText(local, format);
}
