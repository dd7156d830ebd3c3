// The monitor's window drawn with the Win32 API: non-modal, owned by the form. On the left the
// choice: the 32 integrators in a list where each click ticks one, the first register and the
// count, the interval, the CSV file with a chooser, Start and Stop, the reads and failures and
// what went wrong; on the right a list view of each value with its unit and the time of its
// last good read, and under it the plot, drawn with GDI from the plot model that the Qt window
// draws too (window/PlotModel.h): the same lanes, ticks, legend, gaps and readout, and the same
// pointer: the wheel zooms (with Shift it pans), a drag picks a range (with Shift, or the
// middle button, it pans), a double click follows the newest read, a click on a legend entry
// hides its value; the plot's menu pauses it, copies the picture and saves it as PNG.
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
#include "window/PlotModel.h"

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
    kAddresses,
    kRegisterType,
  };
  TWin32Monitor(HINSTANCE instance, HWND owner, TPortLease port, TLanguage language, HFONT font);
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
  TPlotModel& Plot() { return plot_model_; }
  // Draws the plot without its readout into a bitmap of the plot's size (the caller's).
  HBITMAP PlotBitmap();
  // Puts the plot's picture on the clipboard as a bitmap; false when the system refused.
  bool CopyPlot();
  // Saves the plot's picture as PNG (GDI+) at `path`; empty when it did, or why not.
  std::string SavePlot(const std::wstring& path);

 private:
  static LRESULT CALLBACK PlotProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  LRESULT OnMessage(UINT message, WPARAM wparam, LPARAM lparam) override;
  LRESULT OnNotify(const NMHDR& header);
  void Layout();
  void Browse();
  void ShowRunning(bool running);
  void PaintPlot(HDC dc, const RECT& area);
  // The plot's own messages: the pointer, the wheel, its menu, Escape.
  LRESULT OnPlotMessage(UINT message, WPARAM wparam, LPARAM lparam);
  void LayOutPlot();
  void PlotMenu(POINT screen);
  // After the span changed: the values over the new span, also once the monitor stopped.
  void RetakePlot();
  // The number in edit `id`, kept within [min, max] and written back so; `fallback` when it
  // holds none.
  uint32_t EditNumber(int id, uint32_t min, uint32_t max, uint32_t fallback);

  TLanguage language_;
  TMonitor monitor_;
  HWND values_view_ = nullptr;
  HWND plot_ = nullptr;
  std::string message_;          // a refusal of Start, shown until the next start
  std::wstring confirmed_path_;  // the file chooser asked about replacing it
  TMonitorSnapshot shown_;       // what the list view shows
  TPlotModel plot_model_;
  HDC measure_dc_ = nullptr;  // the plot's text measured in the window's font
  enum class TDrag { kNone, kRange, kPan } drag_ = TDrag::kNone;
  POINT drag_from_{};
  POINT drag_last_{};
  bool tracking_leave_ = false;
  std::wstring cell_;  // the text of the cell the list view asked for last
};

}  // namespace oxa::win32
