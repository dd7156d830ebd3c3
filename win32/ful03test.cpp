// The window program for Windows: the command line, the form in a native Win32 window, and the
// window's message loop.
#include <windows.h>
// After windows.h, on which it builds.
#include <shellapi.h>

#include <string>
#include <vector>

#include "win32/Win32Form.h"
#include "win32/Win32Text.h"
#include "window/FormDesign.h"
#include "window/WindowOptions.h"

namespace {

// A program without a console says what it has to say about its command line in a box.
void Say(const std::string& text, UINT icon) {
  ::MessageBoxW(nullptr, oxa::win32::Wide(text).c_str(),
                oxa::win32::Wide(oxa::kFormCaption).c_str(), MB_OK | icon);
}

std::vector<std::string> Arguments() {
  std::vector<std::string> args;
  int count = 0;
  if (wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &count)) {
    for (int i = 0; i < count; ++i) args.push_back(oxa::win32::Utf8(argv[i]));
    ::LocalFree(argv);
  }
  return args;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show_command) {
  const TCommandLine line = ParseCommandLine(Arguments());
  if (line.help) {
    Say(kCommandLineHelp, MB_ICONINFORMATION);
    return 0;
  }
  std::string error = line.error;
  // No toolkit here takes options of its own: anything left is unknown.
  if (error.empty() && line.rest.size() > 1) error = "unknown option " + line.rest[1];
  if (!error.empty()) {
    Say("ful03test: " + error + " (see --help)", MB_ICONERROR);
    return 2;
  }
  oxa::win32::TWin32Form form(instance, oxa::win32::DefaultSettingsPath(), line.options);
  if (!form.Create()) return 1;
  form.Show(show_command);
  return form.Run();
}
