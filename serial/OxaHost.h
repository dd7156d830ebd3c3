// What the library and its front ends take from the host system besides the port itself: the
// local time, the console (UTF-8 text, Ctrl+C, whether it is a terminal), pauses that Ctrl+C
// ends, where the program lies, and small text files read and replaced safely (the settings
// file). One implementation file per system (serial/platform/posix_host.cpp,
// serial/platform/win32_host.cpp), chosen by CMake, so that no layer above this one calls the
// system directly.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>

namespace oxa {

// The kind of system the program runs on, for the texts that tell a user what to do about a
// port there (Device Manager or /dev, dialout or none).
enum class THostSystem { kPosix, kWindows };
THostSystem HostSystem();

// The host's local date and time now, broken down as std::localtime gives it (tm_year counts
// from 1900, tm_mon from 0). Safe to call from any thread.
std::tm LocalTimeNow();

// A moment as the host's clock shows it: the local date and time, the milliseconds, and how far
// local time then stood from UTC (east positive: +3600 for UTC+01:00), summer time included.
struct TLocalTime {
  std::tm tm{};
  uint16_t millisecond = 0;
  int32_t utc_offset_s = 0;
};
// `when` in local time. Safe to call from any thread.
TLocalTime LocalTimeOf(std::chrono::system_clock::time_point when);

// Lets the console show the UTF-8 text a command-line program prints. On Windows the console's
// output code page becomes UTF-8 (SetConsoleOutputCP(CP_UTF8)) and the one it had is put back
// when the program ends; POSIX terminals take UTF-8 as it comes, so there it does nothing. A
// program calls it once at start. False where the system refused (no console attached: the
// output then goes to a file or a pipe, as UTF-8 all the same).
bool UseUtf8Console();

// From now on Ctrl+C (and a termination request) only sets Interrupted(), so a run of several
// exchanges can end cleanly after the one under way.
void CatchInterrupt();
bool Interrupted();
// Pauses `ms` milliseconds, or until Ctrl+C.
void PauseMs(uint32_t ms);
// Writes `stream`'s bytes as they are from now on: on Windows a text stream turns each "\n"
// into "\r\n", which would double the CR of lines that end in CR LF already (CSV); POSIX
// streams never change bytes, so there it does nothing.
void UseBinaryOutput(std::FILE* stream);
// True when `stream` is a terminal (for progress bars).
bool IsTerminal(std::FILE* stream);
// The folder of the running program, with a trailing separator; that of `argv0` where the
// system cannot tell.
std::string ProgramFolder(const char* argv0);

// What lies at the path of a small text file such as the settings file.
enum class TFileState {
  kReadable,    // a regular file within the size asked for, read whole
  kMissing,     // nothing there
  kUnreadable,  // a regular file that cannot be opened for reading
  kNotRegular,  // a device, FIFO, socket or folder: never opened, so never waited on
  kTooLarge,    // a regular file above the size asked for
};

// Reads the regular file at `path` into `text` when it holds at most `max_size` bytes (text is
// left empty otherwise). The path is looked at before it is opened: opening a FIFO would wait
// for a writer, and a device such as /dev/zero never ends.
TFileState ReadSmallFile(const std::string& path, size_t max_size, std::string& text);

// Replaces the file at `path` with `text`: through a temporary file beside it that then takes
// its place, so a failed write (a full disk) never leaves a truncated file; the file keeps its
// permissions (and, where the superuser rewrites another user's file, its owner), and a link
// keeps pointing at it, the file it points at being written. A link that belongs to another
// user, or lies in a folder others may write (who could swap it), is not followed: the write
// is refused, and the link and its file stay as they are. Each step names the file relative to
// its folder, opened once, and follows no link there, so a link swapped into the file's place
// meanwhile steers nothing to another file. A writable file in a folder where no temporary
// file can be made is written in place, keeping its old contents until the new ones are whole
// (a full disk refuses the write and leaves the file as it was). A file without any write
// permission is read-only also for the superuser. `exists`: there is a file to replace (else it is
// created). False, with the file untouched, when it cannot be written.
bool ReplaceSmallFile(const std::string& path, std::string_view text, bool exists);

// The user's configuration folder, where installed programs keep their settings:
// $XDG_CONFIG_HOME, or ~/.config when it is unset, empty or not an absolute path (the home
// folder is $HOME, or the user's entry in the password database), on POSIX; %APPDATA% on
// Windows.
std::string UserConfigFolder();

// True when this user may make files in `folder`. A folder without any write permission counts
// as read-only also for the superuser.
bool FolderWritable(const std::string& folder);

// Makes `folder` and every missing folder above it, each private to the user where the system
// keeps such permissions (mode 0700). False when a folder cannot be made.
bool MakePrivateFolder(const std::string& folder);

// ---- Files that several programs change -----------------------------------------------------

// Changes the small text file at `path` (the settings file, which the window and fulctl both
// write): reads it as ReadSmallFile does, lets `change` turn its text into the new one, and
// replaces it as ReplaceSmallFile does, holding an advisory lock on the file across all three,
// so that two programs changing it at once each keep the other's change. The lock is flock on
// the file on POSIX, a mutex named after the file's full path on Windows; a program that takes
// it waits for it a few seconds at most. A missing file reads as empty and is created. False,
// with the file untouched, when it is not a regular file within `max_size` bytes, cannot be
// read, its lock stays taken, or it cannot be written.
bool UpdateSmallFile(const std::string& path, size_t max_size,
                     const std::function<void(std::string& text)>& change);

}  // namespace oxa
