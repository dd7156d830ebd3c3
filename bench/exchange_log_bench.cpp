// What the exchange log costs an exchange: a register read (10 registers, as the window's
// button reads them) against the virtual device on a pseudo-terminal, with the log recording
// and without, taking turns in one run; and the log's memory at its bound.
//
// Per line speed (unpaced, where the exchange is shortest and the recording weighs most, and
// 57600 bit/s paced, the window's usual line) it prints the median and 99th percentile of a
// read with and without the log, and the ratio of the medians (the log's target: at most
// 1.02). Recording is what the window does: a tracer on the port's tap hands every frame to
// the log, and is flushed at the end of each read.
//
// Then it fills a log of the default bound past its bound with the frames of the same read
// and prints the heap it holds (glibc's count of allocated bytes) and the time of one record.
//
// Then a peer that answers one request with 8 MB of noise, read in blocks of 61 bytes: the time
// to take it through a tracer into a log, against the time to read and copy it without them,
// and what the log kept of it.
//
// The last line reads
//   median ratio with/without log X.XX (unpaced), Y.YY (57600)
// The exit status is 1 when a read failed.
//
// Usage: exchange_log_bench [--count N] [--passes N] [--quick]
//   --count N   reads per mode and pass (default 300)
//   --passes N  interleaved passes (default 5)
//   --quick     a smoke run: --count 20 --passes 2
#include <malloc.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "actions/FrameDecoder.h"
#include "actions/OxaActions.h"
#include "sim/PtyDevice.h"
#include "tests/support/NoiseComPortIo.h"
#include "window/ExchangeLog.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint16_t kRegisters = 10;
constexpr int kWarmUp = 5;

struct Options {
  int count = 300;
  int passes = 5;
};

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size() - 1)))];
}

// One read as a click runs it; false when it failed.
bool Read(oxa::ToxaFul0508& ful, oxa::TFrameTracer* tracer, std::vector<double>* times) {
  const auto start = Clock::now();
  const oxa::TRegisterRead r = oxa::ReadRegisters(ful, 0, kRegisters);
  if (tracer != nullptr) tracer->Flush();
  const auto end = Clock::now();
  if (times != nullptr)
    times->push_back(std::chrono::duration<double, std::milli>(end - start).count());
  if (r.code != oxa::TOxaError::kOk) {
    std::fprintf(stderr, "exchange_log_bench: a read failed with code %u\n",
                 static_cast<unsigned>(r.code));
    return false;
  }
  return true;
}

// The ratio of the medians with/without the log at `baud` (0: unpaced); 0 on a failure.
double Compare(const Options& o, uint32_t baud) {
  oxa::sim::TPtyDevice device({.baud = baud});
  if (!device.Start()) {
    std::fprintf(stderr, "exchange_log_bench: the virtual device: %s\n",
                 device.LastError().c_str());
    return 0;
  }
  oxa::ToxaComPort port;
  port.SetDeviceMap({{1, device.DevicePath()}});
  port.SetComPort(1);
  port.SetBaudRate(baud == 0 ? 57600 : baud);
  if (!port.Open()) {
    std::fprintf(stderr, "exchange_log_bench: cannot open %s\n", device.DevicePath().c_str());
    return 0;
  }
  oxa::ToxaFul0508 ful;
  oxa::ToxaZeb106 zeb;
  oxa::ConfigureMasters(port, ful, zeb);
  ful.SetNetAddr(1);
  oxa::TExchangeLog log(port.NowUs());
  oxa::TFrameTracer tracer(log.Sink());

  std::vector<double> with, without;
  for (int pass = 0; pass < o.passes; ++pass) {
    // The order of the modes swaps from pass to pass.
    for (int turn = 0; turn < 2; ++turn) {
      const bool logged = (pass + turn) % 2 == 0;
      if (logged) tracer.Attach(port);
      for (int i = 0; i < kWarmUp; ++i) {
        if (!Read(ful, logged ? &tracer : nullptr, nullptr)) return 0;
      }
      for (int i = 0; i < o.count; ++i) {
        if (!Read(ful, logged ? &tracer : nullptr, logged ? &with : &without)) return 0;
      }
      if (logged) tracer.Detach();
    }
  }
  port.Close();
  const double ratio = Percentile(with, 0.5) / Percentile(without, 0.5);
  std::printf(
      "%-8s without log: median %.3f ms, p99 %.3f ms; with log: median %.3f ms, "
      "p99 %.3f ms; ratio %.3f\n",
      baud == 0 ? "unpaced" : std::to_string(baud).c_str(), Percentile(without, 0.5),
      Percentile(without, 0.99), Percentile(with, 0.5), Percentile(with, 0.99), ratio);
  const oxa::TLogSnapshot s = log.Snapshot();
  if (s.counters.requests != s.counters.good_answers) {
    std::fprintf(stderr, "exchange_log_bench: %llu requests logged, %llu good answers\n",
                 static_cast<unsigned long long>(s.counters.requests),
                 static_cast<unsigned long long>(s.counters.good_answers));
    return 0;
  }
  return ratio;
}

// The heap a log of the default bound holds when full of a read's frames, and one record's
// time.
void Memory() {
  std::vector<uint8_t> request = {0x01, 0x03, 0x00, 0x00, 0x00, kRegisters};
  std::vector<uint8_t> answer = {0x01, 0x03, 2 * kRegisters};
  answer.resize(3 + 2 * kRegisters, 0x12);
  for (std::vector<uint8_t>* frame : {&request, &answer}) {
    uint16_t crc = 0xFFFF;
    for (uint8_t byte : *frame) {
      crc ^= byte;
      for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    frame->push_back(static_cast<uint8_t>(crc));
    frame->push_back(static_cast<uint8_t>(crc >> 8));
  }
  const oxa::TTracedFrame sent{oxa::TPortDirection::kSent,
                               0,
                               0,
                               request,
                               oxa::DecodeFrame(oxa::TWireProtocol::kModbus, request, true),
                               {},
                               0};
  oxa::TTracedFrame received{oxa::TPortDirection::kReceived,
                             0,
                             0,
                             answer,
                             oxa::DecodeFrame(oxa::TWireProtocol::kModbus, answer, false),
                             4000,
                             0};
  const size_t before = mallinfo2().uordblks;
  auto log = std::make_unique<oxa::TExchangeLog>(0);
  const size_t frames = 2 * log->Capacity();
  const auto start = Clock::now();
  for (size_t i = 0; i < frames; i += 2) {
    log->Record(sent);
    log->Record(received);
  }
  const auto end = Clock::now();
  const size_t after = mallinfo2().uordblks;
  const oxa::TLogSnapshot s = log->Snapshot(UINT64_MAX);
  std::printf(
      "log at its bound: %zu rows held, %llu dropped, %.2f MB of heap (%zu bytes a row); "
      "one record %.2f us\n",
      log->Capacity(), static_cast<unsigned long long>(s.dropped),
      static_cast<double>(after - before) / 1e6, (after - before) / log->Capacity(),
      std::chrono::duration<double, std::micro>(end - start).count() / static_cast<double>(frames));
}

// Reads `total` bytes of noise after one request, through a tracer into `log` when there is
// one, else into a copy; the milliseconds it took.
double TakeNoise(size_t total, oxa::TExchangeLog* log) {
  oxa::ToxaComPort port(std::make_unique<oxa::testing::TNoiseComPortIo>(61, 5));
  port.Open();
  std::vector<uint8_t> copy;
  copy.reserve(log == nullptr ? total : 0);
  std::unique_ptr<oxa::TFrameTracer> tracer;
  if (log != nullptr) {
    tracer = std::make_unique<oxa::TFrameTracer>(log->Sink());
    tracer->Attach(port);
  }
  const std::vector<uint8_t> request = {0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0A};
  std::array<uint8_t, 61> block{};
  const auto start = Clock::now();
  port.Write(request);
  for (size_t got = 0; got < total;) {
    const size_t n = port.Read(block);
    if (log == nullptr) copy.insert(copy.end(), block.begin(), block.begin() + n);
    got += n;
  }
  if (tracer) tracer->Flush();
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void Noise() {
  constexpr size_t kNoise = 8u << 20;
  oxa::TExchangeLog log(0);
  const double copied = TakeNoise(kNoise, nullptr);
  const double traced = TakeNoise(kNoise, &log);
  const oxa::TLogSnapshot s = log.Snapshot();
  size_t kept = 0;
  for (const oxa::TLogRow& row : s.rows) {
    if (row.direction == oxa::TPortDirection::kReceived) kept += row.bytes.size();
  }
  std::printf(
      "8 MB of noise in 61-byte blocks: traced and logged %.1f ms, read and copied %.1f ms; "
      "the log kept %zu bytes in %zu rows, its last: %s\n",
      traced, copied, kept, s.rows.size(),
      s.rows.empty() ? "-" : oxa::LogVerdictText(s.rows.back(), oxa::TLanguage::kEnglish).c_str());
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const bool has_value = i + 1 < argc;
    if (std::strcmp(argv[i], "--quick") == 0) {
      o.count = 20;
      o.passes = 2;
    } else if (std::strcmp(argv[i], "--count") == 0 && has_value) {
      o.count = std::max(1, std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--passes") == 0 && has_value) {
      o.passes = std::max(1, std::atoi(argv[++i]));
    } else {
      std::fprintf(stderr, "usage: exchange_log_bench [--count N] [--passes N] [--quick]\n");
      return 2;
    }
  }
  const double unpaced = Compare(o, 0);
  const double paced = Compare(o, 57600);
  if (unpaced == 0 || paced == 0) return 1;
  Memory();
  Noise();
  std::printf("median ratio with/without log %.2f (unpaced), %.2f (57600)\n", unpaced, paced);
  return 0;
}
