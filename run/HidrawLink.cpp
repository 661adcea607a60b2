#include "run/HidrawLink.h"

#include <algorithm>
#include <cstring>

#include "platform/hidraw/Hidraw.h"
#include "protocol/Framing.h"

namespace nuv::run {
namespace {

class HidrawLink final : public DeviceLink {
 public:
  HidrawLink(nuv::hidraw::Node node, bool usesIds, std::size_t outLength)
      : node_(std::move(node)), usesIds_(usesIds), outLength_(outLength) {}

  nuv::IoStatus send(const Report& command, nuv::Error& error) override {
    std::array<std::uint8_t, 65> out{};
    (void)nuv::frameReport(command, out);
    // A report goes out at the device's full output length, never shorter than a framed one.
    const auto wrote = node_.write(std::span(
        out.data(), std::clamp<std::size_t>(outLength_, nuv::kFramedReportSize, out.size())));
    if (wrote.status == nuv::IoStatus::Ok) return nuv::IoStatus::Ok;
    error = wrote.error.value_or(nuv::Error::message("write failed"));
    return wrote.status == nuv::IoStatus::Gone ? nuv::IoStatus::Gone : nuv::IoStatus::Failed;
  }

  nuv::IoStatus receive(Report& reply, std::chrono::milliseconds timeout,
                        nuv::Error& error) override {
    const auto ready = node_.waitReadable(static_cast<int>(timeout.count()));
    if (ready.status == nuv::IoStatus::TimedOut) return nuv::IoStatus::TimedOut;
    if (ready.status != nuv::IoStatus::Ok) return failed(ready, error);
    std::uint8_t in[65];
    const auto got = node_.readWithReportId(in, usesIds_);
    if (got.status == nuv::IoStatus::TimedOut) return nuv::IoStatus::TimedOut;
    if (got.status != nuv::IoStatus::Ok) return failed(got, error);
    const auto payload = nuv::payloadOf({in, got.count});
    reply.fill(0);
    std::memcpy(reply.data(), payload.data(), std::min(payload.size(), reply.size()));
    return nuv::IoStatus::Ok;
  }

 private:
  template <typename IoResult>
  static nuv::IoStatus failed(const IoResult& result, nuv::Error& error) {
    error = result.error.value_or(nuv::Error::message("read failed"));
    return result.status == nuv::IoStatus::Gone ? nuv::IoStatus::Gone : nuv::IoStatus::Failed;
  }

  nuv::hidraw::Node node_;
  bool usesIds_;
  std::size_t outLength_;
};

}  // namespace

nuv::Result<std::unique_ptr<DeviceLink>> openHidrawLink(const std::string& path,
                                                        nuv::hidraw::SystemCalls& sys) {
  auto node = nuv::hidraw::Node::open(path, nuv::hidraw::OpenMode::ReadWrite, sys);
  if (!node) return node.error();
  auto caps = node.value().capabilities();
  if (!caps) return caps.error();
  return std::unique_ptr<DeviceLink>(std::make_unique<HidrawLink>(
      std::move(node).value(), caps.value().usesReportIds, caps.value().outputReportByteLength));
}

}  // namespace nuv::run
