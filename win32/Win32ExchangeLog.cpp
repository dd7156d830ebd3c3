#include "win32/Win32ExchangeLog.h"

#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "serial/OxaUtils.h"
#include "win32/Win32Text.h"

namespace oxa::win32 {

namespace {

constexpr UINT_PTR kRefreshTimer = 1;
constexpr UINT kRefreshMs = 200;
constexpr int kMargin = 8;
constexpr int kLineHeight = 16;
constexpr int kButtonHeight = 25;
constexpr int kButtonWidth = 150;

}  // namespace

TWin32ExchangeLog::TWin32ExchangeLog(HINSTANCE instance, HWND owner, TExchangeLog& log,
                                     TLanguage language, HFONT font)
    : TWin32ToolWindow(instance, owner, font), log_(log), language_(language), rows_(log) {}

bool TWin32ExchangeLog::Create() {
  INITCOMMONCONTROLSEX classes{sizeof(classes), ICC_LISTVIEW_CLASSES};
  ::InitCommonControlsEx(&classes);
  if (!CreateWindowOf(kClassName, WideText(TText::kLogTitle, language_), WS_OVERLAPPEDWINDOW, 1100,
                      440)) {
    return false;
  }
  counters_ = MakeControl(L"STATIC", L"", SS_NOPREFIX | SS_LEFTNOWORDWRAP, kCounters);
  rows_view_ =
      MakeRowList(kRows, WS_BORDER | LVS_SHOWSELALWAYS, kLogColumns, kLogColumnWidths, language_);
  const std::pair<int, TText> buttons[] = {{kClear, TText::kLogClear},
                                           {kCopy, TText::kLogCopy},
                                           {kSaveText, TText::kLogSaveText},
                                           {kSaveCsv, TText::kLogSaveCsv}};
  for (const auto& [id, text] : buttons)
    MakeControl(L"BUTTON", WideText(text, language_), WS_TABSTOP, id);
  Layout();
  Refresh();
  return true;
}

void TWin32ExchangeLog::Show() {
  Refresh();
  TWin32ToolWindow::Show();
}

void TWin32ExchangeLog::Layout() {
  RECT client{};
  ::GetClientRect(window_, &client);
  const int margin = Scale(kMargin);
  const int width = client.right - 2 * margin;
  const int buttons_top = client.bottom - margin - Scale(kButtonHeight);
  ::MoveWindow(counters_, margin, margin, width, Scale(kLineHeight), TRUE);
  const int rows_top = margin + Scale(kLineHeight) + margin / 2;
  ::MoveWindow(rows_view_, margin, rows_top, width, buttons_top - margin - rows_top, TRUE);
  for (int id = kClear; id <= kSaveCsv; ++id) {
    ::MoveWindow(::GetDlgItem(window_, id),
                 margin + (id - kClear) * (Scale(kButtonWidth) + margin / 2), buttons_top,
                 Scale(kButtonWidth), Scale(kButtonHeight), TRUE);
  }
}

void TWin32ExchangeLog::Refresh() {
  if (window_ == nullptr) return;
  const int shown_before = ListView_GetItemCount(rows_view_);
  const TLogFollower::TChange change = rows_.Update();
  ::SetWindowTextW(counters_,
                   Wide(LogCountersText(change.counters, change.dropped, language_)).c_str());
  if (change.gone == 0 && change.added == 0) return;
  // A reader who scrolled up to look at a row keeps it in view; otherwise the newest show.
  const bool at_end =
      ListView_GetTopIndex(rows_view_) + ListView_GetCountPerPage(rows_view_) >= shown_before;
  // Rows gone from the front move every index: the selection would land on other rows.
  if (change.gone > 0) ListView_SetItemState(rows_view_, -1, 0, LVIS_SELECTED | LVIS_FOCUSED);
  ListView_SetItemCountEx(rows_view_, int(rows_.Rows().size()), LVSICF_NOSCROLL);
  if (at_end && !rows_.Rows().empty()) {
    ListView_EnsureVisible(rows_view_, int(rows_.Rows().size()) - 1, FALSE);
  }
  ::InvalidateRect(rows_view_, nullptr, FALSE);
}

void TWin32ExchangeLog::CopySelected() {
  std::vector<TLogRow> rows;
  for (int i = ListView_GetNextItem(rows_view_, -1, LVNI_SELECTED);
       i >= 0 && size_t(i) < rows_.Rows().size();
       i = ListView_GetNextItem(rows_view_, i, LVNI_SELECTED)) {
    rows.push_back(rows_.Rows()[size_t(i)]);
  }
  if (rows.empty() || !::OpenClipboard(window_)) return;
  ::EmptyClipboard();
  // The clipboard's text ends its lines as Windows does.
  std::wstring text;
  for (const wchar_t c : Wide(LogAsText(rows, language_))) {
    if (c == L'\n') text += L'\r';
    text += c;
  }
  const size_t bytes = (text.size() + 1) * sizeof(wchar_t);
  if (const HGLOBAL memory = ::GlobalAlloc(GMEM_MOVEABLE, bytes)) {
    if (void* at = ::GlobalLock(memory)) {
      std::memcpy(at, text.c_str(), bytes);
      ::GlobalUnlock(memory);
      if (::SetClipboardData(CF_UNICODETEXT, memory) == nullptr) ::GlobalFree(memory);
    } else {
      ::GlobalFree(memory);
    }
  }
  ::CloseClipboard();
}

void TWin32ExchangeLog::Save(bool csv) {
  const std::wstring title = WideText(TText::kLogTitle, language_);
  const std::wstring path = AskSaveFileName(window_, title, L"", csv ? L"CSV (*.csv)" : L"*.txt",
                                            csv ? L"csv" : L"txt", true);
  if (path.empty()) return;
  Refresh();
  const std::vector<TLogRow> rows(rows_.Rows().begin(), rows_.Rows().end());
  TOutputError error;
  if (!SaveLogFile(Utf8(path), csv ? LogAsCsv(rows, language_) : LogAsText(rows, language_),
                   error)) {
    const std::wstring text = path + L": " + Wide(VisibleText(error.detail));
    ::MessageBoxW(window_, text.c_str(), title.c_str(), MB_OK | MB_ICONWARNING);
  }
}

LRESULT TWin32ExchangeLog::OnNotify(const NMHDR& header) {
  if (header.hwndFrom != rows_view_) return 0;
  if (header.code == LVN_GETDISPINFOW) {
    LVITEMW& item = reinterpret_cast<NMLVDISPINFOW*>(const_cast<NMHDR*>(&header))->item;
    if ((item.mask & LVIF_TEXT) == 0 || item.iItem < 0 ||
        size_t(item.iItem) >= rows_.Rows().size() || item.iSubItem < 0 ||
        size_t(item.iSubItem) >= kLogColumns.size()) {
      return 0;
    }
    cell_ = Wide(LogRowCells(rows_.Rows()[size_t(item.iItem)], language_)[size_t(item.iSubItem)]);
    item.pszText = cell_.data();
  } else if (header.code == LVN_KEYDOWN) {
    const auto& key = reinterpret_cast<const NMLVKEYDOWN&>(header);
    if (key.wVKey == 'C' && ::GetKeyState(VK_CONTROL) < 0) CopySelected();
  }
  return 0;
}

LRESULT TWin32ExchangeLog::OnMessage(UINT message, WPARAM wparam, LPARAM lparam) {
  const HWND window = window_;
  switch (message) {
    case WM_COMMAND:
      switch (LOWORD(wparam)) {
        case kClear:
          log_.Clear();
          Refresh();
          return 0;
        case kCopy:
          CopySelected();
          return 0;
        case kSaveText:
        case kSaveCsv:
          Save(LOWORD(wparam) == kSaveCsv);
          return 0;
        case IDCANCEL:  // Escape hides the window, as its close button does
          ::ShowWindow(window_, SW_HIDE);
          return 0;
        default:
          break;
      }
      break;
    case WM_NOTIFY:
      return OnNotify(*reinterpret_cast<const NMHDR*>(lparam));
    case WM_SIZE:
      Layout();
      return 0;
    case WM_SHOWWINDOW:
      if (wparam != FALSE) {
        ::SetTimer(window_, kRefreshTimer, kRefreshMs, nullptr);
      } else {
        ::KillTimer(window_, kRefreshTimer);
      }
      break;
    case WM_TIMER:
      if (wparam == kRefreshTimer) Refresh();
      return 0;
    case WM_CLOSE:
      // The log goes on recording; its window only hides.
      ::ShowWindow(window_, SW_HIDE);
      return 0;
    default:
      break;
  }
  return ::DefWindowProcW(window, message, wparam, lparam);
}

}  // namespace oxa::win32
