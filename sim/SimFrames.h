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

// Modbus TCP: a request comes with the MBAP header (transaction id, protocol id 0, length,
// unit id) instead of the CRC, and its answer goes back under the same transaction id.
inline constexpr size_t kMbapHeaderSize = 7;
// Length of an MBAP request from the bytes seen so far: 0 while its header's length is not in;
// else 6 + that length. `bad` is set when the header is not Modbus's (a protocol id other
// than 0, a length below 2 or above 254): the stream cannot be followed from there.
size_t MbapRequestLength(std::span<const uint8_t> seen, bool& bad);
// The RTU request (unit id as the address, the PDU, the CRC) of a whole MBAP request.
std::vector<uint8_t> MbapToRtu(std::span<const uint8_t> mbap);
// The MBAP answer under `transaction` of the device's RTU answer: its CRC dropped. An answer a
// fault left without its right CRC (damaged, cut short, garbage before it) goes out with a
// wrong protocol id, so that the master sees it damaged as it would on a line.
std::vector<uint8_t> RtuToMbap(uint16_t transaction, std::span<const uint8_t> rtu);

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
