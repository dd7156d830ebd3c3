// Serial device servers over TCP, with POSIX sockets: the server passes the bytes of the line
// through one TCP connection, so the port is the connection. The host is resolved with
// getaddrinfo (IPv4 and IPv6), the connection is made within a bound, and small frames leave at
// once (TCP_NODELAY). Everything else behaves as the serial backend does: whole-frame writes
// within a bound, reads from a block taken in one recv, poll for waiting. A connection the
// server closes or resets counts as an unplugged adapter: from then on every operation fails at
// once and waits sleep, and the next Open connects afresh.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <span>

#include "serial/ComPortIo.h"
#include "serial/OxaUtils.h"
#include "serial/platform/input_block.h"
#include "serial/platform/posix_wait.h"

namespace oxa {
namespace {

using platform::Clock;
using platform::kGoneEvents;
using platform::MsUntil;
using platform::PollFd;

// How long connecting may take, over all the addresses a host name resolves to. A server that
// is switched off or a mistyped address on the local network answers nothing at all; the
// technician learns so within this time.
constexpr int kConnectTimeoutMs = 3000;
// Purge discards at most this much of what the socket holds, so a server that never stops
// sending cannot hold it.
constexpr size_t kPurgeLimit = 1 << 20;

// "127.0.0.1:4001" or "[::1]:4001": the address a connection went to, as the user reads it.
std::string PeerText(const addrinfo& ai) {
  char host[NI_MAXHOST] = {};
  char service[NI_MAXSERV] = {};
  if (::getnameinfo(ai.ai_addr, ai.ai_addrlen, host, sizeof host, service, sizeof service,
                    NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
    return "?";
  }
  return ai.ai_family == AF_INET6 ? "[" + std::string(host) + "]:" + service
                                  : std::string(host) + ":" + service;
}

// Why a connection to `peer` failed (error number `err`), as the technician needs to read it.
TOpenError ConnectError(int err, const std::string& peer) {
  switch (err) {
    case ECONNREFUSED:
      return {TOpenFailure::kUnreachable, "connection refused by " + peer, 0, {}};
    case ETIMEDOUT:
      return {
          TOpenFailure::kUnreachable,
          "no connection to " + peer + " within " + std::to_string(kConnectTimeoutMs / 1000) + " s",
          0,
          {}};
    case ENETUNREACH:
    case EHOSTUNREACH:
    case ENETDOWN:
    case ECONNRESET:
    case ECONNABORTED:
    case EADDRNOTAVAIL:
    case EACCES:
    case EPERM:
      return {TOpenFailure::kUnreachable, peer + ": " + std::strerror(err), 0, {}};
    default:
      return {TOpenFailure::kOther, peer + ": " + std::strerror(err), 0, {}};
  }
}

class TcpComPortIo final : public IComPortIo {
 public:
  ~TcpComPortIo() override { Close(); }

  bool Open(const TPortAddress& address, uint32_t baud) override {
    Close();
    error_ = {};
    const int fd = Connect(address.host, address.tcp_port);
    if (fd < 0) return false;
    fd_ = fd;
    baud_ = baud;
    lost_ = false;
    // Bytes a server kept from the line while nobody was connected are not an answer.
    Purge();
    return true;
  }

  const TOpenError& OpenError() const override { return error_; }

  void Close() override {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    lost_ = false;
    input_.Clear();
  }

  // Drops the bytes handed out yet and whatever the socket holds already. Bytes on their way
  // through the network arrive later, as on a serial line; bytes handed to the socket are sent.
  void Purge() override {
    input_.Clear();
    if (!Usable()) return;
    std::array<uint8_t, 4096> scratch;
    for (size_t dropped = 0; dropped < kPurgeLimit;) {
      const ssize_t n = Receive(scratch);
      if (n <= 0) break;
      dropped += static_cast<size_t>(n);
    }
  }

  bool WriteByte(uint8_t byte) override { return Write({&byte, 1}); }

  bool Write(std::span<const uint8_t> bytes) override {
    if (!Usable() || Ended()) return false;
    // MSG_NOSIGNAL: a connection the server has closed reports EPIPE instead of ending the
    // program with SIGPIPE.
    const platform::TWriteEnd end = platform::WriteWhole(
        fd_, bytes, platform::WriteBoundMs(bytes.size(), baud_),
        [this](const uint8_t* data, size_t size) { return ::send(fd_, data, size, MSG_NOSIGNAL); });
    if (end == platform::TWriteEnd::kGone) lost_ = true;  // EPIPE, ECONNRESET
    return end == platform::TWriteEnd::kDone;
  }

  bool ReadByte(uint8_t& byte) override { return Read({&byte, 1}) == 1; }

  size_t Read(std::span<uint8_t> bytes) override {
    if (bytes.empty()) return 0;
    return input_.Take(bytes, [this](std::span<uint8_t> into) { return FillInput(into); });
  }

  // A readable socket is read at once: the end of the connection also makes it readable, and a
  // wait must never report input that a read then refuses.
  bool WaitForInput(uint32_t ms) override {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
    if (input_.Pending()) return true;
    while (Usable()) {
      const short events = PollFd(fd_, POLLIN, std::min(MsUntil(deadline), 1 << 30));
      if (events == 0) return false;
      if (input_.Ensure([this](std::span<uint8_t> into) { return FillInput(into); })) return true;
      if (events & POLLNVAL) lost_ = true;
      // Nothing after all (a purge on another thread took it): wait on for the rest.
      if (MsUntil(deadline) == 0) return false;
    }
    // Closed or gone: take the time the caller asked for, so a polling loop does not spin.
    Sleep(static_cast<uint32_t>(MsUntil(deadline)));
    return false;
  }

  bool InputPending() override { return input_.Pending(); }

  bool Lost() const override { return fd_ >= 0 && lost_; }

  uint64_t NowUs() const override { return platform::MonotonicUs(); }

  void Sleep(uint32_t ms) override { DelayMs(ms); }

  intptr_t NativeHandle() const override { return fd_; }

 private:
  bool Usable() const { return fd_ >= 0 && !lost_; }

  // True when the server has closed the connection and no byte waits before its end: a frame
  // written now would be taken by the system and never reach the line. Marks it lost.
  bool Ended() {
    uint8_t byte = 0;
    for (;;) {
      const ssize_t n = ::recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
      if (n > 0) return false;
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return false;
      lost_ = true;
      return true;
    }
  }

  // One recv without waiting: the bytes taken, 0 when none wait, -1 once the connection has
  // ended (closed by the server, reset, failed), which marks it lost.
  ssize_t Receive(std::span<uint8_t> into) {
    for (;;) {
      const ssize_t n = ::recv(fd_, into.data(), into.size(), MSG_DONTWAIT);
      if (n > 0) return n;
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
      lost_ = true;
      return -1;
    }
  }

  // Takes what the socket holds into `into`: how many bytes, 0 when nothing waits or the
  // connection has ended.
  size_t FillInput(std::span<uint8_t> into) {
    if (!Usable()) return 0;
    const ssize_t n = Receive(into);
    return n > 0 ? static_cast<size_t>(n) : 0;
  }

  // Connects to `host`:`port`, trying each address the name resolves to until one accepts,
  // all within kConnectTimeoutMs. The connected socket (non-blocking), or -1 with error_ set.
  int Connect(const std::string& host, uint16_t port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (const int gai = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found); gai != 0) {
      const bool system = gai == EAI_SYSTEM || gai == EAI_MEMORY;
      error_ = {system ? TOpenFailure::kOther : TOpenFailure::kUnreachable,
                "host not found: " + host + " (" + ::gai_strerror(gai) + ")",
                0,
                {}};
      return -1;
    }
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kConnectTimeoutMs);
    int fd = -1;
    int reason = 0;
    for (const addrinfo* ai = found; ai != nullptr; ai = ai->ai_next) {
      const int err = TryConnect(*ai, deadline, fd);
      if (err == 0) break;
      // A refusal or a time-out tells more than an address family this host cannot use.
      if (reason == 0 || err != EAFNOSUPPORT) {
        reason = err;
        error_ = ConnectError(err, PeerText(*ai));
      }
      if (MsUntil(deadline) == 0) break;
    }
    ::freeaddrinfo(found);
    if (fd >= 0) error_ = {};
    return fd;
  }

  // One address: 0 with `fd` set to the connected socket, else the error number.
  static int TryConnect(const addrinfo& ai, Clock::time_point deadline, int& fd) {
    const int s = ::socket(ai.ai_family, ai.ai_socktype, ai.ai_protocol);
    if (s < 0) return errno;
    ::fcntl(s, F_SETFD, FD_CLOEXEC);
    ::fcntl(s, F_SETFL, ::fcntl(s, F_GETFL) | O_NONBLOCK);
    int err = 0;
    if (::connect(s, ai.ai_addr, ai.ai_addrlen) != 0) {
      err = errno;
      if (err == EINPROGRESS || err == EINTR) {
        const short events = PollFd(s, POLLOUT, MsUntil(deadline));
        socklen_t length = sizeof err;
        if (events == 0) {
          err = ETIMEDOUT;
        } else if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &length) != 0) {
          err = errno;
        } else if (err == 0 && !(events & POLLOUT)) {
          err = EINPROGRESS;  // the wait itself failed
        }
      }
    }
    if (err != 0) {
      ::close(s);
      return err;
    }
    // Each frame goes out as soon as it is written, not held back to be joined with the next.
    const int on = 1;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    fd = s;
    return 0;
  }

  int fd_ = -1;
  uint32_t baud_ = 0;  // the line's speed behind the server: it bounds how long a write waits
  TOpenError error_;
  // Received bytes not yet handed out. Purge (main thread) and the reader (the receive thread
  // in thread mode) both touch it.
  platform::TInputBlock input_;  // received bytes not yet handed out
  // Written by whichever thread notices the loss, read by both.
  std::atomic<bool> lost_{false};
};

}  // namespace

std::unique_ptr<IComPortIo> MakeTcpComPortIo() {
  return std::make_unique<TcpComPortIo>();
}

}  // namespace oxa
