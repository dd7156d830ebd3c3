// One JSON object per line, written field by field: strings escaped (UTF-8 passes through),
// numbers as numbers, null, booleans, arrays of numbers.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace oxa::cli {

class TJsonObject {
 public:
  TJsonObject& Add(std::string_view key, std::string_view value);
  TJsonObject& Add(std::string_view key, const char* value) {
    return Add(key, std::string_view(value));
  }
  TJsonObject& Add(std::string_view key, int64_t value);
  TJsonObject& Add(std::string_view key, uint32_t value) { return Add(key, int64_t{value}); }
  TJsonObject& Add(std::string_view key, int value) { return Add(key, int64_t{value}); }
  TJsonObject& Add(std::string_view key, double value);
  TJsonObject& Add(std::string_view key, bool value);
  TJsonObject& AddNull(std::string_view key);
  TJsonObject& Add(std::string_view key, std::span<const uint16_t> values);
  TJsonObject& Add(std::string_view key, std::span<const uint8_t> values);
  // Numbers as Add(key, double) writes them, NaN and infinities as null.
  TJsonObject& Add(std::string_view key, std::span<const double> values);
  // A value already written as JSON (an object or array made elsewhere).
  TJsonObject& AddRaw(std::string_view key, std::string_view json);

  // The object, without a line end.
  std::string Text() const { return text_ + "}"; }

 private:
  void Key(std::string_view key);
  template <typename Number>
  TJsonObject& AddNumbers(std::string_view key, std::span<const Number> values);
  std::string text_ = "{";
};

// `text` as a JSON string, quotes included.
std::string JsonString(std::string_view text);

}  // namespace oxa::cli
