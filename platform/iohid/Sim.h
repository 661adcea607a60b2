// The sim backend of the HID manager seam: devices of a virtual HID bus.
//
// Reports are framed at this edge (Framing.h), padded with zeros to the device's output report
// length; input reports lose their report-ID byte before they reach the callback.
// A reply that the device makes readable later (latency) is picked up by a run loop timer at
// that moment of the bus's clock, so the bus and the run loop must share one clock.
#pragma once

#include <memory>

#include "platform/iohid/IOHID.h"
#include "sim/VirtualBus.h"

namespace nuv::iohid {

// The bus must outlive the manager.
[[nodiscard]] std::unique_ptr<IOHIDManager> createSimHIDManager(sim::VirtualBus& bus);

}  // namespace nuv::iohid
