// Text at the edge of the Win32 API: the form speaks UTF-8, the controls UTF-16.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include "serial/platform/win32_text.h"

namespace oxa::win32 {

// UTF-8 to UTF-16 and back, as the library converts them (malformed input becomes U+FFFD).
inline std::wstring Wide(std::string_view utf8) {
  return platform::Widen(utf8);
}

inline std::string Utf8(std::wstring_view wide) {
  return platform::Narrow(wide);
}

// The text of a window (a control's caption or contents), whatever its length.
inline std::wstring WindowText(HWND window) {
  std::wstring text(size_t(::GetWindowTextLengthW(window)) + 1, L'\0');
  text.resize(size_t(::GetWindowTextW(window, text.data(), int(text.size()))));
  return text;
}

}  // namespace oxa::win32
