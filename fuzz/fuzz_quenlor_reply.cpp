// QuenlorHID's reply acceptance (HIDViewController::didReceiveData) on the headless backends,
// as tests/mac_fixture.h runs it: the window on an emulated device that stays silent, so that
// every reply is one the input makes up, at any moment of a version query or a download.
//
// The input is a list of steps, each a byte and its operands:
//   0 Download pressed (a valid image chosen)     4 LEN BYTES: a reply of LEN made-up bytes
//   1 Version pressed                             5 POS MASK: the last command echoed, byte
//   2 Stop pressed                                  POS % 8 of the echo XORed with MASK
//   3 N: N * 50 ms pass                           6 N: the device answers by itself for N s
//   7 the device is unplugged and plugged back
//
// Checked: a Write is only ever followed by the next one when the reply echoed it exactly, and
// Burn is only sent when the device holds the whole image.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "mac/AppDelegate.h"
#include "mac/HIDViewController.h"
#include "platform/cocoa/Headless.h"
#include "platform/iohid/Sim.h"
#include "protocol/HIDProto.h"
#include "protocol/UpdateImage.h"
#include "sim/VirtualBus.h"

namespace {

using namespace std::chrono_literals;
namespace image = nuv::image;

// The image every download chooses, written once, and the memory a device holds after that
// image was written into it whole.
struct ImageOnDisk {
  ImageOnDisk() {
    std::vector<std::uint8_t> firmware(image::kFirmwareSize);
    for (std::size_t a = 0; a < firmware.size(); ++a)
      firmware[a] = static_cast<std::uint8_t>(a * 7 + (a >> 8) * 13 + 1);
    std::memcpy(firmware.data(), "V1.01           ", 16);
    const auto bytes = image::pack(firmware, 0xEE);
    path = dir.path("UPDATA.nuv");
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    // QuenlorHID writes 0xFC00..0xFFFF too, with zeros: the image has no data for them.
    written.assign(nuv::sim::UpdateDevice::kMemorySize, 0);
    std::copy(firmware.begin(), firmware.end(), written.begin());
  }
  fuzz::ScratchDir dir;
  std::string path;
  std::vector<std::uint8_t> written;
};

void silence(nuv::sim::UpdateDevice& device) {
  for (std::uint8_t code : {kCmdLink, kCmdFormat, kCmdBurn, kCmdRead, kCmdWrite, kCmdVersion})
    device.addFault(
        {nuv::sim::FaultKind::NoReply, {nuv::sim::Trigger::Kind::AtCode, code}, 0ms, true});
}

class World {
 public:
  explicit World(const ImageOnDisk& image) : bus_(app_.runLoop().clock()) {
    app_.runLoop().setClockMovedHook([this] { bus_.timeAdvanced(); });
    app_.setOpenPanelResponder([&image] {
      return nuv::cocoa::OpenPanelResult{nuv::cocoa::kModalResponseOK, {image.path}};
    });
    plug();
    delegate_ = std::make_unique<nuv::mac::AppDelegate>(
        app_, [this] { return nuv::iohid::createSimHIDManager(bus_); });
    delegate_->applicationDidFinishLaunching();
    loop().runUntilIdle();
  }
  ~World() { delegate_.reset(); }

  nuv::cocoa::HeadlessRunLoop& loop() { return app_.runLoop(); }
  nuv::mac::HIDViewController& ctrl() { return *delegate_->viewController(); }
  nuv::cocoa::HeadlessNib& nib() { return *app_.nib(); }
  nuv::sim::UpdateDevice& device() { return *device_; }

  void plug() {
    device_ = bus_.plug();
    silence(*device_);
  }
  void unplugAndBack() {
    for (const nuv::sim::DeviceInfo& info : bus_.devices()) (void)bus_.unplug(info.path);
    loop().runUntilIdle();
    plug();
    loop().runUntilIdle();
  }
  // The last command the device received, as an 8-byte report.
  std::array<std::uint8_t, 8> lastCommand() const {
    std::array<std::uint8_t, 8> command{};
    const auto log = device_->commands();
    if (!log.empty()) std::memcpy(command.data(), log.back().command(), 8);
    return command;
  }

 private:
  nuv::cocoa::HeadlessApplication app_;
  nuv::sim::VirtualBus bus_;
  std::shared_ptr<nuv::sim::UpdateDevice> device_;
  std::unique_ptr<nuv::mac::AppDelegate> delegate_;
};

// Hands a made-up reply to the controller and checks what it did about a Write.
void deliver(World& world, const std::uint8_t* reply, std::size_t length) {
  nuv::sim::UpdateDevice& device = world.device();
  const std::uint32_t writesBefore = device.countOf(kCmdWrite);
  const auto previous = world.lastCommand();
  // An exact copy: a read past the reply's end is caught.
  const std::vector<std::uint8_t> bytes(reply, reply + length);
  world.ctrl().didReceiveData(bytes.data(), bytes.size());
  if (device.countOf(kCmdWrite) == writesBefore) return;
  // The controller wrote on: only an exact echo of the Write it had sent may do that.
  FUZZ_CHECK(previous[0] == kCmdWrite);
  FUZZ_CHECK(bytes.size() >= 7 && std::memcmp(bytes.data(), previous.data(), 7) == 0);
  const auto next = world.lastCommand();
  const auto address = [](const std::array<std::uint8_t, 8>& c) { return c[1] | c[2] << 8; };
  FUZZ_CHECK(address(next) == address(previous) + 4);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const ImageOnDisk image;
  const fuzz::QuietLog quiet;
  World world(image);
  const nuv::sim::UpdateDevice* device = &world.device();
  std::uint32_t burns = 0;
  std::size_t i = 0;
  auto operand = [&]() -> std::uint8_t { return i < size ? data[i++] : 0; };
  while (i < size) {
    switch (operand() % 8) {
      case 0:
        (void)world.nib().downloadButton.click();
        break;
      case 1:
        (void)world.nib().versionButton.click();
        break;
      case 2:
        (void)world.nib().stopButton.click();
        break;
      case 3:
        world.loop().advance(operand() * 50ms);
        break;
      case 4: {
        const std::size_t length = std::min<std::size_t>(operand(), size - i);
        deliver(world, data + i, length);
        i += length;
        break;
      }
      case 5: {
        auto echo = world.lastCommand();
        const std::uint8_t pos = operand();
        echo[pos % 8] ^= operand();
        deliver(world, echo.data(), echo.size());
        break;
      }
      case 6: {
        world.device().clearFaults();
        world.loop().advance(std::chrono::seconds(operand()));
        silence(world.device());
        break;
      }
      case 7:
        world.unplugAndBack();
        break;
    }
    world.loop().runUntilIdle();
    // A device plugged back is a new one, with nothing burnt yet.
    if (&world.device() != device) {
      device = &world.device();
      burns = 0;
    }
    if (world.device().countOf(kCmdBurn) != burns) {
      burns = world.device().countOf(kCmdBurn);
      // Burn commits the memory: it must hold every byte of the image by then.
      FUZZ_CHECK(world.device().memory() == image.written);
    }
  }
  return 0;
}
