// A program's own files beside the files it writes, and the lock of a run, on Windows. Files
// are opened with FILE_FLAG_OPEN_REPARSE_POINT, so that a link is opened as itself, never
// followed, and refused. The lock is LockFileEx on the lock file's first byte; Windows does
// not say which process holds such a lock, so a run that meets one cannot name it. The owner of
// a file is not asked: a user's temporary folder is the user's own there.
#include <windows.h>

#include "serial/OxaFileLock.h"
#include "serial/platform/win32_text.h"

namespace oxa {

namespace {

HANDLE Handle(intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}

// "" for a regular file (or the handle's own file), else what it is.
std::string WhatIs(DWORD attributes) {
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return "a link";
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return "a folder";
  return "";
}

std::string NotOurs(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (::GetFileType(file) != FILE_TYPE_DISK) return "a device";
  if (!::GetFileInformationByHandle(file, &info)) return "a special file";
  return WhatIs(info.dwFileAttributes);
}

}  // namespace

bool OwnFileOrNothing(const std::string& path, std::string& what) {
  what.clear();
  const DWORD attributes = ::GetFileAttributesW(platform::Widen(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
  }
  what = WhatIs(attributes);
  return what.empty();
}

TFileState ReadOwnFile(const std::string& path, size_t max_size, std::string& text,
                       std::string& what) {
  text.clear();
  if (!OwnFileOrNothing(path, what)) {
    return what.empty() ? TFileState::kUnreadable : TFileState::kNotRegular;
  }
  return ReadSmallFile(path, max_size, text);
}

// ---- TFileLock -----------------------------------------------------------------------------

TFileLock::~TFileLock() {
  Release();
}

TFileLock::TTake TFileLock::Refuse(TOutputFailure failure, std::string detail) {
  error_ = {failure, std::move(detail)};
  return TTake::kRefused;
}

TFileLock::TTake TFileLock::Take(const std::string& path) {
  Release();
  error_ = {};
  holder_pid_ = 0;
  holder_name_.clear();
  std::string what;
  if (!OwnFileOrNothing(path, what) && !what.empty()) {
    return Refuse(TOutputFailure::kInTheWay, what);
  }
  // Not shared for deletion: the file is removed only when no other run has it open.
  const HANDLE file = ::CreateFileW(platform::Widen(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return Refuse(TOutputFailure::kSystem, platform::SystemMessage(::GetLastError()));
  }
  if (what = NotOurs(file); !what.empty()) {
    ::CloseHandle(file);
    return Refuse(TOutputFailure::kInTheWay, what);
  }
  OVERLAPPED at{};
  if (!::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
    const DWORD error = ::GetLastError();
    ::CloseHandle(file);
    if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING) return TTake::kHeld;
    return Refuse(TOutputFailure::kSystem, platform::SystemMessage(error));
  }
  handle_ = reinterpret_cast<intptr_t>(file);
  path_ = path;
  return TTake::kTaken;
}

void TFileLock::Release() {
  if (handle_ == -1) return;
  const HANDLE file = Handle(handle_);
  handle_ = -1;
  OVERLAPPED at{};
  ::UnlockFileEx(file, 0, 1, 0, &at);
  ::CloseHandle(file);
  // Fails, and leaves it, while another run has it open: that one takes it over.
  ::DeleteFileW(platform::Widen(path_).c_str());
}

}  // namespace oxa
