// Text at the edge of the Win32 API (the form speaks UTF-8, the controls UTF-16), and the
// system dialog that asks for a file name.
#pragma once

#include <commdlg.h>
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

// The system's "Save as" dialog. The library that holds it (and those it brings along) is
// loaded at the first use, not at the program's start, which it would make slower and larger.
inline bool AskSaveFileName(OPENFILENAMEW& dialog) {
  using TGetSaveFileName = BOOL(WINAPI*)(OPENFILENAMEW*);
  static const auto ask = [] {
    const HMODULE library = ::LoadLibraryW(L"comdlg32.dll");
    return library == nullptr ? nullptr
                              : reinterpret_cast<TGetSaveFileName>(reinterpret_cast<void*>(
                                    ::GetProcAddress(library, "GetSaveFileNameW")));
  }();
  return ask != nullptr && ask(&dialog) != FALSE;
}

}  // namespace oxa::win32
