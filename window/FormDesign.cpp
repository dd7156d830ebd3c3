#include "window/FormDesign.h"

#include <algorithm>

namespace oxa {

namespace {

using enum TControlKind;

constexpr TControlDesign kControls[] = {
    // The connection: port, speed and the device's network address.
    {"GroupBox1", kGroupBox, "", {8, 8, 273, 81}, TText::kGroupBox1},
    {"Label1", kLabel, "GroupBox1", {8, 22, 30, 13}, TText::kLabel1},
    {"CBPort", kDropDownList, "GroupBox1", {40, 18, 65, 21}, {}},
    {"Label2", kLabel, "GroupBox1", {121, 22, 54, 13}, TText::kLabel2},
    {"CBBaud", kDropDownList, "GroupBox1", {176, 18, 85, 21}, {}},
    {"Label3", kLabel, "GroupBox1", {10, 46, 196, 13}, TText::kLabel3},
    {"Edit1", kEdit, "GroupBox1", {210, 42, 34, 21}, {}},
    {"SENetAddr", kUpDown, "GroupBox1", {244, 42, 17, 21}, {}, "Edit1"},
    // The Modbus tests.
    {"GroupBox6", kGroupBox, "", {8, 96, 273, 265}, TText::kGroupBox6},
    {"Button2", kButton, "GroupBox6", {16, 24, 241, 25}, TText::kButton2},
    {"Button3", kButton, "GroupBox6", {16, 64, 241, 25}, TText::kButton3},
    {"Label17", kLabel, "GroupBox6", {18, 99, 44, 13}, TText::kLabel17},
    {"Edit2", kEdit, "GroupBox6", {64, 96, 65, 21}, {}},
    {"UDStart", kUpDown, "GroupBox6", {129, 96, 16, 21}, {}, "Edit2"},
    {"Label18", kLabel, "GroupBox6", {154, 99, 20, 13}, TText::kLabel18},
    {"Edit3", kEdit, "GroupBox6", {176, 96, 65, 21}, {}},
    {"UDNumReg", kUpDown, "GroupBox6", {241, 96, 16, 21}, {}, "Edit3"},
    {"Button4", kButton, "GroupBox6", {16, 128, 241, 25}, TText::kButton4},
    {"CBInt", kDropDownList, "GroupBox6", {16, 160, 241, 21}, {}},
    {"Button5", kButton, "GroupBox6", {16, 192, 241, 25}, TText::kButton5},
    {"Label19", kLabel, "GroupBox6", {18, 227, 156, 13}, TText::kLabel19},
    {"Edit4", kEdit, "GroupBox6", {176, 224, 65, 21}, {}},
    {"UDArc", kUpDown, "GroupBox6", {241, 224, 16, 21}, {}, "Edit4"},
    // The data pane and the request line.
    {"GroupBox7", kGroupBox, "", {296, 8, 457, 241}, TText::kGroupBox7},
    {"MDebug", kDataPane, "GroupBox7", {2, 15, 453, 186}, {}},
    {"Label20", kLabel, "GroupBox7", {13, 215, 48, 13}, TText::kLabel20},
    {"EQuery", kReadOnlyEdit, "GroupBox7", {64, 211, 385, 21}, {}},
    // The doser.
    {"GroupBox8", kGroupBox, "", {296, 256, 457, 105}, TText::kGroupBox8},
    {"Label21", kLabel, "GroupBox8", {16, 22, 132, 13}, TText::kLabel21},
    {"FEDoza", kFloatSpinEdit, "GroupBox8", {151, 20, 75, 22}, {}},
    {"Button6", kButton, "GroupBox8", {16, 56, 97, 25}, TText::kButton6},
    {"Button7", kButton, "GroupBox8", {128, 56, 97, 25}, TText::kButton7},
    {"Button8", kButton, "GroupBox8", {257, 19, 56, 25}, TText::kButton8},
    {"Button9", kButton, "GroupBox8", {321, 19, 56, 25}, TText::kButton9},
    {"Button10", kButton, "GroupBox8", {385, 19, 56, 25}, TText::kButton10},
    {"Button12", kButton, "GroupBox8", {256, 56, 121, 25}, TText::kButton12},
    {"Button11", kButton, "GroupBox8", {384, 56, 57, 25}, TText::kButton11},
    // The status line and the way out.
    {"LStatus", kStatusLine, "", {184, 384, 481, 13}, {}},
    {"Button1", kButton, "", {672, 376, 75, 25}, TText::kButton1},
};

// The arrows of a numeric edit take no focus of their own: the Tab key visits the edit.
constexpr std::string_view kTabOrder[] = {
    "CBPort",   "CBBaud",  "Edit1",   "Button2",  "Button3",  "Edit2",   "Edit3",   "Button4",
    "CBInt",    "Button5", "Edit4",   "MDebug",   "EQuery",   "FEDoza",  "Button8", "Button9",
    "Button10", "Button6", "Button7", "Button12", "Button11", "Button1",
};

}  // namespace

std::string_view Caption(const TControlDesign& control, TLanguage language) {
  return control.caption ? Text(*control.caption, language) : std::string_view();
}

std::span<const TControlDesign> FormControls() {
  return kControls;
}

const TControlDesign* FindFormControl(std::string_view name) {
  const auto* it = std::find_if(std::begin(kControls), std::end(kControls),
                                [name](const TControlDesign& c) { return c.name == name; });
  return it != std::end(kControls) ? it : nullptr;
}

TDesignRect FormRect(const TControlDesign& control) {
  TDesignRect rect = control.rect;
  if (const TControlDesign* frame = FindFormControl(control.parent)) {
    rect.x += frame->rect.x;
    rect.y += frame->rect.y;
  }
  return rect;
}

std::span<const std::string_view> FormTabOrder() {
  return kTabOrder;
}

}  // namespace oxa
