#include "cli/Fulctl.h"

#include <string>
#include <string_view>

#include "cli/Command.h"
#include "cli/Options.h"
#include "cli/Platform.h"
#include "cli/Session.h"

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
  3  bad answer: wrong checksum, size or address complement
  4  device exception: the device refused the request
  5  port: the port could not be opened (not present, busy, permission denied, ...) or
     lost its device
  6  mismatch: a value written reads back different
  7  output: the trace or archive file could not be written (the blocks read before a
     failed write stay in FILE.part)
  8  interrupted: Ctrl+C ended an archive before its last block (the whole blocks read
     are kept)

Examples:
  fulctl -p /dev/ttyUSB0 -a 3 regs 0 10
  fulctl -p COM2 -b 19200 --json integrator all
  fulctl regs 2201 1 -n 0 -i 500          poll the dose register until Ctrl+C
  fulctl archive 0 99 -o archive.bin
  fulctl scan --bauds 9600,19200 --addresses 1-32
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
  std::fprintf(err, "fulctl: %s\n%s", problem.c_str(), kUsage);
  return kExitUsage;
}

}  // namespace

int RunFulctl(int argc, const char* const* argv, std::FILE* out, std::FILE* err) {
  TOptions options;
  std::string error;
  if (!ParseOptions(argc, argv, options, error)) return Usage(err, error);
  if (options.help) {
    std::fputs(HelpText().c_str(), out);
    return kExitOk;
  }
  if (options.version) {
    std::fprintf(out, "%s\n", kVersion);
    return kExitOk;
  }
  // Arguments are checked before the port is touched.
  const TCommand* command = FindCommand(options.command);
  if (command == nullptr) {
    return Usage(err, options.command.empty() ? "no command given"
                                              : "unknown command '" + options.command + "'");
  }
  const TArguments& arguments = options.arguments;
  if (arguments.size() < command->min_arguments || arguments.size() > command->max_arguments) {
    return Usage(err, CountProblem(*command));
  }
  const TPrepared prepared = command->prepare(arguments, options);
  if (!prepared.run) return Usage(err, prepared.problem);

  TSession session(options, ProgramFolder(argc > 0 ? argv[0] : "fulctl"), out, err);
  if (command->protocol != TCommandProtocol::kNone) {
    const bool ten_x = command->protocol == TCommandProtocol::k10x;
    if (!session.SetUp(ten_x ? TWireProtocol::k10x : TWireProtocol::kModbus)) {
      return session.Output().Status();
    }
  }
  return session.Finish(prepared.run(session));
}

}  // namespace oxa::cli
