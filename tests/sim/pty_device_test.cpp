// The virtual device served on a real pseudo-terminal, opened the way the tool opens a port:
// exclusively, once per exchange.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>

#include "serial/ComPortIo.h"
#include "serial/OxaUtils.h"
#include "sim/PtyDevice.h"
#include "tests/support/FakeComPortIo.h"

namespace oxa::sim {
namespace {

using oxa::testing::Hex;
using oxa::testing::WithCrc;
using Clock = std::chrono::steady_clock;

// Sends `request` and collects bytes until `expected` have come or `ms` pass without one.
std::vector<uint8_t> Exchange(IComPortIo& port, const std::vector<uint8_t>& request,
                              size_t expected, uint32_t ms = 1000) {
  port.Purge();
  for (uint8_t b : request) EXPECT_TRUE(port.WriteByte(b));
  std::vector<uint8_t> answer;
  while (answer.size() < expected && port.WaitForInput(ms)) {
    uint8_t b = 0;
    while (port.ReadByte(b)) answer.push_back(b);
  }
  return answer;
}

TPtyOptions Options(uint8_t address, uint32_t baud, uint32_t delay_ms, std::string link = {}) {
  TPtyOptions options;
  options.address = address;
  options.baud = baud;
  options.answer_delay_ms = delay_ms;
  options.link = std::move(link);
  return options;
}

std::string TempPath(const char* name) {
  return ::testing::TempDir() + name + std::to_string(::getpid());
}

TEST(TPtyDevice, AnswersAMasterThatOpensAndClosesThePortForEveryExchange) {
  TPtyDevice device;
  ASSERT_TRUE(device.Start()) << device.LastError();
  const auto request = Hex("01 03 00 00 00 01 84 0A");
  const auto answer = WithCrc(Hex("01 03 02 41 48"));
  for (int round = 0; round < 20; ++round) {
    auto port = MakePlatformComPortIo();
    ASSERT_TRUE(port->Open(device.DevicePath(), 9600)) << "round " << round;
    EXPECT_EQ(Exchange(*port, request, answer.size()), answer) << "round " << round;
    port->Close();
  }
  // Both protocols on the same line.
  auto port = MakePlatformComPortIo();
  ASSERT_TRUE(port->Open(device.DevicePath(), 9600));
  const auto id = Exchange(*port, Hex("55 01 FE 00 00 00 AB"), 7 + 24);
  ASSERT_GE(id.size(), 7u);
  EXPECT_EQ(id[0], 0xAA);
}

TEST(TPtyDevice, MoreDevicesOnTheLineEachAnswerTheirOwnAddress) {
  TPtyOptions options = Options(1, 0, 0);
  options.more_addresses = {2};
  TPtyDevice device(options);
  ASSERT_TRUE(device.Start()) << device.LastError();
  auto port = MakePlatformComPortIo();
  ASSERT_TRUE(port->Open(device.DevicePath(), 9600));
  for (const uint8_t address : {1, 2, 1}) {
    const auto answer = WithCrc({address, 0x03, 0x02, 0x41, 0x48});
    EXPECT_EQ(Exchange(*port, WithCrc({address, 0x03, 0x00, 0x00, 0x00, 0x01}), answer.size()),
              answer);
  }
  EXPECT_TRUE(Exchange(*port, WithCrc({3, 0x03, 0x00, 0x00, 0x00, 0x01}), 1, 100).empty());
}

TEST(TPtyDevice, SilenceOnTheLineEndsARequestOfUnknownLength) {
  TPtyDevice device;
  ASSERT_TRUE(device.Start()) << device.LastError();
  auto port = MakePlatformComPortIo();
  ASSERT_TRUE(port->Open(device.DevicePath(), 9600));
  // Function 0x2B: refused once the line has been quiet for the gap, not before.
  const auto sent = Clock::now();
  EXPECT_EQ(Exchange(*port, WithCrc(Hex("01 2B 0E 01 00")), 5), WithCrc(Hex("01 AB 01")));
  EXPECT_GE(Clock::now() - sent, std::chrono::milliseconds(device.IdleGapMs()));
  // A fragment dropped at the silence does not spoil the next request.
  EXPECT_TRUE(Exchange(*port, Hex("01 10 00 00"), 1, 150).empty());
  EXPECT_EQ(Exchange(*port, Hex("01 03 00 00 00 01 84 0A"), 7), WithCrc(Hex("01 03 02 41 48")));
}

TEST(TPtyDevice, OpenPortIsHeldExclusively) {
  TPtyDevice device;
  ASSERT_TRUE(device.Start()) << device.LastError();
  auto first = MakePlatformComPortIo();
  ASSERT_TRUE(first->Open(device.DevicePath(), 19200));
  auto second = MakePlatformComPortIo();
  EXPECT_FALSE(second->Open(device.DevicePath(), 19200));
  first->Close();
  EXPECT_TRUE(second->Open(device.DevicePath(), 19200));
}

TEST(TPtyDevice, LinkPointsToTheDeviceAndGoesAwayOnStop) {
  const std::string link = TempPath("fulsim-link-");
  {
    TPtyDevice device(Options(1, 0, 0, link));
    ASSERT_TRUE(device.Start()) << device.LastError();
    char target[256] = {};
    ASSERT_GT(::readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(device.DevicePath(), target);
    auto port = MakePlatformComPortIo();
    ASSERT_TRUE(port->Open(link, 9600));
    EXPECT_GE(Exchange(*port, Hex("01 11 C0 2C"), 4).size(), 4u);
  }
  struct stat st {};
  EXPECT_NE(::lstat(link.c_str(), &st), 0);

  // A link left by a server that was killed (its device gone) is taken over; one that still
  // leads to a device is another server's and stays as it is; and a link another program took
  // over meanwhile is not removed on Stop.
  ASSERT_EQ(::symlink("/dev/pts/999999", link.c_str()), 0);
  {
    TPtyDevice first(Options(1, 0, 0, link));
    ASSERT_TRUE(first.Start()) << first.LastError();
    TPtyDevice second(Options(1, 0, 0, link));
    EXPECT_FALSE(second.Start());
    EXPECT_NE(second.LastError().find("still there"), std::string::npos) << second.LastError();
    second.Stop();
    char target[256] = {};
    ASSERT_GT(::readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(first.DevicePath(), target);
    ASSERT_EQ(::unlink(link.c_str()), 0);
    ASSERT_EQ(::symlink("/dev/null", link.c_str()), 0);
  }
  char target[256] = {};
  ASSERT_GT(::readlink(link.c_str(), target, sizeof target - 1), 0);
  EXPECT_STREQ(target, "/dev/null");
  ::unlink(link.c_str());

  // A file that is not a link is never replaced.
  { std::ofstream(link) << "keep"; }
  TPtyDevice device(Options(1, 0, 0, link));
  EXPECT_FALSE(device.Start());
  EXPECT_FALSE(device.LastError().empty());
  std::string text;
  std::ifstream(link) >> text;
  EXPECT_EQ(text, "keep");
  ::unlink(link.c_str());
}

TEST(TPtyDevice, EditArmsFaultsUnderTheServersLock) {
  TPtyDevice device(Options(7, 0, 0));
  ASSERT_TRUE(device.Start()) << device.LastError();
  device.Edit([](TFulDevice& d) {
    d.NoAnswerToNext(1);
    d.SetHoldingRegister(2201, 0x3039);
  });
  auto port = MakePlatformComPortIo();
  ASSERT_TRUE(port->Open(device.DevicePath(), 9600));
  const auto request = WithCrc(Hex("07 03 08 99 00 01"));
  EXPECT_TRUE(Exchange(*port, request, 7, 200).empty());
  EXPECT_EQ(Exchange(*port, request, 7), WithCrc(Hex("07 03 02 30 39")));
  uint64_t answered = 0;
  device.Edit([&](TFulDevice& d) { answered = d.RequestsAnswered(); });
  EXPECT_EQ(answered, 2u);
}

TEST(TPtyDevice, PacedAnswersTakeTheirCharacterTimeAfterTheDelay) {
  TPtyDevice device(Options(1, 9600, 30));
  ASSERT_TRUE(device.Start()) << device.LastError();
  auto port = MakePlatformComPortIo();
  ASSERT_TRUE(port->Open(device.DevicePath(), 9600));
  const auto sent = Clock::now();
  // An archive block: 133 bytes, 132 character times of 10/9600 s from first to last.
  const auto answer = Exchange(*port, WithCrc(Hex("01 41 00 00 00 01")), 133);
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - sent).count();
  EXPECT_EQ(answer.size(), 133u);
  EXPECT_GE(ms, 30 + 132 * 10000.0 / 9600 * 0.95);
  EXPECT_EQ(device.IdleGapMs(), 50u);
  TPtyDevice slow(Options(1, 300, 0));
  EXPECT_EQ(slow.IdleGapMs(), 117u);  // 3.5 characters at 300 baud
}

TEST(TPtyDevice, StopIsPromptAndTheDeviceCanStartAgain) {
  // Even in the middle of a slow answer: 133 bytes at 300 baud would take 4.4 s.
  TPtyDevice device(Options(1, 300, 0));
  ASSERT_TRUE(device.Start());
  {
    auto port = MakePlatformComPortIo();
    ASSERT_TRUE(port->Open(device.DevicePath(), 9600));
    EXPECT_FALSE(Exchange(*port, WithCrc(Hex("01 41 00 00 00 01")), 1).empty());
  }
  const auto before = Clock::now();
  device.Stop();
  EXPECT_LT(Clock::now() - before, std::chrono::milliseconds(500));
  EXPECT_FALSE(device.Running());
  ASSERT_TRUE(device.Start()) << device.LastError();
  auto port = MakePlatformComPortIo();
  ASSERT_TRUE(port->Open(device.DevicePath(), 9600));
  EXPECT_GE(Exchange(*port, Hex("01 11 C0 2C"), 4).size(), 4u);
}

// Masters reach it over TCP in tests/sim/line_options_test.cpp.
TEST(TPtyDevice, OnTcpItTakesAFreePortOrSaysWhyItCannotListen) {
  TPtyOptions options;
  options.tcp = "127.0.0.1:0";
  TPtyDevice device(options);
  ASSERT_TRUE(device.Start()) << device.LastError();
  const std::string path = device.DevicePath();
  ASSERT_EQ(path.rfind("tcp://127.0.0.1:", 0), 0u) << path;
  EXPECT_NE(path, "tcp://127.0.0.1:0");
  auto port = MakePlatformComPortIo();
  TPortAddress address;
  std::string problem;
  ASSERT_TRUE(ParsePortAddress(path, address, problem)) << problem;
  ASSERT_TRUE(port->Open(address, 9600)) << port->OpenError().detail;

  // Where it cannot listen, it says why.
  struct Case {
    std::string tcp, link;
    const char* error;  // part of LastError
  };
  const Case cases[] = {
      {path.substr(6), "", "in use"},
      {"127.0.0.1", "", "is not host:port"},
      {"127.0.0.1:0", TempPath("fulsim-tcp-link-"), "pseudo-terminal"},
  };
  for (const Case& c : cases) {
    TPtyOptions bad;
    bad.tcp = c.tcp;
    bad.link = c.link;
    TPtyDevice other(bad);
    EXPECT_FALSE(other.Start()) << c.tcp;
    EXPECT_NE(other.LastError().find(c.error), std::string::npos) << other.LastError();
  }
  // Stopping with a master connected is prompt too, and the master sees the connection end.
  const auto before = Clock::now();
  device.Stop();
  EXPECT_LT(Clock::now() - before, std::chrono::milliseconds(500));
  EXPECT_FALSE(port->WaitForInput(100));
  EXPECT_TRUE(port->Lost());
}

// Requests arrive in any pieces; each whole one is answered under its transaction id.
TEST(TPtyDevice, OnModbusTcpItAnswersUnderEachRequestsTransaction) {
  TPtyOptions options;
  options.tcp = "127.0.0.1:0";
  options.modbus_tcp = true;
  TPtyDevice device(options);
  ASSERT_TRUE(device.Start()) << device.LastError();
  ASSERT_EQ(device.DevicePath().rfind("modbus-tcp://127.0.0.1:", 0), 0u) << device.DevicePath();
  TPortAddress address;
  std::string problem;
  ASSERT_TRUE(ParsePortAddress(device.DevicePath(), address, problem)) << problem;
  auto port = MakePlatformComPortIo();
  ASSERT_TRUE(port->Open(address, 9600)) << port->OpenError().detail;
  // Register 500 is outside the device's map: exception 02. The second request is another
  // unit's: no answer.
  const std::string requests =
      "AB CD 00 00 00 06 01 03 01 F4 00 01 "
      "00 08 00 00 00 06 02 03 01 F4 00 01 "
      "00 07 00 00 00 06 01 03 01 F4 00 01";
  EXPECT_EQ(HexBytes(Exchange(*port, Hex(requests), 18)),
            "AB CD 00 00 00 03 01 83 02 00 07 00 00 00 03 01 83 02 ");
  // A fault that damages an answer damages its header; a request that is not Modbus ends the
  // connection.
  device.Edit([](TFulDevice& d) { d.CorruptChecksumOfNext(1); });
  EXPECT_EQ(HexBytes(Exchange(*port, Hex("00 09 00 00 00 06 01 03 01 F4 00 01"), 9)),
            "00 09 FF FF 00 03 01 83 02 ");
  EXPECT_TRUE(port->Write(Hex("00 0A 00 01 00 06 01 03 01 F4 00 01")));
  uint8_t byte = 0;
  for (int i = 0; i < 100 && !port->Lost(); ++i) {
    if (port->WaitForInput(10)) {
      EXPECT_FALSE(port->ReadByte(byte));
    }
  }
  EXPECT_TRUE(port->Lost());
}

}  // namespace
}  // namespace oxa::sim
