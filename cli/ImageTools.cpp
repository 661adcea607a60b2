#include "cli/ImageTools.h"

#include <cstdio>

#include "cli/ExitCodes.h"
#include "cli/Files.h"
#include "cli/JsonLine.h"
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

// The output would replace the input itself (-o naming it, --force given): refused, since
// the input would be gone if anything went wrong, and a mistyped -o is the likelier story.
bool refuseSameFile(const std::string& input, const std::string& output, Output& out) {
  if (!sameFile(input, output)) return false;
  out.message(output + " is the input file itself; give another -o", true);
  out.result(kExitFileError, "nothing written");
  return true;
}

}  // namespace

std::string spelledVersion(std::string_view text) {
  return text.starts_with('V') ? std::string(text.substr(1)) : std::string(text);
}

ImageVerdict judgeImage(std::span<const std::uint8_t> bytes, std::uint64_t size) {
  ImageVerdict v;
  v.size = size;
  v.header = printable(bytes.first(std::min<std::size_t>(bytes.size(), image::kHeaderSize)));
  v.version = spelledVersion(
      printable(bytes.first(std::min<std::size_t>(bytes.size(), image::kProgramVersion.size()))));
  if (!image::sizeAccepted(size)) {
    v.refusal = "Filesize is error";
    v.reasonCode = "size";
    v.reason = "an update image is exactly 65536 bytes; this file has " + std::to_string(size);
  } else if (!image::versionAccepted(bytes)) {
    v.refusal = "Version is error";
    v.reasonCode = "version";
    v.reason = "an update image starts with \"" + std::string(image::kProgramVersion) +
               "\"; this one starts with \"" +
               printable(bytes.first(std::min<std::size_t>(bytes.size(), 5))) + "\"";
  }
  return v;
}

int runInspect(const Options& options, Output& out) {
  const std::string& path = options.operands.at(0);
  FileBytes file;
  if (!readInput(path, image::kImageSize, file, out)) return kExitFileError;
  const ImageVerdict v = judgeImage(file.bytes, file.size);
  JsonLine json("inspect");
  json.text("file", path)
      .number("size", static_cast<long long>(v.size))
      .text("header", v.header)
      .text("version", v.version)
      .flag("accepted", v.refusal.empty());
  if (v.refusal.empty())
    json.null("reason").null("reason_text");
  else
    json.text("reason", v.reasonCode).text("reason_text", v.reason);
  if (out.mode() == OutputMode::Json) {
    out.record(json, "");
  } else {
    out.fact("file", path);
    out.fact("size", std::to_string(v.size) + " bytes");
    out.fact("header", v.header);
    out.fact("version", v.version);
    out.fact("accepted", v.refusal.empty() ? "yes" : "no: " + v.refusal);
    if (!v.refusal.empty()) out.fact("why", v.reason);
  }
  if (v.refusal.empty()) {
    out.result(kExitSuccess, "");
    return kExitSuccess;
  }
  out.result(kExitImageRefused, path + ": " + v.reason);
  return kExitImageRefused;
}

std::optional<int> refuseImage(const Options& options, Output& out) {
  if (options.command != Command::Download && options.command != Command::Verify)
    return std::nullopt;
  const std::string& path = options.operands.at(0);
  auto file = readFile(path, image::kImageSize);
  if (!file) {
    out.message(file.error().describe(), true);
    out.result(kExitFileError, path + ": the update image cannot be read; nothing was sent");
    return kExitFileError;
  }
  const ImageVerdict v = judgeImage(file.value().bytes, file.value().size);
  // Only Vornex's flow looks at the version; QuenlorHID's and the read-back take any image
  // of the right size.
  const bool strict = options.command == Command::Download && options.flow == Flow::Strict;
  if (v.reasonCode.empty() || (v.reasonCode == "version" && !strict)) return std::nullopt;
  out.message(v.refusal, true);  // the window's own words, as its box says them
  out.result(kExitImageRefused, path + ": " + v.reason + "; nothing was sent to the device");
  return kExitImageRefused;
}

int runPack(const Options& options, Output& out) {
  const std::string& path = options.operands.at(0);
  FileBytes file;
  if (refuseSameFile(path, options.output, out)) return kExitFileError;
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
  if (refuseSameFile(path, options.output, out)) return kExitFileError;
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
