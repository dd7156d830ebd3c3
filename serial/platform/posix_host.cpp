// The host services of POSIX systems. Ctrl+C is caught through sigaction without restarting,
// so a pause ends the moment it arrives.
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <thread>
#include <vector>

#include "serial/OxaHost.h"

namespace oxa {

namespace {

bool WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    text.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// Writes `text` at `offset` of the file open as `fd`.
bool WriteAllAt(int fd, std::string_view text, off_t offset) {
  while (!text.empty()) {
    const ssize_t n = ::pwrite(fd, text.data(), text.size(), offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    text.remove_prefix(static_cast<size_t>(n));
    offset += n;
  }
  return true;
}

// Writes `text` over the file open as `fd` in place, keeping its old contents until the new
// ones are whole: the part beyond the old end goes first, so that a full disk refuses the write
// before anything old is touched (the file is then cut back to its old length); only then the
// rest is written over the old bytes, which takes no new room on a file system that writes in
// place, and the file is cut to the new length.
bool OverwriteInPlace(int fd, std::string_view text) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return false;
  const auto old_size = static_cast<size_t>(st.st_size);
  if (text.size() > old_size) {
    if (!WriteAllAt(fd, text.substr(old_size), st.st_size) || ::fsync(fd) != 0) {
      (void)!::ftruncate(fd, st.st_size);
      return false;
    }
  }
  if (!WriteAllAt(fd, text.substr(0, std::min(text.size(), old_size)), 0)) return false;
  if (text.size() < old_size && ::ftruncate(fd, static_cast<off_t>(text.size())) != 0) {
    return false;
  }
  return ::fsync(fd) == 0;
}

// The folder a small file lies in, open, and the file's name in it. Every step of a change
// names the file relative to this folder and never follows a link there, and every decision on
// what was opened is taken from the open file itself: someone who may write the folder can swap
// what lies under the name at any moment, but cannot steer a step to another file.
struct TPlace {
  int folder = -1;
  std::string name;
  TPlace() = default;
  TPlace(const TPlace&) = delete;
  TPlace& operator=(const TPlace&) = delete;
  ~TPlace() {
    if (folder >= 0) ::close(folder);
  }
};

// True when nobody but this user and the superuser may change what a folder holds.
bool FolderOfOurs(const struct stat& folder) {
  return (folder.st_uid == ::geteuid() || folder.st_uid == 0) && (folder.st_mode & 022) == 0;
}

// True when the link `link` in `folder` stays as it is while it is followed: nobody else may
// change the folder, or its sticky bit keeps others from replacing a link of this user's.
bool LinkHeld(const struct stat& folder, const struct stat& link) {
  if (FolderOfOurs(folder)) return true;
  return (folder.st_mode & S_ISVTX) != 0 && (folder.st_uid == ::geteuid() || folder.st_uid == 0) &&
         link.st_uid == ::geteuid();
}

// Finds the place of the file `path` leads to. Symbolic links of this user's are followed, and
// only where nobody else can swap them: a link someone else put in the file's place, or one in
// a folder others may write, must not steer the write to a file of their choosing (a
// superuser's write above all). False when such a link is met, or a folder cannot be opened.
bool FindPlace(const std::string& path, TPlace& place) {
  std::filesystem::path at(path);
  int base = AT_FDCWD;
  for (int hop = 0; hop < 40; ++hop) {
    std::filesystem::path folder_path = at.parent_path();
    if (folder_path.empty()) folder_path = ".";
    const std::string name = at.filename().string();
    const int folder =
        name.empty() || name == "." || name == ".."
            ? -1
            : ::openat(base, folder_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (base != AT_FDCWD) ::close(base);
    if (folder < 0) return false;
    struct stat dir {};
    struct stat entry {};
    if (::fstat(folder, &dir) != 0) {
      ::close(folder);
      return false;
    }
    if (::fstatat(folder, name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISLNK(entry.st_mode)) {
      place.folder = folder;
      place.name = name;
      return true;
    }
    std::vector<char> target(static_cast<size_t>(std::max<off_t>(entry.st_size, 255)) + 1);
    const ssize_t n = entry.st_uid == ::geteuid() && LinkHeld(dir, entry)
                          ? ::readlinkat(folder, name.c_str(), target.data(), target.size())
                          : -1;
    if (n <= 0 || static_cast<size_t>(n) >= target.size()) {
      ::close(folder);
      return false;
    }
    // A relative link leads on from the folder it lies in.
    base = folder;
    at = std::filesystem::path(std::string(target.data(), static_cast<size_t>(n)));
  }
  if (base != AT_FDCWD) ::close(base);
  return false;  // a loop of links
}

// Reads the regular file open as `fd` into `text` when it holds at most `max_size` bytes. A
// file growing meanwhile is read no further than one block past the limit.
TFileState ReadOpenFile(int fd, size_t max_size, std::string& text) {
  text.clear();
  struct stat st {};
  if (::fstat(fd, &st) != 0) return TFileState::kUnreadable;
  if (!S_ISREG(st.st_mode)) return TFileState::kNotRegular;
  if (static_cast<uintmax_t>(st.st_size) > max_size) return TFileState::kTooLarge;
  TFileState state = TFileState::kReadable;
  char chunk[65536];
  off_t offset = 0;
  while (text.size() <= max_size) {
    const ssize_t n = ::pread(fd, chunk, sizeof chunk, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) state = TFileState::kUnreadable;
    if (n <= 0) break;
    text.append(chunk, static_cast<size_t>(n));
    offset += n;
  }
  if (text.size() > max_size) state = TFileState::kTooLarge;
  if (state != TFileState::kReadable) text.clear();
  return state;
}

// How long a change waits for another program's change of the same file to end.
constexpr auto kLockWait = std::chrono::seconds(2);

// Takes the advisory lock on the file open as `fd`, waiting for its holder until `deadline`.
// A file system that keeps no such locks is written without one.
bool Lock(int fd, std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// A new file beside `name` in `folder` that nobody else has, created with the usual
// permissions (the process's umask applies); -1 with errno when the folder takes no new file.
int CreateTemporary(int folder, const std::string& name, std::string& temporary) {
  static std::atomic<unsigned> counter = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    temporary = name + ".tmp" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    const int fd = ::openat(folder, temporary.c_str(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

// Writes `text` to the file `name` in `place`'s folder through a temporary file. `existing` is
// the file it replaces, open for writing (-1 when there is none), and `before` that file's
// stat.
bool Save(const TPlace& place, std::string_view text, int existing, const struct stat& before) {
  std::string temporary;
  const int fd = CreateTemporary(place.folder, place.name, temporary);
  if (fd < 0) {
    // A folder the user may not write to (the program's folder of a shared installation):
    // a writable file there is written in place, through the descriptor it was read from.
    const bool folder_refused = errno == EACCES || errno == EPERM || errno == EROFS;
    return folder_refused && existing >= 0 && OverwriteInPlace(existing, text);
  }
  bool ok = WriteAll(fd, text);
  if (ok && existing >= 0) {
    // The new file takes the old one's place with its permissions and, where the superuser
    // writes another user's file, its owner.
    ok = ::fchmod(fd, before.st_mode & 07777) == 0;
    if (ok && ::geteuid() == 0) (void)!::fchown(fd, before.st_uid, before.st_gid);
  }
  ok = ok && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  // The name is replaced whatever lies there now: a link put there meanwhile goes, and what
  // it pointed at stays as it was.
  ok = ok && ::renameat(place.folder, temporary.c_str(), place.folder, place.name.c_str()) == 0;
  if (!ok) ::unlinkat(place.folder, temporary.c_str(), 0);
  return ok;
}

// Opens the file `name` in `folder` without following a link or waiting on a FIFO, for writing
// where this user may write it (`writable`), else for reading. A file without any write bit is
// read-only also for the superuser, whom the system lets write anything.
int OpenExisting(int folder, const std::string& name, bool& writable) {
  constexpr int kFlags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
  int fd = ::openat(folder, name.c_str(), O_RDWR | kFlags);
  writable = fd >= 0;
  if (fd < 0 && (errno == EACCES || errno == EPERM || errno == EROFS)) {
    fd = ::openat(folder, name.c_str(), O_RDONLY | kFlags);
  }
  struct stat st {};
  if (fd >= 0 && ::fstat(fd, &st) == 0 && (st.st_mode & 0222) == 0) writable = false;
  return fd;
}

// The value of an environment variable when it is an absolute path.
const char* AbsoluteFromEnvironment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] == '/' ? value : nullptr;
}

std::string HomeFolder() {
  if (const char* home = AbsoluteFromEnvironment("HOME")) return home;
  const long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
      found != nullptr && found->pw_dir != nullptr && found->pw_dir[0] == '/') {
    return found->pw_dir;
  }
  return "/";
}

volatile std::sig_atomic_t g_interrupted = 0;

void OnInterrupt(int) {
  g_interrupted = 1;
}

}  // namespace

std::tm LocalTimeNow() {
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm local{};
  ::localtime_r(&now, &local);
  return local;
}

TLocalTime LocalTimeOf(std::chrono::system_clock::time_point when) {
  const auto ms = std::chrono::floor<std::chrono::milliseconds>(when.time_since_epoch()).count();
  const auto seconds = std::chrono::floor<std::chrono::seconds>(when.time_since_epoch()).count();
  const auto now = static_cast<std::time_t>(seconds);
  TLocalTime local;
  ::localtime_r(&now, &local.tm);
  local.millisecond = static_cast<uint16_t>(ms - seconds * 1000);
  local.utc_offset_s = static_cast<int32_t>(local.tm.tm_gmtoff);
  return local;
}

THostSystem HostSystem() {
  return THostSystem::kPosix;
}

bool UseUtf8Console() {
  return true;
}

void CatchInterrupt() {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a pause is cut short
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
}

bool Interrupted() {
  return g_interrupted != 0;
}

void PauseMs(uint32_t ms) {
  timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1'000'000};
  while (!Interrupted() && ::nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

void UseBinaryOutput(std::FILE*) {}

bool IsTerminal(std::FILE* stream) {
  return ::isatty(::fileno(stream)) != 0;
}

std::string ProgramFolder(const char* argv0) {
  std::error_code ec;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) exe = std::filesystem::absolute(argv0, ec);
  return exe.parent_path().string() + "/";
}

TFileState ReadSmallFile(const std::string& path, size_t max_size, std::string& text) {
  text.clear();
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    return errno == ENOENT || errno == ENOTDIR ? TFileState::kMissing : TFileState::kUnreadable;
  }
  if (!S_ISREG(st.st_mode)) return TFileState::kNotRegular;
  if (static_cast<uintmax_t>(st.st_size) > max_size) return TFileState::kTooLarge;
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return TFileState::kUnreadable;
  // What was opened is what counts: the path may have changed since it was looked at.
  const TFileState state = ReadOpenFile(fd, max_size, text);
  ::close(fd);
  return state;
}

bool ReplaceSmallFile(const std::string& path, std::string_view text, bool exists) {
  TPlace place;
  if (!FindPlace(path, place)) return false;
  struct stat st {};
  if (!exists) return Save(place, text, -1, st);
  bool writable = false;
  const int fd = OpenExisting(place.folder, place.name, writable);
  if (fd < 0) return false;
  const bool ok =
      writable && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && Save(place, text, fd, st);
  ::close(fd);
  return ok;
}

bool UpdateSmallFile(const std::string& path, size_t max_size,
                     const std::function<void(std::string& text)>& change) {
  const auto deadline = std::chrono::steady_clock::now() + kLockWait;
  for (;;) {
    TPlace place;
    if (!FindPlace(path, place)) return false;
    const char* name = place.name.c_str();
    // Not even opened when it is no regular file: opening a serial device would change its
    // control lines.
    struct stat before {};
    if (::fstatat(place.folder, name, &before, AT_SYMLINK_NOFOLLOW) == 0 &&
        !S_ISREG(before.st_mode)) {
      return false;
    }
    // The lock is the file's own. A missing file is made empty first, exclusively, so that
    // two programs that both find it missing lock the same file.
    bool created = false;
    bool writable = false;
    int fd = OpenExisting(place.folder, place.name, writable);
    if (fd < 0 && errno == ENOENT) {
      fd = ::openat(place.folder, name,
                    O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0666);
      created = writable = fd >= 0;
      if (fd < 0 && errno == EEXIST) {
        // Another program made it just now, or a link was put there: looked at afresh.
        if (std::chrono::steady_clock::now() >= deadline) return false;
        continue;
      }
    }
    if (fd < 0) return false;
    struct stat opened {};
    struct stat named {};
    if (!Lock(fd, deadline) || ::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
      ::close(fd);
      return false;
    }
    // The holder the lock was waited for may have replaced the file meanwhile: the lock counts
    // only on the file the name holds now.
    if (::fstatat(place.folder, name, &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        !SameFile(opened, named)) {
      ::close(fd);
      if (std::chrono::steady_clock::now() >= deadline) return false;
      continue;
    }
    std::string text;
    bool ok = writable && ReadOpenFile(fd, max_size, text) == TFileState::kReadable;
    if (ok) {
      change(text);
      ok = Save(place, text, fd, opened);
    }
    // An empty file made for the lock goes again when the write failed.
    if (!ok && created && ::fstatat(place.folder, name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        SameFile(opened, named) && named.st_size == 0) {
      ::unlinkat(place.folder, name, 0);
    }
    ::close(fd);
    return ok;
  }
}

std::string UserConfigFolder() {
  if (const char* config = AbsoluteFromEnvironment("XDG_CONFIG_HOME")) return config;
  return (std::filesystem::path(HomeFolder()) / ".config").string();
}

bool FolderWritable(const std::string& folder) {
  struct stat st {};
  return ::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & 0222) != 0 &&
         ::access(folder.c_str(), W_OK | X_OK) == 0;
}

bool MakePrivateFolder(const std::string& folder) {
  std::filesystem::path made;
  for (const std::filesystem::path& part : std::filesystem::path(folder)) {
    made /= part;
    if (::mkdir(made.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  return true;
}

}  // namespace oxa
