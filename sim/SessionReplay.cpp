#include "sim/SessionReplay.h"

#include <algorithm>
#include <cstring>
#include <span>

namespace nuv::sim {

SessionReplay::SessionReplay(std::vector<nuv::SessionEvent> events) {
  std::chrono::microseconds sentAt{0};
  for (nuv::SessionEvent& e : events) {
    switch (e.kind) {
      case nuv::SessionEventKind::Sent:
      case nuv::SessionEventKind::SendFailed:
        exchanges_.push_back({std::move(e.report), e.kind == nuv::SessionEventKind::SendFailed});
        sentAt = e.at;
        break;
      case nuv::SessionEventKind::Received:
        // Reports that came before the first command answered nothing of the host's.
        if (exchanges_.empty()) break;
        if (exchanges_.back().replies.empty()) exchanges_.back().delay = e.at - sentAt;
        exchanges_.back().replies.push_back(std::move(e.report));
        break;
      case nuv::SessionEventKind::Gone:
        if (!exchanges_.empty()) exchanges_.back().goneAfter = true;
        break;
    }
  }
}

DeviceResponse SessionReplay::answer(const std::uint8_t* raw, std::size_t len) {
  std::lock_guard lock(mutex_);
  DeviceResponse out;
  out.copies = 0;
  if (departure_) return out;
  const std::span<const std::uint8_t> sent(raw, len);
  if (next_ == exchanges_.size()) {
    departure_ = "report " + std::to_string(next_ + 1) + ": the host sent " + nuv::hexOf(sent) +
                 " after the record's last report";
    out.unplug = true;
    return out;
  }
  const Exchange& e = exchanges_[next_];
  if (!std::equal(sent.begin(), sent.end(), e.sent.begin(), e.sent.end())) {
    departure_ = "report " + std::to_string(next_ + 1) + ": the host sent " + nuv::hexOf(sent) +
                 ", the record has " + nuv::hexOf(e.sent);
    out.unplug = true;
    return out;
  }
  ++next_;
  if (e.sendFailed) {
    out.writeFails = true;
    return out;
  }
  if (!e.replies.empty()) {
    const auto& first = e.replies.front();
    out.replyLength = static_cast<std::uint8_t>(std::min<std::size_t>(first.size(), 8));
    std::memcpy(out.reply.data(), first.data(), out.replyLength);
    out.copies = e.replies.size() > 1 && e.replies[1] == first ? 2 : 1;
    out.extraDelay = std::max(e.delay, std::chrono::microseconds(0));
  }
  if (e.goneAfter) {
    out.unplug = true;
    out.copies = 0;
  }
  return out;
}

std::optional<std::string> SessionReplay::departure() const {
  std::lock_guard lock(mutex_);
  return departure_;
}

std::size_t SessionReplay::reportsFollowed() const {
  std::lock_guard lock(mutex_);
  return next_;
}

}  // namespace nuv::sim
