#include "cli/UdevRuleCheck.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <memory>
#include <set>

#include "cli/Files.h"
#include "protocol/Error.h"

namespace nuv::cli {
namespace {

constexpr std::uint64_t kRuleFileLimit = 1 << 20;
// udev's rule that turns uaccess tags into ACLs; the rule must run before it.
constexpr std::string_view kSeatLateRules = "73-seat-late.rules";

enum class CopyState { Current, Different, Masked, Unreadable };

struct RuleCopy {
  std::string path;
  CopyState state = CopyState::Unreadable;
  std::string error;  // for Unreadable
};

// The rule lines alone: without comments, blank lines and surrounding blanks.
[[nodiscard]] std::string rulesOnly(std::string_view text) {
  std::string rules;
  while (!text.empty()) {
    const auto end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    const auto first = line.find_first_not_of(" \t\r");
    if (first == std::string_view::npos || line[first] == '#') continue;
    line = line.substr(first, line.find_last_not_of(" \t\r") - first + 1);
    rules.append(line).push_back('\n');
  }
  return rules;
}

// Nothing when `path` does not exist.
[[nodiscard]] std::optional<RuleCopy> examine(const std::string& path, std::string_view current) {
  struct stat file {};
  if (::stat(path.c_str(), &file) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return std::nullopt;
    return RuleCopy{path, CopyState::Unreadable, nuv::Error::fromErrno("stat", errno).describe()};
  }
  if (S_ISCHR(file.st_mode) || (S_ISREG(file.st_mode) && file.st_size == 0))
    return RuleCopy{path, CopyState::Masked, {}};
  auto read = readFile(path, kRuleFileLimit);
  if (!read) return RuleCopy{path, CopyState::Unreadable, read.error().describe()};
  const auto& bytes = read.value().bytes;
  const std::string text(bytes.begin(), bytes.end());
  const bool same = text == current || rulesOnly(text) == rulesOnly(current);
  return RuleCopy{path, same ? CopyState::Current : CopyState::Different, {}};
}

// A rule file of another name with the same rules, as udev would use it (the first copy of each
// name), or nothing.
[[nodiscard]] std::optional<std::string> findUnderAnotherName(const std::vector<std::string>& dirs,
                                                              std::string_view current) {
  std::set<std::string> seen;
  for (const auto& dir : dirs) {
    std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(dir.c_str()), &::closedir);
    if (!listing) continue;
    while (const dirent* entry = ::readdir(listing.get())) {
      const std::string name = entry->d_name;
      if (name.size() <= 6 || name.compare(name.size() - 6, 6, ".rules") != 0) continue;
      if (!seen.insert(name).second) continue;
      const auto copy = examine(dir + "/" + name, current);
      if (copy && copy->state == CopyState::Current) return copy->path;
    }
  }
  return std::nullopt;
}

[[nodiscard]] std::string installAdvice(const std::string& target) {
  return "vornex-cli udev-rule | sudo tee " + target +
         ", then sudo udevadm control --reload && sudo udevadm trigger --subsystem-match=hidraw, "
         "then unplug and replug the device";
}

[[nodiscard]] std::string baseName(const std::string& path) {
  return path.substr(path.find_last_of('/') + 1);
}

// The directories without those that are another one under a second name: on a merged-/usr
// system /lib is a link to /usr/lib, and its rule is one file, not one hiding another.
[[nodiscard]] std::vector<std::string> distinctDirectories(const std::vector<std::string>& dirs) {
  std::vector<std::string> distinct;
  std::set<std::pair<dev_t, ino_t>> seen;
  for (const auto& dir : dirs) {
    struct stat status {};
    if (::stat(dir.c_str(), &status) == 0 && !seen.insert({status.st_dev, status.st_ino}).second)
      continue;
    distinct.push_back(dir);
  }
  return distinct;
}

}  // namespace

UdevRuleStatus checkUdevRule(const std::vector<std::string>& givenDirs, std::string_view fileName,
                             std::string_view currentText) {
  const std::vector<std::string> ruleDirs = distinctDirectories(givenDirs);
  const std::string target =
      (ruleDirs.empty() ? std::string("/etc/udev/rules.d") : ruleDirs.front()) + "/" +
      std::string(fileName);
  std::vector<RuleCopy> copies;
  for (const auto& dir : ruleDirs)
    if (auto copy = examine(dir + "/" + std::string(fileName), currentText))
      copies.push_back(*copy);

  if (copies.empty()) {
    if (const auto other = findUnderAnotherName(ruleDirs, currentText)) {
      if (baseName(*other) < kSeatLateRules)
        return {Verdict::Ok, "current, installed as " + *other + " (under another name)"};
      return {Verdict::Problem, *other + " holds the rule but sorts after " +
                                    std::string(kSeatLateRules) +
                                    ", so its uaccess tag has no effect; install it as " + target +
                                    ": " + installAdvice(target)};
    }
    return {Verdict::Problem, "not installed; install it: " + installAdvice(target)};
  }

  const RuleCopy& used = copies.front();
  std::string hidden;
  bool hidesCurrent = false;
  for (std::size_t i = 1; i < copies.size(); ++i) {
    hidden += (i == 1 ? "; it hides " : ", ") + copies[i].path;
    if (copies[i].state != CopyState::Current) continue;
    hidden += " (current)";
    hidesCurrent = true;
  }
  switch (used.state) {
    case CopyState::Current:
      return {Verdict::Ok, "current, installed at " + used.path + hidden};
    case CopyState::Different:
      return {Verdict::Problem,
              used.path + " is an older or different rule" + hidden + "; " +
                  (hidesCurrent ? "remove it (sudo rm " + used.path + ") or " : "") +
                  "replace it: " + installAdvice(target)};
    case CopyState::Masked:
      return {Verdict::Problem, used.path +
                                    " is empty or a link to /dev/null, which turns the rule off" +
                                    hidden + "; remove it (sudo rm " + used.path +
                                    ") or replace it: " + installAdvice(target)};
    case CopyState::Unreadable:
      break;
  }
  return {Verdict::Problem, "cannot read " + used.path + ": " + used.error};
}

}  // namespace nuv::cli
