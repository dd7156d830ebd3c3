// The monitor's plot, drawn with Qt from the plot model (window/PlotModel.h), which lays out
// everything: lanes, ticks, the legend, gaps and the readout. The widget only draws and hands
// the pointer to the model: the readout under it, the wheel to zoom (with Shift to pan), a
// drag to pick a range (with Shift, or the middle button, to pan), a double click to follow
// the newest read again, a click on a legend entry to hide or show its value. Its menu pauses
// the plot, follows, copies the picture and saves it as PNG.
#pragma once

#include <QPoint>
#include <QString>
#include <QWidget>
#include <functional>
#include <optional>

#include "window/PlotModel.h"

class TPlotWidget : public QWidget {
  Q_OBJECT

 public:
  // Asks where to save the picture; an empty name when the user gave none.
  using TSaveNameHook = std::function<QString()>;

  explicit TPlotWidget(oxa::TLanguage language, QWidget* parent = nullptr);

  // Takes the monitor's values over the span shown and draws them.
  void Take(const oxa::TMonitor& monitor);
  oxa::TPlotModel& Model() { return model_; }
  // The picture without the readout, as copied and saved.
  QImage Picture();
  // Saves the picture as PNG where the hook (a file dialog) says; false when it could not,
  // with the reason said in a message box.
  bool Save();
  void Copy();
  // For tests: where to save, instead of the file dialog.
  void SetSaveNameHook(TSaveNameHook hook) { save_name_ = std::move(hook); }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void changeEvent(QEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  void leaveEvent(QEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  void LayOut();
  // After the span changed: the values over the new span, also once the monitor stopped.
  void Retake();

  oxa::TLanguage language_;
  oxa::TPlotModel model_;
  TSaveNameHook save_name_;
  const oxa::TMonitor* monitor_ =
      nullptr;  // the last one taken from: the window's, which outlives it
  enum class TDrag { kNone, kRange, kPan } drag_ = TDrag::kNone;
  QPoint drag_from_;
  QPoint drag_last_;
};
