// fulctl from a fresh process, against the virtual device on a pseudo-terminal:
//   1. a one-shot read of 10 registers (`fulctl regs 0 10`) next to a bare process that only
//      opens and closes the same port (port_open_close), taking turns, --runs N each: the
//      median wall time of each and their ratio (the goal is at most 1.2: no sleeps anywhere);
//   2. a scan of addresses 1 to 127 at 9600 bit/s (the device paced at that speed) where one
//      device answers, at a 50 ms time-out and one attempt: its time next to the bound of
//      127 × (time-out × (attempts + 1) + the wire time of one exchange), since a silent address
//      is listened out for one more time-out, so that a late answer is never taken for the next
//      address's.
//   3. a repeated read of all 32 integrators with --csv at 9600 bit/s, with a period longer
//      than a read and one shorter: the achieved period between the rows (median and
//      greatest) against the one set, and the summary, which counts the late reads.
// Usage: fulctl_bench [--runs N]
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "sim/PtyDevice.h"
#include "tests/support/EmptySettings.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// Runs `args` with its standard output and error going to `out` and `err` (thrown away by
// default); its wall time in ms, negative when it failed.
double TimeRun(std::vector<std::string> args, const char* out = "/dev/null",
               const char* err = "/dev/null") {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out, O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, err, O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const auto start = Clock::now();
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  return WIFEXITED(status) && WEXITSTATUS(status) <= 1 ? ms : -ms;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

// The times in ms between the rows of a CSV log (each starts "YYYY-MM-DDTHH:MM:SS.mmm").
std::vector<double> RowPeriods(const std::string& path) {
  std::ifstream file(path);
  std::string line;
  std::getline(file, line);  // the header
  std::vector<double> periods;
  double last = -1;
  while (std::getline(file, line)) {
    if (line.size() < 23) continue;
    const double ms =
        (std::atoi(line.substr(11, 2).c_str()) * 3600.0 +
         std::atoi(line.substr(14, 2).c_str()) * 60.0 + std::atof(line.substr(17, 6).c_str())) *
        1000.0;
    if (last >= 0) periods.push_back(ms - last);
    last = ms;
  }
  return periods;
}

}  // namespace

int main(int argc, char* argv[]) {
  int runs = 200;
  if (argc == 3 && std::strcmp(argv[1], "--runs") == 0) runs = std::max(1, std::atoi(argv[2]));
  const std::string fulctl = FULCTL;
  const std::string bare = PORT_OPEN_CLOSE;
  const std::string settings = oxa::testing::EmptySettingsFile();

  oxa::sim::TPtyDevice device;
  if (!device.Start()) {
    std::fprintf(stderr, "fulctl_bench: %s\n", device.LastError().c_str());
    return 1;
  }
  const std::string path = device.DevicePath();
  std::vector<double> read_ms, bare_ms;
  int failures = 0;
  for (int i = 0; i < runs; ++i) {
    const double r = TimeRun({fulctl, "-p", path, "--settings", settings, "regs", "0", "10"});
    const double b = TimeRun({bare, path});
    if (r < 0 || b < 0) ++failures;
    read_ms.push_back(std::abs(r));
    bare_ms.push_back(std::abs(b));
  }
  const double read = Median(read_ms);
  const double open_close = Median(bare_ms);
  std::printf("one-shot read of 10 registers, %d runs each, fresh processes taking turns\n", runs);
  std::printf("  fulctl regs 0 10          median %7.2f ms\n", read);
  std::printf("  port_open_close (bare)    median %7.2f ms\n", open_close);
  std::printf("  ratio %.2f (goal at most 1.20), %d failed runs\n", read / open_close, failures);
  device.Stop();

  // The scan: one device at address 100, the line paced at 9600 bit/s.
  constexpr uint32_t kBaud = 9600;
  constexpr int kTimeoutMs = 50;
  constexpr int kAddresses = 127;
  oxa::sim::TPtyDevice paced({.address = 100, .baud = kBaud});
  if (!paced.Start()) {
    std::fprintf(stderr, "fulctl_bench: %s\n", paced.LastError().c_str());
    return 1;
  }
  const double scan =
      std::abs(TimeRun({fulctl, "-p", paced.DevicePath(), "--settings", settings, "-b",
                        std::to_string(kBaud), "-t", std::to_string(kTimeoutMs), "--protocol",
                        "modbus", "--addresses", "1-" + std::to_string(kAddresses), "scan"}));
  // One exchange on the wire: the 4-byte request and an answer with a text of up to 40 bytes.
  const double wire_ms = (4.0 + 6.0 + 40.0) * 10.0 * 1000.0 / kBaud;
  const double bound = kAddresses * (kTimeoutMs * 2.0 + wire_ms);
  std::printf("scan of addresses 1-%d at %u bit/s, time-out %d ms, 1 attempt, one device\n",
              kAddresses, kBaud, kTimeoutMs);
  std::printf("  %.2f s, bound %.2f s (%.0f%% of it)\n", scan / 1000.0, bound / 1000.0,
              100.0 * scan / bound);
  paced.Stop();

  // The period of a repeated read of all integrators, the device paced at 9600 bit/s.
  oxa::sim::TPtyDevice integrators({.baud = kBaud});
  if (!integrators.Start()) {
    std::fprintf(stderr, "fulctl_bench: %s\n", integrators.LastError().c_str());
    return 1;
  }
  const std::string log = std::filesystem::temp_directory_path() / "fulctl_bench_log.csv";
  const std::string summary = log + ".err";
  std::printf("fulctl --csv -n 6 -i MS integrator all at %u bit/s\n", kBaud);
  for (const int period_ms : {1000, 200}) {
    TimeRun({fulctl, "-p", integrators.DevicePath(), "--settings", settings, "-b",
             std::to_string(kBaud), "--csv", "-n", "6", "-i", std::to_string(period_ms),
             "integrator", "all"},
            log.c_str(), summary.c_str());
    std::vector<double> periods = RowPeriods(log);
    std::string said;
    std::getline(std::ifstream(summary), said);
    std::printf("  -i %4d: achieved period median %7.1f ms, max %7.1f ms\n           %s\n",
                period_ms, Median(periods),
                periods.empty() ? 0.0 : *std::max_element(periods.begin(), periods.end()),
                said.c_str());
  }
  std::remove(log.c_str());
  std::remove(summary.c_str());
  return 0;
}
