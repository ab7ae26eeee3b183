#include "platform/LocalTime.h"

#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "common/ScopedEnvironment.h"
#include "common/ScopedTimeZone.h"
#include "common/TestClock.h"

TEST(LocalTimeTest, NowTextIsTheProcessClockInTheLocalZone) {
    using namespace std::chrono;
    CTestClock clock(1000, sys_days(year(2012) / 3 / 15) + hours(23) + minutes(4) + seconds(5));
    const CScopedClock scoped(clock);
    const CScopedTimeZone zone("XST-2"); // two hours east of UTC
    for (const ZoneRead read : {ZoneRead::kAgain, ZoneRead::kAsLoaded}) {
        EXPECT_EQ(LocalNowText("[%m/%d/%y %H:%M:%S] ", read), "[03/16/12 01:04:05] ");
        std::tm local{};
        ASSERT_TRUE(LocalCalendarNow(local, read));
        EXPECT_EQ(CalendarTimeText(local, "%H%M%S"), "010405");
        EXPECT_EQ(CalendarTimeText(local, "%m%d%Y"), "03162012");
    }
    clock.Advance(1000);
    EXPECT_EQ(LocalNowText("%H:%M:%S", ZoneRead::kAsLoaded), "01:04:06");

    std::tm local{};
    ASSERT_TRUE(LocalCalendarNow(local, ZoneRead::kAsLoaded));
    EXPECT_EQ(CalendarTimeText(local, "%%"), "%");
    EXPECT_EQ(CalendarTimeText(local, std::string(200, 'x').c_str()), ""); // too long for the text
}

TEST(LocalTimeTest, ReadingTheZoneAgainTakesAChangedZoneAtOnce) {
    using namespace std::chrono;
    CTestClock clock(1000, sys_days(year(2012) / 3 / 15) + hours(23) + minutes(4) + seconds(5));
    const CScopedClock scoped(clock);
    const CScopedTimeZone loaded("XST-2");
    {
        // TZ changed without telling the C library: only a conversion that reads the zone again sees it.
        const CScopedEnvironmentVariable changed("TZ", "YST+5");
        EXPECT_EQ(LocalNowText("%H:%M:%S", ZoneRead::kAgain), "18:04:05");
    }
    EXPECT_EQ(LocalNowText("%H:%M:%S", ZoneRead::kAgain), "01:04:05");
}
