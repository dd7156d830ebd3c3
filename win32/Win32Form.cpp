#include "win32/Win32Form.h"

#include <commctrl.h>
#include <windowsx.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <thread>
#include <utility>

#include "actions/SettingsPath.h"
#include "win32/ControlIds.h"
#include "win32/Win32Text.h"

namespace oxa::win32 {

namespace {

// How long the window's thread waits for work before it turns to its messages: well below what
// a user notices, above a port's opening and a register read at 57600 bit/s.
constexpr DWORD kQuickWorkMs = 10;

// Entries a drop-down list shows at once: the whole port list.
constexpr int kVisibleEntries = 16;

// The dots per inch of a window, where the system can tell them per monitor (Windows 10), else
// the screen's.
UINT DpiOf(HWND window) {
  using TGetDpiForWindow = UINT(WINAPI*)(HWND);
  static const auto get_dpi = reinterpret_cast<TGetDpiForWindow>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
  if (get_dpi != nullptr && window != nullptr) {
    if (const UINT dpi = get_dpi(window); dpi != 0) return dpi;
  }
  const HDC screen = ::GetDC(nullptr);
  const int dpi = ::GetDeviceCaps(screen, LOGPIXELSY);
  ::ReleaseDC(nullptr, screen);
  return dpi > 0 ? UINT(dpi) : 96;
}

// The window rectangle around a client area at `dpi`.
RECT FrameAround(RECT client, DWORD style, DWORD ex_style, UINT dpi) {
  using TAdjust = BOOL(WINAPI*)(RECT*, DWORD, BOOL, DWORD, UINT);
  static const auto adjust = reinterpret_cast<TAdjust>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleW(L"user32.dll"), "AdjustWindowRectExForDpi")));
  if (adjust == nullptr || !adjust(&client, style, FALSE, ex_style, dpi)) {
    ::AdjustWindowRectEx(&client, style, FALSE, ex_style);
  }
  return client;
}

// The data pane keeps Enter for its new lines, but the Tab key moves on to the next control, as
// everywhere else in the window.
// Its context menu is the form's: the parent is asked to show it.
LRESULT CALLBACK DataPaneProc(HWND pane, UINT message, WPARAM wparam, LPARAM lparam, UINT_PTR,
                              DWORD_PTR) {
  if (message == WM_NCDESTROY) ::RemoveWindowSubclass(pane, DataPaneProc, 1);
  if (message == WM_CONTEXTMENU) {
    return ::SendMessageW(::GetParent(pane), WM_CONTEXTMENU, wparam, lparam);
  }
  LRESULT code = ::DefSubclassProc(pane, message, wparam, lparam);
  if (message == WM_GETDLGCODE) {
    const auto* key = reinterpret_cast<const MSG*>(lparam);
    if (key == nullptr || key->message != WM_KEYDOWN || key->wParam != VK_RETURN) {
      code &= ~LRESULT(DLGC_WANTALLKEYS | DLGC_WANTTAB);
    }
  }
  return code;
}

// The numeric field whose edit the design names `edit`.
std::optional<TControl> FieldOfEdit(std::string_view edit) {
  for (const TControlDesign& arrows : FormControls()) {
    if (arrows.kind == TControlKind::kUpDown && arrows.buddy == edit) {
      return ControlNamed(arrows.name);
    }
  }
  return std::nullopt;
}

HFONT MakeFont(const TDesignFont& font, UINT dpi, BYTE charset, BYTE pitch) {
  const std::wstring face = Wide(font.face);
  return ::CreateFontW(-::MulDiv(-font.height, int(dpi), 96), 0, 0, 0, FW_NORMAL, FALSE, FALSE,
                       FALSE, charset, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                       pitch, face.c_str());
}

constexpr DWORD kWindowStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;

}  // namespace

std::string DefaultSettingsPath() {
  wchar_t path[MAX_PATH];
  const DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return UserSettingsPath();
  return SettingsPath(Utf8(std::filesystem::path(path).parent_path().wstring()));
}

TWin32Form::TWin32Form(HINSTANCE instance, std::string settings_path, TWindowOptions options)
    : instance_(instance), settings_path_(std::move(settings_path)), options_(std::move(options)) {}

TWin32Form::~TWin32Form() {
  // The model goes first: it may still ask its view to show something as it ends. The log's
  // window, which reads the model's log, before it.
  log_window_.reset();
  // Polling or a download under way ends, and gives the port back, while the model is still
  // there.
  monitor_window_.reset();
  archive_window_.reset();
  model_.reset();
  StopWorker();
  if (window_ != nullptr) ::DestroyWindow(window_);
  if (window_font_ != nullptr) ::DeleteObject(window_font_);
  if (pane_font_ != nullptr) ::DeleteObject(pane_font_);
}

bool TWin32Form::Create() {
  INITCOMMONCONTROLSEX classes{sizeof(classes), ICC_STANDARD_CLASSES | ICC_UPDOWN_CLASS};
  ::InitCommonControlsEx(&classes);

  WNDCLASSEXW window_class{};
  window_class.cbSize = sizeof(window_class);
  window_class.lpfnWndProc = WindowProc;
  window_class.hInstance = instance_;
  // The program's icon, where the build gave it one, at the sizes of the title bar and the
  // task switcher.
  window_class.hIcon = static_cast<HICON>(
      ::LoadImageW(instance_, MAKEINTRESOURCEW(1), IMAGE_ICON, ::GetSystemMetrics(SM_CXICON),
                   ::GetSystemMetrics(SM_CYICON), LR_DEFAULTCOLOR));
  window_class.hIconSm = static_cast<HICON>(
      ::LoadImageW(instance_, MAKEINTRESOURCEW(1), IMAGE_ICON, ::GetSystemMetrics(SM_CXSMICON),
                   ::GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
  window_class.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
  window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  window_class.lpszClassName = kClassName;
  if (::RegisterClassExW(&window_class) == 0 && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
    return false;
  }
  const std::wstring caption = Wide(kFormCaption);
  window_ =
      ::CreateWindowExW(0, kClassName, caption.c_str(), kWindowStyle, CW_USEDEFAULT, CW_USEDEFAULT,
                        kFormWidth, kFormHeight, nullptr, nullptr, instance_, this);
  if (window_ == nullptr) return false;
  dpi_ = DpiOf(window_);
  MakeFonts();
  CreateControls();
  model_ = std::make_unique<TFormModel>(*this, settings_path_, options_);
  // The system menu offers the two languages, each named in itself, below its own entries.
  const HMENU system_menu = ::GetSystemMenu(window_, FALSE);
  ::AppendMenuW(system_menu, MF_SEPARATOR, 0, nullptr);
  ::AppendMenuW(system_menu, MF_STRING, kMenuRussian,
                WideText(TText::kLanguageMenuRussian, TLanguage::kRussian).c_str());
  ::AppendMenuW(system_menu, MF_STRING, kMenuEnglish,
                WideText(TText::kLanguageMenuEnglish, TLanguage::kEnglish).c_str());
  model_->FormCreate();
  CheckLanguage();
  return true;
}

void TWin32Form::CheckLanguage() {
  const HMENU system_menu = ::GetSystemMenu(window_, FALSE);
  const bool russian = model_->Language() == TLanguage::kRussian;
  ::CheckMenuRadioItem(system_menu, kMenuRussian, kMenuEnglish,
                       russian ? kMenuRussian : kMenuEnglish, MF_BYCOMMAND);
}

void TWin32Form::CreateControls() {
  // The Tab key follows the order of the windows, from the top, and each new control goes in
  // below those made before: the design's tab order first, then the rest, and the group frames
  // last, so that they never paint over the controls they hold.
  std::vector<const TControlDesign*> order;
  for (std::string_view name : FormTabOrder()) order.push_back(FindFormControl(name));
  for (const bool frames : {false, true}) {
    for (const TControlDesign& design : FormControls()) {
      if ((design.kind == TControlKind::kGroupBox) == frames &&
          std::find(order.begin(), order.end(), &design) == order.end()) {
        order.push_back(&design);
      }
    }
  }
  for (const TControlDesign* design : order) {
    const wchar_t* window_class = WC_STATICW;
    DWORD style = WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS;
    DWORD ex_style = 0;
    switch (design->kind) {
      case TControlKind::kGroupBox:
        window_class = WC_BUTTONW;
        style |= BS_GROUPBOX;
        break;
      case TControlKind::kLabel:
        style |= SS_LEFT | SS_NOPREFIX;
        break;
      case TControlKind::kStatusLine:
        // One line, clipped at its fixed width; SS_NOTIFY reports the double-click.
        style |= SS_LEFTNOWORDWRAP | SS_NOPREFIX | SS_NOTIFY;
        break;
      case TControlKind::kDropDownList:
        window_class = WC_COMBOBOXW;
        style |= CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP;
        break;
      case TControlKind::kEdit:
        window_class = WC_EDITW;
        style |= ES_LEFT | ES_AUTOHSCROLL | ES_NUMBER | WS_TABSTOP;
        ex_style = WS_EX_CLIENTEDGE;
        break;
      case TControlKind::kUpDown:
        window_class = UPDOWN_CLASSW;
        style |= UDS_SETBUDDYINT | UDS_ARROWKEYS | UDS_NOTHOUSANDS | UDS_HOTTRACK;
        break;
      case TControlKind::kReadOnlyEdit:
        window_class = WC_EDITW;
        style |= ES_LEFT | ES_AUTOHSCROLL | ES_READONLY | WS_TABSTOP;
        ex_style = WS_EX_CLIENTEDGE;
        break;
      case TControlKind::kDataPane:
        window_class = WC_EDITW;
        style |= ES_LEFT | ES_MULTILINE | ES_AUTOVSCROLL | ES_WANTRETURN | WS_VSCROLL | WS_TABSTOP;
        ex_style = WS_EX_CLIENTEDGE;
        break;
      case TControlKind::kFloatSpinEdit:
        window_class = WC_EDITW;
        style |= ES_RIGHT | ES_AUTOHSCROLL | WS_TABSTOP | WS_CLIPCHILDREN;
        ex_style = WS_EX_CLIENTEDGE;
        break;
      case TControlKind::kButton:
        window_class = WC_BUTTONW;
        style |= BS_PUSHBUTTON | WS_TABSTOP;
        break;
    }
    const RECT at = Placed(*design);
    // A drop-down list is given the height of its open list.
    const int open_list = design->kind == TControlKind::kDropDownList ? OpenListHeight() : 0;
    const std::wstring caption = Wide(oxa::Caption(*design));
    const HWND control = ::CreateWindowExW(
        ex_style, window_class, caption.c_str(), style, at.left, at.top, at.right - at.left,
        at.bottom - at.top + open_list, window_,
        reinterpret_cast<HMENU>(INT_PTR(ControlId(design->name))), instance_, nullptr);
    controls_[design->name] = control;
    ::SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(FontOf(*design)), FALSE);
    if (design->kind == TControlKind::kDropDownList) {
      ::SendMessageW(control, CB_SETMINVISIBLE, kVisibleEntries, 0);
      FitDropDownList(control, at.bottom - at.top);
    }
  }
  // Each pair of arrows is bound to its edit, beside which the design puts it.
  for (const TControlDesign& design : FormControls()) {
    if (design.kind != TControlKind::kUpDown) continue;
    const HWND arrows = Control(design.name);
    ::SendMessageW(arrows, UDM_SETBUDDY, reinterpret_cast<WPARAM>(Control(design.buddy)), 0);
    ::SendMessageW(arrows, UDM_SETPOS32, 0, 0);
    // Binding may give the arrows a width of the system's own.
    const RECT at = Placed(design);
    ::SetWindowPos(arrows, nullptr, at.left, at.top, at.right - at.left, at.bottom - at.top,
                   SWP_NOZORDER | SWP_NOACTIVATE);
  }
  float_edit_.Attach(Control("FEDoza"));
  float_edit_.PlaceArrows(dpi_);
  ::SetWindowSubclass(Control("MDebug"), DataPaneProc, 1, 0);
}

int TWin32Form::Scale(int pixels) const {
  return ::MulDiv(pixels, int(dpi_), 96);
}

RECT TWin32Form::Placed(const TControlDesign& design) const {
  const TDesignRect rect = FormRect(design);
  return RECT{Scale(rect.x), Scale(rect.y), Scale(rect.x + rect.width),
              Scale(rect.y + rect.height)};
}

int TWin32Form::OpenListHeight() const {
  return Scale(kVisibleEntries * 16);
}

HFONT TWin32Form::FontOf(const TControlDesign& design) const {
  return design.kind == TControlKind::kDataPane ? pane_font_ : window_font_;
}

void TWin32Form::FitDropDownList(HWND list, int height) {
  // A closed list is as high as its selection field makes it, and the field is set so that the
  // list keeps the designed height. The frame around the field is measured, not assumed: set
  // the field as it reports itself and see how high the list is then.
  const auto closed_height = [list] {
    RECT closed{};
    ::GetWindowRect(list, &closed);
    return int(closed.bottom - closed.top);
  };
  const auto field = int(::SendMessageW(list, CB_GETITEMHEIGHT, WPARAM(-1), 0));
  ::SendMessageW(list, CB_SETITEMHEIGHT, WPARAM(-1), field);
  const int frame = closed_height() - field;
  ::SendMessageW(list, CB_SETITEMHEIGHT, WPARAM(-1), std::max(1, height - frame));
}

void TWin32Form::MakeFonts() {
  const HFONT old_window_font = window_font_;
  const HFONT old_pane_font = pane_font_;
  window_font_ = MakeFont(kWindowFont, dpi_, DEFAULT_CHARSET, DEFAULT_PITCH | FF_SWISS);
  pane_font_ = MakeFont(kDataPaneFont, dpi_, RUSSIAN_CHARSET, FIXED_PITCH | FF_MODERN);
  ::SendMessageW(window_, WM_SETFONT, reinterpret_cast<WPARAM>(window_font_), FALSE);
  // The controls drop the old fonts as they take the new ones.
  for (const TControlDesign& design : FormControls()) {
    if (const HWND control = Control(design.name)) {
      ::SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(FontOf(design)), FALSE);
    }
  }
  if (old_window_font != nullptr) ::DeleteObject(old_window_font);
  if (old_pane_font != nullptr) ::DeleteObject(old_pane_font);
}

void TWin32Form::Rescale(UINT dpi) {
  dpi_ = dpi;
  MakeFonts();
  for (const TControlDesign& design : FormControls()) {
    const HWND control = Control(design.name);
    const RECT at = Placed(design);
    const bool list = design.kind == TControlKind::kDropDownList;
    ::SetWindowPos(control, nullptr, at.left, at.top, at.right - at.left,
                   at.bottom - at.top + (list ? OpenListHeight() : 0),
                   SWP_NOZORDER | SWP_NOACTIVATE);
    if (list) FitDropDownList(control, at.bottom - at.top);
  }
  float_edit_.PlaceArrows(dpi_);
  ::InvalidateRect(window_, nullptr, TRUE);
}

void TWin32Form::Show(int show_command) {
  // The client area at the window's dots per inch, the frame around it centred on the work
  // area of the window's monitor.
  const RECT frame =
      FrameAround(RECT{0, 0, Scale(kFormWidth), Scale(kFormHeight)}, kWindowStyle, 0, dpi_);
  MONITORINFO monitor{};
  monitor.cbSize = sizeof(monitor);
  ::GetMonitorInfoW(::MonitorFromWindow(window_, MONITOR_DEFAULTTOPRIMARY), &monitor);
  const RECT& work = monitor.rcWork;
  const int width = frame.right - frame.left;
  const int height = frame.bottom - frame.top;
  ::SetWindowPos(window_, nullptr, work.left + (work.right - work.left - width) / 2,
                 work.top + (work.bottom - work.top - height) / 2, width, height,
                 SWP_NOZORDER | SWP_NOACTIVATE);
  ::ShowWindow(window_, show_command);
  ::UpdateWindow(window_);
  model_->FormShow();
}

bool TWin32Form::InWindow(HWND window) const {
  return window != nullptr && (window == window_ || ::IsChild(window_, window));
}

bool TWin32Form::ListDroppedDown() const {
  for (const TControlDesign& design : FormControls()) {
    if (design.kind == TControlKind::kDropDownList &&
        ::SendMessageW(Control(design.name), CB_GETDROPPEDSTATE, 0, 0) != FALSE) {
      return true;
    }
  }
  return false;
}

void TWin32Form::Dispatch(MSG& message) {
  // Escape with a list dropped down closes the list, as in every Windows program: the list
  // has the key, neither the form nor the dialog manager (which would make it IDCANCEL).
  if (message.message == WM_KEYDOWN && message.wParam == VK_ESCAPE && ListDroppedDown()) {
    ::TranslateMessage(&message);
    ::DispatchMessageW(&message);
    return;
  }
  if (message.message == WM_KEYDOWN && InWindow(message.hwnd) && model_ != nullptr &&
      model_->FormKeyDown(uint16_t(message.wParam), ::GetKeyState(VK_CONTROL) < 0)) {
    return;
  }
  // The form and each of its other windows move the focus with Tab as dialogs do.
  const HWND root = message.hwnd != nullptr ? ::GetAncestor(message.hwnd, GA_ROOT) : nullptr;
  if (root != nullptr && ::IsDialogMessageW(root, &message)) return;
  ::TranslateMessage(&message);
  ::DispatchMessageW(&message);
}

int TWin32Form::Run() {
  MSG message{};
  while (::GetMessageW(&message, nullptr, 0, 0) > 0) Dispatch(message);
  return int(message.wParam);
}

HANDLE TWin32Form::PostToWorker(const std::function<void()>& work) {
  if (worker_busy_) return nullptr;
  if (!worker_.joinable()) {
    worker_go_ = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    worker_done_ = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (worker_go_ == nullptr || worker_done_ == nullptr) {
      StopWorker();
      return nullptr;
    }
    worker_ = std::thread([this] { WorkerLoop(); });
  }
  worker_busy_ = true;
  worker_work_ = &work;
  ::SetEvent(worker_go_);
  return worker_done_;
}

void TWin32Form::WorkerLoop() {
  while (::WaitForSingleObject(worker_go_, INFINITE) == WAIT_OBJECT_0) {
    const std::function<void()>* work = worker_work_;
    if (work == nullptr) return;
    (*work)();
    ::SetEvent(worker_done_);
  }
}

void TWin32Form::StopWorker() {
  if (worker_.joinable()) {
    worker_work_ = nullptr;
    ::SetEvent(worker_go_);
    worker_.join();
  }
  for (HANDLE* event : {&worker_go_, &worker_done_}) {
    if (*event != nullptr) ::CloseHandle(*event);
    *event = nullptr;
  }
}

void TWin32Form::RunOnWorker(const std::function<void()>& work) {
  // Work asked for while the worker is busy (from a message handled during a wait) runs on a
  // thread of its own.
  std::thread own;
  HANDLE owned_event = nullptr;
  HANDLE finished = PostToWorker(work);
  if (finished == nullptr) {
    owned_event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (owned_event == nullptr) {
      // Nothing to wait on: the work runs here, the window waiting for it.
      work();
      return;
    }
    finished = owned_event;
    own = std::thread([&] {
      work();
      ::SetEvent(owned_event);
    });
  }
  // Work that ends within a few milliseconds (a port opening, a short exchange at a high speed)
  // is waited for here: a round through the messages would paint the window first and take the
  // result only after that. Longer work is waited for while the window goes on with its
  // messages, without polling. A request to quit that comes meanwhile is kept for the
  // program's own loop.
  bool quit = false;
  WPARAM quit_code = 0;
  if (::WaitForSingleObject(finished, kQuickWorkMs) != WAIT_OBJECT_0) {
    ++busy_;
    RefreshPointer();
    // The controls take the state they were given, and what changed is painted, before the
    // window turns to its messages.
    const bool deferred = std::exchange(enabled_deferred_, false);
    ApplyEnabled();
    ::RedrawWindow(window_, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
    while (::MsgWaitForMultipleObjectsEx(1, &finished, INFINITE, QS_ALLINPUT,
                                         MWMO_INPUTAVAILABLE) == WAIT_OBJECT_0 + 1) {
      MSG message{};
      while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
          quit = true;
          quit_code = message.wParam;
        } else {
          Dispatch(message);
        }
      }
    }
    enabled_deferred_ = deferred;
    --busy_;
    RefreshPointer();
  }
  if (own.joinable()) {
    own.join();
    ::CloseHandle(owned_event);
  } else {
    worker_busy_ = false;
  }
  if (quit) ::PostQuitMessage(int(quit_code));
}

void TWin32Form::RefreshPointer() {
  POINT at{};
  ::GetCursorPos(&at);
  const HWND under = ::WindowFromPoint(at);
  if (InWindow(under)) {
    ::SendMessageW(
        under, WM_SETCURSOR, reinterpret_cast<WPARAM>(under),
        MAKELPARAM(::SendMessageW(under, WM_NCHITTEST, 0, MAKELPARAM(at.x, at.y)), WM_MOUSEMOVE));
  }
}

void TWin32Form::Close() {
  ::PostMessageW(window_, WM_CLOSE, 0, 0);
}

// ---- What the model asks of its view --------------------------------------------------------

HWND TWin32Form::Control(std::string_view name) const {
  const auto it = controls_.find(name);
  return it != controls_.end() ? it->second : nullptr;
}

HWND TWin32Form::ControlOf(TControl control) const {
  const TControlDesign* design = FindFormControl(ControlName(control));
  if (design == nullptr) return nullptr;
  // A numeric field takes the focus, its text and its limit of characters in its edit.
  return Control(design->kind == TControlKind::kUpDown ? design->buddy : design->name);
}

std::string TWin32Form::Caption() const {
  return Utf8(WindowText(window_));
}

void TWin32Form::SetCaption(std::string_view caption) {
  ::SetWindowTextW(window_, Wide(caption).c_str());
}

std::string TWin32Form::DecimalSeparator() const {
  const wchar_t separator[2] = {wchar_t(float_edit_.Rules().Separator()), L'\0'};
  return Utf8(separator);
}

void TWin32Form::SetItems(TControl list, const std::vector<std::string>& items) {
  const HWND box = ControlOf(list);
  ::SendMessageW(box, CB_RESETCONTENT, 0, 0);
  for (const std::string& item : items) {
    ::SendMessageW(box, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(item).c_str()));
  }
}

void TWin32Form::SetItemIndex(TControl list, int index) {
  // An index outside the entries leaves none selected, as -1 does.
  const HWND box = ControlOf(list);
  const auto count = int(::SendMessageW(box, CB_GETCOUNT, 0, 0));
  ::SendMessageW(box, CB_SETCURSEL, WPARAM(index >= 0 && index < count ? index : -1), 0);
}

int TWin32Form::ItemIndex(TControl list) const {
  return int(::SendMessageW(ControlOf(list), CB_GETCURSEL, 0, 0));
}

void TWin32Form::SetHint(TControl control, std::string_view hint) {
  const HWND target = ControlOf(control);
  if (target == nullptr) return;
  if (tooltips_ == nullptr) {
    tooltips_ =
        ::CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                          WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT, CW_USEDEFAULT,
                          CW_USEDEFAULT, CW_USEDEFAULT, window_, nullptr, instance_, nullptr);
    // Long hints break into lines rather than run across the screen.
    ::SendMessageW(tooltips_, TTM_SETMAXTIPWIDTH, 0, Scale(480));
  }
  std::wstring text = Wide(hint);
  TOOLINFOW tool{};
  tool.cbSize = sizeof(tool);
  tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
  tool.hwnd = window_;
  tool.uId = reinterpret_cast<UINT_PTR>(target);
  tool.lpszText = text.data();
  ::SendMessageW(tooltips_, TTM_DELTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
  if (!text.empty()) ::SendMessageW(tooltips_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
}

void TWin32Form::SetNumberRange(TControl field, const TNumberRange& range) {
  if (field == TControl::kFEDoza) {
    float_edit_.SetMinValue(range.min);
    float_edit_.SetMaxValue(range.max);
    float_edit_.SetDecimals(range.decimals);
    float_edit_.SetIncrement(range.step);
    SetNumber(field, Number(field));
    return;
  }
  const HWND arrows = Control(ControlName(field));
  ::SendMessageW(arrows, UDM_SETRANGE32, WPARAM(std::lround(range.min)),
                 LPARAM(std::lround(range.max)));
  ::SendMessageW(ControlOf(field), EM_LIMITTEXT, range.max_chars, 0);
  SetNumber(field, Number(field));
}

void TWin32Form::SetNumber(TControl field, long double value) {
  if (field == TControl::kFEDoza) {
    float_edit_.SetValue(value);
    return;
  }
  const HWND arrows = Control(ControlName(field));
  int min = 0;
  int max = 0;
  ::SendMessageW(arrows, UDM_GETRANGE32, reinterpret_cast<WPARAM>(&min),
                 reinterpret_cast<LPARAM>(&max));
  const long double held = std::isnan(value) ? min : std::clamp<long double>(value, min, max);
  // The arrows write the number into their edit.
  ::SendMessageW(arrows, UDM_SETPOS32, 0, LPARAM(std::lround(held)));
}

long double TWin32Form::Number(TControl field) const {
  if (field == TControl::kFEDoza) return float_edit_.Value();
  const HWND arrows = Control(ControlName(field));
  int min = 0;
  int max = 0;
  ::SendMessageW(arrows, UDM_GETRANGE32, reinterpret_cast<WPARAM>(&min),
                 reinterpret_cast<LPARAM>(&max));
  // The edit takes digits only, but a pasted text may hold anything: what is no whole number
  // counts as the range's low end, and a number beyond the range as its nearest end.
  const std::wstring text = WindowText(ControlOf(field));
  if (text.empty()) return min;
  long long value = 0;
  for (const wchar_t c : text) {
    if (c < L'0' || c > L'9') return min;
    value = std::min<long long>(value * 10 + (c - L'0'), 1LL << 40);
  }
  return std::clamp<long long>(value, min, max);
}

void TWin32Form::SetText(TControl control, std::string_view text) {
  ::SetWindowTextW(ControlOf(control), Wide(text).c_str());
}

void TWin32Form::SetLines(TControl pane, const std::vector<std::string>& lines) {
  std::string text;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) text += "\r\n";
    text += lines[i];
  }
  ::SetWindowTextW(ControlOf(pane), Wide(text).c_str());
}

void TWin32Form::SetDesignCaption(std::string_view name, std::string_view caption) {
  if (const HWND control = Control(name)) ::SetWindowTextW(control, Wide(caption).c_str());
}

void TWin32Form::SetStatus(std::string_view text, TStatusColour colour) {
  const HWND status = Control("LStatus");
  const TRgb rgb = StatusRgb(colour);
  status_colour_ = RGB(rgb.red, rgb.green, rgb.blue);
  ::SetWindowTextW(status, Wide(text).c_str());
  // Painted with the window's other changes: when the window turns to its messages, or at once
  // when it starts to wait for long work.
  ::InvalidateRect(status, nullptr, TRUE);
}

void TWin32Form::SetEnabled(TControl control, bool enabled) {
  // A numeric field is its edit and its arrows.
  for (const HWND target : {ControlOf(control), Control(ControlName(control))}) {
    if (target == nullptr) continue;
    if (!enabled_deferred_) {
      enabled_later_.erase(target);
      ::EnableWindow(target, enabled);
    } else if ((::IsWindowEnabled(target) != FALSE) == enabled) {
      enabled_later_.erase(target);
    } else {
      enabled_later_[target] = enabled;
    }
  }
}

void TWin32Form::DeferEnabled(const std::function<void()>& handler) {
  // A control that is disabled loses the focus. When that happened on the way (the handler
  // waited for long work), the focus comes back to where it was, as the model would have put
  // it back, unless the user has put it elsewhere meanwhile.
  const HWND focus = ::GetFocus();
  enabled_deferred_ = true;
  handler();
  enabled_deferred_ = false;
  ApplyEnabled();
  if (::GetFocus() == nullptr && focus != nullptr && ::IsWindow(focus) &&
      ::IsWindowEnabled(focus) && ::IsWindowVisible(focus)) {
    ::SetFocus(focus);
  }
}

void TWin32Form::ApplyEnabled() {
  for (const auto& [target, enabled] : enabled_later_) ::EnableWindow(target, enabled);
  enabled_later_.clear();
}

std::optional<TControl> TWin32Form::FocusedControl() const {
  const HWND focus = ::GetFocus();
  if (focus == nullptr) return std::nullopt;
  for (const auto& [name, control] : controls_) {
    if (control != focus) continue;
    if (const std::optional<TControl> field = FieldOfEdit(name)) return field;
    return ControlNamed(name);
  }
  return std::nullopt;
}

void TWin32Form::SetFocus(TControl control) {
  // The focus goes to a control in the state the model has given it.
  ApplyEnabled();
  if (const HWND target = ControlOf(control)) ::SetFocus(target);
}

void TWin32Form::ShowMessage(std::string_view text) {
  std::thread([owner = window_, text = Wide(text), caption = WindowText(window_)] {
    ::MessageBoxW(owner, text.c_str(), caption.c_str(), MB_OK | MB_ICONERROR);
  }).detach();
}

// ---- Messages -------------------------------------------------------------------------------

LRESULT CALLBACK TWin32Form::WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NCCREATE) {
    auto* self = static_cast<TWin32Form*>(reinterpret_cast<CREATESTRUCTW*>(lparam)->lpCreateParams);
    self->window_ = window;
    ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  }
  auto* self = reinterpret_cast<TWin32Form*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
  if (self == nullptr) return ::DefWindowProcW(window, message, wparam, lparam);
  return self->OnMessage(message, wparam, lparam);
}

LRESULT TWin32Form::OnMessage(UINT message, WPARAM wparam, LPARAM lparam) {
  const HWND window = window_;
  switch (message) {
    case WM_COMMAND:
      OnCommand(LOWORD(wparam), HIWORD(wparam), reinterpret_cast<HWND>(lparam));
      return 0;
    case WM_CONTEXTMENU:
      if (reinterpret_cast<HWND>(wparam) == Control("MDebug")) {
        PaneMenu({GET_X_LPARAM(lparam), GET_Y_LPARAM(lparam)});
        return 0;
      }
      break;
    case WM_SYSCOMMAND:
      // The system keeps the low four bits of the command for itself.
      if (model_ != nullptr &&
          ((wparam & 0xFFF0) == kMenuRussian || (wparam & 0xFFF0) == kMenuEnglish)) {
        model_->SetLanguage((wparam & 0xFFF0) == kMenuRussian ? TLanguage::kRussian
                                                              : TLanguage::kEnglish);
        CheckLanguage();
        return 0;
      }
      break;
    case WM_CTLCOLORSTATIC: {
      // Labels, frames and the request line on the button face; the status line in its
      // message's colour.
      const HDC dc = reinterpret_cast<HDC>(wparam);
      ::SetBkColor(dc, ::GetSysColor(COLOR_BTNFACE));
      if (reinterpret_cast<HWND>(lparam) == Control("LStatus")) {
        ::SetTextColor(dc, status_colour_);
      }
      return reinterpret_cast<LRESULT>(::GetSysColorBrush(COLOR_BTNFACE));
    }
    case WM_CTLCOLOREDIT:
      if (reinterpret_cast<HWND>(lparam) == Control("MDebug")) {
        const HDC dc = reinterpret_cast<HDC>(wparam);
        ::SetBkColor(dc, ::GetSysColor(COLOR_BTNFACE));
        ::SetTextColor(dc, RGB(0, 0, 0));
        return reinterpret_cast<LRESULT>(::GetSysColorBrush(COLOR_BTNFACE));
      }
      break;
    case WM_ACTIVATE:
      // As a dialog does: the focus leaves with the window and comes back where it was, at
      // first on the first control of the tab order.
      if (LOWORD(wparam) == WA_INACTIVE) {
        if (const HWND focus = ::GetFocus(); InWindow(focus) && focus != window_) {
          focus_kept_ = focus;
        }
      } else {
        const bool kept =
            focus_kept_ != nullptr && ::IsWindow(focus_kept_) && ::IsWindowEnabled(focus_kept_);
        ::SetFocus(kept ? focus_kept_ : ::GetNextDlgTabItem(window_, nullptr, FALSE));
      }
      return 0;
    case WM_SETCURSOR:
      if (busy_ > 0 && LOWORD(lparam) == HTCLIENT) {
        ::SetCursor(::LoadCursorW(nullptr, IDC_WAIT));
        return TRUE;
      }
      break;
    case WM_DPICHANGED: {
      Rescale(HIWORD(wparam));
      const RECT* suggested = reinterpret_cast<const RECT*>(lparam);
      ::SetWindowPos(window_, nullptr, suggested->left, suggested->top,
                     suggested->right - suggested->left, suggested->bottom - suggested->top,
                     SWP_NOZORDER | SWP_NOACTIVATE);
      return 0;
    }
    case WM_CLOSE:
      // Not while a test runs: the model closes the window once it has ended.
      if (model_ != nullptr && !model_->FormCloseQuery()) return 0;
      if (model_ != nullptr) model_->FormClose();
      ::DestroyWindow(window_);
      return 0;
    case WM_DESTROY:
      ::PostQuitMessage(0);
      return 0;
    case WM_NCDESTROY:
      window_ = nullptr;
      controls_.clear();
      break;
    default:
      break;
  }
  return ::DefWindowProcW(window, message, wparam, lparam);
}

void TWin32Form::ShowExchangeLog() {
  // The log's window speaks the language of the form when it was opened; after a change it is
  // made afresh, and shows again every row the log holds.
  if (log_window_ && log_window_->Language() != model_->Language()) log_window_.reset();
  if (!log_window_) {
    log_window_ = std::make_unique<TWin32ExchangeLog>(instance_, window_, model_->ExchangeLog(),
                                                      model_->Language(), window_font_);
    if (!log_window_->Create()) {
      log_window_.reset();
      return;
    }
    PlaceSideWindow(*log_window_, TSideWindow::kExchangeLog);
  }
  log_window_->Show();
}

void TWin32Form::ShowMonitor() {
  // Made afresh in the form's language after a change, unless it is polling.
  if (monitor_window_ && monitor_window_->Language() != model_->Language() &&
      !monitor_window_->Monitor().Running()) {
    monitor_window_.reset();
  }
  if (!monitor_window_) {
    monitor_window_ = std::make_unique<TWin32Monitor>(instance_, window_, model_->LeasePort(),
                                                      model_->Language(), window_font_);
    if (!monitor_window_->Create()) {
      monitor_window_.reset();
      return;
    }
    PlaceSideWindow(*monitor_window_, TSideWindow::kMonitor);
  }
  monitor_window_->Show();
}

void TWin32Form::ShowArchiveRange() {
  // Made afresh in the form's language after a change, unless a download is under way.
  if (archive_window_ && archive_window_->Language() != model_->Language() &&
      !archive_window_->Running()) {
    archive_window_.reset();
  }
  if (!archive_window_) {
    archive_window_ =
        std::make_unique<TWin32ArchiveRange>(instance_, window_, *model_, window_font_);
    if (!archive_window_->Create()) {
      archive_window_.reset();
      return;
    }
    PlaceSideWindow(*archive_window_, TSideWindow::kArchiveRange);
  }
  archive_window_->Show();
}

void TWin32Form::PlaceSideWindow(TWin32ToolWindow& window, TSideWindow which) {
  TFormModel* model = model_.get();
  window.OnMoved = [model, which](TScreenPoint at) { model->SideWindowMoved(which, at); };
  RECT form{}, side{};
  MONITORINFO monitor{};
  monitor.cbSize = sizeof(monitor);
  if (!::GetWindowRect(window_, &form) || !::GetWindowRect(window.Handle(), &side) ||
      !::GetMonitorInfoW(::MonitorFromWindow(window_, MONITOR_DEFAULTTONEAREST), &monitor)) {
    return;
  }
  const RECT& work = monitor.rcWork;
  const TScreenPoint at = model_->SideWindowPlace(
      which, {form.left, form.top, form.right, form.bottom}, side.right - side.left,
      side.bottom - side.top, {work.left, work.top, work.right, work.bottom});
  ::SetWindowPos(window.Handle(), nullptr, at.x, at.y, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void TWin32Form::PaneMenu(POINT at) {
  const HWND pane = Control("MDebug");
  if (at.x == -1 && at.y == -1) {
    // From the keyboard: at the pane's top left corner.
    at = {0, 0};
    ::ClientToScreen(pane, &at);
  }
  const HMENU menu = ::CreatePopupMenu();
  if (menu == nullptr) return;
  const TLanguage language = model_->Language();
  DWORD from = 0, to = 0;
  ::SendMessageW(pane, EM_GETSEL, reinterpret_cast<WPARAM>(&from), reinterpret_cast<LPARAM>(&to));
  ::AppendMenuW(menu, MF_STRING | (from != to ? 0 : MF_GRAYED), kMenuCopy,
                WideText(TText::kLogCopy, language).c_str());
  ::AppendMenuW(menu, MF_STRING | (::GetWindowTextLengthW(pane) > 0 ? 0 : MF_GRAYED),
                kMenuSelectAll, WideText(TText::kSelectAll, language).c_str());
  ::AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
  for (size_t i = 0; i < kPaneMenu.size(); ++i) {
    std::string entry(Text(kPaneMenu[i].text, language));
    if (*kPaneMenu[i].shortcut != '\0') entry += std::string("\t") + kPaneMenu[i].shortcut;
    ::AppendMenuW(menu, MF_STRING, kMenuPane + i, Wide(entry).c_str());
  }
  const UINT chosen = UINT(::TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON | TPM_NONOTIFY,
                                            at.x, at.y, 0, window_, nullptr));
  ::DestroyMenu(menu);
  if (chosen == kMenuCopy) {
    ::SendMessageW(pane, WM_COPY, 0, 0);
  } else if (chosen == kMenuSelectAll) {
    SelectAllOfPane();
  } else if (chosen >= kMenuPane && chosen < kMenuPane + kPaneMenu.size()) {
    model_->PaneCommand(kPaneMenu[chosen - kMenuPane].command);
  }
}

void TWin32Form::SelectAllOfPane() {
  const HWND pane = Control("MDebug");
  ::SetFocus(pane);
  ::SendMessageW(pane, EM_SETSEL, 0, -1);
}

void TWin32Form::OnCommand(int id, int code, HWND control) {
  if (model_ == nullptr) return;
  // Escape, as the dialog manager passes it from a control that keeps no keys of its own.
  if (id == IDCANCEL && control == nullptr) {
    model_->FormKeyDown(kKeyEscape);
    return;
  }
  // An entry of the data pane's menu, also as another program sends it.
  if (control == nullptr && id == int(kMenuSelectAll)) {
    SelectAllOfPane();
    return;
  }
  if (control == nullptr && id >= int(kMenuPane) && id < int(kMenuPane + kPaneMenu.size())) {
    model_->PaneCommand(kPaneMenu[size_t(id) - kMenuPane].command);
    return;
  }
  const TControlDesign* design = ControlById(id);
  if (design == nullptr) return;
  if (design->kind == TControlKind::kButton && code == BN_CLICKED) {
    if (const std::optional<TControl> button = ControlNamed(design->name)) {
      DeferEnabled([&] { model_->Click(*button); });
    }
  } else if (design->name == "CBPort" && code == CBN_SELCHANGE) {
    model_->CBPortChange();
  } else if (design->name == "CBPort" && code == CBN_DROPDOWN) {
    model_->CBPortDropDown();
  } else if (design->kind == TControlKind::kStatusLine && code == STN_DBLCLK) {
    DeferEnabled([&] { model_->LStatusDblClick(); });
  } else if (design->kind == TControlKind::kEdit && code == EN_KILLFOCUS) {
    // A numeric edit that is left shows the number it stands for.
    if (const std::optional<TControl> field = FieldOfEdit(design->name)) {
      SetNumber(*field, Number(*field));
    }
  }
}

}  // namespace oxa::win32
