// The identifier of each control of the Win32 window, by the name the design gives it, for the
// window and for programs that drive it by messages.
#pragma once

#include <string_view>

#include "window/FormDesign.h"

namespace oxa::win32 {

// Identifiers are kFirstControlId plus the control's place in the design table: well above
// the dialog manager's IDOK (1) and IDCANCEL (2), which Enter and Escape send, so that no key
// presses a control by its number.
inline constexpr int kFirstControlId = 100;

// 0 for a name the design does not have.
inline int ControlId(std::string_view name) {
  const TControlDesign* control = FindFormControl(name);
  return control ? kFirstControlId + int(control - FormControls().data()) : 0;
}

// The design of the control with identifier `id`; null for any other number.
inline const TControlDesign* ControlById(int id) {
  const auto index = size_t(id - kFirstControlId);
  return id >= kFirstControlId && index < FormControls().size() ? &FormControls()[index] : nullptr;
}

}  // namespace oxa::win32
