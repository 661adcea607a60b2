// How vornex-cli tells the user what happens: a live progress bar on a terminal, plain lines
// when the output is a pipe, a file or a dumb terminal, one JSON object per line with --json,
// or nothing but the answers (a version, the devices) and errors with --quiet. Status and
// progress go to standard output; messages that the windows show in message boxes go to
// standard error.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "cli/Options.h"
#include "flow/Outcome.h"

namespace nuv::cli {

class JsonLine;

// What a device command's result adds: the engine's outcome, and what to do next (empty after
// a success). `failureLine`: the text result is the failure line made from them (Failure.h),
// not the summary.
struct ResultDetail {
  flow::Outcome outcome;
  std::string next;
  bool failureLine = false;
};

enum class OutputMode { Terminal, Plain, Json, Quiet };
enum class Tone { Normal, Success, Failure };
// A diagnostic check's outcome (doctor): fine, worth a look, or in the way of an update.
enum class Verdict { Ok, Warning, Problem };
// What a progress bar counts: the Writes of a download, or the Reads of a verify.
enum class Phase { Write, Verify };
[[nodiscard]] const char* phaseName(Phase phase);  // "write", "verify"

class Output {
 public:
  // Terminal mode draws on `out` with carriage returns; callers pick the mode (see pickMode).
  Output(OutputMode mode, bool verbose, std::FILE* out = stdout, std::FILE* err = stderr);

  [[nodiscard]] OutputMode mode() const { return mode_; }
  [[nodiscard]] bool verbose() const { return verbose_; }
  [[nodiscard]] bool colour() const { return colour_; }
  // Colour in Terminal mode (see useColour); off until set.
  void setColour(bool on) { colour_ = on; }
  // The terminal's width in columns for the bar; 0 (the default) asks the terminal each time.
  void setWidth(int columns) { width_ = columns; }

  // The status line of the windows.
  void status(std::string_view text, Tone tone = Tone::Normal);
  // Progress of `phase`: `done` of `total` bytes, the device address reached. `total` stays
  // the same within a phase; the last call of a phase that ended has done == total, and is
  // always shown. On a terminal the bar is sized to its width and never wraps; below 40
  // columns it falls back to lines, as for a pipe.
  void progress(Phase phase, std::uint32_t done, std::uint32_t total, std::uint32_t address);
  // The phase under way has ended well: its progress is shown at done == total, once.
  void completePhase();
  // A message box: plain (information) or error.
  void message(std::string_view text, bool error);
  // A detail shown only with --verbose (the programs' log lines, for example).
  void detail(std::string_view text);
  // The line that starts a run on a device: which image goes to which device. With --json
  // `json` (a "start" object) instead.
  void start(const JsonLine& json, std::string_view text);
  // A key/value fact of a command such as inspect: "key: value"; nothing with --json (the
  // command writes one object of its own with record()).
  void fact(std::string_view key, std::string_view value);
  // The answer of a command (the device's version): "key: value", the value alone with
  // --quiet, `json` with --json.
  void answer(const JsonLine& json, std::string_view key, std::string_view value);
  // One diagnostic check: "VERDICT  NAME  DETAIL" or a JSON "check" object.
  void check(std::string_view name, Verdict verdict, std::string_view detail);
  // Text that is the command's product (a file's content): written unchanged, even with
  // --quiet; with --json as one "text" object.
  void verbatim(std::string_view text);
  // The end of the run: exit code and a one-line summary; for a device command also its
  // outcome (`detail`), and for a failed exchange the failure line instead of the summary. It
  // is the last object of a run; while held (holdResult), it waits for releaseResult.
  void result(int exitCode, std::string_view summary, const ResultDetail* detail = nullptr);
  // Keeps the result back until releaseResult, so that what a command adds after its flow (a
  // replay's verdict) comes before it.
  void holdResult();
  // Writes the held result; with `overrideCode`, that code and `overrideSummary` instead.
  void releaseResult(std::optional<int> overrideCode = std::nullopt,
                     std::string_view overrideSummary = {});

  // An object of the command's own (a device that list found): `json` with --json, else the
  // line `text`, with --quiet too (it is the command's answer).
  void record(const JsonLine& json, std::string_view text);
  // Writes `json` as one line of standard output, whatever the mode (--json's objects, and a
  // worker's lines passed on).
  void line(const JsonLine& json);

 private:
  void endProgressLine();
  void writeResult(int exitCode, std::string_view summary, const ResultDetail* detail);
  [[nodiscard]] int columns() const;
  [[nodiscard]] const char* paint(Tone tone) const;
  [[nodiscard]] const char* reset() const { return colour_ ? "\033[0m" : ""; }
  OutputMode mode_;
  bool verbose_;
  std::FILE* out_;
  std::FILE* err_;
  bool colour_ = false;
  int width_ = 0;
  std::string lastStatus_;  // a box that says the same as the status line is not repeated
  bool holding_ = false;
  struct HeldResult {
    int exitCode = 0;
    std::string summary;
    std::optional<ResultDetail> detail;
  };
  std::optional<HeldResult> held_;
  bool progressShown_ = false;
  Phase phase_ = Phase::Write;
  std::uint32_t phaseTotal_ = 0;
  std::uint32_t phaseDone_ = 0;
  std::uint32_t phaseAddress_ = 0;
  std::chrono::steady_clock::time_point progressStart_{};
  std::chrono::steady_clock::time_point lastDraw_{};
  std::uint32_t lastPlainPercent_ = 101;
};

// Terminal when standard output is a terminal that can redraw a line (TERM is not "dumb"),
// Plain otherwise; --json and --quiet win.
[[nodiscard]] OutputMode pickMode(bool json, bool quiet);
// Whether to colour: --color always or never, else (auto) only in Terminal mode and when
// NO_COLOR is unset or empty.
[[nodiscard]] bool useColour(ColorMode mode, OutputMode output);

}  // namespace nuv::cli
