#include "sim/FulDevice.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <ctime>

#include "serial/OxaUtils.h"
#include "sim/SimClock.h"
#include "sim/SimFrames.h"

namespace oxa::sim {
namespace {

// The 32 integrators: register and whether it is an unsigned long (else a float).
struct Integrator {
  uint16_t reg;
  bool is_long;
};
constexpr std::array<Integrator, 32> kIntegrators{{
    {2000, false}, {2002, false}, {2004, false}, {2006, false}, {2008, false}, {2012, false},
    {2014, false}, {2016, false}, {2018, false}, {2020, false}, {2022, false}, {2028, false},
    {2030, false}, {2032, false}, {2034, false}, {2038, true},  {2040, true},  {2042, true},
    {2052, true},  {2054, true},  {2064, true},  {2066, true},  {2088, true},  {2090, true},
    {2100, false}, {2102, false}, {2104, false}, {2106, false}, {2140, false}, {2142, false},
    {2160, false}, {2162, false},
}};
// Starting values, in the order of the table: volumes m3, masses t, times s, flows m3/h and
// t/h, temperatures degrees, pressures MPa.
constexpr std::array<double, 32> kIntegratorStart{
    1234.5, 987.25, 1.5,  0.75, 247.25, 1232.03, 985.28, 1.49,  0.74, 0.0,  0.0,
    0.0,    0.0,    0.0,  0.0,  3600,   3500,    3400,   60,    45,   0,    12,
    0,      5,      12.5, 8.25, 12.475, 8.2335,  65.5,   45.25, 0.6,  0.45,
};
// Indexes into the table.
constexpr size_t kV1 = 0, kV2 = 1, kVd = 4, kM1 = 5, kM2 = 6, kTall = 15, kTop1 = 16, kTop2 = 17,
                 kGv1 = 24, kGv2 = 25, kGm1 = 26, kGm2 = 27;

// Factory coefficients of indexes 2 to 9.
constexpr std::array<float, 8> kFactoryK{0.001f, 0.0025f, 0.005f, 0.01f, 0.02f, 0.04f, 0.1f, 0.5f};

void PutBe32(uint8_t* dest, uint32_t value) {
  dest[0] = static_cast<uint8_t>(value >> 24);
  dest[1] = static_cast<uint8_t>(value >> 16);
  dest[2] = static_cast<uint8_t>(value >> 8);
  dest[3] = static_cast<uint8_t>(value);
}

uint8_t FromBcd(uint8_t bcd) {
  return static_cast<uint8_t>((bcd >> 4) * 10 + (bcd & 0x0F));
}

std::vector<uint8_t> ModbusException(uint8_t address, uint8_t function, uint8_t code) {
  std::vector<uint8_t> frame{address, static_cast<uint8_t>(function | 0x80), code};
  AppendModbusCrc(frame);
  return frame;
}

uint16_t Be16(std::span<const uint8_t> frame, size_t at) {
  return static_cast<uint16_t>((frame[at] << 8) | frame[at + 1]);
}

// Texts go to the wire in code page 1251; a frame carries at most `limit` of their bytes.
std::vector<uint8_t> WireText(const std::string& utf8, size_t limit) {
  std::vector<uint8_t> bytes = Utf8ToCp1251(utf8);
  if (bytes.size() > limit) bytes.resize(limit);
  return bytes;
}

}  // namespace

FulDevice::FulDevice(uint8_t address) : address_(address) {
  for (uint32_t r = 0; r < 400; ++r) defined_.set(r);
  for (uint32_t r = 2000; r < 2300; ++r) defined_.set(r);

  SetRegisterFloat(kRegG1, 12.5f);
  SetRegisterFloat(kRegG1 + 2, 8.25f);
  SetRegisterU32(kRegSfr1, 1250);
  SetRegisterU32(kRegSfr1 - 2, 825);
  SetRegisterU32(kRegSfrAlt1, 1250);
  SetRegisterFloat(kRegGmax1, 50.0f);
  SetRegisterFloat(kRegGmax1 + 2, 40.0f);
  SetRegisterU32(kRegDeviceNumber, 123456);
  SetHoldingRegister(kRegSoftVersion, 0x0108);
  // Coefficients of both channels: K[0] an integer, K[1] and the rest floats.
  for (const uint16_t base : {uint16_t{356}, uint16_t{207}}) {
    const uint16_t k0 = base == 356 ? 370 : 290;
    const uint16_t obr = base == 356 ? 372 : 231;
    SetHoldingRegister(k0, 0);
    SetRegisterFloat(k0 + 1, 1.0f);
    for (int i = 2; i <= 9; ++i) {
      SetRegisterFloat(static_cast<uint16_t>(base - 2 * i), kFactoryK[i - 2]);
      SetRegisterFloat(static_cast<uint16_t>(obr - 2 * i), kFactoryK[i - 2]);
    }
  }
  for (size_t i = 0; i < kIntegrators.size(); ++i) {
    if (kIntegrators[i].is_long) {
      SetRegisterU32(kIntegrators[i].reg, static_cast<uint32_t>(kIntegratorStart[i]));
    } else {
      SetRegisterFloat(kIntegrators[i].reg, static_cast<float>(kIntegratorStart[i]));
    }
  }
  SetHoldingRegister(kRegDose, 100);  // 10.0 l
  modbus_id_ = "FUL-05.08 virtual device";

  tenx_id_ = WireText("FUL-05.08 virtual device", kTenXMaxData);
  tenx_version_ = WireText("1.08", kTenXMaxData);
  memory_.fill(0xFF);  // erased memory
  PutBe32(&memory_[kMemDeviceNumber], 123456);
  SetStamp(42, 2024, 3, 5);
  ResetCalibration();
  const uint8_t signature[16] = {'S', 'I', 'M',  '0',  '0',  '0',  '0',  '1',
                                 0,   0,   0x24, 0x01, 0x15, 0x10, 0x30, 0x00};
  std::memcpy(&memory_[kMemSignature], signature, sizeof signature);
  SetRamFloat(kRamSfr1, 1250.0f);
  SetRamFloat(kRamSfr1 + 4, 825.0f);
  SetRamFloat(kRamG1, 12.5f);
  SetRamFloat(kRamG1 + 4, 8.25f);
  clock_s_ = 1704067200;  // 2024-01-01 00:00:00
}

// --- The line --------------------------------------------------------------------------------

std::vector<uint8_t> FulDevice::Feed(std::span<const uint8_t> bytes) {
  // Noise is kept only as long as the longest request could be.
  constexpr size_t kMaxPending = 600;
  std::vector<uint8_t> out;
  for (uint8_t b : bytes) {
    rx_.push_back(b);
    if (rx_.size() > kMaxPending) rx_.erase(rx_.begin(), rx_.begin() + (rx_.size() - kMaxPending));
    const std::span<const uint8_t> seen(rx_);
    for (size_t i = 0; i < seen.size(); ++i) {
      const auto candidate = seen.subspan(i);
      const bool tenx = candidate[0] == kTenXRequestStart &&
                        TenXFrameLength(candidate) == candidate.size() && TenXFrameOk(candidate);
      const bool modbus =
          !tenx && ModbusRequestLength(candidate) == candidate.size() && ModbusCrcOk(candidate);
      if (tenx || modbus) {
        const std::vector<uint8_t> frame(candidate.begin(), candidate.end());
        rx_.clear();
        const auto answer = Answer(frame);
        out.insert(out.end(), answer.begin(), answer.end());
        break;
      }
    }
  }
  return out;
}

std::vector<uint8_t> FulDevice::LineIdle() {
  std::vector<uint8_t> out;
  const std::span<const uint8_t> seen(rx_);
  for (size_t i = 0; i + 4 <= seen.size(); ++i) {
    const auto candidate = seen.subspan(i);
    // Only a function whose length is never known from its header; the start of a known
    // one is a fragment.
    const uint8_t probe[7] = {candidate[0], candidate[1], 0, 0, 0, 0, 0};
    if (ModbusRequestLength(probe) == 0 && ModbusCrcOk(candidate)) {
      out = Answer(std::vector<uint8_t>(candidate.begin(), candidate.end()));
      break;
    }
  }
  rx_.clear();
  return out;
}

std::vector<uint8_t> FulDevice::Answer(std::span<const uint8_t> frame) {
  if (frame.size() >= 7 && frame[0] == kTenXRequestStart && TenXFrameOk(frame)) {
    return ApplyFaults(Answer10x(frame), true);
  }
  if (frame.size() >= 4 && ModbusCrcOk(frame)) return ApplyFaults(AnswerModbus(frame), false);
  return {};
}

std::vector<uint8_t> FulDevice::ApplyFaults(std::vector<uint8_t> answer, bool tenx) {
  if (answer.empty()) return answer;
  ++answered_;
  if (no_answer_ > 0) {
    --no_answer_;
    return {};
  }
  if (tenx && wrong_complement_ > 0) {
    --wrong_complement_;
    answer[2] ^= 0x10;
    answer.back() = TenXChecksum(std::span(answer).first(answer.size() - 1));
  }
  if (corrupt_checksum_ > 0) {
    --corrupt_checksum_;
    answer.back() ^= 0x5A;
  }
  if (stop_mid_frame_ > 0) {
    --stop_mid_frame_;
    answer.resize(std::max<size_t>(1, answer.size() / 2));
  }
  if (garbage_before_ > 0) {
    --garbage_before_;
    answer.insert(answer.begin(), garbage_.begin(), garbage_.end());
  }
  return answer;
}

void FulDevice::GarbageBeforeNext(int n, std::vector<uint8_t> garbage) {
  garbage_before_ = n;
  garbage_ = std::move(garbage);
}

// --- Modbus ----------------------------------------------------------------------------------

std::vector<uint8_t> FulDevice::AnswerModbus(std::span<const uint8_t> frame) {
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

bool FulDevice::WriteRegister(uint16_t reg, uint16_t value, uint8_t& exception) {
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

void FulDevice::DoserCommand(uint16_t command) {
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

void FulDevice::SetHoldingRegister(uint16_t reg, uint16_t value) {
  regs_[reg] = value;
  defined_.set(reg);
}

void FulDevice::SetRegisterU32(uint16_t reg, uint32_t value) {
  SetHoldingRegister(reg, static_cast<uint16_t>(value >> 16));
  SetHoldingRegister(static_cast<uint16_t>(reg + 1), static_cast<uint16_t>(value));
}

void FulDevice::SetRegisterFloat(uint16_t reg, float value) {
  SetRegisterU32(reg, std::bit_cast<uint32_t>(value));
}

uint32_t FulDevice::RegisterU32(uint16_t reg) const {
  return (uint32_t{regs_[reg]} << 16) | regs_[static_cast<uint16_t>(reg + 1)];
}

float FulDevice::RegisterFloat(uint16_t reg) const {
  return std::bit_cast<float>(RegisterU32(reg));
}

void FulDevice::SetModbusIdentification(std::string utf8) {
  modbus_id_ = std::move(utf8);
}

std::array<uint8_t, 128> FulDevice::ArchiveBlock(uint16_t number) {
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

// --- 10x ---------------------------------------------------------------------------------------

std::vector<uint8_t> FulDevice::Answer10x(std::span<const uint8_t> frame) {
  if (frame[1] != address_) return {};
  const uint8_t group = frame[3], code = frame[4];
  const auto data = frame.subspan(6, frame[5]);
  const auto reply = [&](std::span<const uint8_t> bytes) {
    return TenXAnswer(address_, group, code, bytes);
  };
  const auto clip = [](const auto& area, size_t address, size_t count) {
    const size_t begin = std::min(address, area.size());
    const size_t end = std::min(begin + count, area.size());
    return std::vector<uint8_t>(area.begin() + begin, area.begin() + end);
  };
  switch ((group << 8) | code) {
    case 0x0000:
      return reply(tenx_id_);
    case 0x0001:
      return reply(tenx_version_);
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

void FulDevice::Set10xIdentification(std::string utf8) {
  tenx_id_ = WireText(utf8, kTenXMaxData);
}

void FulDevice::Set10xSoftVersion(std::string utf8) {
  tenx_version_ = WireText(utf8, kTenXMaxData);
}

void FulDevice::SetMemory(uint16_t address, std::span<const uint8_t> bytes) {
  for (size_t i = 0; i < bytes.size() && address + i < memory_.size(); ++i) {
    memory_[address + i] = bytes[i];
  }
}

std::vector<uint8_t> FulDevice::Memory(uint16_t address, size_t count) const {
  const size_t begin = std::min<size_t>(address, memory_.size());
  const size_t end = std::min(begin + count, memory_.size());
  return {memory_.begin() + begin, memory_.begin() + end};
}

void FulDevice::SetRam(uint16_t address, std::span<const uint8_t> bytes) {
  for (size_t i = 0; i < bytes.size() && address + i < ram_.size(); ++i)
    ram_[address + i] = bytes[i];
}

std::vector<uint8_t> FulDevice::Ram(uint16_t address, size_t count) const {
  const size_t begin = std::min<size_t>(address, ram_.size());
  const size_t end = std::min(begin + count, ram_.size());
  return {ram_.begin() + begin, ram_.begin() + end};
}

void FulDevice::SetRamFloat(uint16_t address, float value) {
  uint8_t bytes[4];
  PutBe32(bytes, std::bit_cast<uint32_t>(value));
  SetRam(address, bytes);
}

void FulDevice::SetStamp(uint16_t number, int year, int month, int day) {
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

uint16_t FulDevice::CalibrationChecksum(std::span<const uint8_t> block) {
  uint16_t sum = 0;
  for (size_t i = 0; i < 144 && i < block.size(); ++i) sum = static_cast<uint16_t>(sum + block[i]);
  return static_cast<uint16_t>(~sum);
}

void FulDevice::ResetCalibration() {
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

// The clock area: bytes 0 to 9 are the clock registers (seconds, alarm, minutes, alarm, hours,
// alarm, day of the week 1 = Sunday, day, month, year, all packed BCD) drawn from the ticking
// clock; the rest is plain storage.
std::array<uint8_t, kClockAreaSize> FulDevice::ClockArea() const {
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

void FulDevice::WriteClockArea(uint8_t address, std::span<const uint8_t> bytes) {
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

void FulDevice::AdvanceTime(uint32_t ms) {
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
