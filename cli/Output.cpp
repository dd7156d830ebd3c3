#include "cli/Output.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "serial/OxaHost.h"
#include "serial/OxaUtils.h"

namespace oxa::cli {

int ExitStatusOf(TOxaError code, bool echo_failed) {
  if (echo_failed && code == TOxaError::kNoPortOrWriteFailed) return kExitBadAnswer;
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

TJsonObject CommonFields(const TActionResult& r, const TLineState& line) {
  return CommonFields(r, r.Ok(), line);
}

TJsonObject IdentificationFields(TJsonObject j, const TIdentification& r) {
  j.Add("id", r.id);
  if (r.standard) {
    j.Add("server_id", HexBytes(r.standard->server_id));
    if (r.standard->run_indicator) {
      j.Add("run_indicator", *r.standard->run_indicator == 0xFF);
    } else {
      j.AddNull("run_indicator");
    }
    j.Add("additional_data", HexBytes(r.standard->additional_data));
  }
  return j;
}

TJsonObject CommonFields(const TActionResult& r, bool ok, const TLineState& line) {
  TJsonObject j;
  j.Add("ok", ok).Add("error", static_cast<uint32_t>(r.code));
  j.Add("error_text", OutcomeText(r.code, r.exception, line.Outcome(), line.language));
  j.Add("request", r.request);
  if (r.exception != 0) {
    j.Add("exception", int{r.exception}).Add("exception_name", ModbusExceptionName(r.exception));
  }
  return j;
}

std::string OutputFileProblem(const std::string& what, const TOutputError& error,
                              const std::string& temporary) {
  switch (error.failure) {
    case TOutputFailure::kNone:
      return what;
    case TOutputFailure::kNotRegular:
      return what + ": it is " + error.detail + ", not a regular file";
    case TOutputFailure::kNotOurs:
      return what + ": it is " + error.detail +
             ", to which others could add lines; remove it, or write elsewhere";
    case TOutputFailure::kInTheWay:
      return what + ": " + temporary + " is in the way (" + error.detail +
             "); remove it, or write elsewhere";
    case TOutputFailure::kSystem:
      break;
  }
  return what + ": " + error.detail;
}

std::string MessageText(std::string_view sentence) {
  std::string text(sentence);
  if (text.empty()) return text;
  const auto first = static_cast<unsigned char>(text[0]);
  if (first >= 'A' && first <= 'Z') {
    text[0] = static_cast<char>(first - 'A' + 'a');
  } else if (text.size() >= 2 && first == 0xD0) {
    // А..П (D0 90..9F) to а..п (D0 B0..BF), Р..Я (D0 A0..AF) to р..я (D1 80..8F), Ё to ё.
    const auto second = static_cast<unsigned char>(text[1]);
    if (second >= 0x90 && second <= 0x9F) {
      text[1] = static_cast<char>(second + 0x20);
    } else if (second >= 0xA0 && second <= 0xAF) {
      text[0] = static_cast<char>(0xD1);
      text[1] = static_cast<char>(second - 0x20);
    } else if (second == 0x81) {
      text[0] = static_cast<char>(0xD1);
      text[1] = static_cast<char>(0x91);
    }
  }
  return text;
}

std::string FailureReason(const TActionResult& r, const TLineState& line) {
  switch (r.code) {
    case TOxaError::kOk:
      return "";
    case TOxaError::kNoAnswer:
      return "no answer from address " + std::to_string(line.address) + " on " +
             std::string(line.port) + " at " + std::to_string(line.baud) + " bit/s";
    case TOxaError::kNoPortOrWriteFailed:
      if (line.lost && line.tcp) {
        return "the server closed the connection; it is made afresh for the next exchange";
      }
      if (line.lost) {
        return "the port lost its device (adapter unplugged?); it is opened afresh for the next "
               "exchange";
      }
      if (line.ten_x_over_modbus_tcp) {
        return std::string(Text(TText::kOutcomeNot10xOverModbusTcp, TLanguage::kEnglish)) +
               ": a Modbus TCP server takes Modbus requests only";
      }
      if (line.echo_failed) {
        return "the request came back altered or not at all on the echoing line (another "
               "station talking at the same time, or a line without echo)";
      }
      return "the request could not be sent";
    case TOxaError::kDeviceException:
      return "the device refused the request: " +
             OutcomeText(r.code, r.exception, line.Outcome(), line.language);
    default:
      return "bad answer: " + OutcomeText(r.code, r.exception, line.Outcome(), line.language);
  }
}

std::string ChosenPortHint(std::string_view port, std::string_view address,
                           std::string_view settings) {
  const std::string is = std::string(port) + " is " + std::string(address);
  constexpr std::string_view kListed = " (fulctl ports lists them)";
  if (!settings.empty()) {
    return is + ", as [Ports] in " + std::string(settings) + " maps it; name another port with -p" +
           std::string(kListed);
  }
  // A POSIX COM number leads to the board's own UART; on Windows it is the system's COM port.
  if (address.starts_with("/dev/ttyS")) {
    return is + ", the board's own serial port; name an adapter with -p /dev/ttyUSB0" +
           std::string(kListed);
  }
  return is + "; name another port with -p COM3" + std::string(kListed);
}

void TTimes::Add(double ms) {
  min_ = count_ == 0 ? ms : std::min(min_, ms);
  max_ = count_ == 0 ? ms : std::max(max_, ms);
  ++count_;
  if (kept_.size() < kKept) {
    kept_.push_back(ms);
    return;
  }
  // The new time is kept with probability kKept / count_, in place of any kept one.
  const uint64_t slot = std::uniform_int_distribution<uint64_t>(0, count_ - 1)(random_);
  if (slot < kKept) kept_[slot] = ms;
}

double TTimes::Median() const {
  if (kept_.empty()) return 0;
  std::vector<double> sorted = kept_;
  const auto middle = sorted.begin() + static_cast<std::ptrdiff_t>(sorted.size() / 2);
  std::nth_element(sorted.begin(), middle, sorted.end());
  return *middle;
}

void TOutput::SetCsv(bool csv) {
  csv_ = csv;
  // CSV lines end in CR LF already.
  if (csv) UseBinaryOutput(out_);
}

void TOutput::Note(int status) {
  if (status != kExitOk) status_ = status;
}

void TOutput::Flush() {
  if (std::fflush(out_) != 0 || std::ferror(out_)) {
    if (write_error_ == 0) write_error_ = errno != 0 ? errno : EIO;
  }
}

int TOutput::Finish(int status) {
  Flush();
  if (!Failed()) return status;
  Message(std::string("cannot write the standard output: ") + std::strerror(write_error_));
  return kExitOutput;
}

void TOutput::Result(const TActionResult& r, const TJsonObject& json, const std::string& why,
                     int status, const std::string& prefix) {
  if (json_) {
    std::fprintf(out_, "%s\n", json.Text().c_str());
  } else {
    if (!csv_) {
      for (const std::string& line : r.lines) {
        std::fprintf(out_, "%s%s\n", prefix.c_str(), VisibleText(line).c_str());
      }
    }
    if (!r.Ok()) Message(why);
  }
  Flush();
  Note(status);
}

void TOutput::CsvLines(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), out_);
  Flush();
}

void TOutput::Object(const TJsonObject& json) {
  std::fprintf(out_, "%s\n", json.Text().c_str());  // JSON escapes control characters itself
  Flush();
}

// Text lines may carry texts from outside (a device's identification, a USB string, a process
// name, a path the user typed): their control characters are shown escaped, never sent to the
// terminal.
void TOutput::Line(const std::string& text) {
  std::fprintf(out_, "%s\n", VisibleText(text).c_str());
  Flush();
}

void TOutput::Message(const std::string& text) {
  std::fprintf(err_, "fulctl: %s\n", VisibleText(text).c_str());
}

void TOutput::EndLine() {
  std::fprintf(err_, "\n");
  progress_width_ = 0;
}

void TOutput::Progress(size_t done, size_t total, const char* what) {
  if (json_ || total < 2 || !IsTerminal(err_)) return;
  constexpr size_t kWidth = 30;
  const size_t filled = done * kWidth / total;
  const std::string bar = "[" + std::string(filled, '#') + std::string(kWidth - filled, '.') +
                          "] " + std::to_string(done) + "/" + std::to_string(total) + " " + what;
  std::fprintf(err_, "\r%s", bar.c_str());
  progress_width_ = bar.size();
  if (done == total) EndLine();
  std::fflush(err_);
}

void TOutput::ClearProgress() {
  if (progress_width_ == 0) return;
  std::fprintf(err_, "\r%s\r", std::string(progress_width_, ' ').c_str());
  std::fflush(err_);
  progress_width_ = 0;
}

void TOutput::Summary(const TRunCounts& run) {
  const TTimes& times = run.times;
  if (json_) {
    TJsonObject j;
    j.Add("summary", true)
        .Add("ok", run.failures == 0)
        .Add("count", static_cast<int64_t>(run.reads))
        .Add("exchanges", static_cast<int64_t>(run.exchanges))
        .Add("failures", static_cast<int64_t>(run.failures))
        .Add("late", static_cast<int64_t>(run.late))
        .Add("min_ms", times.Min())
        .Add("median_ms", times.Median())
        .Add("max_ms", times.Max());
    Object(j);
    return;
  }
  const auto counted = [](uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
  };
  std::string line = counted(run.reads, "read", "reads") + " (" +
                     counted(run.exchanges, "exchange", "exchanges") + "), " +
                     std::to_string(run.failures) + " failed";
  if (run.not_open > 0) line += " (" + std::to_string(run.not_open) + " with the port not open)";
  line += ", " + std::to_string(run.late) + " late";
  char times_text[128];
  std::snprintf(times_text, sizeof times_text,
                "; time per exchange min %.3f ms, median %.3f ms, max %.3f ms", times.Min(),
                times.Median(), times.Max());
  if (csv_) {
    Message(line + times_text);
  } else {
    Line(line + times_text);
  }
}

}  // namespace oxa::cli
