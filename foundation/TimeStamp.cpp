#include "foundation/TimeStamp.h"

#include <chrono>
#include <ctime>

#include "foundation/TextHelpers.h"
#include "platform/Clock.h"
#include "platform/LocalTime.h"

namespace {

constexpr int kFirstYear = 1601;
// The calendar stops where the tick count would no longer fit a signed 64-bit number.
constexpr int kLastYear = 30827;
constexpr int kValidFirstYear = 2010;
constexpr int kValidLastYear = 2115;

bool IsLeapYear(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// Days from 1 January 1970 to the given date of the proleptic Gregorian calendar.
int64_t DaysFromCivil(int64_t year, int64_t month, int64_t day) {
    year -= month <= 2 ? 1 : 0;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t yearOfEra = year - era * 400;
    const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

void CivilFromDays(int64_t days, int& year, int& month, int& day) {
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t dayOfEra = days - era * 146097;
    const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t shiftedMonth = (5 * dayOfYear + 2) / 153;
    day = static_cast<int>(dayOfYear - (153 * shiftedMonth + 2) / 5 + 1);
    month = static_cast<int>(shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9);
    year = static_cast<int>(yearOfEra + era * 400 + (month <= 2 ? 1 : 0));
}

const int64_t kDaysFrom1601To1970 = -DaysFromCivil(kFirstYear, 1, 1);

// The local calendar time of a tick count; false when the C library cannot convert it.
bool ToLocalTime(uint64_t ticks, std::tm& local) {
    const int64_t sinceEpoch = static_cast<int64_t>(ticks - CTimeStamp::kUnixEpochTicks);
    int64_t seconds = sinceEpoch / static_cast<int64_t>(CTimeStamp::kTicksPerSecond);
    if (sinceEpoch < 0 && sinceEpoch % static_cast<int64_t>(CTimeStamp::kTicksPerSecond) != 0) {
        --seconds;
    }
    return LocalCalendarTime(static_cast<std::time_t>(seconds), local);
}

} // namespace

CTimeStampSpan::CTimeStampSpan(uint32_t low, uint32_t high) {
    Set(low, high);
}

void CTimeStampSpan::Set(uint32_t low, uint32_t high) {
    m_Ticks = static_cast<int64_t>((static_cast<uint64_t>(high) << 32) | low);
}

int64_t CTimeStampSpan::GetTotalDays() const {
    return m_Ticks / static_cast<int64_t>(CTimeStamp::kTicksPerDay);
}

int CTimeStampSpan::GetTotalMinutes() const {
    return static_cast<int>(m_Ticks / static_cast<int64_t>(CTimeStamp::kTicksPerMinute));
}

CTimeStamp::CTimeStamp() {
    const auto sinceEpoch = GetClock().WallNow().time_since_epoch();
    const int64_t ticks =
        std::chrono::duration_cast<std::chrono::duration<int64_t, std::ratio<1, 10000000>>>(sinceEpoch).count();
    const int64_t total = ticks + static_cast<int64_t>(kUnixEpochTicks);
    m_Ticks = total < 0 ? 0 : static_cast<uint64_t>(total);
}

CTimeStamp::CTimeStamp(int year, int month, int day, int hour, int minute, int second, int millisecond) {
    Set(year, month, day, hour, minute, second, millisecond);
}

CTimeStamp CTimeStamp::FromTicks(uint64_t ticks) {
    return CTimeStamp(ticks);
}

bool CTimeStamp::Set(int year, int month, int day, int hour, int minute, int second, int millisecond) {
    if (year < kFirstYear || year > kLastYear || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month) ||
        hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 || millisecond < 0 ||
        millisecond > 999) {
        return true;
    }
    const uint64_t days = static_cast<uint64_t>(DaysFromCivil(year, month, day) + kDaysFrom1601To1970);
    const uint64_t seconds =
        static_cast<uint64_t>(hour) * 3600 + static_cast<uint64_t>(minute) * 60 + static_cast<uint64_t>(second);
    m_Ticks =
        days * kTicksPerDay + seconds * kTicksPerSecond + static_cast<uint64_t>(millisecond) * kTicksPerMillisecond;
    return true;
}

CTimeStampSpan CTimeStamp::operator-(const CTimeStamp& other) const {
    const uint64_t difference = m_Ticks - other.m_Ticks;
    return CTimeStampSpan(static_cast<uint32_t>(difference), static_cast<uint32_t>(difference >> 32));
}

STimeFields CTimeStamp::GetSystemTime() const {
    STimeFields fields;
    const uint64_t days = m_Ticks / kTicksPerDay;
    const uint64_t inDay = m_Ticks % kTicksPerDay;
    CivilFromDays(static_cast<int64_t>(days) - kDaysFrom1601To1970, fields.Year, fields.Month, fields.Day);
    // 1 January 1601 was a Monday.
    fields.DayOfWeek = static_cast<int>((days + 1) % 7);
    fields.Hour = static_cast<int>(inDay / (3600 * kTicksPerSecond));
    fields.Minute = static_cast<int>(inDay / kTicksPerMinute % 60);
    fields.Second = static_cast<int>(inDay / kTicksPerSecond % 60);
    fields.Millisecond = static_cast<int>(inDay / kTicksPerMillisecond % 1000);
    return fields;
}

bool CTimeStamp::IsValid() const {
    const STimeFields t = GetSystemTime();
    return t.Year >= kValidFirstYear && t.Year <= kValidLastYear && t.Month >= 1 && t.Month <= 12 && t.Day >= 1 &&
           t.Day <= 31 && t.Hour <= 24 && t.Minute <= 59 && t.Second <= 59 && t.Millisecond <= 999;
}

std::string CTimeStamp::FormatCompact() const {
    const STimeFields t = GetSystemTime();
    return FormatText("%04d%02d%02d%02d%02d%02d", t.Year, t.Month, t.Day, t.Hour, t.Minute, t.Second);
}

std::string CTimeStamp::FormatFields() const {
    const STimeFields t = GetSystemTime();
    return FormatText("%d:%d:%d:%d:%d:%d:%d", t.Year, t.Month, t.Day, t.Hour, t.Minute, t.Second, t.Millisecond);
}

std::string CTimeStamp::FormatDateTime() const {
    const STimeFields t = GetSystemTime();
    return FormatText("%d/%d/%d %d:%02d:%02d", t.Month, t.Day, t.Year, t.Hour, t.Minute, t.Second);
}

std::string CTimeStamp::FormatDateTimeShort() const {
    const STimeFields t = GetSystemTime();
    return FormatText("%d/%d/%d %02d:%02d:%d", t.Month, t.Day, t.Year, t.Hour, t.Minute, t.Second);
}

std::string CTimeStamp::FormatDate() const {
    const STimeFields t = GetSystemTime();
    return FormatText("%d/%d/%d", t.Month, t.Day, t.Year);
}

std::string CTimeStamp::FormatLocalDate() const {
    std::tm local{};
    if (!ToLocalTime(m_Ticks, local)) {
        return FormatDate();
    }
    return FormatText("%d/%d/%d", local.tm_mon + 1, local.tm_mday, local.tm_year + 1900);
}

std::string CTimeStamp::FormatLocalDateTimeZone() const {
    std::tm local{};
    if (!ToLocalTime(m_Ticks, local)) {
        const STimeFields t = GetSystemTime();
        return FormatText("%d/%d/%d %d:%02d:%02d %s (%d)", t.Month, t.Day, t.Year, t.Hour, t.Minute, t.Second, "UTC",
                          0);
    }
    const char* zone = local.tm_zone != nullptr ? local.tm_zone : "";
    const long biasMinutes = -local.tm_gmtoff / 60;
    return FormatText("%d/%d/%d %d:%02d:%02d %s (%d)", local.tm_mon + 1, local.tm_mday, local.tm_year + 1900,
                      local.tm_hour, local.tm_min, local.tm_sec, zone, static_cast<int>(biasMinutes / 60));
}

bool CTimeStamp::ParseCompact(const std::string& text) {
    const CTimeStamp parsed(LeadingInt(SafeMid(text, 0, 4)), LeadingInt(SafeMid(text, 4, 2)),
                            LeadingInt(SafeMid(text, 6, 2)), LeadingInt(SafeMid(text, 8, 2)),
                            LeadingInt(SafeMid(text, 10, 2)), LeadingInt(SafeMid(text, 12, 2)), 0);
    m_Ticks = parsed.m_Ticks;
    return IsValid();
}

bool CTimeStamp::ParseFields(const std::string& text) {
    CItemMap items;
    SplitToItems(':', text, items);
    // Built from tick 0 like ParseCompact: a refused date must not leave an earlier valid instant behind.
    const CTimeStamp parsed(LeadingInt(GetItem(items, 1)), LeadingInt(GetItem(items, 2)), LeadingInt(GetItem(items, 3)),
                            LeadingInt(GetItem(items, 4)), LeadingInt(GetItem(items, 5)), LeadingInt(GetItem(items, 6)),
                            LeadingInt(GetItem(items, 7)));
    m_Ticks = parsed.m_Ticks;
    return IsValid();
}
