#include "sim/UpdateDevice.h"

#include <algorithm>
#include <cstring>
#include <span>

#include "protocol/Framing.h"
#include "protocol/HIDProto.h"

namespace nuv::sim {

UpdateDevice::UpdateDevice(UpdateDeviceOptions options)
    : options_(std::move(options)),
      memory_(kMemorySize, options_.initialFill),
      burnt_(kMemorySize, options_.initialFill) {
  for (const Fault& f : options_.faults) faults_.push_back({f, false});
  // A whole download is about 16,400 commands; keep the log from reallocating during one.
  log_.reserve(20000);
}

bool UpdateDevice::matches(const Fault& f, std::uint8_t code, std::uint16_t address) const {
  switch (f.when.kind) {
    case Trigger::Kind::AtCommand:
      return log_.size() == f.when.value;
    case Trigger::Kind::AtAddress:
      return (code == kCmdWrite || code == kCmdRead) && address == f.when.value;
    case Trigger::Kind::AtCode:
      return code == f.when.value;
  }
  return false;
}

void UpdateDevice::carryOut(const std::uint8_t* cmd, DeviceResponse& out) {
  const std::uint8_t code = cmd[0];
  const std::uint16_t address = static_cast<std::uint16_t>(cmd[1] | (cmd[2] << 8));
  auto& r = out.reply;
  r.fill(0);
  r[0] = code;
  switch (code) {
    case kCmdLink:
      r[1] = static_cast<std::uint8_t>(options_.linkValue1 >> 16);
      r[2] = static_cast<std::uint8_t>(options_.linkValue1 >> 8);
      r[3] = static_cast<std::uint8_t>(options_.linkValue1);
      r[4] = static_cast<std::uint8_t>(options_.linkValue2 >> 16);
      r[5] = static_cast<std::uint8_t>(options_.linkValue2 >> 8);
      r[6] = static_cast<std::uint8_t>(options_.linkValue2);
      break;
    case kCmdFormat:
      std::fill(memory_.begin(), memory_.end(), 0xFF);
      ++formats_;
      break;
    case kCmdBurn:
      burnt_ = memory_;
      ++burns_;
      r[1] = 0xFF;
      r[2] = 0xFF;
      break;
    case kCmdWrite:
      for (int i = 0; i < 4; ++i) memory_[(address + i) % kMemorySize] = cmd[3 + i];
      std::memcpy(r.data() + 1, cmd + 1, 6);
      break;
    case kCmdRead:
      r[1] = cmd[1];
      r[2] = cmd[2];
      for (int i = 0; i < 4; ++i) r[3 + i] = memory_[(address + i) % kMemorySize];
      break;
    case kCmdVersion:
      for (std::size_t i = 0; i < 4; ++i)
        r[3 + i] = i < options_.version.size() ? static_cast<std::uint8_t>(options_.version[i]) : 0;
      break;
    default:
      // Refresh and unknown commands: a real device stays silent.
      out.copies = 0;
      return;
  }
  r[7] = HIDCheckSum(r.data(), kCheckedBytes);
}

DeviceResponse UpdateDevice::receive(const std::uint8_t* raw, std::size_t len) {
  std::lock_guard lock(mutex_);
  DeviceResponse out;
  std::uint8_t cmd[8] = {};
  const auto payload = nuv::payloadOf({raw, len});
  if (!payload.empty())
    std::memcpy(cmd, payload.data(), std::min<std::size_t>(sizeof cmd, payload.size()));
  const std::uint16_t address = static_cast<std::uint16_t>(cmd[1] | (cmd[2] << 8));

  CommandRecord record;
  record.rawLength = static_cast<std::uint8_t>(std::min<std::size_t>(len, record.raw.size()));
  std::memcpy(record.raw.data(), raw, record.rawLength);
  record.previousReplyUnread = replySequence_ > consumedSequence_;
  if (record.previousReplyUnread) ++overlapped_;
  log_.push_back(record);
  if (options_.script) {
    ++perCode_[cmd[0]];
    out = options_.script->answer(raw, len);
    if (out.writeFails) log_.pop_back();  // as with an injected write failure
    if (out.copies > 0) ++replySequence_;
    return out;
  }

  // Faults that stop the command before the device acts on it.
  // A fixed array: the device allocates nothing per command, so that allocation checks of
  // the host are not disturbed by it.
  std::array<const Fault*, 8> firing{};
  std::size_t firingCount = 0;
  for (ArmedFault& armed : faults_) {
    if (armed.spent || firingCount == firing.size() || !matches(armed.fault, cmd[0], address))
      continue;
    if (!armed.fault.repeat) armed.spent = true;
    firing[firingCount++] = &armed.fault;
  }
  const auto fired = std::span(firing.data(), firingCount);
  for (const Fault* f : fired) {
    if (f->kind == FaultKind::WriteFailure) {
      log_.pop_back();
      out.writeFails = true;
      return out;
    }
  }
  ++perCode_[cmd[0]];
  carryOut(cmd, out);
  for (const Fault* f : fired) {
    switch (f->kind) {
      case FaultKind::NoReply:
        out.copies = 0;
        break;
      case FaultKind::ReplyCodeZero:
        out.reply[0] = 0x00;
        break;
      case FaultKind::WrongCode:
        out.reply[0] ^= 0x80;
        break;
      case FaultKind::WrongAddress:
        out.reply[1] ^= 0x04;
        break;
      case FaultKind::WrongData:
        for (int i = 3; i < 7; ++i) out.reply[i] ^= 0xFF;
        break;
      case FaultKind::ShortReport:
        out.replyLength = 5;
        break;
      case FaultKind::Duplicate:
        out.copies = out.copies > 0 ? 2 : 0;
        break;
      case FaultKind::LateReply:
        out.extraDelay = f->delay;
        break;
      case FaultKind::Unplug:
        out.unplug = true;
        out.copies = 0;
        break;
      case FaultKind::WriteFailure:
        break;
    }
  }
  if (out.copies > 0) ++replySequence_;
  return out;
}

void UpdateDevice::replyConsumed(std::uint64_t sequence) {
  std::lock_guard lock(mutex_);
  consumedSequence_ = std::max(consumedSequence_, sequence);
}

std::uint64_t UpdateDevice::lastReplySequence() const {
  std::lock_guard lock(mutex_);
  return replySequence_;
}

std::vector<std::uint8_t> UpdateDevice::memory() const {
  std::lock_guard lock(mutex_);
  return memory_;
}

std::vector<std::uint8_t> UpdateDevice::burnt() const {
  std::lock_guard lock(mutex_);
  return burnt_;
}

std::vector<CommandRecord> UpdateDevice::commands() const {
  std::lock_guard lock(mutex_);
  return log_;
}

std::uint32_t UpdateDevice::commandCount() const {
  std::lock_guard lock(mutex_);
  return static_cast<std::uint32_t>(log_.size());
}

std::uint32_t UpdateDevice::countOf(std::uint8_t code) const {
  std::lock_guard lock(mutex_);
  return perCode_[code];
}

std::uint32_t UpdateDevice::formatCount() const {
  std::lock_guard lock(mutex_);
  return formats_;
}

std::uint32_t UpdateDevice::burnCount() const {
  std::lock_guard lock(mutex_);
  return burns_;
}

std::uint32_t UpdateDevice::repliesOverlapped() const {
  std::lock_guard lock(mutex_);
  return overlapped_;
}

nuv::Clock::time_point replyDueAt(const Latency& latency, const DeviceResponse& response,
                                  nuv::Clock::time_point frameEpoch, nuv::Clock::time_point now) {
  nuv::Clock::time_point at = now;
  switch (latency.model) {
    case Latency::Model::None:
      break;
    case Latency::Model::Fixed:
      at = now + latency.fixed;
      break;
    case Latency::Model::UsbFrame: {
      const auto frame = std::chrono::milliseconds(1);
      at = frameEpoch + ((now - frameEpoch) / frame + 1) * frame;
      break;
    }
  }
  return at + response.extraDelay;
}

Latency UpdateDevice::latency() const {
  std::lock_guard lock(mutex_);
  return options_.latency;
}

void UpdateDevice::addFault(const Fault& fault) {
  std::lock_guard lock(mutex_);
  faults_.push_back({fault, false});
}

void UpdateDevice::clearFaults() {
  std::lock_guard lock(mutex_);
  faults_.clear();
}

void UpdateDevice::setVersion(std::string version) {
  std::lock_guard lock(mutex_);
  options_.version = std::move(version);
}

void UpdateDevice::setLatency(Latency latency) {
  std::lock_guard lock(mutex_);
  options_.latency = latency;
}

}  // namespace nuv::sim
