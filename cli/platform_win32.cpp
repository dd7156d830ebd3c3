// fulctl's system side on Windows: Ctrl+C through a console control handler that ends a pause
// at once by setting an event.
#include <io.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <string>

#include "cli/Platform.h"
#include "serial/OxaHost.h"

namespace oxa::cli {

namespace {

std::atomic<bool> g_interrupted{false};
HANDLE g_interrupt_event = nullptr;

BOOL WINAPI OnConsoleControl(DWORD type) {
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT) {
    return FALSE;
  }
  g_interrupted = true;
  if (g_interrupt_event != nullptr) ::SetEvent(g_interrupt_event);
  return TRUE;
}

}  // namespace

void PrepareConsole() {
  UseUtf8Console();
}

void CatchInterrupt() {
  if (g_interrupt_event == nullptr) g_interrupt_event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

bool Interrupted() {
  return g_interrupted;
}

void PauseMs(uint32_t ms) {
  if (Interrupted()) return;
  if (g_interrupt_event != nullptr) {
    ::WaitForSingleObject(g_interrupt_event, ms);
  } else {
    ::Sleep(ms);
  }
}

bool IsTerminal(std::FILE* stream) {
  return ::_isatty(::_fileno(stream)) != 0;
}

std::string ProgramFolder(const char* argv0) {
  wchar_t path[MAX_PATH];
  const DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::filesystem::path exe = n > 0 && n < MAX_PATH ? std::filesystem::path(path)
                                                     : std::filesystem::path(argv0);
  const std::u8string folder = exe.parent_path().u8string();
  return std::string(folder.begin(), folder.end()) + "\\";
}

}  // namespace oxa::cli
