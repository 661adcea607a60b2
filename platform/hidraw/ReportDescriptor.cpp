#include "platform/hidraw/ReportDescriptor.h"

#include <array>
#include <string>

namespace nuv::hidraw {
namespace {

enum ItemType : std::uint8_t { kMain = 0, kGlobal = 1, kLocal = 2 };

// Main item tags.
constexpr std::uint8_t kInput = 0x8, kOutput = 0x9, kCollection = 0xA, kFeature = 0xB,
                       kEndCollection = 0xC;
// Global item tags.
constexpr std::uint8_t kUsagePage = 0x0, kReportSize = 0x7, kReportId = 0x8, kReportCount = 0x9,
                       kPush = 0xA, kPop = 0xB;
// Local item tags.
constexpr std::uint8_t kUsage = 0x0;
constexpr std::uint8_t kLongItemTag = 0xF;

// The Linux HID core allows 4 pushed states; a few more costs nothing.
constexpr std::size_t kMaxPushDepth = 8;
constexpr std::size_t kMaxCollectionDepth = 32;
// Report lengths are 16-bit and include the report-ID byte.
constexpr std::uint64_t kMaxReportBits = 65534ull * 8;

struct GlobalState {
  std::uint32_t usagePage = 0;
  std::uint32_t reportSize = 0;
  std::uint32_t reportCount = 0;
  std::uint32_t reportId = 0;  // 0: no Report ID item in effect
};

// Bits per report ID for one report kind; -1 marks an ID with no report of that kind.
using ReportBits = std::array<std::int64_t, 256>;

Error malformed(std::size_t offset, const char* what) {
  return Error::message("report descriptor: " + std::string(what) + " at offset " +
                        std::to_string(offset));
}

std::uint32_t littleEndian(const std::uint8_t* data, std::size_t size) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < size; ++i) value |= std::uint32_t{data[i]} << (8 * i);
  return value;
}

std::uint16_t byteLength(const ReportBits& bits) {
  std::int64_t largest = -1;
  for (std::int64_t b : bits) largest = b > largest ? b : largest;
  if (largest < 0) return 0;
  return static_cast<std::uint16_t>((largest + 7) / 8 + 1);
}

}  // namespace

Result<ReportCaps> parseReportDescriptor(std::span<const std::uint8_t> descriptor) {
  if (descriptor.empty()) return Error::message("report descriptor: empty");

  GlobalState global;
  std::array<GlobalState, kMaxPushDepth> pushed{};
  std::size_t pushDepth = 0;
  std::size_t collectionDepth = 0;

  // First Usage of the current local state; its page is resolved at the main item, so that a
  // Usage Page given between Usage and Collection still applies, as the Linux HID core does.
  bool haveUsage = false;
  std::uint32_t firstUsage = 0;
  std::size_t firstUsageSize = 0;

  ReportBits input, output, feature;
  input.fill(-1);
  output.fill(-1);
  feature.fill(-1);
  bool usesReportIds = false;
  bool dataWithoutId = false;
  bool haveTopLevel = false;
  ReportCaps caps;

  std::size_t pos = 0;
  while (pos < descriptor.size()) {
    const std::size_t itemOffset = pos;
    const std::uint8_t prefix = descriptor[pos++];
    const std::uint8_t tag = prefix >> 4;
    const std::uint8_t type = (prefix >> 2) & 0x3;

    if (tag == kLongItemTag) {
      // Long items: size byte, tag byte, data. None is defined, so they are only skipped.
      if (descriptor.size() - pos < 2) return malformed(itemOffset, "truncated long item");
      const std::size_t dataSize = descriptor[pos];
      pos += 2;
      if (descriptor.size() - pos < dataSize) return malformed(itemOffset, "truncated long item");
      pos += dataSize;
      continue;
    }

    const std::size_t size = (prefix & 0x3) == 3 ? 4 : (prefix & 0x3);
    if (descriptor.size() - pos < size) return malformed(itemOffset, "truncated item");
    const std::uint32_t value = littleEndian(descriptor.data() + pos, size);
    pos += size;

    if (type == kGlobal) {
      switch (tag) {
        case kUsagePage:
          global.usagePage = value;
          break;
        case kReportSize:
          if (value > 0xFFFF) return malformed(itemOffset, "report size too large");
          global.reportSize = value;
          break;
        case kReportCount:
          if (value > 0xFFFF) return malformed(itemOffset, "report count too large");
          global.reportCount = value;
          break;
        case kReportId:
          if (value == 0 || value > 0xFF) return malformed(itemOffset, "invalid report ID");
          global.reportId = value;
          usesReportIds = true;
          break;
        case kPush:
          if (pushDepth == kMaxPushDepth) return malformed(itemOffset, "push stack overflow");
          pushed[pushDepth++] = global;
          break;
        case kPop:
          if (pushDepth == 0) return malformed(itemOffset, "pop without push");
          global = pushed[--pushDepth];
          break;
        default:
          break;  // logical/physical ranges, units: not needed for the lengths
      }
      continue;
    }

    if (type == kLocal) {
      if (tag == kUsage && !haveUsage) {
        haveUsage = true;
        firstUsage = value;
        firstUsageSize = size;
      }
      continue;
    }

    if (type != kMain) continue;  // reserved item type: ignored, as the Linux HID core does

    switch (tag) {
      case kInput:
      case kOutput:
      case kFeature: {
        ReportBits& bits = tag == kInput ? input : tag == kOutput ? output : feature;
        std::int64_t& report = bits[global.reportId];
        const std::int64_t added = std::int64_t{global.reportSize} * global.reportCount;
        report = (report < 0 ? 0 : report) + added;
        if (static_cast<std::uint64_t>(report) > kMaxReportBits)
          return malformed(itemOffset, "report too long");
        if (global.reportId == 0) dataWithoutId = true;
        break;
      }
      case kCollection:
        if (collectionDepth == kMaxCollectionDepth)
          return malformed(itemOffset, "collections nested too deeply");
        if (collectionDepth == 0 && !haveTopLevel) {
          haveTopLevel = true;
          // A 4-byte Usage carries its own page in the high half.
          caps.usagePage = static_cast<std::uint16_t>(
              haveUsage && firstUsageSize == 4 ? firstUsage >> 16 : global.usagePage);
          caps.usage = static_cast<std::uint16_t>(haveUsage ? firstUsage : 0);
        }
        ++collectionDepth;
        break;
      case kEndCollection:
        if (collectionDepth == 0) return malformed(itemOffset, "End Collection without Collection");
        --collectionDepth;
        break;
      default:
        break;  // reserved main tag: ignored, as the Linux HID core does
    }
    haveUsage = false;  // every main item ends the local state
  }

  if (collectionDepth != 0) return malformed(descriptor.size(), "unclosed collection");
  if (!haveTopLevel) return malformed(descriptor.size(), "no top-level collection");
  if (usesReportIds && dataWithoutId)
    return Error::message("report descriptor: data items before the first Report ID");

  caps.inputReportByteLength = byteLength(input);
  caps.outputReportByteLength = byteLength(output);
  caps.featureReportByteLength = byteLength(feature);
  caps.usesReportIds = usesReportIds;
  return caps;
}

}  // namespace nuv::hidraw
