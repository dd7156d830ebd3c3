// What the monitor costs and whether it keeps its pace: its model polling the virtual device as
// the window's monitor does, no window drawn.
//
// 1. Pace: 8 series, 4 integrators of each of 2 devices on one line, every 100 ms at 57600
//    bit/s against the virtual device on a pseudo-terminal paced at that speed, with the CSV
//    log written. Prints the achieved interval between reads (median and greatest, from the
//    end of one read to the end of the next) against the set one, the greatest deviation from
//    the set interval, the monitor thread's CPU time per read, and the CPU a window's refresh
//    costs its own thread (a snapshot and the plot's points, five times a second).
// 2. Memory: the same 8 series polled as fast as they go against the device model behind a
//    scripted port on virtual time (the line's silences cost no real time), the log written,
//    and the heap glibc counts as allocated after a tenth, half and all of the reads
//    (1,000,000 by default): flat once the plot's history (6000 reads) is full.
//
// The last line reads
//   interval median X.X ms greatest Y.Y ms (set 100), cpu Z.ZZZ ms/read, heap A/B/C KiB
// The exit status is 1 when a read failed or the run did not reach its count.
//
// Usage: monitor_bench [--seconds N] [--reads N] [--quick]
//   --seconds N  length of the paced run (default 30)
//   --reads N    reads of the memory run (default 1000000; the heap is printed at a tenth,
//                half and all of them)
//   --quick      a smoke run: --seconds 2 --reads 3000
#include <malloc.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "actions/OxaActions.h"
#include "serial/ComPortIo.h"
#include "serial/OxaComPort.h"
#include "sim/FulDevice.h"
#include "sim/PtyDevice.h"
#include "window/Monitor.h"

namespace {

using Clock = std::chrono::steady_clock;
const std::vector<size_t> kChoice = {0, 5, 24, 28};  // V1, M1, Gv1, T1
constexpr const char* kAddresses = "1,2";
constexpr size_t kSeries = 8;  // the 4 integrators of each of the 2 devices

double ThreadCpuMs() {
  rusage usage{};
  ::getrusage(RUSAGE_THREAD, &usage);
  return usage.ru_utime.tv_sec * 1e3 + usage.ru_utime.tv_usec / 1e3 + usage.ru_stime.tv_sec * 1e3 +
         usage.ru_stime.tv_usec / 1e3;
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
  return v[v.size() / 2];
}

// The monitor's port over `port` and `ful`, as the form lends its own; `after` runs on the
// monitor's thread after each exchange.
oxa::TPortLease PortOf(oxa::ToxaComPort& port, oxa::ToxaFul0508& ful, std::function<void()> after) {
  oxa::TPortLease p;
  p.begin = [](std::function<void()>) { return true; };
  p.end = [&port] { port.Close(); };
  p.open = [&port] { return port.Open(); };
  p.close = [&port] { port.Close(); };
  p.after_exchange = std::move(after);
  p.lost = [&port] { return port.Lost(); };
  p.ful = &ful;
  p.port_name = [] { return std::string("COM1"); };
  return p;
}

// Two devices on a line that answers at once, on a clock of its own that the master's waits
// move forward: the line's silences cost no real time, and nothing is kept of a request once
// it is answered, so that the heap counted is the monitor's.
class TInstantLine final : public oxa::IComPortIo {
 public:
  bool Open(const oxa::TPortAddress&, uint32_t) override {
    open_ = true;
    return true;
  }
  const oxa::TOpenError& OpenError() const override { return error_; }
  void Close() override { open_ = false; }
  void Purge() override { input_.clear(); }
  bool WriteByte(uint8_t byte) override { return Write({&byte, 1}); }
  bool Write(std::span<const uint8_t> bytes) override {
    if (!open_) return false;
    std::vector<uint8_t> answer = first_.Feed(bytes);
    if (answer.empty()) answer = second_.Feed(bytes);
    // The line falls silent after each request: what a device kept of it goes.
    first_.LineIdle();
    second_.LineIdle();
    input_.insert(input_.end(), answer.begin(), answer.end());
    return true;
  }
  bool ReadByte(uint8_t& byte) override { return Read({&byte, 1}) == 1; }
  size_t Read(std::span<uint8_t> bytes) override {
    const size_t n = std::min(bytes.size(), input_.size());
    std::copy_n(input_.begin(), n, bytes.begin());
    input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(n));
    return n;
  }
  bool WaitForInput(uint32_t ms) override {
    if (!input_.empty()) return true;
    now_us_ += uint64_t{ms} * 1000;
    return false;
  }
  bool InputPending() override { return !input_.empty(); }
  bool Lost() const override { return false; }
  uint64_t NowUs() const override { return now_us_; }
  void Sleep(uint32_t ms) override { now_us_ += uint64_t{ms} * 1000; }
  intptr_t NativeHandle() const override { return open_ ? 3 : -1; }

 private:
  oxa::sim::TFulDevice first_{1};
  oxa::sim::TFulDevice second_{2};
  oxa::TOpenError error_{};
  std::vector<uint8_t> input_;
  uint64_t now_us_ = 0;
  bool open_ = false;
};

std::string LogPath(const char* name) {
  return (std::filesystem::temp_directory_path() / name).string();
}

struct TPace {
  double median_ms = 0;
  double greatest_ms = 0;
  double greatest_deviation_ms = 0;  // of an interval from the set 100 ms, either way
  double cpu_per_read_ms = 0;
  double refresh_cpu_ms = 0;
  uint64_t reads = 0;
  uint64_t failures = 0;
};

TPace RunPaced(int seconds) {
  TPace pace;
  oxa::sim::TPtyDevice device({.address = 1, .more_addresses = {2}, .baud = 57600});
  if (!device.Start()) {
    std::fprintf(stderr, "monitor_bench: %s\n", device.LastError().c_str());
    return pace;
  }
  oxa::ToxaComPort port;
  oxa::ToxaFul0508 ful;
  oxa::ToxaZeb106 zeb;
  port.SetDeviceMap({{1, device.DevicePath()}});
  port.SetComPort(1);
  port.SetBaudRate(57600);
  oxa::ConfigureMasters(port, ful, zeb);
  ful.SetNetAddr(1);

  std::mutex mutex;
  std::vector<Clock::time_point> read_ends;
  double cpu_first = 0;
  double cpu_last = 0;
  size_t exchanges = 0;
  oxa::TMonitor monitor(PortOf(port, ful,
                               [&] {
                                 std::lock_guard lock(mutex);
                                 if (++exchanges % kSeries != 0) return;
                                 read_ends.push_back(Clock::now());
                                 (read_ends.size() == 1 ? cpu_first : cpu_last) = ThreadCpuMs();
                               }),
                        oxa::TLanguage::kEnglish);
  const std::string log = LogPath("monitor_bench_paced.csv");
  const std::string refused = monitor.Start(
      {.addresses = kAddresses, .integrators = kChoice, .interval_ms = 100, .csv_path = log});
  if (!refused.empty()) {
    std::fprintf(stderr, "monitor_bench: %s\n", refused.c_str());
    return pace;
  }
  // A window's refresh: the table's snapshot and the plot's points, five times a second.
  const double refresh_start = ThreadCpuMs();
  int refreshes = 0;
  const auto end = Clock::now() + std::chrono::seconds(seconds);
  while (Clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const oxa::TMonitorSnapshot s = monitor.Snapshot();
    const auto plot = monitor.Plot(600, 800);
    refreshes += s.values.size() == kSeries && plot.size() == kSeries;
  }
  pace.refresh_cpu_ms = refreshes > 0 ? (ThreadCpuMs() - refresh_start) / refreshes : 0;
  monitor.Stop();
  std::filesystem::remove(log);
  const oxa::TMonitorSnapshot s = monitor.Snapshot();
  pace.reads = s.reads;
  pace.failures = s.failures;
  std::vector<double> intervals;
  for (size_t i = 1; i < read_ends.size(); ++i) {
    intervals.push_back(
        std::chrono::duration<double, std::milli>(read_ends[i] - read_ends[i - 1]).count());
  }
  pace.median_ms = Median(intervals);
  pace.greatest_ms = intervals.empty() ? 0 : *std::max_element(intervals.begin(), intervals.end());
  for (const double interval : intervals) {
    pace.greatest_deviation_ms = std::max(pace.greatest_deviation_ms, std::abs(interval - 100));
  }
  pace.cpu_per_read_ms =
      read_ends.size() > 1 ? (cpu_last - cpu_first) / static_cast<double>(read_ends.size() - 1) : 0;
  return pace;
}

// The heap allocated after each of `marks` reads, in KiB; empty when the run failed.
std::vector<double> RunMemory(uint64_t reads, uint64_t& failures) {
  const uint64_t marks[] = {reads / 10, reads / 2, reads};
  std::vector<double> heap;
  oxa::ToxaComPort port(std::make_unique<TInstantLine>());
  port.SetDeviceMap({{1, "bench-line"}});
  port.SetComPort(1);
  port.SetBaudRate(57600);
  oxa::ToxaFul0508 ful;
  oxa::ToxaZeb106 zeb;
  oxa::ConfigureMasters(port, ful, zeb);
  ful.SetNetAddr(1);

  std::mutex mutex;
  std::vector<double> at_marks(3, -1);
  uint64_t exchanges = 0;
  oxa::TMonitor monitor(PortOf(port, ful,
                               [&] {
                                 std::lock_guard lock(mutex);
                                 ++exchanges;
                                 for (size_t m = 0; m < 3; ++m) {
                                   if (exchanges == marks[m] * kSeries) {
                                     at_marks[m] = static_cast<double>(mallinfo2().uordblks) / 1024;
                                   }
                                 }
                               }),
                        oxa::TLanguage::kEnglish, {.min_interval_ms = 0, .history_reads = 6000});
  const std::string log = LogPath("monitor_bench_memory.csv");
  if (!monitor
           .Start(
               {.addresses = kAddresses, .integrators = kChoice, .interval_ms = 0, .csv_path = log})
           .empty()) {
    return heap;
  }
  const auto deadline = Clock::now() + std::chrono::minutes(30);
  while (monitor.Snapshot().reads < reads && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  monitor.Stop();
  std::filesystem::remove(log);
  failures = monitor.Snapshot().failures;
  std::lock_guard lock(mutex);
  for (const double kib : at_marks) {
    if (kib < 0) return {};
    heap.push_back(kib);
  }
  return heap;
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 30;
  uint64_t reads = 1'000'000;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quick") == 0) {
      seconds = 2;
      reads = 3000;
    } else if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
      seconds = std::max(1, std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--reads") == 0 && i + 1 < argc) {
      reads = static_cast<uint64_t>(std::max(10LL, std::atoll(argv[++i])));
    } else {
      std::fprintf(stderr, "usage: monitor_bench [--seconds N] [--reads N] [--quick]\n");
      return 2;
    }
  }
  std::printf("paced: 8 series (4 integrators of 2 devices) every 100 ms at 57600 bit/s for %d s\n",
              seconds);
  std::fflush(stdout);
  const TPace pace = RunPaced(seconds);
  std::printf("  reads %llu, failed %llu\n", static_cast<unsigned long long>(pace.reads),
              static_cast<unsigned long long>(pace.failures));
  std::printf(
      "  achieved interval: median %.1f ms, greatest %.1f ms (set 100 ms), greatest "
      "deviation %.1f ms\n",
      pace.median_ms, pace.greatest_ms, pace.greatest_deviation_ms);
  std::printf("  monitor thread CPU per read: %.3f ms; window refresh CPU: %.3f ms each\n",
              pace.cpu_per_read_ms, pace.refresh_cpu_ms);
  std::printf("memory: the 8 series as fast as they go, on virtual time, %llu reads\n",
              static_cast<unsigned long long>(reads));
  std::fflush(stdout);
  uint64_t memory_failures = 0;
  const std::vector<double> heap = RunMemory(reads, memory_failures);
  if (heap.size() == 3) {
    std::printf("  heap after %llu / %llu / %llu reads: %.0f / %.0f / %.0f KiB\n",
                static_cast<unsigned long long>(reads / 10),
                static_cast<unsigned long long>(reads / 2), static_cast<unsigned long long>(reads),
                heap[0], heap[1], heap[2]);
  }
  char heap_text[96] = "-";
  if (heap.size() == 3) {
    std::snprintf(heap_text, sizeof heap_text, "%.0f/%.0f/%.0f", heap[0], heap[1], heap[2]);
  }
  std::printf("interval median %.1f ms greatest %.1f ms (set 100), cpu %.3f ms/read, heap %s KiB\n",
              pace.median_ms, pace.greatest_ms, pace.cpu_per_read_ms, heap_text);
  const bool ok = pace.reads > 0 && pace.failures == 0 && heap.size() == 3 && memory_failures == 0;
  return ok ? 0 : 1;
}
