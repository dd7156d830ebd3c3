// fulctl: every action of the window, and more, from the command line, for scripts and
// production lines. The program's whole behaviour is RunFulctl; main() only calls it.
#pragma once

#include <cstdio>

namespace oxa::cli {

// Exit statuses a script can test; listed in --help and the manual page.
enum TExit : int {
  kExitOk = 0,           // every result was OK
  kExitNoAnswer = 1,     // the device did not answer in time
  kExitUsage = 2,        // the command line was wrong
  kExitBadAnswer = 3,    // an answer came with a wrong checksum, size or address complement, or
                         // the request came back altered or not at all on an echoing line
  kExitException = 4,    // the device refused the request (Modbus exception)
  kExitPort = 5,         // the port could not be opened, or lost its device
  kExitMismatch = 6,     // a value written reads back different
  kExitOutput = 7,       // the standard output, the trace or the archive could not be written
  kExitInterrupted = 8,  // Ctrl+C ended an archive or a scan before its end
};

// Runs the command line `argv` with results on `out` and messages on `err`.
int RunFulctl(int argc, const char* const* argv, std::FILE* out, std::FILE* err);

}  // namespace oxa::cli
