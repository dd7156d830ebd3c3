// The exchange log: every frame the window sends and receives, decoded and timed, the port's
// openings (or why one failed) and closings, and the link's counters since the last clearing.
//
// It records from the window's start, whether shown or not. The frames come from a
// TFrameTracer on the window's port (Sink), on the thread that runs the exchange: a record
// decodes nothing more and writes nothing anywhere, it only takes a lock to push the row, so
// that it never slows the exchange and never blocks the window that reads it. It holds at most
// `capacity` rows; the oldest go and the log counts them. A row holds at most the bytes the
// tracer keeps of one exchange (TFrameTracer::kKeptBytes), so the bound holds its memory too;
// what an exchange received past them has a row of its own that says how much.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "actions/FrameDecoder.h"
#include "actions/OxaPortTexts.h"
#include "serial/OxaOutputFile.h"

namespace oxa {

enum class TLogRowKind { kFrame, kNoAnswer, kBytesDropped, kPortOpened, kPortFailed, kPortClosed };

struct TLogRow {
  uint64_t number = 0;  // rows recorded since the log began, counting this one (from 1)
  TLogRowKind kind = TLogRowKind::kFrame;
  uint64_t us = 0;  // since the log began
  TPortDirection direction = TPortDirection::kSent;
  std::vector<uint8_t> bytes;
  // For a port's line the port, and why it would not open. A frame's meaning is decoded from
  // its bytes in the language it is shown in (LogMeaningText).
  std::string meaning;
  TWireProtocol protocol = TWireProtocol::kModbus;  // how a frame's bytes are decoded
  TFrameVerdict verdict = TFrameVerdict::kGood;
  uint8_t exception = 0;
  std::optional<uint64_t> response_us;  // an answer's: its first byte's time less its request's
  uint64_t dropped_bytes = 0;           // for kBytesDropped: how many
};

// Since the last clearing. Good answers and exceptions are the answers to a request with a
// right checksum; the response times are theirs.
struct TLogCounters {
  uint64_t requests = 0;
  uint64_t good_answers = 0;
  uint64_t timeouts = 0;
  uint64_t checksum_errors = 0;
  uint64_t exceptions = 0;
  // The median to 10 µs below 10 ms, to 100 µs below 100 ms, to the millisecond below 10 s,
  // and 10 s for anything longer; the greatest exactly.
  std::optional<uint64_t> median_response_us;
  std::optional<uint64_t> greatest_response_us;
};

struct TLogSnapshot {
  std::vector<TLogRow> rows;  // those numbered from the number asked for on, oldest first
  TLogCounters counters;
  uint64_t dropped = 0;       // rows gone to the bound since the last clearing
  uint64_t first_number = 1;  // the oldest row held (next_number when none)
  uint64_t next_number = 1;   // the number the next row will have
};

class TExchangeLog {
 public:
  static constexpr size_t kDefaultCapacity = 10000;

  // Times count from `start_us` of the port's clock (ToxaComPort::NowUs).
  explicit TExchangeLog(uint64_t start_us, size_t capacity = kDefaultCapacity);
  TExchangeLog(const TExchangeLog&) = delete;
  TExchangeLog& operator=(const TExchangeLog&) = delete;

  // --- Recording, from any thread --------------------------------------------------------
  void Record(const TTracedFrame& frame);
  // For TFrameTracer: records every frame it hands on. The log must outlive the tracer.
  TFrameSink Sink();
  // `us` on the port's clock; `reason` the text that says why the port would not open.
  void PortOpened(std::string_view port, uint64_t us);
  void PortFailed(std::string_view port, std::string_view reason, uint64_t us);
  void PortClosed(std::string_view port, uint64_t us);
  // Forgets the rows, the counters and the count of dropped rows; numbers go on.
  void Clear();

  // --- Reading -------------------------------------------------------------------------------
  // The rows numbered `from` and later, and the counters, at one moment.
  TLogSnapshot Snapshot(uint64_t from = 0) const;
  size_t Capacity() const { return capacity_; }

 private:
  // The response times since the clearing, counted in buckets, for the median.
  class THistogram {
   public:
    void Add(uint64_t us);
    std::optional<uint64_t> Median() const;
    void Clear();

   private:
    static size_t Bucket(uint64_t us);
    static uint64_t LowerBound(size_t bucket);
    std::vector<uint32_t> counts_;
    uint64_t total_ = 0;
  };

  void Push(TLogRow row);
  void PortLine(TLogRowKind kind, std::string meaning, uint64_t us);

  const uint64_t start_us_;
  const size_t capacity_;
  mutable std::mutex mutex_;
  std::deque<TLogRow> rows_;
  uint64_t next_number_ = 1;
  uint64_t dropped_ = 0;
  TLogCounters counters_;
  THistogram responses_;
};

// --- The rows as the log shows and saves them ------------------------------------------------

// The columns of a row, in order, and a row's cells as a log window shows them: time (ms, of a
// frame's first byte), direction ("TX", "RX", empty for a port's line), bytes in hex, meaning
// (control characters escaped), verdict, response time (ms, from the request's first byte to
// the answer's: the difference of the two rows' times; empty for none).
inline constexpr std::array<TText, 6> kLogColumns = {
    TText::kLogColumnTime,    TText::kLogColumnDirection, TText::kLogColumnBytes,
    TText::kLogColumnMeaning, TText::kLogColumnVerdict,   TText::kLogColumnResponse};
// The columns' widths in a log window, in pixels at 96 dots per inch: each head whole in either
// language.
inline constexpr std::array<int, kLogColumns.size()> kLogColumnWidths = {170, 90,  250,
                                                                         260, 120, 180};
std::array<std::string, kLogColumns.size()> LogRowCells(const TLogRow& row, TLanguage language);

// The rows a log window shows, taken from the log a few at a time: each Update brings the rows
// recorded since the last one and lets go of those the log no longer holds (gone to its bound
// or cleared), oldest first, as the window's list must change.
class TLogFollower {
 public:
  explicit TLogFollower(const TExchangeLog& log) : log_(log) {}
  struct TChange {
    size_t gone = 0;   // rows gone from the front
    size_t added = 0;  // rows added at the end
    TLogCounters counters;
    uint64_t dropped = 0;
  };
  TChange Update();
  const std::deque<TLogRow>& Rows() const { return rows_; }

 private:
  const TExchangeLog& log_;
  std::deque<TLogRow> rows_;
  uint64_t next_number_ = 0;  // the first row not yet taken from the log
};

// The meaning column: a frame decoded in `language` ("Modbus addr 1 fn 3 read holding registers,
// CRC ok"), a port's line's port and reason as recorded.
std::string LogMeaningText(const TLogRow& row, TLanguage language);
// Milliseconds with their microseconds: "12.345".
std::string LogMsText(uint64_t us);
// The verdict column: "checksum good", "exception 02 illegal data address", "no answer",
// "echo taken off", "8123456 more bytes dropped, kept 4096", "port failed to open"...
std::string LogVerdictText(const TLogRow& row, TLanguage language);
// The line above the rows: the counters, and the rows dropped when there were any.
std::string LogCountersText(const TLogCounters& counters, uint64_t dropped, TLanguage language);
// `rows` in the format of fulctl's trace, one line each: "0.012345 TX 01 03 ... CRC ok"; a line
// that is no frame has "--" for its direction and bytes, then its verdict and what it is
// about: "0.500000 -- no answer", "0.000000 -- port opened: COM1". Meanings and verdicts are
// in `language`, as the log window shows them (in English, the lines are fulctl's trace).
// Texts from outside are shown with their control characters escaped.
std::string LogAsText(std::span<const TLogRow> rows, TLanguage language);
// `rows` as comma-separated values with a header line, lines ended by CR LF, every field
// quoted where it needs it.
std::string LogAsCsv(std::span<const TLogRow> rows, TLanguage language);

// Writes `contents` to the file at `path` whole: made beside it and renamed over it once
// written and on the disk; a path that leads to anything but a regular file is refused. False,
// with `error` saying why, when it could not be written.
bool SaveLogFile(const std::string& path, std::string_view contents, TOutputError& error);

}  // namespace oxa
