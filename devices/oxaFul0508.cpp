#include "devices/oxaFul0508.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <limits>

#include "devices/oxaSignature.h"
#include "serial/OxaUtils.h"

namespace oxa {

namespace {

constexpr uint16_t kRegG = 0;
constexpr uint16_t kRegGmax = 299;
constexpr uint16_t kRegSfrNormalCh1 = 107;
constexpr uint16_t kRegSfrAltCh1 = 97;
constexpr uint16_t kRegSfrAltCh2 = 107;
constexpr uint16_t kRegDeviceNumber = 315;
constexpr uint16_t kRegSoftVersion = 318;
constexpr uint16_t kRegChannelLayout = 320;

bool ValidChannel(uint8_t channel) {
  return channel == 1 || channel == 2;
}

// The integer part of `value` as the low 16 bits of a two's-complement number. NaN gives 0 and
// values beyond the 64-bit range are held at its ends, so no input makes the conversion
// undefined.
uint16_t TruncatedLow16(float value) {
  if (std::isnan(value)) return 0;
  const double t = std::trunc(static_cast<double>(value));
  constexpr double kLimit = 9.2e18;  // inside the int64 range
  const double held = t < -kLimit ? -kLimit : (t > kLimit ? kLimit : t);
  return static_cast<uint16_t>(static_cast<uint64_t>(static_cast<int64_t>(held)));
}

}  // namespace

// D[1] is this bit pattern (1.4901161e-07), not 1.0.
constexpr uint32_t kFactoryK1Bits = 0x34200000;
const std::array<float, 10> kFul0508FactoryK = {
    0.0f, std::bit_cast<float>(kFactoryK1Bits), 0.001f, 0.0025f, 0.005f, 0.01f, 0.02f, 0.04f, 0.1f,
    0.5f};

uint16_t Ful0508KRegister(uint8_t channel, uint8_t index) {
  if (!ValidChannel(channel) || index > 9) return 0;
  if (index <= 1) return channel == 1 ? 370 + index : 290 + index;
  return channel == 1 ? 356 - 2 * index : 207 - 2 * index;
}

uint16_t Ful0508ObrRegister(uint8_t channel, uint8_t index) {
  if (!ValidChannel(channel) || index > 9) return 0;
  if (index <= 1) return Ful0508KRegister(channel, index);
  return channel == 1 ? 372 - 2 * index : 231 - 2 * index;
}

void ToxaFul0508::SetSignature(std::string value) {
  signature_set_ = true;
  const auto taken = TakeSignature(value);
  if (!taken) {
    signature_.clear();
    return;
  }
  signature_ = taken->text;
  SetEWrite(taken->writes_allowed);
}

bool ToxaFul0508::Read32(uint16_t start, uint32_t& value) {
  std::array<uint8_t, 4> data{};
  if (!ReadHoldingRegisters(start, 2, data)) return false;
  value = BigEndian32(data);
  return true;
}

bool ToxaFul0508::Read16(uint16_t reg, uint16_t& value) {
  std::array<uint8_t, 2> data{};
  if (!ReadHoldingRegisters(reg, 1, data)) return false;
  value = static_cast<uint16_t>((data[0] << 8) | data[1]);
  return true;
}

float ToxaFul0508::ReadFloat(uint16_t start) {
  uint32_t bits = 0;
  return Read32(start, bits) ? std::bit_cast<float>(bits) : 0.0f;
}

void ToxaFul0508::GetDeviceNumber(std::string& s) {
  std::array<uint8_t, 4> layout{};
  // When the layout cannot be read the flag keeps what the last answer said.
  if (ReadHoldingRegisters(kRegChannelLayout, 2, layout)) channel_swap_ = layout[1] != 0;
  uint32_t number = 0;
  if (Read32(kRegDeviceNumber, number)) {
    s = std::to_string(number);
  } else {
    s.clear();
  }
}

float ToxaFul0508::ClbReadG(uint8_t channel) {
  if (!ValidChannel(channel)) return 0.0f;
  return ReadFloat(static_cast<uint16_t>(kRegG + 2 * (channel - 1)));
}

float ToxaFul0508::ClbReadGmax(uint8_t channel) {
  if (!ValidChannel(channel)) return 0.0f;
  return ReadFloat(static_cast<uint16_t>(kRegGmax + 2 * (channel - 1)));
}

float ToxaFul0508::ClbReadSFR(uint8_t channel) {
  if (!ValidChannel(channel)) return 0.0f;
  if (channel_swap_) channel = channel == 1 ? 2 : 1;
  uint16_t reg = 0;
  if (alt_reg_mapping_) {
    reg = channel == 1 ? kRegSfrAltCh1 : kRegSfrAltCh2;
  } else {
    reg = static_cast<uint16_t>(kRegSfrNormalCh1 - 2 * (channel - 1));
  }
  uint32_t raw = 0;
  if (!Read32(reg, raw)) return 0.0f;
  return static_cast<float>(static_cast<int32_t>(raw));
}

bool ToxaFul0508::ReadCoefficient(uint16_t reg, uint8_t index, float& value) {
  std::array<uint8_t, 4> data{};
  if (!ReadHoldingRegisters(reg, 2, data)) {
    value = 0.0f;
    return false;
  }
  if (index == 0) {
    value = static_cast<float>(static_cast<int16_t>((data[0] << 8) | data[1]));
  } else {
    value = std::bit_cast<float>(BigEndian32(data));
  }
  return true;
}

bool ToxaFul0508::WriteCoefficient(uint16_t reg, uint8_t index, float value) {
  std::array<uint8_t, 4> data{};
  uint16_t count = 2;
  if (index == 0) {
    const uint16_t v = TruncatedLow16(value);
    data[0] = static_cast<uint8_t>(v >> 8);
    data[1] = static_cast<uint8_t>(v & 0xFF);
    count = 1;
  } else {
    PutBigEndian32(data, std::bit_cast<uint32_t>(value));
  }
  WriteMultipleRegisters(reg, count, data);
  return LastError() == 0;
}

bool ToxaFul0508::ClbReadK(uint8_t channel, uint8_t index, float& value) {
  const uint16_t reg = Ful0508KRegister(channel, index);
  return reg != 0 && ReadCoefficient(reg, index, value);
}

bool ToxaFul0508::ClbReadObr(uint8_t channel, uint8_t index, float& value) {
  const uint16_t reg = Ful0508ObrRegister(channel, index);
  return reg != 0 && ReadCoefficient(reg, index, value);
}

bool ToxaFul0508::ClbWriteK(uint8_t channel, uint8_t index, float value) {
  const uint16_t reg = Ful0508KRegister(channel, index);
  return reg != 0 && WriteCoefficient(reg, index, value);
}

bool ToxaFul0508::ClbWriteObr(uint8_t channel, uint8_t index, float value) {
  const uint16_t reg = Ful0508ObrRegister(channel, index);
  return reg != 0 && WriteCoefficient(reg, index, value);
}

bool ToxaFul0508::ResetK() {
  bool result = false;
  const uint8_t last_channel = alt_reg_mapping_ ? 2 : 1;
  for (uint8_t channel = 1; channel <= last_channel; ++channel) {
    for (uint8_t i = 0; i <= 9; ++i) result = ClbWriteK(channel, i, kFul0508FactoryK[i]);
    // Obr[0] and Obr[1] share their registers with K[0] and K[1].
    for (uint8_t i = 2; i <= 9; ++i) result = ClbWriteObr(channel, i, kFul0508FactoryK[i]);
  }
  return result;
}

bool ToxaFul0508::ClbWriteSignature() {
  if (!signature_set_ || signature_.empty()) return false;
  if (signature_written_) return true;
  if (LastError() != 0) return false;
  signature_written_ = true;
  return true;
}

void ToxaFul0508::GetSoftVer(std::string& s) {
  std::array<uint8_t, 2> data{};
  if (!ReadHoldingRegisters(kRegSoftVersion, 1, data)) {
    s.clear();
    return;
  }
  char text[16];
  std::snprintf(text, sizeof text, "%.02d.%.02d", data[0], data[1]);
  s = text;
}

bool ToxaFul0508::ReadIntegrator(size_t index, std::span<uint8_t, 4> raw) {
  if (index >= kIntegratorCount) return false;
  // Four registers are asked for, as the device's own tools do; the value is in the first two.
  std::array<uint8_t, 8> data{};
  if (!ReadHoldingRegisters(kIntegratorRegs[index], 4, data)) return false;
  std::copy_n(data.begin(), raw.size(), raw.begin());
  return true;
}

bool ToxaFul0508::ReadDose(uint16_t& tenths) {
  return Read16(kRegDose, tenths);
}

bool ToxaFul0508::WriteDose(uint16_t tenths) {
  return WriteSingleRegister(kRegDose, tenths);
}

bool ToxaFul0508::ReadDoserState(uint16_t& state) {
  return Read16(kRegDoserState, state);
}

bool ToxaFul0508::SendDoserCommand(TDoserCommand command) {
  return WriteSingleRegister(kRegDoserState, static_cast<uint16_t>(command));
}

bool ToxaFul0508::ResetDoser() {
  return WriteSingleRegister(kRegDoserReset, 1);
}

}  // namespace oxa
