#include "cli/Fulctl.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "actions/IniFile.h"
#include "actions/OxaActions.h"
#include "actions/OxaPortTexts.h"
#include "actions/SettingsPath.h"
#include "cli/Json.h"
#include "cli/Options.h"
#include "cli/Platform.h"
#include "cli/Trace.h"
#include "serial/OxaPortInfo.h"

namespace oxa::cli {

namespace {

constexpr const char* kVersion = "fulctl 1.0";

constexpr const char* kUsage =
    "Usage: fulctl [options] COMMAND [arguments]\n"
    "Try 'fulctl --help' for the commands and options.\n";

constexpr const char* kHelp = R"(Usage: fulctl [options] COMMAND [arguments]

Performs one exchange with a FUL meter or doser on a serial line (Modbus RTU, or the 10x
protocol where it says so) and prints the outcome as the FUL 05.03 Modbus test window shows
it. Options may stand before or after the command.

Commands:
  id                        the identification text (Modbus function 17)
  regs START COUNT          COUNT holding registers from START (function 3)
  write REG VALUE...        one value with function 6, several with function 16, then
                            reads them back and compares
  integrator NAME|REG|all   an integrator's value and unit (V1, T1, 2000, ...); all: the 32
  archive FIRST [LAST]      archive blocks (function 65); with -o FILE their raw bytes go to
                            FILE (through FILE.part), otherwise hexadecimal lines
  dose [LITRES]             reads the dose, or writes it and reads it back
  doser start|pause|stop|state|reset
                            the doser's commands, and its state
  stamp                     the stamp record, over the 10x protocol
  info                      identification, firmware version and device number, over the
                            10x protocol
  scan                      every device that answers: --bauds LIST (default: the -b speed),
                            --addresses RANGE (default 1-127, 0-127 for 10x),
                            --protocol modbus|10x|both (default both)
  ports                     the serial devices present and the COM numbers mapped to them

Options:
  -p, --port PORT       COMn (mapped as the window maps it: the [Ports] section of the
                        settings file, else /dev/ttyS(n-1)), a device path such as
                        /dev/ttyUSB0 or /dev/serial/by-id/..., or tcp://host:port for a
                        serial device server (default COM1)
  -b, --baud N          line speed in bit/s, any the driver takes (default 9600)
  -a, --address N       the device's address, 0 to 127 (default 1)
  -t, --timeout MS      time allowed for the answer's first byte (default 500)
  -r, --retries N       attempts per exchange (default 3 for Modbus, 7 for 10x)
      --rs485           switch the adapter's RS-485 mode on (RTS drives the transmitter)
      --echo            the line returns each request before the answer (two-wire RS-485)
      --settings FILE   the settings file whose [Ports] section maps COM numbers
                        (default: the window's ful03test.ini, beside the program when
                        it is there or the folder is writable, else in
                        $XDG_CONFIG_HOME/ful03test/, by default ~/.config/ful03test/)
      --json            one JSON object per result on stdout, one line each, with ok,
                        error, error_text and request (see the manual page)
      --trace[=FILE]    every frame on the wire, with times, to stderr or FILE
  -n, --count N         repeat a read N times, 0 until Ctrl+C, then print a summary
  -i, --interval MS     pause between repeated reads (default 1000)
  -o, --output FILE     archive: write the blocks' raw bytes to FILE
  -h, --help            this text
      --version         the program's version

Exit status:
  0  every result was OK
  1  no answer: the device did not answer within the time-out
  2  usage: the command line was wrong
  3  bad answer: wrong checksum, size or address complement
  4  device exception: the device refused the request
  5  port: the port could not be opened (not present, busy, permission denied, ...) or
     lost its device
  6  mismatch: a value written reads back different
  7  output: the trace or archive file could not be written (the blocks read before a
     failed write stay in FILE.part)
  8  interrupted: Ctrl+C ended an archive before its last block (the whole blocks read
     are kept)

Examples:
  fulctl -p /dev/ttyUSB0 -a 3 regs 0 10
  fulctl -p COM2 -b 19200 --json integrator all
  fulctl regs 2201 1 -n 0 -i 500          poll the dose register until Ctrl+C
  fulctl archive 0 99 -o archive.bin
  fulctl scan --bauds 9600,19200 --addresses 1-32
)";

// The outcome of a master's last operation, by name.
TOxaError Outcome(const ToxaCustomProtocol& master) {
  return static_cast<TOxaError>(master.LastError());
}

// A repeated read's exchange times, for the summary.
struct TTimes {
  std::vector<double> ms;
  uint32_t failures = 0;
};

class TRun {
 public:
  TRun(const TOptions& options, const std::string& program_folder, std::FILE* out, std::FILE* err)
      : o_(options), out_(out), err_(err), program_folder_(program_folder) {}

  int Run();

 private:
  // ---- The line ----
  bool SetUpPort();
  bool OpenPort();
  void ClosePort();
  void SetUpDevices();

  // ---- Output ----
  // The fields every result carries: ok, error, error_text, request, and the device's
  // exception. `ok` is the outcome's unless the caller knows better (a value read back
  // different after a write that went through).
  JsonObject Common(const TActionResult& r) const { return Common(r, r.Ok()); }
  JsonObject Common(const TActionResult& r, bool ok) const;
  // Prints `r` (its lines, or `json`), and notes its exit status.
  void Emit(const TActionResult& r, const JsonObject& json);
  void Note(int status) {
    if (status != kExitOk) status_ = status;
  }
  void Explain(const TActionResult& r);
  int StatusOf(TOxaError code) const;
  void Progress(size_t done, size_t total, const char* what);

  // ---- Commands ----
  int Usage(const std::string& problem);
  // Runs `read` once, or as often as -n says, with the summary; each call is one result.
  int Repeat(const std::function<bool()>& read);
  bool Id();
  bool Registers(uint16_t start, uint16_t count);
  bool Integrator(size_t index);
  bool Stamp();
  bool Info();
  bool DoseRead();
  bool DoserState();
  int Write(uint16_t reg, const std::vector<uint16_t>& values);
  int DoseWrite(long double litres);
  int Doser(const std::string& what);
  int Archive(uint16_t first, uint16_t last);
  int Scan();
  int Ports();

  TOptions o_;
  std::FILE* out_;
  std::FILE* err_;
  std::string program_folder_;
  std::string settings_path_;
  std::string port_name_;     // as the user named it: "COM3", "/dev/ttyUSB0"
  std::string port_address_;  // what it opens, options included
  ToxaComPort port_;
  ToxaFul0508 ful_;
  ToxaZeb106 zeb_;
  std::FILE* trace_file_ = nullptr;
  std::unique_ptr<TTrace> trace_;
  int status_ = kExitOk;
  TTimes times_;
};

// ---- The line --------------------------------------------------------------------------------

bool TRun::SetUpPort() {
  settings_path_ = o_.settings.empty() ? SettingsPath(program_folder_) : o_.settings;
  const std::map<uint8_t, std::string> map = PortMap(TIniFile(settings_path_));
  uint8_t number = 1;
  if (const auto com = ParseComName(o_.port)) {
    number = *com;
    port_name_ = "COM" + std::to_string(number);
    const auto it = map.find(number);
    port_address_ = it != map.end() ? it->second : DefaultComDeviceName(number);
  } else {
    port_name_ = o_.port;
    port_address_ = o_.port;
  }
  if (o_.rs485) port_address_ += " rs485";
  if (o_.echo) port_address_ += " echo";
  port_.SetDeviceMap({{number, port_address_}});
  port_.SetComPort(number);
  port_.SetBaudRate(o_.baud);
  if (o_.trace) {
    if (!o_.trace_file.empty()) {
      trace_file_ = std::fopen(o_.trace_file.c_str(), "w");
      if (trace_file_ == nullptr) {
        std::fprintf(err_, "fulctl: cannot write the trace to %s: %s\n", o_.trace_file.c_str(),
                     std::strerror(errno));
        status_ = kExitOutput;
        return false;
      }
    }
    trace_ = std::make_unique<TTrace>(trace_file_ != nullptr ? trace_file_ : err_, port_.NowUs());
    trace_->Attach(port_);
  }
  return true;
}

void TRun::SetUpDevices() {
  for (ToxaCustomProtocol* master :
       {static_cast<ToxaCustomProtocol*>(&ful_), static_cast<ToxaCustomProtocol*>(&zeb_)}) {
    master->SetComPort(&port_);
    master->SetNetAddr(o_.address);
    master->SetPacketTimeout(o_.timeout_ms);
    master->SetByteTimeout(200);  // as the window has it
  }
  ful_.SetRepeatCount(o_.retries.value_or(3));
  zeb_.SetRepeatCount(o_.retries.value_or(7));
}

bool TRun::OpenPort() {
  // A port that lost its device (an adapter pulled) is opened afresh: the adapter may be back.
  if (port_.Opened() && !port_.Lost()) return true;
  port_.Close();
  if (port_.Open()) return true;
  const TOpenError& e = port_.OpenError();
  const std::string reason =
      PortFailureText(e, port_name_, port_address_, settings_path_, TLanguage::kEnglish);
  if (o_.json) {
    JsonObject j;
    j.Add("ok", false)
        .Add("error", static_cast<uint32_t>(TOxaError::kPortNotOpen))
        .Add("error_text", ErrorMessages[static_cast<size_t>(TOxaError::kPortNotOpen)])
        .Add("request", "")
        .Add("port", port_name_)
        .Add("port_error", PortFailureName(e.failure))
        .Add("detail", reason);
    std::fprintf(out_, "%s\n", j.Text().c_str());
  }
  std::fprintf(err_, "fulctl: cannot open %s: %s\n", port_name_.c_str(), reason.c_str());
  Note(kExitPort);
  return false;
}

void TRun::ClosePort() {
  if (trace_) trace_->Flush();
  port_.Close();
}

// ---- Output ----------------------------------------------------------------------------------

int TRun::StatusOf(TOxaError code) const {
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

JsonObject TRun::Common(const TActionResult& r, bool ok) const {
  JsonObject j;
  const auto code = static_cast<uint32_t>(r.code);
  j.Add("ok", ok).Add("error", code).Add("error_text", ErrorMessages[code]);
  j.Add("request", r.request);
  if (r.exception != 0) {
    j.Add("exception", int{r.exception}).Add("exception_name", ModbusExceptionName(r.exception));
  }
  return j;
}

void TRun::Explain(const TActionResult& r) {
  if (r.Ok()) return;
  std::string why;
  switch (r.code) {
    case TOxaError::kNoAnswer:
      why = "no answer from address " + std::to_string(o_.address) + " on " + port_name_ + " at " +
            std::to_string(o_.baud) + " bit/s";
      break;
    case TOxaError::kNoPortOrWriteFailed:
      why = port_.Lost() ? "the port lost its device (adapter unplugged?); it is opened afresh "
                           "for the next exchange"
            : (ful_.EchoFailed() || zeb_.EchoFailed())
                ? "the request came back altered or not at all on the echoing line (another "
                  "station talking at the same time, or a line without echo)"
                : "the request could not be sent";
      break;
    case TOxaError::kDeviceException:
      why = "the device refused the request";
      break;
    default:
      why = std::string("bad answer: ") + std::string(ErrorMessages[static_cast<size_t>(r.code)]);
      break;
  }
  std::fprintf(err_, "fulctl: %s\n", why.c_str());
}

void TRun::Emit(const TActionResult& r, const JsonObject& json) {
  if (trace_) trace_->Flush();
  if (o_.json) {
    std::fprintf(out_, "%s\n", json.Text().c_str());
  } else {
    for (const std::string& line : r.lines) std::fprintf(out_, "%s\n", line.c_str());
    Explain(r);
  }
  std::fflush(out_);
  Note(StatusOf(r.code));
}

void TRun::Progress(size_t done, size_t total, const char* what) {
  if (o_.json || total < 2 || !IsTerminal(err_)) return;
  constexpr size_t kWidth = 30;
  const size_t filled = total == 0 ? kWidth : done * kWidth / total;
  std::fprintf(err_, "\r[%s%s] %zu/%zu %s", std::string(filled, '#').c_str(),
               std::string(kWidth - filled, '.').c_str(), done, total, what);
  if (done == total) std::fprintf(err_, "\n");
  std::fflush(err_);
}

int TRun::Usage(const std::string& problem) {
  std::fprintf(err_, "fulctl: %s\n%s", problem.c_str(), kUsage);
  return kExitUsage;
}

// ---- Reads, once or repeated -----------------------------------------------------------------

int TRun::Repeat(const std::function<bool()>& read) {
  const bool repeat = o_.count_given && o_.count != 1;
  if (repeat) CatchInterrupt();
  for (uint32_t i = 0; o_.count == 0 || i < o_.count; ++i) {
    if (i > 0) {
      PauseMs(o_.interval_ms);
      if (Interrupted()) break;
    }
    const auto start = std::chrono::steady_clock::now();
    const bool ok = OpenPort() && read();
    times_.ms.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count());
    if (!ok) ++times_.failures;
    if (!repeat || Interrupted()) break;
  }
  ClosePort();
  if (repeat) {
    std::vector<double> sorted = times_.ms;
    std::sort(sorted.begin(), sorted.end());
    const double min = sorted.empty() ? 0 : sorted.front();
    const double max = sorted.empty() ? 0 : sorted.back();
    const double median = sorted.empty() ? 0 : sorted[sorted.size() / 2];
    if (o_.json) {
      JsonObject j;
      j.Add("summary", true)
          .Add("ok", times_.failures == 0)
          .Add("count", static_cast<int64_t>(sorted.size()))
          .Add("failures", times_.failures)
          .Add("min_ms", min)
          .Add("median_ms", median)
          .Add("max_ms", max);
      std::fprintf(out_, "%s\n", j.Text().c_str());
    } else {
      std::fprintf(
          out_,
          "%zu exchanges, %u failed; time per exchange min %.3f ms, median %.3f ms, max %.3f ms\n",
          sorted.size(), times_.failures, min, median, max);
    }
  }
  return status_;
}

bool TRun::Id() {
  const TIdentification r = Identify(ful_);
  Emit(r, Common(r).Add("id", r.id));
  return r.Ok();
}

bool TRun::Registers(uint16_t start, uint16_t count) {
  const TRegisterRead r = ReadRegisters(ful_, start, count);
  JsonObject j = Common(r);
  j.Add("start", int{start});
  if (r.Ok()) j.Add("registers", std::span<const uint16_t>(r.values));
  Emit(r, j);
  return r.Ok();
}

bool TRun::Integrator(size_t index) {
  const TIntegratorRead r = ReadIntegrator(ful_, index, ".");
  JsonObject j = Common(r);
  j.Add("name", r.name).Add("register", int{r.reg}).Add("unit", r.unit);
  if (r.Ok()) {
    if (r.is_long) {
      j.Add("value", int64_t{r.word});
    } else {
      j.Add("value", r.value);
    }
    j.Add("raw", HexBytes(r.raw));
  }
  Emit(r, j);
  return r.Ok();
}

bool TRun::Stamp() {
  const TStampRead r = ReadStamp(zeb_);
  JsonObject j = Common(r);
  if (r.Ok()) {
    j.Add("id", r.id).Add("carries_stamp", r.carries_stamp);
    if (r.present) {
      j.Add("number", int{r.number}).Add("date", r.date);
    } else {
      j.AddNull("number").AddNull("date");
    }
    if (r.carries_stamp) j.Add("text", r.text);
  }
  Emit(r, j);
  if (r.Ok() && !r.carries_stamp && !o_.json) {
    std::fprintf(
        err_, "fulctl: the device keeps no stamp record (its identification \"%s\" names no FUL)\n",
        r.id.c_str());
  }
  return r.Ok();
}

bool TRun::Info() {
  TActionResult r;
  std::string id, version, number;
  zeb_.GetDevID(id);
  if (Outcome(zeb_) == TOxaError::kOk) zeb_.GetSoftVer(version);
  if (Outcome(zeb_) == TOxaError::kOk) zeb_.GetDeviceNumber(number);
  r.code = Outcome(zeb_);
  r.request = Last10xRequest(zeb_);
  if (r.Ok()) {
    r.lines = {"OK", "ID = " + id, "Version = " + version, "Number = " + number};
  } else {
    r.lines = FailureLines(r.code, 0);
  }
  JsonObject j = Common(r);
  if (r.Ok()) j.Add("id", id).Add("version", version).Add("number", number);
  Emit(r, j);
  return r.Ok();
}

bool TRun::DoseRead() {
  const TDose r = ReadDose(ful_);
  JsonObject j = Common(r);
  if (r.Ok()) j.Add("tenths", int{r.tenths}).Add("litres", r.litres);
  Emit(r, j);
  return r.Ok();
}

bool TRun::DoserState() {
  const TDoserStateRead r = ReadDoserState(ful_);
  JsonObject j = Common(r);
  if (r.Ok()) j.Add("state", int{r.state}).Add("name", r.name);
  Emit(r, j);
  return r.Ok();
}

// ---- Writes --------------------------------------------------------------------------------

int TRun::Write(uint16_t reg, const std::vector<uint16_t>& values) {
  if (!OpenPort()) return status_;
  // A register write asked for on the command line goes out: function 16 is not held back by
  // the calibration signature here.
  ful_.SetEWrite(true);
  std::vector<uint8_t> data;
  for (uint16_t v : values) {
    data.push_back(static_cast<uint8_t>(v >> 8));
    data.push_back(static_cast<uint8_t>(v & 0xFF));
  }
  if (values.size() == 1) {
    ful_.WriteSingleRegister(reg, values[0]);
  } else {
    ful_.WriteMultipleRegisters(reg, static_cast<uint16_t>(values.size()), data);
  }
  TActionResult written;
  written.code = Outcome(ful_);
  written.exception = ful_.LastException();
  written.request = ful_.LastSent();
  if (!written.Ok()) {
    written.lines = FailureLines(written.code, written.exception);
    Emit(written, Common(written).Add("register", int{reg}));
    ClosePort();
    return status_;
  }
  const TRegisterRead back = ReadRegisters(ful_, reg, static_cast<uint16_t>(values.size()));
  ClosePort();
  const bool match = back.Ok() && back.values == values;
  TActionResult r = back;
  // Both exchanges went through, but a value that reads back different is a failed write.
  r.lines = !back.Ok() ? back.lines : std::vector<std::string>{match ? "OK" : "Failed"};
  if (back.Ok()) {
    std::string line = "Written from " + std::to_string(reg) + ":";
    std::string read = "Read back:";
    for (uint16_t v : values) line += " " + std::to_string(v);
    for (uint16_t v : back.values) read += " " + std::to_string(v);
    r.lines.push_back(line);
    r.lines.push_back(read + (match ? " (match)" : " (MISMATCH)"));
  }
  JsonObject j = Common(r, match);
  j.Add("register", int{reg}).Add("written", std::span<const uint16_t>(values));
  if (back.Ok()) j.Add("read_back", std::span<const uint16_t>(back.values)).Add("match", match);
  Emit(r, j);
  if (back.Ok() && !match) {
    if (!o_.json) std::fprintf(err_, "fulctl: the registers read back different\n");
    Note(kExitMismatch);
  }
  return status_;
}

int TRun::DoseWrite(long double litres) {
  if (!OpenPort()) return status_;
  const uint16_t tenths = DoseTenths(litres);
  const TDose w = WriteDose(ful_, tenths);
  if (!w.Ok()) {
    Emit(w, Common(w).Add("tenths", int{tenths}));
    ClosePort();
    return status_;
  }
  TDose back = ReadDose(ful_);
  ClosePort();
  const bool match = back.Ok() && back.tenths == tenths;
  if (back.Ok() && !match) back.lines.front() = "Failed";
  JsonObject j = Common(back, match);
  j.Add("written_tenths", int{tenths});
  if (back.Ok()) j.Add("tenths", int{back.tenths}).Add("litres", back.litres).Add("match", match);
  Emit(back, j);
  if (back.Ok() && !match) {
    if (!o_.json) std::fprintf(err_, "fulctl: the dose reads back as %.1f l\n", back.litres);
    Note(kExitMismatch);
  }
  return status_;
}

int TRun::Doser(const std::string& what) {
  if (what == "state") return Repeat([this] { return DoserState(); });
  TDoserCommand command = TDoserCommand::kStop;
  if (what == "start") {
    command = TDoserCommand::kStart;
  } else if (what == "pause") {
    command = TDoserCommand::kPause;
  } else if (what != "stop" && what != "reset") {
    return Usage("'" + what + "' is not a doser command (start, pause, stop, state, reset)");
  }
  if (!OpenPort()) return status_;
  const TActionResult r = what == "reset" ? ResetDoser(ful_) : SendDoserCommand(ful_, command);
  ClosePort();
  Emit(r, Common(r).Add("command", what));
  return status_;
}

// ---- Archive -------------------------------------------------------------------------------

int TRun::Archive(uint16_t first, uint16_t last) {
  // The blocks go to FILE.part first and replace FILE only once at least one whole block is
  // there: a run that reads nothing leaves an existing FILE as it was.
  const std::string part = o_.output.empty() ? "" : o_.output + ".part";
  std::FILE* file = nullptr;
  if (!o_.output.empty()) {
    file = std::fopen(part.c_str(), "wb");
    if (file == nullptr) {
      std::fprintf(err_, "fulctl: cannot write %s: %s\n", part.c_str(), std::strerror(errno));
      return kExitOutput;
    }
  }
  const size_t total = size_t{last} - first + 1;
  if (total > 1) CatchInterrupt();
  size_t done = 0;
  bool write_failed = false;
  if (OpenPort()) {
    for (uint32_t block = first; block <= last && !Interrupted(); ++block) {
      const TArchiveRead r = ReadArchiveBlock(ful_, static_cast<uint16_t>(block));
      JsonObject j = Common(r);
      j.Add("block", static_cast<int64_t>(block));
      if (r.Ok() && file == nullptr) j.Add("bytes", std::span<const uint8_t>(r.bytes));
      if (r.Ok() && file != nullptr) {
        // Whole blocks only: an interrupted run leaves every block it wrote complete.
        if (std::fwrite(r.bytes.data(), 1, r.bytes.size(), file) != r.bytes.size() ||
            std::fflush(file) != 0) {
          std::fprintf(err_, "fulctl: writing %s failed: %s\n", part.c_str(),
                       std::strerror(errno));
          write_failed = true;
          break;
        }
        if (o_.json) std::fprintf(out_, "%s\n", j.Text().c_str());
      } else {
        Emit(r, j);
      }
      if (!r.Ok()) break;
      Progress(++done, total, "blocks");
    }
  }
  ClosePort();
  if (file != nullptr) {
    write_failed = std::fclose(file) != 0 || write_failed;
    std::error_code ec;
    if (done > 0 && !write_failed) {
      std::filesystem::rename(part, o_.output, ec);
      if (ec) {
        std::fprintf(err_, "fulctl: cannot replace %s: %s\n", o_.output.c_str(),
                     ec.message().c_str());
        write_failed = true;
      }
    } else if (done == 0) {
      std::filesystem::remove(part, ec);
    }
    // After a failed write the blocks before it stay in FILE.part.
    if (write_failed) Note(kExitOutput);
  }
  if (Interrupted() && done < total) {
    std::fprintf(err_, "\nfulctl: interrupted after %zu of %zu blocks\n", done, total);
    Note(kExitInterrupted);
  }
  return status_;
}

// ---- Scan ----------------------------------------------------------------------------------

bool ParseRange(const std::string& text, uint32_t& low, uint32_t& high) {
  const size_t dash = text.find('-');
  const auto a = ParseNumber(text.substr(0, dash), 0, 127);
  const auto b = dash == std::string::npos ? a : ParseNumber(text.substr(dash + 1), 0, 127);
  if (!a || !b || *a > *b) return false;
  low = static_cast<uint32_t>(*a);
  high = static_cast<uint32_t>(*b);
  return true;
}

int TRun::Scan() {
  std::vector<uint32_t> bauds;
  const std::string list = o_.bauds.empty() ? std::to_string(o_.baud) : o_.bauds;
  for (size_t pos = 0; pos <= list.size();) {
    const size_t comma = std::min(list.find(',', pos), list.size());
    const auto baud = ParseNumber(list.substr(pos, comma - pos), 1, 4000000);
    if (!baud) return Usage("'" + list + "' is not a list of speeds such as 9600,19200");
    bauds.push_back(static_cast<uint32_t>(*baud));
    pos = comma + 1;
  }
  struct TProtocolRange {
    bool modbus;
    uint32_t low, high;
  };
  std::vector<TProtocolRange> protocols;
  for (const bool modbus : {true, false}) {
    if (o_.protocol != "both" && (o_.protocol == "modbus") != modbus) continue;
    TProtocolRange p{modbus, modbus ? 1u : 0u, 127};
    if (!o_.addresses.empty() && !ParseRange(o_.addresses, p.low, p.high)) {
      return Usage("'" + o_.addresses + "' is not an address range such as 1-127");
    }
    protocols.push_back(p);
  }
  size_t total = 0;
  for (const auto& p : protocols) total += (p.high - p.low + 1) * bauds.size();
  // One attempt per address unless -r says otherwise: a scan asks each address once.
  ful_.SetRepeatCount(o_.retries.value_or(1));
  zeb_.SetRepeatCount(o_.retries.value_or(1));
  zeb_.SetPauseAfterLastAttempt(false);
  CatchInterrupt();
  size_t done = 0;
  size_t found = 0;
  for (const uint32_t baud : bauds) {
    port_.SetBaudRate(baud);
    port_.Close();
    if (!OpenPort()) break;
    for (const auto& p : protocols) {
      if (trace_) trace_->SetProtocol(p.modbus ? TWireProtocol::kModbus : TWireProtocol::k10x);
      for (uint32_t address = p.low; address <= p.high && !Interrupted(); ++address) {
        TIdentification r;
        if (p.modbus) {
          ful_.SetNetAddr(static_cast<uint8_t>(address));
          r = Identify(ful_);
        } else {
          zeb_.SetNetAddr(static_cast<uint8_t>(address));
          r = Identify10x(zeb_);
        }
        const TOxaError code = r.code;
        const std::string& id = r.id;
        Progress(++done, total, "addresses");
        // An intact answer, a refusal included, is a device.
        const bool answered = code == TOxaError::kOk || code == TOxaError::kDeviceException;
        if (port_.Lost()) break;
        if (!answered) continue;
        ++found;
        const char* protocol = p.modbus ? "modbus" : "10x";
        if (o_.json) {
          // A refusal of the identification still finds the device: ok says whether it
          // identified itself.
          JsonObject j = Common(r);
          j.Add("baud", baud).Add("address", address).Add("protocol", protocol);
          if (r.Ok()) j.Add("id", id);
          std::fprintf(out_, "%s\n", j.Text().c_str());
        } else {
          if (IsTerminal(err_) && !o_.json) std::fprintf(err_, "\r");
          std::fprintf(
              out_, "%u bit/s, address %u, %s: %s\n", baud, address, p.modbus ? "Modbus" : "10x",
              code == TOxaError::kOk ? ("ID = " + id).c_str() : "answers (refuses identification)");
        }
        std::fflush(out_);
      }
    }
    ClosePort();
    if (Interrupted()) break;
  }
  if (!o_.json) std::fprintf(out_, "%zu device%s found\n", found, found == 1 ? "" : "s");
  if (status_ != kExitOk) return status_;
  return found > 0 ? kExitOk : kExitNoAnswer;
}

// ---- Ports ---------------------------------------------------------------------------------

int TRun::Ports() {
  settings_path_ = o_.settings.empty() ? SettingsPath(program_folder_) : o_.settings;
  const std::map<uint8_t, std::string> map = PortMap(TIniFile(settings_path_));
  const std::vector<TPortInfo> ports = ListSerialPorts();
  for (const TPortInfo& info : ports) {
    // The COM numbers that open this device: mapped in [Ports], or by default.
    std::string coms;
    for (int n = 1; n <= 255; ++n) {
      const auto it = map.find(static_cast<uint8_t>(n));
      const std::string address =
          it != map.end() ? it->second : DefaultComDeviceName(static_cast<uint8_t>(n));
      TPortAddress parsed;
      std::string problem;
      if (!ParsePortAddress(address, parsed, problem) || parsed.path.empty()) continue;
      if (DescribePort(parsed.path).path == info.path) {
        coms += (coms.empty() ? "" : ",") + ("COM" + std::to_string(n));
      }
    }
    if (o_.json) {
      JsonObject j;
      j.Add("path", info.path).Add("by_id", info.by_id).Add("driver", info.driver);
      j.Add("usb_id", info.usb_id).Add("manufacturer", info.manufacturer);
      j.Add("product", info.product).Add("serial", info.serial_number).Add("com", coms);
      std::fprintf(out_, "%s\n", j.Text().c_str());
    } else {
      std::fprintf(out_, "%-16s %-8s %s\n", info.path.c_str(), coms.c_str(),
                   PortInfoText(info).c_str());
    }
  }
  if (ports.empty() && !o_.json) std::fprintf(err_, "fulctl: no serial devices found\n");
  return kExitOk;
}

// ---- Dispatch ------------------------------------------------------------------------------

int TRun::Run() {
  const std::string& c = o_.command;
  const std::vector<std::string>& a = o_.arguments;
  const auto args = [&](size_t min, size_t max) { return a.size() >= min && a.size() <= max; };
  const auto number = [&](size_t i, uint64_t max) { return ParseNumber(a[i], 0, max); };

  if (c == "ports") return args(0, 0) ? Ports() : Usage("ports takes no arguments");
  static const char* const kCommands[] = {"id",   "regs",  "write", "integrator", "archive",
                                          "dose", "doser", "stamp", "info",       "scan"};
  if (std::find_if(std::begin(kCommands), std::end(kCommands),
                   [&](const char* k) { return c == k; }) == std::end(kCommands)) {
    return Usage(c.empty() ? "no command given" : "unknown command '" + c + "'");
  }
  // Arguments are checked before the port is touched.
  std::function<int()> command;
  if (c == "id" || c == "stamp" || c == "info") {
    if (!args(0, 0)) return Usage(c + " takes no arguments");
    if (c == "id") command = [this] { return Repeat([this] { return Id(); }); };
    if (c == "stamp") command = [this] { return Repeat([this] { return Stamp(); }); };
    if (c == "info") command = [this] { return Repeat([this] { return Info(); }); };
  } else if (c == "regs") {
    if (!args(2, 2)) return Usage("regs needs START and COUNT");
    const auto start = number(0, 65535);
    const auto count = ParseNumber(a[1], 1, 125);
    if (!start) return Usage("START '" + a[0] + "' is not a register number from 0 to 65535");
    if (!count) return Usage("COUNT '" + a[1] + "' is not a number of registers from 1 to 125");
    command = [this, s = uint16_t(*start), n = uint16_t(*count)] {
      return Repeat([this, s, n] { return Registers(s, n); });
    };
  } else if (c == "write") {
    if (!args(2, 124)) return Usage("write needs REG and 1 to 123 values");
    const auto reg = number(0, 65535);
    if (!reg) return Usage("REG '" + a[0] + "' is not a register number from 0 to 65535");
    std::vector<uint16_t> values;
    for (size_t i = 1; i < a.size(); ++i) {
      const auto v = number(i, 65535);
      if (!v) return Usage("VALUE '" + a[i] + "' is not a number from 0 to 65535");
      values.push_back(static_cast<uint16_t>(*v));
    }
    command = [this, r = uint16_t(*reg), values] { return Write(r, values); };
  } else if (c == "integrator") {
    if (!args(1, 1)) return Usage("integrator needs a NAME, a REGISTER or all");
    std::vector<size_t> indexes;
    if (a[0] == "all") {
      for (size_t i = 0; i < kIntegrators.size(); ++i) indexes.push_back(i);
    } else if (const auto index = FindIntegrator(a[0])) {
      indexes.push_back(*index);
    } else {
      return Usage("unknown integrator '" + a[0] + "' (V1, M1, Tall, T1, 2000, ... or all)");
    }
    command = [this, indexes] {
      return Repeat([this, indexes] {
        bool ok = true;
        for (size_t i : indexes) ok = Integrator(i) && ok;
        return ok;
      });
    };
  } else if (c == "archive") {
    if (!args(1, 2)) return Usage("archive needs FIRST and may take LAST");
    const auto first = number(0, 65535);
    const auto last = a.size() > 1 ? number(1, 65535) : first;
    if (!first || !last || *last < *first) {
      return Usage("archive blocks must be numbers from 0 to 65535, FIRST not above LAST");
    }
    command = [this, f = uint16_t(*first), l = uint16_t(*last)] { return Archive(f, l); };
  } else if (c == "dose") {
    if (!args(0, 1)) return Usage("dose takes at most LITRES");
    if (a.empty()) {
      command = [this] { return Repeat([this] { return DoseRead(); }); };
    } else {
      std::string text = a[0];
      std::replace(text.begin(), text.end(), ',', '.');
      char* end = nullptr;
      const long double litres = std::strtold(text.c_str(), &end);
      if (text.empty() || *end != '\0' || !(litres >= 0) || litres > 6553.5L) {
        return Usage("LITRES '" + a[0] + "' is not a dose from 0 to 6553.5");
      }
      command = [this, litres] { return DoseWrite(litres); };
    }
  } else if (c == "doser") {
    if (!args(1, 1)) return Usage("doser needs start, pause, stop, state or reset");
    const std::string what = a[0];
    if (what != "start" && what != "pause" && what != "stop" && what != "state" &&
        what != "reset") {
      return Usage("'" + what + "' is not a doser command (start, pause, stop, state, reset)");
    }
    command = [this, what] { return Doser(what); };
  } else if (c == "scan") {
    if (!args(0, 0)) return Usage("scan takes options only");
    command = [this] { return Scan(); };
  }
  if (!SetUpPort()) return status_;
  SetUpDevices();
  if (c == "stamp" || c == "info") {
    if (trace_) trace_->SetProtocol(TWireProtocol::k10x);
  }
  const int status = command();
  if (trace_) trace_->Detach();
  if (trace_file_ != nullptr) std::fclose(trace_file_);
  return status;
}

}  // namespace

int RunFulctl(int argc, const char* const* argv, std::FILE* out, std::FILE* err) {
  TOptions options;
  std::string error;
  if (!ParseOptions(argc, argv, options, error)) {
    std::fprintf(err, "fulctl: %s\n%s", error.c_str(), kUsage);
    return kExitUsage;
  }
  if (options.help) {
    std::fputs(kHelp, out);
    return kExitOk;
  }
  if (options.version) {
    std::fprintf(out, "%s\n", kVersion);
    return kExitOk;
  }
  TRun run(options, ProgramFolder(argc > 0 ? argv[0] : "fulctl"), out, err);
  return run.Run();
}

}  // namespace oxa::cli
