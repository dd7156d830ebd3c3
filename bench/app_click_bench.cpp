// Click-to-result times of the window's register read (Button3, 10 registers) and archive
// block read (Button5) at 57600 baud, against the virtual device twice: on a pseudo-terminal
// mapped as COM1 (fulsim's server, which passes the request at once and paces its answer), and
// served by the window itself in memory (--virtual-device, which does the same). The wire time
// is what the request and the answer take on a real line at that speed (10 bits a byte); the
// targets are 1.3 × wire time + 10 ms, and the wire time + 0.3 ms. Each click comes from an
// idle window that has painted the click before. Last, Button3's click to result with the
// exchange log recording and without, taking turns in one run, and their ratio.
#include <QApplication>
#include <QFile>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "app/zeb_id_main.h"
#include "sim/PtyDevice.h"

namespace {

constexpr uint32_t kBaud = 57600;
constexpr int kRuns = 40;

double WireMs(int bytes) {
  return bytes * 10.0 * 1000.0 / kBaud;
}

struct Figures {
  double median_result;  // click to the data pane showing the answer
  double max_result;
  double median_done;  // click to the handler's end (port closed, buttons enabled)
};

// `samples`, when given, takes every click-to-result time.
Figures Measure(TIDMainFrm& w, QPushButton* button, std::vector<double>* samples = nullptr) {
  using Clock = std::chrono::steady_clock;
  auto* pane = w.findChild<QPlainTextEdit*>("MDebug");
  Clock::time_point shown;
  auto connection =
      QObject::connect(pane, &QPlainTextEdit::textChanged, [&] { shown = Clock::now(); });
  std::vector<double> result, done;
  for (int i = 0; i < kRuns; ++i) {
    // As a user's click comes: from the event loop, with the last result on screen.
    QCoreApplication::processEvents();
    const auto start = Clock::now();
    button->click();
    const auto end = Clock::now();
    if (!pane->toPlainText().startsWith("OK")) {
      std::fprintf(stderr, "app_click_bench: %s failed:\n%s\n", qPrintable(button->objectName()),
                   qPrintable(pane->toPlainText()));
      std::exit(1);
    }
    result.push_back(std::chrono::duration<double, std::milli>(shown - start).count());
    done.push_back(std::chrono::duration<double, std::milli>(end - start).count());
  }
  QObject::disconnect(connection);
  if (samples != nullptr) samples->insert(samples->end(), result.begin(), result.end());
  std::sort(result.begin(), result.end());
  std::sort(done.begin(), done.end());
  return {result[result.size() / 2], result.back(), done[done.size() / 2]};
}

void Report(const char* what, int request, int answer, const Figures& f) {
  const double wire = WireMs(request + answer);
  const double target = 1.3 * wire + 10.0;
  std::printf(
      "%-24s wire %6.2f ms (%d + %d bytes; answer alone %5.2f ms)  click to result: median %6.2f "
      "ms, max %6.2f ms"
      "  (to buttons enabled %6.2f ms)  target %6.2f ms  %s; wire + 0.3 ms %s\n",
      what, wire, request, answer, WireMs(answer), f.median_result, f.max_result, f.median_done,
      target, f.median_result <= target ? "met" : "MISSED",
      f.median_result <= wire + 0.3 ? "met" : "MISSED");
}

void MeasureBoth(TIDMainFrm& w) {
  w.show();
  w.findChild<QSpinBox*>("UDNumReg")->setValue(10);
  w.findChild<QSpinBox*>("UDArc")->setValue(100);
  // Button3: 8-byte request; answer address, function, count, 20 data bytes, CRC.
  Report("Button3 (10 registers)", 8, 5 + 20, Measure(w, w.findChild<QPushButton*>("Button3")));
  // Button5: 8-byte request; answer address, function, 128 data bytes, ... CRC: 133 bytes.
  Report("Button5 (archive block)", 8, 133, Measure(w, w.findChild<QPushButton*>("Button5")));
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

// Button3's click to result with the exchange log recording and without, taking turns.
void CompareLog(TIDMainFrm& w) {
  auto* button = w.findChild<QPushButton*>("Button3");
  std::vector<double> with, without;
  constexpr int kPasses = 6;
  for (int pass = 0; pass < kPasses; ++pass) {
    for (int turn = 0; turn < 2; ++turn) {
      const bool logged = (pass + turn) % 2 == 0;
      w.Model().SetLogRecording(logged);
      Measure(w, button, logged ? &with : &without);
    }
  }
  w.Model().SetLogRecording(true);
  std::printf(
      "Button3 with the exchange log recording: median %.3f ms; without: median %.3f ms "
      "(%zu clicks each)\nclick-to-result ratio with/without log %.3f\n",
      Median(with), Median(without), with.size(), Median(with) / Median(without));
}

}  // namespace

int main(int argc, char* argv[]) {
  qputenv("QT_QPA_PLATFORM",
          qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
  QApplication app(argc, argv);

  oxa::sim::TPtyOptions options;
  options.baud = kBaud;
  oxa::sim::TPtyDevice device(options);
  if (!device.Start()) {
    std::fprintf(stderr, "app_click_bench: %s\n", device.LastError().c_str());
    return 1;
  }
  QTemporaryDir dir;
  const QString ini = dir.filePath("ful03test.ini");
  QFile f(ini);
  if (!f.open(QIODevice::WriteOnly)) return 1;
  f.write("[Signature]\nPort=1\nBaud=2\nNetAddr=1\n[Ports]\nCOM1=" +
          QByteArray::fromStdString(device.DevicePath()) + "\n");
  f.close();

  std::printf(
      "window against the virtual device at %u baud, %d clicks each; the device paces "
      "its\nanswers, the request reaches it at once\n",
      kBaud, kRuns);
  {
    std::printf("on a pseudo-terminal mapped as COM1:\n");
    TIDMainFrm w(ini);
    MeasureBoth(w);
  }
  {
    std::printf("served by the window in memory (--virtual-device):\n");
    TWindowOptions options;
    options.virtual_device = true;
    TIDMainFrm w(ini, options);
    MeasureBoth(w);
  }
  {
    std::printf("the exchange log's cost, on the pseudo-terminal:\n");
    TIDMainFrm w(ini);
    w.show();
    w.findChild<QSpinBox*>("UDNumReg")->setValue(10);
    CompareLog(w);
  }
  return 0;
}
