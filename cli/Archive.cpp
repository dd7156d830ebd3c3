// fulctl archive FIRST [LAST]: archive blocks as hexadecimal lines, or their raw bytes to a
// file that an interrupted or failed run leaves with whole blocks only.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "actions/OxaActions.h"
#include "cli/Command.h"
#include "cli/Platform.h"
#include "cli/Session.h"

namespace oxa::cli {

namespace {

int Archive(TSession& s, uint16_t first, uint16_t last) {
  TOutput& output = s.Output();
  const std::string& path = s.Options().output;
  // The blocks go to FILE.part first and replace FILE only once at least one whole block is
  // there: a run that reads nothing leaves an existing FILE as it was.
  const std::string part = path.empty() ? "" : path + ".part";
  TFile file;
  if (!path.empty()) {
    file.reset(std::fopen(part.c_str(), "wb"));
    if (!file) {
      output.Message("cannot write " + part + ": " + std::strerror(errno));
      return kExitOutput;
    }
  }
  const size_t total = size_t{last} - first + 1;
  if (total > 1) CatchInterrupt();
  size_t done = 0;
  bool write_failed = false;
  if (s.OpenPort()) {
    for (uint32_t block = first; block <= last && !Interrupted(); ++block) {
      const TArchiveRead r = ReadArchiveBlock(s.Ful(), static_cast<uint16_t>(block));
      JsonObject j = CommonFields(r);
      j.Add("block", static_cast<int64_t>(block));
      if (r.Ok() && !file) j.Add("bytes", std::span<const uint8_t>(r.bytes));
      if (r.Ok() && file) {
        // Whole blocks only: an interrupted run leaves every block it wrote complete.
        if (std::fwrite(r.bytes.data(), 1, r.bytes.size(), file.get()) != r.bytes.size() ||
            std::fflush(file.get()) != 0) {
          output.Message("writing " + part + " failed: " + std::strerror(errno));
          write_failed = true;
          break;
        }
        if (output.Json()) output.Object(j);
      } else {
        s.Emit(r, j);
      }
      if (!r.Ok()) break;
      output.Progress(++done, total, "blocks");
    }
  }
  s.ClosePort();
  if (file) {
    write_failed = std::fclose(file.release()) != 0 || write_failed;
    std::error_code ec;
    if (done > 0 && !write_failed) {
      std::filesystem::rename(part, path, ec);
      if (ec) {
        output.Message("cannot replace " + path + ": " + ec.message());
        write_failed = true;
      }
    } else if (done == 0) {
      std::filesystem::remove(part, ec);
    }
    // After a failed write the blocks before it stay in FILE.part.
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
