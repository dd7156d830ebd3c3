// Waiting on POSIX descriptors, shared by the serial and TCP backends: poll restarted after
// signals within its time, deadlines on the monotonic clock, and the bound of a write.
#pragma once

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>

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

}  // namespace oxa::platform
