// nuv-uhid-device: the emulated update device as a real HID device of this machine's kernel.
#include <iostream>
#include <string_view>
#include <vector>

#include "sim/uhid/Emulator.h"

int main(int argc, char** argv) {
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  auto parsed = nuv::sim::uhid::parseEmulatorArguments(args);
  if (!parsed) {
    std::cerr << "nuv-uhid-device: " << parsed.error().text << "\n\n"
              << nuv::sim::uhid::emulatorUsage("nuv-uhid-device");
    return 2;
  }
  const auto& options = parsed.value();
  if (options.help) {
    std::cout << nuv::sim::uhid::emulatorUsage("nuv-uhid-device");
    return 0;
  }
  return nuv::sim::uhid::runEmulator(options, std::cout, std::cerr);
}
