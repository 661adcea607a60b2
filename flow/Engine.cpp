#include "flow/Engine.h"

#include "protocol/HIDProto.h"

namespace nuv::flow {

void Engine::start(std::span<const std::uint8_t> image, TimePoint now) {
  if (started_) return;
  started_ = true;
  image_.assign(image.begin(), image.end());
  onStart(now);
}

void Engine::reportArrived(std::span<const std::uint8_t> report, TimePoint now) {
  if (started_ && !finished()) onReport(report, now);
}

void Engine::timeReached(TimePoint now) {
  if (started_ && !finished()) onTime(now);
}

void Engine::deviceGone(TimePoint /*now*/) {
  if (started_ && !finished()) finish(OutcomeKind::DeviceGone);
}

void Engine::sendFailed(TimePoint now) {
  if (started_ && !finished()) onSendFailed(now);
}

void Engine::cancel(TimePoint /*now*/) {
  if (started_ && !finished()) finish(OutcomeKind::Cancelled);
}

std::optional<Action> Engine::nextAction() {
  Action action;
  if (!actions_.pop(action)) return std::nullopt;
  return action;
}

void Engine::send(const std::array<std::uint8_t, 8>& report) {
  stateBeforeSend_ = deviceState_;
  switch (report[0]) {
    case kCmdFormat:
      deviceState_ = DeviceState::Erased;
      break;
    case kCmdWrite:
      if (deviceState_ == DeviceState::Erased) deviceState_ = DeviceState::PartlyWritten;
      break;
    case kCmdBurn:
      deviceState_ = DeviceState::Burnt;
      break;
    default:
      break;
  }
  actions_.push(SendReport{report});
}

void Engine::beginStep(Step step) {
  step_ = step;
  address_.reset();
  actions_.push(StepBegan{step});
}

void Engine::versionReceived(const std::array<std::uint8_t, 4>& version, bool asStatusLine) {
  version_ = version;
  char line[12] = {'V', 'e', 'r', 's', 'i', 'o', 'n', ':'};
  for (std::size_t i = 0; i < 4; ++i)
    line[8 + i] = version[i] >= 0x20 && version[i] < 0x7F ? static_cast<char>(version[i]) : '?';
  if (asStatusLine)
    log(std::string_view(line, sizeof line));
  else
    note(std::string_view(line, sizeof line));
}

void Engine::finish(OutcomeKind kind) {
  Outcome outcome;
  outcome.kind = kind;
  outcome.step = step_;
  outcome.address = address_;
  outcome.deviceVersion = version_;
  outcome.deviceState = deviceState_;
  finish(outcome);
}

void Engine::finish(Outcome outcome) {
  outcome_ = outcome;
  actions_.push(Finished{outcome});
}

namespace {
template <class Build>
Report built(Build build) {
  Report r{};
  (void)build(r.data(), static_cast<std::uint32_t>(r.size()));
  return r;
}
}  // namespace

Report linkReport() {
  return built(HostGenerateLinkCommand);
}
Report versionReport() {
  return built(HostGenerateVersionCommand);
}
Report formatReport() {
  return built(HostGenerateFormatCommand);
}
Report burnReport() {
  return built(HostGenerateBurnCommand);
}
Report readReport(std::uint16_t address) {
  return built([address](std::uint8_t* b, std::uint32_t n) {
    return HostGenerateReadCommand(b, n, address);
  });
}
Report writeReport(std::uint16_t address, const std::uint8_t data[4]) {
  return built([address, data](std::uint8_t* b, std::uint32_t n) {
    return HostGenerateWriteCommand(b, n, address, data);
  });
}

}  // namespace nuv::flow
