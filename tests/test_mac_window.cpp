// QuenlorHID's Qt window on the offscreen platform: its look idle and in the middle of a
// download (screenshots under the build directory's screenshots/), and what its widgets show.
#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QWidget>
#include <filesystem>

#include "platform/cocoa/Qt.h"
#include "tests/mac_fixture.h"

namespace mactest {
namespace {

using namespace nuv::mac;

class MacWindow : public ::testing::Test {
 protected:
  MacWindow() : qt("QuenlorHID-test", &loop), bus(loop.clock()), logScope(log) {
    loop.setClockMovedHook([this] { bus.timeAdvanced(); });
    std::filesystem::create_directories(NUV_SCREENSHOT_DIR);
  }
  ~MacWindow() override { delegate.reset(); }

  void launch() {
    delegate =
        std::make_unique<AppDelegate>(qt, [this] { return nuv::iohid::createSimHIDManager(bus); });
    delegate->applicationDidFinishLaunching();
    qt.windowWidget()->show();
    loop.runUntilIdle();
    QApplication::processEvents();
  }
  template <class W>
  W* child(const char* name) {
    return qt.windowWidget()->findChild<W*>(name);
  }
  std::string shoot(const char* name) {
    QApplication::processEvents();
    const std::string path = std::string(NUV_SCREENSHOT_DIR) + "/" + name;
    EXPECT_TRUE(qt.windowWidget()->grab().save(QString::fromStdString(path)));
    return path;
  }

  nuv::cocoa::HeadlessRunLoop loop;
  nuv::cocoa::QtApplication qt;
  nuv::sim::VirtualBus bus;
  LogCapture log;
  nuv::ScopedLogSink logScope;
  std::unique_ptr<AppDelegate> delegate;
};

TEST_F(MacWindow, IdleWithoutAndWithTheDevice) {
  launch();
  EXPECT_EQ(qt.windowWidget()->windowTitle().toStdString(), "www.example.com V1.01");
  EXPECT_EQ(child<QLabel>("statusTextField")->text(), "idle");
  EXPECT_FALSE(child<QPushButton>("downloadButton")->isEnabled());
  EXPECT_FALSE(child<QPushButton>("stopButton")->isEnabled());
  EXPECT_FALSE(child<QPushButton>("versionButton")->isEnabled());
  EXPECT_TRUE(child<QProgressBar>("progressIndicator")->isHidden());
  shoot("quenlorhid-no-device.png");

  (void)bus.plug();
  loop.runUntilIdle();
  EXPECT_EQ(child<QLabel>("statusTextField")->text(), "Ready");
  EXPECT_TRUE(child<QPushButton>("downloadButton")->isEnabled());
  EXPECT_TRUE(child<QPushButton>("versionButton")->isEnabled());
  EXPECT_FALSE(child<QPushButton>("stopButton")->isEnabled());
  const auto path = shoot("quenlorhid-idle.png");
  EXPECT_GT(std::filesystem::file_size(path), 1000u);
}

TEST_F(MacWindow, InTheMiddleOfADownload) {
  nuv::sim::UpdateDeviceOptions slow;
  slow.latency = {nuv::sim::Latency::Model::Fixed, std::chrono::microseconds(1000)};
  auto device = bus.plug({}, slow);
  launch();
  const std::string image = writeFile("mac-window.nuv", nuv::image::pack(testFirmware(), 0xEE));
  qt.setOpenPanelResponder([image] {
    return nuv::cocoa::OpenPanelResult{nuv::cocoa::kModalResponseOK, {image}};
  });
  child<QPushButton>("downloadButton")->click();
  ASSERT_TRUE(loop.advanceUntil([&] { return device->countOf(kCmdWrite) >= 8192; }, 60s));

  auto* bar = child<QProgressBar>("progressIndicator");
  auto* label = bar->findChild<QLabel*>("percentageLabel");
  ASSERT_NE(label, nullptr);
  EXPECT_FALSE(bar->isHidden());
  EXPECT_EQ(label->text(), "49%");
  EXPECT_EQ(label->geometry(), QRect(0, 0, bar->width(), bar->height()));
  EXPECT_NEAR(bar->value(), bar->maximum() / 2, bar->maximum() / 100);
  EXPECT_EQ(child<QLabel>("statusTextField")->text(), "Writing address: 0x7ffc");
  EXPECT_FALSE(child<QPushButton>("downloadButton")->isEnabled());
  EXPECT_TRUE(child<QPushButton>("stopButton")->isEnabled());
  shoot("quenlorhid-downloading.png");

  ASSERT_TRUE(loop.advanceUntil(
      [&] { return child<QLabel>("statusTextField")->text() == "Finished"; }, 60s));
  EXPECT_TRUE(bar->isHidden());
  shoot("quenlorhid-finished.png");
}

TEST_F(MacWindow, PercentageLabelShowsTheLastValueAfterWriting) {
  (void)bus.plug();
  launch();
  const std::string image = writeFile("mac-window2.nuv", nuv::image::pack(testFirmware(), 0));
  qt.setOpenPanelResponder([image] {
    return nuv::cocoa::OpenPanelResult{nuv::cocoa::kModalResponseOK, {image}};
  });
  child<QPushButton>("downloadButton")->click();
  ASSERT_TRUE(loop.advanceUntil(
      [&] { return delegate->viewController()->currentStatus() == HIDStatusBurning; }, 10s));
  auto* bar = child<QProgressBar>("progressIndicator");
  EXPECT_FALSE(bar->isHidden());
  EXPECT_EQ(bar->findChild<QLabel*>("percentageLabel")->text(), "99%");
  shoot("quenlorhid-burning.png");
}

// The real alert: a modal dialog of its own; the device's replies wait until it is closed.
TEST_F(MacWindow, WrongEchoAlertIsModalAndHoldsTheLoopBack) {
  nuv::sim::UpdateDeviceOptions faulty;
  faulty.faults.push_back(
      {nuv::sim::FaultKind::WrongData, {nuv::sim::Trigger::Kind::AtAddress, 0x2000}});
  auto device = bus.plug({}, faulty);
  launch();
  const std::string image = writeFile("mac-window3.nuv", nuv::image::pack(testFirmware(), 0));
  qt.setOpenPanelResponder([image] {
    return nuv::cocoa::OpenPanelResult{nuv::cocoa::kModalResponseOK, {image}};
  });
  std::string informative;
  bool loopHeld = false;
  // Runs inside the dialog's own event loop: looks at it, then presses its button.
  QTimer::singleShot(0, [&] {
    QWidget* dialog = QApplication::activeModalWidget();
    ASSERT_NE(dialog, nullptr);
    loopHeld = loop.runUntilIdle() == 0;
    dialog->grab().save(QString::fromStdString(std::string(NUV_SCREENSHOT_DIR) +
                                               "/quenlorhid-write-error-alert.png"));
    if (auto* box = qobject_cast<QMessageBox*>(dialog)) {
      informative = box->informativeText().toStdString();
      box->button(QMessageBox::Ok) ? box->button(QMessageBox::Ok)->click()
                                   : box->buttons().front()->click();
    }
  });
  child<QPushButton>("downloadButton")->click();
  ASSERT_TRUE(loop.advanceUntil(
      [&] { return delegate->viewController()->currentStatus() == HIDStatusIdle; }, 20s));
  EXPECT_TRUE(loopHeld);
  EXPECT_EQ(informative, "Error on writing address: 0x2000. Writing operation will be canceled");
  EXPECT_EQ(child<QLabel>("statusTextField")->text(), "Error on writing address: 0x2000");
  shoot("quenlorhid-write-error.png");
}

}  // namespace
}  // namespace mactest
