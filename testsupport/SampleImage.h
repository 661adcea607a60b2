// An update image for benchmarks: a firmware of a plain pattern with the program's version text
// first, so that Vornex's flow accepts it.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "protocol/UpdateImage.h"

namespace nuv::test {

inline std::vector<std::uint8_t> benchmarkImage() {
  std::vector<std::uint8_t> firmware(nuv::image::kFirmwareSize);
  for (std::size_t i = 0; i < firmware.size(); ++i) firmware[i] = static_cast<std::uint8_t>(i * 13);
  std::memcpy(firmware.data(), "V1.01", 5);
  return nuv::image::pack(firmware, 0xFF);
}

}  // namespace nuv::test
