// The archive range window opened from the data pane's menu, downloading a few blocks from the
// form's virtual device into a file chosen through its file hook.
#include <QCheckBox>
#include <QFile>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QtTest>

#include "app/ArchiveRangeDialog.h"
#include "app/zeb_id_main.h"
#include "sim/FulDevice.h"

class ArchiveRangeDialogTest : public QObject {
  Q_OBJECT

 private slots:
  void DownloadsAFewBlocksIntoTheFile() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    TWindowOptions options;
    options.virtual_device = true;
    TIDMainFrm window(dir.filePath("ful03test.ini"), options);
    window.show();
    window.Model().PaneCommand(oxa::TPaneCommand::kArchiveRange);
    auto* dialog = window.findChild<TArchiveRangeDialog*>("ArchiveRange");
    QVERIFY(dialog != nullptr);
    QVERIFY(dialog->isVisible());
    QVERIFY(!dialog->isModal());
    QCOMPARE(dialog->windowTitle(), QString::fromUtf8("Чтение архива"));

    const QString path = dir.filePath("archive.bin");
    dialog->SetFileNameHook([&](const QString&) { return path; });
    dialog->findChild<QPushButton*>("BBrowse")->click();
    dialog->findChild<QSpinBox*>("EFirst")->setValue(3);
    dialog->findChild<QSpinBox*>("ELast")->setValue(6);
    QVERIFY(!dialog->findChild<QCheckBox*>("CBResume")->isChecked());
    dialog->findChild<QPushButton*>("BStart")->click();
    QVERIFY(dialog->Running());
    QVERIFY(!window.findChild<QPushButton*>("Button2")->isEnabled());
    QVERIFY(dialog->findChild<QPushButton*>("BStop")->isEnabled());

    auto* outcome = dialog->findChild<QLabel*>("LOutcome");
    QTRY_COMPARE_WITH_TIMEOUT(outcome->text(), QString::fromUtf8("Архив сохранён: ") + path, 10000);
    auto* bar = dialog->findChild<QProgressBar*>("PBBlocks");
    QCOMPARE(bar->maximum(), 4);
    QCOMPARE(bar->value(), 4);
    QVERIFY(dialog->findChild<QLabel*>("LProgress")
                ->text()
                .startsWith(QString::fromUtf8("Блоков 4 из 4, ")));
    QVERIFY(window.findChild<QPushButton*>("Button2")->isEnabled());
    QVERIFY(dialog->findChild<QPushButton*>("BStart")->isEnabled());

    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QByteArray expected;
    for (uint16_t block = 3; block <= 6; ++block) {
      const auto bytes = oxa::sim::TFulDevice::ArchiveBlock(block);
      expected.append(reinterpret_cast<const char*>(bytes.data()),
                      static_cast<qsizetype>(bytes.size()));
    }
    QCOMPARE(file.readAll(), expected);
    QVERIFY(!QFile::exists(path + ".part"));
    QVERIFY(!QFile::exists(path + ".info"));
  }
};

QTEST_MAIN(ArchiveRangeDialogTest)
#include "archive_range_dialog_test.moc"
