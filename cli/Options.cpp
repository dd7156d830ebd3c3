#include "cli/Options.h"

#include <charconv>
#include <functional>
#include <string_view>

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

struct TValueOption {
  const char* short_name;  // "" when none
  const char* long_name;
  const char* what;  // for messages: "a speed in bit/s"
  std::function<bool(TOptions&, const std::string&)> set;
};

bool SetNumber(uint32_t& field, const std::string& text, uint64_t min, uint64_t max) {
  const auto value = ParseNumber(text, min, max);
  if (value) field = static_cast<uint32_t>(*value);
  return value.has_value();
}

const std::vector<TValueOption>& ValueOptions() {
  static const std::vector<TValueOption> options = {
      {"-p", "--port", "a port: COMn, a device path or tcp://host:port",
       [](TOptions& o, const std::string& v) {
         o.port = v;
         return !v.empty();
       }},
      {"-b", "--baud", "a speed in bit/s from 1 to 4000000",
       [](TOptions& o, const std::string& v) { return SetNumber(o.baud, v, 1, 4000000); }},
      {"-a", "--address", "an address from 0 to 127",
       [](TOptions& o, const std::string& v) {
         uint32_t a = 0;
         if (!SetNumber(a, v, 0, 127)) return false;
         o.address = static_cast<uint8_t>(a);
         return true;
       }},
      {"-t", "--timeout", "a time-out in ms from 10 to 9990",
       [](TOptions& o, const std::string& v) { return SetNumber(o.timeout_ms, v, 10, 9990); }},
      {"-r", "--retries", "a number of attempts from 1 to 24",
       [](TOptions& o, const std::string& v) {
         uint32_t r = 0;
         if (!SetNumber(r, v, 1, 24)) return false;
         o.retries = static_cast<uint8_t>(r);
         return true;
       }},
      {"", "--settings", "a settings file",
       [](TOptions& o, const std::string& v) {
         o.settings = v;
         return !v.empty();
       }},
      {"-n", "--count", "a count (0: until Ctrl+C)",
       [](TOptions& o, const std::string& v) {
         o.count_given = true;
         return SetNumber(o.count, v, 0, UINT32_MAX);
       }},
      {"-i", "--interval", "an interval in ms",
       [](TOptions& o, const std::string& v) {
         return SetNumber(o.interval_ms, v, 0, 86'400'000);
       }},
      {"-o", "--output", "a file name",
       [](TOptions& o, const std::string& v) {
         o.output = v;
         return !v.empty();
       }},
      {"", "--bauds", "a list of speeds such as 9600,19200",
       [](TOptions& o, const std::string& v) {
         o.bauds = v;
         return !v.empty();
       }},
      {"", "--addresses", "a range of addresses such as 1-127",
       [](TOptions& o, const std::string& v) {
         o.addresses = v;
         return !v.empty();
       }},
      {"", "--protocol", "modbus, 10x or both",
       [](TOptions& o, const std::string& v) {
         o.protocol = v;
         return v == "modbus" || v == "10x" || v == "both";
       }},
  };
  return options;
}

struct TFlag {
  const char* short_name;
  const char* long_name;
  bool TOptions::*field;
};

constexpr TFlag kFlags[] = {
    {"-h", "--help", &TOptions::help}, {"", "--version", &TOptions::version},
    {"", "--json", &TOptions::json},   {"", "--rs485", &TOptions::rs485},
    {"", "--echo", &TOptions::echo},
};

}  // namespace

bool ParseOptions(int argc, const char* const* argv, TOptions& options, std::string& error) {
  bool only_words = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (only_words || arg.size() < 2 || arg[0] != '-') {
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
    if (arg == "--trace" || arg.rfind("--trace=", 0) == 0) {
      options.trace = true;
      if (arg.size() > 8) options.trace_file = arg.substr(8);
      continue;
    }
    bool known = false;
    for (const TFlag& flag : kFlags) {
      if (arg == flag.long_name || (*flag.short_name != '\0' && arg == flag.short_name)) {
        options.*flag.field = true;
        known = true;
      }
    }
    if (known) continue;
    for (const TValueOption& option : ValueOptions()) {
      const std::string long_name = option.long_name;
      const std::string short_name = option.short_name;
      std::string value;
      if (arg == long_name || (!short_name.empty() && arg == short_name)) {
        if (i + 1 >= argc) {
          error = arg + " needs " + option.what;
          return false;
        }
        value = argv[++i];
      } else if (arg.rfind(long_name + "=", 0) == 0) {
        value = arg.substr(long_name.size() + 1);
      } else if (!short_name.empty() && arg.rfind(short_name, 0) == 0) {
        value = arg.substr(short_name.size());
      } else {
        continue;
      }
      if (!option.set(options, value)) {
        error = "'" + value + "' is not " + option.what + " (" + long_name + ")";
        return false;
      }
      known = true;
      break;
    }
    if (!known) {
      error = "unknown option '" + arg + "'";
      return false;
    }
  }
  return true;
}

}  // namespace oxa::cli
