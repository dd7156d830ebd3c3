// The main window: connection settings, the Modbus test and doser buttons, the data pane and the
// status line. The window is a thin shell over the component library: handlers read the
// controls, run one exchange through the device component, and write the outcome back.
#pragma once

#include <QColor>
#include <QString>
#include <QStringList>
#include <QWidget>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>

#include "devices/oxaFul0508.h"
#include "devices/oxaZeb106.h"
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
// The value part of an integrator's result line from its four bytes, most significant first:
// an unsigned decimal for the counters, "%12.6f" with the locale's decimal separator otherwise.
QString IntegratorValueText(int index, std::span<const uint8_t, 4> raw);
// The status line text of an 8-byte stamp record: "0007 2012.05.31" when both markers are in
// place, "Нет данных" otherwise.
QString StampText(std::span<const uint8_t, 8> record);
// A dose in litres as the tenths the dose register takes, held within 0..65535.
uint16_t DoseTenths(long double litres);

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
  // The Modbus master of the test and doser buttons, on oxaComPort.
  oxa::ToxaFul0508 Ful0508;

  // The 10x master that reads the device's stamp record, on oxaComPort.
  oxa::ToxaZeb106 Zeb106;

  // True from the first to the last step of a test: the port belongs to that test.
  bool TestRunning() const { return busy_; }

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
  void Button2Click();
  void Button3Click();
  void Button4Click();
  void Button5Click();
  void Button6Click();
  void Button7Click();
  void Button8Click(QPushButton* sender);
  void Button11Click();
  void Button12Click();
  void LStatusDblClick();

  // The sequence every test and doser button follows: disable the buttons, open the port, run
  // `exchange` on Ful0508, write "Failed" or "OK" plus the lines of `results`, show the request,
  // close the port, enable the buttons. `sending` shows the "request sent" status first.
  void RunTest(bool sending, const std::function<void()>& exchange,
               const std::function<QStringList()>& results,
               const std::function<void()>& after = {});
  // Opens oxaComPort with the port number and speed chosen in the window.
  void OpenChosenPort();
  // Runs `work` on a worker thread while the window goes on processing its events.
  void RunOnWorker(const std::function<void()>& work);
  // A close asked for during a test takes effect once the test has finished.
  void FinishBusy();
  std::array<QPushButton*, 11> TestButtons() const;

  std::unique_ptr<Ui::TIDMainFrm> ui_;
  std::unique_ptr<TIniFile> SettingsFile_;
  QString settingsPath_;
  bool busy_ = false;
  bool closePending_ = false;
  // The result buffer of the reading buttons, zeroed at the start of each click.
  std::array<uint8_t, 1024> buf_{};
};
