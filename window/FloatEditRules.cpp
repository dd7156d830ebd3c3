#include "window/FloatEditRules.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <system_error>

namespace oxa {
namespace {

// Digits kept when a value is turned into text; the rest is rounding noise of the binary value.
constexpr int kSignificantDigits = 18;

bool IsAsciiDigit(char16_t c) {
  return c >= u'0' && c <= u'9';
}

// The blanks a number may have around it: the white space of Unicode, as the toolkits trim it.
bool IsBlank(char16_t c) {
  return c == u' ' || (c >= u'\t' && c <= u'\r') || c == u'\u0085' || c == u'\u00A0' ||
         c == u'\u1680' || (c >= u'\u2000' && c <= u'\u200A') || c == u'\u2028' || c == u'\u2029' ||
         c == u'\u202F' || c == u'\u205F' || c == u'\u3000';
}

std::u16string_view Trimmed(std::u16string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

std::u16string Latin1(const char* text, size_t size) {
  return std::u16string(text, text + size);
}

}  // namespace

std::optional<long double> ParseFloatText(std::u16string_view text, char16_t separator) {
  const std::u16string_view t = Trimmed(text);
  const size_t n = t.size();
  size_t i = 0;
  // The number in the form from_chars reads: point as separator, no plus signs.
  std::string s;
  s.reserve(n + 1);
  if (i < n && (t[i] == u'-' || t[i] == u'+')) {
    if (t[i] == u'-') s += '-';
    ++i;
  }
  int mantissa_digits = 0;
  for (; i < n && IsAsciiDigit(t[i]); ++i, ++mantissa_digits) s += static_cast<char>(t[i]);
  if (i < n && t[i] == separator) {
    s += '.';
    for (++i; i < n && IsAsciiDigit(t[i]); ++i, ++mantissa_digits) s += static_cast<char>(t[i]);
  }
  if (mantissa_digits == 0) return std::nullopt;
  if (i < n && (t[i] == u'E' || t[i] == u'e')) {
    s += 'e';
    ++i;
    if (i < n && (t[i] == u'-' || t[i] == u'+')) {
      if (t[i] == u'-') s += '-';
      ++i;
    }
    int exponentDigits = 0;
    for (; i < n && IsAsciiDigit(t[i]); ++i, ++exponentDigits) s += static_cast<char>(t[i]);
    if (exponentDigits == 0) return std::nullopt;
  }
  if (i != n) return std::nullopt;
  long double v = 0;
  const char* end = s.data() + s.size();
  const auto r = std::from_chars(s.data(), end, v, std::chars_format::general);
  if (r.ec != std::errc() || r.ptr != end) return std::nullopt;
  return v;
}

std::u16string FixedFloatText(long double x, int decimals, char16_t separator) {
  if (!std::isfinite(x)) return {};
  decimals = std::clamp(decimals, 0, int{kFloatEditMaxDecimals});
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, std::fabs(x), std::chars_format::scientific,
                               kSignificantDigits - 1);
  const std::string sci(buf, r.ptr);  // "d.dddddddddddddddddde+XX"
  const size_t ePos = sci.find('e');
  std::string digits = sci.substr(0, 1) + sci.substr(2, ePos - 2);
  int exponent = 0;
  const char* exponent_begin = sci.data() + ePos + 1;
  if (*exponent_begin == '+') ++exponent_begin;
  std::from_chars(exponent_begin, sci.data() + sci.size(), exponent);
  const bool negative = std::signbit(x);

  if (exponent >= kSignificantDigits) {
    std::string frac = digits.substr(1);
    while (!frac.empty() && frac.back() == '0') frac.pop_back();
    std::u16string out = negative ? u"-" : u"";
    out += static_cast<char16_t>(digits[0]);
    if (!frac.empty()) out += separator + Latin1(frac.data(), frac.size());
    const std::string exponent_text = std::to_string(exponent);
    out += u"E+" + Latin1(exponent_text.data(), exponent_text.size());
    return out;
  }

  // All digits with the decimal point after the first int_len of them.
  const int point_pos = exponent + 1;
  std::string all;
  int int_len;
  if (point_pos <= 0) {
    all = std::string(static_cast<size_t>(1 - point_pos), '0') + digits;
    int_len = 1;
  } else {
    all = digits;
    int_len = point_pos;
  }
  const size_t keep = static_cast<size_t>(int_len + decimals);
  if (all.size() < keep + 1) all.append(keep + 1 - all.size(), '0');
  const bool roundUp = all[keep] >= '5';
  all.resize(keep);
  if (roundUp) {
    size_t k = keep;
    while (k > 0 && all[k - 1] == '9') all[--k] = '0';
    if (k == 0) {
      all.insert(all.begin(), '1');
      ++int_len;
    } else {
      ++all[k - 1];
    }
  }
  while (int_len > 1 && all[0] == '0') {
    all.erase(all.begin());
    --int_len;
  }
  // A value that rounds to zero shows without a sign.
  const bool zero = all.find_first_not_of('0') == std::string::npos;
  std::u16string out = (negative && !zero) ? u"-" : u"";
  out += Latin1(all.data(), static_cast<size_t>(int_len));
  if (decimals > 0) {
    out += separator + Latin1(all.data() + int_len, static_cast<size_t>(decimals));
  }
  return out;
}

void TFloatEditRules::SetMinValue(long double x) {
  if (std::isnan(x) || x == min_value_) return;
  if (max_value_ < x) max_value_ = x;
  min_value_ = x;
}

void TFloatEditRules::SetMaxValue(long double x) {
  if (std::isnan(x) || x == max_value_) return;
  if (min_value_ > x) min_value_ = x;
  max_value_ = x;
}

void TFloatEditRules::SetDecimals(uint8_t d) {
  decimals_ = d > kFloatEditMaxDecimals ? kFloatEditMaxDecimals : d;
}

long double TFloatEditRules::ValueOf(std::u16string_view text) const {
  return ParseFloatText(text, separator_).value_or(min_value_);
}

long double TFloatEditRules::Clamped(long double x) const {
  if (std::isnan(x)) x = min_value_;
  if (max_value_ != min_value_) {
    if (x < min_value_) x = min_value_;
    if (x > max_value_) x = max_value_;
  }
  if (!std::isfinite(x)) x = std::isfinite(min_value_) ? min_value_ : 0;
  return x;
}

std::u16string TFloatEditRules::TextOf(long double x) const {
  return FixedFloatText(Clamped(x), decimals_, separator_);
}

std::u16string TFloatEditRules::SteppedText(std::u16string_view text, long double increment,
                                            int direction) const {
  const long double value = ValueOf(text);
  return TextOf(direction > 0 ? value + increment : value - increment);
}

TFloatEditTyping TFloatEditRules::Typed(std::u16string_view text, size_t selection_from,
                                        size_t selection_length, char16_t c) const {
  using TAction = TFloatEditTyping::TAction;
  const size_t at = selection_from < text.size() ? selection_from : text.size();
  // R is the text without the selection, N the text the character would make.
  std::u16string r(text);
  r.erase(at, selection_length);
  std::u16string n = r;
  n.insert(at, 1, c);

  const bool special = c == u'-' || c == u'E' || c == u'e' || c == separator_;
  if (!IsAsciiDigit(c) && !special) return {};
  if (special && r.find(c) != std::u16string::npos) return {};
  if (c == u'-' && min_value_ >= 0) return {};
  if (c == separator_ && decimals_ == 0) return {};
  const size_t point = n.find(separator_);
  if (point != std::u16string::npos && n.size() - point - 1 > decimals_) return {};
  if (c == u'-' && at != 0) return {};

  if (n == u"-") return {TAction::kReplace, u"-0", 1, 1};
  if (n.size() == 1 && n[0] == separator_) {
    return {TAction::kReplace, u"0" + std::u16string(1, separator_) + u"0", 2, 1};
  }
  return {TAction::kInsert, {}, 0, 0};
}

std::optional<std::u16string> TFloatEditRules::TextOnLeave(std::u16string_view text) const {
  // Empty text counts as MinValue, written as the edit writes values.
  const std::u16string taken = text.empty() ? TextOf(min_value_) : std::u16string(text);
  const std::optional<long double> v = ParseFloatText(taken, separator_);
  if (!v || *v < min_value_ || *v > max_value_) return std::nullopt;
  return TextOf(ValueOf(FixedFloatText(*v, decimals_, separator_)));
}

}  // namespace oxa
