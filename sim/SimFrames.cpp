#include "sim/SimFrames.h"

#include <algorithm>

#include "serial/OxaUtils.h"

namespace oxa::sim {

size_t ModbusRequestLength(std::span<const uint8_t> seen) {
  if (seen.size() < 2) return 0;
  switch (seen[1]) {
    case 0x01:  // read coils, discrete inputs, input registers, write one coil:
    case 0x02:  // the device does not have them, but their length is known, so the
    case 0x04:  // "illegal function" answer goes out at once
    case 0x05:
    case 0x03:
    case 0x06:
    case 0x41:
      return 8;
    case 0x07:
    case 0x0B:
    case 0x0C:
    case 0x11:
      return 4;
    case 0x0F:
    case 0x10:
      return seen.size() < 7 ? 0 : 9 + static_cast<size_t>(seen[6]);
    default:
      return 0;
  }
}

bool ModbusCrcOk(std::span<const uint8_t> frame) {
  if (frame.size() < 4) return false;
  const uint16_t crc = UpdateCrc16(0xFFFF, frame.first(frame.size() - 2));
  return frame[frame.size() - 2] == (crc & 0xFF) && frame[frame.size() - 1] == (crc >> 8);
}

void AppendModbusCrc(std::vector<uint8_t>& frame) {
  const uint16_t crc = UpdateCrc16(0xFFFF, frame);
  frame.push_back(static_cast<uint8_t>(crc & 0xFF));
  frame.push_back(static_cast<uint8_t>(crc >> 8));
}

size_t MbapRequestLength(std::span<const uint8_t> seen, bool& bad) {
  bad = false;
  if (seen.size() < 6) return 0;
  const size_t length = size_t{seen[4]} << 8 | seen[5];
  bad = seen[2] != 0 || seen[3] != 0 || length < 2 || length > 254;
  return 6 + length;
}

std::vector<uint8_t> MbapToRtu(std::span<const uint8_t> mbap) {
  std::vector<uint8_t> rtu(mbap.begin() + std::min<size_t>(6, mbap.size()), mbap.end());
  AppendModbusCrc(rtu);
  return rtu;
}

std::vector<uint8_t> RtuToMbap(uint16_t transaction, std::span<const uint8_t> rtu) {
  const size_t length = rtu.size() < 2 ? 0 : rtu.size() - 2;
  const uint8_t protocol = ModbusCrcOk(rtu) ? 0x00 : 0xFF;
  std::vector<uint8_t> mbap(6 + length);
  mbap[0] = static_cast<uint8_t>(transaction >> 8);
  mbap[1] = static_cast<uint8_t>(transaction & 0xFF);
  mbap[2] = mbap[3] = protocol;
  mbap[4] = static_cast<uint8_t>(length >> 8);
  mbap[5] = static_cast<uint8_t>(length & 0xFF);
  std::copy_n(rtu.begin(), length, mbap.begin() + 6);
  return mbap;
}

size_t Frame10xLength(std::span<const uint8_t> seen) {
  if (seen.size() < 6) return 0;
  return static_cast<size_t>(seen[5]) + 7;
}

uint8_t Checksum10x(std::span<const uint8_t> bytes) {
  uint8_t sum = 0;
  for (uint8_t b : bytes) sum = static_cast<uint8_t>(sum + b);
  return static_cast<uint8_t>(~sum);
}

bool Frame10xOk(std::span<const uint8_t> frame) {
  if (frame.size() < 7 || frame[0] != k10xRequestStart) return false;
  if (frame[2] != static_cast<uint8_t>(~frame[1])) return false;
  if (Frame10xLength(frame) != frame.size()) return false;
  return frame.back() == Checksum10x(frame.first(frame.size() - 1));
}

std::vector<uint8_t> Sim10xAnswer(uint8_t address, uint8_t group, uint8_t code,
                                  std::span<const uint8_t> data) {
  if (data.size() > kMax10xData) data = data.first(kMax10xData);
  std::vector<uint8_t> frame(data.size() + 7);
  frame[0] = k10xAnswerStart;
  frame[1] = address;
  frame[2] = static_cast<uint8_t>(~address);
  frame[3] = group;
  frame[4] = code;
  frame[5] = static_cast<uint8_t>(data.size());
  std::copy(data.begin(), data.end(), frame.begin() + 6);
  frame.back() = Checksum10x(std::span(frame).first(frame.size() - 1));
  return frame;
}

}  // namespace oxa::sim
