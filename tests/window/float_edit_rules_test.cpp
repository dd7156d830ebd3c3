// The value rules of the float spin edit on tables of texts, with the comma of a Russian locale as
// the decimal separator: what the edit shows after a value is written, after typing, stepping and
// leaving it, and what value its text reads as.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <utility>

#include "window/FloatEditRules.h"

namespace oxa {
namespace {

using TAction = TFloatEditTyping::TAction;
using namespace std::string_literals;

// An edit set up as the dose field of the main window.
TFloatEditRules DoseRules() {
  TFloatEditRules rules(u',');
  rules.SetDecimals(1);
  rules.SetMaxValue(6553.5L);
  return rules;
}

TEST(FloatEditRules, WrittenValueIsClampedAndRounded) {
  struct Row {
    const char* name;
    long double min, max;
    uint8_t decimals;
    long double x;
    std::u16string text;
  };
  const Row rows[] = {
      {"above max", 0, 6553.5L, 1, 7000, u"6553,5"},
      {"below min", 0, 6553.5L, 1, -3, u"0,0"},
      {"max itself", 0, 6553.5L, 1, 6553.5L, u"6553,5"},
      {"0.7", 0, 6553.5L, 1, 0.7L, u"0,7"},
      {"equal bounds do not clamp", 5, 5, 1, 7000, u"7000,0"},
      {"half rounds away from zero", -10, 10, 0, 2.5L, u"3"},
      {"negative half", -10, 10, 0, -2.5L, u"-3"},
      {"carry into a new digit", 0, 100, 1, 9.96L, u"10,0"},
      {"negative rounding to zero has no sign", -10, 10, 1, -0.04L, u"0,0"},
      {"small value", 0, 1, 2, 0.0001L, u"0,00"},
      {"no thousands separator", 0, 1e9L, 2, 1234567.891L, u"1234567,89"},
      {"18 decimals", 0, 1, 18, 0.123456789012345678L, u"0,123456789012345678"},
      // Just below 2.5 in binary, but 2.5 to 18 significant digits: shows as 3, not 2.
      {"taken to 18 digits before rounding", 0, 100, 0, std::nextafter(2.5L, 0.0L), u"3"},
      // Tenths read from a device register.
      {"tenths of a register", 0, 6553.5L, 1, 12345 * 0.1L, u"1234,5"},
      {"largest register", 0, 6553.5L, 1, 65535 * 0.1L, u"6553,5"},
      {"infinity with equal bounds", 5, 5, 1, INFINITY, u"5,0"},
      {"NaN", 5, 5, 1, NAN, u"5,0"},
      // Beyond fixed point with 18 digits: exponent form.
      {"1.5e20", 5, 5, 1, 1.5e20L, u"1,5E+20"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TFloatEditRules rules(u',');
    rules.SetMaxValue(row.max);
    rules.SetMinValue(row.min);
    rules.SetDecimals(row.decimals);
    EXPECT_EQ(rules.TextOf(row.x), row.text);
  }
  // The exponent form reads back as the same number.
  EXPECT_EQ(TFloatEditRules(u',').ValueOf(u"1,5E+20"), 1.5e20L);
  // A value no text shows gives no text, not a malformed one.
  EXPECT_EQ(FixedFloatText(-INFINITY, 1, u','), u""s);
}

TEST(FloatEditRules, TextsRoundTripToTheDoseInTenths) {
  // The window sends Value * 10, rounded to double and truncated: texts must give exact tenths.
  const TFloatEditRules rules = DoseRules();
  for (int tenths : {0, 7, 1, 3, 12345, 65534, 65535}) {
    const long double read = rules.ValueOf(rules.TextOf(tenths / 10.0L));
    EXPECT_EQ(static_cast<long>(static_cast<double>(read * 10)), static_cast<long>(tenths));
    EXPECT_EQ(rules.ValueOf(rules.TextOf(read)), read);
  }
}

TEST(FloatEditRules, ReadingParsesWithoutClamping) {
  const std::pair<std::u16string, long double> rows[] = {
      {u"7000", 7000},  // above max, not yet validated
      {u"12,5", 12.5L},    {u"1,5e3", 1500},
      {u"-4", -4},                                    // below min
      {u" 3,25 ", 3.25L},  {u"\t3,25\u00A0", 3.25L},  // a tab and a no-break space are blanks too
      {u"E", -7.5L},                                  // not a number: MinValue, as all that follow
      {u"", -7.5L},        {u"-", -7.5L},
      {u"1.5", -7.5L},  // a point in a comma locale
      {u"1,5,2", -7.5L},   {u"5e", -7.5L},
      {u"1 5", -7.5L},     {u"inf", -7.5L},
      {u"nan", -7.5L},     {u"0x10", -7.5L},
      {u"1e99999", -7.5L},  // too large for long double
  };
  TFloatEditRules rules = DoseRules();
  rules.SetMinValue(-7.5L);
  for (const auto& [text, value] : rows) {
    EXPECT_EQ(rules.ValueOf(text), value) << std::string(text.begin(), text.end());
  }
}

TEST(FloatEditRules, BoundsPushEachOtherAndDecimalsStopAtEighteen) {
  TFloatEditRules rules = DoseRules();
  rules.SetMinValue(7000);
  EXPECT_EQ(rules.MaxValue(), 7000.0L);
  rules.SetMaxValue(10);
  EXPECT_EQ(rules.MinValue(), 10.0L);
  rules.SetMaxValue(NAN);
  EXPECT_EQ(rules.MaxValue(), 10.0L);
  rules.SetDecimals(40);
  EXPECT_EQ(rules.Decimals(), uint8_t{18});
  EXPECT_EQ(rules.TextOf(12), u"12,000000000000000000"s);
}

TEST(FloatEditRules, SteppingClampsAndStartsFromMinValue) {
  struct Row {
    std::u16string text;
    long double increment;
    int direction;
    std::u16string stepped;
  };
  const Row rows[] = {
      {u"6553,0", 1, +1, u"6553,5"},  // clamped to max
      {u"6553,5", 1, +1, u"6553,5"}, {u"6553,5", 1, -1, u"6552,5"},
      {u"E", 1, +1, u"1,0"},  // from MinValue
      {u"0,5", 1, -1, u"0,0"},
  };
  const TFloatEditRules rules = DoseRules();
  for (const Row& row : rows) {
    EXPECT_EQ(rules.SteppedText(row.text, row.increment, row.direction), row.stepped)
        << std::string(row.text.begin(), row.text.end());
  }
  // Steps of 0.1 do not gather binary rounding noise.
  std::u16string text = u"0,0";
  for (int i = 0; i < 7; ++i) text = rules.SteppedText(text, 0.1L, +1);
  EXPECT_EQ(text, u"0,7"s);
}

// Types `typed` into an edit holding `text` with `length` characters from `from` selected, as an
// edit carries out the filter's answers; gives the text afterwards and its selected part.
std::pair<std::u16string, std::u16string> TypeInto(const TFloatEditRules& rules,
                                                   std::u16string text, size_t from, size_t length,
                                                   std::u16string_view typed) {
  for (char16_t c : typed) {
    const TFloatEditTyping typing = rules.Typed(text, from, length, c);
    if (typing.action == TAction::kInsert) {
      text.replace(from, length, 1, c);
      ++from;
      length = 0;
    } else if (typing.action == TAction::kReplace) {
      text = typing.text;
      from = typing.select_from;
      length = typing.select_length;
    }
  }
  return {text, text.substr(from, length)};
}

TEST(FloatEditRules, TypingFilter) {
  struct Row {
    const char* name;
    long double min;
    uint8_t decimals;
    std::u16string before;
    size_t from, length;  // length 0: the caret at from
    std::u16string typed, after, selected;
  };
  const Row rows[] = {
      {"digits", 0, 1, u"", 0, 0, u"123", u"123", u""},
      {"second decimal refused", 0, 1, u"12,3", 4, 0, u"4", u"12,3", u""},
      {"digit before the separator still fits", 0, 1, u"12,3", 0, 0, u"9", u"912,3", u""},
      {"replacing the decimal", 0, 1, u"12,3", 3, 1, u"4", u"12,4", u""},
      {"minus refused with min 0", 0, 1, u"5", 0, 0, u"-", u"5", u""},
      {"minus at start", -10, 1, u"5", 0, 0, u"-", u"-5", u""},
      {"minus not at start", -10, 1, u"5", 1, 0, u"-", u"5", u""},
      {"second minus", -10, 1, u"-5", 0, 0, u"-", u"-5", u""},
      {"minus alone", -10, 1, u"", 0, 0, u"-", u"-0", u"0"},
      {"minus over the whole text", -10, 1, u"12", 0, 2, u"-", u"-0", u"0"},
      {"separator alone", 0, 1, u"", 0, 0, u",", u"0,0", u"0"},
      {"separator over the whole text", 0, 1, u"1,5", 0, 3, u",", u"0,0", u"0"},
      {"second separator", 0, 2, u"1,5", 3, 0, u",", u"1,5", u""},
      {"separator with no decimals", 0, 0, u"15", 2, 0, u",", u"15", u""},
      {"separator leaving too many decimals", 0, 1, u"1234", 1, 0, u",", u"1234", u""},
      {"point in a comma locale", 0, 1, u"1", 1, 0, u".", u"1", u""},
      {"letters", 0, 1, u"1", 1, 0, u"a+ x", u"1", u""},
      {"E and e are different", 0, 1, u"1", 1, 0, u"EeE", u"1Ee", u""},
      {"typing over a selection", 0, 1, u"123,4", 0, 5, u"7", u"7", u""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TFloatEditRules rules(u',');
    rules.SetMinValue(row.min);
    rules.SetDecimals(row.decimals);
    const auto [after, selected] = TypeInto(rules, row.before, row.from, row.length, row.typed);
    EXPECT_EQ(after, row.after);
    EXPECT_EQ(selected, row.selected);
  }
}

TEST(FloatEditRules, LeavingRewritesValidTextAndRefusesTheRest) {
  const std::pair<std::u16string, std::optional<std::u16string>> rows[] = {
      {u"", u"0,0"},               // empty: MinValue
      {u"6553,46", u"6553,5"},     // as pasted: more decimals than shown
      {u"6553,50", u"6553,5"},     // both bounds belong to the range
      {u"6,5e2", u"650,0"},        // exponent form
      {u"6553,54", std::nullopt},  // beyond the maximum before rounding
      {u"7000", std::nullopt},
      {u"E", std::nullopt},
      {u"12a", std::nullopt},
  };
  const TFloatEditRules rules = DoseRules();
  for (const auto& [text, shown] : rows) {
    EXPECT_EQ(rules.TextOnLeave(text), shown) << std::string(text.begin(), text.end());
  }
  // Without a finite lower bound, empty text counts as the value written for MinValue.
  TFloatEditRules unbounded = DoseRules();
  unbounded.SetMinValue(-std::numeric_limits<long double>::infinity());
  EXPECT_EQ(unbounded.TextOnLeave(u""), u"0,0"s);
}

}  // namespace
}  // namespace oxa
