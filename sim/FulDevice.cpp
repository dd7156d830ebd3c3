// The virtual device's starting contents, the line (recognising a request among the bytes
// received) and the faults applied to its answers. The answers themselves are in
// FulDeviceModbus.cpp and FulDevice10x.cpp, the memory and the clock in FulDeviceMemoryClock.cpp.
#include "sim/FulDevice.h"

#include <algorithm>
#include <cstring>

#include "sim/FulDeviceInternal.h"
#include "sim/SimFrames.h"

namespace oxa::sim {

using namespace detail;

TFulDevice::TFulDevice(uint8_t address) : address_(address) {
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

  id_10x_ = WireText("FUL-05.08 virtual device", kMax10xData);
  version_10x_ = WireText("1.08", kMax10xData);
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

std::vector<uint8_t> TFulDevice::Feed(std::span<const uint8_t> bytes) {
  // Noise is kept only as long as the longest request could be.
  constexpr size_t kMaxPending = 600;
  std::vector<uint8_t> out;
  for (uint8_t b : bytes) {
    rx_.push_back(b);
    if (rx_.size() > kMaxPending) rx_.erase(rx_.begin(), rx_.begin() + (rx_.size() - kMaxPending));
    const std::span<const uint8_t> seen(rx_);
    for (size_t i = 0; i < seen.size(); ++i) {
      const auto candidate = seen.subspan(i);
      const bool is_10x = candidate[0] == k10xRequestStart &&
                          Frame10xLength(candidate) == candidate.size() && Frame10xOk(candidate);
      const bool modbus =
          !is_10x && ModbusRequestLength(candidate) == candidate.size() && ModbusCrcOk(candidate);
      if (is_10x || modbus) {
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

std::vector<uint8_t> TFulDevice::LineIdle() {
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

std::vector<uint8_t> TFulDevice::Answer(std::span<const uint8_t> frame) {
  if (frame.size() >= 7 && frame[0] == k10xRequestStart && Frame10xOk(frame)) {
    return ApplyFaults(Answer10x(frame), true);
  }
  if (frame.size() >= 4 && ModbusCrcOk(frame)) return ApplyFaults(AnswerModbus(frame), false);
  return {};
}

// --- Faults ----------------------------------------------------------------------------------

std::vector<uint8_t> TFulDevice::ApplyFaults(std::vector<uint8_t> answer, bool is_10x) {
  if (answer.empty()) return answer;
  ++answered_;
  if (no_answer_ > 0) {
    --no_answer_;
    return {};
  }
  if (is_10x && wrong_complement_ > 0) {
    --wrong_complement_;
    answer[2] ^= 0x10;
    answer.back() = Checksum10x(std::span(answer).first(answer.size() - 1));
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

void TFulDevice::GarbageBeforeNext(int n, std::vector<uint8_t> garbage) {
  garbage_before_ = n;
  garbage_ = std::move(garbage);
}
}  // namespace oxa::sim
