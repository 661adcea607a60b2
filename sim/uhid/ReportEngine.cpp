#include "sim/uhid/ReportEngine.h"

#include <algorithm>

#include "sim/uhid/UhidIdentity.h"

namespace nuv::sim::uhid {

ReportEngine::ReportEngine(std::shared_ptr<UpdateDevice> device) : device_(std::move(device)) {}

std::size_t ReportEngine::normaliseOutput(const std::uint8_t* data, std::size_t size,
                                          bool alreadyStripped,
                                          std::array<std::uint8_t, nuv::kFramedReportSize>& frame) {
  if (!alreadyStripped && size > 0 && data[0] == nuv::kReportId) {
    ++data;
    --size;
  }
  return nuv::frameReport({data, std::min<std::size_t>(size, kReportBytes)}, frame);
}

ReportEngine::Outcome ReportEngine::onOutput(const std::uint8_t* data, std::size_t size,
                                             bool alreadyStripped, nuv::Clock::time_point now) {
  ++stats_.outputs;
  const std::size_t len = normaliseOutput(data, size, alreadyStripped, frame_);
  const DeviceResponse response = device_->receive(frame_.data(), len);
  if (response.writeFails) {
    // The transport has already told the host that its write succeeded; the device drops the
    // command, so the host sees no reply.
    ++stats_.commandsLost;
    return Outcome::Handled;
  }
  if (response.unplug) {
    queue_.clear();
    return Outcome::Unplug;
  }
  if (response.copies <= 0) return Outcome::Handled;
  PendingReply reply;
  reply.bytes = response.reply;
  reply.length = response.replyLength;
  reply.due = replyDueAt(device_->latency(), response, epoch_, now);
  reply.sequence = device_->lastReplySequence();
  for (int i = 0; i < response.copies; ++i) {
    if (queue_.push(reply)) ++stats_.repliesDropped;
  }
  return Outcome::Handled;
}

}  // namespace nuv::sim::uhid
