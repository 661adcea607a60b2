#include "cli/FleetView.h"

#include <sys/ioctl.h>

#include <algorithm>
#include <cstring>

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
  const std::string event = fields->get("event");
  // A worker's own result becomes this device's device_result when it ends: the run's one
  // result object is the last line, after every device's.
  if (mode_ == OutputMode::Json && event != "result") {
    const std::string withDevice = withTextField(line, "device", node);
    std::fprintf(out_, "%s\n", withDevice.c_str());
    std::fflush(out_);
  }
  if (event == "status") {
    run.status = fields->get("text");
    run.tone = toneNamed(fields->get("tone"));
    if (mode_ == OutputMode::Plain) print(node + ": " + run.status);
  } else if (event == "progress") {
    const auto done = static_cast<std::uint32_t>(fields->number("done"));
    const auto total = static_cast<std::uint32_t>(fields->number("total"));
    const std::string phase = fields->get("phase");
    const bool newTenth = total > 0 && (run.total != total || run.phase != phase ||
                                        done * 10 / total != run.done * 10 / run.total);
    run.phase = phase;
    if (phase == "verify" && done == total) run.verified = true;
    run.done = done;
    run.total = total;
    run.address = static_cast<std::uint32_t>(fields->number("address"));
    run.bytesPerSecond = fields->real("bytes_per_second");
    run.secondsLeft = fields->real("seconds_left");
    if (mode_ == OutputMode::Plain && newTenth)
      print(node + ": " + phase + " " + std::to_string(100ull * done / total) + "%  address " +
            hex4(run.address));
  } else if (event == "message") {
    run.lastError = fields->get("text");
    if (mode_ == OutputMode::Terminal || mode_ == OutputMode::Plain || mode_ == OutputMode::Quiet)
      print(node + ": error: " + run.lastError, true);
  } else if (event == "version") {
    run.version = fields->get("version");
  } else if (event == "result") {
    run.summary = fields->get("summary");
    run.failure = *fields;
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
        .flag("verified", run.verified && code == 0)
        .number("attempts", run.attempt);
    if (!run.version.empty())
      json.text("version", run.version);
    else
      json.null("version");
    // Where a failed exchange stopped, as the worker's result said.
    for (const char* key : {"outcome", "step", "device_state", "next"}) {
      const std::string value = run.failure.get(key);
      if (value.empty())
        json.null(key);
      else
        json.text(key, value);
    }
    if (run.failure.values.count("address") != 0)
      json.number("address", run.failure.number("address"));
    else
      json.null("address");
    std::fprintf(out_, "%s\n", json.str().c_str());
    std::fflush(out_);
    return;
  }
  if (mode_ == OutputMode::Quiet && code == 0) return;
  std::string text = run.device.node + ": " + resultText(run) + " (" + fixed(run.seconds, 1) + " s";
  if (run.attempt > 1) text += ", " + std::to_string(run.attempt) + " attempts";
  text += ")";
  if (colour_) text = (code == 0 ? "\033[32m" : "\033[31m") + text + "\033[0m";
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
  // Each live line fits the terminal: it never wraps, or the redraw would climb too few lines.
  const std::size_t width = static_cast<std::size_t>(std::max(columns() - 1, 20));
  for (const DeviceRun* run : running) {
    char node[64];
    std::snprintf(node, sizeof node, "%-16s ", run->device.node.c_str());
    std::string text = node;
    if (run->total > 0) {
      char tail[96];
      std::snprintf(tail, sizeof tail, "] %3u%%  0x%04X  %5.1f KiB/s  %3.0f s left",
                    static_cast<unsigned>(100ull * run->done / run->total), run->address,
                    run->bytesPerSecond / 1024.0, run->secondsLeft);
      text += run->phase + " [";
      const std::size_t used = text.size() + std::strlen(tail);
      const std::size_t barWidth = width > used + 5 ? std::min<std::size_t>(width - used, 30) : 5;
      const auto filled =
          static_cast<std::size_t>(std::uint64_t{barWidth} * run->done / run->total);
      text.append(filled, '#');
      text.append(barWidth - filled, '.');
      text += tail;
    } else {
      text += run->status.empty() ? "starting" : run->status;
    }
    if (text.size() > width) text.resize(width);
    std::fprintf(out_, "%s\033[K\n", text.c_str());
    ++liveLines_;
  }
  std::fflush(out_);
}

int FleetView::columns() const {
  if (width_ > 0) return width_;
  winsize size{};
  if (::ioctl(::fileno(out_), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
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
