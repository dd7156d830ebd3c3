// Figures of the Win32 window under Wine, printed for scripts/windows.sh:
//   - the time from the start of the program to its window painted with the ready message, and
//     its working set then, each as a ratio to a minimal Win32 window of the same size started
//     in the same run (the median of several starts of each);
//   - a register read (Button3, 10 registers, at 57600 bit/s against the virtual device): the
//     time from the click to the result in the data pane, taking turns with a plain program's
//     exchange on the same port (a blocking ReadFile loop: open, the same request, the answer
//     read until whole, close), and the time the bytes take on the wire.
//
//   OXA_WIN32_FORM      the window program, its settings file beside it written here
//   OXA_WIN32_MINIMAL   the minimal window program
//   OXA_WIN32_DEVICE_COM  the COM number of the virtual device, paced at 57600 baud
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "FormDriver.h"

namespace {

using oxa::win32::TFormDriver;

constexpr int kStarts = 7;
constexpr int kReads = 30;
constexpr uint32_t kBaud = 57600;
// Read 10 holding registers from 0 at address 1, and the answer's length: address, function,
// byte count, 20 bytes of data and the checksum.
constexpr uint8_t kRequest[] = {0x01, 0x03, 0x00, 0x00, 0x00, 0x0A, 0xC5, 0xCD};
constexpr DWORD kAnswerBytes = 25;

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

double MsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

// The plain program's exchange: the port opened for blocking I/O at 57600 8N1, reads that wait
// for the first byte and then return what has come, the request written and the answer read
// until whole, the port closed. `exchange_ms` gets the time of the request and answer alone.
bool PlainExchange(const std::wstring& port, double& exchange_ms) {
  const HANDLE handle = ::CreateFileW(port.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  ::GetCommState(handle, &dcb);
  dcb.BaudRate = kBaud;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fBinary = TRUE;
  COMMTIMEOUTS timeouts{MAXDWORD, MAXDWORD, 1000, 0, 0};
  bool ok = ::SetCommState(handle, &dcb) && ::SetCommTimeouts(handle, &timeouts);
  const auto start = std::chrono::steady_clock::now();
  DWORD written = 0;
  ok = ok && ::WriteFile(handle, kRequest, sizeof kRequest, &written, nullptr) &&
       written == sizeof kRequest;
  uint8_t answer[kAnswerBytes];
  DWORD got = 0;
  while (ok && got < kAnswerBytes) {
    DWORD n = 0;
    ok = ::ReadFile(handle, answer + got, kAnswerBytes - got, &n, nullptr) && n > 0;
    got += n;
  }
  exchange_ms = MsSince(start);
  ::CloseHandle(handle);
  return ok && answer[1] == 0x03;
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
  const std::wstring port = L"\\\\.\\COM" + oxa::win32::WideOf(com);
  std::vector<double> clicks;
  std::vector<double> plain;
  std::vector<double> plain_exchanges;
  for (int i = 0; i <= kReads; ++i) {
    auto start = std::chrono::steady_clock::now();
    const bool clicked = window.Click("Button3");
    const double click_ms = MsSince(start);
    if (!clicked || window.Lines("MDebug").front() != "OK") {
      std::fprintf(stderr, "win32_form_bench: the register read failed: %s\n",
                   window.Text("MDebug").c_str());
      return 1;
    }
    double exchange_ms = 0;
    start = std::chrono::steady_clock::now();
    if (!PlainExchange(port, exchange_ms)) {
      std::fprintf(stderr, "win32_form_bench: the plain exchange failed\n");
      return 1;
    }
    const double plain_ms = MsSince(start);
    if (i == 0) continue;  // the first of each warms up
    clicks.push_back(click_ms);
    plain.push_back(plain_ms);
    plain_exchanges.push_back(exchange_ms);
  }
  const double wire_ms = (sizeof kRequest + kAnswerBytes) * 10 * 1000.0 / kBaud;
  std::printf(
      "  register read (Button3, 10 registers, 57600 bit/s), median of %d taking turns:\n"
      "    click to result %.1f ms (fastest %.1f ms)\n"
      "    plain ReadFile loop: open, exchange, close %.1f ms; exchange alone %.2f ms\n"
      "    on the wire %.1f ms; click minus wire %.1f ms; click / plain %.2f\n",
      kReads, Median(clicks), *std::min_element(clicks.begin(), clicks.end()), Median(plain),
      Median(plain_exchanges), wire_ms, Median(clicks) - wire_ms, Median(clicks) / Median(plain));
  return 0;
}
