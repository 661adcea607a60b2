#include "run/SimLink.h"

#include <algorithm>
#include <cstring>

#include "protocol/Framing.h"

namespace nuv::run {
namespace {

class SimLink final : public DeviceLink {
 public:
  explicit SimLink(std::shared_ptr<sim::Connection> c) : connection_(std::move(c)) {}

  nuv::IoStatus send(const Report& command, nuv::Error& error) override {
    std::array<std::uint8_t, 65> out{};
    (void)nuv::frameReport(command, out);
    const std::size_t length =
        std::min<std::size_t>(connection_->info().outputReportLength, out.size());
    const nuv::IoStatus status = connection_->write(out.data(), length);
    if (status == nuv::IoStatus::Gone) error = nuv::Error::message("the device was unplugged");
    if (status == nuv::IoStatus::Failed)
      error = nuv::Error::message("the device refused the report");
    return status == nuv::IoStatus::Ok || status == nuv::IoStatus::Gone ? status
                                                                        : nuv::IoStatus::Failed;
  }

  nuv::IoStatus receive(Report& reply, std::chrono::milliseconds timeout,
                        nuv::Error& error) override {
    std::uint8_t in[65];
    std::size_t n = 0;
    switch (connection_->read(in, sizeof in, &n, timeout)) {
      case nuv::IoStatus::Ok: {
        // The bus hands over what the device sent: framed with the report ID (Framing.h).
        const auto payload = nuv::payloadOf({in, n});
        reply.fill(0);
        std::memcpy(reply.data(), payload.data(), std::min(payload.size(), reply.size()));
        return nuv::IoStatus::Ok;
      }
      case nuv::IoStatus::TimedOut:
      case nuv::IoStatus::Cancelled:
        return nuv::IoStatus::TimedOut;
      case nuv::IoStatus::Gone:
        error = nuv::Error::message("the device was unplugged");
        return nuv::IoStatus::Gone;
      case nuv::IoStatus::Failed:
        break;
    }
    error = nuv::Error::message("the read failed");
    return nuv::IoStatus::Failed;
  }

 private:
  std::shared_ptr<sim::Connection> connection_;
};

}  // namespace

std::unique_ptr<DeviceLink> openSimLink(sim::VirtualBus& bus, const std::string& path) {
  auto connection = bus.open(path);
  return connection ? std::make_unique<SimLink>(std::move(connection)) : nullptr;
}

}  // namespace nuv::run
