#include "cli/ManualPage.h"

#include <sstream>

#include "cli/CommandLine.h"
#include "cli/Options.h"

namespace nuv::cli {
namespace {

constexpr const char* kUdevRulePath = "/usr/lib/udev/rules.d/70-nuv-update-device.rules";

// A help page as it is printed: no filling, line for line, blank lines kept.
std::string verbatim(const std::string& text) {
  std::string roff = ".nf\n";
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);)
    roff += line.empty() ? ".sp\n" : roffEscaped(line) + "\n";
  return roff + ".fi\n";
}

// "FIRMWARE -o IMAGE" or "[COMMAND]": options bold, placeholders italic.
std::string placeholders(const std::string& text) {
  std::string roff;
  std::istringstream words(text);
  for (std::string word; words >> word;) {
    roff += ' ';
    const bool optional = word.size() > 2 && word.front() == '[' && word.back() == ']';
    if (optional) word = word.substr(1, word.size() - 2);
    const std::string marked = (word[0] == '-' ? "\\fB" : "\\fI") + roffEscaped(word) + "\\fR";
    roff += optional ? "[" + marked + "]" : marked;
  }
  return roff;
}

std::string commandNamesOf(const OptionSpec& option) {
  if (option.appliesTo == kAllCommands) return "all commands";
  std::string names;
  for (const auto& c : commandTable())
    if (appliesTo(option, c.command)) names += (names.empty() ? "" : ", ") + std::string(c.name);
  return names;
}

}  // namespace

std::string roffEscaped(std::string_view line) {
  std::string roff;
  if (!line.empty() && (line.front() == '.' || line.front() == '\'')) roff = "\\&";
  for (char ch : line) {
    if (ch == '\\')
      roff += "\\e";
    else if (ch == '-')
      roff += "\\-";
    else
      roff += ch;
  }
  return roff;
}

std::string manualPage(std::string_view version) {
  std::string page;
  page += ".\\\" vornex-cli(1), made from the program's help pages and its table of commands and\n";
  page += ".\\\" options when it is built: change those, not this file.\n";
  page +=
      ".TH VORNEX\\-CLI 1 \"\" \"vornex\\-cli " + roffEscaped(version) + "\" \"User Commands\"\n";
  page += ".nh\n.ad l\n";  // no hyphenation and a ragged right edge: options stay whole
  page += ".SH NAME\nvornex\\-cli \\- update the firmware of the NUV update device\n";

  page += ".SH SYNOPSIS\n.nf\n\\fBvornex\\-cli\\fR \\fICOMMAND\\fR [\\fIOPTIONS\\fR]\n";
  for (const auto& c : commandTable())
    page += "\\fBvornex\\-cli " + roffEscaped(c.name) + "\\fR" + placeholders(c.operands) +
            " [\\fIOPTIONS\\fR]\n";
  page += ".fi\n";

  page += ".SH DESCRIPTION\n" + verbatim(helpText(Command::None));

  page += ".SH COMMANDS\n";
  for (const auto& c : commandTable()) {
    if (c.command == Command::Help) continue;  // its page is the overview above
    page += ".SS " + roffEscaped(c.name) + "\n" + verbatim(helpText(c.command));
  }

  page += ".SH OPTIONS\n";
  for (const auto& o : optionTable()) {
    page += ".TP\n\\fB" + roffEscaped(o.longName) + "\\fR";
    if (o.value != nullptr && o.valueOptional)
      page += "[=\\fI" + roffEscaped(o.value) + "\\fR]";
    else if (o.value != nullptr)
      page += " \\fI" + roffEscaped(o.value) + "\\fR";
    if (o.shortName != 0) {
      page += ", \\fB\\-" + std::string(1, o.shortName) + "\\fR";
      if (o.value != nullptr) page += " \\fI" + roffEscaped(o.value) + "\\fR";
    }
    page += "\n" + roffEscaped(o.summary) + ".\n.br\nFor " + roffEscaped(commandNamesOf(o)) + ".\n";
  }

  page += ".SH EXIT STATUS\n";
  for (const auto& e : exitStatusTable())
    page += ".TP\n.B " + std::to_string(e.code) + "\n" + roffEscaped(e.meaning) + "\n";

  page += ".SH FILES\n.TP\n.I " + roffEscaped(kUdevRulePath) + "\n";
  page +=
      "The udev rule that gives the logged\\-in user access to the device; "
      "\\fBvornex\\-cli udev\\-rule\\fR prints it and \\fBvornex\\-cli doctor\\fR checks it.\n";

  page += ".SH SEE ALSO\n\\fBudev\\fR(7), \\fBudevadm\\fR(8)\n";
  return page;
}

}  // namespace nuv::cli
