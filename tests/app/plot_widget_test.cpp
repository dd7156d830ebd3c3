// The monitor's plot drawn by Qt from its model: each value's colour where the model puts its
// line, a legend click that hides it, the wheel, a dragged range and a double click that
// follows again, and the picture saved as PNG.
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>
#include <cmath>
#include <limits>

#include "app/PlotWidget.h"

namespace {

// Ten minutes of a volume, an operating time and a pressure read every second from 12:04:10,
// the device silent for twenty seconds in between.
std::vector<oxa::TPlotSeries> Reads() {
  oxa::TPlotSeries v1{"V1, m3", "m3", {}, {}};
  oxa::TPlotSeries time{"Tnar1, s", "s", {}, {}};
  oxa::TPlotSeries p1{"P1, MPa", "MPa", {}, {}};
  for (int t = 0; t <= 600; ++t) {
    const bool silent = t >= 400 && t < 420;
    const double none = std::numeric_limits<double>::quiet_NaN();
    for (oxa::TPlotSeries* s : {&v1, &time, &p1}) s->t.push_back(t);
    v1.y.push_back(silent ? none : 1000 + t * 0.004);
    time.y.push_back(silent ? none : 3800 + t);
    p1.y.push_back(silent ? none : 0.5 + 0.05 * std::sin(t / 30.0));
  }
  return {v1, time, p1};
}

bool HasColour(const QImage& image, const QColor& colour) {
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      if (image.pixelColor(x, y) == colour) return true;
    }
  }
  return false;
}

}  // namespace

class PlotWidgetTest : public QObject {
  Q_OBJECT

 private slots:
  void DrawsWhatTheModelLaysOut() {
    TPlotWidget plot(oxa::TLanguage::kEnglish);
    plot.resize(700, 420);
    plot.show();
    plot.Model().SetData(Reads(), 600, 12 * 3600 + 4 * 60 + 10);
    const oxa::TPlotPicture& p = plot.Model().Picture();
    QCOMPARE(p.lanes.size(), size_t{3});
    const QColor v1(31, 119, 180);
    QVERIFY(HasColour(plot.grab().toImage(), v1));
    if (qEnvironmentVariableIsSet("OXA_PLOT_PICTURE")) {
      plot.Model().SetPointer(std::pair{p.lanes[0].area.left + 300, p.lanes[0].area.top + 40});
      plot.grab().save(qEnvironmentVariable("OXA_PLOT_PICTURE"));
    }

    // A click on V1's legend entry hides its line and its lane; another shows it again.
    const QPoint entry(p.entries[0].box.left + 2, p.entries[0].box.top + 2);
    QTest::mouseClick(&plot, Qt::LeftButton, {}, entry);
    QVERIFY(plot.Model().Hidden()[0]);
    QCOMPARE(p.lanes.size(), size_t{2});
    QVERIFY(!HasColour(plot.grab().toImage(), v1));
    QTest::mouseClick(&plot, Qt::LeftButton, {}, entry);
    QVERIFY(!plot.Model().Hidden()[0]);

    // The wheel zooms in on the newest reads; a dragged range becomes the span; a double click
    // follows the newest again.
    const oxa::TPlotRect area = p.lanes[1].area;
    const QPoint middle(area.left + area.Width() / 2, area.top + area.Height() / 2);
    QWheelEvent wheel(middle, plot.mapToGlobal(middle), {}, {0, 120}, Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(&plot, &wheel);
    QCOMPARE(plot.Model().To() - plot.Model().From(), 480.0);
    QTest::mousePress(&plot, Qt::LeftButton, {}, QPoint(area.left + 10, middle.y()));
    QTest::mouseMove(&plot, QPoint(area.left + 100, middle.y()));
    QTest::mouseRelease(&plot, Qt::LeftButton, {}, QPoint(area.left + 100, middle.y()));
    QVERIFY(!plot.Model().Following());
    QVERIFY(plot.Model().To() < 300);
    QTest::mouseDClick(&plot, Qt::LeftButton, {}, middle);
    QVERIFY(plot.Model().Following());
  }

  void SavesThePictureAsPng() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    TPlotWidget plot(oxa::TLanguage::kEnglish);
    plot.resize(500, 300);
    plot.Model().SetData(Reads(), 600, 0);
    const QString path = dir.filePath("plot.png");
    plot.SetSaveNameHook([path] { return path; });
    QVERIFY(plot.Save());
    QImage saved;
    QVERIFY(saved.load(path, "PNG"));
    QCOMPARE(saved.size(), QSize(500, 300));
    QVERIFY(!QFile::exists(path + ".part"));
  }
};

QTEST_MAIN(PlotWidgetTest)
#include "plot_widget_test.moc"
