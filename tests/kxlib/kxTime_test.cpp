#include "kxlib/kxTime.h"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "common/ScopedTimeZone.h"
#include "common/TestClock.h"
#include "kxlib/kxDate.h"

namespace {

// The time as "HH:MM:SS", or "unset".
std::string Text(const kxTime& time) {
    return time.IsSet() ? time.Format(true, false, ':').Str() : "unset";
}

} // namespace

TEST(kxTime, ParseReadsLooseTextAndRefusesBadValues) {
    const struct {
        const char* Text;
        bool Result;
        const char* Expected;
    } cases[] = {
        {"9:05:03 pm", true, "21:05:03"},
        {"090503", true, "09:05:03"},
        {"7", true, "07:00:00"},
        {"12:30 am", true, "12:30:00"},
        {"12:30 pm", true, "12:30:00"},
        {"11:59:59 PM", true, "23:59:59"},
        {"9.05.03", true, "09:05:03"},
        // A blank counts toward a field's two characters.
        {"9 5", true, "09:05:00"},
        // An empty field is 0.
        {"9::5", true, "09:00:05"},
        {"1234567", true, "12:34:56"},
        // Leading blanks are the hour's two characters.
        {"  9:05  ", true, "00:09:05"},
        {"  7", true, "00:07:00"},
        // Any other character ends a field, an empty one too.
        {"\t9:05", true, "00:09:05"},
        {"9:05  ", true, "09:05:00"},
        {"10:60", true, "11:00:00"},
        {"24:00:00", true, "24:00:00"},
        // Past the end of the day.
        {"24:00:01", false, "unset"},
        {"24:30", false, "unset"},
        {"25:00", false, "unset"},
        {"10:61", false, "unset"},
        {"13:00 pm", true, "13:00:00"},
        {"", false, "unset"},
        {" \t ", false, "unset"},
        {"abc", false, "unset"},
        {"pm", false, "unset"},
    };
    for (const auto& c : cases) {
        kxTime time(3600);
        EXPECT_EQ(time.Parse(c.Text), c.Result) << c.Text;
        EXPECT_EQ(Text(time), c.Expected) << c.Text;
        EXPECT_EQ(Text(kxTime(c.Text)), c.Expected) << c.Text;
    }
}

TEST(kxTime, FormatPadsAndUsesTheTwelveHourClock) {
    const struct {
        int32_t Seconds;
        bool Pad;
        bool TwelveHour;
        char Separator;
        const char* Expected;
    } cases[] = {
        {9 * 3600 + 5 * 60 + 3, true, true, ':', "09:05:03 am"},
        {12 * 3600, true, true, ':', "12:00:00 pm"},
        {0, true, true, ':', "12:00:00 am"},
        {86400, true, true, ':', "12:00:00 am"}, // 24:00:00 is midnight, not noon
        {86400, true, false, ':', "24:00:00"},
        {13 * 3600 + 5 * 60 + 7, false, true, '.', "1.5.7 pm"},
        {23 * 3600 + 59 * 60 + 59, true, true, ':', "11:59:59 pm"},
        {11 * 3600, false, true, ':', "11:0:0 am"},
        {9 * 3600 + 5 * 60 + 3, true, false, '\0', "090503"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(kxTime(c.Seconds).Format(c.Pad, c.TwelveHour, c.Separator).Str(), c.Expected) << c.Seconds;
    }
    const kxTime time(9 * 3600 + 5 * 60 + 3);
    const kxTime unset;
    const struct {
        const char* What;
        kxString Made;
        const char* Expected;
    } parts[] = {
        {"compact", time.FormatCompact(), "090503"},
        {"hour", time.FormatHour(false), "9"},
        {"padded minute", time.FormatMinute(true), "05"},
        {"padded two-digit hour", kxTime(36000).FormatHour(true), "10"},
        {"unset", unset.Format(true, true, ':'), ""},
        {"unset compact", unset.FormatCompact(), ""},
        {"unset second", unset.FormatSecond(true), ""},
        {"string of a time", kxString(time), "09:05:03"},
        {"appended time", kxString("at ").Append(time), "at 09:05:03"},
        {"string of unset", kxString(unset), ""},
    };
    for (const auto& c : parts) {
        EXPECT_EQ(c.Made.Str(), c.Expected) << c.What;
    }
}

TEST(kxTime, ConstructionKeepsOnlyTheDay) {
    const struct {
        kxTime Time;
        const char* Expected;
    } cases[] = {
        {kxTime(static_cast<int32_t>(0)), "00:00:00"},
        {kxTime(static_cast<int32_t>(86400)), "24:00:00"},
        {kxTime(static_cast<int32_t>(86401)), "unset"},
        {kxTime(static_cast<int32_t>(-1)), "unset"},
        {kxTime(static_cast<int64_t>(1) << 40), "unset"},
        {kxTime(-0.5), "00:00:00"},
        {kxTime(-1.0), "unset"},
        {kxTime(86399.9), "23:59:59"},
        {kxTime(86400.5), "unset"},
        {kxTime(std::numeric_limits<double>::quiet_NaN()), "unset"},
        {kxTime(), "unset"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Text(c.Time), c.Expected);
    }
    const kxTime end(static_cast<int32_t>(86400));
    EXPECT_EQ(end.GetHour(), 24);
    EXPECT_EQ(end.GetMinute(), 0);
    EXPECT_EQ(end.GetSecond(), 0);
    EXPECT_EQ(kxTime().GetHour(), 0);
}

TEST(kxTime, SettersRefuseValuesPastTheDay) {
    constexpr int32_t kHalfPastTen = 10 * 3600 + 30 * 60;
    const struct {
        int32_t Start; // kxTime::kUnset: an unset time
        bool (kxTime::*Set)(int);
        int Value;
        bool Result;
        const char* After;
    } steps[] = {
        {kHalfPastTen, &kxTime::SetMinute, 60, false, "10:30:00"},
        {kHalfPastTen, &kxTime::SetSecond, 60, false, "10:30:00"},
        {kHalfPastTen, &kxTime::SetHour, 25, false, "10:30:00"},
        {kHalfPastTen, &kxTime::SetHour, -1, false, "10:30:00"},
        {kHalfPastTen, &kxTime::SetHour, 65560, false, "10:30:00"}, // never taken modulo 65536
        {kHalfPastTen, &kxTime::SetHour, 65541, false, "10:30:00"}, // not hour 5 either
        {kHalfPastTen, &kxTime::SetHour, 24, false, "10:30:00"},    // 24:30:00 does not exist
        {kHalfPastTen, &kxTime::SetMinute, 0, true, "10:00:00"},
        {10 * 3600, &kxTime::SetHour, 24, true, "24:00:00"},
        {86400, &kxTime::SetSecond, 1, false, "24:00:00"},
        {kxTime::kUnset, &kxTime::SetMinute, 75, false, "unset"},
        {kxTime::kUnset, &kxTime::SetMinute, 7, true, "00:07:00"},
    };
    for (const auto& c : steps) {
        kxTime time(c.Start);
        EXPECT_EQ((time.*c.Set)(c.Value), c.Result) << c.Start << " " << c.Value;
        EXPECT_EQ(Text(time), c.After) << c.Start << " " << c.Value;
    }

    const struct {
        int Hour, Minute, Second;
        bool Result;
        const char* Expected;
    } sets[] = {
        {24, 0, 1, false, "unset"},    {24, 0, 0, true, "24:00:00"}, {23, 59, 59, true, "23:59:59"},
        {10, 60, 0, true, "11:00:00"}, {23, 60, 60, false, "unset"}, {25, 0, 0, false, "unset"},
        {10, 61, 0, false, "unset"},   {-1, 0, 0, false, "unset"},
    };
    for (const auto& c : sets) {
        kxTime t(100);
        EXPECT_EQ(t.Set(c.Hour, c.Minute, c.Second), c.Result) << c.Hour << ":" << c.Minute << ":" << c.Second;
        EXPECT_EQ(Text(t), c.Expected) << c.Hour << ":" << c.Minute << ":" << c.Second;
    }
}

TEST(kxTime, DayFractionRoundsToTheNearestSecond) {
    // Truncating fraction * 86400 loses a second for about a quarter of the seconds of the day.
    for (int32_t s = 0; s < 86400; ++s) {
        kxTime time;
        time.SetDayFraction(s / 86400.0);
        ASSERT_EQ(time.Seconds(), s);
        ASSERT_DOUBLE_EQ(kxTime(s).GetDayFraction(), s / 86400.0);
    }
    // The fraction a kxDate keeps comes back as the same time of day.
    for (int h = 0; h < 24; ++h) {
        for (int m = 0; m < 60; m += 7) {
            const kxDate date(2012, 3, 15, static_cast<uint16_t>(h), static_cast<uint16_t>(m), 59);
            kxTime time;
            time.SetDayFraction(date.TimeFraction());
            EXPECT_EQ(time.Seconds(), h * 3600 + m * 60 + 59);
        }
    }
    const struct {
        double Fraction;
        const char* Expected;
    } cases[] = {
        {1.0, "00:00:00"},         {1.5, "12:00:00"},       {7.25, "06:00:00"},
        {-0.1, "unset"},           {std::nan(""), "unset"}, {std::numeric_limits<double>::infinity(), "unset"},
        {0.999999999, "24:00:00"},
    };
    for (const auto& c : cases) {
        kxTime time(3600);
        time.SetDayFraction(c.Fraction);
        EXPECT_EQ(Text(time), c.Expected) << c.Fraction;
    }
    EXPECT_EQ(kxTime().GetDayFraction(), 0.0);
    EXPECT_DOUBLE_EQ(kxTime(43200).GetDayFraction(), 0.5);
}

TEST(kxTime, IsWithinAndCompare) {
    const kxTime ten(36000);
    const kxTime tenFour(36000 + 240);
    const struct {
        kxTime A;
        kxTime B;
        int32_t Tolerance;
        bool Within;
    } within[] = {
        {ten, tenFour, 300, true},
        {ten, tenFour, 200, false},
        {tenFour, ten, 240, true},
        {tenFour, ten, -5, false},
        {ten, kxTime(), 0, true},
        {kxTime(), ten, 0, true},
        {ten, ten, 0, true},
        {kxTime(0), kxTime(86400), 100000, true},
        {kxTime(0), kxTime(86400), 86399, false},
    };
    for (const auto& c : within) {
        EXPECT_EQ(c.A.IsWithin(c.B, c.Tolerance), c.Within) << Text(c.A) << " " << Text(c.B) << " " << c.Tolerance;
    }
    const struct {
        kxTime A;
        kxTime B;
        int Expected;
    } compared[] = {
        {ten, tenFour, -1},
        {tenFour, ten, 1},
        {ten, kxTime(36000), 0},
        {kxTime(), kxTime(0), -1},
    };
    for (const auto& c : compared) {
        EXPECT_EQ(c.A.Compare(c.B), c.Expected) << Text(c.A) << " " << Text(c.B);
    }
}

TEST(kxTime, NowIsTheLocalTimeOfTheProcessClock) {
    const CScopedTimeZone zone("EST5");
    CTestClock clock(1000, std::chrono::system_clock::time_point(std::chrono::seconds(1331813109)));
    const CScopedClock scoped(clock);
    EXPECT_EQ(Text(kxTime::Now()), "07:05:09"); // 12:05:09 UTC
}
