#include "app/zeb_id_main.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QFontDatabase>
#include <QKeyEvent>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QScreen>
#include <cmath>
#include <cstring>
#include <map>
#include <thread>

#include "app/IniFile.h"
#include "controls/TmxFlatFloatSpinEdit.h"
#include "serial/OxaUtils.h"
#include "ui_zeb_id_main.h"

const std::array<uint16_t, 32> IntegratorRegs = {
    2000, 2002, 2004, 2006, 2008, 2012, 2014, 2016, 2018, 2020, 2022, 2028, 2030, 2032, 2034, 2038,
    2040, 2042, 2052, 2054, 2064, 2066, 2088, 2090, 2100, 2102, 2104, 2106, 2140, 2142, 2160, 2162};

// The names and units mix Latin and Cyrillic look-alike letters exactly as the device's
// documentation prints them. Where a Cyrillic letter looks like a Latin one it is written as an
// escape: "Tнар1" starts with a Latin T, "\u04221" (Т1) with a Cyrillic Т, and the unit of Gm2
// ("\u0422/ч") has a Cyrillic Т where that of Gm1 ("T/ч") has a Latin T. Every "M3" and plain
// "T" is Latin.
// clang-format off
const std::array<const char*, 32> IntegratorNames = {
    "V1",    "V2",    "V1r",   "V2r",   "Vd",      "M1",      "M2",    "M1r",
    "M2r",   "V1dop", "V2dop", "M1dop", "M2dop",   "M1r dop", "M2r dop", "Tall",
    "Tнар1", "Tнар2", "Tmin1", "Tmin2", "Tmax1",   "Tmax2",   "Terr1", "Terr2",
    "Gv1",   "Gv2",   "Gm1",   "Gm2",   "\u04221", "\u04222", "P1",    "P2"};

const std::array<const char*, 32> IntegratorUnits = {
    "M3",   "M3",   "M3",   "M3",   "M3",   "T",    "T",    "T",
    "T",    "M3",   "M3",   "T",    "T",    "T",    "T",    "сек",
    "сек",  "сек",  "сек",  "сек",  "сек",  "сек",  "сек",  "сек",
    "M3/ч", "M3/ч", "T/ч",  "\u0422/ч", "град.", "град.", "МПа", "МПа"};
// clang-format on

bool IsLongIntegrator(int index) {
  return index >= 15 && index <= 23;
}

namespace {

const char* const kSection = "Signature";

// Doser registers: dose in tenths of a litre, state (read) or command (written), reset.
constexpr uint16_t kRegDose = 2201;
constexpr uint16_t kRegDoserState = 2202;
constexpr uint16_t kRegDoserReset = 2203;

const QColor kBlack(0, 0, 0);
const QColor kRed(255, 0, 0);
const QColor kBlue(0, 0, 255);

// Each byte as two upper-case hex digits and a space: "01 03 00 0A ".
QString HexLine(std::span<const uint8_t> bytes) {
  return QString::fromStdString(oxa::HexBytes(bytes));
}

// The data lines of a register or archive read: 16 bytes per line; the line under way is
// added after the last byte in any case, so a multiple of 16 bytes ends with an empty line.
QStringList HexLines(std::span<const uint8_t> bytes) {
  QStringList lines;
  QString line;
  for (size_t i = 0; i < bytes.size(); ++i) {
    line += HexLine(bytes.subspan(i, 1));
    if (i % 16 == 15) {
      lines << line;
      line.clear();
    }
  }
  lines << line;
  return lines;
}

// The two bytes of one register, separated by a blank: "08 99".
QString RegisterLine(const uint8_t* b) {
  return QString::asprintf("%.2X %.2X", b[0], b[1]);
}

}  // namespace

QString IntegratorValueText(int index, std::span<const uint8_t, 4> raw) {
  uint32_t word = 0;
  oxa::CopyBytes(std::span<uint8_t>(reinterpret_cast<uint8_t*>(&word), 4), raw, 4);
  oxa::SwapBytes32(word);
  if (IsLongIntegrator(index)) return QString::number(word);
  float value = 0;
  std::memcpy(&value, &word, sizeof value);
  QString text = QString::asprintf("%12.6f", double(value));
  return text.replace('.', QLocale().decimalPoint());
}

QString StampText(std::span<const uint8_t, 8> r) {
  if (r[0] != 0xDE || r[7] != 0xAD) return QString::fromUtf8("Нет данных");
  // Number low byte first; the date bytes are BCD and shown as they stand.
  return QString::asprintf("%.4d 20%.2X.%.2X.%.2X", r[1] | (r[2] << 8), r[4], r[5], r[6]);
}

uint16_t DoseTenths(long double litres) {
  // Rounding the product to double first makes every one-decimal value give its exact tenths
  // (0.7 gives 7, not 6). Values the register cannot hold are held at its limits rather than
  // wrapped, so a dose out of range never reaches the device as some other dose.
  const double tenths = std::trunc(double(litres * 10.0L));
  if (!(tenths > 0)) return 0;
  if (tenths > 65535) return 65535;
  return uint16_t(tenths);
}

QString TIDMainFrm::DefaultSettingsPath() {
  const QFileInfo exe(QCoreApplication::applicationFilePath());
  const QString base = exe.suffix().isEmpty() ? exe.fileName() : exe.completeBaseName();
  return exe.absoluteDir().filePath(base + ".ini");
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

TIDMainFrm::TIDMainFrm(const QString& settingsPath, QWidget* parent)
    : QWidget(parent), ui_(std::make_unique<Ui::TIDMainFrm>()), settingsPath_(settingsPath) {
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
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    move(screen->availableGeometry().center() - rect().center());
  }

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

  ShowMessage = [this](const QString& text) { QMessageBox::critical(this, windowTitle(), text); };

  Ful0508.SetComPort(&oxaComPort);
  Ful0508.SetPacketTimeout(500);
  Ful0508.SetByteTimeout(200);
  Ful0508.SetRepeatCount(3);
  Ful0508.SetEWrite(false);
  Ful0508.SetAltRegMapping(false);
  Ful0508.SetAutoOpenPort(false);

  Zeb106.SetComPort(&oxaComPort);
  Zeb106.SetPacketTimeout(500);
  Zeb106.SetByteTimeout(200);
  Zeb106.SetRepeatCount(7);
  Zeb106.SetEWrite(false);
  Zeb106.SetAutoOpenPort(false);

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
  // Key preview: Escape is seen before any control of the window gets it.
  qApp->installEventFilter(this);

  FormCreate();
}

TIDMainFrm::~TIDMainFrm() = default;

void TIDMainFrm::FormCreate() {
  SettingsFile_ = std::make_unique<TIniFile>(settingsPath_);

  // A stored value outside a list leaves that list without a selection. The port number is
  // compared before it becomes an index, so that no stored number can overflow on the way.
  const int port = SettingsFile_->ReadInteger(kSection, "Port", 1);
  ui_->CBPort->setCurrentIndex(port >= 1 && port <= ui_->CBPort->count() ? port - 1 : -1);
  const int baud = SettingsFile_->ReadInteger(kSection, "Baud", 0);
  ui_->CBBaud->setCurrentIndex(baud >= 0 && baud < ui_->CBBaud->count() ? baud : -1);

  ui_->CBInt->clear();
  for (int i = 0; i < 32; ++i) {
    ui_->CBInt->addItem(QString("%1 (%2) %3")
                            .arg(IntegratorRegs[i])
                            .arg(QString::fromUtf8(IntegratorNames[i]))
                            .arg(IsLongIntegrator(i) ? "[long]" : "[float]"));
  }
  ui_->CBInt->setCurrentIndex(0);

  // The network address field only holds 0..127; a stored value beyond it is clamped.
  ui_->SENetAddr->setValue(std::clamp(SettingsFile_->ReadInteger(kSection, "NetAddr", 0), 0, 127));

  // Where the real port sits behind a COM number: the [Ports] section, COM1=/dev/ttyUSB0.
  std::map<uint8_t, std::string> devices;
  for (const auto& [key, value] : SettingsFile_->ReadSection("Ports")) {
    if (!key.startsWith("COM", Qt::CaseInsensitive) || value.isEmpty()) continue;
    bool ok = false;
    const int number = key.mid(3).toInt(&ok);
    if (ok && number >= 1 && number <= 255) devices[uint8_t(number)] = value.toStdString();
  }
  oxaComPort.SetDeviceMap(std::move(devices));

  ShowStatus(QString::fromUtf8("Готов к работе:   ") + ui_->CBPort->currentText() + ", " +
                 ui_->CBBaud->currentText() + " bps",
             kBlue);
}

void TIDMainFrm::FormClose() {
  SettingsFile_.reset();
}

void TIDMainFrm::CBPortChange() {
  if (!SettingsFile_) return;
  if (!SettingsFile_->WriteInteger(kSection, "Port", ui_->CBPort->currentIndex() + 1)) {
    ShowMessage(QString("Unable to write to %1").arg(SettingsFile_->FileName()));
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

bool TIDMainFrm::eventFilter(QObject* watched, QEvent* event) {
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

void TIDMainFrm::FinishBusy() {
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
  oxaComPort.Open();
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

void TIDMainFrm::RunTest(bool sending, const std::function<void()>& exchange,
                         const std::function<QStringList()>& results,
                         const std::function<void()>& after) {
  if (busy_) return;
  busy_ = true;
  DisableButtons();
  OpenChosenPort();
  // The port list stays usable during a test; the status messages name the port this test
  // opened, also when the user picks another one before it is closed.
  const QString port = ui_->CBPort->currentText();
  ShowStatus(QString::fromUtf8("Открытие порта ") + port, kBlack);
  if (!oxaComPort.Opened()) {
    ShowStatus(QString::fromUtf8("Не удалось открыть порт ") + port, kRed);
    EnableButtons();
    FinishBusy();
    return;
  }
  if (sending) ShowStatus(QString::fromUtf8("Отправка запроса "), kBlue);
  Ful0508.SetNetAddr(uint8_t(ui_->SENetAddr->value()));
  buf_.fill(0);
  RunOnWorker(exchange);

  QStringList lines;
  const uint32_t error = Ful0508.LastError();
  if (error != 0) {
    lines << "Failed" << QString("ErrCode=%1").arg(error);
    // The device refused the request: name its reason, so it never reads like a lost answer.
    if (const uint8_t code = Ful0508.LastException(); code != 0) {
      const std::string_view name = oxa::ModbusExceptionName(code);
      lines << QString::asprintf("Exception %.2X", code) +
                   (name.empty() ? QString()
                                 : ": " + QString::fromUtf8(name.data(), qsizetype(name.size())));
    }
  } else {
    lines << "OK" << results();
  }
  ui_->MDebug->setPlainText(lines.join('\n'));
  if (error == 0) {
    ui_->EQuery->setText(QString::fromStdString(Ful0508.LastSent()));
    if (after) after();
  }
  ShowStatus(QString::fromUtf8("Закрытие порта ") + port, kBlack);
  oxaComPort.Close();
  EnableButtons();
  FinishBusy();
}

void TIDMainFrm::Button2Click() {
  auto id = std::make_shared<std::string>();
  RunTest(
      false, [this, id] { Ful0508.GetDevID(*id); },
      [id] { return QStringList{"ID = " + QString::fromStdString(*id)}; });
}

void TIDMainFrm::Button3Click() {
  const auto start = uint16_t(ui_->UDStart->value());
  const auto count = uint16_t(ui_->UDNumReg->value());
  RunTest(
      true, [this, start, count] { Ful0508.ReadHoldingRegisters(start, count, buf_); },
      [this, count] {
        return QStringList{QString::fromUtf8("=Данные=")} +
               HexLines(std::span<const uint8_t>(buf_).first(2 * size_t(count)));
      });
}

void TIDMainFrm::Button4Click() {
  const int index = std::max(0, ui_->CBInt->currentIndex());
  RunTest(
      true, [this, index] { Ful0508.ReadHoldingRegisters(IntegratorRegs[index], 4, buf_); },
      [this, index] {
        const std::span<const uint8_t, 4> raw(buf_.data(), 4);
        return QStringList{"Raw: " + HexLine(raw), QString::fromUtf8(IntegratorNames[index]) +
                                                       " = " + IntegratorValueText(index, raw) +
                                                       " " +
                                                       QString::fromUtf8(IntegratorUnits[index])};
      });
}

void TIDMainFrm::Button5Click() {
  const auto block = uint16_t(ui_->UDArc->value());
  RunTest(
      true, [this, block] { Ful0508.ReadArchiveBlock(block, 1, buf_); },
      [this] {
        return QStringList{QString::fromUtf8("=Данные=")} +
               HexLines(std::span<const uint8_t>(buf_).first(128));
      });
}

void TIDMainFrm::Button6Click() {
  RunTest(
      true, [this] { Ful0508.ReadHoldingRegisters(kRegDose, 1, buf_); },
      [this] {
        return QStringList{QString::fromUtf8("=Данные="), RegisterLine(buf_.data())};
      },
      [this] { ui_->FEDoza->SetValue((buf_[0] * 256 + buf_[1]) * 0.1L); });
}

void TIDMainFrm::Button7Click() {
  const uint16_t tenths = DoseTenths(ui_->FEDoza->Value());
  RunTest(
      true, [this, tenths] { Ful0508.WriteSingleRegister(kRegDose, tenths); },
      [] { return QStringList{}; });
}

void TIDMainFrm::Button8Click(QPushButton* sender) {
  const auto command = uint16_t(sender->property("Tag").toInt());
  RunTest(
      true, [this, command] { Ful0508.WriteSingleRegister(kRegDoserState, command); },
      [] { return QStringList{}; });
}

void TIDMainFrm::Button11Click() {
  RunTest(
      true, [this] { Ful0508.WriteSingleRegister(kRegDoserReset, 1); },
      [] { return QStringList{}; });
}

void TIDMainFrm::Button12Click() {
  RunTest(
      true, [this] { Ful0508.ReadHoldingRegisters(kRegDoserState, 1, buf_); },
      [this] {
        const int state = buf_[0] * 256 + buf_[1];
        const char* word = state == 0   ? "остановлен"
                           : state == 1 ? "запущен"
                           : state == 2 ? "пауза"
                                        : "ошибка";
        return QStringList{QString::fromUtf8("=Данные="), RegisterLine(buf_.data()),
                           QString::fromUtf8("Состояние дозатора: ") + QString::fromUtf8(word)};
      });
}

void TIDMainFrm::LStatusDblClick() {
  // A test holds the port while its buttons are disabled; the stamp waits for another time.
  if (busy_) return;
  busy_ = true;
  DisableButtons();
  OpenChosenPort();
  if (!oxaComPort.Opened()) {
    EnableButtons();
    FinishBusy();
    return;
  }
  Zeb106.SetNetAddr(uint8_t(ui_->SENetAddr->value()));
  std::array<uint8_t, 8> record{};
  bool read = false;
  RunOnWorker([&] {
    std::string id;
    Zeb106.GetDevID(id);
    // Only FUL devices carry the stamp record; others are left alone.
    if (id.find("FUL") == std::string::npos) return;
    Zeb106.ReadRtc2kP(1496, record.data(), uint8_t(record.size()));
    read = Zeb106.LastError() == 0;
  });
  if (read) ShowStatus(StampText(record), kBlack);
  oxaComPort.Close();
  EnableButtons();
  FinishBusy();
}
