#include "window/FormModel.h"

#include <algorithm>
#include <utility>

#include "actions/Integrator.h"
#include "actions/OxaPortTexts.h"
#include "actions/SettingsPath.h"
#include "actions/WindowTexts.h"
#include "window/FormDesign.h"

namespace oxa {
namespace {

// Characters a line of the data pane shows whole at the form's size.
constexpr size_t kPaneColumns = 50;

constexpr size_t kPortCount = 16;
constexpr std::array<uint32_t, 3> kBauds = {9600, 19200, 57600};

std::vector<std::string> PortItems() {
  std::vector<std::string> items;
  for (size_t i = 1; i <= kPortCount; ++i) items.push_back("COM" + std::to_string(i));
  return items;
}

std::vector<std::string> BaudItems() {
  std::vector<std::string> items;
  for (const uint32_t baud : kBauds) items.push_back(std::to_string(baud));
  return items;
}

std::vector<std::string> IntegratorItems(TLanguage language) {
  std::vector<std::string> items;
  for (size_t i = 0; i < kIntegrators.size(); ++i) items.push_back(IntegratorListText(i, language));
  return items;
}

}  // namespace

const std::vector<std::string>& ListItems(TControl list, TLanguage language) {
  static const std::vector<std::string> ports = PortItems();
  static const std::vector<std::string> bauds = BaudItems();
  static const std::vector<std::string> integrators = IntegratorItems(TLanguage::kRussian);
  static const std::vector<std::string> integrators_en = IntegratorItems(TLanguage::kEnglish);
  static const std::vector<std::string> none;
  switch (list) {
    case TControl::kCBPort:
      return ports;
    case TControl::kCBBaud:
      return bauds;
    case TControl::kCBInt:
      return language == TLanguage::kRussian ? integrators : integrators_en;
    default:
      return none;
  }
}

uint32_t BaudOfIndex(int index) {
  return index >= 0 && size_t(index) < kBauds.size() ? kBauds[size_t(index)] : kBauds.back();
}

const std::array<TNumberField, 5> kNumberFields = {{
    {TControl::kSENetAddr, {0, 127, 1, 0, 4}, 0},
    {TControl::kUDStart, {0, 10000, 1, 0, 0}, 0},
    {TControl::kUDNumReg, {0, 127, 1, 0, 0}, 0},
    {TControl::kUDArc, {0, 8191, 1, 0, 0}, 0},
    {TControl::kFEDoza, {0, 6553.5L, 1, 1, 0}, 0},
}};

std::optional<TDoserCommand> DoserCommandOf(TControl button) {
  switch (button) {
    case TControl::kButton8:
      return TDoserCommand::kStart;
    case TControl::kButton9:
      return TDoserCommand::kPause;
    case TControl::kButton10:
      return TDoserCommand::kStop;
    default:
      return std::nullopt;
  }
}

const std::array<TPaneMenuEntry, 3> kPaneMenu = {{
    {TPaneCommand::kExchangeLog, TText::kLogTitle, "Ctrl+L"},
    {TPaneCommand::kMonitor, TText::kMonitorTitle, "Ctrl+M"},
    {TPaneCommand::kArchiveRange, TText::kArchiveRangeTitle, ""},
}};

std::string VirtualDevicePortHint(std::string_view address, TLanguage language) {
  return std::string(address) + std::string(Text(TText::kVirtualDevicePortHint, language));
}

TFormModel::TFormModel(IFormView& view, std::string settings_path, TWindowOptions options)
    : view_(view),
      settings_path_(std::move(settings_path)),
      options_(std::move(options)),
      virtual_device_(options_.virtual_device ? std::make_unique<sim::TMemoryDevice>() : nullptr),
      oxaComPort(MakePortIo()),
      log_(std::make_unique<TExchangeLog>(oxaComPort.NowUs())),
      tracer_(log_->Sink()) {
  ConfigureMasters(oxaComPort, Ful0508, Zeb106);
  tracer_.Attach(oxaComPort);
}

TFormModel::~TFormModel() {
  // Long work runs on a thread of its own that uses the port: it ends before the port goes.
  StopLongWork();
}

std::unique_ptr<IComPortIo> TFormModel::MakePortIo() {
  if (!virtual_device_) return MakePlatformComPortIo();
  return virtual_device_->MakeComPortIo(MakePlatformComPortIo());
}

void TFormModel::FormCreate() {
  SettingsFile_ = std::make_unique<TIniFile>(settings_path_);
  // A path that leads to no ordinary settings file (a device, a FIFO, a huge file) is neither
  // read nor written: the form starts with its defaults and says why once.
  settings_refused_ = SettingsFile_->State() == TIniFile::TState::kNotRegular ||
                      SettingsFile_->State() == TIniFile::TState::kTooLarge;
  // The command line's language goes over the settings file's; a value neither knows is
  // Russian, as the form was designed.
  const std::optional<TLanguage> stored =
      ParseLanguage(SettingsFile_->ReadString(kWindowSection, kLanguageKey).value_or(""));
  language_ = options_.language.value_or(stored.value_or(TLanguage::kRussian));
  const std::string refused =
      SettingsRefusedText(SettingsFile_->State(), settings_path_, language_);
  if (settings_refused_) startup_messages_.push_back(refused);

  for (const TControl list : {TControl::kCBPort, TControl::kCBBaud}) {
    view_.SetItems(list, ListItems(list));
  }
  ShowLanguage();
  for (const TNumberField& field : kNumberFields) {
    view_.SetNumberRange(field.control, field.range);
    view_.SetNumber(field.control, field.initial);
  }

  // A stored value outside a list leaves that list without a selection. The port number is
  // compared before it becomes an index, so that no stored number can overflow on the way.
  const int port = SettingsFile_->ReadInteger(kSettingsSection, "Port", 1);
  view_.SetItemIndex(TControl::kCBPort, port >= 1 && size_t(port) <= kPortCount ? port - 1 : -1);
  const int baud = SettingsFile_->ReadInteger(kSettingsSection, "Baud", 0);
  view_.SetItemIndex(TControl::kCBBaud, baud >= 0 && size_t(baud) < kBauds.size() ? baud : -1);
  view_.SetItemIndex(TControl::kCBInt, 0);

  // The network address field only holds 0..127; a stored value beyond it is clamped.
  view_.SetNumber(TControl::kSENetAddr,
                  std::clamp(SettingsFile_->ReadInteger(kSettingsSection, "NetAddr", 0), 0, 127));

  // Where the real port sits behind a COM number: the [Ports] section, COM1=/dev/ttyUSB0; for
  // this run the virtual device, then the ports named on the command line, go over it.
  std::map<uint8_t, std::string> devices = PortMap(*SettingsFile_);
  if (virtual_device_) StartVirtualDevice(devices);
  for (const auto& [number, device] : options_.maps) devices[number] = device;
  oxaComPort.SetDeviceMap(std::move(devices));
  DescribePorts();

  ShowReady();
}

void TFormModel::ShowReady() {
  ShowStatus(ReadyText(ItemText(TControl::kCBPort), ItemText(TControl::kCBBaud), language_),
             TStatusColour::kBlue);
}

void TFormModel::ShowLanguage() {
  for (const TControlDesign& control : FormControls()) {
    if (control.caption) view_.SetDesignCaption(control.name, Caption(control, language_));
  }
  view_.SetCaption(virtual_device_ ? VirtualDeviceCaption(kFormCaption, language_)
                                   : std::string(kFormCaption));
  // The list keeps its entry; the first at start.
  const int index = view_.ItemIndex(TControl::kCBInt);
  view_.SetItems(TControl::kCBInt, ListItems(TControl::kCBInt, language_));
  view_.SetItemIndex(TControl::kCBInt, std::max(index, 0));
}

void TFormModel::SetLanguage(TLanguage language) {
  language_ = language;
  ShowLanguage();
  DescribePorts();
  // During a test the status line is the test's; it speaks the new language from its next
  // message.
  if (!busy_) ShowReady();
  if (!SettingsFile_ || settings_refused_) return;
  MakeSettingsFolder(SettingsFile_->FileName());
  if (!SettingsFile_->WriteString(kWindowSection, kLanguageKey, LanguageName(language))) {
    view_.ShowMessage(UnableToWriteText(SettingsFile_->FileName(), language_));
  }
}

void TFormModel::StartVirtualDevice(std::map<uint8_t, std::string>& devices) {
  // The device answers at one address, as a real one does. The form's own default, 0, is the
  // Modbus broadcast that no device answers, so without a stored address (or with 0) the
  // device and the form take address 1; the form never stores the address.
  if (NetAddr() == 0) view_.SetNumber(TControl::kSENetAddr, 1);
  virtual_device_->SetAddress(uint8_t(NetAddr()));
  for (size_t i = 1; i <= kPortCount; ++i) devices[uint8_t(i)] = virtual_device_->DevicePath();
}

void TFormModel::FormShow() {
  if (startup_messages_.empty()) return;
  std::string text;
  for (const std::string& message : startup_messages_) {
    if (!text.empty()) text += '\n';
    text += message;
  }
  startup_messages_.clear();
  view_.ShowMessage(text);
}

bool TFormModel::FormCloseQuery() {
  // Long work ends with the window; a test is let finish first.
  StopLongWork();
  if (!busy_) return true;
  close_pending_ = true;
  return false;
}

void TFormModel::FormClose() {
  SettingsFile_.reset();
}

bool TFormModel::FormKeyDown(uint16_t key, bool control) {
  if (key == kKeyEscape) {
    Button1Click();
    return true;
  }
  if (control && key == kKeyL) {
    PaneCommand(TPaneCommand::kExchangeLog);
    return true;
  }
  if (control && key == kKeyM) {
    PaneCommand(TPaneCommand::kMonitor);
    return true;
  }
  return false;
}

TScreenPoint TFormModel::SideWindowPlace(TSideWindow window, const TScreenRect& form, int width,
                                         int height, const TScreenRect& work_area) {
  std::optional<TScreenPoint> remembered = side_places_[size_t(window)];
  if (!remembered && SettingsFile_ && !settings_refused_) {
    remembered = ParseWindowPos(
        SettingsFile_->ReadString(kWindowSection, SideWindowKey(window)).value_or(""));
  }
  const TScreenPoint at = SideWindowPosition(form, width, height, work_area, remembered);
  side_opened_at_[size_t(window)] = at;
  return at;
}

void TFormModel::SideWindowMoved(TSideWindow window, TScreenPoint at) {
  // A window the user did not move keeps following the form.
  auto& seen = side_opened_at_[size_t(window)];
  if (seen == at) return;
  seen = at;
  side_places_[size_t(window)] = at;
  if (!SettingsFile_ || settings_refused_) return;
  const std::string text = FormatWindowPos(at);
  if (SettingsFile_->ReadString(kWindowSection, SideWindowKey(window)) == text) return;
  MakeSettingsFolder(SettingsFile_->FileName());
  SettingsFile_->WriteString(kWindowSection, SideWindowKey(window), text);
}

void TFormModel::PaneCommand(TPaneCommand command) {
  switch (command) {
    case TPaneCommand::kExchangeLog:
      return view_.ShowExchangeLog();
    case TPaneCommand::kMonitor:
      return view_.ShowMonitor();
    case TPaneCommand::kArchiveRange:
      return view_.ShowArchiveRange();
  }
}

void TFormModel::CBPortChange() {
  const int index = view_.ItemIndex(TControl::kCBPort);
  view_.SetHint(TControl::kCBPort, index >= 0 && size_t(index) < port_hints_.size()
                                       ? port_hints_[size_t(index)]
                                       : std::string());
  // A settings file the form refused at start-up stays as it is; it has said why.
  if (!SettingsFile_ || settings_refused_) return;
  // The first write in the user's configuration folder makes the folder.
  MakeSettingsFolder(SettingsFile_->FileName());
  if (!SettingsFile_->WriteInteger(kSettingsSection, "Port", index + 1)) {
    view_.ShowMessage(UnableToWriteText(SettingsFile_->FileName(), language_));
  }
}

void TFormModel::CBPortDropDown() {
  DescribePorts();
}

void TFormModel::DescribePorts() {
  port_hints_.clear();
  for (size_t i = 1; i <= kPortCount; ++i) {
    const auto number = uint8_t(i);
    const auto it = oxaComPort.DeviceMap().find(number);
    const std::string address =
        it != oxaComPort.DeviceMap().end() ? it->second : DefaultComDeviceName(number);
    port_hints_.push_back(virtual_device_ && address == virtual_device_->DevicePath()
                              ? VirtualDevicePortHint(address, language_)
                              : PortTooltipText(address, language_));
  }
  view_.SetItemHints(TControl::kCBPort, port_hints_);
  const int index = view_.ItemIndex(TControl::kCBPort);
  view_.SetHint(TControl::kCBPort,
                index >= 0 && size_t(index) < kPortCount ? port_hints_[size_t(index)] : "");
}

std::string TFormModel::ItemText(TControl list) const {
  const std::vector<std::string>& items = ListItems(list);
  const int index = view_.ItemIndex(list);
  return index >= 0 && size_t(index) < items.size() ? items[size_t(index)] : std::string();
}

int TFormModel::NetAddr() const {
  return int(view_.Number(TControl::kSENetAddr));
}

void TFormModel::ShowStatus(std::string_view text, TStatusColour colour) {
  view_.SetStatus(text, colour);
}

void TFormModel::DisableButtons() {
  for (const TControl button : kTestButtons) view_.SetEnabled(button, false);
}

void TFormModel::EnableButtons() {
  for (const TControl button : kTestButtons) view_.SetEnabled(button, true);
}

void TFormModel::Click(TControl button) {
  switch (button) {
    case TControl::kButton1:
      return Button1Click();
    case TControl::kButton2:
      return Button2Click();
    case TControl::kButton3:
      return Button3Click();
    case TControl::kButton4:
      return Button4Click();
    case TControl::kButton5:
      return Button5Click();
    case TControl::kButton6:
      return Button6Click();
    case TControl::kButton7:
      return Button7Click();
    case TControl::kButton8:
    case TControl::kButton9:
    case TControl::kButton10:
      return Button8Click(button);
    case TControl::kButton11:
      return Button11Click();
    case TControl::kButton12:
      return Button12Click();
    default:
      return;
  }
}

void TFormModel::Button1Click() {
  view_.Close();
}

bool TFormModel::BeginBusy() {
  if (busy_) return false;
  busy_ = true;
  focus_before_ = view_.FocusedControl();
  DisableButtons();
  focus_moved_to_ = view_.FocusedControl();
  return true;
}

void TFormModel::EndBusy() {
  EnableButtons();
  // The focus goes back where it was, unless the user put it elsewhere during the test.
  if (focus_before_ && focus_before_ != focus_moved_to_ &&
      view_.FocusedControl() == focus_moved_to_) {
    view_.SetFocus(*focus_before_);
  }
  focus_before_.reset();
  focus_moved_to_.reset();
  busy_ = false;
  if (close_pending_) {
    close_pending_ = false;
    view_.Close();
  }
}

void TFormModel::TakeChosenPort() {
  oxaComPort.SetComPort(uint8_t(view_.ItemIndex(TControl::kCBPort) + 1));
  oxaComPort.SetBaudRate(BaudOfIndex(view_.ItemIndex(TControl::kCBBaud)));
  port_language_ = language_;
}

void TFormModel::OpenChosenPort() {
  TakeChosenPort();
  // Opening may wait: a serial device server gets up to 3 s to accept the connection. The
  // window keeps drawing meanwhile.
  view_.RunOnWorker([this] { OpenPort(); });
}

std::string TFormModel::LoggedPortName() const {
  return "COM" + std::to_string(oxaComPort.ComPort()) + " (" + oxaComPort.DeviceName() + ")";
}

bool TFormModel::OpenPort() {
  const bool opened = oxaComPort.Open();
  if (!log_recording_) return opened;
  if (opened) {
    log_->PortOpened(LoggedPortName(), oxaComPort.NowUs());
  } else {
    const std::string port = "COM" + std::to_string(oxaComPort.ComPort());
    log_->PortFailed(LoggedPortName(),
                     PortFailureText(oxaComPort.OpenError(), port, oxaComPort.DeviceName(),
                                     settings_path_, port_language_),
                     oxaComPort.NowUs());
  }
  return opened;
}

void TFormModel::ClosePort() {
  if (!oxaComPort.Opened()) return;
  tracer_.Flush();
  oxaComPort.Close();
  tracer_.Flush();  // what was listened out before the port closed
  if (log_recording_) log_->PortClosed(LoggedPortName(), oxaComPort.NowUs());
}

void TFormModel::ClosePortListened() {
  // Closing listens out an answer still on its way: then on the worker, as the exchange ran,
  // so that the window stays alive meanwhile.
  if (oxaComPort.OpenAttempts() > 0) {
    view_.RunOnWorker([this] { ClosePort(); });
  } else {
    ClosePort();
  }
}

void TFormModel::AfterExchange() {
  tracer_.Flush();
}

void TFormModel::SetLogRecording(bool recording) {
  if (recording == log_recording_) return;
  log_recording_ = recording;
  if (recording) {
    tracer_.Attach(oxaComPort);
  } else {
    tracer_.Detach();
  }
}

bool TFormModel::BeginLongWork(std::function<void()> stop) {
  if (busy_) return false;
  busy_ = true;
  long_work_ = true;
  long_work_stop_ = std::move(stop);
  DisableButtons();
  TakeChosenPort();
  Ful0508.SetNetAddr(uint8_t(NetAddr()));
  Zeb106.SetNetAddr(uint8_t(NetAddr()));
  return true;
}

TPortLease TFormModel::LeasePort() {
  TPortLease lease;
  lease.begin = [this](std::function<void()> stop) { return BeginLongWork(std::move(stop)); };
  lease.end = [this] { EndLongWork(); };
  lease.open = [this] { return OpenPort(); };
  lease.close = [this] { ClosePort(); };
  lease.after_exchange = [this] { AfterExchange(); };
  lease.lost = [this] { return oxaComPort.Lost(); };
  lease.failure = [this] {
    return PortFailureText(oxaComPort.OpenError(), "COM" + std::to_string(oxaComPort.ComPort()),
                           oxaComPort.DeviceName(), settings_path_, port_language_);
  };
  lease.ful = &Ful0508;
  lease.port_name = [this] { return ItemText(TControl::kCBPort); };
  return lease;
}

void TFormModel::EndLongWork() {
  if (!long_work_) return;
  ClosePort();
  long_work_ = false;
  long_work_stop_ = nullptr;
  busy_ = false;
  EnableButtons();
}

void TFormModel::StopLongWork() {
  if (!long_work_) return;
  // `stop` ends in EndLongWork; a copy, since that forgets it.
  const std::function<void()> stop = long_work_stop_;
  if (stop) stop();
  EndLongWork();
}

void TFormModel::RunTest(bool sending, const std::function<TActionResult()>& action,
                         const std::function<void()>& after) {
  if (!BeginBusy()) return;
  OpenChosenPort();
  // The port list stays usable during a test; the status messages name the port this test
  // opened, also when the user picks another one before it is closed.
  const std::string port = ItemText(TControl::kCBPort);
  ShowStatus(OpeningPortText(port, language_), TStatusColour::kBlack);
  if (!oxaComPort.Opened()) {
    ShowStatus(PortNotOpenedText(port, language_), TStatusColour::kRed);
    // Why, and what to do about it, in lines the data pane shows whole.
    view_.SetLines(TControl::kMDebug,
                   WrapText(PortFailureText(oxaComPort.OpenError(), port, oxaComPort.DeviceName(),
                                            settings_path_, language_),
                            kPaneColumns));
    EndBusy();
    return;
  }
  if (sending) ShowStatus(SendingRequestText(language_), TStatusColour::kBlue);
  Ful0508.SetNetAddr(uint8_t(NetAddr()));
  TActionResult result;
  view_.RunOnWorker([&] {
    result = action();
    AfterExchange();
  });

  // The actions name a device's refusal in English; the window names it in its own language.
  std::vector<std::string> lines = result.Ok()
                                       ? std::move(result.lines)
                                       : FailureLines(result.code, result.exception, language_);
  // An adapter pulled during the exchange: the next test opens the port afresh.
  if (oxaComPort.Lost()) {
    for (std::string& line : WrapText(PortLostText(port, language_), kPaneColumns)) {
      lines.push_back(std::move(line));
    }
  }
  view_.SetLines(TControl::kMDebug, lines);
  if (result.Ok()) {
    view_.SetText(TControl::kEQuery, result.request);
    if (after) after();
  }
  ShowStatus(ClosingPortText(port, language_), TStatusColour::kBlack);
  ClosePortListened();
  EndBusy();
}

void TFormModel::Button2Click() {
  RunTest(false, [this] { return Identify(Ful0508); });
}

void TFormModel::Button3Click() {
  const auto start = uint16_t(view_.Number(TControl::kUDStart));
  const auto count = uint16_t(view_.Number(TControl::kUDNumReg));
  RunTest(true, [this, start, count] { return ReadRegisters(Ful0508, start, count, language_); });
}

void TFormModel::Button4Click() {
  const auto index = size_t(std::max(0, view_.ItemIndex(TControl::kCBInt)));
  RunTest(true, [this, index, separator = view_.DecimalSeparator()] {
    return ReadIntegrator(Ful0508, index, separator, language_);
  });
}

void TFormModel::Button5Click() {
  const auto block = uint16_t(view_.Number(TControl::kUDArc));
  RunTest(true, [this, block] { return ReadArchiveBlock(Ful0508, block, language_); });
}

void TFormModel::Button6Click() {
  TDose dose;
  RunTest(
      true,
      [this, &dose] {
        dose = ReadDose(Ful0508, language_);
        return dose;
      },
      [this, &dose] { view_.SetNumber(TControl::kFEDoza, DoseLitres(dose.tenths)); });
}

void TFormModel::Button7Click() {
  const uint16_t tenths = DoseTenths(view_.Number(TControl::kFEDoza));
  RunTest(true, [this, tenths] { return WriteDose(Ful0508, tenths); });
}

void TFormModel::Button8Click(TControl sender) {
  // The button's Tag is the command it sends.
  const std::optional<TDoserCommand> command = DoserCommandOf(sender);
  if (!command) return;
  RunTest(true, [this, command = *command] { return SendDoserCommand(Ful0508, command); });
}

void TFormModel::Button11Click() {
  RunTest(true, [this] { return ResetDoser(Ful0508); });
}

void TFormModel::Button12Click() {
  RunTest(true, [this] { return ReadDoserState(Ful0508, language_); });
}

void TFormModel::LStatusDblClick() {
  // A test holds the port while its buttons are disabled; the stamp waits for another time.
  if (!BeginBusy()) return;
  OpenChosenPort();
  if (!oxaComPort.Opened()) {
    EndBusy();
    return;
  }
  Zeb106.SetNetAddr(uint8_t(NetAddr()));
  TStampRead stamp;
  tracer_.SetProtocol(TWireProtocol::k10x);
  view_.RunOnWorker([&] {
    stamp = ReadStamp(Zeb106, language_);
    AfterExchange();
  });
  tracer_.SetProtocol(TWireProtocol::kModbus);
  // Silent on every failure, and for devices that keep no stamp.
  if (!stamp.lines.empty()) ShowStatus(stamp.lines.front(), TStatusColour::kBlack);
  ClosePortListened();
  EndBusy();
}

}  // namespace oxa
