// A pseudo-terminal made by the test: the port under test opens the slave side by its path,
// the test plays the device on the master side.
#pragma once

#include <time.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace oxa::testing {

class TPtyPair {
 public:
  TPtyPair();   // fails the current test when no pseudo-terminal can be had
  ~TPtyPair();  // closes whatever is still open
  TPtyPair(const TPtyPair&) = delete;
  TPtyPair& operator=(const TPtyPair&) = delete;

  const std::string& SlavePath() const { return slave_path_; }
  // The test's own handle on the slave side, for its line settings.
  int SlaveFd() const { return slave_; }
  // The COM 1 map entry that makes a port open this pseudo-terminal.
  std::map<uint8_t, std::string> Map() const { return {{1, slave_path_}}; }

  // The device sends these bytes to the port.
  void Send(const std::vector<uint8_t>& bytes);
  // What the port sent, waiting up to `timeout_ms` for `count` bytes.
  std::vector<uint8_t> Receive(size_t count, int timeout_ms = 2000);
  // The device goes away: the master side closes.
  void CloseMaster();

  // Line settings as the slave side reports them (the port configures that side).
  uint32_t SlaveOutputSpeedCode() const;  // cfgetospeed, a Bxxx constant
  uint32_t SlaveOutputBaud() const;       // the rate in bit/s, also for non-standard rates
  uint32_t SlaveInputBaud() const;

 private:
  int master_ = -1;
  int slave_ = -1;  // held so the terminal's settings can be read while the port has it
  std::string slave_path_;
};

// Milliseconds of the monotonic clock since `start`.
inline long long MsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

// CPU time of the calling thread, ms: a wait that spins shows here.
inline double ThreadCpuMs() {
  timespec ts{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1000.0 + static_cast<double>(ts.tv_nsec) / 1e6;
}

// Linux's termios2 view of a terminal's input or output speed (separate unit: its header
// clashes with <termios.h>). 0 when it cannot be read.
uint32_t ReadBaud(int fd, bool input);

}  // namespace oxa::testing
