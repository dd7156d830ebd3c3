// The exchange log's window: non-modal, over a TExchangeLog that records whether it is shown
// or not. Above the rows the counters since the last clearing; one row per frame or port line
// (time since the log began in ms, direction, bytes, meaning, verdict, response time); the
// commands clear, copy the selected rows, and save as text or CSV.
//
// It reads the log on a timer while it is shown, taking only the rows recorded since its last
// look, so that the exchange (which records on its own thread) never waits for the drawing.
#pragma once

#include <QDialog>
#include <QString>
#include <functional>

#include "actions/OxaPortTexts.h"
#include "window/ExchangeLog.h"

class QLabel;
class QTableWidget;
class QTimer;

class TExchangeLogDialog : public QDialog {
  Q_OBJECT

 public:
  // Asks where to save; an empty name when the user gave none. `csv` says which format.
  using TSaveNameHook = std::function<QString(bool csv)>;

  TExchangeLogDialog(oxa::TExchangeLog& log, oxa::TLanguage language, QWidget* parent = nullptr);

  // Takes the rows recorded since the last look and the counters now.
  void Refresh();
  oxa::TLanguage Language() const { return language_; }
  // For tests: where to save, instead of the file dialog.
  void SetSaveNameHook(TSaveNameHook hook) { save_name_ = std::move(hook); }

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  void Clear();
  void CopySelected();
  void Save(bool csv);

  oxa::TExchangeLog& log_;
  oxa::TLanguage language_;
  QLabel* counters_;
  QTableWidget* table_;
  QTimer* timer_;
  TSaveNameHook save_name_;
  oxa::TLogFollower rows_;  // as the table shows them
};
