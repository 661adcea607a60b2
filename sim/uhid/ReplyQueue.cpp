#include "sim/uhid/ReplyQueue.h"

#include <algorithm>

namespace nuv::sim::uhid {

bool ReplyQueue::push(PendingReply reply) {
  if (count_ > 0) reply.due = std::max(reply.due, lastDue_);
  lastDue_ = reply.due;
  bool dropped = false;
  if (count_ == kCapacity) {
    head_ = (head_ + 1) % kCapacity;
    --count_;
    dropped = true;
  }
  ring_[(head_ + count_) % kCapacity] = reply;
  ++count_;
  return dropped;
}

std::optional<nuv::Clock::time_point> ReplyQueue::nextDue() const {
  if (count_ == 0) return std::nullopt;
  return ring_[head_].due;
}

bool ReplyQueue::popDue(nuv::Clock::time_point now, PendingReply& out) {
  if (count_ == 0 || ring_[head_].due > now) return false;
  out = ring_[head_];
  head_ = (head_ + 1) % kCapacity;
  --count_;
  return true;
}

const PendingReply* ReplyQueue::peekDue(nuv::Clock::time_point now) const {
  if (count_ == 0 || ring_[head_].due > now) return nullptr;
  return &ring_[head_];
}

void ReplyQueue::popFront() {
  if (count_ == 0) return;
  head_ = (head_ + 1) % kCapacity;
  --count_;
}

}  // namespace nuv::sim::uhid
