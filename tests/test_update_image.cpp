// The update image: layout mapping, the Windows checks and both downloaders' walks.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "protocol/Log.h"
#include "protocol/UpdateImage.h"

namespace {

using namespace nuv::image;

// An image whose every byte tells its own offset apart from its neighbours, with "V1.01" at
// the start and recognisable gap and filler bytes.
std::vector<std::uint8_t> sampleImage() {
  std::vector<std::uint8_t> image(kImageSize);
  for (std::uint32_t f = 0; f < kImageSize; ++f)
    image[f] = static_cast<std::uint8_t>((f * 131 + (f >> 8) * 7 + 3) & 0xFF);
  const char header[] = "V1.01 test image";
  std::copy(header, header + 16, image.begin());
  return image;
}

struct CapturedLog : nuv::LogSink {
  std::map<std::string, int> counts;
  void write(std::string_view line) override { ++counts[std::string(line)]; }
};

TEST(ImageLayout, MapsAddressesToOffsetsAtTheBoundaries) {
  const std::pair<std::uint32_t, std::uint32_t> table[] = {
      {0x0000, 0x0000}, {0x0FFF, 0x0FFF}, {0x1000, 0x1050}, {0x103C, 0x108C},
      {0x103F, 0x108F}, {0x1040, 0x1091}, {0xFBFC, 0xFFFB}, {0xFBFF, 0xFFFE}};
  for (auto [address, offset] : table) {
    EXPECT_EQ(offsetOfAddress(address), offset) << std::hex << address;
    EXPECT_EQ(addressOfOffset(offset), address) << std::hex << offset;
  }
  EXPECT_FALSE(offsetOfAddress(0xFC00));
  EXPECT_FALSE(offsetOfAddress(0xFFFF));
}

TEST(ImageLayout, GapAndFillerBytesBelongToNoAddressAndTheRestIsABijection) {
  std::vector<int> hits(kFirmwareSize, 0);
  int fillers = 0;
  for (std::uint32_t f = 0; f < kImageSize; ++f) {
    const auto a = addressOfOffset(f);
    if (!a) {
      ++fillers;
      const bool inGap = f >= 0x1000 && f < 0x1050;
      const bool recordEnd = f >= 0x1050 && (f - 0x1050) % 65 == 64;
      EXPECT_TRUE(inGap || recordEnd) << std::hex << f;
      continue;
    }
    ASSERT_LT(*a, kFirmwareSize);
    ++hits[*a];
    EXPECT_EQ(offsetOfAddress(*a), f);
  }
  EXPECT_EQ(fillers, 1024);
  for (std::uint32_t a = 0; a < kFirmwareSize; ++a) ASSERT_EQ(hits[a], 1) << std::hex << a;
}

TEST(ImageLayout, PackAndUnpackAreInverse) {
  std::vector<std::uint8_t> firmware(kFirmwareSize);
  for (std::uint32_t a = 0; a < kFirmwareSize; ++a)
    firmware[a] = static_cast<std::uint8_t>(a ^ (a >> 8));
  const auto image = pack(firmware, 0xFF);
  ASSERT_EQ(image.size(), kImageSize);
  EXPECT_EQ(image[0x1000], 0xFF);
  EXPECT_EQ(image[0x1050 + 64], 0xFF);
  EXPECT_EQ(image[0xFFFF], 0xFF);
  EXPECT_EQ(image[0x1091], firmware[0x1040]);
  EXPECT_EQ(unpack(image), firmware);
}

TEST(WindowsChecks, AcceptOnlyTheExactSizeAndVersion) {
  EXPECT_TRUE(sizeAccepted(65536));
  EXPECT_FALSE(sizeAccepted(65535));
  EXPECT_FALSE(sizeAccepted(65537));
  EXPECT_FALSE(sizeAccepted(0));

  auto ok = reinterpret_cast<const std::uint8_t*>("V1.01xxxxx");
  auto lower = reinterpret_cast<const std::uint8_t*>("v1.01xxxxx");
  auto newer = reinterpret_cast<const std::uint8_t*>("V1.02xxxxx");
  EXPECT_TRUE(versionAccepted({ok, 5}));
  EXPECT_FALSE(versionAccepted({lower, 5}));
  EXPECT_FALSE(versionAccepted({newer, 5}));
  EXPECT_FALSE(versionAccepted({ok, 4})) << "fewer than five bytes can never match";

  EXPECT_TRUE(deviceVersionAccepted('1'));
  EXPECT_FALSE(deviceVersionAccepted('2'));
  EXPECT_FALSE(deviceVersionAccepted(0));
}

TEST(WindowsWalk, SendsEveryFirmwareByteOnceAndNoFillerIn16128Writes) {
  const auto image = sampleImage();
  nuv::MemorySource source(image);
  WindowsImageWalk walk(source);
  std::vector<std::uint8_t> device(kFirmwareSize, 0);
  std::uint32_t writes = 0;
  std::uint32_t expectedAddress = 0;
  WriteChunk chunk;
  do {
    ASSERT_TRUE(walk.readChunk(chunk)) << walk.error()->describe();
    ASSERT_EQ(chunk.address, expectedAddress);
    for (int j = 0; j < 4; ++j) device[chunk.address + j] = chunk.data[j];
    ++writes;
    expectedAddress += 4;
  } while (walk.advance());
  EXPECT_EQ(writes, WindowsImageWalk::kWriteCount);
  EXPECT_EQ(chunk.address, 0xFBFC);
  EXPECT_EQ(device, unpack(image));
  EXPECT_EQ(source.offset(), 0xFFFFu) << "the last filler byte is never read";
}

TEST(WindowsWalk, TakesTheDocumentedFileBytesForKeyAddresses) {
  const auto image = sampleImage();
  nuv::MemorySource source(image);
  WindowsImageWalk walk(source);
  std::map<std::uint16_t, std::uint32_t> firstOffset = {{0x0000, 0x0000}, {0x0FFC, 0x0FFC},
                                                        {0x1000, 0x1050}, {0x103C, 0x108C},
                                                        {0x1040, 0x1091}, {0xFBFC, 0xFFFB}};
  WriteChunk chunk;
  do {
    ASSERT_TRUE(walk.readChunk(chunk));
    auto it = firstOffset.find(chunk.address);
    if (it == firstOffset.end()) continue;
    for (int j = 0; j < 4; ++j)
      EXPECT_EQ(chunk.data[j], image[it->second + j]) << std::hex << chunk.address;
    firstOffset.erase(it);
  } while (walk.advance());
  EXPECT_TRUE(firstOffset.empty());
}

TEST(WindowsWalk, ReportsAFileThatEndsEarlyOrFailsInsteadOfSendingData) {
  auto image = sampleImage();
  image.resize(0x1020);
  nuv::MemorySource shortSource(image);
  WindowsImageWalk walk(shortSource);
  WriteChunk chunk;
  bool failed = false;
  for (int i = 0; i < 20000 && !failed; ++i) {
    if (!walk.readChunk(chunk)) {
      failed = true;
      break;
    }
    if (!walk.advance()) break;
  }
  ASSERT_TRUE(failed) << "a file cut inside the gap cannot deliver address 0x1000";
  EXPECT_NE(walk.error()->describe().find("ends early"), std::string::npos);

  const auto full = sampleImage();
  nuv::MemorySource failing(full);
  failing.failReadsFrom(0x2000, 5 /* EIO */);
  WindowsImageWalk walk2(failing);
  while (walk2.readChunk(chunk) && walk2.advance()) {
  }
  ASSERT_TRUE(walk2.error());
  EXPECT_EQ(walk2.error()->code, 5);
  EXPECT_LT(chunk.address, 0x2000);
}

TEST(WindowsWalk, EndsEarlyWhenTheFileIsAtItsEnd) {
  auto image = sampleImage();
  image.resize(0x800);
  nuv::MemorySource source(image);
  WindowsImageWalk walk(source);
  WriteChunk chunk;
  std::uint32_t writes = 0;
  do {
    ASSERT_TRUE(walk.readChunk(chunk));
    ++writes;
  } while (walk.advance());
  EXPECT_EQ(writes, 0x800u / 4);
}

TEST(MacWalk, Writes16384ChunksWithZerosFrom0xFC00AndLogsItsMoves) {
  const auto image = sampleImage();
  nuv::MemorySource stream(image);
  MacImageWalk walk(stream);
  CapturedLog log;
  nuv::ScopedLogSink capture(log);
  std::vector<std::uint8_t> device(0x10000, 0xEE);
  std::uint32_t writes = 0;
  for (std::uint32_t t = 0; t <= MacImageWalk::kLastAddress; t += 4) {
    std::uint8_t chunk[4];
    ASSERT_TRUE(walk.chunkFor(static_cast<std::uint16_t>(t), chunk));
    for (int j = 0; j < 4; ++j) device[t + j] = chunk[j];
    ++writes;
  }
  EXPECT_EQ(writes, MacImageWalk::kWriteCount);
  const auto firmware = unpack(image);
  EXPECT_TRUE(std::equal(firmware.begin(), firmware.end(), device.begin()));
  for (std::uint32_t a = 0xFC00; a < 0x10000; ++a) ASSERT_EQ(device[a], 0) << std::hex << a;
  EXPECT_EQ(log.counts["Seek to 0x1050"], 1);
  // One skip before each multiple of 64 from 0x1040 on: 943 record fillers, the last filler at
  // 0xFC00, and 15 more past the end of the file, where the skips change nothing.
  EXPECT_EQ(log.counts["Skip 1 byte"], 959);
}

TEST(MacWalk, ShortFilesGiveZerosButReadErrorsEndTheWalk) {
  std::vector<std::uint8_t> tiny = {1, 2, 3, 4, 5, 6};
  nuv::MemorySource stream(tiny);
  MacImageWalk walk(stream);
  std::uint8_t chunk[4];
  ASSERT_TRUE(walk.chunkFor(0, chunk));
  EXPECT_EQ(chunk[3], 4);
  ASSERT_TRUE(walk.chunkFor(4, chunk));
  EXPECT_EQ((std::vector<std::uint8_t>(chunk, chunk + 4)), (std::vector<std::uint8_t>{5, 6, 0, 0}));
  ASSERT_TRUE(walk.chunkFor(8, chunk));
  EXPECT_EQ(chunk[0], 0);

  const auto image = sampleImage();
  nuv::MemorySource failing(image);
  failing.failReadsFrom(0x100, 5);
  MacImageWalk walk2(failing);
  std::uint32_t t = 0;
  while (walk2.chunkFor(static_cast<std::uint16_t>(t), chunk)) t += 4;
  EXPECT_EQ(t, 0x100u);
  ASSERT_TRUE(walk2.error());
  EXPECT_EQ(walk2.error()->call, "read");
}

}  // namespace
