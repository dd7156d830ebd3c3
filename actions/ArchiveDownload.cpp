#include "actions/ArchiveDownload.h"

#include <charconv>
#include <filesystem>
#include <system_error>
#include <utility>

#include "serial/OxaHost.h"

namespace oxa {

namespace {

using enum TArchiveOutcome;

constexpr size_t kRecordMaxSize = 4096;

std::string Number(size_t n) {
  return std::to_string(n);
}

// Paths travel as UTF-8. A std::filesystem::path made from a plain string would take it in the
// system's narrow code page, which on Windows is not UTF-8; through char8_t it stays whole.
std::filesystem::path PathOf(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

// What lies at `path`, without following a link: not_found when nothing does.
std::filesystem::file_type KindAt(const std::string& path) {
  std::error_code ec;
  return std::filesystem::symlink_status(PathOf(path), ec).type();
}

// In the words the output files use for what is no regular file.
std::string WhatIs(std::filesystem::file_type kind) {
  using std::filesystem::file_type;
  switch (kind) {
    case file_type::directory:
      return "a folder";
    case file_type::character:
      return "a character device";
    case file_type::block:
      return "a block device";
    case file_type::fifo:
      return "a FIFO";
    case file_type::socket:
      return "a socket";
    case file_type::symlink:
      return "a symbolic link";
    default:
      return "a special file";
  }
}

bool Exists(std::filesystem::file_type kind) {
  return kind != std::filesystem::file_type::not_found && kind != std::filesystem::file_type::none;
}

bool IsRegularOrNothing(std::filesystem::file_type kind) {
  return !Exists(kind) || kind == std::filesystem::file_type::regular;
}

constexpr char kHexDigits[] = "0123456789ABCDEF";

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::optional<uint16_t> RecordNumber(std::string_view text) {
  uint16_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// "1:05", or "1:02:05" from an hour on.
std::string Duration(uint64_t seconds) {
  const auto two = [](uint64_t n) { return (n < 10 ? "0" : "") + std::to_string(n); };
  const uint64_t hours = seconds / 3600;
  const uint64_t minutes = seconds / 60 % 60;
  return hours > 0 ? std::to_string(hours) + ":" + two(minutes) + ":" + two(seconds % 60)
                   : std::to_string(minutes) + ":" + two(seconds % 60);
}

}  // namespace

// ---- The record ------------------------------------------------------------------------------

std::string ArchiveRecordText(const TArchiveRecord& record) {
  std::string id;
  for (const char c : record.id) {
    const auto byte = static_cast<uint8_t>(c);
    if (byte < 0x20 || byte == 0x7F || c == '\\') {
      id += "\\x";
      id += kHexDigits[byte >> 4];
      id += kHexDigits[byte & 0x0F];
    } else {
      id += c;
    }
  }
  return "id=" + id + "\nfirst=" + Number(record.first) + "\nlast=" + Number(record.last) + "\n";
}

std::optional<TArchiveRecord> ParseArchiveRecord(std::string_view text) {
  TArchiveRecord record;
  bool has_id = false;
  std::optional<uint16_t> first;
  std::optional<uint16_t> last;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    if (end == std::string_view::npos) return std::nullopt;  // written whole, so it ends so
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end + 1);
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos) return std::nullopt;
    const std::string_view key = line.substr(0, equals);
    const std::string_view value = line.substr(equals + 1);
    if (key == "id" && !has_id) {
      has_id = true;
      for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '\\') {
          record.id += value[i];
          continue;
        }
        if (i + 3 >= value.size()) return std::nullopt;
        const int high = HexValue(value[i + 2]);
        const int low = HexValue(value[i + 3]);
        if (value[i + 1] != 'x' || high < 0 || low < 0) return std::nullopt;
        record.id += static_cast<char>(high * 16 + low);
        i += 3;
      }
    } else if (key == "first" && !first) {
      first = RecordNumber(value);
      if (!first) return std::nullopt;
    } else if (key == "last" && !last) {
      last = RecordNumber(value);
      if (!last) return std::nullopt;
    } else {
      return std::nullopt;
    }
  }
  if (!has_id || !first || !last) return std::nullopt;
  record.first = *first;
  record.last = *last;
  return record;
}

std::string ArchiveProgressText(const TArchiveProgress& progress, TLanguage language) {
  std::string text = std::string(Text(TText::kArchiveProgressBlocks, language)) +
                     Number(progress.done) + std::string(Text(TText::kArchiveOf, language)) +
                     Number(progress.total);
  const double seconds = std::chrono::duration<double>(progress.elapsed).count();
  if (progress.read == 0 || seconds <= 0) return text;
  const double rate = static_cast<double>(progress.read) / seconds;
  char digits[32];
  const auto [end, ec] =
      std::to_chars(digits, digits + sizeof digits, rate, std::chars_format::fixed, 1);
  if (ec != std::errc()) return text;
  text += ", " + std::string(digits, end) + std::string(Text(TText::kArchivePerSecond, language));
  const size_t left = progress.total - std::min(progress.done, progress.total);
  const auto left_seconds = static_cast<uint64_t>(static_cast<double>(left) / rate + 0.5);
  return text + std::string(Text(TText::kArchiveTimeLeft, language)) + Duration(left_seconds);
}

// ---- The download ----------------------------------------------------------------------------

TArchiveDownload::TArchiveDownload(TArchiveJob job, TLanguage language)
    : job_(std::move(job)), language_(language) {}

bool TArchiveDownload::Fail(TArchiveOutcome outcome, std::string file, TOutputError error) {
  result_.outcome = outcome;
  result_.file = std::move(file);
  result_.file_error = std::move(error);
  result_.text = OutcomeText();
  return false;
}

bool TArchiveDownload::Prepare() {
  result_ = {};
  if (job_.first > job_.last || job_.last > job_.highest) return Fail(kBadRange);
  result_.total = size_t{job_.last} - job_.first + 1;
  if (job_.path.empty()) return Fail(kNoPath);
  // The lock first: what is looked at below stays as it is seen until this run ends.
  switch (lock_.Take(LockPath())) {
    case TFileLock::TTake::kTaken:
      break;
    case TFileLock::TTake::kHeld:
      result_.holder_pid = lock_.HolderPid();
      result_.holder_name = lock_.HolderName();
      return Fail(kInUse, job_.path);
    case TFileLock::TTake::kRefused: {
      const bool in_the_way = lock_.Error().failure == TOutputFailure::kInTheWay;
      return Fail(kFileRefused, in_the_way ? LockPath() : job_.path, lock_.Error());
    }
  }
  if (PrepareLocked()) return true;
  lock_.Release();
  return false;
}

bool TArchiveDownload::PrepareLocked() {
  const auto record_kind = KindAt(RecordPath());
  if (!IsRegularOrNothing(record_kind)) {
    return Fail(kFileRefused, RecordPath(), {TOutputFailure::kNotRegular, WhatIs(record_kind)});
  }
  // The record is written through a temporary beside it: what else lies under that name is
  // found now, before anything is sent, rather than after the first block is read.
  const std::string record_temporary = RecordPath() + std::string(kArchivePartSuffix);
  if (std::string what; !OwnFileOrNothing(record_temporary, what) && !what.empty()) {
    return Fail(kFileRefused, record_temporary, {TOutputFailure::kInTheWay, what});
  }
  if (job_.resume) {
    if (!PrepareResume()) return false;
    if (resuming_) return true;
  }
  // A new download: FILE.part made now, empty, so that a FILE that is no regular file, or a
  // folder that cannot be written, is known before anything is sent.
  if (!part_.Create(job_.path, kArchivePartSuffix)) {
    const bool in_the_way = part_.Error().failure == TOutputFailure::kInTheWay;
    return Fail(kFileRefused, in_the_way ? PartPath() : job_.path, part_.Error());
  }
  // An earlier run's record is true no more: its FILE.part went with the new one, and FILE is
  // this run's to replace. Left, it would let a later resume take FILE for blocks it is not.
  std::error_code ec;
  std::filesystem::remove(PathOf(RecordPath()), ec);
  if (ec) {
    part_.Discard();
    return Fail(kFileRefused, RecordPath(), {TOutputFailure::kSystem, ec.message()});
  }
  return true;
}

void TArchiveDownload::ForgetOwnRecord() {
  if (!record_is_ours_) return;
  std::error_code ec;
  std::filesystem::remove(PathOf(RecordPath()), ec);
  record_is_ours_ = false;
}

bool TArchiveDownload::PrepareResume() {
  const auto file_kind = KindAt(job_.path);
  if (!IsRegularOrNothing(file_kind)) {
    return Fail(kFileRefused, job_.path, {TOutputFailure::kNotRegular, WhatIs(file_kind)});
  }
  const size_t whole = result_.total * kArchiveBlockBytes;
  // FILE.part is what a run left that did not get as far as replacing FILE: it is the later.
  // Only this user's own is: anything else under its name was put there (as a new download
  // finds too), and taking it would put somebody else's bytes over the user's blocks.
  std::string what;
  bool empty_part = false;
  switch (ReadOwnFile(PartPath(), whole, earlier_, what)) {
    case TFileState::kReadable:
      empty_part = earlier_.empty();
      break;
    case TFileState::kMissing:
      break;
    case TFileState::kNotRegular:
      return Fail(kFileRefused, PartPath(), {TOutputFailure::kInTheWay, what});
    case TFileState::kTooLarge:
      return Fail(kNotWholeBlocks, PartPath());
    case TFileState::kUnreadable:
      return Fail(kFileRefused, PartPath(), {TOutputFailure::kSystem, "it cannot be read"});
  }
  // An empty FILE.part is a run killed before its first block: it holds nothing, and FILE is
  // what counts.
  earlier_in_part_ = !earlier_.empty();
  if (!earlier_in_part_) {
    switch (ReadSmallFile(job_.path, whole, earlier_)) {
      case TFileState::kReadable:
      case TFileState::kMissing:  // nothing there, or gone since it was looked at
        break;
      case TFileState::kTooLarge:
        return Fail(kNotWholeBlocks, job_.path);
      default:
        return Fail(kFileRefused, job_.path, {TOutputFailure::kSystem, "it cannot be read"});
    }
  }
  if (earlier_.empty()) return true;  // no block begun: a new download
  const std::string source = earlier_in_part_ ? PartPath() : job_.path;

  std::string text;
  switch (ReadOwnFile(RecordPath(), kRecordMaxSize, text, what)) {
    case TFileState::kReadable:
      break;
    case TFileState::kMissing:
      // The range whole in FILE, and nothing that tells of a run under way: a run that ended
      // complete (or was killed as it removed its record). Nothing to protect, nothing to read.
      if (!earlier_in_part_ && earlier_.size() == whole) {
        std::error_code ec;
        if (empty_part) std::filesystem::remove(PathOf(PartPath()), ec);
        result_.resumed_from = result_.total;
        result_.done = result_.total;
        return Fail(kAlreadyWhole, job_.path);
      }
      return Fail(kNoRecord, RecordPath());
    case TFileState::kNotRegular:
      return Fail(kFileRefused, RecordPath(), {TOutputFailure::kInTheWay, what});
    default:
      return Fail(kBadRecord, RecordPath());
  }
  const auto record = ParseArchiveRecord(text);
  if (!record) return Fail(kBadRecord, RecordPath());
  if (record->first != job_.first || record->last != job_.last) {
    result_.file = RecordPath();
    result_.recorded_id = record->id;
    result_.outcome = kOtherRange;
    result_.text = OutcomeText() + Number(record->first) + "-" + Number(record->last);
    return false;
  }
  if (earlier_.size() % kArchiveBlockBytes != 0) return Fail(kNotWholeBlocks, source);
  result_.recorded_id = record->id;
  result_.resumed_from = earlier_.size() / kArchiveBlockBytes;
  result_.done = result_.resumed_from;
  resuming_ = true;
  record_written_ = true;
  return true;
}

// FILE.part made afresh with the earlier run's blocks, once the device is known to be the same:
// until then the earlier FILE.part stays as it was.
bool TArchiveDownload::StartPart() {
  // Blocks an earlier run left in FILE.part become FILE first, so that they are never only in
  // memory: a write that fails below leaves them there, for a later resume.
  if (earlier_in_part_) {
    std::error_code ec;
    std::filesystem::rename(PathOf(PartPath()), PathOf(job_.path), ec);
    if (ec) return Fail(kFileRefused, PartPath(), {TOutputFailure::kSystem, ec.message()});
  }
  if (!part_.Create(job_.path, kArchivePartSuffix)) {
    const bool in_the_way = part_.Error().failure == TOutputFailure::kInTheWay;
    return Fail(kFileRefused, in_the_way ? PartPath() : job_.path, part_.Error());
  }
  const auto* bytes = reinterpret_cast<const uint8_t*>(earlier_.data());
  if (!part_.Write({bytes, earlier_.size()})) {
    // It holds nothing they do not: FILE has them, for the next resume.
    const TOutputError error = part_.Error();
    part_.Discard();
    return Fail(kWriteFailed, PartPath(), error);
  }
  return true;
}

bool TArchiveDownload::WriteRecord() {
  TOutputFile record;
  const std::string text = ArchiveRecordText({result_.id, job_.first, job_.last});
  if (!record.Create(RecordPath(), kArchivePartSuffix) ||
      !record.Write({reinterpret_cast<const uint8_t*>(text.data()), text.size()}) ||
      !record.Commit()) {
    record.Discard();
    // Put in the way since Prepare() looked: named, as Prepare() would have named it.
    if (record.Error().failure == TOutputFailure::kInTheWay) {
      return Fail(kFileRefused, record.TemporaryPath(), record.Error());
    }
    return Fail(kWriteFailed, RecordPath(), record.Error());
  }
  record_written_ = true;
  record_is_ours_ = true;
  return true;
}

const TArchiveResult& TArchiveDownload::Run(ToxaFul0508& device, const TArchiveEvents& events) {
  RunLocked(device, events);
  lock_.Release();
  return result_;
}

void TArchiveDownload::RunLocked(ToxaFul0508& device, const TArchiveEvents& events) {
  const TIdentification id = Identify(device);
  if (events.exchanged) events.exchanged();
  if (events.identified) events.identified(id);
  if (!id.Ok()) {
    result_.exchange = id;
    Fail(kExchangeFailed);
    Abandon();
    return;
  }
  result_.id = id.id;
  identified_ = true;
  if (resuming_) {
    if (id.id != result_.recorded_id) {
      Fail(kOtherDevice);
      return;
    }
    if (!StartPart()) return;
  }

  result_.outcome = kComplete;
  bool write_failed = false;
  const auto start = std::chrono::steady_clock::now();
  for (uint32_t block = job_.first + result_.done; block <= job_.last; ++block) {
    if (events.stop && events.stop()) {
      result_.outcome = kStopped;
      break;
    }
    const TArchiveRead r = ReadArchiveBlock(device, static_cast<uint16_t>(block), language_);
    if (events.exchanged) events.exchanged();
    if (!r.Ok()) {
      result_.exchange = r;
      result_.outcome = kExchangeFailed;
      if (events.block) events.block(r);
      break;
    }
    // The record goes with the first block, so a run that reads none leaves things as they were.
    if (!record_written_ && !WriteRecord()) {
      write_failed = true;
      break;
    }
    if (!part_.Write(r.bytes)) {
      Fail(kWriteFailed, PartPath(), part_.Error());
      write_failed = true;
      break;
    }
    ++result_.done;
    ++result_.read;
    if (events.block) events.block(r);
    if (events.progress) {
      events.progress(
          {result_.done, result_.total, result_.read, std::chrono::steady_clock::now() - start});
    }
  }
  Finish(write_failed);
}

void TArchiveDownload::Finish(bool write_failed) {
  if (write_failed) {
    // Whatever FILE.part holds is whole blocks, kept for the user (and for a resume).
    if (result_.done == 0) {
      part_.Discard();
      ForgetOwnRecord();
    } else {
      part_.Keep();
    }
    return;
  }
  if (result_.done == 0) {
    // Nothing written: FILE stays as it was, and no record of this run stands beside it.
    part_.Discard();
    ForgetOwnRecord();
  } else if (!part_.Commit()) {
    Fail(kCommitFailed, job_.path, part_.Error());
    return;
  }
  // Nothing is left to resume. A record that stays all the same (the system refused to remove
  // it) only makes a later resume find the range whole.
  if (result_.done == result_.total) {
    std::error_code ec;
    std::filesystem::remove(PathOf(RecordPath()), ec);
  }
  result_.text = OutcomeText();
}

void TArchiveDownload::Abandon() {
  part_.Discard();
  ForgetOwnRecord();
  lock_.Release();
}

std::string TArchiveDownload::OutcomeText() const {
  const auto text = [this](TText id) { return std::string(Text(id, language_)); };
  const TArchiveResult& r = result_;
  switch (r.outcome) {
    case kComplete:
      return text(TText::kArchiveComplete) + VisibleText(job_.path);
    case kStopped:
      return text(TText::kArchiveStopped) + Number(r.done) + text(TText::kArchiveOf) +
             Number(r.total);
    case kExchangeFailed: {
      const std::string why(ErrorText(r.exchange.code, language_));
      if (!identified_) return text(TText::kArchiveIdentificationFailed) + why;
      return text(TText::kArchiveBlock) + Number(job_.first + r.done) +
             text(TText::kArchiveNotRead) + why;
    }
    case kBadRange:
      return text(TText::kArchiveBadRange) + Number(job_.highest) +
             text(TText::kArchiveBadRangeEnd);
    case kNoPath:
      return text(TText::kArchiveNoPath);
    case kFileRefused:
      return text(TText::kArchiveFileRefused) + VisibleText(r.file) + " (" + r.file_error.detail +
             ")";
    case kNoRecord:
      return text(TText::kArchiveNoRecord) + VisibleText(r.file);
    case kBadRecord:
      return text(TText::kArchiveBadRecord) + VisibleText(r.file);
    case kOtherRange:
      return text(TText::kArchiveOtherRange);
    case kNotWholeBlocks:
      return text(TText::kArchiveNotWholeBlocks) + VisibleText(r.file);
    case kOtherDevice:
      return text(TText::kArchiveOtherDevice) + VisibleText(r.recorded_id);
    case kWriteFailed:
      return text(TText::kArchiveWriteFailed) + VisibleText(r.file) + ": " + r.file_error.detail;
    case kCommitFailed:
      return text(TText::kArchiveCommitFailed) + VisibleText(r.file) + ": " + r.file_error.detail;
    case kInUse: {
      std::string held = text(TText::kArchiveInUse) + VisibleText(job_.path);
      if (r.holder_pid == 0) return held;
      const std::string pid = "PID " + std::to_string(r.holder_pid);
      return held + text(TText::kArchiveHeldBy) +
             (r.holder_name.empty() ? pid : VisibleText(r.holder_name) + " (" + pid + ")");
    }
    case kAlreadyWhole:
      return text(TText::kArchiveWhole) + VisibleText(job_.path);
  }
  return "";
}

}  // namespace oxa
