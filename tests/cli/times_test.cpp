// A repeated read's schedule, and its times kept in bounded memory however long the run.
#include <gtest/gtest.h>

#include "cli/Output.h"
#include "cli/Session.h"

namespace oxa::cli {
namespace {

TEST(ChosenPortHint, SaysWhatTheUntoldPortOpensAndHowToNameAnother) {
  struct TRow {
    const char* address;
    const char* settings;
    const char* hint;
  };
  const TRow rows[] = {
      {"/dev/ttyS0", "",
       "COM1 is /dev/ttyS0, the board's own serial port; name an adapter with -p /dev/ttyUSB0 "
       "(fulctl ports lists them)"},
      {"\\\\.\\COM1", "",
       "COM1 is \\\\.\\COM1; name another port with -p COM3 (fulctl ports lists them)"},
      {"/dev/ttyUSB3", "/etc/ful.ini",
       "COM1 is /dev/ttyUSB3, as [Ports] in /etc/ful.ini maps it; name another port with -p "
       "(fulctl ports lists them)"},
  };
  for (const TRow& row : rows) {
    EXPECT_EQ(ChosenPortHint("COM1", row.address, row.settings), row.hint);
  }
}

TEST(Times, AFewAreKeptWholeAndARunOfAnyLengthInASample) {
  TTimes none;
  EXPECT_EQ(none.Count(), 0u);
  EXPECT_EQ(none.Median(), 0);

  TTimes few;
  for (const double ms : {3.0, 1.0, 2.0, 5.0}) few.Add(ms);
  EXPECT_EQ(few.Count(), 4u);
  EXPECT_EQ(few.Min(), 1.0);
  EXPECT_EQ(few.Max(), 5.0);
  EXPECT_EQ(few.Median(), 3.0);  // the upper one of an even count

  // Ten times more than are kept, rising: count, least and greatest stay exact, and the
  // sample's median lies near the run's (5000).
  TTimes many;
  const size_t n = 10 * TTimes::kKept;
  for (size_t i = 0; i < n; ++i) many.Add(static_cast<double>(i) * 10000 / n);
  EXPECT_EQ(many.Count(), n);
  EXPECT_EQ(many.Min(), 0);
  EXPECT_EQ(many.Max(), 10000.0 * (n - 1) / n);
  EXPECT_NEAR(many.Median(), 5000, 300);
}

TEST(NextRead, KeepsThePeriodFromStartToStartAndALateReadStartsTheNextAtOnce) {
  using std::chrono::milliseconds;
  struct TRow {
    int period_ms;
    int took_ms;   // from the read's start to its end
    int pause_ms;  // from its end to the next read's start
    bool late;
  };
  const TRow rows[] = {
      {1000, 0, 1000, false}, {1000, 420, 580, false}, {1000, 1000, 0, false},
      {1000, 1420, 0, true},  {1000, 3500, 0, true},  // no burst of reads to catch up
      {0, 0, 0, false},       {0, 420, 0, false},     // no period: back to back, never late
  };
  const std::chrono::steady_clock::time_point start{std::chrono::hours(5)};
  for (const TRow& row : rows) {
    const auto end = start + milliseconds(row.took_ms);
    const TNextRead next = NextRead(start, milliseconds(row.period_ms), end);
    EXPECT_EQ(next.start - end, milliseconds(row.pause_ms)) << row.period_ms << " " << row.took_ms;
    EXPECT_EQ(next.late, row.late) << row.period_ms << " " << row.took_ms;
  }
}

}  // namespace
}  // namespace oxa::cli
