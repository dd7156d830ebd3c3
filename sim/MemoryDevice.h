// The virtual FUL device served inside the program, through the port seam: a port opened at
// DevicePath() hands each request to the device model and reads its answer back, at the pace
// of the speed the port was opened at. No pseudo-terminal, no socket, no thread of its own, so
// it serves the same on every system.
//
// Pace: the request reaches the device as it is written (a pseudo-terminal passes it at once
// too); each byte of the answer becomes readable once its ten bits have passed on the line,
// counted from the end of the request or of the answer before it. A request of a function the
// device does not know is answered once the line has been silent for the inter-frame gap. A
// port waiting for input sleeps until the next byte is due, never spinning.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "serial/ComPortIo.h"
#include "sim/FulDevice.h"

namespace oxa::sim {

struct TMemoryDeviceOptions {
  uint8_t address = 1;
};

class TMemoryDevice {
 public:
  // What a port opens to reach the device (a device path as the [Ports] section has them).
  static constexpr const char* kDevicePath = "virtual:FUL-05.08";

  // The device's clock starts at the host's local time, as a set clock would.
  explicit TMemoryDevice(TMemoryDeviceOptions options = {});
  ~TMemoryDevice();
  TMemoryDevice(const TMemoryDevice&) = delete;
  TMemoryDevice& operator=(const TMemoryDevice&) = delete;

  const std::string& DevicePath() const { return device_path_; }
  // The options as they stand (the address as the device now answers at it).
  TMemoryDeviceOptions Options() const;
  void SetAddress(uint8_t address);

  // Runs `change` on the device under the line's lock: set contents, arm faults, read state.
  void Edit(const std::function<void(FulDevice&)>& change);

  // Inter-frame silence after which an unfinished request is dropped, at `baud` bit/s.
  static uint32_t IdleGapMs(uint32_t baud);

  // A port backend that opens DevicePath() as this device and any other address through
  // `others` (without it, other addresses are not present). One port at a time has the device:
  // a second open is refused as busy until the first closes. The backend may outlive the
  // device object; the device lives on until both are gone.
  std::unique_ptr<IComPortIo> MakeComPortIo(std::unique_ptr<IComPortIo> others = nullptr);

  class TLine;  // the device and its line, shared with the ports

 private:
  std::shared_ptr<TLine> line_;
  std::string device_path_ = kDevicePath;
};

}  // namespace oxa::sim
