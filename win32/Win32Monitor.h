// The monitor's window drawn with the Win32 API: non-modal, owned by the form. On the left the
// choice: the 32 integrators in a list where each click ticks one, the first register and the
// count, the interval, the CSV file with a chooser, Start and Stop, the reads and failures and
// what went wrong; on the right a list view of each value with its unit and the time of its
// last good read, and under it the plot of the last minutes, drawn with GDI.
//
// It reads the monitor on a timer while it polls, so that the polling thread never waits for
// the drawing. Closing the window stops the polling and gives the port back.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "win32/Win32ToolWindow.h"
#include "window/Monitor.h"

namespace oxa::win32 {

class TWin32Monitor final : public TWin32ToolWindow {
 public:
  static constexpr const wchar_t* kClassName = L"TMonitorWindow";
  static constexpr const wchar_t* kPlotClassName = L"TMonitorPlot";
  // The identifiers of its controls.
  enum : int {
    kIntegrators = 201,
    kFirstRegister,
    kRegisterCount,
    kInterval,
    kCsvPath,
    kBrowse,
    kStart,
    kStop,
    kCounters,
    kStatus,
    kValues,
    kPlot,
  };
  // The plot's time span: the last ten minutes.
  static constexpr double kPlotSpanS = 600;

  TWin32Monitor(HINSTANCE instance, HWND owner, TMonitorPort port, TLanguage language, HFONT font);
  // Stops polling (the port goes back to the form) and destroys the window.
  ~TWin32Monitor() override;

  // Makes the window, hidden. False when the system refused.
  bool Create();
  // Shows it, brought to the front.
  void Show() override;
  TLanguage Language() const { return language_; }
  TMonitor& Monitor() { return monitor_; }
  // Starts polling what the controls say; false, with the reason on the status line, when the
  // monitor refused.
  bool Start();
  void Stop();
  // Takes the monitor's snapshot into the list, the counters and the plot.
  void Refresh();

 private:
  static LRESULT CALLBACK PlotProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  LRESULT OnMessage(UINT message, WPARAM wparam, LPARAM lparam) override;
  LRESULT OnNotify(const NMHDR& header);
  void Layout();
  void Browse();
  void ShowRunning(bool running);
  void PaintPlot(HDC dc, const RECT& area);
  // The number in edit `id`, kept within [min, max] and written back so; `fallback` when it
  // holds none.
  uint32_t EditNumber(int id, uint32_t min, uint32_t max, uint32_t fallback);

  TLanguage language_;
  TMonitor monitor_;
  HWND values_view_ = nullptr;
  HWND plot_ = nullptr;
  std::string message_;              // a refusal of Start, shown until the next start
  std::wstring confirmed_path_;      // the file chooser asked about replacing it
  TMonitorSnapshot shown_;           // what the list view shows
  std::vector<TPlotSeries> series_;  // what the plot shows
  std::wstring cell_;                // the text of the cell the list view asked for last
};

}  // namespace oxa::win32
