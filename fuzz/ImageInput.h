// Turns a fuzz input into the bytes of a file, so that small inputs reach whole images: the
// first byte picks how the rest is stretched. Images are 65,536 bytes, far past the sizes a
// fuzzer mutates well, yet most of the walks' decisions happen only near their end.
//
//   byte 0, bits 0-1: 0 the rest as it is; 1 the rest repeated to 65,536 bytes; 2 to 65,536
//                     minus bits 3-7; 3 to 65,536 plus bits 3-7 (a file just too short or long)
//   byte 0, bit 2:    reads fail from the offset in bytes 1-2 (times 2), as a failing disk
//   bytes 1-2:        that offset, big-endian (always present, used only with bit 2)
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace fuzz {

struct ImageInput {
  std::vector<std::uint8_t> bytes;
  std::optional<std::uint64_t> failReadsFrom;
};

inline ImageInput imageFromInput(const std::uint8_t* data, std::size_t size,
                                 std::size_t wholeSize = 0x10000) {
  ImageInput in;
  if (size < 3) {
    in.bytes.assign(data, data + size);
    return in;
  }
  const std::uint8_t mode = data[0];
  const std::size_t delta = mode >> 3;
  if (mode & 4) in.failReadsFrom = 2u * ((data[1] << 8) | data[2]);
  const std::uint8_t* rest = data + 3;
  const std::size_t restSize = size - 3;
  std::size_t length = restSize;
  switch (mode & 3) {
    case 1:
      length = wholeSize;
      break;
    case 2:
      length = wholeSize - delta;
      break;
    case 3:
      length = wholeSize + delta;
      break;
    default:
      break;
  }
  in.bytes.resize(length, 0);
  for (std::size_t i = 0; restSize > 0 && i < length; ++i) in.bytes[i] = rest[i % restSize];
  return in;
}

}  // namespace fuzz
