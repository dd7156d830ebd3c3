#include "app/ArchiveRangeDialog.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>

#include "actions/TextCatalog.h"
#include "app/QtText.h"

namespace {

constexpr int kRefreshMs = 100;

}  // namespace

TArchiveRangeDialog::TArchiveRangeDialog(oxa::TFormModel& form, QWidget* parent)
    : QDialog(parent),
      language_(form.Language()),
      model_(form),
      first_(new QSpinBox(this)),
      last_(new QSpinBox(this)),
      file_(new QLineEdit(this)),
      browse_(new QPushButton(this)),
      resume_(new QCheckBox(this)),
      bar_(new QProgressBar(this)),
      progress_(new QLabel(this)),
      outcome_(new QLabel(this)),
      start_(new QPushButton(this)),
      stop_(new QPushButton(this)),
      timer_(new QTimer(this)) {
  using oxa::TText;
  setObjectName("ArchiveRange");
  setWindowTitle(QText(TText::kArchiveRangeTitle, language_));
  setModal(false);
  for (QSpinBox* field : {first_, last_}) {
    field->setRange(0, oxa::kArchiveHighestBlock);
    field->setGroupSeparatorShown(false);
  }
  first_->setObjectName("EFirst");
  last_->setObjectName("ELast");
  last_->setValue(oxa::kArchiveHighestBlock);
  file_->setObjectName("EFile");
  browse_->setObjectName("BBrowse");
  browse_->setText(QText(TText::kArchiveBrowse, language_));
  resume_->setObjectName("CBResume");
  resume_->setText(QText(TText::kArchiveResume, language_));
  bar_->setObjectName("PBBlocks");
  bar_->setRange(0, 1);
  bar_->setValue(0);
  progress_->setObjectName("LProgress");
  outcome_->setObjectName("LOutcome");
  for (QLabel* label : {progress_, outcome_}) {
    label->setTextFormat(Qt::PlainText);  // a device's identification, a path: plain text
    label->setWordWrap(true);
  }
  start_->setObjectName("BStart");
  start_->setText(QText(TText::kArchiveStart, language_));
  stop_->setObjectName("BStop");
  stop_->setText(QText(TText::kArchiveStop, language_));
  auto* close = new QPushButton(QText(TText::kArchiveClose, language_), this);
  close->setObjectName("BClose");
  for (QPushButton* b : {browse_, start_, stop_, close}) b->setAutoDefault(false);

  auto* fields = new QGridLayout;
  fields->addWidget(new QLabel(QText(TText::kArchiveFirstBlock, language_), this), 0, 0);
  fields->addWidget(first_, 0, 1);
  fields->addWidget(new QLabel(QText(TText::kArchiveLastBlock, language_), this), 1, 0);
  fields->addWidget(last_, 1, 1);
  fields->addWidget(new QLabel(QText(TText::kArchiveFileLabel, language_), this), 2, 0);
  auto* file_row = new QHBoxLayout;
  file_row->addWidget(file_, 1);
  file_row->addWidget(browse_);
  fields->addLayout(file_row, 2, 1);
  fields->addWidget(resume_, 3, 1);
  fields->setColumnStretch(1, 1);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  for (QPushButton* b : {start_, stop_, close}) buttons->addWidget(b);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(fields);
  layout->addWidget(bar_);
  layout->addWidget(progress_);
  layout->addWidget(outcome_);
  layout->addStretch();
  layout->addLayout(buttons);
  resize(480, 260);

  connect(browse_, &QPushButton::clicked, this, [this] { Browse(); });
  connect(start_, &QPushButton::clicked, this, [this] { Start(); });
  connect(stop_, &QPushButton::clicked, this, [this] { model_.Cancel(); });
  connect(close, &QPushButton::clicked, this, &QDialog::hide);
  timer_->setInterval(kRefreshMs);
  connect(timer_, &QTimer::timeout, this, [this] { Refresh(); });
  file_name_ = [this](const QString& current) {
    // The file may exist: a resume continues it, and a new download replaces it only once
    // it has blocks to put in its place.
    return QFileDialog::getSaveFileName(this, windowTitle(), current,
                                        QText(oxa::TText::kArchiveFileFilter, language_), nullptr,
                                        QFileDialog::DontConfirmOverwrite);
  };
  Refresh();
}

void TArchiveRangeDialog::Browse() {
  const QString name = file_name_(file_->text());
  if (!name.isEmpty()) file_->setText(name);
}

void TArchiveRangeDialog::Start() {
  model_.Start(first_->text().toStdString(), last_->text().toStdString(),
               file_->text().toStdString(), resume_->isChecked());
  Refresh();
}

void TArchiveRangeDialog::Refresh() {
  const oxa::TArchiveRangeState s = model_.State();
  running_ = s.running;
  if (running_ && !timer_->isActive()) timer_->start();
  if (!running_) timer_->stop();
  bar_->setRange(0, static_cast<int>(std::max<size_t>(s.total, 1)));
  bar_->setValue(static_cast<int>(s.done));
  progress_->setText(QString::fromStdString(s.progress));
  outcome_->setText(QString::fromStdString(s.outcome));
  for (QWidget* w :
       std::initializer_list<QWidget*>{first_, last_, file_, browse_, resume_, start_}) {
    w->setEnabled(!running_);
  }
  stop_->setEnabled(running_);
}
