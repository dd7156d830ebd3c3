#include "app/PlotWidget.h"

#include <QFontMetrics>
#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <cmath>

namespace {

// A value for an axis label: few digits, no exponent below a million.
QString AxisText(double value) {
  return QString::number(value, 'g', 6);
}

}  // namespace

TPlotWidget::TPlotWidget(QWidget* parent) : QWidget(parent) {
  setMinimumSize(320, 160);
  setAttribute(Qt::WA_OpaquePaintEvent);
}

QColor TPlotWidget::Colour(size_t index) {
  static const QColor kColours[] = {
      QColor(31, 119, 180),  QColor(214, 39, 40), QColor(44, 160, 44),   QColor(255, 127, 14),
      QColor(148, 103, 189), QColor(140, 86, 75), QColor(227, 119, 194), QColor(127, 127, 127)};
  return kColours[index % std::size(kColours)];
}

void TPlotWidget::SetSeries(std::vector<oxa::TPlotSeries> series, double span_s) {
  series_ = std::move(series);
  span_s_ = span_s;
  update();
}

void TPlotWidget::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), palette().base());
  const QFontMetrics metrics(font());
  // What is shown: the time it covers and the range of its values.
  double oldest = 10;
  double low = INFINITY;
  double high = -INFINITY;
  for (const oxa::TPlotSeries& s : series_) {
    for (size_t i = 0; i < s.t.size(); ++i) {
      if (!std::isfinite(s.y[i])) continue;
      oldest = std::max(oldest, s.t[i]);
      low = std::min(low, s.y[i]);
      high = std::max(high, s.y[i]);
    }
  }
  oldest = std::min(oldest, span_s_);
  if (!(low <= high)) {
    low = 0;
    high = 1;
  }
  if (high - low < 1e-9 * std::max(1.0, std::abs(high))) {
    // A flat line sits in the middle.
    const double pad = std::max(1.0, std::abs(high)) * 0.05;
    low -= pad;
    high += pad;
  } else {
    const double pad = (high - low) * 0.05;
    low -= pad;
    high += pad;
  }
  const int left = std::max(metrics.horizontalAdvance(AxisText(high)),
                            metrics.horizontalAdvance(AxisText(low))) +
                   8;
  const QRect area(left, 4, std::max(10, width() - left - 8),
                   std::max(10, height() - metrics.height() - 12));
  painter.setPen(palette().color(QPalette::Mid));
  painter.drawRect(area);
  painter.setPen(palette().color(QPalette::Text));
  painter.drawText(QRect(0, area.top(), left - 4, metrics.height()), Qt::AlignRight,
                   AxisText(high));
  painter.drawText(QRect(0, area.bottom() - metrics.height(), left - 4, metrics.height()),
                   Qt::AlignRight, AxisText(low));
  const QString from = QString::fromStdString(oxa::PlotAgeText(oldest, language_));
  painter.drawText(QRect(area.left(), area.bottom() + 2, area.width(), metrics.height()),
                   Qt::AlignLeft, from);
  painter.drawText(QRect(area.left(), area.bottom() + 2, area.width(), metrics.height()),
                   Qt::AlignRight, QStringLiteral("0"));

  const auto x_of = [&](double t) { return area.right() - t / oldest * area.width(); };
  const auto y_of = [&](double y) {
    return area.bottom() - (y - low) / (high - low) * area.height();
  };
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setClipRect(area);
  for (size_t k = 0; k < series_.size(); ++k) {
    const oxa::TPlotSeries& s = series_[k];
    QPainterPath path;
    bool drawing = false;
    for (size_t i = 0; i < s.t.size(); ++i) {
      if (!std::isfinite(s.y[i]) || s.t[i] > oldest) {
        drawing = false;
        continue;
      }
      const QPointF p(x_of(s.t[i]), y_of(s.y[i]));
      if (drawing) {
        path.lineTo(p);
      } else {
        path.moveTo(p);
        drawing = true;
      }
    }
    painter.setPen(QPen(Colour(k), 1.5));
    painter.drawPath(path);
    // A lone read is a dot.
    if (s.t.size() == 1 && std::isfinite(s.y[0])) {
      painter.setBrush(Colour(k));
      painter.drawEllipse(QPointF(x_of(s.t[0]), y_of(s.y[0])), 2.5, 2.5);
      painter.setBrush(Qt::NoBrush);
    }
  }
  // The legend, top left inside the plot.
  painter.setClipping(false);
  int y = area.top() + 4;
  for (size_t k = 0; k < series_.size() && y + metrics.height() < area.bottom(); ++k) {
    painter.fillRect(QRect(area.left() + 6, y + metrics.height() / 2 - 2, 14, 4), Colour(k));
    painter.setPen(palette().color(QPalette::Text));
    painter.drawText(QPoint(area.left() + 24, y + metrics.ascent()),
                     QString::fromStdString(series_[k].name));
    y += metrics.height();
  }
}
