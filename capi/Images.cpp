// Update images without a device: inspect's verdict, the flows' acceptance, pack and unpack.
#include <cstring>
#include <span>

#include "capi/Convert.h"
#include "capi/Edge.h"
#include "cli/Files.h"
#include "cli/ImageTools.h"
#include "protocol/UpdateImage.h"

namespace {

namespace capi = nuv::capi;
namespace image = nuv::image;

void fillInfo(const nuv::cli::ImageVerdict& verdict, nuv_image_info& info) {
  info = nuv_image_info{};
  info.size = verdict.size;
  capi::copyText(verdict.header, info.header);
  capi::copyText(verdict.version, info.version);
  info.accepted = verdict.refusal.empty() ? 1 : 0;
  info.reason = verdict.reasonCode == "size"      ? NUV_REASON_SIZE
                : verdict.reasonCode == "version" ? NUV_REASON_VERSION
                                                  : NUV_REASON_NONE;
  capi::copyText(verdict.refusal, info.refusal);
  capi::copyText(verdict.reason, info.reason_text);
}

// `bytes` as a span; false when a non-empty buffer is NULL.
bool spanOf(const std::uint8_t* bytes, std::size_t size, std::span<const std::uint8_t>& out) {
  if (bytes == nullptr && size != 0) return false;
  out = bytes == nullptr ? std::span<const std::uint8_t>() : std::span(bytes, size);
  return true;
}

// Copies `bytes` into the caller's buffer, or says how much is needed.
nuv_status deliver(const std::vector<std::uint8_t>& bytes, std::uint8_t* out, std::size_t capacity,
                   std::size_t* written) {
  if (written != nullptr) *written = bytes.size();
  if (out == nullptr || capacity < bytes.size()) return NUV_E_BUFFER;
  std::memcpy(out, bytes.data(), bytes.size());
  return NUV_OK;
}

}  // namespace

extern "C" {

nuv_status nuv_image_inspect(const uint8_t* bytes, size_t size, nuv_image_info* info) {
  return capi::guarded(nullptr, [&] {
    std::span<const std::uint8_t> in;
    if (info == nullptr || !spanOf(bytes, size, in)) return NUV_E_ARGUMENT;
    fillInfo(nuv::cli::judgeImage(in, size), *info);
    return NUV_OK;
  });
}

nuv_status nuv_image_inspect_file(const char* path, nuv_image_info* info, nuv_error* error) {
  return capi::guarded(error, [&] {
    if (path == nullptr || info == nullptr) return NUV_E_ARGUMENT;
    // A file of the wrong size is read only as far as an image goes: its size is enough.
    auto file = nuv::cli::readFile(path, image::kImageSize);
    if (!file) {
      capi::setError(error, file.error().describe());
      return NUV_E_FILE;
    }
    fillInfo(nuv::cli::judgeImage(file.value().bytes, file.value().size), *info);
    return NUV_OK;
  });
}

nuv_status nuv_image_check(const uint8_t* bytes, size_t size, int flow, nuv_result* result) {
  return capi::guarded(nullptr, [&] {
    std::span<const std::uint8_t> in;
    if (!spanOf(bytes, size, in) || (flow != NUV_FLOW_STRICT && flow != NUV_FLOW_ECHO))
      return NUV_E_ARGUMENT;
    std::optional<nuv::flow::RefusalReason> refused;
    if (!image::sizeAccepted(size))
      refused = nuv::flow::RefusalReason::Size;
    else if (flow == NUV_FLOW_STRICT && !image::versionAccepted(in))
      refused = nuv::flow::RefusalReason::Version;
    const nuv::flow::Outcome outcome =
        refused ? nuv::flow::imageRefusedOutcome(*refused) : nuv::flow::Outcome{};
    if (result != nullptr) capi::fillResult(outcome, "", *result);
    return capi::statusOf(outcome);
  });
}

nuv_status nuv_image_pack(const uint8_t* firmware, size_t size, uint8_t filler, uint8_t* out,
                          size_t capacity, size_t* written) {
  return capi::guarded(nullptr, [&] {
    if (written != nullptr) *written = 0;
    std::span<const std::uint8_t> in;
    if (!spanOf(firmware, size, in)) return NUV_E_ARGUMENT;
    if (size != image::kFirmwareSize) return NUV_E_IMAGE;
    return deliver(image::pack(in, filler), out, capacity, written);
  });
}

nuv_status nuv_image_unpack(const uint8_t* bytes, size_t size, uint8_t* out, size_t capacity,
                            size_t* written) {
  return capi::guarded(nullptr, [&] {
    if (written != nullptr) *written = 0;
    std::span<const std::uint8_t> in;
    if (!spanOf(bytes, size, in)) return NUV_E_ARGUMENT;
    if (!image::sizeAccepted(size)) return NUV_E_IMAGE;
    return deliver(image::unpack(in), out, capacity, written);
  });
}

}  // extern "C"
