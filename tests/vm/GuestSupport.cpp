#include "tests/vm/GuestSupport.h"

#include <fcntl.h>
#include <libudev.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include "protocol/ByteSource.h"
#include "protocol/HIDProto.h"
#include "protocol/UpdateImage.h"

extern char** environ;

namespace vmtest {

namespace {

std::string readFirstLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

std::string property(udev_device* d, const char* key) {
  const char* v = d ? udev_device_get_property_value(d, key) : nullptr;
  return v ? v : "";
}

}  // namespace

DeviceProcess::~DeviceProcess() {
  if (pid_ > 0) stop();
}

bool DeviceProcess::start(const std::vector<std::string>& args) {
  const char* program = std::getenv("NUV_UHID_DEVICE");
  if (!program || !*program) {
    error_ = "NUV_UHID_DEVICE does not name the nuv-uhid-device program";
    return false;
  }
  std::string dirTemplate = (std::filesystem::temp_directory_path() / "nuv-vm-XXXXXX").string();
  if (!mkdtemp(dirTemplate.data())) {
    error_ = "mkdtemp " + dirTemplate + ": " + std::strerror(errno);
    return false;
  }
  dir_ = dirTemplate;
  // Unique among the devices of this VM run: the process and the moment it asked.
  uniq_ = "nuv-vmtest-" + std::to_string(::getpid()) + "-" +
          std::to_string(std::chrono::steady_clock::now().time_since_epoch().count() % 1000000000);
  std::vector<std::string> argv = {program,        "--uniq",       uniq_,           "--ready-file",
                                   dir_ + "/node", "--memory-out", dir_ + "/memory"};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> raw;
  for (auto& a : argv) raw.push_back(a.data());
  raw.push_back(nullptr);
  if (const int rc = posix_spawn(&pid_, program, nullptr, nullptr, raw.data(), environ); rc != 0) {
    error_ = std::string("posix_spawn ") + program + ": " + std::strerror(rc);
    pid_ = -1;
    return false;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    node_ = readFirstLine(dir_ + "/node");
    if (!node_.empty()) return true;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      error_ = "nuv-uhid-device ended before its hidraw node appeared (status " +
               std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + ")";
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  error_ = "no hidraw node for the device within 10 s";
  return false;
}

void DeviceProcess::unplug() const {
  if (pid_ > 0) kill(pid_, SIGUSR2);
}

std::optional<int> DeviceProcess::waitExit(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return std::nullopt;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  do {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  } while (std::chrono::steady_clock::now() < deadline);
  return std::nullopt;
}

int DeviceProcess::stop() {
  if (pid_ <= 0) return -1;
  kill(pid_, SIGTERM);
  if (auto status = waitExit(std::chrono::seconds(10))) return *status;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
  return -1;
}

std::chrono::nanoseconds DeviceProcess::cpuTime() const {
  if (pid_ <= 0) return {};
  // Fields 14 and 15 of /proc/PID/stat, after the parenthesised command name.
  std::ifstream in("/proc/" + std::to_string(pid_) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto close = stat.rfind(')');
  if (close == std::string::npos) return {};
  std::istringstream fields(stat.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  const long tick = sysconf(_SC_CLK_TCK);
  return std::chrono::nanoseconds((utime + stime) * 1000000000ULL /
                                  static_cast<unsigned long long>(tick));
}

std::vector<std::uint8_t> DeviceProcess::memory() const {
  std::ifstream in(dir_ + "/memory", std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<UdevHidraw> hidrawNodesWithId(const std::string& hidId) {
  std::vector<UdevHidraw> found;
  udev* u = udev_new();
  if (!u) return found;
  udev_enumerate* e = udev_enumerate_new(u);
  udev_enumerate_add_match_subsystem(e, "hidraw");
  udev_enumerate_scan_devices(e);
  udev_list_entry* entry = nullptr;
  udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(e)) {
    udev_device* d = udev_device_new_from_syspath(u, udev_list_entry_get_name(entry));
    if (!d) continue;
    udev_device* hid = udev_device_get_parent_with_subsystem_devtype(d, "hid", nullptr);
    if (property(hid, "HID_ID") == hidId) {
      const char* node = udev_device_get_devnode(d);
      found.push_back({node ? node : "", property(hid, "HID_ID"), property(hid, "HID_UNIQ"),
                       property(hid, "HID_NAME")});
    }
    udev_device_unref(d);
  }
  udev_enumerate_unref(e);
  udev_unref(u);
  return found;
}

Hidraw::Hidraw(const std::string& node) : fd_(::open(node.c_str(), O_RDWR | O_CLOEXEC)) {}

Hidraw::~Hidraw() {
  if (fd_ >= 0) ::close(fd_);
}

bool Hidraw::writeCommand(const std::uint8_t command[8]) {
  std::uint8_t out[9] = {0x00};
  std::memcpy(out + 1, command, 8);
  return ::write(fd_, out, sizeof out) == static_cast<ssize_t>(sizeof out);
}

int Hidraw::readReport(std::uint8_t* buf, std::size_t capacity, std::chrono::milliseconds timeout) {
  pollfd p{fd_, POLLIN, 0};
  const int ready = ::poll(&p, 1, static_cast<int>(timeout.count()));
  if (ready < 0) return -errno;
  if (ready == 0) return 0;
  const ssize_t n = ::read(fd_, buf, capacity);
  if (n < 0) return -errno;
  if (n == 0) return -ENODEV;  // end of file: the node went away
  return static_cast<int>(n);
}

bool downloadImage(Hidraw& host, const std::vector<std::uint8_t>& image, std::string* why) {
  std::uint8_t command[8];
  std::uint8_t reply[64];
  auto exchange = [&](const char* step) {
    if (!host.writeCommand(command)) {
      *why = std::string(step) + ": write failed";
      return false;
    }
    const int n = host.readReport(reply, sizeof reply, std::chrono::milliseconds(2000));
    if (n != 8 || std::memcmp(reply, command, 3) != 0) {
      *why = std::string(step) + ": no matching reply (" + std::to_string(n) + ")";
      return false;
    }
    return true;
  };
  if (HostGenerateLinkCommand(command, 8) != 0 || !exchange("Link")) return false;
  if (HostGenerateFormatCommand(command, 8) != 0 || !exchange("Format")) return false;
  nuv::MemorySource source(image);
  nuv::image::WindowsImageWalk walk(source);
  do {
    nuv::image::WriteChunk chunk;
    if (!walk.readChunk(chunk)) {
      *why = "the image walk failed";
      return false;
    }
    if (HostGenerateWriteCommand(command, 8, chunk.address, chunk.data) != 0 || !exchange("Write"))
      return false;
  } while (walk.advance());
  return HostGenerateBurnCommand(command, 8) == 0 && exchange("Burn");
}

std::chrono::nanoseconds processCpuTime() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
}

}  // namespace vmtest
