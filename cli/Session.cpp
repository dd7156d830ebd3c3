#include "cli/Session.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <vector>

#include "actions/IniFile.h"
#include "actions/OxaPortTexts.h"
#include "actions/SettingsPath.h"
#include "cli/Platform.h"

namespace oxa::cli {

TSession::TSession(const TOptions& options, const std::string& program_folder, std::FILE* out,
                   std::FILE* err)
    : options_(options),
      output_(options.json, out, err),
      err_(err),
      settings_file_(options.settings.empty() ? SettingsPath(program_folder) : options.settings) {}

bool TSession::SetUp(TWireProtocol protocol) {
  const std::map<uint8_t, std::string> map = PortMap(TIniFile(settings_file_));
  uint8_t number = 1;
  if (const auto com = ParseComName(options_.port)) {
    number = *com;
    port_name_ = "COM" + std::to_string(number);
    const auto it = map.find(number);
    port_address_ = it != map.end() ? it->second : DefaultComDeviceName(number);
  } else {
    port_name_ = options_.port;
    port_address_ = options_.port;
  }
  if (options_.rs485) port_address_ += " rs485";
  if (options_.echo) port_address_ += " echo";
  port_.SetDeviceMap({{number, port_address_}});
  port_.SetComPort(number);
  port_.SetBaudRate(options_.baud);
  if (options_.trace) {
    if (!options_.trace_file.empty()) {
      trace_file_.reset(std::fopen(options_.trace_file.c_str(), "w"));
      if (!trace_file_) {
        output_.Message("cannot write the trace to " + options_.trace_file + ": " +
                        std::strerror(errno));
        output_.Note(kExitOutput);
        return false;
      }
    }
    trace_ = std::make_unique<TTrace>(trace_file_ ? trace_file_.get() : err_, port_.NowUs());
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
  return true;
}

void TSession::SetTraceProtocol(TWireProtocol protocol) {
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
    JsonObject j;
    j.Add("ok", false)
        .Add("error", static_cast<uint32_t>(TOxaError::kPortNotOpen))
        .Add("error_text", ErrorMessages[static_cast<size_t>(TOxaError::kPortNotOpen)])
        .Add("request", "")
        .Add("port", port_name_)
        .Add("port_error", PortFailureName(e.failure))
        .Add("detail", reason);
    output_.Object(j);
  }
  output_.Message("cannot open " + port_name_ + ": " + reason);
  output_.Note(kExitPort);
  return false;
}

void TSession::ClosePort() {
  if (trace_) trace_->Flush();
  port_.Close();
}

void TSession::Emit(const TActionResult& r, const JsonObject& json) {
  if (trace_) trace_->Flush();
  const TLineState line{.address = options_.address,
                        .port = port_name_,
                        .baud = options_.baud,
                        .lost = port_.Lost(),
                        .echo_failed = ful_.EchoFailed() || zeb_.EchoFailed()};
  output_.Result(r, json, r.Ok() ? std::string() : FailureReason(r, line));
}

int TSession::Repeat(const std::function<bool()>& read) {
  const bool repeat = options_.count_given && options_.count != 1;
  if (repeat) CatchInterrupt();
  std::vector<double> times;
  uint32_t failures = 0;
  for (uint32_t i = 0; options_.count == 0 || i < options_.count; ++i) {
    if (i > 0) {
      PauseMs(options_.interval_ms);
      if (Interrupted()) break;
    }
    const auto start = std::chrono::steady_clock::now();
    const bool ok = OpenPort() && read();
    times.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count());
    if (!ok) ++failures;
    if (!repeat || Interrupted()) break;
  }
  ClosePort();
  if (repeat) output_.Summary(times, failures);
  return output_.Status();
}

int TSession::Finish(int status) {
  trace_.reset();
  if (!trace_file_) return status;
  const bool failed = std::ferror(trace_file_.get()) != 0;
  if (std::fclose(trace_file_.release()) != 0 || failed) {
    output_.Message("writing the trace to " + options_.trace_file + " failed");
    return kExitOutput;
  }
  return status;
}

}  // namespace oxa::cli
