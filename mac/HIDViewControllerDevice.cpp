// The device side: the HID manager's set-up, matching and removal, input reports and sends.
#include <cinttypes>
#include <cstdio>

#include "mac/HIDViewController.h"
#include "mac/HexScan.h"
#include "protocol/Log.h"

namespace nuv::mac {

namespace {

// The low 32 bits of a device reference, as the diagnostic lines show it.
int lowBits(iohid::IOHIDDeviceRef device) {
  return static_cast<int>(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(device)));
}

void logFormatted(const char* format, long value) {
  char line[96];
  std::snprintf(line, sizeof line, format, value);
  logLine(line);
}

}  // namespace

void HIDViewController::detectDevice() {
  if (!hidManager) {
    logLine("No HID manager");
    setStatusText("idle");
    return;
  }
  std::uint32_t vendor = 0;
  std::uint32_t product = 0;
  (void)scanHexInt(kVendorIdText, &vendor);
  (void)scanHexInt(kProductIdText, &product);
  hidManager->setDeviceMatching({{iohid::kIOHIDVendorIDKey, static_cast<std::int32_t>(vendor)},
                                 {iohid::kIOHIDProductIDKey, static_cast<std::int32_t>(product)}});
  hidManager->registerDeviceMatchingCallback(&IOHIDDeviceCallbackProc, this);
  hidManager->registerDeviceRemovalCallback(&IOHIDRemovalDeviceCallbackProc, this);
  hidManager->scheduleWithRunLoop(application_.runLoop());

  const iohid::IOReturn opened = hidManager->open(iohid::kIOHIDOptionsTypeNone);
  if (opened == iohid::kIOReturnSuccess) logLine("success");
  logFormatted("tIOReturn = %ld", static_cast<long>(opened));

  const auto devices = hidManager->copyDevices();
  if (!devices) {
    setStatusText("idle");
    return;
  }
  const long count = static_cast<long>(devices->size());
  logFormatted("cnt = %ld", count);
  setStatusText(count >= 1 ? "Ready" : "idle");
}

void HIDViewController::IOHIDDeviceCallbackProc(void* context, iohid::IOReturn, void*,
                                                iohid::IOHIDDeviceRef device) {
  logFormatted("IOHIDDeviceCallbackProc device: %ld", lowBits(device));
  static_cast<HIDViewController*>(context)->didMatchDevice(device);
}

void HIDViewController::IOHIDRemovalDeviceCallbackProc(void* context, iohid::IOReturn, void*,
                                                       iohid::IOHIDDeviceRef device) {
  logFormatted("IOHIDRemovalDeviceCallbackProc device: %ld", lowBits(device));
  // Any matching device that goes counts as the loss of the current one.
  static_cast<HIDViewController*>(context)->didMatchDevice(nullptr);
}

void HIDViewController::ReportCallback(void* context, iohid::IOReturn, void*,
                                       iohid::IOHIDReportType, std::uint32_t, std::uint8_t* report,
                                       long reportLength) {
  static_cast<HIDViewController*>(context)->didReceiveData(
      report, reportLength > 0 ? static_cast<std::uint64_t>(reportLength) : 0);
}

void HIDViewController::didMatchDevice(iohid::IOHIDDeviceRef device) {
  if (deviceRef != nullptr && deviceRef != device) {
    if (status == HIDStatusWriting) stopWriting();
    // The dropped device stays open and registered: its reports still arrive.
    deviceRef = nullptr;
  }
  if (device != nullptr) {
    deviceRef = device;
    (void)hidManager->deviceOpen(deviceRef, iohid::kIOHIDOptionsTypeNone);
    hidManager->deviceRegisterInputReportCallback(deviceRef, inputBuffer, kInputBufferSize,
                                                  &ReportCallback, this);
    setStatusText("Ready");
  } else {
    status = HIDStatusIdle;
    writeInFlight_ = false;  // the download ended with its device; a late reply ends nothing
    setStatusText("idle");
  }
  decideButtonState();
}

iohid::IOReturn HIDViewController::sendCommand(Builder build, std::uint8_t code) {
  std::uint8_t report[8] = {};
  (void)build(report, sizeof report);
  return hidManager->deviceSetReport(deviceRef, iohid::kIOHIDReportTypeOutput, code, report,
                                     sizeof report);
}

}  // namespace nuv::mac
