// The window programs' command line: ports mapped for one run, and the virtual device.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "actions/TextCatalog.h"

// What a run of the window takes from its command line; none of it is written to the settings
// file.
struct TWindowOptions {
  // --map COMn=PATH: the port's device for this run, over the settings file and the virtual
  // device.
  std::map<uint8_t, std::string> maps;
  // --virtual-device: a virtual FUL device served inside the program for this run, answering
  // on every port of the list.
  bool virtual_device = false;
  // --lang ru|en: the window's language for this run, over the settings file's.
  std::optional<oxa::TLanguage> language;
};

struct TCommandLine {
  TWindowOptions options;
  bool help = false;
  std::string error;  // a one-line reason when the command line is not understood
  // The program name and the arguments left for the toolkit (those with a single dash, such as
  // Qt's -platform offscreen, and their values); the toolkit takes its own, and anything it
  // leaves is unknown.
  std::vector<std::string> rest;
};

TCommandLine ParseCommandLine(const std::vector<std::string>& args);

extern const char* const kCommandLineHelp;
