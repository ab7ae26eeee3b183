#pragma once
// Conversions between instants and the local calendar of the zone that TZ names at the time of the call.
// Free functions without state: any thread may call them.

#include <ctime>

// The local calendar time of |time|; false when the C library cannot convert it.
bool LocalCalendarTime(std::time_t time, std::tm& local);
// The instant of the local calendar time |local|, as mktime gives it (the fields are normalised and the day
// of week, day of year and daylight-saving flag filled in); false when it cannot be represented.
bool LocalInstant(std::tm& local, std::time_t& time);
