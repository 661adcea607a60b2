// What vornex-cli draws: a bar that fits the terminal and never wraps, lines on narrow or
// piped output, each phase ending at 100 %, colour only where it is wanted, and a status
// line's colour ended before its newline.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <string>

#include "cli/JsonLine.h"
#include "cli/Output.h"

namespace {

using nuv::cli::OutputMode;
using nuv::cli::Phase;

std::string drain(std::FILE* f) {
  std::fflush(f);
  std::string text;
  std::rewind(f);
  for (int c; (c = std::fgetc(f)) != EOF;) text += static_cast<char>(c);
  return text;
}

// A whole write phase of `total` bytes in steps of 4, as a flow reports it.
std::string drawPhase(OutputMode mode, int columns, std::uint32_t total = 64512) {
  std::FILE* out = std::tmpfile();
  nuv::cli::Output o(mode, false, out, out);
  o.setWidth(columns);
  for (std::uint32_t a = 0; a < total; a += 4) o.progress(Phase::Write, a + 4, total, a);
  o.status("Writing All...");
  const std::string text = drain(out);
  std::fclose(out);
  return text;
}

TEST(CliOutput, TheBarFitsEveryWidthAndEndsAtOneHundred) {
  for (int columns : {40, 60, 72, 80, 200}) {
    const std::string text = drawPhase(OutputMode::Terminal, columns);
    // Each redraw starts with "\r\033[K": no frame may be wider than the terminal less one.
    std::size_t at = 0;
    std::string last;
    while ((at = text.find("\r\033[K", at)) != std::string::npos) {
      at += 4;
      const std::size_t end = text.find('\r', at);
      const std::string frame = text.substr(at, end == std::string::npos ? end : end - at);
      if (frame.empty() || frame.find('\n') != std::string::npos) continue;
      EXPECT_LT(frame.size(), static_cast<std::size_t>(columns)) << columns << ": " << frame;
      EXPECT_TRUE(frame.starts_with("write [")) << frame;
      last = frame;
    }
    EXPECT_NE(last.find("100%"), std::string::npos) << columns << ": " << last;
  }
}

TEST(CliOutput, NarrowTerminalsAndPipesGetLinesEndingAtOneHundred) {
  for (const auto& [mode, columns] :
       {std::pair{OutputMode::Terminal, 39}, std::pair{OutputMode::Plain, 80}}) {
    const std::string text = drawPhase(mode, columns);
    EXPECT_EQ(text.find('\r'), std::string::npos) << text;
    EXPECT_EQ(text.find("write   0%"), 0u) << text;
    EXPECT_NE(text.find("write 100%  address 0xFBFC\nWriting All...\n"), std::string::npos) << text;
  }
  // A phase that stopped short of its last report is completed when its step has ended.
  std::FILE* out = std::tmpfile();
  nuv::cli::Output o(OutputMode::Json, false, out, out);
  o.progress(Phase::Verify, 100, 65536, 96);
  o.completePhase();
  const std::string json = drain(out);
  EXPECT_NE(json.find("\"phase\":\"verify\",\"done\":65536,\"total\":65536,\"address\":65532"),
            std::string::npos)
      << json;
  std::fclose(out);
}

TEST(CliOutput, ColourOnlyWhereWantedAndEndedBeforeTheNewline) {
  using nuv::cli::ColorMode;
  struct Case {
    ColorMode mode;
    OutputMode output;
    const char* noColor;
    bool colour;
  };
  for (const Case& c : {Case{ColorMode::Auto, OutputMode::Terminal, nullptr, true},
                        Case{ColorMode::Auto, OutputMode::Terminal, "1", false},
                        Case{ColorMode::Auto, OutputMode::Terminal, "", true},
                        Case{ColorMode::Auto, OutputMode::Plain, nullptr, false},
                        Case{ColorMode::Always, OutputMode::Plain, "1", true},
                        Case{ColorMode::Never, OutputMode::Terminal, nullptr, false},
                        Case{ColorMode::Always, OutputMode::Json, nullptr, false}}) {
    if (c.noColor != nullptr)
      ::setenv("NO_COLOR", c.noColor, 1);
    else
      ::unsetenv("NO_COLOR");
    EXPECT_EQ(nuv::cli::useColour(c.mode, c.output), c.colour)
        << static_cast<int>(c.mode) << " " << static_cast<int>(c.output) << " " << c.noColor;
  }
  ::unsetenv("NO_COLOR");
  std::FILE* out = std::tmpfile();
  nuv::cli::Output o(OutputMode::Plain, false, out, out);
  o.setColour(true);
  o.status("Update Completed", nuv::cli::Tone::Success);
  EXPECT_EQ(drain(out), "\033[32mUpdate Completed\033[0m\n");
  std::fclose(out);
}

TEST(CliOutput, QuietPrintsTheAnswerAndABoxThatRepeatsTheStatusIsNotRepeated) {
  std::FILE* out = std::tmpfile();
  nuv::cli::Output quiet(OutputMode::Quiet, false, out, out);
  quiet.status("Link...");
  quiet.answer(nuv::cli::JsonLine("version"), "version", "1.01");
  EXPECT_EQ(drain(out), "1.01\n");
  std::fclose(out);

  out = std::tmpfile();
  nuv::cli::Output plain(OutputMode::Plain, false, out, out);
  plain.status("Time out  error", nuv::cli::Tone::Failure);
  plain.message("Time out  error", true);
  EXPECT_EQ(drain(out), "Time out  error\n");
  std::fclose(out);
}

}  // namespace
