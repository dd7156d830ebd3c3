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
#include "app/QtText.h"
#include "serial/OxaUtils.h"

namespace {

constexpr int kRefreshMs = 200;

}  // namespace

TExchangeLogDialog::TExchangeLogDialog(oxa::TExchangeLog& log, oxa::TLanguage language,
                                       QWidget* parent)
    : QDialog(parent),
      log_(log),
      language_(language),
      counters_(new QLabel(this)),
      table_(new QTableWidget(0, 6, this)),
      timer_(new QTimer(this)),
      rows_(log) {
  using oxa::TText;
  setObjectName("ExchangeLog");
  setWindowTitle(QText(TText::kLogTitle, language));
  setModal(false);
  counters_->setObjectName("LogCounters");
  counters_->setTextFormat(Qt::PlainText);
  table_->setObjectName("LogTable");
  QStringList columns;
  for (const TText column : oxa::kLogColumns) columns << QText(column, language);
  table_->setHorizontalHeaderLabels(columns);
  // The heads keep their short texts; what the two times count is told on the head's tip.
  table_->horizontalHeaderItem(0)->setToolTip(QText(TText::kLogColumnTimeHint, language));
  table_->horizontalHeaderItem(5)->setToolTip(QText(TText::kLogColumnResponseHint, language));
  table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table_->setSelectionBehavior(QAbstractItemView::SelectRows);
  table_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  table_->verticalHeader()->setVisible(false);
  table_->verticalHeader()->setDefaultSectionSize(table_->fontMetrics().height() + 4);
  for (size_t c = 0; c < oxa::kLogColumnWidths.size(); ++c) {
    table_->setColumnWidth(static_cast<int>(c), oxa::kLogColumnWidths[c]);
  }
  table_->horizontalHeader()->setSectionResizeMode(3, QHeaderView::Stretch);
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
  resize(1110, 480);

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
  const oxa::TLogFollower::TChange change = rows_.Update();
  counters_->setText(Q(oxa::LogCountersText(change.counters, change.dropped, language_)));
  if (change.gone == 0 && change.added == 0) return;
  table_->setUpdatesEnabled(false);
  if (change.gone >= static_cast<size_t>(table_->rowCount())) {
    table_->setRowCount(0);
  } else {
    table_->model()->removeRows(0, static_cast<int>(change.gone));
  }
  // A reader who scrolled up to look at a row keeps it in view; otherwise the newest show.
  const QScrollBar* bar = table_->verticalScrollBar();
  const bool at_end = bar->value() == bar->maximum();
  const std::deque<oxa::TLogRow>& rows = rows_.Rows();
  for (size_t i = rows.size() - change.added; i < rows.size(); ++i) {
    const int r = table_->rowCount();
    table_->insertRow(r);
    const auto cells = oxa::LogRowCells(rows[i], language_);
    for (int c = 0; c < static_cast<int>(cells.size()); ++c) {
      table_->setItem(r, c, new QTableWidgetItem(Q(cells[static_cast<size_t>(c)])));
    }
  }
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
    if (r >= 0 && static_cast<size_t>(r) < rows_.Rows().size()) {
      rows.push_back(rows_.Rows()[static_cast<size_t>(r)]);
    }
  }
  if (rows.empty()) return;
  QApplication::clipboard()->setText(Q(oxa::LogAsText(rows, language_)));
}

void TExchangeLogDialog::Save(bool csv) {
  const QString name = save_name_ ? save_name_(csv) : QString();
  if (name.isEmpty()) return;
  Refresh();
  const std::vector<oxa::TLogRow> rows(rows_.Rows().begin(), rows_.Rows().end());
  const std::string contents =
      csv ? oxa::LogAsCsv(rows, language_) : oxa::LogAsText(rows, language_);
  oxa::TOutputError error;
  if (!oxa::SaveLogFile(name.toStdString(), contents, error)) {
    QMessageBox::warning(this, windowTitle(),
                         name + QStringLiteral(": ") + Q(oxa::VisibleText(error.detail)));
  }
}
