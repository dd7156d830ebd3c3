// Never a wrong value: the Modbus master reading from the virtual device on a pseudo-terminal
// while a share of its answers, chosen at random, come late (after the packet time-out), not at
// all, or damaged. Every read asks for two registers at a start that changes from read to
// read, and every register holds a value of its own, so an answer taken for another request's
// shows as a wrong value. Counts the reads reported OK whose values are not the registers' own
// (must be 0), the failed reads, and the late answers the line was listened out for.
//
// Then the time a failed read takes from a device that never answers, against the design's:
// its attempts, each the packet time-out and the first and last 10 ms polls; the listening
// for a late answer comes before the next request, not inside the failed read.
//
// The last line reads
//   wrong values reported OK 0 of N OK reads (F failed), failed read X ms against Y ms (Z.ZZ)
// The exit status is 1 when a wrong value was reported OK.
//
// Usage: soak_bench [--reads N] [--faults P] [--seed N] [--quick]
//   --reads N   reads of the soak (default 20000)
//   --faults P  percent of the answers spoilt: a third each late, dropped, damaged (default 5)
//   --seed N    the device's random choices (default 1)
//   --quick     a smoke run: --reads 1500
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "protocols/oxaModBusProtocol.h"
#include "serial/OxaComPort.h"
#include "sim/PtyDevice.h"

namespace {

using Clock = std::chrono::steady_clock;

// The registers read, each holding a value of its own.
constexpr uint16_t kFirstRegister = 2210;
constexpr uint16_t kRegisters = 60;
constexpr uint32_t kPacketTimeoutMs = 30;
constexpr uint32_t kByteTimeoutMs = 20;
constexpr uint8_t kAttempts = 3;

uint16_t ValueOf(uint16_t reg) {
  return static_cast<uint16_t>(reg * 37 + 11);
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
  return v[v.size() / 2];
}

bool Number(const char* text, uint64_t& value) {
  char* end = nullptr;
  value = std::strtoull(text, &end, 10);
  return end != text && *end == '\0';
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t reads = 20000;
  uint64_t faults = 5;
  uint64_t seed = 1;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--quick") {
      reads = 1500;
    } else if (arg == "--reads" && has_value && Number(argv[i + 1], reads)) {
      ++i;
    } else if (arg == "--faults" && has_value && Number(argv[i + 1], faults) && faults <= 99) {
      ++i;
    } else if (arg == "--seed" && has_value && Number(argv[i + 1], seed)) {
      ++i;
    } else {
      std::fprintf(stderr, "usage: soak_bench [--reads N] [--faults P] [--seed N] [--quick]\n");
      return 2;
    }
  }
  const auto share = static_cast<uint32_t>((faults + 2) / 3);
  // Late answers come after the attempt has given up (at about 50 ms), during the next one.
  oxa::sim::TPtyDevice device({.late_percent = share,
                               .late_min_ms = kPacketTimeoutMs + 25,
                               .late_max_ms = 2 * kPacketTimeoutMs + 15,
                               .drop_percent = share,
                               .damage_percent = share,
                               .seed = seed});
  if (!device.Start()) {
    std::fprintf(stderr, "soak_bench: %s\n", device.LastError().c_str());
    return 1;
  }
  device.Edit([](oxa::sim::TFulDevice& d) {
    for (uint16_t r = 0; r < kRegisters; ++r) {
      d.SetHoldingRegister(kFirstRegister + r, ValueOf(kFirstRegister + r));
    }
  });
  oxa::ToxaComPort port;
  port.SetDeviceMap({{1, device.DevicePath()}});
  port.SetComPort(1);
  port.SetBaudRate(115200);
  if (!port.Open()) {
    std::fprintf(stderr, "soak_bench: %s\n", port.OpenError().detail.c_str());
    return 1;
  }
  oxa::ToxaModBusProtocol master;
  master.SetComPort(&port);
  master.SetNetAddr(1);
  master.SetPacketTimeout(kPacketTimeoutMs);
  master.SetByteTimeout(kByteTimeoutMs);
  master.SetRepeatCount(kAttempts);

  uint64_t ok = 0;
  uint64_t wrong = 0;
  uint64_t failed = 0;
  const auto soak_start = Clock::now();
  for (uint64_t i = 0; i < reads; ++i) {
    const auto start = static_cast<uint16_t>(kFirstRegister + (i * 7) % (kRegisters - 1));
    std::array<uint8_t, 4> buf{};
    if (!master.ReadHoldingRegisters(start, 2, buf)) {
      ++failed;
      continue;
    }
    ++ok;
    for (uint16_t k = 0; k < 2; ++k) {
      const uint16_t got = static_cast<uint16_t>(buf[2 * k] << 8 | buf[2 * k + 1]);
      if (got != ValueOf(static_cast<uint16_t>(start + k))) {
        ++wrong;
        break;
      }
    }
  }
  const double soak_s = std::chrono::duration<double>(Clock::now() - soak_start).count();
  std::printf("soak: %llu reads in %.1f s, %llu OK, %llu failed, %llu wrong values reported OK\n",
              static_cast<unsigned long long>(reads), soak_s, static_cast<unsigned long long>(ok),
              static_cast<unsigned long long>(failed), static_cast<unsigned long long>(wrong));

  // A silent address: every read fails after its attempts.
  master.SetNetAddr(9);
  std::vector<double> failed_ms;
  for (int i = 0; i < 5; ++i) {
    std::array<uint8_t, 4> buf{};
    // The last read's late answers are listened for before this one's request: not its time.
    port.AwaitLateAnswers();
    const auto start = Clock::now();
    master.ReadHoldingRegisters(kFirstRegister, 2, buf);
    failed_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  port.Close();
  const double design_ms = kAttempts * (kPacketTimeoutMs + 20.0);
  const double failed_median = Median(failed_ms);
  std::printf(
      "wrong values reported OK %llu of %llu OK reads (%llu failed), failed read %.1f ms against "
      "%.1f ms (%.2f)\n",
      static_cast<unsigned long long>(wrong), static_cast<unsigned long long>(ok),
      static_cast<unsigned long long>(failed), failed_median, design_ms, failed_median / design_ms);
  return wrong == 0 ? 0 : 1;
}
