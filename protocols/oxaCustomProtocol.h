// What the two master protocols share: the port they talk through, the device's address, the
// answer time-outs, the number of attempts, the device type, the write switch and the code of
// the last outcome. The setters apply the same silent rules in both masters: a value out of
// range is ignored (or, for DeviceType, mapped to 0) and nothing is reported.
#pragma once

#include <cstdint>

#include "serial/OxaComPort.h"

namespace oxa {

class ToxaCustomProtocol {
 public:
  virtual ~ToxaCustomProtocol() = default;
  ToxaCustomProtocol(const ToxaCustomProtocol&) = delete;
  ToxaCustomProtocol& operator=(const ToxaCustomProtocol&) = delete;

  // The port all traffic goes through; not owned. A null value is ignored: once bound, a port
  // stays bound.
  ToxaCustomComPort* ComPort() const { return com_port_; }
  void SetComPort(ToxaCustomComPort* port);

  // Device address 0..127; larger values are ignored.
  uint8_t NetAddr() const { return net_addr_; }
  void SetNetAddr(uint8_t value);

  // Time allowed for the first answer byte, ms. Rounded down to a multiple of 10; kept only if
  // 10 ≤ result < 10000.
  uint32_t PacketTimeout() const { return packet_timeout_; }
  void SetPacketTimeout(uint32_t value);

  // Time allowed for each further answer byte, ms. Rounded down to a multiple of 10; kept only
  // if 10 ≤ result < 3000.
  uint32_t ByteTimeout() const { return byte_timeout_; }
  void SetByteTimeout(uint32_t value);

  // Attempts per exchange, 1..24; other values are ignored.
  uint8_t RepeatCount() const { return repeat_count_; }
  void SetRepeatCount(uint8_t value);

  // Outcome of the last operation, a code of ErrorMessages (serial/OxaUtils.h); 0 is success.
  uint32_t LastError() const { return last_error_; }

  // Index into the device-type name tables, 0..11; larger values are stored as 0.
  uint32_t DeviceType() const { return device_type_; }
  void SetDeviceType(uint32_t value);

  // Lets the operations that may do so open a closed port by themselves.
  bool AutoOpenPort() const { return auto_open_port_; }
  void SetAutoOpenPort(bool value) { auto_open_port_ = value; }

  // Enables the writes it gates; while false they send nothing and report success.
  bool EWrite() const { return e_write_; }
  void SetEWrite(bool value) { e_write_ = value; }

 protected:
  ToxaCustomProtocol() = default;

  // Codes of LastError that the masters and device classes set (texts in ErrorMessages).
  static constexpr uint32_t kOk = 0;
  static constexpr uint32_t kNoPortOrWriteFailed = 1;
  static constexpr uint32_t kNoAnswer = 2;
  static constexpr uint32_t kWrongSize = 3;
  static constexpr uint32_t kWrongAddress = 4;
  static constexpr uint32_t kWrongChecksum = 5;  // checksum of a 10x answer, CRC of a Modbus one
  static constexpr uint32_t kPortNotOpen = 6;

  // For the device classes: an answer that is valid on the line but not what the device sends.
  void SetLastError(uint32_t code) { last_error_ = code; }

  // The state the masters' exchanges read and set.
  ToxaCustomComPort* com_port_ = nullptr;
  bool auto_open_port_ = false;
  bool e_write_ = false;
  uint8_t repeat_count_ = 3;
  uint32_t packet_timeout_ = 300;
  uint32_t byte_timeout_ = 40;
  uint8_t net_addr_ = 0;
  uint32_t last_error_ = 0;
  uint32_t device_type_ = 0;
};

}  // namespace oxa
