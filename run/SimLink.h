// The emulated update device of a virtual bus as a DeviceLink.
#pragma once

#include <memory>
#include <string>

#include "run/DeviceLink.h"
#include "sim/VirtualBus.h"

namespace nuv::run {

// A link to the device at `path` of `bus`; null when nothing is plugged in there.
[[nodiscard]] std::unique_ptr<DeviceLink> openSimLink(sim::VirtualBus& bus,
                                                      const std::string& path);

}  // namespace nuv::run
