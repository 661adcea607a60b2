#include "flow/StrictFlow.h"

#include "flow/ImageChunks.h"
#include "protocol/HIDProto.h"
#include "protocol/UpdateImage.h"

namespace nuv::flow {

void StrictFlow::onStart(TimePoint now) {
  timerStart_ = now;
  if (task_ == Task::Download) {
    if (!image::sizeAccepted(image().size())) {
      log("Filesize is error");
      return finish(imageRefusedOutcome(RefusalReason::Size));
    }
    if (!image::versionAccepted(image())) {
      log("Version is error");
      return finish(imageRefusedOutcome(RefusalReason::Version));
    }
  }
  beginStep(Step::Link);
  log("Link...");
  exchange(Awaiting::Link, linkReport(), now);
}

void StrictFlow::exchange(Awaiting what, const Report& report, TimePoint now) {
  awaiting_ = what;
  sent_ = report;
  send(report);
  // The tick that ends the wait: the 21st after the send, on the timer's 200 ms grid.
  const auto sinceStart = now - timerStart_;
  const auto ticksBefore = sinceStart / kTickPeriod;
  deadline_ = timerStart_ + kTickPeriod * (ticksBefore + kTicksToTimeout);
  wakeAt(deadline_);
}

void StrictFlow::sendWrite(TimePoint now) {
  const auto address = static_cast<std::uint16_t>(writeAddress_);
  const WriteData data = firmwareChunk(image(), address);
  progress(address, writeAddress_, kTotalBytes);
  exchange(Awaiting::Write, writeReport(address, data.data()), now);
  setAddress(address);
}

void StrictFlow::onReport(std::span<const std::uint8_t> report, TimePoint now) {
  if (awaiting_ == Awaiting::Nothing) return;
  const auto byteAt = [&](std::size_t i) -> std::uint8_t {
    return i < report.size() ? report[i] : 0;
  };
  OutcomeKind failure = OutcomeKind::Completed;
  if (!nuv::replyEchoes(sent_.data(), report.data(), static_cast<std::uint32_t>(report.size())))
    failure = OutcomeKind::DataError;
  if (byteAt(0) == 0) failure = OutcomeKind::NoResponse;
  if (failure != OutcomeKind::Completed) {
    awaiting_ = Awaiting::Nothing;
    log(failure == OutcomeKind::NoResponse ? "No  respond" : "Data error");
    return finish(failure);
  }
  accepted(report, now);
}

void StrictFlow::accepted(std::span<const std::uint8_t> reply, TimePoint now) {
  const Awaiting was = awaiting_;
  awaiting_ = Awaiting::Nothing;
  switch (was) {
    case Awaiting::Link:
      beginStep(Step::Version);
      log("Get version...");
      return exchange(Awaiting::Version, versionReport(), now);
    case Awaiting::Version: {
      std::array<std::uint8_t, 4> version{};
      for (std::size_t i = 0; i < 4; ++i) version[i] = 3 + i < reply.size() ? reply[3 + i] : 0;
      versionReceived(version, task_ == Task::Version);
      if (task_ == Task::Version) return finish(OutcomeKind::Completed);
      if (!image::deviceVersionAccepted(version[0])) {
        log("Device ver is error");
        return finish(OutcomeKind::DeviceVersionRefused);
      }
      beginStep(Step::Erase);
      log("Erase...");
      return exchange(Awaiting::Format, formatReport(), now);
    }
    case Awaiting::Format:
      beginStep(Step::Write);
      log("Writing Data...");
      writeAddress_ = 0;
      return sendWrite(now);
    case Awaiting::Write:
      writeAddress_ += 4;
      if (writeAddress_ < image::WindowsImageWalk::kEndAddress) return sendWrite(now);
      progress(static_cast<std::uint16_t>(writeAddress_ - 4), kTotalBytes, kTotalBytes);
      beginStep(Step::Burn);
      log("Writing All...");
      return exchange(Awaiting::Burn, burnReport(), now);
    case Awaiting::Burn:
      log("Update Completed");
      return finish(OutcomeKind::Completed);
    case Awaiting::Nothing:
      return;
  }
}

void StrictFlow::onTime(TimePoint now) {
  if (awaiting_ == Awaiting::Nothing || now < deadline_) return;
  awaiting_ = Awaiting::Nothing;
  log("Time out  error");
  finish(OutcomeKind::Timeout);
}

void StrictFlow::onSendFailed(TimePoint /*now*/) {
  if (awaiting_ == Awaiting::Nothing) return;
  awaiting_ = Awaiting::Nothing;
  unsend();
  log("Data error");
  finish(OutcomeKind::WriteFailed);
}

}  // namespace nuv::flow
