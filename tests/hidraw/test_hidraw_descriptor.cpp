#include <gtest/gtest.h>

#include <vector>

#include "platform/hidraw/ReportDescriptor.h"

namespace nuv::hidraw {
namespace {

using Bytes = std::vector<std::uint8_t>;

// The update device: vendor-defined page, 8-byte input and output reports, no report IDs.
const Bytes kUpdateDevice = {
    0x06, 0x00, 0xFF,  // Usage Page (Vendor 0xFF00)
    0x09, 0x01,        // Usage (1)
    0xA1, 0x01,        // Collection (Application)
    0x15, 0x00,        //   Logical Minimum (0)
    0x26, 0xFF, 0x00,  //   Logical Maximum (255)
    0x75, 0x08,        //   Report Size (8)
    0x95, 0x08,        //   Report Count (8)
    0x09, 0x01,        //   Usage (1)
    0x81, 0x02,        //   Input (Data, Var, Abs)
    0x95, 0x08,        //   Report Count (8)
    0x09, 0x02,        //   Usage (2)
    0x91, 0x02,        //   Output (Data, Var, Abs)
    0xC0,              // End Collection
};

// The boot keyboard of the HID class definition, appendix B.1.
const Bytes kBootKeyboard = {
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01,              // Generic Desktop, Keyboard, Application
    0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00,  // modifier keys ...
    0x25, 0x01, 0x75, 0x01, 0x95, 0x08, 0x81, 0x02,  // ... 8 x 1 bit input
    0x95, 0x01, 0x75, 0x08, 0x81, 0x01,              // reserved byte
    0x95, 0x05, 0x75, 0x01, 0x05, 0x08, 0x19, 0x01,  // LEDs ...
    0x29, 0x05, 0x91, 0x02,                          // ... 5 x 1 bit output
    0x95, 0x01, 0x75, 0x03, 0x91, 0x01,              // 3 bits output padding
    0x95, 0x06, 0x75, 0x08, 0x15, 0x00, 0x25, 0x65,  // key array ...
    0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x81, 0x00,  // ... 6 x 8 bit input
    0xC0,
};

// Several reports of each kind under report IDs, one report split over two items, a nested
// collection and a feature report.
const Bytes kWithReportIds = {
    0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01,              // vendor page, usage 1, Application
    0x75, 0x08,                                            // Report Size (8)
    0x85, 0x01, 0x95, 0x08, 0x09, 0x01, 0x81, 0x02,        // ID 1: 8-byte input
    0x85, 0x02, 0x95, 0x10, 0x09, 0x02, 0x81, 0x02,        // ID 2: 16 bytes input ...
    0xA1, 0x02, 0x95, 0x10, 0x09, 0x03, 0x81, 0x02, 0xC0,  // ... +16 in a logical collection
    0x85, 0x03, 0x95, 0x10, 0x09, 0x04, 0x91, 0x02,        // ID 3: 16-byte output
    0x85, 0x04, 0x95, 0x02, 0x09, 0x05, 0xB1, 0x02,        // ID 4: 2-byte feature
    0x85, 0x05, 0x75, 0x01, 0x95, 0x03, 0x09, 0x06, 0x91, 0x02,  // ID 5: 3-bit output
    0xC0,
};

ReportCaps parsed(const Bytes& descriptor) {
  auto result = parseReportDescriptor(descriptor);
  EXPECT_TRUE(result.ok()) << (result.ok() ? "" : result.error().describe());
  return result.ok() ? result.value() : ReportCaps{};
}

std::string refusal(const Bytes& descriptor) {
  // An exact-size heap copy, so that a read past the end trips the address sanitizer.
  const auto copy = std::make_unique<std::uint8_t[]>(descriptor.size());
  std::copy(descriptor.begin(), descriptor.end(), copy.get());
  auto result = parseReportDescriptor(std::span(copy.get(), descriptor.size()));
  EXPECT_FALSE(result.ok());
  return result.ok() ? "" : result.error().describe();
}

TEST(HidrawReportDescriptorLengths, UpdateDeviceCountsTheReportIdByteWindowsAdds) {
  const ReportCaps caps = parsed(kUpdateDevice);
  EXPECT_EQ(caps, (ReportCaps{0xFF00, 0x01, 9, 9, 0, false}));
}

TEST(HidrawReportDescriptorLengths, BootKeyboardRoundsBitsUpToBytes) {
  const ReportCaps caps = parsed(kBootKeyboard);
  EXPECT_EQ(caps.usagePage, 0x01);
  EXPECT_EQ(caps.usage, 0x06);
  EXPECT_EQ(caps.inputReportByteLength, 9);   // 1 modifier byte, 1 reserved, 6 keys, + ID
  EXPECT_EQ(caps.outputReportByteLength, 2);  // 5 LED bits + 3 padding bits, + ID
  EXPECT_EQ(caps.featureReportByteLength, 0);
  EXPECT_FALSE(caps.usesReportIds);
}

TEST(HidrawReportDescriptorLengths, WithReportIdsTheLargestReportOfEachKindCounts) {
  const ReportCaps caps = parsed(kWithReportIds);
  EXPECT_TRUE(caps.usesReportIds);
  EXPECT_EQ(caps.inputReportByteLength, 33);  // ID 2: 16 + 16 bytes
  EXPECT_EQ(caps.outputReportByteLength, 17);
  EXPECT_EQ(caps.featureReportByteLength, 3);
  EXPECT_EQ(caps.usagePage, 0xFF00);
  EXPECT_EQ(caps.usage, 0x01);
}

TEST(HidrawReportDescriptorLengths, PopRestoresTheGlobalsPushSaved) {
  Bytes d = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x75, 0x08, 0x95, 0x04,
             0xA4,                    // Push
             0x75, 0x01, 0x95, 0x01,  // Report Size 1, Count 1
             0x05, 0x01,              // Usage Page (Generic Desktop)
             0xB4,                    // Pop
             0x09, 0x01, 0x81, 0x02, 0xC0};
  const ReportCaps caps = parsed(d);
  EXPECT_EQ(caps.inputReportByteLength, 5);
  EXPECT_EQ(caps.usagePage, 0xFF00);
}

TEST(HidrawReportDescriptorLengths, LongItemsAreSkippedAndExtendedUsagesCarryTheirPage) {
  const Bytes d = {0x0B, 0x01, 0x00, 0x0C, 0x00,        // Usage (Consumer page 0x0C, usage 1)
                   0xFE, 0x03, 0x10, 0xA1, 0xC0, 0x81,  // a long item whose data looks like items
                   0xA1, 0x01, 0x75, 0x10, 0x95, 0x01, 0x81, 0x00, 0xC0};
  const ReportCaps caps = parsed(d);
  EXPECT_EQ(caps.usagePage, 0x0C);
  EXPECT_EQ(caps.usage, 0x01);
  EXPECT_EQ(caps.inputReportByteLength, 3);
}

TEST(HidrawReportDescriptorLengths, UsagePageAfterUsageStillAppliesToTheCollection) {
  const Bytes d = {0x09, 0x02, 0x05, 0x01, 0xA1, 0x01, 0x75, 0x08, 0x95, 0x03, 0x81, 0x02, 0xC0};
  const ReportCaps caps = parsed(d);
  EXPECT_EQ(caps.usagePage, 0x01);
  EXPECT_EQ(caps.usage, 0x02);
}

TEST(HidrawReportDescriptorRefusal, EveryProperPrefixOfAValidDescriptorIsRefused) {
  for (const Bytes* descriptor : {&kUpdateDevice, &kBootKeyboard, &kWithReportIds}) {
    for (std::size_t n = 0; n < descriptor->size(); ++n) {
      SCOPED_TRACE(n);
      refusal(Bytes(descriptor->begin(), descriptor->begin() + static_cast<long>(n)));
    }
  }
}

TEST(HidrawReportDescriptorRefusal, NamesWhatIsWrongAndWhere) {
  EXPECT_EQ(refusal({}), "report descriptor: empty");
  EXPECT_EQ(refusal({0x05, 0x01, 0x26, 0xFF}), "report descriptor: truncated item at offset 2");
  EXPECT_EQ(refusal({0xA1, 0x01, 0xFE, 0x04, 0x10, 0x00, 0x00}),
            "report descriptor: truncated long item at offset 2");
  EXPECT_EQ(refusal({0xA1, 0x01, 0xB4, 0xC0}), "report descriptor: pop without push at offset 2");
  EXPECT_EQ(refusal({0xA1, 0x01, 0xC0, 0xC0}),
            "report descriptor: End Collection without Collection at offset 3");
  EXPECT_EQ(refusal({0xA1, 0x01, 0xA1, 0x00, 0xC0}),
            "report descriptor: unclosed collection at offset 5");
  EXPECT_EQ(refusal({0x75, 0x08, 0x95, 0x01, 0x81, 0x02}),
            "report descriptor: no top-level collection at offset 6");
  EXPECT_EQ(refusal({0xA1, 0x01, 0x85, 0x00, 0xC0}),
            "report descriptor: invalid report ID at offset 2");
  EXPECT_EQ(refusal({0xA1, 0x01, 0x86, 0x00, 0x01, 0xC0}),
            "report descriptor: invalid report ID at offset 2");
}

TEST(HidrawReportDescriptorRefusal, ReportsTheHostCannotFrameOrCountAreRefused) {
  // Data before the first Report ID in a descriptor that uses report IDs.
  EXPECT_EQ(refusal({0xA1, 0x01, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02, 0x85, 0x01, 0x81, 0x02, 0xC0}),
            "report descriptor: data items before the first Report ID");
  // 65535 x 65535 bits cannot be a report; nor can lengths that overflow 16 bits by summing.
  EXPECT_EQ(refusal({0xA1, 0x01, 0x76, 0xFF, 0xFF, 0x96, 0xFF, 0xFF, 0x81, 0x02, 0xC0}),
            "report descriptor: report too long at offset 8");
  EXPECT_EQ(refusal({0xA1, 0x01, 0x75, 0x08, 0x96, 0x00, 0x80, 0x81, 0x02, 0x81, 0x02, 0xC0}),
            "report descriptor: report too long at offset 9");
  EXPECT_EQ(refusal({0xA1, 0x01, 0x77, 0x00, 0x00, 0x01, 0x00, 0xC0}),
            "report descriptor: report size too large at offset 2");
}

TEST(HidrawReportDescriptorRefusal, PushAndCollectionDepthsAreBounded) {
  Bytes pushes = {0xA1, 0x01};
  pushes.insert(pushes.end(), 9, 0xA4);
  pushes.push_back(0xC0);
  EXPECT_EQ(refusal(pushes), "report descriptor: push stack overflow at offset 10");

  Bytes nested;
  for (int i = 0; i < 33; ++i) nested.insert(nested.end(), {0xA1, 0x00});
  EXPECT_EQ(refusal(nested), "report descriptor: collections nested too deeply at offset 64");
}

}  // namespace
}  // namespace nuv::hidraw
