// verify: reading the device back and comparing it with an image.
#include <gtest/gtest.h>

#include <cstring>

#include "cli/DeviceCommands.h"
#include "cli/ExitCodes.h"
#include "protocol/HIDProto.h"
#include "protocol/UpdateImage.h"

namespace {

using namespace std::chrono_literals;
namespace image = nuv::image;

class VerifyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::vector<std::uint8_t> fw(image::kFirmwareSize);
    for (std::size_t i = 0; i < fw.size(); ++i) fw[i] = static_cast<std::uint8_t>(i * 5 + 1);
    std::memcpy(fw.data(), "V1.01", 5);
    image_ = image::pack(fw, 0xFF);
    device_ = bus_.plug(nuv::sim::DeviceInfo{.path = "sim:d"});
    link_ = nuv::cli::openSimLink(bus_, "sim:d");
    ASSERT_TRUE(link_);
    sink_ = std::tmpfile();
  }
  void TearDown() override { std::fclose(sink_); }

  // Writes `image_` the way the strict flow does, through the same link.
  void download(bool zerosAbove = false) {
    std::uint8_t cmd[8], reply[8];
    nuv::Error e;
    (void)HostGenerateFormatCommand(cmd, 8);
    ASSERT_EQ(link_->exchange(cmd, reply, 1s, &e), nuv::IoStatus::Ok);
    const auto fw = image::unpack(image_);
    for (std::uint32_t a = 0; a < (zerosAbove ? 0x10000u : image::kFirmwareSize); a += 4) {
      std::uint8_t data[4] = {0, 0, 0, 0};
      if (a < image::kFirmwareSize) std::memcpy(data, fw.data() + a, 4);
      (void)HostGenerateWriteCommand(cmd, 8, static_cast<std::uint16_t>(a), data);
      ASSERT_EQ(link_->exchange(cmd, reply, 1s, &e), nuv::IoStatus::Ok);
    }
  }
  int verify(bool withTail = false) {
    nuv::cli::Output out(nuv::cli::OutputMode::Quiet, false, sink_, sink_);
    return nuv::cli::verifyDevice(*link_, image_, withTail, out, 20ms);
  }

  nuv::sim::VirtualBus bus_;
  std::shared_ptr<nuv::sim::UpdateDevice> device_;
  std::unique_ptr<nuv::cli::ReportLink> link_;
  std::vector<std::uint8_t> image_;
  std::FILE* sink_ = nullptr;
};

TEST_F(VerifyTest, AcceptsAWrittenDeviceAndFindsOneWrongByte) {
  download();
  EXPECT_EQ(verify(), nuv::cli::kExitSuccess);
  EXPECT_EQ(verify(true), nuv::cli::kExitVerifyMismatch) << "0xFC00.. still hold 0xFF after Format";
  std::uint8_t cmd[8], reply[8];
  nuv::Error e;
  const std::uint8_t wrong[4] = {0, 0, 0, 0};
  (void)HostGenerateWriteCommand(cmd, 8, 0x8000, wrong);
  ASSERT_EQ(link_->exchange(cmd, reply, 1s, &e), nuv::IoStatus::Ok);
  EXPECT_EQ(verify(), nuv::cli::kExitVerifyMismatch);
}

TEST_F(VerifyTest, TheEchoFlowsZerosAboveTheFirmwareAreChecked) {
  download(true);
  EXPECT_EQ(verify(true), nuv::cli::kExitSuccess);
}

TEST_F(VerifyTest, ADeviceThatDoesNotAnswerReadOrEchoesWronglyFailsTheExchange) {
  device_->addFault(nuv::sim::parseFault("no-reply@read").value());
  EXPECT_EQ(verify(), nuv::cli::kExitExchangeFailed);
  device_->addFault(nuv::sim::parseFault("wrong-address@read").value());
  EXPECT_EQ(verify(), nuv::cli::kExitExchangeFailed);
  device_->addFault(nuv::sim::parseFault("short-report@read").value());
  EXPECT_EQ(verify(), nuv::cli::kExitExchangeFailed);
  device_->addFault(nuv::sim::parseFault("unplug@0x0400").value());
  EXPECT_EQ(verify(), nuv::cli::kExitExchangeFailed);
}

}  // namespace
