// The main form without its drawing: what each control holds, the settings file, the status
// line, the test and doser buttons, the stamp on the status line, the keys, and the virtual
// device of --virtual-device. It talks to the window through IFormView (window/FormView.h), so
// the Qt window and the Win32 window are two thin views of this one model: each builds its
// controls, forwards their events to the handlers below, and does what the model asks.
//
// Every test and doser button follows one pattern: the eleven buttons are disabled, the chosen
// port is opened (off the window's thread: a serial device server may take seconds to answer)
// and the status line says so, the button's action runs off the window's thread, the data pane
// shows its lines and the request line its request, the port is closed and the buttons come
// back, with the keyboard focus where it was.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "actions/IniFile.h"
#include "actions/OxaActions.h"
#include "devices/oxaFul0508.h"
#include "devices/oxaZeb106.h"
#include "serial/OxaComPort.h"
#include "sim/MemoryDevice.h"
#include "window/ExchangeLog.h"
#include "window/FormView.h"
#include "window/PortLease.h"
#include "window/SideWindows.h"
#include "window/WindowOptions.h"

namespace oxa {

// --- What the controls hold -----------------------------------------------------------------

// The section of the settings file the form reads and writes.
inline constexpr const char* kSettingsSection = "Signature";
// The section and key of the window's language ("ru" or "en").
inline constexpr const char* kWindowSection = "Window";
inline constexpr const char* kLanguageKey = "Language";

// The eleven test and doser buttons, in the order they are switched.
inline constexpr std::array<TControl, 11> kTestButtons = {
    TControl::kButton2,  TControl::kButton3,  TControl::kButton4, TControl::kButton5,
    TControl::kButton6,  TControl::kButton7,  TControl::kButton8, TControl::kButton9,
    TControl::kButton10, TControl::kButton11, TControl::kButton12};

// The entries of a list: "COM1".."COM16", the three speeds, the 32 integrators (named in
// `language`); none for a control that is no list.
const std::vector<std::string>& ListItems(TControl list, TLanguage language = TLanguage::kRussian);
// The speed of entry `index` of the speed list; no selection, or any other index, runs at
// the fastest, 57600.
uint32_t BaudOfIndex(int index);

// A numeric field: its range and the value it starts with.
struct TNumberField {
  TControl control;
  TNumberRange range;
  long double initial;
};
// The network address (0..127, at most 4 characters in its edit), the first register
// (0..10000), the register count (0..127), the archive block (0..8191), and the dose (0 to
// 6553.5 litres, one decimal, arrows step a litre).
extern const std::array<TNumberField, 5> kNumberFields;

// The command each doser command button sends (its Tag): Button8 start, Button9 pause,
// Button10 stop; nothing for any other control.
std::optional<TDoserCommand> DoserCommandOf(TControl button);

// The entries of the data pane's context menu, in their order: each opens one of the form's
// other windows, under that window's title, with its key where it has one.
enum class TPaneCommand { kExchangeLog, kMonitor, kArchiveRange };
struct TPaneMenuEntry {
  TPaneCommand command;
  TText text;
  const char* shortcut;  // "Ctrl+L"; empty for none
};
extern const std::array<TPaneMenuEntry, 3> kPaneMenu;

// What the tooltip of a port says when it leads to the form's own virtual device.
std::string VirtualDevicePortHint(std::string_view address,
                                  TLanguage language = TLanguage::kRussian);

class TFormModel {
 public:
  // `settings_path` names the settings file, `options` what the command line asked for. The
  // model owns the port and both masters; FormCreate sets the form up.
  TFormModel(IFormView& view, std::string settings_path, TWindowOptions options = {});
  ~TFormModel();
  TFormModel(const TFormModel&) = delete;
  TFormModel& operator=(const TFormModel&) = delete;

  // --- Events of the form, as the view forwards them ----------------------------------------
  // Fills the controls, reads the settings file and the [Ports] map, starts the virtual device
  // when asked to, and shows the ready message. The view calls it once its controls exist.
  void FormCreate();
  // The window is on screen for the first time: says what the start-up has to say (a settings
  // file left alone), once.
  void FormShow();
  // May the window close now? Not while a test runs: it then closes once the test has ended.
  bool FormCloseQuery();
  // The window closes: the settings file is let go.
  void FormClose();
  // A key pressed anywhere in the window (key preview), with the system's virtual key code and
  // whether Ctrl was held. Escape clicks Button1, whatever the shift state; Ctrl+L shows the
  // exchange log and Ctrl+M the monitor. True when the key was used.
  bool FormKeyDown(uint16_t key, bool control = false);
  // The user picked a port: it is stored in the settings file at once.
  void CBPortChange();
  // The port list opens: each entry describes what it leads to now (adapters come and go).
  void CBPortDropDown();
  // A click on a button, sent to its handler below; a click on anything else does nothing.
  void Click(TControl button);
  void Button1Click();
  void Button2Click();
  void Button3Click();
  void Button4Click();
  void Button5Click();
  void Button6Click();
  void Button7Click();
  // Button8, Button9 and Button10: the sender's command.
  void Button8Click(TControl sender);
  void Button11Click();
  void Button12Click();
  // Reads the device's stamp and shows it on the status line, silent on every failure.
  void LStatusDblClick();
  // The user chose an entry of the data pane's context menu.
  void PaneCommand(TPaneCommand command);
  // The user chose a language (the status line's context menu, the system menu). It takes
  // effect at once: the captions, the integrator list and, outside a test, the ready message
  // change; the data pane keeps what it shows until the next test. The choice is kept in the
  // settings file for the next start.
  void SetLanguage(TLanguage language);

  // --- Where the side windows open ----------------------------------------------------------
  // The top left corner of side window `window`, its frame `width` × `height`, opening for the
  // form at `form` on a screen with work area `work_area`: where the user last left it (its
  // key in the settings file's [Window] section, read now; a damaged value is ignored), else
  // beside the form (SideWindowPosition).
  TScreenPoint SideWindowPlace(TSideWindow window, const TScreenRect& form, int width, int height,
                               const TScreenRect& work_area);
  // The view tells where `window` is as it closes (or at any time): a place other than the one
  // it opened at is where the user left it, kept for its next opening, this run and the next. A
  // settings file that cannot be written keeps it for this run only, without a word: a place is
  // not worth a message.
  void SideWindowMoved(TSideWindow window, TScreenPoint at);

  // --- Helpers of the handlers, for views and tests -----------------------------------------
  void ShowStatus(std::string_view text, TStatusColour colour);
  void DisableButtons();
  void EnableButtons();
  // The text of a list's selected entry; empty without one.
  std::string ItemText(TControl list) const;

  // True from the first to the last step of a test: the port belongs to that test.
  bool TestRunning() const { return busy_; }
  // The language the window speaks: --lang, else the settings file's, else Russian.
  TLanguage Language() const { return language_; }
  // The virtual device this run serves (--virtual-device), or null.
  sim::TMemoryDevice* VirtualDevice() const { return virtual_device_.get(); }
  const std::string& SettingsPath() const { return settings_path_; }

  // --- The exchange log ------------------------------------------------------------------------
  // Every frame on the form's port since the window started, whether its window is shown or
  // not, with the port's openings and closings. Safe from any thread.
  TExchangeLog& ExchangeLog() { return *log_; }
  // Whether the log records. It does from the start; the benchmark that weighs its cost turns
  // it off. Only between exchanges.
  void SetLogRecording(bool recording);

  // --- Long work: the monitor, an archive range ----------------------------------------------
  // Long work holds the port as a test does, for as long as it runs: the test and doser
  // buttons are disabled, the stamp's double-click waits, and the port number, speed and
  // network address chosen in the form now are the ones it uses (set on oxaComPort and both
  // masters; the port is not opened yet). False, and nothing changes, while a test or other
  // long work holds the port. `stop` is called on the window's thread when the window is
  // about to close: it ends the work (its thread joined) and calls EndLongWork before it
  // returns.
  bool BeginLongWork(std::function<void()> stop);
  // The one way long work borrows the port: BeginLongWork, EndLongWork, OpenPort, ClosePort
  // and AfterExchange below, with the port's loss, the full reason a failed open gives (as a
  // test's data pane says it) and the Modbus master at the form's address.
  TPortLease LeasePort();
  // Closes the port if it is open and brings the buttons back. On the window's thread.
  void EndLongWork();
  bool LongWorkRunning() const { return long_work_; }
  // Ends the long work under way, if any, through its `stop`.
  void StopLongWork();
  // From the long work's own thread (one thread at a time): opens the port the long work
  // took, logged as opened or failed with its reason; true when it is open. ClosePort closes
  // it, logged. AfterExchange is called after every exchange, so that the log tells a request
  // nothing answered as such.
  bool OpenPort();
  void ClosePort();
  void AfterExchange();

 private:
  IFormView& view_;
  std::string settings_path_;
  TWindowOptions options_;
  // Made before the port, whose backend leads to it.
  std::unique_ptr<sim::TMemoryDevice> virtual_device_;

 public:
  // The port of every test and of the stamp: COM numbers as the [Ports] map, the command line
  // and the virtual device lead them.
  ToxaComPort oxaComPort;
  // The Modbus master of the test and doser buttons, on oxaComPort.
  ToxaFul0508 Ful0508;
  // The 10x master that reads the device's stamp record, on oxaComPort.
  ToxaZeb106 Zeb106;

 private:
  // The exchange log and the tracer that feeds it from oxaComPort, both made after the port
  // (the log counts its times from the port's clock); the tracer lets go of the port first.
  std::unique_ptr<TExchangeLog> log_;
  TFrameTracer tracer_;

  std::unique_ptr<IComPortIo> MakePortIo();
  // Every port of the list leads to the virtual device, at the form's address.
  void StartVirtualDevice(std::map<uint8_t, std::string>& devices);
  void DescribePorts();
  // Every caption, the window's caption and the integrator list in language_.
  void ShowLanguage();
  void ShowReady();
  // Sets oxaComPort to the port number and speed chosen in the form, and OpenPort to the form's
  // language now.
  void TakeChosenPort();
  // Opens oxaComPort with the port number and speed chosen in the form, off the window's thread.
  void OpenChosenPort();
  // The port's name in the log: "COM1 (/dev/ttyUSB0)".
  std::string LoggedPortName() const;
  // The pattern of the test and doser buttons around `action`, run off the window's thread;
  // `sending` shows the "request sent" status first; `after` runs after a success.
  void RunTest(bool sending, const std::function<TActionResult()>& action,
               const std::function<void()>& after = {});
  // The start and end of a test: the buttons go and come back, and the keyboard focus returns
  // to the control that had it (disabling a focused button moves the focus on).
  bool BeginBusy();
  void EndBusy();
  // ClosePort from the window's thread: on the worker when a late answer is listened out.
  void ClosePortListened();
  int NetAddr() const;

  std::unique_ptr<TIniFile> SettingsFile_;
  // The settings file is not one the form reads or writes (a device, a FIFO, too large).
  bool settings_refused_ = false;
  // Said once, when the window first shows.
  std::vector<std::string> startup_messages_;
  std::vector<std::string> port_hints_;
  TLanguage language_ = TLanguage::kRussian;
  bool busy_ = false;
  bool close_pending_ = false;
  bool long_work_ = false;
  std::function<void()> long_work_stop_;
  bool log_recording_ = true;
  // The language OpenPort speaks: the form's when the port was taken, since OpenPort runs on
  // another thread while the user may switch the form's language.
  TLanguage port_language_ = TLanguage::kRussian;
  std::optional<TControl> focus_before_;
  std::optional<TControl> focus_moved_to_;
  // By TSideWindow: where each side window was opened or last seen, and where the user left it
  // this run.
  std::array<std::optional<TScreenPoint>, 3> side_opened_at_;
  std::array<std::optional<TScreenPoint>, 3> side_places_;
};

}  // namespace oxa
