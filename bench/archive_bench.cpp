// An archive range read into a file as fulctl's `archive FIRST LAST -o FILE` and the windows
// read it (actions/ArchiveDownload.h), against the virtual device on a pseudo-terminal paced
// at 115200 bit/s: the time of the whole run next to the wire time of its frames, every byte
// the port sent and received at ten bits a byte. The target: at most 1.05 times the wire time.
//
// The virtual device paces its answers only; a request reaches it at once, as a
// pseudo-terminal passes it. So each pass also prints the ratio to the answers' wire time
// alone, the part of the line that is simulated: what it exceeds 1 by is what the run adds
// (the turnarounds, the file, the polls).
//
// Each pass reads the range afresh into a new file, and checks that the file holds every
// block. The last line reads
//   median ratio time/wire X.XX (N blocks at 115200 bit/s)
// The exit status is 1 when a run failed.
//
// Usage: archive_bench [--blocks N] [--passes N] [--quick]
//   --blocks N  blocks of the range, from block 0 (default 200)
//   --passes N  runs (default 3)
//   --quick     a smoke run: --blocks 20 --passes 1
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "actions/ArchiveDownload.h"
#include "sim/PtyDevice.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kBaud = 115200;

struct TOptions {
  int blocks = 200;
  int passes = 3;
};

// One run into `path`; its ratio of time to wire time, 0 when it failed.
double Run(oxa::ToxaComPort& port, oxa::ToxaFul0508& ful, const std::string& path, int blocks) {
  uint64_t sent = 0;
  uint64_t received = 0;
  port.SetTap([&](oxa::TPortDirection direction, std::span<const uint8_t> b, uint64_t) {
    (direction == oxa::TPortDirection::kSent ? sent : received) += b.size();
  });
  oxa::TArchiveDownload download(
      {.path = path, .first = 0, .last = static_cast<uint16_t>(blocks - 1)},
      oxa::TLanguage::kEnglish);
  const auto start = Clock::now();
  const bool prepared = download.Prepare();
  const oxa::TArchiveResult& r = prepared ? download.Run(ful) : download.Result();
  const auto end = Clock::now();
  port.SetTap(nullptr);
  if (!r.Ok()) {
    std::fprintf(stderr, "archive_bench: %s\n", r.text.c_str());
    return 0;
  }
  std::error_code ec;
  if (std::filesystem::file_size(path, ec) != static_cast<uintmax_t>(blocks) * 128) {
    std::fprintf(stderr, "archive_bench: %s does not hold every block\n", path.c_str());
    return 0;
  }
  std::filesystem::remove(path, ec);
  const double seconds = std::chrono::duration<double>(end - start).count();
  const double wire = static_cast<double>(sent + received) * 10 / kBaud;
  const double answers = static_cast<double>(received) * 10 / kBaud;
  std::printf(
      "%d blocks: %.3f s, %.1f blocks/s; wire time of %llu bytes sent and %llu received "
      "%.3f s, ratio %.3f; of the answers alone %.3f s, ratio %.3f\n",
      blocks, seconds, blocks / seconds, static_cast<unsigned long long>(sent),
      static_cast<unsigned long long>(received), wire, seconds / wire, answers, seconds / answers);
  return seconds / wire;
}

}  // namespace

int main(int argc, char** argv) {
  TOptions o;
  for (int i = 1; i < argc; ++i) {
    const bool has_value = i + 1 < argc;
    if (std::strcmp(argv[i], "--quick") == 0) {
      o.blocks = 20;
      o.passes = 1;
    } else if (std::strcmp(argv[i], "--blocks") == 0 && has_value) {
      o.blocks = std::clamp(std::atoi(argv[++i]), 1, 8192);
    } else if (std::strcmp(argv[i], "--passes") == 0 && has_value) {
      o.passes = std::max(1, std::atoi(argv[++i]));
    } else {
      std::fprintf(stderr, "usage: archive_bench [--blocks N] [--passes N] [--quick]\n");
      return 2;
    }
  }
  oxa::sim::TPtyDevice device({.baud = kBaud});
  if (!device.Start()) {
    std::fprintf(stderr, "archive_bench: the virtual device: %s\n", device.LastError().c_str());
    return 1;
  }
  oxa::ToxaComPort port;
  port.SetDeviceMap({{1, device.DevicePath()}});
  port.SetComPort(1);
  port.SetBaudRate(kBaud);
  if (!port.Open()) {
    std::fprintf(stderr, "archive_bench: cannot open %s\n", device.DevicePath().c_str());
    return 1;
  }
  oxa::ToxaFul0508 ful;
  oxa::ToxaZeb106 zeb;
  oxa::ConfigureMasters(port, ful, zeb);
  ful.SetNetAddr(1);

  std::string name = (std::filesystem::temp_directory_path() / "archive_bench_XXXXXX").string();
  if (::mkdtemp(name.data()) == nullptr) {
    std::fprintf(stderr, "archive_bench: cannot make a folder in %s\n", name.c_str());
    return 1;
  }
  const std::string path = (std::filesystem::path(name) / "archive.bin").string();
  std::vector<double> ratios;
  for (int pass = 0; pass < o.passes; ++pass) {
    const double ratio = Run(port, ful, path, o.blocks);
    if (ratio == 0) break;
    ratios.push_back(ratio);
  }
  port.Close();
  std::error_code ec;
  std::filesystem::remove_all(name, ec);
  if (ratios.size() != static_cast<size_t>(o.passes)) return 1;
  std::sort(ratios.begin(), ratios.end());
  std::printf("median ratio time/wire %.2f (%d blocks at %u bit/s)\n", ratios[ratios.size() / 2],
              o.blocks, kBaud);
  return 0;
}
