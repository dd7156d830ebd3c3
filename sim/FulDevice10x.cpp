// The virtual device's 10x side: the answers to the commands it knows, and its identification
// and software version texts.
#include <algorithm>

#include "sim/FulDevice.h"
#include "sim/FulDeviceInternal.h"
#include "sim/SimFrames.h"

namespace oxa::sim {

using namespace detail;

std::vector<uint8_t> TFulDevice::Answer10x(std::span<const uint8_t> frame) {
  if (frame[1] != address_) return {};
  const uint8_t group = frame[3], code = frame[4];
  const auto data = frame.subspan(6, frame[5]);
  const auto reply = [&](std::span<const uint8_t> bytes) {
    return Sim10xAnswer(address_, group, code, bytes);
  };
  const auto clip = [](const auto& area, size_t address, size_t count) {
    const size_t begin = std::min(address, area.size());
    const size_t end = std::min(begin + count, area.size());
    return std::vector<uint8_t>(area.begin() + begin, area.begin() + end);
  };
  switch ((group << 8) | code) {
    case 0x0000:
      return reply(id_10x_);
    case 0x0001:
      return reply(version_10x_);
    case 0x0C00: {  // the current values: SFR and G of both channels
      std::vector<uint8_t> values = clip(ram_, kRamSfr1, 8);
      const auto g = clip(ram_, kRamG1, 8);
      values.insert(values.end(), g.begin(), g.end());
      return reply(values);
    }
    case 0x0C01:
      if (data.size() != 3) return {};
      return reply(clip(ram_, Be16(data, 0), data[2]));
    case 0x0F01:
      if (data.size() != 3) return {};
      return reply(clip(memory_, Be16(data, 0), data[2]));
    case 0x0F02:
      if (data.size() != 2) return {};
      return reply(clip(ClockArea(), data[0], data[1]));
    case 0x0F03: {  // data flash: contents drawn from the address, not stored
      if (data.size() != 5) return {};
      uint32_t address = (uint32_t{data[1]} << 24) | (uint32_t{data[2]} << 16) |
                         (uint32_t{data[3]} << 8) | data[4];
      std::vector<uint8_t> bytes(data[0]);
      for (auto& b : bytes) b = static_cast<uint8_t>((address++ * 2654435761u) >> 24);
      return reply(bytes);
    }
    case 0x0F81:
      if (data.size() < 2) return {};
      SetMemory(Be16(data, 0), data.subspan(2));
      return reply({});
    case 0x0F82: {
      if (data.empty()) return {};
      WriteClockArea(data[0], data.subspan(1));
      return reply(clip(ClockArea(), data[0], data.size() - 1));
    }
    case 0x0F91:
      if (data.size() != kSecuritySize) return {};
      std::copy(data.begin(), data.end(), security_.begin());
      return reply({});
    case 0x0F93:
      return reply(security_);
    case 0x0FF1: {  // writes are always unlocked
      const uint8_t unlocked = 1;
      return reply(std::span(&unlocked, 1));
    }
    case 0x7777:    // restore the factory coefficients
    case 0x7778: {  // reset the device's coefficients and its signature record
      ResetCalibration();
      if (code == 0x78) std::fill_n(&memory_[kMemSignature], 16, uint8_t{0xFF});
      const uint8_t done = 0;
      return reply(std::span(&done, 1));
    }
    default: {  // a command the device does not know
      const uint8_t unknown = 0xFF;
      return reply(std::span(&unknown, 1));
    }
  }
}

void TFulDevice::Set10xIdentification(std::string utf8) {
  id_10x_ = WireText(utf8, kMax10xData);
}

void TFulDevice::Set10xSoftVersion(std::string utf8) {
  version_10x_ = WireText(utf8, kMax10xData);
}
}  // namespace oxa::sim
