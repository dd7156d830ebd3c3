// Text at the edge of the Win32 API: the form speaks UTF-8, the controls UTF-16.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace oxa::win32 {

// UTF-8 to UTF-16 and back; malformed input becomes U+FFFD.
inline std::wstring Wide(std::string_view utf8) {
  if (utf8.empty()) return {};
  const int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
  std::wstring wide(size_t(n > 0 ? n : 0), L'\0');
  if (n > 0) ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), wide.data(), n);
  return wide;
}

inline std::string Utf8(std::wstring_view wide) {
  if (wide.empty()) return {};
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), nullptr, 0,
                                      nullptr, nullptr);
  std::string utf8(size_t(n > 0 ? n : 0), '\0');
  if (n > 0) {
    ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), utf8.data(), n, nullptr,
                          nullptr);
  }
  return utf8;
}

// The text of a window (a control's caption or contents), whatever its length.
inline std::wstring WindowText(HWND window) {
  std::wstring text(size_t(::GetWindowTextLengthW(window)) + 1, L'\0');
  text.resize(size_t(::GetWindowTextW(window, text.data(), int(text.size()))));
  return text;
}

}  // namespace oxa::win32
