#include "controls/TmxFlatFloatSpinEdit.h"

#include <QApplication>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QLocale>
#include <QMouseEvent>
#include <QPainter>
#include <QPolygon>
#include <charconv>
#include <cmath>
#include <string>
#include <system_error>

namespace {

// Digits kept when a value is turned into text; the rest is rounding noise of the binary value.
constexpr int kSignificantDigits = 18;
constexpr int kMaxDecimals = 18;
constexpr int kSpinWidth = 13;

const QColor kBorder(0x80, 0x80, 0x80);
const QColor kBorderHot(0x40, 0x40, 0x40);

bool IsAsciiDigit(QChar c) {
  return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

// Parses an optionally signed decimal number with `sep` as decimal separator and an optional
// exponent (E or e), blanks around it allowed. Anything else (words, infinities, hexadecimal,
// a second separator, a number too large for long double) is not a number.
bool ParseNumber(const QString& text, QChar sep, long double* out) {
  const QString t = text.trimmed();
  const qsizetype n = t.size();
  qsizetype i = 0;
  std::string s;
  s.reserve(static_cast<size_t>(n) + 1);
  if (i < n && (t[i] == QLatin1Char('-') || t[i] == QLatin1Char('+'))) {
    if (t[i] == QLatin1Char('-')) s += '-';
    ++i;
  }
  int mantissaDigits = 0;
  for (; i < n && IsAsciiDigit(t[i]); ++i, ++mantissaDigits) s += static_cast<char>(t[i].unicode());
  if (i < n && t[i] == sep) {
    s += '.';
    for (++i; i < n && IsAsciiDigit(t[i]); ++i, ++mantissaDigits)
      s += static_cast<char>(t[i].unicode());
  }
  if (mantissaDigits == 0) return false;
  if (i < n && (t[i] == QLatin1Char('E') || t[i] == QLatin1Char('e'))) {
    s += 'e';
    ++i;
    if (i < n && (t[i] == QLatin1Char('-') || t[i] == QLatin1Char('+'))) {
      if (t[i] == QLatin1Char('-')) s += '-';
      ++i;
    }
    int exponentDigits = 0;
    for (; i < n && IsAsciiDigit(t[i]); ++i, ++exponentDigits)
      s += static_cast<char>(t[i].unicode());
    if (exponentDigits == 0) return false;
  }
  if (i != n) return false;
  long double v = 0;
  const char* end = s.data() + s.size();
  const auto r = std::from_chars(s.data(), end, v, std::chars_format::general);
  if (r.ec != std::errc() || r.ptr != end) return false;
  *out = v;
  return true;
}

// Fixed-point text of a finite x with exactly `decimals` digits after `sep`, no thousands
// separators. The value is first taken to 18 significant digits and then rounded half away from
// zero at the last shown digit, so that a value such as 0.7 or 6553.5 (not exact in binary) shows
// as the number the user typed. A number of 10^18 or more cannot be shown in fixed point with 18
// digits and is written in exponent form instead, which reads back as the same number.
QString FormatFixed(long double x, int decimals, QChar sep) {
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, std::fabs(x), std::chars_format::scientific,
                               kSignificantDigits - 1);
  const std::string sci(buf, r.ptr);  // "d.dddddddddddddddddde+XX"
  const size_t ePos = sci.find('e');
  std::string digits = sci.substr(0, 1) + sci.substr(2, ePos - 2);
  const int exponent = std::stoi(sci.substr(ePos + 1));
  const bool negative = std::signbit(x);

  if (exponent >= kSignificantDigits) {
    std::string frac = digits.substr(1);
    while (!frac.empty() && frac.back() == '0') frac.pop_back();
    QString out = negative ? QStringLiteral("-") : QString();
    out += QLatin1Char(digits[0]);
    if (!frac.empty())
      out += sep + QString::fromLatin1(frac.data(), static_cast<qsizetype>(frac.size()));
    out += QStringLiteral("E+") + QString::number(exponent);
    return out;
  }

  // All digits with the decimal point after the first intLen of them.
  const int pointPos = exponent + 1;
  std::string all;
  int intLen;
  if (pointPos <= 0) {
    all = std::string(static_cast<size_t>(1 - pointPos), '0') + digits;
    intLen = 1;
  } else {
    all = digits;
    intLen = pointPos;
  }
  const size_t keep = static_cast<size_t>(intLen + decimals);
  if (all.size() < keep + 1) all.append(keep + 1 - all.size(), '0');
  const bool roundUp = all[keep] >= '5';
  all.resize(keep);
  if (roundUp) {
    size_t k = keep;
    while (k > 0 && all[k - 1] == '9') all[--k] = '0';
    if (k == 0) {
      all.insert(all.begin(), '1');
      ++intLen;
    } else {
      ++all[k - 1];
    }
  }
  while (intLen > 1 && all[0] == '0') {
    all.erase(all.begin());
    --intLen;
  }
  // A value that rounds to zero shows without a sign.
  const bool zero = all.find_first_not_of('0') == std::string::npos;
  QString out = (negative && !zero) ? QStringLiteral("-") : QString();
  out += QString::fromLatin1(all.data(), intLen);
  if (decimals > 0) out += sep + QString::fromLatin1(all.data() + intLen, decimals);
  return out;
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

TmxCustomFlatFloatEdit::TmxCustomFlatFloatEdit(QWidget* parent) : TmxCustomFlatEdit(parent) {
  const QString point = QLocale().decimalPoint();
  separator_ = point.isEmpty() ? QLatin1Char('.') : point.at(0);
  // Characters only come through the typing filter of keyPressEvent, never from an input method.
  setAttribute(Qt::WA_InputMethodEnabled, false);
  setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  setText(Format(0));
}

QString TmxCustomFlatFloatEdit::Format(long double x) const {
  return FormatFixed(x, decimals_, separator_);
}

long double TmxCustomFlatFloatEdit::Value() const {
  long double v = 0;
  return ParseNumber(text(), separator_, &v) ? v : minValue_;
}

void TmxCustomFlatFloatEdit::SetValue(long double x) {
  if (std::isnan(x)) x = minValue_;
  if (maxValue_ != minValue_) {
    if (x < minValue_) x = minValue_;
    if (x > maxValue_) x = maxValue_;
  }
  // Infinity has no text that reads back as a number.
  if (!std::isfinite(x)) x = std::isfinite(minValue_) ? minValue_ : 0;
  setText(Format(x));
}

void TmxCustomFlatFloatEdit::SetMinValue(long double x) {
  if (std::isnan(x) || x == minValue_) return;
  if (maxValue_ < x) maxValue_ = x;
  minValue_ = x;
}

void TmxCustomFlatFloatEdit::SetMaxValue(long double x) {
  if (std::isnan(x) || x == maxValue_) return;
  if (minValue_ > x) minValue_ = x;
  maxValue_ = x;
}

void TmxCustomFlatFloatEdit::SetDecimals(uint8_t d) {
  if (d == decimals_) return;
  if (d > kMaxDecimals) d = kMaxDecimals;
  const long double v = Value();
  decimals_ = d;
  SetValue(v);
}

void TmxCustomFlatFloatEdit::SetEditorEnabled(bool on) {
  editorEnabled_ = on;
  SyncLineEditReadOnly();
}

void TmxCustomFlatFloatEdit::SetReadOnly(bool on) {
  readOnly_ = on;
  SyncLineEditReadOnly();
}

// The line edit's own read-only state closes every way the user could change the text besides
// the keys handled here: context-menu paste, cut and delete, middle-button paste, drag and drop.
void TmxCustomFlatFloatEdit::SyncLineEditReadOnly() {
  setReadOnly(readOnly_ || !editorEnabled_);
}

void TmxCustomFlatFloatEdit::SetAlignment(Qt::Alignment a) {
  setAlignment((a & Qt::AlignHorizontal_Mask) | Qt::AlignVCenter);
}

void TmxCustomFlatFloatEdit::keyPressEvent(QKeyEvent* e) {
  const int key = e->key();
  if (key == Qt::Key_Return || key == Qt::Key_Enter) {
    // Never part of the text; left to the dialog (default button).
    if (editorEnabled_)
      QLineEdit::keyPressEvent(e);
    else
      e->ignore();
    return;
  }
  if (key == Qt::Key_Escape) {
    SetValue(entryValue_);
    selectAll();
    e->accept();
    return;
  }
  QString typed = e->text();
  // The decimal key of the numeric keypad gives the locale's separator whatever it is labelled.
  if ((e->modifiers() & Qt::KeypadModifier) &&
      (typed == QLatin1String(".") || typed == QLatin1String(",")))
    typed = QString(separator_);
  const bool shortcut = e->modifiers() & (Qt::ControlModifier | Qt::MetaModifier);
  if (!shortcut && !typed.isEmpty() && typed.at(0).isPrint()) {
    for (QChar c : typed) TypeChar(c);
    e->accept();
    return;
  }
  // Editing and navigation keys and shortcuts (backspace, delete, copy, paste, ...).
  if (!editorEnabled_) {
    e->accept();
    return;
  }
  QLineEdit::keyPressEvent(e);
}

// The typing filter for one printable character. R is the text without the selection, N the text
// the character would produce.
void TmxCustomFlatFloatEdit::TypeChar(QChar c) {
  // A read-only edit is never changed by typing, not even by the replacements below.
  if (readOnly_) return;
  const QLatin1Char minus('-');
  const QString t = text();
  const bool sel = hasSelectedText();
  const qsizetype at = sel ? selectionStart() : cursorPosition();
  QString r = t;
  if (sel) r.remove(at, selectionLength());
  QString n = r;
  n.insert(at, c);

  const bool special =
      c == minus || c == QLatin1Char('E') || c == QLatin1Char('e') || c == separator_;
  if (!IsAsciiDigit(c) && !special) return;
  if (special && r.contains(c)) return;
  if (c == minus && minValue_ >= 0) return;
  if (c == separator_ && decimals_ == 0) return;
  const qsizetype point = n.indexOf(separator_);
  if (point >= 0 && n.size() - point - 1 > decimals_) return;
  if (c == minus && at != 0) return;

  if (n == QString(minus)) {
    setText(QStringLiteral("-0"));
    setSelection(1, 1);
    return;
  }
  if (n == QString(separator_)) {
    setText(QStringLiteral("0") + separator_ + QStringLiteral("0"));
    setSelection(2, 1);
    return;
  }
  if (!editorEnabled_) return;
  insert(QString(c));
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
  entryValue_ = Value();
  if (e->reason() == Qt::MouseFocusReason) return;
  if (autoSelect_)
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
  QString t = text();
  if (t.isEmpty()) t = Format(minValue_);
  long double v = 0;
  if (ParseNumber(t, separator_, &v) && v >= minValue_ && v <= maxValue_) {
    setText(Format(v));
    SetValue(Value());
    return;
  }
  if (OnError) OnError();
  SetValue(entryValue_);
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

TmxSpinButton::Half TmxSpinButton::HalfAt(const QPoint& p) const {
  if (!rect().contains(p)) return Half::None;
  return p.y() < height() / 2 ? Half::Up : Half::Down;
}

void TmxSpinButton::Fire() {
  const auto& handler = pressed_ == Half::Up ? OnUpClick : OnDownClick;
  if (handler) handler();
}

void TmxSpinButton::mousePressEvent(QMouseEvent* e) {
  if (e->button() != Qt::LeftButton) {
    e->ignore();
    return;
  }
  pressed_ = HalfAt(e->position().toPoint());
  if (pressed_ == Half::None) return;
  pointerOnPressed_ = true;
  update();
  repeat_->start(kFirstRepeatMs);
  Fire();
}

void TmxSpinButton::mouseMoveEvent(QMouseEvent* e) {
  if (pressed_ == Half::None) return;
  const bool on = HalfAt(e->position().toPoint()) == pressed_;
  if (on != pointerOnPressed_) {
    pointerOnPressed_ = on;
    update();
  }
}

void TmxSpinButton::RepeatTick() {
  if (pressed_ == Half::None) {
    repeat_->stop();
    return;
  }
  if (repeat_->interval() != kRepeatMs) repeat_->setInterval(kRepeatMs);
  if (pointerOnPressed_) Fire();
}

void TmxSpinButton::Release() {
  repeat_->stop();
  if (pressed_ != Half::None) {
    pressed_ = Half::None;
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
  if (pressed_ == Half::Up && pointerOnPressed_) p.fillRect(up, sunken);
  if (pressed_ == Half::Down && pointerOnPressed_) p.fillRect(down, sunken);
  p.setPen(kBorder);
  p.drawLine(0, 0, 0, height() - 1);
  p.drawLine(0, mid, width() - 1, mid);

  // Small solid triangles, 5 px wide and 3 px high, centred in each half.
  p.setPen(Qt::NoPen);
  p.setBrush(isEnabled() ? pal.buttonText() : pal.mid());
  const int cx = (width() + 1) / 2;
  const int upY = (mid - 3) / 2;
  p.drawPolygon(QPolygon({QPoint(cx - 3, upY + 3), QPoint(cx + 3, upY + 3), QPoint(cx, upY)}));
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
  SetValue(direction > 0 ? Value() + increment_ : Value() - increment_);
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
