// fulctl archive FIRST [LAST]: archive blocks as hexadecimal lines under their numbers, or
// their raw bytes to a file that an interrupted or failed run leaves with whole blocks only.
#include <string>

#include "actions/OxaActions.h"
#include "cli/Command.h"
#include "cli/Session.h"
#include "serial/OxaHost.h"
#include "serial/OxaOutputFile.h"

namespace oxa::cli {

namespace {

constexpr const char* kPartSuffix = ".part";

int Archive(TSession& s, uint16_t first, uint16_t last) {
  TOutput& output = s.Output();
  const std::string& path = s.Options().output;
  // The blocks go to FILE.part first and replace FILE only once at least one whole block is
  // there: a run that reads nothing leaves an existing FILE as it was. FILE.part is made
  // afresh, never through a link, and a FILE that is not a regular file is refused, before
  // the port is touched.
  TOutputFile file;
  if (!path.empty() && !file.Create(path, kPartSuffix)) {
    output.Message(OutputFileProblem("cannot write " + path, file.Error(), path + kPartSuffix));
    output.Note(kExitOutput);
    return output.Status();
  }
  const size_t total = size_t{last} - first + 1;
  if (total > 1) CatchInterrupt();
  size_t done = 0;
  bool write_failed = false;
  if (s.OpenPort()) {
    for (uint32_t block = first; block <= last && !Interrupted() && !output.Failed(); ++block) {
      TArchiveRead r = ReadArchiveBlock(s.Ful(), static_cast<uint16_t>(block), s.Language());
      TJsonObject j = CommonFields(r, s.Language());
      j.Add("block", static_cast<int64_t>(block));
      if (r.Ok() && !file.Opened()) j.Add("bytes", std::span<const uint8_t>(r.bytes));
      if (r.Ok() && file.Opened()) {
        // Whole blocks only: an interrupted run leaves every block it wrote complete.
        if (!file.Write(r.bytes)) {
          output.Message(
              OutputFileProblem("writing " + file.TemporaryPath() + " failed", file.Error()));
          write_failed = true;
          break;
        }
        if (output.Json()) output.Object(j);
      } else {
        r.lines.insert(r.lines.begin(), "Block " + std::to_string(block));
        s.Emit(r, j);
      }
      if (!r.Ok()) break;
      output.Progress(++done, total, "blocks");
    }
  }
  s.ClosePort();
  if (file.Opened()) {
    if (done > 0 && !write_failed) {
      if (!file.Commit()) {
        output.Message(OutputFileProblem("cannot replace " + path, file.Error()));
        write_failed = true;
      }
    } else if (done == 0) {
      file.Discard();
    }
    // After a failed write the blocks before it stay in FILE.part.
    file.Keep();
    if (write_failed) output.Note(kExitOutput);
  }
  if (Interrupted() && done < total) {
    output.EndLine();
    output.Message("interrupted after " + std::to_string(done) + " of " + std::to_string(total) +
                   " blocks");
    output.Note(kExitInterrupted);
  }
  return output.Status();
}

}  // namespace

TPrepared PrepareArchive(const TArguments& a, const TOptions&) {
  const auto first = ParseNumber(a[0], 0, 65535);
  const auto last = a.size() > 1 ? ParseNumber(a[1], 0, 65535) : first;
  if (!first || !last || *last < *first) {
    return {{}, "archive blocks must be numbers from 0 to 65535, FIRST not above LAST"};
  }
  return {[f = uint16_t(*first), l = uint16_t(*last)](TSession& s) { return Archive(s, f, l); },
          ""};
}

}  // namespace oxa::cli
