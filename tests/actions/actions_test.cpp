// The actions against the virtual device's model on the scripted port: the frames they send,
// the values they decode and the exact lines a front end shows for them.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "actions/OxaActions.h"
#include "serial/OxaUtils.h"
#include "sim/FulDevice.h"
#include "tests/support/FakeComPortIo.h"

namespace oxa {
namespace {

using enum TOxaError;
using Lines = std::vector<std::string>;
using testing::TFakeAnswer;
using testing::TFakePort;

class Actions : public ::testing::Test {
 protected:
  Actions() : dev(1) {
    fp.io->SetResponder([this](const std::vector<uint8_t>& request) -> std::optional<TFakeAnswer> {
      auto answer = dev.Feed(request);
      if (answer.empty()) return std::nullopt;
      return TFakeAnswer{std::move(answer)};
    });
    ful.SetComPort(&fp.port);
    ful.SetNetAddr(1);
    zeb.SetComPort(&fp.port);
    zeb.SetNetAddr(1);
  }
  TFakePort fp;
  sim::TFulDevice dev;
  ToxaFul0508 ful;
  ToxaZeb106 zeb;
};

TEST_F(Actions, IdentificationLine) {
  dev.SetModbusIdentification("FUL-05.08 Дозатор");
  const TIdentification r = Identify(ful);
  EXPECT_EQ(r.code, kOk);
  EXPECT_EQ(r.id, "FUL-05.08 Дозатор");
  EXPECT_EQ(r.lines, (Lines{"OK", "ID = FUL-05.08 Дозатор"}));
  EXPECT_EQ(r.request, "01 11 C0 2C ");
  EXPECT_FALSE(r.standard);

  // Another maker's device in the standard layout: its fields, and its text read out of them.
  TFakePort other;
  other.io->QueueAnswer(testing::Hex("01 11 09 50 79 6D 6F 64 62 75 73 FF 8D DC"));
  ful.SetComPort(&other.port);
  const TIdentification s = Identify(ful);
  ASSERT_EQ(s.code, kOk);
  ASSERT_TRUE(s.standard);
  EXPECT_EQ(s.standard->run_indicator, 0xFF);
  EXPECT_EQ(s.lines, (Lines{"OK", "ID = " + s.id}));
}

TEST_F(Actions, RegisterReadLinesAndValues) {
  for (uint16_t reg = 0; reg < 16; ++reg) dev.SetHoldingRegister(reg, reg + 1);
  const TRegisterRead ten = ReadRegisters(ful, 0, 10);
  EXPECT_EQ(ten.request, "01 03 00 00 00 0A C5 CD ");
  EXPECT_EQ(ten.lines, (Lines{"OK", "=Данные=", "00 01 00 02 00 03 00 04 00 05 00 06 00 07 00 08 ",
                              "00 09 00 0A "}));
  EXPECT_EQ(ten.values, (std::vector<uint16_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
  // A multiple of 8 registers ends with an empty line.
  EXPECT_EQ(ReadRegisters(ful, 3, 8).lines,
            (Lines{"OK", "=Данные=", "00 04 00 05 00 06 00 07 00 08 00 09 00 0A 00 0B ", ""}));
}

TEST_F(Actions, FailuresGiveTheirCodeAndKeepTheRequestThatWentOut) {
  // A register outside the device's map: the refusal is named.
  const TRegisterRead refused = ReadRegisters(ful, 9000, 1);
  EXPECT_EQ(refused.code, kDeviceException);
  EXPECT_EQ(refused.exception, 0x02);
  EXPECT_EQ(refused.lines, (Lines{"Failed", "ErrCode=7", "Exception 02: illegal data address"}));
  EXPECT_TRUE(refused.values.empty());
  // A count of 0 is sent as it stands; this device refuses it.
  EXPECT_EQ(ReadRegisters(ful, 0, 0).lines,
            (Lines{"Failed", "ErrCode=7", "Exception 03: illegal data value"}));
  // A window names the refusal in its own language; a code without a name keeps its number.
  EXPECT_EQ(FailureLines(kDeviceException, 0x02, TLanguage::kRussian).back(),
            "Исключение 02: недопустимый адрес данных");
  EXPECT_EQ(FailureLines(kDeviceException, 0x09, TLanguage::kRussian).back(), "Исключение 09");

  dev.NoAnswerToNext(3);
  const TDoserStateRead silent = ReadDoserState(ful);
  EXPECT_EQ(silent.code, kNoAnswer);
  EXPECT_EQ(silent.lines, (Lines{"Failed", "ErrCode=2"}));
  EXPECT_FALSE(silent.request.empty());
  EXPECT_TRUE(silent.name.empty());

  dev.CorruptChecksumOfNext(3);
  EXPECT_EQ(ReadDose(ful).lines, (Lines{"Failed", "ErrCode=5"}));

  // Nothing goes out on a closed port.
  fp.port.Close();
  const TDose closed = WriteDose(ful, 7);
  EXPECT_EQ(closed.code, kPortNotOpen);
  EXPECT_EQ(closed.lines, (Lines{"Failed", "ErrCode=6"}));
  EXPECT_EQ(closed.request, "");
}

struct IntegratorRow {
  size_t index;
  uint32_t word;
  const char* separator;
  Lines lines;
  double value;
};

TEST_F(Actions, IntegratorLines) {
  const IntegratorRow rows[] = {
      {0, 0x3F800000, ".", {"OK", "Raw: 3F 80 00 00 ", "V1 =     1.000000 M3"}, 1.0},
      {0, 0x3F800000, ",", {"OK", "Raw: 3F 80 00 00 ", "V1 =     1,000000 M3"}, 1.0},
      {0, 0x4B3C614E, ",", {"OK", "Raw: 4B 3C 61 4E ", "V1 = 12345678,000000 M3"}, 12345678.0},
      {27, 0xC2F6E979, ".", {"OK", "Raw: C2 F6 E9 79 ", "Gm2 =  -123.456001 Т/ч"}, -123.456001},
      {28, 0x41A40000, ".", {"OK", "Raw: 41 A4 00 00 ", "Т1 =    20.500000 град."}, 20.5},
      {15, 3600, ".", {"OK", "Raw: 00 00 0E 10 ", "Tall = 3600 сек"}, 3600},
      {16, 0x3F800000, ".", {"OK", "Raw: 3F 80 00 00 ", "Tнар1 = 1065353216 сек"}, 1065353216},
      {23, 0xFFFFFFFF, ".", {"OK", "Raw: FF FF FF FF ", "Terr2 = 4294967295 сек"}, 4294967295.0},
      // Not a number: shown as the C library shows it, in the field's width.
      {30, 0x7FC00000, ".", {"OK", "Raw: 7F C0 00 00 ", "P1 =          nan МПа"}, NAN},
  };
  for (const IntegratorRow& row : rows) {
    SCOPED_TRACE(row.lines.back());
    dev.SetRegisterU32(ToxaFul0508::kIntegratorRegs[row.index], row.word);
    const TIntegratorRead r = ReadIntegrator(ful, row.index, row.separator);
    EXPECT_EQ(r.lines, row.lines);
    EXPECT_EQ(r.word, row.word);
    if (std::isnan(row.value)) {
      EXPECT_TRUE(std::isnan(r.value));
    } else {
      EXPECT_NEAR(r.value, row.value, 1e-6);
    }
    // Four registers are always asked for, though two are shown.
    std::array<uint8_t, 8> frame{};
    BuildReadRequest(frame, 1, 3, ToxaFul0508::kIntegratorRegs[row.index], 4);
    EXPECT_EQ(r.request, HexBytes(frame));
  }
  const TIntegratorRead out_of_table = ReadIntegrator(ful, 32);
  EXPECT_EQ(out_of_table.code, kWrongSize);
  EXPECT_EQ(out_of_table.lines, (Lines{"Failed", "ErrCode=3"}));
}

TEST_F(Actions, ArchiveBlockLines) {
  const TArchiveRead r = ReadArchiveBlock(ful, 8191);
  const auto block = sim::TFulDevice::ArchiveBlock(8191);
  Lines expected{"OK", "=Данные="};
  for (size_t line = 0; line < 8; ++line) {
    expected.push_back(HexBytes(std::span<const uint8_t>(block).subspan(16 * line, 16)));
    EXPECT_EQ(expected.back().size(), 48u);
  }
  expected.push_back("");
  EXPECT_EQ(r.lines, expected);
  EXPECT_EQ(r.bytes, block);
  EXPECT_EQ(r.request.substr(0, 18), "01 41 1F FF 00 01 ");
}

TEST_F(Actions, DoseReadAndWrite) {
  const std::pair<uint16_t, const char*> reads[] = {
      {12345, "30 39"}, {0xFFFF, "FF FF"}, {0, "00 00"}};
  for (const auto& [tenths, hex] : reads) {
    dev.SetHoldingRegister(sim::kRegDose, tenths);
    const TDose r = ReadDose(ful);
    EXPECT_EQ(r.lines, (Lines{"OK", "=Данные=", hex}));
    EXPECT_EQ(r.tenths, tenths);
    EXPECT_DOUBLE_EQ(r.litres, tenths / 10.0);
  }
  const TDose written = WriteDose(ful, 65535);
  EXPECT_EQ(written.lines, Lines{"OK"});
  EXPECT_EQ(dev.HoldingRegister(sim::kRegDose), 65535);
  std::array<uint8_t, 8> frame{};
  BuildWriteSingleRequest(frame, 1, 2201, 65535);
  EXPECT_EQ(written.request, HexBytes(frame));
}

TEST_F(Actions, DoserCommandsAndReset) {
  dev.SetHoldingRegister(sim::kRegDose, 50);
  const std::pair<TDoserCommand, uint16_t> commands[] = {
      {TDoserCommand::kStart, 1}, {TDoserCommand::kPause, 2}, {TDoserCommand::kStop, 0}};
  for (const auto& [command, value] : commands) {
    const TActionResult r = SendDoserCommand(ful, command);
    EXPECT_EQ(r.lines, Lines{"OK"});
    std::array<uint8_t, 8> frame{};
    BuildWriteSingleRequest(frame, 1, 2202, value);
    EXPECT_EQ(r.request, HexBytes(frame));
  }
  const TActionResult reset = ResetDoser(ful);
  EXPECT_EQ(reset.lines, Lines{"OK"});
  EXPECT_EQ(reset.request.substr(0, 18), "01 06 08 9B 00 01 ");
}

TEST_F(Actions, ABroadcastGoesOutOnceToAddressZeroAndAwaitsNoAnswer) {
  struct Row {
    const char* what;
    std::function<TActionResult()> send;
    std::string frame;  // as it goes out, CRC left off
    uint16_t reg, value;
  };
  const std::vector<uint16_t> two = {7, 8};
  const Row rows[] = {
      {"one register", [&] { return BroadcastRegisters(ful, 100, std::span(two).first(1)); },
       "00 06 00 64 00 07", 100, 7},
      {"two registers", [&] { return BroadcastRegisters(ful, 110, two); },
       "00 10 00 6E 00 02 04 00 07 00 08", 111, 8},
      {"the dose", [&] { return BroadcastDose(ful, 125); }, "00 06 08 99 00 7D", 2201, 125},
      {"doser start", [&] { return BroadcastDoserCommand(ful, TDoserCommand::kStart); },
       "00 06 08 9A 00 01", 2202, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const size_t before = fp.io->Requests().size();
    const uint64_t waited = fp.io->WaitedMs();
    const uint64_t slept = fp.io->SleptMs();
    const TActionResult r = row.send();
    EXPECT_EQ(r.code, kOk);
    EXPECT_EQ(r.lines, (Lines{"OK", "Sent to every device, no answer expected"}));
    ASSERT_EQ(fp.io->Requests().size(), before + 1);
    EXPECT_EQ(HexBytes(fp.io->Requests().back()).substr(0, row.frame.size()), row.frame);
    EXPECT_EQ(r.request, HexBytes(fp.io->Requests().back()));
    // No answer is waited for; the line stays quiet while the devices act on the write.
    EXPECT_EQ(fp.io->WaitedMs(), waited);
    EXPECT_GE(fp.io->SleptMs() - slept, kBroadcastTurnaroundMs);
    EXPECT_EQ(ful.NetAddr(), 1);
    // The scripted device hears a request when the line is next looked at; it takes the
    // write and, as every device does with address 0, keeps silent.
    EXPECT_FALSE(fp.io->WaitForInput(10));
    EXPECT_EQ(dev.HoldingRegister(row.reg), row.value);
  }
  // The device's own exchanges are as before: a read waits for its answer.
  EXPECT_TRUE(ReadDose(ful).Ok());
  fp.port.Close();
  EXPECT_EQ(BroadcastDoserReset(ful).lines, (Lines{"Failed", "ErrCode=6"}));
}

TEST_F(Actions, DoserStateIsNamed) {
  const std::tuple<uint16_t, const char*, const char*> rows[] = {{0, "00 00", "остановлен"},
                                                                 {1, "00 01", "запущен"},
                                                                 {2, "00 02", "пауза"},
                                                                 {3, "00 03", "ошибка"},
                                                                 {0x0102, "01 02", "ошибка"}};
  for (const auto& [state, hex, name] : rows) {
    dev.SetHoldingRegister(sim::kRegDoserState, state);
    const TDoserStateRead r = ReadDoserState(ful);
    EXPECT_EQ(r.lines, (Lines{"OK", "=Данные=", hex, std::string("Состояние дозатора: ") + name}));
    EXPECT_EQ(r.state, state);
    EXPECT_EQ(r.name, name);
  }
  dev.SetHoldingRegister(sim::kRegDoserState, 1);
  EXPECT_EQ(ReadDoserState(ful, TLanguage::kEnglish).lines,
            (Lines{"OK", "=Data=", "00 01", "Doser state: running"}));
}

struct StampRow {
  std::vector<uint8_t> record;
  const char* text;
  bool present;
  uint16_t number;
  const char* date;
};

TEST_F(Actions, StampTextAndValues) {
  const StampRow rows[] = {
      {{0xDE, 0x85, 0x25, 0x20, 0x12, 0x05, 0x31, 0xAD},
       "9605 2012.05.31",
       true,
       9605,
       "2012-05-31"},
      {{0xDE, 0xFF, 0xFF, 0x00, 0x12, 0x05, 0x31, 0xAD},
       "65535 2012.05.31",
       true,
       65535,
       "2012-05-31"},
      {{0xDE, 0x07, 0x00, 0x00, 0x99, 0x1A, 0x01, 0xAD}, "0007 2099.1A.01", true, 7, "2099-1A-01"},
      {{0xDF, 0x85, 0x25, 0x20, 0x12, 0x05, 0x31, 0xAD}, "Нет данных", false, 0, ""},
      {{0xDE, 0x85, 0x25, 0x20, 0x12, 0x05, 0x31, 0x0A}, "Нет данных", false, 0, ""},
  };
  dev.Set10xIdentification("FUL-05.08");
  for (const StampRow& row : rows) {
    dev.SetMemory(ToxaZeb106::kStampAddr, row.record);
    const TStampRead r = ReadStamp(zeb);
    EXPECT_EQ(r.code, kOk);
    EXPECT_TRUE(r.carries_stamp);
    EXPECT_EQ(r.lines, Lines{row.text});
    EXPECT_EQ(r.text, row.text);
    EXPECT_EQ(r.present, row.present);
    EXPECT_EQ(r.number, row.number);
    EXPECT_EQ(r.date, row.date);
  }
  // The last request is the 8-byte read at 1496.
  EXPECT_EQ(fp.io->Requests().back(), testing::Hex(ReadStamp(zeb).request));
}

TEST_F(Actions, StampIsNotAskedOfOtherDevicesAndFailuresShowNothing) {
  dev.Set10xIdentification("ZEB-106");
  const size_t before = fp.io->Requests().size();
  const TStampRead other = ReadStamp(zeb);
  EXPECT_EQ(other.code, kOk);
  EXPECT_FALSE(other.carries_stamp);
  EXPECT_TRUE(other.lines.empty());
  EXPECT_EQ(fp.io->Requests().size() - before, 1u);  // the identification only

  dev.Set10xIdentification("FUL-05.08");
  dev.NoAnswerToNext(7);
  const TStampRead silent = ReadStamp(zeb);
  EXPECT_EQ(silent.code, kNoAnswer);
  EXPECT_TRUE(silent.lines.empty());
}

// How the device behind the scripted port takes a write and the read-back after it.
enum class TTake { kAll, kKeepsAnother, kSilentToWrite, kSilentToReadBack };

class VerifiedWrites : public Actions {
 protected:
  void Take(TTake take) {
    fp.io->SetResponder(
        [this, take](const std::vector<uint8_t>& request) -> std::optional<TFakeAnswer> {
          const bool write = request[1] == 6 || request[1] == 16;
          if ((write && take == TTake::kSilentToWrite) ||
              (!write && take == TTake::kSilentToReadBack)) {
            return std::nullopt;
          }
          auto answer = dev.Feed(request);
          if (write && take == TTake::kKeepsAnother) {
            const auto reg = static_cast<uint16_t>(request[2] << 8 | request[3]);
            dev.SetHoldingRegister(reg, static_cast<uint16_t>(dev.HoldingRegister(reg) + 1));
          }
          return TFakeAnswer{std::move(answer)};
        });
  }
  // The function codes of the requests sent from the `first`.
  std::vector<int> Functions(size_t first) const {
    std::vector<int> functions;
    const auto& requests = fp.io->Requests();
    for (size_t i = first; i < requests.size(); ++i) functions.push_back(requests[i][1]);
    return functions;
  }
};

struct RegisterWriteRow {
  uint16_t reg;
  std::vector<uint16_t> values;
  TTake take;
  TOxaError code;
  bool wrote, match;
  Lines lines;
  std::vector<int> functions;
};

TEST_F(VerifiedWrites, RegistersAreReadBackAndCompared) {
  // clang-format off
  const RegisterWriteRow rows[] = {
      {100, {5}, TTake::kAll, kOk, true, true,
       {"OK", "Written from 100: 5", "Read back: 5 (match)"}, {6, 3}},
      // Function 16 goes out though the calibration gate is closed.
      {100, {1, 2, 3}, TTake::kAll, kOk, true, true,
       {"OK", "Written from 100: 1 2 3", "Read back: 1 2 3 (match)"}, {16, 3}},
      {100, {7}, TTake::kKeepsAnother, kOk, true, false,
       {"Failed", "Written from 100: 7", "Read back: 8 (MISMATCH)"}, {6, 3}},
      {5000, {1}, TTake::kAll, kDeviceException, false, false,
       {"Failed", "ErrCode=7", "Exception 02: illegal data address"}, {6}},
      {100, {1}, TTake::kSilentToWrite, kNoAnswer, false, false,
       {"Failed", "ErrCode=2"}, {6, 6, 6}},
      {100, {1, 2}, TTake::kSilentToReadBack, kNoAnswer, true, false,
       {"Failed", "ErrCode=2"}, {16, 3, 3, 3}},
      // Nothing goes out for no value, or for more than one request carries.
      {100, {}, TTake::kAll, kWrongSize, false, false, {"Failed", "ErrCode=3"}, {}},
      {100, std::vector<uint16_t>(124, 1), TTake::kAll, kWrongSize, false, false,
       {"Failed", "ErrCode=3"}, {}},
  };
  // clang-format on
  for (const RegisterWriteRow& row : rows) {
    SCOPED_TRACE(row.lines.back());
    const size_t before = fp.io->Requests().size();
    Take(row.take);
    const TRegisterWrite r = WriteRegistersVerified(ful, row.reg, row.values);
    EXPECT_EQ(r.code, row.code);
    EXPECT_EQ(r.wrote, row.wrote);
    EXPECT_EQ(r.match, row.match);
    EXPECT_EQ(r.lines, row.lines);
    EXPECT_EQ(Functions(before), row.functions);
    // The request shown is the last one sent.
    EXPECT_EQ(r.request, row.functions.empty() ? "" : HexBytes(fp.io->Requests().back()));
    EXPECT_FALSE(ful.EWrite());
  }
}

TEST_F(VerifiedWrites, TheDoseIsReadBackAndCompared) {
  const std::tuple<TTake, TOxaError, bool, bool, Lines, uint16_t> rows[] = {
      {TTake::kAll, kOk, true, true, {"OK", "=Данные=", "00 9B"}, 155},
      {TTake::kKeepsAnother, kOk, true, false, {"Failed", "=Данные=", "00 9C"}, 156},
      {TTake::kSilentToWrite, kNoAnswer, false, false, {"Failed", "ErrCode=2"}, 155},
      {TTake::kSilentToReadBack, kNoAnswer, true, false, {"Failed", "ErrCode=2"}, 0},
  };
  for (const auto& [take, code, wrote, match, lines, tenths] : rows) {
    SCOPED_TRACE(lines.front() + " " + std::to_string(tenths));
    Take(take);
    const TDoseWrite r = WriteDoseVerified(ful, 155);
    EXPECT_EQ(r.code, code);
    EXPECT_EQ(r.wrote, wrote);
    EXPECT_EQ(r.match, match);
    EXPECT_EQ(r.lines, lines);
    EXPECT_EQ(r.written, 155);
    EXPECT_EQ(r.tenths, tenths);
  }
}

TEST_F(Actions, InformationOver10x) {
  dev.Set10xIdentification("FUL-05.08");
  dev.Set10xSoftVersion("1.08");
  const TInfo10x r = ReadInfo10x(zeb);
  EXPECT_EQ(r.lines, (Lines{"OK", "ID = FUL-05.08", "Version = 1.08", "Number = 123456"}));
  EXPECT_EQ(fp.io->Requests().back(), testing::Hex(r.request));

  dev.NoAnswerToNext(7);
  const TInfo10x silent = ReadInfo10x(zeb);
  EXPECT_EQ(silent.code, kNoAnswer);
  EXPECT_EQ(silent.lines, (Lines{"Failed", "ErrCode=2"}));
  EXPECT_EQ(silent.id, "");
}

TEST(Masters, SetUpAsTheWindowHasThem) {
  ToxaComPort port;
  ToxaFul0508 ful;
  ToxaZeb106 zeb;
  for (ToxaCustomProtocol* master :
       {static_cast<ToxaCustomProtocol*>(&ful), static_cast<ToxaCustomProtocol*>(&zeb)}) {
    master->SetRepeatCount(1);
    master->SetEWrite(true);
    master->SetAutoOpenPort(true);
  }
  ful.SetAltRegMapping(true);
  ConfigureMasters(port, ful, zeb);
  const std::tuple<const ToxaCustomProtocol*, uint8_t> rows[] = {{&ful, 3}, {&zeb, 7}};
  for (const auto& [master, attempts] : rows) {
    EXPECT_EQ(master->ComPort(), &port);
    EXPECT_EQ(master->PacketTimeout(), 500u);
    EXPECT_EQ(master->ByteTimeout(), 200u);
    EXPECT_EQ(master->RepeatCount(), attempts);
    EXPECT_FALSE(master->EWrite());
    EXPECT_FALSE(master->AutoOpenPort());
  }
  EXPECT_FALSE(ful.AltRegMapping());
}

TEST(DoseConversion, RoundedToTheNearestTenthAndHeldWithinTheRegister) {
  // One rule for fulctl and both windows: the nearest tenth, half a tenth up, as written.
  struct Row {
    long double litres;
    std::optional<uint16_t> rounded;  // RoundDoseTenths
    uint16_t held;                    // DoseTenths
  };
  const Row rows[] = {{0.7L, 7, 7},
                      {0.1L, 1, 1},
                      {1.99L, 20, 20},
                      {1.949L, 19, 19},
                      {0.15L, 2, 2},
                      {0.05L, 1, 1},
                      {0.04L, 0, 0},
                      {1234.5L, 12345, 12345},
                      {6553.5L, 65535, 65535},
                      {6553.549L, 65535, 65535},
                      {6553.55L, std::nullopt, 65535},
                      {7000.0L, std::nullopt, 65535},
                      {-0.04L, 0, 0},
                      {-3.0L, std::nullopt, 0},
                      {std::numeric_limits<long double>::quiet_NaN(), std::nullopt, 0}};
  for (const Row& row : rows) {
    EXPECT_EQ(RoundDoseTenths(row.litres), row.rounded) << double(row.litres);
    EXPECT_EQ(DoseTenths(row.litres), row.held) << double(row.litres);
  }
  EXPECT_EQ(DoseLitres(12345), 1234.5L);
}

}  // namespace
}  // namespace oxa
