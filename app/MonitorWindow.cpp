#include "app/MonitorWindow.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QSplitter>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>

#include "actions/Integrator.h"
#include "actions/TextCatalog.h"
#include "app/PlotWidget.h"
#include "app/QtText.h"
#include "serial/OxaUtils.h"

namespace {

constexpr int kRefreshMs = 200;

}  // namespace

TMonitorWindow::TMonitorWindow(oxa::TPortLease port, oxa::TLanguage language, QWidget* parent,
                               oxa::TMonitorLimits limits)
    : QDialog(parent),
      language_(language),
      monitor_(std::make_unique<oxa::TMonitor>(std::move(port), language, limits)),
      addresses_(new QLineEdit(this)),
      integrators_(new QListWidget(this)),
      first_register_(new QSpinBox(this)),
      register_count_(new QSpinBox(this)),
      register_type_(new QComboBox(this)),
      interval_(new QSpinBox(this)),
      csv_path_(new QLineEdit(this)),
      browse_(new QPushButton(QText(oxa::TText::kMonitorBrowse, language), this)),
      start_(new QPushButton(QText(oxa::TText::kMonitorStart, language), this)),
      stop_(new QPushButton(QText(oxa::TText::kMonitorStop, language), this)),
      counters_(new QLabel(this)),
      status_(new QLabel(this)),
      table_(new QTableWidget(0, 4, this)),
      plot_(new TPlotWidget(language, this)),
      timer_(new QTimer(this)) {
  using oxa::TText;
  setObjectName("Monitor");
  setWindowTitle(QText(TText::kMonitorTitle, language));
  setModal(false);

  addresses_->setObjectName("MonitorAddresses");
  addresses_->setPlaceholderText(QText(TText::kMonitorAddressesHint, language));
  integrators_->setObjectName("MonitorIntegrators");
  for (size_t i = 0; i < oxa::kIntegrators.size(); ++i) {
    auto* item = new QListWidgetItem(Q(oxa::IntegratorListText(i, language)), integrators_);
    item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
    item->setCheckState(Qt::Unchecked);
  }
  // The form's ranges: the first register 0..10000, a count of 0..127 (0: none).
  first_register_->setObjectName("MonitorFirstRegister");
  first_register_->setRange(0, 10000);
  register_count_->setObjectName("MonitorRegisterCount");
  register_count_->setRange(0, 127);
  // fulctl's --format names: u16, s16, u32, s32, float and the swapped forms.
  register_type_->setObjectName("MonitorRegisterType");
  for (const oxa::TRegisterFormat format : oxa::kRegisterFormats) {
    register_type_->addItem(Q(std::string(oxa::RegisterFormatName(format))));
  }
  // Below the least interval is typed as it is and refused by the monitor, with a message.
  interval_->setObjectName("MonitorInterval");
  interval_->setRange(0, static_cast<int>(oxa::TMonitor::kMaxIntervalMs));
  interval_->setValue(1000);
  csv_path_->setObjectName("MonitorCsvPath");
  browse_->setObjectName("MonitorBrowse");
  start_->setObjectName("MonitorStart");
  stop_->setObjectName("MonitorStop");
  for (QPushButton* b : {browse_, start_, stop_}) b->setAutoDefault(false);
  counters_->setObjectName("MonitorCounters");
  counters_->setTextFormat(Qt::PlainText);
  status_->setObjectName("MonitorStatus");
  status_->setTextFormat(Qt::PlainText);
  status_->setWordWrap(true);
  table_->setObjectName("MonitorTable");
  table_->setHorizontalHeaderLabels(
      {QText(TText::kMonitorColumnName, language), QText(TText::kMonitorColumnValue, language),
       QText(TText::kMonitorColumnUnit, language), QText(TText::kMonitorColumnTime, language)});
  table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table_->verticalHeader()->setVisible(false);
  table_->horizontalHeader()->setStretchLastSection(true);
  plot_->setObjectName("MonitorPlot");

  auto* choice = new QFormLayout;
  choice->addRow(QText(TText::kMonitorAddresses, language), addresses_);
  choice->addRow(QText(TText::kMonitorIntegrators, language), integrators_);
  auto* registers = new QHBoxLayout;
  registers->addWidget(first_register_);
  registers->addWidget(new QLabel(QText(TText::kMonitorRegisterCount, language), this));
  registers->addWidget(register_count_);
  registers->addWidget(new QLabel(QText(TText::kMonitorRegisterType, language), this));
  registers->addWidget(register_type_);
  choice->addRow(QText(TText::kMonitorFirstRegister, language), registers);
  choice->addRow(QText(TText::kMonitorInterval, language), interval_);
  auto* log = new QHBoxLayout;
  log->addWidget(csv_path_);
  log->addWidget(browse_);
  choice->addRow(QText(TText::kMonitorLog, language), log);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(start_);
  buttons->addWidget(stop_);
  buttons->addStretch();
  auto* left = new QVBoxLayout;
  left->addLayout(choice);
  left->addLayout(buttons);
  left->addWidget(counters_);
  left->addWidget(status_);

  auto* shown = new QSplitter(Qt::Vertical, this);
  shown->addWidget(table_);
  shown->addWidget(plot_);
  shown->setStretchFactor(0, 1);
  shown->setStretchFactor(1, 2);
  auto* layout = new QHBoxLayout(this);
  layout->addLayout(left, 0);
  layout->addWidget(shown, 1);
  resize(1000, 560);

  connect(browse_, &QPushButton::clicked, this, [this] { Browse(); });
  connect(start_, &QPushButton::clicked, this, [this] { Start(); });
  connect(stop_, &QPushButton::clicked, this, [this] { Stop(); });
  timer_->setInterval(kRefreshMs);
  connect(timer_, &QTimer::timeout, this, [this] { Refresh(); });
  save_name_ = [this] {
    return QFileDialog::getSaveFileName(this, windowTitle(), csv_path_->text(),
                                        QText(oxa::TText::kMonitorCsvFilter, language_));
  };
  ShowRunning(false);
  Refresh();
}

TMonitorWindow::~TMonitorWindow() {
  monitor_->Stop();
}

void TMonitorWindow::Browse() {
  const QString name = save_name_ ? save_name_() : QString();
  if (name.isEmpty()) return;
  csv_path_->setText(name);
  confirmed_path_ = name;
}

bool TMonitorWindow::Start() {
  oxa::TMonitorChoice choice;
  choice.addresses = addresses_->text().toStdString();
  for (int i = 0; i < integrators_->count(); ++i) {
    if (integrators_->item(i)->checkState() == Qt::Checked) {
      choice.integrators.push_back(static_cast<size_t>(i));
    }
  }
  choice.first_register = static_cast<uint16_t>(first_register_->value());
  choice.register_count = static_cast<uint16_t>(register_count_->value());
  choice.register_format = oxa::kRegisterFormats[std::max(0, register_type_->currentIndex())];
  choice.interval_ms = static_cast<uint32_t>(interval_->value());
  choice.csv_path = csv_path_->text().toStdString();
  // A file that holds something is replaced only when the user says so: in the file chooser,
  // which asked, or here.
  if (!choice.csv_path.empty() && oxa::TMonitor::LogWouldReplace(choice.csv_path)) {
    choice.replace_csv =
        csv_path_->text() == confirmed_path_ ||
        QMessageBox::question(this, windowTitle(),
                              Q(oxa::TMonitor::ReplaceQuestion(choice.csv_path, language_))) ==
            QMessageBox::Yes;
    if (!choice.replace_csv) return false;
  }
  const std::string refused = monitor_->Start(choice);
  // The answer was for this start: the next one asks again, since the file now holds its rows.
  if (refused.empty()) confirmed_path_.clear();
  message_ = Q(refused);
  ShowRunning(refused.empty());
  Refresh();
  return refused.empty();
}

void TMonitorWindow::Stop() {
  monitor_->Stop();
  ShowRunning(false);
  Refresh();
}

void TMonitorWindow::ShowRunning(bool running) {
  start_->setEnabled(!running);
  stop_->setEnabled(running);
  for (QWidget* w :
       std::initializer_list<QWidget*>{addresses_, integrators_, first_register_, register_count_,
                                       register_type_, interval_, csv_path_, browse_}) {
    w->setEnabled(!running);
  }
  if (running) {
    timer_->start();
  } else {
    timer_->stop();
  }
}

void TMonitorWindow::Refresh() {
  using oxa::TText;
  const oxa::TMonitorSnapshot s = monitor_->Snapshot();
  counters_->setText(
      QText(TText::kMonitorReads, language_) + QStringLiteral(": %1   ").arg(s.reads) +
      QText(TText::kMonitorFailures, language_) + QStringLiteral(": %1").arg(s.failures));
  QString status = message_;
  for (const std::string& problem : {s.problem, s.log_problem}) {
    if (problem.empty()) continue;
    if (!status.isEmpty()) status += QStringLiteral("\n");
    status += Q(problem);
  }
  status_->setText(status);
  if (table_->rowCount() != static_cast<int>(s.values.size())) {
    table_->setRowCount(static_cast<int>(s.values.size()));
  }
  for (size_t i = 0; i < s.values.size(); ++i) {
    const oxa::TMonitorValue& v = s.values[i];
    const QString cells[] = {Q(v.column.name),
                             v.value ? Q(oxa::PollValueText(*v.value, v.column.kind)) : QString(),
                             Q(v.column.unit), Q(v.time)};
    for (int c = 0; c < 4; ++c) {
      QTableWidgetItem* item = table_->item(static_cast<int>(i), c);
      if (item == nullptr) {
        table_->setItem(static_cast<int>(i), c, new QTableWidgetItem(cells[c]));
      } else if (item->text() != cells[c]) {
        item->setText(cells[c]);
      }
    }
  }
  plot_->Take(*monitor_);
  // The run ended on its own (the main window closing stops it): the controls come back.
  if (!s.running && stop_->isEnabled()) ShowRunning(false);
}

void TMonitorWindow::closeEvent(QCloseEvent* event) {
  Stop();
  QDialog::closeEvent(event);
}

void TMonitorWindow::reject() {
  Stop();
  QDialog::reject();
}
