// The command line of fulctl: `fulctl [options] COMMAND [arguments]`, options before or after
// the command.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace oxa::cli {

struct TOptions {
  std::string port = "COM1";  // COMn, a device path, or tcp://host:port
  uint32_t baud = 9600;
  uint8_t address = 1;
  uint32_t timeout_ms = 500;       // the packet time-out
  std::optional<uint8_t> retries;  // attempts per exchange; each protocol's own default
  std::string settings;            // the settings file; empty: the window's
  bool json = false;
  bool trace = false;
  std::string trace_file;  // empty: stderr
  bool count_given = false;
  uint32_t count = 1;  // 0: until Ctrl+C
  uint32_t interval_ms = 1000;
  bool rs485 = false;
  bool echo = false;
  std::string output;             // archive: raw blocks to this file
  std::string bauds;              // scan: "9600,19200"
  std::string addresses;          // scan: "1-247"
  std::string protocol = "both";  // scan: modbus, 10x or both
  bool help = false;
  bool version = false;
  std::string command;
  std::vector<std::string> arguments;
};

// Parses argv[1..]; false with `error` saying, in one line, what was wrong.
bool ParseOptions(int argc, const char* const* argv, TOptions& options, std::string& error);

// A whole number in decimal or with a 0x prefix, within [min, max].
std::optional<uint64_t> ParseNumber(const std::string& text, uint64_t min, uint64_t max);

}  // namespace oxa::cli
