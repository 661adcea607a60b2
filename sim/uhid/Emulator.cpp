#include "sim/uhid/Emulator.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string_view>

#include "protocol/DeviceIdentity.h"
#include "sim/Faults.h"
#include "sim/uhid/UhidIdentity.h"

namespace nuv::sim::uhid {

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

}  // namespace

std::string emulatorUsage(std::string_view program) {
  std::ostringstream s;
  s << "Usage: " << program << " [options]\n"
    << "Presents the emulated update device (vendor 0x"
    << std::string_view(nuv::hexText<4>(kVendorId)) << ", product 0x"
    << std::string_view(nuv::hexText<4>(kProductId)) << ") to this machine's\n"
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

nuv::Result<EmulatorOptions> parseEmulatorArguments(std::span<const std::string_view> args) {
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
        if (!parsed) {
          problem = "--fault " + std::string(value) + ": " + parsed.error().text;
        } else {
          options.device.faults.push_back(parsed.value());
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
    if (problem) return nuv::Error::message(std::move(*problem));
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

std::string numberedFile(const std::string& path, unsigned number) {
  const std::filesystem::path file(path);
  std::filesystem::path numbered = file.parent_path();
  numbered /= file.stem().string() + "-" + std::to_string(number) + file.extension().string();
  return numbered.string();
}

std::optional<nuv::Error> writeMemoryFile(const std::string& path,
                                          const std::vector<std::uint8_t>& memory) {
  return writeFileWhole(path, memory);
}

}  // namespace nuv::sim::uhid
