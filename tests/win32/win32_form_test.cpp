// The Win32 window end to end, under Wine: the window program worked by window messages from
// this program, against virtual devices of the Linux build behind Wine's COM ports
// (win32_form_test.sh sets them up), checked by what a user sees: the controls' rectangles and
// texts, the colour of the status line on screen, the keyboard.
//
//   OXA_WIN32_FORM         the window program, in a folder of its own (its settings file is
//                          written beside it before each start)
//   OXA_WIN32_DEVICE_COM   the COM number of a virtual device at address 1
//   OXA_WIN32_SILENT_COM   the COM number of a virtual device that answers nothing
//   OXA_WIN32_LOST_COM     the COM number of a silent virtual device that goes away once the
//                          file OXA_WIN32_LOST_SIGNAL names is made
//   OXA_WIN32_TCP          tcp://host:port of a virtual device serving on TCP
//   OXA_WIN32_DPI          the screen's dots per inch the window must be drawn at, if set
#include <windows.h>
// After windows.h, on which it builds.
#include <commctrl.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "FormDriver.h"
#include "actions/OxaPortTexts.h"
#include "actions/SettingsPath.h"
#include "actions/WindowTexts.h"
#include "protocols/oxaModBusProtocol.h"
#include "serial/OxaComPort.h"
#include "serial/OxaUtils.h"
#include "sim/FulDevice.h"
#include "win32/ControlIds.h"
#include "win32/Win32ArchiveRange.h"
#include "win32/Win32ExchangeLog.h"
#include "win32/Win32Form.h"
#include "win32/Win32Monitor.h"
#include "window/FormDesign.h"
#include "window/FormModel.h"

namespace oxa::win32 {
namespace {

constexpr COLORREF kBlack = RGB(0, 0, 0);
constexpr COLORREF kBlue = RGB(0, 0, 255);
constexpr COLORREF kRed = RGB(255, 0, 0);

int ComNumber(const char* variable) {
  return std::atoi(Environment(variable).c_str());
}

std::string Com(int number) {
  return "COM" + std::to_string(number);
}

// The decimal separator of the locale the window runs in.
std::string Sep() {
  wchar_t separator[4] = {};
  return ::GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, LOCALE_SDECIMAL, separator, 4) > 1
             ? Utf8Of(std::wstring(1, separator[0]))
             : ".";
}

std::string ReadFrame(uint8_t function, uint16_t start, uint16_t count) {
  std::array<uint8_t, 8> frame{};
  BuildReadRequest(frame, 1, function, start, count);
  return HexBytes(frame);
}

std::string WriteFrame(uint16_t reg, uint16_t value) {
  std::array<uint8_t, 8> frame{};
  BuildWriteSingleRequest(frame, 1, reg, value);
  return HexBytes(frame);
}

const char* ClassOf(TControlKind kind) {
  switch (kind) {
    case TControlKind::kGroupBox:
    case TControlKind::kButton:
      return "Button";
    case TControlKind::kLabel:
    case TControlKind::kStatusLine:
      return "Static";
    case TControlKind::kDropDownList:
      return "ComboBox";
    case TControlKind::kUpDown:
      return "msctls_updown32";
    case TControlKind::kEdit:
    case TControlKind::kReadOnlyEdit:
    case TControlKind::kDataPane:
    case TControlKind::kFloatSpinEdit:
      return "Edit";
  }
  return "";
}

class Win32Form : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(program_.empty()) << "OXA_WIN32_FORM names no window program";
  }

  // A window started with its settings file choosing the device's port at 57600 baud and
  // address 1, and with a [Ports] section that leads COM9, COM10 and COM11 to the device by the
  // three kinds of address.
  void Start(const std::wstring& arguments = L"") {
    const std::string signature =
        "Port=" + std::to_string(device_com_) + "\r\nBaud=2\r\nNetAddr=1\r\n";
    const std::string text = "[Signature]\r\n" + signature + "[Ports]\r\nCOM9=" + Com(device_com_) +
                             "\r\nCOM10=\\\\.\\" + Com(device_com_) +
                             "\r\nCOM11=" + Environment("OXA_WIN32_TCP") + "\r\n";
    const HANDLE file = ::CreateFileW(WideOf(SettingsFile()).c_str(), GENERIC_WRITE, 0, nullptr,
                                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ::WriteFile(file, text.data(), DWORD(text.size()), &written, nullptr);
    ::CloseHandle(file);
    ASSERT_TRUE(form_.Start(program_, arguments));
  }

  // The settings file as the window names it: beside the program.
  std::string SettingsFile() const {
    return SettingsPath(Utf8Of(std::filesystem::path(program_).parent_path().wstring()));
  }

  // After a test: what the status line says and in which colour, and every button back.
  void ExpectEnded(const std::string& status, COLORREF colour) {
    EXPECT_EQ(form_.Text("LStatus"), status);
    ExpectInk("LStatus", colour);
    for (int i = 2; i <= 12; ++i) {
      EXPECT_TRUE(form_.Enabled("Button" + std::to_string(i))) << i;
    }
  }

  // The colour of a control's text on screen, once the window's latest drawing has reached the
  // screen (Wine passes it on when the window's thread is idle).
  void ExpectInk(std::string_view name, COLORREF colour) {
    EXPECT_TRUE(TFormDriver::WaitUntil([&] { return form_.Ink(name) == colour; }, 2000))
        << name << " shows " << std::hex << form_.Ink(name) << ", not " << colour;
  }

  std::vector<std::string> Ok(std::vector<std::string> lines) {
    lines.insert(lines.begin(), "OK");
    return lines;
  }

  std::wstring program_ = WideOf(Environment("OXA_WIN32_FORM"));
  int device_com_ = ComNumber("OXA_WIN32_DEVICE_COM");
  int silent_com_ = ComNumber("OXA_WIN32_SILENT_COM");
  TFormDriver form_;
};

// ---- The window as designed ---------------------------------------------------------------

// At the screen's dots per inch: 96, and 144 in a second run (win32_form_test.sh).
TEST_F(Win32Form, ControlsAreWhereTheDesignPutsThem) {
  Start();
  const UINT dpi = form_.Dpi();
  if (const std::string screen = Environment("OXA_WIN32_DPI"); !screen.empty()) {
    ASSERT_EQ(dpi, UINT(std::atoi(screen.c_str())));
  }
  const auto scale = [dpi](int pixels) { return ::MulDiv(pixels, int(dpi), 96); };
  RECT client{};
  ::GetClientRect(form_.Form(), &client);
  EXPECT_EQ(client.right, scale(kFormWidth));
  EXPECT_EQ(client.bottom, scale(kFormHeight));
  EXPECT_EQ(TFormDriver::Text(form_.Form()), kFormCaption);
  const auto style = DWORD(::GetWindowLongPtrW(form_.Form(), GWL_STYLE));
  EXPECT_EQ(style & (WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME),
            DWORD(WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX));

  for (const TControlDesign& design : FormControls()) {
    SCOPED_TRACE(std::string(design.name));
    const HWND control = form_.Control(design.name);
    ASSERT_NE(control, nullptr);
    wchar_t name[64] = {};
    ::GetClassNameW(control, name, 64);
    EXPECT_EQ(Utf8Of(name), ClassOf(design.kind));
    RECT rect{};
    ::GetWindowRect(control, &rect);
    ::MapWindowPoints(nullptr, form_.Form(), reinterpret_cast<POINT*>(&rect), 2);
    const TDesignRect at = FormRect(design);
    EXPECT_EQ(rect.left, scale(at.x));
    EXPECT_EQ(rect.top, scale(at.y));
    EXPECT_EQ(rect.right, scale(at.x + at.width));
    EXPECT_EQ(rect.bottom, scale(at.y + at.height));
    if (design.kind == TControlKind::kGroupBox || design.kind == TControlKind::kLabel ||
        design.kind == TControlKind::kButton) {
      EXPECT_EQ(TFormDriver::Text(control), Caption(design));
    }
    if (design.kind == TControlKind::kUpDown) {
      EXPECT_EQ(HWND(::SendMessageW(control, UDM_GETBUDDY, 0, 0)), form_.Control(design.buddy));
    }
  }
  // Each numeric field's arrows hold the model's range, and its edit its limit of characters.
  for (const TNumberField& field : kNumberFields) {
    const std::string_view name = ControlName(field.control);
    SCOPED_TRACE(std::string(name));
    if (field.control == TControl::kFEDoza) continue;
    const auto range = DWORD(::SendMessageW(form_.Control(name), UDM_GETRANGE, 0, 0));
    EXPECT_EQ(HIWORD(range), field.range.min);
    EXPECT_EQ(LOWORD(range), field.range.max);
    if (field.range.max_chars > 0) {
      const HWND edit = HWND(::SendMessageW(form_.Control(name), UDM_GETBUDDY, 0, 0));
      EXPECT_EQ(size_t(::SendMessageW(edit, EM_GETLIMITTEXT, 0, 0)), field.range.max_chars);
    }
  }
  // The dose's arrows lie inside its edit.
  const HWND dose = form_.Control("FEDoza");
  const HWND arrows = ::FindWindowExW(dose, nullptr, UPDOWN_CLASSW, nullptr);
  ASSERT_NE(arrows, nullptr);
  RECT inner{};
  RECT outer{};
  ::GetWindowRect(arrows, &inner);
  ::GetWindowRect(dose, &outer);
  RECT both{};
  ::UnionRect(&both, &inner, &outer);
  EXPECT_TRUE(::EqualRect(&both, &outer));
}

TEST_F(Win32Form, TabVisitsTheDesignsOrder) {
  Start();
  ASSERT_TRUE(TFormDriver::WaitUntil([&] { return form_.Focus() != nullptr; }, 5000));
  const std::span<const std::string_view> order = FormTabOrder();
  EXPECT_EQ(form_.Focus(), form_.Control(order.front()));
  for (size_t i = 1; i <= order.size(); ++i) {
    const std::string_view next = order[i % order.size()];
    form_.PostKey(form_.Focus(), VK_TAB);
    EXPECT_TRUE(TFormDriver::WaitUntil([&] { return form_.Focus() == form_.Control(next); }, 5000))
        << next;
  }
}

TEST_F(Win32Form, ReadyMessageAndControlsFromTheSettingsFile) {
  Start();
  ExpectEnded("Готов к работе:   " + Com(device_com_) + ", 57600 bps", kBlue);
  EXPECT_EQ(form_.Text("CBPort"), Com(device_com_));
  EXPECT_EQ(::SendMessageW(form_.Control("CBPort"), CB_GETCOUNT, 0, 0), 16);
  EXPECT_EQ(form_.Text("CBBaud"), "57600");
  EXPECT_EQ(form_.Text("Edit1"), "1");
  EXPECT_EQ(form_.Text("CBInt"), "2000 (V1) [float]");
  EXPECT_EQ(::SendMessageW(form_.Control("CBInt"), CB_GETCOUNT, 0, 0), 32);
  EXPECT_EQ(form_.Text("FEDoza"), "0" + Sep() + "0");
  EXPECT_EQ(form_.Text("MDebug"), "");
  EXPECT_EQ(form_.Text("EQuery"), "");
}

// ---- The test buttons -----------------------------------------------------------------------

TEST_F(Win32Form, IdentificationAndRegisterRead) {
  Start();
  ASSERT_TRUE(form_.Click("Button2"));
  EXPECT_EQ(form_.Lines("MDebug"), Ok({"ID = FUL-05.08 Дозатор"}));
  EXPECT_EQ(form_.Text("EQuery"), "01 11 C0 2C ");
  ExpectEnded("Закрытие порта " + Com(device_com_), kBlack);

  form_.SetText("Edit3", "10");
  ASSERT_TRUE(form_.Click("Button3"));
  EXPECT_EQ(form_.Lines("MDebug"),
            Ok({"=Данные=", "41 48 00 00 41 04 00 00 00 00 00 00 00 00 00 00 ", "00 00 00 00 "}));
  EXPECT_EQ(form_.Text("EQuery"), "01 03 00 00 00 0A C5 CD ");
  ExpectEnded("Закрытие порта " + Com(device_com_), kBlack);
}

TEST_F(Win32Form, IntegratorAndArchiveBlock) {
  Start();
  struct TRow {
    int entry;
    uint16_t reg;
    std::vector<std::string> lines;
  };
  const TRow rows[] = {
      {9, 2020, {"Raw: 3F 80 00 00 ", "V1dop =     1" + Sep() + "000000 M3"}},
      {23, 2090, {"Raw: FF FF FF FF ", "Terr2 = 4294967295 сек"}},
  };
  for (const TRow& row : rows) {
    form_.Choose("CBInt", row.entry);
    ASSERT_TRUE(form_.Click("Button4"));
    EXPECT_EQ(form_.Lines("MDebug"), Ok(row.lines)) << row.entry;
    // Four registers are asked for, though two are shown.
    EXPECT_EQ(form_.Text("EQuery"), ReadFrame(3, row.reg, 4));
  }

  form_.SetText("Edit4", "8191");
  ASSERT_TRUE(form_.Click("Button5"));
  const std::array<uint8_t, 128> block = sim::TFulDevice::ArchiveBlock(8191);
  std::vector<std::string> lines{"=Данные="};
  for (size_t line = 0; line < 8; ++line) {
    lines.push_back(HexBytes(std::span<const uint8_t>(block).subspan(16 * line, 16)));
  }
  lines.push_back("");
  EXPECT_EQ(form_.Lines("MDebug"), Ok(lines));
  EXPECT_EQ(form_.Text("EQuery"), ReadFrame(0x41, 8191, 1));
  ExpectEnded("Закрытие порта " + Com(device_com_), kBlack);
}

TEST_F(Win32Form, DoserButtons) {
  Start();
  ASSERT_TRUE(form_.Click("Button6"));
  EXPECT_EQ(form_.Lines("MDebug"), Ok({"=Данные=", "30 39"}));
  EXPECT_EQ(form_.Text("FEDoza"), "1234" + Sep() + "5");
  EXPECT_EQ(form_.Text("EQuery"), ReadFrame(3, 2201, 1));

  form_.SetText("FEDoza", "0" + Sep() + "7");
  ASSERT_TRUE(form_.Click("Button7"));
  EXPECT_EQ(form_.Lines("MDebug"), Ok({}));
  EXPECT_EQ(form_.Text("EQuery"), WriteFrame(2201, 7));

  struct TRow {
    const char* button;
    std::string query;
    const char* state;
  };
  const TRow rows[] = {
      {"Button8", WriteFrame(2202, 1), "запущен"},
      {"Button9", WriteFrame(2202, 2), "пауза"},
      {"Button10", WriteFrame(2202, 0), "остановлен"},
  };
  for (const TRow& row : rows) {
    ASSERT_TRUE(form_.Click(row.button));
    EXPECT_EQ(form_.Text("EQuery"), row.query) << row.button;
    ASSERT_TRUE(form_.Click("Button12"));
    EXPECT_EQ(form_.Lines("MDebug")[3], std::string("Состояние дозатора: ") + row.state);
  }
  ASSERT_TRUE(form_.Click("Button11"));
  EXPECT_EQ(form_.Text("EQuery"), WriteFrame(2203, 1));
  ExpectEnded("Закрытие порта " + Com(device_com_), kBlack);
}

// ---- Lines that fail ------------------------------------------------------------------------

// A silent line takes its time-outs off the window's thread: the window keeps answering, the
// buttons are greyed meanwhile, and the request line keeps the last request that was answered.
TEST_F(Win32Form, SilentLineFailsWhileTheWindowGoesOn) {
  Start();
  ASSERT_TRUE(form_.Click("Button2"));
  form_.Choose("CBPort", silent_com_ - 1);
  form_.PostClick("Button2");
  ASSERT_TRUE(TFormDriver::WaitUntil([&] { return !form_.Enabled("Button2"); }, 5000));
  EXPECT_TRUE(form_.Responds(300));
  EXPECT_FALSE(form_.Enabled("Button12"));
  EXPECT_EQ(form_.Text("LStatus"), "Открытие порта " + Com(silent_com_));
  ASSERT_TRUE(TFormDriver::WaitUntil([&] { return form_.Enabled("Button2"); }, 10000));
  EXPECT_EQ(form_.Lines("MDebug"), (std::vector<std::string>{"Failed", "ErrCode=2"}));
  EXPECT_EQ(form_.Text("EQuery"), "01 11 C0 2C ");
  ExpectEnded("Закрытие порта " + Com(silent_com_), kBlack);
}

// While a test runs, another test's click does nothing, and closing the window waits for the
// test to end; then the window closes and the program ends.
TEST_F(Win32Form, ClickAndCloseDuringATestWaitForIt) {
  Start();
  form_.Choose("CBPort", silent_com_ - 1);
  form_.PostClick("Button2");
  ASSERT_TRUE(TFormDriver::WaitUntil([&] { return !form_.Enabled("Button2"); }, 5000));
  // As a click would come from a button the window has not disabled yet.
  ::PostMessageW(form_.Form(), WM_COMMAND, MAKEWPARAM(ControlId("Button3"), BN_CLICKED),
                 reinterpret_cast<LPARAM>(form_.Control("Button3")));
  EXPECT_TRUE(form_.Responds(300));
  ASSERT_TRUE(TFormDriver::WaitUntil([&] { return form_.Enabled("Button2"); }, 10000));
  ::Sleep(300);
  EXPECT_TRUE(form_.Enabled("Button2")) << "no second test after the first";
  EXPECT_EQ(form_.Lines("MDebug"), (std::vector<std::string>{"Failed", "ErrCode=2"}));
  ExpectEnded("Закрытие порта " + Com(silent_com_), kBlack);

  form_.PostClick("Button2");
  ASSERT_TRUE(TFormDriver::WaitUntil([&] { return !form_.Enabled("Button2"); }, 5000));
  ::PostMessageW(form_.Form(), WM_CLOSE, 0, 0);
  EXPECT_TRUE(form_.Responds(300));
  EXPECT_TRUE(::IsWindowVisible(form_.Form())) << "still running";
  EXPECT_EQ(form_.Text("LStatus"), "Открытие порта " + Com(silent_com_));
  EXPECT_TRUE(form_.WaitForExit(15000));
}

// The clicked button has the keyboard focus again when its test ends, whether the test was
// over at once or long enough for the window to turn to its messages meanwhile.
TEST_F(Win32Form, FocusComesBackToTheClickedButton) {
  Start();
  ASSERT_TRUE(form_.Click("Button3"));
  EXPECT_EQ(form_.Focus(), form_.Control("Button3"));
  form_.Choose("CBPort", silent_com_ - 1);
  form_.PostClick("Button2");
  ASSERT_TRUE(TFormDriver::WaitUntil([&] { return !form_.Enabled("Button2"); }, 5000));
  ASSERT_TRUE(TFormDriver::WaitUntil([&] { return form_.Enabled("Button2"); }, 10000));
  EXPECT_TRUE(
      TFormDriver::WaitUntil([&] { return form_.Focus() == form_.Control("Button2"); }, 2000));
  ExpectEnded("Закрытие порта " + Com(silent_com_), kBlack);
}

// A COM port whose device goes away during a test ends it with code 1, and the data pane
// says so.
TEST_F(Win32Form, PortThatVanishesDuringATestIsSaid) {
  const int lost_com = ComNumber("OXA_WIN32_LOST_COM");
  ASSERT_NE(lost_com, 0);
  Start();
  form_.Choose("CBPort", lost_com - 1);
  form_.PostClick("Button3");
  ASSERT_TRUE(TFormDriver::WaitUntil([&] { return !form_.Enabled("Button3"); }, 5000));
  ::Sleep(100);
  const std::wstring signal = WideOf(Environment("OXA_WIN32_LOST_SIGNAL"));
  ::CloseHandle(::CreateFileW(signal.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(TFormDriver::WaitUntil([&] { return form_.Enabled("Button3"); }, 10000));
  const std::vector<std::string> lines = form_.Lines("MDebug");
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 2),
            (std::vector<std::string>{"Failed", "ErrCode=1"}));
  std::string said;
  for (size_t i = 2; i < lines.size(); ++i) said += (i > 2 ? " " : "") + lines[i];
  EXPECT_EQ(said, PortLostText(Com(lost_com), TLanguage::kRussian));
  ExpectEnded("Закрытие порта " + Com(lost_com), kBlack);
}

// The log records whether shown or not; the data pane's menu shows it.
TEST_F(Win32Form, ExchangeLogShowsTheButtonsTraffic) {
  Start();
  form_.SetText("Edit3", "2");
  ASSERT_TRUE(form_.Click("Button3"));
  form_.Choose("CBPort", silent_com_ - 1);
  ASSERT_TRUE(form_.Click("Button3"));
  // The menu's first entry, as the menu sends it.
  ::PostMessageW(form_.Form(), WM_COMMAND, TWin32Form::kMenuPane, 0);
  const HWND log = form_.OtherWindow(TWin32ExchangeLog::kClassName);
  ASSERT_NE(log, nullptr);
  EXPECT_EQ(TFormDriver::Text(log), "Журнал обмена");
  const HWND list = ::GetDlgItem(log, TWin32ExchangeLog::kRows);
  std::vector<std::vector<std::string>> rows;
  ASSERT_TRUE(
      TFormDriver::WaitUntil([&] { return (rows = form_.ListRows(list, 6)).size() >= 7; }, 3000));
  std::vector<std::string> shown;
  for (const auto& row : rows) {
    shown.push_back(row[1] + "|" + row[3].substr(0, row[3].find(',')) + "|" + row[4]);
  }
  const std::string read = "Modbus адрес 1 функция 3 чтение регистров хранения";
  const std::string device = "COM" + std::to_string(device_com_) + " (";
  EXPECT_EQ(shown[0].substr(0, device.size() + 1), "|" + device);
  EXPECT_EQ(std::vector<std::string>(shown.begin() + 1, shown.begin() + 3),
            (std::vector<std::string>{"TX|" + read + "|КС верна", "RX|" + read + "|КС верна"}));
  EXPECT_FALSE(rows[2][5].empty());  // the answer's response time
  EXPECT_EQ(rows[4][4], "порт открыт");
  EXPECT_EQ(shown[5], "TX|" + read + "|КС верна");
  EXPECT_EQ(shown[6], "||нет ответа");
}

// The data pane's menu opens the monitor: it refuses an interval below 100 ms, then polls into
// its list with the test buttons disabled, and gives the port back when stopped.
TEST_F(Win32Form, MonitorPollsIntoItsListWhileTheButtonsWait) {
  Start();
  ::PostMessageW(form_.Form(), WM_COMMAND, TWin32Form::kMenuPane + 1, 0);
  const HWND monitor = form_.OtherWindow(TWin32Monitor::kClassName);
  ASSERT_NE(monitor, nullptr);
  EXPECT_EQ(TFormDriver::Text(monitor), "Мониторинг");
  const auto control = [monitor](int id) { return ::GetDlgItem(monitor, id); };
  const auto set = [&](int id, const wchar_t* text) {
    ::SendMessageW(control(id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
  };
  const auto click = [&](int id) {
    ::SendMessageW(monitor, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                   reinterpret_cast<LPARAM>(control(id)));
  };
  ::SendMessageW(control(TWin32Monitor::kIntegrators), LB_SETSEL, TRUE, 9);  // V1dop
  set(TWin32Monitor::kFirstRegister, L"2090");  // the high word of a counter none writes
  set(TWin32Monitor::kRegisterCount, L"1");
  set(TWin32Monitor::kInterval, L"99");
  click(TWin32Monitor::kStart);
  EXPECT_EQ(TFormDriver::Text(control(TWin32Monitor::kStatus)),
            "Интервал опроса должен быть не меньше 100 мс");
  EXPECT_TRUE(form_.Enabled("Button2"));

  set(TWin32Monitor::kInterval, L"100");
  click(TWin32Monitor::kStart);
  EXPECT_EQ(TFormDriver::Text(control(TWin32Monitor::kStatus)), "");
  EXPECT_FALSE(form_.Enabled("Button2"));
  std::vector<std::vector<std::string>> rows;
  ASSERT_TRUE(TFormDriver::WaitUntil(
      [&] {
        rows = form_.ListRows(control(TWin32Monitor::kValues), 4);
        return rows.size() == 2 && rows[0][1] == "1" && rows[1][1] == "65535";
      },
      5000));
  EXPECT_EQ(rows[0][0], "V1dop");
  EXPECT_EQ(rows[0][2], "M3");
  // The time of the last good read, as a clock reads it: "12:46:48".
  ASSERT_EQ(rows[1][3].size(), 8u);
  EXPECT_EQ(rows[1][3].find_first_not_of("0123456789:"), std::string::npos) << rows[1][3];
  click(TWin32Monitor::kStop);
  EXPECT_TRUE(form_.Enabled("Button2"));
  EXPECT_EQ(TFormDriver::Text(control(TWin32Monitor::kCounters)).rfind("Чтений: ", 0), 0u);
  EXPECT_NE(TFormDriver::Text(control(TWin32Monitor::kCounters)).find("Ошибок: 0"),
            std::string::npos);
  // The plot takes the wheel, and a click gives it the focus; Escape then still closes the
  // monitor, as from anywhere else in it.
  const HWND plot = control(TWin32Monitor::kPlot);
  RECT area{};
  ::GetClientRect(plot, &area);
  POINT screen{area.right / 2, area.bottom / 2};
  ::ClientToScreen(plot, &screen);
  ::SendMessageW(plot, WM_MOUSEWHEEL, MAKEWPARAM(0, WHEEL_DELTA), MAKELPARAM(screen.x, screen.y));
  const LPARAM middle = MAKELPARAM(area.right / 2, area.bottom / 2);
  ::PostMessageW(plot, WM_LBUTTONDOWN, MK_LBUTTON, middle);
  ::PostMessageW(plot, WM_LBUTTONUP, 0, middle);
  ASSERT_TRUE(TFormDriver::WaitUntil([&] { return form_.Focus() == plot; }, 5000));
  form_.PostKey(plot, VK_ESCAPE);
  EXPECT_TRUE(TFormDriver::WaitUntil([&] { return !::IsWindowVisible(monitor); }, 5000));
}

// The monitor's plot, in this program: its picture saved as PNG through GDI+, and copied to the
// clipboard as a bitmap.
TEST(Win32Plot, SavesItsPictureAsPngAndCopiesIt) {
  TWin32Monitor monitor(::GetModuleHandleW(nullptr), nullptr, {}, TLanguage::kEnglish,
                        static_cast<HFONT>(::GetStockObject(DEFAULT_GUI_FONT)));
  ASSERT_TRUE(monitor.Create());
  TPlotSeries volume{"V1, m3", "m3", {}, {}};
  for (int t = 0; t <= 600; t += 10) {
    volume.t.push_back(t);
    volume.y.push_back(1000 + t * 0.01);
  }
  monitor.Plot().SetData({volume}, 600, 0);
  const std::filesystem::path path = std::filesystem::temp_directory_path() / "oxa_plot.png";
  std::filesystem::remove(path);
  EXPECT_EQ(monitor.SavePlot(path.wstring()), "");
  std::string bytes(8, '\0');
  FILE* file = _wfopen(path.wstring().c_str(), L"rb");
  ASSERT_NE(file, nullptr);
  bytes.resize(std::fread(bytes.data(), 1, bytes.size(), file));
  std::fclose(file);
  EXPECT_EQ(bytes, "\x89PNG\r\n\x1a\n");
  std::filesystem::remove(path);
  EXPECT_TRUE(monitor.CopyPlot());
  ASSERT_TRUE(::OpenClipboard(nullptr));
  EXPECT_TRUE(::IsClipboardFormatAvailable(CF_BITMAP));
  ::CloseClipboard();
}

// The data pane's menu opens the archive range window: a range it refuses sends nothing, and
// a few blocks go into the file while the form's buttons wait.
// Each side window opens beside the form, inside the work area, no longer at the screen's top
// left corner over the form.
TEST_F(Win32Form, SideWindowsOpenBesideTheForm) {
  Start();
  RECT form{};
  ASSERT_TRUE(::GetWindowRect(form_.Form(), &form));
  MONITORINFO monitor{};
  monitor.cbSize = sizeof(monitor);
  ASSERT_TRUE(
      ::GetMonitorInfoW(::MonitorFromWindow(form_.Form(), MONITOR_DEFAULTTONEAREST), &monitor));
  const RECT& work = monitor.rcWork;
  const std::array<const wchar_t*, 3> classes = {
      TWin32ExchangeLog::kClassName, TWin32Monitor::kClassName, TWin32ArchiveRange::kClassName};
  for (size_t i = 0; i < classes.size(); ++i) {
    ::PostMessageW(form_.Form(), WM_COMMAND, TWin32Form::kMenuPane + i, 0);
    const HWND side = form_.OtherWindow(classes[i]);
    ASSERT_NE(side, nullptr) << i;
    ASSERT_TRUE(TFormDriver::WaitUntil([&] { return ::IsWindowVisible(side) != FALSE; }, 5000));
    RECT at{};
    ASSERT_TRUE(::GetWindowRect(side, &at));
    // Only a window as large as the work area (the monitor's, on a small screen) fills it.
    const bool fills = at.right - at.left >= work.right - work.left &&
                       at.bottom - at.top >= work.bottom - work.top;
    EXPECT_TRUE(fills || at.left != work.left || at.top != work.top) << i;
    EXPECT_TRUE(at.left >= work.left && at.top >= work.top && at.right <= work.right &&
                at.bottom <= work.bottom)
        << i << ": " << at.left << "," << at.top << " " << at.right << "," << at.bottom;
    EXPECT_EQ(at.top, std::min(form.top, work.bottom - (at.bottom - at.top))) << i;
    if (form.right + (at.right - at.left) <= work.right) {
      EXPECT_EQ(at.left, form.right) << i;
    }
  }
}

TEST_F(Win32Form, ArchiveRangeDownloadsAFewBlocksIntoAFile) {
  using TRange = TWin32ArchiveRange;
  Start();
  ::PostMessageW(form_.Form(), WM_COMMAND, TWin32Form::kMenuPane + 2, 0);
  const HWND range = form_.OtherWindow(TRange::kClassName);
  ASSERT_NE(range, nullptr);
  EXPECT_EQ(TFormDriver::Text(range), "Чтение архива");
  const std::filesystem::path file = std::filesystem::path(program_).parent_path() / L"range.bin";
  const auto start = [&] { ::PostMessageW(::GetDlgItem(range, TRange::kStart), BM_CLICK, 0, 0); };
  const auto outcome = [&] { return TFormDriver::Text(::GetDlgItem(range, TRange::kOutcome)); };
  ::SetDlgItemTextW(range, TRange::kFirst, L"9000");
  ::SetDlgItemTextW(range, TRange::kFile, file.wstring().c_str());
  start();
  EXPECT_TRUE(TFormDriver::WaitUntil(
      [&] { return outcome() == "Номера блоков от 0 до 8191, первый не больше последнего"; }, 3000))
      << outcome();

  ::SetDlgItemTextW(range, TRange::kFirst, L"3");
  ::SetDlgItemTextW(range, TRange::kLast, L"6");
  start();
  const std::string saved = "Архив сохранён: " + Utf8Of(file.wstring());
  ASSERT_TRUE(TFormDriver::WaitUntil([&] { return outcome() == saved; }, 10000)) << outcome();
  EXPECT_TRUE(TFormDriver::WaitUntil([&] { return form_.Enabled("Button2"); }, 2000));
  EXPECT_EQ(::SendDlgItemMessageW(range, TRange::kBar, PBM_GETPOS, 0, 0), 4);
  std::string expected;
  for (uint16_t block = 3; block <= 6; ++block) {
    const auto bytes = sim::TFulDevice::ArchiveBlock(block);
    expected.append(bytes.begin(), bytes.end());
  }
  std::string bytes(expected.size() + 1, '\0');
  const HANDLE in = ::CreateFileW(file.wstring().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(in, INVALID_HANDLE_VALUE);
  DWORD read = 0;
  ::ReadFile(in, bytes.data(), DWORD(bytes.size()), &read, nullptr);
  ::CloseHandle(in);
  bytes.resize(read);
  EXPECT_TRUE(bytes == expected);
  ::DeleteFileW(file.wstring().c_str());
}

// In English from the command line: the ready message, a register read, a failure, the stamp;
// then Russian from the system menu, at once and for the next start.
TEST_F(Win32Form, EnglishFromTheCommandLineAndRussianFromTheSystemMenu) {
  Start(L"--lang en");
  ExpectEnded("Ready:   " + Com(device_com_) + ", 57600 bps", kBlue);
  EXPECT_EQ(form_.Text("Button3"), "Reading registers (arbitrary) (command 16)");
  EXPECT_EQ(form_.Text("GroupBox8"), " Doser control ");
  EXPECT_EQ(form_.Text("CBInt"), "2000 (V1) [float]");

  form_.SetText("Edit3", "2");
  ASSERT_TRUE(form_.Click("Button3"));
  EXPECT_EQ(form_.Lines("MDebug"), Ok({"=Data=", "41 48 00 00 "}));
  ExpectEnded("Closing port " + Com(device_com_), kBlack);

  form_.Choose("CBPort", silent_com_ - 1);
  ASSERT_TRUE(form_.Click("Button2"));
  EXPECT_EQ(form_.Lines("MDebug"), (std::vector<std::string>{"Failed", "ErrCode=2"}));
  ExpectEnded("Closing port " + Com(silent_com_), kBlack);

  form_.Choose("CBPort", device_com_ - 1);
  ASSERT_TRUE(form_.DoubleClick("LStatus"));
  EXPECT_EQ(form_.Text("LStatus"), "9605 2012.05.31");

  ::SendMessageW(form_.Form(), WM_SYSCOMMAND, 0x0110, 0);
  EXPECT_EQ(form_.Text("Button3"), "Чтение регистров  (произв.) (команда 16)");
  EXPECT_EQ(form_.Text("LStatus"), "Готов к работе:   " + Com(device_com_) + ", 57600 bps");
  form_.Stop();
  ASSERT_TRUE(form_.Start(program_));
  EXPECT_EQ(form_.Text("Button2"), "Идентификация устройства (команда 17)");
  ::SendMessageW(form_.Form(), WM_SYSCOMMAND, 0x0120, 0);
  form_.Stop();
  ASSERT_TRUE(form_.Start(program_));
  EXPECT_EQ(form_.Text("Button2"), "Device identification (command 17)");
}

// A port that will not open: the red status, and why in the data pane, as the Qt window says it.
TEST_F(Win32Form, PortThatWillNotOpenSaysWhy) {
  Start();
  form_.Choose("CBPort", 11);
  ASSERT_TRUE(form_.Click("Button3"));
  ExpectEnded("Не удалось открыть порт COM12", kRed);
  ToxaComPort port;
  port.SetComPort(12);
  ASSERT_FALSE(port.Open());
  std::string pane;
  for (const std::string& line : form_.Lines("MDebug")) pane += (pane.empty() ? "" : " ") + line;
  EXPECT_EQ(pane, PortFailureText(port.OpenError(), "COM12", port.DeviceName(), SettingsFile(),
                                  TLanguage::kRussian));
  EXPECT_EQ(form_.Text("EQuery"), "");
}

// The [Ports] section leads a COM number to another port by its name, by its device path, or
// to a serial device server.
TEST_F(Win32Form, PortsSectionLeadsComNumbersElsewhere) {
  Start();
  for (int com : {9, 10, 11}) {
    form_.Choose("CBPort", com - 1);
    ASSERT_TRUE(form_.Click("Button2"));
    EXPECT_EQ(form_.Lines("MDebug"), Ok({"ID = FUL-05.08 Дозатор"})) << com;
    ExpectEnded("Закрытие порта " + Com(com), kBlack);
  }
}

// --virtual-device: a device served inside the program, on every port of the list.
TEST_F(Win32Form, VirtualDeviceAnswersOnEveryPort) {
  Start(L"--virtual-device");
  EXPECT_EQ(TFormDriver::Text(form_.Form()), VirtualDeviceCaption(kFormCaption));
  form_.Choose("CBPort", 15);
  ASSERT_TRUE(form_.Click("Button2"));
  EXPECT_EQ(form_.Lines("MDebug"), Ok({"ID = FUL-05.08 virtual device"}));
  ExpectEnded("Закрытие порта COM16", kBlack);
}

// ---- The status line, the keys, messages ----------------------------------------------------

TEST_F(Win32Form, DoubleClickOnTheStatusLineReadsTheStamp) {
  Start();
  ASSERT_TRUE(form_.DoubleClick("LStatus"));
  EXPECT_EQ(form_.Text("LStatus"), "9605 2012.05.31");
  ExpectInk("LStatus", kBlack);
}

// Escape wherever the focus is, and "Выход", close the window and end the program.
TEST_F(Win32Form, EscapeClosesTheWindowAsExitDoes) {
  for (const char* target : {"", "MDebug", "FEDoza", "Button1"}) {
    Start();
    if (std::string_view(target) == "Button1") {
      form_.PostClick(target);
    } else {
      form_.PostKey(*target ? form_.Control(target) : form_.Focus(), VK_ESCAPE);
    }
    EXPECT_TRUE(form_.WaitForExit(5000)) << target;
  }
}

// Escape with the port list dropped down closes the list, as everywhere in Windows, and leaves
// the window open; the next Escape closes the window.
TEST_F(Win32Form, EscapeClosesAnOpenListFirst) {
  Start();
  const HWND list = form_.Control("CBPort");
  const auto dropped = [&] {
    DWORD_PTR state = 0;
    ::SendMessageTimeoutW(list, CB_GETDROPPEDSTATE, 0, 0, SMTO_ABORTIFHUNG, 5000, &state);
    return state != 0;
  };
  RECT at{};
  ::GetClientRect(list, &at);
  ::PostMessageW(list, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(at.right / 2, at.bottom / 2));
  ::PostMessageW(list, WM_LBUTTONUP, 0, MAKELPARAM(at.right / 2, at.bottom / 2));
  ASSERT_TRUE(TFormDriver::WaitUntil(dropped, 5000));
  form_.PostKey(form_.Focus(), VK_ESCAPE);
  EXPECT_TRUE(TFormDriver::WaitUntil([&] { return !dropped(); }, 5000));
  EXPECT_FALSE(form_.WaitForExit(500));
  form_.PostKey(form_.Focus(), VK_ESCAPE);
  EXPECT_TRUE(form_.WaitForExit(5000));
}

// A click into the dose's edit leaves its arrows drawn.
TEST_F(Win32Form, DoseArrowsStayDrawnWhenTheEditIsClicked) {
  Start();
  const HWND dose = form_.Control("FEDoza");
  const HWND arrows = ::FindWindowExW(dose, nullptr, UPDOWN_CLASSW, nullptr);
  ASSERT_NE(arrows, nullptr);
  std::vector<uint32_t> drawn;
  ASSERT_TRUE(TFormDriver::WaitUntil(
      [&] {
        const std::vector<uint32_t> now = TFormDriver::Pixels(arrows);
        const bool settled = !now.empty() && now == drawn;
        drawn = now;
        return settled;
      },
      5000));
  ::PostMessageW(dose, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(4, 4));
  ::PostMessageW(dose, WM_LBUTTONUP, 0, MAKELPARAM(4, 4));
  ASSERT_TRUE(TFormDriver::WaitUntil([&] { return form_.Focus() == dose; }, 5000));
  ASSERT_TRUE(form_.Responds(5000));
  ::Sleep(300);
  EXPECT_TRUE(TFormDriver::WaitUntil([&] { return TFormDriver::Pixels(arrows) == drawn; }, 2000));
}

// The data pane's menu selects its whole text, also as another program chooses the entry.
TEST_F(Win32Form, PaneMenuSelectsAll) {
  Start();
  ASSERT_TRUE(form_.Click("Button2"));
  const HWND pane = form_.Control("MDebug");
  const auto length = LRESULT(WideOf(form_.Text("MDebug")).size());
  ASSERT_GT(length, 0);
  ::PostMessageW(form_.Form(), WM_COMMAND, TWin32Form::kMenuSelectAll, 0);
  // The selection's ends come back in the answer's two halves (the text is short).
  EXPECT_TRUE(TFormDriver::WaitUntil(
      [&] { return ::SendMessageW(pane, EM_GETSEL, 0, 0) == MAKELRESULT(0, length); }, 5000));
  EXPECT_EQ(form_.Focus(), pane);
}

// The dose's edit: the arrow keys step it, letters are dropped, and leaving it with a value out
// of its range brings back the value it had when it was entered and keeps the focus in it.
TEST_F(Win32Form, DoseEditKeepsItsRules) {
  Start();
  const HWND dose = form_.Control("FEDoza");
  ::PostMessageW(dose, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(4, 4));
  ::PostMessageW(dose, WM_LBUTTONUP, 0, MAKELPARAM(4, 4));
  ASSERT_TRUE(TFormDriver::WaitUntil([&] { return form_.Focus() == dose; }, 5000));
  form_.PostKey(dose, VK_UP);
  ASSERT_TRUE(
      TFormDriver::WaitUntil([&] { return form_.Text("FEDoza") == "1" + Sep() + "0"; }, 5000))
      << form_.Text("FEDoza");
  ::PostMessageW(dose, EM_SETSEL, 0, -1);
  for (const wchar_t c : std::wstring(L"7x000")) ::PostMessageW(dose, WM_CHAR, c, 1);
  ASSERT_TRUE(TFormDriver::WaitUntil([&] { return form_.Text("FEDoza") == "7000"; }, 5000))
      << form_.Text("FEDoza");
  form_.PostKey(dose, VK_TAB);
  EXPECT_TRUE(
      TFormDriver::WaitUntil([&] { return form_.Text("FEDoza") == "0" + Sep() + "0"; }, 5000))
      << form_.Text("FEDoza");
  EXPECT_TRUE(TFormDriver::WaitUntil([&] { return form_.Focus() == dose; }, 5000));
}

// A message the window shows does not hold it up: here the settings file is a folder, which the
// window says once it is up, and a test runs to its end while the message waits to be read.
TEST_F(Win32Form, MessageDoesNotHoldUpATest) {
  const std::wstring settings = WideOf(SettingsFile());
  ::DeleteFileW(settings.c_str());
  ASSERT_TRUE(::CreateDirectoryW(settings.c_str(), nullptr));
  const bool started = form_.Start(program_);
  HWND box = nullptr;
  if (started) {
    TFormDriver::WaitUntil(
        [&] {
          box = ::FindWindowW(L"#32770", WideOf(kFormCaption).c_str());
          return box != nullptr;
        },
        5000);
  }
  ::RemoveDirectoryW(settings.c_str());
  ASSERT_TRUE(started);
  ASSERT_NE(box, nullptr);
  // The settings file's values are not read: the form starts with the design's.
  form_.Choose("CBPort", device_com_ - 1);
  form_.SetText("Edit1", "1");
  ASSERT_TRUE(form_.Click("Button2"));
  EXPECT_EQ(form_.Lines("MDebug"), Ok({"ID = FUL-05.08 Дозатор"}));
  EXPECT_TRUE(::IsWindow(box));
  ::PostMessageW(box, WM_COMMAND, IDOK, 0);
  EXPECT_TRUE(TFormDriver::WaitUntil([&] { return !::IsWindow(box); }, 5000));
}

}  // namespace
}  // namespace oxa::win32
