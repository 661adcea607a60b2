#include "flow/VerifyFlow.h"

#include "flow/ImageChunks.h"
#include "protocol/HIDProto.h"
#include "protocol/UpdateImage.h"

namespace nuv::flow {

void VerifyFlow::onStart(TimePoint now) {
  if (!image::sizeAccepted(image().size())) {
    log("Filesize is error");
    return finish(imageRefusedOutcome(RefusalReason::Size));
  }
  beginStep(Step::Read);
  log("Verifying...");
  sendRead(now);
}

void VerifyFlow::sendRead(TimePoint now) {
  const auto address = static_cast<std::uint16_t>(address_);
  progress(address, address_, end_);
  send(readReport(address));
  setAddress(address);
  awaiting_ = true;
  deadline_ = now + replyTimeout_;
  wakeAt(deadline_);
}

void VerifyFlow::onReport(std::span<const std::uint8_t> report, TimePoint now) {
  if (!awaiting_) return;
  awaiting_ = false;
  const Report sent = readReport(static_cast<std::uint16_t>(address_));
  if (report.size() < 7 ||
      !nuv::replyEchoes(sent.data(), report.data(), static_cast<std::uint32_t>(report.size()))) {
    log("Data error");
    return finish(OutcomeKind::DataError);
  }
  const WriteData want = firmwareChunk(image(), static_cast<std::uint16_t>(address_));
  for (std::size_t i = 0; i < 4; ++i) {
    if (report[3 + i] == want[i]) continue;
    if (!firstMismatch_) firstMismatch_ = static_cast<std::uint16_t>(address_ + i);
    ++mismatches_;
  }
  address_ += 4;
  if (address_ < end_) return sendRead(now);
  progress(static_cast<std::uint16_t>(end_ - 4), end_, end_);
  if (mismatches_ == 0) {
    log("Verified: the device holds the image");
    return finish(OutcomeKind::Completed);
  }
  log("Verify failed");
  Outcome outcome;
  outcome.kind = OutcomeKind::VerifyMismatch;
  outcome.step = Step::Read;
  outcome.address = firstMismatch_;
  outcome.mismatchedBytes = mismatches_;
  finish(outcome);
}

void VerifyFlow::onTime(TimePoint now) {
  if (!awaiting_ || now < deadline_) return;
  awaiting_ = false;
  log("Time out  error");
  finish(OutcomeKind::Timeout);
}

void VerifyFlow::onSendFailed(TimePoint /*now*/) {
  if (!awaiting_) return;
  awaiting_ = false;
  log("Data error");
  finish(OutcomeKind::WriteFailed);
}

}  // namespace nuv::flow
