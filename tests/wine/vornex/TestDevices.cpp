#include "tests/wine/vornex/TestDevices.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace wine_test {
namespace {

constexpr const char* kDevicesKey = "Software\\NUV update tests\\Devices";

[[nodiscard]] std::optional<DWORD> readNumber(HKEY key, const char* name) {
  DWORD value = 0, size = sizeof value, type = 0;
  if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
          ERROR_SUCCESS ||
      type != REG_DWORD) {
    return std::nullopt;
  }
  return value;
}

[[nodiscard]] std::optional<TestDevice> readDevice(HKEY devices, const char* name) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(devices, name, 0, KEY_READ, &key) != ERROR_SUCCESS) return std::nullopt;
  TestDevice device;
  char path[MAX_PATH] = {};
  DWORD size = sizeof path - 1, type = 0;
  const bool havePath = RegQueryValueExA(key, "Path", nullptr, &type, reinterpret_cast<BYTE*>(path),
                                         &size) == ERROR_SUCCESS &&
                        type == REG_SZ;
  const auto server = readNumber(key, "ServerProcess");
  const auto vendor = readNumber(key, "VendorID"), product = readNumber(key, "ProductID");
  const auto version = readNumber(key, "VersionNumber");
  const auto input = readNumber(key, "InputLength"), output = readNumber(key, "OutputLength");
  RegCloseKey(key);
  if (!havePath || !server || !vendor || !product || !version || !input || !output) {
    return std::nullopt;
  }
  device.instance = static_cast<std::uint32_t>(std::strtoul(name, nullptr, 10));
  device.path = path;
  device.serverProcess = *server;
  device.vendorId = static_cast<std::uint16_t>(*vendor);
  device.productId = static_cast<std::uint16_t>(*product);
  device.versionNumber = static_cast<std::uint16_t>(*version);
  device.inputLength = static_cast<std::uint16_t>(*input);
  device.outputLength = static_cast<std::uint16_t>(*output);
  return device;
}

[[nodiscard]] bool writeNumber(HKEY key, const char* name, DWORD value) {
  return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                        sizeof value) == ERROR_SUCCESS;
}

}  // namespace

std::string pipePathOf(std::uint32_t instance) {
  return "\\\\.\\pipe\\nuv-update-device-" + std::to_string(instance);
}

std::vector<TestDevice> pluggedDevices() {
  std::vector<TestDevice> found;
  HKEY devices = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kDevicesKey, 0, KEY_READ, &devices) != ERROR_SUCCESS) {
    return found;
  }
  for (DWORD index = 0;; ++index) {
    char name[64] = {};
    DWORD length = sizeof name;
    const LONG status =
        RegEnumKeyExA(devices, index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (status != ERROR_SUCCESS) break;
    if (auto device = readDevice(devices, name)) found.push_back(*device);
  }
  RegCloseKey(devices);
  std::sort(found.begin(), found.end(),
            [](const TestDevice& a, const TestDevice& b) { return a.instance < b.instance; });
  return found;
}

std::optional<TestDevice> deviceOfHandle(HANDLE pipe) {
  ULONG server = 0;
  if (!GetNamedPipeServerProcessId(pipe, &server)) return std::nullopt;
  for (const TestDevice& device : pluggedDevices()) {
    if (device.serverProcess == server) return device;
  }
  return std::nullopt;
}

bool registerDevice(const TestDevice& device) {
  const std::string name = std::string(kDevicesKey) + "\\" + std::to_string(device.instance);
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, name.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    return false;
  }
  const bool ok =
      RegSetValueExA(key, "Path", 0, REG_SZ, reinterpret_cast<const BYTE*>(device.path.c_str()),
                     static_cast<DWORD>(device.path.size() + 1)) == ERROR_SUCCESS &&
      writeNumber(key, "ServerProcess", device.serverProcess) &&
      writeNumber(key, "VendorID", device.vendorId) &&
      writeNumber(key, "ProductID", device.productId) &&
      writeNumber(key, "VersionNumber", device.versionNumber) &&
      writeNumber(key, "InputLength", device.inputLength) &&
      writeNumber(key, "OutputLength", device.outputLength);
  RegCloseKey(key);
  return ok;
}

bool unregisterDevice(std::uint32_t instance) {
  const std::string name = std::string(kDevicesKey) + "\\" + std::to_string(instance);
  const LONG status = RegDeleteKeyA(HKEY_CURRENT_USER, name.c_str());
  return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

}  // namespace wine_test

extern "C" void __stdcall notEmulated() {
  std::fputs("wine test library: the program called an entry point the test does not emulate\n",
             stderr);
  std::fflush(stderr);
  ExitProcess(3);
}
