// The ".nuv" update image: its layout, the mapping between file offsets and device addresses,
// the Windows program's checks, and the two downloaders' walks through a file.
//
// Layout (65,536 bytes):
//   0x0000..0x0FFF  header text (16 bytes) and image bytes, for device addresses 0x0000..0x0FFF
//   0x1000..0x104F  gap: 80 filler bytes, never sent
//   0x1050..0xFFFF  944 records of 64 image bytes (addresses 0x1000 + 64k ..) + 1 filler byte
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "protocol/ByteSource.h"
#include "protocol/Error.h"

namespace nuv::image {

inline constexpr std::uint32_t kImageSize = 0x10000;
// The device's addresses, 0x0000..0xFFFF: 64 KiB, as long as an image.
inline constexpr std::uint32_t kAddressSpace = 0x10000;
inline constexpr std::uint32_t kHeaderSize = 16;
inline constexpr std::uint32_t kGapStart = 0x1000;  // also the first address after the gap
inline constexpr std::uint32_t kGapSize = 80;
inline constexpr std::uint32_t kRecordsStart = 0x1050;
inline constexpr std::uint32_t kRecordData = 64;
inline constexpr std::uint32_t kRecordSize = 65;
inline constexpr std::uint32_t kRecordCount = 944;
// Device addresses 0x0000..0xFBFF carry firmware: 64,512 bytes.
inline constexpr std::uint32_t kFirmwareSize = 0xFC00;

// The programs' version, written once: both windows show it in their titles, and Vornex
// accepts only images whose first five bytes are this text; its second character is the first
// version character a device must report.
inline constexpr std::string_view kProgramVersion = "V1.01";
inline constexpr std::uint8_t kRequiredDeviceVersionChar = '1';

// File offset -> device address; nothing for gap and filler bytes and offsets past the image.
[[nodiscard]] std::optional<std::uint16_t> addressOfOffset(std::uint32_t offset);
// Device address -> file offset; nothing for addresses 0xFC00 and up.
[[nodiscard]] std::optional<std::uint32_t> offsetOfAddress(std::uint32_t address);

// The Windows program's checks.
[[nodiscard]] bool sizeAccepted(std::uint64_t size);                           // exactly 65,536
[[nodiscard]] bool versionAccepted(std::span<const std::uint8_t> firstBytes);  // "V1.01"
[[nodiscard]] bool deviceVersionAccepted(std::uint8_t firstVersionChar);       // '1'

// Builds an image from the firmware for addresses 0x0000..0xFBFF (exactly 64,512 bytes);
// every gap and filler byte gets `filler`.
[[nodiscard]] std::vector<std::uint8_t> pack(std::span<const std::uint8_t> firmware,
                                             std::uint8_t filler);
// The inverse: the 64,512 firmware bytes of a 65,536-byte image.
[[nodiscard]] std::vector<std::uint8_t> unpack(std::span<const std::uint8_t> image);

// One Write report's payload.
struct WriteChunk {
  std::uint16_t address = 0;
  std::uint8_t data[4] = {0, 0, 0, 0};
};

// The Windows downloader's walk: A = 0, 4, .., 0xFBFC (16,128 Writes). Before A = 0x1000 it
// reads and drops the 80-byte gap; before every A above 0x1000 that is a multiple of 64 it
// drops one filler byte. The source must stand at offset 0. Not thread-safe; one walk per
// download.
class WindowsImageWalk {
 public:
  static constexpr std::uint32_t kEndAddress = 0xFBFF;  // the loop ends at this or above
  static constexpr std::uint32_t kWriteCount = 16128;

  explicit WindowsImageWalk(ByteSource& source) : source_(source) {}

  [[nodiscard]] std::uint32_t address() const { return address_; }
  // Skips what is due before the current address and reads its four bytes. False when the
  // read failed or the file ended inside the chunk; error() then says why.
  [[nodiscard]] bool readChunk(WriteChunk& out);
  // Moves on by 4. False when the walk is over: the address reached 0xFBFF, or the file is at
  // its end.
  [[nodiscard]] bool advance();
  [[nodiscard]] const std::optional<Error>& error() const { return error_; }

 private:
  [[nodiscard]] bool readExactly(std::uint8_t* dst, std::size_t n);
  ByteSource& source_;
  std::uint32_t address_ = 0;
  std::optional<Error> error_;
};

// The macOS downloader's walk, driven by the stream's current offset rather than by the
// address: at offset 0x1000 it seeks to 0x1050 (logging "Seek to 0x1050"); at offset 0x1050
// or more, for a target above 0x1000 whose distance from 0x1000 is a multiple of 64, it
// skips one byte (logging "Skip 1 byte"). A chunk the data do not fill stays zero, so a valid
// image gives zeros for 0xFC00..0xFFFF.
class MacImageWalk {
 public:
  static constexpr std::uint32_t kLastAddress = 0xFFFC;
  static constexpr std::uint32_t kWriteCount = 16384;

  explicit MacImageWalk(ByteSource& stream) : stream_(stream) {}

  // Fills chunk (4 bytes) for target address T. False when a seek or read failed: a read
  // error ends the download with an error rather than sending zeros for data that exist.
  [[nodiscard]] bool chunkFor(std::uint16_t target, std::uint8_t chunk[4]);
  [[nodiscard]] const std::optional<Error>& error() const { return error_; }

 private:
  ByteSource& stream_;
  std::optional<Error> error_;
};

}  // namespace nuv::image
