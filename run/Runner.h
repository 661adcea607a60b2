// Runs one engine flow to its end over a DeviceLink, blocking the calling thread: the runner
// owns the waiting and the clock, the engine decides everything else. The terminal, the C
// API and the Python package run every flow through here.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <span>
#include <string_view>

#include "flow/Action.h"
#include "flow/Engine.h"
#include "protocol/Clock.h"
#include "run/DeviceLink.h"

namespace nuv::run {

// What a flow tells as it goes; every call comes on the runner's thread, in the engine's
// order. The default does nothing.
class RunObserver {
 public:
  virtual ~RunObserver() = default;
  virtual void stepBegan(flow::Step /*step*/) {}
  virtual void progressed(const flow::Progress& /*progress*/) {}
  // A status line of the flow, as the windows show it.
  virtual void logged(std::string_view /*line*/) {}
  // A diagnostic line of the flow, for a log rather than the status line.
  virtual void noted(std::string_view /*line*/) {}
  // A report could not be sent or read: why, in the link's words (before the engine hears).
  virtual void linkFailed(const nuv::Error& /*error*/) {}
};

struct RunSettings {
  const nuv::Clock* clock = &nuv::realClock();
  // Set from any thread to stop the flow: the engine is told at once (within `poll`) and
  // ends as its cancel says. Null: nothing cancels.
  const std::atomic<bool>* cancel = nullptr;
  // The longest single wait, so that a cancel is seen while the device is silent.
  std::chrono::milliseconds poll{50};
};

// Starts `engine` with `image` (empty for a version query) and runs it until it finishes.
// Returns its outcome. The link is left open; the engine must not have been started.
[[nodiscard]] flow::Outcome runFlow(flow::Engine& engine, std::span<const std::uint8_t> image,
                                    DeviceLink& link, RunObserver& observer,
                                    const RunSettings& settings = {});

}  // namespace nuv::run
