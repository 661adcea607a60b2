// Vornex end to end against the emulated device: start-up, the version query and the download,
// with the reports on the wire, the status line, the gauge and the device's memory.
#include "tests/test_vornex_fixture.h"

namespace vornex_test {
namespace {

TEST_F(VornexTest, StartUpShowsIdleTheCaptionAndEnablesButtonsForTheDevice) {
  auto device = plug();
  start();
  EXPECT_EQ(form_->caption(), "www.example.com   V1.01");
  EXPECT_EQ(form_->ExeDir, (dir_ / "").string());
  EXPECT_EQ(form_->StatusBar1.panelText(), "Idle");
  EXPECT_EQ(form_->StatusBar1.color(), kStatusNormal);
  EXPECT_TRUE(form_->READ_car.enabled());
  EXPECT_TRUE(form_->Write_car.enabled());
  EXPECT_TRUE(form_->stop_button.enabled());
  EXPECT_FALSE(form_->Gauge1.visible());
  ASSERT_EQ(form_->DevListBox.count(), 1);
  EXPECT_EQ(form_->DevListBox.item(0).text, "FFFF0100");
  EXPECT_EQ(form_->CurrentDevice, form_->DevListBox.item(0).object);
  // One refresh report, report ID 0, byte 2 zero, nothing awaited.
  const auto commands = device->commands();
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_EQ(commands[0].raw[0], 0x00);
  EXPECT_EQ(commands[0].code(), 0xFF);
  EXPECT_EQ(commands[0].raw[2], 0x00);
}

TEST_F(VornexTest, WithoutADeviceTheButtonsStayDisabledAndTheStatusIdle) {
  start();
  EXPECT_FALSE(form_->READ_car.enabled());
  EXPECT_FALSE(form_->Write_car.enabled());
  EXPECT_EQ(form_->CurrentDevice, nullptr);
  EXPECT_EQ(form_->StatusBar1.panelText(), "Idle");
}

TEST_F(VornexTest, VersionQuerySendsLinkThenVersionAndShowsTheVersionOnGreen) {
  nuv::sim::DeviceInfo info;
  info.outputReportLength = 33;  // the report is padded with zeros to the device's length
  auto device = plug({.version = "1.02"}, info);
  start();
  form_->READ_car.click();
  EXPECT_FALSE(form_->Busy);
  EXPECT_EQ(
      statuses_,
      (std::vector<Status>{
          {kStatusNormal, "Idle"}, kLinkStatus, kVersionStatus, {kStatusGreen, "Version:1.02"}}));
  EXPECT_TRUE(gui_.boxes().empty());
  const auto commands = device->commands();
  ASSERT_EQ(commands.size(), 3u);  // refresh, Link, Version
  const std::uint8_t link[9] = {0x00, 0x10, 0, 0, 0, 0, 0, 0, 0x10};
  const std::uint8_t version[9] = {0x00, 0x1C, 0, 0, 0, 0, 0, 0, 0x1C};
  EXPECT_EQ(commands[1].rawLength, 33);
  EXPECT_TRUE(std::equal(link, link + 9, commands[1].raw.begin()));
  EXPECT_TRUE(std::equal(version, version + 9, commands[2].raw.begin()));
  for (const auto& c : commands) {
    EXPECT_TRUE(std::all_of(c.raw.begin() + 9, c.raw.begin() + c.rawLength,
                            [](std::uint8_t b) { return b == 0; }));
  }
  // The received-report log: "R %.2x  " and the data bytes.
  ASSERT_EQ(form_->ListBox1.count(), 2u);
  EXPECT_EQ(form_->ListBox1.line(0).substr(0, 12), "R 00  100000");
  EXPECT_EQ(form_->ListBox1.line(1).substr(0, 20), "R 00  1C0000312E3032");
}

TEST_F(VornexTest, ClickingVersionOrDownloadInsideAQueryDoesNothing) {
  auto device = plug();
  start();
  onStatus = [this](const Status& s) {
    if (s.text == "Get version...") {
      gui_.post([this] {
        form_->READ_car.click();
        form_->Write_car.click();
      });
    }
  };
  form_->READ_car.click();
  EXPECT_EQ(form_->StatusBar1.panelText(), "Version:1.01");
  EXPECT_EQ(countOf(*device, kCmdLink), 1u);
  EXPECT_EQ(countOf(*device, kCmdVersion), 1u);
  EXPECT_TRUE(gui_.dialogsShown().empty());
}

TEST_F(VornexTest, TheOpenDialogIsSetUpBeforeEveryUse) {
  plug();
  start();
  gui_.queueOpenDialogAnswer(std::nullopt);
  form_->Write_car.click();
  form_->OpenFlashfile.fileName = "elsewhere.nuv";
  form_->OpenFlashfile.initialDir = "/";
  gui_.queueOpenDialogAnswer(std::nullopt);
  form_->Write_car.click();
  ASSERT_EQ(gui_.dialogsShown().size(), 2u);
  for (const nuv::forms::OpenDialog& d : gui_.dialogsShown()) {
    EXPECT_EQ(d.title, "Open updata File");
    EXPECT_EQ(d.filter, "UPDATA  file(*.nuv)|*.nuv");
    EXPECT_EQ(d.defaultExt, "nuv");
    EXPECT_EQ(d.fileName, "UPDATA.nuv");
    EXPECT_EQ(d.initialDir, form_->ExeDir);
    EXPECT_TRUE(d.options.hideReadOnly);
    EXPECT_TRUE(d.options.pathMustExist);
    EXPECT_TRUE(d.options.fileMustExist);
    EXPECT_TRUE(d.options.enableSizing);
  }
}

TEST_F(VornexTest, CancellingTheDialogChangesNothing) {
  auto device = plug();
  start();
  gui_.queueOpenDialogAnswer(std::nullopt);
  form_->Write_car.click();
  EXPECT_FALSE(form_->Busy);
  EXPECT_EQ(statuses_.size(), 1u);
  EXPECT_TRUE(gui_.boxes().empty());
  EXPECT_TRUE(form_->Write_car.enabled());
  EXPECT_EQ(device->commandCount(), 1u);  // the refresh only
}

TEST_F(VornexTest, FullDownloadWritesTheWholeImageAndEndsGreen) {
  auto device = plug();
  start();
  const auto image = makeImage();
  chooseFile(writeFile("UPDATA.nuv", image));
  form_->Write_car.click();

  EXPECT_EQ(statuses_, (std::vector<Status>{{kStatusNormal, "Idle"},
                                            kLinkStatus,
                                            kVersionStatus,
                                            {kStatusNormal, "Erase..."},
                                            {kStatusNormal, "Writing Data..."},
                                            {kStatusNormal, "Writing All..."},
                                            {kStatusGreen, "Update Completed"}}));
  EXPECT_TRUE(gui_.boxes().empty());
  EXPECT_FALSE(form_->Busy);
  EXPECT_FALSE(form_->Gauge1.visible());

  const auto commands = device->commands();
  ASSERT_EQ(commands.size(), 1u + 3u + 16128u + 1u);
  EXPECT_EQ(commands[1].code(), kCmdLink);
  EXPECT_EQ(commands[2].code(), kCmdVersion);
  EXPECT_EQ(commands[3].code(), kCmdFormat);
  // Every Write: report ID 0, address in steps of 4, the image walk's bytes, the check byte.
  std::uint32_t address = 0;
  for (std::size_t i = 4; i < 4 + 16128; ++i, address += 4) {
    const auto& c = commands[i];
    ASSERT_EQ(c.raw[0], 0x00) << i;
    ASSERT_EQ(c.code(), kCmdWrite) << i;
    ASSERT_EQ(c.raw[2] | (c.raw[3] << 8), address) << i;
    const std::uint32_t offset = *nuv::image::offsetOfAddress(address);
    for (int j = 0; j < 4; ++j) ASSERT_EQ(c.raw[4 + j], image[offset + j]) << i;
    ASSERT_EQ(c.raw[8], HIDCheckSum(c.raw.data() + 1, 7)) << i;
    ASSERT_FALSE(c.previousReplyUnread) << i;
  }
  EXPECT_EQ(address - 4, 0xFBFCu);
  const auto& burn = commands.back();
  const std::uint8_t burnBytes[9] = {0x00, 0x12, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x12};
  EXPECT_TRUE(std::equal(burnBytes, burnBytes + 9, burn.raw.begin()));

  // The device holds exactly the image's firmware, committed.
  const auto firmware = nuv::image::unpack(image);
  const auto burnt = device->burnt();
  ASSERT_GE(burnt.size(), firmware.size());
  EXPECT_TRUE(std::equal(firmware.begin(), firmware.end(), burnt.begin()));
  EXPECT_EQ(device->formatCount(), 1u);
  EXPECT_EQ(device->burnCount(), 1u);

  // The gauge climbed through every percent from 0 to 98 (the last Write is at 64,508 of 65,536).
  ASSERT_FALSE(gaugePercents_.empty());
  EXPECT_EQ(gaugePercents_.front(), 0);
  EXPECT_EQ(gaugePercents_.back(), 98);
  EXPECT_EQ(gaugePercents_.size(), 99u);
  EXPECT_EQ(form_->Gauge1.MaxValue(), 65536);
}

TEST_F(VornexTest, ASecondDownloadStartsAgainFromLink) {
  auto device = plug();
  start();
  const std::string path = writeFile("UPDATA.nuv", makeImage());
  chooseFile(path);
  form_->Write_car.click();
  chooseFile(path);
  form_->Write_car.click();
  EXPECT_EQ(form_->StatusBar1.panelText(), "Update Completed");
  EXPECT_EQ(device->formatCount(), 2u);
  EXPECT_EQ(countOf(*device, kCmdWrite), 2u * 16128u);
}

TEST_F(VornexTest, WrongFileSizesAreRefusedWithAPlainBoxAndNothingIsSent) {
  auto device = plug();
  start();
  auto image = makeImage();
  // Built whole rather than by pop_back/push_back, which GCC 12 at -O2 misreads as out of bounds.
  const std::vector<std::uint8_t> shorter(image.begin(), image.end() - 1);
  std::vector<std::uint8_t> longer(image.size() + 1, 0);
  std::copy(image.begin(), image.end(), longer.begin());
  const std::vector<std::uint8_t>& longerView = longer;
  for (const auto* bytes : {&shorter, &longerView}) {
    chooseFile(writeFile("size" + std::to_string(bytes->size()) + ".nuv", *bytes));
    form_->Write_car.click();
  }
  EXPECT_EQ(boxTexts(), (std::vector<std::string>{"Filesize is error", "Filesize is error"}));
  EXPECT_EQ(gui_.boxes()[0].kind, nuv::forms::BoxKind::Plain);
  EXPECT_EQ(gui_.boxes()[0].title, "USB UPDATA FOR NUV");
  EXPECT_EQ(device->commandCount(), 1u);
  EXPECT_EQ(statuses_.size(), 1u);
  EXPECT_FALSE(form_->Busy);
}

TEST_F(VornexTest, AWrongImageVersionIsRefusedBeforeTheDeviceIsTouched) {
  auto device = plug();
  start();
  chooseFile(writeFile("v102.nuv", makeImage("V1.02           ")));
  form_->Write_car.click();
  chooseFile(writeFile("small-v.nuv", makeImage("v1.01           ")));
  form_->Write_car.click();
  EXPECT_EQ(boxTexts(), (std::vector<std::string>{"Version is error", "Version is error"}));
  EXPECT_EQ(device->commandCount(), 1u);
}

TEST_F(VornexTest, AWrongDeviceVersionIsRefusedAfterLinkAndVersionAndNothingIsErased) {
  auto device = plug({.version = "2.01"});
  start();
  chooseFile(writeFile("UPDATA.nuv", makeImage()));
  form_->Write_car.click();
  EXPECT_EQ(boxTexts(), (std::vector<std::string>{"Device ver is error"}));
  EXPECT_EQ(gui_.boxes()[0].kind, nuv::forms::BoxKind::Plain);
  EXPECT_EQ(form_->StatusBar1.panelText(), "Get version...");
  EXPECT_EQ(device->formatCount(), 0u);
  EXPECT_EQ(countOf(*device, kCmdWrite), 0u);
}

TEST_F(VornexTest, AFileThatCannotBeOpenedGetsTheErrorAndNothingIsSent) {
  auto device = plug();
  start();
  chooseFile((dir_ / "missing.nuv").string());
  form_->Write_car.click();
  chooseFile(dir_.string());  // a folder
  form_->Write_car.click();
  ASSERT_EQ(gui_.boxes().size(), 2u);
  for (const auto& box : gui_.boxes()) {
    EXPECT_EQ(box.kind, nuv::forms::BoxKind::Exception);
    EXPECT_NE(box.text.find("open"), std::string::npos) << box.text;
  }
  EXPECT_EQ(device->commandCount(), 1u);
  EXPECT_FALSE(form_->Busy);
}

// What replaces the image after its checks (a short file, or an image of another version) is
// caught when the file is reopened for writing, before the erase.
TEST_F(VornexTest, AnImageSwappedAfterItsChecksIsNotWrittenOrCommitted) {
  auto device = plug();
  start();
  const std::vector<std::vector<std::uint8_t>> replacements = {std::vector<std::uint8_t>(100, 0x41),
                                                               makeImage("V9.99 other     ")};
  for (const auto& replacement : replacements) {
    const std::string path = writeFile("UPDATA.nuv", makeImage());
    onStatus = [&](const Status& s) {
      if (s.text == "Get version...") writeFile("UPDATA.nuv", replacement);
    };
    const std::size_t boxes = gui_.boxes().size();
    chooseFile(path);
    form_->Write_car.click();
    ASSERT_EQ(gui_.boxes().size(), boxes + 1);
    EXPECT_EQ(gui_.boxes().back().kind, nuv::forms::BoxKind::Exception);
    EXPECT_EQ(gui_.boxes().back().text, "The update file changed while it was in use: " + path);
    EXPECT_EQ(device->formatCount(), 0u);
    EXPECT_EQ(device->burnCount(), 0u);
    EXPECT_NE(form_->StatusBar1.panelText(), "Update Completed");
  }
}

TEST_F(VornexTest, TheImageFileIsLeftAsItWas) {
  plug();
  start();
  const auto image = makeImage();
  const std::string path = writeFile("UPDATA.nuv", image);
  const auto before = std::filesystem::last_write_time(path);
  chooseFile(path);
  form_->Write_car.click();
  std::ifstream in(path, std::ios::binary);
  const std::vector<std::uint8_t> after((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(after, image);
  EXPECT_EQ(std::filesystem::last_write_time(path), before);
}

}  // namespace
}  // namespace vornex_test
