#include "actions/IniFile.h"

#include <charconv>
#include <climits>

#include "serial/OxaHost.h"

namespace oxa {

namespace {

constexpr std::string_view kBlanks = " \t\n\v\f\r";
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

std::string_view TrimmedView(std::string_view s) {
  const size_t first = s.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(kBlanks) - first + 1);
}

// A line without its blanks, and without the byte order mark an editor may put before the
// first line.
std::string_view Trimmed(std::string_view line) {
  if (line.starts_with(kByteOrderMark)) line.remove_prefix(kByteOrderMark.size());
  return TrimmedView(line);
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// "[name]" with optional blanks around it gives name; other lines give nullopt.
std::optional<std::string_view> SectionName(std::string_view line) {
  const std::string_view t = Trimmed(line);
  if (t.size() < 2 || t.front() != '[' || t.back() != ']') return std::nullopt;
  return TrimmedView(t.substr(1, t.size() - 2));
}

// "key=value" gives key and value, both trimmed; comments and other lines give nullopt.
std::optional<std::pair<std::string_view, std::string_view>> KeyValue(std::string_view line) {
  const std::string_view t = Trimmed(line);
  if (t.empty() || t.front() == ';' || t.front() == '#' || t.front() == '[') return std::nullopt;
  const size_t eq = t.find('=');
  if (eq == 0 || eq == std::string_view::npos) return std::nullopt;
  return std::pair(TrimmedView(t.substr(0, eq)), TrimmedView(t.substr(eq + 1)));
}

}  // namespace

// ---- TIniText --------------------------------------------------------------------------------

TIniText::TIniText(std::string_view text) {
  // The file's own line ending style, as its first line has it.
  const size_t first_end = text.find('\n');
  crlf_ = first_end != std::string_view::npos && first_end > 0 && text[first_end - 1] == '\r';
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (line.ends_with('\r')) line.remove_suffix(1);
    lines_.emplace_back(line);
    // A final line ending leaves nothing behind: it ends the last line.
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
  }
}

TIniSection TIniText::ReadSection(std::string_view section) const {
  TIniSection result;
  bool inside = false;
  for (const std::string& line : lines_) {
    if (auto name = SectionName(line)) {
      inside = SameName(*name, section);
    } else if (inside) {
      if (auto kv = KeyValue(line)) result.emplace_back(kv->first, kv->second);
    }
  }
  return result;
}

std::optional<std::string> TIniText::ReadString(std::string_view section,
                                                std::string_view key) const {
  for (const auto& [k, v] : ReadSection(section)) {
    if (SameName(k, key)) return v;
  }
  return std::nullopt;
}

void TIniText::WriteString(std::string_view section, std::string_view key, std::string_view value) {
  std::string new_line = std::string(key) + '=' + std::string(value);
  size_t section_at = SIZE_MAX;
  size_t insert_at = 0;  // after the last non-blank line of the section
  for (size_t i = 0; i < lines_.size(); ++i) {
    if (auto name = SectionName(lines_[i])) {
      if (section_at != SIZE_MAX) break;  // the section ended without the key
      if (SameName(*name, section)) {
        section_at = i;
        insert_at = i + 1;
      }
      continue;
    }
    if (section_at == SIZE_MAX) continue;
    if (!TrimmedView(lines_[i]).empty()) insert_at = i + 1;
    if (auto kv = KeyValue(lines_[i]); kv && SameName(kv->first, key)) {
      lines_[i] = std::move(new_line);
      return;
    }
  }
  if (section_at != SIZE_MAX) {
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(insert_at), std::move(new_line));
    return;
  }
  if (!lines_.empty() && !TrimmedView(lines_.back()).empty()) lines_.emplace_back();
  lines_.push_back('[' + std::string(section) + ']');
  lines_.push_back(std::move(new_line));
}

std::string TIniText::Text() const {
  const std::string_view eol = crlf_ ? "\r\n" : "\n";
  std::string text;
  for (const std::string& line : lines_) {
    text += line;
    text += eol;
  }
  return text;
}

// ---- TIniFile --------------------------------------------------------------------------------

std::optional<std::string> TIniFile::Load(TState* state) const {
  std::string text;
  const TFileState s = ReadSmallFile(path_, kMaxSize, text);
  if (state != nullptr) *state = s;
  if (s != TFileState::kReadable) return std::nullopt;
  return text;
}

TIniFile::TState TIniFile::State() const {
  TState state = TState::kReadable;
  Load(&state);
  return state;
}

std::optional<std::string> TIniFile::ReadString(std::string_view section,
                                                std::string_view key) const {
  const auto text = Load();
  if (!text) return std::nullopt;
  return TIniText(*text).ReadString(section, key);
}

int TIniFile::ReadInteger(std::string_view section, std::string_view key, int def) const {
  const auto text = ReadString(section, key);
  if (!text) return def;
  return ParseInteger(*text).value_or(def);
}

TIniSection TIniFile::ReadSection(std::string_view section) const {
  const auto text = Load();
  if (!text) return {};
  return TIniText(*text).ReadSection(section);
}

bool TIniFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
  // Only a file that is read whole is rewritten: anything else would be lost or replaced. The
  // file is read again under its lock, so a key another program wrote meanwhile stays.
  return UpdateSmallFile(path_, kMaxSize, [&](std::string& text) {
    TIniText ini(text);
    ini.WriteString(section, key, value);
    text = ini.Text();
  });
}

std::optional<int> TIniFile::ParseInteger(std::string_view text) {
  std::string_view t = TrimmedView(text);
  bool negative = false;
  if (!t.empty() && (t.front() == '-' || t.front() == '+')) {
    negative = t.front() == '-';
    t.remove_prefix(1);
  }
  int base = 10;
  if (t.starts_with('$')) {
    base = 16;
    t.remove_prefix(1);
  } else if (t.starts_with("0x") || t.starts_with("0X")) {
    base = 16;
    t.remove_prefix(2);
  }
  if (t.empty()) return std::nullopt;
  uint64_t magnitude = 0;
  const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), magnitude, base);
  if (ec != std::errc() || end != t.data() + t.size()) return std::nullopt;
  if (magnitude > uint64_t{INT_MAX} + (negative ? 1 : 0)) return std::nullopt;
  const int64_t value =
      negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
  return static_cast<int>(value);
}

// ---- The [Ports] section ---------------------------------------------------------------------

std::optional<uint8_t> ParseComName(std::string_view name) {
  if (name.size() < 4 || !SameName(name.substr(0, 3), "COM")) return std::nullopt;
  const std::string_view digits = name.substr(3);
  unsigned number = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
  if (ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  if (number < 1 || number > 255) return std::nullopt;
  return static_cast<uint8_t>(number);
}

std::optional<std::pair<uint8_t, std::string>> ParsePortAssignment(std::string_view text) {
  const size_t eq = text.find('=');
  if (eq == std::string_view::npos) return std::nullopt;
  const auto number = ParseComName(TrimmedView(text.substr(0, eq)));
  const std::string_view value = TrimmedView(text.substr(eq + 1));
  if (!number || value.empty()) return std::nullopt;
  return std::pair(*number, std::string(value));
}

std::map<uint8_t, std::string> PortMap(const TIniSection& ports) {
  std::map<uint8_t, std::string> devices;
  for (const auto& [key, value] : ports) {
    const auto number = ParseComName(key);
    if (number && !value.empty()) devices[*number] = value;
  }
  return devices;
}

std::map<uint8_t, std::string> PortMap(const TIniFile& file) {
  return PortMap(file.ReadSection("Ports"));
}

std::string SettingsRefusedText(TIniFile::TState state, std::string_view path, TLanguage language) {
  const auto text = [language](TText id) { return std::string(Text(id, language)); };
  const std::string head = text(TText::kSettingsFile) + std::string(path);
  const std::string tail = text(TText::kSettingsLeftAlone);
  switch (state) {
    case TIniFile::TState::kNotRegular:
      return head + text(TText::kSettingsNotRegular) + tail;
    case TIniFile::TState::kTooLarge:
      return head + text(TText::kSettingsLargerThan) + std::to_string(TIniFile::kMaxSize / 1024) +
             text(TText::kKilobytes) + tail;
    default:
      return {};
  }
}

}  // namespace oxa
