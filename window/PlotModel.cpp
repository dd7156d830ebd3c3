#include "window/PlotModel.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "serial/OxaOutputFile.h"

namespace oxa {

namespace {

constexpr int kMargin = 4;
constexpr int kSwatchWidth = 14;
constexpr double kZoomPerStep = 0.8;
// The clock-round steps of the time axis, in seconds.
constexpr double kTimeSteps[] = {1,   2,   5,    10,   15,   30,    60,    120,   300,
                                 600, 900, 1800, 3600, 7200, 10800, 21600, 43200, 86400};

bool Hit(const TPlotRect& r, int x, int y) {
  return r.Contains(x, y);
}

// A value for the readout: seven significant digits, no exponent below a billion.
std::string ReadoutText(double value) {
  char text[48];
  if (std::abs(value) < 1e9 && std::abs(value) >= 1e-3) {
    const int digits = std::abs(value) < 1 ? 0 : static_cast<int>(std::log10(std::abs(value)));
    std::snprintf(text, sizeof text, "%.*f", std::max(0, 6 - digits), value);
    // Trailing zeros after the point say nothing.
    std::string s = text;
    if (s.find('.') != std::string::npos) {
      while (s.back() == '0') s.pop_back();
      if (s.back() == '.') s.pop_back();
    }
    return s;
  }
  std::snprintf(text, sizeof text, "%.7g", value);
  return text;
}

}  // namespace

TPlotColour PlotColour(size_t index) {
  static constexpr TPlotColour kColours[] = {{31, 119, 180},  {214, 39, 40},   {44, 160, 44},
                                             {255, 127, 14},  {148, 103, 189}, {140, 86, 75},
                                             {227, 119, 194}, {127, 127, 127}};
  return kColours[index % std::size(kColours)];
}

double RoundStep(double raw) {
  if (!(raw > 0) || !std::isfinite(raw)) return 1;
  // The power of ten by whole multiplications, so that 0.1 is the double nearest a tenth on
  // every system's pow.
  const int exponent = static_cast<int>(std::floor(std::log10(raw)));
  double whole = 1;
  for (int i = 0; i < std::abs(exponent); ++i) whole *= 10;
  for (const double m : {1.0, 2.0, 5.0, 10.0}) {
    const double step = exponent >= 0 ? m * whole : m / whole;
    // A little slack: 0.3 / 0.1 is not quite 3 in doubles.
    if (step >= raw * (1 - 1e-9)) return step;
  }
  return exponent >= 0 ? 10 * whole : 10 / whole;
}

std::vector<double> ValueTicks(double low, double high, double least_gap) {
  std::vector<double> ticks;
  if (!(high > low) || !std::isfinite(low) || !std::isfinite(high)) return ticks;
  const double step = RoundStep(least_gap);
  // A step below one is a whole fraction (1/2, 1/5, 1/50): a tick is a whole number divided
  // by a whole number, the double nearest the decimal it stands for.
  const double per_unit = step < 1 ? std::round(1 / step) : 0;
  for (double k = std::ceil(low / step - 1e-9);; ++k) {
    const double value = per_unit > 0 ? k / per_unit : k * step;
    if (value > high + std::abs(high) * 1e-12 || ticks.size() > 1000) break;
    ticks.push_back(std::abs(k) < 0.5 ? 0.0 : value);  // zero, not -0
  }
  return ticks;
}

std::string TickText(double value, double step) {
  char text[48];
  if (std::abs(value) >= 1e12 || (step < 1e-9 && value != 0)) {
    std::snprintf(text, sizeof text, "%g", value);
    return text;
  }
  const int decimals = std::max(0, static_cast<int>(-std::floor(std::log10(step) + 1e-9)));
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  std::string s = text;
  if (s == "-0" || s.find_first_not_of("-0.") == std::string::npos) s = s.substr(s[0] == '-');
  return s;
}

double TimeStep(double least_s) {
  for (const double step : kTimeSteps) {
    if (step >= least_s) return step;
  }
  return kTimeSteps[std::size(kTimeSteps) - 1];
}

std::string ClockText(double clock_s) {
  const auto day_s = static_cast<long long>(std::floor(clock_s + 1e-6)) % 86400;
  const long long s = day_s < 0 ? day_s + 86400 : day_s;
  char text[16];
  std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
  return text;
}

std::string SavePlotPicture(const std::string& path, std::span<const uint8_t> bytes,
                            TLanguage language) {
  TOutputFile file;
  if (file.Create(path, ".part") && file.Write(bytes) && file.Commit()) return {};
  if (file.Opened()) file.Discard();
  return std::string(Text(TText::kPlotSaveFailed, language)) + " " + VisibleText(path) + ": " +
         VisibleText(file.Error().detail);
}

TPlotModel::TPlotModel(TLanguage language) : language_(language) {}

double TPlotModel::FollowedSpan() const {
  // A run younger than the span fills the plot from its start, ten seconds at least.
  return std::min(span_, std::max(2 * kLeastSpanS, now_));
}

double TPlotModel::From() const {
  return following_ ? now_ - FollowedSpan() : from_;
}

double TPlotModel::To() const {
  return following_ ? now_ : to_;
}

void TPlotModel::SetData(std::vector<TPlotSeries> series, double now_s, double clock_at_start_s) {
  // Another run's values: all are shown again.
  bool same = series.size() == series_.size();
  for (size_t i = 0; same && i < series.size(); ++i) same = series[i].name == series_[i].name;
  if (!same) hidden_.assign(series.size(), false);
  series_ = std::move(series);
  if (!paused_) now_ = now_s;
  clock_at_start_ = clock_at_start_s;
  Relayout();
}

void TPlotModel::Take(const TMonitor& monitor) {
  const double now = paused_ ? now_ : monitor.RunTime();
  const double from = following_ ? now - std::min(span_, std::max(2 * kLeastSpanS, now)) : from_;
  const double to = following_ ? now : to_;
  // Four points a stretch of two pixels: the first, least, greatest and last read in it.
  const int width =
      picture_.lanes.empty() ? std::max(width_, 200) : picture_.lanes.front().area.Width();
  SetData(monitor.PlotRange(from, to, static_cast<size_t>(std::max(2, width / 2)) * 4), now,
          monitor.ClockAtStart());
}

void TPlotModel::Layout(int width, int height, const TPlotFont& font) {
  width_ = std::max(0, width);
  height_ = std::max(0, height);
  font_ = font;
  Relayout();
}

int TPlotModel::TextWidth(std::string_view text) const {
  return font_.width ? font_.width(text) : static_cast<int>(text.size()) * font_.height / 2;
}

double TPlotModel::TimeAt(double x) const {
  if (picture_.lanes.empty()) return To();
  const TPlotRect& area = picture_.lanes.front().area;
  return From() + (x - area.left) / std::max(1, area.Width()) * (To() - From());
}

void TPlotModel::Relayout() {
  picture_ = {};
  picture_.bounds = {0, 0, width_, height_};
  picture_.line_height = font_.height;
  picture_.selection = selection_;
  if (width_ <= 0 || height_ <= 0) return;
  LayOutLegend();
  LayOutLanes(picture_.legend.bottom + kMargin);
  LayOutReadout();
}

void TPlotModel::LayOutLegend() {
  const int h = font_.height;
  int x = kMargin;
  int y = kMargin;
  const int right = width_ - kMargin;
  for (size_t i = 0; i < series_.size(); ++i) {
    const int text_width = TextWidth(series_[i].name);
    const int w = kSwatchWidth + 4 + text_width + 12;
    if (x > kMargin && x + w > right) {
      x = kMargin;
      y += h;
    }
    TPlotLegendEntry entry;
    entry.box = {x, y, x + w, y + h};
    entry.swatch = {x, y + h / 2 - 2, x + kSwatchWidth, y + h / 2 + 2};
    entry.text_left = x + kSwatchWidth + 4;
    entry.text = series_[i].name;
    entry.colour = PlotColour(i);
    entry.hidden = hidden_[i];
    picture_.entries.push_back(std::move(entry));
    x += w;
  }
  if (paused_) {
    picture_.state = std::string(Text(TText::kPlotPaused, language_));
    const int w = TextWidth(picture_.state);
    if (x + w > right && x > kMargin) {
      x = kMargin;
      y += h;
    }
    picture_.state_left = std::max(x, right - w);
  }
  const bool any = !series_.empty() || paused_;
  picture_.legend = {kMargin, kMargin, right, any ? y + h : kMargin};
}

void TPlotModel::LayOutLanes(int top) {
  const int h = font_.height;
  const double from = From();
  const double to = To();
  // The lanes: one a unit, in the order their values first come.
  std::vector<std::string> units;
  std::vector<size_t> lane_of(series_.size(), 0);
  for (size_t i = 0; i < series_.size(); ++i) {
    if (hidden_[i]) continue;
    const auto at = std::find(units.begin(), units.end(), series_[i].unit);
    lane_of[i] = static_cast<size_t>(at - units.begin());
    if (at == units.end()) units.push_back(series_[i].unit);
  }
  if (units.empty()) units.emplace_back();  // an empty plot still has its axes
  const int time_text_top = height_ - kMargin - h;
  const int bottom = time_text_top - 2;
  const int gap = h / 2 + kMargin;
  const int lanes = static_cast<int>(units.size());
  const int lane_height = std::max(4, (bottom - top - h / 2 - gap * (lanes - 1)) / lanes);
  picture_.time_text_top = time_text_top;
  // Each lane's range: its shown values in the span, with a little room above and below.
  int axis_width = 0;
  for (int l = 0; l < lanes; ++l) {
    TPlotLane lane;
    lane.unit = units[static_cast<size_t>(l)];
    lane.area.top = top + h / 2 + l * (lane_height + gap);
    lane.area.bottom = lane.area.top + lane_height;
    double low = std::numeric_limits<double>::infinity();
    double high = -low;
    bool whole = false;
    for (size_t i = 0; i < series_.size(); ++i) {
      if (hidden_[i] || lane_of[i] != static_cast<size_t>(l)) continue;
      const TPlotSeries& s = series_[i];
      for (size_t k = 0; k < s.t.size() && k < s.y.size(); ++k) {
        if (!std::isfinite(s.y[k]) || s.t[k] < from || s.t[k] > to) continue;
        low = std::min(low, s.y[k]);
        high = std::max(high, s.y[k]);
      }
    }
    if (!(low <= high)) {
      low = 0;
      high = 1;
    } else if (high - low <= 1e-9 * std::max(1.0, std::abs(high))) {
      // A flat line lies in the middle of its lane. A whole number (a counter, a register)
      // gets whole ticks around it, never 150.05.
      whole = high == std::round(high) && std::abs(high) < 1e15;
      const double pad = whole || high == 0 ? 1 : std::abs(high) * 1e-3;
      low -= pad;
      high += pad;
    } else {
      const double pad = (high - low) * 0.05;
      low -= pad;
      high += pad;
    }
    lane.low = low;
    lane.high = high;
    // Ticks at least a line and a half apart.
    const double per_pixel = (high - low) / std::max(1, lane_height);
    const double least_gap = whole ? std::max(1.0, per_pixel * 1.5 * h) : per_pixel * 1.5 * h;
    const double step = RoundStep(least_gap);
    for (const double v : ValueTicks(low, high, least_gap)) {
      const double y = lane.area.bottom - (v - low) / per_pixel;
      // Each text clear of the unit and of the next lane's texts: the lowest may reach into
      // the gap between two lanes, never under the time axis.
      const bool last = l + 1 == lanes;
      if (y - h / 2.0 < lane.area.top + (lane.unit.empty() ? 0 : h) ||
          y + (last ? h / 2.0 : 0) > lane.area.bottom) {
        continue;
      }
      lane.ticks.push_back({y, TickText(v, step)});
      axis_width = std::max(axis_width, TextWidth(lane.ticks.back().text));
    }
    axis_width = std::max(axis_width, TextWidth(lane.unit));
    picture_.lanes.push_back(std::move(lane));
  }
  const int left = kMargin + axis_width + 6;
  const int right = std::max(left + 4, width_ - kMargin - TextWidth("00:00:00") / 2);
  picture_.axis_right = left - 4;
  for (TPlotLane& lane : picture_.lanes) {
    lane.area.left = left;
    lane.area.right = right;
  }
  // The time axis: clock-round ticks at least a text and a half apart.
  const double span = std::max(1e-9, to - from);
  const double per_pixel = span / std::max(1, right - left);
  const double step = TimeStep(per_pixel * (TextWidth("00:00:00") * 1.5 + 8));
  const double first = std::ceil((clock_at_start_ + from) / step - 1e-9) * step;
  // Before a run there is no clock to read: the axis has its frame and no times.
  for (double clock = first; !series_.empty() && clock <= clock_at_start_ + to + 1e-9;
       clock += step) {
    picture_.time_ticks.push_back(
        {left + (clock - clock_at_start_ - from) / per_pixel, ClockText(clock)});
  }
  // The lines, in pixels; a gap ends a run.
  for (size_t i = 0; i < series_.size(); ++i) {
    if (hidden_[i]) continue;
    const TPlotLane& lane = picture_.lanes[lane_of[i]];
    const double y_per = (lane.high - lane.low) / std::max(1, lane.area.Height());
    TPlotLine line;
    line.series = i;
    line.lane = lane_of[i];
    line.colour = PlotColour(i);
    std::vector<TPlotPoint> run;
    const TPlotSeries& s = series_[i];
    for (size_t k = 0; k < s.t.size() && k < s.y.size(); ++k) {
      if (!std::isfinite(s.y[k])) {
        if (!run.empty()) line.runs.push_back(std::move(run));
        run.clear();
        continue;
      }
      run.push_back(
          {left + (s.t[k] - from) / per_pixel, lane.area.bottom - (s.y[k] - lane.low) / y_per});
    }
    if (!run.empty()) line.runs.push_back(std::move(run));
    picture_.lines.push_back(std::move(line));
  }
}

void TPlotModel::LayOutReadout() {
  if (!pointer_ || series_.empty() || !OverLanes(pointer_->first, pointer_->second)) return;
  const int x = pointer_->first;
  const int y = pointer_->second;
  const double t = TimeAt(x);
  TPlotReadout& r = picture_.readout;
  r.shown = true;
  r.x = x;
  r.lines.push_back(ClockText(clock_at_start_ + t));
  r.colours.emplace_back();
  for (size_t i = 0; i < series_.size(); ++i) {
    if (hidden_[i]) continue;
    const TPlotSeries& s = series_[i];
    // The value read last at that time: none in a gap or before the first read.
    const auto after = std::upper_bound(s.t.begin(), s.t.end(), t);
    std::string value = "—";
    if (after != s.t.begin()) {
      const double v = s.y[static_cast<size_t>(after - s.t.begin()) - 1];
      if (std::isfinite(v)) value = ReadoutText(v);
    }
    r.lines.push_back(s.name + ": " + value);
    r.colours.push_back(PlotColour(i));
  }
  int w = 0;
  for (const std::string& line : r.lines) w = std::max(w, TextWidth(line));
  w += kSwatchWidth + 4 + 2 * kMargin;
  const int h = static_cast<int>(r.lines.size()) * font_.height + 2 * kMargin;
  // Right of the pointer, or left of it where the plot ends; within the plot.
  int left = x + 12;
  if (left + w > width_) left = x - 12 - w;
  left = std::max(0, left);
  const int top = std::clamp(y - h / 2, 0, std::max(0, height_ - h));
  r.box = {left, top, left + w, top + h};
}

bool TPlotModel::OverLanes(int x, int y) const {
  return std::any_of(picture_.lanes.begin(), picture_.lanes.end(),
                     [x, y](const TPlotLane& lane) { return Hit(lane.area, x, y); });
}

void TPlotModel::Zoom(int x, double steps) {
  const double factor = std::pow(kZoomPerStep, steps);
  if (following_) {
    span_ = std::clamp(FollowedSpan() * factor, kLeastSpanS, kGreatestSpanS);
  } else {
    const double at = TimeAt(x);
    const double span = std::clamp((to_ - from_) * factor, kLeastSpanS, kGreatestSpanS);
    const double share = (at - from_) / std::max(1e-9, to_ - from_);
    from_ = at - share * span;
    to_ = from_ + span;
  }
  Relayout();
}

void TPlotModel::Pan(int dx) {
  if (picture_.lanes.empty() || dx == 0) return;
  const double span = To() - From();
  const double shift = -dx * span / std::max(1, picture_.lanes.front().area.Width());
  from_ = From() + shift;
  to_ = from_ + span;
  following_ = false;
  // Dragged up to the newest read: it follows again.
  if (to_ >= now_) {
    span_ = span;
    following_ = true;
  }
  Relayout();
}

void TPlotModel::SetSelection(std::optional<std::pair<int, int>> xs) {
  selection_ = xs;
  picture_.selection = xs;
}

void TPlotModel::Select(int x0, int x1) {
  selection_.reset();
  if (std::abs(x1 - x0) >= 4) {
    const double a = TimeAt(std::min(x0, x1));
    const double b = TimeAt(std::max(x0, x1));
    const double span = std::max(kLeastSpanS, b - a);
    from_ = (a + b) / 2 - span / 2;
    to_ = from_ + span;
    following_ = false;
  }
  Relayout();
}

void TPlotModel::Follow() {
  if (!following_) span_ = std::clamp(to_ - from_, kLeastSpanS, kGreatestSpanS);
  following_ = true;
  paused_ = false;
  Relayout();
}

void TPlotModel::SetPaused(bool paused) {
  paused_ = paused;
  Relayout();
}

bool TPlotModel::Click(int x, int y) {
  for (size_t i = 0; i < picture_.entries.size() && i < hidden_.size(); ++i) {
    if (!Hit(picture_.entries[i].box, x, y)) continue;
    hidden_[i] = !hidden_[i];
    Relayout();
    return true;
  }
  return false;
}

void TPlotModel::SetPointer(std::optional<std::pair<int, int>> xy) {
  pointer_ = xy;
  Relayout();
}

}  // namespace oxa
