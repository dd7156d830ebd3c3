#include "win32/Win32Monitor.h"

#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <cwchar>

#include "actions/Integrator.h"
#include "serial/OxaUtils.h"
#include "win32/Win32Text.h"

namespace oxa::win32 {

namespace {

constexpr UINT_PTR kRefreshTimer = 1;
constexpr UINT kRefreshMs = 200;
constexpr int kMargin = 8;
constexpr int kLineHeight = 16;
constexpr int kEditHeight = 21;
constexpr int kButtonHeight = 25;
constexpr int kButtonWidth = 90;
constexpr int kChoiceWidth = 330;
constexpr int kListHeight = 250;
constexpr int kLabelWidth = 100;
constexpr int kValueColumnWidths[] = {90, 110, 70, 190};
// Labels of the choice: no identifier of their own.
constexpr int kLabelFirst = 300;

const COLORREF kColours[] = {RGB(31, 119, 180),  RGB(214, 39, 40),   RGB(44, 160, 44),
                             RGB(255, 127, 14),  RGB(148, 103, 189), RGB(140, 86, 75),
                             RGB(227, 119, 194), RGB(127, 127, 127)};

std::wstring AxisText(double value) {
  wchar_t text[32];
  std::swprintf(text, 32, L"%.6g", value);
  return text;
}

}  // namespace

TWin32Monitor::TWin32Monitor(HINSTANCE instance, HWND owner, TMonitorPort port, TLanguage language,
                             HFONT font)
    : TWin32ToolWindow(instance, owner, font),
      language_(language),
      monitor_(std::move(port), language) {}

TWin32Monitor::~TWin32Monitor() {
  monitor_.Stop();
  Destroy();
}

bool TWin32Monitor::Create() {
  INITCOMMONCONTROLSEX classes{sizeof(classes), ICC_LISTVIEW_CLASSES | ICC_STANDARD_CLASSES};
  ::InitCommonControlsEx(&classes);
  WNDCLASSEXW plot_class{};
  plot_class.cbSize = sizeof(plot_class);
  plot_class.lpfnWndProc = PlotProc;
  plot_class.hInstance = instance_;
  plot_class.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
  plot_class.hbrBackground = nullptr;  // painted whole, through a bitmap
  plot_class.lpszClassName = kPlotClassName;
  if (::RegisterClassExW(&plot_class) == 0 && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
    return false;
  }
  if (!CreateWindowOf(kClassName, WideText(TText::kMonitorTitle, language_), WS_OVERLAPPEDWINDOW,
                      990, 530)) {
    return false;
  }
  const auto make = [this](const wchar_t* window_class, const std::wstring& text, DWORD style,
                           int id, DWORD ex_style = 0) {
    return MakeControl(window_class, text, style, id, ex_style);
  };
  const TText labels[] = {TText::kMonitorIntegrators, TText::kMonitorFirstRegister,
                          TText::kMonitorRegisterCount, TText::kMonitorInterval,
                          TText::kMonitorLog};
  for (size_t i = 0; i < std::size(labels); ++i) {
    make(L"STATIC", WideText(labels[i], language_), SS_NOPREFIX, kLabelFirst + int(i));
  }
  // Each click ticks or unticks an integrator.
  const HWND list =
      make(L"LISTBOX", L"", WS_TABSTOP | WS_VSCROLL | LBS_MULTIPLESEL | LBS_NOINTEGRALHEIGHT,
           kIntegrators, WS_EX_CLIENTEDGE);
  for (size_t i = 0; i < oxa::kIntegrators.size(); ++i) {
    ::SendMessageW(list, LB_ADDSTRING, 0,
                   reinterpret_cast<LPARAM>(Wide(IntegratorListText(i, language_)).c_str()));
  }
  make(L"EDIT", L"0", WS_TABSTOP | ES_NUMBER | ES_AUTOHSCROLL, kFirstRegister, WS_EX_CLIENTEDGE);
  make(L"EDIT", L"0", WS_TABSTOP | ES_NUMBER | ES_AUTOHSCROLL, kRegisterCount, WS_EX_CLIENTEDGE);
  make(L"EDIT", L"1000", WS_TABSTOP | ES_NUMBER | ES_AUTOHSCROLL, kInterval, WS_EX_CLIENTEDGE);
  make(L"EDIT", L"", WS_TABSTOP | ES_AUTOHSCROLL, kCsvPath, WS_EX_CLIENTEDGE);
  make(L"BUTTON", WideText(TText::kMonitorBrowse, language_), WS_TABSTOP, kBrowse);
  make(L"BUTTON", WideText(TText::kMonitorStart, language_), WS_TABSTOP, kStart);
  make(L"BUTTON", WideText(TText::kMonitorStop, language_), WS_TABSTOP, kStop);
  make(L"STATIC", L"", SS_NOPREFIX | SS_LEFTNOWORDWRAP, kCounters);
  make(L"STATIC", L"", SS_NOPREFIX, kStatus);
  const TText columns[] = {TText::kMonitorColumnName, TText::kMonitorColumnValue,
                           TText::kMonitorColumnUnit, TText::kMonitorColumnTime};
  values_view_ = MakeRowList(kValues, 0, columns, kValueColumnWidths, language_, WS_EX_CLIENTEDGE);
  plot_ = make(kPlotClassName, L"", 0, kPlot, WS_EX_CLIENTEDGE);
  Layout();
  ShowRunning(false);
  Refresh();
  return true;
}

void TWin32Monitor::Show() {
  Refresh();
  TWin32ToolWindow::Show();
}

void TWin32Monitor::Layout() {
  RECT client{};
  ::GetClientRect(window_, &client);
  const int margin = Scale(kMargin);
  const int label = Scale(kLabelWidth);
  const int choice = Scale(kChoiceWidth);
  const int edit_h = Scale(kEditHeight);
  const auto place = [this](int id, int x, int y, int w, int h) {
    ::MoveWindow(::GetDlgItem(window_, id), x, y, w, h, TRUE);
  };
  int y = margin;
  place(kLabelFirst, margin, y, choice, Scale(kLineHeight));
  y += Scale(kLineHeight);
  place(kIntegrators, margin, y, choice, Scale(kListHeight));
  y += Scale(kListHeight) + margin;
  const int field = margin + label;
  place(kLabelFirst + 1, margin, y + 3, label, Scale(kLineHeight));
  place(kFirstRegister, field, y, Scale(70), edit_h);
  place(kLabelFirst + 2, field + Scale(78), y + 3, Scale(80), Scale(kLineHeight));
  place(kRegisterCount, field + Scale(160), y, Scale(60), edit_h);
  y += edit_h + margin;
  place(kLabelFirst + 3, margin, y + 3, label, Scale(kLineHeight));
  place(kInterval, field, y, Scale(90), edit_h);
  y += edit_h + margin;
  place(kLabelFirst + 4, margin, y + 3, label, Scale(kLineHeight));
  place(kCsvPath, field, y, choice - label - Scale(kButtonWidth) - margin / 2, edit_h);
  place(kBrowse, margin + choice - Scale(kButtonWidth), y - 2, Scale(kButtonWidth),
        Scale(kButtonHeight));
  y += Scale(kButtonHeight) + margin;
  place(kStart, margin, y, Scale(kButtonWidth), Scale(kButtonHeight));
  place(kStop, margin + Scale(kButtonWidth) + margin / 2, y, Scale(kButtonWidth),
        Scale(kButtonHeight));
  y += Scale(kButtonHeight) + margin;
  place(kCounters, margin, y, choice, Scale(kLineHeight));
  y += Scale(kLineHeight) + margin / 2;
  place(kStatus, margin, y, choice, std::max(0, int(client.bottom) - y - margin));

  const int right = 2 * margin + choice;
  const int width = std::max(0, int(client.right) - right - margin);
  const int height = std::max(0, int(client.bottom) - 2 * margin);
  const int values_h = height / 3;
  place(kValues, right, margin, width, values_h);
  place(kPlot, right, margin + values_h + margin / 2, width, height - values_h - margin / 2);
}

uint32_t TWin32Monitor::EditNumber(int id, uint32_t min, uint32_t max, uint32_t fallback) {
  const HWND edit = ::GetDlgItem(window_, id);
  const std::string text = Utf8(WindowText(edit));
  uint64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec == std::errc::invalid_argument || end != text.data() + text.size()) {
    value = fallback;
  } else if (ec == std::errc::result_out_of_range) {
    value = max;
  }
  value = std::clamp<uint64_t>(value, min, max);
  const std::wstring shown = Wide(std::to_string(value));
  if (WindowText(edit) != shown) ::SetWindowTextW(edit, shown.c_str());
  return uint32_t(value);
}

bool TWin32Monitor::Start() {
  TMonitorChoice choice;
  const HWND list = ::GetDlgItem(window_, kIntegrators);
  for (size_t i = 0; i < oxa::kIntegrators.size(); ++i) {
    if (::SendMessageW(list, LB_GETSEL, i, 0) > 0) choice.integrators.push_back(i);
  }
  // The form's ranges: the first register 0..10000, a count of 0..127 (0: none). An interval
  // below the least is kept as typed, for the monitor to refuse with its message.
  choice.first_register = uint16_t(EditNumber(kFirstRegister, 0, 10000, 0));
  choice.register_count = uint16_t(EditNumber(kRegisterCount, 0, 127, 0));
  choice.interval_ms = EditNumber(kInterval, 0, TMonitor::kMaxIntervalMs, 0);
  const std::wstring csv_path = WindowText(::GetDlgItem(window_, kCsvPath));
  choice.csv_path = Utf8(csv_path);
  // A file that holds something is replaced only when the user says so: in the file chooser,
  // which asked, or here.
  if (!choice.csv_path.empty() && TMonitor::LogWouldReplace(choice.csv_path)) {
    const std::wstring question = Wide(TMonitor::ReplaceQuestion(choice.csv_path, language_));
    const std::wstring title = WindowText(window_);
    choice.replace_csv = csv_path == confirmed_path_ ||
                         ::MessageBoxW(window_, question.c_str(), title.c_str(),
                                       MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) == IDYES;
    if (!choice.replace_csv) return false;
  }
  message_ = monitor_.Start(choice);
  // The answer was for this start: the next one asks again, since the file now holds its rows.
  if (message_.empty()) confirmed_path_.clear();
  ShowRunning(message_.empty());
  Refresh();
  return message_.empty();
}

void TWin32Monitor::Stop() {
  monitor_.Stop();
  if (window_ == nullptr) return;
  ShowRunning(false);
  Refresh();
}

void TWin32Monitor::ShowRunning(bool running) {
  for (const int id :
       {kIntegrators, kFirstRegister, kRegisterCount, kInterval, kCsvPath, kBrowse, kStart}) {
    ::EnableWindow(::GetDlgItem(window_, id), !running);
  }
  ::EnableWindow(::GetDlgItem(window_, kStop), running);
  if (running) {
    ::SetTimer(window_, kRefreshTimer, kRefreshMs, nullptr);
  } else {
    ::KillTimer(window_, kRefreshTimer);
  }
}

void TWin32Monitor::Refresh() {
  if (window_ == nullptr) return;
  const bool was_running = shown_.running;
  shown_ = monitor_.Snapshot();
  const std::wstring counters =
      WideText(TText::kMonitorReads, language_) + L": " + std::to_wstring(shown_.reads) + L"   " +
      WideText(TText::kMonitorFailures, language_) + L": " + std::to_wstring(shown_.failures);
  ::SetWindowTextW(::GetDlgItem(window_, kCounters), counters.c_str());
  std::string status = message_;
  for (const std::string& problem : {shown_.problem, shown_.log_problem}) {
    if (problem.empty()) continue;
    if (!status.empty()) status += "\r\n";
    status += problem;
  }
  const HWND status_control = ::GetDlgItem(window_, kStatus);
  if (Utf8(WindowText(status_control)) != status) {
    ::SetWindowTextW(status_control, Wide(status).c_str());
  }
  ListView_SetItemCountEx(values_view_, int(shown_.values.size()), LVSICF_NOSCROLL);
  ::InvalidateRect(values_view_, nullptr, FALSE);
  RECT plot{};
  ::GetClientRect(plot_, &plot);
  series_ = monitor_.Plot(kPlotSpanS, size_t(std::max<LONG>(4, plot.right)));
  ::InvalidateRect(plot_, nullptr, FALSE);
  // The run ended on its own (the form closing stops it): the controls come back.
  if (was_running && !shown_.running) ShowRunning(false);
}

void TWin32Monitor::Browse() {
  const std::wstring path =
      AskSaveFileName(window_, WideText(TText::kMonitorTitle, language_),
                      WindowText(::GetDlgItem(window_, kCsvPath)),
                      WideText(TText::kMonitorCsvFilter, language_), L"csv", true);
  if (path.empty()) return;
  ::SetWindowTextW(::GetDlgItem(window_, kCsvPath), path.c_str());
  confirmed_path_ = path;
}

void TWin32Monitor::PaintPlot(HDC dc, const RECT& area) {
  ::FillRect(dc, &area, reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1));
  const HGDIOBJ old_font = ::SelectObject(dc, font_);
  ::SetBkMode(dc, TRANSPARENT);
  ::SetTextColor(dc, ::GetSysColor(COLOR_WINDOWTEXT));
  TEXTMETRICW metrics{};
  ::GetTextMetricsW(dc, &metrics);
  const int line = metrics.tmHeight;
  // What is shown: the time it covers and the range of its values.
  double oldest = 10;
  double low = INFINITY;
  double high = -INFINITY;
  for (const TPlotSeries& s : series_) {
    for (size_t i = 0; i < s.t.size(); ++i) {
      if (!std::isfinite(s.y[i])) continue;
      oldest = std::max(oldest, s.t[i]);
      low = std::min(low, s.y[i]);
      high = std::max(high, s.y[i]);
    }
  }
  oldest = std::min(oldest, kPlotSpanS);
  if (!(low <= high)) {
    low = 0;
    high = 1;
  }
  const double pad = high - low < 1e-9 * std::max(1.0, std::abs(high))
                         ? std::max(1.0, std::abs(high)) * 0.05
                         : (high - low) * 0.05;
  low -= pad;
  high += pad;
  const std::wstring high_text = AxisText(high);
  const std::wstring low_text = AxisText(low);
  SIZE high_size{}, low_size{};
  ::GetTextExtentPoint32W(dc, high_text.c_str(), int(high_text.size()), &high_size);
  ::GetTextExtentPoint32W(dc, low_text.c_str(), int(low_text.size()), &low_size);
  const int left = area.left + std::max(high_size.cx, low_size.cx) + Scale(8);
  const RECT plot{left, area.top + Scale(4), std::max(left + 10, int(area.right) - Scale(8)),
                  std::max(int(area.top) + 14, int(area.bottom) - line - Scale(8))};
  const HPEN frame = ::CreatePen(PS_SOLID, 1, ::GetSysColor(COLOR_BTNSHADOW));
  HGDIOBJ old_pen = ::SelectObject(dc, frame);
  const HGDIOBJ old_brush = ::SelectObject(dc, ::GetStockObject(NULL_BRUSH));
  ::Rectangle(dc, plot.left, plot.top, plot.right, plot.bottom);
  ::TextOutW(dc, left - Scale(4) - high_size.cx, plot.top, high_text.c_str(),
             int(high_text.size()));
  ::TextOutW(dc, left - Scale(4) - low_size.cx, plot.bottom - line, low_text.c_str(),
             int(low_text.size()));
  const std::wstring from = Wide(PlotAgeText(oldest, language_));
  ::TextOutW(dc, plot.left, plot.bottom + Scale(2), from.c_str(), int(from.size()));
  ::TextOutW(dc, plot.right - Scale(8), plot.bottom + Scale(2), L"0", 1);

  const double w = plot.right - plot.left - 1;
  const double h = plot.bottom - plot.top - 1;
  const HRGN clip = ::CreateRectRgn(plot.left + 1, plot.top + 1, plot.right - 1, plot.bottom - 1);
  ::SelectClipRgn(dc, clip);
  std::vector<POINT> points;
  for (size_t k = 0; k < series_.size(); ++k) {
    const TPlotSeries& s = series_[k];
    const HPEN pen = ::CreatePen(PS_SOLID, Scale(2) / 2 + 1, kColours[k % std::size(kColours)]);
    ::SelectObject(dc, pen);
    points.clear();
    const auto draw = [&] {
      if (points.size() > 1) ::Polyline(dc, points.data(), int(points.size()));
      if (points.size() == 1) {
        ::Ellipse(dc, points[0].x - 2, points[0].y - 2, points[0].x + 3, points[0].y + 3);
      }
      points.clear();
    };
    for (size_t i = 0; i < s.t.size(); ++i) {
      if (!std::isfinite(s.y[i]) || s.t[i] > oldest) {
        draw();
        continue;
      }
      points.push_back({LONG(std::lround(plot.right - 1 - s.t[i] / oldest * w)),
                        LONG(std::lround(plot.bottom - 1 - (s.y[i] - low) / (high - low) * h))});
    }
    draw();
    ::SelectObject(dc, frame);
    ::DeleteObject(pen);
  }
  ::SelectClipRgn(dc, nullptr);
  ::DeleteObject(clip);
  // The legend, top left inside the plot.
  int y = plot.top + Scale(4);
  for (size_t k = 0; k < series_.size() && y + line < plot.bottom; ++k) {
    const RECT mark{plot.left + Scale(6), y + line / 2 - 2, plot.left + Scale(20),
                    y + line / 2 + 2};
    const HBRUSH brush = ::CreateSolidBrush(kColours[k % std::size(kColours)]);
    ::FillRect(dc, &mark, brush);
    ::DeleteObject(brush);
    const std::wstring name = Wide(series_[k].name);
    ::TextOutW(dc, plot.left + Scale(24), y, name.c_str(), int(name.size()));
    y += line;
  }
  ::SelectObject(dc, old_brush);
  old_pen = ::SelectObject(dc, old_pen);
  ::DeleteObject(frame);
  ::SelectObject(dc, old_font);
}

LRESULT CALLBACK TWin32Monitor::PlotProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  // The plot is the monitor window's child: that window's object draws it (none while the
  // window is being destroyed).
  auto* self = static_cast<TWin32Monitor*>(
      reinterpret_cast<TWin32ToolWindow*>(::GetWindowLongPtrW(::GetParent(window), GWLP_USERDATA)));
  if (message == WM_ERASEBKGND) return 1;
  if (message == WM_PAINT && self != nullptr) {
    PAINTSTRUCT paint{};
    const HDC dc = ::BeginPaint(window, &paint);
    RECT area{};
    ::GetClientRect(window, &area);
    // Drawn into a bitmap first, so that a refresh does not flicker.
    const HDC memory = ::CreateCompatibleDC(dc);
    const HBITMAP bitmap =
        ::CreateCompatibleBitmap(dc, std::max<LONG>(1, area.right), std::max<LONG>(1, area.bottom));
    const HGDIOBJ old = ::SelectObject(memory, bitmap);
    self->PaintPlot(memory, area);
    ::BitBlt(dc, 0, 0, area.right, area.bottom, memory, 0, 0, SRCCOPY);
    ::SelectObject(memory, old);
    ::DeleteObject(bitmap);
    ::DeleteDC(memory);
    ::EndPaint(window, &paint);
    return 0;
  }
  return ::DefWindowProcW(window, message, wparam, lparam);
}

LRESULT TWin32Monitor::OnNotify(const NMHDR& header) {
  if (header.hwndFrom != values_view_ || header.code != LVN_GETDISPINFOW) return 0;
  LVITEMW& item = reinterpret_cast<NMLVDISPINFOW*>(const_cast<NMHDR*>(&header))->item;
  if ((item.mask & LVIF_TEXT) == 0 || item.iItem < 0 ||
      size_t(item.iItem) >= shown_.values.size()) {
    return 0;
  }
  const TMonitorValue& v = shown_.values[size_t(item.iItem)];
  switch (item.iSubItem) {
    case 0:
      cell_ = Wide(v.column.name);
      break;
    case 1:
      cell_ = v.value ? Wide(PollValueText(*v.value, v.column.kind)) : std::wstring();
      break;
    case 2:
      cell_ = Wide(v.column.unit);
      break;
    case 3:
      cell_ = Wide(v.time);
      break;
    default:
      return 0;
  }
  item.pszText = cell_.data();
  return 0;
}

LRESULT TWin32Monitor::OnMessage(UINT message, WPARAM wparam, LPARAM lparam) {
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
          Stop();
          return 0;
        case IDCANCEL:  // Escape closes the window, as its close button does
          ::SendMessageW(window_, WM_CLOSE, 0, 0);
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
    case WM_TIMER:
      if (wparam == kRefreshTimer) Refresh();
      return 0;
    case WM_CLOSE:
      // Polling ends with the window, and the port goes back to the form.
      Stop();
      ::ShowWindow(window_, SW_HIDE);
      return 0;
    default:
      break;
  }
  return ::DefWindowProcW(window, message, wparam, lparam);
}

}  // namespace oxa::win32
