// The bytes each downloader writes at an address, read from an update image that passed the
// size check (65,536 bytes). Internal to the flows.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace nuv::flow {

using WriteData = std::array<std::uint8_t, 4>;

// The four image bytes for `address`, as both walks read them for addresses below 0xFC00;
// zeros above, where the echo walk finds the image's end.
[[nodiscard]] WriteData firmwareChunk(std::span<const std::uint8_t> image, std::uint16_t address);

}  // namespace nuv::flow
