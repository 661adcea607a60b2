#include "cli/FleetView.h"

#include <algorithm>

#include "cli/JsonLine.h"

namespace nuv::cli {
namespace {

Tone toneNamed(const std::string& name) {
  if (name == "success") return Tone::Success;
  if (name == "failure") return Tone::Failure;
  return Tone::Normal;
}

std::string fixed(double value, int decimals) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
  return buf;
}

std::string hex4(std::uint32_t v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%04X", v);
  return buf;
}

}  // namespace

FleetView::FleetView(OutputMode mode, bool verbose, std::FILE* out, std::FILE* err)
    : mode_(mode), verbose_(verbose), out_(out), err_(err) {}

void FleetView::clearLive() {
  if (mode_ != OutputMode::Terminal || liveLines_ == 0) return;
  // Up to the first live line, and clear from there down.
  std::fprintf(out_, "\r\033[%zuA\033[J", liveLines_);
  // Before anything goes to standard error on the same terminal: the cursor must be back up.
  std::fflush(out_);
  liveLines_ = 0;
}

void FleetView::print(std::string_view text, bool toError) {
  clearLive();
  std::FILE* to = toError ? err_ : out_;
  std::fprintf(to, "%.*s\n", static_cast<int>(text.size()), text.data());
  std::fflush(to);
}

void FleetView::workerLine(DeviceRun& run, std::string_view line) {
  const std::string& node = run.device.node;
  const auto fields = readJsonLine(line);
  if (!fields) {
    // Not one of the worker's objects: a line it wrote to standard error. "error: ..." lines
    // repeat its message objects there.
    if (line.empty() || line.starts_with("error: ")) return;
    if (mode_ == OutputMode::Json)
      std::fprintf(out_, "%s\n",
                   JsonLine("log").text("device", node).text("text", line).str().c_str());
    else if (verbose_)
      print(node + ": " + std::string(line), true);
    return;
  }
  if (mode_ == OutputMode::Json) {
    const std::string withDevice = withTextField(line, "device", node);
    std::fprintf(out_, "%s\n", withDevice.c_str());
    std::fflush(out_);
  }
  const std::string event = fields->get("event");
  if (event == "status") {
    run.status = fields->get("text");
    run.tone = toneNamed(fields->get("tone"));
    if (run.status.starts_with("Verified")) run.verified = run.tone == Tone::Success;
    if (mode_ == OutputMode::Plain) print(node + ": " + run.status);
  } else if (event == "progress") {
    const auto done = static_cast<std::uint32_t>(fields->number("done"));
    const auto total = static_cast<std::uint32_t>(fields->number("total"));
    const bool newTenth =
        total > 0 && (run.total != total || done * 10 / total != run.done * 10 / run.total);
    run.done = done;
    run.total = total;
    run.address = static_cast<std::uint32_t>(fields->number("address"));
    run.bytesPerSecond = fields->real("bytes_per_second");
    run.secondsLeft = fields->real("seconds_left");
    if (mode_ == OutputMode::Plain && newTenth)
      print(node + ": " + std::to_string(100ull * done / total) + "%  address " +
            hex4(run.address));
  } else if (event == "message") {
    run.lastError = fields->get("text");
    if (mode_ == OutputMode::Terminal || mode_ == OutputMode::Plain || mode_ == OutputMode::Quiet)
      print(node + ": error: " + run.lastError, true);
  } else if (event == "fact" && fields->get("key") == "version") {
    run.version = fields->get("value");
  } else if (event == "result") {
    run.summary = fields->get("summary");
  } else if (event == "log" && verbose_ && mode_ != OutputMode::Json) {
    print(node + ": " + fields->get("text"), true);
  }
}

void FleetView::started(const DeviceRun& run, std::string_view reason) {
  if (mode_ == OutputMode::Json) {
    JsonLine json("attempt");
    json.text("device", run.device.node)
        .optionalText("serial", run.device.serial)
        .optionalText("usb_port", run.device.usbPort)
        .number("attempt", run.attempt);
    if (!reason.empty()) json.text("reason", reason);
    std::fprintf(out_, "%s\n", json.str().c_str());
    std::fflush(out_);
    return;
  }
  if (mode_ == OutputMode::Quiet) return;
  std::string text = run.device.node + ": ";
  text += run.attempt == 1 ? "started" : "attempt " + std::to_string(run.attempt);
  if (run.device.serial) text += " (serial " + *run.device.serial + ")";
  if (!reason.empty()) text += " after " + std::string(reason);
  print(text);
}

std::string FleetView::resultText(const DeviceRun& run) const {
  const int code = run.exitCode.value_or(1);
  std::string text = code == 0 ? "ok" : "failed (" + std::to_string(code) + ")";
  // A failure is told by its last box, else by a red status line; a status line that was
  // only under way ("Writing Data...") says nothing about why.
  std::string said = run.status;
  if (code != 0)
    said = !run.lastError.empty() ? run.lastError : run.tone == Tone::Failure ? run.status : "";
  if (!said.empty()) text += ": " + said;
  if (code != 0 && !run.summary.empty()) text += "; " + run.summary;
  return text;
}

void FleetView::finished(const DeviceRun& run) {
  const int code = run.exitCode.value_or(1);
  if (mode_ == OutputMode::Json) {
    JsonLine json("device_result");
    json.text("device", run.device.node)
        .optionalText("serial", run.device.serial)
        .optionalText("usb_port", run.device.usbPort)
        .number("exit_code", code)
        .flag("ok", code == 0)
        .text("status", run.status)
        .text("message", run.lastError)
        .text("summary", run.summary)
        .real("seconds", run.seconds, 1)
        .flag("verified", run.verified)
        .number("attempts", run.attempt);
    if (!run.version.empty()) json.text("version", run.version);
    std::fprintf(out_, "%s\n", json.str().c_str());
    std::fflush(out_);
    return;
  }
  if (mode_ == OutputMode::Quiet && code == 0) return;
  std::string text = run.device.node + ": " + resultText(run) + " (" + fixed(run.seconds, 1) + " s";
  if (run.attempt > 1) text += ", " + std::to_string(run.attempt) + " attempts";
  text += ")";
  if (mode_ == OutputMode::Terminal) {
    const char* colour = code == 0 ? "\033[32m" : "\033[31m";
    text = colour + text + "\033[0m";
  }
  print(text, mode_ == OutputMode::Quiet);
}

void FleetView::note(std::string_view text) {
  if (mode_ == OutputMode::Json || mode_ == OutputMode::Quiet) return;
  print(text);
}

void FleetView::draw(const std::vector<const DeviceRun*>& running, bool force) {
  if (mode_ != OutputMode::Terminal) return;
  const auto now = std::chrono::steady_clock::now();
  if (!force && now - lastDraw_ < std::chrono::milliseconds(100)) return;
  lastDraw_ = now;
  clearLive();
  for (const DeviceRun* run : running) {
    char line[256];
    if (run->total > 0) {
      constexpr unsigned kWidth = 20;
      const unsigned filled = static_cast<unsigned>(std::uint64_t{kWidth} * run->done / run->total);
      std::string bar(filled, '#');
      bar.resize(kWidth, '.');
      std::snprintf(line, sizeof line, "%-16s [%s] %3u%%  0x%04X  %5.1f KiB/s  %3.0f s left",
                    run->device.node.c_str(), bar.c_str(),
                    static_cast<unsigned>(100ull * run->done / run->total), run->address,
                    run->bytesPerSecond / 1024.0, run->secondsLeft);
    } else {
      std::snprintf(line, sizeof line, "%-16s %s", run->device.node.c_str(),
                    run->status.empty() ? "starting" : run->status.c_str());
    }
    std::fprintf(out_, "%s\033[K\n", line);
    ++liveLines_;
  }
  std::fflush(out_);
}

void FleetView::summary(const std::vector<const DeviceRun*>& runs, int exitCode,
                        std::string_view overall) {
  if (mode_ == OutputMode::Json) {
    int succeeded = 0;
    for (const DeviceRun* r : runs) succeeded += r->exitCode == 0 ? 1 : 0;
    const JsonLine json = JsonLine("result")
                              .number("exit_code", exitCode)
                              .flag("ok", exitCode == 0)
                              .text("summary", overall)
                              .number("devices", static_cast<long long>(runs.size()))
                              .number("succeeded", succeeded)
                              .number("failed", static_cast<long long>(runs.size()) - succeeded);
    std::fprintf(out_, "%s\n", json.str().c_str());
    std::fflush(out_);
    return;
  }
  clearLive();
  if (mode_ != OutputMode::Quiet && !runs.empty()) {
    std::size_t width = 6;
    for (const DeviceRun* r : runs) width = std::max(width, r->device.node.size());
    std::fprintf(out_, "\n%-*s  %-8s  %-8s  %s\n", static_cast<int>(width), "device", "time",
                 "verified", "result");
    for (const DeviceRun* r : runs) {
      std::fprintf(out_, "%-*s  %-8s  %-8s  %s\n", static_cast<int>(width), r->device.node.c_str(),
                   (fixed(r->seconds, 1) + " s").c_str(), r->verified ? "yes" : "no",
                   resultText(*r).c_str());
    }
  }
  std::fflush(out_);
  if (!overall.empty())
    std::fprintf(exitCode == 0 ? out_ : err_, "%s%.*s\n",
                 exitCode == 0 ? "" : "vornex-cli: ", static_cast<int>(overall.size()),
                 overall.data());
  std::fflush(out_);
  std::fflush(err_);
}

}  // namespace nuv::cli
