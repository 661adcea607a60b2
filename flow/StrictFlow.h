// Vornex's flows as an engine (see Engine.h): the version query (Link, Version) and the
// download (the image's size and version checks, Link, Version and the device's version
// check, erase, the 16,128 Writes of addresses 0x0000..0xFBFC, Burn), each exchange with the
// window's time-out. The engine sends the window's reports in the window's order. The
// Refresh report (0xFF) the window sends when it rebuilds its device list belongs to no flow,
// and the engine never sends it.
//
// A reply is the first report that arrives after a send. It is accepted when it has at least
// 3 bytes that echo the command's first 3 (code and address); a code byte of 0 ends the flow
// with no_response, any other mismatch with data_error. Nothing else of the reply is looked
// at, apart from the version bytes 3..6 of Version's reply; bytes a short reply lacks count
// as 0. A report that arrives while no reply is awaited is dropped.
//
// A second copy of a reply that arrives after the next report went out is taken as that
// report's reply, and fails it. The window drops the reports handed to it before it sends; a
// runner that wants the same drops what it has read before it carries out a SendReport.
//
// The time-out: the window counts 200 ms ticks of a timer that runs from the flow's start
// (here: start()'s time) and gives up at the 21st tick after a send, so after 4.0 to 4.2 s. A
// reply that arrives (reportArrived) before the caller tells the time of that tick
// (timeReached) is still accepted.
//
// Departures from the window, which front ends want and the window cannot do:
// - cancel() ends the flow at once in every step; the window acts on Stop only while it waits
//   for a Write's reply, and drops a Stop that comes during Burn.
// - deviceGone() ends it at once with device_gone; the window does not watch for an unplug
//   during a flow and ends with its time-out.
// - a report that could not be sent ends it with write_failed; the window says "Data error".
#pragma once

#include <chrono>

#include "flow/Engine.h"
#include "protocol/UpdateImage.h"

namespace nuv::flow {

class StrictFlow final : public Engine {
 public:
  enum class Task { Version, Download };
  static constexpr std::chrono::milliseconds kTickPeriod{200};
  static constexpr int kTicksToTimeout = 21;
  // The firmware the download writes: addresses 0x0000..0xFBFF.
  static constexpr std::uint32_t kTotalBytes = image::kFirmwareSize;

  explicit StrictFlow(Task task) : task_(task) {}

 private:
  enum class Awaiting { Nothing, Link, Version, Format, Write, Burn };

  void onStart(TimePoint now) override;
  void onReport(std::span<const std::uint8_t> report, TimePoint now) override;
  void onTime(TimePoint now) override;
  void onSendFailed(TimePoint now) override;
  [[nodiscard]] std::optional<TimePoint> pendingWake() const override {
    return awaiting_ == Awaiting::Nothing ? std::nullopt : std::optional<TimePoint>(deadline_);
  }

  void exchange(Awaiting what, const Report& report, TimePoint now);
  void sendWrite(TimePoint now);
  void accepted(std::span<const std::uint8_t> reply, TimePoint now);

  Task task_;
  Awaiting awaiting_ = Awaiting::Nothing;
  Report sent_{};
  TimePoint timerStart_{};
  TimePoint deadline_{};
  std::uint32_t writeAddress_ = 0;
};

}  // namespace nuv::flow
