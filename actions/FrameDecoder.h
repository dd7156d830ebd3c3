// The frames on the wire, decoded: every frame a port sends and receives, with its time, its
// bytes, a short decoding and a verdict, for every front end that shows the traffic (fulctl's
// trace, the windows' exchange log).
//
//   0.012345 TX 01 03 00 00 00 0A C5 CD  Modbus addr 1 fn 3 read holding registers, CRC ok
//   0.024690 RX 01 03 14 ...              Modbus addr 1 fn 3 read holding registers, CRC ok
//
// The tracer watches a port through the port's tap: bytes sent arrive as one block per
// request; bytes received are gathered and handed on at the next request or at Flush, one
// frame as the Modbus master cuts them (one for all of them in the 10x protocol), each with
// the time its first byte came. On a line that echoes, the returned request is handed on as a
// frame of its own, marked as the echo. A request that nothing answered before the next
// request or Flush is followed by a "no answer" event.
//
// One exchange (from a request to the next request or Flush) keeps at most kKeptBytes of what
// it received; the bytes past them are only counted, and told by one event after its frames:
//
//   0.512345 -- 8123456 more bytes dropped, kept 4096
//
// so that a peer that answers with a flood costs the trace and the log a bounded amount.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "actions/TextCatalog.h"
#include "serial/OxaComPort.h"

namespace oxa {

// kModbusTcp: Modbus frames with the MBAP header instead of the CRC (a modbus-tcp:// port).
enum class TWireProtocol { kModbus, k10x, kModbusTcp };

// How a frame is judged.
enum class TFrameVerdict {
  kGood,          // checksum good
  kBadChecksum,   // checksum bad, or a 10x address whose complement does not match
  kException,     // a Modbus answer refusing the request, checksum good
  kIncomplete,    // the bytes end before the frame does
  kMalformed,     // too short for a frame, or a 10x frame whose length disagrees with its N
  kEcho,          // our own request come back on a line that echoes, taken off
  kNoAnswer,      // nothing came after a request (the event, not a frame)
  kBytesDropped,  // received bytes past what one exchange keeps (the event, not a frame)
};

struct TFrameDecoding {
  std::string meaning;  // protocol, address, function or command, checksum, exception name
  TFrameVerdict verdict = TFrameVerdict::kGood;
  uint8_t exception = 0;                            // the Modbus exception code, for kException
  TWireProtocol protocol = TWireProtocol::kModbus;  // how the frame was decoded
};

// One frame decoded: protocol, address, function or command, checksum good or bad, exception
// name, in `language` (fulctl's trace is English; a window decodes again in its own). A Modbus
// answer is judged as the master takes it: its length from its own bytes (an identification
// in either layout, with the standard one's fields), incomplete when the bytes end before it,
// the bytes after it counted. A Modbus TCP frame is judged by its header: its transaction id
// shown, its protocol id 0, its length that of the PDU its function carries.
TFrameDecoding DecodeFrame(TWireProtocol protocol, std::span<const uint8_t> frame, bool sent,
                           TLanguage language = TLanguage::kEnglish);
inline std::string DescribeFrame(TWireProtocol protocol, std::span<const uint8_t> frame,
                                 bool sent) {
  return DecodeFrame(protocol, frame, sent).meaning;
}

// What the tracer hands on: a frame, or an event with no bytes, received: that a request got
// no answer (at the time it was noticed), or that bytes were dropped (from the first dropped
// byte's time to the last's).
struct TTracedFrame {
  TPortDirection direction = TPortDirection::kSent;
  uint64_t us = 0;       // the port's clock: the first byte (the write, for a request)
  uint64_t last_us = 0;  // the port's clock: the last byte
  std::vector<uint8_t> bytes;
  TFrameDecoding decoding;
  // For the first answer after a request: from the request's write to the answer's first byte,
  // on the clock of `us`, so that it is the difference of the two frames' times.
  std::optional<uint64_t> response_us;
  uint64_t dropped_bytes = 0;  // for kBytesDropped: how many
};
using TFrameSink = std::function<void(const TTracedFrame& frame)>;

// The trace's line of a frame, whole with its line end, times counted from `start_us`:
// "0.012345 TX 01 03 ... CRC ok\n". A "no answer" event has no line (an empty string); dropped
// bytes have "--" for direction and bytes: "0.512345 -- 8123456 more bytes dropped, kept 4096\n".
std::string TraceLine(const TTracedFrame& frame, uint64_t start_us,
                      TLanguage language = TLanguage::kEnglish);
// "8123456 more bytes dropped, kept 4096": what an exchange dropped, and what it kept.
std::string BytesDroppedText(uint64_t dropped_bytes, TLanguage language);
// A time since the start as seconds with six decimals: "0.012345".
std::string TraceTime(uint64_t us_since_start);

class TFrameTracer {
 public:
  // Received bytes one exchange keeps: five times the most a sound one receives (an echoed
  // request, its answer and a late answer, under 800 bytes), and few enough that a flood of
  // noise makes some hundreds of rows, not millions.
  static constexpr size_t kKeptBytes = 4096;

  explicit TFrameTracer(TFrameSink sink) : sink_(std::move(sink)) {}
  ~TFrameTracer();
  TFrameTracer(const TFrameTracer&) = delete;
  TFrameTracer& operator=(const TFrameTracer&) = delete;

  // Watches `port` from now on (until Detach or destruction). The sink is called on the
  // thread that does the port's I/O.
  void Attach(ToxaComPort& port);
  void Detach();
  // How the frames that follow are decoded. Modbus on a port that speaks Modbus TCP is
  // decoded as kModbusTcp.
  void SetProtocol(TWireProtocol protocol) { protocol_ = protocol; }
  // Hands on the bytes received since the last request; called when an exchange has ended,
  // so that a request nothing answered is told as such.
  void Flush();

 private:
  // Hands on the "no answer" event of the open request, and closes it.
  void NoAnswer();
  void OnTraffic(TPortDirection direction, std::span<const uint8_t> bytes, uint64_t us);
  void Emit(TPortDirection direction, uint64_t us, uint64_t last_us, std::span<const uint8_t> bytes,
            TFrameDecoding decoding);
  // Hands on the frames of the bytes kept.
  void EmitReceived();
  // The protocol the frames are decoded in now.
  TWireProtocol Wire() const;
  // The time of the block of received bytes that holds received_[offset].
  uint64_t ArrivalUs(size_t offset) const;

  TFrameSink sink_;
  ToxaComPort* port_ = nullptr;
  TWireProtocol protocol_ = TWireProtocol::kModbus;
  std::vector<uint8_t> sent_;
  uint64_t sent_us_ = 0;
  TWireProtocol sent_wire_ = TWireProtocol::kModbus;  // the protocol of the request sent
  bool request_open_ = false;  // a request was sent and nothing has answered it yet
  struct TArrival {
    size_t offset;  // where the block starts in received_
    uint64_t us;
  };
  std::vector<uint8_t> received_;   // at most kKeptBytes
  std::vector<TArrival> arrivals_;  // by offset
  uint64_t dropped_ = 0;            // received bytes past kKeptBytes
  uint64_t dropped_us_ = 0;         // the first one's time
  uint64_t dropped_last_us_ = 0;    // the last one's
};

}  // namespace oxa
