// A monitor whose history is filled the fastest way: 8 integrators polled without a pause
// against the in-memory device until it holds the reads asked for. What the plot benchmarks of
// both windows paint.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>

#include "actions/OxaActions.h"
#include "serial/OxaComPort.h"
#include "sim/MemoryDevice.h"
#include "window/Monitor.h"

namespace oxa::testing {

class TFilledMonitor {
 public:
  explicit TFilledMonitor(uint64_t reads)
      : reads_(reads),
        monitor_(Lease(), TLanguage::kEnglish,
                 {.min_interval_ms = 0, .history_reads = static_cast<size_t>(reads)}) {}

  // Polls until the history holds the reads asked for (at most five minutes); whether it does.
  bool Fill() {
    port_.SetDeviceMap({{1, device_.DevicePath()}});
    port_.SetComPort(1);
    port_.SetBaudRate(4'000'000);
    ConfigureMasters(port_, ful_, zeb_);
    ful_.SetNetAddr(1);
    if (!monitor_.Start({.integrators = {0, 1, 5, 6, 16, 24, 28, 30}, .interval_ms = 0}).empty()) {
      return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(5);
    while (monitor_.Snapshot().reads < reads_ && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    monitor_.Stop();
    return monitor_.HistorySize() >= reads_;
  }

  TMonitor& Monitor() { return monitor_; }

 private:
  TPortLease Lease() {
    TPortLease p;
    p.begin = [](std::function<void()>) { return true; };
    p.end = [this] { port_.Close(); };
    p.open = [this] { return port_.Open(); };
    p.close = [this] { port_.Close(); };
    p.after_exchange = [] {};
    p.lost = [this] { return port_.Lost(); };
    p.ful = &ful_;
    return p;
  }

  uint64_t reads_;
  sim::TMemoryDevice device_;
  ToxaComPort port_{device_.MakeComPortIo()};
  ToxaFul0508 ful_;
  ToxaZeb106 zeb_;
  TMonitor monitor_;
};

}  // namespace oxa::testing
