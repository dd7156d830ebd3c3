#include "serial/ComPortIo.h"

namespace oxa {

namespace {

// Sends each Open to the backend its address names and everything else to the backend of the
// last Open.
class TRoutingComPortIo final : public IComPortIo {
 public:
  TRoutingComPortIo() : serial_(MakeSerialComPortIo()), tcp_(MakeTcpComPortIo()) {}

  bool Open(const TPortAddress& address, uint32_t baud) override {
    current_->Close();
    current_ = address.Socket() ? tcp_.get() : serial_.get();
    return current_->Open(address, baud);
  }
  const TOpenError& OpenError() const override { return current_->OpenError(); }
  void Close() override { current_->Close(); }
  void Purge() override { current_->Purge(); }
  bool WriteByte(uint8_t byte) override { return current_->WriteByte(byte); }
  bool Write(std::span<const uint8_t> bytes) override { return current_->Write(bytes); }
  bool ReadByte(uint8_t& byte) override { return current_->ReadByte(byte); }
  size_t Read(std::span<uint8_t> bytes) override { return current_->Read(bytes); }
  bool WaitForInput(uint32_t ms) override { return current_->WaitForInput(ms); }
  bool InputPending() override { return current_->InputPending(); }
  bool Lost() const override { return current_->Lost(); }
  uint64_t NowUs() const override { return current_->NowUs(); }
  void Sleep(uint32_t ms) override { current_->Sleep(ms); }
  intptr_t NativeHandle() const override { return current_->NativeHandle(); }

 private:
  std::unique_ptr<IComPortIo> serial_;
  std::unique_ptr<IComPortIo> tcp_;
  IComPortIo* current_ = serial_.get();
};

}  // namespace

std::unique_ptr<IComPortIo> MakePlatformComPortIo() {
  return std::make_unique<TRoutingComPortIo>();
}

}  // namespace oxa
