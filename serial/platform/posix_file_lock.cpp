// A program's own files beside the files it writes, and the lock of a run, on POSIX systems.
// A path is looked at with lstat before it is opened, and what is opened (never through a
// link, never waiting on a FIFO) is looked at again with fstat, since the path may have
// changed in between.
//
// The lock is flock on the lock file. It belongs to the open file, not to the process, so it
// keeps every other run out, threads of this program included (a POSIX record lock would not),
// and the system lets it go when its holder ends, however it ends. Linux names the process
// that took it in /proc/locks (an open file description lock, fcntl F_OFD_SETLK, would be
// named there without its process).
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "serial/OxaFileLock.h"
#include "serial/OxaPortInfo.h"
#include "serial/platform/posix_file_kind.h"

namespace oxa {

namespace {

using platform::WhatIs;

// "" for a regular file of this user, else what it is.
std::string NotOurs(const struct stat& st) {
  if (!S_ISREG(st.st_mode)) return WhatIs(st.st_mode);
  if (st.st_uid != ::geteuid()) return "a file of another user";
  return "";
}

// The process that holds the lock on the file `st`, as /proc/locks names it: 0 when it does
// not (no /proc, or a holder outside this system's view of processes).
int64_t Holder(const struct stat& st) {
  std::string locks;
  if (ReadSmallFile("/proc/locks", size_t{16} << 20, locks) != TFileState::kReadable) return 0;
  return ExclusiveLockHolder(locks, major(st.st_dev), minor(st.st_dev), st.st_ino);
}

// Process `pid`'s program name, where the system keeps one under /proc; "" otherwise.
std::string ProgramName(int64_t pid) {
  std::string name;
  if (ReadSmallFile("/proc/" + std::to_string(pid) + "/comm", 256, name) != TFileState::kReadable) {
    return "";
  }
  if (!name.empty() && name.back() == '\n') name.pop_back();
  return name;
}

}  // namespace

bool OwnFileOrNothing(const std::string& path, std::string& what) {
  what.clear();
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT || errno == ENOTDIR;
  what = NotOurs(st);
  return what.empty();
}

TFileState ReadOwnFile(const std::string& path, size_t max_size, std::string& text,
                       std::string& what) {
  text.clear();
  what.clear();
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    return errno == ENOENT || errno == ENOTDIR ? TFileState::kMissing : TFileState::kUnreadable;
  }
  what = NotOurs(st);
  if (!what.empty()) return TFileState::kNotRegular;
  if (static_cast<uintmax_t>(st.st_size) > max_size) return TFileState::kTooLarge;
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    if (errno == ELOOP) {
      what = "a symbolic link";
      return TFileState::kNotRegular;
    }
    return errno == ENOENT ? TFileState::kMissing : TFileState::kUnreadable;
  }
  TFileState state = TFileState::kReadable;
  if (::fstat(fd, &st) != 0) {
    state = TFileState::kUnreadable;
  } else if (what = NotOurs(st); !what.empty()) {
    state = TFileState::kNotRegular;
  } else if (static_cast<uintmax_t>(st.st_size) > max_size) {
    state = TFileState::kTooLarge;
  }
  char chunk[65536];
  while (state == TFileState::kReadable && text.size() <= max_size) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) state = TFileState::kUnreadable;
    if (n <= 0) break;
    text.append(chunk, static_cast<size_t>(n));
  }
  ::close(fd);
  if (state == TFileState::kReadable && text.size() > max_size) state = TFileState::kTooLarge;
  if (state != TFileState::kReadable) text.clear();
  return state;
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
  // A few rounds at most: each one that fails met a lock file removed or made meanwhile.
  for (int round = 0; round < 16; ++round) {
    struct stat st {};
    int flags = O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
    if (::lstat(path.c_str(), &st) == 0) {
      // Not even opened when it is not ours: opening a device may change it.
      if (std::string what = NotOurs(st); !what.empty()) {
        return Refuse(TOutputFailure::kInTheWay, what);
      }
    } else if (errno == ENOENT) {
      flags |= O_CREAT | O_EXCL;
    } else {
      return Refuse(TOutputFailure::kSystem, std::strerror(errno));
    }
    const int fd = ::open(path.c_str(), flags, 0600);
    if (fd < 0) {
      if (errno == EEXIST || errno == ENOENT) continue;  // made or removed meanwhile
      if (errno == ELOOP) return Refuse(TOutputFailure::kInTheWay, "a symbolic link");
      return Refuse(TOutputFailure::kSystem, std::strerror(errno));
    }
    if (::fstat(fd, &st) != 0) {
      const int error = errno;
      ::close(fd);
      return Refuse(TOutputFailure::kSystem, std::strerror(error));
    }
    if (std::string what = NotOurs(st); !what.empty()) {
      ::close(fd);
      return Refuse(TOutputFailure::kInTheWay, what);
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
      holder_pid_ = Holder(st);
      if (holder_pid_ != 0) holder_name_ = ProgramName(holder_pid_);
      ::close(fd);
      return TTake::kHeld;
    }
    // Any other failure is a file system that keeps no locks: the run goes on without one.
    // The holder before us removes the file before it lets the lock go: a lock on a file that
    // is no longer at the path keeps nobody out, so the path is looked at once more.
    struct stat now {};
    if (::lstat(path.c_str(), &now) != 0 || now.st_dev != st.st_dev || now.st_ino != st.st_ino) {
      ::close(fd);
      continue;
    }
    handle_ = fd;
    path_ = path;
    return TTake::kTaken;
  }
  return Refuse(TOutputFailure::kSystem, "the lock file keeps changing");
}

void TFileLock::Release() {
  if (handle_ == -1) return;
  const int fd = static_cast<int>(handle_);
  handle_ = -1;
  // Removed while the lock is held, and only when it is still the file locked.
  struct stat st {};
  struct stat now {};
  if (::fstat(fd, &st) == 0 && ::lstat(path_.c_str(), &now) == 0 && now.st_dev == st.st_dev &&
      now.st_ino == st.st_ino) {
    ::unlink(path_.c_str());
  }
  ::close(fd);
}

}  // namespace oxa
