// The update engine's common interface: a flow (strict, echo, verify) as an object that does
// no I/O and owns no thread, timer or clock. The caller owns the device, the clock and the
// waiting; it feeds the engine events and carries out the actions the engine answers with.
//
// Contract:
// - Events are member calls, each with the caller's current time (steady_clock time points;
//   any clock's, as long as it never goes back): start() once, then reportArrived(),
//   timeReached(), deviceGone(), sendFailed() and cancel() in the order things happened.
// - After every event the caller drains nextAction() until it is empty and carries the
//   actions out in order (see Action.h). At most ActionQueue::kMaxPerEvent come per event.
// - The flow ends with exactly one Finished action; events after it, and before start(), are
//   ignored. cancel() and deviceGone() end any flow at once, whatever step it is in.
// - Deterministic: the same events with the same times give the same actions.
// - start() copies the image and may allocate; no other call allocates.
// - Not thread-safe: one caller at a time. Nothing is ever called back.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "flow/Action.h"
#include "flow/Outcome.h"

namespace nuv::flow {

class Engine {
 public:
  virtual ~Engine() = default;
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  // Begins the flow. `image` is the update image's bytes (a download, a read-back), or empty
  // for a version query, which ignores it.
  void start(std::span<const std::uint8_t> image, TimePoint now);
  // An input report from the device: its bytes after the report ID (8 for this device).
  void reportArrived(std::span<const std::uint8_t> report, TimePoint now);
  // The time is now `now` (after a WakeAt, or whenever the caller likes).
  void timeReached(TimePoint now);
  // The device was unplugged or its handle failed for good.
  void deviceGone(TimePoint now);
  // The report of the last SendReport could not be sent.
  void sendFailed(TimePoint now);
  // The user asked to stop.
  void cancel(TimePoint now);

  // The next action to carry out, oldest first; nothing when all were taken.
  [[nodiscard]] std::optional<Action> nextAction();
  [[nodiscard]] bool started() const { return started_; }
  [[nodiscard]] bool finished() const { return outcome_.has_value(); }
  // The outcome, once finished.
  [[nodiscard]] const std::optional<Outcome>& outcome() const { return outcome_; }
  // The one time the flow needs timeReached() at next (a reply's time-out, the end of a wait,
  // a stall limit), or nothing while it only waits for the device or has finished. A runner
  // may wake on this alone instead of keeping every WakeAt: the wakes a flow asked for and no
  // longer needs are never this.
  [[nodiscard]] std::optional<TimePoint> nextWake() const {
    return started_ && !outcome_ ? pendingWake() : std::nullopt;
  }
  // True when the caller let more actions pile up than the queue holds (some were lost).
  [[nodiscard]] bool actionsOverflowed() const { return actions_.overflowed(); }

 protected:
  Engine() = default;

  // The flow's own handling of each event; called only while the flow runs.
  virtual void onStart(TimePoint now) = 0;
  virtual void onReport(std::span<const std::uint8_t> report, TimePoint now) = 0;
  virtual void onTime(TimePoint now) = 0;
  virtual void onSendFailed(TimePoint now) = 0;
  // See nextWake(); asked only while the flow runs.
  [[nodiscard]] virtual std::optional<TimePoint> pendingWake() const = 0;

  // Queues a report to send and counts what it does to the device (see DeviceState).
  void send(const std::array<std::uint8_t, 8>& report);
  void beginStep(Step step);
  void wakeAt(TimePoint at) { actions_.push(WakeAt{at}); }
  void progress(std::uint16_t address, std::uint32_t done, std::uint32_t total) {
    actions_.push(Progress{address, done, total});
  }
  void log(std::string_view line) { actions_.push(LogLine(line)); }
  // A diagnostic: for the log, not the status line.
  void note(std::string_view line) { actions_.push(LogLine(line, false)); }
  // Records the device's version and logs it as "Version:" and its four bytes, those that are
  // not printable shown as '?': as the status line where the window shows it there (Vornex's
  // version query), else as a diagnostic.
  void versionReceived(const std::array<std::uint8_t, 4>& version, bool asStatusLine);
  // Ends the flow with `kind` at the current step, address and device state.
  void finish(OutcomeKind kind);
  void finish(Outcome outcome);
  // The last report sent failed to go out: the device state is what it was before it.
  void unsend() { deviceState_ = stateBeforeSend_; }

  [[nodiscard]] std::span<const std::uint8_t> image() const { return image_; }
  [[nodiscard]] Step step() const { return step_; }
  void setAddress(std::optional<std::uint16_t> address) { address_ = address; }
  [[nodiscard]] DeviceState deviceState() const { return deviceState_; }

 private:
  ActionQueue actions_;
  std::vector<std::uint8_t> image_;
  std::optional<Outcome> outcome_;
  bool started_ = false;
  Step step_ = Step::Image;
  std::optional<std::uint16_t> address_;
  std::optional<std::array<std::uint8_t, 4>> version_;
  DeviceState deviceState_ = DeviceState::Untouched;
  DeviceState stateBeforeSend_ = DeviceState::Untouched;
};

// Report building shared by the flows: the 8 bytes of a command made by the protocol's
// builders.
using Report = std::array<std::uint8_t, 8>;
[[nodiscard]] Report linkReport();
[[nodiscard]] Report versionReport();
[[nodiscard]] Report formatReport();
[[nodiscard]] Report burnReport();
[[nodiscard]] Report readReport(std::uint16_t address);
[[nodiscard]] Report writeReport(std::uint16_t address, const std::uint8_t data[4]);

}  // namespace nuv::flow
