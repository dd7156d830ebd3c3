// Starts the libmodbus RTU slave program in a child process and stops it again: the child is
// killed when this object goes, or when the process that started it dies.
#pragma once

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace oxa::interop {

// The value the slave gives holding register i at start.
inline uint16_t SlaveRegisterValue(int i) {
  return static_cast<uint16_t>(0x1000 + 3 * i);
}

class TSlaveProcess {
 public:
  // Runs `program` for `address`, with `mode` as its second argument where one is given;
  // Device() is empty when it did not start.
  TSlaveProcess(const std::string& program, int address, const std::string& mode = "") {
    int out[2];
    if (pipe(out) != 0) return;
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != parent) _exit(1);
      dup2(out[1], STDOUT_FILENO);
      close(out[0]);
      close(out[1]);
      const std::string addr = std::to_string(address);
      execl(program.c_str(), program.c_str(), addr.c_str(),
            mode.empty() ? static_cast<char*>(nullptr) : mode.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(out[1]);
    if (pid_ < 0) {
      close(out[0]);
      return;
    }
    // The first line the slave prints is the path of its terminal end (or its address).
    char c = 0;
    while (read(out[0], &c, 1) == 1 && c != '\n') device_.push_back(c);
    close(out[0]);
  }
  ~TSlaveProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      int status = 0;
      waitpid(pid_, &status, 0);
    }
  }
  TSlaveProcess(const TSlaveProcess&) = delete;
  TSlaveProcess& operator=(const TSlaveProcess&) = delete;

  const std::string& Device() const { return device_; }
  // The slave's process, for its CPU clock; -1 when it did not start.
  pid_t Pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  std::string device_;
};

}  // namespace oxa::interop
