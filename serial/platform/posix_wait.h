// Waiting on POSIX descriptors, shared by the serial and TCP backends: poll restarted after
// signals within its time, deadlines on the monotonic clock, and the bound of a write.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>

namespace oxa::platform {

using Clock = std::chrono::steady_clock;

// Poll events that mean the device or the connection has gone.
inline constexpr short kGoneEvents = POLLERR | POLLHUP | POLLNVAL;

// Milliseconds left until `deadline`, 0 once it has passed.
inline int MsUntil(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// The poll events of `fd` within `ms` (0: now); 0 when nothing happened. A signal does not cut
// the wait short; a failing poll reports POLLERR, which callers take for a lost device.
inline short PollFd(int fd, short wanted, int ms) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    pollfd p{fd, wanted, 0};
    const int r = ::poll(&p, 1, ms);
    if (r > 0) return p.revents;
    if (r == 0) return 0;
    if (errno != EINTR) return POLLERR;
    ms = MsUntil(deadline);
  }
}

// The monotonic clock in microseconds.
inline uint64_t MonotonicUs() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch())
          .count());
}

// How long a write of `bytes` may wait for room before it reports failure: a second, plus the
// time the bytes take on the line at `baud` (0, the line's own speed: the slowest, 300).
inline uint32_t WriteBoundMs(size_t bytes, uint32_t baud) {
  constexpr uint32_t kWriteWaitMs = 1000;
  constexpr uint64_t kSlowestBaud = 300;
  const uint64_t rate = baud != 0 ? baud : kSlowestBaud;
  return kWriteWaitMs + static_cast<uint32_t>(std::min<uint64_t>(bytes * 10'000 / rate, 1u << 30));
}

// How a whole write ended.
enum class TWriteEnd { kDone, kTimedOut, kGone };

// Hands all of `bytes` to the non-blocking descriptor `fd`, `send_some(data, size)` (a write or
// a send) taking what the system will: a partial write goes on where it stopped, and a full
// queue is waited out (POLLOUT) within `bound_ms`. kGone when the system reports the device or
// the connection gone.
template <class SendSome>
TWriteEnd WriteWhole(int fd, std::span<const uint8_t> bytes, uint32_t bound_ms,
                     SendSome&& send_some) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(bound_ms);
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = send_some(bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return TWriteEnd::kGone;
    // The queue is full (or the system took nothing): wait for room, within the bound.
    const int left = MsUntil(deadline);
    if (left == 0) return TWriteEnd::kTimedOut;
    const short events = PollFd(fd, POLLOUT, left);
    if (events & kGoneEvents) return TWriteEnd::kGone;
    if (!(events & POLLOUT)) return TWriteEnd::kTimedOut;
  }
  return TWriteEnd::kDone;
}

}  // namespace oxa::platform
