// Our Modbus RTU master (ToxaModBusProtocol over ToxaComPort) against libmodbus's own RTU master,
// taking turns on the same slave on a pseudo-terminal, in several interleaved passes.
//
// Cases:
//   FC3x10   function 3, 10 registers, from a libmodbus RTU slave (a child process);
//   FC3x125  function 3, 125 registers, from the same slave;
//   FC65     function 65, one 128-byte archive block, from the virtual device served in this
//            process (libmodbus's slave does not know the function). libmodbus's master sends it
//            with modbus_send_raw_request; its modbus_receive_confirmation cannot take the
//            answer (it frames an answer by its function code, takes five bytes for a function
//            it does not know, and fails on their CRC), so the answer is read from libmodbus's
//            own descriptor the way libmodbus reads one: a select and a read per step (address
//            and function, byte count, the rest).
// In each pass every case runs one turn of each master (the order swaps from pass to pass); a
// turn opens the port, makes a few unmeasured transactions, then measures --count of them.
//
// Per case it prints, over all passes: median and 99th percentile of the time per transaction;
// the CPU time per transaction of the master (its thread's CPU clock, so the virtual device's
// server thread in this process is not counted) and of the slave (the slave process's CPU clock;
// for the virtual device, this process's CPU less the master's thread); and the spread over the
// passes of the ratio ours/libmodbus of the per-pass medians and of the master CPU. Our master
// keeps the silence between frames (3.5 characters, 1.75 ms above 19200 bit/s) before each
// request, as devices on a line need, and libmodbus does not: it is waited before each measured
// transaction, measured apart and printed apart. libmodbus's master idles as long before each
// of its measured transactions, outside the measurement: a slave (and a CPU) that has idled a
// moment wakes slower than one kept busy, and libmodbus run back to back was measured against
// a warm slave while ours met a cold one (a ratio of about 1.4 to 1.6 that was no cost of ours).
//
// Paced: the virtual device answering at the character time of 9600, 57600 and 115200 bit/s
// (FC3x10, --paced-count transactions per master and pass): the time per transaction of both
// masters, which the line's pace decides (ours with its silence before each request, also shown
// alone), and their ratio.
//
// The last line reads
//   median ratio ours/libmodbus X.XX (FC3x10), Y.YY (FC3x125)
// The exit status is 1 when a transaction failed or answered other data than expected.
//
// Usage: modbus_bench [--count N] [--passes N] [--paced-count N] [--quick] [--slave PATH]
//   --count N        measured transactions per master, case and pass (default 1000)
//   --passes N       interleaved passes (default 5)
//   --paced-count N  measured transactions per master, speed and pass when paced (default 20)
//   --quick          a smoke run: --count 30 --passes 2 --paced-count 3
//   --slave PATH     the libmodbus slave program (default: the one built beside it)
#include <modbus.h>
#include <sys/select.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "protocols/oxaModBusProtocol.h"
#include "serial/OxaUtils.h"
#include "sim/PtyDevice.h"
#include "tests/interop/SlaveProcess.h"

namespace {

constexpr uint8_t kAddress = 1;
constexpr uint16_t kArchiveBlock = 7;
constexpr size_t kArchiveBlockSize = 128;
// Unmeasured transactions at the start of each turn.
constexpr int kWarmUp = 10;

struct Options {
  int count = 1000;
  int passes = 5;
  int paced_count = 20;
  std::string slave_program = MODBUS_RTU_SLAVE;
};

int64_t ClockNs(clockid_t clock) {
  timespec ts{};
  if (clock_gettime(clock, &ts) != 0) return 0;
  return int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

int64_t ThreadCpuNs() {
  return ClockNs(CLOCK_THREAD_CPUTIME_ID);
}

// The slave a case talks to: the device path to open, and a clock of the CPU time the slave
// has used.
struct Peer {
  std::string device;
  std::function<int64_t()> cpu_ns;
};

// What one case asks: function 3 for `registers` registers from 0, or function 65 for one
// archive block; `expected` holds the data bytes of the answer (registers high byte first).
struct Case {
  const char* name;
  bool archive;
  uint16_t registers;
  uint32_t baud;
  const Peer* peer;
  std::vector<uint8_t> expected;
  // The idle gap before each request of ours in its last turn (median, us), which libmodbus's
  // turns idle as well; ours goes first in the first pass.
  std::shared_ptr<double> idle_us = std::make_shared<double>(0);
};

// One master's measurements of one case in one pass.
struct Turn {
  std::vector<double> us;  // per transaction
  int64_t master_cpu_ns = 0;
  int64_t slave_cpu_ns = 0;
  int failures = 0;
  // The idle gap before each request, apart from `us`: ours waits the silence between frames;
  // libmodbus, which keeps none, sleeps as long.
  std::vector<double> silence_us = {};
};

// Runs `once` kWarmUp times unmeasured, then `count` times measured. `once` leaves the data of
// each answer in `data`; the last answer is compared with the case's data.
Turn Measure(const Case& c, int count, const std::function<bool()>& once,
             const std::vector<uint8_t>& data, const std::function<void()>& silence = {}) {
  Turn t;
  t.us.reserve(static_cast<size_t>(count));
  for (int i = 0; i < kWarmUp; ++i) once();
  const int64_t cpu0 = ThreadCpuNs();
  const int64_t slave0 = c.peer->cpu_ns();
  for (int i = 0; i < count; ++i) {
    if (silence) {
      const auto s0 = std::chrono::steady_clock::now();
      silence();
      t.silence_us.push_back(
          std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - s0).count());
    }
    const auto t0 = std::chrono::steady_clock::now();
    if (!once()) ++t.failures;
    const auto t1 = std::chrono::steady_clock::now();
    t.us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
  }
  t.master_cpu_ns = ThreadCpuNs() - cpu0;
  t.slave_cpu_ns = c.peer->cpu_ns() - slave0;
  if (data != c.expected) ++t.failures;
  return t;
}

// A turn of our master, on its own opening of the port.
Turn OurTurn(const Case& c, int count) {
  oxa::ToxaComPort port;
  port.SetDeviceMap({{1, c.peer->device}});
  port.SetComPort(1);
  port.SetBaudRate(c.baud);
  if (!port.Open()) return Turn{{}, 0, 0, count};
  oxa::ToxaModBusProtocol master;
  master.SetComPort(&port);
  master.SetNetAddr(kAddress);
  std::vector<uint8_t> data(c.expected.size());
  const auto once = [&] {
    return c.archive ? master.ReadArchiveBlock(kArchiveBlock, 1, data)
                     : master.ReadHoldingRegisters(0, c.registers, data);
  };
  // The silence before each request is measured apart: on an unpaced line it is the most of
  // a transaction, and libmodbus keeps none.
  Turn t = Measure(c, count, once, data, [&] { port.AwaitFrameSilence(500); });
  port.Close();
  std::vector<double> idle = t.silence_us;
  std::sort(idle.begin(), idle.end());
  if (!idle.empty()) *c.idle_us = idle[idle.size() / 2];
  return t;
}

// The answer to function 65 read from libmodbus's descriptor as libmodbus reads an answer:
// for each step, wait for input with select, then read what the step still needs.
bool ReceiveArchiveAnswer(int fd, std::span<uint8_t> frame) {
  size_t got = 0;
  for (const size_t step_end : {size_t{2}, size_t{3}, frame.size()}) {
    while (got < step_end) {
      fd_set set;
      FD_ZERO(&set);
      FD_SET(fd, &set);
      timeval timeout{0, 500'000};  // libmodbus's default response time-out
      if (select(fd + 1, &set, nullptr, nullptr, &timeout) <= 0) return false;
      const ssize_t n = read(fd, frame.data() + got, step_end - got);
      if (n <= 0) return false;
      got += static_cast<size_t>(n);
    }
    if (got == 2 && frame[1] != oxa::kFnReadArchiveBlock) return false;
  }
  const uint16_t crc = oxa::UpdateCrc16(0xFFFF, frame.first(frame.size() - 2));
  return frame[frame.size() - 2] == (crc & 0xFF) && frame[frame.size() - 1] == (crc >> 8);
}

// A turn of libmodbus's master.
Turn LibmodbusTurn(const Case& c, int count) {
  const uint32_t baud = c.baud != 0 ? c.baud : 115200;
  modbus_t* ctx = modbus_new_rtu(c.peer->device.c_str(), static_cast<int>(baud), 'N', 8, 1);
  if (ctx == nullptr) return Turn{{}, 0, 0, count};
  if (modbus_set_slave(ctx, kAddress) != 0 || modbus_connect(ctx) != 0) {
    modbus_free(ctx);
    return Turn{{}, 0, 0, count};
  }
  std::vector<uint8_t> data(c.expected.size());
  std::array<uint16_t, 125> regs{};
  std::array<uint8_t, 3 + kArchiveBlockSize + 2> frame{};
  const std::array<uint8_t, 6> archive_request{
      kAddress, oxa::kFnReadArchiveBlock, kArchiveBlock >> 8, kArchiveBlock & 0xFF, 0, 1};
  const auto once = [&] {
    if (c.archive) {
      if (modbus_send_raw_request(ctx, archive_request.data(), archive_request.size()) !=
              static_cast<int>(archive_request.size() + 2) ||
          !ReceiveArchiveAnswer(modbus_get_socket(ctx), frame)) {
        return false;
      }
      std::copy_n(frame.begin() + 3, kArchiveBlockSize, data.begin());
      return true;
    }
    if (modbus_read_registers(ctx, 0, c.registers, regs.data()) != c.registers) return false;
    for (size_t i = 0; i < c.registers; ++i) {
      data[2 * i] = static_cast<uint8_t>(regs[i] >> 8);
      data[2 * i + 1] = static_cast<uint8_t>(regs[i]);
    }
    return true;
  };
  // As long an idle gap before each request as ours keeps, slept outside the measurement.
  const auto gap_ns = static_cast<int64_t>(*c.idle_us * 1000.0);
  const auto idle = [gap_ns] {
    const timespec gap{static_cast<time_t>(gap_ns / 1'000'000'000),
                       static_cast<long>(gap_ns % 1'000'000'000)};
    clock_nanosleep(CLOCK_MONOTONIC, 0, &gap, nullptr);
  };
  Turn t = Measure(c, count, once, data, idle);
  modbus_close(ctx);
  modbus_free(ctx);
  return t;
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

double P99(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, (v.size() * 99 + 99) / 100 - 1)];
}

// One master's turns of one case over all passes.
struct Series {
  std::vector<Turn> turns;

  std::vector<double> All() const {
    std::vector<double> all;
    for (const Turn& t : turns) all.insert(all.end(), t.us.begin(), t.us.end());
    return all;
  }
  std::vector<double> Silences() const {
    std::vector<double> all;
    for (const Turn& t : turns) all.insert(all.end(), t.silence_us.begin(), t.silence_us.end());
    return all;
  }
  size_t Count() const {
    size_t n = 0;
    for (const Turn& t : turns) n += t.us.size();
    return n;
  }
  double MasterCpuUs() const {
    int64_t ns = 0;
    for (const Turn& t : turns) ns += t.master_cpu_ns;
    return Count() == 0 ? 0 : static_cast<double>(ns) / 1000.0 / static_cast<double>(Count());
  }
  double SlaveCpuUs() const {
    int64_t ns = 0;
    for (const Turn& t : turns) ns += t.slave_cpu_ns;
    return Count() == 0 ? 0 : static_cast<double>(ns) / 1000.0 / static_cast<double>(Count());
  }
  int Failures() const {
    int n = 0;
    for (const Turn& t : turns) n += t.failures;
    return n;
  }
};

struct Result {
  Series ours, theirs;
};

// Runs every case once per pass, both masters taking turns; the order of the masters swaps
// from pass to pass, so a drift in the machine's load falls on both alike.
std::vector<Result> Run(const std::vector<Case>& cases, int count, int passes) {
  std::vector<Result> results(cases.size());
  for (int pass = 0; pass < passes; ++pass) {
    for (size_t i = 0; i < cases.size(); ++i) {
      if (pass % 2 == 0) {
        results[i].ours.turns.push_back(OurTurn(cases[i], count));
        results[i].theirs.turns.push_back(LibmodbusTurn(cases[i], count));
      } else {
        results[i].theirs.turns.push_back(LibmodbusTurn(cases[i], count));
        results[i].ours.turns.push_back(OurTurn(cases[i], count));
      }
    }
  }
  return results;
}

// Smallest and largest over the passes of ours/libmodbus of `figure`.
template <typename F>
std::pair<double, double> PassSpread(const Result& r, F figure) {
  double lo = 1e300, hi = 0;
  for (size_t p = 0; p < r.ours.turns.size(); ++p) {
    const double b = figure(r.theirs.turns[p]);
    const double ratio = b > 0 ? figure(r.ours.turns[p]) / b : 0;
    lo = std::min(lo, ratio);
    hi = std::max(hi, ratio);
  }
  return {lo, hi};
}

double Ratio(double a, double b) {
  return b > 0 ? a / b : 0;
}

void PrintRow(const char* name, const char* who, const Series& s) {
  std::printf("%-8s %-10s %9.1f %9.1f %10.1f %10.1f %8d\n", name, who, Median(s.All()),
              P99(s.All()), s.MasterCpuUs(), s.SlaveCpuUs(), s.Failures());
}

bool ParseCount(const char* text, int& value) {
  char* end = nullptr;
  const long v = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || v < 1 || v > 10'000'000) return false;
  value = static_cast<int>(v);
  return true;
}

std::vector<uint8_t> SlaveRegisterBytes(uint16_t count) {
  std::vector<uint8_t> bytes;
  for (int i = 0; i < count; ++i) {
    const uint16_t v = oxa::interop::SlaveRegisterValue(i);
    bytes.push_back(static_cast<uint8_t>(v >> 8));
    bytes.push_back(static_cast<uint8_t>(v));
  }
  return bytes;
}

std::vector<uint8_t> DeviceRegisterBytes(oxa::sim::TPtyDevice& device, uint16_t count) {
  std::vector<uint8_t> bytes;
  device.Edit([&](oxa::sim::TFulDevice& d) {
    for (uint16_t r = 0; r < count; ++r) {
      bytes.push_back(static_cast<uint8_t>(d.HoldingRegister(r) >> 8));
      bytes.push_back(static_cast<uint8_t>(d.HoldingRegister(r)));
    }
  });
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--count" && has_value && ParseCount(argv[i + 1], opt.count)) {
      ++i;
    } else if (arg == "--passes" && has_value && ParseCount(argv[i + 1], opt.passes)) {
      ++i;
    } else if (arg == "--paced-count" && has_value && ParseCount(argv[i + 1], opt.paced_count)) {
      ++i;
    } else if (arg == "--quick") {
      opt.count = 30;
      opt.passes = 2;
      opt.paced_count = 3;
    } else if (arg == "--slave" && has_value) {
      opt.slave_program = argv[++i];
    } else {
      std::fprintf(stderr,
                   "usage: %s [--count N] [--passes N] [--paced-count N] [--quick] "
                   "[--slave PATH]\n",
                   argv[0]);
      return 2;
    }
  }

  oxa::interop::TSlaveProcess slave(opt.slave_program, kAddress);
  clockid_t slave_clock{};
  if (slave.Device().empty() || clock_getcpuclockid(slave.Pid(), &slave_clock) != 0) {
    std::fprintf(stderr, "modbus_bench: the slave %s did not start\n", opt.slave_program.c_str());
    return 1;
  }
  oxa::sim::TPtyDevice device;
  if (!device.Start()) {
    std::fprintf(stderr, "modbus_bench: the virtual device did not start: %s\n",
                 device.LastError().c_str());
    return 1;
  }
  const Peer libmodbus_slave{slave.Device(), [slave_clock] { return ClockNs(slave_clock); }};
  // Besides the master's thread (this one), the virtual device's server is the only thread.
  const Peer virtual_device{device.DevicePath(),
                            [] { return ClockNs(CLOCK_PROCESS_CPUTIME_ID) - ThreadCpuNs(); }};
  const std::array<uint8_t, kArchiveBlockSize> block =
      oxa::sim::TFulDevice::ArchiveBlock(kArchiveBlock);

  const std::vector<Case> cases{
      {"FC3x10", false, 10, 115200, &libmodbus_slave, SlaveRegisterBytes(10)},
      {"FC3x125", false, 125, 115200, &libmodbus_slave, SlaveRegisterBytes(125)},
      {"FC65", true, 1, 115200, &virtual_device, {block.begin(), block.end()}},
  };
  std::printf(
      "%d passes, %d transactions per master, case and pass; libmodbus slave on %s, "
      "virtual device on %s\n",
      opt.passes, opt.count, slave.Device().c_str(), device.DevicePath().c_str());
  const std::vector<Result> results = Run(cases, opt.count, opt.passes);

  int failures = 0;
  std::printf("\n%-8s %-10s %9s %9s %10s %10s %8s\n", "case", "master", "median us", "p99 us",
              "master cpu", "slave cpu", "failures");
  std::printf("%-8s %-10s %9s %9s %10s %10s\n", "", "", "", "", "us/trans", "us/trans");
  for (size_t i = 0; i < cases.size(); ++i) {
    const Result& r = results[i];
    PrintRow(cases[i].name, "ours", r.ours);
    PrintRow(cases[i].name, "libmodbus", r.theirs);
    failures += r.ours.Failures() + r.theirs.Failures();
  }
  std::printf(
      "\nratio ours/libmodbus  median (passes min-max)    p99   master cpu (passes min-max)"
      "   slave cpu\n");
  for (size_t i = 0; i < cases.size(); ++i) {
    const Result& r = results[i];
    const auto median = PassSpread(r, [](const Turn& t) { return Median(t.us); });
    const auto cpu =
        PassSpread(r, [](const Turn& t) { return static_cast<double>(t.master_cpu_ns); });
    std::printf("%-8s %22.2f (%.2f-%.2f) %9.2f %12.2f (%.2f-%.2f) %11.2f\n", cases[i].name,
                Ratio(Median(r.ours.All()), Median(r.theirs.All())), median.first, median.second,
                Ratio(P99(r.ours.All()), P99(r.theirs.All())),
                Ratio(r.ours.MasterCpuUs(), r.theirs.MasterCpuUs()), cpu.first, cpu.second,
                Ratio(r.ours.SlaveCpuUs(), r.theirs.SlaveCpuUs()));
  }
  std::printf("idle gap before each transaction, apart from the figures above (median us):\n");
  for (const bool ours : {true, false}) {
    std::printf("  %-9s", ours ? "ours" : "libmodbus");
    for (size_t i = 0; i < cases.size(); ++i) {
      const Series& s = ours ? results[i].ours : results[i].theirs;
      std::printf(" %s %.1f", cases[i].name, Median(s.Silences()));
    }
    std::printf("%s\n", ours ? " (the silence between frames)" : " (slept)");
  }
  device.Stop();

  // Paced: the line's speed, not the master, decides the time per transaction; ours includes
  // the silence between frames, shown beside it.
  std::printf("\npaced virtual device, FC3x10, %d passes of %d transactions per master\n",
              opt.passes, opt.paced_count);
  std::printf("%8s %14s %14s %7s %12s %12s %12s\n", "baud", "ours us", "libmodbus us", "ratio",
              "ours cpu", "libm. cpu", "silence us");
  for (const uint32_t baud : {9600u, 57600u, 115200u}) {
    oxa::sim::TPtyDevice paced(oxa::sim::TPtyOptions{.address = kAddress, .baud = baud});
    if (!paced.Start()) {
      std::fprintf(stderr, "modbus_bench: the paced virtual device did not start: %s\n",
                   paced.LastError().c_str());
      return 1;
    }
    const Peer peer{paced.DevicePath(), virtual_device.cpu_ns};
    const std::vector<Case> paced_case{
        {"paced", false, 10, baud, &peer, DeviceRegisterBytes(paced, 10)}};
    const Result r = Run(paced_case, opt.paced_count, opt.passes).front();
    const double a = Median(r.ours.All()), b = Median(r.theirs.All());
    std::printf("%8u %14.1f %14.1f %7.2f %12.1f %12.1f %12.1f\n", baud, a, b, Ratio(a, b),
                r.ours.MasterCpuUs(), r.theirs.MasterCpuUs(), Median(r.ours.Silences()));
    failures += r.ours.Failures() + r.theirs.Failures();
  }

  if (failures != 0) std::printf("\n%d transactions failed or read wrong data\n", failures);
  std::printf("\nmedian ratio ours/libmodbus %.2f (FC3x10), %.2f (FC3x125)\n",
              Ratio(Median(results[0].ours.All()), Median(results[0].theirs.All())),
              Ratio(Median(results[1].ours.All()), Median(results[1].theirs.All())));
  return failures == 0 ? 0 : 1;
}
