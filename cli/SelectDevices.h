// The device commands' first step: find the devices the options select, waiting for them with
// --wait, and tell the user when there is none or no one device to pick.
#pragma once

#include <chrono>
#include <optional>
#include <variant>
#include <vector>

#include "cli/DeviceSelection.h"
#include "cli/DeviceSource.h"
#include "cli/JsonLine.h"
#include "cli/Options.h"
#include "cli/Output.h"

namespace nuv::cli {

[[nodiscard]] SelectionRequest selectionRequest(const Options& options);

// Scans `source` until the request is met: returns the selected devices, or the refusal of
// the last scan once `wait` is over (nothing: do not wait; kWaitForever: no limit). Waits on
// the source's change notices, never by polling; a refusal other than "no device" (a choice
// that is ambiguous) ends the wait at once, as does a source that cannot change.
// Not a nuv::Result: a refusal carries its exit code and the candidates, more than an Error.
[[nodiscard]] std::variant<std::vector<DeviceRecord>, SelectionRefusal> waitForSelection(
    DeviceSource& source, const SelectionRequest& request, std::optional<unsigned> waitSeconds,
    const NodeNumberOf& numberOf = statCharacterDevice);

// The device source the options name (makeDeviceSource); null, with the reason told, when
// there is none.
[[nodiscard]] std::unique_ptr<DeviceSource> openDeviceSource(const Options& options, Output& out);

// The devices that the options select (see selectDevices), found in the source the options
// name and waited for with --wait. On refusal the reason (and for an ambiguous choice every
// candidate with how to name it) has been told, and the exit code is returned.
// Not a nuv::Result: the failure is an exit code whose reason was already told, not an Error.
[[nodiscard]] std::variant<std::vector<DeviceRecord>, int> findSelectedDevices(
    const Options& options, Output& out);

// Whether the command must go through the selection before it runs: a usb: or serial:
// selector, --all, several selectors, --wait, or none at all (several devices attached are
// then refused rather than the first taken). A single node path is checked by the command
// itself, which tells why it cannot be opened.
[[nodiscard]] bool needsSelection(const Options& options);

// The record of the device at `node` as the source of the options lists it (its serial and
// USB port), or nothing when it is not listed or cannot be looked at. Tells nothing.
[[nodiscard]] std::optional<DeviceRecord> findDeviceRecord(const Options& options,
                                                           const std::string& node);

// How list and refusals show a device: "NODE  ffff:0100  ACCESS  usb:PORT  serial:S  NAMES".
[[nodiscard]] std::string deviceLine(const DeviceRecord& device);
// The same as list's JSON object: {"schema":1,"event":"device","node":...}.
[[nodiscard]] JsonLine deviceJson(const DeviceRecord& device);

}  // namespace nuv::cli
