#include "sim/SimConfig.h"

#include <bit>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <vector>

#include "serial/OxaHost.h"

namespace oxa::sim {
namespace {

std::string_view Trim(std::string_view s) {
  const auto first = s.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  const auto last = s.find_last_not_of(" \t\r");
  return s.substr(first, last - first + 1);
}

// An unsigned number, decimal or 0x hex, no larger than `max`.
bool ParseUnsigned(std::string_view s, uint64_t max, uint64_t& value) {
  int base = 10;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    s.remove_prefix(2);
    base = 16;
  }
  if (s.empty()) return false;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value, base);
  return ec == std::errc() && end == s.data() + s.size() && value <= max;
}

bool ParseFloat(std::string_view s, float& value) {
  const std::string text(s);
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  value = std::strtof(text.c_str(), &end);
  return end == text.c_str() + text.size() && errno == 0;
}

// A typed 32-bit value: float:<number> or u32:<number>, most significant byte first.
bool ParseTyped(std::string_view s, uint32_t& bits, bool& typed) {
  typed = true;
  if (s.starts_with("float:")) {
    float f = 0;
    if (!ParseFloat(Trim(s.substr(6)), f)) return false;
    bits = std::bit_cast<uint32_t>(f);
    return true;
  }
  if (s.starts_with("u32:")) {
    uint64_t v = 0;
    if (!ParseUnsigned(Trim(s.substr(4)), 0xFFFFFFFF, v)) return false;
    bits = static_cast<uint32_t>(v);
    return true;
  }
  typed = false;
  return true;
}

// Bytes as hexadecimal pairs separated by blanks ("DE 2A 00"), or a typed 32-bit value.
bool ParseBytes(std::string_view s, std::vector<uint8_t>& bytes) {
  uint32_t bits = 0;
  bool typed = false;
  if (!ParseTyped(s, bits, typed)) return false;
  if (typed) {
    bytes = {static_cast<uint8_t>(bits >> 24), static_cast<uint8_t>(bits >> 16),
             static_cast<uint8_t>(bits >> 8), static_cast<uint8_t>(bits)};
    return true;
  }
  bytes.clear();
  std::istringstream in{std::string(s)};
  std::string pair;
  while (in >> pair) {
    uint8_t b = 0;
    const auto [end, ec] = std::from_chars(pair.data(), pair.data() + pair.size(), b, 16);
    if (ec != std::errc() || end != pair.data() + pair.size() || pair.size() > 2) return false;
    bytes.push_back(b);
  }
  return !bytes.empty();
}

}  // namespace

bool LoadConfig(std::string_view text, TFulDevice& device, std::string& error) {
  std::string section;
  size_t line_no = 0;
  while (!text.empty()) {
    const auto eol = text.find('\n');
    std::string_view line = text.substr(0, eol);
    text = eol == std::string_view::npos ? std::string_view{} : text.substr(eol + 1);
    ++line_no;
    const auto fail = [&](const std::string& why) {
      error = "line " + std::to_string(line_no) + ": " + why;
      return false;
    };
    line = Trim(line);
    if (line.empty() || line.front() == ';' || line.front() == '#') continue;
    if (line.front() == '[') {
      if (line.back() != ']') return fail("unclosed section name");
      section = std::string(Trim(line.substr(1, line.size() - 2)));
      if (section != "modbus" && section != "registers" && section != "10x" &&
          section != "memory" && section != "ram") {
        return fail("unknown section [" + section + "]");
      }
      continue;
    }
    const auto eq = line.find('=');
    if (eq == std::string_view::npos) return fail("expected key = value");
    const std::string_view key = Trim(line.substr(0, eq));
    const std::string_view value = Trim(line.substr(eq + 1));
    if (section == "modbus" || section == "10x") {
      if (key == "identification") {
        if (section == "modbus") {
          device.SetModbusIdentification(std::string(value));
        } else {
          device.Set10xIdentification(std::string(value));
        }
      } else if (key == "soft_version" && section == "10x") {
        device.Set10xSoftVersion(std::string(value));
      } else {
        return fail("unknown key " + std::string(key));
      }
      continue;
    }
    if (section.empty()) return fail("key outside a section");
    uint64_t address = 0;
    const uint64_t max_address = section == "registers" ? 0xFFFF
                                 : section == "memory"  ? kMemorySize - 1
                                                        : kRamSize - 1;
    if (!ParseUnsigned(key, max_address, address)) return fail("bad address " + std::string(key));
    if (section == "registers") {
      uint32_t bits = 0;
      bool typed = false;
      if (!ParseTyped(value, bits, typed)) return fail("bad value " + std::string(value));
      const auto reg = static_cast<uint16_t>(address);
      if (typed) {
        if (reg == 0xFFFF) return fail("a 32-bit value needs two registers");
        device.SetRegisterU32(reg, bits);
        continue;
      }
      uint64_t v = 0;
      if (!ParseUnsigned(value, 0xFFFF, v)) return fail("bad register value " + std::string(value));
      device.SetHoldingRegister(reg, static_cast<uint16_t>(v));
      continue;
    }
    std::vector<uint8_t> bytes;
    if (!ParseBytes(value, bytes)) return fail("bad bytes " + std::string(value));
    if (address + bytes.size() > max_address + 1) return fail("bytes run past the end of the area");
    if (section == "memory") {
      device.SetMemory(static_cast<uint16_t>(address), bytes);
    } else {
      device.SetRam(static_cast<uint16_t>(address), bytes);
    }
  }
  return true;
}

bool LoadConfigFile(const std::string& path, TFulDevice& device, std::string& error) {
  // A contents file is a few kilobytes; all registers and memory written out stay below this.
  constexpr size_t kMaxSize = size_t{1} << 20;
  std::string text;
  switch (ReadSmallFile(path, kMaxSize, text)) {
    case TFileState::kReadable:
      return LoadConfig(text, device, error);
    case TFileState::kMissing:
      error = "no such file";
      return false;
    case TFileState::kUnreadable:
      error = "cannot be read";
      return false;
    case TFileState::kNotRegular:
      error = "not a regular file (a folder, FIFO or device)";
      return false;
    case TFileState::kTooLarge:
      error = "larger than 1 MiB: not a contents file";
      return false;
  }
  error = "cannot be read";
  return false;
}

}  // namespace oxa::sim
