// The main window's design: its caption, size and fonts, and every control with its kind, the
// group frame it lies in, its rectangle and its caption, and the order the Tab key visits them.
// One table for every view of the form: the Qt window's Designer form and the native Win32
// window are laid out after it, and tests hold each of them to it.
//
// Rectangles are in pixels at 96 dpi, x and y relative to the group frame the control lies in
// (the window's client area for a control on the window itself). Captions are the text
// catalog's (actions/TextCatalog.h), in either language; Russian is the design's own.
#pragma once

#include <optional>
#include <span>
#include <string_view>

#include "actions/TextCatalog.h"

namespace oxa {

struct TDesignRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  friend bool operator==(const TDesignRect&, const TDesignRect&) = default;
};

struct TDesignFont {
  std::string_view face;
  int height = 0;  // negative: the character height in pixels at 96 dpi, as fonts are asked for
};

enum class TControlKind {
  kGroupBox,       // a group frame with its caption, around the controls that name it as parent
  kLabel,          // a line of text
  kStatusLine,     // a label of fixed size in the colour of its message; a double-click reads
                   // the device's stamp
  kDropDownList,   // a drop-down list: the user picks an entry, never types one
  kEdit,           // a single-line edit (the numeric edits, each with up/down arrows bound)
  kUpDown,         // up/down arrows bound to the edit named as its buddy
  kReadOnlyEdit,   // a single-line edit the user reads and copies but does not change
  kDataPane,       // the multi-line data pane in the data font, with a vertical scroll bar
  kFloatSpinEdit,  // an edit of a floating-point value with spin arrows at its right edge
  kButton,         // a push button
};

struct TControlDesign {
  std::string_view name;  // as the system names it: GroupBox1, CBPort, Edit1, SENetAddr, ...
  TControlKind kind;
  std::string_view parent;  // the group frame it lies in; empty on the window itself
  TDesignRect rect;
  std::optional<TText> caption;  // none for controls without one
  std::string_view buddy = {};   // kUpDown: the edit the arrows are bound to
};

inline constexpr std::string_view kFormCaption = "FUL 05.03 Modbus test";
// The client area: fixed, the window is neither resized nor maximised.
inline constexpr int kFormWidth = 770;
inline constexpr int kFormHeight = 414;
// The window's font, which every control takes but the data pane.
inline constexpr TDesignFont kWindowFont{"Tahoma", -11};
// The data pane's fixed-pitch font, with Cyrillic letters.
inline constexpr TDesignFont kDataPaneFont{"Courier New", -13};

// Every control of the window, each group frame before the controls inside it.
std::span<const TControlDesign> FormControls();
// The caption of `control` in `language`; empty for a control without one.
std::string_view Caption(const TControlDesign& control, TLanguage language = TLanguage::kRussian);
// The control named `name`; null for a name the design does not have.
const TControlDesign* FindFormControl(std::string_view name);
// Where `control` lies in the window's client area: its frame's position plus its own.
TDesignRect FormRect(const TControlDesign& control);
// The controls the Tab key visits, in that order.
std::span<const std::string_view> FormTabOrder();

}  // namespace oxa
