#include <sys/eventfd.h>
#include <unistd.h>

#include <QApplication>
#include <QCloseEvent>
#include <QFileDialog>
#include <QFontMetrics>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QScreen>
#include <QSocketNotifier>
#include <QTimer>
#include <QToolButton>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <thread>

#include "platform/forms/Qt.h"

namespace nuv::forms {

struct QtState {
  std::string programName;
  int argc = 1;
  char* argv[2] = {nullptr, nullptr};
  std::unique_ptr<QApplication> app;
  std::unique_ptr<QSocketNotifier> notifier;
  std::unique_ptr<QTimer> waitTimer;
  std::thread::id guiThread = std::this_thread::get_id();
};

// The control font: "MS Sans Serif" at 13 pixels where the system has it, the nearest face
// otherwise. Drawn without anti-aliasing, so every text pixel is white or untouched and the
// gauge's XOR gives exact complements.
class QtTextPainter final : public TextPainter {
 public:
  QtTextPainter() : font_("MS Sans Serif") {
    font_.setPixelSize(13);
    font_.setStyleStrategy(QFont::NoAntialias);
  }
  [[nodiscard]] const QFont& font() const { return font_; }

  [[nodiscard]] Extent measure(std::string_view text) const override {
    const QFontMetrics metrics(font_);
    return {metrics.horizontalAdvance(QString::fromLatin1(text.data(), qsizetype(text.size()))),
            metrics.height()};
  }

  void drawWhite(Bitmap& target, int x, int y, std::string_view text,
                 const Rect& clip) const override {
    if (scratch_.width() != target.width() || scratch_.height() != target.height()) {
      scratch_ = QImage(target.width(), target.height(), QImage::Format_RGB32);
    }
    scratch_.fill(Qt::black);
    {
      QPainter p(&scratch_);
      p.setFont(font_);
      p.setPen(Qt::white);
      p.setClipRect(QRect(clip.left, clip.top, clip.right - clip.left, clip.bottom - clip.top));
      const QFontMetrics metrics(font_);
      p.drawText(QPoint(x, y + metrics.ascent()),
                 QString::fromLatin1(text.data(), qsizetype(text.size())));
    }
    const int left = std::max(clip.left, 0), right = std::min(clip.right, target.width());
    const int top = std::max(clip.top, 0), bottom = std::min(clip.bottom, target.height());
    for (int py = top; py < bottom; ++py) {
      const auto* row = reinterpret_cast<const QRgb*>(scratch_.constScanLine(py));
      for (int px = left; px < right; ++px) {
        if ((row[px] & 0xFFFFFF) != 0) target.setPixel(px, py, 0xFFFFFF);
      }
    }
  }

 private:
  QFont font_;
  mutable QImage scratch_;
};

namespace {
// The eventfd through which other threads wake the GUI thread.
int openWakeFd() {
  const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd < 0) {
    std::fprintf(stderr, "eventfd: %s\n", std::strerror(errno));
    std::abort();  // without a way to wake the GUI thread no reader could hand anything over
  }
  return fd;
}
}  // namespace

QtGui::QtGui(const char* programName) : QtGui(programName, openWakeFd()) {}

QtGui::QtGui(const char* programName, int wakeFd)
    : QueuedApplication(realClock(),
                        [wakeFd] {
                          const std::uint64_t one = 1;
                          // A full counter means a wake is already pending; nothing is lost.
                          (void)!::write(wakeFd, &one, sizeof one);
                        }),
      state_(std::make_unique<QtState>()),
      wakeFd_(wakeFd) {
  state_->programName = programName != nullptr ? programName : "Vornex";
  state_->argv[0] = state_->programName.data();
  state_->app = std::make_unique<QApplication>(state_->argc, state_->argv);
  state_->app->setQuitOnLastWindowClosed(false);
  state_->notifier = std::make_unique<QSocketNotifier>(wakeFd_, QSocketNotifier::Read);
  QObject::connect(state_->notifier.get(), &QSocketNotifier::activated, [this] { drainWake(); });
  state_->waitTimer = std::make_unique<QTimer>();
  state_->waitTimer->setSingleShot(true);
  font_ = std::make_unique<QtTextPainter>();
}

QtGui::~QtGui() {
  shutDown();
  window_.reset();
  state_->notifier.reset();
  state_->waitTimer.reset();
  state_->app.reset();
  ::close(wakeFd_);
}

void QtGui::drainWake() {
  std::uint64_t count = 0;
  (void)!::read(wakeFd_, &count, sizeof count);
}

void QtGui::processWindowMessages() {
  QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void QtGui::waitForMessages(std::chrono::milliseconds timeout) {
  const std::optional<std::chrono::milliseconds> limit = timeToWait(timeout);
  if (!limit) return;
  // Blocks in Qt's dispatcher until a window event, the eventfd (work queued) or this timer.
  state_->waitTimer->start(static_cast<int>(limit->count()));
  QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  state_->waitTimer->stop();
}

bool QtGui::onGuiThread() const {
  return std::this_thread::get_id() == state_->guiThread;
}

void QtGui::setTitle(std::string title) {
  QueuedApplication::setTitle(std::move(title));
  QGuiApplication::setApplicationDisplayName(QString::fromStdString(this->title()));
}

namespace {
// "description|pattern|description|pattern" -> Qt's "description (pattern);;..."
QString qtFilter(const std::string& filter) {
  QStringList parts = QString::fromStdString(filter).split('|');
  QStringList entries;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    entries << parts[i] + " (" + QString(parts[i + 1]).replace(';', ' ') + ")";
  }
  return entries.join(";;");
}
}  // namespace

bool QtGui::runOpenDialog(OpenDialog& dialog) {
  if (scriptedOpenDialog) {
    const std::optional<std::string> answer = scriptedOpenDialog(dialog);
    if (!answer) return false;
    dialog.fileName = *answer;
    return true;
  }
  QFileDialog box(window_ ? window_->widget() : nullptr, QString::fromStdString(dialog.title),
                  QString::fromStdString(dialog.initialDir), qtFilter(dialog.filter));
  box.setOption(QFileDialog::DontUseNativeDialog);
  box.setAcceptMode(QFileDialog::AcceptOpen);
  // The dialog only accepts a file that exists (and so a path that exists).
  box.setFileMode(dialog.options.fileMustExist ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
  box.setDefaultSuffix(QString::fromStdString(dialog.defaultExt));
  box.setSizeGripEnabled(dialog.options.enableSizing);
  box.selectFile(QString::fromStdString(dialog.fileName));
  if (box.exec() != QDialog::Accepted || box.selectedFiles().isEmpty()) return false;
  dialog.fileName = box.selectedFiles().front().toStdString();
  return true;
}

void QtGui::messageBox(BoxKind kind, std::string_view text) {
  const std::string title = kind == BoxKind::Error ? std::string("Error") : this->title();
  if (scriptedBox) {
    scriptedBox(kind, title, text);
  } else {
    QMessageBox box(kind == BoxKind::Plain ? QMessageBox::NoIcon : QMessageBox::Critical,
                    QString::fromStdString(title),
                    QString::fromLatin1(text.data(), qsizetype(text.size())), QMessageBox::Ok,
                    window_ ? window_->widget() : nullptr);
    box.exec();
  }
  activateMainForm();
}

void QtGui::run() {
  show();
  runMessageLoop(std::chrono::milliseconds(1000));
}

std::string QtGui::exePath() const {
  return QCoreApplication::applicationFilePath().toStdString();
}

std::uint32_t QtGui::resolveColor(Color color) const {
  if (isSystemColor(color)) {
    return QApplication::palette().color(QPalette::Button).rgb() & 0xFFFFFFu;
  }
  return pixelOf(color);
}

const TextPainter& QtGui::controlFont() const {
  return *font_;
}

QtWindow& QtGui::window(ResourceLoader loader) {
  if (!window_) window_ = std::make_unique<QtWindow>(*this, *mainForm(), std::move(loader));
  return *window_;
}

void QtGui::show() {
  if (window_) {
    QWidget* w = window_->widget();
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
      const QRect area = screen->availableGeometry();
      w->move(area.center() - QPoint(w->width() / 2, w->height() / 2));
    }
    w->show();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
  }
  activateMainForm();
}

QImage QtGui::grab() const {
  return window_ ? window_->widget()->grab().toImage() : QImage();
}

// --- the window ---

namespace {

QColor qColor(std::uint32_t pixel) {
  return QColor::fromRgb(QRgb(0xFF000000u | pixel));
}

class MainWidget final : public QWidget {
 public:
  MainWidget(QtGui& gui, Form& form) : gui_(gui), form_(form) {}

 protected:
  void closeEvent(QCloseEvent* event) override {
    bool canClose = true;
    if (form_.onCloseQuery) form_.onCloseQuery(canClose);
    if (!canClose) {
      event->ignore();
      return;
    }
    gui_.terminate();
    event->accept();
  }

 private:
  QtGui& gui_;
  Form& form_;
};

class ImageWidget final : public QWidget {
 public:
  ImageWidget(QWidget* parent, const Bitmap& image) : QWidget(parent), image_(image) {
    setAttribute(Qt::WA_OpaquePaintEvent);
  }
  void refresh() {
    if (image_.width() <= 0 || image_.height() <= 0) return;
    if (shown_.width() != image_.width() || shown_.height() != image_.height()) {
      shown_ = QImage(image_.width(), image_.height(), QImage::Format_RGB32);
    }
    for (int y = 0; y < image_.height(); ++y) {
      auto* row = reinterpret_cast<QRgb*>(shown_.scanLine(y));
      for (int x = 0; x < image_.width(); ++x) row[x] = 0xFF000000u | image_.pixel(x, y);
    }
    if (isVisible()) repaint();
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    if (!shown_.isNull()) p.drawImage(0, 0, shown_);
  }

 private:
  const Bitmap& image_;
  QImage shown_;
};

void place(QWidget* w, const Control& c) {
  const Rect r = c.bounds();
  w->setGeometry(r.left, r.top, r.right - r.left, r.bottom - r.top);
  w->setVisible(c.visible());
  w->setEnabled(c.enabled());
}

}  // namespace

struct QtWindow::Impl {
  QtGui& gui;
  Form& form;
  QtGui::ResourceLoader loader;
  MainWidget* main = nullptr;  // owned here; children are owned by their parents
  std::map<const Control*, QWidget*> widgets;

  QWidget* parentOf(Control* parent) {
    if (parent == nullptr) return main;
    const auto it = widgets.find(parent);
    return it != widgets.end() ? it->second : main;
  }
};

QtWindow::QtWindow(QtGui& gui, Form& form, QtGui::ResourceLoader loader)
    : impl_(std::make_unique<Impl>(Impl{gui, form, std::move(loader), nullptr, {}})) {
  auto* main = new MainWidget(gui, form);
  impl_->main = main;
  // Fixed single border with system menu and minimise box: no maximise, not resizable.
  main->setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                       Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                       Qt::WindowCloseButtonHint);
  main->setFixedSize(form.clientWidth(), form.clientHeight());
  main->setFont(static_cast<const QtTextPainter&>(gui.controlFont()).font());
  main->setWindowTitle(QString::fromStdString(form.caption()));
  form.observe(
      [this] { impl_->main->setWindowTitle(QString::fromStdString(impl_->form.caption())); });
}

QtWindow::~QtWindow() {
  delete impl_->main;
}

QWidget* QtWindow::widget() const {
  return impl_->main;
}

void QtWindow::addPanel(Control& panel) {
  auto* frame = new QFrame(impl_->main);
  frame->setFrameStyle(QFrame::Panel | QFrame::Raised);
  frame->setLineWidth(1);
  place(frame, panel);
  impl_->widgets[&panel] = frame;
  panel.observe([frame, &panel] { place(frame, panel); });
}

void QtWindow::addPicture(Picture& picture, Control* parent) {
  auto* label = new QLabel(impl_->parentOf(parent));
  label->setAttribute(Qt::WA_TranslucentBackground);
  auto update = [this, label, &picture] {
    place(label, picture);
    label->setPixmap(impl_->loader ? impl_->loader(picture.resource()) : QPixmap());
  };
  update();
  label->lower();
  impl_->widgets[&picture] = label;
  picture.observe(update);
}

void QtWindow::addButton(SpeedButton& button, Control* parent) {
  auto* tool = new QToolButton(impl_->parentOf(parent));
  tool->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  tool->setFocusPolicy(Qt::NoFocus);  // a speed button never takes the focus
  tool->setToolTip(QString::fromStdString(button.hint()));
  auto update = [this, tool, &button] {
    place(tool, button);
    tool->setText(QString::fromStdString(button.caption()));
    const QPixmap glyph = impl_->loader ? impl_->loader(button.glyph()) : QPixmap();
    tool->setIcon(QIcon(glyph));
    tool->setIconSize(glyph.isNull() ? QSize() : glyph.size());
    tool->setCheckable(button.group() != 0);
    tool->setChecked(button.down());
  };
  update();
  QObject::connect(tool, &QToolButton::clicked, [&button] { button.click(); });
  impl_->widgets[&button] = tool;
  button.observe(update);
}

void QtWindow::addStatusBar(StatusBar& bar) {
  auto* label = new QLabel(impl_->main);
  label->setAlignment(Qt::AlignCenter);
  label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  label->setAutoFillBackground(true);
  auto update = [this, label, &bar] {
    place(label, bar);
    QPalette palette = label->palette();
    const QColor background = qColor(impl_->gui.resolveColor(bar.color()));
    palette.setColor(QPalette::Window, background);
    palette.setColor(QPalette::WindowText, Qt::black);  // the window text colour on every state
    label->setPalette(palette);
    label->setText(QString::fromLatin1(bar.panelText().data(), qsizetype(bar.panelText().size())));
    label->repaint();
  };
  update();
  impl_->widgets[&bar] = label;
  bar.observe(update);
}

void QtWindow::addImageControl(Control& control, const Bitmap& image, Control* parent) {
  auto* w = new ImageWidget(impl_->parentOf(parent), image);
  place(w, control);
  impl_->widgets[&control] = w;
  control.observe([w, &control] {
    place(w, control);
    w->refresh();
  });
}

}  // namespace nuv::forms
