#include "cli/ImageTools.h"

#include <cstdio>

#include "cli/ExitCodes.h"
#include "cli/Files.h"
#include "protocol/UpdateImage.h"

namespace nuv::cli {
namespace {

namespace image = nuv::image;

std::string printable(std::span<const std::uint8_t> bytes) {
  std::string out;
  for (std::uint8_t b : bytes) {
    if (b >= 0x20 && b < 0x7F && b != '\\') {
      out += static_cast<char>(b);
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", b);
      out += buf;
    }
  }
  return out;
}

// Reads a file of at most `limit` bytes, telling the user why not.
bool readInput(const std::string& path, std::uint64_t limit, FileBytes& file, Output& out) {
  auto got = readFile(path, limit);
  if (!got) {
    out.message(got.error().describe(), true);
    out.result(kExitFileError, "nothing written");
    return false;
  }
  file = std::move(got).value();
  return true;
}

}  // namespace

ImageVerdict judgeImage(std::span<const std::uint8_t> bytes, std::uint64_t size) {
  ImageVerdict v;
  v.size = size;
  v.header = printable(bytes.first(std::min<std::size_t>(bytes.size(), image::kHeaderSize)));
  v.version =
      printable(bytes.first(std::min<std::size_t>(bytes.size(), image::kProgramVersion.size())));
  if (!image::sizeAccepted(size)) {
    v.refusal = "Filesize is error";
    v.reason = "an update image is exactly 65536 bytes; this file has " + std::to_string(size);
  } else if (!image::versionAccepted(bytes)) {
    v.refusal = "Version is error";
    v.reason = "an update image starts with \"V1.01\"; this one starts with \"" + v.version + "\"";
  }
  return v;
}

int runInspect(const Options& options, Output& out) {
  const std::string& path = options.operands.at(0);
  FileBytes file;
  if (!readInput(path, image::kImageSize, file, out)) return kExitFileError;
  const ImageVerdict v = judgeImage(file.bytes, file.size);
  out.fact("file", path);
  out.fact("size", std::to_string(v.size) + " bytes");
  out.fact("header", v.header);
  out.fact("version", v.version);
  if (v.refusal.empty()) {
    out.fact("accepted", "yes");
    out.result(kExitSuccess, "");
    return kExitSuccess;
  }
  out.fact("accepted", "no: " + v.refusal);
  out.fact("why", v.reason);
  out.result(kExitImageRefused, path + ": " + v.reason);
  return kExitImageRefused;
}

int runPack(const Options& options, Output& out) {
  const std::string& path = options.operands.at(0);
  FileBytes file;
  if (!readInput(path, image::kFirmwareSize, file, out)) return kExitFileError;
  const std::vector<std::uint8_t>& firmware = file.bytes;
  if (file.size != image::kFirmwareSize) {
    const std::string why = path +
                            ": a raw firmware is exactly 64512 bytes (addresses 0x0000 to "
                            "0xFBFF); this file has " +
                            std::to_string(file.size);
    out.message(why, true);
    out.result(kExitImageRefused, "nothing written");
    return kExitImageRefused;
  }
  if (!image::versionAccepted(firmware))
    out.message("note: the header does not start with \"V1.01\": Vornex will refuse this image",
                false);
  const auto packed = image::pack(firmware, static_cast<std::uint8_t>(options.filler));
  if (auto failed = writeFileAtomically(options.output, packed, options.force)) {
    out.message(failed->describe(), true);
    out.result(kExitFileError, "nothing written");
    return kExitFileError;
  }
  out.status("Packed " + path + " into " + options.output, Tone::Success);
  out.result(kExitSuccess, "");
  return kExitSuccess;
}

int runUnpack(const Options& options, Output& out) {
  const std::string& path = options.operands.at(0);
  FileBytes file;
  if (!readInput(path, image::kImageSize, file, out)) return kExitFileError;
  const std::vector<std::uint8_t>& bytes = file.bytes;
  if (!image::sizeAccepted(file.size)) {
    out.message(path + ": an update image is exactly 65536 bytes; this file has " +
                    std::to_string(file.size),
                true);
    out.result(kExitImageRefused, "nothing written");
    return kExitImageRefused;
  }
  if (auto failed = writeFileAtomically(options.output, image::unpack(bytes), options.force)) {
    out.message(failed->describe(), true);
    out.result(kExitFileError, "nothing written");
    return kExitFileError;
  }
  out.status("Unpacked " + path + " into " + options.output, Tone::Success);
  out.result(kExitSuccess, "");
  return kExitSuccess;
}

}  // namespace nuv::cli
