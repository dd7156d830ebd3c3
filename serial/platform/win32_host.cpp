// The host services of Windows. Ctrl+C is caught through a console control handler that ends
// a pause at once by setting an event.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "serial/OxaHost.h"
#include "serial/platform/win32_text.h"

namespace oxa {

namespace {

// Writes all of `text` to the open file `file`.
bool WriteAll(HANDLE file, std::string_view text) {
  while (!text.empty()) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(text.size(), 1u << 30));
    if (!::WriteFile(file, text.data(), chunk, &written, nullptr) || written == 0) return false;
    text.remove_prefix(written);
  }
  return ::FlushFileBuffers(file) != 0;
}

// Writes `text` at `offset` of the open file `file`.
bool WriteAllAt(HANDLE file, std::string_view text, uint64_t offset) {
  LARGE_INTEGER at{};
  at.QuadPart = static_cast<LONGLONG>(offset);
  if (!::SetFilePointerEx(file, at, nullptr, FILE_BEGIN)) return false;
  while (!text.empty()) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(text.size(), 1u << 30));
    if (!::WriteFile(file, text.data(), chunk, &written, nullptr) || written == 0) return false;
    text.remove_prefix(written);
  }
  return true;
}

bool SetLength(HANDLE file, uint64_t length) {
  LARGE_INTEGER at{};
  at.QuadPart = static_cast<LONGLONG>(length);
  return ::SetFilePointerEx(file, at, nullptr, FILE_BEGIN) && ::SetEndOfFile(file);
}

// Writes `text` over the open file `file` in place, keeping its old contents until the new
// ones are whole: the part beyond the old end goes first, so that a full disk refuses the write
// before anything old is touched (the file is then cut back to its old length); only then the
// rest is written over the old bytes and the file is cut to the new length.
bool OverwriteInPlace(HANDLE file, std::string_view text) {
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(file, &size)) return false;
  const auto old_size = static_cast<uint64_t>(size.QuadPart);
  if (text.size() > old_size) {
    if (!WriteAllAt(file, text.substr(old_size), old_size) || !::FlushFileBuffers(file)) {
      SetLength(file, old_size);
      return false;
    }
  }
  if (!WriteAllAt(file, text.substr(0, std::min<uint64_t>(text.size(), old_size)), 0)) {
    return false;
  }
  if (text.size() < old_size && !SetLength(file, text.size())) return false;
  return ::FlushFileBuffers(file) != 0;
}

// A mutex of this session named after the full path of `path` (in any case), which every
// program that changes that file takes; null when none can be had.
HANDLE FileMutex(const std::string& path) {
  const std::wstring wide = platform::Widen(path);
  std::wstring full(MAX_PATH, L'\0');
  DWORD length =
      ::GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  if (length >= full.size()) {
    full.resize(length);
    length = ::GetFullPathNameW(wide.c_str(), length, full.data(), nullptr);
  }
  if (length == 0 || length >= full.size()) return nullptr;
  full.resize(length);
  ::CharLowerBuffW(full.data(), length);
  // Mutex names are short and take no backslash: the path goes in as its FNV-1a hash.
  uint64_t hash = 14695981039346656037ull;
  for (const wchar_t c : full) {
    hash = (hash ^ static_cast<uint16_t>(c)) * 1099511628211ull;
  }
  std::wstring name = L"Local\\oxa-file-lock-";
  for (int shift = 60; shift >= 0; shift -= 4) name += L"0123456789abcdef"[(hash >> shift) & 0xF];
  return ::CreateMutexW(nullptr, FALSE, name.c_str());
}

UINT g_console_output_cp = 0;  // the console's own output code page, put back at exit

void RestoreConsoleOutputCp() {
  if (g_console_output_cp != 0) ::SetConsoleOutputCP(g_console_output_cp);
}

std::atomic<bool> g_interrupted{false};
HANDLE g_interrupt_event = nullptr;

BOOL WINAPI OnConsoleControl(DWORD type) {
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT) {
    return FALSE;
  }
  g_interrupted = true;
  if (g_interrupt_event != nullptr) ::SetEvent(g_interrupt_event);
  return TRUE;
}

}  // namespace

std::tm LocalTimeNow() {
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm local{};
  ::localtime_s(&local, &now);
  return local;
}

TLocalTime LocalTimeOf(std::chrono::system_clock::time_point when) {
  const auto ms = std::chrono::floor<std::chrono::milliseconds>(when.time_since_epoch()).count();
  const auto seconds = std::chrono::floor<std::chrono::seconds>(when.time_since_epoch()).count();
  const auto now = static_cast<std::time_t>(seconds);
  TLocalTime local;
  ::localtime_s(&local.tm, &now);
  local.millisecond = static_cast<uint16_t>(ms - seconds * 1000);
  // The local fields read as if they were UTC, less the moment itself: the offset then in
  // force, summer time included.
  std::tm fields = local.tm;
  const std::time_t as_utc = ::_mkgmtime(&fields);
  if (as_utc != static_cast<std::time_t>(-1))
    local.utc_offset_s = static_cast<int32_t>(as_utc - now);
  return local;
}

THostSystem HostSystem() {
  return THostSystem::kWindows;
}

bool UseUtf8Console() {
  const UINT current = ::GetConsoleOutputCP();
  if (current == 0) return false;  // no console
  if (current == CP_UTF8) return true;
  if (!::SetConsoleOutputCP(CP_UTF8)) return false;
  // The code page belongs to the console window, which outlives the program (cmd.exe runs on
  // in it): the one it had comes back at exit.
  if (g_console_output_cp == 0) {
    g_console_output_cp = current;
    std::atexit(RestoreConsoleOutputCp);
  }
  return true;
}

void CatchInterrupt() {
  if (g_interrupt_event == nullptr) {
    g_interrupt_event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  }
  ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

bool Interrupted() {
  return g_interrupted;
}

void PauseMs(uint32_t ms) {
  if (Interrupted()) return;
  if (g_interrupt_event != nullptr) {
    ::WaitForSingleObject(g_interrupt_event, ms);
  } else {
    ::Sleep(ms);
  }
}

void UseBinaryOutput(std::FILE* stream) {
  std::fflush(stream);
  ::_setmode(::_fileno(stream), _O_BINARY);
}

bool IsTerminal(std::FILE* stream) {
  return ::_isatty(::_fileno(stream)) != 0;
}

std::string ProgramFolder(const char* argv0) {
  wchar_t path[MAX_PATH];
  const DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::filesystem::path exe =
      n > 0 && n < MAX_PATH ? std::filesystem::path(path) : std::filesystem::path(argv0);
  const std::u8string folder = exe.parent_path().u8string();
  return std::string(folder.begin(), folder.end()) + "\\";
}

TFileState ReadSmallFile(const std::string& path, size_t max_size, std::string& text) {
  text.clear();
  const std::wstring wide = platform::Widen(path);
  WIN32_FILE_ATTRIBUTE_DATA info{};
  if (!::GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &info)) {
    const DWORD error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? TFileState::kMissing
                                                                          : TFileState::kUnreadable;
  }
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return TFileState::kNotRegular;
  const uint64_t size = (uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
  if (size > max_size) return TFileState::kTooLarge;
  const HANDLE file = ::CreateFileW(wide.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return TFileState::kUnreadable;
  // What was opened is what counts: a device (a COM port, NUL) is no settings file.
  TFileState state = TFileState::kReadable;
  if (::GetFileType(file) != FILE_TYPE_DISK) {
    state = TFileState::kNotRegular;
  } else {
    char chunk[65536];
    while (text.size() <= max_size) {
      DWORD got = 0;
      if (!::ReadFile(file, chunk, sizeof chunk, &got, nullptr)) {
        state = TFileState::kUnreadable;
        break;
      }
      if (got == 0) break;
      text.append(chunk, got);
    }
    if (text.size() > max_size) state = TFileState::kTooLarge;
  }
  ::CloseHandle(file);
  if (state != TFileState::kReadable) text.clear();
  return state;
}

bool ReplaceSmallFile(const std::string& path, std::string_view text, bool exists) {
  const std::wstring target = platform::Widen(path);
  if (exists) {
    const DWORD attributes = ::GetFileAttributesW(target.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY)) {
      return false;
    }
  }
  static unsigned counter = 0;
  const std::wstring temporary = target + L".tmp" + std::to_wstring(::GetCurrentProcessId()) +
                                 L"-" + std::to_wstring(counter++);
  const HANDLE file = ::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    // A folder the user may not write to: a writable file there is written in place.
    if (!exists || ::GetLastError() != ERROR_ACCESS_DENIED) return false;
    const HANDLE direct = ::CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
    if (direct == INVALID_HANDLE_VALUE) return false;
    const bool ok = OverwriteInPlace(direct, text);
    return ::CloseHandle(direct) != 0 && ok;
  }
  bool ok = WriteAll(file, text);
  ok = ::CloseHandle(file) != 0 && ok;
  ok = ok && ::MoveFileExW(temporary.c_str(), target.c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
  if (!ok) ::DeleteFileW(temporary.c_str());
  return ok;
}

bool UpdateSmallFile(const std::string& path, size_t max_size,
                     const std::function<void(std::string& text)>& change) {
  // A lock on the file itself would keep MoveFileEx from replacing it while it is held.
  const HANDLE mutex = FileMutex(path);
  if (mutex == nullptr) return false;
  const DWORD waited = ::WaitForSingleObject(mutex, 2000);
  // An abandoned mutex is taken all the same: its holder ended, and the file was replaced
  // whole or not at all.
  if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
    ::CloseHandle(mutex);
    return false;
  }
  std::string text;
  const TFileState state = ReadSmallFile(path, max_size, text);
  bool ok = state == TFileState::kReadable || state == TFileState::kMissing;
  if (ok) {
    change(text);
    ok = ReplaceSmallFile(path, text, state == TFileState::kReadable);
  }
  ::ReleaseMutex(mutex);
  ::CloseHandle(mutex);
  return ok;
}

std::string UserConfigFolder() {
  const wchar_t* app_data = ::_wgetenv(L"APPDATA");
  if (app_data != nullptr && app_data[0] != L'\0') return platform::Narrow(app_data);
  const wchar_t* profile = ::_wgetenv(L"USERPROFILE");
  return profile != nullptr ? platform::Narrow(profile) + "\\AppData\\Roaming" : ".";
}

bool FolderWritable(const std::string& folder) {
  // Windows tells write permission on a folder by trying: a file made and removed at once.
  const std::wstring probe = platform::Widen(folder) + L"\\.ful03test-write-probe-" +
                             std::to_wstring(::GetCurrentProcessId());
  const HANDLE file = ::CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  ::CloseHandle(file);
  return true;
}

bool MakePrivateFolder(const std::string& folder) {
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(platform::Widen(folder)), ec);
  return !ec;
}

}  // namespace oxa
