// The blocking runner: an engine driven to its end over the emulated device's link, what it
// leaves in the device, and how a cancel, an unplug and a refused write end it.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

#include "flow/StrictFlow.h"
#include "protocol/UpdateImage.h"
#include "run/Runner.h"
#include "run/SimLink.h"
#include "sim/Faults.h"
#include "sim/VirtualBus.h"

namespace {

namespace image = nuv::image;
using nuv::flow::DeviceState;
using nuv::flow::OutcomeKind;
using nuv::flow::Step;

std::vector<std::uint8_t> sampleImage() {
  std::vector<std::uint8_t> firmware(image::kFirmwareSize);
  for (std::size_t i = 0; i < firmware.size(); ++i)
    firmware[i] = static_cast<std::uint8_t>(i * 7 + 3);
  std::memcpy(firmware.data(), "V1.01 run test  ", 16);
  return image::pack(firmware, 0xFF);
}

struct Counting final : nuv::run::RunObserver {
  void progressed(const nuv::flow::Progress& p) override { last = p; }
  nuv::flow::Progress last;
};

TEST(Runner, DownloadsIntoTheEmulatedDeviceAndEndsAsTheEngineSays) {
  struct Case {
    const char* fault;  // nullptr: none
    bool cancelled;
    OutcomeKind kind;
    Step step;
    DeviceState state;
  };
  for (const Case& c : {
           Case{nullptr, false, OutcomeKind::Completed, Step::Burn, DeviceState::Burnt},
           Case{nullptr, true, OutcomeKind::Cancelled, Step::Link, DeviceState::Untouched},
           Case{"unplug@0x2000", false, OutcomeKind::DeviceGone, Step::Write,
                DeviceState::PartlyWritten},
           Case{"write-failure@format", false, OutcomeKind::WriteFailed, Step::Erase,
                DeviceState::Untouched},
           Case{"code-zero@version", false, OutcomeKind::NoResponse, Step::Version,
                DeviceState::Untouched},
       }) {
    SCOPED_TRACE(c.fault ? c.fault : c.cancelled ? "cancelled" : "no fault");
    nuv::sim::VirtualBus bus;
    nuv::sim::UpdateDeviceOptions options;
    if (c.fault) options.faults.push_back(nuv::sim::parseFault(c.fault).value());
    const auto device = bus.plug(nuv::sim::DeviceInfo{.path = "sim:d"}, options);
    auto link = nuv::run::openSimLink(bus, "sim:d");
    ASSERT_TRUE(link);
    const std::atomic<bool> cancel{c.cancelled};
    nuv::run::RunSettings settings;
    settings.cancel = &cancel;
    nuv::flow::StrictFlow flow(nuv::flow::StrictFlow::Task::Download);
    Counting observer;
    const auto image = sampleImage();
    const auto outcome = nuv::run::runFlow(flow, image, *link, observer, settings);
    EXPECT_EQ(outcome.kind, c.kind) << nuv::flow::outcomeName(outcome.kind);
    EXPECT_EQ(outcome.step, c.step) << nuv::flow::stepName(outcome.step);
    EXPECT_EQ(outcome.deviceState, c.state);
    if (c.kind == OutcomeKind::Completed) {
      const auto firmware = image::unpack(image);
      const auto memory = device->burnt();
      EXPECT_TRUE(std::equal(firmware.begin(), firmware.end(), memory.begin()));
      EXPECT_EQ(observer.last.total, image::kFirmwareSize);
    }
  }
}

}  // namespace
