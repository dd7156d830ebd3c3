// The settings file: Windows INI text (UTF-8), read and written in place. Reading re-reads the
// file, so edits made while the program runs are seen; writing one key rewrites only that key's
// line (or adds it) and keeps every other section, line, comment and line ending as it was.
//
// Only a regular file of at most kMaxSize bytes is read or written. Anything else at the path
// (a device such as /dev/zero, a FIFO, a folder, an oversized file) reads as an empty file and
// is never written, so a wrong path can neither hang nor exhaust the program nor be replaced.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "actions/TextCatalog.h"
#include "serial/OxaHost.h"

namespace oxa {

using TIniSection = std::vector<std::pair<std::string, std::string>>;

// INI text in memory: the rules of the settings file without the file.
class TIniText {
 public:
  explicit TIniText(std::string_view text);

  // All keys of `section` (compared without regard to ASCII case) with their values, both
  // trimmed, in text order. Lines starting with ';' or '#' are comments; a byte order mark
  // before a line is ignored.
  TIniSection ReadSection(std::string_view section) const;
  // The value of `key` in `section` (both compared without regard to ASCII case); nullopt when
  // the section or the key is missing.
  std::optional<std::string> ReadString(std::string_view section, std::string_view key) const;
  // Sets `key` in `section`: the key's first line in the section is replaced; a missing key is
  // added after the section's last non-blank line; a missing section is added at the end, after
  // a blank line.
  void WriteString(std::string_view section, std::string_view key, std::string_view value);
  // The whole text, every line ended as the first line of the original was ("\r\n" or "\n").
  std::string Text() const;

 private:
  std::vector<std::string> lines_;  // without their line endings
  bool crlf_ = false;
};

class TIniFile {
 public:
  // The largest settings file read: far beyond any real one, small enough to read at once.
  static constexpr size_t kMaxSize = size_t{1} << 20;

  // What lies at the path: a readable file; nothing (reads give defaults, the first write
  // creates the file); a file that cannot be read; something not a regular file, or a file
  // above kMaxSize (neither is ever read or written).
  using TState = TFileState;

  explicit TIniFile(std::string path) : path_(std::move(path)) {}

  const std::string& FileName() const { return path_; }
  // Looks at the path now.
  TState State() const;

  std::optional<std::string> ReadString(std::string_view section, std::string_view key) const;
  // ParseInteger of the value; a missing, empty or unparsable value gives `def`.
  int ReadInteger(std::string_view section, std::string_view key, int def) const;
  TIniSection ReadSection(std::string_view section) const;

  // Sets `key` in `section`, creating the file, section or key as needed, and saves the file
  // at once (UpdateSmallFile): the file is read again and replaced under its lock, so a key
  // another program (the window, fulctl) wrote meanwhile is kept. The new text goes to a
  // temporary file beside it that then replaces it, so a failed write (full disk) never leaves
  // a truncated settings file; the file keeps its permissions, and a symbolic link of this
  // user's keeps pointing at it (another user's link, or one in a folder others may write, is
  // refused). A writable file in a folder where no temporary file can be made is written in place,
  // its old text kept until the new one is whole. False, with the file untouched, when it cannot be
  // written: no write permission (a file without any write bit counts as read-only for the
  // superuser too), not a regular file, too large, its lock held by another program for seconds, or
  // a failed write.
  bool WriteString(std::string_view section, std::string_view key, std::string_view value);
  bool WriteInteger(std::string_view section, std::string_view key, int value) {
    return WriteString(section, key, std::to_string(value));
  }

  // A whole number in decimal, or hexadecimal after '$' or "0x"/"0X", optionally signed, with
  // blanks around it; nullopt for anything else or a value outside the 32-bit range.
  static std::optional<int> ParseInteger(std::string_view text);

 private:
  // The file's text when it is readable; nullopt otherwise (with the reason in `state`).
  std::optional<std::string> Load(TState* state = nullptr) const;

  std::string path_;
};

// "COM3" (any case, leading zeros allowed) gives 3; numbers 1..255 only.
std::optional<uint8_t> ParseComName(std::string_view name);
// "COM3=/dev/ttyUSB0" gives 3 and "/dev/ttyUSB0"; the text after '=' is kept as it stands,
// trimmed, and must not be empty.
std::optional<std::pair<uint8_t, std::string>> ParsePortAssignment(std::string_view text);
// The [Ports] section as ToxaComPort::SetDeviceMap takes it: each COMn key with a non-empty
// value maps n to the value's whole text (a later line for the same port wins). Other keys are
// ignored.
std::map<uint8_t, std::string> PortMap(const TIniSection& ports);
std::map<uint8_t, std::string> PortMap(const TIniFile& file);

// Why the window starts with its defaults and leaves the settings file alone; empty for a file
// it reads as usual (kReadable, kMissing, kUnreadable).
std::string SettingsRefusedText(TIniFile::TState state, std::string_view path,
                                TLanguage language = TLanguage::kRussian);

}  // namespace oxa
