// Serves a FulDevice on a pseudo-terminal pair from a background thread. A master opens
// DevicePath() like any serial port, as often as it likes: the server keeps its own handle on
// the device side, so a master closing the port never hangs the line up.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "sim/FulDevice.h"

namespace oxa::sim {

struct PtyOptions {
  uint8_t address = 1;
  uint32_t baud = 0;             // 0: answers leave at once; else paced at 10 bits a byte
  uint32_t answer_delay_ms = 0;  // from a request's last byte to the answer's first
  std::string link = {};         // optional symlink to the device path, removed on Stop
};

class PtyDevice {
 public:
  explicit PtyDevice(PtyOptions options = {});
  ~PtyDevice();  // stops
  PtyDevice(const PtyDevice&) = delete;
  PtyDevice& operator=(const PtyDevice&) = delete;

  // Creates the pseudo-terminal pair (and the link) and starts serving. False, with the
  // reason in LastError(), when that fails; true if it is already serving.
  bool Start();
  void Stop();
  bool Running() const { return thread_.joinable(); }
  const std::string& DevicePath() const { return device_path_; }
  const std::string& LastError() const { return last_error_; }
  const PtyOptions& Options() const { return options_; }

  // Runs `change` on the device under the server's lock: set contents, arm faults, read state.
  void Edit(const std::function<void(FulDevice&)>& change);

  // Inter-frame silence after which an unfinished request is dropped.
  uint32_t IdleGapMs() const;

 private:
  void Serve();
  void Send(const std::vector<uint8_t>& answer);
  bool WaitStop(int ms);                   // sleeps up to ms; true when asked to stop
  bool WaitStopUntilNs(int64_t deadline);  // the same, to a monotonic deadline in ns

  PtyOptions options_;
  FulDevice device_;
  std::mutex mutex_;
  std::thread thread_;
  std::string device_path_;
  std::string last_error_;
  std::string link_made_;
  int master_fd_ = -1;
  int slave_fd_ = -1;
  int stop_pipe_[2] = {-1, -1};
};

}  // namespace oxa::sim
