#include "kxlib/kxDate.h"

#include <chrono>
#include <climits>
#include <cstdint>
#include <ctime>
#include <string>

#include <gtest/gtest.h>

#include "common/ScopedTimeZone.h"
#include "common/TestClock.h"
#include "kxlib/kxException.h"

namespace {

// The text of the kxException that |make| throws, or "" when it throws none.
template <typename Make> std::string ThrownText(Make make) {
    try {
        make();
    } catch (const kxException& e) {
        return e.Str();
    }
    return "";
}

std::string Iso(const kxDate& date) {
    return date.ToIso8601().Str();
}

const kxDate kSample(2012, 3, 15, 8, 5, 9, 7); // a Thursday

} // namespace

TEST(kxDate, CalendarMatchesTheProlepticGregorianCalendarDayByDay) {
    using namespace std::chrono;
    int checked = 0;
    for (sys_days day = sys_days(year(1600) / January / 1); day <= sys_days(year(2400) / December / 31);
         day += days(1)) {
        const year_month_day ymd(day);
        const kxDate date(static_cast<uint16_t>(static_cast<int>(ymd.year())),
                          static_cast<uint16_t>(static_cast<unsigned>(ymd.month())),
                          static_cast<uint16_t>(static_cast<unsigned>(ymd.day())));
        const kxDateParts parts = date.GetParts();
        ASSERT_EQ(parts.Year, static_cast<int>(ymd.year())) << checked;
        ASSERT_EQ(parts.Month, static_cast<unsigned>(ymd.month())) << checked;
        ASSERT_EQ(parts.Day, static_cast<unsigned>(ymd.day())) << checked;
        // Julian Day 2440588 is 1970-01-01.
        ASSERT_DOUBLE_EQ(date.Value(), 2440588.0 + day.time_since_epoch().count());
        ASSERT_EQ(date.DayOfWeek(), static_cast<int>(weekday(day).c_encoding()) + 1);
        ++checked;
    }
    // The ends of the range a date can hold.
    EXPECT_EQ(Iso(kxDate(1, 1, 1)), "1-01-01T00:00:00.000");
    EXPECT_EQ(Iso(kxDate(65535, 12, 31, 23, 59, 59, 999)), "65535-12-31T23:59:59.999");
}

TEST(kxDate, PartsAreCheckedInOrderWithTheLibraryTexts) {
    const struct {
        kxDateParts Parts;
        const char* Text;
    } cases[] = {
        {{2000, 2, 29, 0, 0, 0, 0}, ""},
        {{1900, 2, 29, 0, 0, 0, 0}, "Invalid day: 29, valid days in Feb: 1 through 28."},
        {{2012, 4, 31, 0, 0, 0, 0}, "Invalid day: 31, valid days in Apr: 1 through 30."},
        {{2012, 1, 0, 0, 0, 0, 0}, "Invalid day: 0, valid days in Jan: 1 through 31."},
        {{0, 13, 40, 24, 60, 60, 1000}, "Year cannot be zero."},
        {{2012, 13, 40, 24, 60, 60, 1000}, "Invalid month: 13, valid months: 1 through 12."},
        {{2012, 0, 1, 0, 0, 0, 0}, "Index (0) is an invalid eMonths enum."},
        {{2012, 12, 31, 24, 60, 60, 1000}, "Invalid hour: 24, valid hours: 0 through 23."},
        {{2012, 12, 31, 23, 60, 60, 1000}, "Invalid minute: 60, valid minutes: 0 through 59."},
        {{2012, 12, 31, 23, 59, 60, 1000}, "Invalid second: 60, valid seconds: 0 through 59."},
        {{2012, 12, 31, 23, 59, 59, 1000}, "Invalid millisecond: 1000, valid milliseconds: 0 through 999."},
        {{2012, 12, 31, 23, 59, 59, 999}, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ThrownText([&] { kxDate date(c.Parts); }), c.Text) << c.Parts.Year << "-" << c.Parts.Month;
    }
}

TEST(kxDate, TwentyFourHoursMakeExactlyOneDay) {
    kxDate byHours = kSample;
    for (int i = 0; i < 24; ++i) {
        byHours.AddHours(1);
    }
    kxDate byMinutes = kSample;
    for (int i = 0; i < 1440; ++i) {
        byMinutes.AddMinutes(1);
    }
    kxDate bySeconds = kSample;
    bySeconds.AddSeconds(86400);
    kxDate byMilliseconds = kSample;
    for (int i = 0; i < 1000; ++i) {
        byMilliseconds.AddMilliseconds(86400);
    }
    const kxDate nextDay = kSample.PlusDays(1);
    for (const kxDate* moved : {&byHours, &byMinutes, &bySeconds, &byMilliseconds}) {
        EXPECT_EQ(*moved, nextDay) << Iso(*moved);
        EXPECT_EQ(moved->Value(), nextDay.Value());
        EXPECT_EQ(Iso(*moved), "2012-03-16T08:05:09.007");
    }
    for (int i = 0; i < 24; ++i) {
        byHours.SubtractHours(1);
    }
    EXPECT_EQ(byHours, kSample);
}

TEST(kxDate, ArithmeticCrossesDaysMonthsAndYears) {
    const struct {
        kxDate Start;
        void (kxDate::*Move)(int64_t);
        int64_t Count;
        const char* Expected;
    } cases[] = {
        {kxDate(2012, 3, 15, 3), &kxDate::AddHours, -6, "2012-03-14T21:00:00.000"},
        {kxDate(2012, 3, 15, 3), &kxDate::SubtractHours, 6, "2012-03-14T21:00:00.000"},
        {kxDate(2012, 12, 31, 23, 59, 59, 999), &kxDate::AddMilliseconds, 1, "2013-01-01T00:00:00.000"},
        {kxDate(2013, 1, 1), &kxDate::SubtractMilliseconds, 1, "2012-12-31T23:59:59.999"},
        {kxDate(2012, 2, 28), &kxDate::AddDays, 1, "2012-02-29T00:00:00.000"},
        {kxDate(2013, 2, 28), &kxDate::AddDays, 1, "2013-03-01T00:00:00.000"},
        {kxDate(2012, 3, 1), &kxDate::SubtractDays, 366, "2011-03-01T00:00:00.000"},
        {kxDate(2012, 3, 15), &kxDate::AddMinutes, -1, "2012-03-14T23:59:00.000"},
        {kxDate(2012, 3, 15), &kxDate::SubtractSeconds, -61, "2012-03-15T00:01:01.000"},
        // Results outside the years 1 to 65535, and counts that overflow, leave the date as it was.
        {kxDate(1, 1, 1), &kxDate::SubtractMilliseconds, 1, "1-01-01T00:00:00.000"},
        {kxDate(65535, 12, 31, 23, 59, 59, 999), &kxDate::AddMilliseconds, 1, "65535-12-31T23:59:59.999"},
        {kxDate(2012, 3, 15), &kxDate::AddDays, INT64_MAX, "2012-03-15T00:00:00.000"},
        {kxDate(2012, 3, 15), &kxDate::SubtractDays, INT64_MIN, "2012-03-15T00:00:00.000"},
        {kxDate(2012, 3, 15), &kxDate::AddHours, -INT64_MAX / 2, "2012-03-15T00:00:00.000"},
    };
    for (const auto& c : cases) {
        kxDate date = c.Start;
        (date.*c.Move)(c.Count);
        EXPECT_EQ(Iso(date), c.Expected) << Iso(c.Start) << " by " << c.Count;
    }
    kxDate day(2012, 3, 15);
    ++day;
    EXPECT_EQ(Iso(day), "2012-03-16T00:00:00.000");
    --day;
    --day;
    EXPECT_EQ(Iso(day), "2012-03-14T00:00:00.000");
    EXPECT_EQ(Iso(day.MinusDays(14)), "2012-02-29T00:00:00.000");
    EXPECT_EQ(Iso(day), "2012-03-14T00:00:00.000");
}

TEST(kxDate, NoDateStaysNoDate) {
    kxDate none;
    none.AddDays(5);
    none.AddHours(5);
    none.SetYear(2012);
    none.SetTimeFraction(0.5);
    ++none;
    const struct {
        const char* What;
        bool Answer;
    } questions[] = {
        {"HasDate", none.HasDate()},     {"PlusDays(3).HasDate", none.PlusDays(3).HasDate()},
        {"IsWeekday", none.IsWeekday()}, {"IsWeekend", none.IsWeekend()},
        {"HasNoTime", none.HasNoTime()},
    };
    for (const auto& c : questions) {
        EXPECT_FALSE(c.Answer) << c.What;
    }
    const struct {
        const char* What;
        double Value;
    } numbers[] = {
        {"Value", none.Value()},
        {"DayOfWeek", static_cast<double>(none.DayOfWeek())},
        {"DayOfYear", static_cast<double>(none.DayOfYear())},
        {"PreviousYear", static_cast<double>(none.PreviousYear())},
        {"AsNumber", none.AsNumber()},
    };
    for (const auto& c : numbers) {
        EXPECT_EQ(c.Value, 0) << c.What;
    }
    const struct {
        const char* What;
        kxString Text;
    } texts[] = {
        {"FormatDate", none.FormatDate(1, '-', true)},
        {"FormatTime", none.FormatTime(6, ':', true)},
        {"FormatStrftime", none.FormatStrftime("%Y")},
        {"ToIso8601", none.ToIso8601()},
        {"MonthName", none.MonthName(kxDate::kWholeName)},
        {"TimeZoneName", none.TimeZoneName(true)},
        {"string", kxString(none)},
    };
    for (const auto& c : texts) {
        EXPECT_EQ(c.Text.Str(), "") << c.What;
    }
    std::time_t t = 123;
    EXPECT_FALSE(none.ToTimeT(t));
    EXPECT_EQ(t, 123);
    EXPECT_EQ(none.DaysBetween(kSample), 0);
    EXPECT_EQ(none.Compare(kSample), -1);
}

TEST(kxDate, AccessorsDeriveFromTheValue) {
    const kxDate noon(2012, 3, 15, 12);
    kxDate moved = kSample;
    moved.GoToLastDayOfYear();
    const struct {
        const char* What;
        int64_t Got;
        int64_t Expected;
    } numbers[] = {
        {"DayOfWeek", kSample.DayOfWeek(), 5},
        {"IsWeekday", kSample.IsWeekday(), true},
        {"Saturday IsWeekend", kxDate(2012, 3, 17).IsWeekend(), true},
        {"Sunday IsWeekend", kxDate(2012, 3, 18).IsWeekend(), true},
        {"DayOfYear", kSample.DayOfYear(), 75},
        {"WeekOfYear", kSample.WeekOfYear(), 11},
        {"WeekOfYear of Jan 7", kxDate(2012, 1, 7).WeekOfYear(), 1},
        {"WeekOfYear of Jan 8", kxDate(2012, 1, 8).WeekOfYear(), 2},
        {"DayOfYear of 2011-12-31", kxDate(2011, 12, 31).DayOfYear(), 365},
        {"DayOfYear of 2012-12-31", kxDate(2012, 12, 31).DayOfYear(), 366},
        {"DaysInYear", kSample.DaysInYear(), 366},
        {"DaysInYear of 1900", kxDate(1900, 6, 1).DaysInYear(), 365},
        {"Century", kSample.Century(), 2000},
        {"YearInCentury", kSample.YearInCentury(), 12},
        {"PreviousYear", kSample.PreviousYear(), 2011},
        {"NextYear", kSample.NextYear(), 2013},
        {"GoToLastDayOfYear", moved == kSample.LastDayOfYear(), true},
        {"AsLong", noon.AsLong(), 20120315},
        {"AsULong", noon.AsULong(), 20120315},
        {"AsInt", noon.AsInt(), 20120315},
        {"HasNoTime at noon", noon.HasNoTime(), false},
        {"HasNoTime at midnight", kxDate(2012, 3, 15).HasNoTime(), true},
        {"SecondsOfDay, 500 ms", kxDate(2012, 3, 15, 8, 5, 9, 500).SecondsOfDay(), 29110},
        {"SecondsOfDay, 499 ms", kxDate(2012, 3, 15, 8, 5, 9, 499).SecondsOfDay(), 29109},
        {"MillisecondsOfDay", kSample.MillisecondsOfDay(), 29109007},
        {"DaysBetween", kSample.DaysBetween(kxDate(2011, 3, 15, 23)), 366},
        {"DaysBetween, other way", kxDate(2011, 3, 15, 23).DaysBetween(kSample), 366},
        {"Compare, earlier", kSample.Compare(kxDate(2012, 3, 15, 8, 5, 9, 8)), -1},
        {"Compare, later", kSample.Compare(kxDate(2012, 3, 15, 8, 5, 9, 6)), 1},
        {"Compare, same", kSample.Compare(kSample), 0},
    };
    for (const auto& c : numbers) {
        EXPECT_EQ(c.Got, c.Expected) << c.What;
    }
    EXPECT_EQ(Iso(kSample.LastDayOfYear()), "2012-12-31T00:00:00.000");
    const struct {
        const char* What;
        double Got;
        double Expected;
    } values[] = {
        {"Value", noon.Value(), 2456002.5},
        {"TimeFraction", noon.TimeFraction(), 0.5},
        {"AsNumber", noon.AsNumber(), 20120315.5},
    };
    for (const auto& c : values) {
        EXPECT_DOUBLE_EQ(c.Got, c.Expected) << c.What;
    }
}

TEST(kxDate, NamesAndCalendarRules) {
    const struct {
        const char* What;
        kxString Name;
        const char* Expected;
    } names[] = {
        {"month", kSample.MonthName(kxDate::kWholeName), "March"},
        {"month, three letters", kSample.MonthName(kxDate::kThreeLetters), "Mar"},
        {"month, first letter", kSample.MonthName(kxDate::kFirstLetter), "M"},
        {"day", kSample.DayName(kxDate::kWholeName), "Thursday"},
        {"day, three letters", kSample.DayName(kxDate::kThreeLetters), "Thu"},
        {"month 12", kxDate::MonthName(12, kxDate::kWholeName), "December"},
        {"month 13", kxDate::MonthName(13, kxDate::kWholeName), ""},
        {"month 0", kxDate::MonthName(0, kxDate::kWholeName), ""},
        {"month, length 4", kxDate::MonthName(1, 4), ""},
        {"day 1", kxDate::DayName(1, kxDate::kWholeName), "Sunday"},
        {"day 7, first letter", kxDate::DayName(7, kxDate::kFirstLetter), "S"},
        {"day 8", kxDate::DayName(8, kxDate::kWholeName), ""},
    };
    for (const auto& c : names) {
        EXPECT_EQ(c.Name.Str(), c.Expected) << c.What;
    }
    const struct {
        const char* What;
        int Got;
        int Expected;
    } days[] = {
        {"February, leap", kxDate::DaysInMonth(2, true), 29},
        {"February", kxDate::DaysInMonth(2, false), 28},
        {"February 2000", kxDate::DaysInMonthOfYear(2, 2000), 29},
        {"February 2100", kxDate::DaysInMonthOfYear(2, 2100), 28},
        {"2000 is leap", kxDate::IsLeapYear(2000), true},
        {"2012 is leap", kxDate::IsLeapYear(2012), true},
        {"1900 is leap", kxDate::IsLeapYear(1900), false},
        {"2013 is leap", kxDate::IsLeapYear(2013), false},
    };
    for (const auto& c : days) {
        EXPECT_EQ(c.Got, c.Expected) << c.What;
    }
    for (const int month : {13, 0}) {
        EXPECT_EQ(ThrownText([&] { kxDate::DaysInMonth(static_cast<uint16_t>(month), false); }),
                  "Index (" + std::to_string(month) + ") is an invalid eMonths enum.");
    }
}

TEST(kxDate, SettingOnePartGoesThroughTheChecks) {
    kxDate date(2012, 1, 31, 10, 20, 30, 400);
    EXPECT_EQ(ThrownText([&] { date.SetMonth(2); }), "Invalid day: 31, valid days in Feb: 1 through 29.");
    EXPECT_EQ(Iso(date), "2012-01-31T10:20:30.400");
    date.SetDay(29);
    date.SetMonth(2);
    EXPECT_EQ(ThrownText([&] { date.SetYear(2013); }), "Invalid day: 29, valid days in Feb: 1 through 28.");
    EXPECT_EQ(ThrownText([&] { date.SetHour(24); }), "Invalid hour: 24, valid hours: 0 through 23.");
    EXPECT_EQ(ThrownText([&] { date.SetMillisecond(1000); }),
              "Invalid millisecond: 1000, valid milliseconds: 0 through 999.");
    date.SetYear(2016);
    date.SetHour(23);
    date.SetMinute(0);
    date.SetSecond(1);
    date.SetMillisecond(2);
    EXPECT_EQ(Iso(date), "2016-02-29T23:00:01.002");

    const struct {
        double Fraction;
        const char* Expected;
    } fractions[] = {
        {0.5, "2016-02-29T12:00:00.000"},          {1.0 / 3, "2016-02-29T08:00:00.000"},
        {0.0000000058, "2016-02-29T00:00:00.001"}, // 0.50 ms rounds up
        {0.9999999999, "2016-02-29T23:59:59.999"}, // never rounds to the next day
        {0.0, "2016-02-29T00:00:00.000"},          {1.0, "2016-02-29T23:00:01.002"},
        {-0.1, "2016-02-29T23:00:01.002"},
    };
    for (const auto& c : fractions) {
        kxDate moved = date;
        moved.SetTimeFraction(c.Fraction);
        EXPECT_EQ(Iso(moved), c.Expected) << c.Fraction;
    }
}

TEST(kxDate, FormatTypesWriteTheirTexts) {
    const CScopedTimeZone zone("EST5");
    const struct {
        int Type;
        const char* Padded;
    } cases[] = {
        {1, "2012-03-15T08:05:09.007"},
        {2, "03/15/201208:05:09"},
        {3, "03/15/201208:05"},
        {4, "03/15/201208"},
        {5, "03/15/2012"},
        {6, "2012/03/1508:05:09"},
        {9, "2012/03/15"},
        {10, "2012/15/0308:05:09"},
        {13, "2012/15/03"},
        {14, "15/03/201208:05:09"},
        {17, "15/03/2012"},
        {18, "Mar 15 201208:05:09 EST"},
        {19, "Mar 15 201208:05:09"},
        {20, "Mar 15 201208:05 EST"},
        {23, "Mar 15 201208"},
        {24, "Mar 15 2012 EST"},
        {25, "Mar 15 2012"},
        {26, "Thu, Mar 15, 201208:05:09"},
        {28, "Thu, Mar 15, 201208"},
        {29, "Thu, Mar 15, 2012"},
        {30, "Thu Mar 15 8:5:9 EST 2012"},
        {31, "Thursday, March 15, 201208:05:09"},
        {34, "Thursday, March 15, 2012"},
        {35, "Thursday March 15 8:5:9 EST 2012"},
        {0, ""},
        {36, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(kSample.FormatDate(c.Type, '/', true).Str(), c.Padded) << c.Type;
    }
    const kxDate early(2012, 3, 5, 8, 5, 9, 7);
    const struct {
        const char* What;
        kxString Made;
        const char* Expected;
    } made[] = {
        {"type 6 unpadded", early.FormatDate(6, '/', false), "2012/3/58:5:9"},
        {"type 1 unpadded", early.FormatDate(1, '/', false), "2012-03-05T8:5:9.7"},
        {"type 17 without separator", early.FormatDate(17, 0, true), "05032012"},
        {"date and time, type 6", kSample.FormatDateTime(6, true, '/', ':', " ", true, true), "2012/03/15 08:05:09"},
        {"date and time, type 2, 12-hour",
         kxDate(2012, 3, 15, 13, 5).FormatDateTime(2, false, '-', '.', " at ", false, false), "3-15-2012 at 1.5.0 pm"},
        {"date and time, type 27, 12-hour",
         kxDate(2012, 3, 15, 0, 5).FormatDateTime(27, false, 0, ':', " ", true, true), "Thu, Mar 15, 2012 12:05 am"},
        {"date and time, type 1", kxDate(2012, 3, 15, 13, 5).FormatDateTime(1, false, '/', '.', " ", true, true),
         "2012-03-15T13:05:00.000"},
        {"string of a date", kxString(kSample), "2012-03-15T08:05:09.007"},
        {"appended date", kxString("at ").Append(kSample), "at 2012-03-15T08:05:09.007"},
    };
    for (const auto& c : made) {
        EXPECT_EQ(c.Made.Str(), c.Expected) << c.What;
    }
}

TEST(kxDate, FormatTimeChoosesPrecisionAndClock) {
    const struct {
        kxDate Date;
        int Type;
        bool Pad;
        const char* Expected;
    } cases[] = {
        {kxDate(2012, 3, 15, 0, 30), 2, true, "12:30:00 am"},
        {kxDate(2012, 3, 15, 12, 30), 2, true, "12:30:00 pm"},
        {kxDate(2012, 3, 15, 13, 5), 2, false, "1:5:0 pm"},
        {kxDate(2012, 3, 15, 11, 59, 59), 3, true, "11:59 am"},
        {kSample, 1, true, "08:05:09.007 am"},
        {kSample, 4, false, "8 am"},
        {kSample, 5, true, "08:05:09.007"},
        {kSample, 5, false, "8:5:9.7"},
        {kSample, 6, true, "08:05:09"},
        {kxDate(2012, 3, 15, 23, 5), 7, true, "23:05"},
        {kSample, 8, false, "8"},
        {kSample, 0, true, ""},
        {kSample, 9, true, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.Date.FormatTime(c.Type, ':', c.Pad).Str(), c.Expected) << c.Type << " " << Iso(c.Date);
    }
    EXPECT_EQ(kSample.FormatTime(6, 0, true).Str(), "080509");
}

TEST(kxDate, FormatStrftimeFillsWeekdayAndDayOfYear) {
    EXPECT_EQ(kSample.FormatStrftime("%A %a %d %B %Y %j %H:%M:%S %w").Str(),
              "Thursday Thu 15 March 2012 075 08:05:09 4");
    EXPECT_EQ(kSample.FormatStrftime("").Str(), "");
    const std::string longPattern(3000, 'x');
    EXPECT_EQ(kSample.FormatStrftime(kxString(longPattern)).Str(), longPattern);
}

TEST(kxDate, ParsesEveryFormatFamily) {
    const struct {
        const char* Text;
        int Type;
        const char* Expected;
    } cases[] = {
        // ISO 8601
        {"2012-03-15T08:05:09", 1, "2012-03-15T08:05:09.000"},
        {"20120315T080509", 1, "2012-03-15T08:05:09.000"},
        {"2012-03-15T08:05:09.007", 1, "2012-03-15T08:05:09.007"},
        {"2012.03.15T08-05-09", 1, "2012-03-15T08:05:09.000"},
        {"2012/03/15", 1, "2012-03-15T00:00:00.000"},
        {"20120315", 1, "2012-03-15T00:00:00.000"},
        {"2012-03-15T", 1, "Date string does not conform to ISO8601 standard: \"2012-03-15T\"."},
        {"2012-03-15 08:05:09", 1, "Date string does not conform to ISO8601 standard: \"2012-03-15 08:05:09\"."},
        {"2012-0315", 1, "Date string does not conform to ISO8601 standard: \"2012-0315\"."},
        {"2012-03/15", 1, "Date string does not conform to ISO8601 standard: \"2012-03/15\"."},
        {"2012-03-15T08:05", 1, "Date string does not conform to ISO8601 standard: \"2012-03-15T08:05\"."},
        {"2012-03-15T08:05:09.7", 1, "Date string does not conform to ISO8601 standard: \"2012-03-15T08:05:09.7\"."},
        {"2012-03-15T08:05:09x007", 1,
         "Date string does not conform to ISO8601 standard: \"2012-03-15T08:05:09x007\"."},
        {"2012-03-15T08:05:09.0a7", 1,
         "Date string does not conform to ISO8601 standard: \"2012-03-15T08:05:09.0a7\"."},
        {"2012T03-15", 1, "Date string does not conform to ISO8601 standard: \"2012T03-15\"."},
        {"2012-02-30T00:00:00", 1, "Invalid day: 30, valid days in Feb: 1 through 29."},
        {"2012-13-01", 1, "Invalid month: 13, valid months: 1 through 12."},
        {"2012-00-01", 1, "Index (0) is an invalid eMonths enum."},
        {"0000-01-01", 1, "Year cannot be zero."},
        {"2012-03-15T24:00:00", 1, "Invalid hour: 24, valid hours: 0 through 23."},
        {"2012-03-15T23:59:60", 1, "Invalid second: 60, valid seconds: 0 through 59."},
        // Numeric, four field orders
        {"03/15/2012 08:05:09", 2, "2012-03-15T08:05:09.000"},
        {"03/15/2012 8:05:09 pm", 2, "2012-03-15T20:05:09.000"},
        {"03/15/2012 12:05:09 am", 2, "2012-03-15T00:05:09.000"},
        {"03/15/2012 12:05:09 PM", 2, "2012-03-15T12:05:09.000"},
        {"03/15/2012 08:05", 3, "2012-03-15T08:05:00.000"},
        {"03152012080509", 2, "2012-03-15T08:05:09.000"},
        {"03152012080509", 4, "2012-03-15T08:00:00.000"},
        {"0315201208", 2, "Date/Time string too short: \"0315201208\"."},
        {"031520120805091", 2, "Date/Time string too long: \"031520120805091\"."},
        {"03152012", 5, "2012-03-15T00:00:00.000"},
        {"3/5/2012", 5, "2012-03-05T00:00:00.000"},
        {"0315201208", 5, "Date string should not contain a time portion: \"0315201208\""},
        {"03/15/2012", 2, "Date/Time string contains too few formatting characters: \"03/15/2012\""},
        {"03/15/2012 08:05:09:11", 2,
         "Date/Time string contains too many formatting characters: \"03/15/2012 08:05:09:11\""},
        {"03/15/2012 08", 5, "Date/Time string contains too many formatting characters: \"03/15/2012 08\""},
        {"03/15/2012 08:05x", 2,
         "Date/Time string contains an unknown component at the end of the string: \"03/15/2012 08:05x\"."},
        {"03/15/2012 8:5:9:1pm", 2,
         "Date/Time string contains an unknown component at the end of the string: \"03/15/2012 8:5:9:1pm\"."},
        {"02/30/2012", 5, "Invalid day: 30, valid days in Feb: 1 through 29."},
        {"2012/03/15 08:05:09", 6, "2012-03-15T08:05:09.000"},
        {"2012-15-03 08:05", 11, "2012-03-15T08:05:00.000"},
        {"15.03.2012 08", 16, "2012-03-15T08:00:00.000"},
        {"15.03.2012", 17, "2012-03-15T00:00:00.000"},
        {"99999/1/1", 9, "65535-01-01T00:00:00.000"}, // a number never wraps into a smaller one
        {"65537/1/2012", 5, "Invalid month: 65535, valid months: 1 through 12."},
        // Month names
        {"Mar 15 2012 8:05:09 EST", 18, "2012-03-15T08:05:09.000"},
        {"march 15 2012", 25, "2012-03-15T00:00:00.000"},
        {"3 15 2012 10", 23, "2012-03-15T10:00:00.000"},
        {"Mars 15 2012", 25, "Invalid month name: \"Mars\"."},
        {"13 15 2012", 25, "Invalid month name: \"13\"."},
        {"Mar   15", 25,
         "Dates of this format must contain at least three parts. Only 2 parts were found in: \"Mar   15\"."},
        {"Mar 15 2012 8:05:09 EST extra", 18,
         "Dates of this format must contain at least three parts and no more than five. 6 parts were found in: "
         "\"Mar 15 2012 8:05:09 EST extra\"."},
        {"Tue, Mar 15, 2012 8:05:09", 26, "2012-03-15T08:05:09.000"},
        {"Thursday, March 15, 2012", 34, "2012-03-15T00:00:00.000"},
        {"Thursday; March; 15;; 2012;", 34, "2012-03-15T00:00:00.000"},
        {"Thursday, March 15, 2012", 31,
         "Dates of this format must contain at least three parts. Only 4 parts were found in: \"Thursday, March 15, "
         "2012\"."},
        {"Thu Mar 15 8:05:09 EST 2012", 30, "2012-03-15T08:05:09.000"},
        {"Thu Mar 15 8:05 EST 2012 xx", 30,
         "Dates of this format must contain six parts. 7 parts were found in: \"Thu Mar 15 8:05 EST 2012 xx\"."},
        {"Thu Mar 15 08:05 EST   2012", 30,
         "Dates of this format must contain three time parts. 2 time parts were found in: \"Thu Mar 15 08:05 EST   "
         "2012\"."},
        {"Thu Mar 15 8:05 EST   2012", 30, "Date string too short: \"Thu Mar 15 8:05 EST   2012\"."},
        // Refused before any parsing
        {"short", 1, "Date string too short: \"short\"."},
        {"short", 0, "Date string too short: \"short\"."},
        {"2012-03-15", 36, "Unknown date format type."},
        {"2012-03-15", -1, "Unknown date format type."},
    };
    for (const auto& c : cases) {
        std::string result;
        try {
            result = Iso(kxDate(c.Text, c.Type));
        } catch (const kxException& e) {
            result = e.Str();
        }
        EXPECT_EQ(result, c.Expected) << c.Text << " as type " << c.Type;
    }
}

TEST(kxDate, TypeZeroTriesOnlyTheFamilyOfTheFirstCharacter) {
    const struct {
        const char* Text;
        const char* Expected;
    } cases[] = {
        {"2012-03-15T08:05:09", "2012-03-15T08:05:09.000"},
        {"2012.03.15", "2012-03-15T00:00:00.000"},
        {"03/15/2012", "2012-03-15T00:00:00.000"},
        {"25/11/2012 10:15:20", "2012-11-25T10:15:20.000"},
        {"Thu, Mar 15, 2012", "2012-03-15T00:00:00.000"},
        {"Thu Mar 15 10:15:20 EST 2012", "2012-03-15T10:15:20.000"},
        // A month name first belongs to the types 18 to 25, which a text not starting with a digit never tries.
        {"Mar 15 2012 8:05:09", "Year cannot be zero."},
        {"garbage!", "Year cannot be zero."},
        {"99/99/9999", "Year cannot be zero."},
    };
    for (const auto& c : cases) {
        std::string result;
        try {
            result = Iso(kxDate(c.Text, 0));
        } catch (const kxException& e) {
            result = e.Str();
        }
        EXPECT_EQ(result, c.Expected) << c.Text;
    }
}

TEST(kxDate, EveryTypeParsesWhatFormatDateTimeWrote) {
    const CScopedTimeZone zone("EST5");
    const kxDate date(2012, 11, 25, 10, 15, 20); // every field two digits wide
    // How much of the time each type shows: 3 h:m:s, 2 h:m, 1 h, 0 none.
    const int shown[] = {0, 3, 3, 2, 1, 0, 3, 2, 1, 0, 3, 2, 1, 0, 3, 2, 1, 0,
                         3, 3, 2, 2, 1, 1, 0, 0, 3, 2, 1, 0, 3, 3, 2, 1, 0, 3};
    for (int type = 1; type <= kxDate::kLastFormatType; ++type) {
        const kxString text = date.FormatDateTime(type, true, '/', ':', " ", true, true);
        kxDateParts parsed;
        try {
            parsed = kxDate(text, type).GetParts();
        } catch (const kxException& e) {
            ADD_FAILURE() << type << " " << text.Str() << ": " << e.Str();
            continue;
        }
        const std::string got = kxString::Formatted("%d-%d-%d %d:%d:%d", parsed.Year, parsed.Month, parsed.Day,
                                                    parsed.Hour, parsed.Minute, parsed.Second)
                                    .Str();
        const int n = shown[type];
        const std::string expected =
            kxString::Formatted("2012-11-25 %d:%d:%d", n >= 1 ? 10 : 0, n >= 2 ? 15 : 0, n >= 3 ? 20 : 0).Str();
        EXPECT_EQ(got, expected) << type << " " << text.Str();
    }
}

TEST(kxDate, TimeTAndTheLocalZone) {
    const CScopedTimeZone zone("EST5EDT,M3.2.0,M11.1.0");
    const std::time_t instant = 1331813109; // 2012-03-15 12:05:09 UTC
    const kxDate local(instant);
    EXPECT_EQ(Iso(local), "2012-03-15T08:05:09.000"); // daylight-saving time, UTC-4
    std::time_t back = 0;
    ASSERT_TRUE(local.ToTimeT(back));
    EXPECT_EQ(back, instant);
    EXPECT_EQ(local.TimeZoneName(false).Str(), "EDT");
    EXPECT_EQ(local.TimeZoneName(true).Str(), "EDT"); // already abbreviated: kept whole
    EXPECT_EQ(kxDate(2012, 1, 15).TimeZoneName(true).Str(), "EST");

    EXPECT_FALSE(kxDate(static_cast<std::time_t>(-1)).HasDate());
    kxDate kept = kSample;
    EXPECT_FALSE(kept.SetTimeT(-1));
    EXPECT_EQ(kept, kSample);
    EXPECT_TRUE(kept.SetTimeT(0));
    EXPECT_EQ(Iso(kept), "1969-12-31T19:00:00.000");
}

TEST(kxDate, NowAndTodayReadTheProcessClock) {
    const CScopedTimeZone zone("UTC0");
    CTestClock clock(1000, std::chrono::system_clock::time_point(std::chrono::milliseconds(1331813109250)));
    const CScopedClock scoped(clock);
    EXPECT_EQ(Iso(kxDate::Now()), "2012-03-15T12:05:09.250");
    EXPECT_EQ(Iso(kxDate::Today()), "2012-03-15T00:00:00.000");
    clock.Advance(12 * 3600 * 1000);
    EXPECT_EQ(Iso(kxDate::Now()), "2012-03-16T00:05:09.250");
}
