// Serial device servers over TCP: not available yet.
#include <chrono>

#include "serial/ComPortIo.h"
#include "serial/OxaUtils.h"

namespace oxa {

namespace {

class NoTcpComPortIo final : public IComPortIo {
 public:
  bool Open(const TPortAddress&, uint32_t) override {
    error_ = {TOpenFailure::kOther, "TCP ports are not available in this build", 0, {}};
    return false;
  }
  const TOpenError& OpenError() const override { return error_; }
  void Close() override {}
  void Purge() override {}
  bool WriteByte(uint8_t) override { return false; }
  bool Write(std::span<const uint8_t>) override { return false; }
  bool ReadByte(uint8_t&) override { return false; }
  bool WaitForInput(uint32_t ms) override {
    Sleep(ms);
    return false;
  }
  bool InputPending() override { return false; }
  bool Lost() const override { return false; }
  uint64_t NowUs() const override {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
  }
  void Sleep(uint32_t ms) override { DelayMs(ms); }
  intptr_t NativeHandle() const override { return -1; }

 private:
  TOpenError error_;
};

}  // namespace

std::unique_ptr<IComPortIo> MakeTcpComPortIo() {
  return std::make_unique<NoTcpComPortIo>();
}

}  // namespace oxa
