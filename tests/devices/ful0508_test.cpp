// The FUL-05.08 class against a small register device on the scripted port: registers asked
// for, bytes written, values decoded, and the signature's control of calibration writes.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "devices/oxaFul0508.h"
#include "serial/OxaUtils.h"
#include "tests/support/FakeComPortIo.h"

namespace oxa {
namespace {

using enum TOxaError;
using testing::ErrorOf;

using testing::Hex;
using testing::TFakeAnswer;
using testing::TFakePort;
using testing::WithCrc;

// Holding registers that answer functions 3 and 16; a register never set reads 0.
struct RegisterDevice {
  std::map<uint16_t, uint16_t> regs;
  bool silent = false;

  std::optional<TFakeAnswer> Answer(const std::vector<uint8_t>& rq) {
    if (silent || rq.size() < 8) return std::nullopt;
    const uint16_t start = static_cast<uint16_t>(rq[2] << 8 | rq[3]);
    const uint16_t count = static_cast<uint16_t>(rq[4] << 8 | rq[5]);
    std::vector<uint8_t> out = {rq[0], rq[1]};
    if (rq[1] == 0x03) {
      out.push_back(static_cast<uint8_t>(2 * count));
      for (uint16_t i = 0; i < count; ++i) {
        const uint16_t v = regs[static_cast<uint16_t>(start + i)];
        out.push_back(static_cast<uint8_t>(v >> 8));
        out.push_back(static_cast<uint8_t>(v & 0xFF));
      }
    } else if (rq[1] == 0x10) {
      for (uint16_t i = 0; i < count; ++i) {
        regs[static_cast<uint16_t>(start + i)] =
            static_cast<uint16_t>(rq[7 + 2 * i] << 8 | rq[8 + 2 * i]);
      }
      out.insert(out.end(), rq.begin() + 2, rq.begin() + 6);
    } else {
      return std::nullopt;
    }
    return TFakeAnswer{WithCrc(out), 2, 0};
  }
  void Set32(uint16_t reg, uint32_t v) {
    regs[reg] = static_cast<uint16_t>(v >> 16);
    regs[static_cast<uint16_t>(reg + 1)] = static_cast<uint16_t>(v & 0xFFFF);
  }
};

class Ful0508 : public ::testing::Test {
 protected:
  Ful0508() {
    ful.SetComPort(&fake.port);
    ful.SetNetAddr(1);
    fake.io->SetResponder([this](const std::vector<uint8_t>& rq) { return device.Answer(rq); });
  }
  // (function, start, count) of every request sent, and the data of the write requests.
  struct Sent {
    uint8_t function;
    uint16_t start;
    uint16_t count;
    std::string data;
  };
  std::vector<Sent> Requests() const {
    std::vector<Sent> out;
    for (const auto& rq : fake.io->Requests()) {
      if (rq.size() < 8) continue;
      Sent s{rq[1], static_cast<uint16_t>(rq[2] << 8 | rq[3]),
             static_cast<uint16_t>(rq[4] << 8 | rq[5]), ""};
      if (rq[1] == 0x10) s.data = HexBytes(std::span(rq).subspan(7, rq[6]));
      out.push_back(s);
    }
    return out;
  }

  TFakePort fake;
  RegisterDevice device;
  ToxaFul0508 ful;
};

TEST_F(Ful0508, ReadsCoefficientsFromTheirRegisters) {
  device.regs[370] = 0xFFFE;  // K[0] of channel 1: a signed integer in the first register
  device.regs[371] = 0x3F80;
  float v = 5;
  EXPECT_TRUE(ful.ClbReadK(1, 0, v));
  EXPECT_EQ(v, -2.0f);
  EXPECT_EQ(fake.io->Requests().at(0), WithCrc(Hex("01 03 01 72 00 02")));

  device.Set32(197, 0x3F800000);
  EXPECT_TRUE(ful.ClbReadK(2, 5, v));
  EXPECT_EQ(v, 1.0f);
  EXPECT_EQ(Requests().back().start, 197);

  // Every register of the map, as the device documents it.
  const uint16_t k1[] = {370, 371, 352, 350, 348, 346, 344, 342, 340, 338};
  const uint16_t k2[] = {290, 291, 203, 201, 199, 197, 195, 193, 191, 189};
  const uint16_t o1[] = {370, 371, 368, 366, 364, 362, 360, 358, 356, 354};
  const uint16_t o2[] = {290, 291, 227, 225, 223, 221, 219, 217, 215, 213};
  for (uint8_t i = 0; i <= 9; ++i) {
    SCOPED_TRACE(int{i});
    EXPECT_TRUE(ful.ClbReadK(1, i, v));
    EXPECT_EQ(Requests().back().start, k1[i]);
    EXPECT_TRUE(ful.ClbReadK(2, i, v));
    EXPECT_EQ(Requests().back().start, k2[i]);
    EXPECT_TRUE(ful.ClbReadObr(1, i, v));
    EXPECT_EQ(Requests().back().start, o1[i]);
    EXPECT_TRUE(ful.ClbReadObr(2, i, v));
    EXPECT_EQ(Requests().back().start, o2[i]);
    EXPECT_EQ(Requests().back().count, 2);
  }
}

TEST_F(Ful0508, WritesCoefficientsAsTheDeviceStoresThem) {
  ful.SetEWrite(true);
  EXPECT_TRUE(ful.ClbWriteK(1, 0, 300.7f));
  EXPECT_TRUE(ful.ClbWriteK(1, 0, -1.0f));
  EXPECT_TRUE(ful.ClbWriteObr(2, 9, 0.5f));
  EXPECT_TRUE(ful.ClbWriteK(2, 1, 1.0f));
  const auto sent = Requests();
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[0].function, 0x10);
  EXPECT_EQ(sent[0].start, 370);
  EXPECT_EQ(sent[0].count, 1);
  EXPECT_EQ(sent[0].data, "01 2C ");
  EXPECT_EQ(sent[1].data, "FF FF ");
  EXPECT_EQ(sent[2].start, 213);
  EXPECT_EQ(sent[2].count, 2);
  EXPECT_EQ(sent[2].data, "3F 00 00 00 ");
  EXPECT_EQ(sent[3].start, 291);
  EXPECT_EQ(sent[3].data, "3F 80 00 00 ");
  // What was written reads back.
  float v = 0;
  EXPECT_TRUE(ful.ClbReadObr(2, 9, v));
  EXPECT_EQ(v, 0.5f);
}

TEST_F(Ful0508, IntegerCoefficientKeepsTheLow16BitsOfAnyValue) {
  ful.SetEWrite(true);
  EXPECT_TRUE(ful.ClbWriteK(1, 0, 65541.9f));   // 0x10005
  EXPECT_TRUE(ful.ClbWriteK(1, 0, -70000.9f));  // -70000 = ...EE90
  EXPECT_TRUE(ful.ClbWriteK(1, 0, std::nanf("")));
  EXPECT_TRUE(ful.ClbWriteK(1, 0, 1e30f));
  EXPECT_TRUE(ful.ClbWriteK(1, 0, -INFINITY));
  const auto sent = Requests();
  ASSERT_EQ(sent.size(), 5u);
  EXPECT_EQ(sent[0].data, "00 05 ");
  EXPECT_EQ(sent[1].data, "EE 90 ");
  EXPECT_EQ(sent[2].data, "00 00 ");
}

TEST_F(Ful0508, BadChannelOrIndexSendsNothingAndKeepsLastError) {
  device.silent = true;
  ful.SetRepeatCount(1);
  ful.ClbReadG(1);
  ASSERT_EQ(ErrorOf(ful), kNoAnswer);
  const size_t before = Requests().size();
  float v = 7;
  EXPECT_FALSE(ful.ClbReadK(3, 0, v));
  EXPECT_FALSE(ful.ClbReadObr(0, 1, v));
  EXPECT_FALSE(ful.ClbReadK(1, 10, v));
  EXPECT_EQ(v, 7.0f);
  ful.SetEWrite(true);
  EXPECT_FALSE(ful.ClbWriteK(1, 10, 1.0f));
  EXPECT_FALSE(ful.ClbWriteObr(3, 2, 1.0f));
  EXPECT_EQ(ful.ClbReadG(0), 0.0f);
  EXPECT_EQ(ful.ClbReadGmax(3), 0.0f);
  EXPECT_EQ(ful.ClbReadSFR(3), 0.0f);
  std::array<uint8_t, 4> raw = {1, 2, 3, 4};
  EXPECT_FALSE(ful.ReadIntegrator(ToxaFul0508::kIntegratorCount, raw));
  EXPECT_EQ(raw, (std::array<uint8_t, 4>{1, 2, 3, 4}));
  EXPECT_EQ(Requests().size(), before);
  EXPECT_EQ(ErrorOf(ful), kNoAnswer);
}

TEST_F(Ful0508, IntegratorsAndDoserRegisters) {
  device.Set32(2140, 0x41A40000);
  std::array<uint8_t, 4> raw{};
  ASSERT_TRUE(ful.ReadIntegrator(28, raw));
  EXPECT_EQ(HexBytes(raw), "41 A4 00 00 ");
  device.regs[2201] = 12345;
  device.regs[2202] = 2;
  uint16_t tenths = 0, state = 0;
  ASSERT_TRUE(ful.ReadDose(tenths));
  ASSERT_TRUE(ful.ReadDoserState(state));
  EXPECT_EQ(tenths, 12345);
  EXPECT_EQ(state, 2);
  const auto& sent = Requests();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ((std::tuple(sent[0].function, sent[0].start, sent[0].count)), std::tuple(3, 2140, 4));
  EXPECT_EQ((std::tuple(sent[1].start, sent[1].count)), std::tuple(2201, 1));
  EXPECT_EQ((std::tuple(sent[2].start, sent[2].count)), std::tuple(2202, 1));
}

TEST_F(Ful0508, FailedReadsGiveZero) {
  device.Set32(0, 0x3F800000);
  device.silent = true;
  ful.SetRepeatCount(1);
  float v = 7;
  EXPECT_FALSE(ful.ClbReadK(1, 2, v));
  EXPECT_EQ(v, 0.0f);
  EXPECT_EQ(ful.ClbReadG(1), 0.0f);
  EXPECT_EQ(ErrorOf(ful), kNoAnswer);
  std::string s = "x";
  ful.GetSoftVer(s);
  EXPECT_EQ(s, "");
  s = "x";
  ful.GetDeviceNumber(s);
  EXPECT_EQ(s, "");
}

TEST_F(Ful0508, ShortAnswerIsNotTakenAsAValue) {
  fake.io->QueueAnswer(WithCrc(Hex("01 03 02 3F 80")));
  EXPECT_EQ(ful.ClbReadG(1), 0.0f);
  EXPECT_EQ(ErrorOf(ful), kWrongSize);
}

TEST_F(Ful0508, ReadsChannelValues) {
  device.Set32(0, 0x3F800000);
  device.Set32(2, 0xC0000000);
  device.Set32(299, 0x41200000);
  device.Set32(301, 0x42C80000);
  EXPECT_EQ(ful.ClbReadG(1), 1.0f);
  EXPECT_EQ(ful.ClbReadG(2), -2.0f);
  EXPECT_EQ(ful.ClbReadGmax(1), 10.0f);
  EXPECT_EQ(ful.ClbReadGmax(2), 100.0f);
  // SFR is an integer, returned as its value.
  device.Set32(107, 0xFFFFFFFE);
  device.Set32(105, 123456);
  device.Set32(97, 42);
  EXPECT_EQ(ful.ClbReadSFR(1), -2.0f);
  EXPECT_EQ(ful.ClbReadSFR(2), 123456.0f);
  ful.SetAltRegMapping(true);
  EXPECT_EQ(ful.ClbReadSFR(1), 42.0f);
  EXPECT_EQ(ful.ClbReadSFR(2), -2.0f);
}

TEST_F(Ful0508, DeviceNumberAndChannelLayout) {
  device.Set32(315, 0x0001E240);
  device.regs[320] = 0x0001;  // low byte non-zero: channels swapped
  std::string s;
  ful.GetDeviceNumber(s);
  EXPECT_EQ(s, "123456");
  EXPECT_TRUE(ful.ChannelsSwapped());
  auto sent = Requests();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].start, 320);
  EXPECT_EQ(sent[0].count, 2);
  EXPECT_EQ(sent[1].start, 315);

  // Swapped, normal map: channel 1 reads channel 2's register, and the other way round.
  ful.ClbReadSFR(1);
  EXPECT_EQ(Requests().back().start, 105);
  ful.ClbReadSFR(2);
  EXPECT_EQ(Requests().back().start, 107);
  ful.SetAltRegMapping(true);
  ful.ClbReadSFR(1);
  EXPECT_EQ(Requests().back().start, 107);
  ful.ClbReadSFR(2);
  EXPECT_EQ(Requests().back().start, 97);

  // Only the low byte of register 320 counts.
  device.regs[320] = 0xFF00;
  device.Set32(315, 0xFFFFFFFF);
  ful.GetDeviceNumber(s);
  EXPECT_FALSE(ful.ChannelsSwapped());
  EXPECT_EQ(s, "4294967295");

  device.Set32(315, 0);
  ful.GetDeviceNumber(s);
  EXPECT_EQ(s, "0");
}

TEST_F(Ful0508, LayoutReadFailureKeepsTheLastKnownLayout) {
  device.regs[320] = 0x0001;
  std::string s;
  ful.GetDeviceNumber(s);
  ASSERT_TRUE(ful.ChannelsSwapped());
  ful.SetRepeatCount(1);
  fake.io->QueueSilence();  // register 320 unanswered, 315 answered
  ful.GetDeviceNumber(s);
  EXPECT_TRUE(ful.ChannelsSwapped());
  EXPECT_EQ(s, "0");
}

TEST_F(Ful0508, SoftwareVersionHasTwoDigitsEach) {
  device.regs[318] = 0x0102;
  std::string s;
  ful.GetSoftVer(s);
  EXPECT_EQ(s, "01.02");
  EXPECT_EQ(Requests().back().start, 318);
  EXPECT_EQ(Requests().back().count, 1);
  device.regs[318] = 0x0A0F;
  ful.GetSoftVer(s);
  EXPECT_EQ(s, "10.15");
  device.regs[318] = 0xFF64;
  ful.GetSoftVer(s);
  EXPECT_EQ(s, "255.100");
}

TEST_F(Ful0508, SignatureDecidesWhetherCalibrationWritesAreSent) {
  ful.SetSignature("ABCD0000XYZ");
  EXPECT_EQ(ful.Signature(), "ABCD0000");
  EXPECT_FALSE(ful.EWrite());
  EXPECT_TRUE(ful.ClbWriteK(1, 2, 1.0f));  // refused silently
  EXPECT_TRUE(ful.ResetK());
  EXPECT_TRUE(Requests().empty());

  ful.SetSignature("ABCD0001");
  EXPECT_TRUE(ful.EWrite());
  EXPECT_TRUE(ful.ClbWriteK(1, 2, 1.0f));
  EXPECT_EQ(Requests().size(), 1u);

  // Too short: emptied, EWrite left as it was, and no signature to write.
  ful.SetSignature("abc");
  EXPECT_EQ(ful.Signature(), "");
  EXPECT_TRUE(ful.EWrite());
  EXPECT_FALSE(ful.ClbWriteSignature());
  ful.SetEWrite(false);
  ful.SetSignature("1234");
  EXPECT_FALSE(ful.EWrite());

  // Characters, not bytes: Cyrillic letters count one each.
  ful.SetSignature("ФУЛ-0000");
  EXPECT_EQ(ful.Signature(), "ФУЛ-0000");
  EXPECT_FALSE(ful.EWrite());
  ful.SetSignature("ФУЛ");
  EXPECT_EQ(ful.Signature(), "");
}

TEST_F(Ful0508, SignatureIsMarkedWrittenOnceUntilCleared) {
  EXPECT_FALSE(ful.ClbWriteSignature());  // never assigned
  ful.SetSignature("ABCD1234");
  EXPECT_TRUE(ful.ClbWriteSignature());
  // Once written it stays written, even after a failed operation.
  device.silent = true;
  ful.SetRepeatCount(1);
  ful.ClbReadG(1);
  EXPECT_TRUE(ful.ClbWriteSignature());
  ful.SetSignature("WXYZ5678");
  EXPECT_TRUE(ful.ClbWriteSignature());
  // Cleared, it acts again, and only after a successful operation.
  ful.ClearSignature();
  EXPECT_EQ(ful.Signature(), "WXYZ5678");
  EXPECT_FALSE(ful.ClbWriteSignature());
  device.silent = false;
  ful.ClbReadG(1);
  EXPECT_TRUE(ful.ClbWriteSignature());
  EXPECT_EQ(Requests().size(), 2u);  // the two reads; the signature itself sends nothing
}

TEST_F(Ful0508, ResetWritesTheFactoryValues) {
  ful.SetEWrite(true);
  EXPECT_TRUE(ful.ResetK());
  auto sent = Requests();
  ASSERT_EQ(sent.size(), 18u);
  const uint16_t order[] = {370, 371, 352, 350, 348, 346, 344, 342, 340,
                            338, 368, 366, 364, 362, 360, 358, 356, 354};
  for (size_t i = 0; i < 18; ++i) EXPECT_EQ(sent[i].start, order[i]) << i;
  EXPECT_EQ(sent[0].count, 1);
  EXPECT_EQ(sent[0].data, "00 00 ");
  EXPECT_EQ(sent[1].data, "34 20 00 00 ");                // not 1.0
  EXPECT_EQ(sent[2].data, HexBytes(Hex("3A 83 12 6F")));  // 0.001
  EXPECT_EQ(sent[17].data, "3F 00 00 00 ");               // 0.5
  EXPECT_EQ(device.regs[371], 0x3420);

  ful.SetAltRegMapping(true);
  EXPECT_TRUE(ful.ResetK());
  sent = Requests();
  ASSERT_EQ(sent.size(), 18u + 36u);
  EXPECT_EQ(sent[18 + 18].start, 290);
  EXPECT_EQ(sent.back().start, 213);
}

TEST_F(Ful0508, ResetCarriesOnAfterAFailureAndReportsTheLastWrite) {
  ful.SetEWrite(true);
  ful.SetRepeatCount(1);
  fake.io->QueueSilence();  // K[0] unanswered
  EXPECT_TRUE(ful.ResetK());
  EXPECT_EQ(Requests().size(), 18u);

  for (int i = 0; i < 17; ++i) {
    fake.io->QueueAnswer(WithCrc(Hex("01 10 00 00 00 01")));
  }
  fake.io->QueueSilence();  // Obr[9] unanswered
  EXPECT_FALSE(ful.ResetK());
  EXPECT_EQ(ErrorOf(ful), kNoAnswer);
}

}  // namespace
}  // namespace oxa
