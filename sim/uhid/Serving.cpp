#include "sim/uhid/Serving.h"

#include <algorithm>
#include <cerrno>
#include <ctime>

namespace nuv::sim::uhid {

ServeStep Serving::fail(nuv::Error error) {
  lastError_ = std::move(error);
  return ServeStep::Failed;
}

ServeStep Serving::runOnce(int extraFd, std::chrono::milliseconds maxWait) {
  Serving* self = this;
  ServeStep step = ServeStep::Idle;
  pollfd polls[2];
  nuv::Error error;
  const ServeStep turn = serveTogether({&self, 1}, {&step, 1}, extraFd, maxWait, polls, &error);
  if (turn == ServeStep::Failed) return fail(std::move(error));
  if (step == ServeStep::Idle || step == ServeStep::Handled) {
    if (turn == ServeStep::ExtraReady) return turn;
  }
  return step;
}

ServeStep serveTogether(std::span<Serving* const> servings, std::span<ServeStep> steps, int extraFd,
                        std::chrono::milliseconds maxWait, std::span<pollfd> polls,
                        nuv::Error* error) {
  auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(maxWait);
  const auto now = nuv::realClock().now();
  for (std::size_t i = 0; i < servings.size(); ++i) {
    steps[i] = ServeStep::Idle;
    if (servings[i] == nullptr) {
      polls[i] = {-1, 0, 0};  // poll skips a negative descriptor
      continue;
    }
    const Serving::Wait w = servings[i]->waitFor();
    polls[i] = {w.fd, w.events, 0};
    if (w.due) {
      wait = std::clamp(std::chrono::duration_cast<std::chrono::nanoseconds>(*w.due - now),
                        std::chrono::nanoseconds(0), wait);
    }
  }
  const std::size_t extra = servings.size();
  polls[extra] = {extraFd, POLLIN, 0};
  const timespec ts{static_cast<time_t>(wait.count() / 1000000000),
                    static_cast<long>(wait.count() % 1000000000)};
  const int ready = ::ppoll(polls.data(), extra + 1, &ts, nullptr);
  if (ready < 0 && errno != EINTR) {
    if (error) *error = nuv::Error::fromErrno("ppoll", errno);
    return ServeStep::Failed;
  }
  for (std::size_t i = 0; i < servings.size(); ++i) {
    if (servings[i] == nullptr) continue;
    steps[i] = servings[i]->serve(ready > 0 ? polls[i].revents : 0);
  }
  if (ready > 0 && extraFd >= 0 && (polls[extra].revents & POLLIN)) return ServeStep::ExtraReady;
  return ServeStep::Idle;
}

}  // namespace nuv::sim::uhid
