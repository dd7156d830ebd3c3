// What a 10x device sends, built independently of the master under test, and the fixed local
// time that stamps clocks and records in the tests.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <vector>

namespace oxa::testing {

// The answer frame of device `addr` carrying `data`: AA addr ~addr group code N data cs, where
// cs is the bitwise NOT of the 8-bit sum of the bytes before it.
inline std::vector<uint8_t> Answer10x(const std::vector<uint8_t>& data, uint8_t addr = 1,
                                      uint8_t group = 0x0F, uint8_t code = 0x01) {
  std::vector<uint8_t> frame(data.size() + 7);
  frame[0] = 0xAA;
  frame[1] = addr;
  frame[2] = static_cast<uint8_t>(~addr);
  frame[3] = group;
  frame[4] = code;
  frame[5] = static_cast<uint8_t>(data.size());
  std::copy(data.begin(), data.end(), frame.begin() + 6);
  uint8_t sum = 0;
  for (size_t i = 0; i + 1 < frame.size(); ++i) sum = static_cast<uint8_t>(sum + frame[i]);
  frame.back() = static_cast<uint8_t>(~sum);
  return frame;
}

// Tuesday, 5 March 2024, 14:07:09.
inline std::tm FixedLocalTime() {
  std::tm t{};
  t.tm_year = 2024 - 1900;
  t.tm_mon = 2;
  t.tm_mday = 5;
  t.tm_hour = 14;
  t.tm_min = 7;
  t.tm_sec = 9;
  t.tm_wday = 2;
  return t;
}

}  // namespace oxa::testing
