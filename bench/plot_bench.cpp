// What drawing the monitor's plot costs the window's thread: the Qt view on the offscreen
// platform, painting 8 values of 6,000 reads each (ten minutes at the shortest interval).
//
// The monitor's history is filled first, 8 integrators polled as fast as they go against the
// in-memory device. Then, frame by frame, the view takes the values over the span (the
// monitor's stretches: four points of each two pixels) and paints, as the window's refresh
// does; and once more with every read of every value handed to the model unthinned, the worst
// a view could be given. Each prints the median and greatest time of a frame and its ratio to
// a frame of a 60 Hz screen (16.7 ms); the window refreshes every 200 ms.
//
// The last line reads
//   plot frame median X.XX ms greatest Y.YY ms (8 x N reads), ratio to a 60 Hz frame R.RR
// The exit status is 1 when the history could not be filled.
//
// Usage: plot_bench [--frames N] [--quick]
//   --frames N  frames of each part (default 200)
//   --quick     a smoke run: 20 frames over 600 reads
#include <QApplication>
#include <QImage>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/PlotWidget.h"
#include "tests/support/FilledMonitor.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kFrameMs = 1000.0 / 60;

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
  return v[v.size() / 2];
}

struct TFrames {
  double median_ms = 0;
  double greatest_ms = 0;
};

// `frames` times: `step` then `plot` painted into a picture of its size, timed together.
template <typename Step>
TFrames Time(TPlotWidget& plot, int frames, Step step) {
  std::vector<double> ms;
  QImage image(plot.size(), QImage::Format_RGB32);
  for (int i = 0; i < frames; ++i) {
    const auto start = Clock::now();
    step();
    plot.render(&image);
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  return {Median(ms), *std::max_element(ms.begin(), ms.end())};
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
      std::fprintf(stderr, "usage: plot_bench [--frames N] [--quick]\n");
      return 2;
    }
  }
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);

  oxa::testing::TFilledMonitor filled(reads);
  if (!filled.Fill()) return 1;
  oxa::TMonitor& monitor = filled.Monitor();

  TPlotWidget plot(oxa::TLanguage::kEnglish);
  plot.resize(640, 330);  // the plot in the monitor window at its first size
  plot.show();
  std::printf("plot: 8 values x %llu reads, %dx%d pixels, offscreen, %d frames\n",
              static_cast<unsigned long long>(reads), plot.width(), plot.height(), frames);
  const double span = monitor.RunTime();
  // The run is shorter than the plot's ten minutes: the plot spans all of it.
  const TFrames taken = Time(plot, frames, [&] { plot.Take(monitor); });
  Print("values taken over the span and painted", taken);
  const std::vector<oxa::TPlotSeries> all = monitor.PlotRange(0, span, 1'000'000'000);
  const TFrames raw = Time(plot, frames, [&] { plot.Model().SetData(all, span, 0); });
  Print("every read painted, unthinned", raw);
  std::printf(
      "plot frame median %.2f ms greatest %.2f ms (8 x %llu reads), ratio to a 60 Hz frame %.2f\n",
      taken.median_ms, taken.greatest_ms, static_cast<unsigned long long>(reads),
      taken.median_ms / kFrameMs);
  return 0;
}
