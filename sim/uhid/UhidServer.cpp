#include "sim/uhid/UhidServer.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>

namespace nuv::sim::uhid {

Server::Server(Channel channel, std::shared_ptr<UpdateDevice> device)
    : channel_(std::move(channel)), engine_(std::move(device)) {}

std::optional<nuv::Error> Server::create(const Identity& identity) {
  if (auto error = channel_.create(identity)) return error;
  created_ = true;
  engine_.restartFrameClock(nuv::realClock().now());
  return std::nullopt;
}

std::optional<nuv::Error> Server::unplug() {
  if (!created_) return std::nullopt;
  created_ = false;
  started_ = false;
  opens_ = 0;
  engine_.dropPending();
  return channel_.destroy();
}

Server::Step Server::handle(const uhid_event& event, nuv::Clock::time_point now) {
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
    case UHID_OUTPUT: {
      // Output reports only; feature reports come as UHID_SET_REPORT.
      if (event.u.output.rtype != UHID_OUTPUT_REPORT) break;
      const std::size_t size = std::min<std::size_t>(event.u.output.size, UHID_DATA_MAX);
      if (engine_.onOutput(event.u.output.data, size, false, now) ==
          ReportEngine::Outcome::Unplug) {
        if (auto error = unplug()) return fail(*error);
        return Step::Unplugged;
      }
      return Step::Handled;
    }
    case UHID_GET_REPORT:
      ++engine_.stats().otherEvents;
      if (auto error = channel_.refuseGetReport(event.u.get_report.id)) return fail(*error);
      return Step::Handled;
    case UHID_SET_REPORT:
      ++engine_.stats().otherEvents;
      if (auto error = channel_.refuseSetReport(event.u.set_report.id)) return fail(*error);
      return Step::Handled;
    default:
      break;
  }
  ++engine_.stats().otherEvents;
  return Step::Handled;
}

Server::Step Server::sendDue(nuv::Clock::time_point now) {
  bool sent = false;
  auto error = engine_.sendDue(
      now,
      [&](const std::uint8_t* data, std::size_t len, nuv::Error& why) {
        auto failed = channel_.sendInput(data, len);
        if (!failed) return ReportEngine::SendResult::Sent;
        // EINVAL: the kernel's driver is not (or no longer) bound; nobody is there to read it.
        if (failed->code == EINVAL) return ReportEngine::SendResult::Dropped;
        why = std::move(*failed);
        return ReportEngine::SendResult::Failed;
      },
      &sent);
  if (error) return fail(*error);
  return sent ? Step::Handled : Step::Idle;
}

Server::Wait Server::waitFor() const {
  return {channel_.fd(), POLLIN, engine_.nextDue()};
}

Server::Step Server::serve(short revents) {
  Step result = Step::Idle;
  if (revents & (POLLIN | POLLHUP | POLLERR)) {
    // Everything readable now, so that a burst of commands is not served one poll at a time.
    for (;;) {
      nuv::Error error;
      const auto status = channel_.readEvent(in_, &error);
      if (status == nuv::IoStatus::TimedOut) break;
      if (status == nuv::IoStatus::Gone) return Step::Closed;
      if (status == nuv::IoStatus::Failed) return fail(std::move(error));
      const Step step = handle(in_, nuv::realClock().now());
      if (step == Step::Failed || step == Step::Unplugged) return step;
      result = Step::Handled;
    }
  }
  const Step sent = sendDue(nuv::realClock().now());
  if (sent == Step::Failed) return sent;
  if (sent == Step::Handled) result = Step::Handled;
  return result;
}

}  // namespace nuv::sim::uhid
