// The master against a scripted device on virtual time: bytes on the wire, codes, poll counts
// and milliseconds spent.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "protocols/oxaModBusProtocol.h"
#include "serial/OxaUtils.h"
#include "tests/support/FakeComPortIo.h"

namespace oxa {
namespace {

using testing::FakePort;
using testing::Hex;
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

  FakePort fake;
  ToxaModBusProtocol master;
};

TEST_F(ModbusMaster, ReadsRegistersAndRecordsTheRequestText) {
  fake.io->QueueAnswer(WithCrc(Hex("01 03 02 12 34")));
  std::array<uint8_t, 4> buf{0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_TRUE(master.ReadHoldingRegisters(0, 1, buf));
  EXPECT_EQ(master.LastError(), 0u);
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

TEST_F(ModbusMaster, AnswerFromAnotherAddressOrFunctionIsAccepted) {
  fake.io->QueueAnswer(WithCrc(Hex("07 03 04 01 02 03 04")));
  std::array<uint8_t, 4> buf{};
  EXPECT_TRUE(master.ReadHoldingRegisters(10, 2, buf));
  EXPECT_EQ(HexBytes(buf), "01 02 03 04 ");
  // A function 3 answer to an archive request carries its byte count of data.
  std::vector<uint8_t> answer = {0x01, 0x03, 0x80, 0xAA, 0xBB};
  answer.resize(3 + 128, 0x11);
  fake.io->QueueAnswer(WithCrc(answer));
  std::array<uint8_t, 128> block{};
  EXPECT_TRUE(master.ReadArchiveBlock(5, 1, block));
  EXPECT_EQ(block[0], 0xAA);
  EXPECT_EQ(block[1], 0xBB);
  EXPECT_EQ(block[127], 0x11);
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
  EXPECT_EQ(master.LastError(), 7u);
  EXPECT_EQ(master.LastException(), 2);
  EXPECT_EQ(HexBytes(buf), "EE EE EE EE ");
  EXPECT_EQ(Sent(), 1u);  // a refusal is an answer: not repeated

  fake.io->QueueAnswer(WithCrc(Hex("01 C1 01")));
  EXPECT_FALSE(master.ReadArchiveBlock(0, 1, buf));
  EXPECT_EQ(master.LastException(), 1);

  fake.io->QueueAnswer(WithCrc(Hex("01 86 03")));
  EXPECT_FALSE(master.WriteSingleRegister(1, 2));
  EXPECT_EQ(master.LastError(), 7u);
  EXPECT_EQ(master.LastException(), 3);

  master.SetEWrite(true);
  fake.io->QueueAnswer(WithCrc(Hex("01 90 04")));
  EXPECT_FALSE(master.WriteMultipleRegisters(1, 1, Hex("00 01")));
  EXPECT_EQ(master.LastException(), 4);

  std::string id = "old";
  fake.io->QueueAnswer(WithCrc(Hex("01 91 01")));
  master.GetDevID(id);
  EXPECT_EQ(master.LastError(), 7u);
  EXPECT_EQ(master.LastException(), 1);
  EXPECT_EQ(id, "");

  // The next ordinary answer clears the exception code.
  fake.io->QueueAnswer(WithCrc(Hex("01 06 00 01 00 02")));
  EXPECT_TRUE(master.WriteSingleRegister(1, 2));
  EXPECT_EQ(master.LastException(), 0);
}

TEST_F(ModbusMaster, DataThatDoesNotFitOrFallsShortIsNeverCopied) {
  std::array<uint8_t, 2> small{0xEE, 0xEE};
  fake.io->QueueAnswer(WithCrc(Hex("01 03 04 01 02 03 04")));
  EXPECT_FALSE(master.ReadHoldingRegisters(0, 2, small));
  EXPECT_EQ(master.LastError(), 3u);
  EXPECT_EQ(HexBytes(small), "EE EE ");
  EXPECT_EQ(Sent(), 1u);

  // An archive block never goes into a buffer that cannot hold all of it.
  std::vector<uint8_t> answer = {0x01, 0x41, 0x80};
  answer.resize(131, 0x55);
  fake.io->QueueAnswer(WithCrc(answer));
  std::array<uint8_t, 127> short_block{};
  EXPECT_FALSE(master.ReadArchiveBlock(0, 1, short_block));
  EXPECT_EQ(master.LastError(), 3u);
  EXPECT_EQ(short_block[0], 0);
  std::array<uint8_t, 512> big{};

  // A 5-byte answer of an unknown function holds no data for its byte count.
  fake.io->QueueAnswer(WithCrc(Hex("01 05 02")));
  EXPECT_FALSE(master.ReadHoldingRegisters(0, 1, big));
  EXPECT_EQ(master.LastError(), 3u);

  // Fewer registers than asked for: the rest of the buffer would pass for the device's data.
  std::array<uint8_t, 8> regs{0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
  fake.io->QueueAnswer(WithCrc(Hex("01 03 02 12 34")));
  EXPECT_FALSE(master.ReadHoldingRegisters(0, 4, regs));
  EXPECT_EQ(master.LastError(), 3u);
  fake.io->QueueAnswer(WithCrc(Hex("01 03 00")));
  EXPECT_FALSE(master.ReadHoldingRegisters(0, 1, regs));
  EXPECT_EQ(master.LastError(), 3u);
  EXPECT_EQ(HexBytes(regs), "EE EE EE EE EE EE EE EE ");
  EXPECT_EQ(Sent(), 5u);  // each answer came once: none of these is asked again
  // More than asked for is copied as far as the buffer holds it.
  fake.io->QueueAnswer(WithCrc(Hex("01 03 04 01 02 03 04")));
  EXPECT_TRUE(master.ReadHoldingRegisters(0, 1, regs));
  EXPECT_EQ(HexBytes(regs), "01 02 03 04 EE EE EE EE ");
}

TEST_F(ModbusMaster, WrongCrcOnEveryAttemptGivesCode5) {
  master.SetRepeatCount(4);
  for (int i = 0; i < 4; ++i) fake.io->QueueAnswer(Hex("01 03 02 12 34 00 00"));
  std::array<uint8_t, 2> buf{0xEE, 0xEE};
  EXPECT_FALSE(master.ReadHoldingRegisters(0, 1, buf));
  EXPECT_EQ(master.LastError(), 5u);
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

TEST_F(ModbusMaster, NoAnswerTimesOutAfterExactlyRepeatCountTimesPacketTimeoutPlus20) {
  master.SetPacketTimeout(500);
  master.SetRepeatCount(3);
  std::array<uint8_t, 2> buf{};
  EXPECT_FALSE(master.ReadHoldingRegisters(0, 1, buf));
  EXPECT_EQ(master.LastError(), 2u);
  // Per attempt: the first 10 ms wait, then 51 empty polls each followed by a 10 ms wait.
  EXPECT_EQ(fake.io->NowMs(), 3u * 520u);
  EXPECT_EQ(fake.io->EmptyReads(), 3u * 51u);
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
  EXPECT_EQ(master.LastError(), 2u);
  // Per attempt: bytes in at 5 ms, then 5 empty polls and waits for the fifth byte.
  EXPECT_EQ(fake.io->NowMs(), 2u * (5u + 50u));
  EXPECT_EQ(fake.io->EmptyReads(), 2u * 5u);
}

TEST_F(ModbusMaster, LateByteWithinTheLastWaitIsNotTaken) {
  // A byte arriving after the packet time-out has run out is left for the next purge.
  master.SetPacketTimeout(50);
  master.SetRepeatCount(1);
  fake.io->QueueAnswer(WithCrc(Hex("01 03 02 12 34")), 65);
  std::array<uint8_t, 2> buf{};
  EXPECT_FALSE(master.ReadHoldingRegisters(0, 1, buf));
  EXPECT_EQ(master.LastError(), 2u);
  EXPECT_EQ(fake.io->EmptyReads(), 6u);
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
  EXPECT_EQ(lone.LastError(), 1u);
  EXPECT_FALSE(lone.ReadArchiveBlock(0, 1, buf));
  EXPECT_FALSE(lone.WriteSingleRegister(0, 1));
  lone.SetEWrite(true);
  EXPECT_FALSE(lone.WriteMultipleRegisters(0, 1, buf));
  std::string id = "kept";
  lone.GetDevID(id);
  EXPECT_EQ(lone.LastError(), 1u);
  EXPECT_EQ(id, "kept");
  EXPECT_EQ(lone.LastSent(), "");
  EXPECT_EQ(HexBytes(buf), "EE EE ");
}

TEST_F(ModbusMaster, FailedWriteIsReplacedByTheReceiveCode) {
  fake.io->fail_write_after = 3;
  master.SetRepeatCount(1);
  std::array<uint8_t, 2> buf{};
  EXPECT_FALSE(master.ReadHoldingRegisters(0, 1, buf));
  EXPECT_EQ(master.LastError(), 2u);
  EXPECT_EQ(master.LastSent(), "01 03 00 00 ");  // the failed byte is in the text
  EXPECT_EQ(fake.io->Requests().back().size(), 3u);
}

TEST_F(ModbusMaster, ClosedPortWaitsOutItsTimeOuts) {
  fake.port.Close();
  master.SetPacketTimeout(100);
  master.SetRepeatCount(2);
  EXPECT_FALSE(master.WriteSingleRegister(1, 1));
  EXPECT_EQ(master.LastError(), 2u);
  EXPECT_EQ(fake.io->NowMs(), 2u * 120u);
}

TEST_F(ModbusMaster, EWriteGatesFunction16Only) {
  const std::vector<uint8_t> data = Hex("00 0A 01 02");
  EXPECT_FALSE(master.EWrite());
  EXPECT_TRUE(master.WriteMultipleRegisters(1, 2, data));
  EXPECT_EQ(master.LastError(), 0u);
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
  EXPECT_EQ(master.LastError(), 3u);
  EXPECT_FALSE(master.WriteMultipleRegisters(0, 0, data));
  EXPECT_FALSE(master.WriteMultipleRegisters(0, 3, std::span(data).first(4)));
  EXPECT_EQ(Sent(), 0u);
}

TEST_F(ModbusMaster, DeviceIdentificationSkipsControlBytes) {
  // Text "A", 0x14 (skipped), 0x15 (kept), "Б" in code page 1251, "1".
  fake.io->QueueAnswer(WithCrc(Hex("01 11 00 05 41 14 15 C1 31")));
  std::string id = "old";
  master.GetDevID(id);
  EXPECT_EQ(master.LastError(), 0u);
  EXPECT_EQ(id, "A\x15\xD0\x91" "1");
  EXPECT_EQ(SentHex(0), "01 11 C0 2C ");

  fake.io->QueueAnswer(WithCrc(Hex("01 11 00 00")));
  master.GetDevID(id);
  EXPECT_EQ(master.LastError(), 0u);
  EXPECT_EQ(id, "");

  // An answer whose text length runs past its own frame is refused.
  fake.io->QueueAnswer(WithCrc(Hex("01 03 02 41 42")));
  id = "x";
  master.GetDevID(id);
  EXPECT_EQ(master.LastError(), 3u);
  EXPECT_EQ(id, "");
}

TEST_F(ModbusMaster, DeviceIdentificationNeedsAnOpenPort) {
  fake.port.Close();
  std::string id = "kept";
  master.GetDevID(id);
  EXPECT_EQ(master.LastError(), 6u);
  EXPECT_EQ(id, "kept");
  EXPECT_EQ(Sent(), 0u);

  fake.io->fail_open = true;
  master.SetAutoOpenPort(true);
  master.GetDevID(id);
  EXPECT_EQ(master.LastError(), 6u);

  fake.io->fail_open = false;
  fake.io->QueueAnswer(WithCrc(Hex("01 11 00 02 4F 4B")));
  master.GetDevID(id);
  EXPECT_EQ(master.LastError(), 0u);
  EXPECT_EQ(id, "OK");
  EXPECT_TRUE(fake.port.Opened());  // left open for the caller to close
}

}  // namespace
}  // namespace oxa
