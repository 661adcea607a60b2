// Where the udev rule is installed and whether the copy udev uses is the current one.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "cli/Output.h"

namespace nuv::cli {

struct UdevRuleStatus {
  Verdict verdict = Verdict::Problem;
  std::string detail;  // where, which copy wins, and what to do when it is not ok
};

// Looks for `fileName` in `ruleDirs` (highest precedence first, as udev reads them: the first
// copy hides the others) and compares the winning copy with `currentText`. Comments and blank
// lines do not count as a difference. When no copy has that name, a rule file of another name
// with the same rules counts, if it sorts before 73-seat-late.rules (which applies uaccess).
// The fix it suggests installs into ruleDirs.front().
[[nodiscard]] UdevRuleStatus checkUdevRule(const std::vector<std::string>& ruleDirs,
                                           std::string_view fileName, std::string_view currentText);

}  // namespace nuv::cli
