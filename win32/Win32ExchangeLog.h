// The exchange log's window drawn with the Win32 API: non-modal, owned by the form. Above the
// rows the counters since the last clearing; one row per frame or port line in a list view
// (time since the log began in ms, direction, bytes, meaning, verdict, response time); the
// commands clear, copy the selected rows (also Ctrl+C), and save as text or CSV.
//
// It reads the log on a timer while it is shown, taking only the rows recorded since its last
// look, so that the exchange (which records on its own thread) never waits for the drawing.
// The list view asks for the text of the rows it draws only (it holds no copy of its own).
#pragma once

#include <windows.h>

#include <string>

#include "win32/Win32ToolWindow.h"
#include "window/ExchangeLog.h"

namespace oxa::win32 {

class TWin32ExchangeLog final : public TWin32ToolWindow {
 public:
  static constexpr const wchar_t* kClassName = L"TExchangeLogWindow";
  // The identifiers of its controls.
  enum : int { kCounters = 101, kRows, kClear, kCopy, kSaveText, kSaveCsv };

  TWin32ExchangeLog(HINSTANCE instance, HWND owner, TExchangeLog& log, TLanguage language,
                    HFONT font);

  // Makes the window, hidden. False when the system refused.
  bool Create();
  // Shows it, brought to the front, up to date.
  void Show() override;
  TLanguage Language() const { return language_; }
  // Takes the rows recorded since the last look and the counters now.
  void Refresh();

 private:
  LRESULT OnMessage(UINT message, WPARAM wparam, LPARAM lparam) override;
  LRESULT OnNotify(const NMHDR& header);
  void Layout();
  void CopySelected();
  void Save(bool csv);

  TExchangeLog& log_;
  TLanguage language_;
  HWND counters_ = nullptr;
  HWND rows_view_ = nullptr;
  TLogFollower rows_;  // as the list shows them
  std::wstring cell_;  // the text of the cell the list view asked for last
};

}  // namespace oxa::win32
