// The emulated update device: what the real device is expected to do with each command, plus
// the faults it can be told to commit. It keeps its 64 KiB of memory so that a test can
// compare what was written with an image byte for byte.
//
// Thread-safe: every member may be called from any thread; the bus calls receive() while a
// test reads memory() from another.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "protocol/Clock.h"
#include "protocol/Framing.h"
#include "protocol/UpdateImage.h"
#include "sim/Faults.h"

namespace nuv::sim {

// How long a reply takes to become readable after its command arrived.
struct Latency {
  enum class Model {
    None,      // at once
    Fixed,     // after `fixed`
    UsbFrame,  // at the next 1 ms frame boundary of the bus, as a full-speed interrupt endpoint
  } model = Model::None;
  std::chrono::microseconds fixed{0};
};

struct DeviceResponse;

// Answers in the device's place: a recorded session played back, for one. Called by the
// device under its lock, once per output report (report-ID byte first).
class ScriptedDevice {
 public:
  virtual ~ScriptedDevice() = default;
  [[nodiscard]] virtual DeviceResponse answer(const std::uint8_t* raw, std::size_t len) = 0;
};

struct UpdateDeviceOptions {
  std::string version = "1.01";         // the four version characters; shorter texts are 0-padded
  std::uint32_t linkValue1 = 0x000001;  // keep below 0x100: bytes 1 and 2 must echo 00 00
  std::uint32_t linkValue2 = 0x00FC00;
  std::uint8_t initialFill = 0x5A;  // memory before the first Format ("the old firmware")
  Latency latency;
  std::vector<Fault> faults;
  // When set, it answers every command instead of the device (faults and memory stay unused;
  // commands are still logged and counted).
  std::shared_ptr<ScriptedDevice> script;
};

// One command as the device received it.
struct CommandRecord {
  std::array<std::uint8_t, 64> raw{};  // the output report as written, framed (Framing.h)
  std::uint8_t rawLength = 0;
  // True when the device's previous reply had not been read by the host when this arrived:
  // the host did not wait for it (stop-and-wait broken), or the reply was never wanted.
  bool previousReplyUnread = false;
  [[nodiscard]] const std::uint8_t* command() const { return nuv::payloadOf(raw).data(); }
  [[nodiscard]] std::uint8_t code() const { return raw[1]; }
};

// What the bus is to do after a command.
struct DeviceResponse {
  bool writeFails = false;  // the host's write fails; nothing was received
  bool unplug = false;      // unplug the device now, with no reply
  int copies = 1;           // 0: no reply; 2: a duplicate
  std::array<std::uint8_t, 8> reply{};
  std::uint8_t replyLength = 8;
  std::chrono::microseconds extraDelay{0};
};

// When the reply to a command that arrived at `now` becomes readable: at once, after the fixed
// latency, or at the next 1 ms frame boundary of a bus whose frames count from `frameEpoch`;
// then later by the reply's own extra delay (a late-reply fault). The virtual bus and the
// report engine of the uhid and gadget devices both time their replies by it.
[[nodiscard]] nuv::Clock::time_point replyDueAt(const Latency& latency,
                                                const DeviceResponse& response,
                                                nuv::Clock::time_point frameEpoch,
                                                nuv::Clock::time_point now);

class UpdateDevice {
 public:
  static constexpr std::uint32_t kMemorySize = nuv::image::kAddressSpace;

  explicit UpdateDevice(UpdateDeviceOptions options = {});

  // Handles one output report (report-ID byte first). Called by the bus.
  [[nodiscard]] DeviceResponse receive(const std::uint8_t* raw, std::size_t len);
  // Called by the bus when the host has read the reply with this sequence number.
  void replyConsumed(std::uint64_t sequence);
  [[nodiscard]] std::uint64_t lastReplySequence() const;

  // Inspection, for tests and demos. Copies, taken under the device's lock.
  [[nodiscard]] std::vector<std::uint8_t> memory() const;
  [[nodiscard]] std::vector<std::uint8_t> burnt() const;  // memory as of the last Burn
  [[nodiscard]] std::vector<CommandRecord> commands() const;
  [[nodiscard]] std::uint32_t commandCount() const;
  [[nodiscard]] std::uint32_t countOf(std::uint8_t code) const;
  [[nodiscard]] std::uint32_t formatCount() const;
  [[nodiscard]] std::uint32_t burnCount() const;
  [[nodiscard]] std::uint32_t repliesOverlapped() const;  // commands with previousReplyUnread
  [[nodiscard]] Latency latency() const;

  // Changes, effective from the next command.
  void addFault(const Fault& fault);
  void clearFaults();
  void setVersion(std::string version);
  void setLatency(Latency latency);

 private:
  struct ArmedFault {
    Fault fault;
    bool spent = false;
  };
  [[nodiscard]] bool matches(const Fault& f, std::uint8_t code, std::uint16_t address) const;
  void carryOut(const std::uint8_t* cmd, DeviceResponse& out);

  mutable std::mutex mutex_;
  UpdateDeviceOptions options_;
  std::vector<ArmedFault> faults_;
  std::vector<std::uint8_t> memory_;
  std::vector<std::uint8_t> burnt_;
  std::vector<CommandRecord> log_;
  std::array<std::uint32_t, 256> perCode_{};
  std::uint32_t formats_ = 0;
  std::uint32_t burns_ = 0;
  std::uint32_t overlapped_ = 0;
  std::uint64_t replySequence_ = 0;
  std::uint64_t consumedSequence_ = 0;
};

}  // namespace nuv::sim
