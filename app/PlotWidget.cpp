#include "app/PlotWidget.h"

#include <QApplication>
#include <QBuffer>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFileDialog>
#include <QFontMetrics>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QWheelEvent>
#include <cmath>

#include "app/QtText.h"

namespace {

QColor Colour(const oxa::TPlotColour& c) {
  return QColor(c.r, c.g, c.b);
}

QRect Rect(const oxa::TPlotRect& r) {
  return QRect(r.left, r.top, r.Width(), r.Height());
}

void Draw(QPainter& painter, const oxa::TPlotPicture& p, const QPalette& palette,
          const QFontMetrics& metrics) {
  painter.fillRect(Rect(p.bounds), palette.base());
  const QColor text = palette.color(QPalette::Text);
  const QColor grid = palette.color(QPalette::Midlight);
  const QColor frame = palette.color(QPalette::Mid);
  const int h = p.line_height;
  // The lanes: a frame, the grid at each tick, the value axis and its unit.
  for (const oxa::TPlotLane& lane : p.lanes) {
    const QRect area = Rect(lane.area);
    painter.setPen(grid);
    for (const oxa::TPlotTick& tick : lane.ticks) {
      painter.drawLine(QPointF(area.left(), tick.at), QPointF(area.right(), tick.at));
    }
    for (const oxa::TPlotTick& tick : p.time_ticks) {
      painter.drawLine(QPointF(tick.at, area.top()), QPointF(tick.at, area.bottom()));
    }
    painter.setPen(frame);
    painter.drawRect(area.adjusted(0, 0, -1, -1));
    painter.setPen(text);
    for (const oxa::TPlotTick& tick : lane.ticks) {
      painter.drawText(QRectF(0, tick.at - h / 2.0, p.axis_right, h),
                       Qt::AlignRight | Qt::AlignVCenter, Q(tick.text));
    }
    painter.drawText(QRect(0, lane.area.top, p.axis_right, h), Qt::AlignRight | Qt::AlignTop,
                     Q(lane.unit));
  }
  for (const oxa::TPlotTick& tick : p.time_ticks) {
    const int w = metrics.horizontalAdvance(Q(tick.text));
    painter.drawText(QPointF(tick.at - w / 2.0, p.time_text_top + metrics.ascent()), Q(tick.text));
  }
  // The lines, each in its lane; a lone point is a dot.
  painter.setRenderHint(QPainter::Antialiasing);
  for (const oxa::TPlotLine& line : p.lines) {
    painter.setClipRect(Rect(p.lanes[line.lane].area));
    painter.setPen(QPen(Colour(line.colour), 1.5));
    for (const auto& run : line.runs) {
      if (run.size() == 1) {
        painter.setBrush(Colour(line.colour));
        painter.drawEllipse(QPointF(run[0].x, run[0].y), 2.0, 2.0);
        painter.setBrush(Qt::NoBrush);
        continue;
      }
      QPainterPath path(QPointF(run[0].x, run[0].y));
      for (size_t i = 1; i < run.size(); ++i) path.lineTo(run[i].x, run[i].y);
      painter.drawPath(path);
    }
  }
  painter.setClipping(false);
  painter.setRenderHint(QPainter::Antialiasing, false);
  // The legend, above the lanes; a hidden value greyed.
  const QColor greyed = palette.color(QPalette::Disabled, QPalette::Text);
  for (const oxa::TPlotLegendEntry& e : p.entries) {
    painter.fillRect(Rect(e.swatch), e.hidden ? greyed : Colour(e.colour));
    painter.setPen(e.hidden ? greyed : text);
    painter.drawText(QPointF(e.text_left, e.box.top + metrics.ascent()), Q(e.text));
  }
  if (!p.state.empty()) {
    painter.setPen(text);
    painter.drawText(QPointF(p.state_left, p.legend.top + metrics.ascent()), Q(p.state));
  }
  // A range being dragged.
  if (p.selection && !p.lanes.empty()) {
    const int a = std::min(p.selection->first, p.selection->second);
    const int b = std::max(p.selection->first, p.selection->second);
    QColor band = palette.color(QPalette::Highlight);
    band.setAlpha(60);
    painter.fillRect(QRect(a, p.lanes.front().area.top, b - a,
                           p.lanes.back().area.bottom - p.lanes.front().area.top),
                     band);
  }
  // The readout: a line at its time, and the values in a box beside the pointer.
  const oxa::TPlotReadout& r = p.readout;
  if (r.shown) {
    painter.setPen(QPen(frame, 1, Qt::DashLine));
    painter.drawLine(QPointF(r.x, p.lanes.front().area.top),
                     QPointF(r.x, p.lanes.back().area.bottom));
    const QRect box = Rect(r.box);
    painter.setPen(frame);
    painter.setBrush(palette.toolTipBase());
    painter.drawRect(box.adjusted(0, 0, -1, -1));
    painter.setBrush(Qt::NoBrush);
    for (size_t i = 0; i < r.lines.size(); ++i) {
      const int y = r.box.top + 4 + static_cast<int>(i) * h;
      if (r.colours[i])
        painter.fillRect(QRect(r.box.left + 4, y + h / 2 - 2, 14, 4), Colour(*r.colours[i]));
      painter.setPen(palette.color(QPalette::ToolTipText));
      painter.drawText(QPointF(r.box.left + 22, y + metrics.ascent()), Q(r.lines[i]));
    }
  }
}

}  // namespace

TPlotWidget::TPlotWidget(oxa::TLanguage language, QWidget* parent)
    : QWidget(parent), language_(language), model_(language) {
  setMinimumSize(320, 160);
  setAttribute(Qt::WA_OpaquePaintEvent);
  setMouseTracking(true);
  save_name_ = [this] {
    return QFileDialog::getSaveFileName(this, QText(oxa::TText::kPlotSave, language_), QString(),
                                        QText(oxa::TText::kPlotPngFilter, language_));
  };
  LayOut();
}

void TPlotWidget::LayOut() {
  const QFontMetrics metrics(font());
  model_.Layout(width(), height(),
                {[metrics](std::string_view text) { return metrics.horizontalAdvance(Q(text)); },
                 metrics.height()});
}

void TPlotWidget::Take(const oxa::TMonitor& monitor) {
  monitor_ = &monitor;
  model_.Take(monitor);
  update();
}

void TPlotWidget::Retake() {
  if (monitor_ != nullptr) model_.Take(*monitor_);
  update();
}

void TPlotWidget::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  Draw(painter, model_.Picture(), palette(), QFontMetrics(font()));
}

void TPlotWidget::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  LayOut();
}

void TPlotWidget::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() == QEvent::FontChange) LayOut();
}

void TPlotWidget::mousePressEvent(QMouseEvent* event) {
  const QPoint at = event->position().toPoint();
  if (event->button() == Qt::LeftButton && model_.Click(at.x(), at.y())) {
    update();
    return;
  }
  if (!model_.OverLanes(at.x(), at.y())) return;
  if (event->button() == Qt::MiddleButton ||
      (event->button() == Qt::LeftButton && (event->modifiers() & Qt::ShiftModifier))) {
    drag_ = TDrag::kPan;
  } else if (event->button() == Qt::LeftButton) {
    drag_ = TDrag::kRange;
  }
  drag_from_ = drag_last_ = at;
}

void TPlotWidget::mouseMoveEvent(QMouseEvent* event) {
  const QPoint at = event->position().toPoint();
  if (drag_ == TDrag::kPan) {
    model_.Pan(at.x() - drag_last_.x());
    Retake();
  } else if (drag_ == TDrag::kRange) {
    model_.SetSelection(std::pair{drag_from_.x(), at.x()});
  }
  drag_last_ = at;
  model_.SetPointer(std::pair{at.x(), at.y()});
  update();
}

void TPlotWidget::mouseReleaseEvent(QMouseEvent* event) {
  if (drag_ == TDrag::kRange) model_.Select(drag_from_.x(), event->position().toPoint().x());
  drag_ = TDrag::kNone;
  Retake();
}

void TPlotWidget::mouseDoubleClickEvent(QMouseEvent* event) {
  const QPoint at = event->position().toPoint();
  if (model_.OverLanes(at.x(), at.y())) {
    model_.Follow();
    Retake();
  } else {
    mousePressEvent(event);  // a legend entry clicked twice in a row
  }
}

void TPlotWidget::wheelEvent(QWheelEvent* event) {
  const QPoint at = event->position().toPoint();
  const double steps = event->angleDelta().y() / 120.0;
  if (event->modifiers() & Qt::ShiftModifier) {
    model_.Pan(static_cast<int>(steps * width() / 10));
  } else {
    model_.Zoom(at.x(), steps);
  }
  Retake();
  event->accept();
}

void TPlotWidget::leaveEvent(QEvent* event) {
  QWidget::leaveEvent(event);
  model_.SetPointer(std::nullopt);
  update();
}

QImage TPlotWidget::Picture() {
  QImage image(size() * devicePixelRatio(), QImage::Format_RGB32);
  image.setDevicePixelRatio(devicePixelRatio());
  model_.SetPointer(std::nullopt);
  QPainter painter(&image);
  painter.setFont(font());
  Draw(painter, model_.Picture(), palette(), QFontMetrics(font()));
  return image;
}

void TPlotWidget::Copy() {
  QApplication::clipboard()->setImage(Picture());
}

bool TPlotWidget::Save() {
  const QString name = save_name_ ? save_name_() : QString();
  if (name.isEmpty()) return false;
  QByteArray png;
  QBuffer buffer(&png);
  buffer.open(QIODevice::WriteOnly);
  Picture().save(&buffer, "PNG");
  const std::string problem = oxa::SavePlotPicture(
      name.toStdString(),
      std::span(reinterpret_cast<const uint8_t*>(png.constData()), static_cast<size_t>(png.size())),
      language_);
  if (problem.empty()) return true;
  QMessageBox::warning(this, QText(oxa::TText::kPlotSave, language_), Q(problem));
  return false;
}

void TPlotWidget::contextMenuEvent(QContextMenuEvent* event) {
  using oxa::TText;
  QMenu menu(this);
  QAction* pause = menu.addAction(QText(TText::kPlotPause, language_));
  pause->setCheckable(true);
  pause->setChecked(model_.Paused());
  connect(pause, &QAction::toggled, this, [this](bool on) {
    model_.SetPaused(on);
    Retake();
  });
  QAction* follow = menu.addAction(QText(TText::kPlotFollow, language_));
  follow->setEnabled(!model_.Following() || model_.Paused());
  connect(follow, &QAction::triggered, this, [this] {
    model_.Follow();
    Retake();
  });
  menu.addSeparator();
  connect(menu.addAction(QText(TText::kPlotCopy, language_)), &QAction::triggered, this,
          [this] { Copy(); });
  connect(menu.addAction(QText(TText::kPlotSave, language_)), &QAction::triggered, this,
          [this] { Save(); });
  menu.exec(event->globalPos());
}
