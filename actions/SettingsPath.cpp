#include "actions/SettingsPath.h"

#include <filesystem>
#include <system_error>

#include "actions/IniFile.h"
#include "serial/OxaHost.h"

namespace oxa {

namespace {

namespace fs = std::filesystem;

constexpr const char* kFolderName = "ful03test";

fs::path UserSettingsFolder() {
  return fs::path(UserConfigFolder()) / kFolderName;
}

bool UnderUsr(const fs::path& folder) {
  const fs::path normal = folder.lexically_normal();
  auto part = normal.begin();
  return part != normal.end() && *part == "/" && ++part != normal.end() && *part == "usr";
}

}  // namespace

std::string UserSettingsPath() {
  return (UserSettingsFolder() / kSettingsFileName).string();
}

std::string SettingsPath(const std::string& program_folder) {
  const fs::path folder(program_folder);
  const fs::path beside = folder / kSettingsFileName;
  std::error_code ec;
  if (!UnderUsr(folder) && (fs::exists(beside, ec) || FolderWritable(folder.string()))) {
    return beside.string();
  }
  return UserSettingsPath();
}

std::string NamedSettingsProblem(const std::string& path) {
  switch (TIniFile(path).State()) {
    case TFileState::kReadable:
      return {};
    case TFileState::kMissing:
      return "no such file";
    case TFileState::kUnreadable:
      return "cannot be read";
    case TFileState::kNotRegular:
      return "not a regular file (a folder, FIFO or device)";
    case TFileState::kTooLarge:
      return "larger than " + std::to_string(TIniFile::kMaxSize / 1024) + " KiB";
  }
  return "cannot be read";
}

void MakeSettingsFolder(const std::string& settings_path) {
  if (settings_path != UserSettingsPath()) return;
  // The folders on the way are made private to the user, as a configuration folder should be.
  MakePrivateFolder(UserSettingsFolder().string());
}

}  // namespace oxa
