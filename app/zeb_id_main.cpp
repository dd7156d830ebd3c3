#include "app/zeb_id_main.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QFontDatabase>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QScreen>
#include <map>

#include "app/IniFile.h"
#include "ui_zeb_id_main.h"

const std::array<uint16_t, 32> IntegratorRegs = {
    2000, 2002, 2004, 2006, 2008, 2012, 2014, 2016, 2018, 2020, 2022,
    2028, 2030, 2032, 2034, 2038, 2040, 2042, 2052, 2054, 2064, 2066,
    2088, 2090, 2100, 2102, 2104, 2106, 2140, 2142, 2160, 2162};

// The names and units mix Latin and Cyrillic look-alike letters exactly as the device's
// documentation prints them: "Tнар" starts with a Latin T, "Т1"/"Т2" with a Cyrillic Т, and
// the unit of Gm2 ("Т/ч") with a Cyrillic Т while that of Gm1 ("T/ч") has a Latin T.
const std::array<const char*, 32> IntegratorNames = {
    "V1",    "V2",    "V1r",   "V2r",     "Vd",      "M1",        "M2",        "M1r",
    "M2r",   "V1dop", "V2dop", "M1dop",   "M2dop",   "M1r dop",   "M2r dop",   "Tall",
    "T\u043d\u0430\u04401", "T\u043d\u0430\u04402", "Tmin1", "Tmin2", "Tmax1", "Tmax2", "Terr1",
    "Terr2", "Gv1",   "Gv2",   "Gm1",     "Gm2",     "\u04221",   "\u04222",   "P1",
    "P2"};

const std::array<const char*, 32> IntegratorUnits = {
    "M3", "M3", "M3", "M3", "M3", "T", "T", "T", "T", "M3", "M3", "T", "T", "T", "T",
    "\u0441\u0435\u043a", "\u0441\u0435\u043a", "\u0441\u0435\u043a", "\u0441\u0435\u043a",
    "\u0441\u0435\u043a", "\u0441\u0435\u043a", "\u0441\u0435\u043a", "\u0441\u0435\u043a",
    "\u0441\u0435\u043a",
    "M3/\u0447", "M3/\u0447", "T/\u0447", "\u0422/\u0447",
    "\u0433\u0440\u0430\u0434.", "\u0433\u0440\u0430\u0434.",
    "\u041c\u041f\u0430", "\u041c\u041f\u0430"};

bool IsLongIntegrator(int index) { return index >= 15 && index <= 23; }

namespace {

const char* const kSection = "Signature";

}  // namespace

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
  const std::pair<QWidget*, const char*> edits[] = {
      {ui_->SENetAddr, "Edit1"}, {ui_->UDStart, "Edit2"}, {ui_->UDNumReg, "Edit3"},
      {ui_->UDArc, "Edit4"}};
  for (const auto& [spin, name] : edits) {
    if (auto* edit = spin->findChild<QLineEdit*>()) edit->setObjectName(name);
  }
  if (auto* edit1 = ui_->SENetAddr->findChild<QLineEdit*>()) edit1->setMaxLength(4);

  ShowMessage = [this](const QString& text) {
    QMessageBox::critical(this, windowTitle(), text);
  };

  connect(ui_->CBPort, &QComboBox::activated, this, [this] { CBPortChange(); });
  connect(ui_->Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
  // Key preview: Escape is seen before any control of the window gets it.
  qApp->installEventFilter(this);

  FormCreate();
}

TIDMainFrm::~TIDMainFrm() = default;

void TIDMainFrm::FormCreate() {
  SettingsFile_ = std::make_unique<TIniFile>(settingsPath_);

  // A stored value outside a list leaves that list without a selection.
  const int port = SettingsFile_->ReadInteger(kSection, "Port", 1) - 1;
  ui_->CBPort->setCurrentIndex(port >= 0 && port < ui_->CBPort->count() ? port : -1);
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
             Qt::blue);
}

void TIDMainFrm::FormClose() { SettingsFile_.reset(); }

void TIDMainFrm::CBPortChange() {
  if (!SettingsFile_) return;
  if (!SettingsFile_->WriteInteger(kSection, "Port", ui_->CBPort->currentIndex() + 1)) {
    ShowMessage(QString("Unable to write to %1").arg(SettingsFile_->FileName()));
  }
}

void TIDMainFrm::Button1Click() { close(); }

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
  if (event->type() == QEvent::KeyPress &&
      static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape && watched->isWidgetType() &&
      static_cast<QWidget*>(watched)->window() == this) {
    ui_->Button1->click();
    return true;
  }
  return QWidget::eventFilter(watched, event);
}

void TIDMainFrm::closeEvent(QCloseEvent* event) {
  FormClose();
  event->accept();
}
