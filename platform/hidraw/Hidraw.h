// Linux hidraw access shared by the host backends: finding hidraw nodes through udev, watching
// them come and go, and the I/O on one node (identifiers, report descriptor, reports).
//
// Threads: an Enumerator is used by one thread at a time (the thread that runs the caller's
// loop). A Node may be read and waited on by one thread while another writes to it; opening,
// closing and moving it need that no other thread uses it.
//
// Report framing: Framing.h. What hidraw does with it: a write's first byte is the report ID
// (kReportId for a device without report IDs, which the kernel drops before it sends the
// report); a read from a device without report IDs hands over the payload only, and
// readWithReportId() puts kReportId in front, so that callers get the framed report either way.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/hidraw/ReportDescriptor.h"
#include "platform/hidraw/Seams.h"
#include "protocol/IoStatus.h"
#include "protocol/Result.h"

namespace nuv::hidraw {

// ---- Identifiers ----

struct HidId {
  std::uint32_t bus = 0;  // BUS_USB = 3, BUS_BLUETOOTH = 5, ...
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  friend bool operator==(const HidId&, const HidId&) = default;
};

// Parses a HID_ID property, "0003:0000FFFF:00000100" (bus:vendor:product in hex). Either case
// and 1 to 8 digits per field are accepted; vendor and product must fit 16 bits. Anything else
// (missing fields, extra fields, signs, spaces, "0x") gives nothing.
[[nodiscard]] std::optional<HidId> parseHidId(std::string_view text);

// ---- Enumeration ----

// Identity of a hidraw node for the life of the device behind it: a number >= 1 that an
// Enumerator gives each node's sysfs path the first time it reports it, and gives again for
// the same path. The kernel names every newly added HID device with a fresh sequence number
// (".../0003:FFFF:0100.0007/hidraw/hidraw2"), so a device that is unplugged and plugged back
// gets a new path and so a new identity, while the dev_t and /dev name are reused. Identities
// are per Enumerator, never reused by it, and mean nothing to another Enumerator.
using DeviceIdentity = std::uint32_t;

struct HidrawDevice {
  DeviceIdentity identity = 0;
  std::string devnode;  // "/dev/hidrawN", the path to give Node::open
  std::string syspath;
  HidId id;
  std::uint16_t versionNumber = 0;  // bcdDevice of the USB device; 0 when unknown or not USB
  dev_t devnum = 0;
};

// Empty fields match anything.
struct DeviceFilter {
  std::optional<std::uint16_t> vendorId;
  std::optional<std::uint16_t> productId;
  [[nodiscard]] bool matches(const HidId& id) const;
};

enum class DeviceAction { Added, Removed };

struct DeviceEvent {
  DeviceAction action = DeviceAction::Added;
  HidrawDevice device;  // for Removed: the device as it was reported when it was added
};

class Enumerator {
 public:
  // Only nodes that pass `filter` are ever reported (scan and events).
  explicit Enumerator(std::unique_ptr<UdevBackend> udev, DeviceFilter filter = {});
  // With libudev. Fails when libudev cannot be initialised.
  [[nodiscard]] static Result<Enumerator> create(DeviceFilter filter = {});

  // The matching hidraw nodes present now, in udev's order. Nodes without a device node or
  // whose parent has no readable HID_ID cannot be identified and are left out (as a Windows
  // interface whose attributes cannot be read is). Fails only when udev cannot list at all.
  [[nodiscard]] Result<std::vector<HidrawDevice>> scan();

  // Starts watching. Call it before the first scan(): an arrival that the scan has already
  // reported is not reported again, so nothing falls between the two. A removal is reported
  // only for a node this Enumerator reported (by scan or event).
  [[nodiscard]] std::optional<Error> startMonitor();
  // Pollable for readability (POLLIN) when events are pending; -1 while not watching. Owned
  // by the Enumerator; do not close it.
  [[nodiscard]] int monitorFd() const;
  // Appends the pending matching arrivals and removals to `events` without waiting and
  // returns how many it appended. Other udev actions ("change", "bind", ...) are dropped.
  std::size_t drainEvents(std::vector<DeviceEvent>& events);

 private:
  std::optional<HidrawDevice> identify(const UdevRecord& record);

  std::unique_ptr<UdevBackend> udev_;
  DeviceFilter filter_;
  bool monitoring_ = false;
  DeviceIdentity nextIdentity_ = 1;
  std::map<std::string, HidrawDevice> known_;  // by syspath: what was reported and not removed
};

// ---- One node ----

// ReadWrite and ReadOnly open the node itself (O_RDWR / O_RDONLY, non-blocking).
// QueryOnly stands for Windows' access-0 handle: it opens with O_PATH, which needs no access
// right on the node, so it succeeds for any present node; rawInfo() and reportDescriptor()
// then come from the node's sysfs entry (world-readable) instead of ioctls, and read, write and
// waitReadable fail without a system call.
enum class OpenMode { ReadWrite, ReadOnly, QueryOnly };

// One call on a node. Ok: count bytes were transferred, or the node is readable. TimedOut:
// nothing to read now (the wait ran out, no report is pending, or a signal interrupted it).
// Gone: the device was unplugged. Failed: see error. A node has no pending call to cancel, so
// Cancelled never comes from here. (A ByteSource read, nuv::ReadOutcome, has a count and an
// error too, but no status: the end of its data is a short count.)
struct IoResult {
  IoStatus status = IoStatus::Failed;
  std::size_t count = 0;
  std::optional<Error> error;  // set for Gone and Failed
};

struct RawInfo {
  std::uint32_t bus = 0;
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  friend bool operator==(const RawInfo&, const RawInfo&) = default;
};

// Largest report descriptor the kernel hands out (HID_MAX_DESCRIPTOR_SIZE).
inline constexpr std::size_t kMaxDescriptorSize = 4096;

// An open node; closes itself. Move-only. `sys` must outlive the node. Every call on a closed
// (or moved-from) node fails without a system call.
class Node {
 public:
  // Fails with the error of open(2), named "open <path>": EACCES when the node's permissions
  // refuse the mode (no udev rule), ENOENT or ENODEV when the device went away.
  [[nodiscard]] static Result<Node> open(const std::string& path, OpenMode mode,
                                         SystemCalls& sys = realSystemCalls());
  Node(Node&& other) noexcept;
  Node& operator=(Node&& other) noexcept;
  Node(const Node&) = delete;
  Node& operator=(const Node&) = delete;
  ~Node();

  [[nodiscard]] bool isOpen() const { return fd_ >= 0; }
  // For the caller's own poll loop; owned by the node.
  [[nodiscard]] int fd() const { return fd_; }
  [[nodiscard]] OpenMode mode() const { return mode_; }
  [[nodiscard]] const std::string& path() const { return path_; }

  // Bus, vendor and product as the kernel knows them (HIDIOCGRAWINFO; on a QueryOnly node
  // the HID_ID of the node's sysfs entry). The version number is not among them: take it from
  // the HidrawDevice the node was found as. Fails with the ioctl's errno (ENODEV after an
  // unplug) or, on a QueryOnly node, when the sysfs entry cannot be read or parsed.
  [[nodiscard]] Result<RawInfo> rawInfo();
  // The raw report descriptor (HIDIOCGRDESCSIZE + HIDIOCGRDESC). Allocates; not for hot paths.
  // Fails as rawInfo() does, and for a size outside 1..kMaxDescriptorSize (an empty or larger
  // sysfs file on a QueryOnly node).
  [[nodiscard]] Result<std::vector<std::uint8_t>> reportDescriptor();
  // reportDescriptor() run through parseReportDescriptor(); fails with either's error.
  [[nodiscard]] Result<ReportCaps> capabilities();

  // Waits up to timeoutMs (0: just look, -1: forever) for a report. Ok when one is readable
  // (reports still queued when the device went are readable before Gone is seen). Nothing
  // interrupts the wait but a report, an unplug or a signal: a thread that must be stoppable
  // waits in slices. read, readWithReportId and waitReadable need ReadWrite or ReadOnly.
  // TimedOut when the time ran out or a signal came; Gone when the node hung up (error
  // ENODEV); Failed when poll fails or flags the descriptor invalid (error EBADF).
  // Every I/O call on a closed node, or on one not opened for it, is Failed without a system
  // call, with an error of the layer's own.
  [[nodiscard]] IoResult waitReadable(int timeoutMs);
  // One report, without waiting: TimedOut when none is queued. A report longer than the
  // buffer is cut to it (the kernel drops the rest). Gone once the device went and its queue
  // is empty (EIO or ENODEV); Failed for any other errno.
  [[nodiscard]] IoResult read(std::span<std::uint8_t> buffer);
  // As read(), framed (Framing.h): buffer[0] is the report ID, kReportId for a device without
  // report IDs, and count includes it. The buffer must hold at least one byte.
  [[nodiscard]] IoResult readWithReportId(std::span<std::uint8_t> buffer, bool deviceUsesReportIds);
  // One output report, framed (report-ID byte first; see the note above). Blocks until the
  // kernel has sent it (interrupted calls are retried); Ok means all bytes went, a short write
  // is Failed with count set. Needs ReadWrite. Gone when the device went (ENODEV, or
  // ESHUTDOWN mid-unplug); Failed for an empty report and any other errno, EIO among them
  // (unlike read, which takes EIO for an unplug).
  [[nodiscard]] IoResult write(std::span<const std::uint8_t> report);

  void close();

 private:
  Node(SystemCalls& sys, int fd, OpenMode mode, std::string path);
  [[nodiscard]] Result<std::string> sysfsDeviceDir();
  [[nodiscard]] Result<std::vector<std::uint8_t>> readSysfsFile(const std::string& path);

  SystemCalls* sys_;
  int fd_ = -1;
  OpenMode mode_ = OpenMode::ReadWrite;
  std::string path_;
};

}  // namespace nuv::hidraw
