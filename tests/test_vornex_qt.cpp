// The Qt window of Vornex on the offscreen platform against the emulated device: its size and
// layout, and screenshots idle, in the middle of a download, after success and after a
// failure, checked on a few pixels and saved for people to look at.
#include <gtest/gtest.h>

#include <QDir>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/winapi/Sim.h"
#include "protocol/UpdateImage.h"
#include "sim/VirtualBus.h"
#include "win/app/VornexQt.h"

namespace {

std::filesystem::path screenshotDir() {
  const char* dir = std::getenv("VORNEX_SCREENSHOT_DIR");
  std::filesystem::path path = dir != nullptr && *dir != '\0' ? dir : VORNEX_DEFAULT_SCREENSHOT_DIR;
  std::filesystem::create_directories(path);
  return path;
}

QRgb statusPixel(const QImage& shot) {
  return shot.pixel(8, 474 - 20) & 0xFFFFFF;
}

TEST(VornexQtWindow, ScreenshotsIdleMidDownloadSuccessAndFailure) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  nuv::forms::QtGui app("vornex-window-test");
  app.setTitle(std::string(kApplicationTitle));
  nuv::sim::VirtualBus bus;
  auto device = bus.plug();
  ASSERT_NE(device, nullptr);
  auto api = nuv::winapi::makeSimApi(bus, &app);
  nuv::hid::HidProcess process(*api, app);
  auto form = std::make_unique<TMainForm>(app, process);
  app.setMainForm(*form);
  buildVornexWindow(app, *form);

  const auto dir = screenshotDir();
  const auto imagePath = dir / "UPDATA.nuv";
  {
    std::vector<std::uint8_t> firmware(nuv::image::kFirmwareSize, 0x3C);
    const char header[] = "V1.01 screenshot";
    std::copy(header, header + 16, firmware.begin());
    const auto image = nuv::image::pack(firmware, 0xFF);
    std::ofstream(imagePath, std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
  }
  app.scriptedOpenDialog = [&](const nuv::forms::OpenDialog&) {
    return std::optional<std::string>(imagePath.string());
  };
  std::vector<std::string> boxes;
  app.scriptedBox = [&](nuv::forms::BoxKind, std::string_view, std::string_view text) {
    boxes.emplace_back(text);
  };

  app.show();
  for (int i = 0; i < 20; ++i) app.processMessages();
  QImage idle = app.grab();
  ASSERT_EQ(idle.width(), 560);
  ASSERT_EQ(idle.height(), 474);
  EXPECT_TRUE(idle.save(QString::fromStdString((dir / "vornex-idle.png").string())));
  EXPECT_TRUE(form->READ_car.enabled());

  QImage middle;
  form->Gauge1.observe([&] {
    if (middle.isNull() && form->Gauge1.visible() && form->Gauge1.Percent() == 42) {
      middle = app.grab();
    }
  });
  form->Write_car.click();
  EXPECT_TRUE(boxes.empty());
  EXPECT_EQ(form->StatusBar1.panelText(), "Update Completed");
  for (int i = 0; i < 5; ++i) app.processMessages();
  QImage success = app.grab();
  EXPECT_TRUE(success.save(QString::fromStdString((dir / "vornex-success.png").string())));
  EXPECT_EQ(statusPixel(success), 0x008000u);

  ASSERT_FALSE(middle.isNull());
  EXPECT_TRUE(middle.save(QString::fromStdString((dir / "vornex-download.png").string())));
  // The gauge sits at the bottom of the panel: its frame is black, its bar black up to 42 %.
  const int gaugeTop = 474 - 41 - 1 - 33;
  EXPECT_EQ(middle.pixel(1, gaugeTop) & 0xFFFFFF, 0u);
  EXPECT_EQ(middle.pixel(20, gaugeTop + 5) & 0xFFFFFF, 0u);
  EXPECT_EQ(middle.pixel(500, gaugeTop + 5) & 0xFFFFFF, 0xFFFFFFu);

  device->addFault(
      {nuv::sim::FaultKind::WrongCode, {nuv::sim::Trigger::Kind::AtCode, 0x10}, {}, false});
  form->READ_car.click();
  EXPECT_EQ(boxes, std::vector<std::string>{"Data error"});
  for (int i = 0; i < 5; ++i) app.processMessages();
  QImage failure = app.grab();
  EXPECT_TRUE(failure.save(QString::fromStdString((dir / "vornex-failure.png").string())));
  EXPECT_EQ(statusPixel(failure), 0xFF0000u);

  form.reset();
  app.shutDown();
}

}  // namespace
