#include "app/zeb_id_main.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QEventLoop>
#include <QFontDatabase>
#include <QGroupBox>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QScreen>
#include <QSpinBox>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <tuple>

#include "actions/SettingsPath.h"
#include "app/ArchiveRangeDialog.h"
#include "app/ExchangeLogDialog.h"
#include "app/MonitorWindow.h"
#include "app/QtText.h"
#include "controls/TmxFlatFloatSpinEdit.h"
#include "ui_zeb_id_main.h"

namespace {

std::string S(const QString& text) {
  return text.toStdString();
}

// A tooltip that shows `text` as it stands. Qt draws a tooltip that looks like markup as rich
// text, and a port's description holds USB strings an adapter chose: the text goes in escaped,
// in a paragraph that keeps its blanks and does not wrap, as plain text would.
QString PlainTooltip(std::string_view text) {
  return "<p style='white-space:pre'>" + Q(text).toHtmlEscaped() + "</p>";
}

oxa::TScreenRect ScreenRect(const QRect& rect) {
  return {rect.x(), rect.y(), rect.x() + rect.width(), rect.y() + rect.height()};
}

// Tells where a side window was each time it is hidden (closed), so that it opens there next.
class TPlaceKeeper final : public QObject {
 public:
  TPlaceKeeper(QWidget* window, std::function<void(QPoint)> hidden_at)
      : QObject(window), hidden_at_(std::move(hidden_at)) {
    window->installEventFilter(this);
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Hide && watched == parent()) {
      hidden_at_(static_cast<QWidget*>(watched)->pos());
    }
    return false;
  }

 private:
  std::function<void(QPoint)> hidden_at_;
};

}  // namespace

// The model's view of the window: each control the model names is the widget of that object
// name on the Designer form.
class TIDMainFrm::TView final : public oxa::IFormView {
 public:
  explicit TView(TIDMainFrm& window) : window_(window) {}

  // Finds the widgets, once the form is set up.
  void FindWidgets() {
    for (size_t i = 0; i < oxa::kControlCount; ++i) {
      const auto name = oxa::ControlName(oxa::TControl(i));
      widgets_[i] = window_.findChild<QWidget*>(Q(name));
      Q_ASSERT_X(widgets_[i], "TIDMainFrm", "a control of the model is missing from the form");
    }
  }

  QWidget* Widget(oxa::TControl control) const { return widgets_[size_t(control)]; }
  template <class T>
  T* As(oxa::TControl control) const {
    return qobject_cast<T*>(Widget(control));
  }

  std::string Caption() const override { return S(window_.windowTitle()); }
  void SetCaption(std::string_view caption) override { window_.setWindowTitle(Q(caption)); }
  std::string DecimalSeparator() const override { return S(QLocale().decimalPoint()); }

  void SetItems(oxa::TControl list, const std::vector<std::string>& items) override {
    auto* box = As<QComboBox>(list);
    if (!box) return;
    QStringList texts;
    for (const std::string& item : items) texts << Q(item);
    box->clear();
    box->addItems(texts);
  }
  void SetItemIndex(oxa::TControl list, int index) override {
    if (auto* box = As<QComboBox>(list)) {
      box->setCurrentIndex(index >= 0 && index < box->count() ? index : -1);
    }
  }
  int ItemIndex(oxa::TControl list) const override {
    const auto* box = As<QComboBox>(list);
    return box ? box->currentIndex() : -1;
  }
  void SetItemHints(oxa::TControl list, const std::vector<std::string>& hints) override {
    auto* box = As<QComboBox>(list);
    if (!box) return;
    for (int i = 0; i < box->count(); ++i) {
      box->setItemData(i, size_t(i) < hints.size() ? PlainTooltip(hints[size_t(i)]) : QString(),
                       Qt::ToolTipRole);
    }
  }
  void SetHint(oxa::TControl control, std::string_view hint) override {
    if (QWidget* widget = Widget(control))
      widget->setToolTip(hint.empty() ? QString() : PlainTooltip(hint));
  }

  void SetNumberRange(oxa::TControl field, const oxa::TNumberRange& range) override {
    if (auto* spin = As<QSpinBox>(field)) {
      spin->setRange(int(range.min), int(range.max));
      spin->setSingleStep(int(range.step));
      if (QLineEdit* edit = spin->findChild<QLineEdit*>()) {
        edit->setMaxLength(range.max_chars > 0 ? int(range.max_chars) : 32767);
      }
    } else if (auto* edit = As<TmxFlatFloatSpinEdit>(field)) {
      edit->SetDecimals(range.decimals);
      edit->SetIncrement(range.step);
      edit->SetMinValue(range.min);
      edit->SetMaxValue(range.max);
    }
  }
  void SetNumber(oxa::TControl field, long double value) override {
    if (auto* spin = As<QSpinBox>(field)) {
      // Brought into the range before it becomes an int, so that no value can overflow.
      const long double held = std::clamp<long double>(value, spin->minimum(), spin->maximum());
      spin->setValue(int(std::lround(double(held))));
    } else if (auto* edit = As<TmxFlatFloatSpinEdit>(field)) {
      edit->SetValue(value);
    }
  }
  long double Number(oxa::TControl field) const override {
    if (const auto* spin = As<QSpinBox>(field)) return spin->value();
    if (const auto* edit = As<TmxFlatFloatSpinEdit>(field)) return edit->Value();
    return 0;
  }

  void SetText(oxa::TControl control, std::string_view text) override {
    if (auto* edit = As<QLineEdit>(control)) edit->setText(Q(text));
  }
  void SetLines(oxa::TControl pane, const std::vector<std::string>& lines) override {
    auto* edit = As<QPlainTextEdit>(pane);
    if (!edit) return;
    QStringList texts;
    for (const std::string& line : lines) texts << Q(line);
    edit->setPlainText(texts.join('\n'));
  }
  void SetDesignCaption(std::string_view name, std::string_view caption) override {
    QWidget* widget = window_.findChild<QWidget*>(Q(name));
    if (auto* frame = qobject_cast<QGroupBox*>(widget)) {
      frame->setTitle(Q(caption));
    } else if (auto* label = qobject_cast<QLabel*>(widget)) {
      label->setText(Q(caption));
    } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
      button->setText(Q(caption));
    }
  }
  void SetStatus(std::string_view text, oxa::TStatusColour colour) override {
    auto* label = As<QLabel>(oxa::TControl::kLStatus);
    const oxa::TRgb rgb = oxa::StatusRgb(colour);
    const QColor shade(rgb.red, rgb.green, rgb.blue);
    const QString shown = Q(text);
    label->setText(shown);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, shade);
    label->setPalette(palette);
    emit window_.StatusShown(shown, shade);
  }

  void SetEnabled(oxa::TControl control, bool enabled) override {
    if (QWidget* widget = Widget(control)) widget->setEnabled(enabled);
  }
  std::optional<oxa::TControl> FocusedControl() const override {
    // A field's edit, or any other part of a control, counts as the control.
    for (const QWidget* w = window_.focusWidget(); w && w != &window_; w = w->parentWidget()) {
      const auto it = std::find(widgets_.begin(), widgets_.end(), w);
      if (it != widgets_.end()) return oxa::TControl(it - widgets_.begin());
    }
    return std::nullopt;
  }
  void SetFocus(oxa::TControl control) override {
    if (QWidget* widget = Widget(control)) widget->setFocus(Qt::OtherFocusReason);
  }

  void ShowMessage(std::string_view text) override {
    if (window_.ShowMessage) window_.ShowMessage(Q(text));
  }
  void RunOnWorker(const std::function<void()>& work) override {
    // Work that ends within a few milliseconds (a port opening, a short exchange at a high
    // speed) is waited for here: a round through the event loop would paint the window first
    // and take the answer only after that. Longer work is waited for in a local event loop, so
    // that the window repaints and takes clicks and keys meanwhile.
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    QEventLoop loop;
    std::thread worker([&] {
      work();
      {
        std::lock_guard lock(mutex);
        done = true;
      }
      finished.notify_one();
      QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    bool waited = false;
    {
      std::unique_lock lock(mutex);
      waited = finished.wait_for(lock, kQuickWork, [&] { return done; });
    }
    if (!waited) {
      QApplication::setOverrideCursor(Qt::WaitCursor);
      loop.exec();
      QApplication::restoreOverrideCursor();
    }
    worker.join();
  }
  void Close() override { window_.close(); }

  void ShowExchangeLog() override {
    oxa::TFormModel& model = *window_.model_;
    // The log's window speaks the language of the form when it was opened; after a change it
    // is made afresh, and shows again every row the log holds.
    if (log_window_ && log_window_->Language() != model.Language()) Remake(log_window_);
    if (!log_window_) {
      log_window_ = new TExchangeLogDialog(model.ExchangeLog(), model.Language(), &window_);
      Place(log_window_, oxa::TSideWindow::kExchangeLog);
    }
    RaiseWindow(log_window_);
  }
  void ShowMonitor() override {
    oxa::TFormModel& model = *window_.model_;
    // Made afresh in the form's language after a change, unless it is polling.
    if (monitor_window_ && monitor_window_->Language() != model.Language() &&
        !monitor_window_->Monitor().Running()) {
      Remake(monitor_window_);
    }
    if (!monitor_window_) {
      monitor_window_ = new TMonitorWindow(model.LeasePort(), model.Language(), &window_);
      Place(monitor_window_, oxa::TSideWindow::kMonitor);
    }
    RaiseWindow(monitor_window_);
  }
  void ShowArchiveRange() override {
    oxa::TFormModel& model = *window_.model_;
    // Made afresh in the form's language after a change, unless a download is under way.
    if (archive_window_ && archive_window_->Language() != model.Language() &&
        !archive_window_->Running()) {
      Remake(archive_window_);
    }
    if (!archive_window_) {
      archive_window_ = new TArchiveRangeDialog(model, &window_);
      Place(archive_window_, oxa::TSideWindow::kArchiveRange);
    }
    RaiseWindow(archive_window_);
  }

  TExchangeLogDialog* ExchangeLogWindow() const { return log_window_; }
  TMonitorWindow* MonitorWindow() const { return monitor_window_; }

  // The form closes: the side windows still open tell the model where they are.
  void KeepSidePlaces() {
    Remember(log_window_, oxa::TSideWindow::kExchangeLog);
    Remember(monitor_window_, oxa::TSideWindow::kMonitor);
    Remember(archive_window_, oxa::TSideWindow::kArchiveRange);
  }
  void DeleteSideWindows() {
    delete log_window_.data();
    delete monitor_window_.data();
    delete archive_window_.data();
  }

 private:
  // Moves a new side window to where the model says it opens, and has it tell the model where
  // it was whenever it is closed.
  void Place(QWidget* window, oxa::TSideWindow which) {
    oxa::TFormModel& model = *window_.model_;
    new TPlaceKeeper(window, [&model, which](QPoint at) {
      model.SideWindowMoved(which, {at.x(), at.y()});
    });
    const QScreen* screen = window_.screen() ? window_.screen() : QGuiApplication::primaryScreen();
    if (!screen) return;
    // A window not shown yet has no frame: the form's frame stands for its own, around its size
    // once its layout has grown it to what its controls need, as showing it would.
    if (QLayout* layout = window->layout()) layout->activate();
    const QSize size = window->size() + (window_.frameGeometry().size() - window_.size());
    const oxa::TScreenPoint at =
        model.SideWindowPlace(which, ScreenRect(window_.frameGeometry()), size.width(),
                              size.height(), ScreenRect(screen->availableGeometry()));
    window->move(at.x, at.y);
  }
  // Tells the model where a side window on screen is.
  void Remember(QWidget* window, oxa::TSideWindow which) {
    if (window && window->isVisible()) {
      window_.model_->SideWindowMoved(which, {window->pos().x(), window->pos().y()});
    }
  }
  // Deletes a side window to make it afresh, its place kept for the new one.
  void Remake(QPointer<TExchangeLogDialog>& window) {
    Remember(window, oxa::TSideWindow::kExchangeLog);
    delete window.data();
  }
  void Remake(QPointer<TMonitorWindow>& window) {
    Remember(window, oxa::TSideWindow::kMonitor);
    delete window.data();
  }
  void Remake(QPointer<TArchiveRangeDialog>& window) {
    Remember(window, oxa::TSideWindow::kArchiveRange);
    delete window.data();
  }

  static void RaiseWindow(QWidget* window) {
    window->show();
    window->raise();
    window->activateWindow();
  }

  // How long the window's thread waits for work before it turns to its events: well below
  // what a user notices, above a port's opening and a register read at 57600 bit/s.
  static constexpr std::chrono::milliseconds kQuickWork{10};

  TIDMainFrm& window_;
  std::array<QWidget*, oxa::kControlCount> widgets_{};
  QPointer<TExchangeLogDialog> log_window_;
  QPointer<TMonitorWindow> monitor_window_;
  QPointer<TArchiveRangeDialog> archive_window_;
};

QPoint CentredFramePosition(const QRect& available, const QSize& client, const QMargins& margins) {
  const QSize frame = client.grownBy(margins);
  return available.topLeft() +
         QPoint((available.width() - frame.width()) / 2, (available.height() - frame.height()) / 2);
}

QString TIDMainFrm::DefaultSettingsPath() {
  return Q(oxa::SettingsPath(S(QCoreApplication::applicationDirPath())));
}

void TIDMainFrm::LoadWindowFonts() {
  static bool loaded = false;
  if (loaded) return;
  loaded = true;
  if (!QFontDatabase::families().contains("Tahoma", Qt::CaseInsensitive)) {
    QFontDatabase::addApplicationFont("/usr/share/wine/fonts/tahoma.ttf");
    QFontDatabase::addApplicationFont("/usr/share/wine/fonts/tahomabd.ttf");
  }
}

TIDMainFrm::TIDMainFrm(const QString& settingsPath, const TWindowOptions& options, QWidget* parent)
    : QWidget(parent),
      ui_(std::make_unique<Ui::TIDMainFrm>()),
      view_(std::make_unique<TView>(*this)),
      model_(std::make_unique<oxa::TFormModel>(*view_, S(settingsPath), options)),
      oxaComPort(model_->oxaComPort),
      Ful0508(model_->Ful0508),
      Zeb106(model_->Zeb106) {
  LoadWindowFonts();
  QFont windowFont("Tahoma");
  windowFont.setPixelSize(11);
  setFont(windowFont);
  ui_->setupUi(this);

  // A fixed client area with a title bar that offers minimise and close, but no maximise.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
  setFixedSize(770, 414);
  Centre();

  QPalette face = palette();
  face.setColor(QPalette::Base, face.color(QPalette::Button));
  QFont mono("Courier New");
  mono.setStyleHint(QFont::TypeWriter);
  mono.setFixedPitch(true);
  mono.setPixelSize(13);
  ui_->MDebug->setFont(mono);
  ui_->MDebug->setPalette(face);
  ui_->EQuery->setPalette(face);

  // Each numeric field is a spin box named after its arrows; its inner edit carries the edit's
  // name, so both names lead to the same field.
  const std::pair<QWidget*, const char*> edits[] = {{ui_->SENetAddr, "Edit1"},
                                                    {ui_->UDStart, "Edit2"},
                                                    {ui_->UDNumReg, "Edit3"},
                                                    {ui_->UDArc, "Edit4"}};
  for (const auto& [spin, name] : edits) {
    if (auto* edit = spin->findChild<QLineEdit*>()) edit->setObjectName(name);
  }

  // Window-modal but not waiting: the handler that shows it returns at once, so a test that
  // runs meanwhile ends and closes its port while the message is on screen.
  ShowMessage = [this](const QString& text) {
    auto* box = new QMessageBox(QMessageBox::Critical, windowTitle(), text, QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
  };

  view_->FindWidgets();
  for (size_t i = size_t(oxa::TControl::kButton1); i <= size_t(oxa::TControl::kButton12); ++i) {
    const auto button = oxa::TControl(i);
    connect(view_->As<QPushButton>(button), &QPushButton::clicked, this,
            [this, button] { model_->Click(button); });
  }
  connect(ui_->CBPort, &QComboBox::activated, this, [this] { model_->CBPortChange(); });
  ui_->LStatus->installEventFilter(this);
  // The port list describes its entries each time it opens.
  port_view_ = ui_->CBPort->view();
  // Key preview: Escape is seen before any control of the window gets it.
  qApp->installEventFilter(this);

  model_->FormCreate();

  // The status line's context menu offers the two languages, each named in itself; the form
  // itself stays as designed.
  auto* languages = new QActionGroup(this);
  for (const auto& [language, text, name] :
       {std::tuple{oxa::TLanguage::kRussian, oxa::TText::kLanguageMenuRussian, "LanguageRussian"},
        std::tuple{oxa::TLanguage::kEnglish, oxa::TText::kLanguageMenuEnglish,
                   "LanguageEnglish"}}) {
    auto* action = new QAction(QText(text, language), languages);
    action->setObjectName(name);
    action->setCheckable(true);
    action->setChecked(model_->Language() == language);
    connect(action, &QAction::triggered, this, [this, language] { model_->SetLanguage(language); });
    ui_->LStatus->addAction(action);
  }
  ui_->LStatus->setContextMenuPolicy(Qt::ActionsContextMenu);

  // The data pane's context menu: copy and select all, then the form's other windows, in the
  // window's language (the text edit's own menu would speak Qt's).
  ui_->MDebug->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(ui_->MDebug, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
    const oxa::TLanguage language = model_->Language();
    auto* menu = new QMenu(ui_->MDebug);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    QAction* copy = menu->addAction(QText(oxa::TText::kLogCopy, language));
    copy->setShortcut(QKeySequence::Copy);
    copy->setEnabled(ui_->MDebug->textCursor().hasSelection());
    connect(copy, &QAction::triggered, ui_->MDebug, &QPlainTextEdit::copy);
    QAction* select_all = menu->addAction(QText(oxa::TText::kSelectAll, language));
    select_all->setShortcut(QKeySequence::SelectAll);
    select_all->setEnabled(!ui_->MDebug->document()->isEmpty());
    connect(select_all, &QAction::triggered, ui_->MDebug, &QPlainTextEdit::selectAll);
    menu->addSeparator();
    for (const oxa::TPaneMenuEntry& entry : oxa::kPaneMenu) {
      QAction* action = menu->addAction(QText(entry.text, language));
      action->setShortcut(QKeySequence(entry.shortcut));
      connect(action, &QAction::triggered, this,
              [this, command = entry.command] { model_->PaneCommand(command); });
    }
    menu->popup(ui_->MDebug->viewport()->mapToGlobal(at));
  });
}

TIDMainFrm::~TIDMainFrm() {
  qApp->removeEventFilter(this);
  // Long work uses the model's port from a thread of its own: it ends while its window, a
  // child of this one, still exists.
  model_->StopLongWork();
  // The side windows go while the model they tell their places to still exists.
  view_->DeleteSideWindows();
}

TExchangeLogDialog* TIDMainFrm::ExchangeLogWindow() const {
  return view_->ExchangeLogWindow();
}

TMonitorWindow* TIDMainFrm::MonitorWindow() const {
  return view_->MonitorWindow();
}

bool TIDMainFrm::eventFilter(QObject* watched, QEvent* event) {
  if (watched == port_view_ && event->type() == QEvent::Show) model_->CBPortDropDown();
  if (watched == ui_->LStatus && event->type() == QEvent::MouseButtonDblClick) {
    model_->LStatusDblClick();
    return true;
  }
  if (event->type() == QEvent::KeyPress && watched->isWidgetType() &&
      static_cast<QWidget*>(watched)->window() == this) {
    const auto* key = static_cast<QKeyEvent*>(event);
    const bool control = key->modifiers().testFlag(Qt::ControlModifier);
    if (key->key() == Qt::Key_Escape) return model_->FormKeyDown(oxa::kKeyEscape, control);
    if (control && key->key() == Qt::Key_L) return model_->FormKeyDown(oxa::kKeyL, true);
    if (control && key->key() == Qt::Key_M) return model_->FormKeyDown(oxa::kKeyM, true);
  }
  return QWidget::eventFilter(watched, event);
}

void TIDMainFrm::closeEvent(QCloseEvent* event) {
  if (!model_->FormCloseQuery()) {
    event->ignore();
    return;
  }
  view_->KeepSidePlaces();
  model_->FormClose();
  event->accept();
}

void TIDMainFrm::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (!centred_) {
    centred_ = true;
    Centre();
  }
  if (!shown_) {
    shown_ = true;
    // Once the window is on screen, so that a message has it as its parent.
    QTimer::singleShot(0, this, [this] { model_->FormShow(); });
  }
}

void TIDMainFrm::moveEvent(QMoveEvent* event) {
  QWidget::moveEvent(event);
  // The window manager frames the window only after it is shown; once the frame's size is
  // known, the frame is centred again, unless the window was moved meanwhile.
  const QWindow* handle = windowHandle();
  if (!centred_ || !handle || pos() != centred_at_) return;
  if (handle->frameMargins() != centred_margins_) Centre();
}

void TIDMainFrm::Centre() {
  const QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
  if (!screen) return;
  centred_margins_ = windowHandle() ? windowHandle()->frameMargins() : QMargins();
  centred_at_ = CentredFramePosition(screen->availableGeometry(), size(), centred_margins_);
  move(centred_at_);
}
