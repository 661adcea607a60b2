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
constexpr std::uint16_t kLastWriteAddress = image::MacImageWalk::kLastAddress;
constexpr double kAddressRange = image::kAddressSpace;
}  // namespace

// ---- buttons ------------------------------------------------------------------------------

void HIDViewController::retrieveVersion() {
  ++sequenceGeneration_;
  versionQuery_ = true;
  writeInFlight_ = false;
  sequenceDevice_ = deviceRef;
  resetReady();
  performAfterDelay(kResetDelay, &HIDViewController::sendVersionCommand);
  // The query is under way until its reply: Download stays off meanwhile, or its own steps
  // would interleave with the query's. Stop ends a query whose reply does not come.
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
  ++sequenceGeneration_;
  versionQuery_ = false;
  writeInFlight_ = false;
  sequenceDevice_ = deviceRef;
  burnSent_ = false;
  resetReady();
  performAfterDelay(kResetDelay, &HIDViewController::sendDownloadCommand);
  decideButtonState();
}

void HIDViewController::stop() {
  if (status == HIDStatusWriting) {
    stopWriting();
  } else if (versionQuery_ &&
             (status == HIDStatusResetting || status == HIDStatusQueryingVersion)) {
    endVersionQuery();
  }
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
  if (status != HIDStatusResetting) return;  // ended meanwhile: the device went away
  if (!onSequenceDevice()) {
    abandonSequence(/*deviceErased=*/false);
    return;
  }
  status = HIDStatusLinking;
  (void)sendCommand(&HostGenerateLinkCommand, kCmdLink);
}

void HIDViewController::sendVersionCommand() {
  if (deviceRef == nullptr) return;
  if (status != HIDStatusResetting) return;  // ended meanwhile: Stop, or the device went away
  if (!onSequenceDevice()) {
    abandonSequence(/*deviceErased=*/false);
    return;
  }
  status = HIDStatusQueryingVersion;
  (void)sendCommand(&HostGenerateVersionCommand, kCmdVersion);
}

void HIDViewController::startDonwloading() {
  if (deviceRef == nullptr) return;
  // The download ended meanwhile (its device went away).
  if ((status != HIDStatusWriting && status != HIDStatusStopRequested) || !inputStream) return;
  // Another device is current now: writing would go to a device that was never linked and
  // erased for this download, while the one that was erased is left so.
  if (!onSequenceDevice()) {
    abandonSequence(/*deviceErased=*/true);
    return;
  }
  // Stop pressed during the wait before writing: the download ends here, before any Write.
  if (status == HIDStatusStopRequested) {
    endDownloadCanceled();
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
  const double progress = static_cast<double>(target) / kAddressRange;
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

void HIDViewController::abandonSequence(bool deviceErased) {
  if (deviceErased) {
    endDownloadWithError(
        "The device changed after the download had erased the first one; that device holds no "
        "firmware until a download to it completes. Writing operation will be canceled",
        "Download canceled: the device changed after erasing");
    return;
  }
  closeImageStream();
  writeInFlight_ = false;
  status = HIDStatusIdle;
  setStatusText(versionQuery_ ? "Version query canceled: the device changed"
                              : "Download canceled: the device changed");
  decideButtonState();
}

void HIDViewController::endVersionQuery() {
  status = HIDStatusIdle;
  setStatusText("User canceled");
  decideButtonState();
}

void HIDViewController::endDownloadCanceled() {
  status = HIDStatusIdle;
  writeInFlight_ = false;
  closeImageStream();
  setStatusText("User canceled");
  decideButtonState();
}

void HIDViewController::endDownloadWithError(const std::string& informative,
                                             std::string_view statusText) {
  (void)application_.runModalAlert(cocoa::Alert{"Error", informative, {"OK"}});
  setStatusText(statusText);
  closeImageStream();
  writeInFlight_ = false;
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
          abandonSequence(/*deviceErased=*/false);
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
        performAfterDelay(kWaitBeforeWriting, &HIDViewController::startDonwloading);
      }
      return;
    case kCmdWrite:
      // Only the reply to the Write in flight moves the download on: a stray or late one
      // could otherwise skip addresses or reach Burn.
      if ((status == HIDStatusWriting || status == HIDStatusStopRequested) && writeInFlight_) {
        writeInFlight_ = false;
        handleWriteReply(data, reply.address);
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

void HIDViewController::handleWriteReply(const std::uint8_t* report, std::uint16_t address) {
  const auto sent = static_cast<std::uint16_t>(outputBuffer[1] | outputBuffer[2] << 8);
  // An echo of another address is a write error like wrong data: following it would skip
  // addresses (or jump to the end) and report an image the device does not hold.
  if (!replyEchoes(outputBuffer, report, kReportSize) ||
      std::memcmp(report + 3, outputBuffer + 3, 4) != 0) {
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
