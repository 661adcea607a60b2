#include "run/Runner.h"

#include <algorithm>
#include <variant>

namespace nuv::run {
namespace {

class Loop {
 public:
  Loop(flow::Engine& engine, DeviceLink& link, RunObserver& observer, const RunSettings& settings)
      : engine_(engine), link_(link), observer_(observer), settings_(settings) {}

  flow::Outcome run(std::span<const std::uint8_t> image) {
    engine_.start(image, now());
    for (;;) {
      if (auto done = carryOutActions()) return *done;
      if (!cancelled_ && settings_.cancel != nullptr &&
          settings_.cancel->load(std::memory_order_acquire)) {
        cancelled_ = true;
        engine_.cancel(now());
        continue;
      }
      waitForTheDevice();
    }
  }

 private:
  [[nodiscard]] nuv::Clock::time_point now() const { return settings_.clock->now(); }

  // Carries out every queued action in order; the outcome once the flow has finished. A send
  // that fails is told to the engine at once, which may queue more.
  std::optional<flow::Outcome> carryOutActions() {
    flow::Action action;
    while (auto next = engine_.nextAction()) {
      action = *next;
      if (const auto* send = std::get_if<flow::SendReport>(&action)) {
        nuv::Error error;
        const nuv::IoStatus status = link_.send(send->bytes, error);
        if (status == nuv::IoStatus::Ok) continue;
        observer_.linkFailed(error);
        if (status == nuv::IoStatus::Gone)
          engine_.deviceGone(now());
        else
          engine_.sendFailed(now());
      } else if (const auto* progress = std::get_if<flow::Progress>(&action)) {
        observer_.progressed(*progress);
      } else if (const auto* step = std::get_if<flow::StepBegan>(&action)) {
        observer_.stepBegan(step->step);
      } else if (const auto* line = std::get_if<flow::LogLine>(&action)) {
        if (line->statusLine())
          observer_.logged(line->text());
        else
          observer_.noted(line->text());
      } else if (const auto* finished = std::get_if<flow::Finished>(&action)) {
        return finished->outcome;
      }
      // WakeAt: the runner asks the engine for the one wake it needs (nextWake).
    }
    return std::nullopt;
  }

  void waitForTheDevice() {
    const auto wake = engine_.nextWake();
    auto wait = settings_.poll;
    if (wake) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(*wake - now());
      wait = std::clamp(left, std::chrono::milliseconds(0), settings_.poll);
    }
    Report reply{};
    nuv::Error error;
    switch (link_.receive(reply, wait, error)) {
      case nuv::IoStatus::Ok:
        engine_.reportArrived(reply, now());
        return;
      case nuv::IoStatus::TimedOut:
      case nuv::IoStatus::Cancelled:
        if (wake && now() >= *wake) engine_.timeReached(now());
        return;
      case nuv::IoStatus::Gone:
      case nuv::IoStatus::Failed:
        // A read that fails for good is the device lost: nothing more will come from it.
        observer_.linkFailed(error);
        engine_.deviceGone(now());
        return;
    }
  }

  flow::Engine& engine_;
  DeviceLink& link_;
  RunObserver& observer_;
  const RunSettings& settings_;
  bool cancelled_ = false;
};

}  // namespace

flow::Outcome runFlow(flow::Engine& engine, std::span<const std::uint8_t> image, DeviceLink& link,
                      RunObserver& observer, const RunSettings& settings) {
  return Loop(engine, link, observer, settings).run(image);
}

}  // namespace nuv::run
