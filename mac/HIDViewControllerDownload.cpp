// The version query and the download: the state machine driven by the buttons, the device's
// replies and the delayed steps.
#include <cstdio>
#include <cstring>

#include "mac/HIDViewController.h"
#include "mac/UpdateImageCheck.h"
#include "mac/VersionText.h"
#include "protocol/HIDProto.h"
#include "protocol/Log.h"
#include "protocol/UpdateImage.h"

namespace nuv::mac {

namespace {
constexpr std::uint16_t kLastWriteAddress = 0xFFFC;
}  // namespace

// ---- buttons ------------------------------------------------------------------------------

void HIDViewController::retrieveVersion() {
  sequenceDevice_ = deviceRef;
  resetReady();
  performAfterDelay(kResetDelay, &HIDViewController::sendVersionCommand);
  // The query is under way until its reply: Download stays off meanwhile, or its own steps
  // would interleave with the query's.
  decideButtonState();
}

void HIDViewController::download() {
  const cocoa::OpenPanelResult panel = application_.runModalOpenPanel();
  if (panel.paths.empty() || panel.response != cocoa::kModalResponseOK) return;
  const std::string& path = panel.paths.front();
  if (path.empty()) return;
  // The file is checked before the device is linked, so that a wrong file leaves the device
  // as it was.
  if (const auto problem = updateImageProblem(path)) {
    (void)application_.runModalAlert(
        cocoa::Alert{"Error", problem->text + " Nothing was sent to the device.", {"OK"}});
    return;
  }
  inputStream = ImageStream{path, nullptr};
  ++downloadGeneration_;
  sequenceDevice_ = deviceRef;
  burnSent_ = false;
  resetReady();
  std::weak_ptr<HIDViewController*> weak = self_;
  application_.runLoop().performAfterDelay(kResetDelay, [weak] {
    if (auto self = weak.lock()) (**self).sendDownloadCommand();
  });
  decideButtonState();
}

void HIDViewController::stop() {
  if (status == HIDStatusWriting) stopWriting();
}

void HIDViewController::stopWriting() {
  status = HIDStatusStopRequested;
  decideButtonState();
}

// ---- senders ------------------------------------------------------------------------------

void HIDViewController::resetReady() {
  logLine("resetReady");
  if (deviceRef == nullptr) return;
  status = HIDStatusResetting;
  (void)sendCommand(&HostGenerateLinkCommand, kCmdLink);
}

void HIDViewController::sendDownloadCommand() {
  if (deviceRef == nullptr) return;
  if (status != HIDStatusResetting || !onSequenceDevice()) {
    abandonSequence();
    return;
  }
  status = HIDStatusLinking;
  (void)sendCommand(&HostGenerateLinkCommand, kCmdLink);
}

void HIDViewController::sendVersionCommand() {
  if (deviceRef == nullptr) return;
  if (status != HIDStatusResetting || !onSequenceDevice()) {
    abandonSequence();
    return;
  }
  status = HIDStatusQueryingVersion;
  (void)sendCommand(&HostGenerateVersionCommand, kCmdVersion);
}

void HIDViewController::startDonwloading() {
  if (deviceRef == nullptr) return;
  // Stop pressed during the wait before writing: the download ends here, before any Write.
  if (status == HIDStatusStopRequested) {
    endDownloadCanceled();
    return;
  }
  // The download that scheduled this step was abandoned meanwhile (its device went away, or
  // another sequence took over): writing now would go to a device that was never linked and
  // erased for it.
  if (status != HIDStatusWriting || !inputStream) return;
  if (!onSequenceDevice()) {
    abandonSequence();
    return;
  }
  setStatusText("Downloading...");
  auto opened = FileSource::open(inputStream->path);
  if (!opened) {
    endDownloadWithError("The update image cannot be opened (" + opened.error().describe() +
                             "). Writing operation will be canceled",
                         "Error on reading the update image");
    return;
  }
  inputStream->file = std::make_unique<ShrinkGuardSource>(std::move(opened).value());
  status = HIDStatusWriting;
  progressIndicator->setHidden(false);
  progressIndicator->startAnimation();
  writeBytesWithTargetOffset(0);
}

void HIDViewController::writeBytesWithTargetOffset(std::int64_t target) {
  if (status != HIDStatusWriting) {
    endDownloadCanceled();
    return;
  }
  const double progress = static_cast<double>(target) / 65536.0;
  char percent[16];
  std::snprintf(percent, sizeof percent, "%d%%", static_cast<int>(progress * 100));
  if (percentageLabel) percentageLabel->setStringValue(percent);
  progressIndicator->setDoubleValue(progress);

  const auto address = static_cast<std::uint16_t>(target);
  std::uint8_t chunk[4] = {};
  if (!inputStream || !inputStream->file) {
    endDownloadWithError("The update image is not open. Writing operation will be canceled",
                         "Error on reading the update image");
    return;
  }
  image::MacImageWalk walk(*inputStream->file);
  if (!walk.chunkFor(address, chunk)) {
    char text[64];
    std::snprintf(text, sizeof text, "Error on reading the update image for address: 0x%x",
                  address);
    endDownloadWithError("The update image cannot be read (" + walk.error()->describe() +
                             "). Writing operation will be canceled",
                         text);
    return;
  }
  std::memset(outputBuffer, 0, sizeof outputBuffer);
  (void)HostGenerateWriteCommand(outputBuffer, sizeof outputBuffer, address, chunk);
  writeInFlight_ =
      hidManager->deviceSetReport(deviceRef, iohid::kIOHIDReportTypeOutput, kCmdWrite, outputBuffer,
                                  sizeof outputBuffer) == iohid::kIOReturnSuccess;
  if (!writeInFlight_) endDownloadCanceled();
}

void HIDViewController::startBurn() {
  if (deviceRef == nullptr) return;
  // Only the device that holds the image may commit it: a device that came or went during the
  // wait would otherwise be burnt and the window would say "Finished".
  if (status != HIDStatusBurning || !onSequenceDevice()) {
    if (status == HIDStatusBurning)
      endDownloadWithError(
          "The device changed before the update was committed; nothing was "
          "committed. Writing operation will be canceled",
          "Burn was not sent: the device changed");
    return;
  }
  setStatusText("Complete Writing...");
  burnSent_ = true;
  (void)sendCommand(&HostGenerateBurnCommand, kCmdBurn);
}

void HIDViewController::abandonSequence() {
  closeImageStream();
  status = HIDStatusIdle;
  decideButtonState();
}

void HIDViewController::endDownloadCanceled() {
  status = HIDStatusIdle;
  closeImageStream();
  setStatusText("User canceled");
  decideButtonState();
}

void HIDViewController::endDownloadWithError(const std::string& informative,
                                             std::string_view statusText) {
  (void)application_.runModalAlert(cocoa::Alert{"Error", informative, {"OK"}});
  setStatusText(statusText);
  closeImageStream();
  status = HIDStatusIdle;
  decideButtonState();
}

// ---- replies ------------------------------------------------------------------------------

void HIDViewController::didReceiveData(const std::uint8_t* data, std::uint64_t size) {
  ParsedReport reply{};
  const auto length = static_cast<std::uint32_t>(size > 0xFFFFFFFFu ? 0xFFFFFFFFu : size);
  (void)HIDReportParse(data, length, &reply);
  switch (reply.id) {
    case kCmdLink:
      if (status == HIDStatusResetting) return;
      setStatusText("Initializing...");
      if (status == HIDStatusLinking && deviceRef != nullptr) {
        if (!onSequenceDevice()) {
          abandonSequence();
          return;
        }
        status = HIDStatusFormatting;
        (void)sendCommand(&HostGenerateFormatCommand, kCmdFormat);
      }
      return;
    case kCmdFormat:
      setStatusText("Initialization finshed, waiting for downloading...");
      if (status == HIDStatusFormatting) {
        status = HIDStatusWriting;
        std::weak_ptr<HIDViewController*> weak = self_;
        const std::uint64_t generation = downloadGeneration_;
        application_.runLoop().performAfterDelay(kWaitBeforeWriting, [weak, generation] {
          auto self = weak.lock();
          if (self && (**self).downloadGeneration_ == generation) (**self).startDonwloading();
        });
      }
      return;
    case kCmdWrite:
      // Only the reply to the Write in flight moves the download on: a stray or late one
      // could otherwise skip addresses or reach Burn.
      if ((status == HIDStatusWriting || status == HIDStatusStopRequested) && writeInFlight_) {
        writeInFlight_ = false;
        handleWriteReply(reply.address, reply.data);
      }
      return;
    case kCmdBurn:
      if (status != HIDStatusBurning || !burnSent_) return;
      burnSent_ = false;
      setStatusText("Finished");
      status = HIDStatusIdle;
      decideButtonState();
      return;
    case kCmdVersion:
      if (status == HIDStatusQueryingVersion) showVersion(reply.data);
      return;
    default:
      return;  // Read replies, unknown codes, and reports too short to parse (id 0)
  }
}

void HIDViewController::handleWriteReply(std::uint16_t address, const std::uint8_t data[4]) {
  const auto sent = static_cast<std::uint16_t>(outputBuffer[1] | outputBuffer[2] << 8);
  // An echo of another address is a write error like wrong data: following it would skip
  // addresses (or jump to the end) and report an image the device does not hold.
  if (address != sent || std::memcmp(data, outputBuffer + 3, 4) != 0) {
    logLine("Writing error!!!");
    char informative[96];
    std::snprintf(informative, sizeof informative,
                  "Error on writing address: 0x%0x. Writing operation will be canceled", sent);
    (void)application_.runModalAlert(cocoa::Alert{"Error", informative, {"OK"}});
    char text[48];
    std::snprintf(text, sizeof text, "Error on writing address: 0x%x", sent);
    setStatusText(text);
    closeImageStream();
    status = HIDStatusIdle;
    decideButtonState();
    return;
  }
  if (address == kLastWriteAddress) {
    closeImageStream();
    setStatusText("Downloading finished");
    status = HIDStatusBurning;
    performAfterDelay(kWaitBeforeBurn, &HIDViewController::startBurn);
    return;
  }
  // The echo matched the Write sent; the next one follows it.
  const auto next = static_cast<std::uint16_t>(address + 4);
  char text[40];
  std::snprintf(text, sizeof text, "Writing address: 0x%0x", next);
  setStatusText(text);
  writeBytesWithTargetOffset(next);
}

void HIDViewController::showVersion(const std::uint8_t data[4]) {
  setStatusText("Version: " + versionText(data));
  status = HIDStatusIdle;
  decideButtonState();
}

}  // namespace nuv::mac
