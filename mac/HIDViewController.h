// The one view controller of QuenlorHID: the device side (discovery through the HID manager,
// report I/O), the download and version state machine, and the view's controls.
//
// Threads: everything runs on the thread of the application's run loop: button actions,
// the HID manager's callbacks and the delayed steps. Nothing is locked.
//
// Ownership: the controller owns its HID manager, the chosen update image and the percentage
// label; the view and its outlets belong to the application, which must outlive the
// controller. Device references are borrowed from the manager.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/cocoa/Cocoa.h"
#include "platform/iohid/IOHID.h"
#include "protocol/ByteSource.h"
#include "protocol/DeviceIdentity.h"

namespace nuv::mac {

enum HIDStatus : std::int32_t {
  HIDStatusIdle = 0,
  HIDStatusStopRequested = 1,
  HIDStatusResetting = 2,
  HIDStatusLinking = 3,
  HIDStatusQueryingVersion = 4,
  HIDStatusFormatting = 5,
  HIDStatusWriting = 6,
  HIDStatusBurning = 7,
};

// The identifiers as the hexadecimal texts that the set-up scans: "FFFF" and "0100".
inline constexpr auto kVendorIdText = nuv::hexText<4>(nuv::kUpdateVendorId);
inline constexpr auto kProductIdText = nuv::hexText<4>(nuv::kUpdateProductId);

inline constexpr std::chrono::milliseconds kResetDelay{500};
inline constexpr std::chrono::milliseconds kWaitBeforeWriting{4000};
inline constexpr std::chrono::milliseconds kWaitBeforeBurn{1000};

inline constexpr std::size_t kInputBufferSize = 1024;

using IOHIDManagerFactory = std::function<std::unique_ptr<iohid::IOHIDManager>()>;

class HIDViewController {
 public:
  // initWithNibName:bundle: the manager is created here; the view is loaded on first ask.
  HIDViewController(std::string nibName, cocoa::Application& application,
                    const IOHIDManagerFactory& createManager);
  // dealloc: stops writing, closes the current device and the manager.
  ~HIDViewController();
  HIDViewController(const HIDViewController&) = delete;
  HIDViewController& operator=(const HIDViewController&) = delete;

  // The view, loaded (loadView) on the first call; null when the interface file is missing.
  [[nodiscard]] cocoa::View* view();

  void loadView();
  void detectDevice();
  void didMatchDevice(iohid::IOHIDDeviceRef device);
  void didReceiveData(const std::uint8_t* data, std::uint64_t size);
  void startDonwloading();
  void startBurn();
  void stop();  // the Stop button's action
  void stopWriting();
  void download();  // the Download button's action
  void sendDownloadCommand();
  void sendVersionCommand();
  void retrieveVersion();  // the Version button's action
  void writeBytesWithTargetOffset(std::int64_t target);
  void decideButtonState();
  void resetReady();

  [[nodiscard]] HIDStatus currentStatus() const { return static_cast<HIDStatus>(status); }
  [[nodiscard]] iohid::IOHIDDeviceRef currentDevice() const { return deviceRef; }
  // True while an update image is held (chosen, or being written).
  [[nodiscard]] bool holdsImageStream() const { return inputStream.has_value(); }
  [[nodiscard]] cocoa::TextField* percentageField() const { return percentageLabel.get(); }

 private:
  // The chosen update image: its path from download: on, the open file while writing.
  struct ImageStream {
    std::string path;
    std::unique_ptr<ByteSource> file;
  };

  static void IOHIDDeviceCallbackProc(void* context, iohid::IOReturn result, void* sender,
                                      iohid::IOHIDDeviceRef device);
  static void IOHIDRemovalDeviceCallbackProc(void* context, iohid::IOReturn result, void* sender,
                                             iohid::IOHIDDeviceRef device);
  static void ReportCallback(void* context, iohid::IOReturn result, void* sender,
                             iohid::IOHIDReportType type, std::uint32_t reportID,
                             std::uint8_t* report, long reportLength);

  // Sends a report built by `build` into a zeroed local buffer; false without a device.
  using Builder = std::int32_t (*)(std::uint8_t*, std::uint32_t);
  iohid::IOReturn sendCommand(Builder build, std::uint8_t code);
  // Runs `step` after `delay` unless the controller is gone by then or another version query
  // or download has started since: a step runs only for the sequence that scheduled it.
  void performAfterDelay(std::chrono::milliseconds delay, void (HIDViewController::*step)());
  void setStatusText(std::string_view text);
  void closeImageStream() { inputStream.reset(); }
  // Ends a download that the user (or a failed send) cancelled.
  void endDownloadCanceled();
  // Ends a download with the error alert and the status line `statusText`.
  void endDownloadWithError(const std::string& informative, std::string_view statusText);
  // `report` is a parsed Write reply (8 bytes or more).
  void handleWriteReply(const std::uint8_t* report, std::uint16_t address);
  void showVersion(const std::uint8_t data[4]);
  // True while the sequence started by a button still talks to the device it started on. A
  // delayed step or a reply that finds another device current (unplugged and back, or a second
  // one arrived) must not send it commands meant for the first: that one was linked and erased,
  // the new one was not.
  [[nodiscard]] bool onSequenceDevice() const {
    return deviceRef != nullptr && deviceRef == sequenceDevice_;
  }
  // Ends a version query or download whose device changed during a wait: back to idle, with
  // nothing sent to the device that is current now, and a status line that says so. When the
  // download had already erased its device, an alert says that it holds no firmware now.
  void abandonSequence(bool deviceErased);
  // Ends a version query whose reply has not come (the Stop button).
  void endVersionQuery();

  cocoa::Application& application_;
  const std::string nibName_;
  bool viewLoaded_ = false;
  cocoa::View* view_ = nullptr;
  // Delayed steps hold a weak reference, so that one that comes due after teardown does
  // nothing.
  std::shared_ptr<HIDViewController*> self_;
  // Counts version queries and downloads: a delayed step scheduled by an earlier one does
  // nothing.
  std::uint64_t sequenceGeneration_ = 0;
  // The sequence under way (or the last one) is a version query, which Stop may end.
  bool versionQuery_ = false;
  // The device the current version query or download was started on.
  iohid::IOHIDDeviceRef sequenceDevice_ = nullptr;
  // Burn was sent and its reply is due; a Burn reply at any other time is not this download's.
  bool burnSent_ = false;
  // A Write was sent and its reply is due; a Write reply at any other time is not one of ours.
  // Cleared when a download starts or ends, whether or not the reply came.
  bool writeInFlight_ = false;

  // The fields of the controller, in their declared order.
  std::unique_ptr<iohid::IOHIDManager> hidManager;
  iohid::IOHIDDeviceRef deviceRef = nullptr;
  std::uint8_t inputBuffer[kInputBufferSize] = {};
  std::optional<ImageStream> inputStream;
  std::uint8_t outputBuffer[8] = {};
  std::int32_t status = HIDStatusIdle;
  cocoa::TextField* statusTextField = nullptr;
  cocoa::ProgressIndicator* progressIndicator = nullptr;
  cocoa::Button* downloadButton = nullptr;
  cocoa::Button* stopButton = nullptr;
  cocoa::Button* versionButton = nullptr;
  std::unique_ptr<cocoa::TextField> percentageLabel;
};

}  // namespace nuv::mac
