// fulsim run as a user runs it, with arguments it must refuse: each refusal is prompt, names
// what was wrong and ends with a non-zero status, instead of serving something else than asked.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

struct TRun {
  int status = -1;  // exit status, or 128 + signal
  std::string err;
};

// Runs fulsim with `args` and collects its standard error until it ends; one that still runs
// after 5 s (serving, or waiting on a FIFO) is killed, which fails the row.
TRun RunFulsim(std::vector<std::string> args) {
  TRun run;
  int err[2];
  if (::pipe2(err, O_CLOEXEC) != 0) return run;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  args.insert(args.begin(), FULSIM);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = ::posix_spawn(&pid, FULSIM, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(err[1]);
  if (spawned != 0) {
    ::close(err[0]);
    return run;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd fd{err[0], POLLIN, 0};
    if (::poll(&fd, 1, 100) <= 0) continue;
    char buf[1024];
    const ssize_t n = ::read(err[0], buf, sizeof buf);
    if (n <= 0) break;
    run.err.append(buf, static_cast<size_t>(n));
  }
  ::close(err[0]);
  int status = 0;
  if (::waitpid(pid, &status, WNOHANG) == 0) ::kill(pid, SIGKILL);
  ::waitpid(pid, &status, 0);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return run;
}

TEST(Fulsim, RefusesBadArgumentsNamingThem) {
  const std::string dir = ::testing::TempDir() + "fulsim-args-" + std::to_string(::getpid());
  ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
  const std::string fifo = dir + "/fifo.ini";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string large = dir + "/large.ini";
  const int fd = ::open(large.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, 2 << 20), 0);  // sparse: 2 MiB of nothing
  ::close(fd);

  struct Case {
    std::vector<std::string> args;
    const char* message;  // part of what it prints
  };
  const Case cases[] = {
      // A port out of range is not taken modulo 65536.
      {{"--tcp", "127.0.0.1:99999"}, "TCP port 99999 is out of range 0..65535"},
      {{"--tcp", "127.0.0.1:65536"}, "TCP port 65536 is out of range"},
      {{"--tcp", "127.0.0.1:99999999999999999999"}, "is out of range"},
      {{"--tcp", ":4001"}, "has no host"},
      {{"--tcp", "127.0.0.1:"}, "is not host:port"},
      {{"--tcp", ""}, "is not host:port"},
      {{"--modbus-tcp", "127.0.0.1:65536"}, "--modbus-tcp: TCP port 65536 is out of range"},
      {{"--modbus-tcp", "127.0.0.1:0", "--echo"}, "does not go with --modbus-tcp"},
      {{"--modbus-tcp", "127.0.0.1:0", "--tcp", "127.0.0.1:0"}, "give one"},
      // A contents file that is none is not silently the defaults, and a FIFO is not waited on.
      {{"--config", dir}, "not a regular file"},
      {{"--config", fifo}, "not a regular file"},
      {{"--config", large}, "larger than 1 MiB"},
      {{"--config", dir + "/missing.ini"}, "no such file"},
      {{"--config", ""}, "bad value for --config"},
      {{"--link", ""}, "bad value for --link"},
      // Numbers that would wrap or mean nothing.
      {{"--address", "300"}, "bad value for --address: '300' (expected 0..247)"},
      {{"--address", "-1"}, "bad value for --address"},
      {{"--baud", "0"}, "bad value for --baud: '0' (expected 1..4000000)"},
      {{"--baud", "4294967297"}, "bad value for --baud"},
      {{"--delay", "60001"}, "bad value for --delay"},
      {{"--no-answer", "4294967296"}, "bad value for --no-answer"},
      {{"--garbage", "1000001"}, "bad value for --garbage"},
      {{"--garbage-bytes", ""}, "bad value for --garbage-bytes"},
      {{"--garbage-bytes", "0G"}, "bad value for --garbage-bytes"},
      {{"--delay-random", "50:100-60"}, "bad value for --delay-random"},
      {{"--delay-random", "101:60-100"}, "bad value for --delay-random"},
      {{"--delay-random", "50:60-60001"}, "bad value for --delay-random"},
      {{"--delay-random", "50:60"}, "bad value for --delay-random"},
      {{"--delay-random", "50:-100"}, "bad value for --delay-random"},
      {{"--delay-random", "50:60-100x"}, "bad value for --delay-random"},
      {{"--drop-random", "101"}, "bad value for --drop-random"},
      {{"--damage-random", "-5"}, "bad value for --damage-random"},
      {{"--seed", "18446744073709551616"}, "bad value for --seed"},
      {{"--seed", ""}, "bad value for --seed"},
      // A value shown back cannot drive the terminal.
      {{"--address", "\x1b[2J"}, "'\\x1b[2J'"},
      {{"--seed"}, "--seed needs a value"},
  };
  for (const Case& c : cases) {
    const TRun run = RunFulsim(c.args);
    const std::string shown = c.args[0] + (c.args.size() > 1 ? " '" + c.args[1] + "'" : "");
    EXPECT_EQ(run.status, 2) << shown << ": " << run.err;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << shown << ": " << run.err;
  }
  ::unlink(fifo.c_str());
  ::unlink(large.c_str());
  ::rmdir(dir.c_str());
}

}  // namespace
