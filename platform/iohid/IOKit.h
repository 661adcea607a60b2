// The iokit backend of the HID manager seam: IOKit's own HID manager, on macOS only (it is
// not built elsewhere). Callbacks arrive from the current thread's CFRunLoop in its default
// mode, which is the run loop of the AppKit backend of the Cocoa seam.
#pragma once

#include <memory>

#include "platform/iohid/IOHID.h"

namespace nuv::iohid {

// The manager of IOHIDManagerCreate (default allocator, no options).
[[nodiscard]] std::unique_ptr<IOHIDManager> createIOKitHIDManager();

}  // namespace nuv::iohid
