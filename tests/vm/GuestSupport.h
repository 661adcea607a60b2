// Helpers of the programs that run inside the test VM, against the kernel's HID stack: the
// emulated update device as a child process (nuv-uhid-device), the lookup of hidraw nodes
// through udev, and a hidraw handle with reads that cannot hang a test.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vmtest {

// HID_ID of the update device as the kernel shows it: bus USB, vendor 0xFFFF, product 0x0100.
inline constexpr const char* kUpdateDeviceHidId = "0003:0000FFFF:00000100";

// nuv-uhid-device running as a child process. The program's path comes from the environment
// variable NUV_UHID_DEVICE.
class DeviceProcess {
 public:
  DeviceProcess() = default;
  ~DeviceProcess();  // stops the device if it still runs
  DeviceProcess(const DeviceProcess&) = delete;
  DeviceProcess& operator=(const DeviceProcess&) = delete;

  // Starts the device with extra arguments (faults, latency) and waits until the kernel made
  // its hidraw node. False, with error() saying why, when it did not come up.
  [[nodiscard]] bool start(const std::vector<std::string>& args = {});
  [[nodiscard]] const std::string& node() const { return node_; }
  [[nodiscard]] const std::string& uniq() const { return uniq_; }
  [[nodiscard]] const std::string& error() const { return error_; }

  // SIGUSR2: the device removes itself from the kernel at once, as an unplug.
  void unplug() const;
  // SIGTERM and wait; returns the exit status (-1 when it had to be killed).
  int stop();
  // Waits for the process to end by itself (after an unplug), up to `timeout`.
  [[nodiscard]] std::optional<int> waitExit(std::chrono::milliseconds timeout);
  // CPU time (user + system) the device process has used so far; zero when it is not running.
  [[nodiscard]] std::chrono::nanoseconds cpuTime() const;
  // The device memory the process wrote when it stopped.
  [[nodiscard]] std::vector<std::uint8_t> memory() const;

 private:
  pid_t pid_ = -1;
  std::string dir_;
  std::string node_;
  std::string uniq_;
  std::string error_;
};

struct UdevHidraw {
  std::string devnode;  // /dev/hidrawN
  std::string hidId;    // HID_ID of the parent hid device
  std::string uniq;     // HID_UNIQ
  std::string name;     // HID_NAME
};
// Every hidraw node udev knows whose parent hid device has the given HID_ID.
[[nodiscard]] std::vector<UdevHidraw> hidrawNodesWithId(const std::string& hidId);

// An open hidraw node.
class Hidraw {
 public:
  explicit Hidraw(const std::string& node);
  ~Hidraw();
  Hidraw(const Hidraw&) = delete;
  Hidraw& operator=(const Hidraw&) = delete;
  [[nodiscard]] bool isOpen() const { return fd_ >= 0; }
  [[nodiscard]] int fd() const { return fd_; }

  // Writes the 8 command bytes as the Windows program does: report-ID byte 0x00 first, 9 bytes.
  [[nodiscard]] bool writeCommand(const std::uint8_t command[8]);
  // Waits up to `timeout` for an input report. Returns its length (8 for a full reply), 0 on
  // time-out, -errno on an error (the device gone).
  [[nodiscard]] int readReport(std::uint8_t* buf, std::size_t capacity,
                               std::chrono::milliseconds timeout);

 private:
  int fd_ = -1;
};

// A whole download as the Windows program makes it (Link, Format, the 16,128 Writes of
// WindowsImageWalk over `image`, Burn), each reply awaited and its echo checked. False, with
// *why saying at which step, on the first failure.
[[nodiscard]] bool downloadImage(Hidraw& host, const std::vector<std::uint8_t>& image,
                                 std::string* why);

// Process CPU time (user + system) so far.
[[nodiscard]] std::chrono::nanoseconds processCpuTime();

}  // namespace vmtest
