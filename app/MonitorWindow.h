// The monitor's window: non-modal, over a TMonitor that polls on its own thread. The user
// gives the devices' addresses (blank: the form's), ticks any of the 32 integrators and gives a
// run of registers with the type of its values, an interval and, if wanted, a CSV file; Start
// and Stop. A table shows each value with its unit and the time of its last
// good read, a plot the last minutes, and a line the reads, the failures and what went wrong.
//
// It reads the monitor on a timer, so the polling thread never waits for the drawing. Closing
// the window stops the polling and gives the port back.
#pragma once

#include <QDialog>
#include <QString>
#include <functional>
#include <memory>

#include "window/Monitor.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QSpinBox;
class QTableWidget;
class QTimer;
class TPlotWidget;

class TMonitorWindow : public QDialog {
  Q_OBJECT

 public:
  // Asks where to write the log; an empty name when the user gave none.
  using TSaveNameHook = std::function<QString()>;
  TMonitorWindow(oxa::TPortLease port, oxa::TLanguage language, QWidget* parent = nullptr,
                 oxa::TMonitorLimits limits = {});
  ~TMonitorWindow() override;

  // Starts polling what the controls say; false, with the reason on the status line, when
  // the monitor refused.
  bool Start();
  void Stop();
  // Takes the monitor's snapshot into the table, the counters and the plot.
  void Refresh();
  oxa::TMonitor& Monitor() { return *monitor_; }
  TPlotWidget& Plot() { return *plot_; }
  oxa::TLanguage Language() const { return language_; }
  // For tests: where to write the log, instead of the file dialog.
  void SetSaveNameHook(TSaveNameHook hook) { save_name_ = std::move(hook); }

 protected:
  void closeEvent(QCloseEvent* event) override;
  void reject() override;

 private:
  void Browse();
  void ShowRunning(bool running);

  oxa::TLanguage language_;
  std::unique_ptr<oxa::TMonitor> monitor_;
  QLineEdit* addresses_;
  QListWidget* integrators_;
  QSpinBox* first_register_;
  QSpinBox* register_count_;
  QComboBox* register_type_;
  QSpinBox* interval_;
  QLineEdit* csv_path_;
  QPushButton* browse_;
  QPushButton* start_;
  QPushButton* stop_;
  QLabel* counters_;
  QLabel* status_;
  QTableWidget* table_;
  TPlotWidget* plot_;
  QTimer* timer_;
  TSaveNameHook save_name_;
  QString confirmed_path_;  // the file chooser asked about replacing it
  QString message_;         // a refusal of Start, shown until the next start
};
