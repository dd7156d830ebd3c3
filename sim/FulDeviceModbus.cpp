// The virtual device's Modbus side: the answers to functions 3, 6, 16, 17 and 65, the register
// file, the doser's commands and the archive blocks.
#include <bit>

#include "sim/FulDevice.h"
#include "sim/FulDeviceInternal.h"
#include "sim/SimFrames.h"

namespace oxa::sim {

using namespace detail;

namespace {

std::vector<uint8_t> ModbusException(uint8_t address, uint8_t function, uint8_t code) {
  std::vector<uint8_t> frame{address, static_cast<uint8_t>(function | 0x80), code};
  AppendModbusCrc(frame);
  return frame;
}

}  // namespace

std::vector<uint8_t> TFulDevice::AnswerModbus(std::span<const uint8_t> frame) {
  const uint8_t to = frame[0];
  const bool broadcast = to == 0;
  if (!broadcast && to != address_) return {};
  const uint8_t function = frame[1];
  const size_t length = ModbusRequestLength(frame);
  if (length != 0 && length != frame.size()) return {};  // malformed: a device stays silent
  if (length == 0 || (function != 0x03 && function != 0x06 && function != 0x10 &&
                      function != 0x11 && function != 0x41)) {
    return broadcast ? std::vector<uint8_t>{} : ModbusException(to, function, kIllegalFunction);
  }
  std::vector<uint8_t> answer{to, function};
  uint8_t exception = 0;
  switch (function) {
    case 0x03: {
      const uint16_t start = Be16(frame, 2), count = Be16(frame, 4);
      if (count == 0 || count > 125) {
        exception = kIllegalDataValue;
        break;
      }
      for (uint32_t r = start; r < uint32_t{start} + count; ++r) {
        if (r > 0xFFFF || !defined_[r]) exception = kIllegalDataAddress;
      }
      if (exception != 0) break;
      answer.push_back(static_cast<uint8_t>(2 * count));
      for (uint32_t r = start; r < uint32_t{start} + count; ++r) {
        answer.push_back(static_cast<uint8_t>(regs_[r] >> 8));
        answer.push_back(static_cast<uint8_t>(regs_[r]));
      }
      break;
    }
    case 0x06: {
      if (!WriteRegister(Be16(frame, 2), Be16(frame, 4), exception)) break;
      answer.assign(frame.begin(), frame.begin() + 6);
      break;
    }
    case 0x10: {
      const uint16_t start = Be16(frame, 2), count = Be16(frame, 4);
      if (count == 0 || count > 123 || frame[6] != 2 * count) {
        exception = kIllegalDataValue;
        break;
      }
      // Every register is checked before any is written: a refused request changes nothing.
      for (uint32_t i = 0; i < count && exception == 0; ++i) {
        const uint32_t r = uint32_t{start} + i;
        if (r > 0xFFFF || !defined_[r]) {
          exception = kIllegalDataAddress;
        } else if (r == kRegDoserState && Be16(frame, 7 + 2 * i) > kDoserPaused) {
          exception = kIllegalDataValue;
        } else if (r == kRegDoserReset && Be16(frame, 7 + 2 * i) != 1) {
          exception = kIllegalDataValue;
        }
      }
      if (exception != 0) break;
      for (uint32_t i = 0; i < count; ++i) {
        WriteRegister(static_cast<uint16_t>(start + i), Be16(frame, 7 + 2 * i), exception);
      }
      answer.assign(frame.begin(), frame.begin() + 6);
      break;
    }
    case 0x11: {
      const auto text = WireText(modbus_id_, 250);
      answer.push_back(static_cast<uint8_t>(text.size() + 1));  // the usual byte count
      answer.push_back(static_cast<uint8_t>(text.size()));
      answer.insert(answer.end(), text.begin(), text.end());
      break;
    }
    case 0x41: {
      const uint16_t block = Be16(frame, 2), count = Be16(frame, 4);
      if (count != 1) {
        exception = kIllegalDataValue;
        break;
      }
      if (block >= kArchiveBlocks) {
        exception = kIllegalDataAddress;
        break;
      }
      const auto data = ArchiveBlock(block);
      answer.push_back(static_cast<uint8_t>(data.size()));
      answer.insert(answer.end(), data.begin(), data.end());
      break;
    }
  }
  if (broadcast) return {};  // writes took effect; a broadcast is never answered
  if (exception != 0) return ModbusException(to, function, exception);
  AppendModbusCrc(answer);
  return answer;
}

bool TFulDevice::WriteRegister(uint16_t reg, uint16_t value, uint8_t& exception) {
  if (!defined_[reg]) {
    exception = kIllegalDataAddress;
    return false;
  }
  if (reg == kRegDoserState) {
    if (value > kDoserPaused) {
      exception = kIllegalDataValue;
      return false;
    }
    DoserCommand(value);
    return true;
  }
  if (reg == kRegDoserReset) {
    if (value != 1) {
      exception = kIllegalDataValue;
      return false;
    }
    regs_[kRegDoserState] = kDoserStopped;
    regs_[kRegDosed] = 0;
    doser_ms_ = 0;
    return true;
  }
  regs_[reg] = value;
  return true;
}

void TFulDevice::DoserCommand(uint16_t command) {
  uint16_t& state = regs_[kRegDoserState];
  switch (command) {
    case kDoserRunning:
      if (state == kDoserPaused) {
        state = kDoserRunning;
      } else if (state != kDoserRunning) {
        // A new dose: the count starts again; a dose of 0 cannot be run.
        regs_[kRegDosed] = 0;
        doser_ms_ = 0;
        state = regs_[kRegDose] == 0 ? kDoserError : kDoserRunning;
      }
      break;
    case kDoserPaused:
      if (state == kDoserRunning) state = kDoserPaused;
      break;
    default:
      if (state != kDoserError) state = kDoserStopped;
      break;
  }
}

void TFulDevice::SetHoldingRegister(uint16_t reg, uint16_t value) {
  regs_[reg] = value;
  defined_.set(reg);
}

void TFulDevice::SetRegisterU32(uint16_t reg, uint32_t value) {
  SetHoldingRegister(reg, static_cast<uint16_t>(value >> 16));
  SetHoldingRegister(static_cast<uint16_t>(reg + 1), static_cast<uint16_t>(value));
}

void TFulDevice::SetRegisterFloat(uint16_t reg, float value) {
  SetRegisterU32(reg, std::bit_cast<uint32_t>(value));
}

uint32_t TFulDevice::RegisterU32(uint16_t reg) const {
  return (uint32_t{regs_[reg]} << 16) | regs_[static_cast<uint16_t>(reg + 1)];
}

float TFulDevice::RegisterFloat(uint16_t reg) const {
  return std::bit_cast<float>(RegisterU32(reg));
}

void TFulDevice::SetModbusIdentification(std::string utf8) {
  modbus_id_ = std::move(utf8);
}

std::array<uint8_t, 128> TFulDevice::ArchiveBlock(uint16_t number) {
  // The block number, high byte first, then a sequence drawn from it: every block differs,
  // and the same block always reads the same.
  std::array<uint8_t, 128> block{};
  block[0] = static_cast<uint8_t>(number >> 8);
  block[1] = static_cast<uint8_t>(number);
  uint32_t x = (uint32_t{number} + 1) * 0x9E3779B9u;
  for (size_t i = 2; i < block.size(); ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    block[i] = static_cast<uint8_t>(x >> 24);
  }
  return block;
}
}  // namespace oxa::sim
