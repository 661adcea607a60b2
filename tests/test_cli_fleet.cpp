// Several devices at once, on fakes: which devices a selection picks, waiting for one, the
// workers' outcomes merged into one exit code, retries, and station mode with plug, unplug
// and replug.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "cli/ExitCodes.h"
#include "cli/Fleet.h"
#include "cli/JsonLine.h"
#include "cli/SelectDevices.h"
#include "tests/cli_fakes.h"

namespace {

using clitest::device;
using clitest::FakeLauncher;
using clitest::FakeSource;

TEST(CliSelection, PicksByEachSelectorKindAndRefusesWhatIsNotOneDevice) {
  const std::vector<nuv::cli::DeviceRecord> present = {
      device("/dev/hidraw1", "A1"), device("/dev/hidraw2", "B2"), device("/dev/hidraw3", "B2")};
  // A link to /dev/hidraw2 (as a udev rule makes one) has its device number.
  auto withNumbers = present;
  for (std::size_t i = 0; i < withNumbers.size(); ++i) withNumbers[i].devnum = 10 + i;
  const nuv::cli::NodeNumberOf numberOf = [](const std::string& path) -> std::optional<dev_t> {
    if (path == "/dev/nuv-updater") return 11;
    return std::nullopt;
  };
  struct Case {
    std::vector<std::string> selectors;
    bool all;
    std::vector<std::string> nodes;  // picked, or empty when refused with `code`
    int code;
  };
  const Case cases[] = {
      {{"/dev/hidraw3"}, false, {"/dev/hidraw3"}, 0},
      {{"/dev/nuv-updater"}, false, {"/dev/hidraw2"}, 0},
      {{"usb:1-1"}, false, {"/dev/hidraw1"}, 0},
      {{"serial:A1"}, false, {"/dev/hidraw1"}, 0},
      {{"usb:1-3", "serial:A1", "/dev/hidraw1"}, false, {"/dev/hidraw1", "/dev/hidraw3"}, 0},
      {{}, true, {"/dev/hidraw1", "/dev/hidraw2", "/dev/hidraw3"}, 0},
      {{}, false, {}, nuv::cli::kExitUsage},             // three attached, none named
      {{"serial:B2"}, false, {}, nuv::cli::kExitUsage},  // a serial that two devices share
      {{"serial:C3"}, false, {}, nuv::cli::kExitNoDevice},
      {{"usb:1-1", "usb:9-9"}, false, {}, nuv::cli::kExitNoDevice},
      {{"/dev/null"}, false, {}, nuv::cli::kExitNoDevice},
  };
  for (const auto& c : cases) {
    const auto picked = nuv::cli::selectDevices({c.selectors, c.all}, withNumbers, numberOf);
    std::string label = c.all ? "--all" : "";
    for (const auto& s : c.selectors) label += " " + s;
    if (c.code != 0) {
      ASSERT_TRUE(std::holds_alternative<nuv::cli::SelectionRefusal>(picked)) << label;
      const auto& refusal = std::get<nuv::cli::SelectionRefusal>(picked);
      EXPECT_EQ(refusal.exitCode, c.code) << label;
      // An ambiguous choice lists the candidates with a selector for each.
      if (c.code == nuv::cli::kExitUsage) {
        EXPECT_GE(refusal.candidates.size(), 2u) << label;
      }
      continue;
    }
    ASSERT_TRUE(std::holds_alternative<std::vector<nuv::cli::DeviceRecord>>(picked)) << label;
    std::vector<std::string> nodes;
    for (const auto& d : std::get<std::vector<nuv::cli::DeviceRecord>>(picked))
      nodes.push_back(d.node);
    EXPECT_EQ(nodes, c.nodes) << label;
  }
  EXPECT_EQ(nuv::cli::selectDevices({}, {}).index(), 1u) << "no device at all is refused";
  EXPECT_EQ(std::get<nuv::cli::SelectionRefusal>(nuv::cli::selectDevices({}, {})).exitCode,
            nuv::cli::kExitNoDevice);
}

TEST(CliSelection, ReadsSerialPortAndNamesFromSysfs) {
  namespace fs = std::filesystem;
  const fs::path root = fs::temp_directory_path() / ("nuv-sysfs-" + std::to_string(::getpid()));
  fs::remove_all(root);
  const auto write = [](const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text;
  };
  // On USB: bus 1, port 3, then port 2 of a hub; the strings of the USB device.
  const fs::path usb = root / "devices/pci0000:00/usb1/1-3/1-3.2";
  write(usb / "busnum", "1\n");
  write(usb / "devpath", "3.2\n");
  write(usb / "manufacturer", "Nuv\n");
  write(usb / "product", "Update device\n");
  const fs::path hid = usb / "1-3.2:1.0/0003:FFFF:0100.0007";
  write(hid / "uevent", "HID_ID=0003:0000FFFF:00000100\nHID_NAME=Nuv Update device\nHID_UNIQ=A7\n");
  fs::create_directories(hid / "hidraw/hidraw2");
  fs::create_directory_symlink(hid, hid / "hidraw/hidraw2/device");
  // Not on USB (uhid), without a unique id.
  const fs::path virt = root / "devices/virtual/misc/uhid/0003:FFFF:0100.0008";
  write(virt / "uevent", "HID_NAME=Nuv update device (emulated)\nHID_UNIQ=\n");
  fs::create_directories(virt / "hidraw/hidraw3");
  fs::create_directory_symlink(virt, virt / "hidraw/hidraw3/device");

  nuv::cli::DeviceRecord onUsb;
  nuv::cli::readSysfsDetails((hid / "hidraw/hidraw2").string(), onUsb);
  EXPECT_EQ(onUsb.usbPort, "1-3.2");
  EXPECT_EQ(onUsb.serial, "A7");
  EXPECT_EQ(onUsb.manufacturer, "Nuv");
  EXPECT_EQ(onUsb.product, "Update device");
  nuv::cli::DeviceRecord virtualDevice;
  nuv::cli::readSysfsDetails((virt / "hidraw/hidraw3").string(), virtualDevice);
  EXPECT_FALSE(virtualDevice.usbPort);
  EXPECT_FALSE(virtualDevice.serial);
  EXPECT_EQ(virtualDevice.product, "Nuv update device (emulated)");
  fs::remove_all(root);
}

TEST(CliSelection, WaitsForTheNamedDeviceAndTimesOut) {
  FakeSource source;
  source.plug(device("/dev/hidraw1", "A1"));
  std::thread plugger([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    source.announce();  // a change that brings nothing new: still waiting
    source.plug(device("/dev/hidraw2", "B2"));
  });
  const auto picked =
      nuv::cli::waitForSelection(source, {{"serial:B2"}, false}, nuv::cli::Options::kWaitForever);
  plugger.join();
  ASSERT_TRUE(std::holds_alternative<std::vector<nuv::cli::DeviceRecord>>(picked));
  EXPECT_EQ(std::get<0>(picked).front().node, "/dev/hidraw2");

  // Nothing comes: "no device" once the wait is over; an ambiguous choice at once.
  const auto none = nuv::cli::waitForSelection(source, {{"serial:C3"}, false}, 0u);
  EXPECT_EQ(std::get<nuv::cli::SelectionRefusal>(none).exitCode, nuv::cli::kExitNoDevice);
  const auto timedOut = nuv::cli::waitForSelection(source, {{"serial:C3"}, false}, 1u);
  EXPECT_NE(std::get<nuv::cli::SelectionRefusal>(timedOut).summary.find("waited 1 s"),
            std::string::npos);
  const auto ambiguous =
      nuv::cli::waitForSelection(source, {{}, false}, nuv::cli::Options::kWaitForever);
  EXPECT_EQ(std::get<nuv::cli::SelectionRefusal>(ambiguous).exitCode, nuv::cli::kExitUsage);
}

// A run's JSON lines, captured.
struct Captured {
  char* buffer = nullptr;
  std::size_t size = 0;
  std::FILE* file = open_memstream(&buffer, &size);
  ~Captured() {
    std::fclose(file);  // before the buffer goes: closing writes into it
    std::free(buffer);
  }
  std::vector<nuv::cli::JsonFields> objects() {
    std::fflush(file);
    std::vector<nuv::cli::JsonFields> all;
    std::string text(buffer, size);
    std::size_t start = 0, end;
    while ((end = text.find('\n', start)) != std::string::npos) {
      auto fields = nuv::cli::readJsonLine(text.substr(start, end - start));
      EXPECT_TRUE(fields) << text.substr(start, end - start);
      if (fields) all.push_back(*fields);
      start = end + 1;
    }
    return all;
  }
};

nuv::cli::Options downloadOptions() {
  nuv::cli::Options o;
  o.command = nuv::cli::Command::Download;
  o.operands = {"fw.nuv"};
  o.json = true;
  return o;
}

const std::string kCompleted =
    R"({"schema":2,"event":"status","text":"Update Completed","tone":"success"})";
const std::string kTimedOut =
    R"({"schema":2,"event":"message","text":"Time out  error","error":true})";

TEST(CliFleet, RetriesExchangeFailuresOnlyAndGivesTheFirstFailingCode) {
  nuv::cli::Options options = downloadOptions();
  options.retries = 2;
  options.waitSeconds = 0u;  // a device that is gone gets no time to come back
  FakeSource source;
  FakeLauncher launcher;
  launcher.script("/dev/hidraw1", {{6, {kTimedOut}}, {0, {kCompleted}}});  // then succeeds
  launcher.script("/dev/hidraw2", {{4, {}}});                              // image refused
  launcher.script("/dev/hidraw3", {{6, {}}, {6, {}}, {6, {}}});            // never answers
  launcher.script("/dev/hidraw4", {{6, {}}});                              // unplugged, gone
  launcher.script("/dev/hidraw5", {{139, {}}, {0, {kCompleted}}});         // crashed, replugged
  const std::vector<nuv::cli::DeviceRecord> devices = {
      device("/dev/hidraw1", "A1"), device("/dev/hidraw2", "B2"), device("/dev/hidraw3", "C3"),
      device("/dev/hidraw4", "D4"), device("/dev/hidraw5", "E5")};
  for (const auto& d : devices)
    if (d.node != "/dev/hidraw4" && d.node != "/dev/hidraw5") source.plug(d);
  // The fifth device comes back on another node as its first attempt ends.
  launcher.onFinish = [&](const std::string& node, int attempt) {
    if (node == "/dev/hidraw5" && attempt == 1) source.plug(device("/dev/hidraw9", "E5", "new"));
  };
  Captured out;
  nuv::cli::FleetView view(nuv::cli::OutputMode::Json, false, out.file, out.file);
  nuv::cli::FleetSetup setup{launcher, source, view, -1};
  EXPECT_EQ(nuv::cli::runFleet(options, devices, setup), nuv::cli::kExitImageRefused)
      << "the first failing device's code";

  std::map<std::string, nuv::cli::JsonFields> results;
  for (const auto& o : out.objects()) {
    EXPECT_EQ(o.get("schema"), "2");
    if (o.get("event") == "device_result") results[o.get("serial")] = o;
  }
  struct Expected {
    const char* serial;
    int code;
    int attempts;
    const char* lastNode;
  };
  for (const Expected& e :
       {Expected{"A1", 0, 2, "/dev/hidraw1"}, Expected{"B2", 4, 1, "/dev/hidraw2"},
        Expected{"C3", 6, 3, "/dev/hidraw3"}, Expected{"D4", 6, 1, "/dev/hidraw4"},
        Expected{"E5", 0, 2, "/dev/hidraw9"}}) {
    ASSERT_EQ(results.count(e.serial), 1u) << e.serial;
    EXPECT_EQ(results[e.serial].number("exit_code"), e.code) << e.serial;
    EXPECT_EQ(results[e.serial].number("attempts"), e.attempts) << e.serial;
    EXPECT_EQ(results[e.serial].get("device"), e.lastNode) << e.serial;
  }
}

TEST(CliFleet, OneExitCodeAndASummaryThatNamesTheFailures) {
  const auto run = [](const char* node, int code) {
    nuv::cli::DeviceRun r;
    r.device.node = node;
    r.exitCode = code;
    return r;
  };
  const nuv::cli::DeviceRun ok = run("a", 0), timedOut = run("b", 6), refused = run("c", 5),
                            stopped = run("d", 130);
  EXPECT_EQ(nuv::cli::fleetOutcome({&ok, &ok}, false).exitCode, 0);
  const auto differ = nuv::cli::fleetOutcome({&ok, &timedOut, &refused}, false);
  EXPECT_EQ(differ.exitCode, 6);
  EXPECT_NE(differ.summary.find("1 of 3 devices succeeded"), std::string::npos) << differ.summary;
  EXPECT_NE(differ.summary.find("b (6), c (5)"), std::string::npos) << differ.summary;
  EXPECT_NE(differ.summary.find("exit code 6, the first failing"), std::string::npos);
  EXPECT_EQ(nuv::cli::fleetOutcome({&timedOut, &stopped}, true).exitCode, 130);
}

TEST(CliStation, FlashesEachPlugInOnceUntilCtrlC) {
  nuv::cli::Options options = downloadOptions();
  options.station = true;
  FakeSource source;
  FakeLauncher launcher;
  launcher.script("/dev/hidraw1", {{0, {kCompleted}}, {6, {kTimedOut}}});
  source.plug(device("/dev/hidraw1", "A1", "plug-1"));  // there at the start
  int interrupts[2];
  ASSERT_EQ(::pipe(interrupts), 0);
  Captured out;
  nuv::cli::FleetView view(nuv::cli::OutputMode::Json, false, out.file, out.file);
  nuv::cli::FleetSetup setup{launcher, source, view, interrupts[0]};
  int code = -1;
  std::thread station([&] { code = nuv::cli::runStation(options, setup); });

  ASSERT_TRUE(launcher.waitForStarts(1));
  source.plug(device("/dev/hidraw2", "B2", "plug-2"));
  ASSERT_TRUE(launcher.waitForStarts(2));
  source.announce();  // both still plugged in: nothing is flashed again
  source.unplug("plug-1");
  source.plug(device("/dev/hidraw1", "A1", "plug-3"));  // the same device, plugged in again
  ASSERT_TRUE(launcher.waitForStarts(3));
  source.announce();
  (void)!::write(interrupts[1], "i", 1);  // Ctrl-C
  station.join();
  ::close(interrupts[0]);
  ::close(interrupts[1]);

  EXPECT_EQ(launcher.started(),
            (std::vector<std::string>{"/dev/hidraw1", "/dev/hidraw2", "/dev/hidraw1"}));
  EXPECT_EQ(code, nuv::cli::kExitExchangeFailed) << "the second plug-in of A1 timed out";
  const auto objects = out.objects();
  ASSERT_FALSE(objects.empty());
  EXPECT_EQ(objects.back().get("event"), "result");
  EXPECT_EQ(objects.back().number("devices"), 3);
  EXPECT_EQ(objects.back().number("succeeded"), 2);
}

TEST(CliStation, EndsAfterCountDevices) {
  nuv::cli::Options options = downloadOptions();
  options.station = true;
  options.count = 2u;
  FakeSource source;
  FakeLauncher launcher;
  for (int i = 1; i <= 3; ++i)
    source.plug(device("/dev/hidraw" + std::to_string(i), "S" + std::to_string(i)));
  Captured out;
  nuv::cli::FleetView view(nuv::cli::OutputMode::Json, false, out.file, out.file);
  nuv::cli::FleetSetup setup{launcher, source, view, -1};
  EXPECT_EQ(nuv::cli::runStation(options, setup), 0);
  EXPECT_EQ(launcher.started().size(), 2u);
}

}  // namespace
