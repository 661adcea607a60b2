#include "sim/uhid/UsbGadget.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>

namespace nuv::sim::uhid {

namespace {

namespace fs = std::filesystem;

std::optional<nuv::Error> writeAttribute(const std::string& path, const void* data,
                                         std::size_t len) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return nuv::Error::fromErrno("open " + path, errno);
  const ssize_t n = ::write(fd, data, len);
  const int code = errno;
  ::close(fd);
  if (n != static_cast<ssize_t>(len))
    return nuv::Error::fromErrno("write " + path, n < 0 ? code : EIO);
  return std::nullopt;
}

std::optional<nuv::Error> writeText(const std::string& path, const std::string& text) {
  return writeAttribute(path, text.data(), text.size());
}

std::optional<nuv::Error> makeDir(const std::string& path) {
  if (::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST) return std::nullopt;
  return nuv::Error::fromErrno("mkdir " + path, errno);
}

std::string hex(unsigned value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%04x", value);
  return text;
}

std::string firstLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

}  // namespace

nuv::Result<std::unique_ptr<UsbGadget>> UsbGadget::create(const Identity& identity,
                                                          const std::string& name,
                                                          const std::string& configfs,
                                                          const std::string& udc) {
  const std::string gadgets = configfs + "/usb_gadget";
  if (!fs::is_directory(gadgets)) {
    return nuv::Error::message(gadgets +
                               " is not there: mount configfs and load the libcomposite module");
  }
  std::string controller = udc;
  if (controller.empty()) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/sys/class/udc", ec)) {
      controller = entry.path().filename().string();
      break;
    }
    if (controller.empty()) {
      return nuv::Error::message(
          "no USB device controller in /sys/class/udc (load dummy_hcd for one in software)");
    }
  }
  std::unique_ptr<UsbGadget> g(new UsbGadget(gadgets + "/" + name, "hid.usb0"));
  const std::string& r = g->root_;
  const std::string function = r + "/functions/" + g->function_;
  const std::string config = r + "/configs/c.1";
  std::optional<nuv::Error> error;
  auto step = [&](std::optional<nuv::Error> e) {
    if (!error && e) error = std::move(e);
    return !error;
  };
  step(makeDir(r)) && step(writeText(r + "/idVendor", hex(identity.vendor))) &&
      step(writeText(r + "/idProduct", hex(identity.product))) &&
      step(writeText(r + "/bcdDevice", hex(identity.version))) &&
      step(writeText(r + "/bcdUSB", "0x0200")) && step(makeDir(r + "/strings/0x409")) &&
      step(writeText(r + "/strings/0x409/serialnumber", identity.uniq)) &&
      // No manufacturer string: the host would put it before the product name in HID_NAME.
      step(writeText(r + "/strings/0x409/product", identity.name)) && step(makeDir(config)) &&
      step(makeDir(config + "/strings/0x409")) &&
      step(writeText(config + "/strings/0x409/configuration", "update")) &&
      step(makeDir(function)) && step(writeText(function + "/protocol", "0")) &&
      step(writeText(function + "/subclass", "0")) &&
      step(writeText(function + "/report_length", std::to_string(kReportBytes))) &&
      step(writeAttribute(function + "/report_desc", identity.descriptor.data(),
                          identity.descriptor.size()));
  if (!error && ::symlink(function.c_str(), (config + "/" + g->function_).c_str()) != 0) {
    error = nuv::Error::fromErrno("symlink " + config + "/" + g->function_, errno);
  }
  if (!error) {
    error = writeText(r + "/UDC", controller);
    g->bound_ = !error;
  }
  if (!error) {
    // The function's "dev" attribute names the character device as MAJOR:MINOR.
    const std::string dev = firstLine(function + "/dev");
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/sys/class/hidg", ec)) {
      if (firstLine((entry.path() / "dev").string()) == dev) {
        g->devicePath_ = "/dev/" + entry.path().filename().string();
      }
    }
    if (g->devicePath_.empty()) error = nuv::Error::message("no /dev/hidg node for " + function);
  }
  if (error) return *error;  // g's destructor takes down what was built
  return g;
}

std::optional<nuv::Error> UsbGadget::unbind() {
  if (!bound_) return std::nullopt;
  bound_ = false;
  return writeText(root_ + "/UDC", "\n");
}

void UsbGadget::takeDown() {
  (void)unbind();
  // Configfs is taken down in the reverse order of building; a step that fails (because it was
  // never built) changes nothing.
  const std::string config = root_ + "/configs/c.1";
  ::unlink((config + "/" + function_).c_str());
  ::rmdir((config + "/strings/0x409").c_str());
  ::rmdir(config.c_str());
  ::rmdir((root_ + "/functions/" + function_).c_str());
  ::rmdir((root_ + "/strings/0x409").c_str());
  ::rmdir(root_.c_str());
}

UsbGadget::~UsbGadget() {
  takeDown();
}

nuv::Result<std::unique_ptr<GadgetServer>> GadgetServer::open(
    std::unique_ptr<UsbGadget> gadget, std::shared_ptr<UpdateDevice> device) {
  const std::string path = gadget->devicePath();
  const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nuv::Error::fromErrno("open " + path, errno);
  return std::unique_ptr<GadgetServer>(new GadgetServer(std::move(gadget), fd, std::move(device)));
}

GadgetServer::GadgetServer(std::unique_ptr<UsbGadget> gadget, int fd,
                           std::shared_ptr<UpdateDevice> device)
    : gadget_(std::move(gadget)), fd_(fd), engine_(std::move(device)) {
  engine_.restartFrameClock(nuv::realClock().now());
}

GadgetServer::~GadgetServer() {
  if (fd_ >= 0) ::close(fd_);
}

std::optional<nuv::Error> GadgetServer::unplug() {
  engine_.dropPending();
  return gadget_->unbind();
}

Serving::Wait GadgetServer::waitFor() const {
  const short events = static_cast<short>(POLLIN | (blocked_ ? POLLOUT : 0));
  return {fd_, events, blocked_ ? std::nullopt : engine_.nextDue()};
}

ServeStep GadgetServer::serve(short revents) {
  ServeStep result = ServeStep::Idle;
  if (revents & POLLIN) {
    for (;;) {
      const ssize_t n = ::read(fd_, in_.data(), in_.size());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      if (n < 0) return fail(nuv::Error::fromErrno("read " + gadget_->devicePath(), errno));
      if (n == 0) break;
      result = ServeStep::Handled;
      if (engine_.onOutput(in_.data(), static_cast<std::size_t>(n), true, nuv::realClock().now()) ==
          ReportEngine::Outcome::Unplug) {
        if (auto error = unplug()) return fail(*error);
        return ServeStep::Unplugged;
      }
    }
  }
  blocked_ = false;
  bool sent = false;
  auto error = engine_.sendDue(
      nuv::realClock().now(),
      [&](const std::uint8_t* data, std::size_t len, nuv::Error& why) {
        const ssize_t n = ::write(fd_, data, len);
        if (n == static_cast<ssize_t>(len)) return ReportEngine::SendResult::Sent;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
          return ReportEngine::SendResult::TryLater;
        }
        // ESHUTDOWN: the host has not configured the device (or let it go).
        if (n < 0 && errno == ESHUTDOWN) return ReportEngine::SendResult::Dropped;
        why = nuv::Error::fromErrno("write " + gadget_->devicePath(), n < 0 ? errno : EIO);
        return ReportEngine::SendResult::Failed;
      },
      &sent, &blocked_);
  if (error) return fail(*error);
  if (sent) result = ServeStep::Handled;
  return result;
}

}  // namespace nuv::sim::uhid
