// The emulated update device, each on a bus of its own.
#include <cstring>

#include "capi/Edge.h"
#include "capi/Handles.h"
#include "sim/Faults.h"

namespace {

namespace capi = nuv::capi;

constexpr const char* kEmulatedPath = "sim:update-device";

}  // namespace

extern "C" {

void nuv_emulator_options_init(nuv_emulator_options* options) {
  if (options != nullptr) *options = nuv_emulator_options{0, nullptr, nullptr, 0};
}

nuv_status nuv_emulator_new(const nuv_emulator_options* options, nuv_emulator** out,
                            nuv_error* error) {
  return capi::guarded(error, [&] {
    if (out == nullptr) return NUV_E_ARGUMENT;
    *out = nullptr;
    nuv_emulator_options given;
    nuv_emulator_options_init(&given);
    if (options != nullptr) given = *options;
    if (given.fault_count > 0 && given.faults == nullptr) return NUV_E_ARGUMENT;

    nuv::sim::UpdateDeviceOptions device;
    if (given.latency_ms > 0)
      device.latency = {nuv::sim::Latency::Model::Fixed,
                        std::chrono::milliseconds(given.latency_ms)};
    if (given.version != nullptr) {
      if (std::strlen(given.version) > 4) {
        capi::setError(error, "a device's version is at most four characters");
        return NUV_E_ARGUMENT;
      }
      device.version = given.version;
    }
    for (std::size_t i = 0; i < given.fault_count; ++i) {
      if (given.faults[i] == nullptr) return NUV_E_ARGUMENT;
      auto fault = nuv::sim::parseFault(given.faults[i]);
      if (!fault) {
        capi::setError(error, fault.error().describe());
        return NUV_E_ARGUMENT;
      }
      device.faults.push_back(fault.value());
    }

    auto emulation = std::make_shared<capi::Emulation>();
    emulation->bus = std::make_unique<nuv::sim::VirtualBus>();
    emulation->path = kEmulatedPath;
    emulation->device =
        emulation->bus->plug(nuv::sim::DeviceInfo{.path = emulation->path}, std::move(device));
    *out = new nuv_emulator{std::move(emulation)};
    return NUV_OK;
  });
}

nuv_status nuv_emulator_memory(const nuv_emulator* emulator, uint8_t* out, size_t capacity,
                               size_t* written) {
  return capi::guarded(nullptr, [&] {
    if (written != nullptr) *written = 0;
    if (emulator == nullptr) return NUV_E_ARGUMENT;
    const std::vector<std::uint8_t> memory = emulator->emulation->device->memory();
    if (written != nullptr) *written = memory.size();
    if (out == nullptr || capacity < memory.size()) return NUV_E_BUFFER;
    std::memcpy(out, memory.data(), memory.size());
    return NUV_OK;
  });
}

void nuv_emulator_free(nuv_emulator* emulator) {
  delete emulator;
}

}  // extern "C"
