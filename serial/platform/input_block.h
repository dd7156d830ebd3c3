// Received bytes taken from the system in blocks and handed out as callers ask for them: an
// answer that is already there costs one system call, not one per byte. Every backend keeps
// its input in one. The reader (the receive thread in thread mode) and Purge (the main thread)
// may use it at the same time.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>

namespace oxa::platform {

class TInputBlock {
 public:
  // Hands out up to out.size() bytes. When none are left, `fill` first puts what the system
  // holds into the block: fill(std::span<uint8_t> into) returns how many bytes it put there,
  // 0 when none.
  template <class Fill>
  size_t Take(std::span<uint8_t> out, Fill&& fill) {
    std::lock_guard lock(mutex_);
    if (pos_ == len_ && !Refill(fill)) return 0;
    const size_t n = std::min(out.size(), len_ - pos_);
    std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(pos_), n, out.begin());
    pos_ += n;
    return n;
  }

  // True when bytes wait in the block; an empty block is filled first by `fill`. A wait that
  // finds the system's input readable reads it at once this way, so that it never reports
  // input a read then refuses.
  template <class Fill>
  bool Ensure(Fill&& fill) {
    std::lock_guard lock(mutex_);
    return pos_ < len_ || Refill(fill);
  }

  bool Pending() {
    std::lock_guard lock(mutex_);
    return pos_ < len_;
  }

  void Clear() {
    std::lock_guard lock(mutex_);
    pos_ = len_ = 0;
  }

 private:
  template <class Fill>
  bool Refill(Fill& fill) {
    pos_ = 0;
    len_ = std::min(fill(std::span<uint8_t>(bytes_)), bytes_.size());
    return len_ > 0;
  }

  std::mutex mutex_;
  std::array<uint8_t, 256> bytes_{};
  size_t pos_ = 0;
  size_t len_ = 0;
};

}  // namespace oxa::platform
