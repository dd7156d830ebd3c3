#include "cli/Fulctl.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include "actions/IniFile.h"
#include "actions/SettingsPath.h"
#include "cli/Command.h"
#include "cli/Options.h"
#include "cli/Session.h"
#include "serial/OxaHost.h"
#include "serial/OxaPortAddress.h"
#include "serial/OxaUtils.h"

namespace oxa::cli {

namespace {

constexpr const char* kVersion = "fulctl 1.0";

constexpr const char* kUsage =
    "Usage: fulctl [options] COMMAND [arguments]\n"
    "Try 'fulctl --help' for the commands and options.\n";

constexpr std::string_view kHelpStart = R"(Usage: fulctl [options] COMMAND [arguments]

Performs one exchange with a FUL meter or doser on a serial line (Modbus RTU, or the 10x
protocol where it says so) and prints the outcome as the FUL 05.03 Modbus test window shows
it. Options may stand before or after the command.
)";

constexpr std::string_view kHelpEnd = R"(
Exit status:
  0  every result was OK
  1  no answer: the device did not answer within the time-out
  2  usage: the command line was wrong
  3  bad answer: wrong checksum, size or address complement; or, on an echoing line,
     the request came back altered or not at all
  4  device exception: the device refused the request
  5  port: the port could not be opened (not present, busy, permission denied, ...) or
     lost its device
  6  mismatch: a value written reads back different
  7  output: the standard output, the trace or the archive file could not be written,
     or FILE is no regular file (the blocks read before a failed write stay in
     FILE.part)
  8  interrupted: Ctrl+C ended an archive or a scan before its end (the whole blocks
     read are kept)

Examples:
  fulctl -p /dev/ttyUSB0 -a 3 regs 0 10
  fulctl -p COM2 -b 19200 --json integrator all
  fulctl regs 2201 1 -n 0 -i 500          poll the dose register until Ctrl+C
  fulctl --csv -n 0 -i 1000 integrator Gv1 > flow.csv
                                          log a flow every second, with its time
  fulctl archive 0 99 -o archive.bin
  fulctl scan --bauds 9600,19200 --addresses 1-32
  fulctl -a 0 --broadcast doser stop      stop the doser of every device on the line
)";

// One entry of --help: `head` (a command and its arguments, an option and its value), then
// `text` from `column` on, beside the head where it fits and on the next line where not; the
// text's further lines aligned under its first.
std::string HelpEntry(const std::string& head, std::string_view text, size_t column) {
  std::string entry = "  " + head;
  if (entry.size() + 2 <= column) {
    entry.append(column - entry.size(), ' ');
  } else {
    entry += "\n" + std::string(column, ' ');
  }
  for (size_t pos = 0;;) {
    const size_t end = text.find('\n', pos);
    entry += text.substr(pos, end - pos);
    entry += '\n';
    if (end == std::string_view::npos) break;
    entry.append(column, ' ');
    pos = end + 1;
  }
  return entry;
}

std::string HelpText() {
  std::string text(kHelpStart);
  text += "\nCommands:\n";
  for (const TCommand& command : CommandTable()) {
    std::string head(command.name);
    if (!command.synopsis.empty()) head += " " + std::string(command.synopsis);
    text += HelpEntry(head, command.help, 28);
  }
  text += "\nOptions:\n";
  for (const TOptionSpec& option : OptionTable()) {
    if (option.help.empty()) continue;
    std::string head = option.short_name.empty() ? "    " : std::string(option.short_name) + ", ";
    head += option.long_name;
    if (option.kind == TOptionKind::kValue) head += " " + std::string(option.value_name);
    if (option.kind == TOptionKind::kOptionalValue) {
      head += "[=" + std::string(option.value_name) + "]";
    }
    text += HelpEntry(head, option.help, 24);
  }
  return text + std::string(kHelpEnd);
}

int Usage(std::FILE* err, const std::string& problem) {
  std::fprintf(err, "fulctl: %s\n%s", VisibleText(problem).c_str(), kUsage);
  return kExitUsage;
}

// Prints `text` on the standard output: kExitOk, or kExitOutput with a message when it could
// not be written whole.
int Print(std::FILE* out, std::FILE* err, const std::string& text) {
  errno = 0;
  if (std::fputs(text.c_str(), out) < 0 || std::fflush(out) != 0 || std::ferror(out)) {
    std::fprintf(err, "fulctl: cannot write the standard output: %s\n",
                 std::strerror(errno != 0 ? errno : EIO));
    return kExitOutput;
  }
  return kExitOk;
}

// What is wrong with -a for `command`: several addresses for other than a read, the broadcast
// address among several, an address the command's protocol cannot reach. "" when nothing is.
std::string AddressProblem(const TOptions& o, const TCommand& command, const TPrepared& prepared) {
  const std::vector<uint8_t>& list = o.address_list;
  if (list.size() > 1) {
    if (!prepared.repeats) {
      return "-a with several addresses goes only with the reads (regs, coils, inputs, id, ...), "
             "not with " +
             std::string(command.name);
    }
    if (std::find(list.begin(), list.end(), 0) != list.end()) {
      return "-a: address 0 reaches every device and none answers it: it cannot be one of "
             "several addresses";
    }
  }
  const uint8_t highest = *std::max_element(list.begin(), list.end());
  if (command.protocol == TCommandProtocol::k10x && highest > 127) {
    return "-a: the 10x protocol's addresses are 0 to 127, not " + std::to_string(highest);
  }
  return "";
}

// What is wrong with the options given with `command` and its arguments: an option that goes
// with other commands (it would be ignored), a write to the broadcast address without
// --broadcast, --broadcast to an address other than 0, a port address that cannot be one.
// "" when nothing is.
std::string OptionProblem(const TOptions& o, const TCommand& command, const TPrepared& prepared) {
  for (const TGivenOption& given : o.given) {
    const TOptionSpec* spec = FindOption(given.long_name);
    if (spec == nullptr) continue;
    std::string_view with;
    switch (spec->use) {
      case TOptionUse::kAny:
        break;
      case TOptionUse::kReads:
        if (!prepared.repeats) with = "the reads (id, regs, integrator, dose, doser state, ...)";
        break;
      case TOptionUse::kCsv:
        if (!prepared.csv) with = "regs, integrator and doser state";
        break;
      case TOptionUse::kWrites:
        if (!prepared.writes) with = "write, dose LITRES and doser start|pause|stop|reset";
        break;
      case TOptionUse::kRegs:
        if (command.name != "regs" && command.name != "inputs" && command.name != "write" &&
            command.name != "read-write") {
          with = "regs, inputs, write and read-write";
        }
        break;
      case TOptionUse::kArchive:
        if (command.name != "archive") with = "archive";
        break;
      case TOptionUse::kScan:
        if (command.name != "scan") with = "scan";
        break;
    }
    if (!with.empty()) {
      return given.typed + " goes only with " + std::string(with) + ", not with " +
             std::string(command.name);
    }
  }
  if (o.csv && o.json) return "--csv and --json are two forms of the output: give one";
  if (const std::string problem = AddressProblem(o, command, prepared); !problem.empty()) {
    return problem;
  }
  if (prepared.writes && o.address == 0 && !o.broadcast) {
    return "address 0 is the broadcast address: every device on the line would take this " +
           std::string(command.name == "doser" ? "doser command" : command.name) +
           " and none would answer. Give the device's own address with -a, or add --broadcast "
           "to mean every device";
  }
  if (o.broadcast && o.address != 0) {
    return "--broadcast sends to address 0, every device on the line: it goes with -a 0, not "
           "with address " +
           std::to_string(o.address);
  }
  if (!o.settings.empty()) {
    if (const std::string problem = NamedSettingsProblem(o.settings); !problem.empty()) {
      return "--settings " + VisibleText(o.settings) + ": " + problem;
    }
  }
  if (command.protocol != TCommandProtocol::kNone && !ParseComName(o.port)) {
    TPortAddress address;
    std::string problem;
    if (!ParsePortAddress(o.port, address, problem)) return "-p " + o.port + ": " + problem;
  }
  return "";
}

}  // namespace

int RunFulctl(int argc, const char* const* argv, std::FILE* out, std::FILE* err) {
  TOptions options;
  std::string error;
  if (!ParseOptions(argc, argv, options, error)) return Usage(err, error);
  if (options.help) return Print(out, err, HelpText());
  if (options.version) return Print(out, err, std::string(kVersion) + "\n");
  // Arguments are checked before the port is touched.
  const TCommand* command = FindCommand(options.command);
  if (command == nullptr) {
    if (options.command.empty()) return Usage(err, "no command given");
    std::string problem = "unknown command '" + options.command + "'";
    const std::vector<std::string_view> nearest = NearestCommands(options.command);
    for (size_t i = 0; i < nearest.size(); ++i) {
      problem += (i == 0 ? "; did you mean '" : " or '") + std::string(nearest[i]) + "'";
    }
    return Usage(err, problem + (nearest.empty() ? "" : "?"));
  }
  const TArguments& arguments = options.arguments;
  if (arguments.size() < command->min_arguments || arguments.size() > command->max_arguments) {
    return Usage(err, CountProblem(*command, arguments));
  }
  const TPrepared prepared = command->prepare(arguments, options);
  if (!prepared.run) return Usage(err, prepared.problem);
  if (const std::string problem = OptionProblem(options, *command, prepared); !problem.empty()) {
    return Usage(err, problem);
  }

  TSession session(options, ProgramFolder(argc > 0 ? argv[0] : "fulctl"), out, err);
  if (command->protocol != TCommandProtocol::kNone) {
    const bool is_10x = command->protocol == TCommandProtocol::k10x;
    if (!session.SetUp(is_10x ? TWireProtocol::k10x : TWireProtocol::kModbus)) {
      return session.Finish(session.Output().Status());
    }
  }
  return session.Finish(prepared.run(session));
}

}  // namespace oxa::cli
