#include "serial/OxaComPort.h"

#include <algorithm>

namespace oxa {

// The receive thread of thread mode. Defined with thread mode; until then a port never runs one.
class ToxaComPortRcvThread {};

ToxaCustomComPort::ToxaCustomComPort() : ToxaCustomComPort(MakePlatformComPortIo()) {}

ToxaCustomComPort::ToxaCustomComPort(std::unique_ptr<IComPortIo> io) : io_(std::move(io)) {}

ToxaCustomComPort::~ToxaCustomComPort() = default;

void ToxaCustomComPort::SetThreadInterval(uint32_t value) {
  thread_interval_ = std::clamp<uint32_t>(value, 10, 10000);
}

void ToxaCustomComPort::SetThreadByteTimeout(uint32_t value) {
  thread_byte_timeout_ = std::clamp<uint32_t>(value, 10, 1000);
}

void ToxaCustomComPort::SetMainThreadDispatcher(MainThreadDispatcher dispatcher) {
  dispatcher_ = std::move(dispatcher);
}

void ToxaCustomComPort::ServeSynchronizedCalls() {}

std::string ToxaCustomComPort::DeviceName() const {
  if (com_port_ == 0) return {};
  const auto it = device_map_.find(com_port_);
  return it != device_map_.end() ? it->second : DefaultComDeviceName(com_port_);
}

bool ToxaCustomComPort::Open() {
  const std::string device = DeviceName();
  if (device.empty() || !io_->Open(device, baud_rate_)) {
    handle_ = -1;
    opened_ = false;
    return false;
  }
  handle_ = io_->NativeHandle();
  opened_ = true;
  return true;
}

void ToxaCustomComPort::Close() {
  if (!opened_) return;
  opened_ = false;
  io_->Close();
}

void ToxaCustomComPort::Purge() {
  if (opened_) io_->Purge();
}

bool ToxaCustomComPort::WriteByte(uint8_t byte) { return opened_ && io_->WriteByte(byte); }

bool ToxaCustomComPort::ReadByte(uint8_t& byte) {
  if (receive_in_thread_ || !opened_) return false;
  return io_->ReadByte(byte);
}

bool ToxaCustomComPort::WaitForInput(uint32_t ms) {
  if (!opened_ || receive_in_thread_) {
    io_->Sleep(ms);
    return false;
  }
  return io_->WaitForInput(ms);
}

void ToxaCustomComPort::Delay(uint32_t ms) { io_->Sleep(ms); }

}  // namespace oxa
