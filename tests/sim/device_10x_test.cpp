// The 10x side of the virtual device, with hand-written request frames.
#include <gtest/gtest.h>

#include <numeric>

#include "sim/FulDevice.h"
#include "sim/SimFrames.h"
#include "tests/support/FakeComPortIo.h"

namespace oxa::sim {
namespace {

using oxa::testing::Hex;

// A request to address 1: 55 01 FE, group, code, N, data, checksum.
std::vector<uint8_t> Request(uint8_t group, uint8_t code, const std::vector<uint8_t>& data,
                             uint8_t address = 1) {
  std::vector<uint8_t> frame{0x55,  address, static_cast<uint8_t>(~address),
                             group, code,    static_cast<uint8_t>(data.size())};
  frame.insert(frame.end(), data.begin(), data.end());
  frame.push_back(Checksum10x(frame));
  return frame;
}

// The data field of a well-formed answer, after checking its frame.
std::vector<uint8_t> Data(const std::vector<uint8_t>& answer) {
  EXPECT_GE(answer.size(), 7u);
  if (answer.size() < 7) return {};
  EXPECT_EQ(answer[0], 0xAA);
  EXPECT_EQ(answer[2], static_cast<uint8_t>(~answer[1]));
  EXPECT_EQ(answer.size(), answer[5] + 7u);
  EXPECT_EQ(std::accumulate(answer.begin(), answer.end(), 0u) & 0xFF, 0xFFu);
  return {answer.begin() + 6, answer.end() - 1};
}

TEST(Device10x, IdentificationAndVersionAreTexts) {
  TFulDevice device;
  const auto answer = device.Feed(Hex("55 01 FE 00 00 00 AB"));
  const auto id = Data(answer);
  EXPECT_EQ(answer[3], 0x00);
  EXPECT_EQ(answer[4], 0x00);
  EXPECT_NE(std::string(id.begin(), id.end()).find("FUL"), std::string::npos);
  device.Set10xSoftVersion("2.17");
  EXPECT_EQ(Data(device.Feed(Request(0x00, 0x01, {}))), Hex("32 2E 31 37"));
}

TEST(Device10x, MemoryReadsGiveStampDeviceNumberAndCalibration) {
  TFulDevice device(0);
  // Hand-written: read 16 bytes from 0x0020 at address 0.
  EXPECT_EQ(Data(device.Feed(Hex("55 00 FF 0F 01 03 00 20 10 68"))).size(), 16u);

  TFulDevice ful;
  EXPECT_EQ(Data(ful.Feed(Request(0x0F, 0x01, Hex("05 D8 08")))), Hex("DE 2A 00 00 24 03 05 AD"));
  ful.SetStamp(9605, 2012, 5, 31);
  EXPECT_EQ(Data(ful.Feed(Request(0x0F, 0x01, Hex("05 D8 08")))), Hex("DE 85 25 00 12 05 31 AD"));
  EXPECT_EQ(Data(ful.Feed(Request(0x0F, 0x01, Hex("01 52 04")))), Hex("00 01 E2 40"));

  const auto block = Data(ful.Feed(Request(0x0F, 0x01, Hex("05 E0 92"))));
  ASSERT_EQ(block.size(), kCalibrationSize);
  const uint16_t sum = std::accumulate(block.begin(), block.begin() + 144, 0u) & 0xFFFF;
  EXPECT_EQ(block[144], static_cast<uint8_t>(~sum >> 8));
  EXPECT_EQ(block[145], static_cast<uint8_t>(~sum));
  EXPECT_EQ(std::vector<uint8_t>(block.begin() + 140, block.begin() + 144), Hex("3F 00 00 00"));
  EXPECT_EQ(std::vector<uint8_t>(block.begin() + 4, block.begin() + 8), Hex("3F 80 00 00"));

  const auto signature = Data(ful.Feed(Request(0x0F, 0x01, Hex("07 E0 10"))));
  ASSERT_EQ(signature.size(), 16u);
  EXPECT_EQ(signature[8], 0);
  EXPECT_EQ(signature[9], 0);
}

TEST(Device10x, CalibrationChecksumIsTheInvertedSumOf144Bytes) {
  std::vector<uint8_t> block(146, 0);
  for (int i = 0; i < 0x1234 / 0xFF; ++i) block[i] = 0xFF;  // bytes summing to 0x1234
  block[0x1234 / 0xFF] = 0x1234 % 0xFF;
  block[144] = 0x55;  // the checksum bytes themselves do not count
  EXPECT_EQ(TFulDevice::CalibrationChecksum(block), 0xEDCB);
}

TEST(Device10x, WritesAreHonouredWithinTheArea) {
  TFulDevice device;
  EXPECT_EQ(Data(device.Feed(Request(0x0F, 0x81, Hex("05 14 5A A5")))), std::vector<uint8_t>{});
  EXPECT_EQ(device.Memory(0x0514, 2), Hex("5A A5"));
  // A write that runs past the end of the 2 Kbytes keeps what fits.
  device.Feed(Request(0x0F, 0x81, Hex("07 FE 01 02 03 04")));
  EXPECT_EQ(device.Memory(0x07FE, 4), Hex("01 02"));
  // Reads past the end carry only what exists.
  EXPECT_EQ(Data(device.Feed(Request(0x0F, 0x01, Hex("07 FE 10")))), Hex("01 02"));
  EXPECT_TRUE(Data(device.Feed(Request(0x0F, 0x01, Hex("FF FF 10")))).empty());

  std::vector<uint8_t> key(64);
  std::iota(key.begin(), key.end(), uint8_t{1});
  EXPECT_TRUE(Data(device.Feed(Request(0x0F, 0x91, key))).empty());
  EXPECT_EQ(Data(device.Feed(Request(0x0F, 0x93, {}))), key);
}

TEST(Device10x, RamHoldsSfrAndG) {
  TFulDevice device;
  EXPECT_EQ(Data(device.Feed(Request(0x0C, 0x01, Hex("00 A0 08")))),
            Hex("41 48 00 00 41 04 00 00"));
  EXPECT_EQ(Data(device.Feed(Request(0x0C, 0x01, Hex("00 00 04")))), Hex("44 9C 40 00"));
  EXPECT_EQ(Data(device.Feed(Request(0x0C, 0x00, {}))).size(), 16u);
}

TEST(Device10x, ClockIsSetReadBackAndTicks) {
  TFulDevice device;
  // 2024-03-05 14:07:09, a Tuesday: written from address 0 of the clock area.
  const auto echo = Data(device.Feed(Request(0x0F, 0x82, Hex("00 09 00 07 00 14 00 03 05 03 24"))));
  EXPECT_EQ(echo, Hex("09 00 07 00 14 00 03 05 03 24"));
  device.AdvanceTime(51'000);
  EXPECT_EQ(Data(device.Feed(Request(0x0F, 0x02, Hex("00 0A")))),
            Hex("00 00 08 00 14 00 03 05 03 24"));
  // Bytes past the clock registers are plain storage.
  device.Feed(Request(0x0F, 0x82, Hex("7E AB CD EF")));
  EXPECT_EQ(Data(device.Feed(Request(0x0F, 0x02, Hex("7E 05")))), Hex("AB CD"));
}

TEST(Device10x, ResetCommandsRestoreTheCalibrationBlock) {
  TFulDevice device;
  const auto factory = device.Memory(kMemCalibration, kCalibrationSize);
  device.SetMemory(kMemCalibration + 40, Hex("11 22 33 44"));
  EXPECT_EQ(Data(device.Feed(Request(0x77, 0x77, {}))), Hex("00"));
  EXPECT_EQ(device.Memory(kMemCalibration, kCalibrationSize), factory);

  EXPECT_EQ(Data(device.Feed(Request(0x77, 0x78, {}))), Hex("00"));
  EXPECT_EQ(device.Memory(kMemSignature, 16), std::vector<uint8_t>(16, 0xFF));
  // Unknown commands get the one-byte answer FF; unlocking answers 1.
  EXPECT_EQ(Data(device.Feed(Request(0x12, 0x34, {}))), Hex("FF"));
  EXPECT_EQ(Data(device.Feed(Request(0x0F, 0xF1, {}))), Hex("01"));
}

TEST(Device10x, OtherAddressesBadChecksumsAndNoiseAreHandled) {
  TFulDevice device;
  EXPECT_TRUE(device.Feed(Request(0x00, 0x00, {}, 2)).empty());
  EXPECT_TRUE(device.Feed(Hex("55 01 FE 00 00 00 AC")).empty());
  auto noisy = Hex("55 13 00 55 01");  // a false start, then the request
  const auto request = Hex("55 01 FE 00 00 00 AB");
  noisy.insert(noisy.end(), request.begin(), request.end());
  EXPECT_FALSE(Data(device.Feed(noisy)).empty());
}

TEST(Device10x, FaultsShapeTheAnswers) {
  TFulDevice device;
  const auto request = Hex("55 01 FE 00 00 00 AB");
  const auto good = device.Feed(request);

  device.WrongComplementOnNext(1);
  const auto wrong = device.Feed(request);
  ASSERT_EQ(wrong.size(), good.size());
  EXPECT_NE(wrong[2], static_cast<uint8_t>(~wrong[1]));
  EXPECT_EQ(std::accumulate(wrong.begin(), wrong.end(), 0u) & 0xFF, 0xFFu);  // checksum still fits

  device.CorruptChecksumOfNext(1);
  const auto bad = device.Feed(request);
  EXPECT_NE(std::accumulate(bad.begin(), bad.end(), 0u) & 0xFF, 0xFFu);

  device.GarbageBeforeNext(1, Hex("00 13"));
  auto prefixed = Hex("00 13");
  prefixed.insert(prefixed.end(), good.begin(), good.end());
  EXPECT_EQ(device.Feed(request), prefixed);
  EXPECT_EQ(device.Feed(request), good);
}

}  // namespace
}  // namespace oxa::sim
