#include "cli/Output.h"

#include <algorithm>

#include "cli/Platform.h"

namespace oxa::cli {

int ExitStatusOf(TOxaError code) {
  switch (code) {
    case TOxaError::kOk:
      return kExitOk;
    case TOxaError::kNoAnswer:
      return kExitNoAnswer;
    case TOxaError::kWrongSize:
    case TOxaError::kWrongAddress:
    case TOxaError::kWrongChecksum:
      return kExitBadAnswer;
    case TOxaError::kDeviceException:
      return kExitException;
    case TOxaError::kNoPortOrWriteFailed:
    case TOxaError::kPortNotOpen:
      return kExitPort;
  }
  return kExitBadAnswer;
}

JsonObject CommonFields(const TActionResult& r) {
  return CommonFields(r, r.Ok());
}

JsonObject CommonFields(const TActionResult& r, bool ok) {
  JsonObject j;
  const auto code = static_cast<uint32_t>(r.code);
  j.Add("ok", ok).Add("error", code).Add("error_text", ErrorMessages[code]);
  j.Add("request", r.request);
  if (r.exception != 0) {
    j.Add("exception", int{r.exception}).Add("exception_name", ModbusExceptionName(r.exception));
  }
  return j;
}

std::string FailureReason(const TActionResult& r, const TLineState& line) {
  switch (r.code) {
    case TOxaError::kOk:
      return "";
    case TOxaError::kNoAnswer:
      return "no answer from address " + std::to_string(line.address) + " on " +
             std::string(line.port) + " at " + std::to_string(line.baud) + " bit/s";
    case TOxaError::kNoPortOrWriteFailed:
      if (line.lost) {
        return "the port lost its device (adapter unplugged?); it is opened afresh for the next "
               "exchange";
      }
      if (line.echo_failed) {
        return "the request came back altered or not at all on the echoing line (another "
               "station talking at the same time, or a line without echo)";
      }
      return "the request could not be sent";
    case TOxaError::kDeviceException:
      return "the device refused the request";
    default:
      return "bad answer: " + std::string(ErrorMessages[static_cast<size_t>(r.code)]);
  }
}

void TOutput::Note(int status) {
  if (status != kExitOk) status_ = status;
}

void TOutput::Result(const TActionResult& r, const JsonObject& json, const std::string& why) {
  if (json_) {
    std::fprintf(out_, "%s\n", json.Text().c_str());
  } else {
    for (const std::string& line : r.lines) std::fprintf(out_, "%s\n", line.c_str());
    if (!r.Ok()) Message(why);
  }
  std::fflush(out_);
  Note(ExitStatusOf(r.code));
}

void TOutput::Object(const JsonObject& json) {
  Line(json.Text());
}

void TOutput::Line(const std::string& text) {
  std::fprintf(out_, "%s\n", text.c_str());
  std::fflush(out_);
}

void TOutput::Message(const std::string& text) {
  std::fprintf(err_, "fulctl: %s\n", text.c_str());
}

void TOutput::EndLine() {
  std::fprintf(err_, "\n");
}

void TOutput::Progress(size_t done, size_t total, const char* what) {
  if (json_ || total < 2 || !IsTerminal(err_)) return;
  constexpr size_t kWidth = 30;
  const size_t filled = done * kWidth / total;
  std::fprintf(err_, "\r[%s%s] %zu/%zu %s", std::string(filled, '#').c_str(),
               std::string(kWidth - filled, '.').c_str(), done, total, what);
  if (done == total) std::fprintf(err_, "\n");
  std::fflush(err_);
}

void TOutput::ClearProgress() {
  if (!json_ && IsTerminal(err_)) std::fprintf(err_, "\r");
}

void TOutput::Summary(const std::vector<double>& ms, uint32_t failures) {
  std::vector<double> sorted = ms;
  std::sort(sorted.begin(), sorted.end());
  const double min = sorted.empty() ? 0 : sorted.front();
  const double max = sorted.empty() ? 0 : sorted.back();
  const double median = sorted.empty() ? 0 : sorted[sorted.size() / 2];
  if (json_) {
    JsonObject j;
    j.Add("summary", true)
        .Add("ok", failures == 0)
        .Add("count", static_cast<int64_t>(sorted.size()))
        .Add("failures", failures)
        .Add("min_ms", min)
        .Add("median_ms", median)
        .Add("max_ms", max);
    Object(j);
  } else {
    std::fprintf(
        out_,
        "%zu exchanges, %u failed; time per exchange min %.3f ms, median %.3f ms, max %.3f ms\n",
        sorted.size(), failures, min, median, max);
  }
}

}  // namespace oxa::cli
