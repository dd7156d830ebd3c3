// The times of a repeated read, kept in bounded memory however long the run.
#include <gtest/gtest.h>

#include "cli/Output.h"

namespace oxa::cli {
namespace {

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

}  // namespace
}  // namespace oxa::cli
