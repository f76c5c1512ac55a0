// Date-times: construction, parsing, formatting and differences.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>

#include "util/text.h"

namespace korvath {
namespace {

TEST(DateTime, DaysSince1899) {
  EXPECT_EQ(MakeDateTime({.year = 1899, .month = 12, .day = 30}), 0.0);
  EXPECT_EQ(MakeDateTime({.year = 1970, .month = 1, .day = 1}), 25569.0);
  EXPECT_DOUBLE_EQ(MakeDateTime({.year = 1970, .month = 1, .day = 1, .hour = 6}), 25569.25);
  EXPECT_EQ(MakeDateTime({.year = 100, .month = 1, .day = 1}), kNoDate);
  // Before the epoch day the fraction still counts forward in the day.
  EXPECT_DOUBLE_EQ(MakeDateTime({.year = 1899, .month = 12, .day = 29, .hour = 6}), -1.25);
  EXPECT_EQ(MakeDateTime({.year = 2023, .month = 2, .day = 29}), kNoDate);
  EXPECT_EQ(MakeDateTime({.year = 2024, .month = 2, .day = 29, .hour = 24}), kNoDate);
  const DateParts parts = SplitDateTime(
      MakeDateTime({.year = 2024, .month = 2, .day = 29, .hour = 23, .minute = 59, .second = 59}));
  EXPECT_EQ(parts.year, 2024);
  EXPECT_EQ(parts.month, 2);
  EXPECT_EQ(parts.day, 29);
  EXPECT_EQ(parts.hour, 23);
  EXPECT_EQ(parts.minute, 59);
  EXPECT_EQ(parts.second, 59);
  EXPECT_EQ(SplitDateTime(-1.25).day, 29);
  EXPECT_EQ(SplitDateTime(-1.25).hour, 6);
  // A time that rounds up to midnight moves on to the next day, also before
  // the epoch day, where the fraction is subtracted.
  const DateParts midnight = SplitDateTime(-1.999999999);  // 1899-12-29 23:59:59.9999
  EXPECT_EQ(midnight.day, 30);
  EXPECT_EQ(midnight.hour, 0);
  const DateParts next_day = SplitDateTime(-0.999999999);  // 1899-12-30 23:59:59.9999
  EXPECT_EQ(next_day.day, 31);
  EXPECT_EQ(next_day.month, 12);
  EXPECT_EQ(next_day.hour, 0);
  EXPECT_EQ(SplitDateTime(25569.999999999).day, 2);  // 1970-01-02
}

TEST(DateTime, ParsesTheSystemFormAndOthers) {
  EXPECT_DOUBLE_EQ(ToDateTime("1970-01-01 08:00:00"), 25569.0 + 8.0 / 24);
  EXPECT_EQ(ToDateTime("2024-03-05"), MakeDateTime({.year = 2024, .month = 3, .day = 5}));
  EXPECT_EQ(ToDateTime("2024/3/5 7:08"),
            MakeDateTime({.year = 2024, .month = 3, .day = 5, .hour = 7, .minute = 8}));
  EXPECT_EQ(ToDateTime(Gbk(u8"2024年3月5日7时8分9秒")),
            MakeDateTime({.year = 2024, .month = 3, .day = 5, .hour = 7, .minute = 8, .second = 9}));
  EXPECT_EQ(ToDateTime(Gbk(u8"２０２４－０３－０５")), MakeDateTime({.year = 2024, .month = 3, .day = 5}));
  EXPECT_EQ(ToDateTime("2024-02-30"), kNoDate);
  EXPECT_EQ(ToDateTime("2024-01-01 25:00:00"), kNoDate);
  EXPECT_EQ(ToDateTime("2024-01"), kNoDate);
  EXPECT_EQ(ToDateTime("tomorrow"), kNoDate);
  EXPECT_EQ(ToDateTime(""), kNoDate);
  EXPECT_EQ(ToDateTime("2024--01-01"), kNoDate);
  EXPECT_EQ(ToDateTime("2024-01-01-01-01-01-01"), kNoDate);
}

TEST(DateTime, TextDropsTrailingZeroParts) {
  EXPECT_EQ(DateTimeText(ToDateTime("2024-03-05 07:08:09")), Gbk(u8"2024年3月5日7时8分9秒"));
  EXPECT_EQ(DateTimeText(ToDateTime("2024-03-05 07:08:00")), Gbk(u8"2024年3月5日7时8分"));
  EXPECT_EQ(DateTimeText(ToDateTime("2024-03-05 07:00:00")), Gbk(u8"2024年3月5日7时"));
  EXPECT_EQ(DateTimeText(ToDateTime("2024-03-05 00:00:00")), Gbk(u8"2024年3月5日"));
  EXPECT_EQ(DateTimeText(ToDateTime("2024-03-05 00:00:09")), Gbk(u8"2024年3月5日0时0分9秒"));
  EXPECT_EQ(DateTimeText(kNoDate), Gbk(u8"100年1月1日"));
  // Values that name no date at all (read from stray bytes, say) read as no valid date.
  for (const double stray : {1e300, -1e300, std::nan(""), HUGE_VAL, 3e6, -7e5}) {
    SCOPED_TRACE(stray);
    EXPECT_EQ(DateTimeText(stray), Gbk(u8"100年1月1日"));
  }
  EXPECT_EQ(DateTimeText(-657434.5), Gbk(u8"100年1月1日12时"));
  EXPECT_EQ(DateTimeText(2958465.5), Gbk(u8"9999年12月31日12时"));
}

TEST(TimeDiff, UnitsAndTruncation) {
  const DateTime a = ToDateTime("2024-03-05 00:00:10");
  const DateTime b = ToDateTime("2023-12-31 23:59:59");
  EXPECT_EQ(TimeDiff(a, b, 8), 5529611);  // 64 days (leap February), 11 seconds
  EXPECT_EQ(TimeDiff(b, a, 8), -5529611);
  EXPECT_EQ(TimeDiff(a, b, 7), 92160);
  EXPECT_EQ(TimeDiff(a, b, 6), 1536);
  EXPECT_NEAR(TimeDiff(a, b, 5), 5529611.0 / 86400, 1e-9);
  EXPECT_EQ(TimeDiff(a, b, 4), 9);
  EXPECT_EQ(TimeDiff(a, b, 3), 3);
  EXPECT_EQ(TimeDiff(a, b, 2), 1);
  EXPECT_EQ(TimeDiff(a, b, 1), 1);
  EXPECT_EQ(TimeDiff(a, b, 0), 1);         // clamped to years
  EXPECT_EQ(TimeDiff(a, b, 99), 5529611);  // clamped to seconds
  EXPECT_EQ(TimeDiff(a, a, 8), 0);
  // Whole seconds do not lose one to binary fractions of a day.
  for (int s = 1; s < 5000; s += 7) {
    const DateTime t = ToDateTime("2024-01-01 00:00:00");
    ASSERT_EQ(TimeDiff(t + s / 86400.0, t, 8), s);
    ASSERT_EQ(TimeDiff(t, t + s / 86400.0, 8), -s);
  }
}

TEST(DateTime, NowIsLocalTime) {
  const std::time_t before = std::time(nullptr);
  const DateTime now = Now();
  std::tm local{};
  localtime_r(&before, &local);
  const DateParts parts = SplitDateTime(now);
  EXPECT_EQ(parts.year, local.tm_year + 1900);
  EXPECT_EQ(parts.month, local.tm_mon + 1);
  // Unix time 0 in local time, for the zone the test runs in.
  const std::time_t zero = 0;
  localtime_r(&zero, &local);
  const DateTime epoch = MakeDateTime({.year = local.tm_year + 1900,
                                       .month = local.tm_mon + 1,
                                       .day = local.tm_mday,
                                       .hour = local.tm_hour,
                                       .minute = local.tm_min});
  EXPECT_NEAR(TimeDiff(now, epoch, 8), static_cast<double>(before), 2);
}

}  // namespace
}  // namespace korvath
