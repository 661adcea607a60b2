#include "protocol/UpdateImage.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "protocol/Log.h"

namespace nuv::image {

std::optional<std::uint16_t> addressOfOffset(std::uint32_t offset) {
  if (offset < kGapStart) return static_cast<std::uint16_t>(offset);
  if (offset < kRecordsStart || offset >= kImageSize) return std::nullopt;
  const std::uint32_t r = offset - kRecordsStart;
  const std::uint32_t k = r / kRecordSize;
  const std::uint32_t m = r % kRecordSize;
  if (m == kRecordData) return std::nullopt;
  return static_cast<std::uint16_t>(kGapStart + kRecordData * k + m);
}

std::optional<std::uint32_t> offsetOfAddress(std::uint32_t address) {
  if (address < kGapStart) return address;
  if (address >= kFirmwareSize) return std::nullopt;
  const std::uint32_t d = address - kGapStart;
  return kRecordsStart + d + d / kRecordData;
}

bool sizeAccepted(std::uint64_t size) {
  return size == kImageSize;
}

bool versionAccepted(std::span<const std::uint8_t> firstBytes) {
  return firstBytes.size() >= kProgramVersion.size() &&
         std::memcmp(firstBytes.data(), kProgramVersion.data(), kProgramVersion.size()) == 0;
}

bool deviceVersionAccepted(std::uint8_t firstVersionChar) {
  return firstVersionChar == kRequiredDeviceVersionChar;
}

std::vector<std::uint8_t> pack(std::span<const std::uint8_t> firmware, std::uint8_t filler) {
  std::vector<std::uint8_t> out(kImageSize, filler);
  const std::uint32_t n = std::min<std::uint32_t>(firmware.size(), kFirmwareSize);
  for (std::uint32_t a = 0; a < n; ++a) out[*offsetOfAddress(a)] = firmware[a];
  return out;
}

std::vector<std::uint8_t> unpack(std::span<const std::uint8_t> image) {
  std::vector<std::uint8_t> out(kFirmwareSize, 0);
  for (std::uint32_t a = 0; a < kFirmwareSize; ++a) {
    const std::uint32_t f = *offsetOfAddress(a);
    if (f < image.size()) out[a] = image[f];
  }
  return out;
}

bool WindowsImageWalk::readExactly(std::uint8_t* dst, std::size_t n) {
  const ReadOutcome got = source_.read(dst, n);
  if (got.error) {
    error_ = got.error;
    return false;
  }
  if (got.count < n) {
    char text[64];
    std::snprintf(text, sizeof text, "update image ends early at offset 0x%llx",
                  static_cast<unsigned long long>(source_.offset()));
    error_ = Error::message(text);
    return false;
  }
  return true;
}

bool WindowsImageWalk::readChunk(WriteChunk& out) {
  std::uint8_t dropped[kGapSize];
  if (address_ == kGapStart) {
    if (!readExactly(dropped, kGapSize)) return false;
  } else if (address_ > kGapStart && address_ % kRecordData == 0) {
    if (!readExactly(dropped, 1)) return false;
  }
  out.address = static_cast<std::uint16_t>(address_);
  return readExactly(out.data, 4);
}

bool WindowsImageWalk::advance() {
  address_ += 4;
  return address_ < kEndAddress && !source_.atEnd();
}

bool MacImageWalk::chunkFor(std::uint16_t target, std::uint8_t chunk[4]) {
  const std::uint64_t pos = stream_.offset();
  if (pos == kGapStart) {
    logLine("Seek to 0x1050");
    if (auto failed = stream_.seek(kRecordsStart)) {
      error_ = failed;
      return false;
    }
  } else if (pos >= kRecordsStart && target != kGapStart &&
             (static_cast<std::uint32_t>(target) - kGapStart) % kRecordData == 0) {
    // For targets below 0x1000 the difference wraps; it is a multiple of 64 exactly when the
    // target is, as with the unsigned arithmetic of the original walk. Such a target never
    // meets an offset of 0x1050 or more in a download that starts at address 0.
    logLine("Skip 1 byte");
    if (auto failed = stream_.seek(pos + 1)) {
      error_ = failed;
      return false;
    }
  }
  std::memset(chunk, 0, 4);
  const ReadOutcome got = stream_.read(chunk, 4);
  if (got.error) {
    error_ = got.error;
    return false;
  }
  return true;
}

}  // namespace nuv::image
