// The main window drawn with the Win32 API: a thin view of the form model
// (window/FormModel.h). Every control of the design table (window/FormDesign.h) is a native
// control at its designed rectangle, scaled with its monitor's dots per inch, in the window
// font or the data pane's font, with the design's captions and tab order. The window shows what
// the model tells it and hands the model what the user does; the model does the rest.
//
// The window class is "TIDMainFrm" and the caption the form's, so that other programs find the
// window; each control's identifier is its ControlId (win32/ControlIds.h).
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "win32/Win32ArchiveRange.h"
#include "win32/Win32ExchangeLog.h"
#include "win32/Win32FloatEdit.h"
#include "win32/Win32Monitor.h"
#include "window/FormDesign.h"
#include "window/FormModel.h"
#include "window/FormView.h"
#include "window/WindowOptions.h"

namespace oxa::win32 {

class TWin32Form : public IFormView {
 public:
  static constexpr const wchar_t* kClassName = L"TIDMainFrm";
  // The system menu's entries of the two languages (below 0xF000, the low four bits clear, as
  // the system wants its menu's commands).
  static constexpr UINT kMenuRussian = 0x0110;
  static constexpr UINT kMenuEnglish = 0x0120;
  // The data pane's context menu: copy and select all, then one entry for each of the form's
  // other windows (kPaneMenu), numbered from kMenuPane on.
  static constexpr UINT kMenuCopy = 0x0130;
  static constexpr UINT kMenuSelectAll = 0x0138;
  static constexpr UINT kMenuPane = 0x0140;

  // `settings_path` names the settings file; `options` what the command line asked for.
  TWin32Form(HINSTANCE instance, std::string settings_path, TWindowOptions options = {});
  ~TWin32Form() override;
  TWin32Form(const TWin32Form&) = delete;
  TWin32Form& operator=(const TWin32Form&) = delete;

  // Makes the window and its controls, hidden, and lets the model fill them. False when the
  // system refused.
  bool Create();
  // Centres the window on its monitor's work area and shows it.
  void Show(int show_command);
  // Runs the window's messages until it is closed; the program's exit status.
  int Run();

  // The control the design names `name`; null for another name.
  HWND Control(std::string_view name) const;

  // ---- IFormView ----------------------------------------------------------------------------
  std::string Caption() const override;
  void SetCaption(std::string_view caption) override;
  std::string DecimalSeparator() const override;
  void SetItems(TControl list, const std::vector<std::string>& items) override;
  void SetItemIndex(TControl list, int index) override;
  int ItemIndex(TControl list) const override;
  // A drop-down list of the system shows no hint per entry: the model's hint of the control
  // itself says what the chosen entry leads to.
  void SetItemHints(TControl, const std::vector<std::string>&) override {}
  void SetHint(TControl control, std::string_view hint) override;
  void SetNumberRange(TControl field, const TNumberRange& range) override;
  void SetNumber(TControl field, long double value) override;
  long double Number(TControl field) const override;
  void SetText(TControl control, std::string_view text) override;
  void SetLines(TControl pane, const std::vector<std::string>& lines) override;
  void SetDesignCaption(std::string_view name, std::string_view caption) override;
  void SetStatus(std::string_view text, TStatusColour colour) override;
  void SetEnabled(TControl control, bool enabled) override;
  std::optional<TControl> FocusedControl() const override;
  void SetFocus(TControl control) override;
  // Each message box runs on a thread of its own: it keeps the user from the window until it
  // is read, while the window's thread goes on, a test under way included.
  void ShowMessage(std::string_view text) override;
  void RunOnWorker(const std::function<void()>& work) override;
  void Close() override;
  void ShowExchangeLog() override;
  void ShowMonitor() override;
  void ShowArchiveRange() override;

  // The window's handle, for the form's other windows that it owns.
  HWND Handle() const { return window_; }
  TFormModel& Model() { return *model_; }

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  LRESULT OnMessage(UINT message, WPARAM wparam, LPARAM lparam);
  void OnCommand(int id, int code, HWND control);
  // One message through the window's keyboard handling: the model sees every key first (key
  // preview), then Tab, the arrow keys and Space move and press as in a dialog.
  void Dispatch(MSG& message);
  // The fonts at the present dots per inch, for the window and every control made.
  void MakeFonts();
  void CreateControls();
  // Every control placed and in its font again, at the window's new dots per inch.
  void Rescale(UINT dpi);
  int Scale(int pixels) const;
  // Where a control goes at the present dots per inch.
  RECT Placed(const TControlDesign& design) const;
  // The height of a drop-down list's open list.
  int OpenListHeight() const;
  HFONT FontOf(const TControlDesign& design) const;
  // Makes a closed drop-down list `height` pixels high.
  static void FitDropDownList(HWND list, int height);
  bool InWindow(HWND window) const;
  // True while one of the form's drop-down lists shows its entries.
  bool ListDroppedDown() const;
  // Selects the data pane's whole text, with the focus there, to copy it.
  void SelectAllOfPane();
  // The window of a control of the model; for a numeric field, its edit.
  HWND ControlOf(TControl control) const;
  // The system menu's mark at the model's language.
  void CheckLanguage();
  // The pointer as the window's state wants it: busy while a worker runs.
  void RefreshPointer();
  // Hands `work` to the window's worker thread (started at its first use) and returns the event
  // set when it has run; null when the worker is busy with other work or cannot be had.
  HANDLE PostToWorker(const std::function<void()>& work);
  void WorkerLoop();
  // Ends the worker thread, after the work it has in hand.
  void StopWorker();
  // Runs a handler of the model with SetEnabled's changes left for later, and applies them
  // when it returns.
  void DeferEnabled(const std::function<void()>& handler);
  // Enables and disables the controls whose state SetEnabled left for later.
  void ApplyEnabled();
  // Moves a side window just made to where the model says it opens, and has it tell the model
  // where the user leaves it.
  void PlaceSideWindow(TWin32ToolWindow& window, TSideWindow which);
  // The data pane's context menu at `at` (screen coordinates; -1, -1 from the keyboard).
  void PaneMenu(POINT at);

  HINSTANCE instance_;
  std::string settings_path_;
  TWindowOptions options_;
  HWND window_ = nullptr;
  HWND tooltips_ = nullptr;
  HWND focus_kept_ = nullptr;  // the control that had the focus when the window was left
  std::map<std::string_view, HWND> controls_;
  TWin32FloatEdit float_edit_;
  HFONT window_font_ = nullptr;
  HFONT pane_font_ = nullptr;
  UINT dpi_ = 96;
  COLORREF status_colour_ = RGB(0, 0, 0);
  int busy_ = 0;  // workers waited for, one inside the other
  // The enabled state of controls, as SetEnabled was last told during a click's handler, still
  // to be given to them. Nobody can click while the window's thread is in the handler, so the
  // buttons' going and coming back around quick work cancel out and the system (slow to switch
  // a control under Wine) is not asked at all; the state is given to the controls as soon as
  // the window turns to its messages or the handler returns.
  std::map<HWND, bool> enabled_later_;
  bool enabled_deferred_ = false;
  // One worker thread for the window's whole life: starting a thread per exchange costs more
  // than a register read at 57600 bit/s. The window's thread posts one piece of work at a time
  // (worker_work_, then worker_go_) and waits for worker_done_; both events reset themselves.
  std::thread worker_;
  HANDLE worker_go_ = nullptr;
  HANDLE worker_done_ = nullptr;
  std::atomic<const std::function<void()>*> worker_work_{nullptr};  // null when told to stop
  bool worker_busy_ = false;                                        // on the window's thread only
  std::unique_ptr<TFormModel> model_;
  // The form's other windows, made at their first showing.
  std::unique_ptr<TWin32ExchangeLog> log_window_;
  std::unique_ptr<TWin32Monitor> monitor_window_;
  std::unique_ptr<TWin32ArchiveRange> archive_window_;
};

// The settings file of the program: ful03test.ini beside it where its folder is writable or
// holds one, else in %APPDATA%\ful03test.
std::string DefaultSettingsPath();

}  // namespace oxa::win32
