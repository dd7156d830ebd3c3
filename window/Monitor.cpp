#include "window/Monitor.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "actions/OxaActions.h"
#include "actions/OxaPortTexts.h"
#include "serial/OxaHost.h"
#include "window/FormModel.h"

namespace oxa {

namespace {

std::string Said(TText id, TLanguage language) {
  return std::string(Text(id, language));
}

}  // namespace

TMonitor::TMonitor(TPortLease port, TLanguage language, TMonitorLimits limits)
    : port_(std::move(port)), language_(language), limits_(limits) {
  limits_.history_reads = std::max<size_t>(1, limits_.history_reads);
}

TMonitor::~TMonitor() {
  Stop();
}

bool TMonitor::Running() const {
  std::lock_guard lock(mutex_);
  return running_;
}

std::vector<TPollColumn> TMonitor::Columns() const {
  std::lock_guard lock(mutex_);
  return columns_;
}

size_t TMonitor::HistorySize() const {
  std::lock_guard lock(mutex_);
  return history_t_.size();
}

bool TMonitor::LogWouldReplace(const std::string& path) {
  std::string none;
  // A file of more than no bytes.
  return ReadSmallFile(path, 0, none) == TFileState::kTooLarge;
}

std::string TMonitor::ReplaceQuestion(const std::string& path, TLanguage language) {
  return Said(TText::kMonitorReplaceLog, language) + " " + VisibleText(path) + "?";
}

std::string TMonitor::Start(const TMonitorChoice& choice) {
  if (Running()) return {};
  if (choice.interval_ms < limits_.min_interval_ms) {
    return Said(TText::kMonitorIntervalTooShort, language_);
  }
  // Blank: the form's address, known once the port is taken; 1 stands for it until then.
  const bool typed = choice.addresses.find_first_not_of(" \t") != std::string::npos;
  std::vector<uint8_t> addresses = {1};
  if (typed) {
    std::string compact;
    for (const char c : choice.addresses) {
      if (c != ' ' && c != '\t') compact += c;
    }
    const auto list = ParseAddressList(compact);
    if (!list) return Said(TText::kMonitorBadAddresses, language_);
    addresses = *list;
  }
  std::vector<TPollDevice> devices;
  for (const uint8_t address : addresses) {
    devices.push_back({address, choice.integrators, choice.first_register, choice.register_count,
                       choice.register_format});
  }
  switch (CheckPollRound(devices)) {
    case TPollRoundProblem::kNone:
      break;
    case TPollRoundProblem::kAddress:
      return Said(TText::kMonitorBadAddresses, language_);
    case TPollRoundProblem::kTypeCount:
      return Said(TText::kMonitorTypeCount, language_) + " " +
             std::string(RegisterFormatName(choice.register_format));
    case TPollRoundProblem::kNothing:
    case TPollRoundProblem::kIntegrator:
    case TPollRoundProblem::kRegisters:
      return Said(TText::kMonitorNothingChosen, language_);
  }
  std::vector<TPollColumn> columns = PollRoundColumns(devices, language_, typed);
  if (!port_.begin([this] { Stop(); })) return Said(TText::kArchivePortBusy, language_);
  port_name_ = port_.port_name ? port_.port_name() : std::string();
  if (!typed && port_.ful != nullptr) devices.front().address = port_.ful->NetAddr();
  // The log is made once the port is ours, so that a refused start leaves no file behind;
  // a path that cannot be written is refused before anything is sent.
  if (!choice.csv_path.empty() && !choice.replace_csv && LogWouldReplace(choice.csv_path)) {
    port_.end();
    return Said(TText::kMonitorLogExists, language_) + " " + VisibleText(choice.csv_path);
  }
  if (!choice.csv_path.empty()) {
    if (log_.Open(choice.csv_path)) log_.Write(PollCsvHeader(columns));
    if (!log_.Opened() || log_.Failed()) {
      const TOutputError error = log_.Error();
      log_.Close();
      port_.end();
      std::string why = VisibleText(error.detail);
      if (error.failure == TOutputFailure::kNotRegular) {
        why += ", " + Said(TText::kMonitorNotRegular, language_);
      } else if (error.failure == TOutputFailure::kNotOurs) {
        why += ": " + Said(TText::kMonitorNotOurs, language_);
      }
      return Said(TText::kMonitorLogUnwritable, language_) + " " + VisibleText(choice.csv_path) +
             ": " + why;
    }
  }
  {
    std::lock_guard lock(mutex_);
    choice_ = choice;
    choice_.interval_ms = std::min(choice.interval_ms, kMaxIntervalMs);
    columns_ = std::move(columns);
    devices_ = std::move(devices);
    shown_ = {};
    shown_.running = true;
    for (const TPollColumn& column : columns_) shown_.values.push_back({column, {}, {}});
    history_t_.clear();
    history_y_.clear();
    history_head_ = 0;
    stop_ = false;
    running_ = true;
  }
  port_open_ = false;
  lost_ = false;
  start_ = TClock::now();
  {
    const auto wall = std::chrono::system_clock::now();
    const TLocalTime local = LocalTimeOf(wall);
    std::lock_guard lock(mutex_);
    clock_at_start_ =
        std::chrono::duration<double>(wall.time_since_epoch()).count() + local.utc_offset_s;
  }
  thread_ = std::thread([this] { Run(); });
  return {};
}

void TMonitor::Stop() {
  {
    std::lock_guard lock(mutex_);
    if (!running_) return;
    stop_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
  if (log_.Opened() && !log_.Close()) {
    std::lock_guard lock(mutex_);
    shown_.log_problem = Said(TText::kMonitorLogFailed, language_) + ": " + log_.Error().detail;
  }
  port_open_ = false;
  port_.end();
  std::lock_guard lock(mutex_);
  running_ = false;
  shown_.running = false;
}

void TMonitor::Run() {
  const auto interval = std::chrono::milliseconds(choice_.interval_ms);
  auto next = TClock::now();
  for (;;) {
    {
      std::unique_lock lock(mutex_);
      wake_.wait_until(lock, next, [this] { return stop_.load(); });
      if (stop_) break;
    }
    PollOnce();
    // The next tick of the schedule that is still ahead: a read slower than the interval
    // takes the next one, and a late one never brings a burst of reads to catch up.
    next += interval;
    const auto now = TClock::now();
    if (next <= now) {
      next = interval.count() == 0 ? now : next + interval * ((now - next) / interval + 1);
    }
  }
}

void TMonitor::PollOnce() {
  const TLocalTime time = LocalTimeOf(std::chrono::system_clock::now());
  const double t_s = std::chrono::duration<double>(TClock::now() - start_).count();
  std::vector<std::optional<double>> row(columns_.size());
  std::optional<TOxaError> failure;
  std::string problem;
  if (!port_open_) port_open_ = port_.open();
  if (!port_open_) {
    failure = TOxaError::kPortNotOpen;
    // Why, whole, as the archive window and a test's data pane say it.
    const std::string why = port_.failure ? port_.failure() : std::string();
    problem = lost_         ? PortLostText(port_name_, language_)
              : why.empty() ? std::string(ErrorText(TOxaError::kPortNotOpen, language_))
                            : why;
  } else {
    TPollRoundEvents events;
    events.exchanged = port_.after_exchange;
    events.stop = [this] { return stop_ || port_.lost(); };
    TPollRoundRead read = ReadPollRound(*port_.ful, devices_, language_, events);
    read.values.resize(columns_.size());
    row = std::move(read.values);
    failure = read.failure;
    // A round cut short by Stop is no read: nothing of it is counted or logged.
    if (stop_) return;
    if (port_.lost()) {
      // The adapter went: said, and the port is opened afresh on the next tick.
      port_.close();
      port_open_ = false;
      lost_ = true;
      if (!failure) failure = TOxaError::kNoPortOrWriteFailed;
      problem = PortLostText(port_name_, language_);
    } else {
      lost_ = false;
      if (failure) problem = std::string(ErrorText(*failure, language_));
    }
  }
  if (log_.Opened() && !log_.Failed()) {
    log_.Write(PollCsvRow(time, columns_, row,
                          failure ? ErrorText(*failure, language_) : std::string_view("OK")));
  }
  const std::string time_text = ClockTimeText(time);
  std::lock_guard lock(mutex_);
  ++shown_.reads;
  if (failure) ++shown_.failures;
  shown_.problem = problem;
  if (log_.Failed() && shown_.log_problem.empty()) {
    shown_.log_problem = Said(TText::kMonitorLogFailed, language_) + ": " + log_.Error().detail;
  }
  for (size_t i = 0; i < row.size(); ++i) {
    if (!row[i]) continue;
    shown_.values[i].value = row[i];
    shown_.values[i].time = time_text;
  }
  AddHistory(t_s, row);
}

void TMonitor::AddHistory(double t_s, const std::vector<std::optional<double>>& row) {
  const size_t width = columns_.size();
  const auto as_float = [](const std::optional<double>& v) {
    return v ? static_cast<float>(*v) : std::numeric_limits<float>::quiet_NaN();
  };
  if (history_t_.size() < limits_.history_reads) {
    history_t_.push_back(t_s);
    for (const auto& v : row) history_y_.push_back(as_float(v));
    return;
  }
  // Full: the newest read takes the oldest one's place.
  history_t_[history_head_] = t_s;
  for (size_t i = 0; i < width; ++i) history_y_[history_head_ * width + i] = as_float(row[i]);
  history_head_ = (history_head_ + 1) % limits_.history_reads;
}

TMonitorSnapshot TMonitor::Snapshot() const {
  std::lock_guard lock(mutex_);
  return shown_;
}

double TMonitor::RunTime() const {
  std::lock_guard lock(mutex_);
  const size_t count = history_t_.size();
  if (running_) return std::chrono::duration<double>(TClock::now() - start_).count();
  return count == 0 ? 0 : history_t_[(history_head_ + count - 1) % count];
}

double TMonitor::ClockAtStart() const {
  std::lock_guard lock(mutex_);
  return clock_at_start_;
}

std::vector<TPlotSeries> TMonitor::Plot(double span_s, size_t max_points) const {
  const double now = RunTime();
  std::vector<TPlotSeries> plot = PlotRange(now - span_s, now, max_points);
  for (TPlotSeries& series : plot) {
    for (double& t : series.t) t = now - t;
  }
  return plot;
}

std::vector<TPlotSeries> TMonitor::PlotRange(double from, double to, size_t max_points) const {
  std::lock_guard lock(mutex_);
  const size_t width = columns_.size();
  const size_t count = history_t_.size();
  std::vector<TPlotSeries> plot(width);
  for (size_t c = 0; c < width; ++c) {
    plot[c].name =
        columns_[c].unit.empty() ? columns_[c].name : columns_[c].name + ", " + columns_[c].unit;
    plot[c].unit = columns_[c].unit;
  }
  if (count == 0 || max_points < 4 || !(to > from)) return plot;
  const double span_s = to - from;
  // Stretches of equal time, each giving its first, least, greatest and last value in the
  // order they were read: a spike stays, and a flat line still runs from end to end. A read
  // without a value ends the stretch and leaves a gap.
  const size_t stretches = std::max<size_t>(1, max_points / 4);
  const double stretch_s = span_s / static_cast<double>(stretches);
  constexpr size_t kNone = std::numeric_limits<size_t>::max();
  struct TPoint {
    double t;
    double y;
  };
  // One read before the range and one after it, so that the line runs to both edges.
  size_t begin = 0;
  while (begin < count && history_t_[(history_head_ + begin) % count] < from) ++begin;
  if (begin > 0) --begin;
  size_t end = begin;
  while (end < count && history_t_[(history_head_ + end) % count] <= to) ++end;
  if (end < count) ++end;
  for (size_t c = 0; c < width; ++c) {
    TPlotSeries& series = plot[c];
    size_t current = kNone;
    TPoint first{}, low{}, high{}, last{};
    const auto flush = [&] {
      if (current == kNone) return;
      TPoint points[] = {first, low, high, last};
      std::sort(std::begin(points), std::end(points),
                [](const TPoint& a, const TPoint& b) { return a.t < b.t; });
      for (size_t k = 0; k < std::size(points); ++k) {
        if (k > 0 && points[k].t == points[k - 1].t) continue;
        series.t.push_back(points[k].t);
        series.y.push_back(points[k].y);
      }
      current = kNone;
    };
    for (size_t k = begin; k < end; ++k) {
      const size_t at = (history_head_ + k) % count;
      const double t = history_t_[at];
      const float v = history_y_[at * width + c];
      if (std::isnan(v)) {
        flush();
        if (!series.y.empty() && !std::isnan(series.y.back())) {
          series.t.push_back(t);
          series.y.push_back(std::numeric_limits<double>::quiet_NaN());
        }
        continue;
      }
      const auto s = static_cast<size_t>(
          std::clamp((t - from) / stretch_s, 0.0, static_cast<double>(stretches - 1)));
      const TPoint point{t, v};
      if (s != current) {
        flush();
        current = s;
        first = low = high = point;
      } else if (point.y < low.y) {
        low = point;
      } else if (point.y > high.y) {
        high = point;
      }
      last = point;
    }
    flush();
  }
  return plot;
}

}  // namespace oxa
