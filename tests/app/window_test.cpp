// The window as a user meets it: captions, the settings file, the status line, the keyboard.
#include <unistd.h>

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QtTest>

#include "actions/SettingsPath.h"
#include "app/zeb_id_main.h"

namespace {

QString Utf8(const char* s) {
  return QString::fromUtf8(s);
}

QString StatusText(TIDMainFrm& w) {
  return w.findChild<QLabel*>("LStatus")->text();
}
QColor StatusColour(TIDMainFrm& w) {
  return w.findChild<QLabel*>("LStatus")->palette().color(QPalette::WindowText);
}

void WriteFile(const QString& path, const QByteArray& text) {
  QFile f(path);
  QVERIFY(f.open(QIODevice::WriteOnly));
  f.write(text);
}

QByteArray ReadFile(const QString& path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return {};
  return f.readAll();
}

// Picks an entry of a list as a user does: with the keyboard on the closed list.
void ChooseWithKeys(QComboBox* box, int index) {
  box->setFocus();
  while (box->currentIndex() < index) QTest::keyClick(box, Qt::Key_Down);
  while (box->currentIndex() > index) QTest::keyClick(box, Qt::Key_Up);
}

}  // namespace

class WindowTest : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    QVERIFY(dir_.isValid());
    ini_ = dir_.filePath("ful03test.ini");
    QFile::remove(ini_);
  }

  void windowIsFixedAndCaptioned() {
    TIDMainFrm w(ini_);
    QCOMPARE(w.windowTitle(), Utf8("FUL 05.03 Modbus test"));
    QCOMPARE(w.size(), QSize(770, 414));
    QCOMPARE(w.minimumSize(), w.maximumSize());
    QVERIFY(!(w.windowFlags() & Qt::WindowMaximizeButtonHint));
    QVERIFY(w.windowFlags() & Qt::WindowMinimizeButtonHint);
    // Tahoma 8 pt: the system's own, or the compatible face loaded at start-up.
    if (QFile::exists("/usr/share/wine/fonts/tahoma.ttf")) {
      QCOMPARE(QFontInfo(w.findChild<QPushButton*>("Button2")->font()).family(), QString("Tahoma"));
    }
    QCOMPARE(w.font().pixelSize(), 11);
    QCOMPARE(w.findChild<QPlainTextEdit*>("MDebug")->font().pixelSize(), 13);
    QVERIFY(QFontInfo(w.findChild<QPlainTextEdit*>("MDebug")->font()).fixedPitch());
  }

  void captionsAreExact_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("caption");
    const char* const rows[][2] = {
        {"GroupBox1", " Соединение "},
        {"GroupBox6", " Тесты "},
        {"GroupBox7", " Данные "},
        {"GroupBox8", " Управление дозатором "},
        {"Label1", "Порт"},
        {"Label2", "Скорость"},
        {"Label3", "Сетевой адрес прибора"},
        {"Label17", "Старт"},
        {"Label18", "#"},
        {"Label19", "Номер 128-байтного блока"},
        {"Label20", "Запрос"},
        {"Label21", "Значение дозы в литрах"},
        {"Button1", "Выход"},
        {"Button2", "Идентификация устройства (команда 17)"},
        {"Button3", "Чтение регистров  (произв.) (команда 16)"},
        {"Button4", "Чтение интеграторов (команда 16 ***)"},
        {"Button5", "Чтение архива (команда 65)"},
        {"Button6", "Прочитать"},
        {"Button7", "Записать"},
        {"Button8", "Старт"},
        {"Button9", "Пауза"},
        {"Button10", "Стоп"},
        {"Button11", "Сброс"},
        {"Button12", "Прочитать состояние"},
    };
    for (const auto& row : rows) QTest::newRow(row[0]) << QString(row[0]) << Utf8(row[1]);
  }
  void captionsAreExact() {
    QFETCH(QString, name);
    QFETCH(QString, caption);
    TIDMainFrm w(ini_);
    QWidget* c = w.findChild<QWidget*>(name);
    QVERIFY2(c, qPrintable(name));
    if (auto* g = qobject_cast<QGroupBox*>(c))
      QCOMPARE(g->title(), caption);
    else if (auto* l = qobject_cast<QLabel*>(c))
      QCOMPARE(l->text(), caption);
    else
      QCOMPARE(qobject_cast<QPushButton*>(c)->text(), caption);
  }

  void controlsStartAsDesigned() {
    TIDMainFrm w(ini_);
    auto* port = w.findChild<QComboBox*>("CBPort");
    QCOMPARE(port->count(), 16);
    QCOMPARE(port->itemText(0), Utf8("COM1"));
    QCOMPARE(port->itemText(15), Utf8("COM16"));
    auto* baud = w.findChild<QComboBox*>("CBBaud");
    QCOMPARE(baud->count(), 3);
    QCOMPARE(baud->itemText(2), Utf8("57600"));
    const std::pair<const char*, int> spins[] = {
        {"SENetAddr", 127}, {"UDStart", 10000}, {"UDNumReg", 127}, {"UDArc", 8191}};
    for (const auto& [name, max] : spins) {
      auto* s = w.findChild<QSpinBox*>(name);
      QVERIFY2(s, name);
      QCOMPARE(s->minimum(), 0);
      QCOMPARE(s->maximum(), max);
      QCOMPARE(s->value(), 0);
    }
    for (const char* edit : {"Edit1", "Edit2", "Edit3", "Edit4"}) {
      auto* e = w.findChild<QLineEdit*>(edit);
      QVERIFY2(e, edit);
      QCOMPARE(e->text(), Utf8("0"));
    }
    QCOMPARE(w.findChild<QLineEdit*>("Edit1")->maxLength(), 4);
    auto* ints = w.findChild<QComboBox*>("CBInt");
    QCOMPARE(ints->count(), 32);
    QCOMPARE(ints->currentIndex(), 0);
    QCOMPARE(ints->itemText(0), Utf8("2000 (V1) [float]"));
    QCOMPARE(ints->itemText(15), Utf8("2038 (Tall) [long]"));
    QCOMPARE(ints->itemText(16), Utf8("2040 (Tнар1) [long]"));
    QCOMPARE(ints->itemText(23), Utf8("2090 (Terr2) [long]"));
    QCOMPARE(ints->itemText(24), Utf8("2100 (Gv1) [float]"));
    QCOMPARE(ints->itemText(28), Utf8("2140 (Т1) [float]"));
    QVERIFY(w.findChild<QPlainTextEdit*>("MDebug")->toPlainText().isEmpty());
    QVERIFY(w.findChild<QLineEdit*>("EQuery")->text().isEmpty());
    QVERIFY(w.findChild<QLineEdit*>("EQuery")->isReadOnly());
    QVERIFY(w.findChild<QLineEdit*>("FEDoza"));
    for (int i = 2; i <= 12; ++i) {
      QVERIFY(w.findChild<QPushButton*>(QString("Button%1").arg(i))->isEnabled());
    }
    QCOMPARE(w.findChild<QPushButton*>("Button8")->property("Tag").toInt(), 1);
    QCOMPARE(w.findChild<QPushButton*>("Button9")->property("Tag").toInt(), 2);
    QCOMPARE(w.findChild<QPushButton*>("Button10")->property("Tag").toInt(), 0);
  }

  // The ready message shows the lists' texts exactly, empty where a list has no selection.
  void readyMessageFollowsSettings_data() {
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("status");
    QTest::addColumn<int>("netAddr");
    QTest::newRow("no file") << QByteArray() << Utf8("Готов к работе:   COM1, 9600 bps") << 0;
    QTest::newRow("stored values") << QByteArray("[Signature]\nPort=3\nBaud=2\nNetAddr=17\n")
                                   << Utf8("Готов к работе:   COM3, 57600 bps") << 17;
    QTest::newRow("speed out of list")
        << QByteArray("[Signature]\nBaud=5\n") << Utf8("Готов к работе:   COM1,  bps") << 0;
    QTest::newRow("port out of list")
        << QByteArray("[Signature]\nPort=0\n") << Utf8("Готов к работе:   , 9600 bps") << 0;
    QTest::newRow("port above list")
        << QByteArray("[Signature]\nPort=17\nBaud=-1\n") << Utf8("Готов к работе:   ,  bps") << 0;
    QTest::newRow("lowest number") << QByteArray("[Signature]\nPort=-2147483648\n")
                                   << Utf8("Готов к работе:   , 9600 bps") << 0;
    QTest::newRow("hex values") << QByteArray(
                                       "[signature]\nPort=$10\r\nBaud=0x1\r\nNetAddr=0X7f\r\n")
                                << Utf8("Готов к работе:   COM16, 19200 bps") << 127;
    QTest::newRow("empty and unparsable give defaults")
        << QByteArray("[Signature]\nPort=\nBaud=fast\nNetAddr=12abc\n")
        << Utf8("Готов к работе:   COM1, 9600 bps") << 0;
    QTest::newRow("byte order mark") << QByteArray("\xEF\xBB\xBF[Signature]\nPort=2\n")
                                     << Utf8("Готов к работе:   COM2, 9600 bps") << 0;
    QTest::newRow("other section ignored") << QByteArray("[Other]\nPort=5\n[Signature]\n; Port=7\n")
                                           << Utf8("Готов к работе:   COM1, 9600 bps") << 0;
    QTest::newRow("address clamped high") << QByteArray("[Signature]\nNetAddr=300\n")
                                          << Utf8("Готов к работе:   COM1, 9600 bps") << 127;
    QTest::newRow("address clamped low")
        << QByteArray("[Signature]\nNetAddr=-4\n") << Utf8("Готов к работе:   COM1, 9600 bps") << 0;
  }
  void readyMessageFollowsSettings() {
    QFETCH(QByteArray, file);
    QFETCH(QString, status);
    QFETCH(int, netAddr);
    if (!file.isNull()) WriteFile(ini_, file);
    TIDMainFrm w(ini_);
    QCOMPARE(StatusText(w), status);
    QCOMPARE(StatusColour(w), QColor(0, 0, 255));
    QCOMPARE(w.findChild<QSpinBox*>("SENetAddr")->value(), netAddr);
    QCOMPARE(w.findChild<QLineEdit*>("Edit1")->text(), QString::number(netAddr));
  }

  void portChoiceIsStoredAtOnce() {
    {
      TIDMainFrm w(ini_);
      ChooseWithKeys(w.findChild<QComboBox*>("CBPort"), 2);
      QCOMPARE(ReadFile(ini_), QByteArray("[Signature]\nPort=3\n"));
      // Speed and address are not remembered.
      w.findChild<QComboBox*>("CBBaud")->setCurrentIndex(2);
      w.findChild<QSpinBox*>("SENetAddr")->setValue(9);
    }
    TIDMainFrm again(ini_);
    QCOMPARE(StatusText(again), Utf8("Готов к работе:   COM3, 9600 bps"));
    QCOMPARE(again.findChild<QSpinBox*>("SENetAddr")->value(), 0);
  }

  void portWriteKeepsTheRestOfTheFile() {
    const QByteArray before =
        "; settings\r\n[Ports]\r\nCOM1=/dev/ttyUSB0\r\n\r\n[Signature]\r\nBaud=1\r\nport=2\r\n"
        "\r\n[Other]\r\nkey = a=b\r\n";
    WriteFile(ini_, before);
    TIDMainFrm w(ini_);
    ChooseWithKeys(w.findChild<QComboBox*>("CBPort"), 4);
    QByteArray after = before;
    after.replace("port=2", "Port=5");
    QCOMPARE(ReadFile(ini_), after);
  }

  void portKeyAddedToExistingSection() {
    WriteFile(ini_, "[Signature]\nBaud=1\n\n[Ports]\nCOM2=/dev/null\n");
    TIDMainFrm w(ini_);
    ChooseWithKeys(w.findChild<QComboBox*>("CBPort"), 1);
    QCOMPARE(ReadFile(ini_),
             QByteArray("[Signature]\nBaud=1\nPort=2\n\n[Ports]\nCOM2=/dev/null\n"));
  }

  void unwritableSettingsFileIsReported() {
    const QString path = dir_.filePath("missing-dir/ful03test.ini");
    TIDMainFrm w(path);
    QStringList messages;
    w.ShowMessage = [&](const QString& text) { messages << text; };
    auto* port = w.findChild<QComboBox*>("CBPort");
    ChooseWithKeys(port, 1);
    QCOMPARE(messages, QStringList{"Unable to write to " + path});
    QCOMPARE(port->currentIndex(), 1);  // the choice stays in effect
    QVERIFY(!QFile::exists(path));
  }

  // An installed window keeps its settings in the user's configuration folder, which its
  // first write makes.
  void configurationFolderIsMadeByTheFirstWrite() {
    const bool wasSet = qEnvironmentVariableIsSet("XDG_CONFIG_HOME");
    const QByteArray saved = qgetenv("XDG_CONFIG_HOME");
    const auto restore = qScopeGuard([&] {
      if (wasSet) {
        qputenv("XDG_CONFIG_HOME", saved);
      } else {
        qunsetenv("XDG_CONFIG_HOME");
      }
    });
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir_.filePath("config")));
    const QString path = QString::fromStdString(oxa::UserSettingsPath());
    QCOMPARE(path, dir_.filePath("config/ful03test/ful03test.ini"));
    TIDMainFrm w(path);
    QStringList messages;
    w.ShowMessage = [&](const QString& text) { messages << text; };
    ChooseWithKeys(w.findChild<QComboBox*>("CBPort"), 2);
    QCOMPARE(messages, QStringList());
    QCOMPARE(ReadFile(path), QByteArray("[Signature]\nPort=3\n"));
  }

  void writableFileInReadOnlyFolderIsWrittenInPlace() {
    if (geteuid() == 0) QSKIP("folder permissions do not bind the superuser");
    const QString folder = dir_.filePath("shared");
    QVERIFY(QDir().mkpath(folder));
    const QString path = folder + "/ful03test.ini";
    WriteFile(path, "[Signature]\nPort=1\n");
    QVERIFY(QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
    // Writable again however the test ends, so that the temporary folder can be removed.
    const auto restore = qScopeGuard([&] {
      QFile::setPermissions(
          folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    });
    TIDMainFrm w(path);
    QStringList messages;
    w.ShowMessage = [&](const QString& text) { messages << text; };
    ChooseWithKeys(w.findChild<QComboBox*>("CBPort"), 3);
    QCOMPARE(messages, QStringList());
    QCOMPARE(ReadFile(path), QByteArray("[Signature]\nPort=4\n"));
  }

  void portsSectionMapsDevices() {
    WriteFile(ini_, "[Ports]\nCOM1=/dev/ttyUSB0\ncom3 = /tmp/link\n");
    TIDMainFrm w(ini_);
    w.oxaComPort.SetComPort(1);
    QCOMPARE(w.oxaComPort.DeviceName(), std::string("/dev/ttyUSB0"));
    w.oxaComPort.SetComPort(3);
    QCOMPARE(w.oxaComPort.DeviceName(), std::string("/tmp/link"));
    w.oxaComPort.SetComPort(2);
    QCOMPARE(w.oxaComPort.DeviceName(), std::string("/dev/ttyS1"));
  }

  void escapeAnywhereCloses_data() {
    QTest::addColumn<QString>("target");
    QTest::addColumn<int>("modifiers");
    QTest::newRow("port list") << "CBPort" << int(Qt::NoModifier);
    QTest::newRow("address edit, shift") << "Edit1" << int(Qt::ShiftModifier);
    QTest::newRow("data pane, ctrl+alt") << "MDebug" << int(Qt::ControlModifier | Qt::AltModifier);
    QTest::newRow("test button") << "Button3" << int(Qt::NoModifier);
  }
  void escapeAnywhereCloses() {
    QFETCH(QString, target);
    QFETCH(int, modifiers);
    TIDMainFrm w(ini_);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QWidget* c = w.findChild<QWidget*>(target);
    QVERIFY(c);
    QTest::keyClick(c, Qt::Key_Escape, Qt::KeyboardModifiers(modifiers));
    QVERIFY(!w.isVisible());
  }

  void exitButtonCloses() {
    TIDMainFrm w(ini_);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QTest::mouseClick(w.findChild<QPushButton*>("Button1"), Qt::LeftButton);
    QVERIFY(!w.isVisible());
  }

 private:
  QTemporaryDir dir_;
  QString ini_;
};

QTEST_MAIN(WindowTest)
#include "window_test.moc"
