// The files the programs make for their user, on POSIX systems. A path is looked at with lstat
// before anything is opened or made, and what is opened is looked at again with fstat, since
// the path may have changed in between: what it says decides.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "serial/OxaOutputFile.h"
#include "serial/platform/output_file.h"
#include "serial/platform/posix_file_kind.h"

namespace oxa {

namespace {

using platform::WhatIs;

std::string SystemText(int error) {
  return std::strerror(error);
}

// The permissions this process takes away from a file it creates (its umask), read without
// changing it where the system tells (Linux), since changing it for a moment would change it
// for every thread.
mode_t CreationMask() {
  if (std::FILE* status = std::fopen("/proc/self/status", "re")) {
    char line[256];
    unsigned mask = 0;
    bool found = false;
    while (!found && std::fgets(line, sizeof line, status) != nullptr) {
      found = std::sscanf(line, "Umask: %o", &mask) == 1;
    }
    std::fclose(status);
    if (found) return static_cast<mode_t>(mask & 0777);
  }
  const mode_t mask = ::umask(022);
  ::umask(mask);
  return mask;
}

// Write permission for the group and others that a file this process creates would not have.
mode_t ForeignWrite() {
  return 022 & CreationMask();
}

// Why the regular file `st` is not this user's own to write on, as a file this process made
// would be, in the words of a message; "" when it is. A file another user owns, one that users
// other than this one may write (a row added by them, or the whole file replaced), or one that
// has other names (another file of this user's reached through a hard link) is refused.
std::string NotOursWhy(const struct stat& st) {
  if (st.st_uid != ::geteuid()) return "a file of another user";
  if ((st.st_mode & ForeignWrite()) != 0) return "a file other users may write";
  if (st.st_nlink > 1) return "a file with other names (hard links)";
  return {};
}

bool WriteAll(int fd, const void* bytes, size_t size) {
  const char* data = static_cast<const char*>(bytes);
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Writes the folder of `path` to the disk, so that a rename in it survives a power cut. Some
// file systems refuse to sync a folder; the data itself is on the disk already then.
void SyncFolder(const std::string& path) {
  std::filesystem::path folder = std::filesystem::path(path).parent_path();
  if (folder.empty()) folder = ".";
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  (void)::fsync(fd);
  ::close(fd);
}

}  // namespace

namespace platform {

bool WriteWhole(intptr_t handle, const void* bytes, size_t size, std::string& why) {
  if (WriteAll(static_cast<int>(handle), bytes, size)) return true;
  why = SystemText(errno);
  return false;
}

bool CutTo(intptr_t handle, uint64_t size) {
  return ::ftruncate(static_cast<int>(handle), static_cast<off_t>(size)) == 0 &&
         ::lseek(static_cast<int>(handle), static_cast<off_t>(size), SEEK_SET) >= 0;
}

}  // namespace platform

// ---- TOutputFile ---------------------------------------------------------------------------

void TOutputFile::Close() {
  if (handle_ != -1) ::close(static_cast<int>(handle_));
  handle_ = -1;
}

bool TOutputFile::CreateTemporary() {
  const std::string& target = target_;
  struct stat st {};
  bool keep_mode = false;
  if (::lstat(target.c_str(), &st) == 0) {
    if (!S_ISREG(st.st_mode)) return Fail(TOutputFailure::kNotRegular, WhatIs(st.st_mode));
    keep_mode = true;
  } else if (errno != ENOENT) {
    return Fail(TOutputFailure::kSystem, SystemText(errno));
  }
  // The new file keeps the permissions of the file it replaces only when that file is this
  // user's own, and never lets more users write it than a file made now would: another user's
  // file, however open, is replaced by one with the usual permissions (the umask applies).
  keep_mode = keep_mode && st.st_uid == ::geteuid();
  const mode_t mode = st.st_mode & 0777 & ~ForeignWrite();  // never set-user-ID and the like
  constexpr int kFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY;
  int fd = ::open(temporary_.c_str(), kFlags, 0666);
  if (fd < 0 && errno == EEXIST) {
    // A regular file of this user is what an earlier run that failed left behind: it gives way.
    // Anything else (a link, a FIFO, another user's file) may have been put there on purpose.
    struct stat old {};
    if (::lstat(temporary_.c_str(), &old) != 0) {
      return Fail(TOutputFailure::kSystem, SystemText(errno));
    }
    if (!S_ISREG(old.st_mode)) return Fail(TOutputFailure::kInTheWay, WhatIs(old.st_mode));
    if (old.st_uid != ::geteuid()) {
      return Fail(TOutputFailure::kInTheWay, "a file of another user");
    }
    if (::unlink(temporary_.c_str()) != 0) return Fail(TOutputFailure::kSystem, SystemText(errno));
    // Exclusive again: whatever appeared in between is not opened.
    fd = ::open(temporary_.c_str(), kFlags, 0666);
  }
  if (fd < 0) return Fail(TOutputFailure::kSystem, SystemText(errno));
  handle_ = fd;
  // The new file is never readable by more users than the one it replaces, not even for the
  // moment it takes to write it.
  if (keep_mode && ::fchmod(fd, mode) != 0) {
    const int error = errno;
    Discard();
    return Fail(TOutputFailure::kSystem, SystemText(error));
  }
  return true;
}

bool TOutputFile::CommitOpened() {
  const int fd = static_cast<int>(handle_);
  handle_ = -1;
  if (::fsync(fd) != 0) {
    const int error = errno;
    ::close(fd);
    return Fail(TOutputFailure::kSystem, SystemText(error));
  }
  if (::close(fd) != 0) return Fail(TOutputFailure::kSystem, SystemText(errno));
  if (::rename(temporary_.c_str(), target_.c_str()) != 0) {
    return Fail(TOutputFailure::kSystem, SystemText(errno));
  }
  SyncFolder(target_);
  return true;
}

void TOutputFile::Discard() {
  if (handle_ == -1) return;
  Close();
  ::unlink(temporary_.c_str());
}

// ---- TAppendFile ---------------------------------------------------------------------------

bool TAppendFile::Open(const std::string& path) {
  Close();
  error_ = {};
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    Fail(TOutputFailure::kNotRegular, WhatIs(st.st_mode));
    return false;
  }
  // Without following a link and without waiting for a reader, should the path have become a
  // link or a FIFO since it was looked at.
  const int fd =
      ::open(path.c_str(),
             O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd < 0) {
    const int error = errno;
    if (error == ELOOP) {
      Fail(TOutputFailure::kNotRegular, "a symbolic link");
    } else if (error == ENXIO) {
      Fail(TOutputFailure::kNotRegular, "a FIFO");
    } else if (error == EISDIR) {
      Fail(TOutputFailure::kNotRegular, "a folder");
    } else {
      Fail(TOutputFailure::kSystem, SystemText(error));
    }
    return false;
  }
  if (::fstat(fd, &st) != 0) {
    Fail(TOutputFailure::kSystem, SystemText(errno));
    ::close(fd);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    Fail(TOutputFailure::kNotRegular, WhatIs(st.st_mode));
    return false;
  }
  // Only a file of this user's that nobody else may write is written on: in another's, rows
  // could be added among ours while we write. Left as it was.
  if (std::string why = NotOursWhy(st); !why.empty()) {
    ::close(fd);
    Fail(TOutputFailure::kNotOurs, std::move(why));
    return false;
  }
  // A regular file: writes may block as usual from now on.
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0 || ::ftruncate(fd, 0) != 0) {
    const int error = errno;
    ::close(fd);
    Fail(TOutputFailure::kSystem, SystemText(error));
    return false;
  }
  handle_ = fd;
  return true;
}

bool TAppendFile::Close() {
  if (handle_ == -1) return !Failed();
  const int fd = static_cast<int>(handle_);
  handle_ = -1;
  if (!Failed() && ::fsync(fd) != 0) Fail(TOutputFailure::kSystem, SystemText(errno));
  if (::close(fd) != 0) Fail(TOutputFailure::kSystem, SystemText(errno));
  return !Failed();
}

}  // namespace oxa
