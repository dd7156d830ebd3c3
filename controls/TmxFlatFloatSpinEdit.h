#pragma once

// A one-line edit for a floating-point value with spin arrows at its right edge, in a flat look
// that fits a classic grey dialog.
//
// Class chain:
//   TmxCustomFlatEdit           an edit with a 1 px flat border
//   TmxCustomFlatFloatEdit      reading and writing the value, clamping, the typing filter,
//                               validation when the edit is left: the value rules of
//                               window/FloatEditRules.h applied to the keys and the focus
//   TmxCustomFlatFloatSpinEdit  the spin arrows (TmxSpinButton) and stepping
//   TmxFlatFloatSpinEdit        the control placed on forms
//
// The decimal separator is the one of the default QLocale at the time the control is created.

#include <QLineEdit>
#include <QTimer>
#include <QWidget>
#include <cstdint>
#include <functional>

#include "window/FloatEditRules.h"

class QFocusEvent;
class QKeyEvent;
class QMouseEvent;
class QPaintEvent;
class QResizeEvent;

// An edit with a flat 1 px border that darkens while the pointer is over it or it has the focus.
class TmxCustomFlatEdit : public QLineEdit {
  Q_OBJECT
 public:
  explicit TmxCustomFlatEdit(QWidget* parent = nullptr);

 protected:
  void paintEvent(QPaintEvent* e) override;
  // Room kept free at the right edge of the text (for child controls such as spin arrows).
  void SetRightInset(int pixels);
};

// The value rules of the float edit: the text is the value, read with the locale's separator and
// written in fixed-point form with Decimals digits.
class TmxCustomFlatFloatEdit : public TmxCustomFlatEdit {
  Q_OBJECT
 public:
  explicit TmxCustomFlatFloatEdit(QWidget* parent = nullptr);

  // Reading parses the text; text that is not a number (empty included) reads as MinValue.
  // Reading never clamps.
  long double Value() const;
  // Clamps to MinValue..MaxValue (unless the two are equal) and writes the text.
  void SetValue(long double x);

  long double MinValue() const { return rules_.MinValue(); }
  void SetMinValue(long double x) { rules_.SetMinValue(x); }
  long double MaxValue() const { return rules_.MaxValue(); }
  void SetMaxValue(long double x) { rules_.SetMaxValue(x); }

  uint8_t Decimals() const { return rules_.Decimals(); }
  // Rewrites the text with the new number of decimals.
  void SetDecimals(uint8_t d);

  // False: the keyboard cannot change the text (nor step it); the spin arrows still step.
  bool EditorEnabled() const { return editor_enabled_; }
  void SetEditorEnabled(bool on);

  // True: the user cannot change the text; stepping only beeps.
  bool ReadOnly() const { return read_only_; }
  void SetReadOnly(bool on);

  // Select the whole text when the focus enters by keyboard (not by a mouse click).
  bool AutoSelect() const { return auto_select_; }
  void SetAutoSelect(bool on) { auto_select_ = on; }

  Qt::Alignment Alignment() const { return alignment() & Qt::AlignHorizontal_Mask; }
  void SetAlignment(Qt::Alignment a);

  // The decimal separator in use, taken from the default locale at creation.
  QChar DecimalSeparator() const { return QChar(rules_.Separator()); }

  // Called when the edit is left with text that is not a number or a value out of range.
  std::function<void()> OnError;

 protected:
  void keyPressEvent(QKeyEvent* e) override;
  void focusInEvent(QFocusEvent* e) override;
  void focusOutEvent(QFocusEvent* e) override;
  const oxa::TFloatEditRules& Rules() const { return rules_; }

 private:
  void TypeChar(QChar c);
  void ValidateOnLeave();
  void SyncLineEditReadOnly();

  oxa::TFloatEditRules rules_;
  bool editor_enabled_ = true;
  bool read_only_ = false;
  bool auto_select_ = true;
  long double entry_value_ = 0;  // the value read when the edit last received the focus
};

// The pair of spin arrows: the upper half steps up, the lower half down. Holding a half pressed
// repeats the step, first after 400 ms and then every 100 ms, while the pointer stays on it.
class TmxSpinButton : public QWidget {
  Q_OBJECT
 public:
  static constexpr int kFirstRepeatMs = 400;
  static constexpr int kRepeatMs = 100;

  explicit TmxSpinButton(QWidget* parent = nullptr);

  std::function<void()> OnUpClick;
  std::function<void()> OnDownClick;

 protected:
  void paintEvent(QPaintEvent* e) override;
  void mousePressEvent(QMouseEvent* e) override;
  void mouseMoveEvent(QMouseEvent* e) override;
  void mouseReleaseEvent(QMouseEvent* e) override;
  void hideEvent(QHideEvent* e) override;
  void changeEvent(QEvent* e) override;

 private:
  enum class THalf { None, Up, Down };
  THalf HalfAt(const QPoint& p) const;
  void Fire();
  void RepeatTick();
  void Release();

  THalf pressed_ = THalf::None;
  bool pointer_on_pressed_ = false;
  QTimer* repeat_;
};

// Adds the spin arrows and stepping by them and by the Up and Down keys.
class TmxCustomFlatFloatSpinEdit : public TmxCustomFlatFloatEdit {
  Q_OBJECT
 public:
  explicit TmxCustomFlatFloatSpinEdit(QWidget* parent = nullptr);

  long double Increment() const { return increment_; }
  void SetIncrement(long double x) { increment_ = x; }

  // One step up (+1) or down (-1); only a beep when ReadOnly.
  void Step(int direction);

  TmxSpinButton* SpinButton() const { return button_; }

 protected:
  void keyPressEvent(QKeyEvent* e) override;
  void resizeEvent(QResizeEvent* e) override;

 private:
  void ArrowClick(int direction);

  long double increment_ = 1.0L;
  TmxSpinButton* button_ = nullptr;
};

class TmxFlatFloatSpinEdit : public TmxCustomFlatFloatSpinEdit {
  Q_OBJECT
 public:
  explicit TmxFlatFloatSpinEdit(QWidget* parent = nullptr);
};
