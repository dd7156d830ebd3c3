// What fulctl needs from the system beyond the library: the console, Ctrl+C, pauses that
// Ctrl+C ends, and where the program lies. One implementation file per system.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace oxa::cli {

// Makes the console show UTF-8 text (Windows sets its output code page; POSIX needs nothing).
void PrepareConsole();
// From now on Ctrl+C (and a termination request) only sets Interrupted(), so a run of several
// exchanges can end cleanly after the one under way.
void CatchInterrupt();
bool Interrupted();
// Pauses `ms` milliseconds, or until Ctrl+C.
void PauseMs(uint32_t ms);
// True when `stream` is a terminal (for progress bars).
bool IsTerminal(std::FILE* stream);
// The folder of the running program, with a trailing separator; `argv0` where the system
// cannot tell.
std::string ProgramFolder(const char* argv0);

}  // namespace oxa::cli
