// Both downloaders' walks through an update image of arbitrary bytes (see ImageInput.h), as
// Vornex and QuenlorHID drive them: every chunk either holds the image's bytes for its
// address, or the walk says why it stopped.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz/FuzzSupport.h"
#include "fuzz/ImageInput.h"
#include "protocol/ByteSource.h"
#include "protocol/UpdateImage.h"

namespace {

namespace image = nuv::image;

// The image's byte at `offset`, or 0 past its end.
std::uint8_t byteAt(const std::vector<std::uint8_t>& bytes, std::uint64_t offset) {
  return offset < bytes.size() ? bytes[offset] : 0;
}

nuv::MemorySource sourceOf(const fuzz::ImageInput& in) {
  nuv::MemorySource source(in.bytes);
  if (in.failReadsFrom) source.failReadsFrom(*in.failReadsFrom, 5);
  return source;
}

void windowsWalk(const fuzz::ImageInput& in) {
  nuv::MemorySource source = sourceOf(in);
  image::WindowsImageWalk walk(source);
  image::WriteChunk chunk;
  std::uint32_t writes = 0;
  for (;;) {
    if (!walk.readChunk(chunk)) {
      FUZZ_CHECK(walk.error().has_value());
      return;
    }
    ++writes;
    FUZZ_CHECK(chunk.address == walk.address());
    const auto offset = image::offsetOfAddress(chunk.address);
    FUZZ_CHECK(offset.has_value());
    for (int i = 0; i < 4; ++i) FUZZ_CHECK(chunk.data[i] == byteAt(in.bytes, *offset + i));
    if (!walk.advance()) break;
  }
  // A walk that reached its last address sent every address once; one that stopped early did
  // so because the file ended there.
  if (walk.address() >= image::WindowsImageWalk::kEndAddress) {
    FUZZ_CHECK(writes == image::WindowsImageWalk::kWriteCount);
  } else {
    FUZZ_CHECK(source.atEnd());
  }
}

void macWalk(const fuzz::ImageInput& in) {
  nuv::MemorySource source = sourceOf(in);
  image::MacImageWalk walk(source);
  // The walk follows the stream's offset; it matches the address mapping only while the file
  // is long enough for every read to be whole.
  const bool whole = in.bytes.size() >= image::kImageSize;
  for (std::uint32_t target = 0; target <= image::MacImageWalk::kLastAddress; target += 4) {
    std::uint8_t chunk[4];
    if (!walk.chunkFor(static_cast<std::uint16_t>(target), chunk)) {
      FUZZ_CHECK(walk.error().has_value());
      FUZZ_CHECK(in.failReadsFrom.has_value());
      return;
    }
    // Past the end of a short file every chunk is zeros: nothing more to learn.
    if (!whole && target > image::kRecordsStart && source.offset() >= in.bytes.size()) return;
    const auto offset = image::offsetOfAddress(target);
    if (whole && offset) {
      for (int i = 0; i < 4; ++i) FUZZ_CHECK(chunk[i] == byteAt(in.bytes, *offset + i));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const fuzz::QuietLog quiet;
  const fuzz::ImageInput in = fuzz::imageFromInput(data, size);
  windowsWalk(in);
  macWalk(in);
  return 0;
}
