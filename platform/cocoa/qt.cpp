#include "platform/cocoa/Qt.h"

#include <QApplication>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>
#include <atomic>
#include <deque>
#include <mutex>

#include "platform/cocoa/Nib.h"

namespace nuv::cocoa {

namespace {

QString toQString(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QRect toQRect(Rect r) {
  return QRect(static_cast<int>(r.x), static_cast<int>(r.y), static_cast<int>(r.width),
               static_cast<int>(r.height));
}

// ---- run loop -----------------------------------------------------------------------------

class QtRunLoop final : public RunLoop {
 public:
  QtRunLoop() = default;
  ~QtRunLoop() override {
    for (auto& t : timers_) delete t.timer;
    for (auto& w : watches_) delete w.notifier;
  }

  Clock::time_point now() const override { return realClock().now(); }

  void performAfterDelay(std::chrono::nanoseconds delay, Task task) override {
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(delay).count();
    QTimer::singleShot(static_cast<int>(ms), &context_,
                       [this, task = std::move(task)] { deliver(task); });
  }

  SourceId addSource(Task perform) override {
    std::lock_guard lock(mutex_);
    sources_.push_back(std::make_unique<Source>());
    sources_.back()->perform = std::move(perform);
    return static_cast<SourceId>(sources_.size());
  }

  void signalSource(SourceId id) override {
    std::lock_guard lock(mutex_);
    if (id <= 0 || static_cast<std::size_t>(id) > sources_.size()) return;
    Source& s = *sources_[id - 1];
    if (!s.alive || s.pending.exchange(true)) return;
    QMetaObject::invokeMethod(
        &context_, [this, id] { runSource(id); }, Qt::QueuedConnection);
  }

  void removeSource(SourceId id) override {
    std::lock_guard lock(mutex_);
    if (id <= 0 || static_cast<std::size_t>(id) > sources_.size()) return;
    sources_[id - 1]->alive = false;
  }

  TimerId addTimer(Task fire) override {
    auto* timer = new QTimer(&context_);
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer);
    const auto id = static_cast<TimerId>(timers_.size() + 1);
    timers_.push_back(TimerSlot{timer, std::move(fire)});
    QObject::connect(timer, &QTimer::timeout, &context_, [this, id] {
      deliver([this, id] {
        if (timers_[id - 1].timer != nullptr) timers_[id - 1].fire();
      });
    });
    return id;
  }

  void armTimer(TimerId id, Clock::time_point at) override {
    if (QTimer* t = timerOf(id)) {
      const auto ms = std::chrono::ceil<std::chrono::milliseconds>(at - now()).count();
      t->start(static_cast<int>(std::max<long long>(0, ms)));
    }
  }
  void disarmTimer(TimerId id) override {
    if (QTimer* t = timerOf(id)) t->stop();
  }
  void removeTimer(TimerId id) override {
    if (QTimer* t = timerOf(id)) {
      t->stop();
      t->deleteLater();
      timers_[id - 1].timer = nullptr;
    }
  }

  WatchId watchReadable(int fd, Task onReadable) override {
    auto* notifier = new QSocketNotifier(fd, QSocketNotifier::Read, &context_);
    const auto id = static_cast<WatchId>(watches_.size() + 1);
    watches_.push_back(WatchSlot{notifier, std::move(onReadable)});
    QObject::connect(notifier, &QSocketNotifier::activated, &context_, [this, id] {
      WatchSlot& w = watches_[id - 1];
      if (w.notifier == nullptr) return;
      if (modalDepth_ > 0) {
        // Level-triggered: quiet it until the modal session ends, then deliver.
        w.notifier->setEnabled(false);
        deferred_.push_back([this, id] {
          WatchSlot& again = watches_[id - 1];
          if (again.notifier == nullptr) return;
          again.notifier->setEnabled(true);
          again.onReadable();
        });
        return;
      }
      w.onReadable();
    });
    return id;
  }

  void unwatch(WatchId id) override {
    if (id <= 0 || static_cast<std::size_t>(id) > watches_.size()) return;
    WatchSlot& w = watches_[id - 1];
    if (w.notifier == nullptr) return;
    w.notifier->setEnabled(false);
    w.notifier->deleteLater();
    w.notifier = nullptr;
  }

  void beginModal() override { ++modalDepth_; }
  void endModal() override {
    if (modalDepth_ > 0 && --modalDepth_ == 0 && !deferred_.empty())
      QTimer::singleShot(0, &context_, [this] { flushDeferred(); });
  }

 private:
  struct Source {
    Task perform;
    std::atomic<bool> pending{false};
    bool alive = true;
  };
  struct TimerSlot {
    QTimer* timer;
    Task fire;
  };
  struct WatchSlot {
    QSocketNotifier* notifier;
    Task onReadable;
  };

  QTimer* timerOf(TimerId id) {
    if (id <= 0 || static_cast<std::size_t>(id) > timers_.size()) return nullptr;
    return timers_[id - 1].timer;
  }

  // Qt runs timers and posted calls inside a dialog's own event loop; a modal session of
  // AppKit does not, so they wait here until it ends.
  void deliver(const Task& task) {
    if (modalDepth_ > 0) {
      deferred_.push_back(task);
      return;
    }
    task();
  }

  void runSource(SourceId id) {
    Source* s = nullptr;
    {
      std::lock_guard lock(mutex_);
      s = sources_[id - 1].get();
      if (!s->alive) return;
    }
    if (modalDepth_ > 0) {
      deferred_.push_back([this, id] { runSource(id); });
      return;
    }
    s->pending.store(false);
    s->perform();
  }

  void flushDeferred() {
    while (!deferred_.empty() && modalDepth_ == 0) {
      Task task = std::move(deferred_.front());
      deferred_.pop_front();
      task();
    }
  }

  QObject context_;
  std::mutex mutex_;  // sources_ is reached from other threads by signalSource
  std::deque<std::unique_ptr<Source>> sources_;
  std::deque<TimerSlot> timers_;
  std::deque<WatchSlot> watches_;
  std::deque<Task> deferred_;
  int modalDepth_ = 0;
};

// ---- controls -----------------------------------------------------------------------------

class QtView : public virtual View {
 public:
  explicit QtView(QWidget* widget) : widget_(widget) {}
  void setHidden(bool hidden) override {
    if (widget_) widget_->setHidden(hidden);
  }
  bool isHidden() const override { return widget_ ? widget_->isHidden() : true; }
  Rect frame() const override {
    if (!widget_) return {};
    const QRect g = widget_->geometry();
    return Rect{double(g.x()), double(g.y()), double(g.width()), double(g.height())};
  }
  void setFrame(Rect frame) override {
    if (widget_) widget_->setGeometry(toQRect(frame));
  }
  void addSubview(View& child) override {
    auto* qt = dynamic_cast<QtView*>(&child);
    if (!widget_ || qt == nullptr || !qt->widget_) return;
    const QRect g = qt->widget_->geometry();
    qt->widget_->setParent(widget_);
    qt->widget_->setGeometry(g);
    qt->widget_->show();
  }
  [[nodiscard]] QWidget* widget() const { return widget_; }

 protected:
  QPointer<QWidget> widget_;
};

class QtTextField final : public QtView, public TextField {
 public:
  // Owns the label when `owned` (a field made in code); a field of the interface file belongs
  // to its view.
  QtTextField(QLabel* label, bool owned) : QtView(label), label_(label), owned_(owned) {}
  ~QtTextField() override {
    if (owned_ && label_) delete label_.data();
  }
  void setStringValue(std::string_view text) override {
    if (label_) label_->setText(toQString(text));
  }
  std::string stringValue() const override {
    return label_ ? label_->text().toStdString() : std::string();
  }
  void setDrawsBackground(bool draws) override {
    if (!label_) return;
    label_->setAutoFillBackground(draws);
    label_->setProperty("clear", !draws);
    label_->setStyleSheet(draws ? QString()
                                : QStringLiteral("background: transparent; border: none;"));
  }
  void setAlignment(TextAlignment alignment) override {
    if (label_)
      label_->setAlignment(alignment == TextAlignment::Center ? Qt::AlignCenter
                                                              : Qt::AlignVCenter | Qt::AlignLeft);
  }

 private:
  QPointer<QLabel> label_;
  bool owned_;
};

class QtButton final : public QtView, public Button {
 public:
  explicit QtButton(QPushButton* button) : QtView(button), button_(button) {
    QObject::connect(button_, &QPushButton::clicked, button_, [this] {
      if (action_) action_();
    });
  }
  void setEnabled(bool enabled) override {
    if (button_) button_->setEnabled(enabled);
  }
  bool isEnabled() const override { return button_ && button_->isEnabled(); }
  void setAction(Task action) override { action_ = std::move(action); }
  std::string title() const override {
    return button_ ? button_->text().toStdString() : std::string();
  }

 private:
  QPointer<QPushButton> button_;
  Task action_;
};

class QtProgressIndicator final : public QtView, public ProgressIndicator {
 public:
  static constexpr int kSteps = 10000;
  explicit QtProgressIndicator(QProgressBar* bar) : QtView(bar), bar_(bar) {
    bar_->setRange(0, kSteps);
    bar_->setTextVisible(false);
  }
  void setMinValue(double value) override { min_ = value, show(); }
  void setMaxValue(double value) override { max_ = value, show(); }
  void setDoubleValue(double value) override { value_ = value, show(); }
  double minValue() const override { return min_; }
  double maxValue() const override { return max_; }
  double doubleValue() const override { return value_; }
  void startAnimation() override { animating_ = true; }
  void stopAnimation() override { animating_ = false; }
  bool isAnimating() const override { return animating_; }

 private:
  void show() {
    if (!bar_) return;
    const double span = max_ - min_;
    const double f = span > 0 ? std::clamp((value_ - min_) / span, 0.0, 1.0) : 0.0;
    bar_->setValue(static_cast<int>(f * kSteps));
  }
  QPointer<QProgressBar> bar_;
  double min_ = 0, max_ = 100, value_ = 0;
  bool animating_ = false;
};

class QtWindow final : public Window {
 public:
  QtWindow() {
    window_.setObjectName("mainWindow");
    window_.setStyleSheet(kStyle);
  }
  void setContentView(View& view) override {
    auto* qt = dynamic_cast<QtView*>(&view);
    if (qt == nullptr || qt->widget() == nullptr) return;
    qt->widget()->setParent(&window_);
    qt->widget()->move(0, 0);
    qt->widget()->show();
    window_.setFixedSize(qt->widget()->size());
  }
  void setTitle(std::string_view title) override { window_.setWindowTitle(toQString(title)); }
  std::string title() const override { return window_.windowTitle().toStdString(); }
  QWidget* widget() { return &window_; }

 private:
  // A small utility window in the manner of macOS: light grey, a white status field, rounded
  // push buttons, a blue bar.
  static constexpr const char* kStyle = R"(
    QWidget#mainWindow, QWidget#contentView { background: #ececec; }
    QLabel#statusTextField { background: #ffffff; border: 1px solid #c0c0c0;
                             padding-left: 6px; color: #1e1e1e; font-size: 13px; }
    QPushButton { background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #ffffff,
                                              stop:1 #f1f1f1);
                  border: 1px solid #b4b4b4; border-radius: 6px; color: #1e1e1e;
                  font-size: 13px; padding: 2px 10px; }
    QPushButton:pressed { background: #d8d8d8; }
    QPushButton:disabled { color: #a9a9a9; border-color: #d2d2d2; background: #f4f4f4; }
    QProgressBar { border: 1px solid #b4b4b4; border-radius: 5px; background: #e2e2e2; }
    QProgressBar::chunk { border-radius: 4px;
                          background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #74b6ff,
                                                      stop:1 #2b7de9); }
    QLabel#percentageLabel { color: #1e1e1e; font-size: 11px; font-weight: bold; }
  )";
  QWidget window_;
};

// The "HIDViewController" interface file, built in code.
struct QtNib {
  QWidget* view;
  std::unique_ptr<QtView> viewWrapper;
  std::unique_ptr<QtTextField> status;
  std::unique_ptr<QtProgressIndicator> progress;
  std::unique_ptr<QtButton> download, stop, version;
};

std::unique_ptr<QtNib> buildNib() {
  auto nib = std::make_unique<QtNib>();
  nib->view = new QWidget;
  nib->view->setObjectName("contentView");
  nib->view->setAttribute(Qt::WA_StyledBackground);
  nib->view->setGeometry(toQRect(nib::kViewFrame));
  nib->viewWrapper = std::make_unique<QtView>(nib->view);

  auto* status = new QLabel(toQString(nib::kStatusPlaceholder), nib->view);
  status->setObjectName("statusTextField");
  status->setGeometry(toQRect(nib::kStatusTextFieldFrame));
  nib->status = std::make_unique<QtTextField>(status, false);

  auto* bar = new QProgressBar(nib->view);
  bar->setObjectName("progressIndicator");
  bar->setGeometry(toQRect(nib::kProgressIndicatorFrame));
  nib->progress = std::make_unique<QtProgressIndicator>(bar);

  auto makeButton = [&](std::string_view title, Rect frame, const char* name) {
    auto* b = new QPushButton(toQString(title), nib->view);
    b->setObjectName(name);
    b->setGeometry(toQRect(frame));
    b->setFocusPolicy(Qt::TabFocus);
    return std::make_unique<QtButton>(b);
  };
  nib->download = makeButton(nib::kDownloadTitle, nib::kDownloadButtonFrame, "downloadButton");
  nib->stop = makeButton(nib::kStopTitle, nib::kStopButtonFrame, "stopButton");
  nib->version = makeButton(nib::kVersionTitle, nib::kVersionButtonFrame, "versionButton");
  return nib;
}

}  // namespace

// ---- application --------------------------------------------------------------------------

struct QtApplication::Impl {
  // QApplication keeps references to these for its whole life.
  int argc = 1;
  std::string name;
  char* argv[2] = {nullptr, nullptr};
  std::unique_ptr<QApplication> qapp;
  std::unique_ptr<QtRunLoop> ownLoop;
  RunLoop* loop = nullptr;
  std::unique_ptr<QtWindow> window;
  std::unique_ptr<QtNib> nib;
  AlertResponder alertResponder;
  OpenPanelResponder panelResponder;
};

QtApplication::QtApplication(const char* appName, RunLoop* loop) : impl_(std::make_unique<Impl>()) {
  impl_->name = appName;
  impl_->argv[0] = impl_->name.data();
  if (QApplication::instance() == nullptr)
    impl_->qapp = std::make_unique<QApplication>(impl_->argc, impl_->argv);
  if (loop == nullptr) {
    impl_->ownLoop = std::make_unique<QtRunLoop>();
    loop = impl_->ownLoop.get();
  }
  impl_->loop = loop;
  impl_->window = std::make_unique<QtWindow>();
}

QtApplication::~QtApplication() {
  // A view that never went into the window has no parent to delete it.
  if (impl_->nib && impl_->nib->view->parent() == nullptr) delete impl_->nib->view;
  impl_->nib.reset();
  impl_->window.reset();  // deletes the view's widgets
  impl_->ownLoop.reset();
  impl_->qapp.reset();
}

RunLoop& QtApplication::runLoop() {
  return *impl_->loop;
}
Window& QtApplication::mainWindow() {
  return *impl_->window;
}
QWidget* QtApplication::windowWidget() {
  return impl_->window->widget();
}

std::optional<ViewOutlets> QtApplication::loadNib(std::string_view nibName) {
  if (nibName != nib::kHIDViewControllerNib) return std::nullopt;
  if (!impl_->nib) impl_->nib = buildNib();
  QtNib& n = *impl_->nib;
  return ViewOutlets{n.viewWrapper.get(), n.status.get(), n.progress.get(),
                     n.download.get(),    n.stop.get(),   n.version.get()};
}

std::unique_ptr<TextField> QtApplication::makeTextField(Rect frame) {
  auto* label = new QLabel;
  label->setObjectName("percentageLabel");
  label->setGeometry(toQRect(frame));
  return std::make_unique<QtTextField>(label, true);
}

int QtApplication::runModalAlert(const Alert& alert) {
  ModalSession session(*impl_->loop);
  if (impl_->alertResponder) return impl_->alertResponder(alert);
  QMessageBox box(impl_->window->widget());
  box.setIcon(QMessageBox::Warning);
  box.setText(toQString(alert.messageText));
  box.setInformativeText(toQString(alert.informativeText));
  // QMessageBox wraps its text narrowly; an alert of AppKit is wider.
  box.setStyleSheet(QStringLiteral(
      "QLabel#qt_msgbox_label, QLabel#qt_msgbox_informativelabel { min-width: 300px; }"));
  std::vector<QAbstractButton*> buttons;
  for (const std::string& title : alert.buttons)
    buttons.push_back(box.addButton(toQString(title), QMessageBox::AcceptRole));
  if (!buttons.empty()) box.setDefaultButton(static_cast<QPushButton*>(buttons.front()));
  box.exec();
  for (std::size_t i = 0; i < buttons.size(); ++i)
    if (box.clickedButton() == buttons[i]) return kAlertFirstButtonReturn + static_cast<int>(i);
  return kAlertFirstButtonReturn;
}

OpenPanelResult QtApplication::runModalOpenPanel() {
  ModalSession session(*impl_->loop);
  if (impl_->panelResponder) return impl_->panelResponder();
  const QString path = QFileDialog::getOpenFileName(impl_->window->widget());
  if (path.isEmpty()) return OpenPanelResult{};
  return OpenPanelResult{kModalResponseOK, {path.toStdString()}};
}

void QtApplication::setAlertResponder(AlertResponder r) {
  impl_->alertResponder = std::move(r);
}
void QtApplication::setOpenPanelResponder(OpenPanelResponder r) {
  impl_->panelResponder = std::move(r);
}

int QtApplication::exec() {
  impl_->window->widget()->show();
  return QApplication::exec();
}

}  // namespace nuv::cocoa
