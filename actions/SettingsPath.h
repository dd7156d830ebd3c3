// Where the settings file lies. The window and fulctl share one file, ful03test.ini, whichever
// of them reads it: beside the program while the program's folder is writable (a copy carried
// on a stick, the build tree) or already holds one (a shared installation set up with its
// own), otherwise in the user's configuration folder, as an installed program keeps its
// settings.
#pragma once

#include <string>

namespace oxa {

// The settings file's name.
inline constexpr const char* kSettingsFileName = "ful03test.ini";

// The settings file in the user's configuration folder: $XDG_CONFIG_HOME/ful03test/ful03test.ini,
// with ~/.config for XDG_CONFIG_HOME when it is unset, empty or not an absolute path (the home
// folder is $HOME, or the user's entry in the password database when HOME is not absolute).
std::string UserSettingsPath();

// The uninstaller the Windows installer puts in the installation's folder, the one above the
// programs' bin folder. The portable zip has none: a program that finds it is installed.
inline constexpr const char* kUninstallerName = "Uninstall.exe";

// The settings file of a program that lies in `program_folder` (with or without a trailing
// '/'): beside the program when that file exists or this user may write to that folder,
// otherwise UserSettingsPath(). A folder without any write bit counts as read-only for the
// superuser too. An installed program always uses UserSettingsPath(): one under /usr, and one
// the Windows installer put there (kUninstallerName lies in the folder above), also when that
// folder is writable. Such an installed program that finds no settings file of its own yet but
// an older one beside itself (from before it kept them in the user's folder) makes its own file
// from that one's contents, once; the older file stays as it is.
std::string SettingsPath(const std::string& program_folder);

// Why the settings file a user names on purpose (fulctl --settings FILE) cannot serve, as a
// short English phrase: "no such file", "not a regular file (a folder, FIFO or device)",
// "larger than 1024 KiB", "cannot be read"; "" for a settings file that is read as usual. The
// file a program finds by itself may be missing (it starts with the defaults); a file named on
// purpose that is not there is a mistyped name, and one that cannot be read would be ignored
// without a word.
std::string NamedSettingsProblem(const std::string& path);

// Makes the folder of UserSettingsPath() when `settings_path` is that file and its folder is
// missing (new folders private to the user), so that the first write can create the file. Any
// other path is left alone: a settings file named in a missing folder stays unwritable.
void MakeSettingsFolder(const std::string& settings_path);

}  // namespace oxa
