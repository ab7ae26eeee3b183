#pragma once
// The utility library's date-and-time value: a Julian Day Number with the time of day, convertible to and from
// calendar parts, the current local time, time_t and text in 35 numbered format types.
//
// The value is kept as whole milliseconds since the start of Julian Day 0, so day, hour, minute, second and
// millisecond arithmetic is exact (24 times AddHours(1) is exactly AddDays(1)); Value() gives it as the
// library's day number, the day in the integer part and the time as a fraction of a day. A value of 0 means
// "no date": every accessor answers 0, false or "" for it and every arithmetic operation leaves it as it is.
// Arithmetic whose result would fall outside the years 1 to 65535 also leaves the value as it is.
//
// Failures throw kxException with the texts the library documents. A plain value: copy it freely; one object
// is not to be changed by two threads at once. The local-time members read the zone TZ names at the call.

#include <cstdint>
#include <ctime>

#include "kxlib/kxSecureString.h"
#include "kxlib/kxString.h"

// Calendar parts of a date: month 1 to 12, day 1 to 31, hour 0 to 23, minute and second 0 to 59, millisecond
// 0 to 999.
struct kxDateParts {
    uint16_t Year = 0;
    uint16_t Month = 0;
    uint16_t Day = 0;
    uint16_t Hour = 0;
    uint16_t Minute = 0;
    uint16_t Second = 0;
    uint16_t Millisecond = 0;
};

class kxDate {
public:
    // The months, numbered as in the calendar.
    enum eMonths {
        January = 1,
        February,
        March,
        April,
        May,
        June,
        July,
        August,
        September,
        October,
        November,
        December
    };

    // Lengths of a month or day name.
    static constexpr int kWholeName = 1;
    static constexpr int kThreeLetters = 2;
    static constexpr int kFirstLetter = 3;
    // The highest format type.
    static constexpr int kLastFormatType = 35;

    // No date.
    kxDate() = default;
    // Checks the parts (throws kxException) and sets the value.
    kxDate(uint16_t year, uint16_t month, uint16_t day, uint16_t hour = 0, uint16_t minute = 0, uint16_t second = 0,
           uint16_t millisecond = 0);
    explicit kxDate(const kxDateParts& parts);
    // Parses |text| in the format type (0: detect it). On failure the value is 0 and the parser's kxException
    // is thrown; any other failure throws "Failed to properly create an instance of \"kxDate\".".
    kxDate(const kxString& text, int formatType);
    // The local time of the instant, milliseconds 0; no date for -1 or an instant the C library cannot convert.
    explicit kxDate(std::time_t time);

    // The current local date and time with milliseconds, from the process clock.
    static kxDate Now();
    // The current local date at 00:00:00.000.
    static kxDate Today();

    // Sets the value from calendar parts after checking them (throws kxException).
    void SetParts(const kxDateParts& parts);
    // Sets the local time of |time|; false and no change for -1 or an instant the C library cannot convert.
    bool SetTimeT(std::time_t time);

    // ---- Accessors (0, false or "" for no date) ----
    bool HasDate() const { return m_Ms > 0; }
    double Value() const;
    kxDateParts GetParts() const;
    int YearInCentury() const;
    int Century() const;
    int PreviousYear() const;
    int NextYear() const;
    // 1 (Sunday) to 7 (Saturday).
    int DayOfWeek() const;
    bool IsWeekend() const;
    bool IsWeekday() const;
    int DayOfYear() const;
    // Week counted from 1: (day of year + 6) / 7.
    int WeekOfYear() const;
    int DaysInYear() const;
    bool IsLeapYear() const;
    // December 31 of the date's year at 00:00:00.000.
    kxDate LastDayOfYear() const;
    void GoToLastDayOfYear();
    bool HasNoTime() const;
    // The time of day as a fraction of a day.
    double TimeFraction() const;
    // The time of day in seconds, rounded half up.
    int32_t SecondsOfDay() const;
    int32_t MillisecondsOfDay() const;
    // year * 10000 + month * 100 + day, plus the time fraction (20120315.5); the integer forms drop the
    // fraction.
    double AsNumber() const;
    float AsFloat() const;
    int AsInt() const;
    int32_t AsLong() const;
    uint32_t AsULong() const;
    kxString MonthName(int length) const;
    kxString DayName(int length) const;
    // The local zone's name at this instant; with |abbreviate| the first letter of each blank-separated word.
    // Linux names its zones by their abbreviation already ("EST", "CET"), and a name without blanks is kept.
    kxString TimeZoneName(bool abbreviate) const;
    // The instant as time_t for the local zone; false when there is no date or it cannot be represented.
    bool ToTimeT(std::time_t& time) const;
    // "2012-03-15T08:05:09.007", in a string that is zeroed when it is destroyed.
    kxSecureString ToIso8601() const;

    // ---- Text ----
    // The date in format type 1 to 35 (listed at FormatWith in kxDate.cpp), with the type's time on the
    // 24-hour clock after it with ":"; |separator| 0 means none. "" for no date or a type outside 1 to 35.
    kxString FormatDate(int formatType, char separator, bool zeroPad) const;
    // The time of day alone: types 1 h:m:s.ms, 2 h:m:s, 3 h:m, 4 h on the 12-hour clock, 5 to 8 the same on the
    // 24-hour clock; "" for any other type.
    kxString FormatTime(int timeType, char separator, bool zeroPad) const;
    // Date and time joined by |between|, on the 24- or 12-hour clock.
    kxString FormatDateTime(int formatType, bool twentyFourHour, char dateSeparator, char timeSeparator,
                            const kxString& between, bool dateZeroPad, bool timeZeroPad) const;
    // The C library's strftime over the parts (daylight-saving flag 0); "" when the result does not fit the
    // pattern's length plus 1000 characters.
    kxString FormatStrftime(const kxString& pattern) const;

    // ---- Names and calendar rules ----
    // "" for a number or length out of range.
    static kxString MonthName(int month, int length);
    // Day 1 (Sunday) to 7 (Saturday).
    static kxString DayName(int day, int length);
    // Throws "Index (%d) is an invalid eMonths enum." for a month outside 1 to 12.
    static int DaysInMonth(int month, bool leapYear);
    static int DaysInMonthOfYear(int month, int year);
    static bool IsLeapYear(int year);

    // ---- Arithmetic (nothing for no date, or when the result leaves the years 1 to 65535) ----
    void AddDays(int64_t days);
    void SubtractDays(int64_t days);
    void AddHours(int64_t hours);
    void SubtractHours(int64_t hours);
    void AddMinutes(int64_t minutes);
    void SubtractMinutes(int64_t minutes);
    void AddSeconds(int64_t seconds);
    void SubtractSeconds(int64_t seconds);
    void AddMilliseconds(int64_t milliseconds);
    void SubtractMilliseconds(int64_t milliseconds);
    kxDate& operator++() {
        AddDays(1);
        return *this;
    }
    kxDate& operator--() {
        SubtractDays(1);
        return *this;
    }
    kxDate PlusDays(int64_t days) const;
    kxDate MinusDays(int64_t days) const;
    // The absolute difference of the day numbers; 0 when either has no date.
    int64_t DaysBetween(const kxDate& other) const;
    // 0 equal, 1 later, -1 earlier.
    int Compare(const kxDate& other) const;

    // Replace one part and rebuild the value through the checks (throws kxException).
    void SetYear(uint16_t year);
    void SetMonth(uint16_t month);
    void SetDay(uint16_t day);
    void SetHour(uint16_t hour);
    void SetMinute(uint16_t minute);
    void SetSecond(uint16_t second);
    void SetMillisecond(uint16_t millisecond);
    // |fraction| from 0 up to 1 becomes the time of day (rounded half up to the millisecond); 0 drops the time;
    // nothing happens for a fraction outside [0, 1).
    void SetTimeFraction(double fraction);

    friend bool operator==(const kxDate& a, const kxDate& b) { return a.m_Ms == b.m_Ms; }
    friend bool operator<(const kxDate& a, const kxDate& b) { return a.m_Ms < b.m_Ms; }

private:
    // Parses |text| into parts, trying the types in order for type 0; throws kxException.
    static kxDateParts ParseParts(const kxString& text, int formatType);
    // The date and time text of every Format member; |timeType| chooses the clock (2, 3, 4: 12-hour).
    kxString FormatWith(int formatType, int timeType, char dateSeparator, char timeSeparator, const char* between,
                        bool dateZeroPad, bool timeZeroPad) const;
    int64_t DayNumber() const;
    int32_t MsOfDay() const;
    // Moves the value by |count| units of |unitMs|; nothing on overflow or outside the years 1 to 65535.
    void Shift(int64_t count, int64_t unitMs, bool subtract);
    // Replaces one part through |change|, then rebuilds through the checks.
    template <typename Change> void ChangePart(Change change);

    int64_t m_Ms = 0;
};
