// The ZEB-106 class against the virtual device, whose 10x side was written independently of
// the master: the two must agree on frames, memory layout and checksums.
#include <gtest/gtest.h>

#include "devices/oxaZeb106.h"
#include "serial/OxaUtils.h"
#include "sim/FulDevice.h"
#include "tests/support/FakeComPortIo.h"
#include "tests/support/Frames10x.h"

namespace oxa {
namespace {

using enum TOxaError;
using testing::ErrorOf;

using testing::FixedLocalTime;
using testing::Hex;
using testing::TFakeAnswer;
using testing::TFakePort;

class Zeb106Sim : public ::testing::Test {
 protected:
  Zeb106Sim() : dev(1) {
    fp.io->SetResponder([this](const std::vector<uint8_t>& request) -> std::optional<TFakeAnswer> {
      auto answer = dev.Feed(request);
      if (answer.empty()) return std::nullopt;
      return TFakeAnswer{std::move(answer)};
    });
    zeb.SetComPort(&fp.port);
    zeb.SetNetAddr(1);
    zeb.SetLocalTimeSource(FixedLocalTime);
  }
  TFakePort fp;
  sim::TFulDevice dev;
  ToxaZeb106 zeb;
};

TEST_F(Zeb106Sim, IdentificationAndStampRecordAsTheWindowReadsThem) {
  dev.Set10xIdentification("\u0417\u0415\u0411-106 v2.1");
  dev.SetStamp(4321, 2024, 3, 5);
  std::string id;
  zeb.GetDevID(id);
  EXPECT_EQ(ErrorOf(zeb), kOk);
  EXPECT_EQ(id, "\u0417\u0415\u0411-106 v2.1");
  std::array<uint8_t, 16> record{};
  zeb.ReadRtc2kP(1496, record.data(), 16);
  EXPECT_EQ(ErrorOf(zeb), kOk);
  EXPECT_EQ(std::vector<uint8_t>(record.begin(), record.end()), dev.Memory(1496, 16));
}

TEST_F(Zeb106Sim, CalibrationWriteLeavesAConsistentBlockAndTheStamp) {
  zeb.SetSignature("TECH0001");
  ASSERT_TRUE(zeb.ClbWriteK(2, 9, 0.5f));
  ASSERT_TRUE(zeb.ClbWriteObr(1, 3, 0.75f));
  const auto block = dev.Memory(1504, 146);
  EXPECT_EQ(block[144] << 8 | block[145], sim::TFulDevice::CalibrationChecksum(block));
  EXPECT_EQ(dev.Memory(1644, 4), Hex("3F 00 00 00"));
  EXPECT_EQ(dev.Memory(2016, 16), Hex("54 45 43 48 30 30 30 31 00 00 24 03 05 14 07 09"));
  float v = 0;
  EXPECT_TRUE(zeb.ClbReadObr(1, 3, v));
  EXPECT_EQ(v, 0.75f);

  // The device's fast reset restores its factory coefficients.
  EXPECT_TRUE(zeb.FastResetK());
  EXPECT_TRUE(zeb.ClbReadK(2, 9, v));
  EXPECT_EQ(v, 0.5f);
  EXPECT_TRUE(zeb.ClbReadObr(1, 3, v));
  EXPECT_EQ(v, 0.0025f);
}

TEST_F(Zeb106Sim, ClockIsSetAndEchoed) {
  zeb.SetEWrite(true);
  zeb.SetDateTime();
  EXPECT_EQ(ErrorOf(zeb), kOk);
  const auto clock = zeb.ClockBuf().first(10);
  EXPECT_EQ(std::vector<uint8_t>(clock.begin(), clock.end()), Hex("09 00 07 00 14 00 03 05 03 24"));
}

TEST_F(Zeb106Sim, LineFaultsGiveTheirCodes) {
  std::string id;
  dev.GarbageBeforeNext(1);
  zeb.GetDevID(id);
  EXPECT_EQ(ErrorOf(zeb), kOk);

  zeb.SetRepeatCount(2);
  dev.WrongComplementOnNext(2);
  zeb.GetDevID(id);
  EXPECT_EQ(ErrorOf(zeb), kWrongAddress);
  dev.CorruptChecksumOfNext(2);
  zeb.GetDevID(id);
  EXPECT_EQ(ErrorOf(zeb), kWrongChecksum);
  dev.StopMidFrameOnNext(2);
  zeb.GetDevID(id);
  EXPECT_EQ(ErrorOf(zeb), kNoAnswer);
  // One bad attempt is covered by the repetition.
  dev.CorruptChecksumOfNext(1);
  zeb.GetDevID(id);
  EXPECT_EQ(ErrorOf(zeb), kOk);

  zeb.SetRepeatCount(1);
  dev.NoAnswerToNext(1);
  EXPECT_TRUE(zeb.ResetDevK());
  EXPECT_EQ(dev.Memory(2016, 2), Hex("FF FF"));
}

}  // namespace
}  // namespace oxa
