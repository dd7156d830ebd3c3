// fulctl's exchange trace: every frame on the wire, both ways, one line each, with the time
// since the start of the run in microseconds and a short decoding, as actions/FrameDecoder.h
// decodes them.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>
#include <utility>

#include "actions/FrameDecoder.h"
#include "serial/OxaComPort.h"

namespace oxa::cli {

// Where the trace's lines go, each whole with its line end: the standard error, or a file.
using TTraceSink = std::function<void(std::string_view line)>;

class TTrace {
 public:
  // Lines go to `sink`; times count from `start_us` of the port's clock. The few words that
  // are not a frame's decoding (bytes dropped) are in `language`.
  TTrace(TTraceSink sink, uint64_t start_us, TLanguage language);

  // Watches `port` from now on (until Detach or destruction).
  void Attach(ToxaComPort& port) { tracer_.Attach(port); }
  void Detach() { tracer_.Detach(); }
  // How the frames that follow are decoded.
  void SetProtocol(TWireProtocol protocol) { tracer_.SetProtocol(protocol); }
  // Writes the bytes received since the last line.
  void Flush() { tracer_.Flush(); }

 private:
  TTraceSink sink_;
  uint64_t start_us_;
  TLanguage language_;
  TFrameTracer tracer_;  // last: it detaches, and may write, before the sink goes
};

}  // namespace oxa::cli
