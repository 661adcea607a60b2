// The emulated update device (sim::UpdateDevice through the uhid report engine) as a hidraw
// device a real browser can find: a pty stands for the node, a sysfs tree on the tmpfs the
// harness mounted describes it, and udev-style netlink messages announce it. Meant to run only
// inside the private namespaces run-browser-suite.sh makes.
//
// Usage: nuv-pty-hid-device DEVICES_DIR CLASS_DIR
//   DEVICES_DIR: a tmpfs under /sys/devices/ for the device tree; CLASS_DIR: the tmpfs over
//   /sys/class/hidraw. Commands on standard input, one a line, each answered by one line:
//     plug | unplug | fault KIND@WHERE | version TEXT | latency MS | reset | compare IMAGE | quit
//   "latency" makes the device answer every command MS milliseconds after it arrived.
//   "compare" answers "same" when the memory the device burnt holds the image's firmware
//   (addresses 0x0000..0xFBFF), else "differs N" with the number of bytes that differ.
#include <fcntl.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "protocol/Clock.h"
#include "protocol/UpdateImage.h"
#include "sim/Faults.h"
#include "sim/UpdateDevice.h"
#include "sim/uhid/ReportEngine.h"
#include "sim/uhid/UhidIdentity.h"

namespace {

namespace fs = std::filesystem;
using nuv::sim::uhid::kReportBytes;
using nuv::sim::uhid::ReportEngine;

void writeFile(const fs::path& path, std::string_view text) {
  std::ofstream out(path, std::ios::binary);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

// Sends a uevent in the kernel's own format to udev's multicast group, which is where a
// libudev monitor listens when no udev daemon relays events.
void announce(const std::string& action, const std::string& devpath, unsigned major, unsigned minor,
              const std::string& devname, unsigned seqnum) {
  std::string message = action + "@" + devpath;
  message += '\0';
  for (const std::string& pair :
       {"ACTION=" + action, "DEVPATH=" + devpath, std::string("SUBSYSTEM=hidraw"),
        "DEVNAME=" + devname, "MAJOR=" + std::to_string(major), "MINOR=" + std::to_string(minor),
        "SEQNUM=" + std::to_string(seqnum)}) {
    message += pair;
    message += '\0';
  }
  const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
  if (fd < 0) return std::perror("netlink socket");
  sockaddr_nl to{};
  to.nl_family = AF_NETLINK;
  to.nl_groups = 2;  // udev's group
  if (sendto(fd, message.data(), message.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) <
      0)
    std::perror("netlink send");
  close(fd);
}

class PtyHidDevice {
 public:
  PtyHidDevice(fs::path devices, fs::path classDir)
      : devices_(std::move(devices)), classDir_(std::move(classDir)) {
    reset();
  }

  void reset() {
    device_ = std::make_shared<nuv::sim::UpdateDevice>();
    engine_ = std::make_unique<ReportEngine>(device_);
  }
  nuv::sim::UpdateDevice& device() { return *device_; }
  [[nodiscard]] bool plugged() const { return master_ >= 0; }

  std::string plug() {
    if (plugged()) return "error already plugged";
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return "error pty";
    const std::string slaveName = ptsname(master_);
    const int slave = open(slaveName.c_str(), O_RDWR | O_CLOEXEC);
    if (slave < 0) return "error slave";
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    raw.c_cc[VMIN] = kReportBytes;  // whole input reports only
    raw.c_cc[VTIME] = 0;
    tcsetattr(slave, TCSANOW, &raw);
    // The node must not become the browser's controlling terminal: its unplug would hang the
    // browser up. This process claims it instead.
    (void)ioctl(slave, TIOCSCTTY, 0);
    struct stat status {};
    fstat(slave, &status);
    close(slave);
    major_ = major(status.st_rdev);
    minor_ = minor(status.st_rdev);
    devname_ = slaveName.substr(std::string("/dev/").size());
    ++instance_;
    writeTree();
    announce("add", hidrawDevpath(), major_, minor_, devname_, ++seqnum_);
    input_.clear();
    return "ok plugged " + devname_;
  }

  std::string unplug() {
    if (!plugged()) return "error not plugged";
    std::error_code ignored;
    fs::remove(classDir_ / "hidraw0", ignored);
    fs::remove_all(devices_ / "usb1", ignored);
    engine_->dropPending();
    announce("remove", hidrawDevpath(), major_, minor_, devname_, ++seqnum_);
    // The node goes a moment after the event, as a hidraw node's reads fail once the kernel
    // has announced the removal: a pty closed first would hand the browser an empty read,
    // which it takes for a report of zeros.
    usleep(200 * 1000);
    close(master_);
    master_ = -1;
    return "ok";
  }

  // Reads what the browser wrote and hands every whole output report to the device.
  void readOutput() {
    std::uint8_t buffer[512];
    const ssize_t n = read(master_, buffer, sizeof buffer);
    if (n <= 0) return;
    input_.insert(input_.end(), buffer, buffer + n);
    constexpr std::size_t kFramed = kReportBytes + 1;
    while (input_.size() >= kFramed) {
      const auto outcome = engine_->onOutput(input_.data(), kFramed, false, nuv::realClock().now());
      input_.erase(input_.begin(), input_.begin() + kFramed);
      if (outcome == ReportEngine::Outcome::Unplug) {
        std::cout << "event unplugged" << std::endl;
        (void)unplug();
        return;
      }
    }
  }

  // Sends every reply that is due; nobody reading the node drops them, as hidraw does.
  void sendDue(bool nodeOpen) {
    const auto error = engine_->sendDue(
        nuv::realClock().now(), [&](const std::uint8_t* bytes, std::size_t length, nuv::Error&) {
          if (!plugged() || !nodeOpen) return ReportEngine::SendResult::Dropped;
          std::uint8_t report[kReportBytes] = {};
          std::copy_n(bytes, std::min<std::size_t>(length, kReportBytes), report);
          return write(master_, report, sizeof report) == static_cast<ssize_t>(sizeof report)
                     ? ReportEngine::SendResult::Sent
                     : ReportEngine::SendResult::Dropped;
        });
    (void)error;
  }

  [[nodiscard]] int master() const { return master_; }
  [[nodiscard]] std::optional<nuv::Clock::time_point> nextDue() const { return engine_->nextDue(); }

 private:
  [[nodiscard]] fs::path hidDir() const {
    char name[32];
    std::snprintf(name, sizeof name, "0003:FFFF:0100.%04X", instance_);
    return devices_ / "usb1" / "1-1" / "1-1:1.0" / name;
  }
  [[nodiscard]] std::string hidrawDevpath() const {
    // The device's path as udev names it: under /sys, without it.
    return (hidDir() / "hidraw" / "hidraw0").string().substr(std::string("/sys").size());
  }

  void writeTree() {
    const fs::path hid = hidDir();
    const fs::path hidraw = hid / "hidraw" / "hidraw0";
    fs::create_directories(hidraw);
    const nuv::sim::uhid::Identity identity;
    writeFile(hid / "uevent",
              "DRIVER=hid-generic\nHID_ID=0003:0000FFFF:00000100\nHID_NAME=" + identity.name +
                  "\nHID_PHYS=usb-0000:00:14.0-1/input0\nHID_UNIQ=web-" +
                  std::to_string(instance_) + "\nMODALIAS=hid:b0003g0001v0000FFFFp00000100\n");
    writeFile(hid / "report_descriptor",
              std::string_view(reinterpret_cast<const char*>(identity.descriptor.data()),
                               identity.descriptor.size()));
    fs::create_symlink("/sys/bus/hid", hid / "subsystem");
    const std::string numbers = std::to_string(major_) + ":" + std::to_string(minor_);
    writeFile(hidraw / "uevent", "MAJOR=" + std::to_string(major_) + "\nMINOR=" +
                                     std::to_string(minor_) + "\nDEVNAME=" + devname_ + "\n");
    writeFile(hidraw / "dev", numbers + "\n");
    fs::create_symlink("/sys/class/hidraw", hidraw / "subsystem");
    fs::create_symlink(hidraw, classDir_ / "hidraw0");
  }

  fs::path devices_;
  fs::path classDir_;
  std::shared_ptr<nuv::sim::UpdateDevice> device_;
  std::unique_ptr<ReportEngine> engine_;
  int master_ = -1;
  unsigned major_ = 0;
  unsigned minor_ = 0;
  std::string devname_;
  unsigned instance_ = 0;
  unsigned seqnum_ = 1000;
  std::vector<std::uint8_t> input_;
};

std::string compare(nuv::sim::UpdateDevice& device, const std::string& imagePath) {
  std::ifstream in(imagePath, std::ios::binary);
  const std::vector<std::uint8_t> image((std::istreambuf_iterator<char>(in)), {});
  if (image.size() != nuv::image::kImageSize) return "error image size";
  const std::vector<std::uint8_t> firmware = nuv::image::unpack(image);
  const std::vector<std::uint8_t> burnt = device.burnt();
  std::size_t differing = 0;
  for (std::size_t i = 0; i < firmware.size(); ++i)
    if (i >= burnt.size() || burnt[i] != firmware[i]) ++differing;
  return differing == 0 ? "same" : "differs " + std::to_string(differing);
}

std::string handle(PtyHidDevice& pty, const std::string& line, bool& quit) {
  std::istringstream words(line);
  std::string command, argument;
  words >> command;
  std::getline(words >> std::ws, argument);
  if (command == "plug") return pty.plug();
  if (command == "unplug") return pty.unplug();
  if (command == "reset") {
    pty.reset();
    return "ok";
  }
  if (command == "version") {
    pty.device().setVersion(argument);
    return "ok";
  }
  if (command == "latency") {
    int milliseconds = -1;
    std::istringstream(argument) >> milliseconds;
    if (milliseconds < 0 || milliseconds > 60000) return "error latency wants 0 to 60000 ms";
    pty.device().setLatency(
        {nuv::sim::Latency::Model::Fixed, std::chrono::milliseconds(milliseconds)});
    return "ok";
  }
  if (command == "fault") {
    auto fault = nuv::sim::parseFault(argument);
    if (!fault.ok()) return "error " + fault.error().describe();
    pty.device().addFault(fault.value());
    return "ok";
  }
  if (command == "compare") return compare(pty.device(), argument);
  if (command == "quit") {
    quit = true;
    return "ok";
  }
  return "error unknown command";
}

// How often a node that nobody has open is looked at again.
constexpr std::chrono::nanoseconds kClosedLook = std::chrono::milliseconds(5);

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: nuv-pty-hid-device DEVICES_DIR CLASS_DIR\n";
    return 2;
  }
  std::signal(SIGHUP, SIG_IGN);
  setsid();
  // Timers end when asked, not up to the default 50 us later.
  (void)prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  PtyHidDevice pty(argv[1], argv[2]);
  std::string pending;
  for (bool quit = false; !quit;) {
    pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {pty.master(), POLLIN, 0}};
    // Replies go out when due to the microsecond, as the CLI's emulated device sends them: a
    // wait rounded up to whole milliseconds would add most of a millisecond to each exchange.
    std::optional<std::chrono::nanoseconds> wait;
    if (const auto due = pty.nextDue())
      wait = std::max<std::chrono::nanoseconds>(std::chrono::nanoseconds(0),
                                                *due - nuv::realClock().now());
    // The master reports a hang-up while nobody has the node open: then it is looked at
    // again every few milliseconds rather than waited on.
    bool nodeOpen = false;
    if (pty.plugged()) {
      pollfd probe{pty.master(), POLLIN, 0};
      poll(&probe, 1, 0);
      nodeOpen = (probe.revents & POLLHUP) == 0;
      if (!nodeOpen)
        wait = std::min<std::chrono::nanoseconds>(wait.value_or(kClosedLook), kClosedLook);
    }
    const nfds_t count = pty.plugged() && nodeOpen ? 2 : 1;
    timespec timeout{};
    if (wait) {
      timeout.tv_sec = static_cast<time_t>(wait->count() / 1'000'000'000);
      timeout.tv_nsec = static_cast<long>(wait->count() % 1'000'000'000);
    }
    if (ppoll(fds, count, wait ? &timeout : nullptr, nullptr) < 0 && errno != EINTR) return 1;
    if (fds[0].revents & (POLLIN | POLLHUP)) {
      char buffer[4096];
      const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
      if (n <= 0) break;
      pending.append(buffer, static_cast<std::size_t>(n));
      for (std::size_t end; !quit && (end = pending.find('\n')) != std::string::npos;) {
        const std::string line = pending.substr(0, end);
        pending.erase(0, end + 1);
        std::cout << handle(pty, line, quit) << std::endl;
      }
    }
    if (count == 2 && (fds[1].revents & POLLIN)) pty.readOutput();
    pty.sendDue(nodeOpen);
  }
  if (pty.plugged()) (void)pty.unplug();
  return 0;
}
