#include "window/WindowOptions.h"

#include "actions/IniFile.h"

const char* const kCommandLineHelp = R"(Usage: ful03test [options]

The FUL 05.03 Modbus test window. Its settings file, ful03test.ini, lies beside the
program when it is there or the program's folder is writable, otherwise in
$XDG_CONFIG_HOME/ful03test/ (by default ~/.config/ful03test/); fulctl reads the same file.

Options:
  --map COMn=PATH    open PATH as port COMn for this run (repeatable), over the settings
                     file's [Ports] section and the virtual device; PATH is taken as the
                     settings file would have it
  --virtual-device   serve a virtual FUL device inside the program for this run and make
                     every port of the list lead to it; the window then starts at the
                     device's address (the stored network address, or 1 for none or 0)
  --lang ru|en       the window's language for this run: Russian (the default) or English;
                     the status line's context menu (the system menu on Windows) switches it
                     and keeps the choice in the settings file ([Window] Language=en)
  -h, --help         this text

Nothing given here is written to the settings file.
)";

TCommandLine ParseCommandLine(const std::vector<std::string>& args) {
  TCommandLine line;
  if (!args.empty()) line.rest.push_back(args[0]);
  bool qt_value = false;  // the argument may be the value of a Qt option before it
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const bool qt_option_value = qt_value;
    qt_value = false;
    if (arg == "--help" || arg == "-h") {
      line.help = true;
    } else if (arg == "--virtual-device") {
      line.options.virtual_device = true;
    } else if (arg == "--map" || arg.starts_with("--map=")) {
      std::string value;
      if (arg == "--map") {
        if (i + 1 >= args.size()) {
          line.error = "--map needs a value such as COM1=/dev/ttyUSB0";
          return line;
        }
        value = args[++i];
      } else {
        value = arg.substr(6);
      }
      const auto mapping = oxa::ParsePortAssignment(value);
      if (!mapping) {
        line.error = "--map " + value + ": expected COMn=PATH with n from 1 to 255";
        return line;
      }
      line.options.maps[mapping->first] = mapping->second;
    } else if (arg == "--lang" || arg.starts_with("--lang=")) {
      if (arg == "--lang" && i + 1 >= args.size()) {
        line.error = "--lang needs a value: ru or en";
        return line;
      }
      const std::string value = arg == "--lang" ? args[++i] : arg.substr(7);
      line.options.language = oxa::ParseLanguage(value);
      if (!line.options.language) {
        line.error = "--lang " + value + ": expected ru or en";
        return line;
      }
    } else if (arg.starts_with("--")) {
      line.error = "unknown option " + arg;
      return line;
    } else if (arg.starts_with("-") && arg.size() > 1) {
      line.rest.push_back(arg);
      qt_value = true;
    } else if (qt_option_value) {
      line.rest.push_back(arg);
    } else {
      line.error = "unexpected argument " + arg;
      return line;
    }
  }
  return line;
}
