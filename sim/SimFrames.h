// Frame rules of the virtual device: how long a request is, judged from the bytes seen so far,
// and the checks and trailers of both protocols. Pure functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace oxa::sim {

// Length of a Modbus RTU request from the bytes seen so far: 0 while it cannot be told yet,
// and also for a function the device does not know (its length is only known at the silence
// that ends it).
size_t ModbusRequestLength(std::span<const uint8_t> seen);
bool ModbusCrcOk(std::span<const uint8_t> frame);
// Appends the CRC-16 (low byte first) to `frame`.
void AppendModbusCrc(std::vector<uint8_t>& frame);

// Length of a 10x frame from the bytes seen so far (start byte at 0): 0 while fewer than 6
// bytes are known, else the data length + 7.
size_t Frame10xLength(std::span<const uint8_t> seen);
// The 10x checksum: the bitwise NOT of the 8-bit sum of `bytes`.
uint8_t Checksum10x(std::span<const uint8_t> bytes);
bool Frame10xOk(std::span<const uint8_t> frame);  // start 0x55, complement and checksum
// A complete 10x answer: 0xAA, address, complement, group, code, N, data, checksum. Data
// beyond the 248 bytes a frame can carry are left off.
std::vector<uint8_t> Sim10xAnswer(uint8_t address, uint8_t group, uint8_t code,
                                  std::span<const uint8_t> data);

inline constexpr uint8_t k10xRequestStart = 0x55;
inline constexpr uint8_t k10xAnswerStart = 0xAA;
inline constexpr size_t kMax10xData = 248;

}  // namespace oxa::sim
