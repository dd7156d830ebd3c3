// Where the side windows open: beside the form, inside the work area, or where the user left
// them; and the settings text of a place, read as hostile.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "window/SideWindows.h"

namespace oxa {
namespace {

// A 1920 × 1040 work area (a task bar below) and a 600 × 400 side window throughout.
constexpr TScreenRect kArea{0, 0, 1920, 1040};
constexpr int kWidth = 600;
constexpr int kHeight = 400;

TEST(SideWindows, OpensBesideTheFormInsideTheWorkArea) {
  struct Row {
    const char* name;
    TScreenRect form;
    std::optional<TScreenPoint> remembered;
    TScreenPoint expected;
  };
  const Row rows[] = {
      {"right of the form, tops aligned", {400, 300, 1000, 800}, {}, {1000, 300}},
      {"left when the right has no room", {1400, 300, 1900, 800}, {}, {800, 300}},
      {"exactly fits on the right", {0, 0, 1320, 500}, {}, {1320, 0}},
      {"moved up to stay above the task bar", {400, 900, 1000, 1030}, {}, {1000, 640}},
      {"moved down below the work area's top", {400, -50, 1000, 500}, {}, {1000, 0}},
      {"no room either side: the wider side, over the form",
       {300, 100, 1400, 900},
       {},
       {1320, 100}},
      {"no room either side, more on the left", {520, 100, 1620, 900}, {}, {0, 100}},
      {"form off the screen to the right", {2500, 100, 3100, 900}, {}, {1320, 100}},
      {"remembered place kept", {400, 300, 1000, 800}, TScreenPoint{50, 60}, {50, 60}},
      {"remembered, half outside: moved inside",
       {400, 300, 1000, 800},
       TScreenPoint{1620, 60},
       {1320, 60}},
      {"remembered, mostly outside: beside the form",
       {400, 300, 1000, 800},
       TScreenPoint{1700, 60},
       {1000, 300}},
      {"remembered on a screen gone", {400, 300, 1000, 800}, TScreenPoint{-3000, 200}, {1000, 300}},
      {"remembered, far beyond any screen",
       {400, 300, 1000, 800},
       TScreenPoint{1'000'000, -1'000'000},
       {1000, 300}},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(SideWindowPosition(row.form, kWidth, kHeight, kArea, row.remembered), row.expected)
        << row.name;
  }
  // A work area with its own origin (a second monitor), and a window larger than it: its top
  // left corner in the work area.
  const TScreenRect second{1920, 100, 2720, 700};
  EXPECT_EQ(SideWindowPosition({2000, 200, 2400, 500}, 1000, 800, second),
            (TScreenPoint{1920, 100}));
}

TEST(SideWindows, PlaceInTheSettingsFile) {
  struct Row {
    const char* text;
    std::optional<TScreenPoint> expected;
  };
  const Row rows[] = {
      {"100,200", TScreenPoint{100, 200}},
      {" -1920 , 40 ", TScreenPoint{-1920, 40}},
      {"", std::nullopt},
      {"100", std::nullopt},
      {"100,", std::nullopt},
      {"1e3,4", std::nullopt},
      {"0x10,4", std::nullopt},
      {"1,2,3", std::nullopt},
      {"99999999999,1", std::nullopt},
      {"2000000,1", std::nullopt},
  };
  for (const Row& row : rows) EXPECT_EQ(ParseWindowPos(row.text), row.expected) << row.text;
  EXPECT_EQ(FormatWindowPos({-5, 30}), "-5,30");
}

}  // namespace
}  // namespace oxa
