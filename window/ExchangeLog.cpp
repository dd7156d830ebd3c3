#include "window/ExchangeLog.h"

#include <cstddef>
#include <cstdio>
#include <iterator>
#include <utility>

#include "actions/PollCsv.h"
#include "actions/TextCatalog.h"
#include "serial/OxaUtils.h"

namespace oxa {

// --- The median's buckets: 10 µs wide below 10 ms, 100 µs below 100 ms, 1 ms below 10 s, and
// one for everything longer. About 12,000 counters, whatever the number of answers.

namespace {

constexpr uint64_t kFineEnd = 10'000;
constexpr uint64_t kMiddleEnd = 100'000;
constexpr uint64_t kCoarseEnd = 10'000'000;
constexpr size_t kFineBuckets = kFineEnd / 10;
constexpr size_t kMiddleBuckets = (kMiddleEnd - kFineEnd) / 100;
constexpr size_t kCoarseBuckets = (kCoarseEnd - kMiddleEnd) / 1000;
constexpr size_t kBuckets = kFineBuckets + kMiddleBuckets + kCoarseBuckets + 1;

}  // namespace

size_t TExchangeLog::THistogram::Bucket(uint64_t us) {
  if (us < kFineEnd) return us / 10;
  if (us < kMiddleEnd) return kFineBuckets + (us - kFineEnd) / 100;
  if (us < kCoarseEnd) return kFineBuckets + kMiddleBuckets + (us - kMiddleEnd) / 1000;
  return kBuckets - 1;
}

uint64_t TExchangeLog::THistogram::LowerBound(size_t bucket) {
  if (bucket < kFineBuckets) return bucket * 10;
  bucket -= kFineBuckets;
  if (bucket < kMiddleBuckets) return kFineEnd + bucket * 100;
  bucket -= kMiddleBuckets;
  if (bucket < kCoarseBuckets) return kMiddleEnd + bucket * 1000;
  return kCoarseEnd;
}

void TExchangeLog::THistogram::Add(uint64_t us) {
  if (counts_.empty()) counts_.assign(kBuckets, 0);
  ++counts_[Bucket(us)];
  ++total_;
}

std::optional<uint64_t> TExchangeLog::THistogram::Median() const {
  if (total_ == 0) return std::nullopt;
  // The lower median: of an even number of answers, the smaller of the middle two.
  const uint64_t rank = (total_ + 1) / 2;
  uint64_t seen = 0;
  for (size_t b = 0; b < counts_.size(); ++b) {
    seen += counts_[b];
    if (seen >= rank) return LowerBound(b);
  }
  return std::nullopt;
}

void TExchangeLog::THistogram::Clear() {
  counts_.clear();
  total_ = 0;
}

// --- Recording ---------------------------------------------------------------------------------

TExchangeLog::TExchangeLog(uint64_t start_us, size_t capacity)
    : start_us_(start_us), capacity_(capacity > 0 ? capacity : 1) {}

void TExchangeLog::Record(const TTracedFrame& frame) {
  TLogRow row;
  row.kind = frame.decoding.verdict == TFrameVerdict::kNoAnswer       ? TLogRowKind::kNoAnswer
             : frame.decoding.verdict == TFrameVerdict::kBytesDropped ? TLogRowKind::kBytesDropped
                                                                      : TLogRowKind::kFrame;
  row.us = frame.us >= start_us_ ? frame.us - start_us_ : 0;
  row.direction = frame.direction;
  row.bytes = frame.bytes;
  // A frame's meaning is decoded again in the language it is shown in; "no answer" and dropped
  // bytes are said by the verdict.
  row.protocol = frame.decoding.protocol;
  row.verdict = frame.decoding.verdict;
  row.exception = frame.decoding.exception;
  row.response_us = frame.response_us;
  row.dropped_bytes = frame.dropped_bytes;
  Push(std::move(row));
}

TFrameSink TExchangeLog::Sink() {
  return [this](const TTracedFrame& frame) { Record(frame); };
}

void TExchangeLog::PortOpened(std::string_view port, uint64_t us) {
  PortLine(TLogRowKind::kPortOpened, std::string(port), us);
}

void TExchangeLog::PortFailed(std::string_view port, std::string_view reason, uint64_t us) {
  std::string meaning(port);
  if (!reason.empty()) meaning += ": " + std::string(reason);
  PortLine(TLogRowKind::kPortFailed, std::move(meaning), us);
}

void TExchangeLog::PortClosed(std::string_view port, uint64_t us) {
  PortLine(TLogRowKind::kPortClosed, std::string(port), us);
}

void TExchangeLog::PortLine(TLogRowKind kind, std::string meaning, uint64_t us) {
  TLogRow row;
  row.kind = kind;
  row.us = us >= start_us_ ? us - start_us_ : 0;
  row.meaning = std::move(meaning);
  Push(std::move(row));
}

void TExchangeLog::Push(TLogRow row) {
  const std::lock_guard lock(mutex_);
  if (row.kind == TLogRowKind::kNoAnswer) {
    ++counters_.timeouts;
  } else if (row.kind == TLogRowKind::kFrame && row.direction == TPortDirection::kSent) {
    ++counters_.requests;
  } else if (row.kind == TLogRowKind::kFrame) {
    if (row.verdict == TFrameVerdict::kBadChecksum) ++counters_.checksum_errors;
    const bool answer = row.response_us.has_value() && (row.verdict == TFrameVerdict::kGood ||
                                                        row.verdict == TFrameVerdict::kException);
    if (answer) {
      ++(row.verdict == TFrameVerdict::kGood ? counters_.good_answers : counters_.exceptions);
      responses_.Add(*row.response_us);
      if (!counters_.greatest_response_us || *counters_.greatest_response_us < *row.response_us)
        counters_.greatest_response_us = row.response_us;
    }
  }
  row.number = next_number_++;
  if (rows_.size() >= capacity_) {
    rows_.pop_front();
    ++dropped_;
  }
  rows_.push_back(std::move(row));
}

void TExchangeLog::Clear() {
  const std::lock_guard lock(mutex_);
  rows_.clear();
  dropped_ = 0;
  counters_ = {};
  responses_.Clear();
}

TLogSnapshot TExchangeLog::Snapshot(uint64_t from) const {
  const std::lock_guard lock(mutex_);
  TLogSnapshot s;
  s.counters = counters_;
  s.counters.median_response_us = responses_.Median();
  s.dropped = dropped_;
  s.next_number = next_number_;
  s.first_number = rows_.empty() ? next_number_ : rows_.front().number;
  // Numbers run without gaps from the oldest row held.
  const uint64_t skip = from > s.first_number ? from - s.first_number : 0;
  if (skip < rows_.size()) s.rows.assign(rows_.begin() + static_cast<ptrdiff_t>(skip), rows_.end());
  return s;
}

// --- Texts -------------------------------------------------------------------------------------

namespace {

std::string Hex2(uint8_t byte) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  return {kDigits[byte >> 4], kDigits[byte & 0x0F]};
}

std::string_view DirectionText(const TLogRow& row) {
  if (row.kind != TLogRowKind::kFrame) return "--";
  return row.direction == TPortDirection::kSent ? "TX" : "RX";
}

}  // namespace

std::string LogMsText(uint64_t us) {
  const std::string micro = std::to_string(us % 1000);
  return std::to_string(us / 1000) + "." + std::string(3 - micro.size(), '0') + micro;
}

std::string LogMeaningText(const TLogRow& row, TLanguage language) {
  if (row.kind != TLogRowKind::kFrame) return row.meaning;
  if (row.verdict == TFrameVerdict::kEcho) return std::string(Text(TText::kFrameEcho, language));
  return DecodeFrame(row.protocol, row.bytes, row.direction == TPortDirection::kSent, language)
      .meaning;
}

std::string LogVerdictText(const TLogRow& row, TLanguage language) {
  switch (row.kind) {
    case TLogRowKind::kNoAnswer:
      return std::string(Text(TText::kLogVerdictNoAnswer, language));
    case TLogRowKind::kBytesDropped:
      return BytesDroppedText(row.dropped_bytes, language);
    case TLogRowKind::kPortOpened:
      return std::string(Text(TText::kLogPortOpened, language));
    case TLogRowKind::kPortFailed:
      return std::string(Text(TText::kLogPortFailed, language));
    case TLogRowKind::kPortClosed:
      return std::string(Text(TText::kLogPortClosed, language));
    case TLogRowKind::kFrame:
      break;
  }
  switch (row.verdict) {
    case TFrameVerdict::kGood:
      return std::string(Text(TText::kLogVerdictGood, language));
    case TFrameVerdict::kBadChecksum:
      return std::string(Text(TText::kLogVerdictBadChecksum, language));
    case TFrameVerdict::kException: {
      std::string text =
          std::string(Text(TText::kLogVerdictException, language)) + " " + Hex2(row.exception);
      const std::string_view name = ExceptionName(row.exception, language);
      if (!name.empty()) text += " " + std::string(name);
      return text;
    }
    case TFrameVerdict::kIncomplete:
      return std::string(Text(TText::kLogVerdictIncomplete, language));
    case TFrameVerdict::kMalformed:
      return std::string(Text(TText::kLogVerdictMalformed, language));
    case TFrameVerdict::kEcho:
      return std::string(Text(TText::kLogVerdictEcho, language));
    case TFrameVerdict::kNoAnswer:
      return std::string(Text(TText::kLogVerdictNoAnswer, language));
    case TFrameVerdict::kBytesDropped:
      return BytesDroppedText(row.dropped_bytes, language);
  }
  return {};
}

std::string LogCountersText(const TLogCounters& counters, uint64_t dropped, TLanguage language) {
  const auto item = [language](TText name, const std::string& value) {
    return std::string(Text(name, language)) + ": " + value;
  };
  const auto ms = [](const std::optional<uint64_t>& us) {
    return us ? LogMsText(*us) : std::string("-");
  };
  std::string text = item(TText::kLogRequests, std::to_string(counters.requests)) + "   " +
                     item(TText::kLogGoodAnswers, std::to_string(counters.good_answers)) + "   " +
                     item(TText::kLogTimeouts, std::to_string(counters.timeouts)) + "   " +
                     item(TText::kLogChecksumErrors, std::to_string(counters.checksum_errors)) +
                     "   " + item(TText::kLogExceptions, std::to_string(counters.exceptions)) +
                     "   " + item(TText::kLogMedianResponse, ms(counters.median_response_us)) +
                     "   " + item(TText::kLogGreatestResponse, ms(counters.greatest_response_us));
  if (dropped > 0) text += "   " + item(TText::kLogDropped, std::to_string(dropped));
  return text;
}

std::string LogAsText(std::span<const TLogRow> rows, TLanguage language) {
  std::string text;
  for (const TLogRow& row : rows) {
    text += TraceTime(row.us);
    if (row.kind == TLogRowKind::kFrame) {
      text += row.direction == TPortDirection::kSent ? " TX " : " RX ";
      text += HexBytes(row.bytes) + " " + VisibleText(LogMeaningText(row, language)) + "\n";
    } else {
      text += " -- " + LogVerdictText(row, language);
      if (!row.meaning.empty()) text += ": " + VisibleText(row.meaning);
      text += "\n";
    }
  }
  return text;
}

std::string LogAsCsv(std::span<const TLogRow> rows, TLanguage language) {
  std::string csv;
  for (size_t i = 0; i < kLogColumns.size(); ++i) {
    csv += (i > 0 ? "," : "") + CsvField(Text(kLogColumns[i], language));
  }
  csv += "\r\n";
  for (const TLogRow& row : rows) {
    const auto cells = LogRowCells(row, language);
    csv += cells[0] + "," + std::string(DirectionText(row)) + "," + cells[2] + "," +
           CsvField(cells[3]) + "," + CsvField(cells[4]) + "," + cells[5] + "\r\n";
  }
  return csv;
}

std::array<std::string, kLogColumns.size()> LogRowCells(const TLogRow& row, TLanguage language) {
  std::string bytes = HexBytes(row.bytes);
  if (!bytes.empty() && bytes.back() == ' ') bytes.pop_back();
  return {LogMsText(row.us),
          row.kind == TLogRowKind::kFrame ? std::string(DirectionText(row)) : std::string(),
          std::move(bytes),
          VisibleText(LogMeaningText(row, language)),
          LogVerdictText(row, language),
          row.response_us ? LogMsText(*row.response_us) : std::string()};
}

TLogFollower::TChange TLogFollower::Update() {
  TLogSnapshot s = log_.Snapshot(next_number_);
  TChange change{0, s.rows.size(), s.counters, s.dropped};
  while (change.gone < rows_.size() && rows_[change.gone].number < s.first_number) ++change.gone;
  rows_.erase(rows_.begin(), rows_.begin() + static_cast<std::ptrdiff_t>(change.gone));
  for (TLogRow& row : s.rows) rows_.push_back(std::move(row));
  next_number_ = s.next_number;
  return change;
}

bool SaveLogFile(const std::string& path, std::string_view contents, TOutputError& error) {
  TOutputFile file;
  const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(contents.data()),
                                       contents.size());
  if (!file.Create(path, ".part")) {
    error = file.Error();
    return false;
  }
  if (!file.Write(bytes)) {
    error = file.Error();
    file.Discard();
    return false;
  }
  if (!file.Commit()) {
    // The temporary file is ours and holds nothing the user asked for.
    error = file.Error();
    std::remove(file.TemporaryPath().c_str());
    return false;
  }
  error = {};
  return true;
}

}  // namespace oxa
