// How a run on several devices looks: on a terminal one live line per device being written
// (percentage, address, rate, time left) updated in place, with each device's result printed
// above them as it ends; without a terminal plain lines with the device in front; with --json
// the workers' own objects with the device added, and objects of the run's own. At the end a
// summary: device, result, time, verified or not.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/DeviceSelection.h"
#include "cli/JsonLine.h"
#include "cli/Output.h"

namespace nuv::cli {

// One device's part in the run, as its worker's lines tell it.
struct DeviceRun {
  DeviceRecord device;
  unsigned attempt = 1;
  std::chrono::steady_clock::time_point started{};
  double seconds = 0;  // from the first attempt's start to the end

  std::string status;  // the last status line
  Tone tone = Tone::Normal;
  std::string lastError;  // the last message box
  std::string version;    // version: the device's
  std::string phase;      // what the progress counts: "write", "verify"
  std::uint32_t done = 0, total = 0, address = 0;
  double bytesPerSecond = 0, secondsLeft = 0;
  bool verified = false;  // --verify: the read-back ran to its end (and the worker succeeded)

  std::optional<int> exitCode;  // when it has ended
  std::string summary;          // its worker's one-line result
  JsonFields failure;           // its worker's result's outcome, step, address, state, next
};

class FleetView {
 public:
  FleetView(OutputMode mode, bool verbose, std::FILE* out = stdout, std::FILE* err = stderr);

  void setColour(bool on) { colour_ = on; }
  // The terminal's width for the live lines; 0 (the default) asks the terminal.
  void setWidth(int columns) { width_ = columns; }

  // A line of the worker for `run`: updates `run` and shows what it says.
  void workerLine(DeviceRun& run, std::string_view line);
  // A device's flow starts (again, for attempt > 1, after `reason`).
  void started(const DeviceRun& run, std::string_view reason = {});
  // A device's part is over: its result line.
  void finished(const DeviceRun& run);
  // A line of the run's own: "waiting for devices", the tally.
  void note(std::string_view text);
  // Redraws the live lines of `running` (terminal only; at most ten times a second).
  void draw(const std::vector<const DeviceRun*>& running, bool force = false);
  // The end: the table of devices and the overall result.
  void summary(const std::vector<const DeviceRun*>& runs, int exitCode, std::string_view overall);

 private:
  void clearLive();
  void print(std::string_view text, bool toError = false);
  [[nodiscard]] std::string resultText(const DeviceRun& run) const;
  [[nodiscard]] int columns() const;

  OutputMode mode_;
  bool verbose_;
  std::FILE* out_;
  std::FILE* err_;
  std::size_t liveLines_ = 0;
  bool colour_ = false;
  int width_ = 0;
  std::chrono::steady_clock::time_point lastDraw_{};
};

}  // namespace nuv::cli
