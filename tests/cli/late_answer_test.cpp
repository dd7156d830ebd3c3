// A device that answers after the time-out: its late answer must never be taken for the next
// request's, neither by the master in the same process nor by the next fulctl run on the same
// line. (How the trace shows it: tests/actions/frame_decoder_test.cpp.)
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <sstream>
#include <string>
#include <thread>

#include "protocols/oxaModBusProtocol.h"
#include "serial/OxaComPort.h"
#include "serial/OxaUtils.h"
#include "sim/PtyDevice.h"
#include "tests/support/EmptySettings.h"

namespace oxa {
namespace {

using Clock = std::chrono::steady_clock;

// A device whose registers 0..3 hold 10, 11, 20 and 21, answering `delay_ms` after a request.
class LateDevice {
 public:
  explicit LateDevice(uint32_t delay_ms) : device_({.answer_delay_ms = delay_ms}) {
    EXPECT_TRUE(device_.Start()) << device_.LastError();
    device_.Edit([](sim::TFulDevice& d) {
      for (uint16_t reg : {0, 1}) d.SetHoldingRegister(reg, static_cast<uint16_t>(10 + reg));
      for (uint16_t reg : {2, 3}) d.SetHoldingRegister(reg, static_cast<uint16_t>(18 + reg));
    });
  }
  const std::string& Path() const { return device_.DevicePath(); }

 private:
  sim::TPtyDevice device_;
};

struct TRun {
  int status = -1;
  std::string out;
};

// fulctl on `port` with `args`, to its end; standard error is left to the test's log.
TRun Fulctl(const std::string& port, const std::string& args) {
  const std::string command = std::string(FULCTL) + " -p " + port + " --settings " +
                              testing::EmptySettingsFile() + " --json -r 1 " + args;
  TRun r;
  std::FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return r;
  std::array<char, 512> buf{};
  for (size_t n; (n = std::fread(buf.data(), 1, buf.size(), pipe)) > 0;)
    r.out.append(buf.data(), n);
  const int status = ::pclose(pipe);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

TEST(LateAnswer, TheMasterNeverTakesItForTheNextRequests) {
  LateDevice device(900);
  ToxaComPort port;
  port.SetDeviceMap({{1, device.Path()}});
  ASSERT_TRUE(port.Open());
  ToxaModBusProtocol master;
  master.SetComPort(&port);
  master.SetNetAddr(1);
  master.SetRepeatCount(1);
  master.SetPacketTimeout(500);
  std::array<uint8_t, 4> buf{};
  EXPECT_FALSE(master.ReadHoldingRegisters(0, 2, buf));
  EXPECT_EQ(master.LastError(), static_cast<uint32_t>(TOxaError::kNoAnswer));
  master.SetPacketTimeout(1000);
  EXPECT_TRUE(master.ReadHoldingRegisters(2, 2, buf));
  EXPECT_EQ(HexBytes(buf), "00 14 00 15 ");
  port.Close();
}

TEST(LateAnswer, TheNextFulctlRunNeverTakesIt) {
  LateDevice device(900);
  TRun r = Fulctl(device.Path(), "-t 500 regs 0 2");
  EXPECT_EQ(r.status, 1) << r.out;
  // Started while the device is still answering the run before.
  r = Fulctl(device.Path(), "-t 1000 regs 2 2");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("\"registers\":[20,21]"), std::string::npos) << r.out;

  // An answer that comes after its run has ended waits in the line's input for the next run,
  // which must not take it either.
  LateDevice later(600);
  const auto start = Clock::now();
  r = Fulctl(later.Path(), "-t 100 regs 0 2");
  EXPECT_EQ(r.status, 1) << r.out;
  std::this_thread::sleep_until(start + std::chrono::milliseconds(800));
  r = Fulctl(later.Path(), "-t 1000 regs 2 2");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("\"registers\":[20,21]"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace oxa
