#include "actions/SettingsPath.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

namespace oxa {

namespace {

namespace fs = std::filesystem;

constexpr const char* kFolderName = "ful03test";

// The value of an environment variable when it is an absolute path.
const char* AbsoluteFromEnvironment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] == '/' ? value : nullptr;
}

std::string HomeFolder() {
  if (const char* home = AbsoluteFromEnvironment("HOME")) return home;
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? size_t(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
      found != nullptr && found->pw_dir != nullptr && found->pw_dir[0] == '/') {
    return found->pw_dir;
  }
  return "/";
}

fs::path UserSettingsFolder() {
  if (const char* config = AbsoluteFromEnvironment("XDG_CONFIG_HOME")) {
    return fs::path(config) / kFolderName;
  }
  return fs::path(HomeFolder()) / ".config" / kFolderName;
}

bool UnderUsr(const fs::path& folder) {
  const fs::path normal = folder.lexically_normal();
  auto part = normal.begin();
  return part != normal.end() && *part == "/" && ++part != normal.end() && *part == "usr";
}

// This user may create files in `folder`, and the folder has a write bit for someone (which
// the superuser needs too).
bool WritableFolder(const fs::path& folder) {
  struct stat st {};
  return ::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & 0222) != 0 &&
         ::access(folder.c_str(), W_OK | X_OK) == 0;
}

}  // namespace

std::string UserSettingsPath() {
  return (UserSettingsFolder() / kSettingsFileName).string();
}

std::string SettingsPath(const std::string& program_folder) {
  const fs::path folder(program_folder);
  const fs::path beside = folder / kSettingsFileName;
  std::error_code ec;
  if (!UnderUsr(folder) && (fs::exists(beside, ec) || WritableFolder(folder))) {
    return beside.string();
  }
  return UserSettingsPath();
}

void MakeSettingsFolder(const std::string& settings_path) {
  if (settings_path != UserSettingsPath()) return;
  // Each missing folder on the way is made private to the user (mode 0700), as the user's
  // configuration folder should be.
  fs::path made;
  for (const fs::path& part : UserSettingsFolder()) {
    made /= part;
    if (::mkdir(made.c_str(), 0700) != 0 && errno != EEXIST) return;
  }
}

}  // namespace oxa
