// The Modbus side of the virtual device, frame by frame with hand-written requests.
#include <gtest/gtest.h>

#include <bit>

#include "serial/OxaUtils.h"
#include "sim/FulDevice.h"
#include "tests/support/FakeComPortIo.h"

namespace oxa::sim {
namespace {

using oxa::testing::Hex;
using oxa::testing::WithCrc;

std::vector<uint8_t> Ask(TFulDevice& device, const std::vector<uint8_t>& request) {
  return device.Feed(request);
}

TEST(ModbusDevice, ReadHoldingRegistersAnswersDataWithCrc) {
  TFulDevice device;
  // G of channel 1 is 12.5: 41 48 00 00.
  EXPECT_EQ(Ask(device, Hex("01 03 00 00 00 01 84 0A")), WithCrc(Hex("01 03 02 41 48")));
  const auto ten = Ask(device, Hex("01 03 00 00 00 0A C5 CD"));
  ASSERT_EQ(ten.size(), 25u);
  EXPECT_EQ(ten[2], 20);
  EXPECT_EQ(ten, WithCrc(std::vector<uint8_t>(ten.begin(), ten.end() - 2)));
  // 125 registers is the most one request may ask for.
  EXPECT_EQ(Ask(device, WithCrc(Hex("01 03 00 00 00 7D"))).size(), 5u + 250u);
}

TEST(ModbusDevice, RegisterMapHoldsTheDeviceQuantities) {
  TFulDevice device;
  EXPECT_EQ(device.RegisterU32(kRegDeviceNumber), 123456u);
  EXPECT_EQ(device.HoldingRegister(kRegSoftVersion), 0x0108);
  EXPECT_EQ(device.HoldingRegister(kRegChannelLayout) & 0xFF, 0);
  EXPECT_FLOAT_EQ(device.RegisterFloat(kRegGmax1), 50.0f);
  EXPECT_EQ(device.RegisterU32(kRegSfr1), 1250u);
  EXPECT_EQ(device.RegisterU32(kRegSfrAlt1), 1250u);
  EXPECT_FLOAT_EQ(device.RegisterFloat(352), 0.001f);  // K[2] channel 1
  EXPECT_FLOAT_EQ(device.RegisterFloat(354), 0.5f);    // Obr[9] channel 1
  EXPECT_FLOAT_EQ(device.RegisterFloat(189), 0.5f);    // K[9] channel 2
  EXPECT_FLOAT_EQ(device.RegisterFloat(371), 1.0f);    // K[1] channel 1
  EXPECT_FLOAT_EQ(device.RegisterFloat(2000), 1234.5f);
  EXPECT_EQ(device.RegisterU32(2038), 3600u);  // Tall, a long
  // The integrator read of the window: 4 registers from 2038.
  const auto tall = Ask(device, WithCrc(Hex("01 03 07 F6 00 04")));
  ASSERT_EQ(tall.size(), 13u);
  EXPECT_EQ(std::vector<uint8_t>(tall.begin() + 3, tall.begin() + 7), Hex("00 00 0E 10"));
}

TEST(ModbusDevice, RefusedRequestsGetStandardExceptions) {
  TFulDevice device;
  struct Case {
    const char* request;  // without CRC
    const char* answer;
  };
  const Case cases[] = {
      {"01 03 00 00 00 00", "01 83 03"},              // count 0
      {"01 03 00 00 00 7E", "01 83 03"},              // count 126
      {"01 03 13 88 00 01", "01 83 02"},              // register 5000 does not exist
      {"01 03 01 8F 00 02", "01 83 02"},              // 399 exists, 400 does not
      {"01 03 FF FF 00 02", "01 83 02"},              // runs past the last register
      {"01 06 13 88 00 01", "01 86 02"},              // write to a missing register
      {"01 06 08 9A 00 05", "01 86 03"},              // doser command 5
      {"01 06 08 9B 00 00", "01 86 03"},              // reset takes only 1
      {"01 10 00 0A 00 02 03 00 01 00", "01 90 03"},  // byte count does not match
      {"01 10 00 0A 00 00 00", "01 90 03"},           // count 0
      {"01 41 20 00 00 01", "01 C1 02"},              // block 8192
      {"01 41 00 05 00 02", "01 C1 03"},              // two blocks
      {"01 04 00 00 00 01", "01 84 01"},              // input registers: not this device's
      {"01 05 00 00 FF 00", "01 85 01"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Ask(device, WithCrc(Hex(c.request))), WithCrc(Hex(c.answer))) << c.request;
  }
  EXPECT_EQ(device.HoldingRegister(kRegDoserState), kDoserStopped);
}

TEST(ModbusDevice, WritesAreEchoedAndReadBack) {
  TFulDevice device;
  const auto write6 = WithCrc(Hex("01 06 08 99 30 39"));  // dose 1234.5 l
  EXPECT_EQ(Ask(device, write6), write6);
  EXPECT_EQ(device.HoldingRegister(kRegDose), 12345);

  EXPECT_EQ(Ask(device, WithCrc(Hex("01 10 00 D5 00 02 04 3F 00 00 00"))),
            WithCrc(Hex("01 10 00 D5 00 02")));
  EXPECT_FLOAT_EQ(device.RegisterFloat(213), 0.5f);
  const auto back = Ask(device, WithCrc(Hex("01 03 00 D5 00 02")));
  EXPECT_EQ(back, WithCrc(Hex("01 03 04 3F 00 00 00")));
}

TEST(ModbusDevice, RefusedMultipleWriteChangesNothing) {
  TFulDevice device;
  // Register 399 exists, 400 does not: neither is written.
  device.SetHoldingRegister(399, 7);
  EXPECT_EQ(Ask(device, WithCrc(Hex("01 10 01 8F 00 02 04 00 01 00 02"))),
            WithCrc(Hex("01 90 02")));
  EXPECT_EQ(device.HoldingRegister(399), 7);
}

TEST(ModbusDevice, OnlyItsOwnAddressIsAnsweredAndBroadcastWritesTakeEffect) {
  TFulDevice device(5);
  EXPECT_TRUE(Ask(device, Hex("01 03 00 00 00 01 84 0A")).empty());
  EXPECT_FALSE(Ask(device, WithCrc(Hex("05 03 00 00 00 01"))).empty());
  EXPECT_TRUE(Ask(device, WithCrc(Hex("00 06 08 99 00 2A"))).empty());
  EXPECT_EQ(device.HoldingRegister(kRegDose), 42);
  EXPECT_TRUE(Ask(device, WithCrc(Hex("00 03 00 00 00 01"))).empty());
}

TEST(ModbusDevice, IdentificationIsTextWithItsLengthInByte3) {
  TFulDevice device;
  const auto answer = Ask(device, Hex("01 11 C0 2C"));
  ASSERT_GE(answer.size(), 6u);
  EXPECT_EQ(answer, WithCrc(std::vector<uint8_t>(answer.begin(), answer.end() - 2)));
  const size_t length = answer[3];
  ASSERT_EQ(answer.size(), length + 6);
  const std::string text(answer.begin() + 4, answer.begin() + 4 + length);
  EXPECT_NE(text.find("FUL"), std::string::npos);

  device.SetModbusIdentification("ФУЛ FUL");  // Cyrillic goes out in code page 1251
  const auto cyr = Ask(device, Hex("01 11 C0 2C"));
  EXPECT_EQ(std::vector<uint8_t>(cyr.begin() + 3, cyr.end() - 2), Hex("07 D4 D3 CB 20 46 55 4C"));
}

TEST(ModbusDevice, ArchiveBlocksAreFixedAndDistinct) {
  TFulDevice device;
  const auto last = Ask(device, WithCrc(Hex("01 41 1F FF 00 01")));
  ASSERT_EQ(last.size(), 133u);
  EXPECT_EQ(last[2], 0x80);
  EXPECT_EQ(last[3], 0x1F);
  EXPECT_EQ(last[4], 0xFF);
  EXPECT_EQ(last, WithCrc(std::vector<uint8_t>(last.begin(), last.end() - 2)));
  const auto block = TFulDevice::ArchiveBlock(8191);
  EXPECT_TRUE(std::equal(block.begin(), block.end(), last.begin() + 3));
  EXPECT_EQ(TFulDevice::ArchiveBlock(7), TFulDevice::ArchiveBlock(7));
  EXPECT_NE(TFulDevice::ArchiveBlock(7), TFulDevice::ArchiveBlock(8));
}

TEST(ModbusDevice, RequestsAreFoundAfterNoise) {
  TFulDevice device;
  const auto request = Hex("01 03 00 00 00 01 84 0A");
  const auto answer = WithCrc(Hex("01 03 02 41 48"));
  // Plain noise, then the request.
  auto noisy = Hex("FF 00 13 01 03");
  noisy.insert(noisy.end(), request.begin(), request.end());
  EXPECT_EQ(Ask(device, noisy), answer);
  // The start of a write whose announced length runs far beyond the request that follows.
  auto header = Hex("01 10 00 00 00 7B F6");
  header.insert(header.end(), request.begin(), request.end());
  EXPECT_EQ(Ask(device, header), answer);
  // A request with a bad CRC is not answered; the next good one is.
  EXPECT_TRUE(Ask(device, Hex("01 03 00 00 00 01 84 0B")).empty());
  EXPECT_EQ(Ask(device, request), answer);
  // A request that arrives a byte at a time is answered at its last byte.
  for (size_t i = 0; i + 1 < request.size(); ++i) {
    EXPECT_TRUE(device.Feed(std::span(&request[i], 1)).empty());
  }
  EXPECT_EQ(device.Feed(std::span(&request.back(), 1)), answer);
  EXPECT_EQ(device.PendingBytes(), 0u);
}

TEST(ModbusDevice, SilenceEndsUnknownFunctionsAndDropsFragments) {
  TFulDevice device;
  // Function 0x2B has no length the device knows: it is refused when the line falls silent.
  EXPECT_TRUE(Ask(device, WithCrc(Hex("01 2B 0E 01 00"))).empty());
  EXPECT_EQ(device.LineIdle(), WithCrc(Hex("01 AB 01")));
  // A fragment is forgotten at the silence, so it cannot swallow the next request.
  EXPECT_TRUE(Ask(device, Hex("01 10 00 00")).empty());
  EXPECT_TRUE(device.LineIdle().empty());
  EXPECT_EQ(device.PendingBytes(), 0u);
  EXPECT_FALSE(Ask(device, Hex("01 03 00 00 00 01 84 0A")).empty());
}

TEST(ModbusDevice, IntegratorsAndOperatingTimesGrowWithTime) {
  TFulDevice device;
  const float v1 = device.RegisterFloat(2000);
  device.AdvanceTime(3'600'000);  // one hour at 12.5 m3/h
  EXPECT_NEAR(device.RegisterFloat(2000), v1 + 12.5f, 1e-3);
  EXPECT_NEAR(device.RegisterFloat(2008), device.RegisterFloat(2000) - device.RegisterFloat(2002),
              1e-3);
  EXPECT_EQ(device.RegisterU32(2038), 3600u + 3600u);
  // Steps far below a float's resolution at this size still add up.
  const float before = device.RegisterFloat(2000);
  for (int i = 0; i < 3600; ++i) device.AdvanceTime(1);
  EXPECT_NEAR(device.RegisterFloat(2000), before + 12.5f / 1000, 2e-4);
  EXPECT_EQ(device.RegisterU32(2038), 7203u);
  // A value set from outside is where counting goes on from.
  device.SetRegisterFloat(2000, 10.0f);
  device.AdvanceTime(360'000);
  EXPECT_NEAR(device.RegisterFloat(2000), 11.25f, 1e-4);
}

TEST(ModbusDevice, DoserRunsPausesAndCompletesItsDose) {
  TFulDevice device;
  const auto command = [&](uint16_t reg, uint16_t value) {
    std::vector<uint8_t> req{0x01,
                             0x06,
                             static_cast<uint8_t>(reg >> 8),
                             static_cast<uint8_t>(reg),
                             static_cast<uint8_t>(value >> 8),
                             static_cast<uint8_t>(value)};
    return !Ask(device, WithCrc(req)).empty();
  };
  ASSERT_TRUE(command(kRegDose, 50));  // 5.0 l
  ASSERT_TRUE(command(kRegDoserState, 1));
  EXPECT_EQ(device.HoldingRegister(kRegDoserState), kDoserRunning);
  device.AdvanceTime(2000);
  EXPECT_EQ(device.HoldingRegister(kRegDosed), 20);
  ASSERT_TRUE(command(kRegDoserState, 2));
  EXPECT_EQ(device.HoldingRegister(kRegDoserState), kDoserPaused);
  device.AdvanceTime(5000);
  EXPECT_EQ(device.HoldingRegister(kRegDosed), 20);
  ASSERT_TRUE(command(kRegDoserState, 1));  // resumes, the count goes on
  device.AdvanceTime(10'000);
  EXPECT_EQ(device.HoldingRegister(kRegDosed), 50);
  EXPECT_EQ(device.HoldingRegister(kRegDoserState), kDoserStopped);
  ASSERT_TRUE(command(kRegDoserReset, 1));
  EXPECT_EQ(device.HoldingRegister(kRegDosed), 0);
  // A stop while running keeps what was dosed.
  ASSERT_TRUE(command(kRegDoserState, 1));
  device.AdvanceTime(1000);
  ASSERT_TRUE(command(kRegDoserState, 0));
  EXPECT_EQ(device.HoldingRegister(kRegDoserState), kDoserStopped);
  EXPECT_EQ(device.HoldingRegister(kRegDosed), 10);
  // A dose of 0 cannot run: error until reset.
  ASSERT_TRUE(command(kRegDose, 0));
  ASSERT_TRUE(command(kRegDoserState, 1));
  EXPECT_EQ(device.HoldingRegister(kRegDoserState), kDoserError);
  ASSERT_TRUE(command(kRegDoserState, 0));
  EXPECT_EQ(device.HoldingRegister(kRegDoserState), kDoserError);
  ASSERT_TRUE(command(kRegDoserReset, 1));
  EXPECT_EQ(device.HoldingRegister(kRegDoserState), kDoserStopped);
}

TEST(ModbusDevice, FaultsApplyToTheNextAnswersOnly) {
  TFulDevice device;
  const auto request = Hex("01 03 00 00 00 01 84 0A");
  const auto good = WithCrc(Hex("01 03 02 41 48"));

  device.NoAnswerToNext(2);
  EXPECT_TRUE(Ask(device, request).empty());
  EXPECT_TRUE(Ask(device, request).empty());
  EXPECT_EQ(Ask(device, request), good);

  device.CorruptChecksumOfNext(1);
  const auto bad = Ask(device, request);
  ASSERT_EQ(bad.size(), good.size());
  EXPECT_EQ(std::vector<uint8_t>(bad.begin(), bad.end() - 1),
            std::vector<uint8_t>(good.begin(), good.end() - 1));
  EXPECT_NE(bad.back(), good.back());
  EXPECT_EQ(Ask(device, request), good);

  device.StopMidFrameOnNext(1);
  EXPECT_EQ(Ask(device, request), std::vector<uint8_t>(good.begin(), good.begin() + 3));
  EXPECT_EQ(Ask(device, request), good);

  device.GarbageBeforeNext(1, Hex("00 13"));
  auto prefixed = Hex("00 13");
  prefixed.insert(prefixed.end(), good.begin(), good.end());
  EXPECT_EQ(Ask(device, request), prefixed);
  EXPECT_EQ(Ask(device, request), good);

  // The complement fault belongs to the 10x side: Modbus answers leave it armed.
  device.WrongComplementOnNext(1);
  EXPECT_EQ(Ask(device, request), good);
  const auto answer_10x = Ask(device, Hex("55 01 FE 00 00 00 AB"));
  ASSERT_GE(answer_10x.size(), 3u);
  EXPECT_NE(answer_10x[2], 0xFE);
}

}  // namespace
}  // namespace oxa::sim
