// Runs an update engine against the emulated update device in this process, on a time line
// the driver moves: every report the engine sends goes to the device at once, the device's
// replies come back after their delay (a late-reply fault), and the engine's wakes come when
// due. A reply and a wake due at the same moment: the reply first. Events of one moment go in
// the order they were made, so a duplicate reply arrives after the next command went out.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "flow/Engine.h"
#include "protocol/Framing.h"
#include "protocol/HIDProto.h"
#include "protocol/UpdateImage.h"
#include "sim/UpdateDevice.h"

namespace nuv::test {

inline std::vector<std::uint8_t> firmwareForFlowTests() {
  std::vector<std::uint8_t> fw(image::kFirmwareSize);
  for (std::size_t a = 0; a < fw.size(); ++a)
    fw[a] = static_cast<std::uint8_t>((a * 7 + (a >> 8) * 13 + 1) & 0xFF);
  const std::string_view header = "V1.01 flow tests";
  std::copy(header.begin(), header.end(), fw.begin());
  return fw;
}

inline std::vector<std::uint8_t> imageForFlowTests() {
  return image::pack(firmwareForFlowTests(), 0xEE);
}

// What the device did, as its own record tells: the oracle for the engine's DeviceState.
inline flow::DeviceState stateOf(const sim::UpdateDevice& device) {
  if (device.burnCount() > 0) return flow::DeviceState::Burnt;
  if (device.formatCount() == 0) return flow::DeviceState::Untouched;
  return device.countOf(kCmdWrite) > 0 ? flow::DeviceState::PartlyWritten
                                       : flow::DeviceState::Erased;
}

inline flow::Step stepOfCommand(std::uint8_t code) {
  switch (code) {
    case kCmdLink:
      return flow::Step::Link;
    case kCmdVersion:
      return flow::Step::Version;
    case kCmdFormat:
      return flow::Step::Erase;
    case kCmdWrite:
      return flow::Step::Write;
    case kCmdBurn:
      return flow::Step::Burn;
    default:
      return flow::Step::Read;
  }
}

class FlowDriver {
 public:
  using Report = std::array<std::uint8_t, 8>;

  FlowDriver(flow::Engine& engine, sim::UpdateDevice& device) : engine_(engine), device_(device) {}

  // Called after each action is carried out; may feed the engine more events (a cancel).
  std::function<void(const flow::Action&)> onAction;
  // Keep every action as a line of text (trace()).
  bool keepTrace = false;
  // Tell the engine when the device unplugs itself (an Unplug fault).
  bool reportUnplug = true;
  // Before a report goes out, drop the replies that have already arrived (late copies of an
  // earlier reply), as Vornex's window does when it hands them over before its send.
  bool dropArrivedBeforeSend = false;

  // Starts the engine and runs until it finishes or nothing more is due (a wait for ever).
  void run(std::span<const std::uint8_t> image) {
    engine_.start(image, now_);
    drain();
    while (!engine_.finished()) {
      auto next = std::min_element(due_.begin(), due_.end());
      if (next == due_.end()) return;
      const Due item = *next;
      due_.erase(next);
      now_ = std::max(now_, item.at);
      if (item.isWake) {
        engine_.timeReached(now_);
      } else {
        device_.replyConsumed(item.sequence);
        engine_.reportArrived(std::span(item.reply.data(), item.length), now_);
      }
      drain();
    }
  }

  [[nodiscard]] const std::vector<Report>& sent() const { return sent_; }
  [[nodiscard]] const std::vector<std::string>& trace() const { return trace_; }
  [[nodiscard]] const std::vector<std::string>& lines() const { return lines_; }
  [[nodiscard]] std::optional<flow::Progress> lastProgress() const { return lastProgress_; }
  [[nodiscard]] flow::TimePoint now() const { return now_; }
  [[nodiscard]] bool wakePending() const {
    return std::any_of(due_.begin(), due_.end(), [](const Due& d) { return d.isWake; });
  }
  [[nodiscard]] flow::Engine& engine() { return engine_; }
  // The time since start, in milliseconds.
  [[nodiscard]] long long elapsedMs() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(now_ - flow::TimePoint{}).count();
  }

 private:
  struct Due {
    flow::TimePoint at;
    std::uint64_t order = 0;
    bool isWake = false;
    Report reply{};
    std::size_t length = 0;
    std::uint64_t sequence = 0;  // the device's number of the reply
    bool operator<(const Due& o) const {
      if (at != o.at) return at < o.at;
      if (isWake != o.isWake) return !isWake;
      return order < o.order;
    }
  };

  void drain() {
    while (auto action = engine_.nextAction()) {
      carryOut(*action);
      if (onAction) onAction(*action);
    }
  }

  void carryOut(const flow::Action& action) {
    if (keepTrace) trace_.push_back(describe(action));
    if (const auto* send = std::get_if<flow::SendReport>(&action)) {
      sent_.push_back(send->bytes);
      if (dropArrivedBeforeSend) {
        due_.erase(std::remove_if(due_.begin(), due_.end(),
                                  [&](const Due& d) { return !d.isWake && d.at <= now_; }),
                   due_.end());
      }
      std::array<std::uint8_t, kFramedReportSize> framed{};
      (void)frameReport(send->bytes, framed);
      const sim::DeviceResponse response = device_.receive(framed.data(), framed.size());
      if (response.writeFails) {
        engine_.sendFailed(now_);
        return;
      }
      for (int i = 0; i < response.copies; ++i) {
        Due reply{now_ + response.extraDelay, order_++, false, {}, response.replyLength,
                  device_.lastReplySequence()};
        std::copy_n(response.reply.begin(), response.replyLength, reply.reply.begin());
        due_.push_back(reply);
      }
      if (response.unplug && reportUnplug) engine_.deviceGone(now_);
    } else if (const auto* wake = std::get_if<flow::WakeAt>(&action)) {
      // One wake per moment: the engine asks for the same time-out after every send.
      const bool known = std::any_of(due_.begin(), due_.end(),
                                     [&](const Due& d) { return d.isWake && d.at == wake->at; });
      if (!known) due_.push_back(Due{wake->at, order_++, true, {}, 0});
    } else if (const auto* p = std::get_if<flow::Progress>(&action)) {
      lastProgress_ = *p;
    } else if (const auto* line = std::get_if<flow::LogLine>(&action)) {
      lines_.emplace_back(line->text());
    }
  }

  static std::string describe(const flow::Action& action) {
    if (const auto* send = std::get_if<flow::SendReport>(&action))
      return "send " + hex(send->bytes);
    if (const auto* wake = std::get_if<flow::WakeAt>(&action))
      return "wake " + std::to_string(wake->at.time_since_epoch().count());
    if (const auto* p = std::get_if<flow::Progress>(&action))
      return "progress " + std::to_string(p->address) + " " + std::to_string(p->done) + "/" +
             std::to_string(p->total);
    if (const auto* step = std::get_if<flow::StepBegan>(&action))
      return "step " + std::string(flow::stepName(step->step));
    if (const auto* line = std::get_if<flow::LogLine>(&action))
      return "log " + std::string(line->text());
    const flow::Outcome& o = std::get<flow::Finished>(action).outcome;
    return "finished " + std::string(flow::outcomeName(o.kind)) + " " +
           std::string(flow::stepName(o.step)) + " " + std::to_string(o.address.value_or(0)) + " " +
           std::string(flow::deviceStateName(o.deviceState));
  }

  static std::string hex(const Report& r) {
    std::string s;
    for (std::uint8_t b : r) {
      s += "0123456789abcdef"[b >> 4];
      s += "0123456789abcdef"[b & 15];
    }
    return s;
  }

  flow::Engine& engine_;
  sim::UpdateDevice& device_;
  flow::TimePoint now_{};
  std::uint64_t order_ = 0;
  std::vector<Due> due_;
  std::vector<Report> sent_;
  std::vector<std::string> trace_;
  std::vector<std::string> lines_;
  std::optional<flow::Progress> lastProgress_;
};

}  // namespace nuv::test
