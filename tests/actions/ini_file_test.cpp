// The settings file: the INI rules on text, and the file on disk, including paths that lead to
// something that is not an ordinary settings file.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <thread>

#include "actions/IniFile.h"
#include "actions/SettingsPath.h"

namespace oxa {
namespace {

namespace fs = std::filesystem;
using TState = TIniFile::TState;

std::string Read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void Write(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

class SettingsFile : public ::testing::Test {
 protected:
  SettingsFile() {
    static int made = 0;
    dir = fs::temp_directory_path() / ("ini_file_test." + std::to_string(std::random_device()()) +
                                       "." + std::to_string(++made));
    fs::create_directories(dir);
    path = dir / "ful03test.ini";
  }
  ~SettingsFile() override { fs::remove_all(dir); }
  fs::path dir;
  fs::path path;
};

TEST(IniText, ReadRules) {
  const TIniText ini(
      "\xEF\xBB\xBF[Signature]\r\nPort = $10 \r\n; Baud=2\r\n#Baud=2\r\n[ signature ]\r\n"
      "NetAddr=0x7f\r\nkey = a=b\r\nnot a key\r\n=value\r\n[Other]\r\nPort=5");
  EXPECT_EQ(ini.ReadString("SIGNATURE", "port"), "$10");
  EXPECT_EQ(ini.ReadString("Signature", "Baud"), std::nullopt);
  EXPECT_EQ(ini.ReadString("Signature", "NetAddr"), "0x7f");  // a section may come twice
  EXPECT_EQ(ini.ReadString("Signature", "key"), "a=b");
  EXPECT_EQ(ini.ReadString("Other", "Port"), "5");  // no final line ending
  EXPECT_EQ(ini.ReadString("Missing", "Port"), std::nullopt);
  EXPECT_EQ(ini.ReadSection("signature").size(), 3u);
}

TEST(IniText, WriteKeepsEverythingElse) {
  struct Row {
    const char* before;
    const char* after;
  };
  const Row rows[] = {
      // The key's line is replaced; other lines, comments and CRLF endings stay.
      {"; settings\r\n[Ports]\r\nCOM1=/dev/ttyUSB0\r\n\r\n[Signature]\r\nBaud=1\r\nport=2\r\n\r\n"
       "[Other]\r\nkey = a=b\r\n",
       "; settings\r\n[Ports]\r\nCOM1=/dev/ttyUSB0\r\n\r\n[Signature]\r\nBaud=1\r\nPort=5\r\n\r\n"
       "[Other]\r\nkey = a=b\r\n"},
      // A missing key goes after the section's last non-blank line.
      {"[Signature]\nBaud=1\n\n[Ports]\nCOM2=/dev/null\n",
       "[Signature]\nBaud=1\nPort=5\n\n[Ports]\nCOM2=/dev/null\n"},
      // A missing section goes at the end, after a blank line; the byte order mark stays.
      {"\xEF\xBB\xBF; only a comment", "\xEF\xBB\xBF; only a comment\n\n[Signature]\nPort=5\n"},
      {"", "[Signature]\nPort=5\n"},
  };
  for (const Row& row : rows) {
    TIniText ini(row.before);
    ini.WriteString("Signature", "Port", "5");
    EXPECT_EQ(ini.Text(), row.after) << row.before;
  }
}

TEST(IniFile, IntegerRule) {
  const std::pair<const char*, std::optional<int>> rows[] = {{" 42 ", 42},
                                                             {"$ff", 255},
                                                             {"0XFF", 255},
                                                             {"-$10", -16},
                                                             {"+7", 7},
                                                             {"-2147483648", INT32_MIN},
                                                             {"2147483647", INT32_MAX},
                                                             {"2147483648", std::nullopt},
                                                             {"0x", std::nullopt},
                                                             {"1e3", std::nullopt},
                                                             {"99999999999", std::nullopt},
                                                             {"", std::nullopt},
                                                             {"--5", std::nullopt},
                                                             {"12abc", std::nullopt},
                                                             {"$-1", std::nullopt}};
  for (const auto& [text, value] : rows) EXPECT_EQ(TIniFile::ParseInteger(text), value) << text;
}

TEST(IniFile, AFolderWithCyrillicLettersLeadsToItsOwnSettingsFile) {
  // A portable copy in a folder named in Russian, as on a technician's laptop.
  const fs::path folder = fs::temp_directory_path() / fs::path(u8"Поверка ful03test");
  fs::create_directories(folder);
  const std::u8string name = folder.u8string();
  const std::string utf8(name.begin(), name.end());
  const std::u8string expected = (folder / "ful03test.ini").u8string();
  EXPECT_EQ(SettingsPath(utf8), std::string(expected.begin(), expected.end()));
  fs::remove_all(folder);
}

TEST(IniFile, PortsSectionAsThePortTakesIt) {
  using namespace std::string_literals;
  // A value is kept whole, NUL included, for the port to refuse as malformed.
  const TIniText ini(
      "[Ports]\nCOM1=/dev/ttyUSB0 rs485 echo\ncom3 = tcp://host:502\nCOM010=/dev/ttyS9\n"
      "COM0=/dev/a\nCOM256=/dev/b\nLPT1=/dev/c\nCOM2=\nCOMX=/dev/d\nCOM4=/dev/x\0y\n"s);
  const std::map<uint8_t, std::string> expected = {
      {1, "/dev/ttyUSB0 rs485 echo"}, {3, "tcp://host:502"}, {4, "/dev/x\0y"s}, {10, "/dev/ttyS9"}};
  EXPECT_EQ(PortMap(ini.ReadSection("Ports")), expected);

  EXPECT_EQ(ParsePortAssignment("COM3=/dev/ttyUSB0"),
            std::pair(uint8_t{3}, std::string("/dev/ttyUSB0")));
  EXPECT_EQ(ParsePortAssignment(" com255 = a b "), std::pair(uint8_t{255}, std::string("a b")));
  for (const char* bad : {"COM3", "COM3=", "COM0=/x", "COM256=/x", "/dev/ttyS0", "=x"}) {
    EXPECT_EQ(ParsePortAssignment(bad), std::nullopt) << bad;
  }
}

#ifndef _WIN32  // permissions and links as POSIX has them
TEST_F(SettingsFile, WrittenThroughATemporaryKeepingModeAndLink) {
  const fs::path real = dir / "real.ini";
  Write(real, "[Signature]\nPort=1\n");
  ASSERT_EQ(::chmod(real.c_str(), 0640), 0);
  fs::create_symlink(real, path);
  TIniFile ini(path);
  EXPECT_EQ(ini.State(), TState::kReadable);
  ASSERT_TRUE(ini.WriteInteger("Signature", "Port", 4));
  EXPECT_TRUE(fs::is_symlink(path));
  EXPECT_EQ(Read(real), "[Signature]\nPort=4\n");
  EXPECT_EQ(fs::status(real).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  // No temporary file is left behind.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 2);
}

#endif

TEST_F(SettingsFile, MissingFileGivesDefaultsAndIsCreatedByAWrite) {
  TIniFile ini(path.string());
  EXPECT_EQ(ini.State(), TState::kMissing);
  EXPECT_EQ(ini.ReadInteger("Signature", "Port", 1), 1);
  ASSERT_TRUE(ini.WriteInteger("Signature", "Port", 3));
  EXPECT_EQ(Read(path), "[Signature]\nPort=3\n");
  EXPECT_FALSE(TIniFile((dir / "missing-dir/ful03test.ini").string()).WriteInteger("S", "K", 1));
}

#ifndef _WIN32  // an ordinary user of POSIX
// Runs `step` in a child process as an ordinary user, with files of at most `file_limit` bytes
// (as on a disk with that much room left): as such when the test runs as one, else as "nobody",
// who then owns `folder` and `file`. True when `step` returned true.
bool AsOrdinaryUser(const fs::path& folder, const fs::path& file, rlim_t file_limit,
                    const std::function<bool()>& step) {
  constexpr uid_t kUser = 65534;
  const bool root = ::geteuid() == 0;
  if (root &&
      (::chmod(folder.parent_path().c_str(), 0755) != 0 ||
       ::chown(folder.c_str(), kUser, kUser) != 0 || ::chown(file.c_str(), kUser, kUser) != 0)) {
    return false;
  }
  std::fflush(nullptr);
  const pid_t child = ::fork();
  if (child == 0) {
    if (root && (::setgid(kUser) != 0 || ::setuid(kUser) != 0)) ::_exit(2);
    ::signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails instead of ending the process
    const rlimit limit{file_limit, file_limit};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(2);
    ::_exit(step() ? 0 : 1);
  }
  int status = 0;
  return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

// A writable file in a folder the user may not write to (the program's folder of a shared
// installation) is written in place, and only once the new text has room: on a full disk the
// file keeps its old text.
TEST_F(SettingsFile, WritableFileInReadOnlyFolderIsWrittenInPlaceWhenItFits) {
  struct Row {
    const char* name;
    std::string before;
    std::string port;
    rlim_t room;  // bytes the file may take
    bool written;
    std::string after;
  };
  const Row rows[] = {
      {"longer", "[Signature]\nPort=1\n", "4", RLIM_INFINITY, true, "[Signature]\nPort=4\n"},
      {"shorter", "[Signature]\nPort=12345\n", "6", RLIM_INFINITY, true, "[Signature]\nPort=6\n"},
      {"disk full", "[Signature]\nPort=1\n", "/dev/serial/by-id/usb-FTDI", 24, false,
       "[Signature]\nPort=1\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const fs::path folder = dir / row.name;
    fs::create_directory(folder);
    const fs::path file = folder / "ful03test.ini";
    Write(file, row.before);
    ASSERT_EQ(::chmod(folder.c_str(), 0500), 0);
    EXPECT_EQ(
        AsOrdinaryUser(folder, file, row.room,
                       [&] { return TIniFile(file).WriteString("Signature", "Port", row.port); }),
        row.written);
    ::chmod(folder.c_str(), 0700);
    EXPECT_EQ(Read(file), row.after);
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);
  }
}

// A link in the settings file's place that another user made (in a shared folder, say) does
// not lead the write elsewhere, least of all the superuser's.
TEST_F(SettingsFile, AnotherUsersLinkIsNotWrittenThrough) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a link to another user";
  const fs::path real = dir / "real.ini";
  Write(real, "[Signature]\nPort=1\n");
  fs::create_symlink(real, path);
  ASSERT_EQ(::lchown(path.c_str(), 65534, 65534), 0);
  EXPECT_FALSE(TIniFile(path).WriteInteger("Signature", "Port", 4));
  EXPECT_TRUE(fs::is_symlink(path));
  EXPECT_EQ(Read(real), "[Signature]\nPort=1\n");
  // Also where the link leads to another link.
  const fs::path hop = dir / "hop.ini";
  fs::create_symlink(path, hop);
  EXPECT_FALSE(TIniFile(hop).WriteInteger("Signature", "Port", 4));
  EXPECT_EQ(Read(real), "[Signature]\nPort=1\n");
  // Nor a link of this user's in a folder that others may write: they could swap it for theirs
  // at any moment. The file itself there is written.
  const fs::path shared = dir / "shared";
  fs::create_directory(shared);
  ASSERT_EQ(::chmod(shared.c_str(), 0777), 0);
  fs::create_symlink(real, shared / "ful03test.ini");
  EXPECT_FALSE(TIniFile(shared / "ful03test.ini").WriteInteger("Signature", "Port", 4));
  EXPECT_EQ(Read(real), "[Signature]\nPort=1\n");
  Write(shared / "own.ini", "[Signature]\nPort=1\n");
  EXPECT_TRUE(TIniFile(shared / "own.ini").WriteInteger("Signature", "Port", 4));
  EXPECT_EQ(Read(shared / "own.ini"), "[Signature]\nPort=4\n");
}

// A user who may write the settings file's folder swaps a link to a file of the superuser's in
// and out of its place while the superuser changes keys: no change goes through the link.
TEST_F(SettingsFile, ALinkSwappedInDuringChangesIsNotWrittenThrough) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  const fs::path secret_folder = dir / "secret";
  fs::create_directory(secret_folder);
  ASSERT_EQ(::chmod(secret_folder.c_str(), 0700), 0);
  const fs::path secret = secret_folder / "secret2.conf";
  Write(secret, "secret\n");
  const fs::path shared = dir / "shared";
  fs::create_directory(shared);
  ASSERT_EQ(::chmod(dir.c_str(), 0755), 0);
  ASSERT_EQ(::chmod(shared.c_str(), 0777), 0);
  const fs::path file = shared / "ful03test.ini";
  Write(file, "[Signature]\nPort=1\n");
  std::fflush(nullptr);
  const pid_t swapper = ::fork();
  if (swapper == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
    const fs::path link = shared / "link";
    const fs::path plain = shared / "plain";
    for (;;) {
      (void)!::symlink(secret.c_str(), link.c_str());
      (void)!::rename(link.c_str(), file.c_str());
      const int fd = ::open(plain.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
      if (fd >= 0) {
        (void)!::write(fd, "[Forged]\n", 9);
        ::close(fd);
      }
      (void)!::rename(plain.c_str(), file.c_str());
    }
  }
  ASSERT_GT(swapper, 0);
  for (int i = 0; i < 20000 && Read(secret) == "secret\n"; ++i) {
    (void)TIniFile(file).WriteInteger("Signature", "Port", i);
  }
  ::kill(swapper, SIGKILL);
  ::waitpid(swapper, nullptr, 0);
  EXPECT_EQ(Read(secret), "secret\n");
}

// Another program (fulctl, a second window) is in the middle of its change when this one
// starts: this one waits for it, and then changes what it wrote.
TEST_F(SettingsFile, AChangeWaitsForAnotherProgramsChange) {
  Write(path, "[Signature]\nPort=1\n");
  const int other = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(other, 0);
  ASSERT_EQ(::flock(other, LOCK_EX), 0);
  std::thread writer([&] { EXPECT_TRUE(TIniFile(path).WriteInteger("Signature", "Baud", 2)); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  Write(dir / "other.tmp", "[Signature]\nPort=7\n");
  fs::rename(dir / "other.tmp", path);
  ::close(other);
  writer.join();
  EXPECT_EQ(Read(path), "[Signature]\nPort=7\nBaud=2\n");
}

#endif

// Two programs writing keys at the same time keep every key of both.
TEST_F(SettingsFile, WritersAtTheSameTimeKeepEachOthersKeys) {
  const auto write_keys = [&](const char* prefix) {
    for (int i = 0; i < 10; ++i) {
      EXPECT_TRUE(TIniFile(path.string()).WriteInteger("Signature", prefix + std::to_string(i), i));
    }
  };
  std::thread window(write_keys, "Window");
  std::thread fulctl(write_keys, "Fulctl");
  window.join();
  fulctl.join();
  const TIniSection written = TIniFile(path.string()).ReadSection("Signature");
  EXPECT_EQ(written.size(), 20u);
}

// A file without write bits stays untouched, also for the superuser whom the system lets write
// anything.
TEST_F(SettingsFile, ReadOnlyFileIsNotReplaced) {
  Write(path, "[Signature]\nPort=2\n");
  const auto writable = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
  fs::permissions(path, writable, fs::perm_options::remove);
  const fs::perms before = fs::status(path).permissions();
  TIniFile ini(path.string());
  EXPECT_EQ(ini.ReadInteger("Signature", "Port", 1), 2);
  EXPECT_FALSE(ini.WriteInteger("Signature", "Port", 5));
  EXPECT_EQ(Read(path), "[Signature]\nPort=2\n");
  EXPECT_EQ(fs::status(path).permissions(), before);
  fs::permissions(path, fs::perms::owner_write, fs::perm_options::add);  // so it can be removed
}

#ifndef _WIN32  // devices, FIFOs and links as POSIX has them
// Paths that lead to something other than an ordinary settings file are neither read nor
// written: no endless read from a device, no wait on a FIFO, no huge file in memory.
TEST_F(SettingsFile, OnlyRegularFilesWithinTheLimitAreUsed) {
  struct Row {
    const char* name;
    std::function<void(const fs::path&)> make;
    TState state;
    const char* problem;  // when fulctl --settings names it
  };
  const std::string head = "[Signature]\nPort=3\n";
  const Row rows[] = {
      {"device", [](const fs::path& p) { fs::create_symlink("/dev/zero", p); }, TState::kNotRegular,
       "not a regular file (a folder, FIFO or device)"},
      {"fifo", [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0644), 0); },
       TState::kNotRegular, "not a regular file (a folder, FIFO or device)"},
      {"folder", [](const fs::path& p) { fs::create_directory(p); }, TState::kNotRegular,
       "not a regular file (a folder, FIFO or device)"},
      {"oversize",
       [&](const fs::path& p) {
         Write(p, head + std::string(TIniFile::kMaxSize - head.size() + 1, ';'));
       },
       TState::kTooLarge, "larger than 1024 KiB"},
      {"at the limit",
       [&](const fs::path& p) {
         Write(p, head + std::string(TIniFile::kMaxSize - head.size(), ';'));
       },
       TState::kReadable, ""},
      {"missing", [](const fs::path&) {}, TState::kMissing, "no such file"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const fs::path p = dir / row.name;
    row.make(p);
    const auto type = fs::symlink_status(p).type();
    const auto size = fs::is_regular_file(p) ? fs::file_size(p) : 0;
    TIniFile ini(p);
    EXPECT_EQ(ini.State(), row.state);
    EXPECT_EQ(NamedSettingsProblem(p), row.problem);
    if (row.state == TState::kMissing) continue;
    const bool used = row.state == TState::kReadable;
    EXPECT_EQ(ini.ReadInteger("Signature", "Port", 1), used ? 3 : 1);
    EXPECT_EQ(ini.WriteInteger("Signature", "Port", 5), used);
    EXPECT_EQ(fs::symlink_status(p).type(), type);
    if (!used && size != 0) {
      EXPECT_EQ(fs::file_size(p), size);
    }
    EXPECT_EQ(SettingsRefusedText(row.state, "x.ini").empty(), used);
  }
}

#endif

}  // namespace
}  // namespace oxa
