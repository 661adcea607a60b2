// The emulated update devices of the Wine tests, as the test-only HID.dll and SetupApi.dll see
// them: one registry key per plugged device, written by the device process (nuv_pipe_device)
// when it plugs and removed when it unplugs. The device's path is a named pipe that the same
// process serves, so the program under test opens, writes and reads it with the real kernel32.
//
//   HKEY_CURRENT_USER\Software\NUV update tests\Devices\<instance>
//     Path           REG_SZ     \\.\pipe\nuv-update-device-<instance>
//     ServerProcess  REG_DWORD  the serving process, to tell which device a handle is open on
//     VendorID, ProductID, VersionNumber, InputLength, OutputLength  REG_DWORD
//
// Test-only: nothing here ships with the program.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace wine_test {

struct TestDevice {
  std::uint32_t instance = 1;  // the device instance number (DevInst), stable across replugs
  std::string path;
  DWORD serverProcess = 0;
  std::uint16_t vendorId = 0xFFFF;
  std::uint16_t productId = 0x0100;
  std::uint16_t versionNumber = 0x0101;
  std::uint16_t inputLength = 9;  // report lengths count the report-ID byte
  std::uint16_t outputLength = 9;
};

[[nodiscard]] std::string pipePathOf(std::uint32_t instance);

// The plugged devices, in instance order. Unreadable entries are skipped.
[[nodiscard]] std::vector<TestDevice> pluggedDevices();
// The plugged device served by the process at the other end of `pipe`, if any.
[[nodiscard]] std::optional<TestDevice> deviceOfHandle(HANDLE pipe);

// Device process side. False when the registry refused the change.
[[nodiscard]] bool registerDevice(const TestDevice& device);
[[nodiscard]] bool unregisterDevice(std::uint32_t instance);

}  // namespace wine_test

// The entry point that stands for every exported name the test libraries do not emulate: the
// program under test only looks those up, so a call means the test no longer shows what it
// claims. It says so and ends the process.
extern "C" void __stdcall notEmulated();
