#include "win32/Win32FloatEdit.h"

#include <commctrl.h>

#include <string>

namespace oxa::win32 {

namespace {

// Posted to the edit to take the focus back once the focus change that left it has ended.
constexpr UINT kTakeFocusBack = WM_APP + 1;
// The arrows' width at 96 dots per inch.
constexpr int kArrowsWidth = 15;

// Whether `other` lies in the same top-level window as `edit`.
bool SameWindow(HWND edit, HWND other) {
  return other != nullptr && ::GetAncestor(other, GA_ROOT) == ::GetAncestor(edit, GA_ROOT);
}

}  // namespace

char16_t TWin32FloatEdit::LocaleSeparator() {
  wchar_t separator[4] = {};
  if (::GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, LOCALE_SDECIMAL, separator, 4) > 1) {
    return char16_t(separator[0]);
  }
  return u'.';
}

TWin32FloatEdit::TWin32FloatEdit() : rules_(LocaleSeparator()) {}

void TWin32FloatEdit::Attach(HWND edit) {
  if (edit_ != nullptr || edit == nullptr) return;
  edit_ = edit;
  // The arrows send their notifications to the edit, their parent. Their own position stays
  // in the middle of a range of their own, so that both arrows always step.
  arrows_ = ::CreateWindowExW(0, UPDOWN_CLASSW, L"", WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, edit,
                              nullptr, ::GetModuleHandleW(nullptr), nullptr);
  ::SendMessageW(arrows_, UDM_SETRANGE32, 0, 100);
  ::SendMessageW(arrows_, UDM_SETPOS32, 0, 50);
  ::SetWindowSubclass(edit_, SubclassProc, 1, reinterpret_cast<DWORD_PTR>(this));
  SetValue(0);
}

void TWin32FloatEdit::PlaceArrows(UINT dpi) {
  if (edit_ == nullptr) return;
  RECT client{};
  ::GetClientRect(edit_, &client);
  const int width = ::MulDiv(kArrowsWidth, int(dpi), 96);
  ::SetWindowPos(arrows_, nullptr, client.right - width, 0, width, client.bottom,
                 SWP_NOZORDER | SWP_NOACTIVATE);
  // The text ends before the arrows.
  ::SendMessageW(edit_, EM_SETMARGINS, EC_LEFTMARGIN | EC_RIGHTMARGIN, MAKELPARAM(1, width + 1));
}

std::u16string TWin32FloatEdit::Text() const {
  std::wstring text(size_t(::GetWindowTextLengthW(edit_)) + 1, L'\0');
  text.resize(size_t(::GetWindowTextW(edit_, text.data(), int(text.size()))));
  return std::u16string(text.begin(), text.end());
}

void TWin32FloatEdit::SetText(std::u16string_view text) {
  const std::wstring wide(text.begin(), text.end());
  ::SetWindowTextW(edit_, wide.c_str());
}

long double TWin32FloatEdit::Value() const {
  return rules_.ValueOf(Text());
}

void TWin32FloatEdit::SetValue(long double x) {
  SetText(rules_.TextOf(x));
}

void TWin32FloatEdit::SetDecimals(uint8_t d) {
  if (d == rules_.Decimals()) return;
  const long double value = Value();
  rules_.SetDecimals(d);
  SetValue(value);
}

void TWin32FloatEdit::Step(int direction) {
  SetText(rules_.SteppedText(Text(), increment_, direction));
}

bool TWin32FloatEdit::OnChar(wchar_t c) {
  if (c == L'\r' || c == L'\n') return true;  // never part of the text
  if (c == 0x1B) {
    SetValue(value_at_entry_);
    ::SendMessageW(edit_, EM_SETSEL, 0, -1);
    return true;
  }
  // Other control characters (backspace, and the shortcuts to copy, cut and paste) edit as usual.
  if (c < 0x20 || c == 0x7F) return false;
  if (keypad_decimal_ && (c == L'.' || c == L',')) c = wchar_t(rules_.Separator());
  DWORD from = 0;
  DWORD to = 0;
  ::SendMessageW(edit_, EM_GETSEL, reinterpret_cast<WPARAM>(&from), reinterpret_cast<LPARAM>(&to));
  const TFloatEditTyping typing =
      rules_.Typed(Text(), from, to > from ? to - from : 0, char16_t(c));
  switch (typing.action) {
    case TFloatEditTyping::TAction::kDrop:
      return true;
    case TFloatEditTyping::TAction::kReplace:
      SetText(typing.text);
      ::SendMessageW(edit_, EM_SETSEL, typing.select_from,
                     LPARAM(typing.select_from + typing.select_length));
      return true;
    case TFloatEditTyping::TAction::kInsert:
      break;
  }
  // In place of the selection, as typing puts it, and undone as typing is.
  const wchar_t typed[2] = {c, L'\0'};
  ::SendMessageW(edit_, EM_REPLACESEL, TRUE, reinterpret_cast<LPARAM>(typed));
  return true;
}

void TWin32FloatEdit::ValidateOnLeave() {
  if (const std::optional<std::u16string> shown = rules_.TextOnLeave(Text())) {
    SetText(*shown);
    return;
  }
  if (OnError) OnError();
  SetValue(value_at_entry_);
  ::SendMessageW(edit_, EM_SETSEL, 0, -1);
  ::PostMessageW(edit_, kTakeFocusBack, 0, 0);
}

LRESULT CALLBACK TWin32FloatEdit::SubclassProc(HWND window, UINT message, WPARAM wparam,
                                               LPARAM lparam, UINT_PTR, DWORD_PTR self) {
  if (message == WM_NCDESTROY) {
    ::RemoveWindowSubclass(window, SubclassProc, 1);
    return ::DefSubclassProc(window, message, wparam, lparam);
  }
  return reinterpret_cast<TWin32FloatEdit*>(self)->OnMessage(message, wparam, lparam);
}

LRESULT TWin32FloatEdit::OnMessage(UINT message, WPARAM wparam, LPARAM lparam) {
  const LRESULT result = Handle(message, wparam, lparam);
  // The edit draws its text and frame anew on these, straight onto the screen where the
  // system does it that way (a click, the focus coming or going), over the arrows inside it,
  // which then stayed away until the mouse passed over them: they are drawn again after it.
  switch (message) {
    case WM_SETFOCUS:
    case WM_KILLFOCUS:
    case WM_LBUTTONDOWN:
    case WM_LBUTTONUP:
    case WM_LBUTTONDBLCLK:
    case WM_PAINT:
    case WM_NCPAINT:
    case WM_ENABLE:
      ::RedrawWindow(arrows_, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
      break;
    default:
      break;
  }
  return result;
}

LRESULT TWin32FloatEdit::Handle(UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_KEYDOWN:
      keypad_decimal_ = wparam == VK_DECIMAL;
      if (wparam == VK_UP || wparam == VK_DOWN) {
        Step(wparam == VK_UP ? 1 : -1);
        return 0;
      }
      break;
    case WM_CHAR:
      if (OnChar(wchar_t(wparam))) return 0;
      break;
    case WM_NOTIFY: {
      const auto* change = reinterpret_cast<const NMUPDOWN*>(lparam);
      if (change->hdr.hwndFrom == arrows_ && change->hdr.code == UDN_DELTAPOS) {
        if (change->iDelta != 0) Step(change->iDelta > 0 ? 1 : -1);
        return 1;  // the arrows' own position stays
      }
      break;
    }
    case WM_SETFOCUS: {
      const LRESULT result = ::DefSubclassProc(edit_, message, wparam, lparam);
      // Coming back from another program's window is no entering of the edit.
      if (!SameWindow(edit_, reinterpret_cast<HWND>(wparam))) return result;
      value_at_entry_ = Value();
      if (::GetKeyState(VK_LBUTTON) >= 0) ::SendMessageW(edit_, EM_SETSEL, 0, -1);
      return result;
    }
    case WM_KILLFOCUS: {
      const LRESULT result = ::DefSubclassProc(edit_, message, wparam, lparam);
      // Only leaving for another control of the window is checked: not another program's
      // window, and not the window closing.
      if (SameWindow(edit_, reinterpret_cast<HWND>(wparam)) && ::IsWindowVisible(edit_)) {
        ValidateOnLeave();
      }
      return result;
    }
    case kTakeFocusBack:
      ::SetFocus(edit_);
      return 0;
    default:
      break;
  }
  return ::DefSubclassProc(edit_, message, wparam, lparam);
}

}  // namespace oxa::win32
