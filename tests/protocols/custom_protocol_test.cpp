// What both masters share: their properties' values after construction and the silent rules of
// their setters, which must be the same in both, and the exchange's rule that an answer is
// never taken for a later request's, on virtual time.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <vector>

#include "protocols/oxa10xProtocol.h"
#include "protocols/oxaModBusProtocol.h"
#include "tests/support/FakeComPortIo.h"
#include "tests/support/Frames10x.h"

namespace oxa {
namespace {

using enum TOxaError;
using testing::ErrorOf;

template <typename Master>
class SharedProperties : public ::testing::Test {};

using Masters = ::testing::Types<ToxaModBusProtocol, Toxa10xProtocol>;
TYPED_TEST_SUITE(SharedProperties, Masters);

TYPED_TEST(SharedProperties, ConstructorValues) {
  TypeParam m;
  EXPECT_EQ(m.ComPort(), nullptr);
  EXPECT_EQ(m.NetAddr(), 0);
  EXPECT_EQ(m.PacketTimeout(), 300u);
  EXPECT_EQ(m.ByteTimeout(), 40u);
  EXPECT_EQ(m.RepeatCount(), 3);
  EXPECT_EQ(m.DeviceType(), 0u);
  EXPECT_FALSE(m.AutoOpenPort());
  EXPECT_FALSE(m.EWrite());
  EXPECT_EQ(ErrorOf(m), kOk);
}

TYPED_TEST(SharedProperties, SettersIgnoreRoundOrMapSilently) {
  TypeParam m;
  m.SetPacketTimeout(5);  // rounds to 0
  m.SetPacketTimeout(10000);
  m.SetPacketTimeout(10005);
  EXPECT_EQ(m.PacketTimeout(), 300u);
  m.SetPacketTimeout(1234);
  EXPECT_EQ(m.PacketTimeout(), 1230u);
  m.SetPacketTimeout(9999);
  EXPECT_EQ(m.PacketTimeout(), 9990u);
  m.SetPacketTimeout(19);
  EXPECT_EQ(m.PacketTimeout(), 10u);

  m.SetByteTimeout(3000);
  m.SetByteTimeout(9);
  EXPECT_EQ(m.ByteTimeout(), 40u);
  m.SetByteTimeout(2999);
  EXPECT_EQ(m.ByteTimeout(), 2990u);

  m.SetRepeatCount(0);
  m.SetRepeatCount(25);
  EXPECT_EQ(m.RepeatCount(), 3);
  m.SetRepeatCount(24);
  EXPECT_EQ(m.RepeatCount(), 24);
  m.SetRepeatCount(1);
  EXPECT_EQ(m.RepeatCount(), 1);

  // Through the base, as the window sets it: 0..127 for both masters (the Modbus master's own
  // setter takes up to 247).
  ToxaCustomProtocol& base = m;
  base.SetNetAddr(127);
  base.SetNetAddr(200);
  base.SetNetAddr(128);
  EXPECT_EQ(m.NetAddr(), 127);

  m.SetDeviceType(11);
  EXPECT_EQ(m.DeviceType(), 11u);
  m.SetDeviceType(12);
  EXPECT_EQ(m.DeviceType(), 0u);

  // A null port does not unbind the one in place.
  testing::TFakePort fake;
  m.SetComPort(&fake.port);
  m.SetComPort(nullptr);
  EXPECT_EQ(m.ComPort(), &fake.port);
}

// ---- Late answers ---------------------------------------------------------------------------
// Each master reads one value by a key; the device's answer carries the key's own value, so an
// answer taken for another request shows at once.
uint8_t ValueOf(uint8_t key) {
  return static_cast<uint8_t>(0x40 + key);
}

std::optional<uint8_t> ReadKey(ToxaModBusProtocol& m, uint8_t key) {
  std::array<uint8_t, 2> buf{};
  if (!m.ReadHoldingRegisters(key, 1, buf)) return std::nullopt;
  return buf[1];
}
std::optional<uint8_t> ReadKey(Toxa10xProtocol& m, uint8_t key) {
  std::array<uint8_t, 1> buf{};
  m.ReadRtc2k(key, buf, 1);
  if (m.LastError() != 0) return std::nullopt;
  return buf[0];
}
std::vector<uint8_t> AnswerTo(const ToxaModBusProtocol&, uint8_t key) {
  return testing::WithCrc({0x01, 0x03, 0x02, 0x00, ValueOf(key)});
}
std::vector<uint8_t> AnswerTo(const Toxa10xProtocol&, uint8_t key) {
  return testing::Answer10x({ValueOf(key)});
}
// One attempt that draws no answer, with the pause after it: the first 10 ms wait and the
// packet time-out's polls, then the 10x master's pause.
uint32_t AttemptMs(const ToxaModBusProtocol& m) {
  return m.PacketTimeout() + 20;
}
uint32_t AttemptMs(const Toxa10xProtocol& m) {
  return m.PacketTimeout() + 20 + 200;
}
// When the line has been silent for 3.5 characters after a request that went out at 0 ms, at
// 9600 bit/s (a character 1042 us): the request's own time on the line, then the silence, in
// the whole milliseconds a wait ends at. An answer in time on the scripted line comes before
// that; the next request waits for it.
uint32_t SilentAfterMs(const ToxaModBusProtocol&) {
  return (8 * 1042 + 3647 + 999) / 1000;  // 8 bytes: 12 ms
}
uint32_t SilentAfterMs(const Toxa10xProtocol&) {
  return (10 * 1042 + 3647 + 999) / 1000;  // 10 bytes: 15 ms
}

template <typename Master>
class LateAnswers : public ::testing::Test {
 protected:
  LateAnswers() {
    m.SetComPort(&fake.port);
    m.SetNetAddr(1);
    m.SetPacketTimeout(100);
  }
  testing::TFakePort fake;
  Master m;
};
TYPED_TEST_SUITE(LateAnswers, Masters);

TYPED_TEST(LateAnswers, NoAnswerIsEverTakenForALaterRequest) {
  struct TCase {
    std::string what;
    uint8_t attempts;
    // The first request's answers, one per request it sends, as late as the attempt's time plus
    // this (nullopt: none; negative: in time).
    std::vector<std::optional<int>> late_by;
    bool first_ok;
    uint32_t first_ms;     // when the first read reports: the design's time
    uint32_t listened_ms;  // how long the second read listens before its request
  };
  const uint32_t a = AttemptMs(this->m);
  const uint32_t pause = a - 120;  // the 10x master's after a failed attempt
  const uint32_t silent = SilentAfterMs(this->m);
  const std::vector<TCase> cases = {
      // The next request waits for nothing but the silence before a frame.
      {"every answer in time", 3, {-a + 5}, true, 5, silent - 5},
      // A damaged frame may have come before the answer: the attempt's answer may still come.
      // The good one is taken for it (a silence and 5 ms late; with the 10x pause, 210 ms).
      {"a damaged answer, then a good one",
       3,
       {-a + 5, -a + 5},
       true,
       std::max(silent, 5 + pause) + 5,
       std::max(100u, pause == 0 ? silent + 40 - 5 : 45 + pause)},
      // Attempt 1's answer comes during attempt 2 and is taken; attempt 2's answer, as late
      // after its own request, is listened out before the next request.
      {"attempt 1 late, taken during attempt 2", 3, {30, 30}, true, a + 30, a + 40},
      // The whole read fails at its time; both answers come while the line is listened out.
      {"all late", 2, {a + 30, a + 30}, false, 2 * a, a + 70},
      // One attempt, answered later than its time-out: the packet time-out after the attempt
      // covers it, and once it has come nothing more is awaited.
      {"late by more than the time-out, one attempt", 1, {60}, false, a, 60 + 40},
      {"silent: one packet time-out after the last attempt",
       2,
       {std::nullopt, std::nullopt},
       false,
       2 * a,
       100},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.what);
    testing::TFakePort fake;
    this->m.SetComPort(&fake.port);
    this->m.SetRepeatCount(c.attempts);
    for (size_t i = 0; i < c.late_by.size(); ++i) {
      if (!c.late_by[i]) {
        fake.io->QueueSilence();
        continue;
      }
      std::vector<uint8_t> answer = AnswerTo(this->m, 1);
      if (c.what.find("damaged") != std::string::npos && i == 0) answer.back() ^= 0x01;
      fake.io->QueueAnswer(answer, static_cast<uint32_t>(static_cast<int>(a) + *c.late_by[i]));
    }
    const std::optional<uint8_t> first = ReadKey(this->m, 1);
    EXPECT_EQ(first.has_value(), c.first_ok);
    if (first) {
      EXPECT_EQ(*first, ValueOf(1));
    }
    EXPECT_EQ(fake.io->NowMs(), c.first_ms);
    // The next read meets a quiet line, and gets its own value.
    fake.io->QueueAnswer(AnswerTo(this->m, 2), 5);
    const uint64_t before = fake.io->NowMs();
    const std::optional<uint8_t> second = ReadKey(this->m, 2);
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(*second, ValueOf(2));
    EXPECT_EQ(fake.io->NowMs() - before, c.listened_ms + 5);
    EXPECT_EQ(fake.port.OpenAttempts(), 0u);
  }
}

TYPED_TEST(LateAnswers, EachRequestFollowsTheLinesLastByteAfterASilence) {
  // Devices find a frame's start by the silence before it: 3.5 characters (3.65 ms at 9600
  // bit/s) after the last byte seen on the line, whichever master sent or received it.
  std::vector<uint64_t> sent_us;
  this->fake.port.SetTap([&](TPortDirection direction, std::span<const uint8_t>, uint64_t us) {
    if (direction == TPortDirection::kSent) sent_us.push_back(us);
  });
  const std::vector<uint8_t> answer = AnswerTo(this->m, 1);
  this->fake.io->QueueAnswer(answer, 30, 1);  // its last byte at 30 ms + one a millisecond
  EXPECT_EQ(ReadKey(this->m, 1), ValueOf(1));
  const uint64_t last_byte_ms = 30 + answer.size() - 1;
  this->fake.io->QueueAnswer(answer, 5);
  EXPECT_EQ(ReadKey(this->m, 1), ValueOf(1));
  ASSERT_EQ(sent_us.size(), 2u);
  EXPECT_EQ(sent_us[1], (last_byte_ms * 1000 + 3647 + 999) / 1000 * 1000);
  // A byte of noise during the silence starts it anew (the answer comes after the request's
  // own bytes have left the line).
  this->fake.io->QueueAnswer(answer, 20);
  EXPECT_EQ(ReadKey(this->m, 1), ValueOf(1));
  const uint64_t answered_ms = this->fake.io->NowMs();
  this->fake.io->InjectInput({0x00}, answered_ms + 2);
  this->fake.io->QueueAnswer(answer, 5);
  EXPECT_EQ(ReadKey(this->m, 1), ValueOf(1));
  ASSERT_EQ(sent_us.size(), 4u);
  EXPECT_EQ(sent_us[3], (answered_ms + 2 + 4) * 1000);
  // Above 19200 bit/s the silence is 1.75 ms.
  EXPECT_EQ(this->fake.port.FrameSilenceUs(), 3647u);
  this->fake.port.SetBaudRate(115200);
  this->fake.port.Open();
  EXPECT_EQ(this->fake.port.FrameSilenceUs(), 1750u);
}

TYPED_TEST(LateAnswers, ClosingThePortListensOutTheAnswerStillOnItsWay) {
  // The next program that opens the port must not meet this one's late answer.
  this->m.SetRepeatCount(2);
  const uint32_t a = AttemptMs(this->m);
  for (int i = 0; i < 2; ++i) this->fake.io->QueueAnswer(AnswerTo(this->m, 1), a + 30);
  EXPECT_EQ(ReadKey(this->m, 1), ValueOf(1));
  EXPECT_EQ(this->fake.io->NowMs(), a + 30);
  this->fake.port.Close();
  EXPECT_EQ(this->fake.io->NowMs(), a + 30 + a + 40);
  EXPECT_EQ(this->fake.io->PendingInput(), 0u);
  // A lost device has nothing more to say: closing then waits for nothing.
  this->fake.port.Open();
  this->fake.io->QueueSilence();
  this->fake.io->QueueSilence();
  EXPECT_FALSE(ReadKey(this->m, 1));
  this->fake.io->lose_at_ms = this->fake.io->NowMs();
  const uint64_t before = this->fake.io->NowMs();
  this->fake.port.Close();
  EXPECT_EQ(this->fake.io->NowMs(), before);
}

}  // namespace
}  // namespace oxa
