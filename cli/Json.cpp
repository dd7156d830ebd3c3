#include "cli/Json.h"

#include <cmath>
#include <cstdio>

namespace oxa::cli {

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    switch (ch) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04X", c);
          out += escaped;
        } else {
          out += ch;
        }
    }
  }
  return out + "\"";
}

void TJsonObject::Key(std::string_view key) {
  if (text_.size() > 1) text_ += ',';
  text_ += JsonString(key);
  text_ += ':';
}

TJsonObject& TJsonObject::Add(std::string_view key, std::string_view value) {
  Key(key);
  text_ += JsonString(value);
  return *this;
}

TJsonObject& TJsonObject::Add(std::string_view key, int64_t value) {
  Key(key);
  text_ += std::to_string(value);
  return *this;
}

namespace {

// JSON has no NaN or infinity: such a value is null.
std::string NumberText(double value) {
  if (!std::isfinite(value)) return "null";
  char number[32];
  std::snprintf(number, sizeof number, "%.9g", value);
  return number;
}

}  // namespace

TJsonObject& TJsonObject::Add(std::string_view key, double value) {
  Key(key);
  text_ += NumberText(value);
  return *this;
}

TJsonObject& TJsonObject::Add(std::string_view key, std::span<const double> values) {
  Key(key);
  text_ += '[';
  for (size_t i = 0; i < values.size(); ++i) {
    if (i > 0) text_ += ',';
    text_ += NumberText(values[i]);
  }
  text_ += ']';
  return *this;
}

TJsonObject& TJsonObject::Add(std::string_view key, bool value) {
  Key(key);
  text_ += value ? "true" : "false";
  return *this;
}

TJsonObject& TJsonObject::AddNull(std::string_view key) {
  Key(key);
  text_ += "null";
  return *this;
}

template <typename Number>
TJsonObject& TJsonObject::AddNumbers(std::string_view key, std::span<const Number> values) {
  Key(key);
  text_ += '[';
  for (size_t i = 0; i < values.size(); ++i) {
    if (i > 0) text_ += ',';
    text_ += std::to_string(values[i]);
  }
  text_ += ']';
  return *this;
}

TJsonObject& TJsonObject::Add(std::string_view key, std::span<const uint16_t> values) {
  return AddNumbers(key, values);
}

TJsonObject& TJsonObject::Add(std::string_view key, std::span<const uint8_t> values) {
  return AddNumbers(key, values);
}

TJsonObject& TJsonObject::AddRaw(std::string_view key, std::string_view json) {
  Key(key);
  text_ += json;
  return *this;
}

}  // namespace oxa::cli
