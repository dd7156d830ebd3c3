// The files the programs make for their user, on Windows. A path is looked at before anything
// is opened or made: a folder, a link (a reparse point) or a device (NUL, CON, a COM port, a
// pipe) is refused. Files are opened with FILE_FLAG_OPEN_REPARSE_POINT, so that a link put in
// place meanwhile is opened as itself, never followed.
#include <windows.h>

#include <algorithm>

#include "serial/OxaOutputFile.h"
#include "serial/platform/output_file.h"
#include "serial/platform/win32_text.h"

namespace oxa {

namespace {

HANDLE Handle(intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}

std::string SystemText(DWORD error) {
  return platform::SystemMessage(error);
}

// What lies at `path`: "" for a regular file, or nothing there (`exists` says which); else
// what it is, in the words of a message. False, with `error`, when the system cannot tell.
bool LookAt(const std::wstring& path, bool& exists, std::string& what, DWORD& error) {
  exists = false;
  what.clear();
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
  }
  exists = true;
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    what = "a link";
    return true;
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    what = "a folder";
    return true;
  }
  // A device answers for a name in every folder (NUL, CON, COM1): what opens is what counts.
  // Opened for no access at all, it is neither read nor written.
  const HANDLE file = ::CreateFileW(
      path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = ::GetLastError();
    return false;
  }
  if (::GetFileType(file) != FILE_TYPE_DISK) what = "a device";
  ::CloseHandle(file);
  return true;
}

bool WriteAll(HANDLE file, const void* bytes, size_t size, DWORD& error) {
  const char* data = static_cast<const char*>(bytes);
  while (size > 0) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(size, 1u << 30));
    if (!::WriteFile(file, data, chunk, &written, nullptr) || written == 0) {
      error = ::GetLastError();
      return false;
    }
    data += written;
    size -= written;
  }
  return true;
}

}  // namespace

namespace platform {

bool WriteWhole(intptr_t handle, const void* bytes, size_t size, std::string& why) {
  DWORD error = 0;
  if (WriteAll(Handle(handle), bytes, size, error)) return true;
  why = SystemText(error);
  return false;
}

bool CutTo(intptr_t handle, uint64_t size) {
  LARGE_INTEGER at{};
  at.QuadPart = static_cast<LONGLONG>(size);
  return ::SetFilePointerEx(Handle(handle), at, nullptr, FILE_BEGIN) &&
         ::SetEndOfFile(Handle(handle));
}

}  // namespace platform

// ---- TOutputFile ---------------------------------------------------------------------------

void TOutputFile::Close() {
  if (handle_ != -1) ::CloseHandle(Handle(handle_));
  handle_ = -1;
}

bool TOutputFile::CreateTemporary() {
  const std::wstring wide_target = platform::Widen(target_);
  const std::wstring wide_temporary = platform::Widen(temporary_);
  bool exists = false;
  std::string what;
  DWORD error = 0;
  if (!LookAt(wide_target, exists, what, error))
    return Fail(TOutputFailure::kSystem, SystemText(error));
  if (!what.empty()) return Fail(TOutputFailure::kNotRegular, what);
  const auto create = [&wide_temporary] {
    return ::CreateFileW(wide_temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  };
  HANDLE file = create();
  if (file == INVALID_HANDLE_VALUE &&
      (::GetLastError() == ERROR_FILE_EXISTS || ::GetLastError() == ERROR_ALREADY_EXISTS)) {
    // A regular file is what an earlier run that failed left behind: it gives way. Anything
    // else may have been put there on purpose.
    if (!LookAt(wide_temporary, exists, what, error)) {
      return Fail(TOutputFailure::kSystem, SystemText(error));
    }
    if (!what.empty()) return Fail(TOutputFailure::kInTheWay, what);
    if (!::DeleteFileW(wide_temporary.c_str())) {
      return Fail(TOutputFailure::kSystem, SystemText(::GetLastError()));
    }
    file = create();
  }
  if (file == INVALID_HANDLE_VALUE)
    return Fail(TOutputFailure::kSystem, SystemText(::GetLastError()));
  handle_ = reinterpret_cast<intptr_t>(file);
  return true;
}

bool TOutputFile::CommitOpened() {
  const HANDLE file = Handle(handle_);
  handle_ = -1;
  if (!::FlushFileBuffers(file)) {
    const DWORD error = ::GetLastError();
    ::CloseHandle(file);
    return Fail(TOutputFailure::kSystem, SystemText(error));
  }
  if (!::CloseHandle(file)) return Fail(TOutputFailure::kSystem, SystemText(::GetLastError()));
  if (!::MoveFileExW(platform::Widen(temporary_).c_str(), platform::Widen(target_).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return Fail(TOutputFailure::kSystem, SystemText(::GetLastError()));
  }
  return true;
}

void TOutputFile::Discard() {
  if (handle_ == -1) return;
  Close();
  ::DeleteFileW(platform::Widen(temporary_).c_str());
}

// ---- TAppendFile ---------------------------------------------------------------------------

bool TAppendFile::Open(const std::string& path) {
  Close();
  error_ = {};
  const std::wstring wide = platform::Widen(path);
  bool exists = false;
  std::string what;
  DWORD error = 0;
  if (!LookAt(wide, exists, what, error)) {
    Fail(TOutputFailure::kSystem, SystemText(error));
    return false;
  }
  if (!what.empty()) {
    Fail(TOutputFailure::kNotRegular, what);
    return false;
  }
  const HANDLE file =
      ::CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    Fail(TOutputFailure::kSystem, SystemText(::GetLastError()));
    return false;
  }
  // What was opened is what counts: the path may have changed since it was looked at.
  BY_HANDLE_FILE_INFORMATION info{};
  if (::GetFileType(file) != FILE_TYPE_DISK || !::GetFileInformationByHandle(file, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))) {
    ::CloseHandle(file);
    Fail(TOutputFailure::kNotRegular, "a device, a folder or a link");
    return false;
  }
  // Nobody else may write it while it is open (no FILE_SHARE_WRITE above); a second name would
  // let another file of this user's be emptied and written through this one.
  if (info.nNumberOfLinks > 1) {
    ::CloseHandle(file);
    Fail(TOutputFailure::kNotOurs, "a file with other names (hard links)");
    return false;
  }
  if (!::SetEndOfFile(file)) {
    Fail(TOutputFailure::kSystem, SystemText(::GetLastError()));
    ::CloseHandle(file);
    return false;
  }
  handle_ = reinterpret_cast<intptr_t>(file);
  return true;
}

bool TAppendFile::Close() {
  if (handle_ == -1) return !Failed();
  const HANDLE file = Handle(handle_);
  handle_ = -1;
  if (!Failed() && !::FlushFileBuffers(file))
    Fail(TOutputFailure::kSystem, SystemText(::GetLastError()));
  if (!::CloseHandle(file)) Fail(TOutputFailure::kSystem, SystemText(::GetLastError()));
  return !Failed();
}

}  // namespace oxa
