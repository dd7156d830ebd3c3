// The monitor: values of the device polled at a steady interval for as long as the user likes,
// without the drawing. It reads a choice of the 32 integrators and a run of registers, keeps
// the last good value of each with the time of its read, counts reads and failures, keeps a
// bounded history for the plot, and writes a CSV row per read (actions/PollCsv.h) through at
// once, so a crash loses at most the row under way.
//
// It holds the form's port as a test does (TPortLease: the form model's long work), polls on
// a thread of its own and never calls the view: the view takes a snapshot on a timer. A lost
// adapter is said, the port is closed and opened afresh on each tick until it is back, and
// polling goes on.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "actions/PollCsv.h"
#include "actions/PollRound.h"
#include "actions/TextCatalog.h"
#include "devices/oxaFul0508.h"
#include "serial/OxaOutputFile.h"
#include "window/PortLease.h"

namespace oxa {

// What the user chose to poll.
// The same integrators and registers are read of every address, address after address.
struct TMonitorChoice {
  // The devices' addresses as the user typed them ("1,3,5-7"); blank: the one address chosen
  // in the form. Typed addresses name each value with its address ("2:V1").
  std::string addresses = {};
  std::vector<size_t> integrators = {};  // positions in kIntegrators, in the order shown
  uint16_t first_register = 0;
  uint16_t register_count = 0;  // registers, a whole number of values of the format; 0: none
  TRegisterFormat register_format = TRegisterFormat::kU16;
  uint32_t interval_ms = 1000;
  std::string csv_path = {};  // empty: no log
  // A file at csv_path that holds something may be replaced: the user said so.
  bool replace_csv = false;
};

// One value as the table shows it.
struct TMonitorValue {
  TPollColumn column;
  std::optional<double> value;  // the last good one
  std::string time;             // of its read, as a clock reads it ("12:46:48"); empty before
};

// One polyline of the plot: times in seconds, and the values. A NaN value is a gap: reads that
// got no value (a device that did not answer, a port that would not open) break the line there.
struct TPlotSeries {
  std::string name;  // "V1, m3": the value and its unit, as the legend names it
  std::string unit;  // "m3"; empty for a register
  std::vector<double> t;
  std::vector<double> y;
};

struct TMonitorSnapshot {
  bool running = false;
  uint64_t reads = 0;
  uint64_t failures = 0;    // reads with at least one failed exchange, or no port
  std::string problem;      // what went wrong last, while it still does; empty when all is well
  std::string log_problem;  // the CSV log could not be written on; polling goes on
  std::vector<TMonitorValue> values;
};

// The bounds of a run. The window keeps the defaults; a test or a benchmark may poll faster or
// keep less.
struct TMonitorLimits {
  uint32_t min_interval_ms = 100;
  // The history of the plot: the last `history_reads` reads (ten minutes at the shortest
  // interval), whatever the run's length.
  size_t history_reads = 6000;
};

class TMonitor {
 public:
  // The longest interval: a day. A longer one is taken as a day.
  static constexpr uint32_t kMaxIntervalMs = 86'400'000;

  TMonitor(TPortLease port, TLanguage language, TMonitorLimits limits = {});
  ~TMonitor();  // stops
  TMonitor(const TMonitor&) = delete;
  TMonitor& operator=(const TMonitor&) = delete;

  // Window's thread. Checks the choice, takes the port, makes the log and starts polling at
  // once. Empty when it started; otherwise what was wrong, for the user, and nothing was
  // sent nor any file touched (an interval below the limits' least, an address outside 1..247,
  // a register count that is no whole number of values of the type, nothing chosen, a log
  // that cannot be written, the port busy).
  std::string Start(const TMonitorChoice& choice);
  // Whether a log at `path` would replace a file that holds something: the window asks the
  // user first (and says so in replace_csv).
  static bool LogWouldReplace(const std::string& path);
  // The question the window asks then.
  static std::string ReplaceQuestion(const std::string& path, TLanguage language);
  // Window's thread. Ends polling after the read under way (a waiting poll ends at once),
  // closes the log and gives the port back. Nothing when not running.
  void Stop();
  bool Running() const;

  // What the view shows, taken under the lock: any thread.
  TMonitorSnapshot Snapshot() const;
  // The last `span_s` seconds of history, at most `max_points` (4 or more) points a value: of
  // each stretch of time its first, least, greatest and last value, so that no spike goes
  // missing and a flat line still spans its time.
  // Times in seconds before now (the newest at 0).
  std::vector<TPlotSeries> Plot(double span_s, size_t max_points) const;
  // The same of the run's seconds from `from_s` to `to_s`, times in seconds of the run.
  std::vector<TPlotSeries> PlotRange(double from_s, double to_s, size_t max_points) const;
  // The run's seconds now; once it stopped, those of its last read.
  double RunTime() const;
  // The local clock at the run's start, in seconds since 1970 as the local clock counts them
  // (the offset from UTC added), so that a time of the run reads as a time of day.
  double ClockAtStart() const;
  // The columns of the run, or of the last one.
  std::vector<TPollColumn> Columns() const;
  // Reads the history holds now: limits.history_reads at most.
  size_t HistorySize() const;

  // The steady clock behind the schedule, for tests; the real one by default.
  using TClock = std::chrono::steady_clock;

 private:
  void Run();
  void PollOnce();
  // The history: a ring of reads, each a time and a value per column (NaN: none).
  void AddHistory(double t_s, const std::vector<std::optional<double>>& row);

  TPortLease port_;
  TLanguage language_;
  TMonitorLimits limits_;
  TMonitorChoice choice_;
  std::vector<TPollDevice> devices_;
  std::string port_name_;
  std::vector<TPollColumn> columns_;
  TAppendFile log_;
  bool port_open_ = false;  // monitor's thread
  bool lost_ = false;       // monitor's thread: the adapter went and is not back yet
  TClock::time_point start_;
  double clock_at_start_ = 0;  // under mutex_

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::atomic<bool> stop_ = false;  // set under mutex_, so that the wait cannot miss it
  bool running_ = false;
  TMonitorSnapshot shown_;
  std::vector<double> history_t_;  // limits_.history_reads at most, a ring from history_head_
  std::vector<float> history_y_;   // columns_.size() values per read, in the same ring
  size_t history_head_ = 0;        // where the oldest read is, once the ring is full
  std::thread thread_;
};

}  // namespace oxa
