// The linux backend of the Windows services seam (linux.cpp): every hidraw node as a HID
// interface, found and watched with libudev through platform/hidraw, on the emulated base of
// Emulated.h.
#pragma once

#include <memory>

#include "platform/winapi/Emulated.h"

namespace nuv::forms {
class GuiThread;
}

namespace nuv::winapi {

// Hidraw nodes found with libudev; device changes from a udev monitor are posted to `notices`
// like the sim backend's. Null when libudev cannot be used.
[[nodiscard]] std::unique_ptr<Api> makeLinuxApi(forms::GuiThread* notices,
                                                EmulationOptions options = {});

}  // namespace nuv::winapi
