// The float spin edit as a user sees it: texts after typing, stepping, pasting and leaving. The
// value rules under it (which texts, values and characters) are pinned in tests/window.

#include <QApplication>
#include <QClipboard>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QTimer>
#include <QVBoxLayout>
#include <QtTest>
#include <memory>

#include "controls/TmxFlatFloatSpinEdit.h"

namespace {

// A window with the edit (set up as the dose field of the main window) and a second edit to move
// the focus to.
struct Form {
  QWidget window;
  TmxFlatFloatSpinEdit* edit;
  QLineEdit* other;
  int errors = 0;

  Form() {
    auto* layout = new QVBoxLayout(&window);
    edit = new TmxFlatFloatSpinEdit(&window);
    other = new QLineEdit(&window);
    layout->addWidget(edit);
    layout->addWidget(other);
    edit->SetDecimals(1);
    edit->SetIncrement(1.0L);
    edit->SetMaxValue(6553.5L);
    edit->resize(75, 22);
    edit->OnError = [this] { ++errors; };
  }

  bool Show() {
    window.show();
    window.activateWindow();
    if (!QTest::qWaitForWindowActive(&window)) return false;
    // Tests enter the edit themselves, so that they know the value at entry.
    other->setFocus();
    return other->hasFocus();
  }

  // Puts text and caret (or a selection from..from+len) into the edit as if the user had.
  void Put(const QString& text, int from, int len = 0) {
    edit->setText(text);
    if (len > 0)
      edit->setSelection(from, len);
    else
      edit->setCursorPosition(from);
  }
};

QPoint UpperArrow(TmxFlatFloatSpinEdit* e) {
  TmxSpinButton* b = e->SpinButton();
  return QPoint(b->width() / 2, b->height() / 4);
}

QPoint LowerArrow(TmxFlatFloatSpinEdit* e) {
  TmxSpinButton* b = e->SpinButton();
  return QPoint(b->width() / 2, b->height() * 3 / 4);
}

}  // namespace

class FloatSpinEditTest : public QObject {
  Q_OBJECT

 private slots:
  void init() { QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia)); }
  void cleanup() { QLocale::setDefault(QLocale::c()); }

  void newControlShowsZeroWithTwoDecimalsRightAligned() {
    TmxFlatFloatSpinEdit e;
    QCOMPARE(e.text(), QStringLiteral("0,00"));
    QCOMPARE(e.Alignment(), Qt::AlignRight);
    QCOMPARE(e.MinValue(), 0.0L);
    QCOMPARE(e.MaxValue(), 100.0L);
    e.SetDecimals(1);
    QCOMPARE(e.text(), QStringLiteral("0,0"));
  }

  void pointLocaleWritesAndReadsWithPoint() {
    QLocale::setDefault(QLocale::c());
    Form f;
    QCOMPARE(f.edit->DecimalSeparator(), QLatin1Char('.'));
    f.edit->SetValue(7000);
    QCOMPARE(f.edit->text(), QStringLiteral("6553.5"));
    f.edit->setText(QStringLiteral("12,5"));
    QCOMPARE(f.edit->Value(), 0.0L);
  }

  // How bounds and decimals move each other is pinned with the value rules; here, what the
  // widget does with its text.
  void boundsDoNotReclampTheText() {
    Form f;
    f.edit->SetValue(6000);
    f.edit->SetMinValue(7000);
    QCOMPARE(f.edit->text(), QStringLiteral("6000,0"));
    f.edit->SetMaxValue(10);
    QCOMPARE(f.edit->text(), QStringLiteral("6000,0"));
  }

  void decimalsRewriteTheText() {
    Form f;
    f.edit->SetValue(12.3L);
    f.edit->SetDecimals(3);
    QCOMPARE(f.edit->text(), QStringLiteral("12,300"));
    f.edit->SetDecimals(0);
    QCOMPARE(f.edit->text(), QStringLiteral("12"));
  }

  void typingFilter_data() {
    QTest::addColumn<double>("min");
    QTest::addColumn<int>("decimals");
    QTest::addColumn<QString>("before");
    QTest::addColumn<int>("from");
    QTest::addColumn<int>("len");  // selection length, 0 = caret at from
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("after");
    QTest::addColumn<QString>("selected");

    // Which characters the filter takes is pinned with the value rules; here, that the widget
    // hands it the caret or the selection and carries out each of its answers.
    QTest::newRow("digits at the caret") << 0.0 << 1 << "" << 0 << 0 << "123"
                                         << "123"
                                         << "";
    QTest::newRow("second decimal refused") << 0.0 << 1 << "12,3" << 4 << 0 << "4"
                                            << "12,3"
                                            << "";
    QTest::newRow("separator over the whole text") << 0.0 << 1 << "1,5" << 0 << 3 << ","
                                                   << "0,0"
                                                   << "0";
    QTest::newRow("typing over a selection") << 0.0 << 1 << "123,4" << 0 << 5 << "7"
                                             << "7"
                                             << "";
  }
  void typingFilter() {
    QFETCH(double, min);
    QFETCH(int, decimals);
    QFETCH(QString, before);
    QFETCH(int, from);
    QFETCH(int, len);
    QFETCH(QString, typed);
    QFETCH(QString, after);
    QFETCH(QString, selected);
    Form f;
    f.edit->SetMinValue(min);
    f.edit->SetDecimals(static_cast<uint8_t>(decimals));
    QVERIFY(f.Show());
    f.edit->setFocus();
    f.Put(before, from, len);
    QTest::keyClicks(f.edit, typed);
    QCOMPARE(f.edit->text(), after);
    QCOMPARE(f.edit->selectedText(), selected);
  }

  void returnAndControlKeys() {
    Form f;
    QVERIFY(f.Show());
    f.edit->setFocus();
    f.Put(QStringLiteral("12,5"), 4);
    QTest::keyClick(f.edit, Qt::Key_Return);
    QCOMPARE(f.edit->text(), QStringLiteral("12,5"));
    QTest::keyClick(f.edit, Qt::Key_Backspace);
    QCOMPARE(f.edit->text(), QStringLiteral("12,"));
    QTest::keyClick(f.edit, Qt::Key_Home);
    QTest::keyClick(f.edit, Qt::Key_Delete);
    QCOMPARE(f.edit->text(), QStringLiteral("2,"));
    f.Put(QStringLiteral("2"), 1);
    QTest::keyClick(f.edit, Qt::Key_Period, Qt::KeypadModifier);
    QCOMPARE(f.edit->text(), QStringLiteral("2,"));
  }

  void editorDisabledDropsKeysButKeepsFilterReplacements() {
    Form f;
    f.edit->SetMinValue(-10);
    f.edit->SetEditorEnabled(false);
    QVERIFY(f.Show());
    f.edit->SetValue(3);
    f.edit->setFocus();
    f.Put(QStringLiteral("3,0"), 3);
    QTest::keyClicks(f.edit, QStringLiteral("5"));
    QTest::keyClick(f.edit, Qt::Key_Backspace);
    QTest::keyClick(f.edit, Qt::Key_Up);
    QCOMPARE(f.edit->text(), QStringLiteral("3,0"));
    f.Put(QString(), 0);
    QTest::keyClicks(f.edit, QStringLiteral(","));
    QCOMPARE(f.edit->text(), QStringLiteral("0,0"));
    f.Put(QString(), 0);
    QTest::keyClicks(f.edit, QStringLiteral("-"));
    QCOMPARE(f.edit->text(), QStringLiteral("-0"));
    QTest::keyClick(f.edit, Qt::Key_Escape);
    QCOMPARE(f.edit->text(), QStringLiteral("3,0"));
    // The arrows still step.
    QTest::mouseClick(f.edit->SpinButton(), Qt::LeftButton, {}, UpperArrow(f.edit));
    QCOMPARE(f.edit->text(), QStringLiteral("4,0"));
  }

  void readOnlyNeitherTypesNorSteps() {
    Form f;
    f.edit->SetMinValue(-10);
    f.edit->SetReadOnly(true);
    QVERIFY(f.Show());
    f.edit->SetValue(3);
    f.edit->setFocus();
    f.Put(QString(), 0);
    QTest::keyClicks(f.edit, QStringLiteral("-,5"));
    QCOMPARE(f.edit->text(), QString());
    f.edit->SetValue(3);
    QTest::keyClick(f.edit, Qt::Key_Up);
    QTest::mouseClick(f.edit->SpinButton(), Qt::LeftButton, {}, UpperArrow(f.edit));
    QCOMPARE(f.edit->text(), QStringLiteral("3,0"));
    f.edit->SetReadOnly(false);
    QTest::keyClick(f.edit, Qt::Key_Up);
    QCOMPARE(f.edit->text(), QStringLiteral("4,0"));
  }

  void upAndDownKeysStep() {
    Form f;
    QVERIFY(f.Show());
    f.edit->setFocus();
    f.edit->SetValue(6553);
    QTest::keyClick(f.edit, Qt::Key_Up);
    QCOMPARE(f.edit->text(), QStringLiteral("6553,5"));
    QTest::keyClick(f.edit, Qt::Key_Down);
    QCOMPARE(f.edit->text(), QStringLiteral("6552,5"));
  }

  void heldArrowRepeatsUntilReleased() {
    Form f;
    QVERIFY(f.Show());
    f.edit->SetIncrement(1);
    f.edit->SetValue(10);
    TmxSpinButton* arrows = f.edit->SpinButton();
    auto* timer = arrows->findChild<QTimer*>();
    QVERIFY(timer);
    QTest::mousePress(arrows, Qt::LeftButton, {}, UpperArrow(f.edit));
    QCOMPARE(f.edit->Value(), 11.0L);
    QVERIFY(timer->isActive());
    QCOMPARE(timer->interval(), 400);
    QTRY_VERIFY_WITH_TIMEOUT(f.edit->Value() >= 14.0L, 10000);
    QCOMPARE(timer->interval(), 100);
    QTest::mouseRelease(arrows, Qt::LeftButton, {}, UpperArrow(f.edit));
    QVERIFY(!timer->isActive());
    const long double released = f.edit->Value();
    QTest::qWait(300);
    QCOMPARE(f.edit->Value(), released);
    // Holding the lower arrow counts down; hiding the control ends the repeat.
    QTest::mousePress(arrows, Qt::LeftButton, {}, LowerArrow(f.edit));
    QCOMPARE(f.edit->Value(), released - 1);
    f.window.hide();
    QVERIFY(!timer->isActive());
  }

  void keyboardEntrySelectsAllAndMouseEntryDoesNot() {
    Form f;
    QVERIFY(f.Show());
    f.other->setFocus();
    f.edit->SetValue(12.5L);
    f.edit->setFocus(Qt::TabFocusReason);
    QCOMPARE(f.edit->selectedText(), QStringLiteral("12,5"));
    f.other->setFocus();
    QTest::mouseClick(f.edit, Qt::LeftButton, {}, QPoint(5, f.edit->height() / 2));
    QVERIFY(f.edit->hasFocus());
    QCOMPARE(f.edit->selectedText(), QString());
    f.other->setFocus();
    f.edit->SetAutoSelect(false);
    f.edit->setFocus(Qt::TabFocusReason);
    QCOMPARE(f.edit->selectedText(), QString());
  }

  void escapeRestoresTheValueAtEntry() {
    Form f;
    QVERIFY(f.Show());
    f.edit->SetValue(42);
    f.edit->setFocus(Qt::TabFocusReason);
    QTest::keyClicks(f.edit, QStringLiteral("9"));
    QTest::keyClick(f.edit, Qt::Key_Up);
    QCOMPARE(f.edit->text(), QStringLiteral("10,0"));
    QTest::keyClick(f.edit, Qt::Key_Escape);
    QCOMPARE(f.edit->text(), QStringLiteral("42,0"));
    QCOMPARE(f.edit->selectedText(), QStringLiteral("42,0"));
  }

  void leavingOutOfRangeRestoresAndKeepsFocus_data() {
    QTest::addColumn<QString>("typed");
    QTest::newRow("above max") << "7000";
    QTest::newRow("not a number") << "E";
  }
  void leavingOutOfRangeRestoresAndKeepsFocus() {
    QFETCH(QString, typed);
    Form f;
    QVERIFY(f.Show());
    f.edit->SetValue(12.5L);
    f.edit->setFocus(Qt::TabFocusReason);
    QTest::keyClicks(f.edit, typed);
    QCOMPARE(f.edit->text(), typed);
    f.other->setFocus(Qt::TabFocusReason);
    QCOMPARE(f.errors, 1);
    QVERIFY(f.edit->hasFocus());
    QVERIFY(!f.other->hasFocus());
    QCOMPARE(f.edit->text(), QStringLiteral("12,5"));
    QCOMPARE(f.edit->selectedText(), QStringLiteral("12,5"));
  }

  void leavingWithValidTextRewritesItAndLetsTheFocusGo() {
    Form f;
    QVERIFY(f.Show());
    f.edit->setFocus(Qt::TabFocusReason);
    f.edit->setText(QStringLiteral("6,5e2"));
    f.other->setFocus(Qt::TabFocusReason);
    QCOMPARE(f.edit->text(), QStringLiteral("650,0"));
    QCOMPARE(f.errors, 0);
    QVERIFY(f.other->hasFocus());
  }

  void contextMenuAndWindowSwitchAreNotLeaving() {
    Form f;
    QVERIFY(f.Show());
    f.edit->setFocus(Qt::TabFocusReason);
    f.edit->setText(QStringLiteral("7000"));
    QFocusEvent popup(QEvent::FocusOut, Qt::PopupFocusReason);
    QApplication::sendEvent(f.edit, &popup);
    QFocusEvent window(QEvent::FocusOut, Qt::ActiveWindowFocusReason);
    QApplication::sendEvent(f.edit, &window);
    QCOMPARE(f.errors, 0);
    QCOMPARE(f.edit->text(), QStringLiteral("7000"));
  }

  void pasteAndCutOnlyWhenEditable() {
    Form f;
    QVERIFY(f.Show());
    f.edit->setFocus();
    QApplication::clipboard()->setText(QStringLiteral("12a"));
    f.Put(QString(), 0);
    QTest::keyClick(f.edit, Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(f.edit->text(), QStringLiteral("12a"));  // not filtered; checked when leaving
    f.other->setFocus(Qt::TabFocusReason);
    QCOMPARE(f.errors, 1);

    f.edit->SetValue(5);
    f.edit->selectAll();
    f.edit->SetEditorEnabled(false);
    QTest::keyClick(f.edit, Qt::Key_V, Qt::ControlModifier);
    QTest::keyClick(f.edit, Qt::Key_X, Qt::ControlModifier);
    std::unique_ptr<QMenu> menu(f.edit->createStandardContextMenu());  // right-click menu
    for (QAction* action : menu->actions()) {
      const bool changesText = action->text().contains(QLatin1String("Paste")) ||
                               action->text().contains(QLatin1String("Cu&t")) ||
                               action->text().contains(QLatin1String("Delete"));
      QVERIFY2(!changesText || !action->isEnabled(), qPrintable(action->text()));
    }
    QCOMPARE(f.edit->text(), QStringLiteral("5,0"));

    f.edit->SetEditorEnabled(true);
    f.edit->SetReadOnly(true);
    f.edit->selectAll();
    QTest::keyClick(f.edit, Qt::Key_V, Qt::ControlModifier);
    QTest::keyClick(f.edit, Qt::Key_X, Qt::ControlModifier);
    QCOMPARE(f.edit->text(), QStringLiteral("5,0"));

    f.edit->SetReadOnly(false);
    f.edit->selectAll();
    QTest::keyClick(f.edit, Qt::Key_X, Qt::ControlModifier);
    QCOMPARE(f.edit->text(), QString());
    QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("5,0"));
  }
};

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  FloatSpinEditTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "float_spin_edit_test.moc"
