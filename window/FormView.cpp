#include "window/FormView.h"

namespace oxa {
namespace {

constexpr std::array<std::string_view, kControlCount> kControlNames = {
    "CBPort",   "CBBaud",   "SENetAddr", "UDStart", "UDNumReg", "UDArc",   "CBInt",   "Button1",
    "Button2",  "Button3",  "Button4",   "Button5", "Button6",  "Button7", "Button8", "Button9",
    "Button10", "Button11", "Button12",  "MDebug",  "EQuery",   "FEDoza",  "LStatus"};

}  // namespace

std::string_view ControlName(TControl control) {
  const auto index = size_t(control);
  return index < kControlNames.size() ? kControlNames[index] : std::string_view();
}

std::optional<TControl> ControlNamed(std::string_view name) {
  for (size_t i = 0; i < kControlNames.size(); ++i) {
    if (kControlNames[i] == name) return TControl(i);
  }
  return std::nullopt;
}

TRgb StatusRgb(TStatusColour colour) {
  switch (colour) {
    case TStatusColour::kBlue:
      return {0, 0, 255};
    case TStatusColour::kRed:
      return {255, 0, 0};
    case TStatusColour::kBlack:
    default:
      return {0, 0, 0};
  }
}

}  // namespace oxa
