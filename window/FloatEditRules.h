// The value rules of a float edit (a one-line edit of a floating-point number with spin arrows,
// such as the dose field): how its text reads as a value and how a value is written as text,
// clamping to its range, stepping, the filter of typed characters and the check made when the
// edit is left. No toolkit, so that the Qt widget and a native Win32 edit with an up/down
// control can share them and keep only their keys, focus and drawing.
//
// Texts are UTF-16, as the edits of both toolkits hold them, so that an edit's caret and
// selection positions are positions in these texts as they are.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace oxa {

// The most digits a float edit shows after its decimal separator.
inline constexpr uint8_t kFloatEditMaxDecimals = 18;

// An optionally signed decimal number with `separator` as its decimal separator and an optional
// exponent (E or e), blanks around it allowed. Anything else (words, infinities, hexadecimal, a
// second separator, a number too large for long double) is not a number.
std::optional<long double> ParseFloatText(std::u16string_view text, char16_t separator);

// Fixed-point text of x with exactly `decimals` (0 to 18) digits after `separator`, no thousands
// separators. The value is first taken to 18 significant digits and then rounded half away from
// zero at the last shown digit, so that a value such as 0.7 or 6553.5 (not exact in binary) shows
// as the number the user typed. A number of 10^18 or more cannot be shown in fixed point with 18
// digits and is written in exponent form instead, which reads back as the same number. An
// infinity or NaN has no such text: it gives the empty text.
std::u16string FixedFloatText(long double x, int decimals, char16_t separator);

// What one typed character does to the text of a float edit.
struct TFloatEditTyping {
  enum class TAction {
    kDrop,     // the text stays as it is
    kInsert,   // the character replaces the selection (or goes in at the caret), as usual
    kReplace,  // the text becomes `text`, with `select_length` characters from `select_from`
               // selected
  };
  TAction action = TAction::kDrop;
  std::u16string text;
  size_t select_from = 0;
  size_t select_length = 0;
};

// The range, the number of decimals and the decimal separator of one float edit, and the rules
// that depend on them.
class TFloatEditRules {
 public:
  // The separator is the one of the user's locale when the edit is made; it does not change.
  explicit TFloatEditRules(char16_t separator = u'.') : separator_(separator) {}

  char16_t Separator() const { return separator_; }

  // Setting a bound to NaN or to its current value does nothing; otherwise the other bound moves
  // with it where it would be passed (MaxValue is raised to a MinValue above it, MinValue lowered
  // to a MaxValue below it). A text already shown is not clamped again.
  long double MinValue() const { return min_value_; }
  void SetMinValue(long double x);
  long double MaxValue() const { return max_value_; }
  void SetMaxValue(long double x);

  // Digits after the separator, 0 to 18; more are taken as 18.
  uint8_t Decimals() const { return decimals_; }
  void SetDecimals(uint8_t d);

  // Reading: the number `text` holds, not clamped; text that is not a number (empty text
  // included) reads as MinValue.
  long double ValueOf(std::u16string_view text) const;
  // Clamping: x brought into MinValue..MaxValue, unless the two are equal (then x stays as it
  // is). NaN becomes MinValue; an infinity that is left becomes MinValue, or 0 when MinValue is
  // not finite either, since no text reads back as an infinity.
  long double Clamped(long double x) const;
  // Writing: the text that shows Clamped(x) with Decimals digits.
  std::u16string TextOf(long double x) const;

  // Stepping: the text after one step up (direction > 0) or down by `increment` from the value
  // `text` holds; clamped, and from MinValue when the text is not a number.
  std::u16string SteppedText(std::u16string_view text, long double increment, int direction) const;

  // The filter of typed characters: what typing the printable character `c` does to `text`
  // whose characters from `selection_from` on, `selection_length` of them, are selected (0: the
  // caret is at `selection_from`). A character is dropped unless it is a digit, the minus sign,
  // E, e or the separator; the last four may occur once each, the minus sign only first and only
  // when MinValue is negative, the separator only when Decimals is not 0, and never may more
  // than Decimals digits follow the separator. A minus sign or separator that would be the whole
  // text becomes "-0" or "0", the separator and "0", with the last 0 selected for overtyping.
  TFloatEditTyping Typed(std::u16string_view text, size_t selection_from, size_t selection_length,
                         char16_t c) const;

  // Leaving: the text the edit shows once it is left with `text` in it, rewritten with Decimals
  // digits; empty text counts as MinValue. Nothing when the text is not a number within
  // MinValue..MaxValue: the edit then reports it and goes back to its value at entry.
  std::optional<std::u16string> TextOnLeave(std::u16string_view text) const;

 private:
  long double min_value_ = 0;
  long double max_value_ = 100;
  uint8_t decimals_ = 2;
  char16_t separator_;
};

}  // namespace oxa
