#include "sim/PtyDevice.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <system_error>

namespace oxa::sim {
namespace {

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

int64_t MonotonicNs() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

}  // namespace

PtyDevice::PtyDevice(PtyOptions options)
    : options_(std::move(options)), device_(options_.address) {}

PtyDevice::~PtyDevice() {
  Stop();
}

uint32_t PtyDevice::IdleGapMs() const {
  // A request is never split by a pause this long, even on a loaded machine; on a slow line
  // the usual 3.5 characters are longer still.
  constexpr uint32_t kMinGapMs = 50;
  if (options_.baud == 0) return kMinGapMs;
  return std::max(kMinGapMs, (35'000 + options_.baud - 1) / options_.baud);
}

bool PtyDevice::Start() {
  if (Running()) return true;
  last_error_.clear();
  const auto fail = [this](const char* what) {
    last_error_ = std::string(what) + ": " + std::strerror(errno);
    CloseFd(master_fd_);
    CloseFd(slave_fd_);
    CloseFd(stop_pipe_[0]);
    CloseFd(stop_pipe_[1]);
    return false;
  };
  master_fd_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_fd_ < 0) return fail("posix_openpt");
  if (::grantpt(master_fd_) != 0 || ::unlockpt(master_fd_) != 0) return fail("unlockpt");
  char name[128] = {};
  if (::ptsname_r(master_fd_, name, sizeof name) != 0) return fail("ptsname");
  device_path_ = name;
  // The server's own handle on the device side: while it is open, a master that closes the
  // port does not hang the line up, and the line's settings stay.
  slave_fd_ = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (slave_fd_ < 0) return fail("open device side");
  termios tio{};
  if (::tcgetattr(slave_fd_, &tio) != 0) return fail("tcgetattr");
  ::cfmakeraw(&tio);  // no echo of the answers back to the server, no line editing
  tio.c_cflag |= CLOCAL | CREAD;
  if (::tcsetattr(slave_fd_, TCSANOW, &tio) != 0) return fail("tcsetattr");
  if (::fcntl(master_fd_, F_SETFL, O_NONBLOCK) != 0) return fail("fcntl");
  if (::pipe2(stop_pipe_, O_CLOEXEC | O_NONBLOCK) != 0) return fail("pipe");
  if (!options_.link.empty()) {
    struct stat st {};
    if (::lstat(options_.link.c_str(), &st) == 0) {
      if (!S_ISLNK(st.st_mode)) {
        errno = EEXIST;
        return fail("link path exists and is not a symlink");
      }
      ::unlink(options_.link.c_str());
    }
    if (::symlink(name, options_.link.c_str()) != 0) return fail("symlink");
    link_made_ = options_.link;
  }
  {
    // The device's clock shows the host's local time, as a set clock would.
    const time_t now = ::time(nullptr);
    tm local{};
    ::localtime_r(&now, &local);
    std::lock_guard lock(mutex_);
    device_.SetClock(static_cast<int64_t>(now) + local.tm_gmtoff);
  }
  try {
    thread_ = std::thread([this] { Serve(); });
  } catch (const std::system_error& e) {
    if (!link_made_.empty()) ::unlink(link_made_.c_str());
    link_made_.clear();
    errno = e.code().value();
    return fail("thread");
  }
  return true;
}

void PtyDevice::Stop() {
  if (thread_.joinable()) {
    const char stop = 1;
    [[maybe_unused]] const ssize_t n = ::write(stop_pipe_[1], &stop, 1);
    thread_.join();
  }
  if (!link_made_.empty()) {
    ::unlink(link_made_.c_str());
    link_made_.clear();
  }
  CloseFd(master_fd_);
  CloseFd(slave_fd_);
  CloseFd(stop_pipe_[0]);
  CloseFd(stop_pipe_[1]);
}

void PtyDevice::Edit(const std::function<void(FulDevice&)>& change) {
  std::lock_guard lock(mutex_);
  change(device_);
}

bool PtyDevice::WaitStop(int ms) {
  pollfd p{stop_pipe_[0], POLLIN, 0};
  return ::poll(&p, 1, ms) > 0;
}

bool PtyDevice::WaitStopUntilNs(int64_t deadline) {
  for (;;) {
    const int64_t left = deadline - MonotonicNs();
    if (left <= 0) return false;
    const timespec ts{static_cast<time_t>(left / 1'000'000'000),
                      static_cast<long>(left % 1'000'000'000)};
    pollfd p{stop_pipe_[0], POLLIN, 0};
    const int r = ::ppoll(&p, 1, &ts, nullptr);
    if (r > 0) return true;
    if (r == 0) return false;
    if (errno != EINTR) return false;
  }
}

void PtyDevice::Serve() {
  // Wake at the moment asked for: the default slack of 50 us is half a character at 115200.
  ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  using Clock = std::chrono::steady_clock;
  auto last_tick = Clock::now();
  const auto advance = [&] {
    const auto now = Clock::now();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - last_tick);
    if (ms.count() > 0) {
      device_.AdvanceTime(static_cast<uint32_t>(ms.count()));
      last_tick += ms;
    }
  };
  bool pending = false;  // bytes of an unfinished request are waiting
  for (;;) {
    pollfd fds[2] = {{stop_pipe_[0], POLLIN, 0}, {master_fd_, POLLIN, 0}};
    const int timeout = pending ? static_cast<int>(IdleGapMs()) : -1;
    const int r = ::poll(fds, 2, timeout);
    if (r < 0) {
      // Interrupted: poll again. Failed (out of memory): wait a grain, not spin on it.
      if (errno != EINTR && WaitStop(10)) return;
      continue;
    }
    if (fds[0].revents != 0) return;
    if (r == 0) {  // the line fell silent in the middle of something
      std::vector<uint8_t> answer;
      {
        std::lock_guard lock(mutex_);
        advance();
        answer = device_.LineIdle();
        pending = false;
      }
      if (!answer.empty()) Send(answer);
      continue;
    }
    if (fds[1].revents & POLLIN) {
      uint8_t buf[512];
      const ssize_t n = ::read(master_fd_, buf, sizeof buf);
      if (n > 0) {
        // Byte by byte, so that each request's answer goes out before the next is looked at.
        for (ssize_t i = 0; i < n; ++i) {
          std::vector<uint8_t> answer;
          {
            std::lock_guard lock(mutex_);
            advance();
            answer = device_.Feed(std::span(&buf[i], 1));
            pending = device_.PendingBytes() > 0;
          }
          if (!answer.empty()) Send(answer);
        }
        continue;
      }
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    }
    if (fds[1].revents != 0) {
      // Hung up, or reading failed: no device-side handle is open (ours keeps one, so this is
      // transient). Wait a grain rather than spin on a line that keeps reporting it.
      if (WaitStop(10)) return;
    }
  }
}

void PtyDevice::Send(const std::vector<uint8_t>& answer) {
  if (options_.answer_delay_ms > 0 && WaitStop(static_cast<int>(options_.answer_delay_ms))) return;
  const auto write_all = [this](const uint8_t* data, size_t size) {
    while (size > 0) {
      const ssize_t n = ::write(master_fd_, data, size);
      if (n > 0) {
        data += n;
        size -= static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EAGAIN) {
        // The device side's input is full of answers nobody read: drop them, then go on.
        ::tcflush(slave_fd_, TCIFLUSH);
        pollfd p{master_fd_, POLLOUT, 0};
        if (::poll(&p, 1, 100) > 0) continue;
      }
      return;
    }
  };
  if (options_.baud == 0) {
    write_all(answer.data(), answer.size());
    return;
  }
  // 8N1: ten bit times a byte. Each byte leaves at its own slot, counted from the first, so
  // the pace does not drift with the time a write takes.
  // A thread that woke late writes every byte whose slot has come in one go, so it catches
  // up instead of carrying the delay to the end of the answer.
  const int64_t char_ns = 10'000'000'000LL / options_.baud;
  const int64_t start = MonotonicNs();
  size_t sent = 0;
  while (sent < answer.size()) {
    if (WaitStopUntilNs(start + static_cast<int64_t>(sent) * char_ns)) return;
    const auto due = static_cast<size_t>((MonotonicNs() - start) / char_ns + 1);
    const size_t count = std::min(answer.size(), std::max(due, sent + 1)) - sent;
    write_all(&answer[sent], count);
    sent += count;
  }
}

}  // namespace oxa::sim
