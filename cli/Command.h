// fulctl's commands, one row each in one table: the dispatcher, its usage errors and --help
// all read it. A row checks its arguments before the port is touched and hands back the work
// to run on the line.
#pragma once

#include <cstddef>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cli/Options.h"

namespace oxa::cli {

class TSession;

// What a command's arguments come to: the work to run once the line is set up (its exit
// status), or, with `run` empty, what was wrong with them.
struct TPrepared {
  std::function<int(TSession&)> run;
  std::string problem;
  bool repeats = false;  // a read that -n repeats
  bool writes = false;   // a write or a doser command, which address 0 sends to every device
  bool csv = false;      // a read whose values make a row of --csv
};

using TArguments = std::vector<std::string>;

// The protocol a command speaks: what the trace decodes, and whether it needs the line at all.
enum class TCommandProtocol {
  kModbus,
  k10x,
  kBoth,  // chosen exchange by exchange
  kNone,  // the command needs no port
};

struct TCommand {
  std::string_view name;
  std::string_view synopsis;  // its arguments in --help: "START COUNT"
  std::string_view help;      // what it does, in --help; lines separated by '\n'
  size_t min_arguments;
  size_t max_arguments;
  // The usage error for another number of arguments; "" for "NAME takes no arguments".
  std::string_view count_problem;
  TCommandProtocol protocol;
  // Checks the arguments (their number is checked already) and the options they go with.
  TPrepared (*prepare)(const TArguments& arguments, const TOptions& options);
};

std::span<const TCommand> CommandTable();
// The row of command `name`; null for a name that is none.
const TCommand* FindCommand(std::string_view name);
// The commands nearest to `typed`, a name that is none, for "did you mean ...?": those fewest
// edits away (a letter added, left out, changed, or two swapped), and only when that is one
// edit, or two for a name of 6 letters or more; none when nothing is that close.
std::vector<std::string_view> NearestCommands(std::string_view typed);
// The usage error for `arguments`, whose number the command does not take.
std::string CountProblem(const TCommand& command, const TArguments& arguments);

// The commands in files of their own.
TPrepared PrepareArchive(const TArguments& arguments, const TOptions& options);
TPrepared PrepareScan(const TArguments& arguments, const TOptions& options);

}  // namespace oxa::cli
