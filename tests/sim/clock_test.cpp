// The calendar of the virtual device's clock, against dates worked out by hand and, where the C
// library has them, against gmtime_r and timegm.
#include <gtest/gtest.h>

#include <ctime>

#include "sim/SimClock.h"

namespace oxa::sim {
namespace {

struct TCivil {
  int year, month, day, hour, minute, second, weekday;  // month 1..12, weekday 0 = Sunday
};

std::tm Parts(int year, int month, int day, int hour = 0, int minute = 0, int second = 0) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  return t;
}

TEST(SimClock, SecondsAndDatesConvertBothWays) {
  const struct {
    int64_t seconds;
    TCivil civil;
  } rows[] = {
      {0, {1970, 1, 1, 0, 0, 0, 4}},
      {-1, {1969, 12, 31, 23, 59, 59, 3}},
      {951782400, {2000, 2, 29, 0, 0, 0, 2}},  // leap day of a year divisible by 400
      {1704067200, {2024, 1, 1, 0, 0, 0, 1}},  // the device's first setting
      {1709647629, {2024, 3, 5, 14, 7, 9, 2}},
      {4107542399, {2100, 2, 28, 23, 59, 59, 0}},  // 2100 is no leap year
      {4107542400, {2100, 3, 1, 0, 0, 0, 1}},
  };
  for (const auto& row : rows) {
    const std::tm t = UtcFromSeconds(row.seconds);
    const TCivil& c = row.civil;
    EXPECT_EQ(t.tm_year, c.year - 1900) << row.seconds;
    EXPECT_EQ(t.tm_mon, c.month - 1) << row.seconds;
    EXPECT_EQ(t.tm_mday, c.day) << row.seconds;
    EXPECT_EQ(t.tm_hour, c.hour) << row.seconds;
    EXPECT_EQ(t.tm_min, c.minute) << row.seconds;
    EXPECT_EQ(t.tm_sec, c.second) << row.seconds;
    EXPECT_EQ(t.tm_wday, c.weekday) << row.seconds;
    EXPECT_EQ(SecondsFromUtc(Parts(c.year, c.month, c.day, c.hour, c.minute, c.second)),
              row.seconds);
  }
}

TEST(SimClock, FieldsOutOfRangeCarryAsTimegmDoes) {
  // A device clock written with impossible BCD values still gives a time.
  EXPECT_EQ(SecondsFromUtc(Parts(2024, 13, 1)), SecondsFromUtc(Parts(2025, 1, 1)));
  EXPECT_EQ(SecondsFromUtc(Parts(2024, 3, 0)), SecondsFromUtc(Parts(2024, 2, 29)));
  EXPECT_EQ(SecondsFromUtc(Parts(2024, 0, 1)), SecondsFromUtc(Parts(2023, 12, 1)));
  EXPECT_EQ(SecondsFromUtc(Parts(2024, 1, 31, 24, 60, 60)),
            SecondsFromUtc(Parts(2024, 2, 1, 1, 1, 0)));
}

#ifndef _WIN32
// The calendar the virtual device used before, over two centuries in steps of a little over
// a day (so every time of day and date comes round), and with fields out of range.
TEST(SimClock, AgreesWithTheCLibrary) {
  for (int64_t s = -2'208'988'800; s < 4'102'444'800; s += 86'400 * 7 + 3'607) {
    const time_t t = static_cast<time_t>(s);
    std::tm expected{};
    ASSERT_NE(gmtime_r(&t, &expected), nullptr);
    const std::tm got = UtcFromSeconds(s);
    ASSERT_EQ(got.tm_year, expected.tm_year) << s;
    ASSERT_EQ(got.tm_yday, expected.tm_yday) << s;
    ASSERT_EQ(got.tm_mon, expected.tm_mon) << s;
    ASSERT_EQ(got.tm_mday, expected.tm_mday) << s;
    ASSERT_EQ(got.tm_wday, expected.tm_wday) << s;
    ASSERT_EQ(got.tm_hour * 3600 + got.tm_min * 60 + got.tm_sec,
              expected.tm_hour * 3600 + expected.tm_min * 60 + expected.tm_sec)
        << s;
    ASSERT_EQ(SecondsFromUtc(expected), s);
  }
  for (int mon = -14; mon <= 26; mon += 5) {
    for (int mday = -40; mday <= 99; mday += 17) {
      for (int hour = 0; hour <= 165; hour += 55) {
        std::tm parts = Parts(2030, 1, 1, hour, 165, 99);
        parts.tm_mon = mon;
        parts.tm_mday = mday;
        std::tm copy = parts;
        EXPECT_EQ(SecondsFromUtc(parts), static_cast<int64_t>(timegm(&copy)))
            << mon << " " << mday << " " << hour;
      }
    }
  }
}
#endif

}  // namespace
}  // namespace oxa::sim
