// The window program as started from a shell: its options, and a run killed without warning
// that leaves the settings file as it was. The program is copied into a folder of its own, so
// that the settings file beside it is the test's.
#include <signal.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

class ProgramTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir dir_;
  QString exe_;

  struct Run {
    int code;
    QString out;
    QString err;
  };
  Run Start(const QStringList& args) {
    QProcess p;
    p.start(exe_, args);
    if (!p.waitForFinished(20000)) p.kill();
    return {p.exitCode(), QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
  }
 private slots:
  void initTestCase() {
    QVERIFY(dir_.isValid());
    exe_ = dir_.filePath("ful03test");
    QVERIFY(QFile::copy(FUL03TEST, exe_));
    QVERIFY(QFile::setPermissions(exe_, QFile::permissions(FUL03TEST)));
  }

  void options_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("err");
    QTest::newRow("help") << QStringList{"--help"} << 0 << "--virtual-device"
                          << "";
    QTest::newRow("unknown") << QStringList{"--virtual"} << 2 << ""
                             << "ful03test: unknown option --virtual (see --help)\n";
    QTest::newRow("bad map") << QStringList{"--map", "COM1"} << 2 << ""
                             << "ful03test: --map COM1: expected COMn=PATH with n from 1 to 255 "
                                "(see --help)\n";
    // Qt takes its own options; one it does not know is left over.
    QTest::newRow("unknown to Qt too")
        << QStringList{"-platform", "offscreen", "-frobnicate"} << 2 << ""
        << "ful03test: unknown option -frobnicate (see --help)\n";
  }
  void options() {
    QFETCH(QStringList, args);
    QFETCH(int, code);
    QFETCH(QString, out);
    QFETCH(QString, err);
    const Run run = Start(args);
    QCOMPARE(run.code, code);
    if (!out.isEmpty()) QVERIFY2(run.out.contains(out), qPrintable(run.out));
    if (!err.isEmpty()) QVERIFY2(run.err.endsWith(err), qPrintable(run.err));
  }

  void killedRunLeavesTheSettingsFileAsItWas() {
    const QString ini = dir_.filePath("ful03test.ini");
    const QByteArray before =
        "\xEF\xBB\xBF; mine\r\n[Signature]\r\nPort=2\r\n\r\n[Ports]\r\nCOM1=/dev/ttyUSB7\r\n";
    {
      QFile f(ini);
      QVERIFY(f.open(QIODevice::WriteOnly));
      f.write(before);
    }
    for (int run = 0; run < 2; ++run) {
      // Killed once its status line shows the window ready, with its virtual device serving.
      QProcess p;
      QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
      env.insert("FUL03TEST_PRINT_STATUS", "1");
      p.setProcessEnvironment(env);
      p.start(exe_, {"-platform", "offscreen", "--virtual-device", "--map", "COM3=/dev/null"});
      QVERIFY(p.waitForStarted());
      QByteArray out;
      QTRY_VERIFY_WITH_TIMEOUT((out += p.readAllStandardOutput()).contains("bps\n"), 10000);
      // The device is served in the program's memory: no pseudo-terminal is opened for it.
      const QDir fds(QString("/proc/%1/fd").arg(p.processId()));
      for (const QFileInfo& fd : fds.entryInfoList(QDir::System)) {
        QVERIFY2(fd.symLinkTarget() != "/dev/ptmx", qPrintable(fd.filePath()));
      }
      ::kill(pid_t(p.processId()), SIGKILL);
      QVERIFY(p.waitForFinished());
      QFile f(ini);
      QVERIFY(f.open(QIODevice::ReadOnly));
      QCOMPARE(f.readAll(), before);
    }
  }
};

QTEST_MAIN(ProgramTest)
#include "program_test.moc"
