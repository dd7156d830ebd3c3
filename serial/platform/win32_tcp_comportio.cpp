// Serial device servers over TCP, with Winsock: the server passes the bytes of the line through
// one TCP connection, so the port is the connection. The host is resolved with getaddrinfo
// (IPv4 and IPv6), the connection is made within a bound, and small frames leave at once
// (TCP_NODELAY). Everything else behaves as the serial backends do: whole-frame writes within a
// bound, reads from a block taken in one recv, select for waiting (it wakes as soon as bytes
// arrive). A connection the server closes or resets counts as an unplugged adapter: from then
// on every operation fails at once and waits sleep, and the next Open connects afresh.
#include <winsock2.h>
// after winsock2.h
#include <ws2tcpip.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <mutex>
#include <span>

#include "serial/ComPortIo.h"
#include "serial/OxaUtils.h"
#include "serial/platform/input_block.h"
#include "serial/platform/win32_text.h"

namespace oxa {
namespace {

using Clock = std::chrono::steady_clock;

// How long connecting may take, over all the addresses a host name resolves to. A server that
// is switched off or a mistyped address on the local network answers nothing at all; the
// technician learns so within this time.
constexpr int kConnectTimeoutMs = 3000;
// Purge discards at most this much of what the socket holds, so a server that never stops
// sending cannot hold it.
constexpr size_t kPurgeLimit = 1 << 20;
constexpr uint32_t kWriteWaitMs = 1000;
constexpr uint32_t kSlowestBaud = 300;

int MsUntil(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(std::min<long long>(left, 1 << 30)) : 0;
}

// Winsock is started once per process and left running until it ends.
bool StartWinsock(int& error) {
  static const int started = [] {
    WSADATA data{};
    return ::WSAStartup(MAKEWORD(2, 2), &data);
  }();
  error = started;
  return started == 0;
}

enum Readiness : unsigned { kReadable = 1, kWritable = 2, kFailed = 4 };

// What `s` is ready for within `ms`: a mask of Readiness, 0 when nothing happened. A failed
// connection shows as kFailed (Winsock reports it among the exceptions, not as writable).
unsigned Select(SOCKET s, bool read, bool write, int ms) {
  fd_set readable;
  fd_set writable;
  fd_set failed;
  FD_ZERO(&readable);
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  if (read) FD_SET(s, &readable);
  if (write) FD_SET(s, &writable);
  FD_SET(s, &failed);
  timeval timeout{ms / 1000, (ms % 1000) * 1000};
  const int n = ::select(0, &readable, &writable, &failed, &timeout);
  if (n == SOCKET_ERROR) return kFailed;
  unsigned result = 0;
  if (FD_ISSET(s, &readable)) result |= kReadable;
  if (FD_ISSET(s, &writable)) result |= kWritable;
  if (FD_ISSET(s, &failed)) result |= kFailed;
  return result;
}

// "127.0.0.1:4001" or "[::1]:4001": the address a connection went to, as the user reads it.
std::string PeerText(const addrinfo& ai) {
  char host[NI_MAXHOST] = {};
  char service[NI_MAXSERV] = {};
  if (::getnameinfo(ai.ai_addr, static_cast<socklen_t>(ai.ai_addrlen), host, sizeof host, service,
                    sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
    return "?";
  }
  return ai.ai_family == AF_INET6 ? "[" + std::string(host) + "]:" + service
                                  : std::string(host) + ":" + service;
}

// Why a connection to `peer` failed (Winsock error `err`), as the technician needs to read it.
TOpenError ConnectError(int err, const std::string& peer) {
  switch (err) {
    case WSAECONNREFUSED:
      return {TOpenFailure::kUnreachable, "connection refused by " + peer, 0, {}};
    case WSAETIMEDOUT:
      return {
          TOpenFailure::kUnreachable,
          "no connection to " + peer + " within " + std::to_string(kConnectTimeoutMs / 1000) + " s",
          0,
          {}};
    case WSAENETUNREACH:
    case WSAEHOSTUNREACH:
    case WSAENETDOWN:
    case WSAECONNRESET:
    case WSAECONNABORTED:
    case WSAEADDRNOTAVAIL:
    case WSAEACCES:
      return {TOpenFailure::kUnreachable, peer + ": " + platform::SystemMessage(err), 0, {}};
    default:
      return {TOpenFailure::kOther, peer + ": " + platform::SystemMessage(err), 0, {}};
  }
}

class Win32TcpComPortIo final : public IComPortIo {
 public:
  ~Win32TcpComPortIo() override { Close(); }

  bool Open(const TPortAddress& address, uint32_t baud) override {
    Close();
    error_ = {};
    int err = 0;
    if (!StartWinsock(err)) {
      error_ = {TOpenFailure::kOther, "no network: " + platform::SystemMessage(err), 0, {}};
      return false;
    }
    const SOCKET s = Connect(address.host, address.tcp_port);
    if (s == INVALID_SOCKET) return false;
    socket_ = s;
    baud_ = baud;
    lost_ = false;
    // Bytes a server kept from the line while nobody was connected are not an answer.
    Purge();
    return true;
  }

  const TOpenError& OpenError() const override { return error_; }

  void Close() override {
    if (socket_ != INVALID_SOCKET) ::closesocket(socket_);
    socket_ = INVALID_SOCKET;
    lost_ = false;
    input_.Clear();
  }

  // Drops the bytes not handed out yet and whatever the socket holds already. Bytes on their
  // way through the network arrive later, as on a serial line; bytes handed to the socket are
  // sent.
  void Purge() override {
    input_.Clear();
    if (!Usable()) return;
    std::array<uint8_t, 4096> scratch;
    for (size_t dropped = 0; dropped < kPurgeLimit;) {
      const int n = Receive(scratch);
      if (n <= 0) break;
      dropped += static_cast<size_t>(n);
    }
  }

  bool WriteByte(uint8_t byte) override { return Write({&byte, 1}); }

  bool Write(std::span<const uint8_t> bytes) override {
    if (!Usable() || Ended()) return false;
    const Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(WriteBoundMs(bytes.size()));
    size_t done = 0;
    while (done < bytes.size()) {
      const int chunk = static_cast<int>(std::min<size_t>(bytes.size() - done, 1 << 30));
      const int n = ::send(socket_, reinterpret_cast<const char*>(bytes.data() + done), chunk, 0);
      if (n > 0) {
        done += static_cast<size_t>(n);
        continue;
      }
      if (n == SOCKET_ERROR && ::WSAGetLastError() != WSAEWOULDBLOCK) {
        lost_ = true;  // WSAECONNRESET, WSAECONNABORTED: the connection has gone
        return false;
      }
      // The send queue is full (the server does not keep up): wait for room, within bounds.
      const int left = MsUntil(deadline);
      if (left == 0) return false;
      const unsigned ready = Select(socket_, false, true, left);
      if (ready & kFailed) {
        lost_ = true;
        return false;
      }
      if (!(ready & kWritable)) return false;
    }
    return true;
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
      const unsigned ready = Select(socket_, true, false, MsUntil(deadline));
      if (ready == 0) return false;
      if (input_.Ensure([this](std::span<uint8_t> into) { return FillInput(into); })) return true;
      if ((ready & kFailed) && !lost_) lost_ = true;
      // Nothing after all (a purge on another thread took it): wait on for the rest.
      if (MsUntil(deadline) == 0) return false;
    }
    // Closed or gone: take the time the caller asked for, so a polling loop does not spin.
    Sleep(static_cast<uint32_t>(MsUntil(deadline)));
    return false;
  }

  bool InputPending() override { return input_.Pending(); }

  bool Lost() const override { return socket_ != INVALID_SOCKET && lost_; }

  uint64_t NowUs() const override {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch())
            .count());
  }

  void Sleep(uint32_t ms) override { DelayMs(ms); }

  intptr_t NativeHandle() const override {
    return socket_ == INVALID_SOCKET ? -1 : static_cast<intptr_t>(socket_);
  }

 private:
  bool Usable() const { return socket_ != INVALID_SOCKET && !lost_; }

  uint32_t WriteBoundMs(size_t bytes) const {
    const uint64_t baud = baud_ != 0 ? baud_ : kSlowestBaud;
    return kWriteWaitMs +
           static_cast<uint32_t>(std::min<uint64_t>(bytes * 10'000 / baud, 1u << 30));
  }

  // True when the server has closed the connection and no byte waits before its end: a frame
  // written now would be taken by the system and never reach the line. Marks it lost.
  bool Ended() {
    char byte = 0;
    const int n = ::recv(socket_, &byte, 1, MSG_PEEK);
    if (n > 0) return false;
    if (n == SOCKET_ERROR && ::WSAGetLastError() == WSAEWOULDBLOCK) return false;
    lost_ = true;
    return true;
  }

  // One recv without waiting (the socket does not block): the bytes taken, 0 when none wait,
  // -1 once the connection has ended (closed by the server, reset, failed), which marks it
  // lost.
  int Receive(std::span<uint8_t> into) {
    const int n = ::recv(socket_, reinterpret_cast<char*>(into.data()),
                         static_cast<int>(std::min<size_t>(into.size(), 1 << 30)), 0);
    if (n > 0) return n;
    if (n == SOCKET_ERROR && ::WSAGetLastError() == WSAEWOULDBLOCK) return 0;
    lost_ = true;
    return -1;
  }

  // Takes what the socket holds into `into`: how many bytes, 0 when nothing waits or the
  // connection has ended.
  size_t FillInput(std::span<uint8_t> into) {
    if (!Usable()) return 0;
    const int n = Receive(into);
    return n > 0 ? static_cast<size_t>(n) : 0;
  }

  // Connects to `host`:`port`, trying each address the name resolves to until one accepts,
  // all within kConnectTimeoutMs. The connected socket (non-blocking), or INVALID_SOCKET with
  // error_ set.
  SOCKET Connect(const std::string& host, uint16_t port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (const int gai = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found); gai != 0) {
      const bool system = gai == WSA_NOT_ENOUGH_MEMORY || gai == WSANOTINITIALISED;
      error_ = {system ? TOpenFailure::kOther : TOpenFailure::kUnreachable,
                "host not found: " + host + " (" + platform::SystemMessage(gai) + ")",
                0,
                {}};
      return INVALID_SOCKET;
    }
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kConnectTimeoutMs);
    SOCKET s = INVALID_SOCKET;
    int reason = 0;
    for (const addrinfo* ai = found; ai != nullptr; ai = ai->ai_next) {
      const int err = TryConnect(*ai, deadline, s);
      if (err == 0) break;
      // A refusal or a time-out tells more than an address family this host cannot use.
      if (reason == 0 || err != WSAEAFNOSUPPORT) {
        reason = err;
        error_ = ConnectError(err, PeerText(*ai));
      }
      if (MsUntil(deadline) == 0) break;
    }
    ::freeaddrinfo(found);
    if (s != INVALID_SOCKET) error_ = {};
    return s;
  }

  // One address: 0 with `s` set to the connected socket, else the Winsock error.
  static int TryConnect(const addrinfo& ai, Clock::time_point deadline, SOCKET& s) {
    const SOCKET candidate = ::WSASocketW(ai.ai_family, ai.ai_socktype, ai.ai_protocol, nullptr, 0,
                                          WSA_FLAG_NO_HANDLE_INHERIT);
    if (candidate == INVALID_SOCKET) return ::WSAGetLastError();
    u_long non_blocking = 1;
    ::ioctlsocket(candidate, FIONBIO, &non_blocking);
    int err = 0;
    if (::connect(candidate, ai.ai_addr, static_cast<int>(ai.ai_addrlen)) == SOCKET_ERROR) {
      err = ::WSAGetLastError();
      if (err == WSAEWOULDBLOCK) {
        const unsigned ready = Select(candidate, false, true, MsUntil(deadline));
        int length = sizeof err;
        if (ready == 0) {
          err = WSAETIMEDOUT;
        } else if (::getsockopt(candidate, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err),
                                &length) != 0) {
          err = ::WSAGetLastError();
        } else if (err == 0 && !(ready & kWritable)) {
          err = WSAECONNREFUSED;  // reported failed, yet without a reason
        }
      }
    }
    if (err != 0) {
      ::closesocket(candidate);
      return err;
    }
    // Each frame goes out as soon as it is written, not held back to be joined with the next.
    const BOOL on = TRUE;
    ::setsockopt(candidate, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                 sizeof on);
    s = candidate;
    return 0;
  }

  SOCKET socket_ = INVALID_SOCKET;
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
  return std::make_unique<Win32TcpComPortIo>();
}

}  // namespace oxa
