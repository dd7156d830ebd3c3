#include "app/ExchangeLogDialog.h"

#include <QApplication>
#include <QClipboard>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeySequence>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QShortcut>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <set>
#include <vector>

#include "actions/TextCatalog.h"
#include "serial/OxaUtils.h"

namespace {

constexpr int kRefreshMs = 200;

QString QText(oxa::TText text, oxa::TLanguage language) {
  const std::string_view t = oxa::Text(text, language);
  return QString::fromUtf8(t.data(), static_cast<qsizetype>(t.size()));
}

QString Utf8(const std::string& text) {
  return QString::fromStdString(text);
}

}  // namespace

TExchangeLogDialog::TExchangeLogDialog(oxa::TExchangeLog& log, oxa::TLanguage language,
                                       QWidget* parent)
    : QDialog(parent),
      log_(log),
      language_(language),
      counters_(new QLabel(this)),
      table_(new QTableWidget(0, 6, this)),
      timer_(new QTimer(this)) {
  using oxa::TText;
  setObjectName("ExchangeLog");
  setWindowTitle(QText(TText::kLogTitle, language));
  setModal(false);
  counters_->setObjectName("LogCounters");
  counters_->setTextFormat(Qt::PlainText);
  table_->setObjectName("LogTable");
  table_->setHorizontalHeaderLabels(
      {QText(TText::kLogColumnTime, language), QText(TText::kLogColumnDirection, language),
       QText(TText::kLogColumnBytes, language), QText(TText::kLogColumnMeaning, language),
       QText(TText::kLogColumnVerdict, language), QText(TText::kLogColumnResponse, language)});
  table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table_->setSelectionBehavior(QAbstractItemView::SelectRows);
  table_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  table_->verticalHeader()->setVisible(false);
  table_->horizontalHeader()->setStretchLastSection(true);
  table_->setWordWrap(false);

  const auto button = [this, language](const char* name, TText text) {
    auto* b = new QPushButton(QText(text, language), this);
    b->setObjectName(name);
    b->setAutoDefault(false);
    return b;
  };
  QPushButton* clear = button("LogClear", TText::kLogClear);
  QPushButton* copy = button("LogCopy", TText::kLogCopy);
  QPushButton* save_text = button("LogSaveText", TText::kLogSaveText);
  QPushButton* save_csv = button("LogSaveCsv", TText::kLogSaveCsv);
  connect(clear, &QPushButton::clicked, this, [this] { Clear(); });
  connect(copy, &QPushButton::clicked, this, [this] { CopySelected(); });
  connect(save_text, &QPushButton::clicked, this, [this] { Save(false); });
  connect(save_csv, &QPushButton::clicked, this, [this] { Save(true); });
  auto* copy_keys = new QShortcut(QKeySequence::Copy, table_);
  connect(copy_keys, &QShortcut::activated, this, [this] { CopySelected(); });

  auto* buttons = new QHBoxLayout;
  for (QPushButton* b : {clear, copy, save_text, save_csv}) buttons->addWidget(b);
  buttons->addStretch();
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(counters_);
  layout->addWidget(table_);
  layout->addLayout(buttons);
  resize(900, 480);

  timer_->setInterval(kRefreshMs);
  connect(timer_, &QTimer::timeout, this, [this] { Refresh(); });
  save_name_ = [this](bool csv) {
    return QFileDialog::getSaveFileName(
        this, windowTitle(), {}, csv ? QStringLiteral("CSV (*.csv)") : QStringLiteral("*.txt"));
  };
  Refresh();
}

void TExchangeLogDialog::showEvent(QShowEvent* event) {
  Refresh();
  timer_->start();
  QDialog::showEvent(event);
}

void TExchangeLogDialog::hideEvent(QHideEvent* event) {
  timer_->stop();
  QDialog::hideEvent(event);
}

void TExchangeLogDialog::Refresh() {
  const oxa::TLogSnapshot s = log_.Snapshot(next_number_);
  counters_->setText(Utf8(oxa::LogCountersText(s.counters, s.dropped, language_)));
  // Rows the log no longer holds (gone to its bound, or cleared) go from the top.
  size_t gone = 0;
  while (gone < rows_.size() && rows_[gone].number < s.first_number) ++gone;
  if (gone == 0 && s.rows.empty()) return;
  table_->setUpdatesEnabled(false);
  if (gone == rows_.size()) {
    table_->setRowCount(0);
  } else {
    for (size_t i = 0; i < gone; ++i) table_->removeRow(0);
  }
  rows_.erase(rows_.begin(), rows_.begin() + static_cast<std::ptrdiff_t>(gone));
  // A reader who scrolled up to look at a row keeps it in view; otherwise the newest show.
  const QScrollBar* bar = table_->verticalScrollBar();
  const bool at_end = bar->value() == bar->maximum();
  for (const oxa::TLogRow& row : s.rows) {
    const int r = table_->rowCount();
    table_->insertRow(r);
    std::string bytes = oxa::HexBytes(row.bytes);
    if (!bytes.empty() && bytes.back() == ' ') bytes.pop_back();
    const QString direction = row.kind != oxa::TLogRowKind::kFrame          ? QString()
                              : row.direction == oxa::TPortDirection::kSent ? QStringLiteral("TX")
                                                                            : QStringLiteral("RX");
    const QString cells[] = {Utf8(oxa::LogMsText(row.us)),
                             direction,
                             Utf8(bytes),
                             Utf8(row.meaning),
                             Utf8(oxa::LogVerdictText(row, language_)),
                             row.response_us ? Utf8(oxa::LogMsText(*row.response_us)) : QString()};
    for (int c = 0; c < 6; ++c) table_->setItem(r, c, new QTableWidgetItem(cells[c]));
    rows_.push_back(row);
  }
  next_number_ = s.next_number;
  table_->setUpdatesEnabled(true);
  if (at_end) table_->scrollToBottom();
}

void TExchangeLogDialog::Clear() {
  log_.Clear();
  Refresh();
}

void TExchangeLogDialog::CopySelected() {
  std::set<int> selected;
  for (const QModelIndex& index : table_->selectionModel()->selectedRows()) {
    selected.insert(index.row());
  }
  std::vector<oxa::TLogRow> rows;
  for (int r : selected) {
    if (r >= 0 && static_cast<size_t>(r) < rows_.size()) rows.push_back(rows_[r]);
  }
  if (rows.empty()) return;
  QApplication::clipboard()->setText(Utf8(oxa::LogAsText(rows, language_)));
}

void TExchangeLogDialog::Save(bool csv) {
  const QString name = save_name_ ? save_name_(csv) : QString();
  if (name.isEmpty()) return;
  Refresh();
  const std::vector<oxa::TLogRow> rows(rows_.begin(), rows_.end());
  const std::string contents =
      csv ? oxa::LogAsCsv(rows, language_) : oxa::LogAsText(rows, language_);
  oxa::TOutputError error;
  if (!oxa::SaveLogFile(name.toStdString(), contents, error)) {
    QMessageBox::warning(this, windowTitle(),
                         name + QStringLiteral(": ") + Utf8(oxa::VisibleText(error.detail)));
  }
}
