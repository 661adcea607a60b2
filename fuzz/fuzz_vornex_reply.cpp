// Vornex's reply acceptance: TMainForm's report handler and its wait for a reply, on the
// headless forms backend with the HID layer on an emulated bus, fed replies of any length and
// content to each kind of command.
//
// The input is a list of exchanges: [command][length][length reply bytes]. Bits 0-2 of the
// command byte pick Link, Version, Format, Burn (0-3) or Write (4-7, for address
// 4 * bits 3-7).
// Each input starts from a window whose last reply held zeros, so a crash replays from its
// file alone.
//
// Checked: a reply is accepted exactly when it echoes the command's code and its two address
// bytes (byte 0 not 0), and refused with "Data error" or "No respond" otherwise.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "platform/forms/Forms.h"
#include "platform/forms/Headless.h"
#include "platform/winapi/Sim.h"
#include "protocol/HIDProto.h"
#include "sim/VirtualBus.h"
#include "win/app/Unit1.h"

namespace {

using namespace std::chrono_literals;

// The window with one update device that never answers: every reply comes from the input.
class World {
 public:
  World() : bus_(clock_), gui_(clock_) {
    auto device = bus_.plug();
    for (std::uint8_t code : {kCmdLink, kCmdFormat, kCmdBurn, kCmdRead, kCmdWrite, kCmdVersion})
      device->addFault(
          {nuv::sim::FaultKind::NoReply, {nuv::sim::Trigger::Kind::AtCode, code}, 0ms, true});
    api_ = nuv::winapi::makeSimApi(bus_, &gui_);
    process_ = std::make_unique<nuv::hid::HidProcess>(*api_, gui_);
    form_ = std::make_unique<TMainForm>(gui_, *process_);
    gui_.setMainForm(*form_);
    gui_.activateMainForm();
    gui_.processMessages();
    if (form_->CurrentDevice == nullptr) form_->HidCtlDeviceChange(*form_->HidCtl);
    gui_.processMessages();
    FUZZ_CHECK(form_->CurrentDevice != nullptr);
  }
  ~World() {
    form_.reset();
    process_.reset();
    api_.reset();
  }
  TMainForm& form() { return *form_; }

 private:
  nuv::ManualClock clock_;
  nuv::sim::VirtualBus bus_;
  nuv::forms::HeadlessGui gui_;
  std::unique_ptr<nuv::winapi::SimApi> api_;
  std::unique_ptr<nuv::hid::HidProcess> process_;
  std::unique_ptr<TMainForm> form_;
};

void buildCommand(TMainForm& form, std::uint8_t selector) {
  std::uint8_t* command = form.TxReport.data() + 1;
  form.TxReport[0] = 0;
  const std::uint8_t data[4] = {0x12, 0x34, 0x56, 0x78};
  switch (selector & 7) {
    case 0:
      (void)HostGenerateLinkCommand(command, kReportSize);
      break;
    case 1:
      (void)HostGenerateVersionCommand(command, kReportSize);
      break;
    case 2:
      (void)HostGenerateFormatCommand(command, kReportSize);
      break;
    case 3:
      (void)HostGenerateBurnCommand(command, kReportSize);
      break;
    default:
      (void)HostGenerateWriteCommand(command, kReportSize,
                                     static_cast<std::uint16_t>((selector >> 3) * 4), data);
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static World world;
  TMainForm& form = world.form();
  form.RxData.fill(0);
  form.ListBox1.clear();
  std::size_t i = 0;
  while (i + 2 <= size) {
    buildCommand(form, data[i]);
    const std::size_t length = std::min<std::size_t>(data[i + 1], size - i - 2);
    // An exact copy: a read past the reply's end is caught.
    const std::vector<std::uint8_t> reply(data + i + 2, data + i + 2 + length);
    i += 2 + length;

    form.ResultCode = ResultNone;
    form.ReplyReady = false;
    form.ReportReceived(*form.CurrentDevice, 0, reply.data(),
                        static_cast<std::uint16_t>(reply.size()));
    form.WaitReply();

    const auto& tx = form.TxReport;
    const bool echoed = reply.size() >= 3 && reply[0] == tx[1] && reply[1] == tx[2] &&
                        reply[2] == tx[3] && reply[0] != 0;
    FUZZ_CHECK((form.ResultCode == ResultNone) == echoed);
    if (!echoed) {
      FUZZ_CHECK(form.ResultCode == ResultDataError || form.ResultCode == ResultNoResponse);
    }
  }
  return 0;
}
