// The test and doser buttons end to end: the window against the virtual device on a
// pseudo-terminal mapped as COM1, checked by what the user sees (data pane, request line,
// status line, buttons).
#include <QAction>
#include <QComboBox>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QLocale>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTextDocumentFragment>
#include <QTimer>
#include <QtTest>
#include <memory>

#include "app/ExchangeLogDialog.h"
#include "app/MonitorWindow.h"
#include "app/zeb_id_main.h"
#include "controls/TmxFlatFloatSpinEdit.h"
#include "protocols/oxaModBusProtocol.h"
#include "serial/OxaUtils.h"
#include "sim/PtyDevice.h"

namespace {

QString Utf8(const char* s) {
  return QString::fromUtf8(s);
}

struct Status {
  QString text;
  QColor colour;
  bool buttonsEnabled;
  bool operator==(const Status&) const = default;
};

// A tooltip as the user sees it: Qt draws one that looks like markup as rich text.
QString Shown(const QString& tooltip) {
  return Qt::mightBeRichText(tooltip) ? QTextDocumentFragment::fromHtml(tooltip).toPlainText()
                                      : tooltip;
}

QString ReadFrame(uint8_t addr, uint8_t fn, uint16_t start, uint16_t count) {
  std::array<uint8_t, 8> f{};
  oxa::BuildReadRequest(f, addr, fn, start, count);
  return QString::fromStdString(oxa::HexBytes(f));
}

QString WriteFrame(uint16_t reg, uint16_t value) {
  std::array<uint8_t, 8> f{};
  oxa::BuildWriteSingleRequest(f, 1, reg, value);
  return QString::fromStdString(oxa::HexBytes(f));
}

}  // namespace

class WindowEndToEndTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir dir_;
  std::unique_ptr<oxa::sim::TPtyDevice> device_;
  std::unique_ptr<TIDMainFrm> w_;
  QList<Status> statuses_;

  // A window whose COM1 is the virtual device at address 1; `signature` is the settings file's
  // own section.
  void Start(const QByteArray& signature = "NetAddr=1\n", const QByteArray& more = "") {
    const QString ini = dir_.filePath("ful03test.ini");
    QFile f(ini);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    const std::string& link = device_->Options().link;
    f.write("[Ports]\nCOM1=" +
            QByteArray::fromStdString(link.empty() ? device_->DevicePath() : link) + "\n");
    if (!signature.isEmpty()) f.write("[Signature]\n" + signature);
    f.write(more);
    f.close();
    w_ = std::make_unique<TIDMainFrm>(ini);
    connect(w_.get(), &TIDMainFrm::StatusShown, this, [this](const QString& t, const QColor& c) {
      statuses_.append({t, c, Button("Button2")->isEnabled()});
    });
    w_->show();
    QVERIFY(QTest::qWaitForWindowExposed(w_.get()));
  }

  QPushButton* Button(const char* name) { return w_->findChild<QPushButton*>(name); }
  QSpinBox* Spin(const char* name) { return w_->findChild<QSpinBox*>(name); }
  QStringList Lines() {
    return w_->findChild<QPlainTextEdit*>("MDebug")->toPlainText().split('\n');
  }
  QString Query() { return w_->findChild<QLineEdit*>("EQuery")->text(); }
  TmxFlatFloatSpinEdit* Dose() { return w_->findChild<TmxFlatFloatSpinEdit*>("FEDoza"); }
  QString StatusLine() { return w_->findChild<QLabel*>("LStatus")->text(); }
  void Click(const char* name) {
    statuses_.clear();
    QTest::mouseClick(Button(name), Qt::LeftButton);
  }
  bool AllButtonsEnabled() {
    for (int i = 2; i <= 12; ++i) {
      if (!w_->findChild<QPushButton*>(QString("Button%1").arg(i))->isEnabled()) return false;
    }
    return true;
  }
  void Edit(const std::function<void(oxa::sim::TFulDevice&)>& change) { device_->Edit(change); }
  // Opens the data pane's context menu and chooses the entry `text`; false when it has none.
  bool ChoosePaneMenuEntry(const QString& text) {
    emit w_->findChild<QPlainTextEdit*>("MDebug")->customContextMenuRequested(QPoint(5, 5));
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    if (!menu) return false;
    QAction* entry = nullptr;
    for (QAction* a : menu->actions()) {
      if (a->text() == text) entry = a;
    }
    if (entry) entry->trigger();
    menu->close();
    return entry != nullptr;
  }
  // The separator the window uses for floats and doses.
  QString Sep() { return QLocale().decimalPoint(); }

 private slots:
  void init() {
    statuses_.clear();
    device_ = std::make_unique<oxa::sim::TPtyDevice>();
    QVERIFY2(device_->Start(), device_->LastError().c_str());
  }
  void cleanup() {
    w_.reset();
    device_.reset();
  }

  // --- The pattern: status messages, buttons, request line ---------------------------------

  void registerReadShowsStatusesInOrderWithButtonsDisabled() {
    Start();
    Click("Button3");
    const QList<Status> expected = {
        {Utf8("Открытие порта COM1"), QColor(0, 0, 0), false},
        {Utf8("Отправка запроса "), QColor(0, 0, 255), false},
        {Utf8("Закрытие порта COM1"), QColor(0, 0, 0), false},
    };
    QCOMPARE(statuses_, expected);
    QVERIFY(AllButtonsEnabled());
    QVERIFY(!w_->oxaComPort.Opened());
  }

  void identificationShowsNoSendingStatus() {
    Edit([](auto& d) { d.SetModbusIdentification("FUL-05.08 Дозатор"); });
    Start();
    Click("Button2");
    QCOMPARE(Lines(), (QStringList{"OK", Utf8("ID = FUL-05.08 Дозатор")}));
    QCOMPARE(Query(), Utf8("01 11 C0 2C "));
    QCOMPARE(statuses_.size(), 2);
    QCOMPARE(statuses_.back().text, Utf8("Закрытие порта COM1"));
  }

  void registerRead_data() {
    QTest::addColumn<int>("start");
    QTest::addColumn<int>("count");
    QTest::addColumn<QStringList>("data");
    QTest::newRow("10 registers") << 0 << 10
                                  << QStringList{"00 01 00 02 00 03 00 04 00 05 00 06 00 07 00 08 ",
                                                 "00 09 00 0A "};
    QTest::newRow("8 registers end with an empty line")
        << 0 << 8 << QStringList{"00 01 00 02 00 03 00 04 00 05 00 06 00 07 00 08 ", ""};
    QTest::newRow("from register 3") << 3 << 2 << QStringList{"00 04 00 05 "};
  }
  void registerRead() {
    QFETCH(int, start);
    QFETCH(int, count);
    QFETCH(QStringList, data);
    Edit([](auto& d) {
      for (uint16_t r = 0; r < 16; ++r) d.SetHoldingRegister(r, r + 1);
    });
    Start();
    Spin("UDStart")->setValue(start);
    Spin("UDNumReg")->setValue(count);
    Click("Button3");
    QCOMPARE(Lines(), QStringList({"OK", Utf8("=Данные=")}) + data);
    QCOMPARE(Query(), ReadFrame(1, 3, uint16_t(start), uint16_t(count)));
    if (start == 0 && count == 10) QCOMPARE(Query(), Utf8("01 03 00 00 00 0A C5 CD "));
  }

  void integratorRead_data() {
    QTest::addColumn<int>("entry");
    QTest::addColumn<quint32>("word");
    QTest::addColumn<QString>("raw");
    QTest::addColumn<QString>("value");
    // Entries the virtual device does not move with its clock.
    QTest::newRow("float V1dop") << 9 << 0x3F800000u << "3F 80 00 00 "
                                 << Utf8("V1dop =     1.000000 M3");
    QTest::newRow("negative float Gm2")
        << 27 << 0xC2F6E979u << "C2 F6 E9 79 " << Utf8("Gm2 =  -123.456001 Т/ч");
    QTest::newRow("long Tmin1") << 18 << 3600u << "00 00 0E 10 " << Utf8("Tmin1 = 3600 сек");
    QTest::newRow("long never negative")
        << 23 << 0xFFFFFFFFu << "FF FF FF FF " << Utf8("Terr2 = 4294967295 сек");
  }
  void integratorRead() {
    QFETCH(int, entry);
    QFETCH(quint32, word);
    QFETCH(QString, raw);
    QFETCH(QString, value);
    Edit([&](auto& d) { d.SetRegisterU32(IntegratorRegs[entry], word); });
    Start();
    w_->findChild<QComboBox*>("CBInt")->setCurrentIndex(entry);
    Click("Button4");
    value.replace('.', Sep());
    QCOMPARE(Lines(), (QStringList{"OK", "Raw: " + raw, value}));
    // Four registers are always asked for, though two are shown.
    QCOMPARE(Query(), ReadFrame(1, 3, IntegratorRegs[entry], 4));
  }

  void archiveBlockRead() {
    Start();
    Spin("UDArc")->setValue(8191);
    Click("Button5");
    const auto block = oxa::sim::TFulDevice::ArchiveBlock(8191);
    QStringList expected{"OK", Utf8("=Данные=")};
    for (int line = 0; line < 8; ++line) {
      expected << QString::fromStdString(
          oxa::HexBytes(std::span<const uint8_t>(block).subspan(16 * line, 16)));
    }
    expected << "";
    QCOMPARE(Lines(), expected);
    QCOMPARE(Query(), ReadFrame(1, 0x41, 0x1FFF, 1));
  }

  void networkAddressAndSpeedFromTheWindow() {
    oxa::sim::TPtyOptions options;
    options.address = 5;
    device_ = std::make_unique<oxa::sim::TPtyDevice>(options);
    QVERIFY(device_->Start());
    Edit([](auto& d) { d.SetModbusIdentification("FUL"); });
    Start("Baud=5\nNetAddr=5\n");
    Click("Button2");
    QCOMPARE(Lines(), (QStringList{"OK", "ID = FUL"}));
    QCOMPARE(Query().left(6), QString("05 11 "));
    QCOMPARE(w_->oxaComPort.BaudRate(), 57600u);  // an empty speed list runs at 57600
  }

  // --- Failures --------------------------------------------------------------------------------

  void silentDeviceGivesErrCode2AndKeepsRequestLine() {
    Start();
    Spin("UDNumReg")->setValue(1);
    Click("Button3");
    const QString before = Query();
    QVERIFY(!before.isEmpty());
    Edit([](auto& d) { d.NoAnswerToNext(3); });
    // The window keeps processing its events while the exchange waits out its time-outs.
    int ticks = 0;
    QTimer timer;
    connect(&timer, &QTimer::timeout, [&] { ++ticks; });
    timer.start(50);
    Click("Button12");
    timer.stop();
    QCOMPARE(Lines(), (QStringList{"Failed", "ErrCode=2"}));
    QCOMPARE(Query(), before);
    QVERIFY2(ticks >= 10, qPrintable(QString::number(ticks)));
    QCOMPARE(statuses_.back().text, Utf8("Закрытие порта COM1"));
    QVERIFY(AllButtonsEnabled());
  }

  // The log records whether shown or not; Ctrl+L and the data pane's menu show it.
  void exchangeLogShowsTheButtonsTraffic() {
    Start();
    Spin("UDNumReg")->setValue(2);
    Click("Button3");
    Edit([](auto& d) { d.NoAnswerToNext(3); });
    Click("Button3");
    QVERIFY(!w_->ExchangeLogWindow());
    QTest::keyClick(w_.get(), Qt::Key_L, Qt::ControlModifier);
    TExchangeLogDialog* log = w_->ExchangeLogWindow();
    QVERIFY(log && log->isVisible());
    QCOMPARE(log->windowTitle(), Utf8("Журнал обмена"));
    auto* table = log->findChild<QTableWidget*>("LogTable");
    QTRY_VERIFY(table->rowCount() > 0);
    QStringList rows;
    for (int r = 0; r < table->rowCount(); ++r) {
      rows << table->item(r, 1)->text() + "|" + table->item(r, 3)->text().section(',', 0, 0) + "|" +
                  table->item(r, 4)->text();
    }
    const QString read = Utf8("Modbus адрес 1 функция 3 чтение регистров хранения");
    const QString port = "COM1 (" + QString::fromStdString(device_->DevicePath()) + ")";
    QCOMPARE(rows.mid(0, 7),
             (QStringList{"|" + port + Utf8("|порт открыт"), "TX|" + read + Utf8("|КС верна"),
                          "RX|" + read + Utf8("|КС верна"), "|" + port + Utf8("|порт закрыт"),
                          "|" + port + Utf8("|порт открыт"), "TX|" + read + Utf8("|КС верна"),
                          Utf8("||нет ответа")}));
    QVERIFY(!table->item(2, 5)->text().isEmpty());  // the answer's response time

    // The data pane's menu brings the same window back after it was closed.
    log->close();
    QVERIFY(ChoosePaneMenuEntry(Utf8("Журнал обмена")));
    QCOMPARE(w_->ExchangeLogWindow(), log);
    QVERIFY(log->isVisible());

    // And selects the pane's whole text, to copy it.
    auto* pane = w_->findChild<QPlainTextEdit*>("MDebug");
    QVERIFY(!pane->toPlainText().isEmpty());
    QVERIFY(ChoosePaneMenuEntry(Utf8("Выделить всё")));
    QCOMPARE(pane->textCursor().selectedText().size(), pane->toPlainText().size());
  }

  // The side windows open beside the form inside the screen's work area, no longer at the
  // screen's top left corner over it; the archive range opens where the user left it, next
  // run too.
  void sideWindowsOpenBesideTheFormWhereLeft() {
    Start();
    const auto side = [this](oxa::TPaneCommand command) -> QWidget* {
      w_->Model().PaneCommand(command);
      switch (command) {
        case oxa::TPaneCommand::kExchangeLog:
          return w_->ExchangeLogWindow();
        case oxa::TPaneCommand::kMonitor:
          return w_->MonitorWindow();
        case oxa::TPaneCommand::kArchiveRange:
          return w_->findChild<QWidget*>("ArchiveRange");
      }
      return nullptr;
    };
    // The form against the screen's left edge: room beside it on its right only.
    const QRect area = w_->screen()->availableGeometry();
    w_->move(area.topLeft() + QPoint(0, 20));
    const QRect form = w_->frameGeometry();
    for (const auto command : {oxa::TPaneCommand::kExchangeLog, oxa::TPaneCommand::kMonitor,
                               oxa::TPaneCommand::kArchiveRange}) {
      QWidget* window = side(command);
      QVERIFY(window && window->isVisible());
      const QRect at = window->frameGeometry();
      QVERIFY2(at.topLeft() != QPoint(0, 0), window->objectName().toUtf8());
      // Beside the form where the screen has room, else as near it as the screen allows; the
      // top at the form's, unless the screen's bottom is in the way.
      const int right = form.right() + 1;
      QCOMPARE(at.left(), std::max(area.left(), std::min(right, area.right() + 1 - at.width())));
      QCOMPARE(at.top(),
               std::max(area.top(), std::min(form.top(), area.bottom() + 1 - at.height())));
    }
    QWidget* archive = side(oxa::TPaneCommand::kArchiveRange);
    archive->move(30, 40);
    archive->close();
    w_->close();
    w_ = std::make_unique<TIDMainFrm>(dir_.filePath("ful03test.ini"));
    w_->show();
    QVERIFY(QTest::qWaitForWindowExposed(w_.get()));
    QCOMPARE(side(oxa::TPaneCommand::kArchiveRange)->pos(), QPoint(30, 40));
  }

  void portListTellsWhatEachEntryOpens() {
    // A device name that looks like markup is shown as it is written, never drawn.
    Start("NetAddr=1\n[Ports]\nCOM2=/dev/oxa<b>x</b>&amp;\n");
    auto* ports = w_->findChild<QComboBox*>("CBPort");
    ports->showPopup();
    const QString mapped = Shown(ports->itemData(0, Qt::ToolTipRole).toString());
    QVERIFY2(mapped.startsWith(QString::fromStdString(device_->DevicePath())), qPrintable(mapped));
    QCOMPARE(Shown(ports->itemData(1, Qt::ToolTipRole).toString()),
             Utf8("/dev/oxa<b>x</b>&amp;: устройство отсутствует"));
    QCOMPARE(Shown(ports->itemData(15, Qt::ToolTipRole).toString()),
             Utf8("/dev/ttyS15: устройство отсутствует"));
    ports->hidePopup();
  }

  void adapterPulledDuringATestIsSaid() {
    // The adapter is reached through a stable link, as /dev/serial/by-id names one.
    const std::string link = dir_.filePath("by-id-adapter").toStdString();
    device_ = std::make_unique<oxa::sim::TPtyDevice>(oxa::sim::TPtyOptions{.link = link});
    QVERIFY2(device_->Start(), device_->LastError().c_str());
    Start();
    Edit([](auto& d) { d.NoAnswerToNext(3); });
    QTimer::singleShot(150, [this] { device_->Stop(); });
    Click("Button3");
    QCOMPARE(Lines().mid(0, 2), (QStringList{"Failed", "ErrCode=1"}));
    QCOMPARE(Lines().mid(2).join(' '),
             Utf8("Порт COM1 потерял устройство (адаптер отключён?). При следующей проверке "
                  "порт будет открыт заново."));
    for (const QString& line : Lines()) QVERIFY(line.size() <= 50);
    QCOMPARE(statuses_.back().text, Utf8("Закрытие порта COM1"));
    // Plugged in again, the link comes back: the next test opens it afresh and is answered.
    QVERIFY2(device_->Start(), device_->LastError().c_str());
    Click("Button2");
    QCOMPARE(Lines().front(), QString("OK"));
  }

  void deviceExceptionIsNamedNotOk() {
    Start();
    Spin("UDStart")->setValue(9000);
    Spin("UDNumReg")->setValue(1);
    Click("Button3");
    QCOMPARE(Lines(), (QStringList{"Failed", "ErrCode=7",
                                   Utf8("Исключение 02: недопустимый адрес данных")}));
    QVERIFY(Query().isEmpty());
  }

  void portThatCannotOpen_data() {
    QTest::addColumn<QByteArray>("signature");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("reason");
    QTest::newRow("no port chosen") << QByteArray("Port=0\n") << Utf8("Не удалось открыть порт ")
                                    << Utf8("Порт не выбран: выберите порт в списке.");
    QTest::newRow("missing device")
        << QByteArray("Port=16\n") << Utf8("Не удалось открыть порт COM16")
        << Utf8(
               "Устройство /dev/ttyS15 не найдено. Подключите адаптер или укажите для COM16 "
               "другое устройство в разделе [Ports] файла ");
    QTest::newRow("malformed mapping")
        << QByteArray("Port=2\n[Ports]\nCOM2=/dev/ttyUSB0 rs458\n")
        << Utf8("Не удалось открыть порт COM2")
        << Utf8("Неверная запись COM2=/dev/ttyUSB0 rs458 в разделе [Ports] файла ");
  }
  void portThatCannotOpen() {
    QFETCH(QByteArray, signature);
    QFETCH(QString, status);
    QFETCH(QString, reason);
    Start(signature);
    w_->findChild<QPlainTextEdit*>("MDebug")->setPlainText("before");
    Click("Button4");
    QCOMPARE(statuses_.size(), 2);
    QCOMPARE(statuses_.back(), (Status{status, QColor(255, 0, 0), false}));
    QCOMPARE(StatusLine(), status);
    // The reason, with what to do about it, goes to the data pane in lines it shows whole.
    QVERIFY2(Lines().join(' ').startsWith(reason), qPrintable(Lines().join('\n')));
    for (const QString& line : Lines()) QVERIFY(line.size() <= 50);
    QVERIFY(Query().isEmpty());
    QVERIFY(AllButtonsEnabled());
  }

  // --- In English -------------------------------------------------------------------------

  void englishFromTheSettingsFileAndBackFromTheStatusLine() {
    Edit([](auto& d) {
      d.SetHoldingRegister(0, 0x1234);
      d.Set10xIdentification("FUL-05.08");
      const uint8_t no_marker[8] = {0xDF, 0x85, 0x25, 0x20, 0x12, 0x05, 0x31, 0xAD};
      d.SetMemory(1496, no_marker);
    });
    Start("NetAddr=1\n", "[Window]\nLanguage=en\n");
    QCOMPARE(StatusLine(), Utf8("Ready:   COM1, 9600 bps"));
    QCOMPARE(Button("Button3")->text(), Utf8("Reading registers (arbitrary) (command 16)"));
    QCOMPARE(w_->findChild<QGroupBox*>("GroupBox8")->title(), Utf8(" Doser control "));

    Spin("UDNumReg")->setValue(1);
    Click("Button3");
    QCOMPARE(Lines(), (QStringList{"OK", "=Data=", "12 34 "}));
    const QList<Status> expected = {
        {Utf8("Opening port COM1"), QColor(0, 0, 0), false},
        {Utf8("Sending request "), QColor(0, 0, 255), false},
        {Utf8("Closing port COM1"), QColor(0, 0, 0), false},
    };
    QCOMPARE(statuses_, expected);

    Edit([](auto& d) { d.NoAnswerToNext(3); });
    Click("Button12");
    QCOMPARE(Lines(), (QStringList{"Failed", "ErrCode=2"}));

    QTest::mouseDClick(w_->findChild<QLabel*>("LStatus"), Qt::LeftButton);
    QCOMPARE(StatusLine(), Utf8("No data"));

    // Back to Russian from the status line's menu: at once, and for the next start.
    auto* russian = w_->findChild<QAction*>("LanguageRussian");
    QVERIFY(russian && w_->findChild<QAction*>("LanguageEnglish")->isChecked());
    russian->trigger();
    QCOMPARE(Button("Button3")->text(), Utf8("Чтение регистров  (произв.) (команда 16)"));
    QCOMPARE(StatusLine(), Utf8("Готов к работе:   COM1, 9600 bps"));
    QFile ini(dir_.filePath("ful03test.ini"));
    QVERIFY(ini.open(QIODevice::ReadOnly));
    QVERIFY(ini.readAll().contains("[Window]\nLanguage=ru\n"));
  }

  void exitDuringTestClosesAfterIt() {
    Start();
    Edit([](auto& d) { d.NoAnswerToNext(3); });
    int secondTests = 0;
    QTimer::singleShot(200, [&] {
      QTest::keyClick(Spin("UDStart"), Qt::Key_Escape);
      QVERIFY(w_->isVisible());  // still running
      // A click on another test button while the first runs does nothing.
      const int before = int(statuses_.size());
      QTest::mouseClick(Button("Button2"), Qt::LeftButton);
      // Nor does a double-click on the status line: the test holds the port.
      QTest::mouseDClick(w_->findChild<QLabel*>("LStatus"), Qt::LeftButton);
      secondTests = int(statuses_.size()) - before;
      // The lists stay usable; another port chosen now is for the next test.
      w_->findChild<QComboBox*>("CBPort")->setCurrentIndex(2);
    });
    Click("Button3");
    QCOMPARE(secondTests, 0);
    QCOMPARE(Lines(), (QStringList{"Failed", "ErrCode=2"}));
    QCOMPARE(statuses_.back().text, Utf8("Закрытие порта COM1"));
    QVERIFY(!w_->isVisible());
    QVERIFY(!w_->oxaComPort.Opened());
  }

  // --- The stamp on the status line -----------------------------------------------------------

  void stampOnDoubleClick_data() {
    QTest::addColumn<QByteArray>("record");
    QTest::addColumn<QString>("status");
    QTest::newRow("stamp") << QByteArray::fromHex("DE852520120531AD") << Utf8("9605 2012.05.31");
    QTest::newRow("largest number")
        << QByteArray::fromHex("DEFFFF00120531AD") << Utf8("65535 2012.05.31");
    QTest::newRow("small number, non-BCD date")
        << QByteArray::fromHex("DE070000991A01AD") << Utf8("0007 2099.1A.01");
    QTest::newRow("no start marker")
        << QByteArray::fromHex("DF852520120531AD") << Utf8("Нет данных");
    QTest::newRow("no end marker") << QByteArray::fromHex("DE8525201205310A") << Utf8("Нет данных");
  }
  void stampOnDoubleClick() {
    QFETCH(QByteArray, record);
    QFETCH(QString, status);
    Edit([&](auto& d) {
      d.Set10xIdentification("FUL-05.08");
      d.SetMemory(
          1496, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(record.constData()), 8));
    });
    Start();
    statuses_.clear();
    QTest::mouseDClick(w_->findChild<QLabel*>("LStatus"), Qt::LeftButton);
    QCOMPARE(StatusLine(), status);
    QCOMPARE(statuses_.size(), 1);
    QCOMPARE(statuses_.front().colour, QColor(0, 0, 0));
    QVERIFY(AllButtonsEnabled());
    QVERIFY(!w_->oxaComPort.Opened());
  }

  void stampIsNotReadFromOtherDevices() {
    uint64_t before = 0;
    Edit([&](auto& d) {
      d.Set10xIdentification("ZEB-106");
      d.SetStamp(7, 2012, 5, 31);
      before = d.RequestsAnswered();
    });
    Start();
    const QString ready = StatusLine();
    QTest::mouseDClick(w_->findChild<QLabel*>("LStatus"), Qt::LeftButton);
    QCOMPARE(StatusLine(), ready);
    uint64_t after = 0;
    Edit([&](auto& d) { after = d.RequestsAnswered(); });
    QCOMPARE(after - before, uint64_t(1));  // the identification only
  }

  void stampSilentWhenPortDoesNotOpen() {
    Start("Port=16\n");
    const QString ready = StatusLine();
    QTest::mouseDClick(w_->findChild<QLabel*>("LStatus"), Qt::LeftButton);
    QCOMPARE(StatusLine(), ready);
    QVERIFY(AllButtonsEnabled());
  }

  // --- Doser ---------------------------------------------------------------------------------

  void doseRead_data() {
    QTest::addColumn<int>("reg");
    QTest::addColumn<QString>("hex");
    QTest::addColumn<QString>("dose");
    QTest::newRow("max") << 0xFFFF << "FF FF"
                         << "6553.5";
    QTest::newRow("12345") << 12345 << "30 39"
                           << "1234.5";
    QTest::newRow("zero") << 0 << "00 00"
                          << "0.0";
  }
  void doseRead() {
    QFETCH(int, reg);
    QFETCH(QString, hex);
    QFETCH(QString, dose);
    Edit([&](auto& d) { d.SetHoldingRegister(oxa::sim::kRegDose, uint16_t(reg)); });
    Start();
    Dose()->SetValue(3);
    Click("Button6");
    QCOMPARE(Lines(), (QStringList{"OK", Utf8("=Данные="), hex}));
    QCOMPARE(Dose()->text(), dose.replace('.', Sep()));
    QCOMPARE(Query(), ReadFrame(1, 3, 2201, 1));
  }

  void doseWrite_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("tenths");
    QTest::newRow("0.7") << "0.7" << 7;
    QTest::newRow("6553.5") << "6553.5" << 65535;
    QTest::newRow("not a number") << "abc" << 0;
  }
  // Ctrl+M opens the monitor; it polls into its table and its CSV log with the test buttons
  // disabled, its frames in the exchange log, and gives the port back when stopped.
  void monitorPollsIntoItsTableAndLog() {
    Start();
    Edit([](auto& d) {
      d.SetRegisterFloat(2160, 0.5f);  // P1
      d.SetHoldingRegister(2201, 150);
    });
    QVERIFY(!w_->MonitorWindow());
    QTest::keyClick(w_.get(), Qt::Key_M, Qt::ControlModifier);
    TMonitorWindow* monitor = w_->MonitorWindow();
    QVERIFY(monitor && monitor->isVisible());
    QCOMPARE(monitor->windowTitle(), Utf8("Мониторинг"));
    monitor->findChild<QListWidget*>("MonitorIntegrators")->item(30)->setCheckState(Qt::Checked);
    monitor->findChild<QSpinBox*>("MonitorFirstRegister")->setValue(2201);
    monitor->findChild<QSpinBox*>("MonitorRegisterCount")->setValue(1);
    auto* interval = monitor->findChild<QSpinBox*>("MonitorInterval");
    interval->setValue(99);
    const QString csv = dir_.filePath("monitor.csv");
    monitor->SetSaveNameHook([csv] { return csv; });
    QTest::mouseClick(monitor->findChild<QPushButton*>("MonitorBrowse"), Qt::LeftButton);
    QCOMPARE(monitor->findChild<QLineEdit*>("MonitorCsvPath")->text(), csv);
    auto* start = monitor->findChild<QPushButton*>("MonitorStart");
    auto* status = monitor->findChild<QLabel*>("MonitorStatus");
    // Below the least interval: said, nothing sent, no file made.
    const uint64_t requests = w_->Model().ExchangeLog().Snapshot(0).counters.requests;
    QTest::mouseClick(start, Qt::LeftButton);
    QCOMPARE(status->text(), Utf8("Интервал опроса должен быть не меньше 100 мс"));
    QVERIFY(!QFile::exists(csv));
    QVERIFY(AllButtonsEnabled());

    interval->setValue(100);
    QTest::mouseClick(start, Qt::LeftButton);
    QCOMPARE(status->text(), QString());
    QVERIFY(!Button("Button2")->isEnabled());
    auto* table = monitor->findChild<QTableWidget*>("MonitorTable");
    QCOMPARE(table->rowCount(), 2);
    QTRY_COMPARE(table->item(0, 1)->text(), QStringLiteral("0.5"));
    QCOMPARE(table->item(0, 0)->text(), QStringLiteral("P1"));
    QCOMPARE(table->item(0, 2)->text(), Utf8("МПа"));
    QCOMPARE(table->item(1, 1)->text(), QStringLiteral("150"));
    // The time of the last good read, as a clock reads it: "12:46:48".
    QVERIFY(
        QRegularExpression("^\\d\\d:\\d\\d:\\d\\d$").match(table->item(1, 3)->text()).hasMatch());
    QTRY_VERIFY(monitor->Monitor().Snapshot().reads >= 3);
    QTest::mouseClick(monitor->findChild<QPushButton*>("MonitorStop"), Qt::LeftButton);
    QVERIFY(AllButtonsEnabled());
    const uint64_t reads = monitor->Monitor().Snapshot().reads;
    QVERIFY(monitor->findChild<QLabel*>("MonitorCounters")
                ->text()
                .startsWith(Utf8("Чтений: %1   Ошибок: 0").arg(reads)));
    QCOMPARE(w_->Model().ExchangeLog().Snapshot(0).counters.requests, requests + 2 * reads);

    QFile file(csv);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(file.readAll()).split("\r\n", Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), static_cast<qsizetype>(reads + 1));
    QCOMPARE(lines[0], QString("time,\"P1, MPa\",2201,outcome"));
    for (qsizetype i = 1; i < lines.size(); ++i) QVERIFY(lines[i].endsWith(",0.5,150,OK"));

    // The data pane's menu brings the same window back after it was closed.
    monitor->close();
    QVERIFY(ChoosePaneMenuEntry(Utf8("Мониторинг")));
    QCOMPARE(w_->MonitorWindow(), monitor);
    QVERIFY(monitor->isVisible());
  }

  void doseWrite() {
    QFETCH(QString, text);
    QFETCH(int, tenths);
    Edit([](auto& d) { d.SetHoldingRegister(oxa::sim::kRegDose, 1234); });
    Start();
    Dose()->setText(text.replace('.', Sep()));
    Click("Button7");
    QCOMPARE(Lines(), QStringList{"OK"});
    QCOMPARE(Query(), WriteFrame(2201, uint16_t(tenths)));
    uint16_t stored = 0;
    Edit([&](auto& d) { stored = d.HoldingRegister(oxa::sim::kRegDose); });
    QCOMPARE(int(stored), tenths);
  }

  void doserCommandsWriteTheirTags() {
    Edit([](auto& d) { d.SetHoldingRegister(oxa::sim::kRegDose, 50); });
    Start();
    const std::pair<const char*, uint16_t> commands[] = {
        {"Button8", 1}, {"Button9", 2}, {"Button10", 0}};
    for (const auto& [button, value] : commands) {
      Click(button);
      QCOMPARE(Lines(), QStringList{"OK"});
      QCOMPARE(Query(), WriteFrame(2202, value));
    }
    Click("Button11");
    QCOMPARE(Query(), WriteFrame(2203, 1));
  }

  void doserStateIsNamed_data() {
    QTest::addColumn<int>("state");
    QTest::addColumn<QString>("hex");
    QTest::addColumn<QString>("word");
    QTest::newRow("stopped") << 0 << "00 00" << Utf8("остановлен");
    QTest::newRow("running") << 1 << "00 01" << Utf8("запущен");
    QTest::newRow("paused") << 2 << "00 02" << Utf8("пауза");
    QTest::newRow("error") << 3 << "00 03" << Utf8("ошибка");
    QTest::newRow("unknown") << 0x0102 << "01 02" << Utf8("ошибка");
  }
  void doserStateIsNamed() {
    QFETCH(int, state);
    QFETCH(QString, hex);
    QFETCH(QString, word);
    Edit([&](auto& d) { d.SetHoldingRegister(oxa::sim::kRegDoserState, uint16_t(state)); });
    Start();
    Click("Button12");
    QCOMPARE(Lines(),
             (QStringList{"OK", Utf8("=Данные="), hex, Utf8("Состояние дозатора: ") + word}));
  }

  void failedDoseReadKeepsDoseAndRequest() {
    Start();
    Click("Button12");
    const QString before = Query();
    Dose()->SetValue(12.5L);
    const QString dose = Dose()->text();
    Edit([](auto& d) { d.CorruptChecksumOfNext(3); });
    Click("Button6");
    QCOMPARE(Lines(), (QStringList{"Failed", "ErrCode=5"}));
    QCOMPARE(Dose()->text(), dose);
    QCOMPARE(Query(), before);
  }
};

QTEST_MAIN(WindowEndToEndTest)
#include "window_e2e_test.moc"
