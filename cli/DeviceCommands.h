// The terminal's own device commands: list and verify.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "cli/Options.h"
#include "cli/Output.h"
#include "cli/ReportLink.h"
#include "cli/SimSetup.h"
#include "cli/WireWatch.h"

namespace nuv::cli {

// Before a command touches real hardware: the node to use can be opened by this user. The
// node is --device (the node itself or a link to it, which must be an attached update
// device), or else the first update device found. Nothing when it can, with the node's
// path in `path`; otherwise the exit code, with the reason (and the udev hint for a
// permission error) already told. --sim needs no check.
[[nodiscard]] std::optional<int> checkDeviceAccess(const Options& options, Output& out,
                                                   std::string* path = nullptr);

[[nodiscard]] int runList(const Options& options, Output& out);
[[nodiscard]] int runVerify(const Options& options, Output& out, const SessionIo& io = {});

// Reads addresses 0x0000..0xFBFF back (and 0xFC00..0xFFFF, which must read 0x00, when
// `withTail`: the echo flow writes zeros there) and compares them with the image's firmware.
// Returns the exit code: success, verify mismatch or exchange failed.
// `state`: what the device was left in before (burnt after a download); a failure report says
// it. `hint` follows a mismatch's summary.
[[nodiscard]] int verifyDevice(
    ReportLink& link, std::span<const std::uint8_t> image, bool withTail, Output& out,
    std::chrono::milliseconds replyTimeout = std::chrono::milliseconds(4200),
    DeviceState state = DeviceState::Untouched, std::string_view hint = {});

// download --verify: reads the image again and verifies the device the download just wrote,
// the emulated one of `sim` when --sim, else the hidraw node at `devicePath`. Returns the exit
// code.
[[nodiscard]] int verifyAfterDownload(const Options& options, SimSetup& sim,
                                      const std::string& devicePath, const std::string& imagePath,
                                      bool withTail, Output& out, const SessionIo& io = {});

}  // namespace nuv::cli
