// The port's clock and the arithmetic of its waits, for every backend: deadlines on the
// monotonic clock, the time left until one, and how long a write may wait for the system.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace oxa::platform {

using Clock = std::chrono::steady_clock;

// The longest single wait handed to the system, ms: it fits every system's wait call.
inline constexpr int kLongestWaitMs = 1 << 30;

// The time `ms` milliseconds from now.
inline Clock::time_point DeadlineIn(uint32_t ms) {
  return Clock::now() + std::chrono::milliseconds(ms);
}

// Milliseconds left until `deadline`, rounded up, 0 once it has passed, at most
// kLongestWaitMs. Rounded up: a wait for the last fraction of a millisecond would otherwise be
// a wait of 0, and a loop that waits for a deadline would spin through that fraction.
inline int MsUntil(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(std::min<long long>(left, kLongestWaitMs)) : 0;
}

// The monotonic clock in microseconds: the time every backend tells its port.
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
