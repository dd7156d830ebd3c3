// Polled values as CSV: the header from the columns, good and failed rows, quoting, numbers
// with a '.' whatever the language, and the local time with milliseconds and UTC offset.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "actions/PollCsv.h"

namespace oxa {
namespace {

TLocalTime At(int year, int month, int day, int hour, int minute, int second, int ms,
              int32_t offset_s) {
  TLocalTime t;
  t.tm.tm_year = year - 1900;
  t.tm.tm_mon = month - 1;
  t.tm.tm_mday = day;
  t.tm.tm_hour = hour;
  t.tm.tm_min = minute;
  t.tm.tm_sec = second;
  t.millisecond = static_cast<uint16_t>(ms);
  t.utc_offset_s = offset_s;
  return t;
}

TEST(PollCsv, TimeIsIsoWithMillisecondsAndOffset) {
  struct TRow {
    TLocalTime time;
    const char* text;
  };
  const TRow rows[] = {
      {At(2026, 12, 8, 10, 15, 30, 123, 3600), "2026-12-08T10:15:30.123+01:00"},
      {At(2026, 1, 2, 3, 4, 5, 6, 0), "2026-01-02T03:04:05.006+00:00"},
      {At(2026, 7, 1, 23, 59, 59, 999, -4 * 3600), "2026-07-01T23:59:59.999-04:00"},
      {At(2026, 7, 1, 0, 0, 0, 0, 5 * 3600 + 1800), "2026-07-01T00:00:00.000+05:30"},
      {At(2026, 7, 1, 0, 0, 0, 0, -(9 * 3600 + 1800)), "2026-07-01T00:00:00.000-09:30"},
  };
  for (const TRow& row : rows) EXPECT_EQ(IsoTimeText(row.time), row.text);
}

// Whatever the zone, the local fields less the offset are the moment itself in UTC.
TEST(PollCsv, LocalTimeLessItsOffsetIsTheMomentInUtc) {
  using namespace std::chrono;
  for (const int64_t s : {int64_t{1768478400}, int64_t{1784116800}, int64_t{1798761599}}) {
    const auto when = system_clock::time_point(seconds(s)) + milliseconds(987);
    const TLocalTime local = LocalTimeOf(when);
    const sys_days date = year(local.tm.tm_year + 1900) / month(unsigned(local.tm.tm_mon + 1)) /
                          day(unsigned(local.tm.tm_mday));
    const auto fields = date.time_since_epoch() + hours(local.tm.tm_hour) +
                        minutes(local.tm.tm_min) + seconds(local.tm.tm_sec);
    EXPECT_EQ(duration_cast<seconds>(fields).count() - local.utc_offset_s, s);
    EXPECT_EQ(local.millisecond, 987);
  }
}

#ifndef _WIN32
TEST(PollCsv, LocalTimeCarriesTheZonesOffsetSummerTimeIncluded) {
  const char* old = std::getenv("TZ");
  const std::string saved = old != nullptr ? old : "";
  ::setenv("TZ", "Europe/Berlin", 1);
  ::tzset();
  // 2026-01-15T12:00:00.250Z and 2026-07-15T12:00:00.250Z.
  const auto winter =
      std::chrono::system_clock::from_time_t(1768478400) + std::chrono::milliseconds(250);
  const auto summer =
      std::chrono::system_clock::from_time_t(1784116800) + std::chrono::milliseconds(250);
  const std::string winter_text = IsoTimeText(LocalTimeOf(winter));
  const std::string summer_text = IsoTimeText(LocalTimeOf(summer));
  if (old != nullptr) {
    ::setenv("TZ", saved.c_str(), 1);
  } else {
    ::unsetenv("TZ");
  }
  ::tzset();
  if (winter_text.ends_with("+00:00")) GTEST_SKIP() << "no zone data on this machine";
  EXPECT_EQ(winter_text, "2026-01-15T13:00:00.250+01:00");
  EXPECT_EQ(summer_text, "2026-07-15T14:00:00.250+02:00");
}
#endif

TEST(PollCsv, HeaderGoodAndFailedRows) {
  const std::vector<TPollColumn> columns = {IntegratorColumn(24, TLanguage::kEnglish),
                                            IntegratorColumn(15, TLanguage::kEnglish),
                                            RegisterColumn(2201, TPollKind::kInteger)};
  EXPECT_EQ(PollCsvHeader(columns), "time,\"Gv1, m3/h\",\"Tall, s\",2201,outcome\r\n");
  const TLocalTime t = At(2026, 12, 8, 10, 15, 30, 123, 3600);
  const std::optional<double> good[] = {12.5, 4294967295.0, -3};
  EXPECT_EQ(PollCsvRow(t, columns, good, "OK"),
            "2026-12-08T10:15:30.123+01:00,12.5,4294967295,-3,OK\r\n");
  EXPECT_EQ(PollCsvRow(t, columns, {}, "No answer"),
            "2026-12-08T10:15:30.123+01:00,,,,No answer\r\n");
  // One exchange of a read failed, the others' values stand.
  const std::optional<double> partial[] = {12.5, std::nullopt, -3};
  EXPECT_EQ(PollCsvRow(t, columns, partial, "No answer"),
            "2026-12-08T10:15:30.123+01:00,12.5,,-3,No answer\r\n");
  // Columns named in Russian: the header stays the scripts' own, and still a '.' in numbers.
  const std::vector<TPollColumn> russian = {IntegratorColumn(28, TLanguage::kRussian),
                                            DoserStateColumn(TLanguage::kRussian)};
  EXPECT_EQ(russian[0].name + ", " + russian[0].unit, "\u04221, град.");
  EXPECT_EQ(PollCsvHeader(russian), "time,\"T1, degC\",doser state,outcome\r\n");
  const std::optional<double> values[] = {21.75, 1};
  EXPECT_EQ(PollCsvRow(t, russian, values, "OK"), "2026-12-08T10:15:30.123+01:00,21.75,1,OK\r\n");
}

TEST(PollCsv, FieldsAreQuotedAndValuesWrittenAsFloatsRead) {
  struct TRow {
    const char* text;
    const char* field;
  };
  const TRow fields[] = {
      {"plain", "plain"},
      {"a, b", "\"a, b\""},
      {"say \"hi\"", "\"say \"\"hi\"\"\""},
      {"two\r\nlines", "\"two\r\nlines\""},
      {"=SUM(A1)", "'=SUM(A1)"},
      {"-1,+2", "\"'-1,+2\""},
  };
  for (const TRow& row : fields) EXPECT_EQ(CsvField(row.text), row.field) << row.text;
  // An outcome from outside is shown with its control characters escaped.
  const TPollColumn one[] = {RegisterColumn(0, TPollKind::kInteger)};
  EXPECT_EQ(PollCsvRow(At(2026, 1, 1, 0, 0, 0, 0, 0), one, {}, "bad\x1b[2J, text"),
            "2026-01-01T00:00:00.000+00:00,,\"bad\\x1b[2J, text\"\r\n");
  struct TValue {
    double value;
    TPollKind kind;
    const char* text;
  };
  const TValue values[] = {
      {static_cast<double>(0.1f), TPollKind::kFloat32, "0.1"},
      {-2.5, TPollKind::kFloat32, "-2.5"},
      {static_cast<double>(3.4e38f), TPollKind::kFloat32, "3.4e+38"},
      {65535, TPollKind::kInteger, "65535"},
      {-32768, TPollKind::kInteger, "-32768"},
  };
  for (const TValue& v : values) EXPECT_EQ(PollValueText(v.value, v.kind), v.text) << v.text;
}

}  // namespace
}  // namespace oxa
