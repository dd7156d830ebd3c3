#include "controls/TmxFlatFloatSpinEdit.h"

#include <QApplication>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QLocale>
#include <QMouseEvent>
#include <QPainter>
#include <QPolygon>
#include <QStringView>
#include <string_view>

namespace {

constexpr int kSpinWidth = 13;

const QColor kBorder(0x80, 0x80, 0x80);
const QColor kBorderHot(0x40, 0x40, 0x40);

// The rules read and write UTF-16 texts, as QString holds them.
std::u16string_view View(const QString& text) {
  const QStringView view(text);
  return {view.utf16(), static_cast<size_t>(view.size())};
}

QString FromView(std::u16string_view text) {
  return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

// The decimal separator of the default locale.
char16_t LocaleSeparator() {
  const QString point = QLocale().decimalPoint();
  return point.isEmpty() ? u'.' : point.at(0).unicode();
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TmxCustomFlatEdit

TmxCustomFlatEdit::TmxCustomFlatEdit(QWidget* parent) : QLineEdit(parent) {
  // The border is drawn by paintEvent; the style's own frame would be thicker and 3-D.
  setFrame(false);
  setAttribute(Qt::WA_Hover);
  SetRightInset(0);
}

void TmxCustomFlatEdit::SetRightInset(int pixels) {
  setTextMargins(1, 1, 1 + pixels, 1);
}

void TmxCustomFlatEdit::paintEvent(QPaintEvent* e) {
  QLineEdit::paintEvent(e);
  QPainter p(this);
  const bool hot = isEnabled() && (underMouse() || hasFocus());
  p.setPen(hot ? kBorderHot : kBorder);
  p.setBrush(Qt::NoBrush);
  p.drawRect(rect().adjusted(0, 0, -1, -1));
}

// ---------------------------------------------------------------------------------------------
// TmxCustomFlatFloatEdit

TmxCustomFlatFloatEdit::TmxCustomFlatFloatEdit(QWidget* parent)
    : TmxCustomFlatEdit(parent), rules_(LocaleSeparator()) {
  // Characters only come through the typing filter of keyPressEvent, never from an input method.
  setAttribute(Qt::WA_InputMethodEnabled, false);
  setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  SetValue(0);
}

long double TmxCustomFlatFloatEdit::Value() const {
  return rules_.ValueOf(View(text()));
}

void TmxCustomFlatFloatEdit::SetValue(long double x) {
  setText(FromView(rules_.TextOf(x)));
}

void TmxCustomFlatFloatEdit::SetDecimals(uint8_t d) {
  if (d == rules_.Decimals()) return;
  const long double v = Value();
  rules_.SetDecimals(d);
  SetValue(v);
}

void TmxCustomFlatFloatEdit::SetEditorEnabled(bool on) {
  editor_enabled_ = on;
  SyncLineEditReadOnly();
}

void TmxCustomFlatFloatEdit::SetReadOnly(bool on) {
  read_only_ = on;
  SyncLineEditReadOnly();
}

// The line edit's own read-only state closes every way the user could change the text besides
// the keys handled here: context-menu paste, cut and delete, middle-button paste, drag and drop.
void TmxCustomFlatFloatEdit::SyncLineEditReadOnly() {
  setReadOnly(read_only_ || !editor_enabled_);
}

void TmxCustomFlatFloatEdit::SetAlignment(Qt::Alignment a) {
  setAlignment((a & Qt::AlignHorizontal_Mask) | Qt::AlignVCenter);
}

void TmxCustomFlatFloatEdit::keyPressEvent(QKeyEvent* e) {
  const int key = e->key();
  if (key == Qt::Key_Return || key == Qt::Key_Enter) {
    // Never part of the text; left to the dialog (default button).
    if (editor_enabled_)
      QLineEdit::keyPressEvent(e);
    else
      e->ignore();
    return;
  }
  if (key == Qt::Key_Escape) {
    SetValue(entry_value_);
    selectAll();
    e->accept();
    return;
  }
  QString typed = e->text();
  // The decimal key of the numeric keypad gives the locale's separator whatever it is labelled.
  if ((e->modifiers() & Qt::KeypadModifier) &&
      (typed == QLatin1String(".") || typed == QLatin1String(",")))
    typed = DecimalSeparator();
  const bool shortcut = e->modifiers() & (Qt::ControlModifier | Qt::MetaModifier);
  if (!shortcut && !typed.isEmpty() && typed.at(0).isPrint()) {
    for (QChar c : typed) TypeChar(c);
    e->accept();
    return;
  }
  // Editing and navigation keys and shortcuts (backspace, delete, copy, paste, ...).
  if (!editor_enabled_) {
    e->accept();
    return;
  }
  QLineEdit::keyPressEvent(e);
}

// One printable character through the typing filter.
void TmxCustomFlatFloatEdit::TypeChar(QChar c) {
  // A read-only edit is never changed by typing, not even by the filter's replacements.
  if (read_only_) return;
  const bool sel = hasSelectedText();
  const qsizetype from = sel ? selectionStart() : cursorPosition();
  const qsizetype length = sel ? selectionLength() : 0;
  const oxa::TFloatEditTyping typing = rules_.Typed(View(text()), static_cast<size_t>(from),
                                                    static_cast<size_t>(length), c.unicode());
  switch (typing.action) {
    case oxa::TFloatEditTyping::TAction::kDrop:
      break;
    case oxa::TFloatEditTyping::TAction::kReplace:
      // Also with the editor disabled: the filter's own change of the text.
      setText(FromView(typing.text));
      setSelection(static_cast<int>(typing.select_from), static_cast<int>(typing.select_length));
      break;
    case oxa::TFloatEditTyping::TAction::kInsert:
      if (editor_enabled_) insert(QString(c));
      break;
  }
}

// Focus changes caused by a popup (context menu) or by another window becoming active are not
// entering or leaving the edit: the user is still editing it.
static bool IsEnterOrLeave(Qt::FocusReason r) {
  return r != Qt::PopupFocusReason && r != Qt::ActiveWindowFocusReason;
}

void TmxCustomFlatFloatEdit::focusInEvent(QFocusEvent* e) {
  const bool hadSelection = hasSelectedText();
  QLineEdit::focusInEvent(e);
  if (!IsEnterOrLeave(e->reason())) return;
  entry_value_ = Value();
  if (e->reason() == Qt::MouseFocusReason) return;
  if (auto_select_)
    selectAll();
  else if (!hadSelection)
    deselect();  // the line edit itself selects all on Tab
}

void TmxCustomFlatFloatEdit::focusOutEvent(QFocusEvent* e) {
  QLineEdit::focusOutEvent(e);
  if (!IsEnterOrLeave(e->reason()) || !isVisible()) return;
  ValidateOnLeave();
}

void TmxCustomFlatFloatEdit::ValidateOnLeave() {
  if (const std::optional<std::u16string> shown = rules_.TextOnLeave(View(text()))) {
    setText(FromView(*shown));
    return;
  }
  if (OnError) OnError();
  SetValue(entry_value_);
  selectAll();
  // Called while the focus is moving away: the widget that was to receive it gets none.
  setFocus(Qt::OtherFocusReason);
}

// ---------------------------------------------------------------------------------------------
// TmxSpinButton

TmxSpinButton::TmxSpinButton(QWidget* parent) : QWidget(parent), repeat_(new QTimer(this)) {
  setFocusPolicy(Qt::NoFocus);
  setCursor(Qt::ArrowCursor);
  setAttribute(Qt::WA_Hover);
  repeat_->setSingleShot(false);
  connect(repeat_, &QTimer::timeout, this, [this] { RepeatTick(); });
}

TmxSpinButton::THalf TmxSpinButton::HalfAt(const QPoint& p) const {
  if (!rect().contains(p)) return THalf::None;
  return p.y() < height() / 2 ? THalf::Up : THalf::Down;
}

void TmxSpinButton::Fire() {
  const auto& handler = pressed_ == THalf::Up ? OnUpClick : OnDownClick;
  if (handler) handler();
}

void TmxSpinButton::mousePressEvent(QMouseEvent* e) {
  if (e->button() != Qt::LeftButton) {
    e->ignore();
    return;
  }
  pressed_ = HalfAt(e->position().toPoint());
  if (pressed_ == THalf::None) return;
  pointer_on_pressed_ = true;
  update();
  repeat_->start(kFirstRepeatMs);
  Fire();
}

void TmxSpinButton::mouseMoveEvent(QMouseEvent* e) {
  if (pressed_ == THalf::None) return;
  const bool on = HalfAt(e->position().toPoint()) == pressed_;
  if (on != pointer_on_pressed_) {
    pointer_on_pressed_ = on;
    update();
  }
}

void TmxSpinButton::RepeatTick() {
  if (pressed_ == THalf::None) {
    repeat_->stop();
    return;
  }
  if (repeat_->interval() != kRepeatMs) repeat_->setInterval(kRepeatMs);
  if (pointer_on_pressed_) Fire();
}

void TmxSpinButton::Release() {
  repeat_->stop();
  if (pressed_ != THalf::None) {
    pressed_ = THalf::None;
    update();
  }
}

void TmxSpinButton::mouseReleaseEvent(QMouseEvent* e) {
  if (e->button() == Qt::LeftButton) Release();
}

void TmxSpinButton::hideEvent(QHideEvent* e) {
  Release();
  QWidget::hideEvent(e);
}

void TmxSpinButton::changeEvent(QEvent* e) {
  if (e->type() == QEvent::EnabledChange && !isEnabled()) Release();
  QWidget::changeEvent(e);
}

void TmxSpinButton::paintEvent(QPaintEvent*) {
  QPainter p(this);
  const QPalette& pal = palette();
  const int mid = height() / 2;
  const QRect up(0, 0, width(), mid);
  const QRect down(0, mid, width(), height() - mid);
  p.fillRect(rect(), pal.button());
  const QColor sunken = pal.button().color().darker(115);
  if (pressed_ == THalf::Up && pointer_on_pressed_) p.fillRect(up, sunken);
  if (pressed_ == THalf::Down && pointer_on_pressed_) p.fillRect(down, sunken);
  p.setPen(kBorder);
  p.drawLine(0, 0, 0, height() - 1);
  p.drawLine(0, mid, width() - 1, mid);

  // Small solid triangles, 5 px wide and 3 px high, centred in each half.
  p.setPen(Qt::NoPen);
  p.setBrush(isEnabled() ? pal.buttonText() : pal.mid());
  const int cx = (width() + 1) / 2;
  const int up_y = (mid - 3) / 2;
  p.drawPolygon(QPolygon({QPoint(cx - 3, up_y + 3), QPoint(cx + 3, up_y + 3), QPoint(cx, up_y)}));
  const int downY = mid + 1 + (height() - mid - 1 - 3) / 2;
  p.drawPolygon(QPolygon({QPoint(cx - 3, downY), QPoint(cx + 3, downY), QPoint(cx, downY + 3)}));
}

// ---------------------------------------------------------------------------------------------
// TmxCustomFlatFloatSpinEdit

TmxCustomFlatFloatSpinEdit::TmxCustomFlatFloatSpinEdit(QWidget* parent)
    : TmxCustomFlatFloatEdit(parent), button_(new TmxSpinButton(this)) {
  button_->setObjectName(QStringLiteral("SpinButton"));
  button_->OnUpClick = [this] { ArrowClick(+1); };
  button_->OnDownClick = [this] { ArrowClick(-1); };
  SetRightInset(kSpinWidth);
}

void TmxCustomFlatFloatSpinEdit::Step(int direction) {
  if (ReadOnly()) {
    QApplication::beep();
    return;
  }
  setText(FromView(Rules().SteppedText(View(text()), increment_, direction)));
}

// A click on an arrow puts the focus into the edit first, as a click on its text would, so the
// value at entry is the one before the step and leaving the edit validates the result.
void TmxCustomFlatFloatSpinEdit::ArrowClick(int direction) {
  if (!hasFocus() && focusPolicy() != Qt::NoFocus) setFocus(Qt::MouseFocusReason);
  Step(direction);
}

void TmxCustomFlatFloatSpinEdit::keyPressEvent(QKeyEvent* e) {
  if (e->key() == Qt::Key_Up || e->key() == Qt::Key_Down) {
    if (EditorEnabled()) Step(e->key() == Qt::Key_Up ? +1 : -1);
    e->accept();
    return;
  }
  TmxCustomFlatFloatEdit::keyPressEvent(e);
}

void TmxCustomFlatFloatSpinEdit::resizeEvent(QResizeEvent* e) {
  TmxCustomFlatFloatEdit::resizeEvent(e);
  button_->setGeometry(width() - 1 - kSpinWidth, 1, kSpinWidth, height() - 2);
}

// ---------------------------------------------------------------------------------------------

TmxFlatFloatSpinEdit::TmxFlatFloatSpinEdit(QWidget* parent) : TmxCustomFlatFloatSpinEdit(parent) {}
