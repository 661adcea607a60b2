#include "cli/Fleet.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <list>
#include <set>

#include "cli/CommandLine.h"
#include "cli/ExitCodes.h"
#include "protocol/Clock.h"
#include "sim/Faults.h"

namespace nuv::cli {
namespace {

// How long a device that went away during its flow may take to come back for its next
// attempt, when --wait does not say.
constexpr std::chrono::seconds kDefaultReturnWait{10};

bool documentedExitCode(int code) {
  switch (code) {
    case kExitSuccess:
    case kExitUsage:
    case kExitNoDevice:
    case kExitImageRefused:
    case kExitDeviceVersion:
    case kExitExchangeFailed:
    case kExitFileError:
    case kExitVerifyMismatch:
    case kExitInterrupted:
      return true;
    default:
      return false;
  }
}

// The same device plugged in again: its serial, or else its USB port, is the same (its node
// and identity are new).
bool sameDevice(const DeviceRecord& was, const DeviceRecord& is) {
  if (was.serial && !was.serial->empty()) return is.serial == was.serial;
  if (was.usbPort) return is.usbPort == was.usbPort;
  return is.node == was.node;
}

class FleetRun {
 public:
  FleetRun(const Options& options, FleetSetup& setup) : options_(options), setup_(setup) {}

  void start(const DeviceRecord& device) {
    auto& slot = slots_.emplace_back();
    slot.run.device = device;
    slot.run.started = nuv::realClock().now();
    launch(slot, {});
  }

  // Runs until every device has ended (station mode: until Ctrl-C or --count). Returns the
  // exit code.
  int loop(bool station) {
    if (station) startArrivals();
    for (;;) {
      const std::size_t active = countIn(State::Running) + countIn(State::AwaitingReturn);
      if (active == 0) {
        if (!station || interrupted_ || countReached()) break;
      }
      waitAndHandle(station);
    }
    setup_.view.draw({}, true);
    std::vector<const DeviceRun*> runs;
    for (const auto& slot : slots_) runs.push_back(&slot.run);
    FleetOutcome outcome = fleetOutcome(runs, interrupted_);
    if (station) {
      if (interrupted_ && options_.count && !countReached() && outcome.exitCode == 0) {
        outcome.exitCode = kExitInterrupted;
        outcome.summary = "stopped (Ctrl-C) after " + std::to_string(runs.size()) + " of " +
                          std::to_string(*options_.count) + " devices";
      } else if (runs.empty()) {
        outcome.summary = "no device was flashed";
      }
    }
    setup_.view.summary(runs, outcome.exitCode, outcome.summary);
    return outcome.exitCode;
  }

 private:
  enum class State { Running, AwaitingReturn, Done };
  struct Slot {
    DeviceRun run;
    State state = State::Running;
    int workerId = -1;
    int fd = -1;
    std::string pending;  // the part of a line not yet ended
    int lastCode = 0;
    nuv::Clock::time_point returnDeadline{};
  };

  std::size_t countIn(State state) const {
    return static_cast<std::size_t>(std::count_if(
        slots_.begin(), slots_.end(), [state](const Slot& s) { return s.state == state; }));
  }
  bool countReached() const { return options_.count && countIn(State::Done) >= *options_.count; }

  void launch(Slot& slot, std::string_view reason) {
    slot.state = State::Running;
    slot.pending.clear();
    setup_.view.started(slot.run, reason);
    auto started =
        setup_.launcher.start(workerArguments(options_, slot.run.device, slot.run.attempt));
    if (!started) {
      slot.run.lastError = "the worker process could not be started: " + started.error().describe();
      finish(slot, kExitExchangeFailed);
      return;
    }
    const auto& worker = started.value();
    slot.workerId = worker.id;
    slot.fd = worker.outputFd;
  }

  void finish(Slot& slot, int code) {
    slot.state = State::Done;
    slot.run.exitCode = code;
    slot.run.seconds =
        std::chrono::duration<double>(nuv::realClock().now() - slot.run.started).count();
    setup_.view.finished(slot.run);
  }

  // The next attempt for `slot`, on `device` (the same one, or the same one plugged in again).
  void retry(Slot& slot, const DeviceRecord& device) {
    const std::string reason = "exit code " + std::to_string(slot.lastCode) +
                               (slot.run.lastError.empty() ? "" : " (" + slot.run.lastError + ")");
    slot.run.device = device;
    ++slot.run.attempt;
    slot.run.status.clear();
    slot.run.lastError.clear();
    slot.run.summary.clear();
    slot.run.done = slot.run.total = slot.run.address = 0;
    slot.run.phase.clear();
    slot.run.failure = {};
    slot.run.verified = false;
    launch(slot, reason);
  }

  std::optional<std::vector<DeviceRecord>> scan() {
    auto scanned = setup_.source.scan();
    if (scanned) return std::move(scanned).value();
    return std::nullopt;
  }

  // Where `slot`'s device is now: the same plug-in, or the same device plugged in again.
  std::optional<DeviceRecord> findAgain(const Slot& slot) {
    const auto devices = scan();
    if (!devices) return std::nullopt;
    for (const auto& d : *devices)
      if (d.identity == slot.run.device.identity) return d;
    for (const auto& d : *devices)
      if (sameDevice(slot.run.device, d) && !claimed(d.identity, &slot)) return d;
    return std::nullopt;
  }

  bool claimed(const std::string& identity, const Slot* except) const {
    return std::any_of(slots_.begin(), slots_.end(), [&](const Slot& s) {
      return &s != except && s.state != State::Done && s.run.device.identity == identity;
    });
  }

  void workerEnded(Slot& slot) {
    ::close(slot.fd);
    slot.fd = -1;
    if (!slot.pending.empty()) setup_.view.workerLine(slot.run, slot.pending);
    int code = setup_.launcher.finish(slot.workerId);
    if (!documentedExitCode(code)) {
      // A worker that crashed or was killed: its device's exchange ended unfinished.
      slot.run.lastError = "the worker process ended with status " + std::to_string(code);
      code = kExitExchangeFailed;
    }
    slot.lastCode = code;
    if (!retryable(code) || interrupted_ || slot.run.attempt > options_.retries) {
      finish(slot, code);
      return;
    }
    if (auto device = findAgain(slot)) {
      retry(slot, *device);
      return;
    }
    // Gone: wait for it to come back (a replug, a reset) while the others go on.
    if (!watching_) watching_ = !setup_.source.watch().has_value();
    if (!watching_ || setup_.source.changeFd() < 0) {
      finish(slot, code);
      return;
    }
    slot.state = State::AwaitingReturn;
    const auto wait = options_.waitSeconds && *options_.waitSeconds != Options::kWaitForever
                          ? std::chrono::seconds(*options_.waitSeconds)
                          : kDefaultReturnWait;
    slot.returnDeadline = nuv::realClock().now() + wait;
    setup_.view.note(slot.run.device.node + ": gone; waiting up to " +
                     std::to_string(wait.count()) + " s for it to come back");
  }

  void readWorker(Slot& slot) {
    char buffer[4096];
    for (;;) {
      const ssize_t n = ::read(slot.fd, buffer, sizeof buffer);
      if (n > 0) {
        slot.pending.append(buffer, static_cast<std::size_t>(n));
        std::size_t end;
        while ((end = slot.pending.find('\n')) != std::string::npos) {
          setup_.view.workerLine(slot.run, std::string_view(slot.pending).substr(0, end));
          slot.pending.erase(0, end + 1);
        }
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
      workerEnded(slot);  // end of its output (or an error reading it): the worker is done
      return;
    }
  }

  void interruptAll() {
    interrupted_ = true;
    setup_.view.note("Ctrl-C: stopping every device (Ctrl-C again quits at once)");
    for (auto& slot : slots_) {
      if (slot.state == State::Running) setup_.launcher.interrupt(slot.workerId);
      if (slot.state == State::AwaitingReturn) finish(slot, slot.lastCode);
    }
  }

  bool selected(const DeviceRecord& device) const {
    if (options_.deviceSelectors.empty()) return true;
    return std::any_of(options_.deviceSelectors.begin(), options_.deviceSelectors.end(),
                       [&](const std::string& text) {
                         return selects(parseSelector(text), device, statCharacterDevice);
                       });
  }

  void startArrivals() {
    if (!watching_) {
      if (auto why = setup_.source.watch())
        setup_.view.note("devices plugged in later cannot be seen: " + why->describe());
      else
        watching_ = true;
    }
    setup_.view.note("station: waiting for update devices (Ctrl-C ends)");
    takeArrivals();
  }

  // Station mode: starts every selected device not seen in this plug-in, up to --count.
  void takeArrivals() {
    const auto devices = scan();
    if (!devices) return;
    // A device that has gone may come back with the same identity only as a new plug-in.
    for (auto it = seen_.begin(); it != seen_.end();) {
      const bool present = std::any_of(devices->begin(), devices->end(),
                                       [&](const DeviceRecord& d) { return d.identity == *it; });
      it = present || claimed(*it, nullptr) ? std::next(it) : seen_.erase(it);
    }
    for (const auto& device : *devices) {
      if (interrupted_ || (options_.count && slots_.size() >= *options_.count)) return;
      if (seen_.count(device.identity) != 0 || !selected(device)) continue;
      seen_.insert(device.identity);
      // A device that came back for its next attempt is not a new one.
      if (!claimed(device.identity, nullptr)) start(device);
    }
  }

  void takeReturns() {
    for (auto& slot : slots_) {
      if (slot.state != State::AwaitingReturn) continue;
      if (auto device = findAgain(slot)) retry(slot, *device);
    }
  }

  void waitAndHandle(bool station) {
    std::vector<pollfd> fds;
    std::vector<Slot*> owners;
    for (auto& slot : slots_) {
      if (slot.state != State::Running || slot.fd < 0) continue;
      fds.push_back({slot.fd, POLLIN, 0});
      owners.push_back(&slot);
    }
    const std::size_t workers = fds.size();
    const bool wantChanges = watching_ && (station || countIn(State::AwaitingReturn) > 0);
    if (setup_.interruptFd >= 0) fds.push_back({setup_.interruptFd, POLLIN, 0});
    if (wantChanges && setup_.source.changeFd() >= 0)
      fds.push_back({setup_.source.changeFd(), POLLIN, 0});

    int timeoutMs = countIn(State::Running) > 0 ? 100 : -1;  // the live lines' redraw
    const auto now = nuv::realClock().now();
    for (const auto& slot : slots_) {
      if (slot.state != State::AwaitingReturn) continue;
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(slot.returnDeadline - now);
      const int ms = static_cast<int>(std::max<long long>(0, left.count()));
      timeoutMs = timeoutMs < 0 ? ms : std::min(timeoutMs, ms);
    }
    const int ready = ::poll(fds.data(), fds.size(), timeoutMs);
    if (ready < 0 && errno != EINTR) return;

    for (std::size_t i = workers; i < fds.size() && ready > 0; ++i) {
      if ((fds[i].revents & (POLLIN | POLLHUP)) == 0) continue;
      if (fds[i].fd == setup_.interruptFd) {
        char bytes[16];
        if (::read(setup_.interruptFd, bytes, sizeof bytes) > 0 && !interrupted_) interruptAll();
      } else {
        (void)setup_.source.takeChanges();
        takeReturns();
        if (station && !interrupted_) takeArrivals();
      }
    }
    for (std::size_t i = 0; i < workers && ready > 0; ++i)
      if (fds[i].revents != 0) readWorker(*owners[i]);

    for (auto& slot : slots_)
      if (slot.state == State::AwaitingReturn && nuv::realClock().now() >= slot.returnDeadline)
        finish(slot, slot.lastCode);

    std::vector<const DeviceRun*> running;
    for (const auto& slot : slots_)
      if (slot.state == State::Running) running.push_back(&slot.run);
    setup_.view.draw(running);
  }

  const Options& options_;
  FleetSetup& setup_;
  std::list<Slot> slots_;  // a list: the view keeps pointers to the runs
  std::set<std::string> seen_;
  bool watching_ = false;
  bool interrupted_ = false;
};

}  // namespace

std::vector<std::string> workerArguments(const Options& options, const DeviceRecord& device,
                                         unsigned attempt) {
  std::vector<std::string> args{commandSpec(options.command)->name};
  args.insert(args.end(), options.operands.begin(), options.operands.end());
  args.insert(args.end(), {"--device", device.node, "--json"});
  if (options.flow == Flow::Echo) args.insert(args.end(), {"--flow", "echo"});
  if (options.verifyAfter) args.push_back("--verify");
  if (options.verbose) args.push_back("--verbose");
  if (options.sim) {
    args.insert(args.end(), {"--sim", "--sim-devices", std::to_string(options.simDevices)});
    if (options.simLatencyMs > 0)
      args.insert(args.end(), {"--sim-latency", std::to_string(options.simLatencyMs)});
    if (options.simVersion) args.insert(args.end(), {"--sim-version", *options.simVersion});
    for (const auto& fault : options.simFaults) {
      const auto parsed = sim::parseFault(splitDeviceFault(fault).fault);
      if (attempt > 1 && parsed && !parsed.value().repeat) continue;
      args.insert(args.end(), {"--sim-fault", fault});
    }
  }
  return args;
}

bool retryable(int code) {
  return code == kExitExchangeFailed || code == kExitNoDevice;
}

FleetOutcome fleetOutcome(const std::vector<const DeviceRun*>& runs, bool interrupted) {
  std::size_t succeeded = 0;
  std::optional<int> first;
  std::vector<std::pair<std::string, int>> failures;  // device and code, in the devices' order
  std::set<int> codes;
  bool stopped = false;
  for (const DeviceRun* run : runs) {
    const int code = run->exitCode.value_or(kExitExchangeFailed);
    if (code == kExitSuccess) {
      ++succeeded;
      continue;
    }
    if (!first) first = code;
    stopped = stopped || code == kExitInterrupted;
    failures.emplace_back(run->device.node, code);
    codes.insert(code);
  }
  FleetOutcome outcome;
  const std::string count = std::to_string(succeeded) + " of " + std::to_string(runs.size()) +
                            (runs.size() == 1 ? " device" : " devices") + " succeeded";
  if (!first) {
    outcome.summary = count;
    return outcome;
  }
  outcome.exitCode = interrupted && stopped ? kExitInterrupted : *first;
  outcome.summary = count + "; failed: ";
  bool comma = false;
  for (const auto& [node, code] : failures) {
    outcome.summary += (comma ? ", " : "") + node + " (" + std::to_string(code) + ")";
    comma = true;
  }
  if (codes.size() > 1) {
    outcome.summary += interrupted && stopped ? "; exit code 130: the run was stopped"
                                              : "; exit code " + std::to_string(outcome.exitCode) +
                                                    ", the first failing device's in the list";
  }
  return outcome;
}

int runFleet(const Options& options, const std::vector<DeviceRecord>& devices, FleetSetup& setup) {
  FleetRun run(options, setup);
  for (const auto& device : devices) run.start(device);
  return run.loop(false);
}

int runStation(const Options& options, FleetSetup& setup) {
  FleetRun run(options, setup);
  return run.loop(true);
}

}  // namespace nuv::cli
