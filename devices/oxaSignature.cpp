#include "devices/oxaSignature.h"

#include <cstdint>
#include <span>
#include <vector>

#include "serial/OxaUtils.h"

namespace oxa {

std::optional<TSignature> TakeSignature(std::string_view value) {
  constexpr size_t kLength = 8;
  const std::vector<uint8_t> wire = Utf8ToCp1251(value);
  if (wire.size() < kLength) return std::nullopt;
  const std::span<const uint8_t> kept(wire.data(), kLength);
  const bool forbidden = kept[4] == '0' && kept[5] == '0' && kept[6] == '0' && kept[7] == '0';
  return TSignature{Cp1251ToUtf8(kept), !forbidden};
}

}  // namespace oxa
