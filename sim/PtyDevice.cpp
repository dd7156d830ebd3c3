#include "sim/PtyDevice.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <system_error>

#include "serial/OxaUtils.h"
#include "sim/SimFrames.h"

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

bool SplitTcpAddress(const std::string& text, std::string& host, uint16_t& port,
                     std::string& problem) {
  size_t colon = std::string::npos;
  host.clear();
  if (!text.empty() && text.front() == '[') {
    const size_t close = text.find(']');
    if (close != std::string::npos) host = text.substr(1, close - 1);
    if (close != std::string::npos && close + 1 < text.size() && text[close + 1] == ':') {
      colon = close + 1;
    }
  } else {
    colon = text.rfind(':');
    host = text.substr(0, colon);
  }
  const std::string digits = colon == std::string::npos ? std::string() : text.substr(colon + 1);
  if (host.empty() && !text.empty() && text.front() != '[' && colon != std::string::npos) {
    problem = "TCP address '" + VisibleText(text) + "' has no host (0.0.0.0 listens on all)";
    return false;
  }
  if (host.empty() || digits.empty() ||
      digits.find_first_not_of("0123456789") != std::string::npos) {
    problem = "TCP address '" + VisibleText(text) + "' is not host:port";
    return false;
  }
  // The resolver would take a larger number modulo 65536 and listen on another port.
  uint32_t number = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
  if (ec != std::errc() || end != digits.data() + digits.size() || number > 65535) {
    problem = "TCP port " + digits + " is out of range 0..65535";
    return false;
  }
  port = static_cast<uint16_t>(number);
  return true;
}

TPtyDevice::TPtyDevice(TPtyOptions options)
    : options_(std::move(options)), device_(options_.address), random_(options_.seed) {
  for (const uint8_t address : options_.more_addresses) more_.emplace_back(address);
}

std::vector<uint8_t> TPtyDevice::FeedAll(std::span<const uint8_t> bytes) {
  std::vector<uint8_t> answer = device_.Feed(bytes);
  for (TFulDevice& d : more_) {
    std::vector<uint8_t> other = d.Feed(bytes);
    if (answer.empty()) answer = std::move(other);
  }
  return answer;
}

std::vector<uint8_t> TPtyDevice::LineIdleAll() {
  std::vector<uint8_t> answer = device_.LineIdle();
  for (TFulDevice& d : more_) {
    std::vector<uint8_t> other = d.LineIdle();
    if (answer.empty()) answer = std::move(other);
  }
  return answer;
}

TPtyDevice::~TPtyDevice() {
  Stop();
}

uint32_t TPtyDevice::IdleGapMs() const {
  // A request is never split by a pause this long, even on a loaded machine; on a slow line
  // the usual 3.5 characters are longer still.
  constexpr uint32_t kMinGapMs = 50;
  if (options_.baud == 0) return kMinGapMs;
  return std::max(kMinGapMs, (35'000 + options_.baud - 1) / options_.baud);
}

bool TPtyDevice::Failed(const std::string& what) {
  last_error_ = what + ": " + std::strerror(errno);
  CloseAll();
  return false;
}

void TPtyDevice::CloseAll() {
  // Only while it is still ours: another server may have taken the path over since.
  if (!link_made_.empty() && OwnsLink()) ::unlink(link_made_.c_str());
  link_made_.clear();
  CloseFd(master_fd_);
  CloseFd(slave_fd_);
  CloseFd(listen_fd_);
  CloseFd(client_fd_);
  CloseFd(stop_pipe_[0]);
  CloseFd(stop_pipe_[1]);
}

bool TPtyDevice::Start() {
  if (Running()) return true;
  last_error_.clear();
  if (::pipe2(stop_pipe_, O_CLOEXEC | O_NONBLOCK) != 0) return Failed("pipe");
  if (!(Tcp() ? Listen() : OpenPty())) return false;
  {
    // The device's clock shows the host's local time, as a set clock would.
    const time_t now = ::time(nullptr);
    tm local{};
    ::localtime_r(&now, &local);
    std::lock_guard lock(mutex_);
    device_.SetClock(static_cast<int64_t>(now) + local.tm_gmtoff);
    for (TFulDevice& d : more_) d.SetClock(static_cast<int64_t>(now) + local.tm_gmtoff);
  }
  try {
    thread_ = std::thread([this] { Serve(); });
  } catch (const std::system_error& e) {
    errno = e.code().value();
    return Failed("thread");
  }
  return true;
}

bool TPtyDevice::OpenPty() {
  master_fd_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_fd_ < 0) return Failed("posix_openpt");
  if (::grantpt(master_fd_) != 0 || ::unlockpt(master_fd_) != 0) return Failed("unlockpt");
  char name[128] = {};
  if (::ptsname_r(master_fd_, name, sizeof name) != 0) return Failed("ptsname");
  device_path_ = name;
  // The server's own handle on the device side: while it is open, a master that closes the
  // port does not hang the line up, and the line's settings stay.
  slave_fd_ = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (slave_fd_ < 0) return Failed("open device side");
  termios tio{};
  if (::tcgetattr(slave_fd_, &tio) != 0) return Failed("tcgetattr");
  ::cfmakeraw(&tio);  // no echo of the answers back to the server, no line editing
  tio.c_cflag |= CLOCAL | CREAD;
  if (::tcsetattr(slave_fd_, TCSANOW, &tio) != 0) return Failed("tcsetattr");
  if (::fcntl(master_fd_, F_SETFL, O_NONBLOCK) != 0) return Failed("fcntl");
  return options_.link.empty() || MakeLink();
}

bool TPtyDevice::MakeLink() {
  const char* link = options_.link.c_str();
  const std::string shown = VisibleText(options_.link);
  struct stat st {};
  if (::lstat(link, &st) == 0) {
    if (!S_ISLNK(st.st_mode)) {
      errno = EEXIST;
      return Failed("link " + shown + " exists and is not a symlink");
    }
    // A link that still leads somewhere is someone's: another server's live pseudo-terminal,
    // or a real port. Only one whose device has gone, left by a server that was killed, is
    // replaced.
    struct stat target {};
    if (::stat(link, &target) == 0 || (errno != ENOENT && errno != ENOTDIR)) {
      char to[PATH_MAX] = {};
      const ssize_t n = ::readlink(link, to, sizeof to - 1);
      last_error_ = "link " + shown + " leads to " + VisibleText(n > 0 ? to : "?") +
                    ", which is still there (another fulsim's?): not replaced";
      CloseAll();
      return false;
    }
    ::unlink(link);
  }
  // Fails (EEXIST) when another server made it meanwhile: that one keeps it.
  if (::symlink(device_path_.c_str(), link) != 0) return Failed("link " + shown);
  link_made_ = options_.link;
  return true;
}

bool TPtyDevice::OwnsLink() const {
  char to[PATH_MAX] = {};
  const ssize_t n = ::readlink(link_made_.c_str(), to, sizeof to - 1);
  return n > 0 && static_cast<size_t>(n) < sizeof to - 1 && device_path_ == to;
}

bool TPtyDevice::Listen() {
  if (!options_.link.empty()) {
    last_error_ = "a link names a pseudo-terminal; a TCP device has none";
    CloseAll();
    return false;
  }
  std::string host;
  uint16_t port_number = 0;
  if (!SplitTcpAddress(options_.tcp, host, port_number, last_error_)) {
    CloseAll();
    return false;
  }
  const std::string port = std::to_string(port_number);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (const int gai = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found); gai != 0) {
    last_error_ = "TCP address '" + options_.tcp + "': " + ::gai_strerror(gai);
    CloseAll();
    return false;
  }
  const addrinfo& ai = *found;
  listen_fd_ = ::socket(ai.ai_family, ai.ai_socktype, ai.ai_protocol);
  int err = listen_fd_ < 0 ? errno : 0;
  // A restarted device takes its port again at once, while connections of the last run wait
  // out their closing time.
  const int on = 1;
  if (err == 0) ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (err == 0 && ::bind(listen_fd_, ai.ai_addr, ai.ai_addrlen) != 0) err = errno;
  ::freeaddrinfo(found);
  if (err != 0) {
    errno = err;
    return Failed("TCP address '" + options_.tcp + "'");
  }
  if (::listen(listen_fd_, 4) != 0) return Failed("listen");
  if (::fcntl(listen_fd_, F_SETFD, FD_CLOEXEC) != 0 ||
      ::fcntl(listen_fd_, F_SETFL, O_NONBLOCK) != 0) {
    return Failed("fcntl");
  }
  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  if (::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
    return Failed("getsockname");
  }
  char text[NI_MAXHOST] = {};
  char service[NI_MAXSERV] = {};
  if (::getnameinfo(reinterpret_cast<sockaddr*>(&bound), length, text, sizeof text, service,
                    sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
    return Failed("getnameinfo");
  }
  const std::string scheme = options_.modbus_tcp ? "modbus-tcp://" : "tcp://";
  device_path_ = bound.ss_family == AF_INET6 ? scheme + "[" + std::string(text) + "]:" + service
                                             : scheme + std::string(text) + ":" + service;
  return true;
}

void TPtyDevice::Stop() {
  if (thread_.joinable()) {
    const char stop = 1;
    [[maybe_unused]] const ssize_t n = ::write(stop_pipe_[1], &stop, 1);
    thread_.join();
  }
  CloseAll();
}

void TPtyDevice::Edit(const std::function<void(TFulDevice&)>& change) {
  std::lock_guard lock(mutex_);
  change(device_);
}

void TPtyDevice::AlterEchoOfNext(int n) {
  std::lock_guard lock(mutex_);
  alter_echo_ = n;
}

void TPtyDevice::DropConnectionOnNext(int n) {
  std::lock_guard lock(mutex_);
  drop_connection_ = n;
}

bool TPtyDevice::WaitStop(int ms) {
  pollfd p{stop_pipe_[0], POLLIN, 0};
  return ::poll(&p, 1, ms) > 0;
}

bool TPtyDevice::WaitStopUntilNs(int64_t deadline) {
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

void TPtyDevice::AdvanceClock() {
  const auto now = std::chrono::steady_clock::now();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - last_tick_);
  if (ms.count() > 0) {
    device_.AdvanceTime(static_cast<uint32_t>(ms.count()));
    for (TFulDevice& d : more_) d.AdvanceTime(static_cast<uint32_t>(ms.count()));
    last_tick_ += ms;
  }
}

void TPtyDevice::Accept() {
  const int fd = ::accept(listen_fd_, nullptr, nullptr);
  if (fd < 0) {
    // Gone before it was taken, or interrupted: nothing to do. Out of descriptors: the
    // connection stays queued, so wait a grain rather than spin on it.
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED) {
      WaitStop(10);
    }
    return;
  }
  ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  ::fcntl(fd, F_SETFL, O_NONBLOCK);
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  DropClient();  // one master at a time: the newest one
  client_fd_ = fd;
}

void TPtyDevice::DropClient() {
  CloseFd(client_fd_);
  mbap_rx_.clear();
  due_.clear();  // the answers of the master that went, which the next one did not ask for
  // What the last master left unfinished is no part of the next one's request.
  std::lock_guard lock(mutex_);
  AdvanceClock();
  LineIdleAll();
}

void TPtyDevice::Serve() {
  // Wake at the moment asked for: the default slack of 50 us is half a character at 115200.
  ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  last_tick_ = std::chrono::steady_clock::now();
  bool pending = false;  // bytes of an unfinished request are waiting
  for (;;) {
    pollfd fds[3] = {{stop_pipe_[0], POLLIN, 0}, {LineFd(), POLLIN, 0}, {listen_fd_, POLLIN, 0}};
    const int due = SendDueAnswers();
    int timeout = pending ? static_cast<int>(IdleGapMs()) : -1;
    if (due >= 0 && (timeout < 0 || due < timeout)) timeout = due;
    const int r = ::poll(fds, 3, timeout);
    if (r < 0) {
      // Interrupted: poll again. Failed (out of memory): wait a grain, not spin on it.
      if (errno != EINTR && WaitStop(10)) return;
      continue;
    }
    if (fds[0].revents != 0) return;
    if (r == 0 && !pending) continue;  // an answer has come due
    if (r == 0) {                      // the line fell silent in the middle of something
      std::vector<uint8_t> answer;
      {
        std::lock_guard lock(mutex_);
        AdvanceClock();
        answer = LineIdleAll();
        pending = false;
      }
      if (!answer.empty()) Answer(std::move(answer));
      continue;
    }
    if (fds[2].revents & POLLIN) {
      Accept();
      pending = false;
      continue;
    }
    if (fds[1].revents & POLLIN) {
      uint8_t buf[512];
      const ssize_t n = ::read(fds[1].fd, buf, sizeof buf);
      if (n > 0) {
        pending = Take(std::span<const uint8_t>(buf, static_cast<size_t>(n)));
        continue;
      }
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    }
    if (fds[1].revents != 0) {
      if (Tcp()) {
        // The master closed its connection (read gave 0), or it was reset.
        DropClient();
        pending = false;
        continue;
      }
      // Hung up, or reading failed: no device-side handle is open (ours keeps one, so this is
      // transient). Wait a grain rather than spin on a line that keeps reporting it.
      if (WaitStop(10)) return;
    }
  }
}

void TPtyDevice::TakeMbap(std::span<const uint8_t> bytes) {
  mbap_rx_.insert(mbap_rx_.end(), bytes.begin(), bytes.end());
  for (;;) {
    bool bad = false;
    const size_t length = MbapRequestLength(mbap_rx_, bad);
    if (bad) {
      // No Modbus: the next request's start cannot be found. A server closes the connection.
      DropClient();
      return;
    }
    if (length == 0 || mbap_rx_.size() < length) return;
    const uint16_t transaction = static_cast<uint16_t>(mbap_rx_[0] << 8 | mbap_rx_[1]);
    const std::vector<uint8_t> request =
        MbapToRtu(std::span<const uint8_t>(mbap_rx_).first(length));
    mbap_rx_.erase(mbap_rx_.begin(), mbap_rx_.begin() + static_cast<std::ptrdiff_t>(length));
    std::vector<uint8_t> answer;
    bool drop = false;
    {
      std::lock_guard lock(mutex_);
      AdvanceClock();
      answer = device_.Answer(request);
      for (TFulDevice& d : more_) {
        if (answer.empty()) answer = d.Answer(request);
      }
      if (!answer.empty() && drop_connection_ > 0) {
        --drop_connection_;
        drop = true;
      }
    }
    if (drop) {
      DropClient();
      return;
    }
    if (!answer.empty()) Answer(RtuToMbap(transaction, answer));
  }
}

bool TPtyDevice::Take(std::span<const uint8_t> bytes) {
  if (options_.modbus_tcp) {
    TakeMbap(bytes);
    return false;
  }
  std::vector<uint8_t> echo;
  if (options_.echo) echo.assign(bytes.begin(), bytes.end());
  size_t echoed = 0;
  bool pending = false;
  // Byte by byte, so that each request's answer goes out before the next is looked at.
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::vector<uint8_t> answer;
    bool drop = false;
    {
      std::lock_guard lock(mutex_);
      AdvanceClock();
      answer = FeedAll(bytes.subspan(i, 1));
      pending = device_.PendingBytes() > 0 ||
                std::any_of(more_.begin(), more_.end(),
                            [](const TFulDevice& d) { return d.PendingBytes() > 0; });
      if (!answer.empty() && options_.echo && alter_echo_ > 0) {
        --alter_echo_;
        echo[i] ^= 0xFF;
        answer.clear();
      }
      if (!answer.empty() && Tcp() && drop_connection_ > 0) {
        --drop_connection_;
        drop = true;
      }
    }
    // The request comes back whole before its answer: what has arrived of it so far.
    if (options_.echo && (!answer.empty() || drop || i + 1 == bytes.size())) {
      if (!WriteLine(&echo[echoed], i + 1 - echoed)) return pending;
      echoed = i + 1;
    }
    if (drop) {
      DropClient();
      return false;
    }
    if (!answer.empty()) Answer(std::move(answer));
  }
  return pending;
}

void TPtyDevice::Answer(std::vector<uint8_t> answer) {
  const auto chance = [this](uint32_t percent) {
    return percent != 0 && std::uniform_int_distribution<uint32_t>(0, 99)(random_) < percent;
  };
  if (chance(options_.drop_percent)) return;
  if (chance(options_.damage_percent)) answer.back() ^= 0x5A;
  uint32_t delay_ms = options_.answer_delay_ms;
  if (chance(options_.late_percent)) {
    delay_ms = std::uniform_int_distribution<uint32_t>(
        options_.late_min_ms, std::max(options_.late_min_ms, options_.late_max_ms))(random_);
  }
  if (delay_ms == 0 && due_.empty()) {
    Send(answer);
    return;
  }
  const int64_t due_ns = MonotonicNs() + int64_t{delay_ms} * 1'000'000;
  const auto at = std::upper_bound(due_.begin(), due_.end(), due_ns,
                                   [](int64_t t, const TDueAnswer& d) { return t < d.due_ns; });
  due_.insert(at, TDueAnswer{due_ns, std::move(answer)});
}

int TPtyDevice::SendDueAnswers() {
  while (!due_.empty()) {
    const int64_t left_ns = due_.front().due_ns - MonotonicNs();
    if (left_ns > 0) return static_cast<int>((left_ns + 999'999) / 1'000'000);
    const std::vector<uint8_t> answer = std::move(due_.front().bytes);
    due_.pop_front();
    Send(answer);
  }
  return -1;
}

bool TPtyDevice::WriteLine(const uint8_t* data, size_t size) {
  const int fd = LineFd();
  if (fd < 0) return false;
  while (size > 0) {
    // A socket whose master has gone reports EPIPE instead of raising SIGPIPE.
    const ssize_t n = Tcp() ? ::send(fd, data, size, MSG_NOSIGNAL) : ::write(fd, data, size);
    if (n > 0) {
      data += n;
      size -= static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // The device side's input is full of answers nobody read: drop them, then go on. A
      // master that does not read its connection loses what does not fit within the wait.
      if (!Tcp()) ::tcflush(slave_fd_, TCIFLUSH);
      pollfd p{fd, POLLOUT, 0};
      if (::poll(&p, 1, 100) > 0) continue;
    }
    return false;
  }
  return true;
}

void TPtyDevice::Send(const std::vector<uint8_t>& answer) {
  if (options_.baud == 0) {
    WriteLine(answer.data(), answer.size());
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
    if (!WriteLine(&answer[sent], count)) return;
    sent += count;
  }
}

}  // namespace oxa::sim
