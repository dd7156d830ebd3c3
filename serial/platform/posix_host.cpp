// The host services of POSIX systems. Ctrl+C is caught through sigaction without restarting,
// so a pause ends the moment it arrives.
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <system_error>
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
    const int direct = ::open(target.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOCTTY);
    if (direct < 0) return false;
    const bool ok = WriteAll(direct, text) && ::fsync(direct) == 0;
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
  // What was opened is what counts: the path may have changed since it was looked at. A file
  // growing meanwhile is read no further than one block past the limit.
  TFileState state = TFileState::kReadable;
  if (::fstat(fd, &st) != 0) {
    state = TFileState::kUnreadable;
  } else if (!S_ISREG(st.st_mode)) {
    state = TFileState::kNotRegular;
  } else {
    char chunk[65536];
    while (text.size() <= max_size) {
      const ssize_t n = ::read(fd, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) state = TFileState::kUnreadable;
      if (n <= 0) break;
      text.append(chunk, static_cast<size_t>(n));
    }
    if (text.size() > max_size) state = TFileState::kTooLarge;
  }
  ::close(fd);
  if (state != TFileState::kReadable) text.clear();
  return state;
}

bool ReplaceSmallFile(const std::string& path, std::string_view text, bool exists) {
  std::string target = path;
  struct stat st {};
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
