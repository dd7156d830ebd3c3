// The 32 integrators of a FUL meter as the window lists them (register, name, unit, kind),
// found by name or by register, and the value text of an integrator's line.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "actions/TextCatalog.h"
#include "devices/oxaFul0508.h"

namespace oxa {

struct TIntegrator {
  size_t index;
  uint16_t reg;
  std::string_view name;        // as the window lists it
  std::string_view ascii_name;  // the same in Latin letters: "Tnar1", "T1"
  TText unit;
  bool is_long;
  // The name and unit in `language`: the window's spelling in Russian, ASCII in English.
  std::string_view Name(TLanguage language) const {
    return language == TLanguage::kRussian ? name : ascii_name;
  }
  std::string_view Unit(TLanguage language) const { return Text(unit, language); }
};
// The 32 integrators in the window's order. The Russian names and units mix Latin and Cyrillic
// letters that look alike, exactly as the device's documentation prints them: "Tнар1" has a
// Latin T, "Т1" a Cyrillic one; the unit of Gm1 begins with a Latin T, that of Gm2 with a
// Cyrillic Т; every "M3" and plain "T" is Latin; "сек", "град.", "МПа" and the "ч" after a
// slash are Cyrillic. The English ones are ASCII throughout, for scripts to compare.
extern const std::array<TIntegrator, ToxaFul0508::kIntegratorCount> kIntegrators;

// The entry of the window's list: "2000 (V1) [float]", "2038 (Tall) [long]"; "" for an index
// outside the table.
std::string IntegratorListText(size_t index, TLanguage language = TLanguage::kRussian);
// The index of the integrator named `key`, in either spelling, or held at register number
// `key` ("2140"). Names are compared with the Cyrillic letters that look like Latin ones taken
// as those, and without regard to case, so "T1", "t1" and "Т1" all find "Т1", and "Tnar1" and
// "Tнар1" both find "Tнар1".
std::optional<size_t> FindIntegrator(std::string_view key);
// The value part of an integrator's line from its bytes (most significant first): an unsigned
// decimal for the counters, "%12.6f" with `separator` for the floats.
std::string IntegratorValueText(size_t index, std::span<const uint8_t, 4> raw,
                                std::string_view separator = ".");

}  // namespace oxa
