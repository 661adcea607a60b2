#include "cli/Output.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cli/Failure.h"
#include "cli/JsonLine.h"

namespace nuv::cli {

namespace {

const char* toneName(Tone tone) {
  switch (tone) {
    case Tone::Success:
      return "success";
    case Tone::Failure:
      return "failure";
    case Tone::Normal:
      break;
  }
  return "normal";
}

bool dumbTerminal() {
  const char* term = std::getenv("TERM");
  return term != nullptr && std::strcmp(term, "dumb") == 0;
}

// Below this many columns a bar has no room: progress is shown as lines.
constexpr int kNarrowestBar = 40;

}  // namespace

const char* phaseName(Phase phase) {
  return phase == Phase::Verify ? "verify" : "write";
}

OutputMode pickMode(bool json, bool quiet) {
  if (json) return OutputMode::Json;
  if (quiet) return OutputMode::Quiet;
  return ::isatty(STDOUT_FILENO) && !dumbTerminal() ? OutputMode::Terminal : OutputMode::Plain;
}

bool useColour(ColorMode mode, OutputMode output) {
  if (mode == ColorMode::Never || output == OutputMode::Json) return false;
  if (mode == ColorMode::Always) return true;
  const char* noColour = std::getenv("NO_COLOR");
  return output == OutputMode::Terminal && (noColour == nullptr || *noColour == '\0');
}

Output::Output(OutputMode mode, bool verbose, std::FILE* out, std::FILE* err)
    : mode_(mode), verbose_(verbose), out_(out), err_(err) {}

const char* Output::paint(Tone tone) const {
  if (!colour_) return "";
  return tone == Tone::Success ? "\033[32m" : tone == Tone::Failure ? "\033[31m" : "";
}

int Output::columns() const {
  if (width_ > 0) return width_;
  winsize size{};
  if (::ioctl(::fileno(out_), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  if (const char* env = std::getenv("COLUMNS")) {
    const int n = std::atoi(env);
    if (n > 0) return n;
  }
  return 80;
}

void Output::line(const JsonLine& json) {
  const std::string text = json.str();
  std::fprintf(out_, "%s\n", text.c_str());
  std::fflush(out_);
}

void Output::record(const JsonLine& json, std::string_view text) {
  if (mode_ == OutputMode::Json) {
    line(json);
    return;
  }
  endProgressLine();
  std::fprintf(out_, "%.*s\n", static_cast<int>(text.size()), text.data());
  std::fflush(out_);
}

void Output::start(const JsonLine& json, std::string_view text) {
  if (mode_ == OutputMode::Quiet) return;
  if (mode_ == OutputMode::Json) {
    line(json);
    return;
  }
  record(json, text);
}

void Output::endProgressLine() {
  if (mode_ == OutputMode::Terminal && progressShown_) {
    std::fputs("\r\033[K", out_);
    std::fflush(out_);  // before anything goes to standard error on the same terminal
    progressShown_ = false;
  }
}

void Output::status(std::string_view text, Tone tone) {
  lastStatus_ = text;
  switch (mode_) {
    case OutputMode::Quiet:
      return;
    case OutputMode::Json:
      line(JsonLine("status").text("text", text).text("tone", toneName(tone)));
      break;
    case OutputMode::Terminal:
    case OutputMode::Plain:
      endProgressLine();
      // The colour ends before the newline: a line cut short never leaves the terminal red.
      std::fprintf(out_, "%s%.*s%s\n", paint(tone), static_cast<int>(text.size()), text.data(),
                   *paint(tone) != '\0' ? reset() : "");
      break;
  }
  std::fflush(out_);
}

void Output::progress(Phase phase, std::uint32_t done, std::uint32_t total, std::uint32_t address) {
  if (mode_ == OutputMode::Quiet || total == 0) return;
  if (done > total) done = total;
  const auto now = std::chrono::steady_clock::now();
  if (phase != phase_ || total != phaseTotal_ || done == 0 ||
      progressStart_ == std::chrono::steady_clock::time_point{}) {
    if (phase != phase_ || total != phaseTotal_) lastPlainPercent_ = 101;
    phase_ = phase;
    phaseTotal_ = total;
    progressStart_ = now;
  }
  phaseDone_ = done;
  phaseAddress_ = address;
  const double seconds = std::chrono::duration<double>(now - progressStart_).count();
  const double rate = seconds > 0 ? done / seconds : 0;  // bytes per second
  const double left = rate > 0 ? (total - done) / rate : 0;
  const auto percent = static_cast<std::uint32_t>(100ull * done / total);
  const bool last = done == total;
  OutputMode shown = mode_;
  if (shown == OutputMode::Terminal && columns() < kNarrowestBar) shown = OutputMode::Plain;
  switch (shown) {
    case OutputMode::Json:
      // One line per per cent keeps a log readable; the last step always comes through.
      if (percent == lastPlainPercent_ && !last) return;
      lastPlainPercent_ = percent;
      line(JsonLine("progress")
               .text("phase", phaseName(phase))
               .number("done", done)
               .number("total", total)
               .number("address", address)
               .number("percent", percent)
               .real("bytes_per_second", rate, 0)
               .real("seconds_left", left, 1));
      break;
    case OutputMode::Plain:
      if (percent / 10 == lastPlainPercent_ / 10 && !last) return;
      if (last && lastPlainPercent_ == 100) return;
      lastPlainPercent_ = percent;
      endProgressLine();
      std::fprintf(out_, "%s %3u%%  address 0x%04X\n", phaseName(phase), percent, address);
      break;
    case OutputMode::Terminal: {
      // Redrawing 16,000 times is wasted work; 20 frames a second look live.
      if (now - lastDraw_ < std::chrono::milliseconds(50) && !last) return;
      lastDraw_ = now;
      char tail[64];
      const int tailLength =
          std::snprintf(tail, sizeof tail, " %3u%%  0x%04X  %5.1f KiB/s  %3.0f s left", percent,
                        address, rate / 1024.0, left);
      const std::string head = std::string(phaseName(phase)) + " [";
      // One column is kept free: a line that fills the last column wraps on some terminals.
      int width = columns() - 1 - static_cast<int>(head.size()) - 1 - tailLength;
      std::string text = head;
      if (width < 10) {
        // Too narrow for the rate and the time left: the bar and the per cent only.
        width = columns() - 1 - static_cast<int>(head.size()) - 1 - 5;
        std::snprintf(tail, sizeof tail, " %3u%%", percent);
      }
      const auto filled =
          static_cast<std::size_t>(static_cast<std::uint64_t>(width) * done / total);
      text.append(filled, '#');
      text.append(static_cast<std::size_t>(width) - filled, '.');
      text += ']';
      text += tail;
      std::fprintf(out_, "\r\033[K%s", text.c_str());
      progressShown_ = true;
      break;
    }
    case OutputMode::Quiet:
      break;
  }
  std::fflush(out_);
}

void Output::completePhase() {
  if (phaseTotal_ == 0 || phaseDone_ == phaseTotal_) return;
  progress(phase_, phaseTotal_, phaseTotal_, phaseTotal_ >= 4 ? phaseTotal_ - 4 : 0);
}

void Output::message(std::string_view text, bool error) {
  endProgressLine();
  if (mode_ == OutputMode::Json) {
    line(JsonLine("message").text("text", text).flag("error", error));
    return;
  }
  if (mode_ == OutputMode::Quiet && !error) return;
  // The windows show a failure twice, in the status line and in a box: once is enough here.
  if (mode_ != OutputMode::Quiet && text == lastStatus_) return;
  std::fprintf(err_, "%s%.*s\n", error ? "error: " : "", static_cast<int>(text.size()),
               text.data());
  std::fflush(err_);
}

void Output::detail(std::string_view text) {
  if (!verbose_) return;
  if (mode_ == OutputMode::Json) {
    line(JsonLine("log").text("text", text));
    return;
  }
  endProgressLine();
  std::fprintf(err_, "  %.*s\n", static_cast<int>(text.size()), text.data());
}

void Output::fact(std::string_view key, std::string_view value) {
  if (mode_ == OutputMode::Quiet || mode_ == OutputMode::Json) return;
  endProgressLine();
  std::fprintf(out_, "%-16.*s %.*s\n", static_cast<int>(key.size()), key.data(),
               static_cast<int>(value.size()), value.data());
  std::fflush(out_);
}

void Output::answer(const JsonLine& json, std::string_view key, std::string_view value) {
  if (mode_ == OutputMode::Json) {
    line(json);
    return;
  }
  endProgressLine();
  if (mode_ == OutputMode::Quiet)
    std::fprintf(out_, "%.*s\n", static_cast<int>(value.size()), value.data());
  else
    std::fprintf(out_, "%-16.*s %.*s\n", static_cast<int>(key.size()), key.data(),
                 static_cast<int>(value.size()), value.data());
  std::fflush(out_);
}

void Output::check(std::string_view name, Verdict verdict, std::string_view detail) {
  const char* word = verdict == Verdict::Ok        ? "ok"
                     : verdict == Verdict::Warning ? "warning"
                                                   : "problem";
  switch (mode_) {
    case OutputMode::Quiet:
      return;
    case OutputMode::Json:
      line(JsonLine("check")
               .text("check", name)
               .text("verdict", word)
               .flag("ok", verdict == Verdict::Ok)
               .text("detail", detail));
      break;
    case OutputMode::Terminal:
    case OutputMode::Plain: {
      endProgressLine();
      const char* colour = !colour_                      ? ""
                           : verdict == Verdict::Ok      ? "\033[32m"
                           : verdict == Verdict::Warning ? "\033[33m"
                                                         : "\033[31m";
      std::fprintf(out_, "%s%-8s%s %-10.*s %.*s\n", colour, word, reset(),
                   static_cast<int>(name.size()), name.data(), static_cast<int>(detail.size()),
                   detail.data());
      break;
    }
  }
  std::fflush(out_);
}

void Output::verbatim(std::string_view text) {
  endProgressLine();
  if (mode_ == OutputMode::Json) {
    line(JsonLine("text").text("text", text));
  } else {
    std::fwrite(text.data(), 1, text.size(), out_);
  }
  std::fflush(out_);
}

void Output::result(int exitCode, std::string_view summary, const ResultDetail* detail) {
  if (holding_) {
    // The last result stands: a retry that succeeded after a failure is a success.
    held_ = HeldResult{exitCode, std::string(summary),
                       detail != nullptr ? std::optional<ResultDetail>(*detail) : std::nullopt};
    return;
  }
  writeResult(exitCode, summary, detail);
}

void Output::holdResult() {
  holding_ = true;
}

void Output::releaseResult(std::optional<int> overrideCode, std::string_view overrideSummary) {
  holding_ = false;
  if (!held_) {
    if (overrideCode) writeResult(*overrideCode, overrideSummary, nullptr);
    return;
  }
  const auto held = std::move(held_);
  held_.reset();
  if (overrideCode)
    writeResult(*overrideCode, overrideSummary, held->detail ? &*held->detail : nullptr);
  else
    writeResult(held->exitCode, held->summary, held->detail ? &*held->detail : nullptr);
}

void Output::writeResult(int exitCode, std::string_view summary, const ResultDetail* detail) {
  endProgressLine();
  const std::string text = detail != nullptr && detail->failureLine
                               ? FailureReport{detail->outcome, detail->next}.line()
                               : std::string(summary);
  if (mode_ == OutputMode::Json) {
    JsonLine json("result");
    json.number("exit_code", exitCode).flag("ok", exitCode == 0).text("summary", text);
    if (detail != nullptr) addOutcomeFields(json, detail->outcome, detail->next);
    line(json);
  } else if (exitCode != 0 && !text.empty()) {
    std::fprintf(err_, "vornex-cli: %s\n", text.c_str());
  }
  std::fflush(out_);
  std::fflush(err_);
}

}  // namespace nuv::cli
