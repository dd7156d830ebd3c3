// A settings file with nothing in it, for runs of fulctl that must map no COM number and touch
// no settings file of the user's: fulctl refuses a --settings file that is not there.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace oxa::testing {

inline const std::string& EmptySettingsFile() {
  struct TFile {
    TFile() {
      path = (std::filesystem::temp_directory_path() / "oxa_settings_XXXXXX.ini").string();
      const int fd = ::mkstemps(path.data(), 4);
      if (fd >= 0) ::close(fd);
    }
    ~TFile() { ::unlink(path.c_str()); }
    std::string path;
  };
  static const TFile file;
  return file.path;
}

}  // namespace oxa::testing
