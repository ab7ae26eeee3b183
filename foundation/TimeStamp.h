#pragma once
// UTC instants in 100-nanosecond ticks since 1 January 1601 with the fixed text formats the system writes
// and reads, and the signed difference of two instants. Plain values: copy them freely; one object is not
// to be changed by two threads at once.

#include <cstdint>
#include <string>

// Calendar fields of an instant. DayOfWeek counts from 0 for Sunday.
struct STimeFields {
    int Year = 0;
    int Month = 0;
    int DayOfWeek = 0;
    int Day = 0;
    int Hour = 0;
    int Minute = 0;
    int Second = 0;
    int Millisecond = 0;
};

// A signed tick count, 0 when default-constructed.
class CTimeStampSpan {
public:
    CTimeStampSpan() = default;
    CTimeStampSpan(uint32_t low, uint32_t high);
    virtual ~CTimeStampSpan() = default;
    CTimeStampSpan(const CTimeStampSpan&) = default;
    CTimeStampSpan& operator=(const CTimeStampSpan&) = default;

    void Set(uint32_t low, uint32_t high);
    int64_t GetTicks() const { return m_Ticks; }
    // Whole days and whole minutes, truncated toward zero.
    int64_t GetTotalDays() const;
    int GetTotalMinutes() const;

private:
    int64_t m_Ticks = 0;
};

class CTimeStamp {
public:
    static constexpr uint64_t kTicksPerMillisecond = 10000;
    static constexpr uint64_t kTicksPerSecond = 10000000;
    static constexpr uint64_t kTicksPerMinute = 600000000;
    static constexpr uint64_t kTicksPerDay = 864000000000;
    // Ticks from 1 January 1601 to 1 January 1970.
    static constexpr uint64_t kUnixEpochTicks = 116444736000000000;

    // The current UTC time of the process clock.
    CTimeStamp();
    // Starts at tick 0, then Set.
    CTimeStamp(int year, int month, int day, int hour, int minute, int second, int millisecond);
    static CTimeStamp FromTicks(uint64_t ticks);
    virtual ~CTimeStamp() = default;
    CTimeStamp(const CTimeStamp&) = default;
    CTimeStamp& operator=(const CTimeStamp&) = default;

    // Converts the calendar time to ticks. A date the calendar refuses (30 February, hour 24, a year before
    // 1601 or after 30827) leaves the instant as it was. Returns true.
    bool Set(int year, int month, int day, int hour, int minute, int second, int millisecond);

    uint64_t GetTicks() const { return m_Ticks; }
    uint32_t GetLow() const { return static_cast<uint32_t>(m_Ticks); }
    uint32_t GetHigh() const { return static_cast<uint32_t>(m_Ticks >> 32); }

    bool operator<(const CTimeStamp& other) const { return m_Ticks < other.m_Ticks; }
    bool operator>(const CTimeStamp& other) const { return m_Ticks > other.m_Ticks; }
    bool operator==(const CTimeStamp& other) const { return m_Ticks == other.m_Ticks; }
    bool operator!=(const CTimeStamp& other) const { return m_Ticks != other.m_Ticks; }
    // This instant minus |other|.
    CTimeStampSpan operator-(const CTimeStamp& other) const;

    // The UTC calendar fields.
    STimeFields GetSystemTime() const;
    // Year 2010 to 2115 and every field in its range.
    bool IsValid() const;

    // "%04d%02d%02d%02d%02d%02d": year, month, day, hour, minute, second (UTC).
    std::string FormatCompact() const;
    // "%d:%d:%d:%d:%d:%d:%d": year, month, day, hour, minute, second, millisecond (UTC).
    std::string FormatFields() const;
    // "%d/%d/%d %d:%02d:%02d": month, day, year, hour, minute, second (UTC).
    std::string FormatDateTime() const;
    // "%d/%d/%d %02d:%02d:%d": month, day, year, hour, minute, second (UTC).
    std::string FormatDateTimeShort() const;
    // "%d/%d/%d": month, day, year (UTC).
    std::string FormatDate() const;
    // "%d/%d/%d": month, day, year (local time; UTC when the local conversion fails).
    std::string FormatLocalDate() const;
    // "%d/%d/%d %d:%02d:%02d %s (%d)": local month, day, year, hour, minute, second, zone name and the zone's
    // bias (UTC minus local) in whole hours.
    std::string FormatLocalDateTimeZone() const;

    // Reads a FormatCompact text (millisecond 0); a date the calendar refuses gives tick 0. Returns IsValid.
    bool ParseCompact(const std::string& text);
    // Reads a FormatFields text (missing items read as 0); a date the calendar refuses gives tick 0.
    // Returns IsValid.
    bool ParseFields(const std::string& text);

private:
    explicit CTimeStamp(uint64_t ticks) : m_Ticks(ticks) {}

    uint64_t m_Ticks = 0;
};
