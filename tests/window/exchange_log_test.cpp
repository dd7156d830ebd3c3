// The exchange log over the scripted port: the rows, verdicts and counters of the exchanges a
// window runs, the port's lines, the bound, and the log as text and as CSV.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "actions/TextCatalog.h"
#include "protocols/oxaModBusProtocol.h"
#include "serial/OxaUtils.h"
#include "tests/support/FakeComPortIo.h"
#include "window/ExchangeLog.h"

namespace oxa {
namespace {

using testing::Hex;
using testing::WithCrc;

// A Modbus master on the scripted port, its frames traced into a log begun at time 0.
struct LoggedLink {
  LoggedLink() {
    tracer.Attach(fake.port);
    master.SetComPort(&fake.port);
    master.SetNetAddr(1);
    master.SetRepeatCount(1);
    master.SetPacketTimeout(100);
  }
  // One register read, the tracer flushed at its end as the window does.
  bool Read() {
    std::array<uint8_t, 2> buf{};
    const bool ok = master.ReadHoldingRegisters(0, 1, buf);
    tracer.Flush();
    return ok;
  }
  testing::TFakePort fake;
  TExchangeLog log{0, 100};
  std::vector<std::string> trace;  // the frames' lines in fulctl's trace
  TFrameTracer tracer{[this](const TTracedFrame& f) {
    log.Record(f);
    trace.push_back(TraceLine(f, 0));
  }};
  ToxaModBusProtocol master;
};

TEST(ExchangeLog, RowsVerdictsAndCountersOfGoodFailedAndRefusedExchanges) {
  LoggedLink link;
  link.fake.io->QueueAnswer(WithCrc(Hex("01 03 02 12 34")), 5, 2);  // good, a byte in 2 ms
  link.fake.io->QueueSilence();                                     // time-out
  link.fake.io->QueueAnswer(Hex("01 03 02 12 34 00 00"), 9);        // checksum error
  link.fake.io->QueueAnswer(WithCrc(Hex("01 83 02")), 7);           // exception
  EXPECT_TRUE(link.Read());
  EXPECT_FALSE(link.Read());
  EXPECT_FALSE(link.Read());
  EXPECT_FALSE(link.Read());

  const TLogSnapshot s = link.log.Snapshot();
  struct Row {
    const char* direction;
    const char* verdict;
    const char* response;
  };
  const Row expected[] = {
      {"TX", "checksum good", ""}, {"RX", "checksum good", "5.000"},
      {"TX", "checksum good", ""}, {"--", "no answer", ""},
      {"TX", "checksum good", ""}, {"RX", "checksum bad", "9.000"},
      {"TX", "checksum good", ""}, {"RX", "exception 02 illegal data address", "7.000"},
  };
  ASSERT_EQ(s.rows.size(), std::size(expected));
  for (size_t i = 0; i < s.rows.size(); ++i) {
    const TLogRow& row = s.rows[i];
    const std::string direction = row.kind != TLogRowKind::kFrame          ? "--"
                                  : row.direction == TPortDirection::kSent ? "TX"
                                                                           : "RX";
    EXPECT_EQ(direction, expected[i].direction) << i;
    EXPECT_EQ(LogVerdictText(row, TLanguage::kEnglish), expected[i].verdict) << i;
    EXPECT_EQ(row.response_us ? LogMsText(*row.response_us) : "", expected[i].response) << i;
  }
  // The response time and the rows' times count alike: from first byte to first byte.
  EXPECT_EQ(s.rows[1].us - s.rows[0].us, *s.rows[1].response_us);
  EXPECT_EQ(LogVerdictText(s.rows[3], TLanguage::kRussian), "нет ответа");
  // The Russian window shows the refusal in Russian, its meaning and its verdict alike.
  const auto refused = LogRowCells(s.rows[7], TLanguage::kRussian);
  EXPECT_EQ(refused[3],
            "Modbus адрес 1 функция 3 чтение регистров хранения, исключение 02 недопустимый адрес "
            "данных, CRC верна");
  EXPECT_EQ(refused[4], "исключение 02 недопустимый адрес данных");
  EXPECT_GE(s.rows[3].us, s.rows[2].us + 100'000) << "told when the time-out has run out";

  EXPECT_EQ(s.counters.requests, 4u);
  EXPECT_EQ(s.counters.good_answers, 1u);
  EXPECT_EQ(s.counters.timeouts, 1u);
  EXPECT_EQ(s.counters.checksum_errors, 1u);
  EXPECT_EQ(s.counters.exceptions, 1u);
  // The answers with a right checksum: 5 and 7 ms.
  EXPECT_EQ(s.counters.median_response_us, 5000u);
  EXPECT_EQ(s.counters.greatest_response_us, 7000u);
  EXPECT_EQ(LogCountersText(s.counters, s.dropped, TLanguage::kEnglish),
            "Requests: 4   Good answers: 1   Time-outs: 1   Checksum errors: 1   Exceptions: 1"
            "   Median response, ms: 5.000   Greatest response, ms: 7.000");

  // Saved as text, the frames read as fulctl's trace prints them.
  std::string trace;
  for (size_t i = 0; i < link.trace.size(); ++i) {
    trace += link.trace[i].empty() ? TraceTime(s.rows[i].us) + " -- no answer\n" : link.trace[i];
  }
  EXPECT_EQ(LogAsText(s.rows, TLanguage::kEnglish), trace);
}

TEST(ExchangeLog, APortThatWillNotOpenHasItsLineWithTheReason) {
  testing::TFakePort fake;
  fake.port.Close();
  fake.io->fail_open = true;
  TExchangeLog log(0);
  EXPECT_FALSE(fake.port.Open());
  const std::string reason =
      PortFailureText(fake.port.OpenError(), "COM1", "/dev/ttyS0", "", TLanguage::kEnglish);
  log.PortFailed("COM1", reason, fake.port.NowUs());
  fake.io->fail_open = false;
  ASSERT_TRUE(fake.port.Open());
  log.PortOpened("COM1", fake.port.NowUs());
  fake.port.Close();
  log.PortClosed("COM1", fake.port.NowUs());

  const TLogSnapshot s = log.Snapshot();
  EXPECT_EQ(LogAsText(s.rows, TLanguage::kEnglish),
            "0.000000 -- port failed to open: COM1: " + reason +
                "\n"
                "0.000000 -- port opened: COM1\n"
                "0.000000 -- port closed: COM1\n");
  EXPECT_EQ(LogVerdictText(s.rows[0], TLanguage::kRussian), "порт не открылся");
  EXPECT_EQ(s.counters.requests + s.counters.timeouts, 0u);
}

TEST(ExchangeLog, HoldsItsBoundAndSaysHowManyRowsWent) {
  TExchangeLog log(1000, 3);
  for (int i = 0; i < 5; ++i) log.PortOpened("COM" + std::to_string(i + 1), 1000 + i * 1500);
  TLogSnapshot s = log.Snapshot();
  ASSERT_EQ(s.rows.size(), 3u);
  EXPECT_EQ(s.rows.front().meaning, "COM3");
  EXPECT_EQ(LogMsText(s.rows.front().us), "3.000");
  EXPECT_EQ(s.dropped, 2u);
  EXPECT_EQ(s.first_number, 3u);
  EXPECT_NE(
      LogCountersText(s.counters, s.dropped, TLanguage::kEnglish).find("   Oldest rows dropped: 2"),
      std::string::npos);
  // A reader that has rows up to number 4 gets only the newer ones.
  EXPECT_EQ(log.Snapshot(5).rows.size(), 1u);

  log.Clear();
  log.PortClosed("COM5", 9000);
  s = log.Snapshot();
  ASSERT_EQ(s.rows.size(), 1u);
  EXPECT_EQ(s.rows[0].number, 6u) << "numbers go on after a clearing";
  EXPECT_EQ(s.dropped, 0u);
}

TEST(ExchangeLog, CsvQuotesWhatNeedsItAndEscapesControlCharacters) {
  TExchangeLog log(0);
  log.PortFailed("=COM1", "busy, held by \"minicom\"\x1b[2J", 1234);
  TTracedFrame frame{TPortDirection::kReceived,
                     2000,
                     2000,
                     Hex("01 03"),
                     DecodeFrame(TWireProtocol::kModbus, Hex("01 03"), false),
                     1500,
                     0};
  log.Record(frame);
  log.Record({TPortDirection::kReceived,
              3000,
              3500,
              {},
              {"", TFrameVerdict::kBytesDropped, 0},
              std::nullopt,
              8123456});
  const TLogSnapshot s = log.Snapshot();
  EXPECT_EQ(
      LogAsCsv(s.rows, TLanguage::kEnglish),
      "\"Time, ms (first byte)\",Direction,Bytes,Meaning,Verdict,\"Request to answer, ms\"\r\n"
      "1.234,--,,\"'=COM1: busy, held by \"\"minicom\"\"\\x1b[2J\",port failed to open,\r\n"
      "2.000,RX,01 03,\"Modbus, too short for a frame\",not a frame,1.500\r\n"
      "3.000,--,,,\"8123456 more bytes dropped, kept 4096\",\r\n");
  EXPECT_EQ(LogAsText(std::span(s.rows).last(1), TLanguage::kRussian),
            "0.003000 -- 8123456 байт отброшено, сохранено 4096\n");
  EXPECT_EQ(s.counters.requests + s.counters.checksum_errors + s.counters.timeouts, 0u);
}

TEST(ExchangeLog, IsSavedWholeAndNeverOverAFolder) {
  // A folder of this run's own: other runs of the suite may share the temporary folder.
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() /
      ("exchange_log_test_" + std::to_string(std::random_device{}()));
  std::filesystem::create_directories(folder);
  const std::string file = (folder / "log.txt").string();
  TOutputError error;
  ASSERT_TRUE(SaveLogFile(file, "0.000000 -- port opened: COM1\n", error)) << error.detail;
  ASSERT_TRUE(SaveLogFile(file, "0.000000 -- port closed: COM1\n", error)) << error.detail;
  {
    std::ifstream in(file, std::ios::binary);  // closed before the folder goes (Windows)
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}),
              "0.000000 -- port closed: COM1\n");
  }
  EXPECT_FALSE(SaveLogFile(folder.string(), "text", error));
  EXPECT_EQ(error.failure, TOutputFailure::kNotRegular);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 1) << "no part left";
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace oxa
