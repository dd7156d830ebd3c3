// The main window: connection settings, the Modbus test and doser buttons, the data pane and the
// status line. The window is a thin shell over the component library: handlers read the
// controls, run one exchange through the device component, and write the outcome back.
#pragma once

#include <QColor>
#include <QString>
#include <QWidget>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>

#include "serial/OxaComPort.h"

namespace Ui {
class TIDMainFrm;
}
class TIniFile;
class QPushButton;

// The 32 integrators: each a 32-bit value in two holding registers, high word first.
extern const std::array<uint16_t, 32> IntegratorRegs;
extern const std::array<const char*, 32> IntegratorNames;
extern const std::array<const char*, 32> IntegratorUnits;
// Entries 15..23 are unsigned 32-bit counters of seconds; all others are IEEE-754 floats.
bool IsLongIntegrator(int index);

class TIDMainFrm : public QWidget {
  Q_OBJECT

 public:
  // `settingsPath` names the settings file; by default the program's own path with ".ini".
  explicit TIDMainFrm(const QString& settingsPath = DefaultSettingsPath(),
                      QWidget* parent = nullptr);
  ~TIDMainFrm() override;

  // The executable's path with its extension replaced by ".ini" (appended when it has none).
  static QString DefaultSettingsPath();
  // Makes Tahoma and a Courier New face available when the system lacks them.
  static void LoadWindowFonts();

  // Sets the status line's text and colour and lets the window repaint at once.
  void ShowStatus(const QString& text, const QColor& colour);
  // Switch the eleven test and doser buttons, then let the window repaint.
  void DisableButtons();
  void EnableButtons();

  // Shows an error message to the user. Tests replace it to see the text without a modal loop.
  std::function<void(const QString& text)> ShowMessage;

  oxa::ToxaComPort oxaComPort;

 signals:
  // Every status line change, in order (the window's own record of its progress).
  void StatusShown(const QString& text, const QColor& colour);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void FormCreate();
  void FormClose();
  void CBPortChange();
  void Button1Click();
  std::array<QPushButton*, 11> TestButtons() const;

  std::unique_ptr<Ui::TIDMainFrm> ui_;
  std::unique_ptr<TIniFile> SettingsFile_;
  QString settingsPath_;
};
