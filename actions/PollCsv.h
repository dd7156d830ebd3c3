// Polled values as comma-separated values with their time, the one format of fulctl's --csv
// and of the window's monitor log: a header line naming each value and its unit, then one row
// per read with the local time (ISO 8601 with milliseconds and the offset from UTC), the
// values, and the read's outcome. A failed read is a row with its outcome and empty values.
// The header is for scripts: the same in every language ("time", "V1, m3", "outcome"). Numbers
// are written with a '.' decimal point whatever the language, for spreadsheets and scripts;
// the outcomes, written for people, are in the language asked for. Lines end in CR LF, as
// the exchange log's CSV does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "actions/TextCatalog.h"
#include "serial/OxaHost.h"

namespace oxa {

inline constexpr std::string_view kCsvLineEnd = "\r\n";

// A field of comma-separated values: quoted (RFC 4180) where it holds a separator, a quote or
// a line end; one that a spreadsheet would take for a formula gets a leading apostrophe.
std::string CsvField(std::string_view text);

// "2026-12-08T10:15:30.123+01:00": the local time with milliseconds and its offset from UTC.
std::string IsoTimeText(const TLocalTime& time);
// "10:15:30": the local time as a clock shows it, for a person reading a table.
std::string ClockTimeText(const TLocalTime& time);

// How a value's number is written: a whole number, or an IEEE-754 single-precision float in
// the fewest digits that read back as the same float ("0.1", "1e+20", "nan").
enum class TPollKind { kInteger, kFloat32 };

struct TPollColumn {
  std::string name;  // "V1", "2201": in the language asked for
  std::string unit;  // "m3/h"; empty for none
  TPollKind kind = TPollKind::kInteger;
  std::string header;  // the CSV header's field, the same in every language: "V1, m3", "2201"
};

// The column of integrator `index` (0..31) with its name and unit in `language`.
TPollColumn IntegratorColumn(size_t index, TLanguage language);
// The column of the value held at register `reg`, unnamed otherwise.
TPollColumn RegisterColumn(uint16_t reg, TPollKind kind);
// The doser's state number (0 stopped, 1 running, 2 paused).
TPollColumn DoserStateColumn(TLanguage language);

std::string PollValueText(double value, TPollKind kind);

// "time,<name, unit>...,outcome" and its line end, in English whatever the columns' language.
std::string PollCsvHeader(std::span<const TPollColumn> columns);
// A read at `time`: its values, one per column, and its `outcome` ("OK", or why it failed).
// A value a read did not get (its exchange failed), and a column past the values given, is
// left empty.
std::string PollCsvRow(const TLocalTime& time, std::span<const TPollColumn> columns,
                       std::span<const std::optional<double>> values, std::string_view outcome);

}  // namespace oxa
