// Local date-times as days since 1899-12-30: construction, parsing,
// formatting and differences.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "util/text-step.h"
#include "util/text.h"

namespace korvath {
namespace {

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

// Days from 1970-01-01 to y-m-d in the proleptic Gregorian calendar.
std::int64_t DaysFromCivil(std::int64_t y, int m, int d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(std::int64_t z, int& y, int& m, int& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(yoe + era * 400 + (m <= 2));
}

constexpr std::int64_t kEpochOffset = 25569;  // 1899-12-30 .. 1970-01-01

// Before 1899-12-30 the fraction still counts forward within the day
// (-1.25 is 1899-12-29 06:00), so differences need a linear form.
double Linear(DateTime value) {
  const double day = std::trunc(value);
  return day + std::fabs(value - day);
}

}  // namespace

DateTime MakeDateTime(const DateParts& p) {
  if (p.year < 100 || p.year > 9999 || p.month < 1 || p.month > 12 || p.day < 1 ||
      p.day > DaysInMonth(p.year, p.month) || p.hour < 0 || p.hour > 23 || p.minute < 0 || p.minute > 59 ||
      p.second < 0 || p.second > 59) {
    return kNoDate;
  }
  const double day = static_cast<double>(DaysFromCivil(p.year, p.month, p.day) + kEpochOffset);
  const double time = (p.hour * 3600.0 + p.minute * 60.0 + p.second) / 86400.0;
  return day < 0 ? day - time : day + time;
}

DateParts SplitDateTime(DateTime value) {
  // Outside the years 100-9999 (before the epoch the time is subtracted, so
  // 100-01-01 12:00 lies below kNoDate) a value names no date; a stray
  // double there would also overflow the day arithmetic.
  constexpr double kFirstDay = -657435.0;     // just before 100-01-01
  constexpr double kPastLastDay = 2958466.0;  // 10000-01-01
  if (!(value > kFirstDay && value < kPastLastDay)) return DateParts{};
  double day = std::trunc(value);
  std::int64_t seconds = std::llround(std::fabs(value - day) * 86400.0);
  if (seconds >= 86400) {
    // Midnight of the next calendar day, which is the next day number on
    // both sides of the epoch (the fraction counts forward within the day).
    seconds -= 86400;
    day += 1;
  }
  DateParts parts;
  CivilFromDays(static_cast<std::int64_t>(day) - kEpochOffset, parts.year, parts.month, parts.day);
  parts.hour = static_cast<int>(seconds / 3600);
  parts.minute = static_cast<int>(seconds / 60 % 60);
  parts.second = static_cast<int>(seconds % 60);
  return parts;
}

DateTime Now() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return MakeDateTime({.year = local.tm_year + 1900,
                       .month = local.tm_mon + 1,
                       .day = local.tm_mday,
                       .hour = local.tm_hour,
                       .minute = local.tm_min,
                       .second = std::min(local.tm_sec, 59)});
}

Text DateTimeText(DateTime value) {
  const DateParts p = SplitDateTime(value);
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%d", p.year);
  Text out = buffer + Gbk(u8"年") + ToText(p.month) + Gbk(u8"月") + ToText(p.day) + Gbk(u8"日");
  if (p.second != 0) {
    out += ToText(p.hour) + Gbk(u8"时") + ToText(p.minute) + Gbk(u8"分") + ToText(p.second) + Gbk(u8"秒");
  } else if (p.minute != 0) {
    out += ToText(p.hour) + Gbk(u8"时") + ToText(p.minute) + Gbk(u8"分");
  } else if (p.hour != 0) {
    out += ToText(p.hour) + Gbk(u8"时");
  }
  return out;
}

DateTime ToDateTime(std::string_view text) {
  // Numbers separated by '-', '/', '.', ':', 'T', spaces or the characters
  // 年 月 日 时 分 秒 (and 點/点 forms are not accepted): year, month, day,
  // then optionally hour, minute, second.
  const Text half = ToHalfWidth(text);
  const Text* units[] = {&Gbk(u8"年"), &Gbk(u8"月"), &Gbk(u8"日"), &Gbk(u8"时"), &Gbk(u8"分"),
                         &Gbk(u8"秒"), &Gbk(u8"號"), &Gbk(u8"号"), &Gbk(u8"時")};
  int numbers[6] = {};
  int count = 0;
  std::size_t i = 0;
  while (i < half.size() && half[i] == ' ') ++i;
  bool expect_number = true;
  while (i < half.size()) {
    const char c = half[i];
    if (c >= '0' && c <= '9') {
      if (!expect_number || count == 6) return kNoDate;
      std::int64_t value = 0;
      std::size_t digits = 0;
      while (i < half.size() && half[i] >= '0' && half[i] <= '9') {
        if (++digits > 4) return kNoDate;
        value = value * 10 + (half[i] - '0');
        ++i;
      }
      numbers[count++] = static_cast<int>(value);
      expect_number = false;
      continue;
    }
    if (c == '-' || c == '/' || c == '.' || c == ':' || c == ' ' || c == 'T') {
      if (expect_number && c != ' ') return kNoDate;
      ++i;
      expect_number = true;
      continue;
    }
    bool matched = false;
    for (const Text* unit : units) {
      if (half.compare(i, unit->size(), *unit) == 0) {
        i += unit->size();
        matched = true;
        break;
      }
    }
    if (!matched) return kNoDate;
    expect_number = true;
  }
  if (count < 3) return kNoDate;
  return MakeDateTime({.year = numbers[0],
                       .month = numbers[1],
                       .day = numbers[2],
                       .hour = numbers[3],
                       .minute = numbers[4],
                       .second = numbers[5]});
}

double TimeDiff(DateTime a, DateTime b, int unit) {
  unit = std::clamp(unit, 1, 8);
  if (a == b) return 0;
  const DateParts pa = SplitDateTime(a);
  const DateParts pb = SplitDateTime(b);
  const double days = Linear(a) - Linear(b);
  // A little under half a second, so that a difference stored as a binary
  // fraction of a day does not truncate to one unit less. The nudge goes away
  // from zero, so b - a is always exactly -(a - b).
  const auto whole = [](double x) {
    constexpr double kNudge = 5.787037037037037e-6;
    return x < 0 ? -std::trunc(-x + kNudge) : std::trunc(x + kNudge);
  };
  switch (unit) {
    case 1:
      return pa.year - pb.year;
    case 2: {
      // Calendar quarters, counted in whole numbers before the difference.
      const auto quarter = [](const DateParts& p) { return p.year * 4 + (p.month - 1) / 3; };
      return quarter(pa) - quarter(pb);
    }
    case 3:
      return (pa.year * 12 + pa.month) - (pb.year * 12 + pb.month);
    case 4:
      return whole(days / 7);
    case 5:
      return days;
    case 6:
      return whole(days * 24);
    case 7:
      return whole(days * 1440);
    default:
      return whole(days * 86400);
  }
}

}  // namespace korvath
