#include "win32/Win32Monitor.h"

#include <commctrl.h>
#include <commdlg.h>
#include <objidl.h>
#include <propidl.h>
#include <windowsx.h>
// GDI+ needs the property and stream types that WIN32_LEAN_AND_MEAN leaves out: included above.
#include <gdiplus.h>

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

// The plot's menu.
enum : UINT { kMenuPause = 401, kMenuFollow, kMenuCopy, kMenuSave };

template <class T>
T Function(HMODULE module, const char* name) {
  return module != nullptr
             ? reinterpret_cast<T>(reinterpret_cast<void*>(::GetProcAddress(module, name)))
             : nullptr;
}

// GDI+ and the memory stream it writes a PNG into, loaded when a plot is first saved: the
// window does not pay for loading them at every start (a good part of its start and memory
// under Wine) for a picture seldom saved. Null members when the system lacks them.
struct TPngWriter {
  decltype(&Gdiplus::GdiplusStartup) startup = nullptr;
  decltype(&Gdiplus::GdiplusShutdown) shutdown = nullptr;
  decltype(&Gdiplus::DllExports::GdipCreateBitmapFromHBITMAP) from_bitmap = nullptr;
  decltype(&Gdiplus::DllExports::GdipSaveImageToStream) save = nullptr;
  decltype(&Gdiplus::DllExports::GdipDisposeImage) dispose = nullptr;
  decltype(&::CreateStreamOnHGlobal) create_stream = nullptr;
  decltype(&::GetHGlobalFromStream) stream_memory = nullptr;

  bool Complete() const {
    return startup && shutdown && from_bitmap && save && dispose && create_stream && stream_memory;
  }
};

// The libraries stay loaded for the rest of the program once loaded.
const TPngWriter& PngWriter() {
  static const TPngWriter writer = [] {
    TPngWriter w;
    const HMODULE gdiplus = ::LoadLibraryW(L"gdiplus.dll");
    const HMODULE ole = ::LoadLibraryW(L"ole32.dll");
    w.startup = Function<decltype(w.startup)>(gdiplus, "GdiplusStartup");
    w.shutdown = Function<decltype(w.shutdown)>(gdiplus, "GdiplusShutdown");
    w.from_bitmap = Function<decltype(w.from_bitmap)>(gdiplus, "GdipCreateBitmapFromHBITMAP");
    w.save = Function<decltype(w.save)>(gdiplus, "GdipSaveImageToStream");
    w.dispose = Function<decltype(w.dispose)>(gdiplus, "GdipDisposeImage");
    w.create_stream = Function<decltype(w.create_stream)>(ole, "CreateStreamOnHGlobal");
    w.stream_memory = Function<decltype(w.stream_memory)>(ole, "GetHGlobalFromStream");
    return w;
  }();
  return writer;
}

COLORREF Colour(const TPlotColour& c) {
  return RGB(c.r, c.g, c.b);
}

RECT Rect(const TPlotRect& r) {
  return RECT{r.left, r.top, r.right, r.bottom};
}

POINT PointOf(LPARAM lparam) {
  return POINT{GET_X_LPARAM(lparam), GET_Y_LPARAM(lparam)};
}

void Text(HDC dc, int x, int y, const std::string& text) {
  const std::wstring wide = Wide(text);
  ::TextOutW(dc, x, y, wide.c_str(), int(wide.size()));
}

}  // namespace

TWin32Monitor::TWin32Monitor(HINSTANCE instance, HWND owner, TPortLease port, TLanguage language,
                             HFONT font)
    : TWin32ToolWindow(instance, owner, font),
      language_(language),
      monitor_(std::move(port), language),
      plot_model_(language) {}

TWin32Monitor::~TWin32Monitor() {
  monitor_.Stop();
  Destroy();
  if (measure_dc_ != nullptr) ::DeleteDC(measure_dc_);
}

bool TWin32Monitor::Create() {
  INITCOMMONCONTROLSEX classes{sizeof(classes), ICC_LISTVIEW_CLASSES | ICC_STANDARD_CLASSES};
  ::InitCommonControlsEx(&classes);
  WNDCLASSEXW plot_class{};
  plot_class.cbSize = sizeof(plot_class);
  plot_class.style = CS_DBLCLKS;
  plot_class.lpfnWndProc = PlotProc;
  plot_class.hInstance = instance_;
  plot_class.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
  plot_class.hbrBackground = nullptr;  // painted whole, through a bitmap
  plot_class.lpszClassName = kPlotClassName;
  if (::RegisterClassExW(&plot_class) == 0 && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
    return false;
  }
  if (!CreateWindowOf(kClassName, WideText(TText::kMonitorTitle, language_), WS_OVERLAPPEDWINDOW,
                      990, 590)) {
    return false;
  }
  const auto make = [this](const wchar_t* window_class, const std::wstring& text, DWORD style,
                           int id, DWORD ex_style = 0) {
    return MakeControl(window_class, text, style, id, ex_style);
  };
  const TText labels[] = {TText::kMonitorIntegrators,   TText::kMonitorFirstRegister,
                          TText::kMonitorRegisterCount, TText::kMonitorInterval,
                          TText::kMonitorLog,           TText::kMonitorAddresses,
                          TText::kMonitorRegisterType};
  for (size_t i = 0; i < std::size(labels); ++i) {
    make(L"STATIC", WideText(labels[i], language_), SS_NOPREFIX, kLabelFirst + int(i));
  }
  // The devices' addresses as fulctl's -a takes them; blank: the form's address.
  const HWND addresses =
      make(L"EDIT", L"", WS_TABSTOP | ES_AUTOHSCROLL, kAddresses, WS_EX_CLIENTEDGE);
  ::SendMessageW(
      addresses, EM_SETCUEBANNER, TRUE,
      reinterpret_cast<LPARAM>(WideText(TText::kMonitorAddressesHint, language_).c_str()));
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
  // The type of the registers' values, under fulctl's --format names.
  const HWND type =
      make(WC_COMBOBOXW, L"", WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST, kRegisterType);
  for (const TRegisterFormat format : kRegisterFormats) {
    ::SendMessageW(type, CB_ADDSTRING, 0,
                   reinterpret_cast<LPARAM>(Wide(RegisterFormatName(format)).c_str()));
  }
  ::SendMessageW(type, CB_SETCURSEL, 0, 0);
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
  measure_dc_ = ::CreateCompatibleDC(nullptr);
  ::SelectObject(measure_dc_, font_);
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
  const int field = margin + label;
  place(kLabelFirst + 5, margin, y + 3, label, Scale(kLineHeight));
  place(kAddresses, field, y, choice - label, edit_h);
  y += edit_h + margin;
  place(kLabelFirst, margin, y, choice, Scale(kLineHeight));
  y += Scale(kLineHeight);
  place(kIntegrators, margin, y, choice, Scale(kListHeight));
  y += Scale(kListHeight) + margin;
  place(kLabelFirst + 1, margin, y + 3, label, Scale(kLineHeight));
  place(kFirstRegister, field, y, Scale(70), edit_h);
  place(kLabelFirst + 2, field + Scale(78), y + 3, Scale(80), Scale(kLineHeight));
  place(kRegisterCount, field + Scale(160), y, Scale(60), edit_h);
  y += edit_h + margin;
  place(kLabelFirst + 6, margin, y + 3, label, Scale(kLineHeight));
  // A drop-down list's height is that of its open list.
  place(kRegisterType, field, y, Scale(130), edit_h + Scale(8 * kLineHeight));
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
  LayOutPlot();
}

void TWin32Monitor::LayOutPlot() {
  if (plot_ == nullptr || measure_dc_ == nullptr) return;
  RECT area{};
  ::GetClientRect(plot_, &area);
  TEXTMETRICW metrics{};
  ::GetTextMetricsW(measure_dc_, &metrics);
  const HDC dc = measure_dc_;
  plot_model_.Layout(int(area.right), int(area.bottom),
                     {[dc](std::string_view text) {
                        const std::wstring wide = Wide(text);
                        SIZE size{};
                        ::GetTextExtentPoint32W(dc, wide.c_str(), int(wide.size()), &size);
                        return int(size.cx);
                      },
                      int(metrics.tmHeight)});
}

void TWin32Monitor::RetakePlot() {
  plot_model_.Take(monitor_);
  ::InvalidateRect(plot_, nullptr, FALSE);
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
  choice.addresses = Utf8(WindowText(::GetDlgItem(window_, kAddresses)));
  const HWND list = ::GetDlgItem(window_, kIntegrators);
  for (size_t i = 0; i < oxa::kIntegrators.size(); ++i) {
    if (::SendMessageW(list, LB_GETSEL, i, 0) > 0) choice.integrators.push_back(i);
  }
  // The form's ranges: the first register 0..10000, a count of 0..127 (0: none). An interval
  // below the least is kept as typed, for the monitor to refuse with its message.
  choice.first_register = uint16_t(EditNumber(kFirstRegister, 0, 10000, 0));
  choice.register_count = uint16_t(EditNumber(kRegisterCount, 0, 127, 0));
  const LRESULT type = ::SendMessageW(::GetDlgItem(window_, kRegisterType), CB_GETCURSEL, 0, 0);
  choice.register_format =
      kRegisterFormats[type >= 0 && size_t(type) < std::size(kRegisterFormats) ? size_t(type) : 0];
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
  for (const int id : {kAddresses, kIntegrators, kFirstRegister, kRegisterCount, kRegisterType,
                       kInterval, kCsvPath, kBrowse, kStart}) {
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
  RetakePlot();
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
  const TPlotPicture& p = plot_model_.Picture();
  ::FillRect(dc, &area, reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1));
  const HGDIOBJ old_font = ::SelectObject(dc, font_);
  ::SetBkMode(dc, TRANSPARENT);
  const COLORREF text = ::GetSysColor(COLOR_WINDOWTEXT);
  const int h = p.line_height;
  const HPEN grid = ::CreatePen(PS_SOLID, 1, ::GetSysColor(COLOR_3DLIGHT));
  const HPEN frame = ::CreatePen(PS_SOLID, 1, ::GetSysColor(COLOR_BTNSHADOW));
  const HGDIOBJ old_pen = ::SelectObject(dc, grid);
  const HGDIOBJ old_brush = ::SelectObject(dc, ::GetStockObject(NULL_BRUSH));
  // The lanes: the grid at each tick, a frame, the value axis and its unit.
  ::SetTextColor(dc, text);
  for (const TPlotLane& lane : p.lanes) {
    const RECT r = Rect(lane.area);
    ::SelectObject(dc, grid);
    for (const TPlotTick& tick : lane.ticks) {
      const int y = int(std::lround(tick.at));
      ::MoveToEx(dc, r.left, y, nullptr);
      ::LineTo(dc, r.right, y);
    }
    for (const TPlotTick& tick : p.time_ticks) {
      const int x = int(std::lround(tick.at));
      ::MoveToEx(dc, x, r.top, nullptr);
      ::LineTo(dc, x, r.bottom);
    }
    ::SelectObject(dc, frame);
    ::Rectangle(dc, r.left, r.top, r.right, r.bottom);
    for (const TPlotTick& tick : lane.ticks) {
      RECT cell{0, LONG(std::lround(tick.at - h / 2.0)), p.axis_right,
                LONG(std::lround(tick.at + h / 2.0))};
      const std::wstring wide = Wide(tick.text);
      ::DrawTextW(dc, wide.c_str(), int(wide.size()), &cell,
                  DT_RIGHT | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
    }
    RECT unit{0, lane.area.top, p.axis_right, lane.area.top + h};
    const std::wstring wide = Wide(lane.unit);
    ::DrawTextW(dc, wide.c_str(), int(wide.size()), &unit,
                DT_RIGHT | DT_TOP | DT_SINGLELINE | DT_NOPREFIX);
  }
  for (const TPlotTick& tick : p.time_ticks) {
    const std::wstring wide = Wide(tick.text);
    SIZE size{};
    ::GetTextExtentPoint32W(dc, wide.c_str(), int(wide.size()), &size);
    ::TextOutW(dc, int(std::lround(tick.at - size.cx / 2.0)), p.time_text_top, wide.c_str(),
               int(wide.size()));
  }
  // The lines, each clipped to its lane; a lone point is a dot.
  std::vector<POINT> points;
  for (const TPlotLine& line : p.lines) {
    const TPlotRect& lane = p.lanes[line.lane].area;
    const HRGN clip = ::CreateRectRgn(lane.left + 1, lane.top + 1, lane.right - 1, lane.bottom - 1);
    ::SelectClipRgn(dc, clip);
    const HPEN pen = ::CreatePen(PS_SOLID, Scale(2) / 2 + 1, Colour(line.colour));
    ::SelectObject(dc, pen);
    for (const auto& run : line.runs) {
      points.clear();
      for (const TPlotPoint& point : run) {
        points.push_back({LONG(std::lround(point.x)), LONG(std::lround(point.y))});
      }
      if (points.size() > 1) ::Polyline(dc, points.data(), int(points.size()));
      if (points.size() == 1) {
        ::Ellipse(dc, points[0].x - 2, points[0].y - 2, points[0].x + 3, points[0].y + 3);
      }
    }
    ::SelectObject(dc, frame);
    ::DeleteObject(pen);
    ::SelectClipRgn(dc, nullptr);
    ::DeleteObject(clip);
  }
  // The legend, above the lanes; a hidden value greyed.
  const COLORREF greyed = ::GetSysColor(COLOR_GRAYTEXT);
  for (const TPlotLegendEntry& e : p.entries) {
    const RECT swatch = Rect(e.swatch);
    const HBRUSH brush = ::CreateSolidBrush(e.hidden ? greyed : Colour(e.colour));
    ::FillRect(dc, &swatch, brush);
    ::DeleteObject(brush);
    ::SetTextColor(dc, e.hidden ? greyed : text);
    Text(dc, e.text_left, e.box.top, e.text);
  }
  ::SetTextColor(dc, text);
  if (!p.state.empty()) Text(dc, p.state_left, p.legend.top, p.state);
  // A range being dragged.
  if (p.selection && !p.lanes.empty()) {
    const RECT band{std::min(p.selection->first, p.selection->second), p.lanes.front().area.top,
                    std::max(p.selection->first, p.selection->second) + 1,
                    p.lanes.back().area.bottom};
    ::DrawFocusRect(dc, &band);
  }
  // The readout: a line at its time, and the values in a box beside the pointer.
  const TPlotReadout& r = p.readout;
  if (r.shown && !p.lanes.empty()) {
    const HPEN dotted = ::CreatePen(PS_DOT, 1, ::GetSysColor(COLOR_BTNSHADOW));
    ::SelectObject(dc, dotted);
    const int x = int(std::lround(r.x));
    ::MoveToEx(dc, x, p.lanes.front().area.top, nullptr);
    ::LineTo(dc, x, p.lanes.back().area.bottom);
    ::SelectObject(dc, frame);
    ::DeleteObject(dotted);
    const RECT box = Rect(r.box);
    ::FillRect(dc, &box, ::GetSysColorBrush(COLOR_INFOBK));
    ::Rectangle(dc, box.left, box.top, box.right, box.bottom);
    ::SetTextColor(dc, ::GetSysColor(COLOR_INFOTEXT));
    for (size_t i = 0; i < r.lines.size(); ++i) {
      const int y = r.box.top + 4 + int(i) * h;
      if (r.colours[i]) {
        const RECT swatch{r.box.left + 4, y + h / 2 - 2, r.box.left + 18, y + h / 2 + 2};
        const HBRUSH brush = ::CreateSolidBrush(Colour(*r.colours[i]));
        ::FillRect(dc, &swatch, brush);
        ::DeleteObject(brush);
      }
      Text(dc, r.box.left + 22, y, r.lines[i]);
    }
  }
  ::SelectObject(dc, old_brush);
  ::SelectObject(dc, old_pen);
  ::DeleteObject(grid);
  ::DeleteObject(frame);
  ::SelectObject(dc, old_font);
}

HBITMAP TWin32Monitor::PlotBitmap() {
  RECT area{};
  ::GetClientRect(plot_, &area);
  const HDC screen = ::GetDC(plot_);
  const HDC memory = ::CreateCompatibleDC(screen);
  const HBITMAP bitmap = ::CreateCompatibleBitmap(screen, std::max<LONG>(1, area.right),
                                                  std::max<LONG>(1, area.bottom));
  ::ReleaseDC(plot_, screen);
  if (bitmap != nullptr) {
    // The picture without the readout: the pointer is on the menu, not on the plot.
    plot_model_.SetPointer(std::nullopt);
    const HGDIOBJ old = ::SelectObject(memory, bitmap);
    PaintPlot(memory, area);
    ::SelectObject(memory, old);
  }
  ::DeleteDC(memory);
  return bitmap;
}

bool TWin32Monitor::CopyPlot() {
  const HBITMAP bitmap = PlotBitmap();
  if (bitmap == nullptr) return false;
  if (!::OpenClipboard(window_)) {
    ::DeleteObject(bitmap);
    return false;
  }
  ::EmptyClipboard();
  // The clipboard owns the bitmap once it took it.
  const bool taken = ::SetClipboardData(CF_BITMAP, bitmap) != nullptr;
  ::CloseClipboard();
  if (!taken) ::DeleteObject(bitmap);
  return taken;
}

std::string TWin32Monitor::SavePlot(const std::wstring& path) {
  const std::string failed =
      std::string(Text(TText::kPlotSaveFailed, language_)) + " " + VisibleText(Utf8(path));
  // PNG through GDI+, into memory; the file is written as every file of ours is.
  const TPngWriter& gdi = PngWriter();
  if (!gdi.Complete()) return failed;
  Gdiplus::GdiplusStartupInput input;
  ULONG_PTR token = 0;
  if (gdi.startup(&token, &input, nullptr) != Gdiplus::Ok) return failed;
  std::vector<uint8_t> png;
  const HBITMAP bitmap = PlotBitmap();
  Gdiplus::GpBitmap* image = nullptr;
  IStream* stream = nullptr;
  if (bitmap != nullptr && gdi.from_bitmap(bitmap, nullptr, &image) == Gdiplus::Ok &&
      gdi.create_stream(nullptr, TRUE, &stream) == S_OK) {
    // The PNG encoder's class identifier.
    const CLSID png_encoder = {
        0x557cf406, 0x1a04, 0x11d3, {0x9a, 0x73, 0x00, 0x00, 0xf8, 0x1e, 0xf3, 0x2e}};
    HGLOBAL memory = nullptr;
    if (gdi.save(image, stream, &png_encoder, nullptr) == Gdiplus::Ok &&
        gdi.stream_memory(stream, &memory) == S_OK) {
      STATSTG stat{};
      stream->Stat(&stat, STATFLAG_NONAME);
      const auto* bytes = static_cast<const uint8_t*>(::GlobalLock(memory));
      if (bytes != nullptr) {
        png.assign(bytes, bytes + stat.cbSize.QuadPart);
        ::GlobalUnlock(memory);
      }
    }
  }
  if (stream != nullptr) stream->Release();
  if (image != nullptr) gdi.dispose(image);
  if (bitmap != nullptr) ::DeleteObject(bitmap);
  gdi.shutdown(token);
  if (png.empty()) return failed;
  return SavePlotPicture(Utf8(path), png, language_);
}

void TWin32Monitor::PlotMenu(POINT screen) {
  const HMENU menu = ::CreatePopupMenu();
  const auto add = [menu](UINT id, TText text, TLanguage language, UINT flags) {
    ::AppendMenuW(menu, MF_STRING | flags, id, WideText(text, language).c_str());
  };
  add(kMenuPause, TText::kPlotPause, language_, plot_model_.Paused() ? MF_CHECKED : 0);
  add(kMenuFollow, TText::kPlotFollow, language_,
      plot_model_.Following() && !plot_model_.Paused() ? MF_GRAYED : 0);
  ::AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
  add(kMenuCopy, TText::kPlotCopy, language_, 0);
  add(kMenuSave, TText::kPlotSave, language_, 0);
  const UINT chosen = UINT(::TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON, screen.x,
                                            screen.y, 0, plot_, nullptr));
  ::DestroyMenu(menu);
  switch (chosen) {
    case kMenuPause:
      plot_model_.SetPaused(!plot_model_.Paused());
      RetakePlot();
      break;
    case kMenuFollow:
      plot_model_.Follow();
      RetakePlot();
      break;
    case kMenuCopy:
      CopyPlot();
      break;
    case kMenuSave: {
      const std::wstring path =
          AskSaveFileName(window_, WideText(TText::kPlotSave, language_), L"",
                          WideText(TText::kPlotPngFilter, language_), L"png", true);
      if (path.empty()) break;
      const std::string problem = SavePlot(path);
      if (!problem.empty()) {
        ::MessageBoxW(window_, Wide(problem).c_str(), WindowText(window_).c_str(),
                      MB_OK | MB_ICONWARNING);
      }
      break;
    }
    default:
      break;
  }
}

LRESULT TWin32Monitor::OnPlotMessage(UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_SIZE:
      LayOutPlot();
      return 0;
    case WM_LBUTTONDOWN:
    case WM_MBUTTONDOWN: {
      // The plot takes the focus for the wheel; Escape still reaches the window.
      ::SetFocus(plot_);
      const POINT at = PointOf(lparam);
      if (message == WM_LBUTTONDOWN && plot_model_.Click(at.x, at.y)) {
        ::InvalidateRect(plot_, nullptr, FALSE);
        return 0;
      }
      if (!plot_model_.OverLanes(at.x, at.y)) return 0;
      drag_ = message == WM_MBUTTONDOWN || (wparam & MK_SHIFT) ? TDrag::kPan : TDrag::kRange;
      drag_from_ = drag_last_ = at;
      ::SetCapture(plot_);
      return 0;
    }
    case WM_MOUSEMOVE: {
      const POINT at = PointOf(lparam);
      if (!tracking_leave_) {
        TRACKMOUSEEVENT track{sizeof(track), TME_LEAVE, plot_, 0};
        tracking_leave_ = ::TrackMouseEvent(&track) != FALSE;
      }
      if (drag_ == TDrag::kPan) {
        plot_model_.Pan(at.x - drag_last_.x);
        plot_model_.Take(monitor_);
      } else if (drag_ == TDrag::kRange) {
        plot_model_.SetSelection(std::pair{int(drag_from_.x), int(at.x)});
      }
      drag_last_ = at;
      plot_model_.SetPointer(std::pair{int(at.x), int(at.y)});
      ::InvalidateRect(plot_, nullptr, FALSE);
      return 0;
    }
    case WM_LBUTTONUP:
    case WM_MBUTTONUP:
      if (drag_ == TDrag::kNone) return 0;
      if (drag_ == TDrag::kRange) plot_model_.Select(drag_from_.x, PointOf(lparam).x);
      drag_ = TDrag::kNone;
      ::ReleaseCapture();
      RetakePlot();
      return 0;
    case WM_CAPTURECHANGED:
      if (drag_ != TDrag::kNone) {
        plot_model_.SetSelection(std::nullopt);
        drag_ = TDrag::kNone;
        ::InvalidateRect(plot_, nullptr, FALSE);
      }
      return 0;
    case WM_LBUTTONDBLCLK: {
      const POINT at = PointOf(lparam);
      if (plot_model_.OverLanes(at.x, at.y)) {
        plot_model_.Follow();
        RetakePlot();
      } else if (plot_model_.Click(at.x, at.y)) {  // a legend entry clicked twice in a row
        ::InvalidateRect(plot_, nullptr, FALSE);
      }
      return 0;
    }
    case WM_MOUSEWHEEL: {
      POINT at = PointOf(lparam);
      ::ScreenToClient(plot_, &at);
      const double steps = GET_WHEEL_DELTA_WPARAM(wparam) / double(WHEEL_DELTA);
      if (GET_KEYSTATE_WPARAM(wparam) & MK_SHIFT) {
        RECT area{};
        ::GetClientRect(plot_, &area);
        plot_model_.Pan(int(steps * area.right / 10));
      } else {
        plot_model_.Zoom(at.x, steps);
      }
      RetakePlot();
      return 0;
    }
    case WM_MOUSELEAVE:
      tracking_leave_ = false;
      plot_model_.SetPointer(std::nullopt);
      ::InvalidateRect(plot_, nullptr, FALSE);
      return 0;
    case WM_CONTEXTMENU: {
      POINT at = PointOf(lparam);
      if (at.x == -1 && at.y == -1) {  // from the keyboard: at the plot's corner
        at = {0, 0};
        ::ClientToScreen(plot_, &at);
      }
      PlotMenu(at);
      return 0;
    }
    case WM_KEYDOWN:
      if (wparam == VK_ESCAPE) {
        ::SendMessageW(window_, WM_COMMAND, IDCANCEL, 0);
        return 0;
      }
      break;
    default:
      break;
  }
  return ::DefWindowProcW(plot_, message, wparam, lparam);
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
  if (self != nullptr && self->plot_ == window) return self->OnPlotMessage(message, wparam, lparam);
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
        case IDCANCEL:  // Escape closes the window, as its close button does, wherever the focus is
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
    case WM_MOUSEWHEEL: {
      // The wheel over the plot zooms it, wherever the focus is.
      POINT at = PointOf(lparam);
      RECT plot{};
      ::GetWindowRect(plot_, &plot);
      if (::PtInRect(&plot, at)) return ::SendMessageW(plot_, message, wparam, lparam);
      break;
    }
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
