// What the C API's opaque handles hold. Each handle is its own: no state is shared between
// handles but an emulator and the devices opened on it.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "cli/DeviceSelection.h"
#include "cli/SimSetup.h"
#include "run/DeviceLink.h"
#include "sim/UpdateDevice.h"
#include "sim/VirtualBus.h"

namespace nuv::capi {

// The emulated device and the bus it is plugged into, as --sim makes them, kept alive by the
// emulator handle and by every device opened on it.
using Emulation = cli::SimSetup;

}  // namespace nuv::capi

struct nuv_emulator {
  std::shared_ptr<nuv::capi::Emulation> emulation;
};

struct nuv_device {
  std::string path;
  // Declared before the link, so that the link (whose connection refers to the bus) goes
  // first.
  std::shared_ptr<nuv::capi::Emulation> emulation;
  std::unique_ptr<nuv::run::DeviceLink> link;
  std::atomic<bool> cancel{false};
};

struct nuv_device_list {
  std::vector<nuv::cli::DeviceRecord> records;
};
