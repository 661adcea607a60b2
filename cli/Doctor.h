// doctor: why the device cannot be used, one line per check; udev-rule: the rule to install.
#pragma once

#include "Options.h"
#include "Output.h"

namespace cli {

// Checks hidraw support, the udev rule, access to each matching node, other processes holding
// a node open and the devices found. 0 when all is well, 3 no usable device, 1 other problems.
[[nodiscard]] int runDoctor(const Options& options, Output& out);

// Prints the udev rule that gives the logged-in user the device. 0.
[[nodiscard]] int runUdevRule(const Options& options, Output& out);

}  // namespace cli
