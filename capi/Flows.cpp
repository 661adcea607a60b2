// The flows on an opened device: the engine of the chosen flow, run to its end by the
// blocking runner, told through the caller's callbacks.
#include <memory>
#include <span>

#include "capi/Convert.h"
#include "capi/Edge.h"
#include "capi/Handles.h"
#include "flow/EchoFlow.h"
#include "flow/StrictFlow.h"
#include "flow/VerifyFlow.h"
#include "run/Runner.h"

namespace {

namespace capi = nuv::capi;
namespace flow = nuv::flow;

// The caller's callbacks as a runner observer; keeps the link's last complaint for the result.
class CallbackObserver final : public nuv::run::RunObserver {
 public:
  explicit CallbackObserver(const nuv_run_options& options) : options_(options) {}

  void stepBegan(flow::Step step) override {
    if (options_.step != nullptr) options_.step(options_.user, static_cast<int>(step));
  }
  void progressed(const flow::Progress& p) override {
    if (options_.progress != nullptr) options_.progress(options_.user, p.done, p.total, p.address);
  }
  void logged(std::string_view line) override {
    if (options_.log == nullptr) return;
    const std::string text(line);
    options_.log(options_.user, text.c_str());
  }
  void linkFailed(const nuv::Error& error) override { linkMessage_ = error.describe(); }

  [[nodiscard]] const std::string& linkMessage() const { return linkMessage_; }

 private:
  const nuv_run_options& options_;
  std::string linkMessage_;
};

enum class Task { Version, Download, Verify };

std::unique_ptr<flow::Engine> makeEngine(Task task, const nuv_run_options& options) {
  if (task == Task::Verify)
    return std::make_unique<flow::VerifyFlow>(options.flow == NUV_FLOW_ECHO);
  const bool download = task == Task::Download;
  if (options.flow == NUV_FLOW_ECHO)
    return std::make_unique<flow::EchoFlow>(
        download ? flow::EchoFlow::Task::Download : flow::EchoFlow::Task::Version,
        std::chrono::milliseconds(options.stall_timeout_ms));
  return std::make_unique<flow::StrictFlow>(download ? flow::StrictFlow::Task::Download
                                                     : flow::StrictFlow::Task::Version);
}

// Runs one flow of `task` on the device and fills the result.
flow::Outcome runTask(Task task, nuv_device& device, std::span<const std::uint8_t> image,
                      const nuv_run_options& options, std::string& linkMessage) {
  CallbackObserver observer(options);
  nuv::run::RunSettings settings;
  settings.cancel = &device.cancel;
  const auto engine = makeEngine(task, options);
  const flow::Outcome outcome = nuv::run::runFlow(*engine, image, *device.link, observer, settings);
  linkMessage = observer.linkMessage();
  return outcome;
}

// Checks the arguments every flow takes; the options with their defaults filled in.
bool acceptArguments(nuv_device* device, const uint8_t* image, size_t size, bool needsImage,
                     const nuv_run_options* given, nuv_result* result, nuv_run_options& options) {
  if (device == nullptr || result == nullptr || (needsImage && image == nullptr && size != 0))
    return false;
  nuv_run_options_init(&options);
  if (given != nullptr) options = *given;
  return options.flow == NUV_FLOW_STRICT || options.flow == NUV_FLOW_ECHO;
}

nuv_status run(Task task, nuv_device* device, const uint8_t* image, size_t size,
               const nuv_run_options* given, nuv_result* result) {
  nuv_run_options options;
  if (!acceptArguments(device, image, size, task != Task::Version, given, result, options))
    return NUV_E_ARGUMENT;
  const std::span<const std::uint8_t> bytes =
      image == nullptr ? std::span<const std::uint8_t>() : std::span(image, size);
  std::string linkMessage;
  flow::Outcome outcome = runTask(task, *device, bytes, options, linkMessage);
  if (task == Task::Download && options.verify != 0 && outcome.succeeded()) {
    // The read-back, on the same device: the one the download just wrote. It changes nothing
    // on the device and does not ask its version, so the result keeps the download's.
    const flow::Outcome downloaded = outcome;
    outcome = runTask(Task::Verify, *device, bytes, options, linkMessage);
    outcome.deviceVersion = downloaded.deviceVersion;
    outcome.deviceState = downloaded.deviceState;
  }
  capi::fillResult(outcome, linkMessage, *result);
  return capi::statusOf(outcome);
}

}  // namespace

extern "C" {

void nuv_run_options_init(nuv_run_options* options) {
  if (options == nullptr) return;
  *options = nuv_run_options{};
  options->flow = NUV_FLOW_STRICT;
  options->stall_timeout_ms = NUV_DEFAULT_STALL_TIMEOUT_MS;
}

nuv_status nuv_read_version(nuv_device* device, const nuv_run_options* options,
                            nuv_result* result) {
  return capi::guarded(nullptr,
                       [&] { return run(Task::Version, device, nullptr, 0, options, result); });
}

nuv_status nuv_download(nuv_device* device, const uint8_t* image, size_t size,
                        const nuv_run_options* options, nuv_result* result) {
  return capi::guarded(nullptr,
                       [&] { return run(Task::Download, device, image, size, options, result); });
}

nuv_status nuv_verify(nuv_device* device, const uint8_t* image, size_t size,
                      const nuv_run_options* options, nuv_result* result) {
  return capi::guarded(nullptr,
                       [&] { return run(Task::Verify, device, image, size, options, result); });
}

}  // extern "C"
