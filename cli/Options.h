// The command line of fulctl: `fulctl [options] COMMAND [arguments]`, options before or after
// the command.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
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

// How an option is written: alone ("--json"), with a value ("-p PORT", "-pPORT", "--port PORT",
// "--port=PORT"), or with a value it may go without ("--trace", "--trace=FILE").
enum class TOptionKind { kFlag, kValue, kOptionalValue };

// One option, in one table that the parser and --help both read.
struct TOptionSpec {
  std::string_view short_name;  // "-p"; "" when none
  std::string_view long_name;   // "--port"
  TOptionKind kind;
  std::string_view value_name;  // in --help: "PORT"
  std::string_view what;        // in messages: "a speed in bit/s from 1 to 4000000"
  std::string_view help;        // in --help, lines separated by '\n'; "" for the options that
                                // a command's own help describes
  // Takes the value ("" for a flag, or an optional value left out); false when it is not one.
  bool (*set)(TOptions& options, const std::string& value);
};

// The options in the order --help lists them.
std::span<const TOptionSpec> OptionTable();

// Parses argv[1..]; false with `error` saying, in one line, what was wrong.
bool ParseOptions(int argc, const char* const* argv, TOptions& options, std::string& error);

// A whole number in decimal or with a 0x prefix, within [min, max].
std::optional<uint64_t> ParseNumber(const std::string& text, uint64_t min, uint64_t max);

}  // namespace oxa::cli
