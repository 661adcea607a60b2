// The emulated device of the demo programs (vornex-sim, QuenlorHID-sim, QuenlorHID-gnustep):
// the command-line options that shape it, read the same way by all three, and the demo update
// image that the Quenlor demos write for their Open dialog.
#pragma once

#include <cstddef>
#include <string>

#include "protocol/Result.h"
#include "sim/UpdateDevice.h"

namespace nuv::sim {

// For the programs' usage texts.
inline constexpr const char* kDemoDeviceUsage =
    "  --latency-us N     the device answers each command after N microseconds (0..10000000)\n"
    "  --fault FAULT      a fault of the device, e.g. wrong-data@0x2000, no-reply@write,\n"
    "                     unplug@#500 (KIND[:PARAM]@WHERE[+])\n"
    "  --version TEXT     the device's four version characters (default 1.01)\n";

enum class DemoOption { NotADeviceOption, Read };

// Reads the option at argv[i] into `device` when it is --latency-us, --fault or --version, and
// then leaves i on its value. Anything else is NotADeviceOption, with i and `device` as they
// were. A device option without a value or with a wrong one is an error that says which.
[[nodiscard]] Result<DemoOption> readDemoDeviceOption(int argc, const char* const* argv, int& i,
                                                      UpdateDeviceOptions& device);

// Writes a demo update image (65,536 bytes, version "V1.01") to `path`, replacing what is
// there; its size, or the error of opening or writing the file.
[[nodiscard]] Result<std::size_t> writeDemoImage(const std::string& path);

}  // namespace nuv::sim
