// The exchange log's window over a log fed with decoded frames: its rows and counters, the
// rows the bound and a clearing take away, and its copy and save.
#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>

#include "actions/FrameDecoder.h"
#include "app/ExchangeLogDialog.h"

namespace {

std::vector<uint8_t> Bytes(std::initializer_list<uint8_t> bytes) {
  return bytes;
}

// A register read answered after 4 ms, at `ms` since the log began.
void Exchange(oxa::TExchangeLog& log, uint64_t ms) {
  const std::vector<uint8_t> request = Bytes({0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0A});
  const std::vector<uint8_t> answer = Bytes({0x01, 0x03, 0x02, 0x12, 0x34, 0xB5, 0x33});
  const uint64_t us = ms * 1000;
  log.Record({oxa::TPortDirection::kSent,
              us,
              us,
              request,
              oxa::DecodeFrame(oxa::TWireProtocol::kModbus, request, true),
              {}});
  log.Record({oxa::TPortDirection::kReceived, us + 4000, us + 4000, answer,
              oxa::DecodeFrame(oxa::TWireProtocol::kModbus, answer, false), 4000});
}

QString Cell(QTableWidget* table, int row, int column) {
  return table->item(row, column)->text();
}

}  // namespace

class ExchangeLogDialogTest : public QObject {
  Q_OBJECT

 private slots:
  void ShowsTheRowsAndCountersAsTheyAreRecorded() {
    oxa::TExchangeLog log(0, 4);
    TExchangeLogDialog dialog(log, oxa::TLanguage::kRussian);
    QCOMPARE(dialog.windowTitle(), QString::fromUtf8("Журнал обмена"));
    // Every column's head shows whole at its width, in either language (the meaning's column
    // takes the room left).
    for (const oxa::TLanguage language : {oxa::TLanguage::kRussian, oxa::TLanguage::kEnglish}) {
      TExchangeLogDialog shown(log, language);
      auto* table = shown.findChild<QTableWidget*>("LogTable");
      const QHeaderView* header = table->horizontalHeader();
      const int margin = header->style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, header);
      for (int c = 0; c < table->columnCount(); ++c) {
        const QString head = table->horizontalHeaderItem(c)->text();
        QVERIFY2(c == 3 || header->fontMetrics().horizontalAdvance(head) + 2 * margin <=
                               table->columnWidth(c),
                 qPrintable(head));
      }
      // The two times say on their heads' tips what they count.
      QVERIFY(table->horizontalHeaderItem(0)->toolTip().contains(
          language == oxa::TLanguage::kRussian ? QString::fromUtf8("первого байта")
                                               : "first byte"));
      QVERIFY(table->horizontalHeaderItem(5)->toolTip().contains(
          language == oxa::TLanguage::kRussian ? QString::fromUtf8("первого байта ответа")
                                               : "answer's first byte"));
    }
    QVERIFY(!dialog.isModal());
    dialog.show();
    auto* table = dialog.findChild<QTableWidget*>("LogTable");
    auto* counters = dialog.findChild<QLabel*>("LogCounters");
    log.PortOpened("COM1", 0);
    Exchange(log, 1);
    QTRY_COMPARE(table->rowCount(), 3);
    QCOMPARE(Cell(table, 0, 4), QString::fromUtf8("порт открыт"));
    QCOMPARE(Cell(table, 1, 0), QStringLiteral("1.000"));
    QCOMPARE(Cell(table, 1, 1), QStringLiteral("TX"));
    QCOMPARE(Cell(table, 1, 2), QStringLiteral("01 03 00 00 00 01 84 0A"));
    QCOMPARE(Cell(table, 2, 4), QString::fromUtf8("КС верна"));
    QCOMPARE(Cell(table, 2, 5), QStringLiteral("4.000"));
    QVERIFY2(counters->text().startsWith(QString::fromUtf8("Запросов: 1   Верных ответов: 1")),
             qPrintable(counters->text()));

    // Past the bound the oldest rows go from the top, and the counters say how many.
    Exchange(log, 10);
    QTRY_COMPARE(table->rowCount(), 4);
    QCOMPARE(Cell(table, 0, 0), QStringLiteral("1.000"));
    QCOMPARE(Cell(table, 3, 0), QStringLiteral("14.000"));
    QTRY_VERIFY(counters->text().endsWith(QString::fromUtf8("Старых строк удалено: 1")));

    dialog.findChild<QPushButton*>("LogClear")->click();
    QCOMPARE(table->rowCount(), 0);
    QVERIFY(counters->text().startsWith(QString::fromUtf8("Запросов: 0")));
  }

  void CopiesTheSelectedRowsAndSavesTheWholeLog() {
    oxa::TExchangeLog log(0);
    Exchange(log, 2);
    TExchangeLogDialog dialog(log, oxa::TLanguage::kEnglish);
    auto* table = dialog.findChild<QTableWidget*>("LogTable");
    QCOMPARE(table->rowCount(), 2);
    table->selectRow(1);
    dialog.findChild<QPushButton*>("LogCopy")->click();
    QCOMPARE(QApplication::clipboard()->text(),
             QStringLiteral("0.006000 RX 01 03 02 12 34 B5 33  Modbus addr 1 fn 3 read holding "
                            "registers, CRC ok\n"));

    QTemporaryDir folder;
    const QString path = folder.filePath("log.csv");
    dialog.SetSaveNameHook([&path](bool csv) { return csv ? path : QString(); });
    dialog.findChild<QPushButton*>("LogSaveText")->click();
    QVERIFY(!QFile::exists(path));
    dialog.findChild<QPushButton*>("LogSaveCsv")->click();
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = file.readAll().split('\n');
    QCOMPARE(lines.size(), 4);  // the header, two rows, nothing after the last line end
    QCOMPARE(lines[2], QByteArray("6.000,RX,01 03 02 12 34 B5 33,\"Modbus addr 1 fn 3 read "
                                  "holding registers, CRC ok\",checksum good,4.000\r"));
  }
};

QTEST_MAIN(ExchangeLogDialogTest)
#include "exchange_log_dialog_test.moc"
