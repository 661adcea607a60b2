// How vornex-cli tells the user what happens: a live progress bar on a terminal, plain lines
// when the output is a pipe or a file, one JSON object per line with --json, or nothing but
// errors with --quiet. Status and progress go to standard output; messages that the windows
// show in message boxes go to standard error.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace nuv::cli {

class JsonLine;

enum class OutputMode { Terminal, Plain, Json, Quiet };
enum class Tone { Normal, Success, Failure };
// A diagnostic check's outcome (doctor): fine, worth a look, or in the way of an update.
enum class Verdict { Ok, Warning, Problem };

class Output {
 public:
  // Terminal mode draws on `out` with carriage returns; callers pick the mode (see pickMode).
  Output(OutputMode mode, bool verbose, std::FILE* out = stdout, std::FILE* err = stderr);

  [[nodiscard]] OutputMode mode() const { return mode_; }
  [[nodiscard]] bool verbose() const { return verbose_; }

  // The status line of the windows.
  void status(std::string_view text, Tone tone = Tone::Normal);
  // Write progress: `done` of `total` bytes, the device address reached.
  void progress(std::uint32_t done, std::uint32_t total, std::uint32_t address);
  // A message box: plain (information) or error.
  void message(std::string_view text, bool error);
  // A detail shown only with --verbose (the programs' log lines, for example).
  void detail(std::string_view text);
  // A key/value fact of a command such as inspect or list: "key: value" or a JSON field set.
  void fact(std::string_view key, std::string_view value);
  // One diagnostic check: "VERDICT  NAME  DETAIL" or a JSON "check" object.
  void check(std::string_view name, Verdict verdict, std::string_view detail);
  // Text that is the command's product (a file's content): written unchanged, even with
  // --quiet; with --json as one "text" object.
  void verbatim(std::string_view text);
  // The end of the run: exit code and a one-line summary.
  void result(int exitCode, std::string_view summary);

  // An object of the command's own (a device that list found, a device's part in a download
  // of several): `json` with --json, else the line `text`; nothing with --quiet.
  void record(const JsonLine& json, std::string_view text);
  // Writes `json` as one line of standard output, whatever the mode (--json's objects, and a
  // worker's lines passed on).
  void line(const JsonLine& json);

 private:
  void endProgressLine();
  OutputMode mode_;
  bool verbose_;
  std::FILE* out_;
  std::FILE* err_;
  bool progressShown_ = false;
  std::chrono::steady_clock::time_point progressStart_{};
  std::chrono::steady_clock::time_point lastDraw_{};
  std::uint32_t lastPlainPercent_ = 101;
};

// Terminal when standard output is a terminal, Plain otherwise; --json and --quiet win.
[[nodiscard]] OutputMode pickMode(bool json, bool quiet);

}  // namespace nuv::cli
