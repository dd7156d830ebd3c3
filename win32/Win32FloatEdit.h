// The float spin edit of the Win32 window: a native single-line edit with up/down arrows inside
// its right edge, holding a floating-point value by the value rules the Qt widget follows too
// (window/FloatEditRules.h). The edit keeps its rectangle; the arrows are a child of it, and the
// text stops short of them.
//
// What it adds to the edit: the typing filter, Up and Down and the arrows stepping the value,
// Escape bringing back the value the edit had when it was entered, the whole text selected when
// the edit is entered by keyboard, and the check when it is left for another control of the
// window: a text that is not a number within the range goes back to the value at entry and the
// edit keeps the focus.
#pragma once

#include <windows.h>

#include <functional>

#include "window/FloatEditRules.h"

namespace oxa::win32 {

class TWin32FloatEdit {
 public:
  // The decimal separator of the user's locale ('.' when it has none).
  static char16_t LocaleSeparator();

  TWin32FloatEdit();
  TWin32FloatEdit(const TWin32FloatEdit&) = delete;
  TWin32FloatEdit& operator=(const TWin32FloatEdit&) = delete;

  // Makes `edit`, a single-line edit, this float edit, and puts the arrows inside it. Once.
  void Attach(HWND edit);
  HWND Edit() const { return edit_; }
  HWND Arrows() const { return arrows_; }

  // The value the text holds (not clamped; MinValue for a text that is not a number), and the
  // text that shows a value, clamped, with Decimals digits.
  long double Value() const;
  void SetValue(long double x);

  void SetMinValue(long double x) { rules_.SetMinValue(x); }
  void SetMaxValue(long double x) { rules_.SetMaxValue(x); }
  // The text is written again with the new number of digits.
  void SetDecimals(uint8_t d);
  void SetIncrement(long double x) { increment_ = x; }
  const TFloatEditRules& Rules() const { return rules_; }

  // Called when the edit is left with a text that is not a number within the range.
  std::function<void()> OnError;

  // Places the arrows for the edit's present size; after the window's dots per inch changed.
  void PlaceArrows(UINT dpi);

 private:
  static LRESULT CALLBACK SubclassProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam,
                                       UINT_PTR id, DWORD_PTR self);
  LRESULT OnMessage(UINT message, WPARAM wparam, LPARAM lparam);
  LRESULT Handle(UINT message, WPARAM wparam, LPARAM lparam);
  // One typed character through the typing filter: true when it was dealt with here, false
  // when the edit takes it as usual (backspace, the shortcuts to copy, cut and paste).
  bool OnChar(wchar_t c);
  void Step(int direction);
  void ValidateOnLeave();
  std::u16string Text() const;
  void SetText(std::u16string_view text);

  HWND edit_ = nullptr;
  HWND arrows_ = nullptr;
  TFloatEditRules rules_;
  long double increment_ = 1;
  long double value_at_entry_ = 0;
  // The last key down was the numeric keypad's decimal key: it types the locale's separator,
  // whatever it is labelled.
  bool keypad_decimal_ = false;
};

}  // namespace oxa::win32
