#include "cli/DeviceCommands.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <variant>

#include "cli/ExitCodes.h"
#include "cli/Failure.h"
#include "cli/Files.h"
#include "cli/SelectDevices.h"
#include "cli/SimSetup.h"
#include "protocol/HIDProto.h"
#include "protocol/UpdateImage.h"

#ifdef __linux__
#include <sys/stat.h>

#include <cerrno>

#include "platform/hidraw/Hidraw.h"
#endif

namespace nuv::cli {
namespace {

namespace image = nuv::image;

constexpr std::uint16_t kUpdateVendor = 0xFFFF;
constexpr std::uint16_t kUpdateProduct = 0x0100;

#ifdef __linux__
// The update device's node that `given` names: the node itself or a link to it (a udev
// symlink), told by its device number. `given` unchanged when it cannot be looked at, so that
// opening it reports why; nothing when it is no attached update device.
[[nodiscard]] std::optional<std::string> updateDeviceNodeOf(
    const std::string& given, const std::vector<nuv::hidraw::HidrawDevice>& devices) {
  struct stat named {};
  if (::stat(given.c_str(), &named) != 0) return given;
  const auto number = statCharacterDevice(given);  // the same test as a --device selector's
  if (!number) return std::nullopt;
  for (const auto& device : devices)
    if (statCharacterDevice(device.devnode) == number) return device.devnode;
  return std::nullopt;
}
#endif

std::string hex4(std::uint32_t v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%04X", v);
  return buf;
}

}  // namespace

int verifyDevice(ReportLink& link, std::span<const std::uint8_t> imageBytes, bool withTail,
                 Output& out, std::chrono::milliseconds replyTimeout, DeviceState state,
                 std::string_view hint) {
  const auto firmware = image::unpack(imageBytes);
  const std::uint32_t end = withTail ? 0x10000 : image::kFirmwareSize;
  std::uint32_t mismatches = 0;
  std::optional<std::uint32_t> first;
  const auto fail = [&](Symptom symptom, std::uint32_t address, const char* status) {
    out.status(status, Tone::Failure);
    FailureReport failure;
    failure.symptom = symptom;
    failure.step = "read";
    failure.address = static_cast<std::uint16_t>(address);
    failure.state = state;
    failure.next = state == DeviceState::Untouched
                       ? "check the cable, replug the device and run verify again"
                       : "replug the device and run vornex-cli verify with the image";
    out.result(kExitExchangeFailed, "", &failure);
    return kExitExchangeFailed;
  };
  out.status("Verifying...");
  for (std::uint32_t a = 0; a < end; a += 4) {
    out.progress(Phase::Verify, a, end, a);
    std::uint8_t command[8];
    std::uint8_t reply[8];
    (void)HostGenerateReadCommand(command, 8, static_cast<std::uint16_t>(a));
    nuv::Error error;
    switch (link.exchange(command, reply, replyTimeout, &error)) {
      case nuv::IoStatus::Ok:
        break;
      case nuv::IoStatus::TimedOut:
        return fail(Symptom::Timeout, a, "Time out  error");
      case nuv::IoStatus::Gone:
        return fail(Symptom::DeviceGone, a, "Data error");
      default:
        out.message("Read at " + hex4(a) + ": " + error.describe(), true);
        return fail(Symptom::SendFailed, a, "Data error");
    }
    if (reply[0] != kCmdRead || reply[1] != (a & 0xFF) || reply[2] != (a >> 8))
      return fail(Symptom::DataError, a, "Data error");
    for (std::uint32_t j = 0; j < 4; ++j) {
      const std::uint8_t want = a + j < image::kFirmwareSize ? firmware[a + j] : 0x00;
      if (reply[3 + j] == want) continue;
      if (!first) first = a + j;
      ++mismatches;
    }
  }
  out.progress(Phase::Verify, end, end, end - 4);
  if (mismatches == 0) {
    out.status("Verified: the device holds the image", Tone::Success);
    out.result(kExitSuccess, "");
    return kExitSuccess;
  }
  out.status("Verify failed", Tone::Failure);
  out.result(kExitVerifyMismatch, std::to_string(mismatches) + " bytes differ, the first at " +
                                      hex4(*first) + std::string(hint));
  return kExitVerifyMismatch;
}

std::optional<int> checkDeviceAccess(const Options& options, Output& out, std::string* pathOut) {
  if (options.sim) return std::nullopt;
#ifdef __linux__
  namespace hr = nuv::hidraw;
  auto enumerator = hr::Enumerator::create(hr::DeviceFilter{kUpdateVendor, kUpdateProduct});
  std::optional<std::vector<hr::HidrawDevice>> devices;
  if (enumerator) {
    if (auto scanned = enumerator.value().scan()) devices = std::move(scanned).value();
  }
  std::string path = options.devicePath;
  if (path.empty()) {
    if (!devices) {
      if (!enumerator) out.message(enumerator.error().describe(), true);
      out.result(kExitNoDevice, "cannot list HID devices");
      return kExitNoDevice;
    }
    if (devices->empty()) {
      out.result(kExitNoDevice, "no update device (USB ffff:0100) is attached");
      return kExitNoDevice;
    }
    path = devices->front().devnode;
  } else if (devices) {
    // Without udev's list the node cannot be told apart, and the flow finds out itself.
    auto node = updateDeviceNodeOf(path, *devices);
    if (!node) {
      out.result(kExitNoDevice, path + " is not an attached update device (USB ffff:0100)");
      return kExitNoDevice;
    }
    path = *node;
  }
  auto node = hr::Node::open(path, hr::OpenMode::ReadWrite);
  if (!node) {
    const int code = node.error().code;
    out.message(node.error().describe(), true);
    if (code == EACCES || code == EPERM) {
      out.result(kExitNoDevice, "permission denied on " + path +
                                    ": install the udev rule (see the README's Linux section)");
    } else {
      out.result(kExitNoDevice, "cannot open " + path);
    }
    return kExitNoDevice;
  }
  if (pathOut != nullptr) *pathOut = path;
  return std::nullopt;
#else
  (void)pathOut;
  out.result(kExitNoDevice, "no device access on this system");
  return kExitNoDevice;
#endif
}

int runList(const Options& options, Output& out) {
  // Every device unless --device names some; --all is the same as none.
  Options listed = options;
  listed.allDevices = options.deviceSelectors.empty();
  auto picked = findSelectedDevices(listed, out);
  if (auto* refused = std::get_if<int>(&picked)) return *refused;
  int usable = 0;
  bool denied = false;
  for (const DeviceRecord& d : std::get<std::vector<DeviceRecord>>(picked)) {
    out.record(deviceJson(d), deviceLine(d));
    usable += d.access == Access::Granted ? 1 : 0;
    denied = denied || d.access == Access::Denied;
  }
  if (usable > 0) {
    out.result(kExitSuccess, "");
    return kExitSuccess;
  }
  out.result(kExitNoDevice, denied ? "the update device is there but this user may not open it"
                                   : "no update device (USB ffff:0100) can be opened");
  return kExitNoDevice;
}

int runVerify(const Options& options, Output& out, const SessionIo& io) {
  auto file = readFile(options.operands.at(0), image::kImageSize);
  if (!file) {
    out.message(file.error().describe(), true);
    out.result(kExitFileError, "the image to compare with cannot be read");
    return kExitFileError;
  }
  const FileBytes& bytes = file.value();
  if (!image::sizeAccepted(bytes.size)) {
    out.message("Filesize is error", true);
    out.result(kExitImageRefused, options.operands[0] + ": an update image is exactly 65536 bytes");
    return kExitImageRefused;
  }
  const bool withTail = options.flow == Flow::Echo;
  if (options.sim) {
    // A fresh emulated device holds no image: this shows what a mismatch report looks like.
    SimSetup& s = simFor(options, io);
    auto link = openSimLink(*s.bus, s.path);
    return verifyDevice(*link, bytes.bytes, withTail, out, std::chrono::milliseconds(4200),
                        DeviceState::Untouched,
                        "; the emulated device starts blank: download --sim --verify writes "
                        "the image first and then compares");
  }
#ifdef __linux__
  std::string path;
  if (auto refused = checkDeviceAccess(options, out, &path)) return *refused;
  nuv::Error why;
  auto link = openHidrawLink(path, why, io.systemCalls());
  if (!link) {
    out.message(why.describe(), true);
    out.result(kExitNoDevice, "cannot open " + path);
    return kExitNoDevice;
  }
  return verifyDevice(*link, bytes.bytes, withTail, out);
#else
  out.result(kExitNoDevice, "no device access on this system");
  return kExitNoDevice;
#endif
}

int verifyAfterDownload(const Options& options, SimSetup& sim, const std::string& devicePath,
                        const std::string& imagePath, bool withTail, Output& out,
                        const SessionIo& io) {
  auto file = readFile(imagePath, image::kImageSize);
  if (!file) {
    out.message(file.error().describe(), true);
    out.result(kExitFileError, "the image cannot be read again for the verify");
    return kExitFileError;
  }
  std::unique_ptr<ReportLink> link;
  nuv::Error why;
  if (options.sim) {
    link = openSimLink(*sim.bus, sim.path);
  }
#ifdef __linux__
  else {
    link = openHidrawLink(devicePath, why, io.systemCalls());
  }
#endif
  if (!link) {
    out.message(why.describe(), true);
    out.result(kExitNoDevice, "the device cannot be opened for the verify");
    return kExitNoDevice;
  }
  return verifyDevice(*link, file.value().bytes, withTail, out, std::chrono::milliseconds(4200),
                      DeviceState::Burnt);
}

}  // namespace nuv::cli
