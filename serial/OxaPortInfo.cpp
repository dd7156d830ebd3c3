#include "serial/OxaPortInfo.h"

#include <charconv>

#include "serial/OxaUtils.h"

namespace oxa {

std::string PortInfoText(const TPortInfo& info) {
  std::string text;
  const auto add = [&text](const std::string& part) {
    if (part.empty()) return;
    if (!text.empty()) text += ", ";
    text += part;
  };
  add(info.driver);
  if (!info.usb_id.empty()) {
    std::string usb = "USB " + info.usb_id;
    if (!info.manufacturer.empty()) usb += " " + info.manufacturer;
    if (!info.product.empty()) usb += " " + info.product;
    add(usb);
  }
  if (!info.serial_number.empty()) add("serial " + info.serial_number);
  add(info.by_id);
  return VisibleText(text);
}

namespace {

// The blank-separated fields of a line.
std::vector<std::string_view> Fields(std::string_view line) {
  std::vector<std::string_view> fields;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    const size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    if (i > start) fields.push_back(line.substr(start, i - start));
  }
  return fields;
}

// The whole of `text` as a number in `base`.
template <typename T>
bool Number(std::string_view text, T& value, int base = 10) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  return !text.empty() && ec == std::errc() && end == text.data() + text.size();
}

}  // namespace

int ExclusiveLockHolder(std::string_view proc_locks, uint32_t dev_major, uint32_t dev_minor,
                        uint64_t inode) {
  // "1: FLOCK  ADVISORY  WRITE 4242 00:05:1234 0 EOF": number, class, kind, access, process,
  // major:minor:inode (hexadecimal, hexadecimal, decimal) of the file, range.
  while (!proc_locks.empty()) {
    const size_t end = proc_locks.find('\n');
    const std::vector<std::string_view> f = Fields(proc_locks.substr(0, end));
    proc_locks.remove_prefix(end == std::string_view::npos ? proc_locks.size() : end + 1);
    if (f.size() < 6 || !f[0].ends_with(':') || f[1] == "->") continue;
    if (f[1] != "FLOCK" && f[1] != "POSIX" && f[1] != "OFDLCK") continue;
    if (f[3] != "WRITE") continue;
    int pid = 0;
    if (!Number(f[4], pid) || pid <= 0) continue;
    const std::string_view file = f[5];
    const size_t first = file.find(':');
    const size_t second = file.find(':', first == std::string_view::npos ? first : first + 1);
    if (second == std::string_view::npos) continue;
    uint32_t major = 0;
    uint32_t minor = 0;
    uint64_t number = 0;
    if (Number(file.substr(0, first), major, 16) && major == dev_major &&
        Number(file.substr(first + 1, second - first - 1), minor, 16) && minor == dev_minor &&
        Number(file.substr(second + 1), number) && number == inode) {
      return pid;
    }
  }
  return 0;
}

}  // namespace oxa
