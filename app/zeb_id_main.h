// The main window: the Designer form drawn by Qt, as a thin view of the form model
// (window/FormModel.h). It finds each control the model names among its widgets, forwards
// clicks, the port list's changes, the status line's double-click and Escape to the model,
// and shows what the model sets. The form holds the layout only: every caption comes from the
// text catalog (actions/TextCatalog.h) through the model, in the window's language, and the
// status line's context menu switches that language.
#pragma once

#include <QColor>
#include <QMargins>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QString>
#include <QWidget>
#include <functional>
#include <memory>

#include "window/FormModel.h"
#include "window/WindowOptions.h"

namespace Ui {
class TIDMainFrm;
}
class TExchangeLogDialog;
class TMonitorWindow;

// The integrator registers under the name the window's tests have always used.
inline constexpr const auto& IntegratorRegs = oxa::ToxaFul0508::kIntegratorRegs;

// Where a window's frame goes so that the frame, not only its client area, is centred in
// `available`: `margins` are the frame's parts around the client area.
QPoint CentredFramePosition(const QRect& available, const QSize& client, const QMargins& margins);

class TIDMainFrm : public QWidget {
  Q_OBJECT

  class TView;  // the model's view of this window's widgets

  // First, so that the references to the model's parts below are made after the model.
  std::unique_ptr<Ui::TIDMainFrm> ui_;
  std::unique_ptr<TView> view_;
  std::unique_ptr<oxa::TFormModel> model_;

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

  // Shows an error message to the user without waiting for it to be read: a test under way
  // goes on, and ends, while the message is shown. Tests replace it to see the text.
  std::function<void(const QString& text)> ShowMessage;

  oxa::TFormModel& Model() { return *model_; }
  // The model's port and masters, under the names the window has always given them.
  oxa::ToxaComPort& oxaComPort;
  oxa::ToxaFul0508& Ful0508;
  oxa::ToxaZeb106& Zeb106;

  // True from the first to the last step of a test: the port belongs to that test.
  bool TestRunning() const { return model_->TestRunning(); }
  // The virtual device this run serves (--virtual-device), or null.
  oxa::sim::TMemoryDevice* VirtualDevice() const { return model_->VirtualDevice(); }
  // The exchange log's window, once Ctrl+L or the data pane's menu has opened it; else null.
  TExchangeLogDialog* ExchangeLogWindow() const;
  // The monitor's window, once Ctrl+M or the data pane's menu has opened it; else null.
  TMonitorWindow* MonitorWindow() const;

 signals:
  // Every status line change, in order (the window's own record of its progress).
  void StatusShown(const QString& text, const QColor& colour);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void moveEvent(QMoveEvent* event) override;

 private:
  // Centres the frame on the screen, with the frame's size as far as it is known yet.
  void Centre();

  QObject* port_view_ = nullptr;  // the port list's drop-down view
  bool shown_ = false;
  // Centring: done at the first show, and once more when the window manager's frame is known.
  bool centred_ = false;
  QMargins centred_margins_;
  QPoint centred_at_;
};
