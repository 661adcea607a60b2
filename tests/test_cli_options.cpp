// vornex-cli's command line: what it accepts and how it explains what it refuses.
#include <gtest/gtest.h>

#include <optional>
#include <tuple>

#include "cli/Options.h"
#include "cli/SimSetup.h"

namespace {

using nuv::cli::Command;

nuv::Result<nuv::cli::Options> parse(std::vector<std::string> args) {
  return nuv::cli::parseOptions(args);
}

nuv::cli::Options ok(std::vector<std::string> args) {
  auto r = parse(args);
  EXPECT_TRUE(r.ok()) << r.error().text;
  return r.ok() ? r.value() : nuv::cli::Options{};
}

std::string refused(std::vector<std::string> args) {
  auto r = parse(args);
  EXPECT_FALSE(r.ok());
  return r.ok() ? "" : r.error().text;
}

TEST(CliOptions, ParsesCommandsOperandsAndFlagsInAnyOrder) {
  auto o = ok({"--json", "download", "--flow", "echo", "fw.nuv", "--sim", "--sim-latency=1",
               "--sim-fault", "no-reply@#3", "--sim-fault", "unplug@0x8000"});
  EXPECT_EQ(o.command, Command::Download);
  EXPECT_EQ(o.operands, std::vector<std::string>{"fw.nuv"});
  EXPECT_EQ(o.flow, nuv::cli::Flow::Echo);
  EXPECT_TRUE(o.sim);
  EXPECT_EQ(o.simLatencyMs, 1u);
  EXPECT_EQ(o.simFaults.size(), 2u);
  EXPECT_TRUE(o.json);

  o = ok({"pack", "raw.bin", "-o", "out.nuv", "--filler", "0x00", "--force"});
  EXPECT_EQ(o.output, "out.nuv");
  EXPECT_EQ(o.filler, 0u);
  EXPECT_TRUE(o.force);

  o = ok({"version", "--device", "/dev/hidraw3"});
  EXPECT_EQ(o.devicePath, "/dev/hidraw3");
  EXPECT_FALSE(nuv::cli::wantsFleet(o));

  o = ok({"download", "fw.nuv", "--device", "usb:1-3.2", "--device=serial:A7", "--wait"});
  EXPECT_EQ(o.deviceSelectors, (std::vector<std::string>{"usb:1-3.2", "serial:A7"}));
  EXPECT_EQ(o.waitSeconds, nuv::cli::Options::kWaitForever);
  EXPECT_TRUE(nuv::cli::wantsFleet(o));
  o = ok({"download", "fw.nuv", "--station", "--count", "5", "--sim", "--sim-devices", "3",
          "--sim-fault", "2:late:50@0x2000"});
  EXPECT_TRUE(o.station && o.sim);
  EXPECT_EQ(o.count, 5u);
  EXPECT_EQ(ok({"version", "--wait=0"}).waitSeconds, 0u);
  EXPECT_EQ(ok({"version", "--wait", "10"}).waitSeconds, 10u);
  EXPECT_EQ(ok({"download", "--wait", "fw.nuv"}).operands, std::vector<std::string>{"fw.nuv"});
  // "--" ends the options: a file may start with a dash.
  EXPECT_EQ(ok({"inspect", "--", "-odd.nuv"}).operands, std::vector<std::string>{"-odd.nuv"});
  EXPECT_TRUE(ok({"download", "fw.nuv", "--json", "-q"}).quiet);
  EXPECT_EQ(ok({"list", "--color=never"}).color, nuv::cli::ColorMode::Never);
  EXPECT_EQ(ok({"list", "--color", "always"}).color, nuv::cli::ColorMode::Always);
  EXPECT_EQ(ok({"list", "--color"}).color, nuv::cli::ColorMode::Auto);

  // A device number before the first ':' only; a kind's own ':' stays with the kind.
  for (const auto& [text, number, fault] :
       std::vector<std::tuple<std::string, std::optional<unsigned>, std::string>>{
           {"2:late:50@0x2000", 2u, "late:50@0x2000"},
           {"late:50@0x2000", std::nullopt, "late:50@0x2000"},
           {"12:unplug@#3", 12u, "unplug@#3"}}) {
    const auto split = nuv::cli::splitDeviceFault(text);
    EXPECT_EQ(split.deviceNumber, number) << text;
    EXPECT_EQ(split.fault, fault) << text;
  }
}

TEST(CliOptions, HelpAndVersionNeedNoCommand) {
  EXPECT_TRUE(ok({"--help"}).showHelp);
  EXPECT_TRUE(ok({"--version"}).showVersion);
  auto o = ok({"download", "--help"});
  EXPECT_TRUE(o.showHelp);
  EXPECT_EQ(o.command, Command::Download);
  EXPECT_NE(nuv::cli::helpText(Command::Download).find("--flow"), std::string::npos);
  EXPECT_NE(nuv::cli::helpText(Command::None).find("Exit codes"), std::string::npos);
}

TEST(CliOptions, RefusesMistakesWithAReason) {
  EXPECT_NE(refused({}).find("no command"), std::string::npos);
  EXPECT_NE(refused({"flash", "x"}).find("unknown command 'flash'"), std::string::npos);
  EXPECT_NE(refused({"download"}).find("exactly one file"), std::string::npos);
  EXPECT_NE(refused({"download", "a", "b"}).find("exactly one file"), std::string::npos);
  EXPECT_NE(refused({"list", "x"}).find("no operand"), std::string::npos);
  EXPECT_NE(refused({"pack", "raw.bin"}).find("-o"), std::string::npos);
  EXPECT_NE(refused({"version", "--bogus"}).find("unknown option '--bogus'"), std::string::npos);
  EXPECT_NE(refused({"version", "--flow", "fast"}).find("strict"), std::string::npos);
  EXPECT_NE(refused({"version", "--sim-fault", "nonsense@#1"}).find("unknown fault kind"),
            std::string::npos);
  EXPECT_NE(refused({"version", "--all", "--device", "/dev/hidraw0"}).find("exclude"),
            std::string::npos);
  EXPECT_NE(refused({"download", "a", "--all", "--record", "r"}).find("one device"),
            std::string::npos);
  EXPECT_NE(refused({"download", "a", "--sim", "--sim-devices", "2", "--sim-fault", "3:unplug@#5"})
                .find("no device 3"),
            std::string::npos);
  EXPECT_NE(refused({"download", "a", "--count", "2"}).find("--station"), std::string::npos);
  EXPECT_NE(refused({"version", "--wait", "5", "6"}).find("operand"), std::string::npos);
  EXPECT_NE(refused({"version", "--device", "serial:"}).find("follows"), std::string::npos);
  EXPECT_NE(refused({"version", "--sim-version", "12345"}).find("four"), std::string::npos);
  EXPECT_NE(refused({"pack", "a", "-o", "b", "--filler", "256"}).find("byte"), std::string::npos);
  EXPECT_NE(refused({"version", "--device"}).find("needs"), std::string::npos);
  for (const auto& message : {refused({"flash"}), refused({"download"})})
    EXPECT_NE(message.find("--help"), std::string::npos);
}

// Each option belongs to the commands its table names; --sim-... only describe the emulated
// device that --sim asks for.
TEST(CliOptions, RefusesOptionsOutsideTheirCommands) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"inspect", "x", "--sim"}, "--sim belongs to list, version, download and verify"},
      {{"inspect", "x", "--retries", "3"}, "--retries belongs to download, not to inspect"},
      {{"inspect", "x", "--flow", "echo"}, "--flow belongs to version, download and verify"},
      {{"doctor", "--sim"}, "not to doctor"},
      {{"version", "--station"}, "--station belongs to download, not to version"},
      {{"verify", "x", "--verify"}, "--verify belongs to download"},
      {{"list", "-o", "x"}, "--output belongs to pack and unpack"},
      {{"download", "x", "--sim-latency", "0"}, "--sim-latency describes the emulated device"},
      {{"version", "--sim-fault", "no-reply@#1"}, "add --sim"},
      {{"download", "x", "--sim-replay", "r"}, "add --sim"},
      {{"list", "-v", "-q"}, "--verbose and --quiet exclude each other"},
      {{"list", "--color=sometimes"}, "'auto', 'always' or 'never'"},
  };
  for (const auto& [args, expected] : cases)
    EXPECT_NE(refused(args).find(expected), std::string::npos) << args[0] << " " << args[1];
  // emulate is the emulated device: its options need no --sim.
  EXPECT_EQ(ok({"emulate", "--sim-latency", "1"}).simLatencyMs, 1u);
}

TEST(CliOptions, EmulateTakesTheDeviceOptionsAndItsOwnFiles) {
  auto o = ok({"emulate", "--sim-latency", "3", "--sim-version=2.00", "--sim-fault", "no-reply@#3",
               "--memory-out", "mem.bin", "--ready-file=ready", "--uhid", "/dev/x"});
  EXPECT_EQ(o.command, Command::Emulate);
  EXPECT_EQ(o.memoryOut, "mem.bin");
  EXPECT_EQ(o.readyFile, "ready");
  EXPECT_EQ(o.uhidPath, "/dev/x");
  // The kernel's device of emulate is made as the in-process one of --sim.
  const nuv::sim::UpdateDeviceOptions device = nuv::cli::simDeviceOptions(o);
  EXPECT_EQ(device.latency.model, nuv::sim::Latency::Model::Fixed);
  EXPECT_EQ(device.latency.fixed, std::chrono::milliseconds(3));
  EXPECT_EQ(device.version, "2.00");
  ASSERT_EQ(device.faults.size(), 1u);
  EXPECT_EQ(device.faults[0].kind, nuv::sim::FaultKind::NoReply);
  EXPECT_NE(nuv::cli::helpText(Command::Emulate).find("modprobe uhid"), std::string::npos);

  EXPECT_NE(refused({"emulate", "x"}).find("no operand"), std::string::npos);
  EXPECT_NE(refused({"emulate", "--device", "/dev/hidraw0"}).find("not to emulate"),
            std::string::npos);
  EXPECT_NE(refused({"download", "a.nuv", "--memory-out", "m"}).find("belongs to emulate"),
            std::string::npos);
  EXPECT_NE(refused({"emulate", "--memory-out"}).find("needs a path"), std::string::npos);
  EXPECT_NE(refused({"emulate", "--ready-file="}).find("needs a path"), std::string::npos);
}

}  // namespace
