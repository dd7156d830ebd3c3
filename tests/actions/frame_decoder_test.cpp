// The frames on the wire as the trace and the exchange log show them: each frame's decoding
// and verdict, and the tracer cutting what a port received into frames with their times.
#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "actions/FrameDecoder.h"
#include "protocols/oxa10xProtocol.h"
#include "protocols/oxaModBusProtocol.h"
#include "serial/OxaUtils.h"
#include "tests/support/FakeComPortIo.h"
#include "tests/support/Frames10x.h"
#include "tests/support/NoiseComPortIo.h"

namespace oxa {
namespace {

using testing::Hex;
using testing::WithCrc;

TEST(FrameDecoder, JudgesAFrameAsTheMasterTakesIt) {
  struct Case {
    TWireProtocol protocol;
    std::vector<uint8_t> frame;
    bool sent;
    const char* text;
    TFrameVerdict verdict;
  };
  using enum TFrameVerdict;
  constexpr TWireProtocol kModbus = TWireProtocol::kModbus;
  constexpr TWireProtocol k10x = TWireProtocol::k10x;
  constexpr TWireProtocol kTcp = TWireProtocol::kModbusTcp;
  std::vector<uint8_t> bad_10x = testing::Answer10x({0x12, 0x34});
  bad_10x.back() ^= 0x01;
  const Case cases[] = {
      {kModbus, Hex("01 11 C0 2C"), true, "Modbus addr 1 fn 17 report device id, CRC ok", kGood},
      {kModbus, Hex("01 11 09 50 79 6D 6F 64 62 75 73 FF 8D DC"), false,
       "Modbus addr 1 fn 17 report device id, standard layout: Pymodbus (run on), CRC ok", kGood},
      {kModbus, WithCrc(Hex("01 11 04 03 46 55 4C")), false,
       "Modbus addr 1 fn 17 report device id, FUL layout, text of 3 bytes, CRC ok", kGood},
      {kModbus, Hex("01 11 00 50 79 6D 6F 64"), false,
       "Modbus addr 1 fn 17 report device id, incomplete: 8 of 86 bytes", kIncomplete},
      {kModbus, Hex("01 03 02 12 34 B5 33 FF FF"), false,
       "Modbus addr 1 fn 3 read holding registers, CRC ok, 2 bytes after it", kGood},
      {kModbus, Hex("01 03 02 12 34 B5 34"), false,
       "Modbus addr 1 fn 3 read holding registers, CRC bad", kBadChecksum},
      {kModbus, Hex("01 03 00 00 00 0A C5 CC"), true,
       "Modbus addr 1 fn 3 read holding registers, CRC bad", kBadChecksum},
      {kModbus, WithCrc(Hex("01 83 02")), false,
       "Modbus addr 1 fn 3 read holding registers, exception 02 illegal data address, CRC ok",
       kException},
      {kModbus, Hex("01 83"), false, "Modbus, too short for a frame", kMalformed},
      {k10x, testing::Answer10x({0x12, 0x34}), false,
       "10x answer addr 1 cmd 0F 01 N=2, checksum ok", kGood},
      {k10x, bad_10x, false, "10x answer addr 1 cmd 0F 01 N=2, checksum bad", kBadChecksum},
      {k10x, Hex("AA 01 FF 0F 01 00 45"), false,
       "10x answer addr 1 (complement bad) cmd 0F 01 N=0, checksum ok", kBadChecksum},
      {k10x, Hex("55 01 FE 0F 01 03 00 9A"), true, "10x request addr 1 cmd 0F 01 N=3, length bad",
       kMalformed},
      {k10x, Hex("AA 01 FE"), false, "10x, too short for a frame", kMalformed},
      {kTcp, Hex("00 07 00 00 00 06 01 03 00 00 00 0A"), true,
       "Modbus TCP transaction 7 addr 1 fn 3 read holding registers, header ok", kGood},
      {kTcp, Hex("00 07 00 00 00 05 01 03 02 12 34 00"), false,
       "Modbus TCP transaction 7 addr 1 fn 3 read holding registers, header ok, 1 bytes after it",
       kGood},
      {kTcp, Hex("00 07 00 00 00 03 01 83 02"), false,
       "Modbus TCP transaction 7 addr 1 fn 3 read holding registers, exception 02 illegal data "
       "address, header ok",
       kException},
      {kTcp, Hex("00 07 00 00 00 04 01 03 02 12"), false,
       "Modbus TCP transaction 7 addr 1 fn 3 read holding registers, length bad", kMalformed},
      {kTcp, Hex("00 07 00 00 00 05 01 03 02"), false,
       "Modbus TCP transaction 7, incomplete: 9 of 11 bytes", kIncomplete},
      {kTcp, Hex("00 07 00 01 00 05 01 03 02"), false,
       "Modbus TCP transaction 7, protocol id not 0", kMalformed},
      {kTcp, Hex("00 07 00 00 00 01 01 03"), false, "Modbus TCP transaction 7, length bad",
       kMalformed},
  };
  for (const Case& c : cases) {
    const TFrameDecoding d = DecodeFrame(c.protocol, c.frame, c.sent);
    EXPECT_EQ(d.meaning, c.text) << HexBytes(c.frame);
    EXPECT_EQ(d.verdict, c.verdict) << HexBytes(c.frame);
  }
  EXPECT_EQ(DecodeFrame(kModbus, WithCrc(Hex("01 83 02")), false).exception, 0x02);
  // A window decodes in its own language.
  EXPECT_EQ(DecodeFrame(kModbus, Hex("01 83 02 C0 F1 FF"), false, TLanguage::kRussian).meaning,
            "Modbus адрес 1 функция 3 чтение регистров хранения, исключение 02 недопустимый адрес "
            "данных, CRC верна, 1 байт после него");
  EXPECT_EQ(DecodeFrame(k10x, Hex("AA 01 FF 0F 01 00 45"), false, TLanguage::kRussian).meaning,
            "10x ответ адрес 1 (дополнение неверно) команда 0F 01 N=0, КС верна");
}

// The frames a tracer on `port` hands on, with their trace lines (empty for "no answer").
struct TRecorder {
  std::vector<TTracedFrame> frames;
  std::vector<std::string> lines;
  TFrameSink Sink() {
    return [this](const TTracedFrame& f) {
      frames.push_back(f);
      lines.push_back(TraceLine(f, 0));
    };
  }
};

TEST(FrameDecoder, TheTraceShowsWhatWasDroppedOnALineOfItsOwn) {
  // A damaged answer at 5 ms, then the good one at 300 ms, while the line is listened out
  // before the port closes.
  testing::TFakePort fake;
  TRecorder r;
  {
    TFrameTracer tracer(r.Sink());
    tracer.Attach(fake.port);
    fake.io->QueueAnswer(Hex("01 03 04 00 0A 00 0B 00 00"));
    fake.io->InjectInput(WithCrc(Hex("01 03 04 00 0A 00 0B")), 300);
    ToxaModBusProtocol master;
    master.SetComPort(&fake.port);
    master.SetNetAddr(1);
    master.SetRepeatCount(1);
    master.SetPacketTimeout(500);
    std::array<uint8_t, 4> buf{};
    EXPECT_FALSE(master.ReadHoldingRegisters(0, 2, buf));
    EXPECT_EQ(master.LastError(), static_cast<uint32_t>(TOxaError::kWrongChecksum));
    fake.port.Close();
  }
  ASSERT_EQ(r.lines.size(), 3u);
  EXPECT_EQ(r.lines[1],
            "0.005000 RX 01 03 04 00 0A 00 0B 00 00  Modbus addr 1 fn 3 read holding registers, "
            "CRC bad\n");
  EXPECT_EQ(r.lines[2],
            "0.300000 RX 01 03 04 00 0A 00 0B 9B F6  Modbus addr 1 fn 3 read holding registers, "
            "CRC ok\n");
  // The response time is the first answer's; what came after it is no answer to anything.
  EXPECT_EQ(r.frames[1].response_us, 5000u);
  EXPECT_EQ(r.frames[2].response_us, std::nullopt);
}

TEST(FrameDecoder, AnswersAreDecodedInTheirRequestsProtocolAndAStandardOneAsModbus) {
  // As a scan runs: a Modbus probe, the trace switched to 10x, a 10x probe that a standard
  // device's answer follows. The first answer is handed on only at the 10x request and stays
  // Modbus; the second is a whole Modbus frame with a good CRC, and is decoded as one.
  testing::TFakePort fake;
  ASSERT_TRUE(fake.port.Open());
  TRecorder r;
  TFrameTracer tracer(r.Sink());
  tracer.Attach(fake.port);
  const std::vector<uint8_t> standard = WithCrc(Hex("05 11 02 B4 FF"));
  fake.io->QueueAnswer(standard);
  fake.io->QueueAnswer(standard);
  ToxaModBusProtocol modbus;
  Toxa10xProtocol probe;
  for (ToxaCustomProtocol* master : std::initializer_list<ToxaCustomProtocol*>{&modbus, &probe}) {
    master->SetComPort(&fake.port);
    master->SetNetAddr(5);
    master->SetRepeatCount(1);
  }
  std::string id;
  modbus.GetDevID(id);
  EXPECT_EQ(modbus.LastError(), static_cast<uint32_t>(TOxaError::kOk));
  tracer.SetProtocol(TWireProtocol::k10x);
  probe.GetDevID(id);
  tracer.Flush();
  ASSERT_EQ(r.frames.size(), 4u);
  for (const size_t answer : {1, 3}) {
    EXPECT_EQ(r.frames[answer].decoding.protocol, TWireProtocol::kModbus) << r.lines[answer];
    EXPECT_EQ(r.frames[answer].decoding.verdict, TFrameVerdict::kGood) << r.lines[answer];
  }
  EXPECT_EQ(r.frames[2].decoding.protocol, TWireProtocol::k10x) << r.lines[2];
}

TEST(FrameDecoder, ARequestNothingAnsweredIsToldAfterItsEchoAndAtTheNextRequest) {
  testing::TFakePort fake;
  fake.io->echo_line = true;
  fake.port.SetDeviceMap({{1, "/dev/ttyUSB0 echo"}});
  ASSERT_TRUE(fake.port.Open());
  TRecorder r;
  TFrameTracer tracer(r.Sink());
  tracer.Attach(fake.port);
  ToxaModBusProtocol master;
  master.SetComPort(&fake.port);
  master.SetNetAddr(1);
  master.SetRepeatCount(2);
  master.SetPacketTimeout(100);
  fake.io->QueueSilence();
  fake.io->QueueAnswer(WithCrc(Hex("01 03 02 12 34")), 7);
  std::array<uint8_t, 2> buf{};
  EXPECT_TRUE(master.ReadHoldingRegisters(0, 1, buf));
  tracer.Flush();
  std::vector<TFrameVerdict> verdicts;
  for (const TTracedFrame& f : r.frames) verdicts.push_back(f.decoding.verdict);
  using enum TFrameVerdict;
  EXPECT_EQ(verdicts, (std::vector{kGood, kEcho, kNoAnswer, kGood, kEcho, kGood}));
  EXPECT_EQ(r.lines[1].substr(r.lines[1].size() - 21), " echo of the request\n");
  EXPECT_EQ(r.lines[2], "");
  EXPECT_EQ(r.frames[2].us, r.frames[3].us) << "noticed when the request is sent again";
  EXPECT_EQ(r.frames[5].response_us, r.frames[5].us - r.frames[3].us);
  // Flushed again, nothing more is told.
  tracer.Flush();
  EXPECT_EQ(r.frames.size(), 6u);
}

TEST(FrameDecoder, AFloodOfNoiseIsKeptToItsBoundAndWhatWentIsTold) {
  // Noise at 12 MB/s: up to 61 bytes every 5 µs.
  auto owned = std::make_unique<testing::TNoiseComPortIo>(61, 5);
  const testing::TNoiseComPortIo& io = *owned;
  ToxaComPort port(std::move(owned));
  ASSERT_TRUE(port.Open());
  TRecorder r;
  TFrameTracer tracer(r.Sink());
  tracer.Attach(port);
  ToxaModBusProtocol master;
  master.SetComPort(&port);
  master.SetNetAddr(1);
  master.SetRepeatCount(1);
  master.SetPacketTimeout(700);
  master.SetByteTimeout(50);
  std::array<uint8_t, 2> buf{};
  EXPECT_FALSE(master.ReadHoldingRegisters(0, 1, buf));
  // The exchange gives up on the noise once it has skipped 512 bytes; the line is then listened
  // out before the port closes, and that ends at its bound too, whatever keeps coming: a packet
  // time-out past the attempt, then the packet and byte time-outs for a frame in progress.
  EXPECT_LE(port.NowUs(), 1'030'000u);
  const uint64_t ended = port.NowUs();
  port.Close();
  EXPECT_LE(port.NowUs(), ended + 700'000 + 700'000 + 50'000 + 10'000);
  ASSERT_GE(io.Served(), 8'000'000u) << "a flood, in blocks of at most 61 bytes";
  tracer.Flush();

  ASSERT_GE(r.frames.size(), 3u);
  EXPECT_EQ(r.frames.front().direction, TPortDirection::kSent);
  size_t kept = 0;
  uint64_t us = 0;
  for (size_t i = 1; i + 1 < r.frames.size(); ++i) {
    const TTracedFrame& f = r.frames[i];
    EXPECT_GE(f.us, us) << i;
    EXPECT_GE(f.last_us, f.us) << i;
    us = f.us;
    kept += f.bytes.size();
  }
  EXPECT_EQ(kept, TFrameTracer::kKeptBytes);
  const TTracedFrame& dropped = r.frames.back();
  EXPECT_EQ(dropped.decoding.verdict, TFrameVerdict::kBytesDropped);
  EXPECT_EQ(dropped.dropped_bytes, io.Served() - TFrameTracer::kKeptBytes);
  EXPECT_GE(dropped.us, us);
  const std::string count = std::to_string(dropped.dropped_bytes);
  EXPECT_EQ(r.lines.back(),
            TraceTime(dropped.us) + " -- " + count + " more bytes dropped, kept 4096\n");
  EXPECT_EQ(TraceLine(dropped, 0, TLanguage::kRussian),
            TraceTime(dropped.us) + " -- " + count + " байт отброшено, сохранено 4096\n");
  // Told once: the next exchange starts with nothing kept and nothing dropped.
  const size_t told = r.frames.size();
  tracer.Flush();
  EXPECT_EQ(r.frames.size(), told);
}

}  // namespace
}  // namespace oxa
