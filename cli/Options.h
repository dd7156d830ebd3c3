// The command line of fulctl: `fulctl [options] COMMAND [arguments]`, options before or after
// the command.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "actions/RegisterFormat.h"
#include "actions/TextCatalog.h"

namespace oxa::cli {

// How `regs` shows each value beside the window's hexadecimal lines: actions/RegisterFormat.h.
using oxa::FindRegisterFormat;
using oxa::ParseAddressList;
using oxa::RegisterFormatName;
using oxa::RegisterFormatWidth;
using oxa::TRegisterFormat;

// An option as the user gave it: its long name, to find its row, and as the user typed it
// ("-o", "--output=x.bin"), for messages.
struct TGivenOption {
  std::string_view long_name;
  std::string typed;
};

struct TOptions {
  std::string port = "COM1";  // COMn, a device path, or tcp://host:port
  uint32_t baud = 9600;
  uint8_t address = 1;
  // -a as given: one address, or the several of a list ("1,3,5-7") that a read goes to in turn.
  std::vector<uint8_t> address_list = {1};
  uint32_t timeout_ms = 500;       // the packet time-out
  std::optional<uint8_t> retries;  // attempts per exchange; each protocol's own default
  std::string settings;            // the settings file; empty: the window's
  bool json = false;
  bool csv = false;  // regs, integrator, doser state: a CSV header and a row per read
  bool trace = false;
  std::string trace_file;  // empty: stderr
  bool count_given = false;
  uint32_t count = 1;  // 0: until Ctrl+C
  uint32_t interval_ms = 1000;
  bool rs485 = false;
  bool echo = false;
  std::string line_format;  // "8E1": the line's format, over the [Ports] entry's
  bool broadcast = false;   // a write to address 0 is meant for every device
  TRegisterFormat format = TRegisterFormat::kU16;  // regs: the values beside the hex lines
  std::string output;                              // archive: raw blocks to this file
  bool resume = false;                             // archive -o: continue an interrupted file
  std::string bauds;                               // scan: "9600,19200"
  std::string addresses;                           // scan: "1-247"
  std::string protocol = "both";                   // scan: modbus, 10x or both
  // The texts meant for people: the data pane's own lines, the doser state's word, error_text,
  // the integrators' names and units. English unless told --lang ru.
  TLanguage language = TLanguage::kEnglish;
  bool help = false;
  bool version = false;
  std::string command;
  std::vector<std::string> arguments;
  std::vector<TGivenOption> given;  // in the order given
};

// How an option is written: alone ("--json"), with a value ("-p PORT", "-pPORT", "--port PORT",
// "--port=PORT"), or with a value it may go without ("--trace", "--trace=FILE").
enum class TOptionKind { kFlag, kValue, kOptionalValue };

// What an option goes with; given with another command it is refused, not ignored.
enum class TOptionUse {
  kAny,
  kReads,    // a read that -n repeats
  kCsv,      // a read whose values make a CSV row: regs, integrator, doser state
  kWrites,   // a write or a doser command
  kRegs,     // the regs command
  kArchive,  // the archive command
  kScan,     // the scan command
};

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
  TOptionUse use = TOptionUse::kAny;
};

// The options in the order --help lists them.
std::span<const TOptionSpec> OptionTable();
// The row of the option named `long_name`; null for none.
const TOptionSpec* FindOption(std::string_view long_name);

// Parses argv[1..]; false with `error` saying, in one line, what was wrong. A word that starts
// with '-' and a digit ("-5") is an argument, for the command to judge.
bool ParseOptions(int argc, const char* const* argv, TOptions& options, std::string& error);

// A whole number in decimal or with a 0x prefix, within [min, max].
std::optional<uint64_t> ParseNumber(const std::string& text, uint64_t min, uint64_t max);

// The registers of the value `text` in `format`, high word first unless the format is a
// swapped one: a whole number within the format's range (u16 and u32 also in 0x form), or for
// float and float-swapped any finite decimal a float holds. Nullopt for anything else.
std::optional<std::vector<uint16_t>> ParseRegisterValue(const std::string& text,
                                                        TRegisterFormat format);
// What a value of `format` is, for messages: "a number from -32768 to 32767".
std::string RegisterValueWhat(TRegisterFormat format);

}  // namespace oxa::cli
