// What the implementation files of TFulDevice share: the integrator table with its starting
// values, the factory coefficients, and the byte helpers of both protocols. Private to those
// files; nothing else includes it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "serial/OxaUtils.h"

namespace oxa::sim::detail {

// The 32 integrators: register and whether it is an unsigned long (else a float).
struct TIntegratorRegister {
  uint16_t reg;
  bool is_long;
};
inline constexpr std::array<TIntegratorRegister, 32> kIntegrators{{
    {2000, false}, {2002, false}, {2004, false}, {2006, false}, {2008, false}, {2012, false},
    {2014, false}, {2016, false}, {2018, false}, {2020, false}, {2022, false}, {2028, false},
    {2030, false}, {2032, false}, {2034, false}, {2038, true},  {2040, true},  {2042, true},
    {2052, true},  {2054, true},  {2064, true},  {2066, true},  {2088, true},  {2090, true},
    {2100, false}, {2102, false}, {2104, false}, {2106, false}, {2140, false}, {2142, false},
    {2160, false}, {2162, false},
}};
// Starting values, in the order of the table: volumes m3, masses t, times s, flows m3/h and
// t/h, temperatures degrees, pressures MPa.
inline constexpr std::array<double, 32> kIntegratorStart{
    1234.5, 987.25, 1.5,  0.75, 247.25, 1232.03, 985.28, 1.49,  0.74, 0.0,  0.0,
    0.0,    0.0,    0.0,  0.0,  3600,   3500,    3400,   60,    45,   0,    12,
    0,      5,      12.5, 8.25, 12.475, 8.2335,  65.5,   45.25, 0.6,  0.45,
};
// Indexes into the table.
inline constexpr size_t kV1 = 0, kV2 = 1, kVd = 4, kM1 = 5, kM2 = 6, kTall = 15, kTop1 = 16,
                        kTop2 = 17, kGv1 = 24, kGv2 = 25, kGm1 = 26, kGm2 = 27;

// Factory coefficients of indexes 2 to 9.
inline constexpr std::array<float, 8> kFactoryK{0.001f, 0.0025f, 0.005f, 0.01f,
                                                0.02f,  0.04f,   0.1f,   0.5f};

inline void PutBe32(uint8_t* dest, uint32_t value) {
  dest[0] = static_cast<uint8_t>(value >> 24);
  dest[1] = static_cast<uint8_t>(value >> 16);
  dest[2] = static_cast<uint8_t>(value >> 8);
  dest[3] = static_cast<uint8_t>(value);
}

inline uint16_t Be16(std::span<const uint8_t> frame, size_t at) {
  return static_cast<uint16_t>((frame[at] << 8) | frame[at + 1]);
}

// Texts go to the wire in code page 1251; a frame carries at most `limit` of their bytes.
inline std::vector<uint8_t> WireText(const std::string& utf8, size_t limit) {
  std::vector<uint8_t> bytes = Utf8ToCp1251(utf8);
  if (bytes.size() > limit) bytes.resize(limit);
  return bytes;
}

}  // namespace oxa::sim::detail
