// The archive range window: non-modal, over the form's model. The first and last block
// (0..8191), the file (typed, or chosen in the save dialog), "resume an interrupted file", a
// progress bar with the blocks per second and the time left, and the buttons to start, stop
// and close. The download runs as the form's long work on a thread of its own
// (window/ArchiveRangeModel.h); this window reads its state on a timer, also while hidden, so
// the port goes back to the form as soon as the download ends.
#pragma once

#include <QDialog>
#include <QString>
#include <functional>

#include "window/ArchiveRangeModel.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QSpinBox;
class QTimer;

class TArchiveRangeDialog : public QDialog {
  Q_OBJECT

 public:
  // Asks for the file's name, starting from `current`; an empty name when the user gave none.
  using TFileNameHook = std::function<QString(const QString& current)>;

  explicit TArchiveRangeDialog(oxa::TFormModel& form, QWidget* parent = nullptr);

  oxa::TLanguage Language() const { return language_; }
  bool Running() const { return running_; }
  // For tests: the file's name, instead of the save dialog.
  void SetFileNameHook(TFileNameHook hook) { file_name_ = std::move(hook); }

 private:
  void Browse();
  void Start();
  // Shows the model's state; the timer runs while a download does.
  void Refresh();

  oxa::TLanguage language_;
  oxa::TArchiveRangeModel model_;
  QSpinBox* first_;
  QSpinBox* last_;
  QLineEdit* file_;
  QPushButton* browse_;
  QCheckBox* resume_;
  QProgressBar* bar_;
  QLabel* progress_;
  QLabel* outcome_;
  QPushButton* start_;
  QPushButton* stop_;
  QTimer* timer_;
  TFileNameHook file_name_;
  bool running_ = false;
};
