// What fulctl prints: each result as the window's lines or as one JSON object a line on the
// standard output, messages on the standard error, and the exit status they add up to.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "actions/OxaActions.h"
#include "cli/Fulctl.h"
#include "cli/Json.h"

namespace oxa::cli {

// A C file that closes itself on every way out; a caller that must know whether its last
// bytes went out closes it with fclose(release()).
struct TFileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using TFile = std::unique_ptr<std::FILE, TFileCloser>;

// The exit status of an outcome.
int ExitStatusOf(TOxaError code);

// The fields every JSON result carries: ok, error, error_text, request, and the device's
// exception. `ok` is the outcome's unless the caller knows better (a value read back different
// after a write that went through).
JsonObject CommonFields(const TActionResult& r);
JsonObject CommonFields(const TActionResult& r, bool ok);

// The line as it stood when an exchange failed, for the message that says why.
struct TLineState {
  uint8_t address = 0;
  std::string_view port;  // as the user named it: "COM3", "/dev/ttyUSB0"
  uint32_t baud = 0;
  bool lost = false;         // the port lost its device
  bool echo_failed = false;  // the request came back altered, or not at all, on an echoing line
};
// Why `r` failed, in one line ("no answer from address 1 on COM1 at 9600 bit/s").
std::string FailureReason(const TActionResult& r, const TLineState& line);

class TOutput {
 public:
  TOutput(bool json, std::FILE* out, std::FILE* err) : json_(json), out_(out), err_(err) {}

  bool Json() const { return json_; }
  // The exit status so far: that of the last result or message that was not OK.
  int Status() const { return status_; }
  void Note(int status);

  // One result: its lines, and for a failure `why` on the standard error; or `json`. Notes the
  // exit status of its outcome.
  void Result(const TActionResult& r, const JsonObject& json, const std::string& why);
  // A line of its own on the standard output, at once: a JSON object, or a text.
  void Object(const JsonObject& json);
  void Line(const std::string& text);
  // "fulctl: `text`" on the standard error.
  void Message(const std::string& text);
  // Ends the line that a progress bar, or the terminal's echo of Ctrl+C, left on the standard
  // error.
  void EndLine();
  // A bar on the standard error of a terminal, for runs of 2 steps or more and not with --json.
  void Progress(size_t done, size_t total, const char* what);
  // Returns the terminal's cursor to the start of the line, over a progress bar.
  void ClearProgress();
  // The summary of a repeated read: how many exchanges, how many failed, and their times.
  void Summary(const std::vector<double>& ms, uint32_t failures);

 private:
  bool json_;
  std::FILE* out_;
  std::FILE* err_;
  int status_ = kExitOk;
};

}  // namespace oxa::cli
