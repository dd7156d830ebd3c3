// A run of the window as a user meets it: the keyboard focus around a test, settings files the
// window must not touch, a message shown while a test runs, the virtual device and ports mapped
// for one run, and where the window is placed. (The command line's rules are the form model's,
// tested in tests/window.)
#include <sys/stat.h>

#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include "app/zeb_id_main.h"

namespace {

QString Utf8(const char* s) {
  return QString::fromUtf8(s);
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

void ChooseWithKeys(QComboBox* box, int index) {
  box->setFocus();
  while (box->currentIndex() < index) QTest::keyClick(box, Qt::Key_Down);
  while (box->currentIndex() > index) QTest::keyClick(box, Qt::Key_Up);
}

TWindowOptions Virtual() {
  TWindowOptions options;
  options.virtualDevice = true;
  return options;
}

}  // namespace

class WindowRunTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir dir_;
  QString ini_;

  static QStringList Pane(TIDMainFrm& w) {
    return w.findChild<QPlainTextEdit*>("MDebug")->toPlainText().split('\n');
  }
  static QString Status(TIDMainFrm& w) { return w.findChild<QLabel*>("LStatus")->text(); }
  static void Show(TIDMainFrm& w) {
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    w.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&w));
  }

 private slots:
  void init() {
    QVERIFY(dir_.isValid());
    ini_ = dir_.filePath("ful03test.ini");
    QFile::remove(ini_);
  }

  // --- The keyboard focus -------------------------------------------------------------------

  // Disabling the focused button moves the focus on; after the test it is back, so that the
  // next Space presses the same button again rather than "Выход", and the arrow keys do not
  // change a number field the user never chose.
  void focusReturnsAfterATest_data() {
    QTest::addColumn<QString>("button");
    QTest::newRow("doser state, last before Выход") << "Button12";
    QTest::newRow("archive read, before its block number") << "Button5";
    QTest::newRow("port that does not open") << "Button2";
  }
  void focusReturnsAfterATest() {
    QFETCH(QString, button);
    if (button == "Button2") WriteFile(ini_, "[Signature]\nPort=0\n");
    TIDMainFrm w(ini_, button == "Button2" ? TWindowOptions() : Virtual());
    Show(w);
    auto* b = w.findChild<QPushButton*>(button);
    b->setFocus();
    QTest::keyClick(b, Qt::Key_Space);
    QCOMPARE(QApplication::focusWidget(), b);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
    QVERIFY(w.isVisible());
    QCOMPARE(QApplication::focusWidget(), b);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Up);
    QCOMPARE(w.findChild<QSpinBox*>("UDArc")->value(), 0);
  }

  // Focus the user moves during a test stays where the user put it.
  void focusMovedDuringATestStays() {
    TIDMainFrm w(ini_, Virtual());
    Show(w);
    w.VirtualDevice()->Edit([](auto& d) { d.NoAnswerToNext(1); });
    auto* count = w.findChild<QSpinBox*>("UDNumReg");
    QTimer::singleShot(100, [&] { count->setFocus(); });
    auto* b = w.findChild<QPushButton*>("Button3");
    b->setFocus();
    QTest::keyClick(b, Qt::Key_Space);
    QWidget* focus = QApplication::focusWidget();
    QVERIFY(focus == count || count->isAncestorOf(focus));
  }

  // --- Settings files the window leaves alone --------------------------------------------------

  void refusedSettingsFile_data() {
    QTest::addColumn<QString>("kind");
    QTest::newRow("link to /dev/zero") << "zero";
    QTest::newRow("FIFO") << "fifo";
    QTest::newRow("oversize") << "big";
  }
  void refusedSettingsFile() {
    QFETCH(QString, kind);
    QByteArray big;
    if (kind == "zero") {
      QVERIFY(QFile::link("/dev/zero", ini_));
    } else if (kind == "fifo") {
      QCOMPARE(::mkfifo(QFile::encodeName(ini_).constData(), 0644), 0);
    } else {
      big = "[Signature]\nPort=3\n" + QByteArray(2 << 20, ';');
      WriteFile(ini_, big);
    }
    TIDMainFrm w(ini_);
    QStringList messages;
    w.ShowMessage = [&](const QString& text) { messages << text; };
    QCOMPARE(Status(w), Utf8("Готов к работе:   COM1, 9600 bps"));
    w.show();
    QTRY_COMPARE(messages.size(), 1);
    QVERIFY2(messages[0].contains(ini_), qPrintable(messages[0]));
    // The port choice works for this run, leaves the file alone and says nothing more.
    ChooseWithKeys(w.findChild<QComboBox*>("CBPort"), 2);
    QTest::qWait(50);
    QCOMPARE(messages.size(), 1);
    const QFileInfo info(ini_);
    if (kind == "zero") QCOMPARE(info.symLinkTarget(), QString("/dev/zero"));
    if (kind == "fifo") QVERIFY(!info.isFile() && info.exists());
    if (kind == "big") QCOMPARE(ReadFile(ini_), big);
  }

  // A read-only settings file stays as it is, for the superuser too, and the port choice says
  // so as it does for a file in a folder that does not exist.
  void readOnlySettingsFileIsReported() {
    WriteFile(ini_, "[Signature]\nPort=2\n");
    QVERIFY(QFile::setPermissions(
        ini_, QFileDevice::ReadOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther));
    TIDMainFrm w(ini_);
    QStringList messages;
    w.ShowMessage = [&](const QString& text) { messages << text; };
    ChooseWithKeys(w.findChild<QComboBox*>("CBPort"), 2);
    QCOMPARE(messages, QStringList{"Unable to write to " + ini_});
    QCOMPARE(ReadFile(ini_), QByteArray("[Signature]\nPort=2\n"));
    struct stat st {};
    QCOMPARE(::stat(QFile::encodeName(ini_).constData(), &st), 0);
    QCOMPARE(st.st_mode & 07777, 0444u);
  }

  // --- A message shown while a test waits for its answer --------------------------------------

  void testEndsWhileAMessageIsShown() {
    const QString path = dir_.filePath("missing-dir/ful03test.ini");
    TIDMainFrm w(path, Virtual());
    Show(w);
    w.VirtualDevice()->Edit([](auto& d) { d.NoAnswerToNext(3); });
    QList<QString> statuses;
    connect(&w, &TIDMainFrm::StatusShown, [&](const QString& t, const QColor&) { statuses << t; });
    QPointer<QMessageBox> box;
    QTimer::singleShot(200, [&] {
      ChooseWithKeys(w.findChild<QComboBox*>("CBPort"), 1);
      box = w.findChild<QMessageBox*>();
    });
    QTest::mouseClick(w.findChild<QPushButton*>("Button3"), Qt::LeftButton);
    QVERIFY(box);
    QVERIFY(box->isVisible());
    QCOMPARE(box->text(), "Unable to write to " + path);
    QCOMPARE(Pane(w), (QStringList{"Failed", "ErrCode=2"}));
    QCOMPARE(statuses.back(), Utf8("Закрытие порта COM1"));
    QVERIFY(!w.oxaComPort.Opened());
    QVERIFY(w.findChild<QPushButton*>("Button3")->isEnabled());
    box->close();
  }

  // --- The virtual device and ports mapped for one run ----------------------------------------

  void virtualDeviceAnswersOnEveryPortAndTheFileStaysAsItWas() {
    const QByteArray before =
        "; mine\r\n[Ports]\r\nCOM1=/dev/ttyUSB9\r\n\r\n[Signature]\r\nPort=3\r\nBaud=1\r\n";
    WriteFile(ini_, before);
    TWindowOptions options = Virtual();
    options.maps[2] = "/dev/null";
    {
      TIDMainFrm w(ini_, options);
      Show(w);
      QCOMPARE(w.windowTitle(), Utf8("FUL 05.03 Modbus test — виртуальный прибор"));
      // No stored address: the window starts at the device's, 1, and stores nothing.
      QCOMPARE(w.findChild<QSpinBox*>("SENetAddr")->value(), 1);
      QCOMPARE(w.VirtualDevice()->Options().address, uint8_t(1));
      for (const int port : {2, 0, 15}) {
        w.oxaComPort.SetComPort(uint8_t(port + 1));
        QCOMPARE(w.oxaComPort.DeviceName(),
                 port == 1 ? std::string("/dev/null") : w.VirtualDevice()->DevicePath());
      }
      QTest::mouseClick(w.findChild<QPushButton*>("Button2"), Qt::LeftButton);
      QCOMPARE(Pane(w), (QStringList{"OK", "ID = FUL-05.08 virtual device"}));
      QTest::mouseDClick(w.findChild<QLabel*>("LStatus"), Qt::LeftButton);
      QCOMPARE(Status(w), Utf8("0042 2024.03.05"));
      w.close();
    }
    QCOMPARE(ReadFile(ini_), before);
  }

  void virtualDeviceTakesTheStoredAddress() {
    WriteFile(ini_, "[Signature]\nNetAddr=5\n");
    TIDMainFrm w(ini_, Virtual());
    QCOMPARE(w.findChild<QSpinBox*>("SENetAddr")->value(), 5);
    QCOMPARE(w.VirtualDevice()->Options().address, uint8_t(5));
  }

  // --- Placement ----------------------------------------------------------------------------

  // The frame, title bar included, sits in the middle of the screen's free area.
  void frameIsCentred() {
    const QRect screen(0, 0, 1024, 768);
    QCOMPARE(CentredFramePosition(screen, QSize(770, 414), QMargins()), QPoint(127, 177));
    QCOMPARE(CentredFramePosition(screen, QSize(770, 414), QMargins(1, 20, 1, 1)),
             QPoint(126, 166));
    QCOMPARE(
        CentredFramePosition(QRect(1024, 30, 1280, 994), QSize(770, 414), QMargins(4, 24, 4, 4)),
        QPoint(1024 + 251, 30 + 276));
  }
};

QTEST_MAIN(WindowRunTest)
#include "window_run_test.moc"
