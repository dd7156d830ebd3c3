#include "actions/PollCsv.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "actions/Integrator.h"

namespace oxa {

std::string CsvField(std::string_view text) {
  std::string field;
  if (!text.empty() && (text[0] == '=' || text[0] == '+' || text[0] == '-' || text[0] == '@'))
    field = "'";
  field += text;
  if (field.find_first_of(",\"\r\n") == std::string::npos) return field;
  std::string quoted = "\"";
  for (char ch : field) {
    if (ch == '"') quoted += '"';
    quoted += ch;
  }
  return quoted + "\"";
}

std::string IsoTimeText(const TLocalTime& time) {
  const std::tm& t = time.tm;
  // Offsets are whole minutes in every zone in use; seconds of an old local mean time are
  // dropped.
  const int32_t offset_min = (time.utc_offset_s < 0 ? -time.utc_offset_s : time.utc_offset_s) / 60;
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03u%c%02d:%02d",
                t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec,
                static_cast<unsigned>(time.millisecond % 1000), time.utc_offset_s < 0 ? '-' : '+',
                static_cast<int>(offset_min / 60), static_cast<int>(offset_min % 60));
  return text;
}

std::string ClockTimeText(const TLocalTime& time) {
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d", time.tm.tm_hour, time.tm.tm_min,
                time.tm.tm_sec);
  return text;
}

TPollColumn IntegratorColumn(size_t index, TLanguage language) {
  if (index >= kIntegrators.size()) return {};
  const TIntegrator& integrator = kIntegrators[index];
  return {std::string(integrator.Name(language)), std::string(integrator.Unit(language)),
          integrator.is_long ? TPollKind::kInteger : TPollKind::kFloat32,
          std::string(integrator.Name(TLanguage::kEnglish)) + ", " +
              std::string(integrator.Unit(TLanguage::kEnglish))};
}

TPollColumn RegisterColumn(uint16_t reg, TPollKind kind) {
  return {std::to_string(reg), "", kind, std::to_string(reg)};
}

TPollColumn DoserStateColumn(TLanguage language) {
  return {std::string(Text(TText::kPollDoserState, language)), "", TPollKind::kInteger,
          std::string(Text(TText::kPollDoserState, TLanguage::kEnglish))};
}

std::string PollValueText(double value, TPollKind kind) {
  char text[64];
  std::to_chars_result r{};
  if (kind == TPollKind::kFloat32) {
    r = std::to_chars(text, text + sizeof text, static_cast<float>(value));
  } else if (std::isfinite(value) && std::abs(value) < 9.2e18) {
    r = std::to_chars(text, text + sizeof text, static_cast<int64_t>(value));
  } else {
    r = std::to_chars(text, text + sizeof text, value);
  }
  return r.ec == std::errc() ? std::string(text, r.ptr) : std::string();
}

std::string PollCsvHeader(std::span<const TPollColumn> columns) {
  std::string line = CsvField(Text(TText::kPollTime, TLanguage::kEnglish));
  for (const TPollColumn& column : columns) line += "," + CsvField(column.header);
  line += "," + CsvField(Text(TText::kPollOutcome, TLanguage::kEnglish));
  return line + std::string(kCsvLineEnd);
}

std::string PollCsvRow(const TLocalTime& time, std::span<const TPollColumn> columns,
                       std::span<const std::optional<double>> values, std::string_view outcome) {
  std::string line = IsoTimeText(time);
  for (size_t i = 0; i < columns.size(); ++i) {
    line += ",";
    if (i < values.size() && values[i]) line += PollValueText(*values[i], columns[i].kind);
  }
  line += "," + CsvField(VisibleText(outcome));
  return line + std::string(kCsvLineEnd);
}

}  // namespace oxa
