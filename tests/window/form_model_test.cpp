// The form model with a fake view and no toolkit, against its own virtual device in memory: the
// pattern of the test and doser buttons, the settings file, the virtual device mode, the port
// that will not open, what the user does while a test runs, and the command line.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "protocols/oxaModBusProtocol.h"
#include "serial/OxaUtils.h"
#include "window/FormModel.h"

namespace oxa {
namespace {

using TStatus = std::pair<std::string, TStatusColour>;
constexpr auto kBlack = TStatusColour::kBlack;
constexpr auto kBlue = TStatusColour::kBlue;
constexpr auto kRed = TStatusColour::kRed;

// The form as a view shows it, in plain members, checked to be touched from the window's
// thread only. Disabling the focused control moves the focus on, as toolkits do.
class TFakeView final : public IFormView {
 public:
  TFakeView() {
    index.fill(-1);
    enabled.fill(true);
  }

  std::string Caption() const override { return caption; }
  void SetCaption(std::string_view text) override { caption = Touch(text); }
  std::string DecimalSeparator() const override { return ","; }
  void SetItems(TControl list, const std::vector<std::string>& texts) override {
    items[At(list)] = texts;
  }
  void SetItemIndex(TControl list, int i) override {
    index[At(list)] = i >= 0 && size_t(i) < items[size_t(list)].size() ? i : -1;
  }
  int ItemIndex(TControl list) const override { return index[size_t(list)]; }
  void SetItemHints(TControl list, const std::vector<std::string>& texts) override {
    item_hints[At(list)] = texts;
  }
  void SetHint(TControl control, std::string_view text) override { hints[At(control)] = text; }
  void SetNumberRange(TControl field, const TNumberRange& range) override {
    ranges[At(field)] = range;
  }
  void SetNumber(TControl field, long double value) override {
    numbers[At(field)] = std::clamp(value, ranges[size_t(field)].min, ranges[size_t(field)].max);
  }
  long double Number(TControl field) const override { return numbers[size_t(field)]; }
  void SetText(TControl control, std::string_view text) override { texts[At(control)] = text; }
  void SetLines(TControl pane, const std::vector<std::string>& text) override {
    At(pane);
    lines = text;
  }
  void SetDesignCaption(std::string_view name, std::string_view text) override {
    captions[std::string(name)] = Touch(text);
  }
  void SetStatus(std::string_view text, TStatusColour colour) override {
    statuses.emplace_back(Touch(text), colour);
    enabled_at_status.push_back(enabled[size_t(TControl::kButton2)]);
  }
  void SetEnabled(TControl control, bool on) override {
    enabled[At(control)] = on;
    if (!on && focus == control) focus = TControl(size_t(control) + 1);
  }
  std::optional<TControl> FocusedControl() const override { return focus; }
  void SetFocus(TControl control) override { focus = control; }
  void ShowMessage(std::string_view text) override { messages.emplace_back(Touch(text)); }
  void RunOnWorker(const std::function<void()>& work) override {
    std::atomic<bool> done = false;
    std::thread worker([&] {
      work();
      done = true;
    });
    // The window goes on taking events while the work runs.
    if (while_working && !done) {
      auto events = std::exchange(while_working, nullptr);
      events();
    }
    worker.join();
  }
  void ShowExchangeLog() override { shown.push_back(TPaneCommand::kExchangeLog); }
  void ShowMonitor() override { shown.push_back(TPaneCommand::kMonitor); }
  void ShowArchiveRange() override { shown.push_back(TPaneCommand::kArchiveRange); }
  void Close() override {
    ++close_requests;
    if (model && model->FormCloseQuery()) {
      model->FormClose();
      closed = true;
    }
  }

  TFormModel* model = nullptr;
  std::string caption = "FUL 05.03 Modbus test";
  std::array<std::vector<std::string>, kControlCount> items, item_hints;
  std::array<int, kControlCount> index{};
  std::array<std::string, kControlCount> hints, texts;
  std::array<TNumberRange, kControlCount> ranges{};
  std::array<long double, kControlCount> numbers{};
  std::array<bool, kControlCount> enabled{};
  std::vector<std::string> lines, messages;
  std::map<std::string, std::string> captions;
  std::vector<TStatus> statuses;
  std::vector<bool> enabled_at_status;  // Button2 enabled when each status was shown
  std::optional<TControl> focus;
  std::function<void()> while_working;  // events of the user during the next work
  std::vector<TPaneCommand> shown;      // the other windows shown, in order
  int close_requests = 0;
  bool closed = false;
  const std::thread::id window_thread = std::this_thread::get_id();

 private:
  size_t At(TControl control) const {
    EXPECT_EQ(std::this_thread::get_id(), window_thread) << "a control touched off its thread";
    return size_t(control);
  }
  std::string Touch(std::string_view text) const {
    At(TControl::kLStatus);
    return std::string(text);
  }
};

// A path of the running test's own: the tests may run side by side.
std::string TempPath(const std::string& name) {
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  return ::testing::TempDir() + "form_model_" + (test != nullptr ? test->name() : "") + "_" + name;
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// A form on its own settings file `ini` (none when empty), created as a view creates it.
struct TForm {
  explicit TForm(const std::string& ini, TWindowOptions options = VirtualDevice(),
                 const std::string& name = "form.ini")
      : path(TempPath(name)) {
    std::filesystem::remove_all(path);
    if (!ini.empty()) WriteFile(path, ini);
    model = std::make_unique<TFormModel>(view, path, std::move(options));
    view.model = model.get();
    model->FormCreate();
  }
  static TWindowOptions VirtualDevice() {
    TWindowOptions options;
    options.virtual_device = true;
    return options;
  }
  void Edit(const std::function<void(sim::TFulDevice&)>& change) {
    model->VirtualDevice()->Edit(change);
  }
  void Click(TControl button) {
    view.statuses.clear();
    view.enabled_at_status.clear();
    model->Click(button);
  }

  std::string path;
  TFakeView view;
  std::unique_ptr<TFormModel> model;
};

std::string Frame(std::span<const uint8_t> bytes) {
  return HexBytes(bytes);
}
std::string ReadFrame(uint8_t fn, uint16_t start, uint16_t count) {
  std::array<uint8_t, 8> f{};
  BuildReadRequest(f, 1, fn, start, count);
  return Frame(f);
}
std::string WriteFrame(uint16_t reg, uint16_t value) {
  std::array<uint8_t, 8> f{};
  BuildWriteSingleRequest(f, 1, reg, value);
  return Frame(f);
}

// --- The pattern of the test and doser buttons ----------------------------------------------

TEST(FormModel, EveryButtonFollowsThePattern) {
  struct Row {
    const char* name;
    TControl button;
    std::function<void(TForm&)> before;
    std::vector<std::string> lines;
    std::string request;
  };
  const auto number = [](TControl field, long double value) {
    return [=](TForm& f) { f.view.numbers[size_t(field)] = value; };
  };
  const auto reg = [](uint16_t r, uint16_t value) {
    return [=](TForm& f) { f.Edit([&](auto& d) { d.SetHoldingRegister(r, value); }); };
  };
  const std::vector<Row> rows = {
      {"identification",
       TControl::kButton2,
       nullptr,
       {"OK", "ID = FUL-05.08 virtual device"},
       "01 11 C0 2C "},
      {"registers",
       TControl::kButton3,
       [](TForm& f) {
         f.Edit([](auto& d) {
           for (uint16_t r = 0; r < 10; ++r) d.SetHoldingRegister(r, r + 1);
         });
         f.view.numbers[size_t(TControl::kUDNumReg)] = 10;
       },
       {"OK", "=Данные=", "00 01 00 02 00 03 00 04 00 05 00 06 00 07 00 08 ", "00 09 00 0A "},
       "01 03 00 00 00 0A C5 CD "},
      {"integrator, the view's separator",
       TControl::kButton4,
       [](TForm& f) {
         f.Edit([](auto& d) { d.SetRegisterU32(2020, 0x3F800000u); });
         f.view.index[size_t(TControl::kCBInt)] = 9;
       },
       {"OK", "Raw: 3F 80 00 00 ", "V1dop =     1,000000 M3"},
       ReadFrame(3, 2020, 4)},
      {"archive block",
       TControl::kButton5,
       number(TControl::kUDArc, 8191),
       {},
       ReadFrame(0x41, 8191, 1)},
      {"dose read",
       TControl::kButton6,
       reg(2201, 12345),
       {"OK", "=Данные=", "30 39"},
       ReadFrame(3, 2201, 1)},
      {"dose written in tenths",
       TControl::kButton7,
       number(TControl::kFEDoza, 6553.5L),
       {"OK"},
       WriteFrame(2201, 65535)},
      {"start", TControl::kButton8, nullptr, {"OK"}, WriteFrame(2202, 1)},
      {"pause", TControl::kButton9, nullptr, {"OK"}, WriteFrame(2202, 2)},
      {"stop", TControl::kButton10, nullptr, {"OK"}, WriteFrame(2202, 0)},
      {"reset", TControl::kButton11, nullptr, {"OK"}, WriteFrame(2203, 1)},
      {"doser state",
       TControl::kButton12,
       reg(2202, 2),
       {"OK", "=Данные=", "00 02", "Состояние дозатора: пауза"},
       ReadFrame(3, 2202, 1)},
      {"refused request",
       TControl::kButton3,
       [](TForm& f) {
         f.view.numbers[size_t(TControl::kUDStart)] = 9000;
         f.view.numbers[size_t(TControl::kUDNumReg)] = 1;
       },
       {"Failed", "ErrCode=7", "Исключение 02: недопустимый адрес данных"},
       "before"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TForm form("[Signature]\nBaud=2\n");
    if (row.before) row.before(form);
    form.view.texts[size_t(TControl::kEQuery)] = "before";
    form.Click(row.button);
    std::vector<TStatus> statuses = {{"Открытие порта COM1", kBlack}};
    if (row.button != TControl::kButton2) statuses.emplace_back("Отправка запроса ", kBlue);
    statuses.emplace_back("Закрытие порта COM1", kBlack);
    EXPECT_EQ(form.view.statuses, statuses);
    // Disabled from the first status to the last, enabled afterwards.
    EXPECT_EQ(form.view.enabled_at_status, std::vector<bool>(statuses.size(), false));
    for (const TControl b : kTestButtons) EXPECT_TRUE(form.view.enabled[size_t(b)]);
    if (row.button == TControl::kButton5) {
      ASSERT_EQ(form.view.lines.size(), 11u);
      EXPECT_EQ(form.view.lines[2], HexLines(sim::TFulDevice::ArchiveBlock(8191))[0]);
    } else {
      EXPECT_EQ(form.view.lines, row.lines);
    }
    EXPECT_EQ(form.view.texts[size_t(TControl::kEQuery)], row.request);
    EXPECT_FALSE(form.model->oxaComPort.Opened());
    EXPECT_EQ(form.model->oxaComPort.BaudRate(), 57600u);
    if (row.button == TControl::kButton6) {
      EXPECT_EQ(form.view.numbers[size_t(TControl::kFEDoza)], 1234.5L);
    }
    if (row.button == TControl::kButton7) {
      uint16_t stored = 0;
      form.Edit([&](auto& d) { stored = d.HoldingRegister(2201); });
      EXPECT_EQ(stored, 65535);
    }
  }
}

TEST(FormModel, SilentDeviceKeepsRequestLineAndDose) {
  TForm form("[Signature]\nBaud=2\nNetAddr=1\n");
  form.view.texts[size_t(TControl::kEQuery)] = "01 03 ";
  form.view.numbers[size_t(TControl::kFEDoza)] = 12.5L;
  form.Edit([](auto& d) { d.NoAnswerToNext(3); });
  form.Click(TControl::kButton6);
  EXPECT_EQ(form.view.lines, (std::vector<std::string>{"Failed", "ErrCode=2"}));
  EXPECT_EQ(form.view.texts[size_t(TControl::kEQuery)], "01 03 ");
  EXPECT_EQ(form.view.numbers[size_t(TControl::kFEDoza)], 12.5L);
  EXPECT_EQ(form.view.statuses.back(), TStatus("Закрытие порта COM1", kBlack));
}

TEST(FormModel, PortThatWillNotOpenSaysWhy) {
  const std::string absent = TempPath("absent-adapter");
  struct Row {
    const char* name;
    std::string ini;
    std::string port;
    std::string reason;  // the start of the data pane's text
  };
  const Row rows[] = {
      {"no port chosen", "[Signature]\nPort=0\n", "", "Порт не выбран: выберите порт в списке."},
      {"missing device", "[Signature]\nPort=2\n[Ports]\nCOM2=" + absent + "\n", "COM2",
       "Устройство " + absent + " не найдено."},
      {"malformed mapping", "[Signature]\nPort=2\n[Ports]\nCOM2=/dev/ttyUSB0 rs458\n", "COM2",
       "Неверная запись COM2=/dev/ttyUSB0 rs458 в разделе [Ports]"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TForm form(row.ini, {});
    form.view.lines = {"before"};
    form.Click(TControl::kButton4);
    EXPECT_EQ(form.view.statuses,
              (std::vector<TStatus>{{"Открытие порта " + row.port, kBlack},
                                    {"Не удалось открыть порт " + row.port, kRed}}));
    std::string pane;
    for (const std::string& line : form.view.lines) {
      EXPECT_LE(line.size(), 50u * 2);  // at most 50 characters, Cyrillic ones two bytes each
      pane += (pane.empty() ? "" : " ") + line;
    }
    EXPECT_EQ(pane.substr(0, row.reason.size()), row.reason) << pane;
    EXPECT_TRUE(form.view.texts[size_t(TControl::kEQuery)].empty());
    for (const TControl b : kTestButtons) EXPECT_TRUE(form.view.enabled[size_t(b)]);
  }
}

// --- The stamp on the status line ------------------------------------------------------------

TEST(FormModel, StampIsShownOrNothingIs) {
  struct Row {
    const char* name;
    std::string ini;
    std::string id;
    std::vector<TStatus> statuses;
  };
  const Row rows[] = {
      {"stamp", "", "FUL-05.08", {{"0007 2012.05.31", kBlack}}},
      {"no FUL, no read", "", "ZEB-106", {}},
      {"port that does not open", "[Signature]\nPort=0\n", "FUL-05.08", {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TForm form(row.ini);
    form.Edit([&](auto& d) {
      d.Set10xIdentification(row.id);
      d.SetStamp(7, 2012, 5, 31);
    });
    form.view.statuses.clear();
    form.model->LStatusDblClick();
    EXPECT_EQ(form.view.statuses, row.statuses);
    for (const TControl b : kTestButtons) EXPECT_TRUE(form.view.enabled[size_t(b)]);
    EXPECT_FALSE(form.model->oxaComPort.Opened());
  }
}

// --- While a test runs ---------------------------------------------------------------------

// Other buttons and the stamp wait; Escape closes the window once the test has ended; the focus
// comes back to the button pressed, unless the user put it elsewhere.
TEST(FormModel, EventsDuringATest) {
  struct Row {
    const char* name;
    std::function<void(TForm&)> during;
    std::optional<TControl> focus_after;
    bool closed;
  };
  const Row rows[] = {
      {"nothing", nullptr, TControl::kButton3, false},
      {"second test and stamp ignored",
       [](TForm& f) {
         f.model->Click(TControl::kButton2);
         f.model->LStatusDblClick();
       },
       TControl::kButton3, false},
      {"focus moved by the user", [](TForm& f) { f.view.focus = TControl::kUDNumReg; },
       TControl::kUDNumReg, false},
      {"escape, other keys left to the controls",
       [](TForm& f) {
         EXPECT_FALSE(f.model->FormKeyDown(13));
         EXPECT_FALSE(f.model->FormKeyDown(kKeyL));
         EXPECT_TRUE(f.model->FormKeyDown(kKeyEscape));
       },
       TControl::kButton3, true},
      {"the log and the monitor open during a test",
       [](TForm& f) {
         EXPECT_TRUE(f.model->FormKeyDown(kKeyL, true));
         EXPECT_TRUE(f.model->FormKeyDown(kKeyM, true));
         f.model->PaneCommand(TPaneCommand::kArchiveRange);
         EXPECT_EQ(f.view.shown,
                   (std::vector<TPaneCommand>{TPaneCommand::kExchangeLog, TPaneCommand::kMonitor,
                                              TPaneCommand::kArchiveRange}));
       },
       TControl::kButton3, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TForm form("[Signature]\nBaud=2\n");
    form.view.numbers[size_t(TControl::kUDNumReg)] = 1;
    form.view.focus = TControl::kButton3;
    bool busy_during = false;
    form.view.while_working = [&] {
      busy_during = form.model->TestRunning();
      const size_t before = form.view.statuses.size();
      if (row.during) row.during(form);
      EXPECT_EQ(form.view.statuses.size(), before);
      EXPECT_FALSE(form.view.closed);
    };
    form.Click(TControl::kButton3);
    EXPECT_TRUE(busy_during);
    EXPECT_FALSE(form.model->TestRunning());
    EXPECT_EQ(form.view.lines.front(), "OK");
    EXPECT_EQ(form.view.focus, row.focus_after);
    EXPECT_EQ(form.view.closed, row.closed);
  }
}

// --- The exchange log and long work --------------------------------------------------------

// Every exchange of the buttons and the stamp is logged with the port's lines, whether the
// log's window is shown or not.
TEST(FormModel, ExchangeLogRecordsEveryExchange) {
  TForm form("[Signature]\nBaud=2\nNetAddr=1\n");
  form.view.numbers[size_t(TControl::kUDNumReg)] = 2;
  form.Click(TControl::kButton3);
  form.Edit([](auto& d) { d.NoAnswerToNext(3); });
  form.Click(TControl::kButton3);
  form.Edit([](auto& d) { d.SetStamp(7, 2012, 5, 31); });
  form.model->LStatusDblClick();
  form.view.index[size_t(TControl::kCBPort)] = -1;
  form.Click(TControl::kButton3);

  const TLogSnapshot log = form.model->ExchangeLog().Snapshot();
  std::vector<std::string> rows;
  for (const TLogRow& row : log.rows) {
    const auto cells = LogRowCells(row, TLanguage::kEnglish);
    rows.push_back(cells[1] + "|" + cells[3].substr(0, cells[3].find(',')) + "|" + cells[4]);
  }
  const std::string port = "COM1 (" + form.model->VirtualDevice()->DevicePath() + ")";
  const std::string read = "Modbus addr 1 fn 3 read holding registers";
  const std::vector<std::string> expected = {
      "|" + port + "|port opened", "TX|" + read + "|checksum good", "RX|" + read + "|checksum good",
      "|" + port + "|port closed",
      // Silent: the request goes out three times, each without an answer.
      "|" + port + "|port opened", "TX|" + read + "|checksum good", "||no answer",
      "TX|" + read + "|checksum good", "||no answer", "TX|" + read + "|checksum good",
      "||no answer", "|" + port + "|port closed",
      // The stamp, in the 10x protocol.
      "|" + port + "|port opened"};
  ASSERT_GE(rows.size(), expected.size() + 3);
  EXPECT_EQ(std::vector<std::string>(rows.begin(), rows.begin() + ptrdiff_t(expected.size())),
            expected);
  EXPECT_EQ(rows[expected.size()].substr(0, 7), "TX|10x ") << rows[expected.size()];
  EXPECT_EQ(rows[expected.size() + 1].substr(0, 7), "RX|10x ") << rows[expected.size() + 1];
  // No port chosen: the failure and its reason.
  EXPECT_EQ(log.rows.back().kind, TLogRowKind::kPortFailed);
  EXPECT_NE(log.rows.back().meaning.find("Порт не выбран"), std::string::npos);
  // The stamp is two exchanges: the identification, then the stamp's record.
  EXPECT_EQ(log.counters.requests, 6u);
  EXPECT_EQ(log.counters.good_answers, 3u);
  EXPECT_EQ(log.counters.timeouts, 3u);

  form.model->SetLogRecording(false);
  form.view.index[size_t(TControl::kCBPort)] = 0;
  form.Click(TControl::kButton3);
  EXPECT_EQ(form.model->ExchangeLog().Snapshot().next_number, log.next_number);
}

// Long work holds the port as a test does, until it ends or the window closes.
TEST(FormModel, LongWorkHoldsThePort) {
  TForm form("[Signature]\nPort=2\nBaud=1\nNetAddr=1\n");
  int stops = 0;
  ASSERT_TRUE(form.model->BeginLongWork([&] {
    ++stops;
    form.model->EndLongWork();
  }));
  EXPECT_TRUE(form.model->LongWorkRunning());
  EXPECT_FALSE(form.model->BeginLongWork([] {}));
  EXPECT_EQ(form.model->oxaComPort.ComPort(), 2);
  EXPECT_EQ(form.model->oxaComPort.BaudRate(), 19200u);
  for (const TControl b : kTestButtons) EXPECT_FALSE(form.view.enabled[size_t(b)]);
  form.Click(TControl::kButton2);
  form.model->LStatusDblClick();
  EXPECT_TRUE(form.view.statuses.empty());

  ASSERT_TRUE(form.model->OpenPort());
  const TRegisterRead read = ReadRegisters(form.model->Ful0508, 0, 1);
  form.model->AfterExchange();
  EXPECT_EQ(read.code, TOxaError::kOk);
  // The window closes: the long work is stopped first, and the port is closed.
  form.model->Click(TControl::kButton1);
  EXPECT_TRUE(form.view.closed);
  EXPECT_EQ(stops, 1);
  EXPECT_FALSE(form.model->LongWorkRunning());
  EXPECT_FALSE(form.model->oxaComPort.Opened());
  for (const TControl b : kTestButtons) EXPECT_TRUE(form.view.enabled[size_t(b)]);
  EXPECT_EQ(form.model->ExchangeLog().Snapshot().rows.back().kind, TLogRowKind::kPortClosed);
}

// --- The settings file ----------------------------------------------------------------------

TEST(FormModel, StartsFromTheSettingsFile) {
  struct Row {
    const char* name;
    std::string ini;
    std::string ready;
    int address;
  };
  const Row rows[] = {
      {"no file", "", "Готов к работе:   COM1, 9600 bps", 0},
      {"stored values", "[Signature]\nPort=3\nBaud=2\nNetAddr=17\n",
       "Готов к работе:   COM3, 57600 bps", 17},
      {"speed out of list", "[Signature]\nBaud=5\n", "Готов к работе:   COM1,  bps", 0},
      {"port out of list", "[Signature]\nPort=17\n", "Готов к работе:   , 9600 bps", 0},
      {"address clamped", "[Signature]\nNetAddr=300\n", "Готов к работе:   COM1, 9600 bps", 127},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TForm form(row.ini, {});
    EXPECT_EQ(form.view.statuses, (std::vector<TStatus>{{row.ready, kBlue}}));
    EXPECT_EQ(form.view.numbers[size_t(TControl::kSENetAddr)], row.address);
    EXPECT_EQ(form.view.items[size_t(TControl::kCBPort)].size(), 16u);
    EXPECT_EQ(form.view.index[size_t(TControl::kCBInt)], 0);
    EXPECT_EQ(form.view.ranges[size_t(TControl::kSENetAddr)].max_chars, 4u);
    EXPECT_EQ(form.view.ranges[size_t(TControl::kFEDoza)].decimals, 1);
    form.model->FormShow();
    EXPECT_TRUE(form.view.messages.empty());
  }
}

// --lang over the settings file over Russian; a choice made in the window changes what it
// shows at once and is kept for the next start.
TEST(FormModel, SpeaksTheChosenLanguage) {
  struct Row {
    const char* name;
    std::string ini;
    std::optional<TLanguage> option;
    const char* button2;
  };
  const Row rows[] = {
      {"default", "", std::nullopt, "Идентификация устройства (команда 17)"},
      {"settings file", "[Window]\nLanguage=en\n", std::nullopt,
       "Device identification (command 17)"},
      {"unknown in the file", "[Window]\nLanguage=de\n", std::nullopt,
       "Идентификация устройства (команда 17)"},
      {"command line first", "[Window]\nLanguage=en\n", TLanguage::kRussian,
       "Идентификация устройства (команда 17)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TWindowOptions options;
    options.language = row.option;
    TForm form(row.ini, options);
    EXPECT_EQ(form.view.captions["Button2"], row.button2);
    EXPECT_EQ(form.view.captions.size(), 24u);
  }

  TForm form("[Signature]\nPort=2\n");
  form.view.index[size_t(TControl::kCBInt)] = 16;
  form.model->SetLanguage(TLanguage::kEnglish);
  EXPECT_EQ(form.view.captions["GroupBox6"], " Tests ");
  EXPECT_EQ(form.view.captions["Button1"], "Exit");
  EXPECT_EQ(form.view.caption, "FUL 05.03 Modbus test — virtual device");
  EXPECT_EQ(form.view.statuses.back(), TStatus("Ready:   COM2, 9600 bps", kBlue));
  EXPECT_EQ(form.view.items[size_t(TControl::kCBInt)][16], "2040 (Tnar1) [long]");
  EXPECT_EQ(form.view.index[size_t(TControl::kCBInt)], 16);
  EXPECT_EQ(ReadFile(form.path), "[Signature]\nPort=2\n\n[Window]\nLanguage=en\n");

  form.Edit([](auto& d) { d.SetHoldingRegister(2202, 1); });
  form.Click(TControl::kButton12);
  EXPECT_EQ(form.view.lines,
            (std::vector<std::string>{"OK", "=Data=", "00 01", "Doser state: running"}));
  EXPECT_EQ(form.view.statuses.front(), TStatus("Opening port COM2", kBlack));
  EXPECT_EQ(form.view.statuses.back(), TStatus("Closing port COM2", kBlack));
}

TEST(FormModel, PortChoiceIsStoredAtOnce) {
  TForm form("; mine\r\n[Signature]\r\nBaud=1\r\n", {});
  form.view.index[size_t(TControl::kCBPort)] = 2;
  form.model->CBPortChange();
  EXPECT_EQ(ReadFile(form.path), "; mine\r\n[Signature]\r\nBaud=1\r\nPort=3\r\n");
  EXPECT_EQ(form.view.hints[size_t(TControl::kCBPort)],
            form.view.item_hints[size_t(TControl::kCBPort)][2]);
  EXPECT_TRUE(form.view.messages.empty());
}

// A side window opens beside the form until the user moves it; where it was left is kept in the
// settings file for the next run, and a damaged place there is ignored.
TEST(FormModel, SideWindowsOpenWhereTheUserLeftThem) {
  const TScreenRect form_at{400, 300, 1000, 800}, area{0, 0, 1920, 1040};
  TForm form("[Window]\nMonitorPos=zz\n", {});
  const auto place = [&](TSideWindow window) {
    return form.model->SideWindowPlace(window, form_at, 600, 400, area);
  };
  EXPECT_EQ(place(TSideWindow::kMonitor), (TScreenPoint{1000, 300}));
  form.model->SideWindowMoved(TSideWindow::kMonitor, {1000, 300});  // closed where it opened
  EXPECT_EQ(ReadFile(form.path), "[Window]\nMonitorPos=zz\n");
  form.model->SideWindowMoved(TSideWindow::kMonitor, {20, 30});
  form.model->SideWindowMoved(TSideWindow::kExchangeLog, {40, 50});
  EXPECT_EQ(place(TSideWindow::kMonitor), (TScreenPoint{20, 30}));
  EXPECT_EQ(ReadFile(form.path), "[Window]\nMonitorPos=20,30\nLogPos=40,50\n");
  TForm next(ReadFile(form.path), {});
  EXPECT_EQ(next.model->SideWindowPlace(TSideWindow::kExchangeLog, form_at, 600, 400, area),
            (TScreenPoint{40, 50}));
  EXPECT_EQ(next.model->SideWindowPlace(TSideWindow::kArchiveRange, form_at, 600, 400, area),
            (TScreenPoint{1000, 300}));
}

TEST(FormModel, UnwritableSettingsFileIsReported) {
  TForm form("", {}, "missing-folder/form.ini");
  form.view.index[size_t(TControl::kCBPort)] = 1;
  form.model->CBPortChange();
  EXPECT_EQ(form.view.messages, std::vector<std::string>{"Unable to write to " + form.path});
}

// A folder, or a file above 1 MiB, at the settings path: the defaults, one message when the
// window shows, and the file left as it was when a port is chosen.
TEST(FormModel, SettingsFileLeftAlone) {
  for (const bool big : {false, true}) {
    SCOPED_TRACE(big ? "oversize" : "folder");
    const std::string path = TempPath("refused.ini");
    std::filesystem::remove_all(path);
    const std::string text = "[Signature]\nPort=3\n" + std::string(big ? 2 << 20 : 0, ';');
    if (big) {
      WriteFile(path, text);
    } else {
      std::filesystem::create_directory(path);
    }
    TFakeView view;
    TFormModel model(view, path);
    model.FormCreate();
    EXPECT_EQ(view.statuses.front().first, "Готов к работе:   COM1, 9600 bps");
    model.FormShow();
    model.FormShow();
    ASSERT_EQ(view.messages.size(), 1u);
    EXPECT_NE(view.messages[0].find(path), std::string::npos) << view.messages[0];
    view.index[size_t(TControl::kCBPort)] = 2;
    model.CBPortChange();
    EXPECT_EQ(view.messages.size(), 1u);
    EXPECT_EQ(big, std::filesystem::is_regular_file(path));
    if (big) {
      EXPECT_EQ(ReadFile(path), text);
    }
    std::filesystem::remove_all(path);
  }
}

// --- The virtual device of --virtual-device ---------------------------------------------------

TEST(FormModel, VirtualDeviceOnEveryPortAtTheFormsAddress) {
  struct Row {
    const char* name;
    std::string ini;
    int address;
  };
  const Row rows[] = {
      {"no stored address", "[Ports]\nCOM1=/dev/ttyUSB9\n", 1},
      {"broadcast address stored", "[Signature]\nNetAddr=0\n", 1},
      {"stored address", "[Signature]\nNetAddr=5\n", 5},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TWindowOptions options = TForm::VirtualDevice();
    options.maps[3] = "/dev/null";
    TForm form(row.ini, options);
    EXPECT_EQ(form.view.caption, "FUL 05.03 Modbus test — виртуальный прибор");
    EXPECT_EQ(form.view.numbers[size_t(TControl::kSENetAddr)], row.address);
    EXPECT_EQ(form.model->VirtualDevice()->Options().address, row.address);
    const std::string device = form.model->VirtualDevice()->DevicePath();
    for (uint8_t port = 1; port <= 16; ++port) {
      form.model->oxaComPort.SetComPort(port);
      EXPECT_EQ(form.model->oxaComPort.DeviceName(), port == 3 ? "/dev/null" : device);
    }
    form.model->CBPortDropDown();
    EXPECT_EQ(form.view.item_hints[size_t(TControl::kCBPort)][0], VirtualDevicePortHint(device));
    form.Click(TControl::kButton2);
    EXPECT_EQ(form.view.lines, (std::vector<std::string>{"OK", "ID = FUL-05.08 virtual device"}));
    // Nothing of the run goes to the settings file.
    EXPECT_EQ(ReadFile(form.path), row.ini);
  }
}

// --- The command line ------------------------------------------------------------------------

TEST(WindowOptions, CommandLine) {
  struct Row {
    const char* name;
    std::vector<std::string> args;
    std::string error;
    size_t maps;
    bool virtual_device;
    size_t rest;
  };
  const Row rows[] = {
      {"nothing", {}, "", 0, false, 1},
      {"both",
       {"--map", "COM2=/dev/ttyUSB0", "--map=com16=/tmp/x y", "--virtual-device"},
       "",
       2,
       true,
       1},
      {"Qt's own", {"-platform", "offscreen", "--virtual-device"}, "", 0, true, 3},
      {"unknown", {"--virtual"}, "unknown option --virtual", 0, false, 1},
      {"map without value",
       {"--map"},
       "--map needs a value such as COM1=/dev/ttyUSB0",
       0,
       false,
       1},
      {"bad map",
       {"--map", "COM0=/dev/x"},
       "--map COM0=/dev/x: expected COMn=PATH with n from 1 to 255",
       0,
       false,
       1},
      {"stray word", {"COM1"}, "unexpected argument COM1", 0, false, 1},
      {"language", {"--lang", "EN", "--lang=ru"}, "", 0, false, 1},
      {"language without value", {"--lang"}, "--lang needs a value: ru or en", 0, false, 1},
      {"unknown language", {"--lang=de"}, "--lang de: expected ru or en", 0, false, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<std::string> argv{"ful03test"};
    argv.insert(argv.end(), row.args.begin(), row.args.end());
    const TCommandLine line = ParseCommandLine(argv);
    EXPECT_EQ(line.error, row.error);
    if (!row.error.empty()) continue;
    EXPECT_EQ(line.options.maps.size(), row.maps);
    EXPECT_EQ(line.options.virtual_device, row.virtual_device);
    EXPECT_EQ(line.rest.size(), row.rest);
    if (row.maps == 2) {
      EXPECT_EQ(line.options.maps.at(16), "/tmp/x y");
    }
  }
}

}  // namespace
}  // namespace oxa
