#pragma once
// The utility library's time of day: seconds since midnight, 0 to 86400 (24:00:00), or unset. Parsed from
// loose text ("9:05 pm", "090503", "7"), formatted as digits with optional zero padding and the 12-hour
// clock, and convertible to and from a fraction of a day, the form in which kxDate keeps times.
//
// Every setter that refuses a value answers false. A plain value without a virtual table: copy it freely;
// one object is not to be changed by two threads at once.

#include <cstdint>

#include "kxlib/kxString.h"

class kxTime {
public:
    static constexpr int32_t kUnset = -1;
    static constexpr int32_t kSecondsPerDay = 86400;

    // Unset.
    kxTime() = default;
    // Parse of |text| (unset when it is refused).
    explicit kxTime(const char* text);
    explicit kxTime(const kxString& text);
    // The number of seconds when it lies in 0..86400, else unset.
    explicit kxTime(int32_t seconds);
    explicit kxTime(int64_t seconds);
    // Truncated toward zero when above -1 and not above 86400, else unset.
    explicit kxTime(double seconds);
    kxTime& operator=(const kxString& text);
    kxTime& operator=(int32_t seconds);
    kxTime& operator=(int64_t seconds);
    kxTime& operator=(double seconds);

    // Reads up to three fields of at most two characters each (digits, and blanks that count toward the two),
    // from the first character on, each ended by any other single character; "pm" anywhere with an hour below
    // 12 adds 12. Leading blanks fill fields too: "  9:05" is 00:09:05, "  7" is 00:07:00. False, leaving the
    // time unset, when no digit was read or the value is out of range (hour above 24, minute or second above
    // 60, or past 24:00:00).
    bool Parse(const kxString& text);

    bool IsSet() const { return m_Seconds != kUnset; }
    // Seconds since midnight, or kUnset.
    int32_t Seconds() const { return m_Seconds; }
    // The parts; 0 when unset. 86400 reads as hour 24.
    int GetHour() const;
    int GetMinute() const;
    int GetSecond() const;
    // Replace one part (an unset time first becomes 00:00:00). Refused, with false and no change: an hour
    // above 24 (a larger value is never cut to 16 bits), a minute or second above 59, and any value that
    // would pass 24:00:00.
    bool SetHour(int hour);
    bool SetMinute(int minute);
    bool SetSecond(int second);
    // Unset first; false (and left unset) for an hour above 24, a minute or second above 60, or a total past
    // 24:00:00; true when the time was set.
    bool Set(int hour, int minute, int second);

    // 0 when the seconds are below 1 (unset included), else seconds / 86400.
    double GetDayFraction() const;
    // Whole days dropped, then rounded to the nearest second; a negative or not-a-number fraction leaves the
    // time unset.
    void SetDayFraction(double fraction);

    // The local time of day of the process clock.
    static kxTime Now();

    // True when either is unset, both are equal, or they differ by at most |toleranceSeconds| (held at
    // 0..86400).
    bool IsWithin(const kxTime& other, int32_t toleranceSeconds) const;
    // -1, 0 or 1 by the seconds, unset first.
    int Compare(const kxTime& other) const;

    // "" when unset; else "%d", with "0" in front of a single digit when |pad|.
    kxString FormatHour(bool pad) const;
    kxString FormatMinute(bool pad) const;
    kxString FormatSecond(bool pad) const;
    // Six digits "HHMMSS"; "" when unset.
    kxString FormatCompact() const;
    // Hour, |separator|, minute, |separator|, second (|separator| 0: none), each padded with |pad|; on the
    // 12-hour clock hours 0 and 24 show as 12 with " am", 12 as 12 and 13 to 23 as 1 to 11 with " pm".
    kxString Format(bool pad, bool twelveHour, char separator) const;

    friend bool operator==(const kxTime& a, const kxTime& b) { return a.m_Seconds == b.m_Seconds; }

private:
    // Rebuilds the seconds from parts; false (no change) past 24:00:00.
    bool Rebuild(int hour, int minute, int second);

    int32_t m_Seconds = kUnset;
};
