// The small helpers of the controller: hexadecimal scanning and the version text.
#include <gtest/gtest.h>

#include "mac/HexScan.h"
#include "mac/VersionText.h"

namespace {

using nuv::mac::scanHexInt;
using nuv::mac::versionText;

TEST(HexScan, ReadsIdentifierTexts) {
  std::uint32_t v = 1;
  EXPECT_TRUE(scanHexInt("FFFF", &v));
  EXPECT_EQ(v, 65535u);
  EXPECT_TRUE(scanHexInt("0100", &v));
  EXPECT_EQ(v, 256u);
  EXPECT_TRUE(scanHexInt("  0x1aZ", &v));
  EXPECT_EQ(v, 0x1Au);
}

TEST(HexScan, RefusesTextWithoutDigitsAndOverflow) {
  std::uint32_t v = 7;
  EXPECT_FALSE(scanHexInt("", &v));
  EXPECT_EQ(v, 0u);
  EXPECT_FALSE(scanHexInt("xyz", &v));
  EXPECT_FALSE(scanHexInt("123456789", &v));
  EXPECT_EQ(v, 0xFFFFFFFFu);
}

TEST(VersionText, TakesUpToFourCharactersUntilZero) {
  const std::uint8_t full[4] = {'1', '.', '0', '1'};
  EXPECT_EQ(versionText(full), "1.01");
  const std::uint8_t shortText[4] = {'2', 0, '9', '9'};
  EXPECT_EQ(versionText(shortText), "2");
  const std::uint8_t none[4] = {0, '1', '2', '3'};
  EXPECT_EQ(versionText(none), "");
}

TEST(VersionText, KeepsWellFormedUtf8AndReplacesTheRest) {
  const std::uint8_t euro[4] = {0xE2, 0x82, 0xAC, '1'};  // "€1"
  EXPECT_EQ(versionText(euro),
            "\xE2\x82\xAC"
            "1");
  const std::uint8_t stray[4] = {'1', 0x80, '0', 0xFF};
  EXPECT_EQ(versionText(stray),
            "1\xEF\xBF\xBD"
            "0\xEF\xBF\xBD");
  const std::uint8_t cut[4] = {'1', '.', 0xE2, 0x82};  // a sequence the four bytes cut off
  EXPECT_EQ(versionText(cut), "1.\xEF\xBF\xBD\xEF\xBF\xBD");
  const std::uint8_t surrogate[4] = {0xED, 0xA0, 0x80, 'x'};
  EXPECT_EQ(versionText(surrogate), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBDx");
}

}  // namespace
