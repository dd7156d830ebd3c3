// The virtual device served in memory through the port seam: at the pace of the line, one port
// at a time, other addresses to the backend behind it, and waits that sleep.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>

#include "sim/MemoryDevice.h"
#include "tests/support/FakeComPortIo.h"

namespace oxa::sim {
namespace {

using oxa::testing::Hex;
using oxa::testing::WithCrc;
using Clock = std::chrono::steady_clock;

// std::clock counts the processor time of the process, except on Windows, where it counts the
// time since the process started.
#ifdef _WIN32
constexpr bool kClockCountsProcessorTime = false;
#else
constexpr bool kClockCountsProcessorTime = true;
#endif

// Collects bytes until `expected` have come or `ms` pass without one.
std::vector<uint8_t> Answer(IComPortIo& port, size_t expected, uint32_t ms = 1000) {
  std::vector<uint8_t> answer;
  while (answer.size() < expected && port.WaitForInput(ms)) {
    uint8_t b = 0;
    while (port.ReadByte(b)) answer.push_back(b);
  }
  return answer;
}

TEST(MemoryDevice, AnswersAtThePaceOfTheLine) {
  TMemoryDevice device;
  auto port = device.MakeComPortIo();
  // 1200 bit/s: a character takes 8.3 ms, the answer of seven 58 ms.
  ASSERT_TRUE(port->Open(device.DevicePath(), 1200));
  const auto sent = Clock::now();
  ASSERT_TRUE(port->Write(Hex("01 03 00 00 00 01 84 0A")));
  uint8_t b = 0;
  EXPECT_FALSE(port->ReadByte(b));  // its first character is still on the line
  EXPECT_FALSE(port->InputPending());
  const std::clock_t cpu = std::clock();
  const auto answer = Answer(*port, 7);
  // The wait slept: the process spent far less time on the processor than it waited.
  if (kClockCountsProcessorTime) {
    EXPECT_LT(double(std::clock() - cpu) / CLOCKS_PER_SEC, 0.02);
  }
  EXPECT_EQ(answer, WithCrc(Hex("01 03 02 41 48")));
  EXPECT_GE(Clock::now() - sent, std::chrono::microseconds(7 * 8333));
  // Both protocols on the same line.
  ASSERT_TRUE(port->Write(Hex("55 01 FE 00 00 00 AB")));
  const auto id = Answer(*port, 7 + 24);
  ASSERT_GE(id.size(), 7u);
  EXPECT_EQ(id[0], 0xAA);
}

TEST(MemoryDevice, SilenceOnTheLineEndsARequestOfUnknownLength) {
  TMemoryDevice device;
  auto port = device.MakeComPortIo();
  ASSERT_TRUE(port->Open(device.DevicePath(), 57600));
  const auto sent = Clock::now();
  ASSERT_TRUE(port->Write(WithCrc(Hex("01 2B 0E 01 00"))));
  EXPECT_EQ(Answer(*port, 5), WithCrc(Hex("01 AB 01")));
  EXPECT_GE(Clock::now() - sent, std::chrono::milliseconds(TMemoryDevice::IdleGapMs(57600)));
  // A fragment left by one port is no part of the next port's request.
  ASSERT_TRUE(port->Write(Hex("01 10 00 00")));
  port->Close();
  ASSERT_TRUE(port->Open(device.DevicePath(), 57600));
  ASSERT_TRUE(port->Write(Hex("01 03 00 00 00 01 84 0A")));
  EXPECT_EQ(Answer(*port, 7), WithCrc(Hex("01 03 02 41 48")));
}

TEST(MemoryDevice, OnePortAtATimeAndOtherAddressesBehindIt) {
  TMemoryDevice device;
  auto first = device.MakeComPortIo();
  auto fake = std::make_unique<oxa::testing::FakeComPortIo>();
  auto* others = fake.get();
  auto second = device.MakeComPortIo(std::move(fake));
  ASSERT_TRUE(first->Open(device.DevicePath(), 9600));
  EXPECT_FALSE(second->Open(device.DevicePath(), 9600));
  EXPECT_EQ(second->OpenError().failure, TOpenFailure::kBusy);
  // Another address goes to the backend behind the device.
  ASSERT_TRUE(second->Open("/dev/ttyUSB0", 9600));
  EXPECT_TRUE(second->Write(Hex("01 02")));
  EXPECT_EQ(others->Requests().size(), 1u);
  first->Close();
  EXPECT_TRUE(second->Open(device.DevicePath(), 9600));
  // Without a backend behind it, another address is not there.
  EXPECT_FALSE(first->Open("/dev/ttyUSB0", 9600));
  EXPECT_EQ(first->OpenError().failure, TOpenFailure::kNotPresent);
}

}  // namespace
}  // namespace oxa::sim
