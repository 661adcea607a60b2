// Written from Apple's documented signatures of IOHIDManager.h, IOHIDDevice.h and
// CoreFoundation. The seam's names (IOReturn, IOHIDDeviceRef, IOHIDReportType, ...) live in
// nuv::iohid; IOKit's own are reached with '::'. The seam's header comes first: IOKit defines
// kIOReturnSuccess, kIOHIDVendorIDKey and friends as macros, which must not meet the seam's
// declarations of the same names (their values are the same).
// clang-format off
#include "platform/iohid/IOKit.h"
#include "platform/cocoa/Cocoa.h"

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/hid/IOHIDDevice.h>
#include <IOKit/hid/IOHIDManager.h>
// clang-format on

#include <memory>
#include <vector>

namespace nuv::iohid {

namespace {

// One per native device the manager has reported; kept (and the native reference retained)
// for the manager's lifetime, so that the seam's references stay valid after a removal.
struct IOKitDevice final : IOHIDDevice {
  ::IOHIDDeviceRef native = nullptr;
  bool present = true;
  bool open = false;
  IOHIDReportCallback callback = nullptr;
  void* context = nullptr;
};

IOKitDevice* ioKitDevice(IOHIDDeviceRef ref) {
  return static_cast<IOKitDevice*>(ref);
}

class IOKitHIDManager final : public IOHIDManager {
 public:
  IOKitHIDManager() : manager_(IOHIDManagerCreate(kCFAllocatorDefault, ::kIOHIDOptionsTypeNone)) {}
  ~IOKitHIDManager() override {
    (void)close(kIOHIDOptionsTypeNone);
    for (auto& d : devices_) CFRelease(d->native);
    if (manager_ != nullptr) CFRelease(manager_);
  }
  IOKitHIDManager(const IOKitHIDManager&) = delete;
  IOKitHIDManager& operator=(const IOKitHIDManager&) = delete;

  void setDeviceMatching(const MatchingDictionary& matching) override {
    if (manager_ == nullptr) return;
    std::vector<CFStringRef> keys;
    std::vector<CFNumberRef> values;
    for (const MatchingEntry& entry : matching) {
      int value = entry.value;
      keys.push_back(
          CFStringCreateWithCString(kCFAllocatorDefault, entry.key.c_str(), kCFStringEncodingUTF8));
      values.push_back(CFNumberCreate(kCFAllocatorDefault, kCFNumberIntType, &value));
    }
    // No key or value callbacks: the dictionary neither retains nor releases its entries,
    // which live until after the manager has copied the dictionary.
    CFDictionaryRef dictionary =
        CFDictionaryCreate(kCFAllocatorDefault, reinterpret_cast<const void**>(keys.data()),
                           reinterpret_cast<const void**>(values.data()),
                           static_cast<CFIndex>(keys.size()), nullptr, nullptr);
    IOHIDManagerSetDeviceMatching(manager_, dictionary);
    if (dictionary != nullptr) CFRelease(dictionary);
    for (CFNumberRef n : values)
      if (n != nullptr) CFRelease(n);
    for (CFStringRef k : keys)
      if (k != nullptr) CFRelease(k);
  }

  void registerDeviceMatchingCallback(IOHIDDeviceCallback callback, void* context) override {
    matched_ = callback, matchedContext_ = context;
    if (manager_ != nullptr) IOHIDManagerRegisterDeviceMatchingCallback(manager_, &matched, this);
  }
  void registerDeviceRemovalCallback(IOHIDDeviceCallback callback, void* context) override {
    removed_ = callback, removedContext_ = context;
    if (manager_ != nullptr) IOHIDManagerRegisterDeviceRemovalCallback(manager_, &removed, this);
  }

  // IOKit delivers on a CFRunLoop: the current thread's, which runs the seam's loop.
  void scheduleWithRunLoop(cocoa::RunLoop&) override {
    if (manager_ == nullptr || scheduled_) return;
    IOHIDManagerScheduleWithRunLoop(manager_, CFRunLoopGetCurrent(), kCFRunLoopDefaultMode);
    scheduled_ = true;
  }

  IOReturn open(std::uint32_t options) override {
    if (manager_ == nullptr) return kIOReturnError;
    const ::IOReturn result = IOHIDManagerOpen(manager_, options);
    if (result == kIOReturnSuccess) open_ = true;
    return result;
  }

  std::optional<std::vector<IOHIDDeviceRef>> copyDevices() override {
    if (manager_ == nullptr) return std::nullopt;
    CFSetRef set = IOHIDManagerCopyDevices(manager_);
    if (set == nullptr) return std::nullopt;
    Collect collect{this, {}};
    CFSetApplyFunction(set, &collectDevice, &collect);
    CFRelease(set);
    return std::move(collect.devices);
  }

  IOReturn close(std::uint32_t options) override {
    if (manager_ == nullptr || !open_) return kIOReturnNotOpen;
    open_ = false;
    for (auto& d : devices_)
      if (d->open) {
        (void)IOHIDDeviceClose(d->native, ::kIOHIDOptionsTypeNone);
        d->open = false;
      }
    return IOHIDManagerClose(manager_, options);
  }

  IOReturn deviceOpen(IOHIDDeviceRef ref, std::uint32_t options) override {
    IOKitDevice* device = ioKitDevice(ref);
    if (device == nullptr) return kIOReturnBadArgument;
    if (!device->present) return kIOReturnNotAttached;
    const ::IOReturn result = IOHIDDeviceOpen(device->native, options);
    if (result == kIOReturnSuccess) device->open = true;
    return result;
  }

  // The caller's buffer goes to IOKit as it is: IOKit writes each report straight into it.
  void deviceRegisterInputReportCallback(IOHIDDeviceRef ref, std::uint8_t* buffer, long length,
                                         IOHIDReportCallback callback, void* context) override {
    IOKitDevice* device = ioKitDevice(ref);
    if (device == nullptr || buffer == nullptr || length <= 0) return;
    device->callback = callback;
    device->context = context;
    IOHIDDeviceRegisterInputReportCallback(device->native, buffer, static_cast<CFIndex>(length),
                                           &inputReport, device);
  }

  IOReturn setOutputReport(IOHIDDeviceRef ref, std::uint32_t reportID, const std::uint8_t* report,
                           long length) override {
    IOKitDevice* device = ioKitDevice(ref);
    if (device == nullptr) return kIOReturnBadArgument;
    if (!device->present) return kIOReturnNotAttached;
    return IOHIDDeviceSetReport(device->native, ::kIOHIDReportTypeOutput,
                                static_cast<CFIndex>(reportID), report,
                                static_cast<CFIndex>(length));
  }

  IOReturn deviceClose(IOHIDDeviceRef ref, std::uint32_t options) override {
    IOKitDevice* device = ioKitDevice(ref);
    if (device == nullptr) return kIOReturnBadArgument;
    if (!device->open) return kIOReturnNotOpen;
    device->open = false;
    return IOHIDDeviceClose(device->native, options);
  }

 private:
  struct Collect {
    IOKitHIDManager* manager;
    std::vector<IOHIDDeviceRef> devices;
  };

  // The record of a native device, made (and the reference retained) on first sight. IOKit
  // gives a device plugged again a new reference, so it is a new record, as on the bus.
  IOKitDevice& recordFor(::IOHIDDeviceRef native) {
    for (auto& d : devices_)
      if (d->native == native) return *d;
    auto& d = devices_.emplace_back(std::make_unique<IOKitDevice>());
    d->native = static_cast<::IOHIDDeviceRef>(const_cast<void*>(CFRetain(native)));
    return *d;
  }

  static void collectDevice(const void* value, void* context) {
    auto* collect = static_cast<Collect*>(context);
    auto native = static_cast<::IOHIDDeviceRef>(const_cast<void*>(value));
    collect->devices.push_back(&collect->manager->recordFor(native));
  }

  static void matched(void* context, ::IOReturn result, void* sender, ::IOHIDDeviceRef native) {
    auto* self = static_cast<IOKitHIDManager*>(context);
    (void)sender;
    if (native == nullptr) return;
    IOKitDevice& device = self->recordFor(native);
    device.present = true;
    if (self->matched_ != nullptr) self->matched_(self->matchedContext_, result, self, &device);
  }

  static void removed(void* context, ::IOReturn result, void* sender, ::IOHIDDeviceRef native) {
    auto* self = static_cast<IOKitHIDManager*>(context);
    (void)sender;
    if (native == nullptr) return;
    IOKitDevice& device = self->recordFor(native);
    device.present = false;
    if (self->removed_ != nullptr) self->removed_(self->removedContext_, result, self, &device);
  }

  static void inputReport(void* context, ::IOReturn result, void* sender, ::IOHIDReportType type,
                          uint32_t reportID, uint8_t* report, CFIndex reportLength) {
    auto* device = static_cast<IOKitDevice*>(context);
    (void)sender;
    if (device->callback == nullptr) return;
    device->callback(device->context, result, device, static_cast<IOHIDReportType>(type), reportID,
                     report, static_cast<long>(reportLength));
  }

  ::IOHIDManagerRef manager_;
  IOHIDDeviceCallback matched_ = nullptr;
  void* matchedContext_ = nullptr;
  IOHIDDeviceCallback removed_ = nullptr;
  void* removedContext_ = nullptr;
  bool scheduled_ = false;
  bool open_ = false;
  std::vector<std::unique_ptr<IOKitDevice>> devices_;
};

}  // namespace

std::unique_ptr<IOHIDManager> createIOKitHIDManager() {
  return std::make_unique<IOKitHIDManager>();
}

}  // namespace nuv::iohid
