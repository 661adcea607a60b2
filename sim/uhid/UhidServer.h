// The emulated update device of UpdateDevice.h behind a uhid channel: every output report a
// host writes to the kernel's hidraw node arrives here as UHID_OUTPUT, goes to
// UpdateDevice::receive, and the reply goes back as UHID_INPUT2 after the device's latency,
// with its faults applied.
//
// Framing. The report descriptor has no report IDs, so a host writes the report-ID byte 0x00
// and the 8 command bytes (9 in all, as Windows and hidraw hosts do). The kernel's USB HID
// driver drops a leading 0x00 before the bytes go on the wire; uhid hands over all of them.
// The server applies the USB driver's rule itself (see normaliseOutput) so that the device
// sees what a real one would. Replies are 8 bytes (5 for a short-report fault) and the kernel
// hands them to hidraw readers as they are.
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

#include "Error.h"
#include "ReplyQueue.h"
#include "UhidChannel.h"
#include "UhidIdentity.h"
#include "UpdateDevice.h"

namespace sim::uhid {

struct ServerStats {
  std::uint32_t outputs = 0;         // output reports received
  std::uint32_t repliesSent = 0;     // input reports sent
  std::uint32_t repliesDropped = 0;  // dropped because the queue was full or sending failed
  std::uint32_t commandsLost = 0;    // write-failure faults: the device ignored the command
  std::uint32_t otherEvents = 0;     // feature requests refused and events of no interest
};

class Server {
 public:
  Server(Channel channel, std::shared_ptr<UpdateDevice> device);

  // Creates the kernel's HID device (UHID_CREATE2).
  [[nodiscard]] std::optional<nuv::Error> create(const Identity& identity);

  enum class Step {
    Idle,        // nothing happened within the time allowed
    Handled,     // events were handled or replies sent
    ExtraReady,  // the caller's extra descriptor is readable
    Unplugged,   // an unplug fault fired: the kernel device is destroyed
    Closed,      // the channel was closed under the server
    Failed,      // a read or write of the channel failed: lastError() says why
  };
  // Waits up to `maxWait` for an event of the channel, for `extraFd` (when >= 0) to become
  // readable, or for the next reply to fall due; handles what came and sends what is due.
  [[nodiscard]] Step runOnce(int extraFd, std::chrono::milliseconds maxWait);

  // Pieces of runOnce, for tests that play the kernel and keep the clock.
  [[nodiscard]] Step handle(const uhid_event& event, Clock::time_point now);
  [[nodiscard]] Step sendDue(Clock::time_point now);
  [[nodiscard]] std::optional<Clock::time_point> nextDue() const { return queue_.nextDue(); }

  // Removes the kernel's device (UHID_DESTROY), as an unplug would. Idempotent.
  [[nodiscard]] std::optional<nuv::Error> unplug();

  // USB gadget path: the kernel has dropped the report-ID byte before the bytes arrive.
  void setReportIdStripped(bool stripped) { reportIdStripped_ = stripped; }

  [[nodiscard]] bool created() const { return created_; }
  [[nodiscard]] bool started() const { return started_; }  // the kernel's driver is bound
  [[nodiscard]] int openHandles() const { return opens_; }
  [[nodiscard]] const ServerStats& stats() const { return stats_; }
  [[nodiscard]] const nuv::Error& lastError() const { return lastError_; }
  [[nodiscard]] const std::shared_ptr<UpdateDevice>& device() const { return device_; }
  [[nodiscard]] Channel& channel() { return channel_; }

  // Turns an output report as the host wrote it into the frame UpdateDevice::receive expects
  // (report-ID byte 0x00, then up to 8 command bytes). Unless `alreadyStripped`, a leading
  // 0x00 is the report-ID byte and is dropped, as the kernel's USB HID driver does. Returns the
  // frame's length (1 + the command bytes, at most 9).
  [[nodiscard]] static std::size_t normaliseOutput(const std::uint8_t* data, std::size_t size,
                                                   bool alreadyStripped,
                                                   std::array<std::uint8_t, 9>& frame);

 private:
  [[nodiscard]] Step onOutput(const uhid_output_req& output, Clock::time_point now);
  [[nodiscard]] Clock::time_point dueAt(const DeviceResponse& response,
                                        Clock::time_point now) const;
  [[nodiscard]] Step fail(nuv::Error error);

  Channel channel_;
  std::shared_ptr<UpdateDevice> device_;
  ReplyQueue queue_;
  uhid_event in_{};  // one event buffer for the life of the server
  std::array<std::uint8_t, 9> frame_{};
  Clock::time_point epoch_ = Clock::now();  // frame boundaries of the UsbFrame latency model
  bool created_ = false;
  bool started_ = false;
  bool reportIdStripped_ = false;
  int opens_ = 0;
  ServerStats stats_;
  nuv::Error lastError_;
};

}  // namespace sim::uhid
