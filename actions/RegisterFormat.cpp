#include "actions/RegisterFormat.h"

#include <bit>
#include <charconv>

namespace oxa {

namespace {

struct TFormatName {
  TRegisterFormat format;
  std::string_view name;
};

constexpr TFormatName kFormatNames[] = {
    {TRegisterFormat::kU16, "u16"},
    {TRegisterFormat::kS16, "s16"},
    {TRegisterFormat::kU32, "u32"},
    {TRegisterFormat::kS32, "s32"},
    {TRegisterFormat::kFloat, "float"},
    {TRegisterFormat::kU32Swapped, "u32-swapped"},
    {TRegisterFormat::kS32Swapped, "s32-swapped"},
    {TRegisterFormat::kFloatSwapped, "float-swapped"},
};

bool IsSwapped(TRegisterFormat format) {
  return format == TRegisterFormat::kU32Swapped || format == TRegisterFormat::kS32Swapped ||
         format == TRegisterFormat::kFloatSwapped;
}

std::optional<uint32_t> AddressNumber(std::string_view digits) {
  int base = 10;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    digits.remove_prefix(2);
    base = 16;
  }
  uint32_t value = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
  if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size() || value > 247) {
    return std::nullopt;
  }
  return value;
}

}  // namespace

std::string_view RegisterFormatName(TRegisterFormat format) {
  for (const TFormatName& f : kFormatNames) {
    if (f.format == format) return f.name;
  }
  return "";
}

std::optional<TRegisterFormat> FindRegisterFormat(std::string_view name) {
  for (const TFormatName& f : kFormatNames) {
    if (f.name == name) return f.format;
  }
  return std::nullopt;
}

size_t RegisterFormatWidth(TRegisterFormat format) {
  return format == TRegisterFormat::kU16 || format == TRegisterFormat::kS16 ? 1 : 2;
}

bool IsFloatFormat(TRegisterFormat format) {
  return format == TRegisterFormat::kFloat || format == TRegisterFormat::kFloatSwapped;
}

uint32_t RegisterFormatWord(TRegisterFormat format, uint16_t first, uint16_t second) {
  const uint32_t high = IsSwapped(format) ? second : first;
  const uint32_t low = IsSwapped(format) ? first : second;
  return (high << 16) | low;
}

double RegisterFormatValue(TRegisterFormat format, std::span<const uint16_t> words) {
  if (words.size() < RegisterFormatWidth(format)) return 0;
  switch (format) {
    case TRegisterFormat::kU16:
      return words[0];
    case TRegisterFormat::kS16:
      return static_cast<int16_t>(words[0]);
    case TRegisterFormat::kU32:
    case TRegisterFormat::kU32Swapped:
      return RegisterFormatWord(format, words[0], words[1]);
    case TRegisterFormat::kS32:
    case TRegisterFormat::kS32Swapped:
      return static_cast<int32_t>(RegisterFormatWord(format, words[0], words[1]));
    case TRegisterFormat::kFloat:
    case TRegisterFormat::kFloatSwapped:
      return std::bit_cast<float>(RegisterFormatWord(format, words[0], words[1]));
  }
  return 0;
}

std::optional<std::vector<uint8_t>> ParseAddressList(std::string_view text) {
  std::vector<uint8_t> list;
  for (;;) {
    const size_t comma = text.find(',');
    const std::string_view item = text.substr(0, comma);
    const size_t dash = item.find('-');
    const auto low = AddressNumber(item.substr(0, dash));
    const auto high = dash == std::string_view::npos ? low : AddressNumber(item.substr(dash + 1));
    if (!low || !high || *high < *low) return std::nullopt;
    for (uint32_t a = *low; a <= *high; ++a) list.push_back(static_cast<uint8_t>(a));
    if (comma == std::string_view::npos) return list;
    text.remove_prefix(comma + 1);
  }
}

}  // namespace oxa
