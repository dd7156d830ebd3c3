// The virtual device's memory (the 2-Kbyte memory, the RAM, the stamp and calibration records),
// its clock, and the passing of time: integrators, operating times, the doser and the clock.
#include <algorithm>
#include <bit>
#include <ctime>

#include "serial/OxaUtils.h"
#include "sim/FulDevice.h"
#include "sim/FulDeviceInternal.h"
#include "sim/SimClock.h"

namespace oxa::sim {

using namespace detail;

namespace {

uint8_t FromBcd(uint8_t bcd) {
  return static_cast<uint8_t>((bcd >> 4) * 10 + (bcd & 0x0F));
}

}  // namespace

// --- Memory ----------------------------------------------------------------------------------

void TFulDevice::SetMemory(uint16_t address, std::span<const uint8_t> bytes) {
  for (size_t i = 0; i < bytes.size() && address + i < memory_.size(); ++i) {
    memory_[address + i] = bytes[i];
  }
}

std::vector<uint8_t> TFulDevice::Memory(uint16_t address, size_t count) const {
  const size_t begin = std::min<size_t>(address, memory_.size());
  const size_t end = std::min(begin + count, memory_.size());
  return {memory_.begin() + begin, memory_.begin() + end};
}

void TFulDevice::SetRam(uint16_t address, std::span<const uint8_t> bytes) {
  for (size_t i = 0; i < bytes.size() && address + i < ram_.size(); ++i)
    ram_[address + i] = bytes[i];
}

std::vector<uint8_t> TFulDevice::Ram(uint16_t address, size_t count) const {
  const size_t begin = std::min<size_t>(address, ram_.size());
  const size_t end = std::min(begin + count, ram_.size());
  return {ram_.begin() + begin, ram_.begin() + end};
}

void TFulDevice::SetRamFloat(uint16_t address, float value) {
  uint8_t bytes[4];
  PutBe32(bytes, std::bit_cast<uint32_t>(value));
  SetRam(address, bytes);
}

void TFulDevice::SetStamp(uint16_t number, int year, int month, int day) {
  const uint8_t record[8] = {0xDE,
                             static_cast<uint8_t>(number),
                             static_cast<uint8_t>(number >> 8),
                             0x00,
                             ByteToBcd(static_cast<uint8_t>(year % 100)),
                             ByteToBcd(static_cast<uint8_t>(month)),
                             ByteToBcd(static_cast<uint8_t>(day)),
                             0xAD};
  SetMemory(kMemStamp, record);
}

uint16_t TFulDevice::CalibrationChecksum(std::span<const uint8_t> block) {
  uint16_t sum = 0;
  for (size_t i = 0; i < 144 && i < block.size(); ++i) sum = static_cast<uint16_t>(sum + block[i]);
  return static_cast<uint16_t>(~sum);
}

void TFulDevice::ResetCalibration() {
  std::array<uint8_t, kCalibrationSize> block{};
  for (size_t channel = 0; channel < 2; ++channel) {
    uint8_t* record = &block[72 * channel];
    PutBe32(record + 0, std::bit_cast<uint32_t>(0.0f));
    PutBe32(record + 4, std::bit_cast<uint32_t>(1.0f));
    for (size_t i = 2; i <= 9; ++i) {
      const uint32_t bits = std::bit_cast<uint32_t>(kFactoryK[i - 2]);
      PutBe32(record + 8 + 4 * (i - 2), bits);   // Obr[i]
      PutBe32(record + 40 + 4 * (i - 2), bits);  // K[i]
    }
  }
  const uint16_t checksum = CalibrationChecksum(block);
  block[144] = static_cast<uint8_t>(checksum >> 8);
  block[145] = static_cast<uint8_t>(checksum);
  SetMemory(kMemCalibration, block);
}

// --- Clock -----------------------------------------------------------------------------------

// The clock area: bytes 0 to 9 are the clock registers (seconds, alarm, minutes, alarm, hours,
// alarm, day of the week 1 = Sunday, day, month, year, all packed BCD) drawn from the ticking
// clock; the rest is plain storage.
std::array<uint8_t, kClockAreaSize> TFulDevice::ClockArea() const {
  std::array<uint8_t, kClockAreaSize> area = clock_area_;
  const tm parts = UtcFromSeconds(clock_s_);
  area[0] = ByteToBcd(static_cast<uint8_t>(parts.tm_sec));
  area[2] = ByteToBcd(static_cast<uint8_t>(parts.tm_min));
  area[4] = ByteToBcd(static_cast<uint8_t>(parts.tm_hour));
  area[6] = static_cast<uint8_t>(parts.tm_wday + 1);
  area[7] = ByteToBcd(static_cast<uint8_t>(parts.tm_mday));
  area[8] = ByteToBcd(static_cast<uint8_t>(parts.tm_mon + 1));
  area[9] = ByteToBcd(static_cast<uint8_t>(parts.tm_year % 100));
  return area;
}

void TFulDevice::WriteClockArea(uint8_t address, std::span<const uint8_t> bytes) {
  std::array<uint8_t, kClockAreaSize> area = ClockArea();
  bool clock_written = false;
  for (size_t i = 0; i < bytes.size() && address + i < area.size(); ++i) {
    area[address + i] = bytes[i];
    clock_written = clock_written || address + i < 10;
  }
  clock_area_ = area;
  if (!clock_written) return;
  tm parts{};
  parts.tm_sec = FromBcd(area[0]);
  parts.tm_min = FromBcd(area[2]);
  parts.tm_hour = FromBcd(area[4]);
  parts.tm_mday = FromBcd(area[7]);
  parts.tm_mon = FromBcd(area[8]) - 1;
  parts.tm_year = FromBcd(area[9]) + 100;  // years 2000 to 2099
  clock_s_ = SecondsFromUtc(parts);
  clock_ms_ = 0;
}

// --- Time --------------------------------------------------------------------------------------

void TFulDevice::AdvanceTime(uint32_t ms) {
  if (ms == 0) return;
  const double hours = ms / 3'600'000.0;
  // A float integrator runs on a finer copy of itself unless someone set its registers.
  const auto value = [&](size_t i) -> double& {
    const uint32_t bits = RegisterU32(kIntegrators[i].reg);
    if (bits != shadow_bits_[i]) {
      shadow_[i] = std::bit_cast<float>(bits);
      shadow_bits_[i] = bits;
    }
    return shadow_[i];
  };
  const auto store = [&](size_t i) {
    SetRegisterFloat(kIntegrators[i].reg, static_cast<float>(shadow_[i]));
    shadow_bits_[i] = RegisterU32(kIntegrators[i].reg);
  };
  const double gv1 = value(kGv1), gv2 = value(kGv2), gm1 = value(kGm1), gm2 = value(kGm2);
  value(kV1) += gv1 * hours;
  value(kV2) += gv2 * hours;
  value(kM1) += gm1 * hours;
  value(kM2) += gm2 * hours;
  value(kVd) = shadow_[kV1] - shadow_[kV2];
  for (size_t i : {kV1, kV2, kVd, kM1, kM2}) store(i);

  ms_into_second_ += ms;
  const auto seconds = static_cast<uint32_t>(ms_into_second_ / 1000);
  ms_into_second_ %= 1000;
  if (seconds > 0) {
    const auto add = [&](size_t i) {
      SetRegisterU32(kIntegrators[i].reg, RegisterU32(kIntegrators[i].reg) + seconds);
    };
    add(kTall);
    if (gv1 > 0) add(kTop1);
    if (gv2 > 0) add(kTop2);
  }

  if (regs_[kRegDoserState] == kDoserRunning) {
    doser_ms_ += ms;
    const uint64_t tenths = uint64_t{doser_ms_} * kDoserTenthsPerSecond / 1000;
    doser_ms_ -= tenths * 1000 / kDoserTenthsPerSecond;
    const uint64_t dosed = regs_[kRegDosed] + tenths;
    if (dosed >= regs_[kRegDose]) {
      regs_[kRegDosed] = regs_[kRegDose];
      regs_[kRegDoserState] = kDoserStopped;  // the dose is complete
      doser_ms_ = 0;
    } else {
      regs_[kRegDosed] = static_cast<uint16_t>(dosed);
    }
  }

  clock_ms_ += ms;
  clock_s_ += static_cast<int64_t>(clock_ms_ / 1000);
  clock_ms_ %= 1000;
}
}  // namespace oxa::sim
