// vornex-cli's inspect, pack and unpack on arbitrary files (see ImageInput.h for how the input
// becomes a file; bit 0 of byte 1 stretches it to a firmware's 64,512 bytes instead of an
// image's 65,536). Each command either succeeds as it should or refuses with its exit code,
// and what pack writes unpacks to the firmware it was given.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cli/ExitCodes.h"
#include "cli/ImageTools.h"
#include "cli/Options.h"
#include "cli/Output.h"
#include "fuzz/FuzzSupport.h"
#include "fuzz/ImageInput.h"
#include "protocol/UpdateImage.h"

namespace {

namespace image = nuv::image;

// The files of the whole run, and a sink for the commands' messages.
class Scratch {
 public:
  Scratch() : null_(std::fopen("/dev/null", "w")) { FUZZ_CHECK(null_ != nullptr); }
  ~Scratch() { std::fclose(null_); }
  [[nodiscard]] std::string path(const char* name) const { return dir_.path(name); }
  [[nodiscard]] std::FILE* null() const { return null_; }

 private:
  fuzz::ScratchDir dir_;
  std::FILE* null_;
};

void writeBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  FUZZ_CHECK(out.good());
}

std::vector<std::uint8_t> readBytes(const std::string& path) {
  const auto size = std::filesystem::file_size(path);
  std::vector<std::uint8_t> bytes(size);
  std::ifstream in(path, std::ios::binary);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size));
  FUZZ_CHECK(in.good());
  return bytes;
}

nuv::cli::Options optionsFor(nuv::cli::Command command, const std::string& input,
                             const std::string& output) {
  nuv::cli::Options options;
  options.command = command;
  options.operands = {input};
  options.output = output;
  options.force = true;
  options.quiet = true;
  return options;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const Scratch scratch;
  const bool firmwareSized = size >= 2 && (data[1] & 1) != 0;
  const std::vector<std::uint8_t> bytes =
      fuzz::imageFromInput(data, size, firmwareSized ? image::kFirmwareSize : image::kImageSize)
          .bytes;
  const std::string input = scratch.path("input");
  const std::string unpacked = scratch.path("unpacked");
  const std::string packed = scratch.path("packed");
  writeBytes(input, bytes);
  nuv::cli::Output out(nuv::cli::OutputMode::Quiet, false, scratch.null(), scratch.null());

  const bool isImage = bytes.size() == image::kImageSize;
  const int inspected =
      nuv::cli::runInspect(optionsFor(nuv::cli::Command::Inspect, input, ""), out);
  FUZZ_CHECK(inspected == (isImage && image::versionAccepted(bytes) ? nuv::cli::kExitSuccess
                                                                    : nuv::cli::kExitImageRefused));

  std::filesystem::remove(unpacked);
  const int unpackedCode =
      nuv::cli::runUnpack(optionsFor(nuv::cli::Command::Unpack, input, unpacked), out);
  FUZZ_CHECK(unpackedCode == (isImage ? nuv::cli::kExitSuccess : nuv::cli::kExitImageRefused));
  // A refused file leaves nothing behind.
  FUZZ_CHECK(isImage == std::filesystem::exists(unpacked));
  if (isImage) FUZZ_CHECK(readBytes(unpacked) == image::unpack(bytes));

  std::filesystem::remove(packed);
  const bool isFirmware = bytes.size() == image::kFirmwareSize;
  nuv::cli::Options packOptions = optionsFor(nuv::cli::Command::Pack, input, packed);
  packOptions.filler = size > 3 ? data[3] : 0xFF;
  const int packedCode = nuv::cli::runPack(packOptions, out);
  FUZZ_CHECK(packedCode == (isFirmware ? nuv::cli::kExitSuccess : nuv::cli::kExitImageRefused));
  FUZZ_CHECK(isFirmware == std::filesystem::exists(packed));
  if (isFirmware) {
    // pack, then unpack: the firmware comes back byte for byte.
    const std::vector<std::uint8_t> image = readBytes(packed);
    FUZZ_CHECK(image.size() == image::kImageSize);
    FUZZ_CHECK(image::unpack(image) == bytes);
    std::filesystem::remove(unpacked);
    FUZZ_CHECK(nuv::cli::runUnpack(optionsFor(nuv::cli::Command::Unpack, packed, unpacked), out) ==
               nuv::cli::kExitSuccess);
    FUZZ_CHECK(readBytes(unpacked) == bytes);
  }
  return 0;
}
