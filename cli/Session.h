// The line a fulctl command works on: the port as the options name it, both masters set up as
// the window has them with the options' address, time-out and attempts, the exchange trace,
// and the output with the exit status it adds up to.
#pragma once

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "actions/OxaActions.h"
#include "actions/PollCsv.h"
#include "cli/Options.h"
#include "cli/Output.h"
#include "cli/Trace.h"
#include "serial/OxaComPort.h"
#include "serial/OxaOutputFile.h"

namespace oxa::cli {

// When the read after one that began at `start` (on its schedule) and ended `now` begins,
// `period` (-i) from start to start: at the period's end, or at once when the read took
// longer, which makes it late. A late read never brings a burst of reads to catch up, and the
// schedule never drifts by the time the reads take.
struct TNextRead {
  std::chrono::steady_clock::time_point start;
  bool late = false;
};
TNextRead NextRead(std::chrono::steady_clock::time_point start, std::chrono::milliseconds period,
                   std::chrono::steady_clock::time_point now);

class TSession {
 public:
  // `program_folder` is where the window's settings file is looked for.
  TSession(const TOptions& options, const std::string& program_folder, std::FILE* out,
           std::FILE* err);

  const TOptions& Options() const { return options_; }
  TLanguage Language() const { return options_.language; }
  TOutput& Output() { return output_; }
  ToxaComPort& Port() { return port_; }
  ToxaFul0508& Ful() { return ful_; }
  ToxaZeb106& Zeb() { return zeb_; }
  // The settings file whose [Ports] section maps COM numbers.
  const std::string& SettingsFile() const { return settings_file_; }

  // Binds the port and both masters, and starts the trace (if asked for) decoding `protocol`.
  // False, with the exit status noted, when the trace file cannot be written.
  bool SetUp(TWireProtocol protocol);
  void SetTraceProtocol(TWireProtocol protocol);
  // Opens the port, afresh when it lost its device; says why it would not open (exit status
  // noted).
  bool OpenPort();
  void ClosePort();
  // The line as it stands now, for the words of an outcome.
  TLineState Line() const;
  // Prints a result after the trace's pending lines, with the reason of a failure. Each result
  // is an exchange, counted and timed for the summary of a repeated read.
  void Emit(const TActionResult& r, const TJsonObject& json);
  // Runs `read` once, or as often as -n says, each address of -a in turn, with a summary at
  // the end. -i is the period from one read's start to the next (NextRead); the pause waits
  // on the system and Ctrl+C ends it at once. The port is opened afresh for each address when
  // it lost its device; `read` prints a result for each exchange (Emit) and says whether all
  // were OK. With -n each result carries the local time its read began (at the start of each
  // text line, "time" in JSON). With --csv the output is `columns`' header and a row per
  // read and address, whose values `read` hands to Values. The exit status.
  int Repeat(const std::function<bool()>& read, std::span<const TPollColumn> columns = {});
  // --csv: the values of one exchange of the read under way (`count` columns), none when it
  // failed (`r`'s outcome then goes in the row). Nothing without --csv.
  void Values(const TActionResult& r, std::span<const double> values, size_t count);
  // Ends the trace and the output. `status`, or kExitOutput when the trace file or the
  // standard output could not be written whole.
  int Finish(int status);

 private:
  // After a failure that a wrong port may cause: when the user named no port, which one was
  // taken and how to name another, once a run.
  void HintAtChosenPort();

  TOptions options_;
  TOutput output_;
  std::FILE* err_;
  std::string settings_file_;
  // The address of the result under way: -a's, or one of its list.
  uint8_t address_ = 0;
  // Whether -a names several devices: each result then carries its address.
  bool several_ = false;
  std::string port_name_;                            // as the user named it: "COM3", "/dev/ttyUSB0"
  std::string port_address_;                         // what it opens, options included
  TWireProtocol protocol_ = TWireProtocol::kModbus;  // of the command under way
  std::string port_device_;                          // what it opens, without the line's options
  bool port_mapped_ = false;                         // by the settings file's [Ports] section
  bool port_hint_said_ = false;                      // ChosenPortHint, said once a run
  std::optional<TLocalTime> read_time_;  // of the read under way, when its results carry it
  TRunCounts run_;                       // of Repeat's run; every Emit counts an exchange
  // When the exchange under way began: the read's start, or the end of the result before.
  std::chrono::steady_clock::time_point exchange_start_;
  std::vector<std::optional<double>> row_;  // --csv: the values of the read under way
  std::string row_outcome_;                 // and its first failure's text; empty while OK
  ToxaComPort port_;
  ToxaFul0508 ful_;
  ToxaZeb106 zeb_;
  // The trace writes to its file until it is destroyed, and watches the port until then: it
  // is declared after both.
  TAppendFile trace_file_;
  std::unique_ptr<TTrace> trace_;
};

}  // namespace oxa::cli
