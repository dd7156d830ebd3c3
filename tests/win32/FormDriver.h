// Works the Win32 window from another program by window messages, as a user would: starts the
// program, finds its window and controls by the design's names, reads their texts, clicks,
// double-clicks, picks list entries, presses keys, and reads the colours on screen. For the end
// to end tests and the benchmark, which run in the same Wine server as the window.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace oxa::win32 {

class TFormDriver {
 public:
  TFormDriver() = default;
  // A window still running is ended.
  ~TFormDriver();
  TFormDriver(const TFormDriver&) = delete;
  TFormDriver& operator=(const TFormDriver&) = delete;

  // Starts `program` (a window program, its full path) in its own folder and waits until its
  // main window is up and waits for input. False, with the program ended, when no window came.
  // A program started before is ended first. `window_class` names the class of the main window
  // when it is not the form's.
  bool Start(const std::wstring& program, const std::wstring& arguments = L"",
             const wchar_t* window_class = nullptr);
  // Ends the program when it still runs.
  void Stop();
  HWND Form() const { return form_; }
  HANDLE Process() const { return process_.hProcess; }
  // Milliseconds from the start of the program to its window waiting for input, painted.
  double StartMs() const { return start_ms_; }

  // The control the design names `name` (null when the window has none).
  HWND Control(std::string_view name) const;
  // A window's text, as UTF-8.
  static std::string Text(HWND window);
  std::string Text(std::string_view name) const { return Text(Control(name)); }
  // A multi-line text split at its line ends.
  std::vector<std::string> Lines(std::string_view name) const;
  void SetText(std::string_view name, std::string_view text) const;
  bool Enabled(std::string_view name) const { return ::IsWindowEnabled(Control(name)) != FALSE; }

  // A click of a button, returning when the window has dealt with it (a test run to its end).
  // False when the window did not within `timeout_ms`.
  bool Click(std::string_view button, unsigned timeout_ms = 30000) const;
  // A click the window deals with while the caller goes on.
  void PostClick(std::string_view button) const;
  // A double-click on a control, returning when the window has dealt with it.
  bool DoubleClick(std::string_view name, unsigned timeout_ms = 30000) const;
  // Picks entry `index` of a drop-down list, as the user does (the window hears of the change).
  void Choose(std::string_view list, int index) const;
  // A key pressed and released with the focus on `target`.
  void PostKey(HWND target, WORD key) const;
  // The control that has the keyboard focus in the window's thread.
  HWND Focus() const;

  // The window handles a message within `timeout_ms`: it is not held up.
  bool Responds(unsigned timeout_ms) const;
  // The program has ended within `timeout_ms`.
  bool WaitForExit(unsigned timeout_ms) const;
  // The program's working set now, in bytes.
  size_t WorkingSet() const;

  // The colour on screen, inside `name`'s rectangle, that lies farthest from the button face:
  // the colour of a control's text where it has one. CLR_INVALID when the screen cannot be read
  // or the control shows nothing but the button face.
  COLORREF Ink(std::string_view name) const;
  // The screen's pixels inside `window`'s rectangle, row by row (empty when they cannot be read).
  static std::vector<uint32_t> Pixels(HWND window);

  // The dots per inch the window is drawn at.
  UINT Dpi() const;

  // A visible window of class `window_class` of the program other than its form (one of the
  // form's other windows); null when none showed within `timeout_ms`.
  HWND OtherWindow(const wchar_t* window_class, unsigned timeout_ms = 5000) const;
  // The texts of a list view's rows, `columns` cells each. A list view keeps its texts to its
  // own process: they are asked for into the program's memory and read from there.
  std::vector<std::vector<std::string>> ListRows(HWND list, int columns) const;

  // Waits, looking every 10 ms, until `done` is true; false when `timeout_ms` passed first.
  static bool WaitUntil(const std::function<bool()>& done, unsigned timeout_ms);

 private:
  PROCESS_INFORMATION process_{};
  HWND form_ = nullptr;
  double start_ms_ = 0;
};

// UTF-8 of a UTF-16 text and back.
std::string Utf8Of(std::wstring_view text);
std::wstring WideOf(std::string_view text);

// A variable of the environment, empty when it is not set.
std::string Environment(const char* name);

}  // namespace oxa::win32
