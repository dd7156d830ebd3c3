#include "cli/Session.h"

#include <chrono>
#include <map>
#include <utility>
#include <vector>

#include "actions/IniFile.h"
#include "actions/OxaPortTexts.h"
#include "actions/SettingsPath.h"
#include "serial/OxaHost.h"
#include "serial/OxaUtils.h"

namespace oxa::cli {

namespace {

// A trace line with its control characters escaped, its own line end kept.
std::string ShownLine(std::string_view line) {
  const bool ends = !line.empty() && line.back() == '\n';
  return VisibleText(ends ? line.substr(0, line.size() - 1) : line) + (ends ? "\n" : "");
}

}  // namespace

TNextRead NextRead(std::chrono::steady_clock::time_point start, std::chrono::milliseconds period,
                   std::chrono::steady_clock::time_point now) {
  const auto due = start + period;
  // With no period every read is due at once, and none is late.
  if (now > due) return {now, period.count() > 0};
  return {due, false};
}

TSession::TSession(const TOptions& options, const std::string& program_folder, std::FILE* out,
                   std::FILE* err)
    : options_(options),
      output_(options.json, out, err, options.language),
      err_(err),
      settings_file_(options.settings.empty() ? SettingsPath(program_folder) : options.settings),
      address_(options.address),
      several_(options.address_list.size() > 1) {
  output_.SetCsv(options.csv);
}

bool TSession::SetUp(TWireProtocol protocol) {
  protocol_ = protocol;
  const std::map<uint8_t, std::string> map = PortMap(TIniFile(settings_file_));
  uint8_t number = 1;
  if (const auto com = ParseComName(options_.port)) {
    number = *com;
    port_name_ = "COM" + std::to_string(number);
    const auto it = map.find(number);
    port_address_ = it != map.end() ? it->second : DefaultComDeviceName(number);
    port_mapped_ = it != map.end();
  } else {
    port_name_ = options_.port;
    port_address_ = options_.port;
  }
  port_device_ = port_address_;
  if (options_.rs485) port_address_ += " rs485";
  if (options_.echo) port_address_ += " echo";
  // The last format the address names holds: the command line's over the map's.
  if (!options_.line_format.empty()) port_address_ += " " + options_.line_format;
  port_.SetDeviceMap({{number, port_address_}});
  port_.SetComPort(number);
  port_.SetBaudRate(options_.baud);
  if (options_.trace) {
    if (!options_.trace_file.empty() && !trace_file_.Open(options_.trace_file)) {
      const bool special = trace_file_.Error().failure == TOutputFailure::kNotRegular;
      output_.Message(OutputFileProblem("cannot write the trace to " + options_.trace_file,
                                        trace_file_.Error()) +
                      (special ? " (--trace without FILE writes to the standard error)" : ""));
      output_.Note(kExitOutput);
      return false;
    }
    // A trace line is hex and our own words, but a decoded identification comes from the
    // device: whatever reaches the terminal or the file has its control characters escaped.
    TTraceSink sink = [this](std::string_view line) { trace_file_.Write(ShownLine(line)); };
    if (!trace_file_.Opened()) {
      sink = [err = err_](std::string_view line) {
        const std::string shown = ShownLine(line);
        std::fwrite(shown.data(), 1, shown.size(), err);
        std::fflush(err);
      };
    }
    trace_ = std::make_unique<TTrace>(std::move(sink), port_.NowUs(), options_.language);
    trace_->Attach(port_);
    trace_->SetProtocol(protocol);
  }
  ConfigureMasters(port_, ful_, zeb_);
  for (ToxaCustomProtocol* master :
       {static_cast<ToxaCustomProtocol*>(&ful_), static_cast<ToxaCustomProtocol*>(&zeb_)}) {
    master->SetNetAddr(options_.address);
    master->SetPacketTimeout(options_.timeout_ms);
    if (options_.retries) master->SetRepeatCount(*options_.retries);
  }
  // The Modbus master's own setter: its addresses run to 247.
  ful_.SetNetAddr(options_.address);
  return true;
}

void TSession::SetTraceProtocol(TWireProtocol protocol) {
  protocol_ = protocol;
  if (trace_) trace_->SetProtocol(protocol);
}

bool TSession::OpenPort() {
  // A port that lost its device (an adapter pulled) is opened afresh: the adapter may be back.
  if (port_.Opened() && !port_.Lost()) return true;
  port_.Close();
  if (port_.Open()) return true;
  const TOpenError& e = port_.OpenError();
  const std::string reason =
      PortFailureText(e, port_name_, port_address_, settings_file_, TLanguage::kEnglish);
  if (output_.Json()) {
    TJsonObject j;
    j.Add("ok", false)
        .Add("error", static_cast<uint32_t>(TOxaError::kPortNotOpen))
        .Add("error_text", OutcomeText(TOxaError::kPortNotOpen, 0, {}, options_.language))
        .Add("request", "")
        .Add("port", port_name_)
        .Add("port_error", PortFailureName(e.failure))
        .Add("detail", reason);
    if (read_time_) j.Add("time", IsoTimeText(*read_time_));
    output_.Object(j);
  }
  // The reason names the device, and the COM number where one leads to it; only a server that
  // cannot be reached is told by the system's words alone.
  output_.Message(e.failure == TOpenFailure::kUnreachable
                      ? "cannot open " + port_name_ + ": " + reason
                      : reason);
  HintAtChosenPort();
  output_.Note(kExitPort);
  return false;
}

void TSession::HintAtChosenPort() {
  if (port_hint_said_) return;
  for (const TGivenOption& given : options_.given) {
    if (given.long_name == "--port") return;
  }
  port_hint_said_ = true;
  output_.Message(
      ChosenPortHint(port_name_, port_device_, port_mapped_ ? settings_file_ : std::string()));
}

void TSession::ClosePort() {
  if (trace_) trace_->Flush();
  port_.Close();
}

TLineState TSession::Line() const {
  return {.address = address_,
          .port = port_name_,
          .baud = options_.baud,
          .tcp = port_address_.starts_with("tcp://") || port_address_.starts_with("modbus-tcp://"),
          .lost = port_.Lost(),
          .echo_failed = ful_.EchoFailed() || zeb_.EchoFailed(),
          .ten_x_over_modbus_tcp =
              protocol_ == TWireProtocol::k10x && port_address_.starts_with("modbus-tcp://"),
          .language = options_.language};
}

void TSession::Emit(const TActionResult& r, const TJsonObject& json) {
  // Each result is an exchange of the run, timed without the printing of the one before.
  ++run_.exchanges;
  if (!r.Ok()) ++run_.failures;
  run_.times.Add(
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - exchange_start_)
          .count());
  if (trace_) trace_->Flush();
  const TLineState line = Line();
  const std::string why = r.Ok() ? std::string() : FailureReason(r, line);
  const int status = ExitStatusOf(r.code, line.echo_failed);
  // Each result of several devices says whose it is.
  TJsonObject shown = json;
  std::string prefix;
  if (several_) {
    shown.Add("address", int{address_});
    prefix = "address " + std::to_string(address_) + ": ";
  }
  if (read_time_) {
    const std::string time = IsoTimeText(*read_time_);
    shown.Add("time", time);
    prefix = time + " " + prefix;
  }
  output_.Result(r, shown, why, status, prefix);
  // Silence is what a wrong port gives.
  if (r.code == TOxaError::kNoAnswer && !output_.Json()) HintAtChosenPort();
  exchange_start_ = std::chrono::steady_clock::now();
}

void TSession::Values(const TActionResult& r, std::span<const double> values, size_t count) {
  if (!options_.csv) return;
  for (size_t i = 0; i < count; ++i) {
    row_.push_back(r.Ok() && i < values.size() ? std::optional<double>(values[i]) : std::nullopt);
  }
  if (!r.Ok() && row_outcome_.empty()) {
    row_outcome_ = OutcomeText(r.code, r.exception, Line().Outcome(), options_.language);
  }
}

int TSession::Repeat(const std::function<bool()>& read, std::span<const TPollColumn> columns) {
  const bool repeat = options_.count_given && options_.count != 1;
  if (repeat) CatchInterrupt();
  // Several devices: the address leads each row.
  std::vector<TPollColumn> csv_columns;
  if (several_) csv_columns.push_back({"address", "", TPollKind::kInteger, "address"});
  csv_columns.insert(csv_columns.end(), columns.begin(), columns.end());
  if (options_.csv) {
    output_.CsvLines(PollCsvHeader(csv_columns));
  }
  run_ = {};
  const std::chrono::milliseconds period(options_.interval_ms);
  // The start of the read under way on the schedule -i sets.
  auto start = std::chrono::steady_clock::now();
  for (uint32_t i = 0; options_.count == 0 || i < options_.count; ++i) {
    if (i > 0) {
      // The rest of the period, waited out on the system; Ctrl+C ends it at once.
      const auto left = start - std::chrono::steady_clock::now();
      if (left.count() > 0) {
        PauseMs(static_cast<uint32_t>(std::chrono::ceil<std::chrono::milliseconds>(left).count()));
      }
    }
    // Each address of -a in turn, one result each.
    for (size_t k = 0; k < options_.address_list.size(); ++k) {
      if (Interrupted() || output_.Failed()) break;
      if (k == 0) ++run_.reads;  // once something of it is done
      const uint8_t address = options_.address_list[k];
      address_ = address;
      ful_.SetNetAddr(address);
      zeb_.SetNetAddr(address);
      if (options_.count_given || options_.csv) {
        read_time_ = LocalTimeOf(std::chrono::system_clock::now());
      }
      row_.clear();
      if (several_) row_.push_back(double(address));
      row_outcome_.clear();
      // Only the exchanges are timed: opening the port, or failing to, is no part of them.
      if (OpenPort()) {
        exchange_start_ = std::chrono::steady_clock::now();
        const uint64_t failed_before = run_.failures;
        // A read that failed without a failed result of its own still counts once.
        if (!read() && run_.failures == failed_before) ++run_.failures;
      } else {
        ++run_.failures;
        ++run_.not_open;
        row_outcome_ = OutcomeText(TOxaError::kPortNotOpen, 0, {}, options_.language);
      }
      if (options_.csv) {
        output_.CsvLines(
            PollCsvRow(*read_time_, csv_columns, row_, row_outcome_.empty() ? "OK" : row_outcome_));
      }
    }
    if (!repeat || Interrupted() || output_.Failed()) break;
    const TNextRead next = NextRead(start, period, std::chrono::steady_clock::now());
    if (next.late) ++run_.late;
    start = next.start;
  }
  ClosePort();
  read_time_.reset();
  if (repeat) output_.Summary(run_);
  return output_.Status();
}

int TSession::Finish(int status) {
  trace_.reset();
  if (trace_file_.Opened() && !trace_file_.Close()) {
    output_.Message(OutputFileProblem("writing the trace to " + options_.trace_file + " failed",
                                      trace_file_.Error()));
    status = kExitOutput;
  }
  return output_.Finish(status);
}

}  // namespace oxa::cli
