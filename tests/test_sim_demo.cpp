// The demo programs' device options and the demo image they write.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <vector>

#include "protocol/UpdateImage.h"
#include "sim/DemoDevice.h"

namespace {

using nuv::sim::DemoOption;

TEST(DemoDeviceOption, ReadsTheDeviceOptionsAndRefusesWrongValues) {
  struct Case {
    std::vector<const char*> args;  // after the program's name
    bool ok;
    DemoOption option;
    int nextIndex;  // where i is left
  };
  const Case cases[] = {
      {{"--latency-us", "250"}, true, DemoOption::Read, 2},
      {{"--version", "2.00"}, true, DemoOption::Read, 2},
      {{"--fault", "no-reply@write"}, true, DemoOption::Read, 2},
      {{"--log-status"}, true, DemoOption::NotADeviceOption, 1},
      {{"--latency-us"}, false, DemoOption::Read, 1},
      {{"--latency-us", "-1"}, false, DemoOption::Read, 2},
      {{"--latency-us", "10000001"}, false, DemoOption::Read, 2},
      {{"--latency-us", "5ms"}, false, DemoOption::Read, 2},
      {{"--latency-us", "99999999999999999999"}, false, DemoOption::Read, 2},
      {{"--fault", "nonsense"}, false, DemoOption::Read, 2},
  };
  for (const Case& c : cases) {
    std::vector<const char*> argv{"demo"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    nuv::sim::UpdateDeviceOptions device;
    int i = 1;
    const auto read =
        nuv::sim::readDemoDeviceOption(static_cast<int>(argv.size()), argv.data(), i, device);
    SCOPED_TRACE(std::string(c.args[0]) + (c.args.size() > 1 ? std::string(" ") + c.args[1] : ""));
    ASSERT_EQ(read.ok(), c.ok) << (read ? "" : read.error().text);
    EXPECT_EQ(i, c.nextIndex);
    if (read) {
      EXPECT_EQ(read.value(), c.option);
    } else {
      EXPECT_NE(read.error().text.find(c.args[0]), std::string::npos) << read.error().text;
    }
  }
}

TEST(DemoDeviceOption, SetsTheDevice) {
  const char* argv[] = {"demo", "--latency-us", "250",           "--version",
                        "2.00", "--fault",      "no-reply@write"};
  nuv::sim::UpdateDeviceOptions device;
  for (int i = 1; i < 7; ++i) ASSERT_TRUE(nuv::sim::readDemoDeviceOption(7, argv, i, device));
  EXPECT_EQ(device.latency.model, nuv::sim::Latency::Model::Fixed);
  EXPECT_EQ(device.latency.fixed, std::chrono::microseconds(250));
  EXPECT_EQ(device.version, "2.00");
  EXPECT_EQ(device.faults.size(), 1u);
}

TEST(DemoImage, IsAnImageTheWindowsProgramAccepts) {
  const std::string path = ::testing::TempDir() + "demo-image.nuv";
  const auto written = nuv::sim::writeDemoImage(path);
  ASSERT_TRUE(written) << written.error().describe();
  std::ifstream in(path, std::ios::binary);
  const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                        std::istreambuf_iterator<char>());
  EXPECT_EQ(written.value(), bytes.size());
  EXPECT_TRUE(nuv::image::sizeAccepted(bytes.size()));
  EXPECT_TRUE(nuv::image::versionAccepted(bytes));

  const auto refused = nuv::sim::writeDemoImage(::testing::TempDir() + "no-such-dir/x.nuv");
  ASSERT_FALSE(refused);
  EXPECT_NE(refused.error().describe().find("no-such-dir"), std::string::npos);
}

}  // namespace
