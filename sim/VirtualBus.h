// A virtual HID bus: devices with vendor and product ids, a path, a stable instance id and
// report lengths, plugged and unplugged at any moment, and host connections to them that
// write output reports and read input reports.
//
// Thread-safe. A host reader thread may block in Connection::read while the GUI thread
// writes; a test may plug, unplug or inspect from a third thread.
//
// Reports are framed as Framing.h says: an output report is written framed, exactly
// outputReportLength bytes in all; an input report is read framed, inputReportLength bytes in
// all (less for a short-report fault).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "protocol/Clock.h"
#include "protocol/DeviceIdentity.h"
#include "protocol/Framing.h"
#include "protocol/IoStatus.h"
#include "protocol/SessionRecord.h"
#include "sim/UpdateDevice.h"

namespace nuv::sim {

struct DeviceInfo {
  std::string path;              // unique among present devices; the bus makes one when empty
  std::uint32_t instanceId = 0;  // stable for the life of the plugged device; 0: the bus picks
  std::uint16_t vendorId = nuv::kUpdateVendorId;
  std::uint16_t productId = nuv::kUpdateProductId;
  std::uint16_t versionNumber = 0x0101;
  std::uint16_t inputReportLength = nuv::kFramedReportSize;   // counting the report-ID byte
  std::uint16_t outputReportLength = nuv::kFramedReportSize;  // counting the report-ID byte
  std::uint16_t featureReportLength = 0;
  bool usesReportIds = false;
};

// Report ID the device puts before its input reports when it uses report IDs.
inline constexpr std::uint8_t kInputReportId = 0x01;

class VirtualBus;
class Touched;

// One host handle on one device. Every open connection of a device gets its own copy of each
// input report (as every open hidraw node or Windows handle does), in a queue of 64 reports
// that drops the oldest when full. Created by VirtualBus::open.
class Connection : public std::enable_shared_from_this<Connection> {
 public:
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  [[nodiscard]] const DeviceInfo& info() const { return info_; }

  // Writes one output report. The device's reply, if any, is queued before this returns,
  // readable at once or after the device's latency. Ok, Gone (unplugged or closed), or Failed:
  // the write was refused (wrong length or report ID, or an injected failure). Never TimedOut
  // or Cancelled.
  [[nodiscard]] nuv::IoStatus write(const std::uint8_t* data, std::size_t len);

  // Waits up to `timeout` for the next readable input report and copies at most `capacity`
  // bytes of it into buf; *length gets the bytes copied. A timeout of zero polls. The timeout is
  // the calling thread's wait, in real time whatever the bus's clock: a host thread that polls
  // in slices (Windows' SleepEx) must get control back. Whether a report is readable yet is the
  // bus's clock's say alone; on a clock that a test moves, a report becomes readable only when
  // the test moves the clock past its time (timeAdvanced() wakes the reader).
  // Ok, TimedOut, Gone, or Cancelled by cancel(). Never Failed.
  [[nodiscard]] nuv::IoStatus read(std::uint8_t* buf, std::size_t capacity, std::size_t* length,
                                   std::chrono::nanoseconds timeout);

  // Makes a read that is blocked now return Cancelled. No effect when none is blocked.
  void cancel();

  // When the first queued report becomes readable (in the bus's time), if one is queued.
  [[nodiscard]] std::optional<nuv::Clock::time_point> nextReportAt() const;

  // Called after a report was queued or the device went away, on the thread that caused it,
  // with no lock held. It must not block on another thread; post to your own loop instead.
  void setListener(std::function<void()> listener);

  // Ends the connection: a blocked read returns Gone, later calls return Gone.
  void close();

 private:
  friend class VirtualBus;
  friend class Touched;
  struct Queued {
    std::array<std::uint8_t, 65> bytes;
    std::uint8_t length;
    nuv::Clock::time_point readableAt;
    std::uint64_t sequence;
  };
  static constexpr std::size_t kQueueDepth = 64;

  Connection(VirtualBus& bus, DeviceInfo info, std::shared_ptr<UpdateDevice> device);
  void push(const Queued& q);  // bus lock held
  void notifyListener();       // no lock held

  VirtualBus& bus_;
  const DeviceInfo info_;
  const std::shared_ptr<UpdateDevice> device_;
  std::condition_variable changed_;
  std::array<Queued, kQueueDepth> queue_{};
  std::size_t head_ = 0;
  std::size_t count_ = 0;
  bool gone_ = false;
  std::uint64_t cancelGeneration_ = 0;
  int blockedReaders_ = 0;
  std::shared_ptr<std::function<void()>> listener_;
};

class VirtualBus {
 public:
  // `clock` is the bus's notion of now, for reply latency: real time by default. A test whose
  // flow runs on a clock it moves hands the bus that very clock (the window's ManualClock, the
  // headless run loop's clock()) and calls timeAdvanced() after every move.
  explicit VirtualBus(const nuv::Clock& clock = nuv::realClock());
  ~VirtualBus();
  VirtualBus(const VirtualBus&) = delete;
  VirtualBus& operator=(const VirtualBus&) = delete;

  // Plugs a new update device. Returns it (it stays inspectable after an unplug), or null when
  // the path is taken by a present device.
  std::shared_ptr<UpdateDevice> plug(DeviceInfo info = {}, UpdateDeviceOptions options = {});
  // Plugs an existing device again (its memory kept) under `info`. False if the path is taken.
  bool plug(std::shared_ptr<UpdateDevice> device, DeviceInfo info);
  // Unplugs the device at `path`: its connections see Gone. False when none is there.
  bool unplug(const std::string& path);

  // The devices present now, in plug order.
  [[nodiscard]] std::vector<DeviceInfo> devices() const;
  // The device object at `path`, if present.
  [[nodiscard]] std::shared_ptr<UpdateDevice> device(const std::string& path) const;
  // Grows by one with every plug and unplug.
  [[nodiscard]] std::uint64_t changeCount() const;

  // Listeners are called after every plug and unplug, with no bus lock held: on the thread that
  // made the change, or on a thread of the bus for an Unplug fault. They must not block on
  // another thread. removeChangeListener waits for a call in progress to end.
  int addChangeListener(std::function<void()> listener);
  void removeChangeListener(int id);

  // Opens a host connection to a present device, or null when there is none at `path`.
  [[nodiscard]] std::shared_ptr<Connection> open(const std::string& path);

  // Wakes blocked readers after the bus's clock, one that a test moves, moved on.
  void timeAdvanced();

  // Tells `tap` (null: nobody) of every report a host sends and every reply a device queues,
  // replies without their report-ID byte when the device has no report IDs (as hidraw hands
  // them over). Called under the bus's lock: the tap must not call back into the bus. The tap
  // must outlive the bus or be replaced first.
  void setTap(nuv::SessionTap* tap);

  [[nodiscard]] const nuv::Clock& clock() const { return clock_; }

 private:
  friend class Connection;
  struct Entry {
    DeviceInfo info;
    std::shared_ptr<UpdateDevice> device;
  };
  struct Listener {
    int id;
    std::function<void()> call;
  };

  nuv::IoStatus deliver(Connection& from, const std::uint8_t* data, std::size_t len);
  void unplugLocked(const std::string& path, Touched& touched);
  void notifyChange();
  void forget(Connection* connection);

  const nuv::Clock& clock_;
  const nuv::Clock::time_point epoch_;
  mutable std::mutex mutex_;
  nuv::SessionTap* tap_ = nullptr;  // under mutex_
  std::vector<Entry> present_;
  std::vector<Connection*> connections_;
  std::uint64_t changes_ = 0;
  std::uint32_t nextInstance_ = 1;
  std::uint32_t nextPath_ = 0;

  std::recursive_mutex listenersMutex_;
  std::vector<Listener> listeners_;
  int nextListener_ = 1;

  std::mutex threadsMutex_;
  std::vector<std::thread> faultThreads_;
};

}  // namespace nuv::sim
