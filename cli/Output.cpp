#include "cli/Output.h"

#include <unistd.h>

#include <cinttypes>
#include <string>

#include "cli/JsonLine.h"

namespace nuv::cli {

OutputMode pickMode(bool json, bool quiet) {
  if (json) return OutputMode::Json;
  if (quiet) return OutputMode::Quiet;
  return ::isatty(STDOUT_FILENO) ? OutputMode::Terminal : OutputMode::Plain;
}

Output::Output(OutputMode mode, bool verbose, std::FILE* out, std::FILE* err)
    : mode_(mode), verbose_(verbose), out_(out), err_(err) {}

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
}  // namespace

void Output::line(const JsonLine& json) {
  const std::string text = json.str();
  std::fprintf(out_, "%s\n", text.c_str());
  std::fflush(out_);
}

void Output::record(const JsonLine& json, std::string_view text) {
  switch (mode_) {
    case OutputMode::Quiet:
      return;
    case OutputMode::Json:
      line(json);
      return;
    case OutputMode::Terminal:
    case OutputMode::Plain:
      endProgressLine();
      std::fprintf(out_, "%.*s\n", static_cast<int>(text.size()), text.data());
      std::fflush(out_);
  }
}

void Output::endProgressLine() {
  if (mode_ == OutputMode::Terminal && progressShown_) {
    std::fputs("\r\033[K", out_);
    std::fflush(out_);  // before anything goes to standard error on the same terminal
    progressShown_ = false;
  }
}

void Output::status(std::string_view text, Tone tone) {
  switch (mode_) {
    case OutputMode::Quiet:
      return;
    case OutputMode::Json:
      line(JsonLine("status").text("text", text).text("tone", toneName(tone)));
      break;
    case OutputMode::Terminal: {
      endProgressLine();
      const char* colour = tone == Tone::Success   ? "\033[32m"
                           : tone == Tone::Failure ? "\033[31m"
                                                   : "";
      std::fprintf(out_, "%s%.*s%s\n", colour, static_cast<int>(text.size()), text.data(),
                   *colour ? "\033[0m" : "");
      break;
    }
    case OutputMode::Plain:
      std::fprintf(out_, "%.*s\n", static_cast<int>(text.size()), text.data());
      break;
  }
  std::fflush(out_);
}

void Output::progress(std::uint32_t done, std::uint32_t total, std::uint32_t address) {
  if (mode_ == OutputMode::Quiet || total == 0) return;
  const auto now = std::chrono::steady_clock::now();
  if (done == 0 || progressStart_ == std::chrono::steady_clock::time_point{}) progressStart_ = now;
  const double seconds = std::chrono::duration<double>(now - progressStart_).count();
  const double rate = seconds > 0 ? done / seconds : 0;  // bytes per second
  const double left = rate > 0 ? (total - done) / rate : 0;
  const std::uint32_t percent = static_cast<std::uint32_t>(100.0 * done / total);
  switch (mode_) {
    case OutputMode::Json:
      // One line per per cent keeps a log readable; the last step always comes through.
      if (percent == lastPlainPercent_ && done != total) return;
      lastPlainPercent_ = percent;
      line(JsonLine("progress")
               .number("done", done)
               .number("total", total)
               .number("address", address)
               .number("percent", percent)
               .real("bytes_per_second", rate, 0)
               .real("seconds_left", left, 1));
      break;
    case OutputMode::Plain:
      if (percent / 10 == lastPlainPercent_ / 10 && done != total) return;
      lastPlainPercent_ = percent;
      std::fprintf(out_, "%3u%%  address 0x%04X\n", percent, address);
      break;
    case OutputMode::Terminal: {
      // Redrawing 16,000 times is wasted work; 20 frames a second look live.
      if (now - lastDraw_ < std::chrono::milliseconds(50) && done != total) return;
      lastDraw_ = now;
      constexpr int kWidth = 30;
      const int filled = static_cast<int>(static_cast<std::uint64_t>(kWidth) * done / total);
      std::string bar(static_cast<std::size_t>(filled), '#');
      bar.resize(kWidth, '.');
      std::fprintf(out_, "\r\033[K[%s] %3u%%  0x%04X  %5.1f KiB/s  %3.0f s left", bar.c_str(),
                   percent, address, rate / 1024.0, left);
      progressShown_ = true;
      break;
    }
    case OutputMode::Quiet:
      break;
  }
  std::fflush(out_);
}

void Output::message(std::string_view text, bool error) {
  endProgressLine();
  if (mode_ == OutputMode::Json) {
    line(JsonLine("message").text("text", text).flag("error", error));
  }
  if (mode_ == OutputMode::Quiet && !error) return;
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
  switch (mode_) {
    case OutputMode::Quiet:
      return;
    case OutputMode::Json:
      line(JsonLine("fact").text("key", key).text("value", value));
      break;
    default:
      endProgressLine();
      std::fprintf(out_, "%-16.*s %.*s\n", static_cast<int>(key.size()), key.data(),
                   static_cast<int>(value.size()), value.data());
  }
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
    case OutputMode::Terminal: {
      endProgressLine();
      const char* colour = verdict == Verdict::Ok        ? "\033[32m"
                           : verdict == Verdict::Warning ? "\033[33m"
                                                         : "\033[31m";
      std::fprintf(out_, "%s%-8s\033[0m %-10.*s %.*s\n", colour, word,
                   static_cast<int>(name.size()), name.data(), static_cast<int>(detail.size()),
                   detail.data());
      break;
    }
    case OutputMode::Plain:
      std::fprintf(out_, "%-8s %-10.*s %.*s\n", word, static_cast<int>(name.size()), name.data(),
                   static_cast<int>(detail.size()), detail.data());
      break;
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

void Output::result(int exitCode, std::string_view summary) {
  endProgressLine();
  if (mode_ == OutputMode::Json) {
    line(JsonLine("result")
             .number("exit_code", exitCode)
             .flag("ok", exitCode == 0)
             .text("summary", summary));
  } else if (exitCode != 0 && !summary.empty()) {
    std::fprintf(err_, "vornex-cli: %.*s\n", static_cast<int>(summary.size()), summary.data());
  }
  std::fflush(out_);
  std::fflush(err_);
}

}  // namespace nuv::cli
