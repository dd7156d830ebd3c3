// What the form's other windows (the exchange log, the monitor, an archive range) share: a
// window class of their own, a top-level window owned by the form, in the form's font and at the
// dots per inch of the form's screen, no larger than its monitor's work area, whose messages go
// to the window's OnMessage.
#pragma once

#include <windows.h>

#include <functional>
#include <span>
#include <string>

#include "actions/TextCatalog.h"
#include "window/SideWindows.h"

namespace oxa::win32 {

class TWin32ToolWindow {
 public:
  TWin32ToolWindow(const TWin32ToolWindow&) = delete;
  TWin32ToolWindow& operator=(const TWin32ToolWindow&) = delete;

  HWND Handle() const { return window_; }
  // Shows the window, brought to the front.
  virtual void Show();

  // The user has moved the window (dragged it, or moved it from its system menu): where its
  // frame's top left corner is now.
  std::function<void(TScreenPoint)> OnMoved;

 protected:
  TWin32ToolWindow(HINSTANCE instance, HWND owner, HFONT font);
  virtual ~TWin32ToolWindow();

  // Registers `class_name` (once a run) and makes the window, hidden: `style`, titled `title`,
  // its client area `width` × `height` at 96 dots per inch, within the work area. False when the
  // system refused.
  bool CreateWindowOf(const wchar_t* class_name, const std::wstring& title, DWORD style, int width,
                      int height);
  // A control of the window in its font; `x`, `y`, `width` and `height` at 96 dots per inch
  // (none: placed later).
  HWND MakeControl(const wchar_t* window_class, const std::wstring& text, DWORD style, int id,
                   DWORD ex_style = 0, int x = 0, int y = 0, int width = 0, int height = 0);
  // A list view of rows in columns that hold no text of their own (the window gives it row by
  // row), full rows selected: `columns` captioned in `language`, `widths` at 96 dots per inch.
  HWND MakeRowList(int id, DWORD style, std::span<const TText> columns, std::span<const int> widths,
                   TLanguage language, DWORD ex_style = 0);
  // Destroys the window without the derived window's handler: called by a derived window's
  // destructor that wants it gone before its own members go, and by this one's.
  void Destroy();
  int Scale(int pixels) const { return ::MulDiv(pixels, int(dpi_), 96); }
  // A message of the window; DefWindowProcW for those it leaves.
  virtual LRESULT OnMessage(UINT message, WPARAM wparam, LPARAM lparam) = 0;

  HINSTANCE instance_;
  HWND owner_;
  HFONT font_;
  HWND window_ = nullptr;
  UINT dpi_ = 96;

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
};

}  // namespace oxa::win32
