#include "cli/ManualPage.h"

#include <sstream>

#include "cli/CommandLine.h"
#include "cli/Options.h"

namespace nuv::cli {
namespace {

// Prose is written here as roff source: \- for a hyphen a shell must see as one, \fB..\fR bold.
constexpr const char* kDescription = R"(.B vornex\-cli
updates the firmware of the NUV update device, a USB HID device of vendor 0xFFFF and product
0x0100, from a terminal or a script. It runs the same flows as the two window programs:
Vornex's strict flow, which checks the image and the device's version and gives every
exchange a time\-out, and QuenlorHID's echo flow (\fB\-\-flow echo\fR), which compares the
data the device echoes and has no time\-outs.
.PP
Every run on a device begins with a line that names the image and the device, and a failed
exchange ends with one line that says what went wrong, at which address and step, the state
the device is left in and what to do next. An update image is checked before any device is
looked for. Several devices can be updated at once, each by a process of its own, and
\fB\-\-sim\fR puts an emulated device in place of the hardware, with faults on request.
.PP
On a terminal the program shows a progress bar sized to the terminal and coloured status
lines; into a pipe or a file it writes plain lines. \fB\-\-json\fR writes one JSON object per
line instead (schema 2, described in the project's docs/cli.md), and \fB\-q\fR only the
answers and the errors. Messages that the windows show in boxes go to standard error.
.PP
Ctrl\-C is the windows' Stop button: a download ends at its next step. A second Ctrl\-C ends
the program at once.
.PP
An option belongs to the commands that its entry under OPTIONS names, and is refused by the
others. A value follows its option or is joined to it with \(aq=\(aq; \fB\-\-\fR ends the
options.
)";

constexpr const char* kEnvironment = R"(.TP
.B NO_COLOR
When set and not empty, \fB\-\-color=auto\fR (the default) does not colour.
.TP
.B TERM
\fBdumb\fR gives plain lines: no live progress bar and no colour.
.TP
.B COLUMNS
The width of the progress bar when the terminal does not tell its own; below 40 columns
progress is shown as lines.
)";

constexpr const char* kFiles = R"(.TP
.I /usr/lib/udev/rules.d/70\-nuv\-update\-device.rules
The udev rule that gives the logged\-in user access to the device, as the package installs it.
.TP
.I /etc/udev/rules.d/70\-nuv\-update\-device.rules
The same rule installed by hand (\fBvornex\-cli udev\-rule\fR prints it); a copy here hides
the one in /usr/lib. \fBvornex\-cli doctor\fR says which copy udev uses and whether it is
current.
.TP
.I /dev/hidraw*
The device's nodes; \fB/dev/uhid\fR is where \fBemulate\fR presents the emulated device.
.TP
.I FILE \fRof \fB\-\-record
The session record: every report sent and received, with its time, as JSON lines; an
existing file is replaced only with \fB\-\-force\fR. \fB\-\-sim \-\-sim\-replay\fR plays it back.
)";

// The everyday commands, as the README gives them.
constexpr const char* kExamples[][2] = {
    {"vornex-cli download UPDATA.nuv", "Vornex's flow on the one attached device."},
    {"vornex-cli download UPDATA.nuv --flow echo", "QuenlorHID's flow."},
    {"vornex-cli download UPDATA.nuv --sim --sim-fault wrong-address@0x1000",
     "See a failure on the emulated device."},
    {"vornex-cli list", "The attached devices, with their USB ports and serial numbers."},
    {"vornex-cli download UPDATA.nuv --all --verify --retries 2",
     "Every attached device at once, read back, each retried up to twice."},
    {"vornex-cli download UPDATA.nuv --device serial:A7C2 --device usb:1-4",
     "Two devices named by serial number and by port."},
    {"vornex-cli download UPDATA.nuv --station --count 20",
     "A rig: each board as it is plugged in, twenty of them."},
    {"vornex-cli download UPDATA.nuv --record session.jsonl", "Keep the session on record."},
    {"vornex-cli download UPDATA.nuv --sim --sim-replay session.jsonl --verbose",
     "Play the recorded device back, anywhere."},
    {"vornex-cli udev-rule | sudo tee /etc/udev/rules.d/70-nuv-update-device.rules",
     "Install the udev rule, then reload udev and replug the device."},
};

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

std::string optionEntry(const OptionSpec& o) {
  std::string roff = ".TP\n\\fB" + roffEscaped(o.longName) + "\\fR";
  if (o.value != nullptr && o.valueOptional)
    roff += "[=\\fI" + roffEscaped(o.value) + "\\fR]";
  else if (o.value != nullptr)
    roff += " \\fI" + roffEscaped(o.value) + "\\fR";
  if (o.shortName != 0) {
    roff += ", \\fB\\-" + std::string(1, o.shortName) + "\\fR";
    if (o.value != nullptr && !o.valueOptional) roff += " \\fI" + roffEscaped(o.value) + "\\fR";
  }
  return roff + "\n" + roffEscaped(o.summary) + ".\n.br\nFor " + roffEscaped(commandNamesOf(o)) +
         ".\n";
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

  page += ".SH SYNOPSIS\n.nf\n";
  for (const auto& c : commandTable())
    page += "\\fBvornex\\-cli " + roffEscaped(c.name) + "\\fR" + placeholders(c.operands) +
            " [\\fIOPTIONS\\fR]\n";
  page += ".fi\n";

  page += ".SH DESCRIPTION\n";
  page += kDescription;

  page += ".SH COMMANDS\n";
  for (const auto& c : commandTable()) {
    if (c.command == Command::Help) {
      page +=
          ".SS help\nThe overview (\\fBvornex\\-cli \\-\\-help\\fR), or the page of the command "
          "named (\\fBvornex\\-cli help\\fR \\fICOMMAND\\fR): the pages below.\n";
      continue;
    }
    page += ".SS " + roffEscaped(c.name) + "\n" + verbatim(helpText(c.command));
  }

  page += ".SH OPTIONS\n";
  for (const auto& o : optionTable()) page += optionEntry(o);
  page +=
      ".TP\n\\fB\\-\\-\\fR\nThe end of the options: every argument after it is the command "
      "or an operand, even one that starts with \\-.\n";

  page += ".SH EXIT STATUS\n";
  for (const auto& e : exitStatusTable())
    page += ".TP\n.B " + std::to_string(e.code) + "\n" + roffEscaped(e.meaning) + "\n";

  page += ".SH ENVIRONMENT\n";
  page += kEnvironment;
  page += ".SH FILES\n";
  page += kFiles;

  page += ".SH EXAMPLES\n";
  for (const auto& [command, what] : kExamples)
    page += ".TP\n.B " + roffEscaped(command) + "\n" + roffEscaped(what) + "\n";

  page += ".SH SEE ALSO\n\\fBudev\\fR(7), \\fBudevadm\\fR(8)\n";
  return page;
}

}  // namespace nuv::cli
