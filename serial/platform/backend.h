// What every backend of the port shares whatever it talks to (a serial device of either
// system, a TCP connection): the reason its last Open failed, the received bytes not yet handed
// out, the mark of a lost device, the clock, and the loop that writes a whole frame.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>

#include "serial/ComPortIo.h"
#include "serial/OxaUtils.h"
#include "serial/platform/deadline.h"
#include "serial/platform/input_block.h"

namespace oxa::platform {

class TBackend : public IComPortIo {
 public:
  // Closes what is open, then opens `address` afresh (OpenDevice).
  bool Open(const TPortAddress& address, uint32_t baud) final {
    Close();
    error_ = {};
    if (!OpenDevice(address, baud)) return false;
    baud_ = baud;
    return true;
  }

  const TOpenError& OpenError() const final { return error_; }
  bool WriteByte(uint8_t byte) final { return Write({&byte, 1}); }
  bool ReadByte(uint8_t& byte) final { return Read({&byte, 1}) == 1; }

  // Bytes are taken from the system in blocks and handed out as asked for: an answer that is
  // already there costs one system call, not one per byte.
  size_t Read(std::span<uint8_t> bytes) final {
    if (bytes.empty()) return 0;
    return input_.Take(bytes, [this](std::span<uint8_t> into) { return FillInput(into); });
  }

  bool InputPending() final { return input_.Pending(); }
  bool Lost() const final { return IsOpen() && lost_; }
  uint64_t NowUs() const final { return MonotonicUs(); }
  void Sleep(uint32_t ms) final { DelayMs(ms); }

 protected:
  // Opens the device or the connection at `address`, nothing being open, the loss and the input
  // forgotten (as Close leaves them); false with error_ set.
  virtual bool OpenDevice(const TPortAddress& address, uint32_t baud) = 0;
  // True while a device or a connection is open.
  virtual bool IsOpen() const = 0;
  // Takes what the system holds into `into` without waiting: how many bytes, 0 when none wait
  // or the device has gone (which it marks lost).
  virtual size_t FillInput(std::span<uint8_t> into) = 0;

  bool Usable() const { return IsOpen() && !lost_; }

  // True when received bytes wait; an empty block is filled first. A wait that finds the
  // system's input readable reads it at once this way, so that it never reports input a read
  // then refuses.
  bool EnsureInput() {
    return input_.Ensure([this](std::span<uint8_t> into) { return FillInput(into); });
  }

  // Marks the device gone; false, for the operation that noticed it.
  bool MarkLost() {
    lost_ = true;
    return false;
  }

  // Forgets a loss and the bytes not handed out: every Close ends with it.
  void ResetInput() {
    lost_ = false;
    input_.Clear();
  }

  // The end of a wait on a port that is closed or has lost its device: it takes the time the
  // caller asked for, so a polling loop does not spin. Always false.
  static bool WaitOut(Clock::time_point deadline) {
    DelayMs(static_cast<uint32_t>(MsUntil(deadline)));
    return false;
  }

  TOpenError error_;
  uint32_t baud_ = 0;  // the line's speed: it bounds how long a write waits
  // Received bytes not yet handed out. Purge (main thread) and the reader (the receive thread
  // in thread mode) both touch it.
  TInputBlock input_;
  // Written by whichever thread notices the loss (the receive thread reads while the main
  // thread writes), read by both.
  std::atomic<bool> lost_{false};
};

// How one step of a write went: the system took bytes or has room (kReady), it has none yet
// (kNotYet), the device or the connection has gone (kGone).
enum class TStep { kReady, kNotYet, kGone };

// How a whole write ended.
enum class TWriteEnd { kDone, kTimedOut, kGone };

// Hands all of `bytes` to the system within `bound_ms`: `send_some(rest)` gives it what is
// left and returns how many bytes it took (0 when its queue is full, -1 when the device or the
// connection has gone); a partial write goes on where it stopped, and a full queue is waited
// out with `wait_room(ms)`, which returns a TStep.
template <class SendSome, class WaitRoom>
TWriteEnd WriteWhole(std::span<const uint8_t> bytes, uint32_t bound_ms, SendSome&& send_some,
                     WaitRoom&& wait_room) {
  const Clock::time_point deadline = DeadlineIn(bound_ms);
  size_t done = 0;
  while (done < bytes.size()) {
    const long n = send_some(bytes.subspan(done));
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0) return TWriteEnd::kGone;
    // The queue is full (or the system took nothing): wait for room, within the bound.
    const int left = MsUntil(deadline);
    if (left == 0) return TWriteEnd::kTimedOut;
    const TStep room = wait_room(left);
    if (room == TStep::kGone) return TWriteEnd::kGone;
    if (room == TStep::kNotYet) return TWriteEnd::kTimedOut;
  }
  return TWriteEnd::kDone;
}

}  // namespace oxa::platform
