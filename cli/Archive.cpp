// fulctl archive FIRST [LAST]: archive blocks as hexadecimal lines under their numbers, or
// their raw bytes to a file that an interrupted or failed run leaves with whole blocks only,
// and that --resume continues.
#include <string>

#include "actions/ArchiveDownload.h"
#include "actions/OxaActions.h"
#include "cli/Command.h"
#include "cli/Session.h"
#include "serial/OxaHost.h"

namespace oxa::cli {

namespace {

// Notes kExitInterrupted, with its message, when Ctrl+C ended the run before `total` blocks;
// `resumable`: a file that --resume continues.
void NoteInterrupted(TOutput& output, size_t done, size_t total, bool resumable = false) {
  if (!Interrupted() || done >= total) return;
  output.EndLine();
  output.Message("interrupted after " + std::to_string(done) + " of " + std::to_string(total) +
                 " blocks" + (resumable ? "; --resume continues it" : ""));
  output.Note(kExitInterrupted);
}

// "cannot write FILE" and why; what is in the way of FILE (its FILE.part, FILE.lock, the
// record's temporary) is named.
std::string CannotWrite(const std::string& path, const TArchiveResult& r) {
  const bool in_the_way = r.file_error.failure == TOutputFailure::kInTheWay;
  return OutputFileProblem("cannot write " + (in_the_way ? path : r.file), r.file_error, r.file);
}

// Without -o: each block under its number, up to the first that fails.
int PrintBlocks(TSession& s, uint16_t first, uint16_t last) {
  TOutput& output = s.Output();
  const size_t total = size_t{last} - first + 1;
  if (total > 1) CatchInterrupt();
  size_t done = 0;
  if (s.OpenPort()) {
    for (uint32_t block = first; block <= last && !Interrupted() && !output.Failed(); ++block) {
      TArchiveRead r = ReadArchiveBlock(s.Ful(), static_cast<uint16_t>(block), s.Language());
      TJsonObject j = CommonFields(r, s.Line());
      j.Add("block", static_cast<int64_t>(block));
      if (r.Ok()) j.Add("bytes", std::span<const uint8_t>(r.bytes));
      r.lines.insert(r.lines.begin(), "Block " + std::to_string(block));
      s.Emit(r, j);
      if (!r.Ok()) break;
      output.Progress(++done, total, "blocks");
    }
  }
  s.ClosePort();
  NoteInterrupted(output, done, total);
  return output.Status();
}

// With -o FILE: the blocks' bytes to FILE through FILE.part (actions/ArchiveDownload.h), one
// JSON object a block with --json, a failed exchange shown as a read's.
int Download(TSession& s, uint16_t first, uint16_t last, bool resume) {
  TOutput& output = s.Output();
  const std::string& path = s.Options().output;
  TArchiveDownload download(
      {.path = path, .first = first, .last = last, .resume = resume, .highest = UINT16_MAX},
      s.Language());
  // FILE and its companions are looked at, and a new FILE.part made, before the port is
  // touched: a FILE that is not a regular file is refused, and never followed as a link.
  if (!download.Prepare()) {
    const TArchiveResult& r = download.Result();
    // A resume of a file already whole has nothing to do, and says so.
    output.Message(r.outcome == TArchiveOutcome::kFileRefused ? CannotWrite(path, r)
                                                              : MessageText(r.text));
    if (!r.Ok()) output.Note(kExitOutput);
    return output.Status();
  }
  const size_t total = size_t{last} - first + 1;
  if (total > 1) CatchInterrupt();
  if (!s.OpenPort()) {
    download.Abandon();
    s.ClosePort();
    return output.Status();
  }
  TArchiveEvents events;
  events.identified = [&](const TIdentification& id) {
    if (id.Ok()) return;
    TJsonObject j = CommonFields(id, s.Line());
    j.Add("identification", true);
    TIdentification shown = id;
    shown.lines.insert(shown.lines.begin(), "Identification");
    s.Emit(shown, j);
  };
  events.block = [&](const TArchiveRead& r) {
    TJsonObject j = CommonFields(r, s.Line());
    j.Add("block", static_cast<int64_t>(r.block));
    if (r.Ok()) {
      if (output.Json()) output.Object(j);
      return;
    }
    TArchiveRead shown = r;
    shown.lines.insert(shown.lines.begin(), "Block " + std::to_string(r.block));
    s.Emit(shown, j);
  };
  events.progress = [&](const TArchiveProgress& p) { output.Progress(p.done, p.total, "blocks"); };
  events.stop = [&] { return Interrupted() || output.Failed(); };
  const TArchiveResult& r = download.Run(s.Ful(), events);
  s.ClosePort();
  using enum TArchiveOutcome;
  switch (r.outcome) {
    case kComplete:
    case kStopped:
    case kExchangeFailed:  // shown as it happened, its status noted
      break;
    case kWriteFailed:
      // The blocks before it stay in FILE.part.
      output.Message(OutputFileProblem("writing " + r.file + " failed", r.file_error));
      output.Note(kExitOutput);
      break;
    case kCommitFailed:
      output.Message(OutputFileProblem("cannot replace " + path, r.file_error));
      output.Note(kExitOutput);
      break;
    case kFileRefused:
      output.Message(CannotWrite(path, r));
      output.Note(kExitOutput);
      break;
    default:  // a resume refused once the device answered
      output.Message(MessageText(r.text));
      output.Note(kExitOutput);
      break;
  }
  NoteInterrupted(output, r.done, total, true);
  return output.Status();
}

}  // namespace

TPrepared PrepareArchive(const TArguments& a, const TOptions& options) {
  const auto first = ParseNumber(a[0], 0, 65535);
  const auto last = a.size() > 1 ? ParseNumber(a[1], 0, 65535) : first;
  if (!first || !last || *last < *first) {
    return {{}, "archive blocks must be numbers from 0 to 65535, FIRST not above LAST"};
  }
  if (options.resume && (options.output.empty() || a.size() < 2)) {
    return {{}, "--resume continues a file: it needs FIRST, LAST and -o FILE"};
  }
  const auto f = static_cast<uint16_t>(*first);
  const auto l = static_cast<uint16_t>(*last);
  if (options.output.empty()) return {[f, l](TSession& s) { return PrintBlocks(s, f, l); }, ""};
  return {[f, l, resume = options.resume](TSession& s) { return Download(s, f, l, resume); }, ""};
}

}  // namespace oxa::cli
