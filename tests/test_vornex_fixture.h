// Shared set-up of the Vornex window tests: the emulated update device on a virtual bus, the
// sim backend of the HID layer, the headless forms backend on a clock the test moves, and the
// window itself. Records the status line, the boxes and the gauge as a user would see them.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/forms/Forms.h"
#include "platform/forms/Headless.h"
#include "platform/winapi/Sim.h"
#include "protocol/HIDProto.h"
#include "protocol/UpdateImage.h"
#include "sim/VirtualBus.h"
#include "win/app/Unit1.h"

namespace vornex_test {

using namespace std::chrono_literals;

struct Status {
  nuv::forms::Color color;
  std::string text;
  bool operator==(const Status&) const = default;
};
inline std::ostream& operator<<(std::ostream& os, const Status& s) {
  return os << "{" << std::hex << s.color << std::dec << ", \"" << s.text << "\"}";
}

inline const Status kLinkStatus{kStatusNormal, "Link..."};
inline const Status kVersionStatus{kStatusNormal, "Get version..."};

// A valid image: header "V1.01" and 11 blanks, then a pattern that differs at every address,
// with 0xEE in every gap and filler byte so that a filler sent by mistake shows up.
inline std::vector<std::uint8_t> makeImage(std::string_view header = "V1.01           ") {
  std::vector<std::uint8_t> firmware(nuv::image::kFirmwareSize);
  for (std::size_t a = 0; a < firmware.size(); ++a) {
    firmware[a] = static_cast<std::uint8_t>((a * 7 + (a >> 8) * 13 + 1) & 0xFF);
  }
  for (std::size_t i = 0; i < header.size() && i < 16; ++i) {
    firmware[i] = static_cast<std::uint8_t>(header[i]);
  }
  return nuv::image::pack(firmware, 0xEE);
}

class VornexTest : public ::testing::Test {
 protected:
  VornexTest() : bus_(clock_), gui_(clock_) {
    clock_.setListener([this] {
      bus_.timeAdvanced();
      gui_.wakeUp();
    });
    dir_ = std::filesystem::temp_directory_path() /
           ("vornex-test-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
    gui_.setExePath((dir_ / "Vornex.exe").string());
    gui_.setTitle(std::string(kApplicationTitle));
  }
  ~VornexTest() override {
    // Clicks a test posted and that were not run yet run now, before the window goes.
    onStatus = nullptr;
    onGauge = nullptr;
    gui_.onIdle = nullptr;
    gui_.processMessages();
    form_.reset();
    process_.reset();
    api_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  // Plugs an update device (vendor 0xFFFF, product 0x0100 unless told otherwise).
  std::shared_ptr<nuv::sim::UpdateDevice> plug(nuv::sim::UpdateDeviceOptions options = {},
                                               nuv::sim::DeviceInfo info = {}) {
    auto device = bus_.plug(std::move(info), std::move(options));
    EXPECT_NE(device, nullptr);
    return device;
  }
  [[nodiscard]] std::string pathOf(const std::shared_ptr<nuv::sim::UpdateDevice>& device) const {
    for (const nuv::sim::DeviceInfo& d : bus_.devices()) {
      if (bus_.device(d.path) == device) return d.path;
    }
    return {};
  }

  // Program start: the window is created and shown (first activation).
  void start() {
    api_ = nuv::winapi::makeSimApi(bus_, &gui_);
    process_ = std::make_unique<nuv::hid::HidProcess>(*api_, gui_);
    form_ = std::make_unique<TMainForm>(gui_, *process_);
    gui_.setMainForm(*form_);
    // A status is recorded when its text is set: the flows set the colour first, then the text.
    statuses_.push_back({form_->StatusBar1.color(), form_->StatusBar1.panelText()});
    form_->StatusBar1.observe([this] {
      const Status now{form_->StatusBar1.color(), form_->StatusBar1.panelText()};
      if (now.text == statuses_.back().text) return;
      statuses_.push_back(now);
      if (onStatus) onStatus(now);
    });
    form_->Gauge1.observe([this] {
      if (form_->Gauge1.visible()) {
        const int percent = form_->Gauge1.Percent();
        if (gaugePercents_.empty() || gaugePercents_.back() != percent) {
          gaugePercents_.push_back(percent);
        }
      }
      if (onGauge) onGauge();
    });
    gui_.activateMainForm();
    pump();
  }

  // Runs every round of message processing that is due now, without moving the clock.
  void pump() {
    for (int i = 0; i < 50; ++i) {
      gui_.processMessages();
      if (!gui_.waitForSynchronize(2ms)) break;
    }
  }

  // Moves the clock one timer period whenever the window waits with nothing pending and
  // `when` holds; otherwise waits a little for the reader (a reply in flight is never
  // overtaken by ticks).
  void tickWhen(std::function<bool()> when) {
    gui_.onIdle = [this, when = std::move(when)] {
      if (when()) {
        ++ticks_;
        clock_.advance(200ms);
      } else {
        (void)gui_.waitForSynchronize(5ms);
      }
    };
  }

  // Writes an image file into the test's folder and queues it as the dialog's answer.
  std::string writeFile(const std::string& name, const std::vector<std::uint8_t>& bytes) {
    const std::filesystem::path path = dir_ / name;
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return path.string();
  }
  void chooseFile(const std::string& path) { gui_.queueOpenDialogAnswer(path); }

  [[nodiscard]] std::vector<std::string> boxTexts() const {
    std::vector<std::string> texts;
    for (const auto& b : gui_.boxes()) texts.push_back(b.text);
    return texts;
  }
  [[nodiscard]] static std::uint32_t countOf(const nuv::sim::UpdateDevice& d, std::uint8_t code) {
    return d.countOf(code);
  }

  nuv::ManualClock clock_;
  nuv::sim::VirtualBus bus_;
  nuv::forms::HeadlessGui gui_;
  std::unique_ptr<nuv::winapi::SimApi> api_;
  std::unique_ptr<nuv::hid::HidProcess> process_;
  std::unique_ptr<TMainForm> form_;
  std::filesystem::path dir_;
  std::vector<Status> statuses_;
  std::vector<int> gaugePercents_;
  std::function<void(const Status&)> onStatus;
  std::function<void()> onGauge;
  int ticks_ = 0;
};

}  // namespace vornex_test
