// The ZEB-106 class against a simulated meter: a 2-Kbyte memory and a RAM answered over the
// 10x protocol on the fake port, so the tests see both the frames and the memory they leave.
#include <gtest/gtest.h>

#include <bit>
#include <cstring>

#include "devices/oxaZeb106.h"
#include "serial/OxaUtils.h"
#include "tests/support/FakeComPortIo.h"
#include "tests/support/Frames10x.h"

namespace oxa {
namespace {

using enum TOxaError;
using testing::ErrorOf;

using testing::Answer10x;
using testing::FixedLocalTime;
using testing::Hex;
using testing::TFakeAnswer;
using testing::TFakePort;

// One memory write as the meter saw it.
struct MemWrite {
  uint16_t address;
  std::vector<uint8_t> bytes;
};

// A ZEB-106 that keeps its memories and answers reads, writes and commands.
struct FakeMeter {
  std::array<uint8_t, 2048> mem{};
  std::array<uint8_t, 256> ram{};
  std::vector<MemWrite> writes;
  int block_reads = 0;
  int silent_write = -1;  // the n-th memory write (from 0) draws no answer
  int silent_cmds = 0;    // this many commands draw no answer
  int short_reads = 0;    // this many memory reads answer with 4 bytes fewer

  std::optional<TFakeAnswer> Answer(const std::vector<uint8_t>& r) {
    if (r.size() < 7) return std::nullopt;
    const uint8_t group = r[3], code = r[4];
    const std::vector<uint8_t> data(r.begin() + 6, r.end() - 1);
    if (group == 0x0F && code == 0x01) {
      const size_t addr = data[0] << 8 | data[1];
      size_t count = data[2];
      if (addr == ToxaZeb106::kBlockAddr) ++block_reads;
      if (short_reads > 0) {
        --short_reads;
        count -= 4;
      }
      return TFakeAnswer{
          Answer10x({mem.begin() + addr, mem.begin() + addr + count}, 1, group, code)};
    }
    if (group == 0x0C && code == 0x01) {
      const size_t addr = data[0] << 8 | data[1];
      return TFakeAnswer{
          Answer10x({ram.begin() + addr, ram.begin() + addr + data[2]}, 1, group, code)};
    }
    if (group == 0x0F && code == 0x81) {
      if (static_cast<int>(writes.size()) == silent_write) {
        writes.push_back({0xFFFF, {}});
        return std::nullopt;
      }
      const uint16_t addr = static_cast<uint16_t>(data[0] << 8 | data[1]);
      writes.push_back({addr, {data.begin() + 2, data.end()}});
      std::copy(data.begin() + 2, data.end(), mem.begin() + addr);
      return TFakeAnswer{Answer10x({}, 1, group, code)};
    }
    if (group == 0x77) {
      if (silent_cmds > 0) {
        --silent_cmds;
        return std::nullopt;
      }
      return TFakeAnswer{Answer10x({0x00}, 1, group, code)};
    }
    return std::nullopt;
  }
};

class Zeb106 : public ::testing::Test {
 protected:
  Zeb106() {
    fp.io->SetResponder([this](const std::vector<uint8_t>& r) { return meter.Answer(r); });
    zeb.SetComPort(&fp.port);
    zeb.SetNetAddr(1);
    zeb.SetRepeatCount(1);
    zeb.SetLocalTimeSource(FixedLocalTime);
    for (size_t i = 0; i < ToxaZeb106::kBlockSize; ++i) {
      meter.mem[ToxaZeb106::kBlockAddr + i] = static_cast<uint8_t>(i);
    }
  }
  std::vector<uint8_t> Mem(size_t addr, size_t count) const {
    return {meter.mem.begin() + addr, meter.mem.begin() + addr + count};
  }
  std::vector<uint8_t> Block() const { return Mem(ToxaZeb106::kBlockAddr, ToxaZeb106::kBlockSize); }
  // Checks that the block in the meter carries the checksum of its contents.
  void ExpectSealed() const {
    auto block = Block();
    uint16_t sum = 0;
    for (size_t i = 0; i < 144; ++i) sum = static_cast<uint16_t>(sum + block[i]);
    EXPECT_EQ(block[144] << 8 | block[145], static_cast<uint16_t>(~sum));
  }

  TFakePort fp;
  FakeMeter meter;
  ToxaZeb106 zeb;
};

TEST(Zeb106Block, ChecksumIsTheInvertedSumHighByteFirst) {
  std::array<uint8_t, ToxaZeb106::kBlockSize> block{};
  for (size_t i = 0; i < 18; ++i) block[i] = 0xFF;
  block[143] = 0x46;  // 18 * 0xFF + 0x46 = 0x1234
  block[144] = block[145] = 0x55;
  ToxaZeb106::SealBlock(block);
  EXPECT_EQ(block[144], 0xED);
  EXPECT_EQ(block[145], 0xCB);
}

TEST(Zeb106Signature, RecordCarriesTextAndBcdStamp) {
  const auto record = ToxaZeb106::SignatureRecord("\u0418\u0432\u0430\u043D0042", FixedLocalTime());
  EXPECT_EQ(std::vector<uint8_t>(record.begin(), record.end()),
            Hex("C8 E2 E0 ED 30 30 34 32 00 00 24 03 05 14 07 09"));
}

TEST(Zeb106Signature, AssignmentKeepsEightCharactersAndGatesWrites) {
  ToxaZeb106 zeb;
  zeb.SetEWrite(true);
  zeb.SetSignature("1234567");
  EXPECT_EQ(zeb.Signature(), "");
  EXPECT_TRUE(zeb.EWrite());  // too short: EWrite untouched
  zeb.SetSignature("ABCD0000xyz");
  EXPECT_EQ(zeb.Signature(), "ABCD0000");
  EXPECT_FALSE(zeb.EWrite());
  // Eight Cyrillic characters are eight characters, not sixteen bytes.
  zeb.SetSignature("\u0418\u0432\u0430\u043D\u043E\u0432\u0430\u044F\u0445");
  EXPECT_EQ(zeb.Signature(), "\u0418\u0432\u0430\u043D\u043E\u0432\u0430\u044F");
  EXPECT_TRUE(zeb.EWrite());
  zeb.SetSignature("\u0418\u0432\u0430\u043D0000");
  EXPECT_FALSE(zeb.EWrite());
}

TEST_F(Zeb106, CalibrationWriteRewritesTheBlockInTwelvePiecesThenStampsOnce) {
  zeb.SetSignature("TECH0001");
  ASSERT_TRUE(zeb.EWrite());
  EXPECT_TRUE(zeb.ClbWriteK(2, 9, 0.5f));
  EXPECT_EQ(ErrorOf(zeb), kOk);
  ASSERT_EQ(fp.io->Requests().size(), 14u);
  EXPECT_EQ(fp.io->Requests()[0], Hex("55 01 FE 0F 01 03 05 E0 92 21"));
  ASSERT_EQ(meter.writes.size(), 13u);
  for (size_t i = 0; i < 11; ++i) {
    EXPECT_EQ(meter.writes[i].address, 1504 + 8 * i);
    EXPECT_EQ(meter.writes[i].bytes.size(), 8u);
  }
  EXPECT_EQ(meter.writes[11].address, 1592);
  EXPECT_EQ(meter.writes[11].bytes.size(), 58u);
  EXPECT_EQ(meter.writes[12].address, 2016);
  EXPECT_EQ(Mem(2016, 16), Hex("54 45 43 48 30 30 30 31 00 00 24 03 05 14 07 09"));

  auto expected = Block();
  for (size_t i = 0; i < 144; ++i) expected[i] = static_cast<uint8_t>(i);
  expected[140] = 0x3F;
  expected[141] = expected[142] = expected[143] = 0x00;
  const auto block = Block();
  EXPECT_EQ(std::vector<uint8_t>(block.begin(), block.begin() + 144),
            std::vector<uint8_t>(expected.begin(), expected.begin() + 144));
  ExpectSealed();

  // The record is stamped once per signature; a new one does not restamp, ClearSignature does.
  EXPECT_TRUE(zeb.ClbWriteObr(1, 2, 1.0f));
  EXPECT_EQ(meter.writes.size(), 25u);
  EXPECT_EQ(Mem(1504 + 8, 4), Hex("3F 80 00 00"));
  zeb.SetSignature("TECH0002");
  EXPECT_TRUE(zeb.ClbWriteK(1, 0, 2.0f));
  EXPECT_EQ(meter.writes.size(), 37u);
  zeb.ClearSignature();
  EXPECT_TRUE(zeb.ClbWriteK(1, 0, 2.0f));
  EXPECT_EQ(meter.writes.size(), 50u);
  EXPECT_EQ(Mem(2016, 8), Hex("54 45 43 48 30 30 30 32"));
  ExpectSealed();
}

TEST_F(Zeb106, CoefficientsZeroAndOneAreSharedByKAndObr) {
  zeb.SetEWrite(true);
  ASSERT_TRUE(zeb.ClbWriteObr(2, 1, -2.0f));
  EXPECT_EQ(Mem(1504 + 72 + 4, 4), Hex("C0 00 00 00"));
  float k = 0;
  EXPECT_TRUE(zeb.ClbReadK(2, 1, k));
  EXPECT_EQ(k, -2.0f);
  EXPECT_EQ(fp.io->Requests().back(), Hex("55 01 FE 0F 01 03 06 2C 04 62"));
}

TEST_F(Zeb106, WholeChannelRecordIsStoredMostSignificantByteFirst) {
  zeb.SetEWrite(true);
  std::array<float, 18> record;
  for (size_t i = 0; i < record.size(); ++i) record[i] = static_cast<float>(i) + 0.5f;
  ASSERT_TRUE(zeb.ClbWriteAll(1, record));
  EXPECT_EQ(Mem(1504, 4), Hex("3F 00 00 00"));       // 0.5
  EXPECT_EQ(Mem(1504 + 68, 4), Hex("41 8C 00 00"));  // 17.5
  EXPECT_EQ(Mem(1504 + 72, 4), Hex("48 49 4A 4B"));  // channel 2 unchanged
  ExpectSealed();
  float obr = 0;
  ASSERT_TRUE(zeb.ClbReadObr(1, 9, obr));
  EXPECT_EQ(obr, 9.5f);
  EXPECT_FALSE(zeb.ClbWriteAll(3, record));
}

TEST_F(Zeb106, BadArgumentsCauseNoTraffic) {
  zeb.SetEWrite(true);
  float v = 7.0f;
  EXPECT_FALSE(zeb.ClbWriteK(0, 1, 1.0f));
  EXPECT_FALSE(zeb.ClbWriteObr(1, 10, 1.0f));
  EXPECT_FALSE(zeb.ClbReadK(3, 1, v));
  EXPECT_FALSE(zeb.ClbReadObr(1, 10, v));
  EXPECT_EQ(v, 7.0f);
  EXPECT_EQ(zeb.ClbReadG(0), 0.0f);
  EXPECT_EQ(zeb.ClbReadSFR(3), 0.0f);
  EXPECT_TRUE(fp.io->Requests().empty());
}

TEST_F(Zeb106, FailedBlockReadWritesNothing) {
  zeb.SetEWrite(true);
  meter.short_reads = 1;  // 142 of 146 bytes: writing it back would corrupt the block
  EXPECT_FALSE(zeb.ClbWriteK(1, 2, 1.0f));
  EXPECT_EQ(ErrorOf(zeb), kWrongSize);
  fp.io->QueueSilence();
  EXPECT_FALSE(zeb.ClbWriteK(1, 2, 1.0f));
  EXPECT_EQ(ErrorOf(zeb), kNoAnswer);
  EXPECT_TRUE(meter.writes.empty());
}

TEST_F(Zeb106, FailedPieceAbortsTheRestAndTheStamp) {
  zeb.SetSignature("TECH0001");
  meter.silent_write = 2;
  EXPECT_FALSE(zeb.ClbWriteK(1, 2, 1.0f));
  EXPECT_EQ(ErrorOf(zeb), kNoAnswer);
  EXPECT_EQ(meter.writes.size(), 3u);
  // The stamp is still owed: the next successful write makes it.
  meter.silent_write = -1;
  EXPECT_TRUE(zeb.ClbWriteK(1, 2, 1.0f));
  EXPECT_EQ(meter.writes.back().address, 2016);
}

TEST_F(Zeb106, FailedStampIsRetriedByTheNextCalibrationWrite) {
  zeb.SetSignature("TECH0001");
  meter.silent_write = 12;  // the signature record
  EXPECT_TRUE(zeb.ClbWriteK(1, 3, 1.0f));
  EXPECT_EQ(ErrorOf(zeb), kNoAnswer);
  EXPECT_TRUE(zeb.ClbWriteK(1, 3, 1.0f));
  EXPECT_EQ(meter.writes.back().address, 2016);
  EXPECT_EQ(Mem(2016, 4), Hex("54 45 43 48"));
}

TEST_F(Zeb106, SignatureWriteNeedsASignatureAndHappensOnce) {
  zeb.SetEWrite(true);
  EXPECT_FALSE(zeb.ClbWriteSignature());
  zeb.SetSignature("SHORT");
  EXPECT_FALSE(zeb.ClbWriteSignature());
  EXPECT_TRUE(fp.io->Requests().empty());
  zeb.SetSignature("LONGENUF");
  EXPECT_TRUE(zeb.ClbWriteSignature());
  EXPECT_TRUE(zeb.ClbWriteSignature());
  EXPECT_EQ(fp.io->Requests().size(), 1u);
}

TEST_F(Zeb106, ReadOnlySignatureSuppressesWritesButReportsSuccess) {
  zeb.SetSignature("TECH0000");
  EXPECT_TRUE(zeb.ClbWriteK(1, 2, 1.0f));
  EXPECT_TRUE(zeb.ClbWriteSignature());
  EXPECT_EQ(fp.io->Requests().size(), 1u);  // the block read only
  EXPECT_TRUE(meter.writes.empty());

  // Nothing was stamped, so the first calibration write that reaches the device stamps it.
  zeb.SetSignature("TECH0001");
  EXPECT_TRUE(zeb.ClbWriteK(1, 2, 1.0f));
  ASSERT_EQ(meter.writes.size(), 13u);
  EXPECT_EQ(meter.writes.back().address, 2016);
  EXPECT_EQ(Mem(2016, 8), Hex("54 45 43 48 30 30 30 31"));
}

TEST_F(Zeb106, ValuesAndDeviceNumber) {
  const float g2 = 12.25f, sfr1 = -3.5f;
  PutBigEndian32(std::span<uint8_t>(meter.ram).subspan(164, 4), std::bit_cast<uint32_t>(g2));
  PutBigEndian32(std::span<uint8_t>(meter.ram).subspan(0, 4), std::bit_cast<uint32_t>(sfr1));
  const auto number = Hex("00 00 30 39");
  std::copy(number.begin(), number.end(), meter.mem.begin() + 338);
  EXPECT_EQ(zeb.ClbReadG(2), g2);
  EXPECT_EQ(fp.io->Requests().back(), Hex("55 01 FE 0C 01 03 00 A4 04 F3"));
  EXPECT_EQ(zeb.ClbReadSFR(1), sfr1);
  std::string s = "x";
  zeb.GetDeviceNumber(s);
  EXPECT_EQ(s, "12345");

  meter.short_reads = 1;
  zeb.GetDeviceNumber(s);
  EXPECT_EQ(s, "");
  EXPECT_EQ(ErrorOf(zeb), kWrongSize);
  fp.io->QueueSilence();
  float k = 5.0f;
  EXPECT_FALSE(zeb.ClbReadK(1, 4, k));
  EXPECT_EQ(k, 0.0f);
  fp.io->QueueSilence();
  EXPECT_EQ(zeb.ClbReadG(1), 0.0f);
  EXPECT_EQ(ErrorOf(zeb), kNoAnswer);
}

TEST_F(Zeb106, ResetCommandsAreTriedTwice) {
  meter.silent_cmds = 1;
  EXPECT_TRUE(zeb.FastResetK());
  EXPECT_EQ(ErrorOf(zeb), kOk);
  ASSERT_EQ(fp.io->Requests().size(), 2u);
  EXPECT_EQ(fp.io->Requests()[1], Hex("55 01 FE 77 77 00 BD"));
  meter.silent_cmds = 2;
  EXPECT_FALSE(zeb.ResetDevK());
  EXPECT_EQ(fp.io->Requests().size(), 4u);
  EXPECT_EQ(fp.io->Requests()[3][4], 0x78);
}

TEST_F(Zeb106, FactoryResetWritesEveryCoefficient) {
  zeb.SetEWrite(true);
  EXPECT_TRUE(zeb.ResetK());
  EXPECT_EQ(meter.block_reads, 36);
  const auto be = [](float f) {
    std::vector<uint8_t> b(4);
    PutBigEndian32(b, std::bit_cast<uint32_t>(f));
    return b;
  };
  for (size_t ch = 0; ch < 2; ++ch) {
    const size_t rec = 1504 + 72 * ch;
    EXPECT_EQ(Mem(rec, 4), be(0.0f));
    EXPECT_EQ(Mem(rec + 4, 4), be(1.0f));
    EXPECT_EQ(Mem(rec + 8, 4), be(0.001f));        // Obr[2]
    EXPECT_EQ(Mem(rec + 36, 4), be(0.5f));         // Obr[9]
    EXPECT_EQ(Mem(rec + 40 + 4, 4), be(0.0025f));  // K[3]
    EXPECT_EQ(Mem(rec + 68, 4), be(0.5f));         // K[9]
  }
  ExpectSealed();
}

}  // namespace
}  // namespace oxa
