// The window program for Windows: the command line, the form in a native Win32 window, and the
// window's message loop.
#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "win32/Win32Form.h"
#include "win32/Win32Text.h"
#include "window/FormDesign.h"
#include "window/WindowOptions.h"

namespace {

// What the program says about its command line goes where it was started from: the console
// of the command prompt, or the file or pipe its output goes to; where there is neither (a
// start from the desktop), into a box.
void Say(const std::string& text, bool error) {
  const DWORD stream = error ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE;
  HANDLE out = ::GetStdHandle(stream);
  if ((out == nullptr || out == INVALID_HANDLE_VALUE) && ::AttachConsole(ATTACH_PARENT_PROCESS)) {
    out = ::GetStdHandle(stream);
  }
  if (out != nullptr && out != INVALID_HANDLE_VALUE) {
    DWORD mode = 0;
    DWORD written = 0;
    if (::GetConsoleMode(out, &mode)) {
      const std::wstring wide = oxa::win32::Wide(text);
      ::WriteConsoleW(out, wide.data(), DWORD(wide.size()), &written, nullptr);
    } else {
      ::WriteFile(out, text.data(), DWORD(text.size()), &written, nullptr);
    }
    return;
  }
  ::MessageBoxW(nullptr, oxa::win32::Wide(text).c_str(),
                oxa::win32::Wide(oxa::kFormCaption).c_str(),
                MB_OK | (error ? MB_ICONERROR : MB_ICONINFORMATION));
}

// The command line as the C runtime split it for a wide entry point (the shell's splitter
// would load a large library at every start for this alone).
std::vector<std::string> Arguments() {
  std::vector<std::string> args;
  if (__wargv != nullptr) {
    for (int i = 0; i < __argc; ++i) args.push_back(oxa::win32::Utf8(__wargv[i]));
  }
  return args;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show_command) {
  const TCommandLine line = ParseCommandLine(Arguments());
  if (line.help) {
    Say(kCommandLineHelp, false);
    return 0;
  }
  std::string error = line.error;
  // No toolkit here takes options of its own: anything left is unknown.
  if (error.empty() && line.rest.size() > 1) error = "unknown option " + line.rest[1];
  if (!error.empty()) {
    Say("ful03test: " + error + " (see --help)\n", true);
    return 2;
  }
  oxa::win32::TWin32Form form(instance, oxa::win32::DefaultSettingsPath(), line.options);
  if (!form.Create()) return 1;
  form.Show(show_command);
  return form.Run();
}
