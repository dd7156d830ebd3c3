// The exchange trace: every frame on the wire, both ways, one line each, with the time since
// the start of the run in microseconds and a short decoding.
//
//   0.012345 TX 01 03 00 00 00 0A C5 CD  Modbus addr 1 fn 3 read holding registers, CRC ok
//   0.024690 RX 01 03 14 ...              Modbus addr 1 fn 3 read holding registers, CRC ok
//
// It watches a port through the port's tap: bytes sent arrive as one block per request;
// bytes received are gathered and written at the next request or at Flush, one line per
// frame as the Modbus master cuts them (one line for all of them in the 10x protocol), each
// with the time its first byte came. On a line that echoes, the returned request is written on
// its own line, marked as the echo.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "serial/OxaComPort.h"

namespace oxa::cli {

enum class TWireProtocol { kModbus, k10x };

// A short decoding of one frame: protocol, address, function or command, checksum good or
// bad, exception name. A Modbus answer is judged as the master takes it: its length from its
// own bytes (an identification in either layout, with the standard one's fields), incomplete
// when the bytes end before it, the bytes after it counted.
std::string DescribeFrame(TWireProtocol protocol, std::span<const uint8_t> frame, bool sent);

// Where the trace's lines go, each whole with its line end: the standard error, or a file.
using TTraceSink = std::function<void(std::string_view line)>;

class TTrace {
 public:
  // Lines go to `sink`; times count from `start_us` of the port's clock.
  TTrace(TTraceSink sink, uint64_t start_us) : sink_(std::move(sink)), start_us_(start_us) {}
  ~TTrace();
  TTrace(const TTrace&) = delete;
  TTrace& operator=(const TTrace&) = delete;

  // Watches `port` from now on (until Detach or destruction).
  void Attach(ToxaComPort& port);
  void Detach();
  // How the frames that follow are decoded.
  void SetProtocol(TWireProtocol protocol) { protocol_ = protocol; }
  // Writes the bytes received since the last line.
  void Flush();

 private:
  void OnTraffic(TPortDirection direction, std::span<const uint8_t> bytes, uint64_t us);
  void Line(const char* direction, uint64_t us, std::span<const uint8_t> bytes,
            const std::string& note);
  // The time of the block of received bytes that holds received_[offset].
  uint64_t ArrivalUs(size_t offset) const;

  TTraceSink sink_;
  uint64_t start_us_;
  ToxaComPort* port_ = nullptr;
  TWireProtocol protocol_ = TWireProtocol::kModbus;
  std::vector<uint8_t> sent_;
  struct TArrival {
    size_t offset;  // where the block starts in received_
    uint64_t us;
  };
  std::vector<uint8_t> received_;
  std::vector<TArrival> arrivals_;
};

}  // namespace oxa::cli
