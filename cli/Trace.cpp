#include "cli/Trace.h"

#include <string>

namespace oxa::cli {

TTrace::TTrace(TTraceSink sink, uint64_t start_us, TLanguage language)
    : sink_(std::move(sink)),
      start_us_(start_us),
      language_(language),
      tracer_([this](const TTracedFrame& frame) {
        // A request that got no answer has no line of its own in the trace.
        if (const std::string line = TraceLine(frame, start_us_, language_); !line.empty())
          sink_(line);
      }) {}

}  // namespace oxa::cli
