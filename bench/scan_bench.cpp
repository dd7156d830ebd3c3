// A default scan of a mixed line at 9600 bit/s: `fulctl -b 9600 scan` (Modbus addresses 1 to
// 247, then 10x addresses 0 to 127, a 500 ms time-out, one attempt) on a test bus paced at
// 9600 bit/s, with the virtual device at address 3 and a pymodbus server at address 5. Its
// wall time is printed against the least its time-outs allow: every probe waits the silence
// before it and goes out on the wire, and every probe that nothing answers waits its time-out
// (the answers' own time is not counted, so the least is a little low). Beside it, the bound
// with each silent probe listened out for one more time-out, which the masters do so that a
// late answer is never taken for the next request's.
//
// The last line reads
//   scan of 1-247 at 9600 bit/s: X s, least the time-outs allow Y s (ratio R)
// The exit status is 1 when the scan did not find both devices.
//
// Usage: scan_bench [--quick]   (--quick: addresses 1-6 at a 100 ms time-out)
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "sim/PtyDevice.h"
#include "tests/interop/SlaveProcess.h"
#include "tests/support/EmptySettings.h"
#include "tests/support/LineBus.h"

extern char** environ;

int main(int argc, char** argv) {
  const bool quick = argc == 2 && std::strcmp(argv[1], "--quick") == 0;
  if (argc > 1 && !quick) {
    std::fprintf(stderr, "usage: %s [--quick]\n", argv[0]);
    return 2;
  }
  constexpr uint32_t kBaud = 9600;
  const uint32_t high = quick ? 6 : 247;
  const uint32_t timeout_ms = quick ? 100 : 500;

  oxa::interop::TSlaveProcess standard(PYMODBUS_PEER, 5);
  oxa::sim::TPtyDevice ful({.address = 3});
  oxa::testing::TLineBus bus(kBaud);
  if (standard.Device().empty() || !ful.Start() || !bus.AddDevice(standard.Device()) ||
      !bus.AddDevice(ful.DevicePath()) || !bus.Start()) {
    std::fprintf(stderr, "scan_bench: the line did not come up %s\n", ful.LastError().c_str());
    return 1;
  }

  std::vector<std::string> args{FULCTL,
                                "-p",
                                bus.MasterPath(),
                                "--settings",
                                oxa::testing::EmptySettingsFile(),
                                "-b",
                                std::to_string(kBaud)};
  if (quick) {
    for (const char* a : {"-t", "100", "--addresses", "1-6"}) args.push_back(a);
  }
  args.push_back("scan");
  std::vector<char*> argv_spawn;
  for (std::string& a : args) argv_spawn.push_back(a.data());
  argv_spawn.push_back(nullptr);
  char out_path[] = "/tmp/scan_bench_XXXXXX";
  const int out = mkstemp(out_path);
  if (out < 0) return 1;
  close(out);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out_path, O_WRONLY | O_TRUNC, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  const int spawned =
      posix_spawn(&pid, argv_spawn[0], &actions, nullptr, argv_spawn.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  if (spawned != 0 || waitpid(pid, &status, 0) != pid) return 1;
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::ifstream in(out_path);
  const std::string found((std::istreambuf_iterator<char>(in)), {});
  unlink(out_path);
  std::fputs(found.c_str(), stdout);

  // Modbus probes (4 bytes) at 1..high, 10x probes (7 bytes) at 0..min(high, 127); three of
  // them are answered (the virtual device in both protocols, pymodbus in Modbus).
  const double char_ms = 10.0 * 1000.0 / kBaud;
  const double silence_ms = 3.5 * char_ms;
  const uint32_t modbus = high;
  const uint32_t probes_10x = std::min<uint32_t>(high, 127) + 1;
  const uint32_t silent = modbus + probes_10x - 3;
  const double wire_ms =
      modbus * (silence_ms + 4 * char_ms) + probes_10x * (silence_ms + 7 * char_ms);
  const double least = (wire_ms + silent * double(timeout_ms)) / 1000.0;
  const double listened = least + silent * double(timeout_ms) / 1000.0;
  std::printf("%u Modbus and %u 10x probes, %u silent, time-out %u ms, 1 attempt\n", modbus,
              probes_10x, silent, timeout_ms);
  std::printf(
      "  with each silent probe listened out one more time-out: bound %.1f s (ratio %.2f)\n",
      listened, seconds / listened);
  std::printf("scan of 1-%u at %u bit/s: %.1f s, least the time-outs allow %.1f s (ratio %.2f)\n",
              high, kBaud, seconds, least, seconds / least);
  const bool both = found.find("address 3, Modbus") != std::string::npos &&
                    found.find("address 5, Modbus") != std::string::npos;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 && both ? 0 : 1;
}
