// The terminal's own device command list, and the check before a command opens a node.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "cli/Options.h"
#include "cli/Output.h"

namespace nuv::cli {

// Before a command touches real hardware: the node to use can be opened by this user. The
// node is --device (the node itself or a link to it, which must be an attached update
// device), or else the first update device found. Nothing when it can, with the node's
// path in `path`; otherwise the exit code, with the reason (and the udev hint for a
// permission error) already told. --sim needs no check.
[[nodiscard]] std::optional<int> checkDeviceAccess(const Options& options, Output& out,
                                                   std::string* path = nullptr);

[[nodiscard]] int runList(const Options& options, Output& out);
}  // namespace nuv::cli
