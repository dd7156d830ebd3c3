// What painting the monitor's plot costs the Win32 window's thread under Wine: 8 values of
// 6,000 reads each (ten minutes at the shortest interval), as bench/plot_bench does for the Qt
// view.
//
// A monitor's history is filled first, 8 integrators polled as fast as they go against the
// in-memory device. Then, frame by frame, the monitor window's plot takes the values over the
// span (thinned to the plot's pixels) and paints itself on the screen, as its refresh timer
// does; and once more with every read of every value handed to the plot unthinned. Each prints
// the median and greatest time of a frame and its ratio to a frame of a 60 Hz screen (16.7 ms).
//
// The last line reads
//   win32 plot frame median X.XX ms greatest Y.YY ms (8 x N reads), ratio to a 60 Hz frame R.RR
// The exit status is 1 when the history could not be filled or the window not made.
//
// Usage (on a display, see win32_form_test.sh plot): win32_plot_bench [--frames N] [--quick]
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tests/support/FilledMonitor.h"
#include "win32/Win32Monitor.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kFrameMs = 1000.0 / 60;

struct TFrames {
  double median_ms = 0;
  double greatest_ms = 0;
};

// `frames` times: `step`, then the plot painted on the screen at once, timed together.
template <typename Step>
TFrames Time(HWND plot, int frames, Step step) {
  std::vector<double> ms;
  for (int i = 0; i < frames; ++i) {
    const auto start = Clock::now();
    step();
    ::RedrawWindow(plot, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
    ::GdiFlush();
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    MSG message;
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&message);
  }
  std::sort(ms.begin(), ms.end());
  return {ms[ms.size() / 2], ms.back()};
}

void Print(const char* what, const TFrames& f) {
  std::printf("  %s: median %.2f ms, greatest %.2f ms; ratio to a 60 Hz frame %.2f\n", what,
              f.median_ms, f.greatest_ms, f.median_ms / kFrameMs);
}

}  // namespace

int main(int argc, char** argv) {
  int frames = 200;
  uint64_t reads = 6000;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quick") == 0) {
      frames = 20;
      reads = 600;
    } else if (std::strcmp(argv[i], "--frames") == 0 && i + 1 < argc) {
      frames = std::max(1, std::atoi(argv[++i]));
    } else {
      std::fprintf(stderr, "usage: win32_plot_bench [--frames N] [--quick]\n");
      return 2;
    }
  }

  oxa::testing::TFilledMonitor filled(reads);
  if (!filled.Fill()) return 1;
  oxa::TMonitor& monitor = filled.Monitor();

  // The monitor window at its first size, on the screen; its own monitor stays idle.
  oxa::win32::TWin32Monitor window(::GetModuleHandleW(nullptr), nullptr, {},
                                   oxa::TLanguage::kEnglish,
                                   static_cast<HFONT>(::GetStockObject(DEFAULT_GUI_FONT)));
  if (!window.Create()) return 1;
  window.Show();
  const HWND plot = ::GetDlgItem(window.Handle(), oxa::win32::TWin32Monitor::kPlot);
  RECT area{};
  ::GetClientRect(plot, &area);
  std::printf("win32 plot: 8 values x %llu reads, %ldx%ld pixels, under Wine, %d frames\n",
              static_cast<unsigned long long>(reads), area.right, area.bottom, frames);
  const double span = monitor.RunTime();
  const TFrames taken = Time(plot, frames, [&] { window.Plot().Take(monitor); });
  Print("values taken over the span and painted", taken);
  const std::vector<oxa::TPlotSeries> all = monitor.PlotRange(0, span, 1'000'000'000);
  const TFrames raw = Time(plot, frames, [&] { window.Plot().SetData(all, span, 0); });
  Print("every read painted, unthinned", raw);
  std::printf(
      "win32 plot frame median %.2f ms greatest %.2f ms (8 x %llu reads), ratio to a 60 Hz "
      "frame %.2f\n",
      taken.median_ms, taken.greatest_ms, static_cast<unsigned long long>(reads),
      taken.median_ms / kFrameMs);
  return 0;
}
