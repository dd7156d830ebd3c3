// What fulctl prints: each result as the window's lines or as one JSON object a line on the
// standard output, messages on the standard error, and the exit status they add up to.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "actions/OxaActions.h"
#include "cli/Fulctl.h"
#include "cli/Json.h"
#include "serial/OxaOutputFile.h"

namespace oxa::cli {

// The exit status of an outcome; `echo_failed`: code 1 meant that the request came back
// altered or not at all on an echoing line, which the line garbled, as it garbles a bad answer.
int ExitStatusOf(TOxaError code, bool echo_failed = false);

// `j` with an identification's fields: `id`, and for a device that answered in the standard
// layout of function 17 its `server_id` (hex), `run_indicator` (true, false or null) and
// `additional_data` (hex).
TJsonObject IdentificationFields(TJsonObject j, const TIdentification& r);

// `what` failed ("cannot write x.bin") and why, in one line: "cannot write x.bin: it is a
// folder, not a regular file". `temporary` is the file's temporary, which may be in the way.
std::string OutputFileProblem(const std::string& what, const TOutputError& error,
                              const std::string& temporary = "");

// A sentence of the catalog, which the window shows as it stands ("The file holds ..."), as
// one of fulctl's messages, which start lower-case: its first letter lowered, Latin or
// Cyrillic.
std::string MessageText(std::string_view sentence);

// The line as it stood when an exchange failed, for the message that says why.
struct TLineState {
  uint8_t address = 0;
  std::string_view port;  // as the user named it: "COM3", "/dev/ttyUSB0"
  uint32_t baud = 0;
  bool tcp = false;          // a serial device server or a Modbus TCP server, reached over TCP
  bool lost = false;         // the port lost its device, or the server closed the connection
  bool echo_failed = false;  // the request came back altered, or not at all, on an echoing line
  bool ten_x_over_modbus_tcp = false;        // a 10x command on a modbus-tcp:// port: nothing sent
  TLanguage language = TLanguage::kEnglish;  // of error_text, and of a bad answer's reason
  TOutcomeLine Outcome() const { return {address, lost, tcp, echo_failed, ten_x_over_modbus_tcp}; }
};

// The fields every JSON result carries: ok, error, error_text (what happened, in the user's
// terms and `line`'s language: actions/TextCatalog.h's OutcomeText), request, and the device's
// exception. `ok` is the outcome's unless the caller knows better (a value read back different
// after a write that went through).
TJsonObject CommonFields(const TActionResult& r, const TLineState& line);
TJsonObject CommonFields(const TActionResult& r, bool ok, const TLineState& line);

// Why `r` failed, in one line ("no answer from address 1 on COM1 at 9600 bit/s").
std::string FailureReason(const TActionResult& r, const TLineState& line);
// The line after a failure on the port fulctl took by itself (no -p): what `port` opens
// (`address`) and how to name another: "COM1 is /dev/ttyS0, the board's own serial port; name
// an adapter with -p /dev/ttyUSB0 (fulctl ports lists them)". `settings` is the file whose
// [Ports] section mapped the port; empty when none did.
std::string ChosenPortHint(std::string_view port, std::string_view address,
                           std::string_view settings);

// The times of a run of exchanges in bounded memory, however long the run: their count,
// least, greatest and median. The median is exact while the run has at most kKept times;
// beyond, each new time takes the place of a kept one at random (a reservoir sample), so the
// kept ones stay a fair sample of the whole run.
class TTimes {
 public:
  static constexpr size_t kKept = 4096;

  void Add(double ms);
  uint64_t Count() const { return count_; }
  double Min() const { return min_; }
  double Max() const { return max_; }
  double Median() const;  // the upper one of an even count; 0 without times

 private:
  std::vector<double> kept_;
  uint64_t count_ = 0;
  double min_ = 0;
  double max_ = 0;
  std::minstd_rand random_;  // its fixed seed gives every run the same choice
};

// What a repeated read adds up to, for its summary.
struct TRunCounts {
  uint64_t reads = 0;      // rounds of -n: each address of -a once
  uint64_t exchanges = 0;  // results of exchanges with a device
  uint64_t failures = 0;   // failed exchanges, and addresses read while the port would not open
  uint64_t not_open = 0;   // of the failures, those the port would not open for
  uint64_t late = 0;       // reads that took longer than -i
  TTimes times;            // of each exchange
};

class TOutput {
 public:
  TOutput(bool json, std::FILE* out, std::FILE* err, TLanguage language = TLanguage::kEnglish)
      : json_(json), language_(language), out_(out), err_(err) {}

  bool Json() const { return json_; }
  // --csv: the standard output carries the CSV alone (CsvLines); results print nothing there,
  // and their failures and the summary go to the standard error.
  void SetCsv(bool csv);
  // The language of the texts meant for people (--lang).
  TLanguage Language() const { return language_; }
  // The exit status so far: that of the last result or message that was not OK.
  int Status() const { return status_; }
  void Note(int status);

  // One result: its lines, each after `prefix` (the time of a repeated read and a space), and
  // for a failure `why` on the standard error; or `json`. Notes `status`, the exit status of
  // its outcome.
  void Result(const TActionResult& r, const TJsonObject& json, const std::string& why, int status,
              const std::string& prefix = "");
  // CSV lines, made whole by the caller, on the standard output at once.
  void CsvLines(std::string_view text);
  // A line of its own on the standard output, at once: a JSON object, or a text.
  void Object(const TJsonObject& json);
  void Line(const std::string& text);
  // "fulctl: `text`" on the standard error.
  void Message(const std::string& text);
  // Ends the line that a progress bar, or the terminal's echo of Ctrl+C, left on the standard
  // error.
  void EndLine();
  // A bar on the standard error of a terminal, for runs of 2 steps or more and not with --json.
  void Progress(size_t done, size_t total, const char* what);
  // Clears a progress bar off its line, leaving the cursor at its start.
  void ClearProgress();
  // The summary of a repeated read: how many reads and exchanges, how many failed (and of
  // them how many found the port closed), how many were late, and the times of the exchanges
  // made: "4 reads (128 exchanges), 0 failed, 0 late; time per exchange min ...".
  void Summary(const TRunCounts& run);

  // True once a write to the standard output failed (a full disk, a closed pipe): a run of
  // several results stops then, since nobody sees them.
  bool Failed() const { return write_error_ != 0; }
  // Flushes the standard output. `status`, or kExitOutput with a message when anything written
  // to it was lost.
  int Finish(int status);

 private:
  // Flushes the standard output and remembers the first failure.
  void Flush();

  bool json_;
  bool csv_ = false;
  TLanguage language_;
  std::FILE* out_;
  std::FILE* err_;
  int status_ = kExitOk;
  int write_error_ = 0;        // errno of the first failed write to the standard output
  size_t progress_width_ = 0;  // characters of the progress bar on the terminal's line
};

}  // namespace oxa::cli
