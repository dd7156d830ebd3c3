// The 10x frame builder and the answer receiver's decisions, on tables of hex frames.
#include <gtest/gtest.h>

#include "protocols/oxa10xProtocol.h"
#include "tests/support/FakeComPortIo.h"

namespace oxa {
namespace {

using testing::Hex;

std::vector<uint8_t> Request(uint8_t addr, uint8_t group, uint8_t code,
                             const std::vector<uint8_t>& data) {
  std::vector<uint8_t> out(256);
  out.resize(Build10xRequest(out, addr, group, code, data));
  return out;
}

TEST(Frames10x, RequestsCarryAddressComplementAndChecksum) {
  EXPECT_EQ(Request(1, 0x00, 0x00, {}), Hex("55 01 FE 00 00 00 AB"));
  EXPECT_EQ(Request(0, 0x0F, 0x01, Hex("00 20 10")), Hex("55 00 FF 0F 01 03 00 20 10 68"));
  const auto frame = Request(0x7F, 0x0F, 0x81, std::vector<uint8_t>(248, 0xEE));
  ASSERT_EQ(frame.size(), 255u);
  uint8_t sum = 0;
  for (uint8_t b : frame) sum = static_cast<uint8_t>(sum + b);
  EXPECT_EQ(sum, 0xFF);  // an intact frame sums to FF, checksum included
}

TEST(Frames10x, BuilderRefusesFramesThatDoNotFit) {
  std::vector<uint8_t> out(256, 0x11);
  EXPECT_EQ(Build10xRequest(out, 1, 0x0F, 0x81, std::vector<uint8_t>(249)), 0u);
  std::vector<uint8_t> small(9, 0x11);
  EXPECT_EQ(Build10xRequest(small, 1, 0x0F, 0x01, Hex("00 20 10")), 0u);
  EXPECT_EQ(small, std::vector<uint8_t>(9, 0x11));
}

struct StepCase {
  const char* bytes;
  T10xFrameStep step;
};

TEST(Frames10x, ReceiverDecisionForEachPrefix) {
  const StepCase cases[] = {
      {"00", T10xFrameStep::kSkipByte},
      {"55", T10xFrameStep::kSkipByte},
      {"AA", T10xFrameStep::kNeedMore},
      {"AA 01", T10xFrameStep::kNeedMore},
      {"AA 01 FE", T10xFrameStep::kNeedMore},
      {"AA 01 FF", T10xFrameStep::kBadAddress},
      {"AA 00 00", T10xFrameStep::kBadAddress},
      {"AA 01 FE 00 00", T10xFrameStep::kNeedMore},
      {"AA 01 FE 00 00 01", T10xFrameStep::kNeedMore},
      {"AA 01 FE 00 00 01 5A", T10xFrameStep::kNeedMore},
      {"AA 01 FE 00 00 01 5A FB", T10xFrameStep::kComplete},
      {"AA 01 FE 00 00 01 5A FA", T10xFrameStep::kBadChecksum},
      {"AA 00 FF 00 00 00 56", T10xFrameStep::kComplete},
      {"AA 01 FE 00 00 F8", T10xFrameStep::kNeedMore},
      {"AA 01 FE 00 00 F9", T10xFrameStep::kBadLength},
      {"AA 01 FE 00 00 FF", T10xFrameStep::kBadLength},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Next10xFrameStep(Hex(c.bytes)), c.step) << c.bytes;
    // Taking Answer10xReadAhead bytes at a time never takes a byte past one the receiver
    // decides on: a skipped first byte, a bad complement, a bad length, the frame's end.
    const std::vector<uint8_t> bytes = Hex(c.bytes);
    for (size_t i = 0; i < bytes.size(); ++i) {
      const auto seen = std::span<const uint8_t>(bytes).first(i);
      if (i > 0 && Next10xFrameStep(seen) != T10xFrameStep::kNeedMore) break;
      const size_t ahead = Answer10xReadAhead(seen);
      ASSERT_GE(ahead, 1u);
      for (size_t j = 1; j < ahead && i + j <= bytes.size(); ++j) {
        EXPECT_EQ(Next10xFrameStep(std::span<const uint8_t>(bytes).first(i + j)),
                  T10xFrameStep::kNeedMore)
            << c.bytes << " at " << i << "+" << j;
      }
    }
  }
  EXPECT_EQ(Answer10xReadAhead({}), 1u);
  EXPECT_EQ(Answer10xReadAhead(Hex("AA")), 2u);
  EXPECT_EQ(Answer10xReadAhead(Hex("AA 01 FE")), 3u);
  EXPECT_EQ(Answer10xReadAhead(Hex("AA 05 FA 0F 01 F8")), 249u);
}

TEST(Frames10x, LongestAnswerCompletesAtByte255) {
  std::vector<uint8_t> frame = Hex("AA 05 FA 0F 01 F8");
  frame.resize(254, 0x42);
  EXPECT_EQ(Next10xFrameStep(frame), T10xFrameStep::kNeedMore);
  frame.push_back(Checksum10x(frame));
  EXPECT_EQ(Next10xFrameStep(frame), T10xFrameStep::kComplete);
}

}  // namespace
}  // namespace oxa
