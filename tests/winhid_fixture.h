// Shared set-up of the HID layer tests: a virtual bus, a headless GUI thread, the sim backend
// and the layer's process state, plus a recorder of every event the layer raises.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/forms/Forms.h"
#include "platform/forms/Headless.h"
#include "platform/winapi/Sim.h"
#include "protocol/HIDProto.h"
#include "sim/VirtualBus.h"
#include "win/hid/HidControllerClass.h"

namespace winhid_test {

using nuv::hid::THidDevice;
using nuv::hid::THidDeviceController;

struct Recorder {
  std::vector<std::string> events;
  struct Report {
    THidDevice* device;
    std::uint8_t id;
    std::vector<std::uint8_t> data;
    std::uint16_t size;
  };
  std::vector<Report> reports;
  std::vector<std::uint32_t> readErrors;
  std::function<bool(THidDevice&, std::int32_t)> onEnumerate;
  std::function<void(THidDevice&)> onArrival;
  std::function<void(THidDevice&)> onRemoval;
  std::function<void(THidDeviceController&)> onChange;
  int changes = 0;

  void Report(THidDevice& d, std::uint8_t id, const std::uint8_t* data, std::uint16_t size) {
    reports.push_back({&d, id, std::vector<std::uint8_t>(data, data + size), size});
  }
  void OtherReport(THidDevice& d, std::uint8_t id, const std::uint8_t* data, std::uint16_t size) {
    events.push_back("other-report");
    Report(d, id, data, size);
  }
  void ReadError(THidDevice&, std::uint32_t error) { readErrors.push_back(error); }
  void Detach(THidDevice& d) { events.push_back("detach " + d.PnpRecord().DevicePath); }
  void Arrival(THidDevice& d) {
    events.push_back("arrival " + d.PnpRecord().DevicePath);
    if (onArrival) onArrival(d);
  }
  void Removal(THidDevice& d) {
    events.push_back("removal " + d.PnpRecord().DevicePath);
    if (onRemoval) onRemoval(d);
  }
  bool Enumerate(THidDevice& d, std::int32_t idx) {
    events.push_back("enumerate " + std::to_string(idx));
    return onEnumerate ? onEnumerate(d, idx) : true;
  }
  void Change(THidDeviceController& c) {
    ++changes;
    events.push_back("change");
    if (onChange) onChange(c);
  }
  void OtherChange(THidDeviceController& c) { Change(c); }

  [[nodiscard]] nuv::hid::THidDataEvent reportEvent() {
    return nuv::hid::THidDataEvent::of<&Recorder::Report>(*this);
  }
  [[nodiscard]] nuv::hid::THidDataErrorEvent errorEvent() {
    return nuv::hid::THidDataErrorEvent::of<&Recorder::ReadError>(*this);
  }
  [[nodiscard]] nuv::hid::THidPlugEvent detachEvent() {
    return nuv::hid::THidPlugEvent::of<&Recorder::Detach>(*this);
  }
  [[nodiscard]] nuv::hid::THidPlugEvent arrivalEvent() {
    return nuv::hid::THidPlugEvent::of<&Recorder::Arrival>(*this);
  }
  [[nodiscard]] nuv::hid::THidPlugEvent removalEvent() {
    return nuv::hid::THidPlugEvent::of<&Recorder::Removal>(*this);
  }
  [[nodiscard]] nuv::hid::THidEnumerateEvent enumerateEvent() {
    return nuv::hid::THidEnumerateEvent::of<&Recorder::Enumerate>(*this);
  }
  [[nodiscard]] nuv::hid::TNotifyEvent changeEvent() {
    return nuv::hid::TNotifyEvent::of<&Recorder::Change>(*this);
  }
};

class HidLayerTest : public ::testing::Test {
 protected:
  // Without `notices` the bus's plugs and unplugs post no device-change messages, so rescans run
  // only when a test calls DeviceChange.
  explicit HidLayerTest(nuv::winapi::EmulationOptions options = {}, bool notices = true)
      : api_(nuv::winapi::makeSimApi(bus_, notices ? &gui_ : nullptr, std::move(options))),
        process_(std::make_unique<nuv::hid::HidProcess>(*api_, gui_)) {}

  // Plugs an update device and returns its path.
  std::string plug(nuv::sim::DeviceInfo info = {}) {
    auto device = bus_.plug(info);
    EXPECT_NE(device, nullptr);
    for (const nuv::sim::DeviceInfo& d : bus_.devices()) {
      if (bus_.device(d.path) == device) return d.path;
    }
    return {};
  }

  // Processes GUI messages until `done` holds or a generous real-time limit passed.
  bool pumpUntil(const std::function<bool()>& done,
                 std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
      if (std::chrono::steady_clock::now() > end) return false;
      gui_.processMessages();
      if (!done()) gui_.waitForMessages(std::chrono::milliseconds(5));
    }
    return true;
  }
  void pumpFor(std::chrono::milliseconds span) {
    const auto end = std::chrono::steady_clock::now() + span;
    while (std::chrono::steady_clock::now() < end) {
      gui_.processMessages();
      gui_.waitForMessages(std::chrono::milliseconds(2));
    }
  }

  // Notices of plugs made before the controller existed are dropped first, as a real window
  // would have handled them before the controller hooked it.
  std::unique_ptr<THidDeviceController> makeController() {
    gui_.processMessages();
    return std::make_unique<THidDeviceController>(*process_);
  }

  // The Version command as the window writes it: report ID 0, the 8-byte command.
  static std::vector<std::uint8_t> versionReport(std::size_t outputLength = 9) {
    std::vector<std::uint8_t> report(std::max<std::size_t>(outputLength, 9), 0);
    EXPECT_EQ(::HostGenerateVersionCommand(report.data() + 1, 8), 0);
    return report;
  }
  static bool sendVersion(THidDevice& device) {
    const auto report = versionReport(device.Capabilities().OutputReportByteLength);
    std::uint32_t written = 0;
    return device.WriteReport(report.data(), static_cast<std::uint32_t>(report.size()), written) &&
           written == report.size();
  }

  nuv::sim::VirtualBus bus_;
  nuv::forms::HeadlessGui gui_;
  std::unique_ptr<nuv::winapi::SimApi> api_;
  std::unique_ptr<nuv::hid::HidProcess> process_;
};

}  // namespace winhid_test
