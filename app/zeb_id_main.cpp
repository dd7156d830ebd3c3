#include "app/zeb_id_main.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCloseEvent>
#include <QEventLoop>
#include <QFontDatabase>
#include <QKeyEvent>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QScreen>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <map>
#include <thread>

#include "actions/IniFile.h"
#include "actions/Integrator.h"
#include "actions/OxaPortTexts.h"
#include "actions/SettingsPath.h"
#include "actions/WindowTexts.h"
#include "controls/TmxFlatFloatSpinEdit.h"
#include "sim/PtyDevice.h"
#include "ui_zeb_id_main.h"

namespace {

const char* const kSection = "Signature";

// Characters a line of the data pane shows whole at the window's size.
constexpr size_t kPaneColumns = 50;

const QColor kBlack(0, 0, 0);
const QColor kRed(255, 0, 0);
const QColor kBlue(0, 0, 255);

QString Q(const std::string& text) {
  return QString::fromStdString(text);
}

std::string S(const QString& text) {
  return text.toStdString();
}

QStringList Lines(const std::vector<std::string>& lines) {
  QStringList out;
  for (const std::string& line : lines) out << Q(line);
  return out;
}

// A tooltip that shows `text` as it stands. Qt draws a tooltip that looks like markup as rich
// text, and a port's description holds USB strings an adapter chose: the text goes in escaped,
// in a paragraph that keeps its blanks and does not wrap, as plain text would.
QString PlainTooltip(const std::string& text) {
  return "<p style='white-space:pre'>" + Q(text).toHtmlEscaped() + "</p>";
}

// The decimal separator of the user's locale, for the float values the window shows.
std::string LocaleSeparator() {
  return S(QLocale().decimalPoint());
}

}  // namespace

QPoint CentredFramePosition(const QRect& available, const QSize& client, const QMargins& margins) {
  const QSize frame = client.grownBy(margins);
  return available.topLeft() +
         QPoint((available.width() - frame.width()) / 2, (available.height() - frame.height()) / 2);
}

QString TIDMainFrm::DefaultSettingsPath() {
  return Q(oxa::SettingsPath(S(QCoreApplication::applicationDirPath())));
}

void TIDMainFrm::LoadWindowFonts() {
  static bool loaded = false;
  if (loaded) return;
  loaded = true;
  if (!QFontDatabase::families().contains("Tahoma", Qt::CaseInsensitive)) {
    QFontDatabase::addApplicationFont("/usr/share/wine/fonts/tahoma.ttf");
    QFontDatabase::addApplicationFont("/usr/share/wine/fonts/tahomabd.ttf");
  }
}

TIDMainFrm::TIDMainFrm(const QString& settingsPath, const TWindowOptions& options, QWidget* parent)
    : QWidget(parent),
      ui_(std::make_unique<Ui::TIDMainFrm>()),
      settingsPath_(settingsPath),
      options_(options) {
  LoadWindowFonts();
  QFont windowFont("Tahoma");
  windowFont.setPixelSize(11);
  setFont(windowFont);
  ui_->setupUi(this);

  // A fixed client area with a title bar that offers minimise and close, but no maximise.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
  setFixedSize(770, 414);
  Centre();

  QPalette face = palette();
  face.setColor(QPalette::Base, face.color(QPalette::Button));
  QFont mono("Courier New");
  mono.setStyleHint(QFont::TypeWriter);
  mono.setFixedPitch(true);
  mono.setPixelSize(13);
  ui_->MDebug->setFont(mono);
  ui_->MDebug->setPalette(face);
  ui_->EQuery->setPalette(face);

  // Each numeric field is a spin box named after its arrows; its inner edit carries the edit's
  // name, so both names lead to the same field.
  const std::pair<QWidget*, const char*> edits[] = {{ui_->SENetAddr, "Edit1"},
                                                    {ui_->UDStart, "Edit2"},
                                                    {ui_->UDNumReg, "Edit3"},
                                                    {ui_->UDArc, "Edit4"}};
  for (const auto& [spin, name] : edits) {
    if (auto* edit = spin->findChild<QLineEdit*>()) edit->setObjectName(name);
  }
  if (auto* edit1 = ui_->SENetAddr->findChild<QLineEdit*>()) edit1->setMaxLength(4);

  // Window-modal but not waiting: the handler that shows it returns at once, so a test that
  // runs meanwhile ends and closes its port while the message is on screen.
  ShowMessage = [this](const QString& text) {
    auto* box = new QMessageBox(QMessageBox::Critical, windowTitle(), text, QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
  };

  oxa::ConfigureMasters(oxaComPort, Ful0508, Zeb106);

  ui_->FEDoza->SetDecimals(1);
  ui_->FEDoza->SetIncrement(1.0L);
  ui_->FEDoza->SetMinValue(0);
  ui_->FEDoza->SetMaxValue(6553.5L);
  ui_->FEDoza->SetValue(0);

  connect(ui_->Button2, &QPushButton::clicked, this, [this] { Button2Click(); });
  connect(ui_->Button3, &QPushButton::clicked, this, [this] { Button3Click(); });
  connect(ui_->Button4, &QPushButton::clicked, this, [this] { Button4Click(); });
  connect(ui_->Button5, &QPushButton::clicked, this, [this] { Button5Click(); });
  connect(ui_->Button6, &QPushButton::clicked, this, [this] { Button6Click(); });
  connect(ui_->Button7, &QPushButton::clicked, this, [this] { Button7Click(); });
  for (QPushButton* command : {ui_->Button8, ui_->Button9, ui_->Button10}) {
    connect(command, &QPushButton::clicked, this, [this, command] { Button8Click(command); });
  }
  connect(ui_->Button11, &QPushButton::clicked, this, [this] { Button11Click(); });
  connect(ui_->Button12, &QPushButton::clicked, this, [this] { Button12Click(); });
  connect(ui_->CBPort, &QComboBox::activated, this, [this] { CBPortChange(); });
  connect(ui_->Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
  ui_->LStatus->installEventFilter(this);
  // The port list describes its entries each time it opens.
  portView_ = ui_->CBPort->view();
  // Key preview: Escape is seen before any control of the window gets it.
  qApp->installEventFilter(this);

  FormCreate();
}

TIDMainFrm::~TIDMainFrm() = default;

void TIDMainFrm::FormCreate() {
  SettingsFile_ = std::make_unique<oxa::TIniFile>(S(settingsPath_));
  // A path that leads to no ordinary settings file (a device, a FIFO, a huge file) is neither
  // read nor written: the window starts with its defaults and says why once.
  const std::string refused = oxa::SettingsRefusedText(SettingsFile_->State(), S(settingsPath_));
  settingsRefused_ = !refused.empty();
  if (settingsRefused_) startupMessages_ << Q(refused);

  // A stored value outside a list leaves that list without a selection. The port number is
  // compared before it becomes an index, so that no stored number can overflow on the way.
  const int port = SettingsFile_->ReadInteger(kSection, "Port", 1);
  ui_->CBPort->setCurrentIndex(port >= 1 && port <= ui_->CBPort->count() ? port - 1 : -1);
  const int baud = SettingsFile_->ReadInteger(kSection, "Baud", 0);
  ui_->CBBaud->setCurrentIndex(baud >= 0 && baud < ui_->CBBaud->count() ? baud : -1);

  ui_->CBInt->clear();
  for (size_t i = 0; i < oxa::kIntegrators.size(); ++i) {
    ui_->CBInt->addItem(Q(oxa::IntegratorListText(i)));
  }
  ui_->CBInt->setCurrentIndex(0);

  // The network address field only holds 0..127; a stored value beyond it is clamped.
  ui_->SENetAddr->setValue(std::clamp(SettingsFile_->ReadInteger(kSection, "NetAddr", 0), 0, 127));

  // Where the real port sits behind a COM number: the [Ports] section, COM1=/dev/ttyUSB0; for
  // this run the virtual device, then the ports named on the command line, go over it.
  std::map<uint8_t, std::string> devices = oxa::PortMap(*SettingsFile_);
  if (options_.virtualDevice) StartVirtualDevice(devices);
  for (const auto& [number, device] : options_.maps) devices[number] = device;
  oxaComPort.SetDeviceMap(std::move(devices));
  DescribePorts();

  ShowStatus(Q(oxa::ReadyText(S(ui_->CBPort->currentText()), S(ui_->CBBaud->currentText()))),
             kBlue);
}

void TIDMainFrm::StartVirtualDevice(std::map<uint8_t, std::string>& devices) {
  // The device answers at one address, as a real one does. The window's own default, 0, is
  // the Modbus broadcast that no device answers, so without a stored address (or with 0) the
  // device and the window take address 1; the window never stores the address.
  if (ui_->SENetAddr->value() == 0) ui_->SENetAddr->setValue(1);
  oxa::sim::PtyOptions device;
  device.address = uint8_t(ui_->SENetAddr->value());
  virtualDevice_ = std::make_unique<oxa::sim::PtyDevice>(device);
  if (!virtualDevice_->Start()) {
    startupMessages_ << Q(oxa::VirtualDeviceFailedText(virtualDevice_->LastError()));
    virtualDevice_.reset();
    return;
  }
  for (int i = 0; i < ui_->CBPort->count(); ++i) {
    devices[uint8_t(i + 1)] = virtualDevice_->DevicePath();
  }
  setWindowTitle(Q(oxa::VirtualDeviceCaption(S(windowTitle()))));
}

void TIDMainFrm::FormClose() {
  SettingsFile_.reset();
}

void TIDMainFrm::CBPortChange() {
  ui_->CBPort->setToolTip(ui_->CBPort->currentData(Qt::ToolTipRole).toString());
  // A settings file the window refused at start-up stays as it is; it has said why.
  if (!SettingsFile_ || settingsRefused_) return;
  // The first write in the user's configuration folder makes the folder.
  oxa::MakeSettingsFolder(SettingsFile_->FileName());
  if (!SettingsFile_->WriteInteger(kSection, "Port", ui_->CBPort->currentIndex() + 1)) {
    ShowMessage(Q(oxa::UnableToWriteText(SettingsFile_->FileName())));
  }
}

void TIDMainFrm::Button1Click() {
  close();
}

std::array<QPushButton*, 11> TIDMainFrm::TestButtons() const {
  return {ui_->Button2, ui_->Button3, ui_->Button4,  ui_->Button5,  ui_->Button6, ui_->Button7,
          ui_->Button8, ui_->Button9, ui_->Button10, ui_->Button11, ui_->Button12};
}

void TIDMainFrm::DisableButtons() {
  for (QPushButton* b : TestButtons()) b->setEnabled(false);
  QCoreApplication::processEvents();
}

void TIDMainFrm::EnableButtons() {
  for (QPushButton* b : TestButtons()) b->setEnabled(true);
  QCoreApplication::processEvents();
}

void TIDMainFrm::ShowStatus(const QString& text, const QColor& colour) {
  ui_->LStatus->setText(text);
  QPalette pal = ui_->LStatus->palette();
  pal.setColor(QPalette::WindowText, colour);
  ui_->LStatus->setPalette(pal);
  emit StatusShown(text, colour);
  QCoreApplication::processEvents();
}

void TIDMainFrm::DescribePorts() {
  // Read each time the list opens: an adapter may have been plugged in or pulled meanwhile.
  for (int i = 0; i < ui_->CBPort->count(); ++i) {
    const auto number = uint8_t(i + 1);
    const auto it = oxaComPort.DeviceMap().find(number);
    const std::string address =
        it != oxaComPort.DeviceMap().end() ? it->second : oxa::DefaultComDeviceName(number);
    ui_->CBPort->setItemData(i, PlainTooltip(oxa::PortTooltipText(address)), Qt::ToolTipRole);
  }
  ui_->CBPort->setToolTip(
      ui_->CBPort->itemData(ui_->CBPort->currentIndex(), Qt::ToolTipRole).toString());
}

bool TIDMainFrm::eventFilter(QObject* watched, QEvent* event) {
  if (watched == portView_ && event->type() == QEvent::Show) DescribePorts();
  if (watched == ui_->LStatus && event->type() == QEvent::MouseButtonDblClick) {
    LStatusDblClick();
    return true;
  }
  if (event->type() == QEvent::KeyPress &&
      static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape && watched->isWidgetType() &&
      static_cast<QWidget*>(watched)->window() == this) {
    ui_->Button1->click();
    return true;
  }
  return QWidget::eventFilter(watched, event);
}

void TIDMainFrm::closeEvent(QCloseEvent* event) {
  if (busy_) {
    closePending_ = true;
    event->ignore();
    return;
  }
  FormClose();
  event->accept();
}

void TIDMainFrm::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (!centred_) {
    centred_ = true;
    Centre();
  }
  if (!startupMessages_.isEmpty()) {
    const QString text = startupMessages_.join('\n');
    startupMessages_.clear();
    // Once the window is on screen, so that the message has it as its parent.
    QTimer::singleShot(0, this, [this, text] { ShowMessage(text); });
  }
}

void TIDMainFrm::moveEvent(QMoveEvent* event) {
  QWidget::moveEvent(event);
  // The window manager frames the window only after it is shown; once the frame's size is
  // known, the frame is centred again, unless the window was moved meanwhile.
  const QWindow* handle = windowHandle();
  if (!centred_ || !handle || pos() != centredAt_) return;
  if (handle->frameMargins() != centredMargins_) Centre();
}

void TIDMainFrm::Centre() {
  const QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
  if (!screen) return;
  centredMargins_ = windowHandle() ? windowHandle()->frameMargins() : QMargins();
  centredAt_ = CentredFramePosition(screen->availableGeometry(), size(), centredMargins_);
  move(centredAt_);
}

bool TIDMainFrm::BeginBusy() {
  if (busy_) return false;
  busy_ = true;
  focusBefore_ = focusWidget();
  DisableButtons();
  focusMovedTo_ = focusWidget();
  return true;
}

void TIDMainFrm::EndBusy() {
  EnableButtons();
  // The focus goes back where it was, unless the user put it elsewhere during the test.
  if (focusBefore_ && focusBefore_ != focusMovedTo_ && focusWidget() == focusMovedTo_ &&
      focusBefore_->isEnabled()) {
    focusBefore_->setFocus(Qt::OtherFocusReason);
  }
  focusBefore_ = nullptr;
  focusMovedTo_ = nullptr;
  busy_ = false;
  if (closePending_) {
    closePending_ = false;
    close();
  }
}

void TIDMainFrm::OpenChosenPort() {
  oxaComPort.SetComPort(uint8_t(ui_->CBPort->currentIndex() + 1));
  const int baud = ui_->CBBaud->currentIndex();
  oxaComPort.SetBaudRate(baud == 0 ? 9600 : baud == 1 ? 19200 : 57600);
  // Opening may wait: a serial device server gets up to 3 s to accept the connection. The
  // window keeps drawing meanwhile.
  RunOnWorker([this] { oxaComPort.Open(); });
}

void TIDMainFrm::RunOnWorker(const std::function<void()>& work) {
  QApplication::setOverrideCursor(Qt::WaitCursor);
  QEventLoop loop;
  std::thread worker([&] {
    work();
    QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
  });
  loop.exec();
  worker.join();
  QApplication::restoreOverrideCursor();
}

void TIDMainFrm::RunTest(bool sending, const std::function<oxa::TActionResult()>& action,
                         const std::function<void()>& after) {
  if (!BeginBusy()) return;
  OpenChosenPort();
  // The port list stays usable during a test; the status messages name the port this test
  // opened, also when the user picks another one before it is closed.
  const std::string port = S(ui_->CBPort->currentText());
  ShowStatus(Q(oxa::OpeningPortText(port)), kBlack);
  if (!oxaComPort.Opened()) {
    ShowStatus(Q(oxa::PortNotOpenedText(port)), kRed);
    // Why, and what to do about it, in lines the data pane shows whole.
    ui_->MDebug->setPlainText(
        Lines(oxa::WrapText(oxa::PortFailureText(oxaComPort.OpenError(), port,
                                                 oxaComPort.DeviceName(), S(settingsPath_),
                                                 oxa::TLanguage::kRussian),
                            kPaneColumns))
            .join('\n'));
    EndBusy();
    return;
  }
  if (sending) ShowStatus(Q(oxa::SendingRequestText()), kBlue);
  Ful0508.SetNetAddr(uint8_t(ui_->SENetAddr->value()));
  oxa::TActionResult result;
  RunOnWorker([&] { result = action(); });

  QStringList lines = Lines(result.lines);
  // An adapter pulled during the exchange: the next test opens the port afresh.
  if (oxaComPort.Lost()) {
    lines << Lines(oxa::WrapText(oxa::PortLostText(port, oxa::TLanguage::kRussian), kPaneColumns));
  }
  ui_->MDebug->setPlainText(lines.join('\n'));
  if (result.Ok()) {
    ui_->EQuery->setText(Q(result.request));
    if (after) after();
  }
  ShowStatus(Q(oxa::ClosingPortText(port)), kBlack);
  oxaComPort.Close();
  EndBusy();
}

void TIDMainFrm::Button2Click() {
  RunTest(false, [this] { return oxa::Identify(Ful0508); });
}

void TIDMainFrm::Button3Click() {
  const auto start = uint16_t(ui_->UDStart->value());
  const auto count = uint16_t(ui_->UDNumReg->value());
  RunTest(true, [this, start, count] { return oxa::ReadRegisters(Ful0508, start, count); });
}

void TIDMainFrm::Button4Click() {
  const auto index = size_t(std::max(0, ui_->CBInt->currentIndex()));
  RunTest(true, [this, index, separator = LocaleSeparator()] {
    return oxa::ReadIntegrator(Ful0508, index, separator);
  });
}

void TIDMainFrm::Button5Click() {
  const auto block = uint16_t(ui_->UDArc->value());
  RunTest(true, [this, block] { return oxa::ReadArchiveBlock(Ful0508, block); });
}

void TIDMainFrm::Button6Click() {
  auto dose = std::make_shared<oxa::TDose>();
  RunTest(
      true,
      [this, dose] {
        *dose = oxa::ReadDose(Ful0508);
        return *dose;
      },
      [this, dose] { ui_->FEDoza->SetValue(oxa::DoseLitres(dose->tenths)); });
}

void TIDMainFrm::Button7Click() {
  const uint16_t tenths = oxa::DoseTenths(ui_->FEDoza->Value());
  RunTest(true, [this, tenths] { return oxa::WriteDose(Ful0508, tenths); });
}

void TIDMainFrm::Button8Click(QPushButton* sender) {
  // The button's Tag is the command it sends.
  const auto command = oxa::TDoserCommand(sender->property("Tag").toInt());
  RunTest(true, [this, command] { return oxa::SendDoserCommand(Ful0508, command); });
}

void TIDMainFrm::Button11Click() {
  RunTest(true, [this] { return oxa::ResetDoser(Ful0508); });
}

void TIDMainFrm::Button12Click() {
  RunTest(true, [this] { return oxa::ReadDoserState(Ful0508); });
}

void TIDMainFrm::LStatusDblClick() {
  // A test holds the port while its buttons are disabled; the stamp waits for another time.
  if (!BeginBusy()) return;
  OpenChosenPort();
  if (!oxaComPort.Opened()) {
    EndBusy();
    return;
  }
  Zeb106.SetNetAddr(uint8_t(ui_->SENetAddr->value()));
  oxa::TStampRead stamp;
  RunOnWorker([&] { stamp = oxa::ReadStamp(Zeb106); });
  // Silent on every failure, and for devices that keep no stamp.
  if (!stamp.lines.empty()) ShowStatus(Q(stamp.lines.front()), kBlack);
  oxaComPort.Close();
  EndBusy();
}
