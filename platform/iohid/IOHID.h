// What the macOS program uses of the IOKit HID manager, with IOKit's meaning. Backends: iokit
// (IOKit itself, on a Mac; IOKit.h), sim (the virtual HID bus; Sim.h) and linux (hidraw
// nodes through libudev; Linux.h).
//
// Threads: every call is made on the thread of the run loop the manager is scheduled on, and
// every callback is delivered there, from the loop, never from inside a call of this
// interface. A callback runs to completion before the next starts.
//
// Device references are borrowed: they stay valid for the manager's lifetime (also after the
// device went away, when calls on them fail with kIOReturnNotAttached) and are never retained
// or released by callers.
//
// Errors: each call below says which IOReturn it gives and when. Input reports carry no error:
// the report callback's result is always kIOReturnSuccess, and a node the linux backend can no
// longer read is closed quietly (its removal comes from udev). Where the backends differ:
//  - iokit passes IOKit's own code on for anything the seam does not check itself, opens a
//    manager that is not scheduled, answers copyDevices before open, and gives nothing there
//    when IOKit gives no set;
//  - deviceOpen refuses with kIOReturnBadArgument a manager not scheduled (sim) or not open
//    (linux); iokit leaves it to IOKit, and opens a device again when it is open already;
//  - a null report buffer makes iokit ignore deviceRegisterInputReportCallback, while sim and
//    linux register the callback and deliver no report.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace nuv::cocoa {
class RunLoop;
}

namespace nuv::iohid {

using IOReturn = std::int32_t;
inline constexpr IOReturn kIOReturnSuccess = 0;
// IOKit's values, so that the logged codes read as on a Mac.
inline constexpr IOReturn kIOReturnError = static_cast<IOReturn>(0xE00002BC);
inline constexpr IOReturn kIOReturnNoDevice = static_cast<IOReturn>(0xE00002C0);
inline constexpr IOReturn kIOReturnBadArgument = static_cast<IOReturn>(0xE00002C2);
inline constexpr IOReturn kIOReturnNotOpen = static_cast<IOReturn>(0xE00002CD);
inline constexpr IOReturn kIOReturnNotAttached = static_cast<IOReturn>(0xE00002D9);
inline constexpr IOReturn kIOReturnNotPermitted = static_cast<IOReturn>(0xE00002E2);

enum IOHIDReportType : std::uint32_t {
  kIOHIDReportTypeInput = 0,
  kIOHIDReportTypeOutput = 1,
  kIOHIDReportTypeFeature = 2,
};

inline constexpr std::uint32_t kIOHIDOptionsTypeNone = 0;

// A device as a backend knows it; callers see only the reference.
struct IOHIDDevice {
  virtual ~IOHIDDevice() = default;
};
using IOHIDDeviceRef = IOHIDDevice*;

// Matching and removal callbacks: (context, result, sender, device).
using IOHIDDeviceCallback = void (*)(void* context, IOReturn result, void* sender,
                                     IOHIDDeviceRef device);
// Input report callback: (context, result, sender, type, report ID, report bytes, length).
// The bytes are the caller's registered buffer and hold the report's payload, without a
// report-ID byte (Framing.h); the report ID, for a device that uses them, is `reportID` (0
// otherwise).
// The length is that of this payload, at most the buffer's size.
using IOHIDReportCallback = void (*)(void* context, IOReturn result, void* sender,
                                     IOHIDReportType type, std::uint32_t reportID,
                                     std::uint8_t* report, long reportLength);

// The matching dictionary: a device matches when every entry equals the device's property of
// that key. Keys known to every backend: "VendorID", "ProductID".
struct MatchingEntry {
  std::string key;
  std::int32_t value = 0;
};
using MatchingDictionary = std::vector<MatchingEntry>;
inline constexpr const char* kIOHIDVendorIDKey = "VendorID";
inline constexpr const char* kIOHIDProductIDKey = "ProductID";

class IOHIDManager {
 public:
  virtual ~IOHIDManager() = default;

  // Only devices that match are reported from now on. An empty dictionary matches every
  // device; no matching set at all matches none.
  virtual void setDeviceMatching(const MatchingDictionary& matching) = 0;
  // One call per matching device present when the manager opens, and per later arrival.
  virtual void registerDeviceMatchingCallback(IOHIDDeviceCallback callback, void* context) = 0;
  // One call per matching device that goes away.
  virtual void registerDeviceRemovalCallback(IOHIDDeviceCallback callback, void* context) = 0;
  // Callbacks are delivered on this loop. The loop must outlive the manager.
  virtual void scheduleWithRunLoop(cocoa::RunLoop& loop) = 0;
  // Starts watching for devices; opening an open manager succeeds. kIOReturnNotPermitted before
  // scheduleWithRunLoop; kIOReturnError when the devices cannot be listed or watched (linux:
  // libudev unusable).
  [[nodiscard]] virtual IOReturn open(std::uint32_t options) = 0;
  // The matching devices present now, or nothing when the manager cannot tell (not open, not
  // scheduled). The references are borrowed as above.
  [[nodiscard]] virtual std::optional<std::vector<IOHIDDeviceRef>> copyDevices() = 0;
  // Closes the manager and every device opened through it; no callback follows.
  // kIOReturnNotOpen when the manager is not open.
  virtual IOReturn close(std::uint32_t options) = 0;

  // Opens the device for reports; opening an open device succeeds. kIOReturnBadArgument for a
  // reference the manager does not know (or a manager not open and scheduled);
  // kIOReturnNotAttached for a device that went away; on linux, a node that cannot be opened
  // gives kIOReturnNotPermitted (permission), kIOReturnNotAttached (node gone) or kIOReturnError.
  [[nodiscard]] virtual IOReturn deviceOpen(IOHIDDeviceRef device, std::uint32_t options) = 0;
  // Registers (again: replacing) the input report callback. `buffer` of `length` bytes is the
  // caller's and must stay valid while the device is open; every report is copied into it.
  virtual void deviceRegisterInputReportCallback(IOHIDDeviceRef device, std::uint8_t* buffer,
                                                 long length, IOHIDReportCallback callback,
                                                 void* context) = 0;
  // Sends one output report and returns when the platform has taken it: kIOReturnSuccess, or
  // why not. `report` is the payload; the backend frames it for the wire (Framing.h), with the
  // device's report ID when it uses them. Allocates nothing.
  // The arguments are checked here, once for every backend: a report type other than output
  // (the only kind the device has), a null `report` or a negative `length` is
  // kIOReturnBadArgument, and the backend is not called. The backend's errors: a reference it
  // does not know or a report longer than the device's is kIOReturnBadArgument; a device that
  // went away kIOReturnNotAttached; one not opened kIOReturnNotOpen; a failed transfer
  // kIOReturnError (or the system's code).
  [[nodiscard]] IOReturn deviceSetReport(IOHIDDeviceRef device, IOHIDReportType type,
                                         std::uint32_t reportID, const std::uint8_t* report,
                                         long length) {
    if (type != kIOHIDReportTypeOutput || report == nullptr || length < 0)
      return kIOReturnBadArgument;
    return setOutputReport(device, reportID, report, length);
  }
  // kIOReturnBadArgument for an unknown reference, kIOReturnNotOpen for a device not open.
  virtual IOReturn deviceClose(IOHIDDeviceRef device, std::uint32_t options) = 0;

 protected:
  // The backend's half of deviceSetReport, called with checked arguments: an output report,
  // `report` not null, `length` >= 0.
  [[nodiscard]] virtual IOReturn setOutputReport(IOHIDDeviceRef device, std::uint32_t reportID,
                                                 const std::uint8_t* report, long length) = 0;
};

}  // namespace nuv::iohid
