// One Modbus TCP read over loopback: our master (ToxaModBusProtocol over a modbus-tcp:// port)
// against libmodbus's modbus_read_registers, taking turns on the same server, in interleaved
// passes (the order swaps from pass to pass). A turn connects, makes a few unmeasured reads,
// then measures --count reads of 10 holding registers, and closes.
//
// Servers: libmodbus's TCP server (a child process, tests/interop/modbus_tcp_server.cpp), and
// the virtual device serving Modbus TCP in this process.
//
// Per server it prints the median and 99th percentile of the time per read of each master and
// the ratio ours/libmodbus of the medians; the last line reads
//   median ratio ours/libmodbus X.XX (libmodbus server), Y.YY (virtual device)
// The exit status is 1 when a read failed or gave other data than the server holds.
//
// Usage: modbus_tcp_bench [--count N] [--passes N] [--quick]
#include <modbus.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "protocols/oxaModBusProtocol.h"
#include "sim/PtyDevice.h"
#include "tests/interop/SlaveProcess.h"

namespace {

constexpr uint8_t kUnit = 1;
constexpr uint16_t kRegisters = 10;
constexpr int kWarmUp = 10;

struct TServer {
  const char* name;
  std::string address;  // modbus-tcp://host:port
  std::vector<uint16_t> registers;
};

// A turn's times per read in us; failures counted in `failures`.
using TTimes = std::vector<double>;

TTimes Measure(int count, const std::function<bool()>& once, int& failures) {
  TTimes us;
  for (int i = 0; i < kWarmUp; ++i) once();
  for (int i = 0; i < count; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    if (!once()) ++failures;
    us.push_back(
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
  }
  return us;
}

TTimes OurTurn(const TServer& s, int count, int& failures) {
  oxa::ToxaComPort port;
  port.SetDeviceMap({{1, s.address}});
  port.SetComPort(1);
  if (!port.Open()) {
    failures += count;
    return {};
  }
  oxa::ToxaModBusProtocol master;
  master.SetComPort(&port);
  master.SetNetAddr(kUnit);
  std::array<uint8_t, 2 * kRegisters> data{};
  const TTimes us = Measure(
      count, [&] { return master.ReadHoldingRegisters(0, kRegisters, data); }, failures);
  for (size_t i = 0; i < kRegisters; ++i) {
    if ((data[2 * i] << 8 | data[2 * i + 1]) != s.registers[i]) ++failures;
  }
  port.Close();
  return us;
}

TTimes LibmodbusTurn(const TServer& s, int count, int& failures) {
  // modbus-tcp://HOST:PORT
  const std::string rest = s.address.substr(std::string("modbus-tcp://").size());
  const size_t colon = rest.rfind(':');
  modbus_t* ctx =
      modbus_new_tcp(rest.substr(0, colon).c_str(), std::atoi(rest.substr(colon + 1).c_str()));
  if (ctx == nullptr || modbus_set_slave(ctx, kUnit) != 0 || modbus_connect(ctx) != 0) {
    if (ctx != nullptr) modbus_free(ctx);
    failures += count;
    return {};
  }
  std::array<uint16_t, kRegisters> regs{};
  const TTimes us = Measure(
      count, [&] { return modbus_read_registers(ctx, 0, kRegisters, regs.data()) == kRegisters; },
      failures);
  if (!std::equal(regs.begin(), regs.end(), s.registers.begin())) ++failures;
  modbus_close(ctx);
  modbus_free(ctx);
  return us;
}

double Percentile(std::vector<double> v, double share) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(share * static_cast<double>(v.size())))];
}

}  // namespace

int main(int argc, char** argv) {
  int count = 2000;
  int passes = 5;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if ((arg == "--count" || arg == "--passes") && i + 1 < argc && std::atoi(argv[i + 1]) > 0) {
      (arg == "--count" ? count : passes) = std::atoi(argv[++i]);
    } else if (arg == "--quick") {
      count = 30;
      passes = 2;
    } else {
      std::fprintf(stderr, "usage: %s [--count N] [--passes N] [--quick]\n", argv[0]);
      return 2;
    }
  }

  oxa::interop::TSlaveProcess server(MODBUS_TCP_SERVER, kUnit);
  oxa::sim::TPtyDevice device({.tcp = "127.0.0.1:0", .modbus_tcp = true});
  if (server.Device().empty() || !device.Start()) {
    std::fprintf(stderr, "modbus_tcp_bench: a server did not start %s\n",
                 device.LastError().c_str());
    return 1;
  }
  TServer libmodbus{"libmodbus server", server.Device(), {}};
  TServer virtual_device{"virtual device", device.DevicePath(), {}};
  for (uint16_t i = 0; i < kRegisters; ++i) {
    libmodbus.registers.push_back(oxa::interop::SlaveRegisterValue(i));
  }
  device.Edit([&](oxa::sim::TFulDevice& d) {
    for (uint16_t i = 0; i < kRegisters; ++i)
      virtual_device.registers.push_back(d.HoldingRegister(i));
  });

  std::printf("%d passes, %d reads of %u registers per master, server and pass, over loopback\n",
              passes, count, kRegisters);
  std::printf("%-17s %-10s %10s %10s\n", "server", "master", "median us", "p99 us");
  int failures = 0;
  std::vector<double> ratios;
  for (const TServer* s : {&libmodbus, &virtual_device}) {
    TTimes ours, theirs;
    for (int pass = 0; pass < passes; ++pass) {
      const auto our_turn = [&] {
        const TTimes t = OurTurn(*s, count, failures);
        ours.insert(ours.end(), t.begin(), t.end());
      };
      const auto their_turn = [&] {
        const TTimes t = LibmodbusTurn(*s, count, failures);
        theirs.insert(theirs.end(), t.begin(), t.end());
      };
      if (pass % 2 == 0) {
        our_turn();
        their_turn();
      } else {
        their_turn();
        our_turn();
      }
    }
    std::printf("%-17s %-10s %10.1f %10.1f\n", s->name, "ours", Percentile(ours, 0.5),
                Percentile(ours, 0.99));
    std::printf("%-17s %-10s %10.1f %10.1f\n", s->name, "libmodbus", Percentile(theirs, 0.5),
                Percentile(theirs, 0.99));
    const double b = Percentile(theirs, 0.5);
    ratios.push_back(b > 0 ? Percentile(ours, 0.5) / b : 0);
  }
  device.Stop();
  if (failures != 0) std::printf("\n%d reads failed or read wrong data\n", failures);
  std::printf("\nmedian ratio ours/libmodbus %.2f (libmodbus server), %.2f (virtual device)\n",
              ratios[0], ratios[1]);
  return failures == 0 ? 0 : 1;
}
