// What the library and its front ends take from the host system besides the port itself: the
// local time, and a console that shows UTF-8. One implementation file per system
// (serial/platform/posix_host.cpp, serial/platform/win32_host.cpp), chosen by CMake, so that no
// layer above this one calls the system directly.
#pragma once

#include <ctime>

namespace oxa {

// The host's local date and time now, broken down as std::localtime gives it (tm_year counts
// from 1900, tm_mon from 0). Safe to call from any thread.
std::tm LocalTimeNow();

// Lets the console show the UTF-8 text a command-line program prints. On Windows the console's
// output code page becomes UTF-8 (SetConsoleOutputCP(CP_UTF8)) and the one it had is put back
// when the program ends; POSIX terminals take UTF-8 as it comes, so there it does nothing. A
// program calls it once at start. False where the system refused (no console attached: the
// output then goes to a file or a pipe, as UTF-8 all the same).
bool UseUtf8Console();

}  // namespace oxa
