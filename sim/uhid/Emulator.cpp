#include "Emulator.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <sstream>

#include "Faults.h"
#include "UhidServer.h"
#include "UsbGadget.h"

namespace sim::uhid {

namespace {

// Reads KEY=VALUE lines of a sysfs uevent file.
std::string ueventValue(const std::filesystem::path& file, std::string_view key) {
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    if (line.size() > key.size() && line.compare(0, key.size(), key) == 0 &&
        line[key.size()] == '=') {
      return line.substr(key.size() + 1);
    }
  }
  return {};
}

bool parseNumber(std::string_view text, long long& value) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size();
}

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
  // The next pending signal, or 0.
  [[nodiscard]] int next() const {
    signalfd_siginfo info{};
    if (::read(fd_, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) return 0;
    return static_cast<int>(info.ssi_signo);
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

}  // namespace

std::string emulatorUsage(std::string_view program) {
  std::ostringstream s;
  s << "Usage: " << program << " [options]\n"
    << "Presents the emulated update device (vendor 0xFFFF, product 0x0100) to this machine's\n"
    << "kernel through /dev/uhid, so that it shows up as a /dev/hidrawN node like the real one.\n"
    << "\n"
    << "  --fault TEXT       commit a fault, e.g. no-reply@#3, wrong-data@0x1000, "
       "late:300@write+,\n"
    << "                     unplug@#100 (repeatable; KIND[:PARAM]@WHERE[+])\n"
    << "  --latency-ms N     answer every command after N milliseconds\n"
    << "  --usb-frames       answer at the next 1 ms frame, as a full-speed USB device does\n"
    << "  --version TEXT     the device's version characters (at most 4; default 1.01)\n"
    << "  --memory-out FILE  write the device's 64 KiB of memory to FILE on exit and on SIGUSR1\n"
    << "  --ready-file FILE  write the hidraw node's path to FILE once the kernel made it\n"
    << "  --uhid PATH        the uhid device node (default /dev/uhid)\n"
    << "  --usb-gadget       be a USB device instead (configfs HID function on the first USB\n"
    << "                     device controller, e.g. dummy_hcd's), bound by the kernel's usbhid\n"
    << "  --name TEXT        the device name the kernel shows\n"
    << "  --uniq TEXT        the device's unique id (default: nuv-uhid-<pid>)\n"
    << "  --help             this text\n"
    << "\n"
    << "SIGINT or SIGTERM stop the device (it is removed from the kernel), SIGUSR2 unplugs it at\n"
    << "once, SIGUSR1 writes the memory file. Needs the right to open /dev/uhid (usually root).\n";
  return s.str();
}

std::variant<EmulatorOptions, std::string> parseEmulatorArguments(
    std::span<const std::string_view> args) {
  EmulatorOptions options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string_view arg = args[i];
    std::string_view value;
    bool hasValue = false;
    if (const auto eq = arg.find('='); arg.starts_with("--") && eq != std::string_view::npos) {
      value = arg.substr(eq + 1);
      arg = arg.substr(0, eq);
      hasValue = true;
    }
    auto needValue = [&]() -> std::optional<std::string> {
      if (hasValue) return std::nullopt;
      if (i + 1 >= args.size()) return std::string(arg) + " needs a value";
      value = args[++i];
      return std::nullopt;
    };
    auto noValue = [&]() -> std::optional<std::string> {
      if (hasValue) return std::string(arg) + " takes no value";
      return std::nullopt;
    };
    std::optional<std::string> problem;
    if (arg == "--help" || arg == "-h") {
      if (!(problem = noValue())) options.help = true;
    } else if (arg == "--usb-gadget") {
      if (!(problem = noValue())) options.usbGadget = true;
    } else if (arg == "--usb-frames") {
      if (!(problem = noValue())) options.device.latency.model = Latency::Model::UsbFrame;
    } else if (arg == "--fault") {
      if (!(problem = needValue())) {
        auto parsed = parseFault(value);
        if (auto* text = std::get_if<std::string>(&parsed)) {
          problem = "--fault " + std::string(value) + ": " + *text;
        } else {
          options.device.faults.push_back(std::get<Fault>(parsed));
        }
      }
    } else if (arg == "--latency-ms") {
      long long ms = 0;
      if (!(problem = needValue())) {
        if (!parseNumber(value, ms) || ms < 0 || ms > 60000) {
          problem = "--latency-ms wants a whole number of milliseconds from 0 to 60000, not '" +
                    std::string(value) + "'";
        } else {
          options.device.latency.model = Latency::Model::Fixed;
          options.device.latency.fixed = std::chrono::milliseconds(ms);
        }
      }
    } else if (arg == "--version") {
      if (!(problem = needValue())) {
        if (value.size() > 4) {
          problem = "--version takes at most 4 characters, not '" + std::string(value) + "'";
        } else {
          options.device.version = std::string(value);
        }
      }
    } else if (arg == "--memory-out") {
      if (!(problem = needValue())) options.memoryFile = std::string(value);
    } else if (arg == "--ready-file") {
      if (!(problem = needValue())) options.readyFile = std::string(value);
    } else if (arg == "--uhid") {
      if (!(problem = needValue())) options.uhidPath = std::string(value);
    } else if (arg == "--name") {
      if (!(problem = needValue())) options.identity.name = std::string(value);
    } else if (arg == "--uniq") {
      if (!(problem = needValue())) options.identity.uniq = std::string(value);
    } else {
      problem = "unknown argument '" + std::string(args[i]) + "'";
    }
    if (problem) return *problem;
  }
  return options;
}

std::optional<HidrawNode> hidrawNodeForUniq(const std::string& uniq, const std::string& sysRoot) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path classDir = fs::path(sysRoot) / "class/hidraw";
  for (const auto& entry : fs::directory_iterator(classDir, ec)) {
    const fs::path uevent = entry.path() / "device/uevent";
    if (ueventValue(uevent, "HID_UNIQ") != uniq) continue;
    return HidrawNode{"/dev/" + entry.path().filename().string(), ueventValue(uevent, "HID_ID")};
  }
  return std::nullopt;
}

std::optional<nuv::Error> writeFileWhole(const std::string& path,
                                         std::span<const std::uint8_t> bytes) {
  // A temporary name of our own beside the file, so that no other file is touched.
  std::string temporary = path + ".XXXXXX";
  const int fd = ::mkstemp(temporary.data());
  if (fd < 0) return nuv::Error::fromErrno("mkstemp " + temporary, errno);
  auto failed = [&](const std::string& call, int code) {
    ::close(fd);
    ::unlink(temporary.c_str());
    return nuv::Error::fromErrno(call + " " + temporary, code);
  };
  if (::fchmod(fd, 0644) != 0) return failed("fchmod", errno);
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return failed("write", n < 0 ? errno : EIO);
    done += static_cast<std::size_t>(n);
  }
  if (::close(fd) != 0) {
    const int code = errno;
    ::unlink(temporary.c_str());
    return nuv::Error::fromErrno("close " + temporary, code);
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    const int code = errno;
    ::unlink(temporary.c_str());
    return nuv::Error::fromErrno("rename " + temporary, code);
  }
  return std::nullopt;
}

std::optional<nuv::Error> writeMemoryFile(const std::string& path,
                                          const std::vector<std::uint8_t>& memory) {
  return writeFileWhole(path, memory);
}

int runEmulator(const EmulatorOptions& options, std::ostream& out, std::ostream& err) {
  const char* me = "nuv-uhid-device: ";
  SignalFd signals;
  if (signals.fd() < 0) {
    err << me << nuv::Error::fromErrno("signalfd", signals.error()).describe() << "\n";
    return 1;
  }
  Identity identity = options.identity;
  if (identity.uniq.empty()) identity.uniq = "nuv-uhid-" + std::to_string(::getpid());
  auto device = std::make_shared<UpdateDevice>(options.device);
  std::unique_ptr<Serving> serving;
  if (options.usbGadget) {
    auto made = UsbGadget::create(identity, "nuv-" + std::to_string(::getpid()));
    if (auto* error = std::get_if<nuv::Error>(&made)) {
      err << me << "cannot make the USB gadget: " << error->describe() << "\n";
      return 1;
    }
    auto gadget = std::move(std::get<std::unique_ptr<UsbGadget>>(made));
    const std::string hidg = gadget->devicePath();
    auto opened = GadgetServer::open(std::move(gadget), device);
    if (auto* error = std::get_if<nuv::Error>(&opened)) {
      err << me << "cannot serve the USB gadget: " << error->describe() << "\n";
      return 1;
    }
    serving = std::move(std::get<std::unique_ptr<GadgetServer>>(opened));
    out << me << "USB gadget \"" << identity.name << "\" (vendor " << hex4(identity.vendor)
        << ", product " << hex4(identity.product) << ", serial " << identity.uniq
        << ") served through " << hidg << std::endl;
  } else {
    auto opened = Channel::open(options.uhidPath);
    if (auto* error = std::get_if<nuv::Error>(&opened)) {
      err << me << "cannot present the device: " << error->describe() << "\n";
      return 1;
    }
    auto server = std::make_unique<Server>(std::move(std::get<Channel>(opened)), device);
    if (auto error = server->create(identity)) {
      err << me << "cannot create the HID device: " << error->describe() << "\n";
      return 1;
    }
    serving = std::move(server);
    out << me << "created \"" << identity.name << "\" (vendor " << hex4(identity.vendor)
        << ", product " << hex4(identity.product) << ", uniq " << identity.uniq << ") through "
        << options.uhidPath << std::endl;
  }
  Serving& server = *serving;

  auto saveMemory = [&]() -> bool {
    if (options.memoryFile.empty()) return true;
    if (auto error = writeMemoryFile(options.memoryFile, device->memory())) {
      err << me << "cannot write the memory file: " << error->describe() << "\n";
      return false;
    }
    return true;
  };

  int status = 0;
  bool stop = false;
  bool named = false;
  const auto nodeDeadline = Clock::now() + options.nodeWait;
  while (!stop) {
    const auto wait = named ? std::chrono::milliseconds(1000) : std::chrono::milliseconds(10);
    const ServeStep step = server.runOnce(signals.fd(), wait);
    if (!named) {
      if (auto node = hidrawNodeForUniq(identity.uniq)) {
        named = true;
        out << me << "hidraw node " << node->path << " (HID_ID=" << node->hidId << ")" << std::endl;
        if (!options.readyFile.empty()) {
          const std::string line = node->path + "\n";
          const auto* bytes = reinterpret_cast<const std::uint8_t*>(line.data());
          if (auto error = writeFileWhole(options.readyFile, {bytes, line.size()})) {
            err << me << "cannot write the ready file: " << error->describe() << "\n";
          }
        }
      } else if (Clock::now() >= nodeDeadline) {
        named = true;  // stop looking; the device may still be served through other nodes
        err << me << "the kernel made no hidraw node for the device within "
            << options.nodeWait.count() << " ms (is the hid-generic driver loaded?)\n";
      }
    }
    switch (step) {
      case ServeStep::Idle:
      case ServeStep::Handled:
        break;
      case ServeStep::ExtraReady:
        while (const int sig = signals.next()) {
          if (sig == SIGUSR1) {
            if (saveMemory()) out << me << "memory written to " << options.memoryFile << std::endl;
          } else if (sig == SIGUSR2) {
            if (auto error = server.unplug()) {
              err << me << "unplug: " << error->describe() << "\n";
              status = 1;
            } else {
              out << me << "unplugged" << std::endl;
            }
            stop = true;
          } else {
            stop = true;
          }
        }
        break;
      case ServeStep::Unplugged:
        out << me << "unplugged by the unplug fault" << std::endl;
        stop = true;
        break;
      case ServeStep::Closed:
        err << me << "the uhid device closed the channel\n";
        status = 1;
        stop = true;
        break;
      case ServeStep::Failed:
        err << me << server.lastError().describe() << "\n";
        status = 1;
        stop = true;
        break;
    }
  }
  if (server.present()) {
    if (auto error = server.unplug()) {
      err << me << "removing the device: " << error->describe() << "\n";
      status = 1;
    }
  }
  if (!saveMemory()) status = 1;
  const ServerStats& stats = server.stats();
  out << me << "stopped after " << stats.outputs << " output reports, " << stats.repliesSent
      << " replies sent";
  if (stats.repliesDropped) out << ", " << stats.repliesDropped << " replies dropped";
  if (!options.memoryFile.empty()) out << "; memory in " << options.memoryFile;
  out << std::endl;
  return status;
}

}  // namespace sim::uhid
