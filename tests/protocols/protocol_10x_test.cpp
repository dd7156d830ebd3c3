// The 10x master against a scripted device on virtual time: frames on the wire, codes,
// polls and milliseconds spent.
#include <gtest/gtest.h>

#include "protocols/oxa10xProtocol.h"
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
using testing::TFakePort;

class Protocol10x : public ::testing::Test {
 protected:
  Protocol10x() {
    m.SetComPort(&fp.port);
    m.SetNetAddr(1);
  }
  const std::vector<std::vector<uint8_t>>& Sent() const { return fp.io->Requests(); }
  // Data field of the only request sent.
  std::vector<uint8_t> SentData() const {
    EXPECT_EQ(Sent().size(), 1u);
    if (Sent().empty() || Sent()[0].size() < 7) return {};
    return {Sent()[0].begin() + 6, Sent()[0].end() - 1};
  }

  TFakePort fp;
  Toxa10xProtocol m;
};

TEST_F(Protocol10x, IdentificationIsSentAndDecodedFromCp1251) {
  // "ZEB-106 " then the Cyrillic letters Ze, E, Be in code page 1251.
  fp.io->QueueAnswer(Answer10x(Hex("5A 45 42 2D 31 30 36 20 C7 C5 C1"), 1, 0, 0));
  std::string id = "old";
  m.GetDevID(id);
  EXPECT_EQ(ErrorOf(m), kOk);
  EXPECT_EQ(id, "ZEB-106 \u0417\u0415\u0411");
  ASSERT_EQ(Sent().size(), 1u);
  EXPECT_EQ(Sent()[0], Hex("55 01 FE 00 00 00 AB"));

  fp.io->QueueAnswer(Answer10x(Hex("76 32 2E 31"), 1, 0, 1));
  m.GetSoftVer(id);
  EXPECT_EQ(id, "v2.1");
  EXPECT_EQ(Sent().back(), Hex("55 01 FE 00 01 00 AA"));
}

TEST_F(Protocol10x, RequestFramesOfTheReadCommands) {
  std::array<uint8_t, 16> buf{};
  m.SetNetAddr(0);
  m.SetRepeatCount(1);
  m.ReadRtc2k(0x0020, buf, 16);
  m.ReadRtc2k(0x07E0, buf, 16);
  m.ReadDataFlash(0x00012345, buf, 8);
  m.ReadRAM(0x00A0, buf, 4);
  m.ReadRtc128(0x10, buf, 3);
  m.ReadSecurity(buf);
  ASSERT_EQ(Sent().size(), 6u);
  EXPECT_EQ(Sent()[0], Hex("55 00 FF 0F 01 03 00 20 10 68"));
  EXPECT_EQ(Sent()[1], Hex("55 00 FF 0F 01 03 07 E0 10 A1"));
  EXPECT_EQ(Sent()[2], Hex("55 00 FF 0F 03 05 08 00 01 23 45 23"));
  EXPECT_EQ(Sent()[3], Hex("55 00 FF 0C 01 03 00 A0 04 F7"));
  EXPECT_EQ(Sent()[4], Hex("55 00 FF 0F 02 02 10 03 85"));
  EXPECT_EQ(Sent()[5], Hex("55 00 FF 0F 93 00 09"));
}

TEST_F(Protocol10x, AnswerIsTakenAfterLeadingGarbageAndAtOnce) {
  fp.io->QueueAnswer(Hex("00 13 AA 01 FE 00 00 01 5A FB"), 5);
  std::array<uint8_t, 4> buf = {0, 0, 0, 0};
  m.ReadRtc2k(0, buf, 1);
  EXPECT_EQ(ErrorOf(m), kOk);
  EXPECT_EQ(buf[0], 0x5A);
  EXPECT_EQ(buf[1], 0);
  // The wait for input ends when the answer arrives: no grain is spent in full.
  EXPECT_EQ(fp.io->NowMs(), 5u);
  EXPECT_EQ(fp.io->SleptMs(), 0u);
}

TEST_F(Protocol10x, EndlessNoiseWithoutAStartByteEndsTheAttempt) {
  // A line that streams bytes without a start byte must not hold the caller for ever.
  m.SetRepeatCount(2);
  for (int attempt = 0; attempt < 2; ++attempt) {
    fp.io->QueueAnswer(std::vector<uint8_t>(5000, 0x55), 1, 1);
  }
  std::string id = "old";
  m.GetDevID(id);
  EXPECT_EQ(ErrorOf(m), kNoAnswer);
  EXPECT_EQ(id, "");
  EXPECT_EQ(Sent().size(), 2u);
  // The second request waits for a silence that never comes only up to a packet time-out.
  const uint64_t ended = fp.io->NowMs();
  EXPECT_LT(ended, 2u * (513 + 10 + 200) + 300 + 1);
  // Listening the line out before closing ends too, long before the noise (until 5.7 s): the
  // noise taken for a late answer makes it wait at most as long again as the exchange took,
  // then the time-outs.
  fp.port.Close();
  EXPECT_LT(fp.io->NowMs(), 2 * ended + 300 + 300 + 40 + 1);
}

TEST_F(Protocol10x, NoiseOfUpTo512BytesBeforeTheStartByteIsSkipped) {
  m.SetRepeatCount(1);
  std::string id;
  std::vector<uint8_t> noisy(512, 0x55);
  const auto answer = Answer10x(Hex("41"), 1, 0, 0);
  noisy.insert(noisy.end(), answer.begin(), answer.end());
  fp.io->QueueAnswer(noisy);
  m.GetDevID(id);
  EXPECT_EQ(ErrorOf(m), kOk);
  EXPECT_EQ(id, "A");
  noisy.insert(noisy.begin(), 0x55);
  fp.io->QueueAnswer(noisy);
  m.GetDevID(id);
  EXPECT_EQ(ErrorOf(m), kNoAnswer);
}

TEST_F(Protocol10x, WrongChecksumIsRefusedOnEveryAttempt) {
  for (int i = 0; i < 3; ++i) fp.io->QueueAnswer(Hex("AA 01 FE 00 00 01 5A FA"));
  std::array<uint8_t, 4> buf = {1, 2, 3, 4};
  m.ReadRtc2k(0, buf, 1);
  EXPECT_EQ(ErrorOf(m), kWrongChecksum);
  EXPECT_EQ(buf, (std::array<uint8_t, 4>{1, 2, 3, 4}));
  EXPECT_EQ(Sent().size(), 3u);
  EXPECT_EQ(fp.io->SleptMs(), 600u);  // 200 ms after each failed attempt, the last included

  // A scan leaves out the pause after the last attempt, and only that one.
  m.SetPauseAfterLastAttempt(false);
  for (int i = 0; i < 3; ++i) fp.io->QueueAnswer(Hex("AA 01 FE 00 00 01 5A FA"));
  m.ReadRtc2k(0, buf, 1);
  EXPECT_EQ(ErrorOf(m), kWrongChecksum);
  EXPECT_EQ(fp.io->SleptMs(), 600u + 400u);
}

TEST_F(Protocol10x, BadComplementStopsReadingAtByteTwo) {
  m.SetRepeatCount(1);
  fp.io->QueueAnswer(Hex("AA 01 FF 00 00 01 5A FB"), 5, 10);
  std::string id = "x";
  m.GetDevID(id);
  EXPECT_EQ(ErrorOf(m), kWrongAddress);
  EXPECT_EQ(id, "");
  // Refused as byte 2 arrives at 25 ms; then the pause. The rest of the frame is taken off the
  // line, and dropped, before the port's next request or its closing; once it has come,
  // nothing more is awaited.
  EXPECT_EQ(fp.io->NowMs(), 25u + 200u);
  fp.port.Close();
  EXPECT_EQ(fp.io->NowMs(), 25u + 200u + 40u);
  EXPECT_EQ(fp.io->PendingInput(), 0u);
}

TEST_F(Protocol10x, ImpossibleLengthIsRefusedWithoutReadingFurther) {
  m.SetRepeatCount(1);
  auto frame = Hex("AA 01 FE 00 00 F9");
  frame.resize(frame.size() + 250, 0);
  fp.io->QueueAnswer(frame, 5, 1);
  std::array<uint8_t, 4> buf{};
  m.ReadRtc2k(0, buf, 4);
  EXPECT_EQ(ErrorOf(m), kWrongChecksum);
  // Refused as byte 5 arrives at 10 ms, not at the frame's end at 260 ms.
  EXPECT_EQ(fp.io->NowMs(), 10u + 200u);
}

TEST_F(Protocol10x, SilentDeviceCostsTheExactTimeOuts) {
  std::string id = "x";
  m.GetDevID(id);
  EXPECT_EQ(ErrorOf(m), kNoAnswer);
  EXPECT_EQ(id, "");
  // Per attempt: 10 ms, then 31 empty polls each followed by 10 ms, then the 200 ms pause. A
  // late answer is listened for before the port's next request, not here.
  EXPECT_EQ(Sent().size(), 3u);
  EXPECT_EQ(fp.io->NowMs(), 3u * 520u);
  EXPECT_EQ(fp.io->EmptyWaits(), 3u * (1u + 31u));
  EXPECT_EQ(fp.io->EmptyReads(), 0u);
  EXPECT_EQ(fp.io->SleptMs(), 3u * 200u);

  TFakePort fp2;
  Toxa10xProtocol zeb;  // the window's settings for its ZEB-106
  zeb.SetComPort(&fp2.port);
  zeb.SetPacketTimeout(500);
  zeb.SetByteTimeout(200);
  zeb.SetRepeatCount(7);
  zeb.GetDevID(id);
  EXPECT_EQ(fp2.io->NowMs(), 7u * 720u);
  EXPECT_EQ(fp2.io->EmptyWaits(), 7u * (1u + 51u));
}

TEST_F(Protocol10x, ALateAnswerIsDroppedNotTakenForTheNextCommand) {
  // The meter answers 900 ms after the request: after the attempt (520 ms) and its pause.
  m.SetPacketTimeout(500);
  m.SetRepeatCount(1);
  fp.io->QueueAnswer(Answer10x(Hex("11")), 900);
  std::array<uint8_t, 1> buf{0xEE};
  m.ReadRtc2k(0, buf, 1);
  EXPECT_EQ(ErrorOf(m), kNoAnswer);
  EXPECT_EQ(buf[0], 0xEE);
  EXPECT_EQ(fp.io->NowMs(), 720u);
  // The next command gets its own answer, not the late one, which is listened out first.
  fp.io->QueueAnswer(Answer10x(Hex("22")), 30);
  m.ReadRtc2k(1, buf, 1);
  EXPECT_EQ(ErrorOf(m), kOk);
  EXPECT_EQ(buf[0], 0x22);
  EXPECT_EQ(fp.io->NowMs(), 900u + 40u + 30u);
}

TEST_F(Protocol10x, ByteTimeOutAppliesBetweenAnswerBytes) {
  m.SetRepeatCount(1);
  fp.io->QueueAnswer(Hex("AA 01 FE 00 00 01 5A FB"), 5, 50);  // 50 ms gaps > 40 ms
  std::string id;
  m.GetDevID(id);
  EXPECT_EQ(ErrorOf(m), kNoAnswer);
  // Start byte at 5 ms, then 5 empty polls of 10 ms for byte 1, then the pause.
  EXPECT_EQ(fp.io->NowMs(), 5u + 50u + 200u);

  TFakePort fp2;
  m.SetComPort(&fp2.port);
  fp2.io->QueueAnswer(Hex("AA 01 FE 00 00 01 5A FB"), 5, 40);
  m.GetDevID(id);
  EXPECT_EQ(ErrorOf(m), kOk);
  EXPECT_EQ(id, "Z");
}

TEST_F(Protocol10x, LinkFailuresEndTheCommandAtOnce) {
  // A request that does not go out, or an adapter pulled during the answer: code 1, with no
  // further attempt, no pause and no time-out waited out.
  fp.io->fail_write_after = 0;
  std::string id = "x";
  m.GetDevID(id);
  EXPECT_EQ(ErrorOf(m), kNoPortOrWriteFailed);
  EXPECT_EQ(id, "");
  EXPECT_EQ(fp.io->NowMs(), 0u);
  EXPECT_EQ(fp.io->WriteCalls(), 1u);

  TFakePort fp2;
  m.SetComPort(&fp2.port);
  fp2.io->QueueAnswer(Hex("AA 01 FE 00 00 01 5A FB"), 5, 20);
  fp2.io->lose_at_ms = 30;
  m.GetDevID(id);
  EXPECT_EQ(ErrorOf(m), kNoPortOrWriteFailed);
  EXPECT_EQ(fp2.io->Requests().size(), 1u);
  EXPECT_EQ(fp2.io->NowMs(), 35u);
  EXPECT_EQ(fp2.io->SleptMs(), 0u);
  // Opened afresh, the port works again.
  fp2.port.Open();
  fp2.io->QueueAnswer(Hex("AA 01 FE 00 00 01 5A FB"));
  m.GetDevID(id);
  EXPECT_EQ(ErrorOf(m), kOk);
  EXPECT_EQ(id, "Z");
}

TEST_F(Protocol10x, SparseNoiseCannotHoldTheReceiverPastItsTimeBound) {
  // One byte other than the start byte every 290 ms: each restarts the wait for the start
  // byte, so 512 of them would take two and a half minutes. The attempt ends at its bound: the
  // packet time-out, the wire time of a 255-byte frame at the line speed, the byte time-out.
  m.SetPacketTimeout(300);
  m.SetByteTimeout(40);
  m.SetRepeatCount(2);
  for (uint32_t baud : {9600u, 115200u}) {
    TFakePort line;
    line.port.Close();
    line.port.SetBaudRate(baud);
    line.port.Open();
    m.SetComPort(&line.port);
    line.io->QueueAnswer(std::vector<uint8_t>(600, 0x13), 20, 290);
    line.io->QueueAnswer(std::vector<uint8_t>(600, 0x13), 20, 290);
    std::string id;
    m.GetDevID(id);
    EXPECT_EQ(ErrorOf(m), kNoAnswer);
    const uint64_t bound_ms = 300 + 40 + (255 * 10 * 1000 + baud - 1) / baud;
    EXPECT_LE(line.io->NowMs(), 2 * (bound_ms + 200)) << baud;
    EXPECT_GE(line.io->NowMs(), 2 * (bound_ms - 10 + 200)) << baud;
  }
}

TEST_F(Protocol10x, ClosedPortIsOpenedOnlyWhereAllowed) {
  fp.port.Close();
  std::string text = "kept";
  m.GetDevID(text);
  EXPECT_EQ(ErrorOf(m), kPortNotOpen);
  EXPECT_EQ(text, "kept");
  EXPECT_EQ(fp.io->Opens(), 1u);

  m.SetAutoOpenPort(true);
  m.GetSoftVer(text);
  EXPECT_EQ(ErrorOf(m), kPortNotOpen);
  EXPECT_EQ(m.SendCmd(0x7777), 0xFF);
  EXPECT_EQ(ErrorOf(m), kPortNotOpen);
  EXPECT_EQ(fp.io->Opens(), 1u);
  EXPECT_TRUE(Sent().empty());

  fp.io->QueueAnswer(Answer10x(Hex("41"), 1, 0, 0));
  m.GetDevID(text);
  EXPECT_EQ(ErrorOf(m), kOk);
  EXPECT_EQ(text, "A");
  EXPECT_TRUE(fp.port.Opened());
}

TEST(NoPort10x, CommandsEndWithCodeOne) {
  Toxa10xProtocol m;
  std::string id = "x";
  m.GetDevID(id);
  EXPECT_EQ(ErrorOf(m), kNoPortOrWriteFailed);
  EXPECT_EQ(id, "");
  TSfrTekValues v;
  m.GetSfrTek(v);
  EXPECT_EQ(ErrorOf(m), kNoPortOrWriteFailed);
  // A write with writes disabled does not pass for a suppressed one without a port.
  const uint8_t data[] = {1, 2};
  m.WriteRtc2k(0, data, 2);
  EXPECT_EQ(ErrorOf(m), kNoPortOrWriteFailed);
}

TEST_F(Protocol10x, WritesAreGatedByEWrite) {
  const uint8_t data[] = {0x5A, 0xA5};
  m.WriteRtc2kP(0x0514, data, 2);
  EXPECT_EQ(ErrorOf(m), kOk);
  EXPECT_TRUE(Sent().empty());

  m.SetEWrite(true);
  fp.io->QueueAnswer(Answer10x({}));
  m.WriteRtc2kP(0x0514, data, 2);
  EXPECT_EQ(ErrorOf(m), kOk);
  ASSERT_EQ(Sent().size(), 1u);
  const auto& f = Sent()[0];
  EXPECT_EQ(std::vector<uint8_t>(f.begin() + 3, f.end() - 1), Hex("0F 81 04 05 14 5A A5"));

  // The command word's high byte is the group, its low byte the code.
  fp.io->QueueAnswer(Answer10x({}));
  m.CustomWriteRtc2k(0x0E85, 0x0102, data, 2);
  EXPECT_EQ(ErrorOf(m), kOk);
  EXPECT_EQ(Sent().back(), Hex("55 01 FE 0E 85 04 01 02 5A A5 12"));
  m.SetEWrite(false);
  m.CustomWriteRtc2k(0x0E85, 0x0102, data, 2);
  EXPECT_EQ(Sent().size(), 2u);
}

TEST_F(Protocol10x, SecurityBlockIsSentWhateverEWriteSays) {
  std::array<uint8_t, 64> block;
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i);
  fp.io->QueueAnswer(Answer10x({}));
  m.WriteSecurity(block);
  EXPECT_EQ(ErrorOf(m), kOk);
  ASSERT_EQ(Sent().size(), 1u);
  EXPECT_EQ(Sent()[0][3], 0x0F);
  EXPECT_EQ(Sent()[0][4], 0x91);
  EXPECT_EQ(SentData(), std::vector<uint8_t>(block.begin(), block.end()));
}

TEST_F(Protocol10x, WritesThatCannotFitAFrameSendNothing) {
  m.SetEWrite(true);
  std::vector<uint8_t> big(247, 1);
  m.WriteRtc2k(0, big, 247);
  EXPECT_EQ(ErrorOf(m), kWrongSize);
  m.WriteRtc2k(0, std::span<const uint8_t>(big).first(4), 5);  // fewer bytes than the count
  EXPECT_EQ(ErrorOf(m), kWrongSize);
  m.WriteRtc2kP(0, nullptr, 1);
  EXPECT_EQ(ErrorOf(m), kWrongSize);
  std::vector<uint8_t> big128(248, 1);
  m.WriteRtc128(0, big128, 248);
  EXPECT_EQ(ErrorOf(m), kWrongSize);
  EXPECT_TRUE(Sent().empty());

  fp.io->QueueAnswer(Answer10x({}));
  m.WriteRtc2k(0, big, 246);  // the largest write: a 255-byte frame
  EXPECT_EQ(ErrorOf(m), kOk);
  ASSERT_EQ(Sent().size(), 1u);
  EXPECT_EQ(Sent()[0].size(), 255u);
}

TEST_F(Protocol10x, ClockIsSetFromTheLocalTimeSource) {
  m.SetLocalTimeSource(FixedLocalTime);
  m.SetEWrite(true);
  fp.io->QueueAnswer(Answer10x(Hex("01 02")));
  m.SetDateTime();
  EXPECT_EQ(ErrorOf(m), kOk);
  ASSERT_EQ(Sent().size(), 1u);
  EXPECT_EQ(Sent()[0][4], 0x82);
  EXPECT_EQ(SentData(), Hex("00 09 00 07 00 14 00 03 05 03 24"));
  // The answer's data overwrites the start of the clock image.
  EXPECT_EQ(m.ClockBuf()[0], 0x01);
  EXPECT_EQ(m.ClockBuf()[1], 0x02);
  EXPECT_EQ(m.ClockBuf()[2], 0x07);

  m.SetEWrite(false);
  m.SetDateTime();
  EXPECT_EQ(ErrorOf(m), kOk);
  EXPECT_EQ(Sent().size(), 1u);
}

TEST_F(Protocol10x, WriteRtc128ReturnsTheAnswerInTheCallersBuffer) {
  m.SetEWrite(true);
  fp.io->QueueAnswer(Answer10x(Hex("AA BB CC DD EE")));
  std::array<uint8_t, 3> buf = {1, 2, 3};
  m.WriteRtc128(0x20, buf, 3);
  EXPECT_EQ(ErrorOf(m), kOk);
  EXPECT_EQ(SentData(), Hex("20 01 02 03"));
  EXPECT_EQ(buf, (std::array<uint8_t, 3>{0xAA, 0xBB, 0xCC}));
}

TEST_F(Protocol10x, ReadsNeverWritePastTheCallersBuffer) {
  std::vector<uint8_t> data(40);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(0x80 + i);
  fp.io->QueueAnswer(Answer10x(data));
  fp.io->QueueAnswer(Answer10x(data));
  std::array<uint8_t, 12> guarded;
  guarded.fill(0xEE);
  m.ReadRtc2kP(0x07E0, guarded.data() + 4, 4);
  EXPECT_EQ(ErrorOf(m), kOk);  // the caller got every byte it asked for
  EXPECT_EQ(guarded, (std::array<uint8_t, 12>{0xEE, 0xEE, 0xEE, 0xEE, 0x80, 0x81, 0x82, 0x83, 0xEE,
                                              0xEE, 0xEE, 0xEE}));
  m.ReadRAM(0, std::span<uint8_t>(guarded).subspan(8, 2), 2);
  EXPECT_EQ(guarded[9], 0x81);
  EXPECT_EQ(guarded[10], 0xEE);
  EXPECT_EQ(m.LastDataLength(), 40);
}

TEST_F(Protocol10x, AnswerWithFewerBytesThanAskedForFails) {
  std::array<uint8_t, 8> record;
  record.fill(0xEE);
  fp.io->QueueAnswer(Answer10x(Hex("DE 2A 00 00")));
  m.ReadRtc2k(1496, record, 8);
  EXPECT_EQ(ErrorOf(m), kWrongSize);
  EXPECT_EQ(Sent().size(), 1u);  // the answer was intact: not asked again
  EXPECT_EQ(record, (std::array<uint8_t, 8>{0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}));
}

TEST_F(Protocol10x, CurrentValuesBlock) {
  fp.io->QueueAnswer(
      Answer10x(Hex("00 00 00 01 12 34 56 78 FF FF FF FE 3F 80 00 00 99"), 1, 0x0C, 0));
  TSfrTekValues v;
  m.GetSfrTek(v);
  EXPECT_EQ(ErrorOf(m), kOk);
  EXPECT_EQ(v.values, (std::array<uint32_t, 4>{1, 0x12345678, 0xFFFFFFFE, 0x3F800000}));

  // Fewer than 16 data bytes cannot fill the record.
  fp.io->QueueAnswer(Answer10x(Hex("00 00 00 02 00 00 00 03"), 1, 0x0C, 0));
  m.GetSfrTek(v);
  EXPECT_EQ(ErrorOf(m), kWrongSize);
  EXPECT_EQ(v.values[0], 1u);
}

TEST_F(Protocol10x, CurrentValuesOnAClosedPortEndAtOnceWithoutOpening) {
  fp.port.Close();
  m.SetAutoOpenPort(true);
  TSfrTekValues v;
  m.GetSfrTek(v);
  EXPECT_EQ(ErrorOf(m), kPortNotOpen);
  EXPECT_EQ(fp.io->Opens(), 1u);
  EXPECT_EQ(fp.io->NowMs(), 0u);
}

TEST_F(Protocol10x, BareCommandsAndUnlock) {
  fp.io->QueueAnswer(Answer10x(Hex("07"), 1, 0x77, 0x77));
  EXPECT_EQ(m.SendCmd(0x7777), 0x07);
  EXPECT_EQ(Sent()[0], Hex("55 01 FE 77 77 00 BD"));
  fp.io->QueueAnswer(Answer10x(Hex("07 08")));
  EXPECT_EQ(m.SendCmd(0x7777), 0xFF);
  EXPECT_EQ(ErrorOf(m), kOk);

  std::string s;
  fp.io->QueueAnswer(Answer10x(Hex("11 00")));
  m.UnlockWrite(s);
  EXPECT_EQ(s, "17");
  EXPECT_EQ(Sent().back(), Hex("55 01 FE 0F F1 00 AB"));
  fp.io->QueueAnswer(Answer10x({}));
  m.UnlockWrite(s);
  EXPECT_EQ(ErrorOf(m), kWrongSize);
  EXPECT_EQ(s, "");
}

TEST_F(Protocol10x, DeviceDetectionFromTheIdentification) {
  const auto id = [](const char* text) {
    std::string t(text);
    return Answer10x(std::vector<uint8_t>(t.begin(), t.end()), 1, 0, 0);
  };
  fp.io->QueueAnswer(id("ZEB-104.2 v3"));
  EXPECT_EQ(m.DetectDevice(), 1u);
  fp.io->QueueAnswer(id("xFUL-105"));
  EXPECT_EQ(m.DetectDevice(), 3u);
  fp.io->QueueAnswer(id("FUL-107 FUL-105"));  // first match in table order wins
  EXPECT_EQ(m.DetectDevice(), 3u);
  fp.io->QueueAnswer(id("FUL-107"));
  EXPECT_EQ(m.DetectDevice(), 5u);
  fp.io->QueueAnswer(id("zeb-104"));
  EXPECT_EQ(m.DetectDevice(), 0u);
  EXPECT_EQ(m.DetectDevice(), 0u);  // silence
  EXPECT_EQ(ErrorOf(m), kNoAnswer);
  EXPECT_EQ(m.DeviceType(), 0u);
}

}  // namespace
}  // namespace oxa
