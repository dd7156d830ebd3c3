#include "actions/Integrator.h"

#include <bit>
#include <charconv>

#include "serial/OxaUtils.h"

namespace oxa {

namespace {

std::string Replaced(std::string text, char from, std::string_view to) {
  std::string out;
  for (char c : text) {
    if (c == from) {
      out += to;
    } else {
      out += c;
    }
  }
  return out;
}

// "%12.6f" without the C library's locale: six decimals, right-aligned in 12 characters.
std::string FixedText(double value) {
  char text[400];
  const auto [end, ec] =
      std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 6);
  std::string s = ec == std::errc() ? std::string(text, end) : std::string();
  if (s.size() < 12) s.insert(0, 12 - s.size(), ' ');
  return s;
}

// `text` folded for comparing integrator names: Cyrillic
// letters that look like Latin ones become those, and every letter lower case.
std::string FoldedName(std::string_view text) {
  // Cyrillic capitals U+0410..U+042F and small letters U+0430..U+044F that look like Latin
  // letters in either case.
  struct TFold {
    char32_t cyrillic;
    char latin;
  };
  static constexpr TFold kLookAlikes[] = {{U'А', 'a'}, {U'В', 'b'}, {U'Е', 'e'}, {U'К', 'k'},
                                          {U'М', 'm'}, {U'Н', 'h'}, {U'О', 'o'}, {U'Р', 'p'},
                                          {U'С', 'c'}, {U'Т', 't'}, {U'Х', 'x'}, {U'У', 'y'}};
  std::string out;
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    // Two-byte sequences D0 xx and D1 xx cover U+0400..U+047F.
    if ((c == 0xD0 || c == 0xD1) && i + 1 < text.size()) {
      const char32_t code = ((c & 0x1Fu) << 6) | (static_cast<unsigned char>(text[i + 1]) & 0x3Fu);
      char32_t upper = code;
      if (code >= U'а' && code <= U'я') upper = code - 0x20;
      bool folded = false;
      for (const TFold& f : kLookAlikes) {
        if (f.cyrillic == upper) {
          out += f.latin;
          folded = true;
        }
      }
      if (!folded) {
        // Other Cyrillic letters compare in their small form.
        const char32_t lower = code >= U'А' && code <= U'Я' ? code + 0x20 : code;
        out += static_cast<char>(0xC0 | (lower >> 6));
        out += static_cast<char>(0x80 | (lower & 0x3F));
      }
      i += 2;
      continue;
    }
    out += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : static_cast<char>(c);
    ++i;
  }
  return out;
}

}  // namespace

// clang-format off
const std::array<TIntegrator, ToxaFul0508::kIntegratorCount> kIntegrators = [] {
  constexpr std::string_view kNames[] = {
      "V1",    "V2",    "V1r",   "V2r",   "Vd",    "M1",    "M2",    "M1r",
      "M2r",   "V1dop", "V2dop", "M1dop", "M2dop", "M1r dop", "M2r dop", "Tall",
      "Tнар1", "Tнар2", "Tmin1", "Tmin2", "Tmax1", "Tmax2", "Terr1", "Terr2",
      "Gv1",   "Gv2",   "Gm1",   "Gm2",   "\u04221", "\u04222", "P1",  "P2"};
  constexpr std::string_view kAsciiNames[] = {
      "V1",    "V2",    "V1r",   "V2r",   "Vd",    "M1",    "M2",    "M1r",
      "M2r",   "V1dop", "V2dop", "M1dop", "M2dop", "M1r dop", "M2r dop", "Tall",
      "Tnar1", "Tnar2", "Tmin1", "Tmin2", "Tmax1", "Tmax2", "Terr1", "Terr2",
      "Gv1",   "Gv2",   "Gm1",   "Gm2",   "T1",    "T2",    "P1",    "P2"};
  using enum TText;
  constexpr TText kUnits[] = {
      kUnitCubicMetres, kUnitCubicMetres, kUnitCubicMetres, kUnitCubicMetres,
      kUnitCubicMetres, kUnitTonnes,      kUnitTonnes,      kUnitTonnes,
      kUnitTonnes,      kUnitCubicMetres, kUnitCubicMetres, kUnitTonnes,
      kUnitTonnes,      kUnitTonnes,      kUnitTonnes,      kUnitSeconds,
      kUnitSeconds,     kUnitSeconds,     kUnitSeconds,     kUnitSeconds,
      kUnitSeconds,     kUnitSeconds,     kUnitSeconds,     kUnitSeconds,
      kUnitCubicMetresPerHour, kUnitCubicMetresPerHour,
      kUnitTonnesPerHourLatin, kUnitTonnesPerHourCyrillic,
      kUnitDegrees,     kUnitDegrees,     kUnitMegapascals, kUnitMegapascals};
  std::array<TIntegrator, ToxaFul0508::kIntegratorCount> table{};
  for (size_t i = 0; i < table.size(); ++i) {
    table[i] = {i, ToxaFul0508::kIntegratorRegs[i], kNames[i], kAsciiNames[i], kUnits[i],
                ToxaFul0508::IsLongIntegrator(i)};
  }
  return table;
}();
// clang-format on

std::string IntegratorValueText(size_t index, std::span<const uint8_t, 4> raw,
                                std::string_view separator) {
  const uint32_t word = BigEndian32(raw);
  if (ToxaFul0508::IsLongIntegrator(index)) return std::to_string(word);
  return Replaced(FixedText(static_cast<double>(std::bit_cast<float>(word))), '.', separator);
}

std::string IntegratorListText(size_t index, TLanguage language) {
  if (index >= kIntegrators.size()) return {};
  const TIntegrator& e = kIntegrators[index];
  return std::to_string(e.reg) + " (" + std::string(e.Name(language)) + ") " +
         (e.is_long ? "[long]" : "[float]");
}

std::optional<size_t> FindIntegrator(std::string_view key) {
  uint32_t reg = 0;
  const auto [end, ec] = std::from_chars(key.data(), key.data() + key.size(), reg);
  if (!key.empty() && ec == std::errc() && end == key.data() + key.size()) {
    for (const TIntegrator& e : kIntegrators) {
      if (e.reg == reg) return e.index;
    }
    return std::nullopt;
  }
  const std::string folded = FoldedName(key);
  for (const TIntegrator& e : kIntegrators) {
    if (FoldedName(e.name) == folded || FoldedName(e.ascii_name) == folded) return e.index;
  }
  return std::nullopt;
}

}  // namespace oxa
