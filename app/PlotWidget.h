// A small live plot: each value's polyline over the last minutes, the newest at the right edge,
// so that it scrolls as reads come; the value axis scaled to what is shown, one colour a value
// and a legend of their names. It draws what it is given and keeps nothing else.
#pragma once

#include <QWidget>
#include <vector>

#include "window/Monitor.h"

class TPlotWidget : public QWidget {
  Q_OBJECT

 public:
  explicit TPlotWidget(QWidget* parent = nullptr);

  // The series to draw, times in seconds before now; the time axis spans what they cover, at
  // least 10 s and at most `span_s`.
  void SetSeries(std::vector<oxa::TPlotSeries> series, double span_s);
  // The language of the time axis.
  void SetLanguage(oxa::TLanguage language) { language_ = language; }
  const std::vector<oxa::TPlotSeries>& Series() const { return series_; }
  // The colour of series `index`.
  static QColor Colour(size_t index);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  std::vector<oxa::TPlotSeries> series_;
  double span_s_ = 600;
  oxa::TLanguage language_ = oxa::TLanguage::kRussian;
};
