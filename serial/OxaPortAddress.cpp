#include "serial/OxaPortAddress.h"

#include <charconv>
#include <vector>

namespace oxa {

namespace {

constexpr std::string_view kTcpScheme = "tcp://";
constexpr std::string_view kModbusTcpScheme = "modbus-tcp://";
// The port of a Modbus TCP server unless the address names another.
constexpr uint16_t kModbusTcpPort = 502;

std::vector<std::string_view> Words(std::string_view text) {
  std::vector<std::string_view> words;
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    const size_t start = i;
    while (i < text.size() && text[i] != ' ' && text[i] != '\t') ++i;
    if (i > start) words.push_back(text.substr(start, i - start));
  }
  return words;
}

// "COM" in any case followed by digits only: a port name, not a device. Its number is in
// `number`, or 0 when it is out of 1..255.
bool IsComName(std::string_view text, unsigned& number) {
  const auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; };
  if (text.size() < 4 || upper(text[0]) != 'C' || upper(text[1]) != 'O' || upper(text[2]) != 'M') {
    return false;
  }
  const std::string_view digits = text.substr(3);
  for (const char c : digits) {
    if (c < '0' || c > '9') return false;
  }
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
  if (ec != std::errc() || number > 255) number = 0;
  return true;
}

// host:port, or [v6-address]:port; for modbus-tcp:// (`scheme`) the port may be left out.
bool ParseTcp(std::string_view rest, std::string_view scheme, TPortAddress& address,
              std::string& error) {
  const bool modbus = scheme == kModbusTcpScheme;
  size_t colon = std::string_view::npos;
  if (!rest.empty() && rest.front() == '[') {
    const size_t close = rest.find(']');
    if (close == std::string_view::npos) {
      error = "unclosed '[' in the host of " + std::string(scheme);
      return false;
    }
    address.host = std::string(rest.substr(1, close - 1));
    if (close + 1 < rest.size() && rest[close + 1] == ':') colon = close + 1;
  } else {
    colon = rest.rfind(':');
    address.host = std::string(rest.substr(0, colon));
  }
  if (address.host.empty()) {
    error = modbus ? "modbus-tcp:// needs a host: modbus-tcp://host[:port]"
                   : "tcp:// needs a host: tcp://host:port";
    return false;
  }
  // With the port optional, a bare IPv6 address cannot be told from a host and a port.
  if (modbus && rest.front() != '[' && address.host.find(':') != std::string::npos) {
    error = "an IPv6 host goes in brackets: modbus-tcp://[" + std::string(rest) + "]";
    return false;
  }
  if (modbus && colon == std::string_view::npos) {
    address.tcp_port = kModbusTcpPort;
    return true;
  }
  if (colon == std::string_view::npos || colon + 1 == rest.size()) {
    error = modbus ? "modbus-tcp:// has a ':' but no port after it"
                   : "tcp:// needs a port: tcp://host:port";
    return false;
  }
  const std::string_view digits = rest.substr(colon + 1);
  unsigned value = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (ec != std::errc() || end != digits.data() + digits.size() || value == 0 || value > 65535) {
    error = "TCP port '" + std::string(digits) + "' is not a number from 1 to 65535";
    return false;
  }
  address.tcp_port = static_cast<uint16_t>(value);
  return true;
}

}  // namespace

TPortAddress SerialAddress(std::string path) {
  TPortAddress address;
  address.path = std::move(path);
  return address;
}

bool ParsePortAddress(std::string_view text, TPortAddress& address, std::string& error) {
  address = TPortAddress{};
  // The system takes a path up to its first NUL: the rest would be dropped unseen.
  if (text.find('\0') != std::string_view::npos) {
    error = "a NUL character in the address";
    return false;
  }
  const std::vector<std::string_view> words = Words(text);
  if (words.empty()) {
    error = "no device named";
    return false;
  }
  // A name given with blanks around it ("COM1 " on a command line) is no port name, and as a
  // path it would open a file COM1 in the current folder.
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  if (blank(text.front()) || blank(text.back())) {
    error = "blanks before or after '" + std::string(words.front()) + "'";
    return false;
  }
  const std::string_view target = words.front();
  if (unsigned number = 0; IsComName(target, number) && number == 0) {
    error = std::string(target) + " names no port: COM numbers run from 1 to 255";
    return false;
  }
  if (target.starts_with(kTcpScheme)) {
    address.kind = TPortAddress::TKind::kTcp;
    if (!ParseTcp(target.substr(kTcpScheme.size()), kTcpScheme, address, error)) return false;
  } else if (target.starts_with(kModbusTcpScheme)) {
    address.kind = TPortAddress::TKind::kModbusTcp;
    if (!ParseTcp(target.substr(kModbusTcpScheme.size()), kModbusTcpScheme, address, error)) {
      return false;
    }
  } else {
    address.path = std::string(target);
  }
  // A Modbus TCP server answers on its own connection: no line options apply to it.
  if (address.kind == TPortAddress::TKind::kModbusTcp && words.size() > 1) {
    error = "modbus-tcp:// takes no options ('" + std::string(words[1]) + "')";
    return false;
  }
  for (size_t i = 1; i < words.size(); ++i) {
    if (words[i] == "echo") {
      address.echo = true;
    } else if (words[i] == "rs485") {
      if (address.kind == TPortAddress::TKind::kTcp) {
        error = "rs485 applies to a serial device, not to tcp://";
        return false;
      }
      address.rs485 = true;
    } else if (!words[i].empty() && words[i].front() >= '0' && words[i].front() <= '9') {
      TLineFormat format;
      if (!ParseLineFormat(words[i], format)) {
        error = "'" + std::string(words[i]) +
                "' is no line format: data bits 7 or 8, parity N, E or O, stop bits 1 or 2, "
                "such as 8E1";
        return false;
      }
      address.format = format;
    } else {
      error = "unknown option '" + std::string(words[i]) +
              "' (known: rs485, echo, a line format such as 8E1)";
      return false;
    }
  }
  return true;
}

bool ParseLineFormat(std::string_view text, TLineFormat& format) {
  if (text.size() != 3) return false;
  const char parity =
      static_cast<char>(text[1] >= 'a' && text[1] <= 'z' ? text[1] - 'a' + 'A' : text[1]);
  if ((text[0] != '7' && text[0] != '8') || (parity != 'N' && parity != 'E' && parity != 'O') ||
      (text[2] != '1' && text[2] != '2')) {
    return false;
  }
  format = {static_cast<uint8_t>(text[0] - '0'), parity, static_cast<uint8_t>(text[2] - '0')};
  return true;
}

std::string LineFormatText(const TLineFormat& format) {
  return std::string{static_cast<char>('0' + format.data_bits), format.parity,
                     static_cast<char>('0' + format.stop_bits)};
}

}  // namespace oxa
