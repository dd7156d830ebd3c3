// Files a program keeps beside a file it writes, for itself and its own later runs: the lock
// of a run under way, and what an earlier run left (an archive's FILE.part and FILE.info).
// Their names are known in advance, so in a folder that every user may write (/tmp) any of
// them may have been put there by somebody else, as a link to another file or as a file of
// their own. Only a regular file of this user is taken; anything else is in the way. One
// implementation file per system (serial/platform/posix_file_lock.cpp,
// serial/platform/win32_file_lock.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "serial/OxaHost.h"
#include "serial/OxaOutputFile.h"

namespace oxa {

// True when `path` is nothing or a regular file of this user; else false, with what lies there
// in `what` ("a symbolic link", "a FIFO", "a file of another user"). A link is never followed.
bool OwnFileOrNothing(const std::string& path, std::string& what);

// Reads the regular file of this user at `path` into `text` when it holds at most `max_size`
// bytes, as ReadSmallFile does, without following a link: kNotRegular, with `what` as
// OwnFileOrNothing says it, for anything else, which is never opened for reading.
TFileState ReadOwnFile(const std::string& path, size_t max_size, std::string& text,
                       std::string& what);

// An advisory lock on a lock file (an archive's FILE.lock), held from Take until Release or
// the end of the object, so that two runs never write the same file at once. The lock file is
// made exclusively, without following a link, or taken over when it is a regular file of this
// user (one that a killed run left). Release removes it. The lock holds between threads of one
// program as between programs; on a file system that keeps no locks, Take goes on without.
class TFileLock {
 public:
  enum class TTake {
    kTaken,
    kHeld,     // another run holds it: HolderPid() and HolderName() say which, where known
    kRefused,  // no lock file could be had: Error() says why (kInTheWay: something else there)
  };

  TFileLock() = default;
  ~TFileLock();
  TFileLock(const TFileLock&) = delete;
  TFileLock& operator=(const TFileLock&) = delete;

  TTake Take(const std::string& path);
  // Removes the lock file and lets the lock go; nothing when none is held.
  void Release();
  bool Held() const { return handle_ != -1; }

  // kHeld: the process that holds the lock, 0 where the system does not tell (Windows, or a
  // holder outside this system's view), and its program name as the system has it, raw: a
  // text from outside. Empty when unknown.
  int64_t HolderPid() const { return holder_pid_; }
  const std::string& HolderName() const { return holder_name_; }
  const TOutputError& Error() const { return error_; }

 private:
  TTake Refuse(TOutputFailure failure, std::string detail);

  intptr_t handle_ = -1;
  std::string path_;
  int64_t holder_pid_ = 0;
  std::string holder_name_;
  TOutputError error_;
};

}  // namespace oxa
