#include "foundation/TimeStamp.h"

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <string>

#include <gtest/gtest.h>

#include "common/ScopedTimeZone.h"
#include "common/TestClock.h"

TEST(TimeStamp, SameFieldsAreEqualAndALaterMillisecondIsGreater) {
    const CTimeStamp a(2026, 3, 7, 14, 30, 5, 250);
    const CTimeStamp b(2026, 3, 7, 14, 30, 5, 250);
    const CTimeStamp later(2026, 3, 7, 14, 30, 5, 251);
    EXPECT_TRUE(a == b);
    EXPECT_FALSE(a != b);
    EXPECT_TRUE(later > a);
    EXPECT_TRUE(a < later);
    EXPECT_FALSE(a < b);
    EXPECT_EQ((later - a).GetTicks(), 10000);
    // Instants whose low halves compare the other way round: the high half decides.
    const CTimeStamp high = CTimeStamp::FromTicks(0x100000000ull);
    const CTimeStamp low = CTimeStamp::FromTicks(0xFFFFFFFFull);
    EXPECT_TRUE(high > low);
    EXPECT_EQ((high - low).GetTicks(), 1);
    EXPECT_EQ((low - high).GetTicks(), -1);
}

TEST(TimeStamp, TicksCountFromTheYear1601) {
    EXPECT_EQ(CTimeStamp(1601, 1, 1, 0, 0, 0, 0).GetTicks(), 0u);
    EXPECT_EQ(CTimeStamp(1970, 1, 1, 0, 0, 0, 0).GetTicks(), CTimeStamp::kUnixEpochTicks);
    const CTimeStamp stamp(2026, 3, 7, 9, 5, 3, 17);
    const STimeFields t = stamp.GetSystemTime();
    EXPECT_EQ(t.Year, 2026);
    EXPECT_EQ(t.Month, 3);
    EXPECT_EQ(t.Day, 7);
    EXPECT_EQ(t.DayOfWeek, 6); // a Saturday
    EXPECT_EQ(t.Hour, 9);
    EXPECT_EQ(t.Minute, 5);
    EXPECT_EQ(t.Second, 3);
    EXPECT_EQ(t.Millisecond, 17);
    EXPECT_EQ(stamp.GetLow(), static_cast<uint32_t>(stamp.GetTicks()));
    EXPECT_EQ(stamp.GetHigh(), static_cast<uint32_t>(stamp.GetTicks() >> 32));
}

TEST(TimeStamp, SetLeavesTheInstantAsItWasForARefusedDate) {
    struct SCase {
        int Year, Month, Day, Hour, Minute, Second, Millisecond;
        bool Accepted;
    };
    const SCase cases[] = {
        {2024, 2, 29, 0, 0, 0, 0, true},        {2000, 2, 29, 0, 0, 0, 0, true},
        {2100, 2, 29, 0, 0, 0, 0, false},       {2026, 2, 30, 0, 0, 0, 0, false},
        {2026, 4, 31, 0, 0, 0, 0, false},       {2026, 12, 31, 23, 59, 59, 999, true},
        {2026, 13, 1, 0, 0, 0, 0, false},       {2026, 0, 1, 0, 0, 0, 0, false},
        {2026, 1, 0, 0, 0, 0, 0, false},        {2026, 1, 1, 24, 0, 0, 0, false},
        {2026, 1, 1, 0, 60, 0, 0, false},       {2026, 1, 1, 0, 0, 60, 0, false},
        {2026, 1, 1, 0, 0, 0, 1000, false},     {2026, 1, 1, -1, 0, 0, 0, false},
        {1600, 12, 31, 0, 0, 0, 0, false},      {30828, 1, 1, 0, 0, 0, 0, false},
        {30827, 12, 31, 23, 59, 59, 999, true},
    };
    for (const SCase& c : cases) {
        CTimeStamp stamp(2020, 1, 2, 3, 4, 5, 6);
        const CTimeStamp before = stamp;
        EXPECT_TRUE(stamp.Set(c.Year, c.Month, c.Day, c.Hour, c.Minute, c.Second, c.Millisecond));
        EXPECT_EQ(stamp != before, c.Accepted) << c.Year << "-" << c.Month << "-" << c.Day << " " << c.Hour;
        if (c.Accepted) {
            const STimeFields t = stamp.GetSystemTime();
            EXPECT_EQ(t.Year, c.Year);
            EXPECT_EQ(t.Month, c.Month);
            EXPECT_EQ(t.Day, c.Day);
            EXPECT_EQ(t.Millisecond, c.Millisecond);
        }
    }
}

TEST(TimeStamp, TextFormats) {
    const CTimeStamp stamp(2026, 3, 7, 9, 5, 3, 45);
    EXPECT_EQ(stamp.FormatCompact(), "20260307090503");
    EXPECT_EQ(stamp.FormatFields(), "2026:3:7:9:5:3:45");
    EXPECT_EQ(stamp.FormatDateTime(), "3/7/2026 9:05:03");
    EXPECT_EQ(stamp.FormatDateTimeShort(), "3/7/2026 09:05:3");
    EXPECT_EQ(stamp.FormatDate(), "3/7/2026");
    const CTimeStamp evening(2026, 11, 23, 23, 59, 59, 0);
    EXPECT_EQ(evening.FormatDateTime(), "11/23/2026 23:59:59");
    EXPECT_EQ(evening.FormatDateTimeShort(), "11/23/2026 23:59:59");
}

TEST(TimeStamp, ParseCompactReadsFourteenDigits) {
    struct SCase {
        std::string Text;
        bool Valid;
        uint64_t Ticks;
    };
    const SCase cases[] = {
        {"20260307143005", true, CTimeStamp(2026, 3, 7, 14, 30, 5, 0).GetTicks()},
        {"20090101000000", false, CTimeStamp(2009, 1, 1, 0, 0, 0, 0).GetTicks()},
        {"21151231235959", true, CTimeStamp(2115, 12, 31, 23, 59, 59, 0).GetTicks()},
        {"21160101000000", false, CTimeStamp(2116, 1, 1, 0, 0, 0, 0).GetTicks()},
        {"20260230120000", false, 0},
        {"202603071430", true, CTimeStamp(2026, 3, 7, 14, 30, 0, 0).GetTicks()}, // missing seconds read as 0
        {"2026030", false, 0},                                                   // day 0 is refused
        {"", false, 0},
        {"2026x307143005", false, 0},
    };
    for (const SCase& c : cases) {
        CTimeStamp stamp(2020, 1, 1, 0, 0, 0, 0);
        EXPECT_EQ(stamp.ParseCompact(c.Text), c.Valid) << c.Text;
        EXPECT_EQ(stamp.GetTicks(), c.Ticks) << c.Text;
    }
}

TEST(TimeStamp, ParseFieldsRoundTripsAndFailsForARefusedDate) {
    const CTimeStamp original(2026, 3, 7, 9, 5, 3, 45);
    CTimeStamp parsed(2020, 1, 1, 0, 0, 0, 0);
    EXPECT_TRUE(parsed.ParseFields(original.FormatFields()));
    EXPECT_EQ(parsed, original);
    // Missing items read as 0.
    EXPECT_TRUE(parsed.ParseFields("2026:3:7"));
    EXPECT_EQ(parsed, CTimeStamp(2026, 3, 7, 0, 0, 0, 0));
    // A refused date must not report the earlier, valid instant as the parse result.
    CTimeStamp stale(2026, 3, 7, 9, 5, 3, 45);
    EXPECT_FALSE(stale.ParseFields("2026:2:30:1:2:3:4"));
    EXPECT_FALSE(stale.IsValid());
    EXPECT_FALSE(stale.ParseFields(""));
}

TEST(TimeStamp, SpanTotalsTruncateTowardZero) {
    const CTimeStamp start(2026, 3, 7, 0, 0, 0, 0);
    const CTimeStamp later(2026, 3, 8, 12, 0, 0, 0);
    EXPECT_EQ((later - start).GetTotalDays(), 1);
    EXPECT_EQ((later - start).GetTotalMinutes(), 2160);
    EXPECT_EQ((later - start).GetTicks(), 36 * 3600 * 10000000ll);
    const CTimeStamp ninetySeconds(2026, 3, 7, 0, 1, 30, 0);
    EXPECT_EQ((start - ninetySeconds).GetTotalMinutes(), -1);
    EXPECT_EQ((start - ninetySeconds).GetTotalDays(), 0);
    EXPECT_EQ((start - later).GetTotalDays(), -1);
    EXPECT_EQ(CTimeStampSpan().GetTicks(), 0);
    const CTimeStampSpan minusOne(0xFFFFFFFFu, 0xFFFFFFFFu);
    EXPECT_EQ(minusOne.GetTicks(), -1);
    CTimeStampSpan twoDays;
    twoDays.Set(static_cast<uint32_t>(2 * CTimeStamp::kTicksPerDay),
                static_cast<uint32_t>((2 * CTimeStamp::kTicksPerDay) >> 32));
    EXPECT_EQ(twoDays.GetTotalDays(), 2);
}

TEST(TimeStamp, DefaultConstructorReadsTheProcessClock) {
    using namespace std::chrono;
    const sys_time<milliseconds> wall =
        sys_days{year{2026} / 3 / 7} + hours{14} + minutes{30} + seconds{5} + milliseconds{123};
    CTestClock clock(1000000, wall);
    CScopedClock scoped(clock);
    const CTimeStamp now;
    EXPECT_EQ(now, CTimeStamp(2026, 3, 7, 14, 30, 5, 123));
    EXPECT_TRUE(now.IsValid());
    clock.Advance(60000);
    EXPECT_EQ((CTimeStamp() - now).GetTotalMinutes(), 1);
}

TEST(TimeStamp, LocalFormatsUseTheZoneOfTheInstant) {
    struct SCase {
        const char* Zone;
        CTimeStamp Stamp;
        std::string Date;
        std::string DateTimeZone;
    };
    const SCase cases[] = {
        {"UTC0", CTimeStamp(2026, 3, 7, 9, 5, 3, 0), "3/7/2026", "3/7/2026 9:05:03 UTC (0)"},
        {"EST5EDT,M3.2.0,M11.1.0", CTimeStamp(2026, 3, 7, 2, 5, 3, 0), "3/6/2026", "3/6/2026 21:05:03 EST (5)"},
        {"EST5EDT,M3.2.0,M11.1.0", CTimeStamp(2026, 7, 1, 12, 0, 0, 0), "7/1/2026", "7/1/2026 8:00:00 EDT (4)"},
        {"IST-5:30", CTimeStamp(2026, 3, 7, 20, 0, 0, 0), "3/8/2026", "3/8/2026 1:30:00 IST (-5)"},
    };
    for (const SCase& c : cases) {
        CScopedTimeZone zone(c.Zone);
        EXPECT_EQ(c.Stamp.FormatLocalDate(), c.Date) << c.Zone;
        EXPECT_EQ(c.Stamp.FormatLocalDateTimeZone(), c.DateTimeZone) << c.Zone;
    }
}
