// A peer that answers anything with noise as fast as it is read: each read takes up to
// `block` bytes of it, `block_us` after the one before, on a virtual clock. For the tests and
// benchmarks of what a flood costs the exchange, the trace and the log.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "serial/ComPortIo.h"

namespace oxa::testing {

class TNoiseComPortIo final : public IComPortIo {
 public:
  TNoiseComPortIo(size_t block, uint64_t block_us) : block_(block), block_us_(block_us) {}

  size_t Served() const { return served_; }

  bool Open(const TPortAddress&, uint32_t) override { return open_ = true; }
  const TOpenError& OpenError() const override { return error_; }
  void Close() override { open_ = false; }
  void Purge() override {}
  bool WriteByte(uint8_t) override { return open_; }
  bool Write(std::span<const uint8_t>) override { return open_; }
  bool ReadByte(uint8_t& byte) override { return Read({&byte, 1}) == 1; }
  size_t Read(std::span<uint8_t> bytes) override {
    const size_t n = open_ ? std::min(bytes.size(), block_) : 0;
    for (size_t i = 0; i < n; ++i) {
      state_ = state_ * 1103515245u + 12345u;
      bytes[i] = static_cast<uint8_t>(state_ >> 16);
    }
    now_us_ += block_us_;
    served_ += n;
    return n;
  }
  bool WaitForInput(uint32_t) override { return open_; }
  bool InputPending() override { return false; }  // nothing held back: every read is a new one
  bool Lost() const override { return false; }
  uint64_t NowUs() const override { return now_us_; }
  void Sleep(uint32_t ms) override { now_us_ += uint64_t{ms} * 1000; }
  intptr_t NativeHandle() const override { return open_ ? 3 : -1; }

 private:
  const size_t block_;
  const uint64_t block_us_;
  bool open_ = false;
  TOpenError error_;
  uint64_t now_us_ = 0;
  uint32_t state_ = 1;
  size_t served_ = 0;
};

}  // namespace oxa::testing
