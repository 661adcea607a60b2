#include "UhidServer.h"

#include <poll.h>

#include <algorithm>
#include <cstring>
#include <ctime>

namespace sim::uhid {

Server::Server(Channel channel, std::shared_ptr<UpdateDevice> device)
    : channel_(std::move(channel)), device_(std::move(device)) {}

std::optional<nuv::Error> Server::create(const Identity& identity) {
  if (auto error = channel_.create(identity)) return error;
  created_ = true;
  epoch_ = Clock::now();
  return std::nullopt;
}

std::optional<nuv::Error> Server::unplug() {
  if (!created_) return std::nullopt;
  created_ = false;
  started_ = false;
  opens_ = 0;
  queue_.clear();
  return channel_.destroy();
}

std::size_t Server::normaliseOutput(const std::uint8_t* data, std::size_t size,
                                    bool alreadyStripped, std::array<std::uint8_t, 9>& frame) {
  frame.fill(0);
  if (!alreadyStripped && size > 0 && data[0] == 0x00) {
    ++data;
    --size;
  }
  const std::size_t n = std::min<std::size_t>(size, kReportBytes);
  std::memcpy(frame.data() + 1, data, n);
  return 1 + n;
}

Clock::time_point Server::dueAt(const DeviceResponse& response, Clock::time_point now) const {
  const Latency latency = device_->latency();
  Clock::time_point at = now;
  switch (latency.model) {
    case Latency::Model::None:
      break;
    case Latency::Model::Fixed:
      at = now + latency.fixed;
      break;
    case Latency::Model::UsbFrame: {
      const auto frame = std::chrono::milliseconds(1);
      at = epoch_ + ((now - epoch_) / frame + 1) * frame;
      break;
    }
  }
  return at + response.extraDelay;
}

Server::Step Server::fail(nuv::Error error) {
  lastError_ = std::move(error);
  return Step::Failed;
}

Server::Step Server::onOutput(const uhid_output_req& output, Clock::time_point now) {
  ++stats_.outputs;
  const std::size_t size = std::min<std::size_t>(output.size, UHID_DATA_MAX);
  const std::size_t len = normaliseOutput(output.data, size, reportIdStripped_, frame_);
  const DeviceResponse response = device_->receive(frame_.data(), len);
  if (response.writeFails) {
    ++stats_.commandsLost;
    return Step::Handled;
  }
  if (response.unplug) {
    if (auto error = unplug()) return fail(*error);
    return Step::Unplugged;
  }
  if (response.copies <= 0) return Step::Handled;
  PendingReply reply;
  reply.bytes = response.reply;
  reply.length = response.replyLength;
  reply.due = dueAt(response, now);
  reply.sequence = device_->lastReplySequence();
  for (int i = 0; i < response.copies; ++i) {
    if (queue_.push(reply)) ++stats_.repliesDropped;
  }
  return Step::Handled;
}

Server::Step Server::handle(const uhid_event& event, Clock::time_point now) {
  switch (event.type) {
    case UHID_START:
      started_ = true;
      return Step::Handled;
    case UHID_STOP:
      started_ = false;
      return Step::Handled;
    case UHID_OPEN:
      ++opens_;
      return Step::Handled;
    case UHID_CLOSE:
      opens_ = std::max(0, opens_ - 1);
      return Step::Handled;
    case UHID_OUTPUT:
      // Output reports only; feature reports come as UHID_SET_REPORT.
      if (event.u.output.rtype != UHID_OUTPUT_REPORT) break;
      return onOutput(event.u.output, now);
    case UHID_GET_REPORT:
      ++stats_.otherEvents;
      if (auto error = channel_.refuseGetReport(event.u.get_report.id)) return fail(*error);
      return Step::Handled;
    case UHID_SET_REPORT:
      ++stats_.otherEvents;
      if (auto error = channel_.refuseSetReport(event.u.set_report.id)) return fail(*error);
      return Step::Handled;
    default:
      break;
  }
  ++stats_.otherEvents;
  return Step::Handled;
}

Server::Step Server::sendDue(Clock::time_point now) {
  PendingReply reply;
  bool sent = false;
  while (queue_.popDue(now, reply)) {
    if (auto error = channel_.sendInput(reply.bytes.data(), reply.length)) {
      // EINVAL: the kernel's driver is not (or no longer) bound; the host is gone and the
      // reply has nobody to go to.
      if (error->code == EINVAL) {
        ++stats_.repliesDropped;
        continue;
      }
      return fail(*error);
    }
    device_->replyConsumed(reply.sequence);
    ++stats_.repliesSent;
    sent = true;
  }
  return sent ? Step::Handled : Step::Idle;
}

Server::Step Server::runOnce(int extraFd, std::chrono::milliseconds maxWait) {
  auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(maxWait);
  if (const auto due = queue_.nextDue()) {
    wait = std::clamp(std::chrono::duration_cast<std::chrono::nanoseconds>(*due - Clock::now()),
                      std::chrono::nanoseconds(0), wait);
  }
  pollfd fds[2] = {{channel_.fd(), POLLIN, 0}, {extraFd, POLLIN, 0}};
  const timespec ts{static_cast<time_t>(wait.count() / 1000000000),
                    static_cast<long>(wait.count() % 1000000000)};
  const int ready = ::ppoll(fds, extraFd >= 0 ? 2 : 1, &ts, nullptr);
  if (ready < 0 && errno != EINTR) return fail(nuv::Error::fromErrno("ppoll", errno));

  Step result = Step::Idle;
  if (ready > 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
    // Everything readable now, so that a burst of commands is not served one poll at a time.
    for (;;) {
      nuv::Error error;
      const auto status = channel_.readEvent(in_, &error);
      if (status == Channel::ReadStatus::NothingYet) break;
      if (status == Channel::ReadStatus::Closed) return Step::Closed;
      if (status == Channel::ReadStatus::Failed) return fail(std::move(error));
      const Step step = handle(in_, Clock::now());
      if (step == Step::Failed || step == Step::Unplugged) return step;
      result = Step::Handled;
    }
  }
  const Step sent = sendDue(Clock::now());
  if (sent == Step::Failed) return sent;
  if (sent == Step::Handled) result = Step::Handled;
  if (ready > 0 && extraFd >= 0 && (fds[1].revents & POLLIN)) return Step::ExtraReady;
  return result;
}

}  // namespace sim::uhid
