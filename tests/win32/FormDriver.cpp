#include "FormDriver.h"

#include <commctrl.h>
#include <psapi.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "win32/ControlIds.h"
#include "win32/Win32Form.h"
#include "win32/Win32Text.h"

namespace oxa::win32 {

namespace {

using TClock = std::chrono::steady_clock;

struct TFound {
  DWORD process;
  const wchar_t* window_class;
  HWND window;
};

BOOL CALLBACK FindForm(HWND window, LPARAM found_at) {
  auto* found = reinterpret_cast<TFound*>(found_at);
  DWORD process = 0;
  ::GetWindowThreadProcessId(window, &process);
  wchar_t name[64] = {};
  ::GetClassNameW(window, name, 64);
  if (process == found->process && std::wstring_view(name) == found->window_class &&
      ::IsWindowVisible(window)) {
    found->window = window;
    return FALSE;
  }
  return TRUE;
}

// The driver reads the window's rectangles in the screen's own pixels, whatever the screen's
// dots per inch: the system scales none of them for it.
void BeDpiAware() {
  static const bool aware = [] {
    using TSetContext = BOOL(WINAPI*)(HANDLE);
    const auto set_context = reinterpret_cast<TSetContext>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"user32.dll"), "SetProcessDpiAwarenessContext")));
    // DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2
    return (set_context != nullptr && set_context(HANDLE(-4))) || ::SetProcessDPIAware();
  }();
  (void)aware;
}

}  // namespace

std::string Utf8Of(std::wstring_view text) {
  return Utf8(text);
}

std::wstring WideOf(std::string_view text) {
  return Wide(text);
}

std::string Environment(const char* name) {
  // Read wide: a path with letters beyond the system's code page comes through whole.
  const wchar_t* value = ::_wgetenv(Wide(name).c_str());
  return value != nullptr ? Utf8(value) : "";
}

TFormDriver::~TFormDriver() {
  Stop();
}

void TFormDriver::Stop() {
  if (process_.hProcess != nullptr) {
    if (::WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT) {
      ::TerminateProcess(process_.hProcess, 1);
      ::WaitForSingleObject(process_.hProcess, 5000);
    }
    ::CloseHandle(process_.hThread);
    ::CloseHandle(process_.hProcess);
  }
  process_ = {};
  form_ = nullptr;
}

bool TFormDriver::Start(const std::wstring& program, const std::wstring& arguments,
                        const wchar_t* window_class) {
  BeDpiAware();
  Stop();
  const size_t slash = program.find_last_of(L"\\/");
  const std::wstring folder = slash == std::wstring::npos ? L"." : program.substr(0, slash);
  std::wstring command = L"\"" + program + L"\"";
  if (!arguments.empty()) command += L" " + arguments;
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  const TClock::time_point started = TClock::now();
  if (!::CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        folder.c_str(), &startup, &process_)) {
    return false;
  }
  // Waiting for input means the window has been made, shown and painted.
  ::WaitForInputIdle(process_.hProcess, 20000);
  TFound found{process_.dwProcessId, window_class ? window_class : TWin32Form::kClassName, nullptr};
  WaitUntil(
      [&] {
        ::EnumWindows(FindForm, reinterpret_cast<LPARAM>(&found));
        return found.window != nullptr;
      },
      20000);
  start_ms_ = std::chrono::duration<double, std::milli>(TClock::now() - started).count();
  form_ = found.window;
  if (form_ == nullptr) {
    ::TerminateProcess(process_.hProcess, 1);
    return false;
  }
  return true;
}

HWND TFormDriver::OtherWindow(const wchar_t* window_class, unsigned timeout_ms) const {
  HWND found = nullptr;
  WaitUntil(
      [&] {
        found = ::FindWindowW(window_class, nullptr);
        return found != nullptr && ::IsWindowVisible(found);
      },
      timeout_ms);
  return found != nullptr && ::IsWindowVisible(found) ? found : nullptr;
}

std::vector<std::vector<std::string>> TFormDriver::ListRows(HWND list, int columns) const {
  constexpr size_t kChars = 1024;
  std::vector<std::vector<std::string>> rows;
  const size_t size = sizeof(LVITEMW) + kChars * sizeof(wchar_t);
  char* remote = static_cast<char*>(
      ::VirtualAllocEx(process_.hProcess, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  if (remote == nullptr) return rows;
  const auto count = int(::SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
  for (int r = 0; r < count; ++r) {
    std::vector<std::string>& row = rows.emplace_back();
    for (int c = 0; c < columns; ++c) {
      LVITEMW item{};
      item.iSubItem = c;
      item.cchTextMax = int(kChars);
      item.pszText = reinterpret_cast<wchar_t*>(remote + sizeof(LVITEMW));
      std::wstring text(kChars, L'\0');
      SIZE_T moved = 0;
      if (!::WriteProcessMemory(process_.hProcess, remote, &item, sizeof(item), &moved)) break;
      const auto length = size_t(
          ::SendMessageW(list, LVM_GETITEMTEXTW, WPARAM(r), reinterpret_cast<LPARAM>(remote)));
      ::ReadProcessMemory(process_.hProcess, remote + sizeof(LVITEMW), text.data(),
                          kChars * sizeof(wchar_t), &moved);
      text.resize(std::min(length, kChars - 1));
      row.push_back(Utf8Of(text));
    }
  }
  ::VirtualFreeEx(process_.hProcess, remote, 0, MEM_RELEASE);
  return rows;
}

HWND TFormDriver::Control(std::string_view name) const {
  return ::GetDlgItem(form_, ControlId(name));
}

std::string TFormDriver::Text(HWND window) {
  DWORD_PTR length = 0;
  if (!::SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &length)) {
    return {};
  }
  std::wstring text(length + 1, L'\0');
  DWORD_PTR copied = 0;
  ::SendMessageTimeoutW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                        SMTO_ABORTIFHUNG, 5000, &copied);
  text.resize(copied);
  return Utf8(text);
}

std::vector<std::string> TFormDriver::Lines(std::string_view name) const {
  const std::string text = Text(name);
  std::vector<std::string> lines;
  size_t from = 0;
  for (size_t at; (at = text.find("\r\n", from)) != std::string::npos; from = at + 2) {
    lines.push_back(text.substr(from, at - from));
  }
  lines.push_back(text.substr(from));
  return lines;
}

void TFormDriver::SetText(std::string_view name, std::string_view text) const {
  const std::wstring wide = Wide(text);
  DWORD_PTR result = 0;
  ::SendMessageTimeoutW(Control(name), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(wide.c_str()),
                        SMTO_ABORTIFHUNG, 5000, &result);
}

bool TFormDriver::Click(std::string_view button, unsigned timeout_ms) const {
  DWORD_PTR result = 0;
  return ::SendMessageTimeoutW(Control(button), BM_CLICK, 0, 0, SMTO_NORMAL, timeout_ms, &result) !=
         0;
}

void TFormDriver::PostClick(std::string_view button) const {
  ::PostMessageW(Control(button), BM_CLICK, 0, 0);
}

bool TFormDriver::DoubleClick(std::string_view name, unsigned timeout_ms) const {
  DWORD_PTR result = 0;
  return ::SendMessageTimeoutW(Control(name), WM_LBUTTONDBLCLK, MK_LBUTTON, MAKELPARAM(4, 4),
                               SMTO_NORMAL, timeout_ms, &result) != 0;
}

void TFormDriver::Choose(std::string_view list, int index) const {
  const HWND box = Control(list);
  DWORD_PTR result = 0;
  ::SendMessageTimeoutW(box, CB_SETCURSEL, WPARAM(index), 0, SMTO_ABORTIFHUNG, 5000, &result);
  ::SendMessageTimeoutW(form_, WM_COMMAND, MAKEWPARAM(ControlId(list), CBN_SELCHANGE),
                        reinterpret_cast<LPARAM>(box), SMTO_NORMAL, 30000, &result);
}

void TFormDriver::PostKey(HWND target, WORD key) const {
  ::PostMessageW(target, WM_KEYDOWN, key, 1);
  ::PostMessageW(target, WM_KEYUP, key, LPARAM(0xC0000001u));
}

HWND TFormDriver::Focus() const {
  GUITHREADINFO info{};
  info.cbSize = sizeof(info);
  ::GetGUIThreadInfo(::GetWindowThreadProcessId(form_, nullptr), &info);
  return info.hwndFocus;
}

bool TFormDriver::Responds(unsigned timeout_ms) const {
  DWORD_PTR result = 0;
  return ::SendMessageTimeoutW(form_, WM_NULL, 0, 0, SMTO_NORMAL, timeout_ms, &result) != 0;
}

bool TFormDriver::WaitForExit(unsigned timeout_ms) const {
  return ::WaitForSingleObject(process_.hProcess, timeout_ms) == WAIT_OBJECT_0;
}

size_t TFormDriver::WorkingSet() const {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof(counters);
  if (!::GetProcessMemoryInfo(process_.hProcess, &counters, sizeof(counters))) return 0;
  return counters.WorkingSetSize;
}

COLORREF TFormDriver::Ink(std::string_view name) const {
  const std::vector<uint32_t> pixels = Pixels(Control(name));
  if (pixels.empty()) return CLR_INVALID;
  const COLORREF face = ::GetSysColor(COLOR_BTNFACE);
  const int face_r = GetRValue(face);
  const int face_g = GetGValue(face);
  const int face_b = GetBValue(face);
  int farthest = 0;
  COLORREF ink = CLR_INVALID;
  for (const uint32_t pixel : pixels) {
    const int r = int((pixel >> 16) & 0xFF);
    const int g = int((pixel >> 8) & 0xFF);
    const int b = int(pixel & 0xFF);
    const int distance =
        (r - face_r) * (r - face_r) + (g - face_g) * (g - face_g) + (b - face_b) * (b - face_b);
    if (distance > farthest) {
      farthest = distance;
      ink = RGB(r, g, b);
    }
  }
  return ink;
}

std::vector<uint32_t> TFormDriver::Pixels(HWND window) {
  RECT rect{};
  ::GetWindowRect(window, &rect);
  const int width = rect.right - rect.left;
  const int height = rect.bottom - rect.top;
  if (width <= 0 || height <= 0) return {};
  // The screen's pixels of the rectangle, copied once into a bitmap of our own.
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  const HDC screen = ::GetDC(nullptr);
  const HDC memory = ::CreateCompatibleDC(screen);
  const HBITMAP bitmap = ::CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  std::vector<uint32_t> pixels;
  if (bitmap != nullptr) {
    const HGDIOBJ old = ::SelectObject(memory, bitmap);
    if (::BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY)) {
      const auto* first = static_cast<const uint32_t*>(bits);
      pixels.assign(first, first + size_t(width) * size_t(height));
    }
    ::SelectObject(memory, old);
    ::DeleteObject(bitmap);
  }
  ::DeleteDC(memory);
  ::ReleaseDC(nullptr, screen);
  return pixels;
}

UINT TFormDriver::Dpi() const {
  using TGetDpiForWindow = UINT(WINAPI*)(HWND);
  const auto get_dpi = reinterpret_cast<TGetDpiForWindow>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
  const UINT dpi = get_dpi != nullptr ? get_dpi(form_) : 0;
  return dpi != 0 ? dpi : 96;
}

bool TFormDriver::WaitUntil(const std::function<bool()>& done, unsigned timeout_ms) {
  const TClock::time_point end = TClock::now() + std::chrono::milliseconds(timeout_ms);
  while (!done()) {
    if (TClock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace oxa::win32
