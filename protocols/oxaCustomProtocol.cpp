#include "protocols/oxaCustomProtocol.h"

namespace oxa {

void ToxaCustomProtocol::SetComPort(ToxaCustomComPort* port) {
  if (port != nullptr) com_port_ = port;
}

void ToxaCustomProtocol::SetNetAddr(uint8_t value) {
  if (value < 128) net_addr_ = value;
}

void ToxaCustomProtocol::SetPacketTimeout(uint32_t value) {
  const uint32_t rounded = value / 10 * 10;
  if (rounded >= 10 && rounded < 10000) packet_timeout_ = rounded;
}

void ToxaCustomProtocol::SetByteTimeout(uint32_t value) {
  const uint32_t rounded = value / 10 * 10;
  if (rounded >= 10 && rounded < 3000) byte_timeout_ = rounded;
}

void ToxaCustomProtocol::SetRepeatCount(uint8_t value) {
  if (value >= 1 && value <= 24) repeat_count_ = value;
}

void ToxaCustomProtocol::SetDeviceType(uint32_t value) {
  device_type_ = value > 11 ? 0 : value;
}

}  // namespace oxa
