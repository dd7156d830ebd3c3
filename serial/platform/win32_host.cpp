// The host services of Windows.
#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <ctime>

#include "serial/OxaHost.h"

namespace oxa {

namespace {

UINT g_console_output_cp = 0;  // the console's own output code page, put back at exit

void RestoreConsoleOutputCp() {
  if (g_console_output_cp != 0) ::SetConsoleOutputCP(g_console_output_cp);
}

}  // namespace

std::tm LocalTimeNow() {
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm local{};
  ::localtime_s(&local, &now);
  return local;
}

bool UseUtf8Console() {
  const UINT current = ::GetConsoleOutputCP();
  if (current == 0) return false;  // no console
  if (current == CP_UTF8) return true;
  if (!::SetConsoleOutputCP(CP_UTF8)) return false;
  // The code page belongs to the console window, which outlives the program (cmd.exe runs on
  // in it): the one it had comes back at exit.
  if (g_console_output_cp == 0) {
    g_console_output_cp = current;
    std::atexit(RestoreConsoleOutputCp);
  }
  return true;
}

}  // namespace oxa
