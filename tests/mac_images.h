// Update images for QuenlorHID's tests and benchmarks.
#pragma once

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "protocol/UpdateImage.h"

namespace mactest {

// Firmware with no two neighbouring words alike; its header holds "V1.01".
inline std::vector<std::uint8_t> testFirmware() {
  std::vector<std::uint8_t> fw(nuv::image::kFirmwareSize);
  for (std::size_t i = 0; i < fw.size(); ++i)
    fw[i] = static_cast<std::uint8_t>((i * 131 + (i >> 8) * 7 + 1) & 0xFF);
  const char header[] = "V1.01 test image";
  std::copy(header, header + 16, fw.begin());
  return fw;
}

// Writes `bytes` to dir/name and returns the path.
inline std::string writeFileIn(const std::string& dir, const std::string& name,
                               const std::vector<std::uint8_t>& bytes) {
  const std::string path = dir + (dir.empty() || dir.back() == '/' ? "" : "/") + name;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  return path;
}

}  // namespace mactest
