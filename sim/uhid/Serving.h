// A serving loop over one transport of the emulated update device (uhid: Server; USB gadget:
// GadgetServer), and one turn of several such loops on one thread, as `emulate --count N`
// serves its N devices.
//
// Not thread-safe: one thread drives every transport it serves.
#pragma once

#include <poll.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>

#include "protocol/Error.h"
#include "sim/uhid/ReplyQueue.h"
#include "sim/uhid/ReportEngine.h"

namespace nuv::sim::uhid {

// What one turn of a serving loop came to.
enum class ServeStep {
  Idle,        // nothing happened within the time allowed
  Handled,     // reports were handled or replies sent
  ExtraReady,  // the caller's extra descriptor is readable
  Unplugged,   // an unplug fault fired: the device is gone from the host
  Closed,      // the transport was closed under the server
  Failed,      // the transport failed: lastError() says why
};

class Serving {
 public:
  virtual ~Serving() = default;

  // What a turn waits for: the transport's descriptor with its poll events, and when the next
  // reply falls due (nothing: none is pending, or none can go before the transport is ready).
  struct Wait {
    int fd = -1;
    short events = POLLIN;
    std::optional<nuv::Clock::time_point> due;
  };
  [[nodiscard]] virtual Wait waitFor() const = 0;
  // Handles what the transport holds (`revents`: what poll saw on waitFor().fd, 0 when it saw
  // nothing) and sends every reply that is due. Idle when nothing happened.
  [[nodiscard]] virtual ServeStep serve(short revents) = 0;

  // Waits up to `maxWait` for a report, for `extraFd` (when >= 0) to become readable, or for
  // the next reply to fall due; handles what came and sends what is due. A device that
  // failed, closed or unplugged says so before ExtraReady.
  [[nodiscard]] ServeStep runOnce(int extraFd, std::chrono::milliseconds maxWait);

  // Takes the device away from the host, as an unplug would. Idempotent.
  [[nodiscard]] virtual std::optional<nuv::Error> unplug() = 0;
  [[nodiscard]] virtual bool present() const = 0;
  [[nodiscard]] virtual const ServerStats& stats() const = 0;
  [[nodiscard]] const nuv::Error& lastError() const { return lastError_; }

 protected:
  [[nodiscard]] ServeStep fail(nuv::Error error);

 private:
  nuv::Error lastError_;
};

// One turn for several transports: one ppoll over all of them and `extraFd` (when >= 0), for
// up to `maxWait` or until the first reply falls due; then each is served. `steps[i]` is what
// `servings[i]` came to; a null entry (a device already gone) is not waited for and stays
// Idle. `polls` is the caller's buffer of at least servings.size() + 1 entries, kept between
// turns so that nothing is allocated per turn. Returns ExtraReady when `extraFd` is readable,
// Failed (with *error set) when ppoll failed, else Idle.
[[nodiscard]] ServeStep serveTogether(std::span<Serving* const> servings,
                                      std::span<ServeStep> steps, int extraFd,
                                      std::chrono::milliseconds maxWait, std::span<pollfd> polls,
                                      nuv::Error* error);

}  // namespace nuv::sim::uhid
