#include <fnmatch.h>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

namespace {

// The one rule line of the shipped file, split into its key/value pairs as udev writes them.
std::string ruleLine() {
  std::ifstream file(NUV_UDEV_RULE_FILE);
  EXPECT_TRUE(file.good()) << NUV_UDEV_RULE_FILE;
  std::string line, rule;
  int rules = 0;
  while (std::getline(file, line)) {
    if (line.empty() || line[0] == '#') continue;
    rule = line;
    ++rules;
  }
  EXPECT_EQ(rules, 1);
  return rule;
}

std::string valueOf(const std::string& rule, const std::string& key) {
  const auto at = rule.find(key + "\"");
  if (at == std::string::npos) return {};
  const auto start = at + key.size() + 1;
  return rule.substr(start, rule.find('"', start) - start);
}

TEST(HidrawUdevRule, SortsBeforeTheSeatRuleThatTurnsUaccessIntoAcls) {
  const std::string name = NUV_UDEV_RULE_FILE;
  const std::string base = name.substr(name.find_last_of('/') + 1);
  EXPECT_LT(base, "73-seat-late.rules");
}

TEST(HidrawUdevRule, TagsOnlyHidrawNodesOfTheUpdateDevice) {
  const std::string rule = ruleLine();
  EXPECT_EQ(valueOf(rule, "SUBSYSTEM=="), "hidraw");
  EXPECT_EQ(valueOf(rule, "TAG+="), "uaccess");
  EXPECT_EQ(valueOf(rule, "MODE="), "");  // no world-writable nodes
  EXPECT_EQ(valueOf(rule, "GROUP="), "");

  const std::string pattern = valueOf(rule, "KERNELS==");
  ASSERT_FALSE(pattern.empty());
  auto matches = [&](const char* name) { return fnmatch(pattern.c_str(), name, 0) == 0; };
  // Names as the kernel gives parent HID devices: "%04X:%04X:%04X.%04X".
  EXPECT_TRUE(matches("0003:FFFF:0100.0001"));
  EXPECT_TRUE(matches("0003:FFFF:0100.00A7"));
  EXPECT_FALSE(matches("0003:FFFF:0101.0001"));
  EXPECT_FALSE(matches("0003:FFFE:0100.0001"));
  EXPECT_FALSE(matches("0003:046D:C52B.0002"));
  EXPECT_FALSE(matches("0005:FFFF:0100.0001"));
  EXPECT_FALSE(matches("0003:FFFF:01000.0001"));
  EXPECT_FALSE(matches("1-1:1.0"));  // the USB interface above it
}

}  // namespace
