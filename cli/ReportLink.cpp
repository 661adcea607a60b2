#include "cli/ReportLink.h"

#include <array>
#include <cstring>

#include "protocol/Framing.h"

#ifdef __linux__
#include "platform/hidraw/Hidraw.h"
#endif

namespace nuv::cli {
namespace {

using nuv::IoStatus;

// The first 8 payload bytes of the reply (zeros for what it lacks); Failed when it is shorter.
IoStatus takeReply(std::span<const std::uint8_t> framed, std::uint8_t reply[8], nuv::Error* error) {
  const auto payload = nuv::payloadOf(framed);
  std::memset(reply, 0, kReportSize);
  std::memcpy(reply, payload.data(), std::min<std::size_t>(kReportSize, payload.size()));
  if (payload.size() < kReportSize) {
    *error = nuv::Error::message("the device's reply is shorter than 8 bytes");
    return IoStatus::Failed;
  }
  return IoStatus::Ok;
}

class SimLink final : public ReportLink {
 public:
  explicit SimLink(std::shared_ptr<sim::Connection> c) : connection_(std::move(c)) {}

  IoStatus exchange(const std::uint8_t command[8], std::uint8_t reply[8],
                    std::chrono::milliseconds timeout, nuv::Error* error) override {
    std::array<std::uint8_t, 65> out{};
    const std::size_t length = connection_->info().outputReportLength;
    (void)nuv::frameReport({command, kReportSize}, out);
    switch (connection_->write(out.data(), std::min(length, out.size()))) {
      case IoStatus::Ok:
        break;
      case IoStatus::Gone:
        *error = nuv::Error::message("the device was unplugged");
        return IoStatus::Gone;
      default:
        *error = nuv::Error::message("the device refused the report");
        return IoStatus::Failed;
    }
    std::uint8_t in[65];
    std::size_t n = 0;
    switch (connection_->read(in, sizeof in, &n, timeout)) {
      case IoStatus::Ok:
        return takeReply({in, n}, reply, error);
      case IoStatus::TimedOut:
        return IoStatus::TimedOut;
      case IoStatus::Gone:
        *error = nuv::Error::message("the device was unplugged");
        return IoStatus::Gone;
      default:
        *error = nuv::Error::message("the read was cancelled");
        return IoStatus::Failed;
    }
  }

 private:
  std::shared_ptr<sim::Connection> connection_;
};

#ifdef __linux__
class HidrawLink final : public ReportLink {
 public:
  HidrawLink(nuv::hidraw::Node node, bool usesIds, std::size_t outLength)
      : node_(std::move(node)), usesIds_(usesIds), outLength_(outLength) {}

  IoStatus exchange(const std::uint8_t command[8], std::uint8_t reply[8],
                    std::chrono::milliseconds timeout, nuv::Error* error) override {
    std::array<std::uint8_t, 65> out{};
    (void)nuv::frameReport({command, kReportSize}, out);
    const auto wrote = node_.write(std::span(
        out.data(), std::clamp<std::size_t>(outLength_, nuv::kFramedReportSize, out.size())));
    if (wrote.status != IoStatus::Ok) {
      *error = wrote.error.value_or(nuv::Error::message("write failed"));
      return wrote.status == IoStatus::Gone ? IoStatus::Gone : IoStatus::Failed;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() < 0) return IoStatus::TimedOut;
      const auto ready = node_.waitReadable(static_cast<int>(left.count()));
      if (ready.status == IoStatus::TimedOut) continue;
      if (ready.status != IoStatus::Ok) {
        *error = ready.error.value_or(nuv::Error::message("wait failed"));
        return ready.status == IoStatus::Gone ? IoStatus::Gone : IoStatus::Failed;
      }
      std::uint8_t in[65];
      const auto got = node_.readWithReportId(in, usesIds_);
      if (got.status == IoStatus::TimedOut) continue;
      if (got.status != IoStatus::Ok) {
        *error = got.error.value_or(nuv::Error::message("read failed"));
        return got.status == IoStatus::Gone ? IoStatus::Gone : IoStatus::Failed;
      }
      return takeReply({in, got.count}, reply, error);
    }
  }

 private:
  nuv::hidraw::Node node_;
  bool usesIds_;
  std::size_t outLength_;
};
#endif

}  // namespace

std::unique_ptr<ReportLink> openSimLink(sim::VirtualBus& bus, const std::string& path) {
  auto c = bus.open(path);
  return c ? std::make_unique<SimLink>(std::move(c)) : nullptr;
}

#ifdef __linux__
std::unique_ptr<ReportLink> openHidrawLink(const std::string& path, nuv::Error& why,
                                           nuv::hidraw::SystemCalls& sys) {
  auto node = nuv::hidraw::Node::open(path, nuv::hidraw::OpenMode::ReadWrite, sys);
  if (!node) {
    why = node.error();
    return nullptr;
  }
  auto caps = node.value().capabilities();
  if (!caps) {
    why = caps.error();
    return nullptr;
  }
  return std::make_unique<HidrawLink>(std::move(node).value(), caps.value().usesReportIds,
                                      caps.value().outputReportByteLength);
}
#endif

}  // namespace nuv::cli
