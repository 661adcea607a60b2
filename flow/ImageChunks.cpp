#include "flow/ImageChunks.h"

#include "protocol/UpdateImage.h"

namespace nuv::flow {

WriteData firmwareChunk(std::span<const std::uint8_t> image, std::uint16_t address) {
  WriteData data{};
  // Addresses 4 apart never cross a 64-byte record, so the four bytes lie side by side.
  const auto offset = image::offsetOfAddress(address);
  if (!offset) return data;
  for (std::size_t i = 0; i < 4 && *offset + i < image.size(); ++i) data[i] = image[*offset + i];
  return data;
}

}  // namespace nuv::flow
