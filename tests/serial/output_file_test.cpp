// The files the programs make for their user, in a temporary folder that every user may
// write, as a shared folder is: a file another user (nobody) has there is left alone, a
// temporary file an earlier run of ours left gives way, the target changes only when the new
// file is whole, and a write that fails is reported. What fulctl shows of them (a device,
// FIFO, folder or link at the path refused) is in its own tests.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "serial/OxaOutputFile.h"

namespace oxa {
namespace {

namespace fs = std::filesystem;

constexpr uid_t kNobody = 65534;
constexpr gid_t kNoGroup = 65534;

// Runs `step` in a child process as the user nobody when this one is root (as this user
// otherwise); true when it succeeded.
bool AsNobody(const std::function<bool()>& step) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::geteuid() == 0 &&
        (::setgroups(0, nullptr) != 0 || ::setgid(kNoGroup) != 0 || ::setuid(kNobody) != 0)) {
      ::_exit(2);
    }
    ::_exit(step() ? 0 : 1);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string Contents(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class OutputFile : public ::testing::Test {
 protected:
  OutputFile() {
    std::string name = (fs::temp_directory_path() / "output_file_XXXXXX").string();
    folder_ = ::mkdtemp(name.data());
    // Writable for every user, as a shared folder is (without the sticky bit, which would keep
    // users from each other's files).
    fs::permissions(folder_, fs::perms::all);
  }
  ~OutputFile() override { fs::remove_all(folder_); }

  fs::path Path(const std::string& name) const { return folder_ / name; }

  fs::path folder_;
};

TEST_F(OutputFile, OnlyATemporaryOfOursLeftByAnEarlierRunGivesWay) {
  // A link or a FIFO planted there is refused (fulctl's tests show it); so is a file of
  // another user, which may be there on purpose too.
  const std::string part = Path("out.bin.part").string();
  TOutputFile file;
  if (::geteuid() == 0) {
    ASSERT_TRUE(AsNobody([&] { return static_cast<bool>(std::ofstream(part) << "theirs"); }));
    EXPECT_FALSE(file.Create(Path("out.bin").string(), ".part"));
    EXPECT_EQ(file.Error().failure, TOutputFailure::kInTheWay);
    EXPECT_EQ(file.Error().detail, "a file of another user");
    EXPECT_EQ(Contents(part), "theirs");
    fs::remove(part);
  }

  // Left by an earlier run of ours: made afresh.
  std::ofstream(part) << "stale";
  ASSERT_TRUE(file.Create(Path("out.bin").string(), ".part")) << file.Error().detail;
  EXPECT_EQ(fs::file_size(part), 0u);
  file.Discard();
  EXPECT_FALSE(fs::exists(part));
}

TEST_F(OutputFile, TheTargetChangesOnlyOnCommitAndKeepsItsMode) {
  const fs::path target = Path("archive.bin");
  std::ofstream(target) << "old";
  ::chmod(target.c_str(), 0600);
  TOutputFile file;
  ASSERT_TRUE(file.Create(target.string(), ".part"));
  EXPECT_EQ(fs::status(file.TemporaryPath()).permissions(), fs::perms(0600));
  const uint8_t bytes[] = {'n', 'e', 'w'};
  ASSERT_TRUE(file.Write(bytes));
  EXPECT_EQ(Contents(target), "old");
  ASSERT_TRUE(file.Commit()) << file.Error().detail;
  EXPECT_EQ(Contents(target), "new");
  EXPECT_EQ(fs::status(target).permissions(), fs::perms(0600));
  EXPECT_FALSE(fs::exists(file.TemporaryPath()));
}

// The file that takes the target's place is ours with our permissions: it keeps those of a
// target of ours (but lets no more users write it than a new file would), never those of a
// target someone else planted there for everyone to write.
TEST_F(OutputFile, TheNewFileNeverTakesOverAPlantedFilesMode) {
  const mode_t umask_before = ::umask(022);
  struct Row {
    const char* name;
    mode_t before;
    bool theirs;
    mode_t after;
  };
  const Row rows[] = {
      {"ours, private", 0600, false, 0600},
      {"ours, open to all", 0666, false, 0644},
      {"theirs, open to all", 0666, true, 0644},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    if (row.theirs && ::geteuid() != 0) continue;  // needs root to plant another user's file
    const fs::path target = Path(row.name);
    std::ofstream(target) << "old";
    ASSERT_EQ(::chmod(target.c_str(), row.before), 0);
    if (row.theirs) {
      ASSERT_EQ(::chown(target.c_str(), kNobody, kNoGroup), 0);
    }
    TOutputFile file;
    ASSERT_TRUE(file.Create(target.string(), ".part"));
    ASSERT_TRUE(file.Commit()) << file.Error().detail;
    struct stat st {};
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, row.after);
    EXPECT_EQ(st.st_uid, ::geteuid());
  }
  ::umask(umask_before);
}

TEST_F(OutputFile, AnAppendFileStartsEmptyAndReportsAWriteThatFails) {
  const fs::path path = Path("trace.txt");
  std::ofstream(path) << "an earlier run";
  TAppendFile trace;
  ASSERT_TRUE(trace.Open(path.string()));
  trace.Write("line 1\n");
  EXPECT_TRUE(trace.Close());
  EXPECT_EQ(Contents(path), "line 1\n");

  // A full disk, as a file size limit makes it: the write fails, and so does the close.
  EXPECT_TRUE(AsNobody([&] {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{4, 4};
    TAppendFile full;
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0 || !full.Open(Path("full.txt").string())) {
      return false;
    }
    full.Write("more than four bytes\n");
    return full.Failed() && full.Error().detail == std::strerror(EFBIG) && !full.Close();
  }));
}

// A file that is appended to is ours alone: one that another user owns, that others may write
// (more than the umask lets a new file be written), or that has a second name, could take rows
// among ours, or lead to another file of ours; it is refused and left as it was.
TEST_F(OutputFile, AnAppendFileIsOnlyOneOfOurOwn) {
  const mode_t umask_before = ::umask(022);
  struct Row {
    const char* name;
    mode_t mode;
    mode_t umask;
    bool theirs;
    bool linked;
    const char* why;  // "" when it is written
  };
  const Row rows[] = {
      {"ours", 0644, 022, false, false, ""},
      {"ours, open to the group as the umask makes files", 0664, 002, false, false, ""},
      {"ours, open to the group", 0664, 022, false, false, "a file other users may write"},
      {"ours, open to all", 0666, 002, false, false, "a file other users may write"},
      {"ours, with a second name", 0644, 022, false, true, "a file with other names (hard links)"},
      {"theirs", 0644, 022, true, false, "a file of another user"},
      {"theirs, open to all", 0666, 022, true, false, "a file of another user"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    if (row.theirs && ::geteuid() != 0) continue;  // needs root to plant another user's file
    const fs::path path = Path(row.name);
    std::ofstream(path) << "planted\n";
    ASSERT_EQ(::chmod(path.c_str(), row.mode), 0);
    if (row.theirs) {
      ASSERT_EQ(::chown(path.c_str(), kNobody, kNoGroup), 0);
    }
    if (row.linked) fs::create_hard_link(path, Path("second name"));
    ::umask(row.umask);
    TAppendFile log;
    const bool opened = log.Open(path.string());
    ::umask(022);
    EXPECT_EQ(opened, std::string(row.why).empty());
    EXPECT_EQ(log.Error().detail, row.why);
    if (!opened) {
      EXPECT_EQ(log.Error().failure, TOutputFailure::kNotOurs);
      EXPECT_EQ(Contents(path), "planted\n");
    }
    log.Close();
    fs::remove(Path("second name"));
  }
  ::umask(umask_before);
}

}  // namespace
}  // namespace oxa
