// Figures of the Win32 window under Wine, printed for scripts/windows.sh:
//   - the time from the start of the program to its window painted with the ready message, and
//     its working set then, each as a ratio to a minimal Win32 window of the same size started
//     in the same run (the median of several starts of each);
//   - a register read (Button3, 10 registers, at 57600 bit/s against the virtual device): the
//     time from the click to the result in the data pane.
//
//   OXA_WIN32_FORM      the window program, its settings file beside it written here
//   OXA_WIN32_MINIMAL   the minimal window program
//   OXA_WIN32_DEVICE_COM  the COM number of the virtual device, paced at 57600 baud
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "FormDriver.h"

namespace {

using oxa::win32::TFormDriver;

constexpr int kStarts = 7;
constexpr int kReads = 20;

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

struct TStartFigures {
  std::vector<double> ms;
  std::vector<double> bytes;
};

// One start of a program: the time to its painted window, and its working set then.
bool MeasureStart(const std::wstring& program, const wchar_t* window_class,
                  const std::string& ready, TStartFigures& figures) {
  TFormDriver form;
  if (!form.Start(program, L"", window_class)) return false;
  if (!ready.empty() && form.Text("LStatus").rfind(ready, 0) != 0) return false;
  figures.ms.push_back(form.StartMs());
  figures.bytes.push_back(double(form.WorkingSet()));
  return true;
}

bool WriteSettings(const std::wstring& program, const std::string& text) {
  const std::wstring path = program.substr(0, program.find_last_of(L"\\/") + 1) + L"ful03test.ini";
  const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool whole = ::WriteFile(file, text.data(), DWORD(text.size()), &written, nullptr) &&
                     written == text.size();
  return ::CloseHandle(file) && whole;
}

}  // namespace

int main() {
  const std::wstring form_program = oxa::win32::WideOf(oxa::win32::Environment("OXA_WIN32_FORM"));
  const std::wstring minimal = oxa::win32::WideOf(oxa::win32::Environment("OXA_WIN32_MINIMAL"));
  const std::string com = oxa::win32::Environment("OXA_WIN32_DEVICE_COM");
  if (form_program.empty() || minimal.empty() || com.empty()) {
    std::fprintf(stderr,
                 "win32_form_bench: set OXA_WIN32_FORM, OXA_WIN32_MINIMAL and "
                 "OXA_WIN32_DEVICE_COM\n");
    return 2;
  }
  if (!WriteSettings(form_program, "[Signature]\r\nPort=" + com + "\r\nBaud=2\r\nNetAddr=1\r\n")) {
    std::fprintf(stderr, "win32_form_bench: cannot write the settings file\n");
    return 1;
  }

  // The two programs start in turn, so that whatever else the machine does weighs on both
  // alike; a first start of each warms the system's caches and is not counted.
  TStartFigures base;
  TStartFigures form;
  for (int i = 0; i <= kStarts; ++i) {
    if (!MeasureStart(minimal, L"OxaMinimalWindow", "", base) ||
        !MeasureStart(form_program, nullptr, "Готов к работе:", form)) {
      std::fprintf(stderr, "win32_form_bench: a window did not come up\n");
      return 1;
    }
    if (i == 0) base = form = {};
  }
  const double form_ms = Median(form.ms);
  const double base_ms = Median(base.ms);
  const double form_bytes = Median(form.bytes);
  const double base_bytes = Median(base.bytes);
  std::printf("Win32 window under Wine, median of %d starts (minimal window of the same size):\n",
              kStarts);
  std::printf("  start to painted ready message: %.0f ms (minimal %.0f ms), ratio %.2f\n", form_ms,
              base_ms, form_ms / base_ms);
  std::printf("  working set: %.1f MB (minimal %.1f MB), ratio %.2f\n", form_bytes / 1048576.0,
              base_bytes / 1048576.0, form_bytes / base_bytes);

  TFormDriver window;
  if (!window.Start(form_program)) {
    std::fprintf(stderr, "win32_form_bench: the window did not come up\n");
    return 1;
  }
  window.SetText("Edit3", "10");
  std::vector<double> reads;
  for (int i = 0; i <= kReads; ++i) {
    const auto start = std::chrono::steady_clock::now();
    const bool clicked = window.Click("Button3");
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    if (!clicked || window.Lines("MDebug").front() != "OK") {
      std::fprintf(stderr, "win32_form_bench: the register read failed: %s\n",
                   window.Text("MDebug").c_str());
      return 1;
    }
    if (i > 0) reads.push_back(ms);  // the first one warms up
  }
  std::printf(
      "  register read (Button3, 10 registers, 57600 bit/s): click to result %.1f ms "
      "(median of %d, fastest %.1f ms)\n",
      Median(reads), kReads, *std::min_element(reads.begin(), reads.end()));
  return 0;
}
