// The master against a scripted device on virtual time: bytes on the wire, codes, poll counts
// and milliseconds spent.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "protocols/oxa10xProtocol.h"
#include "protocols/oxaModBusProtocol.h"
#include "serial/OxaUtils.h"
#include "tests/support/FakeComPortIo.h"

namespace oxa {
namespace {

using enum TOxaError;
using testing::ErrorOf;

using testing::Hex;
using testing::TFakePort;
using testing::WithCrc;

class ModbusMaster : public ::testing::Test {
 protected:
  ModbusMaster() {
    master.SetComPort(&fake.port);
    master.SetNetAddr(1);
  }
  std::string SentHex(size_t i) const { return HexBytes(fake.io->Requests().at(i)); }
  size_t Sent() const {
    size_t n = 0;
    for (const auto& r : fake.io->Requests()) n += r.empty() ? 0 : 1;
    return n;
  }

  TFakePort fake;
  ToxaModBusProtocol master;
};

TEST_F(ModbusMaster, ReadsRegistersAndRecordsTheRequestText) {
  fake.io->QueueAnswer(WithCrc(Hex("01 03 02 12 34")));
  std::array<uint8_t, 4> buf{0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_TRUE(master.ReadHoldingRegisters(0, 1, buf));
  EXPECT_EQ(ErrorOf(master), kOk);
  EXPECT_EQ(master.LastException(), 0);
  EXPECT_EQ(HexBytes(buf), "12 34 EE EE ");
  EXPECT_EQ(SentHex(0), "01 03 00 00 00 01 84 0A ");
  EXPECT_EQ(master.LastSent(), "01 03 00 00 00 01 84 0A ");
}

TEST_F(ModbusMaster, TakesTheAnswerTheMomentItIsThere) {
  // The answer's last byte arrives at 3 + 6 × 1 ms; no fixed 10 ms wait is added anywhere.
  fake.io->QueueAnswer(WithCrc(Hex("01 03 02 12 34")), 3, 1);
  std::array<uint8_t, 2> buf{};
  EXPECT_TRUE(master.ReadHoldingRegisters(0, 1, buf));
  EXPECT_EQ(fake.io->NowMs(), 9u);
  EXPECT_EQ(fake.io->SleptMs(), 0u);
}

TEST_F(ModbusMaster, AnswerFromAnotherAddressIsAccepted) {
  // With address 0 a technician reaches a device whose address is unknown.
  fake.io->QueueAnswer(WithCrc(Hex("07 03 04 01 02 03 04")));
  std::array<uint8_t, 4> buf{};
  EXPECT_TRUE(master.ReadHoldingRegisters(10, 2, buf));
  EXPECT_EQ(HexBytes(buf), "01 02 03 04 ");
}

TEST_F(ModbusMaster, ReadsAnArchiveBlockOf133Bytes) {
  std::vector<uint8_t> answer = {0x01, 0x41, 0x80};
  for (int i = 0; i < 128; ++i) answer.push_back(static_cast<uint8_t>(i));
  fake.io->QueueAnswer(WithCrc(answer));
  std::array<uint8_t, 128> block{};
  EXPECT_TRUE(master.ReadArchiveBlock(0x0102, 1, block));
  EXPECT_EQ(SentHex(0), HexBytes(WithCrc(Hex("01 41 01 02 00 01"))));
  EXPECT_EQ(block[0], 0);
  EXPECT_EQ(block[127], 127);
}

TEST_F(ModbusMaster, ArchiveBlockIsTakenWhateverItsByteCountSays) {
  // The answer to function 65 is 133 bytes long by its function code; its block is all there.
  for (uint8_t count : {uint8_t{0x00}, uint8_t{0x7F}, uint8_t{0xFF}}) {
    std::vector<uint8_t> answer = {0x01, 0x41, count};
    for (int i = 0; i < 128; ++i) answer.push_back(static_cast<uint8_t>(0x80 + i / 2));
    fake.io->QueueAnswer(WithCrc(answer));
    std::array<uint8_t, 1024> buf{};
    EXPECT_TRUE(master.ReadArchiveBlock(7, 1, buf)) << int{count};
    EXPECT_EQ(buf[0], 0x80);
    EXPECT_EQ(buf[127], 0xBF);
    EXPECT_EQ(buf[128], 0x00);  // nothing beyond the block
  }
}

TEST_F(ModbusMaster, ExceptionAnswerFailsWithCode7AndKeepsTheExceptionCode) {
  std::array<uint8_t, 4> buf{0xEE, 0xEE, 0xEE, 0xEE};
  fake.io->QueueAnswer(WithCrc(Hex("01 83 02")));
  EXPECT_FALSE(master.ReadHoldingRegisters(9999, 2, buf));
  EXPECT_EQ(ErrorOf(master), kDeviceException);
  EXPECT_EQ(master.LastException(), 2);
  EXPECT_EQ(HexBytes(buf), "EE EE EE EE ");
  EXPECT_EQ(Sent(), 1u);  // a refusal is an answer: not repeated

  fake.io->QueueAnswer(WithCrc(Hex("01 C1 01")));
  EXPECT_FALSE(master.ReadArchiveBlock(0, 1, buf));
  EXPECT_EQ(master.LastException(), 1);

  fake.io->QueueAnswer(WithCrc(Hex("01 86 03")));
  EXPECT_FALSE(master.WriteSingleRegister(1, 2));
  EXPECT_EQ(ErrorOf(master), kDeviceException);
  EXPECT_EQ(master.LastException(), 3);

  master.SetEWrite(true);
  fake.io->QueueAnswer(WithCrc(Hex("01 90 04")));
  EXPECT_FALSE(master.WriteMultipleRegisters(1, 1, Hex("00 01")));
  EXPECT_EQ(master.LastException(), 4);

  std::string id = "old";
  fake.io->QueueAnswer(WithCrc(Hex("01 91 01")));
  master.GetDevID(id);
  EXPECT_EQ(ErrorOf(master), kDeviceException);
  EXPECT_EQ(master.LastException(), 1);
  EXPECT_EQ(id, "");

  // The next ordinary answer clears the exception code.
  fake.io->QueueAnswer(WithCrc(Hex("01 06 00 01 00 02")));
  EXPECT_TRUE(master.WriteSingleRegister(1, 2));
  EXPECT_EQ(master.LastException(), 0);
}

// Intact frames that do not answer the request as asked: what the device sends, the outcome,
// how often the request went out. The caller's buffer is never touched.
struct MismatchCase {
  const char* what;
  uint8_t function;  // of the request: 3 reads 2 registers, 65 one archive block, 17 the text
  std::vector<uint8_t> answer;
  TOxaError error;
  size_t sent;
};

class ModbusMismatch : public ModbusMaster, public ::testing::WithParamInterface<MismatchCase> {};

TEST_P(ModbusMismatch, IsRefusedWithoutTouchingTheBuffer) {
  const MismatchCase& c = GetParam();
  master.SetRepeatCount(2);
  for (int i = 0; i < 2; ++i) fake.io->QueueAnswer(WithCrc(c.answer));
  std::vector<uint8_t> buf(c.function == kFnReadArchiveBlock ? 128 : 4, 0xEE);
  std::string id = "kept";
  if (c.function == kFnReadHoldingRegisters) {
    EXPECT_FALSE(master.ReadHoldingRegisters(0, 2, buf));
  } else if (c.function == kFnReadArchiveBlock) {
    EXPECT_FALSE(master.ReadArchiveBlock(0, 1, buf));
  } else {
    master.GetDevID(id);
    EXPECT_EQ(id, "");
  }
  EXPECT_EQ(ErrorOf(master), c.error);
  EXPECT_EQ(Sent(), c.sent);
  EXPECT_EQ(buf, std::vector<uint8_t>(buf.size(), 0xEE));
}

std::vector<uint8_t> Fn3Answer(size_t data_bytes) {
  std::vector<uint8_t> answer = {0x01, 0x03, static_cast<uint8_t>(data_bytes)};
  answer.resize(3 + data_bytes, 0x42);
  return answer;
}

INSTANTIATE_TEST_SUITE_P(
    Answers, ModbusMismatch,
    ::testing::Values(
        // The byte count must be exactly 2 × the registers asked for; not asked again.
        MismatchCase{"fewer", kFnReadHoldingRegisters, Fn3Answer(2), kWrongSize, 1},
        MismatchCase{"none", kFnReadHoldingRegisters, Fn3Answer(0), kWrongSize, 1},
        MismatchCase{"more", kFnReadHoldingRegisters, Fn3Answer(6), kWrongSize, 1},
        MismatchCase{"250 bytes", kFnReadHoldingRegisters, Fn3Answer(250), kWrongSize, 1},
        // Another function's frame is no answer: asked again, like a damaged one.
        MismatchCase{"echo of a write", kFnReadHoldingRegisters, Hex("01 06 00 00 00 02"),
                     kWrongChecksum, 2},
        MismatchCase{"unknown function", kFnReadHoldingRegisters, Hex("01 07 02"), kWrongChecksum,
                     2},
        MismatchCase{"another exception", kFnReadHoldingRegisters, Hex("01 84 02"), kWrongChecksum,
                     2},
        MismatchCase{"registers for a block", kFnReadArchiveBlock, Fn3Answer(128), kWrongChecksum,
                     2},
        MismatchCase{"registers for the text", kFnReportDeviceId, Hex("01 03 02 41 42"),
                     kWrongChecksum, 2}),
    [](const auto& info) {
      std::string name = info.param.what;
      for (char& ch : name) {
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
      }
      return name;
    });

TEST_F(ModbusMaster, DataIsNeverCopiedPastTheCallersBuffer) {
  std::array<uint8_t, 2> small{0xEE, 0xEE};
  fake.io->QueueAnswer(WithCrc(Hex("01 03 04 01 02 03 04")));
  EXPECT_FALSE(master.ReadHoldingRegisters(0, 2, small));
  EXPECT_EQ(ErrorOf(master), kWrongSize);
  EXPECT_EQ(HexBytes(small), "EE EE ");

  // An archive block never goes into a buffer that cannot hold all of it.
  std::vector<uint8_t> answer = {0x01, 0x41, 0x80};
  answer.resize(131, 0x55);
  fake.io->QueueAnswer(WithCrc(answer));
  std::array<uint8_t, 127> short_block{};
  EXPECT_FALSE(master.ReadArchiveBlock(0, 1, short_block));
  EXPECT_EQ(ErrorOf(master), kWrongSize);
  EXPECT_EQ(short_block[0], 0);
  EXPECT_EQ(Sent(), 2u);
}

TEST_F(ModbusMaster, WrongCrcOnEveryAttemptGivesCode5) {
  master.SetRepeatCount(4);
  for (int i = 0; i < 4; ++i) fake.io->QueueAnswer(Hex("01 03 02 12 34 00 00"));
  std::array<uint8_t, 2> buf{0xEE, 0xEE};
  EXPECT_FALSE(master.ReadHoldingRegisters(0, 1, buf));
  EXPECT_EQ(ErrorOf(master), kWrongChecksum);
  EXPECT_EQ(Sent(), 4u);
  EXPECT_EQ(HexBytes(buf), "EE EE ");
}

TEST_F(ModbusMaster, RepeatsUntilAGoodAnswer) {
  fake.io->QueueSilence();
  fake.io->QueueAnswer(Hex("01 03 02 12 34 00 00"));
  fake.io->QueueAnswer(WithCrc(Hex("01 03 02 12 34")));
  std::array<uint8_t, 2> buf{};
  EXPECT_TRUE(master.ReadHoldingRegisters(0, 1, buf));
  EXPECT_EQ(Sent(), 3u);
  EXPECT_EQ(SentHex(0), SentHex(2));
}

TEST_F(ModbusMaster, NoAnswerCostsEachAttemptsTimeOut) {
  master.SetPacketTimeout(500);
  master.SetRepeatCount(3);
  std::array<uint8_t, 2> buf{};
  EXPECT_FALSE(master.ReadHoldingRegisters(0, 1, buf));
  EXPECT_EQ(ErrorOf(master), kNoAnswer);
  // Per attempt: the first 10 ms wait, then 51 empty polls of 10 ms; a late answer is listened
  // for before the port's next request, not here. No read ever goes to the line to find
  // nothing: each read follows a wait that found a byte.
  EXPECT_EQ(fake.io->NowMs(), 3u * 520u);
  EXPECT_EQ(fake.io->EmptyWaits(), 3u * (1u + 51u));
  EXPECT_EQ(fake.io->EmptyReads(), 0u);
  EXPECT_EQ(fake.io->SleptMs(), 0u);
  EXPECT_EQ(Sent(), 3u);
}

TEST_F(ModbusMaster, DeviceStoppingMidFrameTimesOutOnTheByteTimeout) {
  master.SetPacketTimeout(500);
  master.SetByteTimeout(40);
  master.SetRepeatCount(2);
  for (int i = 0; i < 2; ++i) fake.io->QueueAnswer(Hex("01 03 02 12"), 5);
  std::array<uint8_t, 2> buf{};
  EXPECT_FALSE(master.ReadHoldingRegisters(0, 1, buf));
  EXPECT_EQ(ErrorOf(master), kNoAnswer);
  // Per attempt: bytes in at 5 ms, then 5 empty polls of 10 ms for the fifth byte.
  EXPECT_EQ(fake.io->NowMs(), 2u * (5u + 50u));
  EXPECT_EQ(fake.io->EmptyWaits(), 2u * 5u);
}

TEST_F(ModbusMaster, ALateAnswerIsDroppedNotTakenForTheNextRequests) {
  // The device answers 700 ms after each request; the time-out is 500 ms.
  master.SetPacketTimeout(500);
  master.SetRepeatCount(1);
  fake.io->QueueAnswer(WithCrc(Hex("01 03 04 00 0A 00 0B")), 700);
  std::array<uint8_t, 4> buf{0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_FALSE(master.ReadHoldingRegisters(0, 2, buf));
  EXPECT_EQ(ErrorOf(master), kNoAnswer);
  // The attempt gives up at 520 ms, and the read reports then.
  EXPECT_EQ(fake.io->NowMs(), 520u);
  EXPECT_EQ(HexBytes(buf), "EE EE EE EE ");
  // The next read gets its own answer, not the values of registers 0 and 1: the late answer
  // comes at 700 ms while the line is listened out before the request, and goes.
  master.SetPacketTimeout(1000);
  fake.io->QueueAnswer(WithCrc(Hex("01 03 04 00 14 00 15")), 700);
  EXPECT_TRUE(master.ReadHoldingRegisters(2, 2, buf));
  EXPECT_EQ(HexBytes(buf), "00 14 00 15 ");
  EXPECT_EQ(fake.io->NowMs(), 700u + 40u + 700u);
  // A good answer on its first attempt leaves nothing to listen for, only the silence before
  // the next frame: 3.5 characters at 9600 bit/s, 4 ms in whole milliseconds.
  fake.io->QueueAnswer(WithCrc(Hex("01 03 04 00 16 00 17")), 700);
  EXPECT_TRUE(master.ReadHoldingRegisters(2, 2, buf));
  EXPECT_EQ(fake.io->NowMs(), 700u + 40u + 700u + 4u + 700u);

  // An answer to an earlier attempt of the same request is the answer: taken at once.
  master.SetPacketTimeout(500);
  master.SetRepeatCount(3);
  fake.io->QueueAnswer(WithCrc(Hex("01 03 04 00 1E 00 1F")), 700);
  fake.io->QueueSilence();
  const uint64_t start = fake.io->NowMs();
  EXPECT_TRUE(master.ReadHoldingRegisters(4, 2, buf));
  EXPECT_EQ(HexBytes(buf), "00 1E 00 1F ");
  EXPECT_EQ(Sent(), 5u);
  EXPECT_EQ(fake.io->NowMs() - start, 4u + 700u);
}

TEST_F(ModbusMaster, LateByteWithinTheLastWaitIsNotTaken) {
  master.SetPacketTimeout(50);
  master.SetRepeatCount(1);
  fake.io->QueueAnswer(WithCrc(Hex("01 03 02 12 34")), 65);
  std::array<uint8_t, 2> buf{};
  EXPECT_FALSE(master.ReadHoldingRegisters(0, 1, buf));
  EXPECT_EQ(ErrorOf(master), kNoAnswer);
  EXPECT_EQ(fake.io->EmptyWaits(), 1u + 5u);
  // Above: the byte came during the wait after the sixth empty poll, one poll too many. Here
  // it comes during the wait after the fifth, and the answer is taken.
  fake.io->QueueAnswer(WithCrc(Hex("01 03 02 12 34")), 55);
  EXPECT_TRUE(master.ReadHoldingRegisters(0, 1, buf));
}

TEST_F(ModbusMaster, ExtraBytesAfterTheFrameArePurgedBeforeTheNextRequest) {
  std::vector<uint8_t> answer = WithCrc(Hex("01 06 00 01 00 02"));
  answer.insert(answer.end(), {0xFF, 0xFF, 0xFF});
  fake.io->QueueAnswer(answer);
  EXPECT_TRUE(master.WriteSingleRegister(1, 2));
  EXPECT_EQ(fake.io->PendingInput(), 3u);
  EXPECT_EQ(SentHex(0), HexBytes(WithCrc(Hex("01 06 00 01 00 02"))));
  fake.io->QueueAnswer(WithCrc(Hex("01 03 02 00 07")), 30);
  std::array<uint8_t, 2> buf{};
  EXPECT_TRUE(master.ReadHoldingRegisters(0, 1, buf));
  EXPECT_EQ(buf[1], 7);
}

TEST_F(ModbusMaster, NoPortBoundGivesCode1AndSendsNothing) {
  ToxaModBusProtocol lone;
  std::array<uint8_t, 2> buf{0xEE, 0xEE};
  EXPECT_FALSE(lone.ReadHoldingRegisters(0, 1, buf));
  EXPECT_EQ(ErrorOf(lone), kNoPortOrWriteFailed);
  EXPECT_FALSE(lone.ReadArchiveBlock(0, 1, buf));
  EXPECT_FALSE(lone.WriteSingleRegister(0, 1));
  lone.SetEWrite(true);
  EXPECT_FALSE(lone.WriteMultipleRegisters(0, 1, buf));
  std::string id = "kept";
  lone.GetDevID(id);
  EXPECT_EQ(ErrorOf(lone), kNoPortOrWriteFailed);
  EXPECT_EQ(id, "kept");
  EXPECT_EQ(lone.LastSent(), "");
  EXPECT_EQ(HexBytes(buf), "EE EE ");
}

TEST_F(ModbusMaster, RequestGoesOutInOneWrite) {
  fake.io->QueueAnswer(WithCrc(Hex("01 10 00 01 00 02")));
  master.SetEWrite(true);
  EXPECT_TRUE(master.WriteMultipleRegisters(1, 2, Hex("00 0A 01 02")));
  EXPECT_EQ(fake.io->WriteCalls(), 1u);
}

// Link failures end the operation at once, with no further attempt and no time-out waited
// out: what happens to the port, the code, the requests sent, the virtual time spent.
struct LinkCase {
  const char* what;
  int fail_write_after;
  uint64_t lose_at_ms;
  bool close_port;
  TOxaError error;
  size_t sent;
  uint64_t ms;
};

class ModbusLink : public ModbusMaster, public ::testing::WithParamInterface<LinkCase> {};

TEST_P(ModbusLink, FailsAtOnce) {
  const LinkCase& c = GetParam();
  fake.io->fail_write_after = c.fail_write_after;
  fake.io->lose_at_ms = c.lose_at_ms;
  if (c.close_port) fake.port.Close();
  fake.io->QueueAnswer(WithCrc(Hex("01 03 02 12 34")), 25, 10);
  std::array<uint8_t, 2> buf{0xEE, 0xEE};
  EXPECT_FALSE(master.ReadHoldingRegisters(0, 1, buf));
  EXPECT_EQ(ErrorOf(master), c.error);
  EXPECT_EQ(Sent(), c.sent);
  EXPECT_EQ(fake.io->NowMs(), c.ms);
  EXPECT_EQ(HexBytes(buf), "EE EE ");
}

INSTANTIATE_TEST_SUITE_P(
    Failures, ModbusLink,
    ::testing::Values(
        // The request does not go out whole: the text shows what was started.
        LinkCase{"write fails", 3, UINT64_MAX, false, kNoPortOrWriteFailed, 1, 0},
        // The adapter is pulled before the answer, or in its middle.
        LinkCase{"lost before the answer", -1, 12, false, kNoPortOrWriteFailed, 1, 20},
        LinkCase{"lost mid answer", -1, 40, false, kNoPortOrWriteFailed, 1, 45},
        // Nothing is sent on a port that is not open.
        LinkCase{"port closed", -1, UINT64_MAX, true, kPortNotOpen, 0, 0}),
    [](const auto& info) {
      std::string name = info.param.what;
      for (char& ch : name) {
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
      }
      return name;
    });

TEST_F(ModbusMaster, OnAnEchoingLineTheRequestIsTakenOffTheLineFirst) {
  std::array<uint8_t, 2> buf{};
  master.SetRepeatCount(2);
  fake.io->echo_line = true;
  // Without the echo option the returned request reads as a damaged answer.
  fake.io->QueueAnswer(WithCrc(Hex("01 03 02 12 34")));
  fake.io->QueueAnswer(WithCrc(Hex("01 03 02 12 34")));
  EXPECT_FALSE(master.ReadHoldingRegisters(0, 1, buf));
  EXPECT_EQ(ErrorOf(master), kWrongChecksum);

  fake.port.SetDeviceMap({{1, "/dev/ttyUSB0 echo"}});
  ASSERT_TRUE(fake.port.Open());
  EXPECT_TRUE(fake.port.Echo());
  fake.io->QueueAnswer(WithCrc(Hex("01 03 02 12 34")));
  EXPECT_TRUE(master.ReadHoldingRegisters(0, 1, buf));
  EXPECT_EQ(HexBytes(buf), "12 34 ");

  // Another station talked over the request: asked again, then reported as a write failure.
  fake.io->alter_echo_at = 3;
  const size_t sent = Sent();
  EXPECT_FALSE(master.ReadHoldingRegisters(0, 1, buf));
  EXPECT_EQ(ErrorOf(master), kNoPortOrWriteFailed);
  EXPECT_TRUE(master.EchoFailed());
  EXPECT_EQ(Sent() - sent, 2u);

  // Only the first request altered, the second intact but unanswered: the altered request is
  // still what went wrong, the same outcome every time.
  fake.io->alter_echo_count = 1;
  fake.io->QueueSilence();
  fake.io->QueueSilence();
  EXPECT_FALSE(master.ReadHoldingRegisters(0, 1, buf));
  EXPECT_EQ(ErrorOf(master), kNoPortOrWriteFailed);
  EXPECT_TRUE(master.EchoFailed());

  // A line that does not echo although the option says so.
  fake.io->alter_echo_at = -1;
  fake.io->echo_line = false;
  EXPECT_FALSE(master.ReadHoldingRegisters(0, 1, buf));
  EXPECT_TRUE(master.EchoFailed());
}

TEST_F(ModbusMaster, AFailedWriteStillShowsTheRequestItStarted) {
  fake.io->fail_write_after = 3;
  std::array<uint8_t, 2> buf{};
  EXPECT_FALSE(master.ReadHoldingRegisters(0, 1, buf));
  EXPECT_EQ(master.LastSent(), "01 03 00 00 00 01 84 0A ");
  fake.port.Close();
  EXPECT_FALSE(master.WriteSingleRegister(1, 1));
  EXPECT_TRUE(master.WriteMultipleRegisters(1, 1, Hex("00 01")));  // suppressed: nothing to send
  EXPECT_EQ(master.LastSent(), "01 03 00 00 00 01 84 0A ");
}

TEST_F(ModbusMaster, EWriteGatesFunction16Only) {
  const std::vector<uint8_t> data = Hex("00 0A 01 02");
  EXPECT_FALSE(master.EWrite());
  EXPECT_TRUE(master.WriteMultipleRegisters(1, 2, data));
  EXPECT_EQ(ErrorOf(master), kOk);
  EXPECT_EQ(Sent(), 0u);
  fake.io->QueueAnswer(WithCrc(Hex("01 06 00 01 00 03")));
  EXPECT_TRUE(master.WriteSingleRegister(1, 3));
  EXPECT_EQ(Sent(), 1u);

  master.SetEWrite(true);
  fake.io->QueueAnswer(WithCrc(Hex("01 10 00 01 00 02")));
  EXPECT_TRUE(master.WriteMultipleRegisters(1, 2, data));
  EXPECT_EQ(SentHex(1), HexBytes(WithCrc(Hex("01 10 00 01 00 02 04 00 0A 01 02"))));
  EXPECT_EQ(master.LastSent(), SentHex(1));
}

TEST_F(ModbusMaster, WriteMultipleRefusesCountsOutsideOneFrame) {
  master.SetEWrite(true);
  std::vector<uint8_t> data(2 * 124, 0);
  EXPECT_FALSE(master.WriteMultipleRegisters(0, 124, data));
  EXPECT_EQ(ErrorOf(master), kWrongSize);
  EXPECT_FALSE(master.WriteMultipleRegisters(0, 0, data));
  EXPECT_FALSE(master.WriteMultipleRegisters(0, 3, std::span(data).first(4)));
  EXPECT_EQ(Sent(), 0u);
}

TEST_F(ModbusMaster, DeviceIdentificationSkipsControlBytes) {
  // Text "A", 0x14 (skipped), 0x15 (kept), "Б" in code page 1251, "1".
  fake.io->QueueAnswer(WithCrc(Hex("01 11 00 05 41 14 15 C1 31")));
  std::string id = "old";
  master.GetDevID(id);
  EXPECT_EQ(ErrorOf(master), kOk);
  EXPECT_EQ(id,
            "A\x15\xD0\x91"
            "1");
  EXPECT_EQ(SentHex(0), "01 11 C0 2C ");

  fake.io->QueueAnswer(WithCrc(Hex("01 11 00 00")));
  master.GetDevID(id);
  EXPECT_EQ(ErrorOf(master), kOk);
  EXPECT_EQ(id, "");
}

TEST_F(ModbusMaster, AStandardIdentificationIsTakenWithItsFields) {
  // A pymodbus server on the same line answers in the standard layout, at once.
  fake.io->QueueAnswer(Hex("01 11 09 50 79 6D 6F 64 62 75 73 FF 8D DC"), 5);
  std::string id;
  master.GetDevID(id);
  EXPECT_EQ(ErrorOf(master), kOk);
  EXPECT_EQ(id, "Pymodbus (run on)");
  EXPECT_EQ(fake.io->NowMs(), 5u);
  ASSERT_TRUE(master.StandardId().has_value());
  EXPECT_EQ(HexBytes(master.StandardId()->server_id), "50 79 6D 6F 64 62 75 73 ");
  EXPECT_EQ(master.StandardId()->run_indicator, 0xFF);
  EXPECT_TRUE(master.StandardId()->additional_data.empty());
  // The meters' layout, as before, and no standard fields.
  fake.io->QueueAnswer(WithCrc(Hex("01 11 04 03 46 55 4C")));
  master.GetDevID(id);
  EXPECT_EQ(id, "FUL");
  EXPECT_FALSE(master.StandardId().has_value());
}

// The standard functions: the request on the wire, the device's answer, the outcome, and the
// data taken (hex of the caller's buffer, which stays EE where nothing was taken).
struct StandardCase {
  const char* what;
  const char* answer;  // without its CRC
  const char* sent;    // without its CRC
  TOxaError error;
  const char* data;
  bool (*run)(ToxaModBusProtocol&, std::span<uint8_t>);
};

TEST_F(ModbusMaster, StandardFunctionsCheckTheAnswerAgainstTheRequest) {
  const StandardCase cases[] = {
      {"coils", "01 01 02 CD 01", "01 01 00 13 00 0A", kOk, "CD 01 EE EE ",
       [](ToxaModBusProtocol& m, std::span<uint8_t> b) { return m.ReadCoils(0x13, 10, b); }},
      {"coils, a byte short", "01 01 01 CD", "01 01 00 13 00 0A", kWrongSize, "EE EE EE EE ",
       [](ToxaModBusProtocol& m, std::span<uint8_t> b) { return m.ReadCoils(0x13, 10, b); }},
      {"discretes", "01 02 01 05", "01 02 00 00 00 03", kOk, "05 EE EE EE ",
       [](ToxaModBusProtocol& m, std::span<uint8_t> b) { return m.ReadDiscreteInputs(0, 3, b); }},
      {"input registers", "01 04 02 00 0A", "01 04 00 08 00 01", kOk, "00 0A EE EE ",
       [](ToxaModBusProtocol& m, std::span<uint8_t> b) { return m.ReadInputRegisters(8, 1, b); }},
      {"input registers, too many", "01 04 04 00 0A 00 0B", "01 04 00 08 00 01", kWrongSize,
       "EE EE EE EE ",
       [](ToxaModBusProtocol& m, std::span<uint8_t> b) { return m.ReadInputRegisters(8, 1, b); }},
      {"coil on", "01 05 00 AC FF 00", "01 05 00 AC FF 00", kOk, "EE EE EE EE ",
       [](ToxaModBusProtocol& m, std::span<uint8_t>) { return m.WriteSingleCoil(0xAC, true); }},
      {"coil echo off", "01 05 00 AC 00 00", "01 05 00 AC FF 00", kWrongSize, "EE EE EE EE ",
       [](ToxaModBusProtocol& m, std::span<uint8_t>) { return m.WriteSingleCoil(0xAC, true); }},
      {"coils written", "01 0F 00 13 00 0A", "01 0F 00 13 00 0A 02 CD 01", kOk, "EE EE EE EE ",
       [](ToxaModBusProtocol& m, std::span<uint8_t>) {
         return m.WriteMultipleCoils(0x13, 10, Hex("CD 01"));
       }},
      {"coils echo count", "01 0F 00 13 00 09", "01 0F 00 13 00 0A 02 CD 01", kWrongSize,
       "EE EE EE EE ",
       [](ToxaModBusProtocol& m, std::span<uint8_t>) {
         return m.WriteMultipleCoils(0x13, 10, Hex("CD 01"));
       }},
      {"read-write", "01 17 04 00 FE 0A CD", "01 17 00 03 00 02 00 0E 00 01 02 00 FF", kOk,
       "00 FE 0A CD ",
       [](ToxaModBusProtocol& m, std::span<uint8_t> b) {
         return m.ReadWriteRegisters(3, 2, 14, 1, Hex("00 FF"), b);
       }},
      {"read-write, short", "01 17 02 00 FE", "01 17 00 03 00 02 00 0E 00 01 02 00 FF", kWrongSize,
       "EE EE EE EE ",
       [](ToxaModBusProtocol& m, std::span<uint8_t> b) {
         return m.ReadWriteRegisters(3, 2, 14, 1, Hex("00 FF"), b);
       }},
      {"refused", "01 82 02", "01 02 00 00 00 03", kDeviceException, "EE EE EE EE ",
       [](ToxaModBusProtocol& m, std::span<uint8_t> b) { return m.ReadDiscreteInputs(0, 3, b); }},
  };
  master.SetEWrite(true);
  master.SetRepeatCount(1);
  for (const StandardCase& c : cases) {
    SCOPED_TRACE(c.what);
    fake.io->QueueAnswer(WithCrc(Hex(c.answer)));
    std::array<uint8_t, 4> buf{0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(c.run(master, buf), c.error == kOk);
    EXPECT_EQ(ErrorOf(master), c.error);
    EXPECT_EQ(master.LastSent(), HexBytes(WithCrc(Hex(c.sent))));
    EXPECT_EQ(HexBytes(buf), c.data);
  }
}

TEST_F(ModbusMaster, CoilWritesAreGatedAndGoToEveryDeviceWithoutAnAnswer) {
  EXPECT_TRUE(master.WriteSingleCoil(1, true));
  EXPECT_TRUE(master.WriteMultipleCoils(1, 1, Hex("01")));
  std::array<uint8_t, 2> buf{};
  EXPECT_FALSE(master.ReadWriteRegisters(0, 1, 0, 1, Hex("00 01"), buf));
  EXPECT_EQ(ErrorOf(master), kNoAnswer);
  EXPECT_EQ(Sent(), 0u);

  master.SetEWrite(true);
  master.SetNetAddr(0);
  master.SetAnswerExpected(false);
  EXPECT_TRUE(master.WriteSingleCoil(7, false));
  EXPECT_EQ(SentHex(0), HexBytes(WithCrc(Hex("00 05 00 07 00 00"))));
  EXPECT_EQ(ErrorOf(master), kOk);
}

TEST_F(ModbusMaster, DeviceIdentificationObjectsAndTheirReadCode) {
  fake.io->QueueAnswer(WithCrc(Hex("01 2B 0E 01 81 00 00 02 00 03 41 42 43 01 01 58")));
  TModbusDeviceIdPage page;
  EXPECT_TRUE(master.ReadDeviceIdentification(1, 0, page));
  EXPECT_EQ(SentHex(0), "01 2B 0E 01 00 70 77 ");
  ASSERT_EQ(page.objects.size(), 2u);
  EXPECT_EQ(page.objects[0].value, Hex("41 42 43"));
  EXPECT_FALSE(page.more);
  // Answered as another read code: not what was asked for.
  fake.io->QueueAnswer(WithCrc(Hex("01 2B 0E 01 81 00 00 00")));
  EXPECT_FALSE(master.ReadDeviceIdentification(2, 0, page));
  EXPECT_EQ(ErrorOf(master), kWrongSize);
  // A Modbus address up to 247 is taken; beyond, the setter ignores it.
  master.SetNetAddr(247);
  master.SetNetAddr(248);
  EXPECT_EQ(master.NetAddr(), 247);
}

TEST_F(ModbusMaster, DeviceIdentificationNeedsAnOpenPort) {
  fake.port.Close();
  std::string id = "kept";
  master.GetDevID(id);
  EXPECT_EQ(ErrorOf(master), kPortNotOpen);
  EXPECT_EQ(id, "kept");
  EXPECT_EQ(Sent(), 0u);

  fake.io->fail_open = true;
  master.SetAutoOpenPort(true);
  master.GetDevID(id);
  EXPECT_EQ(ErrorOf(master), kPortNotOpen);

  fake.io->fail_open = false;
  fake.io->QueueAnswer(WithCrc(Hex("01 11 00 02 4F 4B")));
  master.GetDevID(id);
  EXPECT_EQ(ErrorOf(master), kOk);
  EXPECT_EQ(id, "OK");
  EXPECT_TRUE(fake.port.Opened());  // left open for the caller to close
}

// A master whose port leads to a Modbus TCP server.
class ModbusTcpMaster : public ModbusMaster {
 protected:
  ModbusTcpMaster() {
    fake.port.SetDeviceMap({{2, "modbus-tcp://gateway"}});
    fake.port.SetComPort(2);
    fake.port.Open();
  }
};

TEST_F(ModbusTcpMaster, TakesOnlyTheAnswerOfItsOwnTransaction) {
  EXPECT_EQ(fake.io->OpenedDevice(), "modbus-tcp://gateway:502");
  // An earlier transaction's answer comes first: dropped, and the same attempt takes its own.
  std::vector<uint8_t> answers = Hex("00 00 00 00 00 05 01 03 02 99 99");
  for (uint8_t b : Hex("00 01 00 00 00 05 01 03 02 12 34")) answers.push_back(b);
  fake.io->QueueAnswer(answers);
  std::array<uint8_t, 2> buf{};
  EXPECT_TRUE(master.ReadHoldingRegisters(0, 1, buf));
  EXPECT_EQ(HexBytes(buf), "12 34 ");
  EXPECT_EQ(Sent(), 1u);
  EXPECT_EQ(master.LastSent(), "00 01 00 00 00 06 01 03 00 00 00 01 ");

  // The next request has the next transaction id; an exception is code 7 as on a line.
  fake.io->QueueAnswer(Hex("00 02 00 00 00 03 01 86 02"));
  EXPECT_FALSE(master.WriteSingleRegister(5, 7));
  EXPECT_EQ(ErrorOf(master), kDeviceException);
  EXPECT_EQ(master.LastException(), 2);
  EXPECT_EQ(SentHex(1), "00 02 00 00 00 06 01 06 00 05 00 07 ");

  // Only a stale answer: no answer, at the packet time-out from the request.
  master.SetRepeatCount(1);
  fake.io->QueueAnswer(Hex("00 02 00 00 00 03 01 86 02"));
  const uint64_t start = fake.io->NowMs();
  EXPECT_FALSE(master.ReadHoldingRegisters(0, 1, buf));
  EXPECT_EQ(ErrorOf(master), kNoAnswer);
  EXPECT_EQ(fake.io->NowMs() - start, master.PacketTimeout());
  EXPECT_EQ(HexBytes(buf), "12 34 ");

  // Another unit id, or a header that disagrees with the data: code 5.
  fake.io->QueueAnswer(Hex("00 04 00 00 00 05 02 03 02 56 78"));
  EXPECT_FALSE(master.ReadHoldingRegisters(0, 1, buf));
  EXPECT_EQ(ErrorOf(master), kWrongChecksum);
  fake.io->QueueAnswer(Hex("00 05 00 00 00 04 01 03 02 56"));
  EXPECT_FALSE(master.ReadHoldingRegisters(0, 1, buf));
  EXPECT_EQ(ErrorOf(master), kWrongChecksum);
  EXPECT_EQ(HexBytes(buf), "12 34 ");
}

TEST_F(ModbusTcpMaster, The10xProtocolSendsNothing) {
  Toxa10xProtocol master10x;
  master10x.SetComPort(&fake.port);
  std::string text;
  master10x.GetDevID(text);
  EXPECT_EQ(ErrorOf(master10x), kNoPortOrWriteFailed);
  EXPECT_EQ(Sent(), 0u);
}

}  // namespace
}  // namespace oxa
