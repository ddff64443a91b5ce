#include "runtime/dates.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

namespace mirl {
namespace {

constexpr int32_t Example = 1432386132; // 2015-05-23 13:02:12

TEST(Dates, FromFieldsFollowsTheCalendar) {
    EXPECT_EQ(DateFromFields(2015, 5, 23, 13, 2, 12), Example);
    EXPECT_EQ(DateFromFields(1970, 1, 1, 0, 0, 0), 0);
    EXPECT_EQ(DateFromFields(2038, 1, 19, 3, 14, 7), 2147483647);
    EXPECT_EQ(DateFromFields(2038, 1, 19, 3, 14, 8), -1);
    EXPECT_EQ(DateFromFields(2038, 1, 19, 3, 15, 0), -1);
    EXPECT_EQ(DateFromFields(2038, 1, 19, 4, 0, 0), -1);
    EXPECT_EQ(DateFromFields(2038, 1, 20, 0, 0, 0), -1);
    EXPECT_EQ(DateFromFields(2038, 2, 1, 0, 0, 0), -1);
    EXPECT_EQ(DateFromFields(2038, 1, 18, 23, 59, 59), 2147483647 - 3 * 3600 - 14 * 60 - 8);
    EXPECT_EQ(DateFromFields(1969, 12, 31, 23, 59, 59), -1);
    EXPECT_EQ(DateFromFields(2039, 1, 1, 0, 0, 0), -1);

    // Leap years: divisible by 4, not by 100 unless by 400.
    EXPECT_EQ(DateFromFields(2000, 2, 29, 0, 0, 0), 951782400);
    EXPECT_EQ(DateFromFields(2001, 2, 29, 0, 0, 0), -1);
    EXPECT_EQ(DateFromFields(2004, 2, 29, 12, 0, 0), 1078056000);
    EXPECT_EQ(DateFromFields(2004, 2, 30, 0, 0, 0), -1);
    EXPECT_EQ(DateFromFields(2000, 3, 1, 0, 0, 0) - DateFromFields(2000, 2, 28, 0, 0, 0), 2 * 86400);
    EXPECT_EQ(DateFromFields(2001, 3, 1, 0, 0, 0) - DateFromFields(2001, 2, 28, 0, 0, 0), 86400);
    for (int month : {4, 6, 9, 11}) {
        EXPECT_EQ(DateFromFields(2020, month, 31, 0, 0, 0), -1) << month;
        EXPECT_NE(DateFromFields(2020, month, 30, 0, 0, 0), -1) << month;
    }
    EXPECT_EQ(DateFromFields(2020, 12, 31, 23, 59, 59), 1609459199);

    // Fields out of range, negative ones included.
    EXPECT_EQ(DateFromFields(2020, 0, 1, 0, 0, 0), -1);
    EXPECT_EQ(DateFromFields(2020, 13, 1, 0, 0, 0), -1);
    EXPECT_EQ(DateFromFields(2020, 1, 0, 0, 0, 0), -1);
    EXPECT_EQ(DateFromFields(2020, 1, 32, 0, 0, 0), -1);
    EXPECT_EQ(DateFromFields(2020, 1, 1, 24, 0, 0), -1);
    EXPECT_EQ(DateFromFields(2020, 1, 1, -1, 0, 0), -1);
    EXPECT_EQ(DateFromFields(2020, 1, 1, 0, 60, 0), -1);
    EXPECT_EQ(DateFromFields(2020, 1, 1, 0, 0, -1), -1);
}

TEST(Dates, FromFieldsMatchesTheSystemsUtcConversionEveryDay) {
    // An independent computation: timegm over every day of the range.
    for (int32_t year = 1970; year <= 2037; ++year) {
        for (int32_t month = 1; month <= 12; ++month) {
            tm fields{};
            fields.tm_year = year - 1900;
            fields.tm_mon = month - 1;
            fields.tm_mday = 15;
            fields.tm_hour = 7;
            fields.tm_min = 8;
            fields.tm_sec = 9;
            ASSERT_EQ(DateFromFields(year, month, 15, 7, 8, 9), timegm(&fields)) << year << "-" << month;
        }
    }
}

TEST(Dates, ToTextExpandsTheMasks) {
    EXPECT_EQ(DateToText("%yy%mm%dd-%hh%ii", Example), "150523-1302");
    EXPECT_EQ(DateToText("%dd-%hh:%ii:%ss ", Example), "23-13:02:12 ");
    EXPECT_EQ(DateToText("%YYYY", Example), "2015");
    EXPECT_EQ(DateToText("%yyyy", Example), "2015");
    EXPECT_EQ(DateToText("%yyy", Example), "15y");
    EXPECT_EQ(DateToText("%DD.%Mm.%hH", Example), "23.05.13");
    EXPECT_EQ(DateToText("100%", Example), "100%");
    EXPECT_EQ(DateToText("%x%%dd", Example), "%x%23");
    EXPECT_EQ(DateToText("%d", Example), "%d");
    EXPECT_EQ(DateToText("no tokens here", Example), "no tokens here");
    EXPECT_EQ(DateToText("", Example), "");
    EXPECT_EQ(DateToText(nullptr, Example), "");
    EXPECT_EQ(DateToText("%yyyy-%mm-%dd %hh:%ii:%ss", 0), "1970-01-01 00:00:00");
    EXPECT_EQ(DateToText("%yyyy-%mm-%dd %hh:%ii:%ss", 2147483647), "2038-01-19 03:14:07");
    EXPECT_EQ(DateToText("%yyyy-%mm-%dd", DateFromFields(2000, 2, 29, 0, 0, 0)), "2000-02-29");
    EXPECT_EQ(DateToText("%yyyy-%mm-%dd", DateFromFields(2024, 12, 31, 0, 0, 0)), "2024-12-31");
    // Invalid and negative dates give zero fields.
    EXPECT_EQ(DateToText("%yyyy %yy%mm%dd %hh%ii%ss", -1), "0000 000000 000000");
    EXPECT_EQ(DateToText("%yyyy %dd", -86400), "0000 00");
}

TEST(Dates, ToTextIsTheInverseOfFromFields) {
    for (int32_t date = 0; date < 2147483647 - 7777777; date += 7777777) {
        const std::string text = DateToText("%yyyy %mm %dd %hh %ii %ss", date);
        int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
        ASSERT_EQ(std::sscanf(text.c_str(), "%d %d %d %d %d %d", &y, &mo, &d, &h, &mi, &s), 6);
        ASSERT_EQ(DateFromFields(y, mo, d, h, mi, s), date) << text;
    }
}

// The date value is the wall-clock reading itself: for the same instant it differs between zones by
// exactly their offset, and it never depends on the zone beyond that.
TEST(Dates, NowIsTheLocalWallClockTakenAsUtc) {
    const char* old = std::getenv("TZ");
    const std::string saved = old != nullptr ? old : "";

    // The bounds come from the clock DateNow reads: time() reads the coarse clock, which can lag a
    // second behind it.
    auto seconds = [] {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        return now.tv_sec;
    };
    auto nowIn = [&](const char* zone, time_t& before, time_t& after) {
        setenv("TZ", zone, 1);
        tzset();
        before = seconds();
        const int32_t now = DateNow();
        after = seconds();
        return now;
    };
    time_t before = 0;
    time_t after = 0;
    const int32_t utc = nowIn("UTC0", before, after);
    EXPECT_GE(utc, before);
    EXPECT_LE(utc, after);
    const int32_t east = nowIn("XYZ-5:30", before, after); // 5:30 east of UTC
    EXPECT_GE(east, before + 19800);
    EXPECT_LE(east, after + 19800);
    const int32_t west = nowIn("ABC+8", before, after);
    EXPECT_GE(west, before - 28800);
    EXPECT_LE(west, after - 28800);

    // Breaking the value down gives back the local wall-clock fields (to the hour, so that a
    // second ticking over between the two readings can't make the check flaky).
    setenv("TZ", "XYZ-5:30", 1);
    tzset();
    const time_t instant = time(nullptr);
    tm local{};
    localtime_r(&instant, &local);
    char expected[32];
    std::strftime(expected, sizeof expected, "%Y-%m-%d %H", &local);
    EXPECT_EQ(DateToText("%yyyy-%mm-%dd %hh", DateNow()), expected);

    if (old != nullptr) {
        setenv("TZ", saved.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
}

} // namespace
} // namespace mirl
