// Serial device servers over TCP: the server passes the bytes of the line through one TCP
// connection, so the port is the connection. The host name is looked up (IPv4 and IPv6) and the
// connection made within one bound, and small frames leave at once. Everything else behaves as
// the serial backends do: whole-frame writes within a bound, reads from a block taken in one
// receive, a wait on the system for input. A connection the server closes or resets, or one
// whose wait fails, counts as an unplugged adapter: from then on every operation fails at once
// and waits sleep, and the next Open connects afresh. Written once over the sockets of
// socket.h.
#include <array>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "serial/platform/backend.h"
#include "serial/platform/socket.h"

namespace oxa {
namespace {

using platform::Clock;
using platform::kNoSocket;
using platform::MsUntil;
using platform::TNetError;
using platform::TNetFailure;
using platform::TSocket;
using platform::TStep;

// How long opening may take: the host name looked up, then a connection tried to each of its
// addresses until one accepts. A server that is switched off, a mistyped address on the local
// network, or a name server that does not answer tell nothing at all; the technician learns
// so within this time.
constexpr int kOpenTimeoutMs = 3000;
// Purge discards at most this much of what the socket holds, so a server that never stops
// sending cannot hold it.
constexpr size_t kPurgeLimit = 1 << 20;

// "3 s": the bound, as messages give it.
std::string OpenBoundText() {
  return std::to_string(kOpenTimeoutMs / 1000) + " s";
}

// Looks `host` up on a thread of its own and waits for the answer until `deadline`. A name
// server that does not answer holds that thread, not the caller: the thread ends when the
// system gives up, and its late answer is dropped.
platform::THostAddresses LookUpWithin(const platform::THostLookUp& look_up, const std::string& host,
                                      uint16_t port, Clock::time_point deadline) {
  struct TAnswer {
    std::mutex mutex;
    std::condition_variable done;
    bool ready = false;
    platform::THostAddresses found;
  };
  const auto answer = std::make_shared<TAnswer>();
  try {
    std::thread([answer, look_up, host, port] {
      platform::THostAddresses found = look_up(host, port);
      std::lock_guard lock(answer->mutex);
      answer->found = std::move(found);
      answer->ready = true;
      answer->done.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    // The system gives no thread: the lookup takes the caller's, without a bound.
    return look_up(host, port);
  }
  std::unique_lock lock(answer->mutex);
  if (!answer->done.wait_until(lock, deadline, [&] { return answer->ready; })) {
    return {{}, {TNetFailure::kNoName, "no answer from the name server within " + OpenBoundText()}};
  }
  return std::move(answer->found);
}

// Why a connection to `peer` failed, as the technician needs to read it.
TOpenError ConnectError(const TNetError& error, const std::string& peer) {
  switch (error.failure) {
    case TNetFailure::kRefused:
      return {TOpenFailure::kUnreachable, "connection refused by " + peer, 0, {}};
    case TNetFailure::kTimedOut:
      return {TOpenFailure::kUnreachable,
              "no connection to " + peer + " within " + OpenBoundText(),
              0,
              {}};
    case TNetFailure::kUnreachable:
      return {TOpenFailure::kUnreachable, peer + ": " + error.text, 0, {}};
    default:
      return {TOpenFailure::kOther, peer + ": " + error.text, 0, {}};
  }
}

// A connection to `address` made within `ms`; kNoSocket with `error` when none was made.
TSocket ConnectWithin(const platform::TSocketAddress& address, int ms, TNetError& error) {
  const TSocket s = platform::OpenSocket(address, error);
  if (s == kNoSocket) return kNoSocket;
  if (platform::StartConnect(s, address, error)) {
    const unsigned ready = platform::Wait(s, false, true, ms);
    error = ready == 0 ? TNetError{TNetFailure::kTimedOut, {}} : platform::SocketError(s);
    // Reported failed, yet without a reason.
    if (error.failure == TNetFailure::kNone && !(ready & platform::kWritable)) {
      error = {TNetFailure::kRefused, {}};
    }
  }
  if (error.failure == TNetFailure::kNone) return s;
  platform::CloseSocket(s);
  return kNoSocket;
}

class TTcpComPortIo final : public platform::TBackend {
 public:
  explicit TTcpComPortIo(platform::THostLookUp look_up) : look_up_(std::move(look_up)) {}
  ~TTcpComPortIo() override { Close(); }

  bool OpenDevice(const TPortAddress& address, uint32_t) override {
    if (TNetError start; !platform::StartSockets(start)) {
      error_ = {TOpenFailure::kOther, "no network: " + start.text, 0, {}};
      return false;
    }
    const TSocket s = Connect(address.host, address.tcp_port);
    if (s == kNoSocket) return false;
    socket_ = s;
    // Bytes a server kept from the line while nobody was connected are not an answer.
    Purge();
    return true;
  }

  void Close() override {
    if (socket_ != kNoSocket) platform::CloseSocket(socket_);
    socket_ = kNoSocket;
    ResetInput();
  }

  // Drops the bytes not handed out yet and whatever the socket holds already. Bytes on their
  // way through the network arrive later, as on a serial line; bytes handed to the socket are
  // sent.
  void Purge() override {
    input_.Clear();
    if (!Usable()) return;
    std::array<uint8_t, 4096> scratch;
    for (size_t dropped = 0; dropped < kPurgeLimit;) {
      const long n = Receive(scratch);
      if (n <= 0) break;
      dropped += static_cast<size_t>(n);
    }
  }

  // A connection that has ended is found out before the frame goes: the system would take it
  // and it would never reach the line.
  bool Write(std::span<const uint8_t> bytes) override {
    if (!Usable()) return false;
    if (platform::Ended(socket_)) return MarkLost();
    const platform::TWriteEnd end = platform::WriteWhole(
        bytes, platform::WriteBoundMs(bytes.size(), baud_),
        [this](std::span<const uint8_t> rest) { return platform::Send(socket_, rest); },
        [this](int ms) {
          const unsigned ready = platform::Wait(socket_, false, true, ms);
          if (ready & platform::kFailed) return TStep::kGone;
          return ready & platform::kWritable ? TStep::kReady : TStep::kNotYet;
        });
    if (end == platform::TWriteEnd::kGone) return MarkLost();
    return end == platform::TWriteEnd::kDone;
  }

  // A readable socket is read at once: the end of the connection also makes it readable, and a
  // wait must never report input that a read then refuses. A wait that fails with nothing to
  // read has lost the connection, as a hang-up has.
  bool WaitForInput(uint32_t ms) override {
    const Clock::time_point deadline = platform::DeadlineIn(ms);
    if (input_.Pending()) return true;
    while (Usable()) {
      const unsigned ready = platform::Wait(socket_, true, false, MsUntil(deadline));
      if (ready == 0) return false;
      if (EnsureInput()) return true;
      if (ready & platform::kFailed) MarkLost();
      // Nothing after all (a purge on another thread took it): wait on for the rest.
      if (MsUntil(deadline) == 0) return false;
    }
    return WaitOut(deadline);
  }

  intptr_t NativeHandle() const override { return socket_; }

 private:
  bool IsOpen() const override { return socket_ != kNoSocket; }

  // One receive without waiting: the bytes taken, 0 when none wait, -1 once the connection has
  // ended, which marks it lost.
  long Receive(std::span<uint8_t> into) {
    const long n = platform::Receive(socket_, into);
    if (n < 0) MarkLost();
    return n;
  }

  size_t FillInput(std::span<uint8_t> into) override {
    if (!Usable()) return 0;
    const long n = Receive(into);
    return n > 0 ? static_cast<size_t>(n) : 0;
  }

  // Connects to `host`:`port`, trying each address the name stands for until one accepts, the
  // lookup and all the tries within kOpenTimeoutMs. The connected socket, or kNoSocket with
  // error_ set.
  TSocket Connect(const std::string& host, uint16_t port) {
    const Clock::time_point deadline = platform::DeadlineIn(kOpenTimeoutMs);
    const platform::THostAddresses found = LookUpWithin(look_up_, host, port, deadline);
    if (found.error.failure != TNetFailure::kNone || found.addresses.empty()) {
      const bool system = found.error.failure == TNetFailure::kOther;
      const std::string why = found.error.text.empty() ? "no address" : found.error.text;
      error_ = {system ? TOpenFailure::kOther : TOpenFailure::kUnreachable,
                "host not found: " + host + " (" + why + ")",
                0,
                {}};
      return kNoSocket;
    }
    bool reason = false;
    for (const platform::TSocketAddress& address : found.addresses) {
      TNetError error;
      const TSocket s = ConnectWithin(address, MsUntil(deadline), error);
      if (s != kNoSocket) {
        error_ = {};
        return s;
      }
      // A refusal or a time-out tells more than an address family this host cannot use.
      if (!reason || error.failure != TNetFailure::kNoFamily) {
        reason = true;
        error_ = ConnectError(error, address.text);
      }
      if (MsUntil(deadline) == 0) break;
    }
    return kNoSocket;
  }

  const platform::THostLookUp look_up_;
  TSocket socket_ = kNoSocket;
};

}  // namespace

namespace platform {

std::unique_ptr<IComPortIo> MakeTcpComPortIo(THostLookUp look_up) {
  return std::make_unique<TTcpComPortIo>(std::move(look_up));
}

}  // namespace platform

std::unique_ptr<IComPortIo> MakeTcpComPortIo() {
  return platform::MakeTcpComPortIo(platform::LookUpHost);
}

}  // namespace oxa
