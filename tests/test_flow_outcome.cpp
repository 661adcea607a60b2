// The outcome vocabulary: its strings are a contract with every front end (C API, JSON,
// Python, the web page), so they are listed here as they must stay; and the advice that
// front ends print is the advice of docs/faults.md.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "flow/Outcome.h"

namespace {

using nuv::flow::OutcomeKind;

TEST(FlowOutcome, NamesAreTheContractAndReadBack) {
  const std::vector<std::string_view> outcomes = {
      "completed",   "cancelled",   "no_device",       "image_refused", "device_version_refused",
      "timeout",     "no_response", "data_error",      "write_failed",  "echo_mismatch",
      "device_gone", "stalled",     "verify_mismatch", "file_error"};
  ASSERT_EQ(outcomes.size(), nuv::flow::kOutcomeKindCount);
  for (std::size_t i = 0; i < outcomes.size(); ++i) {
    const auto kind = nuv::flow::outcomeFromName(outcomes[i]);
    ASSERT_TRUE(kind.has_value()) << outcomes[i];
    EXPECT_EQ(nuv::flow::outcomeName(*kind), outcomes[i]);
  }
  const std::vector<std::string_view> steps = {"image", "link", "version", "erase",
                                               "write", "burn", "read"};
  ASSERT_EQ(steps.size(), nuv::flow::kStepCount);
  for (auto name : steps) EXPECT_EQ(nuv::flow::stepName(*nuv::flow::stepFromName(name)), name);
  for (auto name : {"size", "version", "unreadable"})
    EXPECT_EQ(nuv::flow::reasonName(*nuv::flow::reasonFromName(name)), name);
  for (auto name : {"untouched", "erased", "partly_written", "burnt"})
    EXPECT_EQ(nuv::flow::deviceStateName(*nuv::flow::deviceStateFromName(name)), name);
  for (auto unknown : {"", "Completed", "completed ", "timeout\n"}) {
    EXPECT_FALSE(nuv::flow::outcomeFromName(unknown).has_value()) << unknown;
    EXPECT_FALSE(nuv::flow::stepFromName(unknown).has_value()) << unknown;
  }
}

TEST(FlowOutcome, AdviceOfDeviceFaultsIsTheFaultsPages) {
  std::ifstream in(std::string(NUV_SOURCE_DIR) + "/docs/faults.md", std::ios::binary);
  const std::string page{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  ASSERT_FALSE(page.empty());
  for (OutcomeKind kind :
       {OutcomeKind::Timeout, OutcomeKind::Stalled, OutcomeKind::NoResponse, OutcomeKind::DataError,
        OutcomeKind::WriteFailed, OutcomeKind::EchoMismatch, OutcomeKind::DeviceGone}) {
    const auto text = nuv::flow::advice(nuv::flow::Outcome{.kind = kind});
    EXPECT_NE(page.find("What to do: " + std::string(text)), std::string::npos)
        << nuv::flow::outcomeName(kind);
  }
  for (std::size_t i = 1; i < nuv::flow::kOutcomeKindCount; ++i) {
    const nuv::flow::Outcome failed{.kind = static_cast<OutcomeKind>(i)};
    EXPECT_FALSE(nuv::flow::advice(failed).empty()) << nuv::flow::outcomeName(failed.kind);
  }
  EXPECT_TRUE(nuv::flow::advice(nuv::flow::Outcome{}).empty());
}

}  // namespace
