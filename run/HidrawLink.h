// A hidraw node (Linux) as a DeviceLink.
#pragma once

#include <memory>
#include <string>

#include "platform/hidraw/Seams.h"
#include "protocol/Result.h"
#include "run/DeviceLink.h"

namespace nuv::run {

// The node at `path`, opened for reading and writing, with its report lengths from its
// descriptor; or why not. `sys`: where the node is opened, read and written (a session
// record's tap, say).
[[nodiscard]] nuv::Result<std::unique_ptr<DeviceLink>> openHidrawLink(
    const std::string& path, nuv::hidraw::SystemCalls& sys = nuv::hidraw::realSystemCalls());

}  // namespace nuv::run
