// The serving loop of the emulated devices (Emulator.h): start-up, signals, the hidraw nodes,
// the ready and memory files.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ostream>

#include "sim/uhid/Emulator.h"
#include "sim/uhid/UhidServer.h"
#include "sim/uhid/UsbGadget.h"

namespace nuv::sim::uhid {

namespace {

struct Signal {
  int number = 0;  // 0: none pending
  // The value sigqueue(3) sent with it (`kill -s USR2 -q N PID`); nothing for kill(2).
  std::optional<int> value;
};

class SignalFd {
 public:
  SignalFd() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : {SIGINT, SIGTERM, SIGUSR1, SIGUSR2}) sigaddset(&set, s);
    if (pthread_sigmask(SIG_BLOCK, &set, &previous_) != 0) return;
    masked_ = true;
    fd_ = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    if (fd_ < 0) error_ = errno;
  }
  ~SignalFd() {
    if (fd_ >= 0) ::close(fd_);
    if (masked_) pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }
  SignalFd(const SignalFd&) = delete;
  SignalFd& operator=(const SignalFd&) = delete;
  [[nodiscard]] int fd() const { return fd_; }
  [[nodiscard]] int error() const { return error_; }
  [[nodiscard]] Signal next() const {
    signalfd_siginfo info{};
    if (::read(fd_, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) return {};
    Signal s{static_cast<int>(info.ssi_signo), std::nullopt};
    if (info.ssi_code == SI_QUEUE) s.value = info.ssi_int;
    return s;
  }

 private:
  sigset_t previous_{};
  bool masked_ = false;
  int fd_ = -1;
  int error_ = 0;
};

std::string hex4(unsigned value) {
  static const char* digits = "0123456789ABCDEF";
  std::string s = "0x0000";
  for (int i = 0; i < 4; ++i) s[5 - i] = digits[(value >> (4 * i)) & 0xF];
  return s;
}

// One device of the run and what the loop knows of it.
struct Presented {
  const EmulatorOptions* options = nullptr;
  Identity identity;
  std::shared_ptr<UpdateDevice> device;
  std::unique_ptr<Serving> serving;
  std::string me;       // the start of its lines: the program, and among several its number
  bool active = false;  // still served: not unplugged, failed or closed
  bool looked = false;  // its hidraw node was found, or given up on
  std::string node;
};

// Makes the device's transport and says so on `out`. False (with the reason on `err`) when it
// cannot be made.
bool present(Presented& p, std::ostream& out, std::ostream& err) {
  const EmulatorOptions& options = *p.options;
  const Identity& identity = p.identity;
  if (options.usbGadget) {
    auto made = UsbGadget::create(identity, "nuv-" + std::to_string(::getpid()));
    if (!made) {
      err << p.me << "cannot make the USB gadget: " << made.error().describe() << "\n";
      return false;
    }
    auto gadget = std::move(made).value();
    const std::string hidg = gadget->devicePath();
    auto opened = GadgetServer::open(std::move(gadget), p.device);
    if (!opened) {
      err << p.me << "cannot serve the USB gadget: " << opened.error().describe() << "\n";
      return false;
    }
    p.serving = std::move(opened).value();
    out << p.me << "USB gadget \"" << identity.name << "\" (vendor " << hex4(identity.vendor)
        << ", product " << hex4(identity.product) << ", serial " << identity.uniq
        << ") served through " << hidg << std::endl;
  } else {
    auto opened = Channel::open(options.uhidPath);
    if (!opened) {
      err << p.me << "cannot present the device: " << opened.error().describe() << "\n";
      return false;
    }
    auto server = std::make_unique<Server>(std::move(opened).value(), p.device);
    if (auto error = server->create(identity)) {
      err << p.me << "cannot create the HID device: " << error->describe() << "\n";
      return false;
    }
    p.serving = std::move(server);
    out << p.me << "created \"" << identity.name << "\" (vendor " << hex4(identity.vendor)
        << ", product " << hex4(identity.product) << ", uniq " << identity.uniq << ") through "
        << options.uhidPath << std::endl;
  }
  p.active = true;
  return true;
}

bool saveMemory(const Presented& p, std::ostream& err) {
  if (p.options->memoryFile.empty()) return true;
  if (auto error = writeMemoryFile(p.options->memoryFile, p.device->memory())) {
    err << p.me << "cannot write the memory file: " << error->describe() << "\n";
    return false;
  }
  return true;
}

// Takes the device from the host; false when that failed.
bool unplugNow(Presented& p, std::ostream& out, std::ostream& err) {
  p.active = false;
  if (auto error = p.serving->unplug()) {
    err << p.me << "unplug: " << error->describe() << "\n";
    return false;
  }
  out << p.me << "unplugged" << std::endl;
  return true;
}

}  // namespace

int runEmulator(const EmulatorOptions& options, std::ostream& out, std::ostream& err) {
  return runEmulators({&options, 1}, out, err);
}

int runEmulators(std::span<const EmulatorOptions> devices, std::ostream& out, std::ostream& err) {
  const std::string program = "nuv-uhid-device: ";
  if (devices.empty()) return 0;
  const EmulatorOptions& first = devices.front();
  if (first.usbGadget && devices.size() > 1) {
    err << program << "the USB gadget path presents one device at a time\n";
    return 1;
  }
  SignalFd signals;
  if (signals.fd() < 0) {
    err << program << nuv::Error::fromErrno("signalfd", signals.error()).describe() << "\n";
    return 1;
  }

  std::vector<Presented> run(devices.size());
  for (std::size_t i = 0; i < devices.size(); ++i) {
    Presented& p = run[i];
    p.options = &devices[i];
    p.identity = devices[i].identity;
    if (p.identity.uniq.empty()) {
      // Appended piece by piece: GCC 12 at -O3 takes `"text" + std::to_string(n)` for an
      // overlapping copy (a false -Wrestrict).
      p.identity.uniq = "nuv-uhid-";
      p.identity.uniq += std::to_string(::getpid());
      if (devices.size() > 1) {
        p.identity.uniq += '-';
        p.identity.uniq += std::to_string(i + 1);
      }
    }
    p.me = devices.size() > 1 ? program + "device " + std::to_string(i + 1) + ": " : program;
    p.device = std::make_shared<UpdateDevice>(devices[i].device);
    if (!present(p, out, err)) {
      // Whatever was presented before goes again: all of them or none.
      for (std::size_t k = 0; k < i; ++k) (void)run[k].serving->unplug();
      return 1;
    }
  }

  int status = 0;
  bool stop = false;
  bool readyWritten = false;
  const auto nodeDeadline = nuv::realClock().now() + first.nodeWait;
  std::vector<Serving*> members(run.size());
  std::vector<ServeStep> steps(run.size());
  std::vector<pollfd> polls(run.size() + 1);

  // The kernel makes the hidraw nodes a moment after each device was created. Once every
  // device has one, the ready file lists them, one a line, in the devices' order.
  auto lookForNodes = [&]() {
    bool all = true;
    for (Presented& p : run) {
      if (p.looked) continue;
      if (!p.active) {
        p.looked = true;  // gone before its node was seen
      } else if (auto node = hidrawNodeForUniq(p.identity.uniq)) {
        p.looked = true;
        p.node = node->path;
        out << p.me << "hidraw node " << node->path << " (HID_ID=" << node->hidId << ")"
            << std::endl;
      } else if (nuv::realClock().now() >= nodeDeadline) {
        p.looked = true;  // stop looking; the device may still be served through other nodes
        err << p.me << "the kernel made no hidraw node for the device within "
            << first.nodeWait.count() << " ms (is the hid-generic driver loaded?)\n";
      } else {
        all = false;
      }
    }
    if (!all || readyWritten) return;
    readyWritten = true;
    const bool everyNode =
        std::all_of(run.begin(), run.end(), [](const Presented& p) { return !p.node.empty(); });
    if (first.readyFile.empty() || !everyNode) return;
    std::string lines;
    for (const Presented& p : run) lines += p.node + "\n";
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(lines.data());
    if (auto error = writeFileWhole(first.readyFile, {bytes, lines.size()})) {
      err << program << "cannot write the ready file: " << error->describe() << "\n";
    }
  };

  // SIGUSR2 unplugs every device, or with the value N only device N.
  auto unplugSignal = [&](const Signal& signal) {
    const int number = signal.value.value_or(0);
    if (number < 0 || static_cast<std::size_t>(number) > run.size()) {
      err << program << "SIGUSR2 names device " << number << "; there are " << run.size() << "\n";
      return;
    }
    for (std::size_t i = 0; i < run.size(); ++i) {
      if (number != 0 && i + 1 != static_cast<std::size_t>(number)) continue;
      if (run[i].active && !unplugNow(run[i], out, err)) status = 1;
    }
  };

  while (!stop) {
    for (std::size_t i = 0; i < run.size(); ++i)
      members[i] = run[i].active ? run[i].serving.get() : nullptr;
    const bool naming = !readyWritten;
    const auto wait = naming ? std::chrono::milliseconds(10) : std::chrono::milliseconds(1000);
    nuv::Error pollError;
    const ServeStep turn = serveTogether(members, steps, signals.fd(), wait, polls, &pollError);
    if (turn == ServeStep::Failed) {
      err << program << pollError.describe() << "\n";
      status = 1;
      break;
    }
    if (naming) lookForNodes();
    for (std::size_t i = 0; i < run.size(); ++i) {
      Presented& p = run[i];
      switch (steps[i]) {
        case ServeStep::Idle:
        case ServeStep::Handled:
        case ServeStep::ExtraReady:
          break;
        case ServeStep::Unplugged:
          out << p.me << "unplugged by the unplug fault" << std::endl;
          p.active = false;
          break;
        case ServeStep::Closed:
          err << p.me << "the uhid device closed the channel\n";
          status = 1;
          p.active = false;
          break;
        case ServeStep::Failed:
          err << p.me << p.serving->lastError().describe() << "\n";
          status = 1;
          p.active = false;
          break;
      }
    }
    if (turn == ServeStep::ExtraReady) {
      for (Signal signal = signals.next(); signal.number != 0; signal = signals.next()) {
        if (signal.number == SIGUSR1) {
          for (const Presented& p : run)
            if (!p.options->memoryFile.empty() && saveMemory(p, err))
              out << p.me << "memory written to " << p.options->memoryFile << std::endl;
        } else if (signal.number == SIGUSR2) {
          unplugSignal(signal);
        } else {
          stop = true;
        }
      }
    }
    // The run ends with its last device.
    if (std::none_of(run.begin(), run.end(), [](const Presented& p) { return p.active; }))
      stop = true;
  }

  for (Presented& p : run) {
    if (p.serving->present()) {
      if (auto error = p.serving->unplug()) {
        err << p.me << "removing the device: " << error->describe() << "\n";
        status = 1;
      }
    }
    if (!saveMemory(p, err)) status = 1;
    const ServerStats& stats = p.serving->stats();
    out << p.me << "stopped after " << stats.outputs << " output reports, " << stats.repliesSent
        << " replies sent";
    if (stats.repliesDropped) out << ", " << stats.repliesDropped << " replies dropped";
    if (!p.options->memoryFile.empty()) out << "; memory in " << p.options->memoryFile;
    out << std::endl;
  }
  return status;
}

}  // namespace nuv::sim::uhid
