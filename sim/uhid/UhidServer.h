// The emulated update device of UpdateDevice.h behind a uhid channel: every output report a
// host writes to the kernel's hidraw node arrives here as UHID_OUTPUT, goes to
// UpdateDevice::receive, and the reply goes back as UHID_INPUT2 after the device's latency,
// with its faults applied.
//
// Framing, latency and the queue of replies are the ReportEngine's (ReportEngine.h).
//
// What uhid cannot show: the write-failure fault (the kernel has already told the host that its
// write succeeded when the event arrives; the device drops the command, so the host sees no
// reply), and when the host reads a reply (a reply counts as consumed when it is sent).
//
// Not thread-safe: one thread drives the server. The device object may be inspected from any
// thread (it has its own lock).
#pragma once

#include <linux/uhid.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

#include "protocol/Error.h"
#include "sim/UpdateDevice.h"
#include "sim/uhid/ReportEngine.h"
#include "sim/uhid/Serving.h"
#include "sim/uhid/UhidChannel.h"
#include "sim/uhid/UhidIdentity.h"

namespace nuv::sim::uhid {

class Server final : public Serving {
 public:
  Server(Channel channel, std::shared_ptr<UpdateDevice> device);

  // Creates the kernel's HID device (UHID_CREATE2).
  [[nodiscard]] std::optional<nuv::Error> create(const Identity& identity);

  using Step = ServeStep;
  // The channel's descriptor and the next reply's time; serve() reads every event the channel
  // holds and sends what is due (Serving.h).
  [[nodiscard]] Wait waitFor() const override;
  [[nodiscard]] Step serve(short revents) override;

  // Pieces of runOnce, for tests that play the kernel and keep the clock.
  [[nodiscard]] Step handle(const uhid_event& event, nuv::Clock::time_point now);
  [[nodiscard]] Step sendDue(nuv::Clock::time_point now);
  [[nodiscard]] std::optional<nuv::Clock::time_point> nextDue() const { return engine_.nextDue(); }

  // Removes the kernel's device (UHID_DESTROY), as an unplug would. Idempotent.
  [[nodiscard]] std::optional<nuv::Error> unplug() override;

  [[nodiscard]] bool created() const { return created_; }
  [[nodiscard]] bool present() const override { return created_; }
  [[nodiscard]] bool started() const { return started_; }  // the kernel's driver is bound
  [[nodiscard]] int openHandles() const { return opens_; }
  [[nodiscard]] const ServerStats& stats() const override { return engine_.stats(); }
  [[nodiscard]] const std::shared_ptr<UpdateDevice>& device() const { return engine_.device(); }
  [[nodiscard]] Channel& channel() { return channel_; }

 private:
  Channel channel_;
  ReportEngine engine_;
  uhid_event in_{};  // one event buffer for the life of the server
  bool created_ = false;
  bool started_ = false;
  int opens_ = 0;
};

}  // namespace nuv::sim::uhid
