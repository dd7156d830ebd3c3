// The main form as its model sees it: the controls it fills, reads and switches, named as the
// form names them, and the few things only a toolkit can do (run work off the window's thread,
// show a message, move the focus, close). The Qt window and the native Win32 window each
// implement IFormView over their own widgets; the model (window/FormModel.h) does the rest.
//
// Every call comes from the window's own thread. Texts are UTF-8. A call names a control the
// call is meant for (a list for the list calls, and so on); a view may ignore any other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace oxa {

// The form's controls that the model fills, reads or switches. Their names (ControlName) are
// the Qt widgets' object names and the names of the design table.
enum class TControl {
  kCBPort,     // port list, COM1..COM16
  kCBBaud,     // speed list
  kSENetAddr,  // device network address, with its edit Edit1
  kUDStart,    // first register of Button3, with its edit Edit2
  kUDNumReg,   // register count of Button3, with its edit Edit3
  kUDArc,      // archive block of Button5, with its edit Edit4
  kCBInt,      // integrator list
  kButton1,    // "Выход": closes the form
  kButton2,
  kButton3,
  kButton4,
  kButton5,
  kButton6,
  kButton7,
  kButton8,
  kButton9,
  kButton10,
  kButton11,
  kButton12,
  kMDebug,  // the data pane
  kEQuery,  // the request line
  kFEDoza,  // the dose, a float edit with decimals
  kLStatus  // the status line
};
inline constexpr size_t kControlCount = size_t(TControl::kLStatus) + 1;

// "CBPort", "Button2", ...
std::string_view ControlName(TControl control);
// The control of that name; nothing for a name the model does not know.
std::optional<TControl> ControlNamed(std::string_view name);

// The colours of the status line.
enum class TStatusColour { kBlack, kBlue, kRed };
struct TRgb {
  uint8_t red;
  uint8_t green;
  uint8_t blue;
  bool operator==(const TRgb&) const = default;
};
// Black 0,0,0; blue 0,0,255; red 255,0,0.
TRgb StatusRgb(TStatusColour colour);

// What a numeric field takes: its range, the step of its arrows, its decimals (0 for the whole
// numbers of the up/down fields, 1 for the dose) and the most characters its edit holds (0: no
// limit of its own).
struct TNumberRange {
  long double min = 0;
  long double max = 0;
  long double step = 1;
  uint8_t decimals = 0;
  size_t max_chars = 0;
};

// The key codes FormKeyDown knows (the system's virtual key codes): Escape, and the letters
// of Ctrl+L and Ctrl+M.
inline constexpr uint16_t kKeyEscape = 27;
inline constexpr uint16_t kKeyL = 'L';
inline constexpr uint16_t kKeyM = 'M';

class IFormView {
 public:
  virtual ~IFormView() = default;

  // --- The window -------------------------------------------------------------------------
  // The window's caption as the design gives it, and a new one.
  virtual std::string Caption() const = 0;
  virtual void SetCaption(std::string_view caption) = 0;
  // The decimal separator of the user's locale, for the float values the form shows.
  virtual std::string DecimalSeparator() const = 0;

  // --- Lists (CBPort, CBBaud, CBInt) -------------------------------------------------------
  // Replaces the entries; the selection is then unspecified until SetItemIndex.
  virtual void SetItems(TControl list, const std::vector<std::string>& items) = 0;
  // Selects entry `index`; -1, or an index outside the entries, leaves no entry selected.
  // Setting it this way is no change by the user: the model hears of none.
  virtual void SetItemIndex(TControl list, int index) = 0;
  // The selected entry; -1 for none.
  virtual int ItemIndex(TControl list) const = 0;
  // A hint for each entry, shown where the toolkit shows one per entry (a tooltip while the
  // list is open); fewer hints than entries leave the rest without.
  virtual void SetItemHints(TControl list, const std::vector<std::string>& hints) = 0;
  // The control's own hint (its tooltip); empty for none.
  virtual void SetHint(TControl control, std::string_view hint) = 0;

  // --- Numeric fields (SENetAddr, UDStart, UDNumReg, UDArc, FEDoza) ----------------------
  // Sets the range; the value is brought into it.
  virtual void SetNumberRange(TControl field, const TNumberRange& range) = 0;
  // Brings `value` into the field's range and shows it with the field's decimals.
  virtual void SetNumber(TControl field, long double value) = 0;
  // The value the field holds. The up/down fields hold a whole number within their range;
  // the dose reads its text by the float edit's rules (window/FloatEditRules.h: text that is
  // not a number reads as the range's minimum, and reading never clamps).
  virtual long double Number(TControl field) const = 0;

  // --- Texts ------------------------------------------------------------------------------
  // The text of a one-line control (EQuery), shown as plain text.
  virtual void SetText(TControl control, std::string_view text) = 0;
  // The whole text of the data pane (MDebug) becomes `lines`, one line each, as plain text;
  // no lines leave it empty.
  virtual void SetLines(TControl pane, const std::vector<std::string>& lines) = 0;
  // The caption of the design's control `name` (window/FormDesign.h: "GroupBox1", "Label3",
  // "Button2"), as plain text.
  virtual void SetDesignCaption(std::string_view name, std::string_view caption) = 0;
  // The status line (LStatus): its text and the colour of its text.
  virtual void SetStatus(std::string_view text, TStatusColour colour) = 0;

  // --- Buttons and focus -----------------------------------------------------------------
  virtual void SetEnabled(TControl control, bool enabled) = 0;
  // The control that has the keyboard focus (a field's edit counts as its field); nothing when
  // none of the form's controls has it.
  virtual std::optional<TControl> FocusedControl() const = 0;
  virtual void SetFocus(TControl control) = 0;

  // --- What only a toolkit can do ----------------------------------------------------------
  // Shows an error message to the user and returns at once, without waiting for it to be
  // read: whatever the model does meanwhile goes on while the message is shown.
  virtual void ShowMessage(std::string_view text) = 0;
  // Runs `work` on a thread other than the window's and returns once it has finished. Meanwhile
  // the window goes on handling its events (it repaints, the user clicks and types), and those
  // may call into the model; `work` itself touches no control. The Qt window waits in a local
  // event loop; a Win32 window in a message loop that a message posted by the thread ends. A
  // view may first wait a few milliseconds (well below what a user notices) for work that ends
  // at once, such as a port opening, before it turns to its events: a round through the event
  // loop would paint the window first and take the result only after that.
  virtual void RunOnWorker(const std::function<void()>& work) = 0;
  // Closes the window as its close button would: the view asks the model (FormCloseQuery)
  // first, and tells it (FormClose) when the window does close.
  virtual void Close() = 0;

  // --- The form's other windows -------------------------------------------------------------
  // Each is non-modal, made at its first showing and brought to the front when shown already.
  // The exchange log's window shows the model's ExchangeLog().
  virtual void ShowExchangeLog() = 0;
  // The monitor: chosen values read again and again, with a plot and a CSV log.
  virtual void ShowMonitor() = 0;
  // A range of archive blocks read into a file.
  virtual void ShowArchiveRange() = 0;
};

}  // namespace oxa
