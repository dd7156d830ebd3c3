// A range of archive blocks read into a file, as fulctl's `archive FIRST LAST -o FILE` and the
// windows' archive range do it, and resumed where an earlier run stopped.
//
// The file FILE holds the blocks' raw bytes, whole 128-byte blocks only, in block order. They
// go to FILE.part first, which replaces FILE at the end of the run (also of a run that stopped
// or failed half-way: the blocks read so far are worth keeping), so FILE is never a file half
// written. Beside it, FILE.info records what the file was begun with: the device's
// identification (function 17, read once at the start of every run) and the first and last
// block. It is written when the first block of a new download is, and removed once the range
// is whole in FILE.
//
// A resumed run takes the blocks that an earlier run of the same range left in FILE.part (a
// run that ended without replacing FILE: a crash, a failed write) or else in FILE (a run that
// was stopped or failed), checks that their number is whole blocks of the range and that
// FILE.info names the same range and, once the identification is read, the same device, and
// reads only the blocks that are missing. FILE.part and FILE.info are taken only when they are
// this user's own regular files: in a folder that every user may write, anything else under
// their names was put there by somebody else. An empty FILE.part or FILE holds no blocks (a run
// killed before its first one): a resume with no blocks there at all starts afresh. A file
// without its record is not resumed (nothing says where it came from), unless it holds exactly
// the range's blocks: then it is whole already, and nothing needs to be read.
//
// A run holds a lock on FILE.lock from Prepare() to its end, so two runs never write FILE at
// once: a second one is refused and told which program holds it, where the system says.
//
// Nothing here opens the port, prints or throws: the caller opens the port between Prepare()
// and Run(), and gets the outcome, with its text in the language asked for, in the result.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "actions/OxaActions.h"
#include "actions/TextCatalog.h"
#include "serial/OxaFileLock.h"
#include "serial/OxaOutputFile.h"

namespace oxa {

// The archive blocks a FUL device keeps: numbers 0 to 8191.
inline constexpr uint16_t kArchiveHighestBlock = 8191;
inline constexpr size_t kArchiveBlockBytes = std::tuple_size_v<decltype(TArchiveRead::bytes)>;
// FILE + these: the file the blocks go to first, and the record of what FILE was begun with.
inline constexpr std::string_view kArchivePartSuffix = ".part";
inline constexpr std::string_view kArchiveRecordSuffix = ".info";
// FILE + this: the lock file of the run under way.
inline constexpr std::string_view kArchiveLockSuffix = ".lock";

struct TArchiveJob {
  std::string path;  // FILE
  uint16_t first = 0;
  uint16_t last = 0;
  bool resume = false;
  // Block numbers above it are refused (fulctl reads any number a request can carry).
  uint16_t highest = kArchiveHighestBlock;
};

enum class TArchiveOutcome {
  kComplete,        // the whole range is in FILE
  kStopped,         // asked to stop: the blocks read so far are in FILE
  kExchangeFailed,  // the identification or a block was not read: `exchange` says why; the
                    // blocks read before it are in FILE
  kBadRange,        // first above last, or a number above `highest`: nothing sent or changed
  kNoPath,          // no file named: nothing sent or changed
  kFileRefused,     // FILE, FILE.part or FILE.info is no regular file, something else is in the
                    // way of FILE.part, FILE.info's temporary or FILE.lock (a link, another
                    // user's file), or FILE.part cannot be made: `file` and `file_error` say
                    // which and why
  kInUse,           // another run holds FILE.lock: `holder_pid` and `holder_name` say which
  kAlreadyWhole,    // resume: FILE holds the range's blocks and no record or FILE.part tells
                    // of a run: nothing to read, nothing sent or changed
  kNoRecord,        // resume: a file there, but no FILE.info beside it
  kBadRecord,       // resume: FILE.info is not a record of ours
  kOtherRange,      // resume: FILE.info names other blocks
  kNotWholeBlocks,  // resume: the file there is not whole blocks of the range
  kOtherDevice,     // resume: another device answered; only its identification was read
  kWriteFailed,     // FILE.part or FILE.info could not be written: the blocks written so far
                    // stay in FILE.part, and FILE as it was
  kCommitFailed,    // FILE.part could not replace FILE: it stays, with every block read
};

struct TArchiveProgress {
  size_t done = 0;   // blocks in the file, those of an earlier run included
  size_t total = 0;  // blocks of the range
  size_t read = 0;   // blocks this run read
  std::chrono::steady_clock::duration elapsed{};  // since this run's first block was asked for
};

struct TArchiveResult {
  TArchiveOutcome outcome = TArchiveOutcome::kComplete;
  size_t done = 0;          // blocks in FILE (or in FILE.part after a failed write)
  size_t total = 0;         // blocks of the range
  size_t read = 0;          // blocks this run read
  size_t resumed_from = 0;  // blocks an earlier run had left
  std::string id;           // the identification this run read
  std::string recorded_id;  // a resume: the one FILE.info holds
  TActionResult exchange;   // kExchangeFailed: the exchange that failed
  std::string file;         // a file outcome: the file it concerns
  TOutputError file_error;  // and why, as the system said it
  int64_t holder_pid = 0;   // kInUse: the process that holds the lock, 0 when the system
  std::string holder_name;  // does not tell; its program name, raw ("" when unknown)
  std::string text;         // the outcome for people, in the language asked for
  bool Ok() const {
    return outcome == TArchiveOutcome::kComplete || outcome == TArchiveOutcome::kAlreadyWhole;
  }
};

// What the caller sees of a run while it goes on; each may be left empty.
struct TArchiveEvents {
  // After every exchange, before anything else is done with it (an exchange log's cue).
  std::function<void()> exchanged = nullptr;
  // After the identification's exchange, answered or not.
  std::function<void(const TIdentification&)> identified = nullptr;
  // After each block's exchange: a block read and written to FILE.part, or one not read. A
  // block read but not written is told by the result alone.
  std::function<void(const TArchiveRead&)> block = nullptr;
  // After each block written.
  std::function<void(const TArchiveProgress&)> progress = nullptr;
  // Asked before each block: true stops the run there.
  std::function<bool()> stop = nullptr;
};

class TArchiveDownload {
 public:
  explicit TArchiveDownload(TArchiveJob job, TLanguage language = TLanguage::kRussian);

  // What needs no device: the range, the path, the lock, that FILE and its companions are
  // regular files (of this user) or nothing, and for a resume the record and the blocks
  // already there. A new download makes FILE.part here (empty), so a path that cannot be
  // written is known before the port is touched, and removes an earlier run's FILE.info, which
  // no longer tells the truth. False, with the outcome in Result(), when the run cannot go on
  // (or need not: kAlreadyWhole, which Result().Ok() counts as done); nothing was sent and
  // nothing changed then.
  bool Prepare();
  // On the port the caller opened for `device`: reads the identification and then the blocks,
  // and leaves FILE, FILE.part and FILE.info as the header says; lets the lock go. Call once,
  // after Prepare() said true.
  const TArchiveResult& Run(ToxaFul0508& device, const TArchiveEvents& events = {});
  // Instead of Run(), when the port did not open: removes the FILE.part that Prepare() made and
  // lets the lock go. FILE stays as it was; for a new download, the earlier run's record is
  // gone (Prepare).
  void Abandon();

  const TArchiveResult& Result() const { return result_; }
  const TArchiveJob& Job() const { return job_; }
  std::string PartPath() const { return job_.path + std::string(kArchivePartSuffix); }
  std::string RecordPath() const { return job_.path + std::string(kArchiveRecordSuffix); }
  std::string LockPath() const { return job_.path + std::string(kArchiveLockSuffix); }

 private:
  bool Fail(TArchiveOutcome outcome, std::string file = "", TOutputError error = {});
  bool PrepareLocked();
  bool PrepareResume();
  void RunLocked(ToxaFul0508& device, const TArchiveEvents& events);
  bool StartPart();
  bool WriteRecord();
  void Finish(bool write_failed);
  std::string OutcomeText() const;

  TArchiveJob job_;
  TLanguage language_;
  TArchiveResult result_;
  bool resuming_ = false;         // blocks of an earlier run are taken over
  std::string earlier_;           // their bytes
  bool earlier_in_part_ = false;  // and they are in FILE.part (else in FILE)
  bool record_written_ = false;
  bool record_is_ours_ = false;  // this run wrote FILE.info
  // Removes FILE.info when this run wrote it, for a run that leaves nothing it describes.
  void ForgetOwnRecord();
  bool identified_ = false;
  TOutputFile part_;
  TFileLock lock_;
};

// The record FILE.info holds: "id=..." (backslashes and control characters as \xNN escapes),
// "first=N" and "last=N", one a line. Parse gives nothing for a text that is not one.
struct TArchiveRecord {
  std::string id;
  uint16_t first = 0;
  uint16_t last = 0;
};
std::string ArchiveRecordText(const TArchiveRecord& record);
std::optional<TArchiveRecord> ParseArchiveRecord(std::string_view text);

// The progress line of a window: "Blocks 50 of 200, 12.5 blocks/s, 0:12 left".
std::string ArchiveProgressText(const TArchiveProgress& progress, TLanguage language);

}  // namespace oxa
