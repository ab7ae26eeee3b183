#include "platform/LocalTime.h"

#include <time.h>

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
