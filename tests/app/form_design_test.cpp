// The Qt window against the design table that the Win32 window is laid out after too: every
// control where the table puts it, with the table's caption, in the table's frame, and the Tab
// key visiting them in the table's order.
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QtTest>

#include "app/zeb_id_main.h"
#include "window/FormDesign.h"

namespace {

QString Q(std::string_view text) {
  return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

QRect R(const oxa::TDesignRect& r) {
  return QRect(r.x, r.y, r.width, r.height);
}

// The name of the frame a widget lies in, as the table gives it: empty on the window itself.
QString FrameName(const QWidget* w, const QWidget* form) {
  const QWidget* parent = w->parentWidget();
  return parent == form ? QString() : parent->objectName();
}

// The caption a widget shows, whatever its kind.
QString Caption(const QWidget* w) {
  if (auto* g = qobject_cast<const QGroupBox*>(w)) return g->title();
  if (auto* l = qobject_cast<const QLabel*>(w)) return l->text();
  if (auto* b = qobject_cast<const QPushButton*>(w)) return b->text();
  return {};
}

}  // namespace

class FormDesignTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir dir_;

 private slots:
  void controlsAreWhereTheDesignPutsThem_data() {
    QTest::addColumn<QString>("name");
    for (const oxa::TControlDesign& c : oxa::FormControls()) {
      QTest::newRow(QByteArray(c.name.data(), qsizetype(c.name.size()))) << Q(c.name);
    }
  }
  void controlsAreWhereTheDesignPutsThem() {
    QFETCH(QString, name);
    const oxa::TControlDesign& c = *oxa::FindFormControl(name.toStdString());
    TIDMainFrm w(dir_.filePath("ful03test.ini"));
    QWidget* widget = w.findChild<QWidget*>(name);
    QVERIFY2(widget, qPrintable(name));
    using enum oxa::TControlKind;
    switch (c.kind) {
      case kEdit: {
        // A numeric edit and its arrows are one spin box, named after the arrows; the edit
        // inside it carries the edit's name, and the box covers both rectangles.
        auto* spin = qobject_cast<QSpinBox*>(widget->parentWidget());
        QVERIFY2(spin, qPrintable(name));
        const auto arrows = std::find_if(
            oxa::FormControls().begin(), oxa::FormControls().end(),
            [&](const oxa::TControlDesign& a) { return a.kind == kUpDown && a.buddy == c.name; });
        QVERIFY(arrows != oxa::FormControls().end());
        QCOMPARE(spin->objectName(), Q(arrows->name));
        QCOMPARE(spin->geometry(), R(c.rect).united(R(arrows->rect)));
        QCOMPARE(FrameName(spin, &w), Q(c.parent));
        return;
      }
      case kUpDown:
        QVERIFY(qobject_cast<QSpinBox*>(widget));
        QCOMPARE(widget->findChild<QLineEdit*>()->objectName(), Q(c.buddy));
        return;  // its rectangle is checked with its edit's
      case kGroupBox:
        QVERIFY(qobject_cast<QGroupBox*>(widget));
        break;
      case kLabel:
        QVERIFY(qobject_cast<QLabel*>(widget));
        break;
      case kStatusLine:
        // Its text is the form's latest message.
        QVERIFY(qobject_cast<QLabel*>(widget));
        QCOMPARE(widget->geometry(), R(c.rect));
        return;
      case kDropDownList:
        QVERIFY(!qobject_cast<QComboBox*>(widget)->isEditable());
        break;
      case kReadOnlyEdit:
        QVERIFY(qobject_cast<QLineEdit*>(widget)->isReadOnly());
        break;
      case kDataPane:
        QCOMPARE(qobject_cast<QPlainTextEdit*>(widget)->font().pixelSize(),
                 -oxa::kDataPaneFont.height);
        break;
      case kFloatSpinEdit:
        QVERIFY(qobject_cast<QLineEdit*>(widget));
        break;
      case kButton:
        QVERIFY(qobject_cast<QPushButton*>(widget));
        break;
    }
    QCOMPARE(widget->geometry(), R(c.rect));
    QCOMPARE(FrameName(widget, &w), Q(c.parent));
    QCOMPARE(Caption(widget), Q(oxa::Caption(c)));
  }

  // Nothing on the window that the table leaves out.
  void everyControlIsInTheDesign() {
    TIDMainFrm w(dir_.filePath("ful03test.ini"));
    QCOMPARE(w.windowTitle(), Q(oxa::kFormCaption));
    QCOMPARE(w.size(), QSize(oxa::kFormWidth, oxa::kFormHeight));
    QCOMPARE(w.font().pixelSize(), -oxa::kWindowFont.height);
    for (QWidget* widget : w.findChildren<QWidget*>()) {
      const bool control =
          qobject_cast<QGroupBox*>(widget) || qobject_cast<QLabel*>(widget) ||
          qobject_cast<QPushButton*>(widget) || qobject_cast<QComboBox*>(widget) ||
          qobject_cast<QSpinBox*>(widget) || qobject_cast<QPlainTextEdit*>(widget) ||
          (qobject_cast<QLineEdit*>(widget) && !qobject_cast<QComboBox*>(widget->parentWidget()));
      if (!control || widget->window() != &w) continue;
      QVERIFY2(oxa::FindFormControl(widget->objectName().toStdString()),
               qPrintable(widget->objectName() + " " + widget->metaObject()->className()));
    }
  }

  void tabVisitsTheDesignsOrder() {
    TIDMainFrm w(dir_.filePath("ful03test.ini"));
    // The names the focus chain reaches, each once, from the first control of the order on;
    // a spin box stands for its edit.
    QStringList visited;
    QWidget* first = w.findChild<QWidget*>(Q(oxa::FormTabOrder().front()));
    QWidget* widget = first;
    do {
      QString name = widget->objectName();
      if (auto* spin = qobject_cast<QSpinBox*>(widget))
        name = spin->findChild<QLineEdit*>()->objectName();
      if ((widget->focusPolicy() & Qt::TabFocus) && oxa::FindFormControl(name.toStdString()) &&
          !visited.contains(name)) {
        visited << name;
      }
      widget = widget->nextInFocusChain();
    } while (widget != first);
    QStringList design;
    for (std::string_view name : oxa::FormTabOrder()) design << Q(name);
    QCOMPARE(visited, design);
  }
};

QTEST_MAIN(FormDesignTest)
#include "form_design_test.moc"
