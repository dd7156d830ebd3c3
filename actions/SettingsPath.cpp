#include "actions/SettingsPath.h"

#include <filesystem>
#include <system_error>

#include "actions/IniFile.h"
#include "serial/OxaHost.h"

namespace oxa {

namespace {

namespace fs = std::filesystem;

constexpr const char* kFolderName = "ful03test";

// Paths travel as UTF-8 strings. A std::filesystem::path made from a plain string takes it in
// the system's narrow code page, which on Windows is not UTF-8: a folder with Cyrillic letters
// (a user name in %APPDATA%) would come back encoded twice. Through char8_t both ways it stays
// whole on every system.
fs::path PathOf(const std::string& utf8) {
  return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string TextOf(const fs::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

fs::path UserSettingsFolder() {
  return PathOf(UserConfigFolder()) / kFolderName;
}

bool UnderUsr(const fs::path& folder) {
  const fs::path normal = folder.lexically_normal();
  auto part = normal.begin();
  return part != normal.end() && *part == "/" && ++part != normal.end() && *part == "usr";
}

// Installed by the Windows installer: its uninstaller lies in the folder above the program's.
bool InstalledWithUninstaller(const fs::path& folder) {
  std::error_code ec;
  const fs::path normal = (folder / "").lexically_normal();
  return fs::is_regular_file(normal.parent_path().parent_path() / kUninstallerName, ec);
}

// Makes the user's settings file from the older one `beside` the program, when the user has
// none yet. A file beside that is no regular file within the size limit is left unread.
void AdoptOlderSettings(const fs::path& beside) {
  std::error_code ec;
  const std::string own = UserSettingsPath();
  if (fs::exists(PathOf(own), ec) || !fs::exists(beside, ec)) return;
  std::string text;
  if (ReadSmallFile(TextOf(beside), TIniFile::kMaxSize, text) != TFileState::kReadable) return;
  MakeSettingsFolder(own);
  ReplaceSmallFile(own, text, false);
}

}  // namespace

std::string UserSettingsPath() {
  return TextOf(UserSettingsFolder() / kSettingsFileName);
}

std::string SettingsPath(const std::string& program_folder) {
  const fs::path folder = PathOf(program_folder);
  const fs::path beside = folder / kSettingsFileName;
  if (InstalledWithUninstaller(folder)) {
    AdoptOlderSettings(beside);
    return UserSettingsPath();
  }
  std::error_code ec;
  if (!UnderUsr(folder) && (fs::exists(beside, ec) || FolderWritable(program_folder))) {
    return TextOf(beside);
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
  MakePrivateFolder(TextOf(UserSettingsFolder()));
}

}  // namespace oxa
