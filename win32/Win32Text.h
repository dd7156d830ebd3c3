// Text at the edge of the Win32 API (the form speaks UTF-8, the controls UTF-16), and the
// system dialog that asks for a file name.
#pragma once

#include <commdlg.h>
#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <string>
#include <string_view>

#include "actions/TextCatalog.h"
#include "serial/platform/win32_text.h"

namespace oxa::win32 {

// UTF-8 to UTF-16 and back, as the library converts them (malformed input becomes U+FFFD).
inline std::wstring Wide(std::string_view utf8) {
  return platform::Widen(utf8);
}

inline std::string Utf8(std::wstring_view wide) {
  return platform::Narrow(wide);
}

// The catalog's text `id` in `language`, for a control.
inline std::wstring WideText(TText id, TLanguage language) {
  return Wide(Text(id, language));
}

// The text of a window (a control's caption or contents), whatever its length.
inline std::wstring WindowText(HWND window) {
  std::wstring text(size_t(::GetWindowTextLengthW(window)) + 1, L'\0');
  text.resize(size_t(::GetWindowTextW(window, text.data(), int(text.size()))));
  return text;
}

// Asks for the name of a file to write with the system's "Save as" dialog, owned by `owner`,
// starting from `current`; `filter` names the files ("CSV files (*.csv)") whose `extension`
// ("csv") a name without one gets. `confirm_replace` has the dialog ask before an existing file
// is named. Empty when the user named none. The library that holds the dialog (and those it
// brings along) is loaded at the first use, not at the program's start, which it would make
// slower and larger.
inline std::wstring AskSaveFileName(HWND owner, const std::wstring& title,
                                    const std::wstring& current, const std::wstring& filter,
                                    const std::wstring& extension, bool confirm_replace) {
  using TGetSaveFileName = BOOL(WINAPI*)(OPENFILENAMEW*);
  static const auto ask = [] {
    const HMODULE library = ::LoadLibraryW(L"comdlg32.dll");
    return library == nullptr ? nullptr
                              : reinterpret_cast<TGetSaveFileName>(reinterpret_cast<void*>(
                                    ::GetProcAddress(library, "GetSaveFileNameW")));
  }();
  if (ask == nullptr) return {};
  // The filter's name, then its pattern, each ended by a null character.
  const std::wstring filters = filter + L'\0' + L"*." + extension + L'\0';
  std::wstring path = current;
  path.resize(std::max<size_t>(path.size() + 1, MAX_PATH), L'\0');
  OPENFILENAMEW dialog{};
  dialog.lStructSize = sizeof(dialog);
  dialog.hwndOwner = owner;
  dialog.lpstrFilter = filters.c_str();
  dialog.lpstrFile = path.data();
  dialog.nMaxFile = DWORD(path.size());
  dialog.lpstrTitle = title.c_str();
  dialog.lpstrDefExt = extension.c_str();
  dialog.Flags = OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR | OFN_HIDEREADONLY |
                 (confirm_replace ? OFN_OVERWRITEPROMPT : 0);
  if (!ask(&dialog)) return {};
  path.resize(std::wcslen(path.c_str()));
  return path;
}

}  // namespace oxa::win32
