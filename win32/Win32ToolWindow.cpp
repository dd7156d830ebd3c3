#include "win32/Win32ToolWindow.h"

#include <commctrl.h>

#include <algorithm>

#include "win32/Win32Text.h"

namespace oxa::win32 {

TWin32ToolWindow::TWin32ToolWindow(HINSTANCE instance, HWND owner, HFONT font)
    : instance_(instance), owner_(owner), font_(font) {}

TWin32ToolWindow::~TWin32ToolWindow() {
  Destroy();
}

void TWin32ToolWindow::Destroy() {
  if (window_ == nullptr) return;
  // The messages of its destruction find no window object any more.
  ::SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
  ::DestroyWindow(window_);
  window_ = nullptr;
}

bool TWin32ToolWindow::CreateWindowOf(const wchar_t* class_name, const std::wstring& title,
                                      DWORD style, int width, int height) {
  WNDCLASSEXW window_class{};
  window_class.cbSize = sizeof(window_class);
  window_class.lpfnWndProc = WindowProc;
  window_class.hInstance = instance_;
  window_class.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
  window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  window_class.lpszClassName = class_name;
  if (::RegisterClassExW(&window_class) == 0 && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
    return false;
  }
  const HDC screen = ::GetDC(owner_);
  const int dpi = ::GetDeviceCaps(screen, LOGPIXELSY);
  ::ReleaseDC(owner_, screen);
  dpi_ = dpi > 0 ? UINT(dpi) : 96;
  // The client area at its size, whatever the frame takes, within the work area of the form's
  // monitor.
  RECT frame{0, 0, Scale(width), Scale(height)};
  ::AdjustWindowRectEx(&frame, style, FALSE, 0);
  MONITORINFO monitor{};
  monitor.cbSize = sizeof(monitor);
  RECT area{0, 0, frame.right - frame.left, frame.bottom - frame.top};
  if (::GetMonitorInfoW(::MonitorFromWindow(owner_, MONITOR_DEFAULTTONEAREST), &monitor)) {
    area = monitor.rcWork;
  }
  return ::CreateWindowExW(0, class_name, title.c_str(), style, CW_USEDEFAULT, CW_USEDEFAULT,
                           std::min(frame.right - frame.left, area.right - area.left),
                           std::min(frame.bottom - frame.top, area.bottom - area.top), owner_,
                           nullptr, instance_, this) != nullptr;
}

HWND TWin32ToolWindow::MakeControl(const wchar_t* window_class, const std::wstring& text,
                                   DWORD style, int id, DWORD ex_style, int x, int y, int width,
                                   int height) {
  const HWND control = ::CreateWindowExW(
      ex_style, window_class, text.c_str(), WS_CHILD | WS_VISIBLE | style, Scale(x), Scale(y),
      Scale(width), Scale(height), window_, HMENU(INT_PTR(id)), instance_, nullptr);
  ::SendMessageW(control, WM_SETFONT, WPARAM(font_), TRUE);
  return control;
}

HWND TWin32ToolWindow::MakeRowList(int id, DWORD style, std::span<const TText> columns,
                                   std::span<const int> widths, TLanguage language,
                                   DWORD ex_style) {
  const HWND list =
      MakeControl(WC_LISTVIEWW, L"", WS_TABSTOP | LVS_REPORT | LVS_OWNERDATA | style, id, ex_style);
  ListView_SetExtendedListViewStyle(list, LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER);
  for (size_t i = 0; i < columns.size() && i < widths.size(); ++i) {
    std::wstring caption = WideText(columns[i], language);
    LVCOLUMNW column{};
    column.mask = LVCF_TEXT | LVCF_WIDTH;
    column.cx = Scale(widths[i]);
    column.pszText = caption.data();
    ListView_InsertColumn(list, int(i), &column);
  }
  return list;
}

void TWin32ToolWindow::Show() {
  ::ShowWindow(window_, SW_SHOWNORMAL);
  ::SetForegroundWindow(window_);
}

LRESULT CALLBACK TWin32ToolWindow::WindowProc(HWND window, UINT message, WPARAM wparam,
                                              LPARAM lparam) {
  if (message == WM_NCCREATE) {
    auto* self =
        static_cast<TWin32ToolWindow*>(reinterpret_cast<CREATESTRUCTW*>(lparam)->lpCreateParams);
    self->window_ = window;
    ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  }
  auto* self = reinterpret_cast<TWin32ToolWindow*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
  if (self == nullptr) return ::DefWindowProcW(window, message, wparam, lparam);
  if (message == WM_NCDESTROY) self->window_ = nullptr;
  RECT frame{};
  if (message == WM_EXITSIZEMOVE && self->OnMoved && ::GetWindowRect(window, &frame)) {
    self->OnMoved({frame.left, frame.top});
  }
  return self->OnMessage(message, wparam, lparam);
}

}  // namespace oxa::win32
