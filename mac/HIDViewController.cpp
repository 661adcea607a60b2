// Construction, view loading, teardown and the look of the controls.
#include "mac/HIDViewController.h"

#include "protocol/Log.h"

namespace nuv::mac {

HIDViewController::HIDViewController(std::string nibName, cocoa::Application& application,
                                     const IOHIDManagerFactory& createManager)
    : application_(application),
      nibName_(std::move(nibName)),
      self_(std::make_shared<HIDViewController*>(this)),
      hidManager(createManager ? createManager() : nullptr) {}

HIDViewController::~HIDViewController() {
  self_.reset();  // delayed steps still queued now do nothing
  if (viewLoaded_ && view_ != nullptr) stopWriting();
  closeImageStream();
  percentageLabel.reset();
  if (hidManager) {
    if (deviceRef != nullptr)
      (void)hidManager->deviceClose(deviceRef, iohid::kIOHIDOptionsTypeNone);
    (void)hidManager->close(iohid::kIOHIDOptionsTypeNone);
  }
}

cocoa::View* HIDViewController::view() {
  if (!viewLoaded_) {
    viewLoaded_ = true;
    loadView();
  }
  return view_;
}

void HIDViewController::loadView() {
  const std::optional<cocoa::ViewOutlets> outlets = application_.loadNib(nibName_);
  if (!outlets || outlets->view == nullptr || outlets->statusTextField == nullptr ||
      outlets->progressIndicator == nullptr || outlets->downloadButton == nullptr ||
      outlets->stopButton == nullptr || outlets->versionButton == nullptr) {
    logLine("The interface file \"" + nibName_ + "\" is missing or incomplete");
    return;
  }
  view_ = outlets->view;
  statusTextField = outlets->statusTextField;
  progressIndicator = outlets->progressIndicator;
  downloadButton = outlets->downloadButton;
  stopButton = outlets->stopButton;
  versionButton = outlets->versionButton;
  downloadButton->setAction([this] { download(); });
  stopButton->setAction([this] { stop(); });
  versionButton->setAction([this] { retrieveVersion(); });

  detectDevice();

  progressIndicator->setHidden(true);
  progressIndicator->setMaxValue(1.0);
  progressIndicator->setMinValue(0.0);
  stopButton->setEnabled(false);
  downloadButton->setEnabled(deviceRef != nullptr);
  versionButton->setEnabled(deviceRef != nullptr);
  status = HIDStatusIdle;

  const cocoa::Rect bar = progressIndicator->frame();
  percentageLabel = application_.makeTextField(cocoa::Rect{0, 0, bar.width, bar.height});
  percentageLabel->setDrawsBackground(false);
  percentageLabel->setAlignment(cocoa::TextAlignment::Center);
  progressIndicator->addSubview(*percentageLabel);
}

void HIDViewController::decideButtonState() {
  if (view_ == nullptr) return;
  downloadButton->setEnabled(status == HIDStatusIdle && deviceRef != nullptr);
  stopButton->setEnabled(status != HIDStatusIdle && deviceRef != nullptr);
  versionButton->setEnabled(downloadButton->isEnabled());
  const bool writing = status == HIDStatusWriting;
  progressIndicator->setHidden(!writing);
  if (!writing) progressIndicator->stopAnimation();
}

void HIDViewController::setStatusText(std::string_view text) {
  if (statusTextField != nullptr) statusTextField->setStringValue(text);
}

void HIDViewController::performAfterDelay(std::chrono::milliseconds delay,
                                          void (HIDViewController::*step)()) {
  std::weak_ptr<HIDViewController*> weak = self_;
  const std::uint64_t generation = sequenceGeneration_;
  application_.runLoop().performAfterDelay(delay, [weak, step, generation] {
    auto self = weak.lock();
    if (self && (**self).sequenceGeneration_ == generation) ((**self).*step)();
  });
}

}  // namespace nuv::mac
