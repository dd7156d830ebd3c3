// What a run of registers holds: each value in one register as an unsigned or a signed number,
// or in two as one 32-bit integer or float, the high word in the first register (as the meter
// keeps its integrators) or, swapped, in the second. fulctl's --format and the monitor's
// register type are these, under the same names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace oxa {

enum class TRegisterFormat {
  kU16,
  kS16,
  kU32,
  kS32,
  kFloat,
  kU32Swapped,
  kS32Swapped,
  kFloatSwapped
};

// Every format, in the order the names list them.
inline constexpr TRegisterFormat kRegisterFormats[] = {
    TRegisterFormat::kU16,        TRegisterFormat::kS16,         TRegisterFormat::kU32,
    TRegisterFormat::kS32,        TRegisterFormat::kFloat,       TRegisterFormat::kU32Swapped,
    TRegisterFormat::kS32Swapped, TRegisterFormat::kFloatSwapped};

// The format's name ("float-swapped"), and the format of a name.
std::string_view RegisterFormatName(TRegisterFormat format);
std::optional<TRegisterFormat> FindRegisterFormat(std::string_view name);
// Registers a value of the format takes: 1 or 2.
size_t RegisterFormatWidth(TRegisterFormat format);
bool IsFloatFormat(TRegisterFormat format);

// The value held at the start of `words` (RegisterFormatWidth of them at least; 0 for fewer).
double RegisterFormatValue(TRegisterFormat format, std::span<const uint16_t> words);
// The 32-bit word of a two-register value, the high half first as the device holds it.
uint32_t RegisterFormatWord(TRegisterFormat format, uint16_t first, uint16_t second);

// Addresses as fulctl's -a takes them: numbers from 0 to 247 (also in 0x form) and ranges
// ("5-7") separated by commas, in the order given; none for anything else (an empty item, a
// range running backwards).
std::optional<std::vector<uint8_t>> ParseAddressList(std::string_view text);

}  // namespace oxa
