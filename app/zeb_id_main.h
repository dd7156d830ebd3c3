// The main window: connection settings, the Modbus test and doser buttons, the data pane and the
// status line. The window is a thin shell over the actions layer: a handler reads its controls,
// runs one action on a worker thread while the window goes on processing its events, and writes
// the action's lines back.
#pragma once

#include <QColor>
#include <QMargins>
#include <QPoint>
#include <QPointer>
#include <QRect>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QWidget>
#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>

#include "actions/OxaActions.h"
#include "app/WindowOptions.h"
#include "devices/oxaFul0508.h"
#include "devices/oxaZeb106.h"
#include "serial/OxaComPort.h"

namespace Ui {
class TIDMainFrm;
}
namespace oxa {
class TIniFile;
namespace sim {
class PtyDevice;
}
}  // namespace oxa
class QPushButton;

// The integrator registers under the name the window's tests have always used.
inline constexpr const auto& IntegratorRegs = oxa::ToxaFul0508::kIntegratorRegs;

// Where a window's frame goes so that the frame, not only its client area, is centred in
// `available`: `margins` are the frame's parts around the client area.
QPoint CentredFramePosition(const QRect& available, const QSize& client, const QMargins& margins);

class TIDMainFrm : public QWidget {
  Q_OBJECT

 public:
  // `settingsPath` names the settings file; by default the one oxa::SettingsPath gives for the
  // program's folder.
  explicit TIDMainFrm(const QString& settingsPath = DefaultSettingsPath(),
                      const TWindowOptions& options = {}, QWidget* parent = nullptr);
  ~TIDMainFrm() override;

  // ful03test.ini beside the program when it is there or the folder is writable, otherwise in
  // the user's configuration folder (oxa::SettingsPath).
  static QString DefaultSettingsPath();
  // Makes Tahoma and a Courier New face available when the system lacks them.
  static void LoadWindowFonts();

  // Sets the status line's text and colour and lets the window repaint at once.
  void ShowStatus(const QString& text, const QColor& colour);
  // Switch the eleven test and doser buttons, then let the window repaint.
  void DisableButtons();
  void EnableButtons();

  // Shows an error message to the user without waiting for it to be read: a test under way
  // goes on, and ends, while the message is shown. Tests replace it to see the text.
  std::function<void(const QString& text)> ShowMessage;

  oxa::ToxaComPort oxaComPort;
  // The Modbus master of the test and doser buttons, on oxaComPort.
  oxa::ToxaFul0508 Ful0508;

  // The 10x master that reads the device's stamp record, on oxaComPort.
  oxa::ToxaZeb106 Zeb106;

  // True from the first to the last step of a test: the port belongs to that test.
  bool TestRunning() const { return busy_; }
  // The virtual device this run serves (--virtual-device), or null.
  oxa::sim::PtyDevice* VirtualDevice() const { return virtualDevice_.get(); }

 signals:
  // Every status line change, in order (the window's own record of its progress).
  void StatusShown(const QString& text, const QColor& colour);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void moveEvent(QMoveEvent* event) override;

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
  // Sets each entry of the port list's tooltip to the device it opens and what that is.
  void DescribePorts();

  // The sequence every test and doser button follows: disable the buttons, open the port, run
  // `action` on a worker thread, write its lines and request, close the port, enable the
  // buttons. `sending` shows the "request sent" status first; `after` runs after a success.
  void RunTest(bool sending, const std::function<oxa::TActionResult()>& action,
               const std::function<void()>& after = {});
  // Opens oxaComPort with the port number and speed chosen in the window.
  void OpenChosenPort();
  // Runs `work` on a worker thread while the window goes on processing its events.
  void RunOnWorker(const std::function<void()>& work);
  // The start and end of a test: the buttons go and come back, and the keyboard focus returns
  // to the control that had it (disabling a focused button moves the focus on).
  bool BeginBusy();
  void EndBusy();
  std::array<QPushButton*, 11> TestButtons() const;
  // The virtual device of --virtual-device, at the window's address, on every port.
  void StartVirtualDevice(std::map<uint8_t, std::string>& devices);
  // Centres the frame on the screen, with the frame's size as far as it is known yet.
  void Centre();

  std::unique_ptr<Ui::TIDMainFrm> ui_;
  QObject* portView_ = nullptr;  // the port list's drop-down view
  std::unique_ptr<oxa::TIniFile> SettingsFile_;
  QString settingsPath_;
  TWindowOptions options_;
  std::unique_ptr<oxa::sim::PtyDevice> virtualDevice_;
  // The settings file is not one the window reads or writes (a device, a FIFO, too large).
  bool settingsRefused_ = false;
  // Said once, when the window first shows.
  QStringList startupMessages_;
  bool busy_ = false;
  bool closePending_ = false;
  QPointer<QWidget> focusBefore_;
  QPointer<QWidget> focusMovedTo_;
  // Centring: done at the first show, and once more when the window manager's frame is known.
  bool centred_ = false;
  QMargins centredMargins_;
  QPoint centredAt_;
};
