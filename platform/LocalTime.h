#pragma once
// Conversions between instants and the local calendar of the zone that TZ names at the time of the call, and
// the local time now as text. Free functions without state: any thread may call them.

#include <ctime>
#include <string>

// The local calendar time of |time|; false when the C library cannot convert it.
bool LocalCalendarTime(std::time_t time, std::tm& local);
// The instant of the local calendar time |local|, as mktime gives it (the fields are normalised and the day
// of week, day of year and daylight-saving flag filled in); false when it cannot be represented.
bool LocalInstant(std::tm& local, std::time_t& time);

// Whether a conversion of now reads the zone again first, so that a changed TZ or zone file counts at once.
// Reading it again checks the zone file each time, which costs several times a log line's whole work: the log's
// stamps and the window's clocks take the zone as it was last read, by any caller.
enum class ZoneRead {
    kAgain,
    kAsLoaded,
};

// The local calendar time of now by the process clock (GetClock().WallNow()); false when the C library cannot
// convert it.
bool LocalCalendarNow(std::tm& local, ZoneRead zone);
// |local| as strftime writes |format|; "" when the text would pass 127 characters.
std::string CalendarTimeText(const std::tm& local, const char* format) __attribute__((format(strftime, 2, 0)));
// Now in the local calendar as strftime writes |format|; a calendar time of zeros when now cannot be converted.
std::string LocalNowText(const char* format, ZoneRead zone) __attribute__((format(strftime, 1, 0)));
