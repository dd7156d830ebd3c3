// The monitor's plot without a toolkit: round steps and their texts, the clock on the time
// axis, lanes by unit, gaps, the legend, the readout under the pointer, zoom, pan and pause.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "window/PlotModel.h"

namespace oxa {
namespace {

TEST(PlotScale, RoundStepsAndTheirTexts) {
  struct Row {
    double raw;
    double step;
    double value;
    const char* text;
  } rows[] = {
      {0.7, 1, 3, "3"},        {1.0, 1, -2, "-2"},
      {1.3, 2, 1000, "1000"},  {3.0, 5, 45, "45"},
      {0.3, 0.5, 1.5, "1.5"},  {0.012, 0.02, 1000.04, "1000.04"},
      {70, 100, 3800, "3800"}, {0.0003, 0.0005, 1e-17, "0.0000"},
      {0, 1, 0, "0"},
  };
  for (const Row& r : rows) {
    EXPECT_DOUBLE_EQ(RoundStep(r.raw), r.step) << r.raw;
    EXPECT_EQ(TickText(r.value, r.step), r.text) << r.value;
  }
}

TEST(PlotScale, ValueTicksAreMultiplesOfTheStepWithinTheRange) {
  EXPECT_EQ(ValueTicks(-48.6, 1295.9, 300), (std::vector<double>{0, 500, 1000}));
  EXPECT_EQ(ValueTicks(999.95, 1000.26, 0.08), (std::vector<double>{1000, 1000.1, 1000.2}));
  EXPECT_EQ(ValueTicks(-0.3, 0.3, 0.2), (std::vector<double>{-0.2, 0, 0.2}));
  EXPECT_TRUE(ValueTicks(1, 1, 1).empty());
  EXPECT_TRUE(ValueTicks(0, std::numeric_limits<double>::infinity(), 1).empty());
}

TEST(PlotScale, TheTimeAxisReadsAClockAtRoundSteps) {
  EXPECT_EQ(TimeStep(0.4), 1);
  EXPECT_EQ(TimeStep(11), 15);
  EXPECT_EQ(TimeStep(61), 120);
  EXPECT_EQ(TimeStep(1e6), 86400);
  EXPECT_EQ(ClockText(12 * 3600 + 4 * 60 + 10), "12:04:10");
  EXPECT_EQ(ClockText(20'000 * 86400.0 + 59.5), "00:00:59");
  EXPECT_EQ(ClockText(-1), "23:59:59");
}

// A volume of about a thousand cubic metres and an operating time of about an hour, read every
// second for ten minutes from 12:00:00, with the device silent for ten seconds in between.
class PlotModel : public ::testing::Test {
 protected:
  PlotModel() : model(TLanguage::kEnglish) {
    TPlotSeries v1{"V1, m3", "m3", {}, {}};
    TPlotSeries v2{"V2, m3", "m3", {}, {}};
    TPlotSeries time{"Tnar1, s", "s", {}, {}};
    for (int t = 0; t <= 600; ++t) {
      const bool silent = t >= 300 && t < 310;
      const double none = std::numeric_limits<double>::quiet_NaN();
      for (TPlotSeries* s : {&v1, &v2, &time}) s->t.push_back(t);
      v1.y.push_back(silent ? none : 1000 + t * 0.0005);
      v2.y.push_back(silent ? none : 20);
      time.y.push_back(silent ? none : 3200 + t);
    }
    model.SetData({v1, v2, time}, 600, 12 * 3600);
    // Every character 7 pixels wide, a line 14 high.
    model.Layout(800, 400, {[](std::string_view s) { return int(s.size()) * 7; }, 14});
  }
  const TPlotPicture& p() const { return model.Picture(); }
  int XOf(double t) const {
    const TPlotRect& a = p().lanes[0].area;
    return a.left + int(std::lround((t - model.From()) / (model.To() - model.From()) * a.Width()));
  }
  TPlotModel model;
};

TEST_F(PlotModel, EachUnitHasItsLaneWithRoundTicksAndTheLegendLiesAbove) {
  ASSERT_EQ(p().lanes.size(), 2u);
  const TPlotLane& volume = p().lanes[0];
  const TPlotLane& time = p().lanes[1];
  EXPECT_EQ(volume.unit, "m3");
  EXPECT_EQ(time.unit, "s");
  EXPECT_LE(volume.area.bottom, time.area.top);
  // V1 and V2 share the volume's lane: it spans both, 20 to 1000.3.
  EXPECT_LT(volume.low, 20);
  EXPECT_GT(volume.high, 1000.3);
  ASSERT_FALSE(time.ticks.empty());
  for (const TPlotTick& tick : time.ticks) {
    EXPECT_EQ(std::fmod(std::stod(tick.text), 100), 0) << tick.text;
    EXPECT_GT(tick.at, time.area.top);
    EXPECT_LT(tick.at, time.area.bottom);
  }
  // The time axis: every two minutes of the clock.
  std::vector<std::string> times;
  for (const TPlotTick& tick : p().time_ticks) times.push_back(tick.text);
  EXPECT_EQ(times, (std::vector<std::string>{"12:00:00", "12:02:00", "12:04:00", "12:06:00",
                                             "12:08:00", "12:10:00"}));
  EXPECT_DOUBLE_EQ(p().time_ticks.front().at, volume.area.left);
  // The legend: all three in one row above the lanes.
  ASSERT_EQ(p().entries.size(), 3u);
  EXPECT_EQ(p().entries[2].text, "Tnar1, s");
  for (const TPlotLegendEntry& e : p().entries) EXPECT_LE(e.box.bottom, volume.area.top);
}

TEST_F(PlotModel, ASilentDeviceLeavesAGapAndTheReadoutSaysSo) {
  ASSERT_EQ(p().lines.size(), 3u);
  EXPECT_EQ(p().lines[0].runs.size(), 2u);
  EXPECT_EQ(p().lines[0].runs[0].size(), 300u);
  model.SetPointer(std::pair{XOf(120), p().lanes[1].area.top + 5});
  ASSERT_TRUE(p().readout.shown);
  EXPECT_EQ(p().readout.lines, (std::vector<std::string>{"12:02:00", "V1, m3: 1000.06",
                                                         "V2, m3: 20", "Tnar1, s: 3320"}));
  EXPECT_TRUE(p().readout.box.right <= 800 && p().readout.box.left >= 0);
  model.SetPointer(std::pair{XOf(305), p().lanes[0].area.top + 5});
  EXPECT_EQ(p().readout.lines[1], "V1, m3: —");
  // Away from the lanes there is none.
  model.SetPointer(std::pair{XOf(305), 1});
  EXPECT_FALSE(p().readout.shown);
  // Nor before a run, which has no clock yet: no readout, no times on the axis.
  model.SetData({}, 0, 0);
  model.SetPointer(std::pair{XOf(0) + 20, p().lanes[0].area.top + 5});
  EXPECT_FALSE(p().readout.shown);
  EXPECT_TRUE(p().time_ticks.empty());
}

TEST_F(PlotModel, ALegendClickHidesAValueAndItsLaneGoesWithTheLast) {
  const TPlotRect time_entry = p().entries[2].box;
  EXPECT_FALSE(model.Click(time_entry.right + 300, time_entry.top + 1));
  ASSERT_TRUE(model.Click(time_entry.left + 1, time_entry.top + 1));
  EXPECT_TRUE(p().entries[2].hidden);
  ASSERT_EQ(p().lanes.size(), 1u);
  EXPECT_EQ(p().lines.size(), 2u);
  ASSERT_TRUE(model.Click(p().entries[0].box.left + 1, time_entry.top + 1));
  // V2 alone: a flat line of a whole number in the middle of its lane, its ticks whole.
  EXPECT_DOUBLE_EQ(p().lanes[0].low + p().lanes[0].high, 40);
  ASSERT_FALSE(p().lanes[0].ticks.empty());
  for (const TPlotTick& tick : p().lanes[0].ticks) {
    EXPECT_EQ(tick.text.find_first_not_of("-0123456789"), std::string::npos) << tick.text;
  }
  ASSERT_TRUE(model.Click(time_entry.left + 1, time_entry.top + 1));
  EXPECT_EQ(p().lanes.size(), 2u);
}

TEST_F(PlotModel, ZoomPanPauseAndFollow) {
  // While following, the wheel keeps the newest read at the right edge.
  model.Zoom(XOf(100), 1);
  EXPECT_TRUE(model.Following());
  EXPECT_DOUBLE_EQ(model.To(), 600);
  EXPECT_DOUBLE_EQ(model.From(), 600 - 480);
  // A dragged range becomes the span, and new reads no longer move it.
  model.Select(XOf(200), XOf(260));
  EXPECT_FALSE(model.Following());
  EXPECT_NEAR(model.From(), 200, 1);
  EXPECT_NEAR(model.To(), 260, 1);
  std::vector<std::string> times;
  for (const TPlotTick& tick : p().time_ticks) times.push_back(tick.text);
  EXPECT_EQ(times.front(), "12:03:30");
  model.SetData({}, 700, 12 * 3600);
  EXPECT_NEAR(model.To(), 260, 1);
  // The wheel keeps the time under the pointer where it is; the least span is five seconds.
  model.Zoom(XOf(230), 40);
  EXPECT_NEAR(model.To() - model.From(), TPlotModel::kLeastSpanS, 1e-9);
  EXPECT_NEAR(model.From(), 230 - 2.5, 0.5);
  // Panning back to the newest read follows again.
  model.Pan(-100000);
  EXPECT_TRUE(model.Following());
  EXPECT_DOUBLE_EQ(model.To(), 700);
  // Paused, the plot stays where it is while reads come; Follow goes on.
  model.SetPaused(true);
  EXPECT_EQ(p().state, "Paused: polling goes on");
  model.SetData({}, 800, 12 * 3600);
  EXPECT_DOUBLE_EQ(model.To(), 700);
  model.Follow();
  model.SetData({}, 800, 12 * 3600);
  EXPECT_DOUBLE_EQ(model.To(), 800);
  EXPECT_FALSE(model.Paused());
  // A run younger than the span fills the plot from its start, ten seconds at least.
  TPlotModel young(TLanguage::kEnglish);
  young.SetData({}, 30, 0);
  EXPECT_DOUBLE_EQ(young.From(), 0);
  young.SetData({}, 3, 0);
  EXPECT_DOUBLE_EQ(young.From(), -7);
}

}  // namespace
}  // namespace oxa
