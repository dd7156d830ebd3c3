// Outcome codes by name in tests: comparisons read as what a caller sees, and a failing one
// prints the name beside the number.
#pragma once

#include <array>
#include <ostream>

#include "serial/OxaUtils.h"

namespace oxa {

inline void PrintTo(TOxaError code, std::ostream* os) {
  static constexpr std::array<const char*, 8> kNames = {
      "kOk",           "kNoPortOrWriteFailed", "kNoAnswer",    "kWrongSize",
      "kWrongAddress", "kWrongChecksum",       "kPortNotOpen", "kDeviceException"};
  const auto number = static_cast<uint32_t>(code);
  *os << (number < kNames.size() ? kNames[number] : "code") << " (" << number << ")";
}

namespace testing {

// LastError of a master or device class, as its name.
template <class Master>
TOxaError ErrorOf(const Master& master) {
  return static_cast<TOxaError>(master.LastError());
}

}  // namespace testing
}  // namespace oxa
