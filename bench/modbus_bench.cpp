// Round-trip time of a 10-register read (function 3) against a libmodbus RTU slave on a
// pseudo-terminal: our master and libmodbus's own master on the same line, taking turns in
// blocks, --count reads each. Prints median and 99th percentile in microseconds, their ratio, and the CPU
// time this process spent per read (user + system).
//
// Usage: modbus_bench [--count N] [--slave PATH-TO-modbus_rtu_slave]
#include <modbus.h>
#include <sys/resource.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "protocols/oxaModBusProtocol.h"
#include "tests/interop/SlaveProcess.h"

namespace {

constexpr uint16_t kRegisters = 10;
constexpr int kWarmUp = 20;
// The two masters take turns in blocks of this many reads, so that a change in the machine's
// load during the run falls on both alike.
constexpr int kBlock = 200;

struct Samples {
  std::vector<double> us;  // one per read
  double cpu_s = 0;
  int failures = 0;
};

double CpuSeconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// Runs `read` count times after a short warm-up, adding the times to `s`.
void Measure(int count, const std::function<bool()>& read, Samples& s) {
  for (int i = 0; i < kWarmUp; ++i) read();
  const double cpu0 = CpuSeconds();
  for (int i = 0; i < count; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    if (!read()) ++s.failures;
    const auto t1 = std::chrono::steady_clock::now();
    s.us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
  }
  s.cpu_s += CpuSeconds() - cpu0;
}

struct Figures {
  double median_us, p99_us, cpu_us;
};

Figures Summarise(Samples& s) {
  std::sort(s.us.begin(), s.us.end());
  const size_t n = s.us.size();
  return {s.us[n / 2], s.us[std::min(n - 1, n * 99 / 100)], s.cpu_s * 1e6 / static_cast<double>(n)};
}

void Print(const char* who, const Figures& f, int failures) {
  std::printf("%-10s median %8.1f us   p99 %8.1f us   cpu %6.1f us/read   failures %d\n", who,
              f.median_us, f.p99_us, f.cpu_us, failures);
}

// One block of reads by our master, on its own opening of the port.
bool OurBlock(const std::string& device, int count, Samples& s) {
  oxa::ToxaComPort port;
  port.SetDeviceMap({{1, device}});
  port.SetComPort(1);
  port.SetBaudRate(115200);
  if (!port.Open()) return false;
  oxa::ToxaModBusProtocol master;
  master.SetComPort(&port);
  master.SetNetAddr(1);
  std::array<uint8_t, 2 * kRegisters> buf{};
  Measure(count, [&] { return master.ReadHoldingRegisters(0, kRegisters, buf); }, s);
  port.Close();
  return true;
}

// The same block by libmodbus's master.
bool LibmodbusBlock(const std::string& device, int count, Samples& s) {
  modbus_t* ctx = modbus_new_rtu(device.c_str(), 115200, 'N', 8, 1);
  if (ctx == nullptr) return false;
  if (modbus_set_slave(ctx, 1) != 0 || modbus_connect(ctx) != 0) {
    modbus_free(ctx);
    return false;
  }
  uint16_t regs[kRegisters];
  Measure(count, [&] { return modbus_read_registers(ctx, 0, kRegisters, regs) == kRegisters; },
          s);
  modbus_close(ctx);
  modbus_free(ctx);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int count = 2000;
  std::string slave_program = MODBUS_RTU_SLAVE;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--count") == 0 && i + 1 < argc) {
      count = std::max(1, std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--slave") == 0 && i + 1 < argc) {
      slave_program = argv[++i];
    } else {
      std::fprintf(stderr, "usage: %s [--count N] [--slave PATH]\n", argv[0]);
      return 2;
    }
  }

  oxa::interop::SlaveProcess slave(slave_program, 1);
  if (slave.Device().empty()) {
    std::fprintf(stderr, "modbus_bench: the slave %s did not start\n", slave_program.c_str());
    return 1;
  }
  std::printf("%d reads of %u registers each, slave on %s\n", count, kRegisters,
              slave.Device().c_str());

  Samples ours, theirs;
  for (int done = 0; done < count; done += kBlock) {
    const int n = std::min(kBlock, count - done);
    if (!OurBlock(slave.Device(), n, ours) || !LibmodbusBlock(slave.Device(), n, theirs)) {
      std::fprintf(stderr, "modbus_bench: cannot open %s\n", slave.Device().c_str());
      return 1;
    }
  }
  const Figures a = Summarise(ours);
  const Figures b = Summarise(theirs);
  Print("ours", a, ours.failures);
  Print("libmodbus", b, theirs.failures);
  std::printf("median ratio ours/libmodbus %.2f   p99 ratio %.2f   cpu ratio %.2f\n",
              a.median_us / b.median_us, a.p99_us / b.p99_us, a.cpu_us / b.cpu_us);
  return ours.failures + theirs.failures == 0 ? 0 : 1;
}
