#include "win32/Win32ArchiveRange.h"

#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>
#include <cwchar>

#include "win32/Win32Text.h"

namespace oxa::win32 {

namespace {

constexpr UINT_PTR kRefreshTimer = 1;
constexpr UINT kRefreshMs = 100;
// At 96 dots per inch.
constexpr int kWidth = 480;
constexpr int kHeight = 300;
constexpr int kMargin = 10;
constexpr int kLabelWidth = 120;
constexpr int kRowHeight = 23;
constexpr int kRowGap = 8;
constexpr int kButtonWidth = 100;
constexpr int kButtonHeight = 25;

}  // namespace

TWin32ArchiveRange::TWin32ArchiveRange(HINSTANCE instance, HWND owner, TFormModel& form, HFONT font)
    : TWin32ToolWindow(instance, owner, font), language_(form.Language()), model_(form) {}

TWin32ArchiveRange::~TWin32ArchiveRange() {
  // The model's destructor stops a download; the window goes before it.
  Destroy();
}

bool TWin32ArchiveRange::Create() {
  INITCOMMONCONTROLSEX classes{sizeof(classes), ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
  ::InitCommonControlsEx(&classes);
  if (!CreateWindowOf(kClassName, WideText(TText::kArchiveRangeTitle, language_),
                      WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, kWidth, kHeight)) {
    return false;
  }
  const auto make = [this](const wchar_t* window_class, const std::wstring& text, DWORD style,
                           int id, int x, int y, int width, int height, DWORD ex_style = 0) {
    return MakeControl(window_class, text, style, id, ex_style, x, y, width, height);
  };
  const int field_x = kMargin + kLabelWidth;
  const int field_width = kWidth - field_x - kMargin;
  int y = kMargin;
  const auto label = [&](TText text, int id) {
    make(L"STATIC", WideText(text, language_), SS_NOPREFIX | SS_CENTERIMAGE, id, kMargin, y,
         kLabelWidth, kRowHeight);
  };
  label(TText::kArchiveFirstBlock, kFirstLabel);
  make(L"EDIT", L"0", WS_TABSTOP | ES_NUMBER | ES_AUTOHSCROLL, kFirst, field_x, y, 80, kRowHeight,
       WS_EX_CLIENTEDGE);
  y += kRowHeight + kRowGap;
  label(TText::kArchiveLastBlock, kLastLabel);
  make(L"EDIT", std::to_wstring(kArchiveHighestBlock), WS_TABSTOP | ES_NUMBER | ES_AUTOHSCROLL,
       kLast, field_x, y, 80, kRowHeight, WS_EX_CLIENTEDGE);
  y += kRowHeight + kRowGap;
  label(TText::kArchiveFileLabel, kFileLabel);
  make(L"EDIT", L"", WS_TABSTOP | ES_AUTOHSCROLL, kFile, field_x, y,
       field_width - kButtonWidth - kRowGap, kRowHeight, WS_EX_CLIENTEDGE);
  make(L"BUTTON", WideText(TText::kArchiveBrowse, language_), WS_TABSTOP, kBrowse,
       kWidth - kMargin - kButtonWidth, y - 1, kButtonWidth, kButtonHeight);
  y += kRowHeight + kRowGap;
  make(L"BUTTON", WideText(TText::kArchiveResume, language_), WS_TABSTOP | BS_AUTOCHECKBOX, kResume,
       field_x, y, field_width, kRowHeight);
  y += kRowHeight + kRowGap;
  make(PROGRESS_CLASSW, L"", 0, kBar, kMargin, y, kWidth - 2 * kMargin, 18);
  y += 18 + kRowGap;
  make(L"STATIC", L"", SS_NOPREFIX, kProgress, kMargin, y, kWidth - 2 * kMargin, 16);
  y += 16 + kRowGap / 2;
  const int buttons_y = kHeight - kMargin - kButtonHeight;
  make(L"STATIC", L"", SS_NOPREFIX, kOutcome, kMargin, y, kWidth - 2 * kMargin,
       buttons_y - kRowGap - y);
  const std::pair<int, TText> buttons[] = {
      {kStart, TText::kArchiveStart}, {kStop, TText::kArchiveStop}, {kClose, TText::kArchiveClose}};
  int x = kWidth - kMargin - 3 * kButtonWidth - 2 * kRowGap;
  for (const auto& [id, text] : buttons) {
    make(L"BUTTON", WideText(text, language_), WS_TABSTOP, id, x, buttons_y, kButtonWidth,
         kButtonHeight);
    x += kButtonWidth + kRowGap;
  }
  ::SendDlgItemMessageW(window_, kFirst, EM_SETLIMITTEXT, 4, 0);
  ::SendDlgItemMessageW(window_, kLast, EM_SETLIMITTEXT, 4, 0);
  Refresh();
  return true;
}

void TWin32ArchiveRange::Browse() {
  // The file may exist: a resume continues it, and a new download replaces it only once it has
  // blocks to put in its place.
  const std::wstring path =
      AskSaveFileName(window_, WideText(TText::kArchiveRangeTitle, language_),
                      WindowText(::GetDlgItem(window_, kFile)),
                      WideText(TText::kArchiveFileFilter, language_), L"bin", false);
  if (!path.empty()) ::SetDlgItemTextW(window_, kFile, path.c_str());
}

void TWin32ArchiveRange::Start() {
  const auto field = [this](int id) { return Utf8(WindowText(::GetDlgItem(window_, id))); };
  const bool resume = ::IsDlgButtonChecked(window_, kResume) == BST_CHECKED;
  model_.Start(field(kFirst), field(kLast), field(kFile), resume);
  Refresh();
}

void TWin32ArchiveRange::Refresh() {
  if (window_ == nullptr) return;
  const TArchiveRangeState s = model_.State();
  if (s.running && !running_) ::SetTimer(window_, kRefreshTimer, kRefreshMs, nullptr);
  if (!s.running) ::KillTimer(window_, kRefreshTimer);
  running_ = s.running;
  const HWND bar = ::GetDlgItem(window_, kBar);
  ::SendMessageW(bar, PBM_SETRANGE32, 0, LPARAM(std::max<size_t>(s.total, 1)));
  ::SendMessageW(bar, PBM_SETPOS, WPARAM(s.done), 0);
  ::SetDlgItemTextW(window_, kProgress, Wide(s.progress).c_str());
  ::SetDlgItemTextW(window_, kOutcome, Wide(s.outcome).c_str());
  for (const int id : {kFirst, kLast, kFile, kBrowse, kResume, kStart}) {
    ::EnableWindow(::GetDlgItem(window_, id), !running_);
  }
  ::EnableWindow(::GetDlgItem(window_, kStop), running_);
}

LRESULT TWin32ArchiveRange::OnMessage(UINT message, WPARAM wparam, LPARAM lparam) {
  const HWND window = window_;
  switch (message) {
    case WM_COMMAND:
      switch (LOWORD(wparam)) {
        case kBrowse:
          Browse();
          return 0;
        case kStart:
          Start();
          return 0;
        case kStop:
          model_.Cancel();
          return 0;
        case kClose:
        case IDCANCEL:  // Escape hides the window, as its close button does
          ::ShowWindow(window_, SW_HIDE);
          return 0;
        default:
          break;
      }
      break;
    case WM_TIMER:
      if (wparam == kRefreshTimer) Refresh();
      return 0;
    case WM_CLOSE:
      // A download goes on; its window only hides.
      ::ShowWindow(window_, SW_HIDE);
      return 0;
    default:
      break;
  }
  return ::DefWindowProcW(window, message, wparam, lparam);
}

}  // namespace oxa::win32
