// vornex-cli's JSON lines: written with the schema version first, read back by the parent of a
// several-device run, and a device field put in without disturbing the rest.
#include <gtest/gtest.h>

#include "cli/JsonLine.h"

namespace {

TEST(CliJson, EscapesControlAndNonAsciiBytes) {
  EXPECT_EQ(nuv::cli::jsonEscape("a\"b\\c\n\x01\xff"), "a\\\"b\\\\c\\n\\u0001\\u00ff");
}

TEST(CliJson, WhatIsWrittenReadsBackAndTakesADevice) {
  const std::string line = nuv::cli::JsonLine("progress")
                               .text("text", "Time out  error \"x\"\n\x01")
                               .number("done", 4096)
                               .real("rate", 1234.56, 1)
                               .flag("ok", false)
                               .optionalText("serial", std::nullopt)
                               .str();
  EXPECT_TRUE(line.starts_with("{\"schema\":2,\"event\":\"progress\",")) << line;
  auto fields = nuv::cli::readJsonLine(line);
  ASSERT_TRUE(fields);
  EXPECT_EQ(fields->get("text"), "Time out  error \"x\"\n\x01");
  EXPECT_EQ(fields->number("done"), 4096);
  EXPECT_DOUBLE_EQ(fields->real("rate"), 1234.6);
  EXPECT_EQ(fields->get("ok"), "false");
  EXPECT_EQ(fields->values.count("serial"), 0u) << "null reads as absent";

  const std::string tagged = nuv::cli::withTextField(line, "device", "/dev/hidraw3");
  EXPECT_TRUE(
      tagged.starts_with("{\"schema\":2,\"event\":\"progress\",\"device\":\"/dev/hidraw3\","))
      << tagged;
  EXPECT_EQ(nuv::cli::readJsonLine(tagged)->get("text"), fields->get("text"));
  EXPECT_EQ(nuv::cli::withTextField("not json", "device", "x"), "not json");
}

TEST(CliJson, RefusesWhatIsNoFlatObject) {
  for (const char* text : {"", "plain text", "{\"a\":", "{\"a\" 1}", "{\"a\":\"open", "[1]",
                           "{\"a\":{\"b\":1}}", "{\"a\":[1]}", "{\"a\":1,}", "{\"a\":\"\\q\"}",
                           "{\"a\":\"\\u00g1\"}", "{\"a\":\"\\u00\"}", "{\"a\":\"tab\there\"}"}) {
    EXPECT_FALSE(nuv::cli::readJsonLine(text)) << text;
  }
  EXPECT_TRUE(nuv::cli::readJsonLine("{}"));
  EXPECT_EQ(nuv::cli::readJsonLine(" { \"a\" : \"\\u00e9\" } ")->get("a"), "\xc3\xa9");
}

}  // namespace
