// Request builders and the answer-length decision, on tables of hex frames.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "protocols/oxaModBusProtocol.h"
#include "serial/OxaUtils.h"
#include "tests/support/FakeComPortIo.h"

namespace oxa {
namespace {

using testing::Hex;
using testing::WithCrc;

std::string Built(size_t length, const std::array<uint8_t, 512>& out) {
  return HexBytes(std::span<const uint8_t>(out.data(), length));
}

TEST(ModbusRequests, ExactBytesOfEveryFunction) {
  std::array<uint8_t, 512> out{};
  EXPECT_EQ(Built(BuildReadRequest(out, 1, 0x03, 0, 1), out), "01 03 00 00 00 01 84 0A ");
  EXPECT_EQ(Built(BuildReadRequest(out, 1, 0x03, 0, 10), out), "01 03 00 00 00 0A C5 CD ");
  EXPECT_EQ(Built(BuildReadRequest(out, 0x11, 0x03, 0x006B, 3), out), "11 03 00 6B 00 03 76 87 ");
  EXPECT_EQ(Built(BuildReadRequest(out, 1, 0x41, 0x0102, 1), out),
            HexBytes(WithCrc(Hex("01 41 01 02 00 01"))));
  EXPECT_EQ(Built(BuildWriteSingleRequest(out, 0x11, 0x0001, 0x0003), out),
            "11 06 00 01 00 03 9A 9B ");
  EXPECT_EQ(Built(BuildDevIdRequest(out, 1), out), "01 11 C0 2C ");
  const std::vector<uint8_t> data = Hex("00 0A 01 02");
  EXPECT_EQ(Built(BuildWriteMultipleRequest(out, 0x11, 0x0001, 2, data), out),
            "11 10 00 01 00 02 04 00 0A 01 02 C6 F0 ");
  // The standard functions, as mbpoll and libmodbus send them.
  EXPECT_EQ(Built(BuildReadRequest(out, 0x11, 0x01, 0x0013, 0x25), out),
            "11 01 00 13 00 25 0E 84 ");
  EXPECT_EQ(Built(BuildReadRequest(out, 0x11, 0x04, 0x0008, 1), out), "11 04 00 08 00 01 B2 98 ");
  EXPECT_EQ(Built(BuildWriteCoilRequest(out, 0x11, 0x00AC, true), out), "11 05 00 AC FF 00 4E 8B ");
  EXPECT_EQ(Built(BuildWriteCoilRequest(out, 1, 5, false), out),
            HexBytes(WithCrc(Hex("01 05 00 05 00 00"))));
  // Ten coils; the unused high bits of the last byte go out as 0.
  EXPECT_EQ(Built(BuildWriteCoilsRequest(out, 0x11, 0x0013, 10, Hex("CD 01")), out),
            "11 0F 00 13 00 0A 02 CD 01 BF 0B ");
  EXPECT_EQ(Built(BuildWriteCoilsRequest(out, 0x11, 0x0013, 10, Hex("CD FF")), out),
            HexBytes(WithCrc(Hex("11 0F 00 13 00 0A 02 CD 03"))));
  EXPECT_EQ(Built(BuildReadWriteRequest(out, 1, 3, 6, 14, 3, Hex("00 FF 00 FF 00 FF")), out),
            HexBytes(WithCrc(Hex("01 17 00 03 00 06 00 0E 00 03 06 00 FF 00 FF 00 FF"))));
  EXPECT_EQ(Built(BuildDeviceIdRequest(out, 1, 1, 0), out), "01 2B 0E 01 00 70 77 ");
}

TEST(ModbusRequests, StandardFunctionsRefuseWhatOneFrameCannotCarry) {
  std::array<uint8_t, 512> out{};
  const std::vector<uint8_t> data(2 * 122, 0x55);
  EXPECT_EQ(BuildWriteCoilsRequest(out, 1, 0, 0, data), 0u);
  EXPECT_EQ(BuildWriteCoilsRequest(out, 1, 0, 1969, data), 0u);
  EXPECT_EQ(BuildWriteCoilsRequest(out, 1, 0, 17, std::span(data).first(2)), 0u);
  EXPECT_EQ(BuildReadWriteRequest(out, 1, 0, 126, 0, 1, data), 0u);
  EXPECT_EQ(BuildReadWriteRequest(out, 1, 0, 1, 0, 122, data), 0u);
  EXPECT_EQ(BuildReadWriteRequest(out, 1, 0, 0, 0, 1, data), 0u);
  EXPECT_EQ(BuildReadWriteRequest(out, 1, 0, 125, 0, 121, data), 13u + 242u);
  EXPECT_EQ(PackBits(std::vector<bool>{true, false, true, true, false, false, true, true, true}),
            Hex("CD 01"));
  EXPECT_EQ(UnpackBits(Hex("CD 01"), 9),
            (std::vector<bool>{true, false, true, true, false, false, true, true, true}));
}

TEST(ModbusRequests, WriteMultipleRefusesWhatOneFrameCannotCarry) {
  std::array<uint8_t, 512> out{};
  std::vector<uint8_t> data(2 * 124, 0xAB);
  EXPECT_EQ(BuildWriteMultipleRequest(out, 1, 0, 0, data), 0u);
  EXPECT_EQ(BuildWriteMultipleRequest(out, 1, 0, 124, data), 0u);
  EXPECT_EQ(BuildWriteMultipleRequest(out, 1, 0, 3, std::span(data).first(5)), 0u);
  // 123 registers is the largest frame: 255 bytes, byte count 246.
  const size_t length = BuildWriteMultipleRequest(out, 1, 0, 123, data);
  EXPECT_EQ(length, 255u);
  EXPECT_EQ(out[6], 246);
  EXPECT_TRUE(ModbusCrcOk(std::span<const uint8_t>(out.data(), length)));
  // A buffer too short for the frame is left alone.
  std::array<uint8_t, 10> small{};
  EXPECT_EQ(BuildWriteMultipleRequest(small, 1, 0, 2, data), 0u);
  EXPECT_EQ(BuildReadRequest(std::span(small).first(7), 1, 3, 0, 1), 0u);
}

// Feeding a whole frame one byte at a time must stop exactly at its end.
size_t FedLength(const std::vector<uint8_t>& frame) {
  size_t i = 0;
  size_t expected = 5;
  while (i < expected && i < frame.size()) {
    ++i;
    expected = ModbusAnswerLength(std::span<const uint8_t>(frame.data(), i));
    EXPECT_GT(expected, 2u);
    if (i < expected) {
      EXPECT_GT(expected, i);
    }
  }
  return expected;
}

// Taking ModbusAnswerReadAhead bytes at a time never takes a byte past one at which the
// receiver decides (the frame's end), so no byte after the frame leaves the port.
void ExpectReadAheadStopsAtTheEnd(const std::vector<uint8_t>& frame) {
  const std::span<const uint8_t> bytes(frame);
  for (size_t i = 0; i < frame.size(); ++i) {
    if (i > 0 && NextModbusFrameStep(bytes.first(i)) != TFrameStep::kNeedMore) return;
    const size_t ahead = ModbusAnswerReadAhead(bytes.first(i));
    ASSERT_GE(ahead, 1u);
    for (size_t j = 1; j < ahead && i + j <= frame.size(); ++j) {
      EXPECT_EQ(NextModbusFrameStep(bytes.first(i + j)), TFrameStep::kNeedMore) << i << "+" << j;
    }
  }
}

TEST(ModbusAnswerLength, DecidedFromTheAnswersOwnFunctionCode) {
  struct Case {
    const char* frame;  // bytes as received, CRC included
    size_t length;
  };
  const Case cases[] = {
      {"01 03 02 12 34 B5 33", 7},
      {"01 03 00 xx xx", 5},  // no data at all
      {"01 06 00 01 00 03 98 0B", 8},
      {"01 10 00 01 00 02 10 08", 8},
      {"01 11 00 03 41 42 43 xx xx", 9},  // text of 3 bytes
      {"01 11 00 00 xx xx", 6},           // empty text
      {"01 11 04 03 41 42 43 xx xx", 9},  // the meters' byte count: both layouts end here
      // The standard layout ends where its byte count says when its CRC is right there (a
      // pymodbus server's answer); damaged, it is read on to the FUL layout's end.
      {"01 11 09 50 79 6D 6F 64 62 75 73 FF 8D DC", 14},
      {"01 11 09 50 79 6D 6F 64 62 75 73 FF 8D DD", 0x50 + 6},
      // The nearer end's CRC is wrong: the frame ends at the farther one.
      {"01 11 04 01 FF 41 42 78 EC", 9},
      {"01 11 02 05 41 42 43 44 45 CF 65", 11},
      {"01 83 02 C0 F1", 5},  // exception answer
      {"01 90 04 4D C3", 5},
      {"01 07 00 xx xx", 5},  // a function this master never asks for
      {"01 01 03 CD 6B 05 xx xx", 8},
      {"01 02 01 35 xx xx", 6},
      {"01 04 02 00 0A xx xx", 7},
      {"01 05 00 AC FF 00 xx xx", 8},
      {"01 0F 00 13 00 0A xx xx", 8},
      {"01 17 02 00 FE xx xx", 7},
      // 43/14: header, then each object's id, length and value.
      {"01 2B 0E 01 01 00 00 02 00 03 41 42 43 01 01 58 xx xx", 18},
      {"01 2B 0E 01 01 00 00 00 xx xx", 10},
      {"01 AB 01 xx xx", 5},
      {"01 C1 01 xx xx", 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.frame);
    std::vector<uint8_t> frame = Hex(c.frame);
    frame.resize(c.length, 0);
    EXPECT_EQ(FedLength(frame), c.length);
    ExpectReadAheadStopsAtTheEnd(frame);
  }
  std::vector<uint8_t> archive = {0x01, 0x41, 0x05};  // byte count says 5, the block is 128
  archive.resize(133, 0xEE);
  EXPECT_EQ(FedLength(archive), 133u);
  std::vector<uint8_t> longest = {0x01, 0x03, 0xFF};
  longest.resize(260, 0);
  EXPECT_EQ(FedLength(longest), 260u);
  std::vector<uint8_t> longest_text = {0x01, 0x11, 0x00, 0xFF};
  longest_text.resize(261, 0);
  EXPECT_EQ(FedLength(longest_text), 261u);
  for (const auto* frame : {&archive, &longest, &longest_text}) {
    ExpectReadAheadStopsAtTheEnd(*frame);
  }
  // Objects that would run past the longest answer end the frame as a bad length, not after
  // 261 bytes of waiting.
  std::vector<uint8_t> objects = Hex("01 2B 0E 03 83 00 00 03 80 F0");
  objects.resize(0xF0 + 10, 0x41);
  objects.insert(objects.end(), {0x81, 0xF0});
  EXPECT_EQ(NextModbusFrameStep(objects), TFrameStep::kBadLength);
}

TEST(ModbusDeviceId, ObjectsOfAWholeAnswer) {
  const auto page = ParseDeviceIdAnswer(
      WithCrc(Hex("01 2B 0E 02 82 FF 05 03 00 02 41 42 01 01 58 02 03 31 2E 30")));
  ASSERT_TRUE(page.has_value());
  EXPECT_EQ(page->read_code, 2);
  EXPECT_EQ(page->conformity, 0x82);
  EXPECT_TRUE(page->more);
  EXPECT_EQ(page->next_object, 5);
  ASSERT_EQ(page->objects.size(), 3u);
  EXPECT_EQ(page->objects[2].id, 2);
  EXPECT_EQ(page->objects[2].value, Hex("31 2E 30"));
  EXPECT_EQ(DeviceIdObjectName(2), "MajorMinorRevision");
  EXPECT_EQ(DeviceIdObjectName(0x80), "");
  // An object running over the CRC, bytes left after the last, another interface type.
  EXPECT_FALSE(ParseDeviceIdAnswer(WithCrc(Hex("01 2B 0E 01 01 00 00 01 00 05 41"))));
  EXPECT_FALSE(ParseDeviceIdAnswer(WithCrc(Hex("01 2B 0E 01 01 00 00 01 00 01 41 42"))));
  EXPECT_FALSE(ParseDeviceIdAnswer(WithCrc(Hex("01 2B 0D 01 01 00 00 00"))));
}

TEST(ModbusAnswerLength, StaysFiveUntilByteTwo) {
  EXPECT_EQ(ModbusAnswerLength({}), 5u);
  EXPECT_EQ(ModbusAnswerLength(Hex("01")), 5u);
  EXPECT_EQ(ModbusAnswerLength(Hex("01 03")), 5u);
  EXPECT_EQ(ModbusAnswerLength(Hex("01 03 0A")), 15u);
  EXPECT_EQ(ModbusAnswerLength(Hex("01 11 00")), 6u);
  EXPECT_EQ(ModbusAnswerLength(Hex("01 11 00 20")), 38u);
  // The receiver takes the rest of what is known in one go.
  EXPECT_EQ(ModbusAnswerReadAhead({}), 5u);
  EXPECT_EQ(ModbusAnswerReadAhead(Hex("01 03 FA")), 252u);
  EXPECT_EQ(ModbusAnswerReadAhead(Hex("01 41 80 00 00")), 128u);
}

TEST(ModbusDevId, LayoutFieldsAndTextOfAWholeAnswer) {
  struct Case {
    const char* frame;
    TDevIdLayout layout;
    const char* text;  // of the standard layout's fields
  };
  const Case cases[] = {
      {"01 11 04 03 41 42 43 D8 40", TDevIdLayout::kFul, ""},
      {"01 11 02 05 41 42 43 44 45 CF 65", TDevIdLayout::kFul, ""},
      {"01 11 09 50 79 6D 6F 64 62 75 73 FF 8D DC", TDevIdLayout::kStandard, "Pymodbus (run on)"},
      // libmodbus: a one-byte server id, then its name and version.
      {"01 11 0A B4 FF 4C 4D 42 33 2E 31 2E 36 48 AE", TDevIdLayout::kStandard,
       "0xB4 LMB3.1.6 (run on)"},
      {"01 11 02 09 00 BB 6C", TDevIdLayout::kStandard, "0x09 (run off)"},
      {"01 11 04 01 FF 41 42 78 EC", TDevIdLayout::kStandard, "0x01 AB (run on)"},
      {"01 11 02 41 42 0D 5D", TDevIdLayout::kStandard, "AB"},  // no run indicator
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.frame);
    const std::vector<uint8_t> frame = Hex(c.frame);
    ASSERT_EQ(ModbusAnswerEnd(frame), frame.size());
    EXPECT_EQ(NextModbusFrameStep(frame), TFrameStep::kComplete);
    EXPECT_EQ(ModbusDevIdLayout(frame), c.layout);
    if (c.layout == TDevIdLayout::kStandard) {
      const auto data = std::span<const uint8_t>(frame).subspan(3, frame[2]);
      EXPECT_EQ(ServerIdText(SplitServerId(data)), c.text);
    }
  }
  const TModbusServerId id = SplitServerId(Hex("B4 FF 4C 4D 42"));
  EXPECT_EQ(id.server_id, Hex("B4"));
  EXPECT_EQ(id.run_indicator, 0xFF);
  EXPECT_EQ(id.additional_data, Hex("4C 4D 42"));
}

TEST(ModbusCrc, ChecksLowByteFirst) {
  EXPECT_TRUE(ModbusCrcOk(Hex("01 03 00 00 00 01 84 0A")));
  EXPECT_FALSE(ModbusCrcOk(Hex("01 03 00 00 00 01 0A 84")));
  EXPECT_FALSE(ModbusCrcOk(Hex("01")));
}

TEST(ModbusExceptionName, StandardNames) {
  EXPECT_EQ(ModbusExceptionName(1), "illegal function");
  EXPECT_EQ(ModbusExceptionName(2), "illegal data address");
  EXPECT_EQ(ModbusExceptionName(3), "illegal data value");
  EXPECT_EQ(ModbusExceptionName(4), "server device failure");
  EXPECT_EQ(ModbusExceptionName(6), "server device busy");
  EXPECT_EQ(ModbusExceptionName(0), "");
  EXPECT_EQ(ModbusExceptionName(9), "");
  EXPECT_EQ(ModbusExceptionName(0xFF), "");
}

// The step on an MBAP answer to transaction 1, byte by byte as the receiver takes it: the step
// and the bytes seen when it decides. Taking MbapAnswerReadAhead bytes at a time never passes
// that point.
std::pair<TFrameStep, size_t> MbapFed(const std::vector<uint8_t>& frame) {
  const std::span<const uint8_t> bytes(frame);
  for (size_t i = 1; i <= frame.size(); ++i) {
    const size_t ahead = MbapAnswerReadAhead(bytes.first(i - 1));
    for (size_t j = 1; j < ahead && i - 1 + j <= frame.size(); ++j) {
      EXPECT_EQ(NextMbapFrameStep(bytes.first(i - 1 + j), 1), TFrameStep::kNeedMore) << i;
    }
    const TFrameStep step = NextMbapFrameStep(bytes.first(i), 1);
    if (step != TFrameStep::kNeedMore) return {step, i};
  }
  return {TFrameStep::kNeedMore, frame.size()};
}

TEST(ModbusTcpFrames, HeaderBuiltAndAnswersJudgedByIt) {
  std::array<uint8_t, 512> out{};
  EXPECT_EQ(Built(BuildMbapRequest(out, 0x1234, WithCrc(Hex("01 03 00 00 00 0A"))), out),
            "12 34 00 00 00 06 01 03 00 00 00 0A ");
  EXPECT_EQ(Built(BuildMbapRequest(out, 0xFFFF, WithCrc(Hex("00 11"))), out),
            "FF FF 00 00 00 02 00 11 ");
  EXPECT_EQ(
      BuildMbapRequest(std::span<uint8_t>(out).first(11), 1, WithCrc(Hex("01 06 00 01 00 03"))),
      0u);

  using enum TFrameStep;
  struct Case {
    const char* frame;  // as received, answering transaction 1
    TFrameStep step;
    size_t seen;  // bytes taken when the step decides
  };
  const Case cases[] = {
      {"00 01 00 00 00 05 01 03 02 12 34", kComplete, 11},
      {"00 01 00 00 00 03 01 83 02", kComplete, 9},  // exception
      {"00 01 00 00 00 06 01 06 00 01 00 03", kComplete, 12},
      {"00 01 00 00 00 05 07 11 02 B4 FF", kComplete, 11},        // identification, standard
      {"00 01 00 00 00 07 01 11 04 03 41 42 43", kComplete, 13},  // and the meters' layout
      {"00 01 00 00 00 0A 01 2B 0E 01 01 00 00 00 00 00", kBadLength, 16},  // walk disagrees
      {"00 01 00 00 00 08 01 2B 0E 01 01 00 00 00", kComplete, 14},
      // Another transaction's answer, whole, is dropped; a damaged header is not followed.
      {"00 00 00 00 00 05 01 03 02 12 34", kSkipFrame, 11},
      {"01 01 00 00 00 03 01 83 02", kSkipFrame, 9},
      {"00 01 00 01 00 05 01 03 02 12 34", kBadLength, 6},  // protocol id not 0
      {"00 01 00 00 00 02 01 03", kBadLength, 6},           // no room for a PDU
      {"00 01 00 00 01 04", kBadLength, 6},                 // past the longest answer
      // A byte count that disagrees with the header's length.
      {"00 01 00 00 00 06 01 03 02 12 34 56", kBadLength, 12},
      {"00 01 00 00 00 04 01 03 02 12", kBadLength, 10},
      {"00 01 00 00 00 05 01 03 02 12", kNeedMore, 10},  // not yet whole
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.frame);
    const auto [step, seen] = MbapFed(Hex(c.frame));
    EXPECT_EQ(step, c.step);
    EXPECT_EQ(seen, c.seen);
  }
  // The longest RTU answer (a 255-byte identification text) fits the MBAP bound.
  std::vector<uint8_t> longest = Hex("00 01 00 00 01 03 01 11 00 FF");
  longest.resize(kMbapMaxAnswer, 0x41);
  EXPECT_EQ(MbapFed(longest), std::make_pair(kComplete, kMbapMaxAnswer));

  std::vector<uint8_t> frame = Hex("00 01 00 00 00 05 01 03 02 12 34");
  EXPECT_EQ(MbapAnswerToRtu(frame, frame.size()), 7u);
  frame.resize(7);
  EXPECT_EQ(frame, WithCrc(Hex("01 03 02 12 34")));
}

}  // namespace
}  // namespace oxa
