// Serves a TFulDevice from a background thread on a pseudo-terminal pair, or on a TCP socket as a
// serial device server passes a line through. A master opens DevicePath() like any port, as
// often as it likes: on a pseudo-terminal the server keeps its own handle on the device side,
// so a master closing the port never hangs the line up; on TCP the server listens on, and each
// connection is a master opening the port. One master at a time: a new connection replaces the
// one before (which the server closes), as a master that went away without closing its
// connection must not keep the device from the next one.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <random>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "sim/FulDevice.h"

namespace oxa::sim {

struct TPtyOptions {
  uint8_t address = 1;
  // Further devices on the same line, one at each of these addresses, with the same contents
  // as a new device has; each answers only its own address.
  std::vector<uint8_t> more_addresses = {};
  uint32_t baud = 0;             // 0: answers leave at once; else paced at 10 bits a byte
  uint32_t answer_delay_ms = 0;  // from a request's last byte to the answer's first
  // Optional symlink to the device path. An existing path is not replaced unless it is a
  // symlink whose target has gone; Stop removes the link only while it still leads to this
  // device.
  std::string link = {};
  // "host:port" (an IPv6 host in brackets): serve on a TCP socket listening there instead of
  // a pseudo-terminal; port 0 takes a free one, which DevicePath() then shows.
  std::string tcp = {};
  // With tcp: serve as a Modbus TCP server does, requests and answers with the MBAP header
  // instead of the CRC (Modbus only). DevicePath() is then modbus-tcp://address:port.
  bool modbus_tcp = false;
  // Every byte received comes back to the master before the answer, as a two-wire RS-485
  // adapter returns what its master sends.
  bool echo = false;
  // Faults at random, for soak runs: each a share of the answers in percent, drawn from a
  // generator seeded with `seed`, so that a seed repeats a run's choices. A late answer waits
  // late_min_ms..late_max_ms after its request instead of answer_delay_ms; a dropped one is
  // not sent; a damaged one has its last byte (the checksum) altered.
  uint32_t late_percent = 0;
  uint32_t late_min_ms = 0;
  uint32_t late_max_ms = 0;
  uint32_t drop_percent = 0;
  uint32_t damage_percent = 0;
  uint64_t seed = 1;
};

// "host:port" or "[v6-address]:port" (port 0..65535) into its parts. False with the reason in
// `problem` when it is not one, or its port is out of range.
bool SplitTcpAddress(const std::string& text, std::string& host, uint16_t& port,
                     std::string& problem);

class TPtyDevice {
 public:
  explicit TPtyDevice(TPtyOptions options = {});
  ~TPtyDevice();  // stops
  TPtyDevice(const TPtyDevice&) = delete;
  TPtyDevice& operator=(const TPtyDevice&) = delete;

  // Creates the pseudo-terminal pair (and the link) and starts serving. False, with the
  // reason in LastError(), when that fails; true if it is already serving.
  bool Start();
  void Stop();
  bool Running() const { return thread_.joinable(); }
  // What a master opens: the pseudo-terminal's path, or tcp://address:port as bound.
  const std::string& DevicePath() const { return device_path_; }
  const std::string& LastError() const { return last_error_; }
  const TPtyOptions& Options() const { return options_; }

  // Runs `change` on the device under the server's lock: set contents, arm faults, read state.
  void Edit(const std::function<void(TFulDevice&)>& change);

  // Faults of the line, each for the next N requests the device answers:
  // with echo on, the last byte of the request comes back altered, as when another station
  // talks at the same time; the device, which heard the same damaged frame, does not answer.
  void AlterEchoOfNext(int n);
  // On TCP, the server closes the connection instead of answering (nothing on a pseudo-terminal).
  void DropConnectionOnNext(int n);

  // Inter-frame silence after which an unfinished request is dropped.
  uint32_t IdleGapMs() const;

 private:
  bool Tcp() const { return !options_.tcp.empty(); }
  int LineFd() const { return Tcp() ? client_fd_ : master_fd_; }
  bool Failed(const std::string& what);  // sets LastError from errno, closes all; false
  void CloseAll();
  bool OpenPty();
  bool MakeLink();
  bool OwnsLink() const;  // the link made still leads to this device
  bool Listen();
  void Accept();
  void DropClient();
  void AdvanceClock();  // the device's time up to now (under the lock)
  // Takes bytes received from the line: echoes them, feeds the device and sends its answers.
  // True while an unfinished request waits.
  bool Take(std::span<const uint8_t> bytes);
  // The same for a Modbus TCP connection: each whole MBAP request is answered by the device
  // as its RTU form, under its transaction id.
  void TakeMbap(std::span<const uint8_t> bytes);
  bool WriteLine(const uint8_t* data, size_t size);  // false when the line refuses bytes
  void Serve();
  // Every device on the line takes the bytes (or the line's silence); the answer of the one
  // they were for. Under the lock.
  std::vector<uint8_t> FeedAll(std::span<const uint8_t> bytes);
  std::vector<uint8_t> LineIdleAll();
  // An answer of the device: faults applied, then sent at once or, when it is to wait, put
  // among the answers due later (each request's answer waits from the request's end, whatever
  // requests come meanwhile, as a device with a fixed response time answers).
  void Answer(std::vector<uint8_t> answer);
  // Sends the answers whose time has come; returns the poll time-out (ms, -1: none) until the
  // next one is due.
  int SendDueAnswers();
  void Send(const std::vector<uint8_t>& answer);  // now, paced at the line's speed
  bool WaitStop(int ms);                          // sleeps up to ms; true when asked to stop
  bool WaitStopUntilNs(int64_t deadline);         // the same, to a monotonic deadline in ns

  TPtyOptions options_;
  TFulDevice device_;
  std::vector<TFulDevice> more_;  // options_.more_addresses; under mutex_ as device_ is
  std::mutex mutex_;
  std::thread thread_;
  std::string device_path_;
  std::string last_error_;
  std::string link_made_;
  int master_fd_ = -1;
  int slave_fd_ = -1;
  int listen_fd_ = -1;
  int client_fd_ = -1;
  struct TDueAnswer {
    int64_t due_ns;  // monotonic
    std::vector<uint8_t> bytes;
  };
  std::deque<TDueAnswer> due_;  // by due time; the serving thread's only
  std::mt19937_64 random_;
  std::vector<uint8_t> mbap_rx_;  // what has come of the next MBAP request
  int alter_echo_ = 0;            // under mutex_
  int drop_connection_ = 0;       // under mutex_
  std::chrono::steady_clock::time_point last_tick_;
  int stop_pipe_[2] = {-1, -1};
};

}  // namespace oxa::sim
