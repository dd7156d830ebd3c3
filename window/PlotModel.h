// The monitor's plot without its drawing: everything a view needs to draw it, in pixels, so
// that the Qt window and the Win32 window draw the same picture and only draw.
//
// Values of one unit share a lane: the lanes are stacked, each with its own value axis, its
// ticks at round values (1, 2, 5 × 10ⁿ) and its unit, so that a volume of a thousand cubic
// metres and an operating time of an hour are each read on their own scale and neither lies
// flat. One time axis under them all reads in clock time ("12:04:10"), its ticks following the
// span shown. The legend lies above the lanes, never over a line; a click on an entry hides
// its value or shows it again. A read without a value leaves a gap in its line.
//
// The span follows the newest read by default (the last ten minutes); the wheel zooms, a drag
// picks a range or pans, and Follow comes back to the newest. Pause holds the picture while
// the monitor polls on. Under the pointer the model gives a readout: the time there and each
// shown value at that time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "actions/TextCatalog.h"
#include "window/Monitor.h"

namespace oxa {

struct TPlotRect {
  int left = 0;
  int top = 0;
  int right = 0;  // past the last pixel
  int bottom = 0;
  int Width() const { return right - left; }
  int Height() const { return bottom - top; }
  bool Contains(int x, int y) const { return x >= left && x < right && y >= top && y < bottom; }
};

struct TPlotColour {
  uint8_t r = 0;
  uint8_t g = 0;
  uint8_t b = 0;
};

struct TPlotPoint {
  double x = 0;
  double y = 0;
};

// A tick of an axis: its pixel (x on the time axis, y on a value axis) and its text.
struct TPlotTick {
  double at = 0;
  std::string text;
};

// One lane: the values of one unit on their own scale.
struct TPlotLane {
  TPlotRect area;    // where its lines go (the view clips them to it)
  std::string unit;  // written at the top of its axis
  double low = 0;    // the values at the bottom and the top of the area
  double high = 1;
  std::vector<TPlotTick> ticks;
};

// A value's line: runs of points, a gap between two runs. A run of one point is a dot.
struct TPlotLine {
  size_t series = 0;
  size_t lane = 0;  // its lane in TPlotPicture::lanes, which clips it
  TPlotColour colour;
  std::vector<std::vector<TPlotPoint>> runs;
};

struct TPlotLegendEntry {
  TPlotRect box;     // what a click hits
  TPlotRect swatch;  // the colour's mark
  int text_left = 0;
  std::string text;
  TPlotColour colour;
  bool hidden = false;  // drawn greyed, its line not drawn
};

// What lies under the pointer: the time there, then each shown value at that time.
struct TPlotReadout {
  bool shown = false;
  double x = 0;   // the time's vertical line
  TPlotRect box;  // where the lines go, clear of the pointer, inside the plot
  std::vector<std::string> lines;
  std::vector<std::optional<TPlotColour>> colours;  // a swatch before each value's line
};

struct TPlotPicture {
  TPlotRect bounds;
  TPlotRect legend;
  std::vector<TPlotLegendEntry> entries;
  std::string state;  // "Paused: polling goes on", right in the legend's row; empty otherwise
  int state_left = 0;
  std::vector<TPlotLane> lanes;
  int axis_right = 0;     // the value axes' texts end here (right-aligned)
  int time_text_top = 0;  // the time axis' texts, centred on their ticks
  std::vector<TPlotTick> time_ticks;
  std::vector<TPlotLine> lines;
  std::optional<std::pair<int, int>> selection;  // a range being dragged: from x to x
  TPlotReadout readout;
  int line_height = 13;
};

// How the view measures its text.
struct TPlotFont {
  std::function<int(std::string_view)> width;
  int height = 13;
};

// The plot's colours, one a value, as the legend shows them.
TPlotColour PlotColour(size_t index);
// The round step (1, 2 or 5 × 10ⁿ) at or above `raw`; 1 for a step that is no positive number.
double RoundStep(double raw);
// The value ticks from `low` to `high`, at least `least_gap` apart: multiples of a round step.
std::vector<double> ValueTicks(double low, double high, double least_gap);
// A value as an axis writes it at `step`: as many decimals as the step needs ("1000.05").
std::string TickText(double value, double step);
// The time step of the time axis (1 s to a day, at clock-round values) at or above `least_s`.
double TimeStep(double least_s);
// A local clock in seconds since 1970 as a time of day: "12:04:10".
std::string ClockText(double clock_s);

// Writes a picture's bytes (a PNG) to `path` whole: through a temporary file beside it that
// takes its place once written. Empty when it did; otherwise what went wrong, for the user.
std::string SavePlotPicture(const std::string& path, std::span<const uint8_t> bytes,
                            TLanguage language);

class TPlotModel {
 public:
  static constexpr double kDefaultSpanS = 600;
  static constexpr double kLeastSpanS = 5;
  static constexpr double kGreatestSpanS = 86'400;

  explicit TPlotModel(TLanguage language);

  // The values, times in seconds of the run, the run's seconds now, and the local clock at the
  // run's start (TMonitor::ClockAtStart). While paused, `now_s` is not taken.
  void SetData(std::vector<TPlotSeries> series, double now_s, double clock_at_start_s);
  // Takes the monitor's values over the span shown: the view's timer calls it.
  void Take(const TMonitor& monitor);
  // Lays the picture out for a plot of `width` × `height` pixels.
  void Layout(int width, int height, const TPlotFont& font);
  const TPlotPicture& Picture() const { return picture_; }

  // The span shown, in seconds of the run.
  double From() const;
  double To() const;
  bool Following() const { return following_; }
  bool Paused() const { return paused_; }

  // The wheel: `steps` notches (positive in) around the time under `x`; while following, the
  // newest read stays at the right edge.
  void Zoom(int x, double steps);
  // A drag by `dx` pixels: the lines move with the pointer. Reaching the newest read follows.
  void Pan(int dx);
  // The range being dragged, drawn as a band; nothing ends it.
  void SetSelection(std::optional<std::pair<int, int>> xs);
  // The dragged range from `x0` to `x1` becomes the span (a range of a few pixels is none).
  void Select(int x0, int x1);
  // Back to the newest read, at the span shown now, and not paused.
  void Follow();
  void SetPaused(bool paused);
  // A click: on a legend entry, hides its value or shows it again. True when it hit one.
  bool Click(int x, int y);
  // Where the pointer is (nothing: it left the plot), for the readout.
  void SetPointer(std::optional<std::pair<int, int>> xy);
  // Whether (x, y) lies over the lanes, where drags and the wheel act.
  bool OverLanes(int x, int y) const;
  const std::vector<bool>& Hidden() const { return hidden_; }

 private:
  double TimeAt(double x) const;
  // The span while following: the zoomed one, or the run's whole time while it is shorter.
  double FollowedSpan() const;
  // Lays the picture out again after a change, at the last size.
  void Relayout();
  void LayOutLegend();
  void LayOutLanes(int top);
  void LayOutReadout();
  int TextWidth(std::string_view text) const;

  TLanguage language_;
  std::vector<TPlotSeries> series_;
  std::vector<bool> hidden_;
  double now_ = 0;
  double clock_at_start_ = 0;
  bool following_ = true;
  bool paused_ = false;
  double span_ = kDefaultSpanS;  // while following
  double from_ = 0;              // while not
  double to_ = kDefaultSpanS;
  std::optional<std::pair<int, int>> pointer_;
  std::optional<std::pair<int, int>> selection_;
  int width_ = 0;
  int height_ = 0;
  TPlotFont font_;
  TPlotPicture picture_;
};

}  // namespace oxa
