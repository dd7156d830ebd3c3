#include "cli/Options.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <limits>
#include <string_view>

#include "serial/OxaPortAddress.h"

namespace oxa::cli {

std::optional<uint64_t> ParseNumber(const std::string& text, uint64_t min, uint64_t max) {
  std::string_view digits = text;
  int base = 10;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    digits.remove_prefix(2);
    base = 16;
  }
  uint64_t value = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
  if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size()) {
    return std::nullopt;
  }
  if (value < min || value > max) return std::nullopt;
  return value;
}

namespace {

// A signed whole number in decimal (an optional minus sign) or 0x form, within [min, max].
std::optional<int64_t> ParseSigned(const std::string& text, int64_t min, int64_t max) {
  const bool negative = !text.empty() && text[0] == '-';
  const auto magnitude = ParseNumber(negative ? text.substr(1) : text, 0, uint64_t{1} << 32);
  if (!magnitude) return std::nullopt;
  const int64_t value = negative ? -static_cast<int64_t>(*magnitude) : int64_t(*magnitude);
  if (value < min || value > max) return std::nullopt;
  return value;
}

}  // namespace

std::optional<std::vector<uint16_t>> ParseRegisterValue(const std::string& text,
                                                        TRegisterFormat format) {
  using enum TRegisterFormat;
  uint32_t word = 0;
  switch (format) {
    case kU16:
    case kS16: {
      const auto v =
          format == kU16 ? ParseSigned(text, 0, 65535) : ParseSigned(text, -32768, 32767);
      if (!v) return std::nullopt;
      return std::vector<uint16_t>{static_cast<uint16_t>(*v)};
    }
    case kU32:
    case kU32Swapped:
    case kS32:
    case kS32Swapped: {
      const bool is_signed = format == kS32 || format == kS32Swapped;
      const auto v =
          is_signed ? ParseSigned(text, INT32_MIN, INT32_MAX) : ParseSigned(text, 0, UINT32_MAX);
      if (!v) return std::nullopt;
      word = static_cast<uint32_t>(*v);
      break;
    }
    case kFloat:
    case kFloatSwapped: {
      double v = 0;
      const char* end = text.data() + text.size();
      const auto [stop, ec] = std::from_chars(text.data(), end, v);
      // Finite, and within what a float holds (a larger value would become infinity).
      if (text.empty() || ec != std::errc() || stop != end || !std::isfinite(v) ||
          std::fabs(v) > std::numeric_limits<float>::max()) {
        return std::nullopt;
      }
      word = std::bit_cast<uint32_t>(static_cast<float>(v));
      break;
    }
  }
  const auto high = static_cast<uint16_t>(word >> 16);
  const auto low = static_cast<uint16_t>(word & 0xFFFF);
  const bool swapped = format == kU32Swapped || format == kS32Swapped || format == kFloatSwapped;
  return swapped ? std::vector<uint16_t>{low, high} : std::vector<uint16_t>{high, low};
}

std::string RegisterValueWhat(TRegisterFormat format) {
  using enum TRegisterFormat;
  switch (format) {
    case kU16:
      return "a number from 0 to 65535";
    case kS16:
      return "a number from -32768 to 32767";
    case kU32:
    case kU32Swapped:
      return "a number from 0 to 4294967295";
    case kS32:
    case kS32Swapped:
      return "a number from -2147483648 to 2147483647";
    case kFloat:
    case kFloatSwapped:
      return "a number a float holds, such as 3.25 or -1e5";
  }
  return "";
}

namespace {

bool SetNumber(uint32_t& field, const std::string& text, uint64_t min, uint64_t max) {
  const auto value = ParseNumber(text, min, max);
  if (value) field = static_cast<uint32_t>(*value);
  return value.has_value();
}

template <std::string TOptions::*field>
bool SetText(TOptions& options, const std::string& text) {
  options.*field = text;
  return !text.empty();
}

template <uint32_t TOptions::*field, uint64_t min, uint64_t max>
bool SetNumber(TOptions& options, const std::string& text) {
  return SetNumber(options.*field, text, min, max);
}

template <bool TOptions::*field>
bool SetFlag(TOptions& options, const std::string& /*value*/) {
  options.*field = true;
  return true;
}

using enum TOptionKind;

// clang-format off
constexpr TOptionSpec kOptions[] = {
    {"-p", "--port", kValue, "PORT",
     "a port: COMn, a device path, tcp://host:port or modbus-tcp://host[:port]",
     "COMn (mapped as the window maps it: the [Ports] section of the\n"
     "settings file, else /dev/ttyS(n-1)), a device path such as\n"
     "/dev/ttyUSB0 or /dev/serial/by-id/..., tcp://host:port for a\n"
     "serial device server, or modbus-tcp://host[:port] for a Modbus TCP\n"
     "server or gateway, port 502 unless given (default COM1)",
     SetText<&TOptions::port>},
    {"-b", "--baud", kValue, "N", "a speed in bit/s from 1 to 4000000",
     "line speed in bit/s, any the driver takes (default 9600)",
     SetNumber<&TOptions::baud, 1, 4000000>},
    {"-a", "--address", kValue, "N",
     "an address from 0 to 247, or a list of them such as 1,3,5-7",
     "the device's address (default 1): 1 to 247 for Modbus, 0 to\n"
     "127 for 10x, 0 with --broadcast; a list such as 1,3,5-7 for\n"
     "the reads, one result each with its address",
     [](TOptions& o, const std::string& v) {
       const auto list = ParseAddressList(v);
       if (!list) return false;
       o.address_list = *list;
       o.address = list->front();
       return true;
     }},
    {"-t", "--timeout", kValue, "MS", "a time-out in ms from 10 to 9990",
     "time allowed for the answer's first byte (default 500)",
     SetNumber<&TOptions::timeout_ms, 10, 9990>},
    {"-r", "--retries", kValue, "N", "a number of attempts from 1 to 24",
     "attempts per exchange (default 3 for Modbus, 7 for 10x)",
     [](TOptions& o, const std::string& v) {
       uint32_t r = 0;
       if (!SetNumber(r, v, 1, 24)) return false;
       o.retries = static_cast<uint8_t>(r);
       return true;
     }},
    {"", "--rs485", kFlag, "", "",
     "switch the adapter's RS-485 mode on (RTS drives the transmitter)",
     SetFlag<&TOptions::rs485>},
    {"", "--echo", kFlag, "", "",
     "the line returns each request before the answer (two-wire RS-485)",
     SetFlag<&TOptions::echo>},
    {"", "--line", kValue, "FORMAT", "a line format such as 8N1, 8E1, 7E1, 8N2 or 8O1",
     "the line's format: data bits (7, 8), parity (N, E, O) and stop\n"
     "bits (1, 2), such as 8E1 (default 8N1, or as [Ports] names it)",
     [](TOptions& o, const std::string& v) {
       TLineFormat format;
       if (!ParseLineFormat(v, format)) return false;
       o.line_format = LineFormatText(format);
       return true;
     }},
    {"", "--settings", kValue, "FILE", "a settings file",
     "the settings file whose [Ports] section maps COM numbers\n"
     "(default: the window's ful03test.ini, beside the program when\n"
     "it is there or the folder is writable, else in\n"
     "$XDG_CONFIG_HOME/ful03test/, by default ~/.config/ful03test/).\n"
     "A file named here must be a regular file; an empty one maps\n"
     "nothing.",
     SetText<&TOptions::settings>},
    {"", "--json", kFlag, "", "",
     "one JSON object per result on stdout, one line each, with ok,\n"
     "error, error_text and request (see the manual page)",
     SetFlag<&TOptions::json>},
    {"", "--csv", kFlag, "", "",
     "regs, integrator and doser state: a header line naming each\n"
     "value and its unit, then one row per read (-n, -i) with its\n"
     "local time, the values and the outcome; a failed read leaves\n"
     "the values empty",
     SetFlag<&TOptions::csv>, TOptionUse::kCsv},
    {"", "--trace", kOptionalValue, "FILE", "",
     "every frame on the wire, with times, to stderr or FILE",
     [](TOptions& o, const std::string& v) {
       o.trace = true;
       if (!v.empty()) o.trace_file = v;
       return true;
     }},
    {"-n", "--count", kValue, "N", "a count (0: until Ctrl+C)",
     "repeat a read N times, 0 until Ctrl+C, then print a summary",
     [](TOptions& o, const std::string& v) {
       o.count_given = true;
       return SetNumber(o.count, v, 0, UINT32_MAX);
     },
     TOptionUse::kReads},
    {"-i", "--interval", kValue, "MS", "a period in ms from 0 to 86400000",
     "the period of repeated reads, from one read's start to the\n"
     "next (default 1000); a read that takes longer is late: the\n"
     "next starts at once, and the summary counts it",
     SetNumber<&TOptions::interval_ms, 0, 86'400'000>, TOptionUse::kReads},
    {"", "--broadcast", kFlag, "", "",
     "with -a 0: send write, dose LITRES or a doser command to every\n"
     "device on the line, once, awaiting no answer (none answers 0)",
     SetFlag<&TOptions::broadcast>, TOptionUse::kWrites},
    {"", "--format", kValue, "FORMAT",
     "a format: u16, s16, u32, s32, float, u32-swapped, s32-swapped or float-swapped",
     "regs: each value as u16 (default), s16, or over two registers\n"
     "as u32, s32 or float, high word first; u32-swapped, s32-swapped\n"
     "and float-swapped take the low word first. inputs the same;\n"
     "write and read-write take their values in the format",
     [](TOptions& o, const std::string& v) {
       const auto format = FindRegisterFormat(v);
       if (format) o.format = *format;
       return format.has_value();
     },
     TOptionUse::kRegs},
    {"-o", "--output", kValue, "FILE", "a file name",
     "archive: write the blocks' raw bytes to FILE",
     SetText<&TOptions::output>, TOptionUse::kArchive},
    {"", "--resume", kFlag, "", "",
     "archive -o: continue an interrupted FILE from its last whole\n"
     "block, reading only the blocks it lacks, if the device and the\n"
     "blocks are those it was begun with",
     SetFlag<&TOptions::resume>, TOptionUse::kArchive},
    {"", "--lang", kValue, "LANG", "a language: en or ru",
     "the language of the texts meant for people: en (default) or ru,\n"
     "the window's (data lines, doser state, error_text, integrator\n"
     "names and units); field names, numbers and the device's texts\n"
     "stay as they are",
     [](TOptions& o, const std::string& v) {
       const auto language = ParseLanguage(v);
       if (language) o.language = *language;
       return language.has_value();
     }},
    {"-h", "--help", kFlag, "", "", "this text", SetFlag<&TOptions::help>},
    {"", "--version", kFlag, "", "", "the program's version", SetFlag<&TOptions::version>},
    // The scan's own, which its entry among the commands describes.
    {"", "--bauds", kValue, "LIST", "a list of speeds such as 9600,19200", "",
     SetText<&TOptions::bauds>, TOptionUse::kScan},
    {"", "--addresses", kValue, "RANGE", "a range of addresses such as 1-247", "",
     SetText<&TOptions::addresses>, TOptionUse::kScan},
    {"", "--protocol", kValue, "NAME", "modbus, 10x or both", "",
     [](TOptions& o, const std::string& v) {
       o.protocol = v;
       return v == "modbus" || v == "10x" || v == "both";
     },
     TOptionUse::kScan},
};
// clang-format on

bool StartsWith(const std::string& arg, std::string_view prefix) {
  return !prefix.empty() && arg.compare(0, prefix.size(), prefix) == 0;
}

// How `arg` names `option`: not at all, whole ("--port", "-p"), or with its value attached
// ("--port=COM2", "-pCOM2", "--trace=FILE"), which then goes to `value`.
enum class TMatch { kNone, kWhole, kWithValue };

TMatch Match(const std::string& arg, const TOptionSpec& option, std::string& value) {
  if (arg == option.long_name || (!option.short_name.empty() && arg == option.short_name)) {
    return TMatch::kWhole;
  }
  if (option.kind == kFlag) return TMatch::kNone;
  if (StartsWith(arg, std::string(option.long_name) + "=")) {
    value = arg.substr(option.long_name.size() + 1);
    return TMatch::kWithValue;
  }
  if (option.kind == kValue && StartsWith(arg, option.short_name)) {
    value = arg.substr(option.short_name.size());
    return TMatch::kWithValue;
  }
  return TMatch::kNone;
}

}  // namespace

std::span<const TOptionSpec> OptionTable() {
  return kOptions;
}

const TOptionSpec* FindOption(std::string_view long_name) {
  for (const TOptionSpec& option : kOptions) {
    if (option.long_name == long_name) return &option;
  }
  return nullptr;
}

bool ParseOptions(int argc, const char* const* argv, TOptions& options, std::string& error) {
  bool only_words = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    // A negative number is a word: the command says what is wrong with it.
    const bool number = arg.size() >= 2 && arg[0] == '-' && arg[1] >= '0' && arg[1] <= '9';
    if (only_words || arg.size() < 2 || arg[0] != '-' || number) {
      if (options.command.empty()) {
        options.command = arg;
      } else {
        options.arguments.push_back(arg);
      }
      continue;
    }
    if (arg == "--") {
      only_words = true;
      continue;
    }
    const TOptionSpec* taken = nullptr;
    TMatch match = TMatch::kNone;
    std::string value;
    for (const TOptionSpec& option : kOptions) {
      match = Match(arg, option, value);
      if (match != TMatch::kNone) {
        taken = &option;
        break;
      }
    }
    if (taken == nullptr) {
      error = "unknown option '" + arg + "'";
      return false;
    }
    std::string typed = arg;
    if (taken->kind == kValue && match == TMatch::kWhole) {
      if (i + 1 >= argc) {
        error = arg + " needs " + std::string(taken->what);
        return false;
      }
      value = argv[++i];
      typed += " " + value;
    }
    options.given.push_back({taken->long_name, typed});
    if (!taken->set(options, value)) {
      error = "'" + value + "' is not " + std::string(taken->what) + " (" +
              std::string(taken->long_name) + ")";
      return false;
    }
  }
  return true;
}

}  // namespace oxa::cli
