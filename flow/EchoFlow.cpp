#include "flow/EchoFlow.h"

#include "flow/ImageChunks.h"
#include "protocol/HIDProto.h"
#include "protocol/UpdateImage.h"

namespace nuv::flow {

void EchoFlow::onStart(TimePoint now) {
  if (task_ == Task::Download && !image::sizeAccepted(image().size())) {
    log("The file is not an update image");
    return finish(imageRefusedOutcome(RefusalReason::Size));
  }
  beginStep(Step::Link);
  note("resetReady");
  sent_ = linkReport();
  send(sent_);
  waitUntil(Phase::Resetting, now + kResetDelay);
}

void EchoFlow::sendAwaiting(Phase phase, const Report& report, TimePoint now) {
  phase_ = phase;
  sent_ = report;
  send(report);
  if (stallLimit_ > stallLimit_.zero()) {
    stallDeadline_ = now + stallLimit_;
    wakeAt(*stallDeadline_);
  }
}

void EchoFlow::waitUntil(Phase phase, TimePoint due) {
  phase_ = phase;
  due_ = due;
  stallDeadline_.reset();
  wakeAt(due);
}

void EchoFlow::sendWrite(std::uint16_t address, TimePoint now) {
  const WriteData data = firmwareChunk(image(), address);
  progress(address, address, kTotalBytes);
  writeInFlight_ = true;
  sendAwaiting(Phase::Writing, writeReport(address, data.data()), now);
  setAddress(address);
}

void EchoFlow::onTime(TimePoint now) {
  if (stallDeadline_ && now >= *stallDeadline_) {
    log("No reply: the flow stalled");
    return finish(OutcomeKind::Stalled);
  }
  if (now < due_) return;
  switch (phase_) {
    case Phase::Resetting:
      if (task_ == Task::Version) {
        beginStep(Step::Version);
        return sendAwaiting(Phase::QueryingVersion, versionReport(), now);
      }
      return sendAwaiting(Phase::Linking, linkReport(), now);
    case Phase::WaitingToWrite:
      beginStep(Step::Write);
      log("Downloading...");
      return sendWrite(0, now);
    case Phase::WaitingToBurn:
      beginStep(Step::Burn);
      log("Complete Writing...");
      return sendAwaiting(Phase::Burning, burnReport(), now);
    default:
      return;
  }
}

void EchoFlow::onReport(std::span<const std::uint8_t> report, TimePoint now) {
  // The window parses only full reports; anything shorter reads as code 0, which it ignores.
  if (report.size() < kReportSize) return;
  switch (report[0]) {
    case kCmdLink:
      if (phase_ != Phase::Linking) return;
      log("Initializing...");
      beginStep(Step::Erase);
      return sendAwaiting(Phase::Formatting, formatReport(), now);
    case kCmdFormat:
      if (phase_ != Phase::Formatting) return;
      log("Initialization finshed, waiting for downloading...");
      return waitUntil(Phase::WaitingToWrite, now + kWaitBeforeWriting);
    case kCmdWrite:
      if (phase_ != Phase::Writing || !writeInFlight_) return;
      writeInFlight_ = false;
      return writeReplied(report, now);
    case kCmdBurn:
      if (phase_ != Phase::Burning) return;
      stallDeadline_.reset();
      log("Finished");
      return finish(OutcomeKind::Completed);
    case kCmdVersion:
      if (phase_ != Phase::QueryingVersion) return;
      stallDeadline_.reset();
      // QuenlorHID shows "Version: " and the version once the query is over, in its own words.
      versionReceived({report[3], report[4], report[5], report[6]}, false);
      return finish(OutcomeKind::Completed);
    default:
      return;
  }
}

void EchoFlow::writeReplied(std::span<const std::uint8_t> reply, TimePoint now) {
  const auto address = static_cast<std::uint16_t>(reply[1] | reply[2] << 8);
  // The Write answered is the one sent (its address), with the data sent.
  bool echoed =
      nuv::replyEchoes(sent_.data(), reply.data(), static_cast<std::uint32_t>(reply.size()));
  for (std::size_t i = 3; i < 7; ++i) echoed = echoed && reply[i] == sent_[i];
  if (!echoed) {
    note("Writing error!!!");
    return finish(OutcomeKind::EchoMismatch);
  }
  if (address == kLastAddress) {
    progress(address, kTotalBytes, kTotalBytes);
    log("Downloading finished");
    return waitUntil(Phase::WaitingToBurn, now + kWaitBeforeBurn);
  }
  sendWrite(static_cast<std::uint16_t>(address + 4), now);
}

void EchoFlow::onSendFailed(TimePoint /*now*/) {
  unsend();
  if (phase_ != Phase::Writing || !writeInFlight_) return;
  writeInFlight_ = false;
  log("User canceled");
  finish(OutcomeKind::WriteFailed);
}

}  // namespace nuv::flow
