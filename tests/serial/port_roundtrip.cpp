// Times Modbus reads of 10 holding registers through the port of this build, for the figures
// of scripts/windows.sh: the same program built for Linux and for Windows (under Wine) reads
// from the same virtual device, and the script sets the two side by side.
//
// Usage: port_roundtrip PORT [READS]
//   PORT   a COM number (1..255: the system's own name for it) or a device address
//   READS  how many reads to time (default 100)
// Prints one line: reads N failed F median_us M p90_us P mean_us A
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "devices/oxaFul0508.h"
#include "serial/OxaComPort.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: port_roundtrip PORT [READS]\n");
    return 2;
  }
  const std::string_view target = argv[1];
  const int reads = argc > 2 ? std::max(1, std::atoi(argv[2])) : 100;
  oxa::ToxaComPort port;
  if (!target.empty() && target.find_first_not_of("0123456789") == std::string_view::npos) {
    port.SetComPort(static_cast<uint8_t>(std::atoi(argv[1])));
  } else {
    port.SetDeviceMap({{1, std::string(target)}});
    port.SetComPort(1);
  }
  port.SetBaudRate(115200);
  if (!port.Open()) {
    std::fprintf(stderr, "port_roundtrip: %s does not open: %s\n", argv[1],
                 port.OpenError().detail.c_str());
    return 1;
  }
  oxa::ToxaFul0508 ful;
  ful.SetComPort(&port);
  ful.SetNetAddr(1);
  ful.SetRepeatCount(1);
  std::array<uint8_t, 20> registers{};
  std::vector<double> us;
  int failed = 0;
  ful.ReadHoldingRegisters(0, 10, registers);  // not timed: the first exchange of a fresh line
  for (int i = 0; i < reads; ++i) {
    const auto start = std::chrono::steady_clock::now();
    const bool ok = ful.ReadHoldingRegisters(0, 10, registers);
    const auto end = std::chrono::steady_clock::now();
    if (!ok) {
      ++failed;
      continue;
    }
    us.push_back(std::chrono::duration<double, std::micro>(end - start).count());
  }
  port.Close();
  if (us.empty()) {
    std::printf("reads %d failed %d\n", reads, failed);
    return 1;
  }
  std::sort(us.begin(), us.end());
  double sum = 0;
  for (double v : us) sum += v;
  std::printf("reads %d failed %d median_us %.0f p90_us %.0f mean_us %.0f\n", reads, failed,
              us[us.size() / 2], us[us.size() * 9 / 10], sum / static_cast<double>(us.size()));
  return failed == 0 ? 0 : 1;
}
