#include "cli/WireWatch.h"

#include "protocol/Framing.h"
#include "protocol/HIDProto.h"

namespace nuv::cli {

const char* deviceStateName(DeviceState state) {
  switch (state) {
    case DeviceState::Untouched:
      return "untouched";
    case DeviceState::Erased:
      return "erased";
    case DeviceState::PartlyWritten:
      return "partly_written";
    case DeviceState::Burnt:
      return "burnt";
  }
  return "untouched";
}

const char* stepOfCommand(std::uint8_t code) {
  switch (code) {
    case kCmdLink:
      return "link";
    case kCmdVersion:
      return "version";
    case kCmdFormat:
      return "erase";
    case kCmdWrite:
      return "write";
    case kCmdBurn:
      return "burn";
    case kCmdRead:
      return "read";
    case kCmdRefresh:
      return "refresh";
    default:
      return "";
  }
}

void WireWatch::event(nuv::SessionEventKind kind, std::span<const std::uint8_t> report,
                      std::string_view error) {
  {
    std::lock_guard lock(mutex_);
    switch (kind) {
      case nuv::SessionEventKind::Sent: {
        // Written reports carry their report-ID byte first (Framing.h).
        const auto payload = report.size() > kReportSize ? nuv::payloadOf(report) : report;
        if (payload.size() < 3) break;
        summary_.lastCommand = payload[0];
        summary_.lastAddress = static_cast<std::uint16_t>(payload[1] | (payload[2] << 8));
        summary_.lastAnswered = false;
        // Format erases and Burn commits as they arrive, whether or not an answer follows.
        if (payload[0] == kCmdFormat) summary_.state = DeviceState::Erased;
        if (payload[0] == kCmdBurn) summary_.state = DeviceState::Burnt;
        break;
      }
      case nuv::SessionEventKind::Received: {
        // Replies come as the device sends them: 8 bytes, or framed with a report ID.
        const auto payload = report.size() > kReportSize ? nuv::payloadOf(report) : report;
        if (payload.empty() || !summary_.lastCommand || payload[0] != *summary_.lastCommand) break;
        summary_.lastAnswered = true;
        if (payload[0] == kCmdVersion && payload.size() >= 7)
          summary_.version =
              std::array<std::uint8_t, 4>{payload[3], payload[4], payload[5], payload[6]};
        if (payload[0] == kCmdWrite && summary_.state == DeviceState::Erased)
          summary_.state = DeviceState::PartlyWritten;
        break;
      }
      case nuv::SessionEventKind::SendFailed: {
        // The command that could not be written is where the run stopped; it was not carried
        // out, so the device's state stays as it was.
        const auto payload = report.size() > kReportSize ? nuv::payloadOf(report) : report;
        if (payload.size() >= 3) {
          summary_.lastCommand = payload[0];
          summary_.lastAddress = static_cast<std::uint16_t>(payload[1] | (payload[2] << 8));
          summary_.lastAnswered = false;
        }
        summary_.sendFailed = true;
        break;
      }
      case nuv::SessionEventKind::Gone:
        summary_.gone = true;
        break;
    }
  }
  if (next_ != nullptr) next_->event(kind, report, error);
}

WireSummary WireWatch::summary() const {
  std::lock_guard lock(mutex_);
  return summary_;
}

}  // namespace nuv::cli
