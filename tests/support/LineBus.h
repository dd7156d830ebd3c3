// A two-wire line with several devices on it, for tests and benchmarks: one master end (a
// pseudo-terminal of its own, whose path a master opens like any port) and the device ends
// joined to it (the paths of devices that serve on pseudo-terminals of their own: the virtual
// device, a pymodbus or libmodbus peer). Whatever one end sends, every other end hears; no end
// hears itself, as a half-duplex line with automatic direction control behaves.
//
// Paced at a speed, the line carries one character at a time, each taking its time on the wire,
// in the order the talkers sent them: the silences devices see are the ones the master keeps,
// and an answer cannot overtake the request before it. Two talkers at once are not garbled, as
// on a real line: their bytes follow each other. Unpaced, bytes pass on at once.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <deque>
#include <string>
#include <thread>
#include <vector>

namespace oxa::testing {

class TLineBus {
 public:
  // `baud` 0: unpaced; else `bits_per_char` bits a character (10 for 8N1, 11 for 8E1).
  explicit TLineBus(uint32_t baud = 0, uint32_t bits_per_char = 10)
      : char_ns_(baud == 0 ? 0 : (int64_t{bits_per_char} * 1'000'000'000 + baud - 1) / baud) {}
  ~TLineBus() { Stop(); }
  TLineBus(const TLineBus&) = delete;
  TLineBus& operator=(const TLineBus&) = delete;

  // Joins the device that serves on pseudo-terminal `path`; before Start. False when it
  // cannot be opened.
  bool AddDevice(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    ends_.push_back(fd);
    return Raw(fd);
  }

  // Makes the master end and starts carrying bytes. False when that fails.
  bool Start() {
    if (thread_.joinable()) return true;
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master < 0) return false;
    ends_.insert(ends_.begin(), master);
    char name[128] = {};
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0 ||
        ::ptsname_r(master, name, sizeof name) != 0) {
      return false;
    }
    path_ = name;
    // Our own handle on the master's side: a master that closes the port does not hang the
    // line up between its runs.
    hold_ = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (hold_ < 0 || !Raw(hold_) || ::pipe2(stop_, O_CLOEXEC) != 0) return false;
    thread_ = std::thread([this] { Carry(); });
    return true;
  }

  void Stop() {
    if (thread_.joinable()) {
      const char c = 0;
      (void)!::write(stop_[1], &c, 1);
      thread_.join();
    }
    for (int& fd : ends_) Close(fd);
    ends_.clear();
    Close(hold_);
    Close(stop_[0]);
    Close(stop_[1]);
  }

  // What the master opens.
  const std::string& MasterPath() const { return path_; }

 private:
  struct TChar {
    uint8_t byte;
    size_t from;  // the end that sent it
  };

  static bool Raw(int fd) {
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) return false;
    ::cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    return ::tcsetattr(fd, TCSANOW, &tio) == 0;
  }
  static void Close(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
  static int64_t NowNs() {
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
  }
  // Writes to an end that takes no more are dropped, as a device that does not listen loses them.
  static void Put(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
      const ssize_t n = ::write(fd, data, size);
      if (n <= 0) {
        if (n < 0 && errno == EINTR) continue;
        return;
      }
      data += n;
      size -= static_cast<size_t>(n);
    }
  }

  // Hands the characters whose time has come to every end but their sender's.
  void Deliver(int64_t now) {
    std::vector<uint8_t> out;
    while (!line_.empty() && (char_ns_ == 0 || free_at_ns_ + char_ns_ <= now)) {
      const size_t from = line_.front().from;
      out.clear();
      // With no pacing, a sender's run of bytes goes on in one write.
      while (!line_.empty() && line_.front().from == from &&
             (char_ns_ == 0 || free_at_ns_ + char_ns_ <= now)) {
        out.push_back(line_.front().byte);
        line_.pop_front();
        if (char_ns_ != 0) free_at_ns_ += char_ns_;
      }
      for (size_t k = 0; k < ends_.size(); ++k) {
        if (k != from) Put(ends_[k], out.data(), out.size());
      }
    }
  }

  void Carry() {
    std::vector<pollfd> fds(ends_.size() + 1);
    gone_.assign(ends_.size(), false);
    for (;;) {
      fds[0] = {stop_[0], POLLIN, 0};
      // An end whose device has gone is no longer listened to (poll skips a negative fd).
      for (size_t k = 0; k < ends_.size(); ++k) fds[k + 1] = {gone_[k] ? -1 : ends_[k], POLLIN, 0};
      timespec wait{};
      timespec* timeout = nullptr;
      if (!line_.empty()) {
        const int64_t left = std::max<int64_t>(0, free_at_ns_ + char_ns_ - NowNs());
        wait = {static_cast<time_t>(left / 1'000'000'000), static_cast<long>(left % 1'000'000'000)};
        timeout = &wait;
      }
      const int r = ::ppoll(fds.data(), fds.size(), timeout, nullptr);
      if (r < 0 && errno != EINTR) return;
      if (fds[0].revents != 0) return;
      const int64_t now = NowNs();
      // An idle line starts carrying at once.
      if (line_.empty()) free_at_ns_ = std::max(free_at_ns_, now);
      for (size_t k = 0; r > 0 && k < ends_.size(); ++k) {
        if (fds[k + 1].revents == 0) continue;
        uint8_t buf[512];
        const ssize_t n = ::read(ends_[k], buf, sizeof buf);
        if (n <= 0 && !(n < 0 && (errno == EINTR || errno == EAGAIN))) gone_[k] = true;
        for (ssize_t i = 0; i < n; ++i) line_.push_back({buf[i], k});
      }
      Deliver(now);
    }
  }

  int64_t char_ns_;
  std::vector<int> ends_;   // the master's first, once started
  std::vector<bool> gone_;  // the ends that hung up or failed (the carrying thread's)
  int hold_ = -1;
  int stop_[2] = {-1, -1};
  std::string path_;
  std::deque<TChar> line_;  // characters waiting for the wire
  int64_t free_at_ns_ = 0;  // when the last character carried left the wire
  std::thread thread_;
};

}  // namespace oxa::testing
