// Both masters against the virtual device on the lines technicians meet: a serial device
// server over TCP, and a two-wire RS-485 adapter that returns every request before its answer.
#include <gtest/gtest.h>

#include <chrono>

#include "protocols/oxa10xProtocol.h"
#include "protocols/oxaModBusProtocol.h"
#include "serial/OxaComPort.h"
#include "sim/PtyDevice.h"
#include "tests/support/ErrorNames.h"

namespace oxa::sim {
namespace {

using enum TOxaError;
using oxa::testing::ErrorOf;
using Clock = std::chrono::steady_clock;

constexpr uint16_t kValue = 0x3039;
constexpr const char* kId = "FUL-05.08 line test";

TPtyOptions LineOptions(bool tcp, bool echo) {
  TPtyOptions options;
  if (tcp) options.tcp = "127.0.0.1:0";
  options.echo = echo;
  return options;
}

// A device with a known register and identification, and a port mapped to it as COM1.
struct Bench {
  explicit Bench(TPtyOptions options, const std::string& port_options = "")
      : device(std::move(options)) {
    EXPECT_TRUE(device.Start()) << device.LastError();
    device.Edit([](TFulDevice& d) {
      d.SetHoldingRegister(kRegDose, kValue);
      d.Set10xIdentification(kId);
    });
    port.SetDeviceMap({{1, device.DevicePath() + port_options}});
    EXPECT_TRUE(port.Open()) << port.OpenError().detail;
    modbus.SetComPort(&port);
    modbus.SetNetAddr(1);
    outcome_10x.SetComPort(&port);
    outcome_10x.SetNetAddr(1);
  }
  // A register read; its outcome.
  TOxaError ReadRegister() {
    std::array<uint8_t, 2> buf{};
    if (modbus.ReadHoldingRegisters(kRegDose, 1, buf)) {
      EXPECT_EQ(buf[0] << 8 | buf[1], kValue);
    }
    return ErrorOf(modbus);
  }
  // The 10x identification; its outcome.
  TOxaError Identify() {
    std::string id;
    outcome_10x.GetDevID(id);
    if (outcome_10x.LastError() == 0) {
      EXPECT_EQ(id, kId);
    }
    return ErrorOf(outcome_10x);
  }

  TPtyDevice device;
  ToxaComPort port;
  ToxaModBusProtocol modbus;
  Toxa10xProtocol outcome_10x;
};

TEST(LineOptions, EachLineWithItsPortOptionsGivesTheOutcomeATechnicianSees) {
  struct Case {
    const char* line;
    bool tcp;
    bool device_echo;     // the line returns each request
    const char* options;  // of the port's address
    int altered_echoes;   // requests whose echo the line alters
    uint8_t repeats;
    TOxaError modbus;
    TOxaError outcome_10x;
    bool echo_failed;
  };
  const Case cases[] = {
      {"serial device server", true, false, "", 0, 3, kOk, kOk, false},
      {"two-wire adapter, echo taken off", false, true, " echo", 0, 3, kOk, kOk, false},
      {"server with an echoing line", true, true, " echo", 0, 3, kOk, kOk, false},
      // Without the option the request is read as the answer: its byte count and CRC do not
      // fit one. The 10x master passes over it, as over any bytes before an answer's start.
      {"two-wire adapter, echo not expected", false, true, "", 0, 1, kWrongChecksum, kOk, false},
      // Another station talked over one request: the next attempt goes through.
      {"one altered echo", false, true, " echo", 1, 3, kOk, kOk, false},
      // ... over every attempt: a collision, told apart from a dead link.
      {"every echo altered", false, true, " echo", 3, 3, kNoPortOrWriteFailed, kNoPortOrWriteFailed,
       true},
      {"every echo altered over TCP", true, true, " echo", 3, 3, kNoPortOrWriteFailed,
       kNoPortOrWriteFailed, true},
      // The option on a line that does not echo: the answer comes where the echo should.
      {"echo expected, none comes", false, false, " echo", 0, 1, kNoPortOrWriteFailed,
       kNoPortOrWriteFailed, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    Bench bench(LineOptions(c.tcp, c.device_echo), c.options);
    bench.modbus.SetRepeatCount(c.repeats);
    bench.outcome_10x.SetRepeatCount(c.repeats);
    bench.device.AlterEchoOfNext(c.altered_echoes);
    EXPECT_EQ(bench.ReadRegister(), c.modbus);
    EXPECT_EQ(bench.modbus.EchoFailed(), c.echo_failed);
    bench.device.AlterEchoOfNext(c.altered_echoes);
    EXPECT_EQ(bench.Identify(), c.outcome_10x);
    EXPECT_EQ(bench.outcome_10x.EchoFailed(), c.echo_failed);
  }
}

TEST(LineOptions, AConnectionClosedMidExchangeEndsItAtOnceAndTheNextOpenConnectsAfresh) {
  Bench bench(LineOptions(true, false));
  bench.modbus.SetPacketTimeout(3000);
  bench.device.DropConnectionOnNext(1);
  const auto start = Clock::now();
  EXPECT_EQ(bench.ReadRegister(), kNoPortOrWriteFailed);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1000));  // no time-out, no repeat
  EXPECT_TRUE(bench.port.Lost());
  EXPECT_TRUE(bench.port.Opened());
  EXPECT_EQ(bench.Identify(), kNoPortOrWriteFailed);
  // The window opens the port at every test: the next one reconnects.
  ASSERT_TRUE(bench.port.Open()) << bench.port.OpenError().detail;
  EXPECT_FALSE(bench.port.Lost());
  EXPECT_EQ(bench.ReadRegister(), kOk);
  EXPECT_EQ(bench.Identify(), kOk);
}

TEST(LineOptions, ANewConnectionToTheVirtualDeviceReplacesTheOneBefore) {
  Bench first(LineOptions(true, false));
  ToxaComPort second;
  second.SetDeviceMap(first.port.DeviceMap());
  ASSERT_TRUE(second.Open());
  ToxaModBusProtocol modbus;
  modbus.SetComPort(&second);
  modbus.SetNetAddr(1);
  std::array<uint8_t, 2> buf{};
  EXPECT_TRUE(modbus.ReadHoldingRegisters(kRegDose, 1, buf));
  EXPECT_EQ(first.ReadRegister(), kNoPortOrWriteFailed);
  EXPECT_TRUE(first.port.Lost());
}

}  // namespace
}  // namespace oxa::sim
