// The signature rule both device classes apply when a signature is assigned.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace oxa {

struct TSignature {
  std::string text;     // exactly 8 characters
  bool writes_allowed;  // false when characters 5 to 8 are four zero digits
};

// The first 8 characters of `value`, counted as the device stores them (one byte each in code
// page 1251; a character it cannot hold becomes '?'), or nothing when `value` is shorter.
std::optional<TSignature> TakeSignature(std::string_view value);

}  // namespace oxa
