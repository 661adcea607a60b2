// A HID manager with one device that answers every command at once, on the run loop, as the
// update device would (the command's code, address and data echoed back). It allocates nothing
// per report, so that what a measurement sees is the host's own cost.
#pragma once

#include <cstring>
#include <functional>

#include "platform/cocoa/Cocoa.h"
#include "platform/iohid/IOHID.h"

namespace mactest {

class LoopbackHIDManager final : public nuv::iohid::IOHIDManager {
 public:
  using IOReturn = nuv::iohid::IOReturn;
  using IOHIDDeviceRef = nuv::iohid::IOHIDDeviceRef;

  // Called after each Write report is taken, with the number of Writes so far.
  std::function<void(std::uint64_t)> onWrite;
  [[nodiscard]] std::uint64_t writes() const { return writes_; }

  void setDeviceMatching(const nuv::iohid::MatchingDictionary&) override {}
  void registerDeviceMatchingCallback(nuv::iohid::IOHIDDeviceCallback callback,
                                      void* context) override {
    matched_ = callback, matchedContext_ = context;
  }
  void registerDeviceRemovalCallback(nuv::iohid::IOHIDDeviceCallback, void*) override {}
  void scheduleWithRunLoop(nuv::cocoa::RunLoop& loop) override { loop_ = &loop; }
  IOReturn open(std::uint32_t) override {
    replySource_ = loop_->addSource([this] { reply(); });
    loop_->performAfterDelay(std::chrono::nanoseconds(0), [this] {
      if (matched_ != nullptr) matched_(matchedContext_, 0, this, &device_);
    });
    return nuv::iohid::kIOReturnSuccess;
  }
  std::optional<std::vector<IOHIDDeviceRef>> copyDevices() override {
    return std::vector<IOHIDDeviceRef>{&device_};
  }
  IOReturn close(std::uint32_t) override {
    if (loop_ != nullptr && replySource_ != 0) loop_->removeSource(replySource_);
    replySource_ = 0;
    return nuv::iohid::kIOReturnSuccess;
  }
  IOReturn deviceOpen(IOHIDDeviceRef, std::uint32_t) override {
    return nuv::iohid::kIOReturnSuccess;
  }
  void deviceRegisterInputReportCallback(IOHIDDeviceRef, std::uint8_t* buffer, long length,
                                         nuv::iohid::IOHIDReportCallback callback,
                                         void* context) override {
    buffer_ = buffer, length_ = length, callback_ = callback, context_ = context;
  }
  IOReturn setOutputReport(IOHIDDeviceRef, std::uint32_t, const std::uint8_t* report,
                           long length) override {
    if (length != 8) return nuv::iohid::kIOReturnBadArgument;
    std::memcpy(pending_, report, 8);
    if (report[0] == 0x12) std::memset(pending_ + 1, 0, 6);  // Burn: status bytes
    if (report[0] == 0x18) {
      ++writes_;
      if (onWrite) onWrite(writes_);
    }
    loop_->signalSource(replySource_);
    return nuv::iohid::kIOReturnSuccess;
  }
  IOReturn deviceClose(IOHIDDeviceRef, std::uint32_t) override {
    return nuv::iohid::kIOReturnSuccess;
  }

 private:
  void reply() {
    if (callback_ == nullptr || length_ < 8) return;
    std::memcpy(buffer_, pending_, 8);
    callback_(context_, 0, this, nuv::iohid::kIOHIDReportTypeInput, 0, buffer_, 8);
  }

  nuv::iohid::IOHIDDevice device_;
  nuv::cocoa::RunLoop* loop_ = nullptr;
  nuv::cocoa::RunLoop::SourceId replySource_ = 0;
  nuv::iohid::IOHIDDeviceCallback matched_ = nullptr;
  void* matchedContext_ = nullptr;
  std::uint8_t* buffer_ = nullptr;
  long length_ = 0;
  nuv::iohid::IOHIDReportCallback callback_ = nullptr;
  void* context_ = nullptr;
  std::uint8_t pending_[8] = {};
  std::uint64_t writes_ = 0;
};

}  // namespace mactest
