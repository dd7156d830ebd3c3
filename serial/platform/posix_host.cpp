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

// True when every symbolic link met on the way from `path` to the file it names belongs to
// this user: a link someone else put in the settings file's place must not steer the write
// to a file of their choosing (a superuser's write above all).
bool LinksOwnedByUser(const std::string& path) {
  std::filesystem::path at(path);
  for (int hop = 0; hop < 40; ++hop) {
    struct stat st {};
    if (::lstat(at.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return true;
    if (st.st_uid != ::geteuid()) return false;
    std::vector<char> target(static_cast<size_t>(std::max<off_t>(st.st_size, 255)) + 1);
    const ssize_t n = ::readlink(at.c_str(), target.data(), target.size());
    if (n <= 0 || static_cast<size_t>(n) >= target.size()) return false;
    at = at.parent_path() /
         std::filesystem::path(std::string(target.data(), static_cast<size_t>(n)));
  }
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

// A new file beside `target` that nobody else has, created with the usual permissions (the
// process's umask applies); -1 with errno when the folder takes no new file.
int CreateTemporary(const std::string& target, std::string& name) {
  static unsigned counter = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    name = target + ".tmp" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

// Writes `text` to `target` through a temporary file; `existing` is the stat of the file it
// replaces, if any.
bool Save(const std::string& target, std::string_view text, const struct stat* existing) {
  std::string temporary;
  const int fd = CreateTemporary(target, temporary);
  if (fd < 0) {
    // A folder the user may not write to (the program's folder of a shared installation):
    // a writable file there is written in place.
    const bool folder_refused = errno == EACCES || errno == EPERM || errno == EROFS;
    if (!folder_refused || existing == nullptr) return false;
    const int direct = ::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW);
    if (direct < 0) return false;
    struct stat st {};
    bool ok = ::fstat(direct, &st) == 0 && SameFile(st, *existing);
    ok = ok && OverwriteInPlace(direct, text);
    return ::close(direct) == 0 && ok;
  }
  bool ok = WriteAll(fd, text);
  if (ok && existing != nullptr) {
    // The new file takes the old one's place with its permissions and, where the superuser
    // writes another user's file, its owner.
    ok = ::fchmod(fd, existing->st_mode & 07777) == 0;
    if (ok && ::geteuid() == 0) (void)!::fchown(fd, existing->st_uid, existing->st_gid);
  }
  ok = ok && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  ok = ok && ::rename(temporary.c_str(), target.c_str()) == 0;
  if (!ok) ::unlink(temporary.c_str());
  return ok;
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
  std::string target = path;
  struct stat st {};
  if (!LinksOwnedByUser(path)) return false;
  if (exists) {
    // A file reached through a symbolic link is written where the link points.
    if (char* real = ::realpath(path.c_str(), nullptr)) {
      target = real;
      std::free(real);
    }
    // A file without any write bit is read-only also for the superuser, whom access() lets
    // write anything.
    if (::stat(target.c_str(), &st) != 0 || ::access(target.c_str(), W_OK) != 0 ||
        (st.st_mode & 0222) == 0) {
      return false;
    }
  }
  return Save(target, text, exists ? &st : nullptr);
}

bool UpdateSmallFile(const std::string& path, size_t max_size,
                     const std::function<void(std::string& text)>& change) {
  const auto deadline = std::chrono::steady_clock::now() + kLockWait;
  // Not even opened when it is no regular file: opening a serial device would change its
  // control lines.
  struct stat before {};
  if (::stat(path.c_str(), &before) == 0 && !S_ISREG(before.st_mode)) return false;
  if (!LinksOwnedByUser(path)) return false;
  for (;;) {
    // The lock is the file's own. A missing file is made empty first, exclusively, so that
    // two programs that both find it missing lock the same file.
    bool created = false;
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0 && errno == ENOENT) {
      fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY,
                  0666);
      created = fd >= 0;
      struct stat link {};
      if (fd < 0 && errno == EEXIST && ::lstat(path.c_str(), &link) == 0) {
        if (!S_ISLNK(link.st_mode)) {
          if (std::chrono::steady_clock::now() >= deadline) return false;
          continue;  // another program made it just now
        }
        // A link of this user's to a file not there yet: the new file takes the link's place,
        // with nothing to lock.
        std::string text;
        change(text);
        return ReplaceSmallFile(path, text, false);
      }
    }
    if (fd < 0) return false;
    struct stat opened {};
    struct stat named {};
    if (!Lock(fd, deadline) || ::fstat(fd, &opened) != 0) {
      ::close(fd);
      return false;
    }
    // The holder the lock was waited for may have replaced the file meanwhile: the lock counts
    // only on the file the path names now.
    if (::stat(path.c_str(), &named) != 0 || !SameFile(opened, named)) {
      ::close(fd);
      if (std::chrono::steady_clock::now() >= deadline) return false;
      continue;
    }
    std::string text;
    bool ok = ReadOpenFile(fd, max_size, text) == TFileState::kReadable;
    if (ok) {
      change(text);
      ok = ReplaceSmallFile(path, text, true);
    }
    // An empty file made for the lock goes again when the write failed.
    if (!ok && created && ::lstat(path.c_str(), &named) == 0 && SameFile(opened, named) &&
        named.st_size == 0) {
      ::unlink(path.c_str());
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
