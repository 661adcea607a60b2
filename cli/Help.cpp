// The help pages: `vornex-cli --help` and `vornex-cli COMMAND --help`. Each page is its
// command's prose followed by the options that the table gives the command (CommandLine.cpp),
// so that a page names every option its command takes and no other; the overview lists the
// commands, every option and the exit codes from the same tables.
#include <sstream>
#include <string>

#include "cli/CommandLine.h"
#include "cli/Options.h"

namespace nuv::cli {

namespace {

// Generated lines are wrapped as wide as the pages' prose.
constexpr std::size_t kLineWidth = 92;
constexpr std::size_t kSummaryColumn = 24;

constexpr const char* kOverviewHead =
    R"page(Updates the firmware of the NUV update device (USB HID, vendor 0xFFFF, product 0x0100).

)page";

constexpr const char* kOverviewNotes = R"page(
An option belongs to the commands named after it; given to another command it is a usage
error. A value follows its option (--retries 2) or is joined to it (--retries=2); a value
that may be left out (--wait, --color) is taken from the next word only when it is one
(seconds; auto, always or never).
The --sim-... options describe the emulated device and need --sim; emulate, which is the
emulated device, takes them alone.
Output: on a terminal a progress bar sized to it and colour; in a pipe, a file or with
TERM=dumb plain lines. --color=auto colours on a terminal only, and never when NO_COLOR is
set and not empty. -q prints only the answers (version's version, list's devices) and the
errors, and excludes -v; --json writes the same objects with -q as without.

)page";

constexpr const char* kList =
    R"page(Lists every hidraw node of vendor 0xFFFF, product 0x0100 (or those --device names) with its
path, ids, whether this user can open it, its USB port path (usb:1-3.2, absent when the
device is not on USB), its serial number (serial:TEXT, the HID unique id, absent when it has
none) and its manufacturer and product names. The usb: and serial: words are the selectors
that --device takes. A node that exists but cannot be opened for lack of permission is
listed with a hint to install the udev rule (see 'vornex-cli udev-rule').
-q prints the device lines alone; --json one "device" object per device (docs/cli.md).
Exit: 0 when at least one device can be opened, 3 otherwise.
)page";

constexpr const char* kVersion =
    R"page(Links to the device and asks for its firmware version, as Vornex's Version button does:
Link, then Version, each with a time-out of about 4 seconds. The first line names the
device ("Asking /dev/hidraw3 (serial A7C2, USB 1-4) for its firmware version"); the answer
is "version" and the device's version, such as 1.01 (-q: the version alone).
--flow echo asks as QuenlorHID's Version button does; QuenlorHID waits for ever for a
device that does not answer, vornex-cli gives up after --stall-timeout SECONDS (10 by
default; 0 waits for ever, and Ctrl-C ends the wait).
With several devices selected (--all, several --device), each is asked at once.
Exit: 0, 3 no device, 6 exchange failed ("No connected", "Data error", "Time out  error",
"No  respond"), 130 interrupted.
)page";

constexpr const char* kDownload =
    R"page(Writes the update image IMAGE (65,536 bytes, starting with "V1.01") into the device. The
image is checked before any device is looked for: a file that would be refused ends the run
with 4 and the reason (as inspect gives it), with or without a device attached. The first
line names the image and the device: "Writing UPDATA.nuv to /dev/hidraw3 (serial A7C2,
USB 1-4)", or "... to the emulated device".

--flow strict (default), Vornex's flow: checks the file's size ("Filesize is error") and
  version ("Version is error"), links, checks the device's version ("Device ver is error":
  the device reports version 2.00; this updater needs 1.x; nothing was erased), erases,
  writes 16,128 four-byte reports (addresses 0x0000 to 0xFBFC), each answered within about
  4 seconds and echoing its command, and commits with Burn: "Update Completed".
--flow echo, QuenlorHID's flow: links, erases, waits 4 s, writes 16,384 reports (to 0xFFFC),
  checks the data the device echoes after each, waits 1 s and commits: "Finished".
  QuenlorHID has no time-outs; vornex-cli ends the flow ("stalled") when a reply it awaits
  has not come for --stall-timeout SECONDS (10 by default; 0 waits for ever, as the window
  does). Ctrl-C ends it, also while the device is silent.
--verify: after a successful download, reads the device back as the verify command does, in
  the same process (the emulated device of --sim lives only as long as the process).

A failed exchange ends with one line that says what happened, where, the state the device
is left in (untouched, erased, erased and partly written, burnt) and what to do:
  vornex-cli: time-out at 0x2000 while writing; the device is erased and partly written:
  run download again

Ctrl-C is the Stop button: the download ends at its next step, leaving the device erased or
partly written, and a new download starts over. A second Ctrl-C ends the program at once
("vornex-cli: interrupted").

--retries N: after an exchange failure (time-out, no response, data error, a device unplugged
  and back within --wait's SECONDS, 10 s by default) the device starts again from Link
  (which erases again), up to N times; refused images and versions are never retried. On
  one device this happens in the same process, with the same output as one attempt.
Several devices (--all, or --device given several times) are flashed at the same time, each
by a process of its own running the flow above, so that one device's failure, silence or
unplug never stops or slows another. On a terminal each device has a live progress line;
otherwise every line starts with the device; with --json every object names its "device".
At the end a summary: device, time, verified or not, result. Exit 0 only when every device
succeeded, otherwise the first failing device's code (the summary names each failure).
--station: flashes every matching device as it is plugged in (and those attached at the
  start), once per plug-in: a device left plugged in is not flashed twice. Ends on Ctrl-C or
  after --count N devices, with one result line per device and a tally.

Emulated device faults (--sim --sim-fault [N:]KIND@WHERE, repeatable): KIND is no-reply,
code-zero, wrong-code, wrong-address, wrong-data, short-report, duplicate, late:MS,
write-failure or unplug; WHERE is #N (the N-th command), an address such as 0x1000, or a
command name (link, format, burn, read, write, version); a trailing + repeats it at every
match. With --sim-devices, "N:" gives the fault to device N only: 2:no-reply@0x2000. In the
emulator a fault that is not repeated does not come back on a retry.
--record FILE writes the session (every report sent and received, with its time in
  microseconds, as JSON lines; format in docs/cli.md); --sim --sim-replay FILE plays such a
  record back: the emulated device answers each report as the recorded device did, with the
  recorded delay. A report that differs from the record ends the replay (the emulated device
  unplugs itself there) and is named: "the host departed from the record at report N: ...".
Exit: 0, 3, 4 image refused, 5 device version refused, 6 exchange failed, 7 file error,
8 verify mismatch (--verify), 130 interrupted.
)page";

constexpr const char* kVerify =
    R"page(Reads the device's memory back with the Read command (0x14), four bytes per report, and
compares addresses 0x0000 to 0xFBFF with the firmware of IMAGE (with --flow echo also
0xFC00 to 0xFFFF, which that flow writes with zeros). For devices that answer Read. The
image is checked first, as for download; the first line names both: "Comparing
/dev/hidraw3 (serial A7C2, USB 1-4) with UPDATA.nuv".
The emulated device of --sim starts blank, so verify --sim shows a mismatch: download --sim
--verify writes the image and then compares, in one process.
Exit: 0 equal, 8 mismatch (the first differing address is printed), 3, 4, 6, 7, 130.
)page";

constexpr const char* kInspect =
    R"page(Prints the file's size, its 16-byte header text, its version (the first five bytes) and
whether Vornex would accept it, and if not, why. --json: one "inspect" object.
Exit: 0 accepted, 4 refused, 7 the file cannot be read.
)page";

constexpr const char* kPack =
    R"page(Makes an update image from a raw memory image of device addresses 0x0000 to 0xFBFF
(exactly 64,512 bytes; its first 16 bytes are the header text, which Vornex wants to begin
with "V1.01"). The 80-byte gap and the byte after each 64-byte record get the filler,
0xFF (erased flash) unless --filler says otherwise; no updater sends them.
An existing IMAGE is never replaced unless --force is given; the file appears whole or not
at all.
Exit: 0, 4 the firmware has the wrong size, 7 file error.
)page";

constexpr const char* kUnpack =
    R"page(Takes the 64,512 firmware bytes for addresses 0x0000 to 0xFBFF out of an update image of
65,536 bytes; the filler bytes are dropped. An existing FIRMWARE is never replaced unless
--force is given.
Exit: 0, 4 the image has the wrong size, 7 file error.
)page";

constexpr const char* kEmulate =
    R"page(Presents the emulated update device (vendor 0xFFFF, product 0x0100) to this machine's kernel
through /dev/uhid until Ctrl-C, so that it appears as a /dev/hidrawN node like the real
device: this tool, Vornex, QuenlorHID and your own programs can update it. Prints the node.
The --sim-... options describe the device as they do after --sim (see 'help download');
here they need no --sim.

--memory-out FILE: the device's 64 KiB of memory, written when it stops and on SIGUSR1
  (through a temporary file and a rename: never half a file).
--ready-file FILE: the hidraw node's path, written once the kernel made it (for scripts).
--count N: N devices at once (at most 64), each with its own node and unique id
  (nuv-uhid-PID-N); --sim-fault N:... goes to device N only; --memory-out FILE becomes
  FILE-1 ... (the number before the extension); --ready-file lists every node, one a line.
  SIGUSR2 unplugs them all; SIGUSR2 queued with the value N (sigqueue) unplugs device N only;
  emulate ends with its last device.

Needs /dev/uhid (the uhid module: 'modprobe uhid') and the right to open it (usually root).
Exit: 0 after Ctrl-C or an unplug, 3 /dev/uhid is missing or closed to this user, 6 the
kernel refused the device or serving it failed, 7 FILE cannot be written there.
)page";

constexpr const char* kDoctor =
    R"page(Checks and explains, one line each: hidraw support, the udev rule (installed where, and
whether it is the current one), access to each matching node (uaccess ACL or mode), another
process holding a node open, and the devices found. A line that finds a problem says how to
fix it. --json: one "check" object per line.
Exit: 0 when all is well, 3 no usable device is found, 1 other problems.
)page";

constexpr const char* kUdevRule =
    R"page(Prints the udev rule that gives the logged-in user access to the device (vendor 0xFFFF,
product 0x0100), for installs that cannot place files in /etc themselves. To install it:
  vornex-cli udev-rule | sudo tee /etc/udev/rules.d/70-nuv-update-device.rules
  sudo udevadm control --reload && sudo udevadm trigger --subsystem-match=hidraw
then unplug and replug the device. From the source tree the same rule is installed with:
  sudo install -m 644 platform/hidraw/70-nuv-update-device.rules /etc/udev/rules.d/
Packages install it as /usr/lib/udev/rules.d/70-nuv-update-device.rules.
'vornex-cli doctor' tells whether the rule took effect.
Exit: 0.
)page";

constexpr const char* kCompletion =
    R"page(Prints the completion script for SHELL (bash, zsh or fish) to standard output. It completes
the commands, the options of the command typed and the options' values: files for IMAGE,
FIRMWARE and FILE, strict or echo after --flow, auto, always or never after --color=, the
/dev/hidraw nodes after --device.
Packages install the scripts where the shells look for them; to try one in a running shell:
  bash: source <(vornex-cli completion bash)
  zsh:  source <(vornex-cli completion zsh)     (after compinit)
  fish: vornex-cli completion fish | source
Exit: 0, 2 SHELL is not bash, zsh or fish.
)page";

const char* proseOf(Command command) {
  switch (command) {
    case Command::List:
      return kList;
    case Command::Version:
      return kVersion;
    case Command::Download:
      return kDownload;
    case Command::Verify:
      return kVerify;
    case Command::Inspect:
      return kInspect;
    case Command::Pack:
      return kPack;
    case Command::Unpack:
      return kUnpack;
    case Command::Emulate:
      return kEmulate;
    case Command::Doctor:
      return kDoctor;
    case Command::UdevRule:
      return kUdevRule;
    case Command::Completion:
      return kCompletion;
    case Command::Help:
    case Command::None:
      break;
  }
  return "";
}

// `head` followed by `text`, wrapped at word boundaries with the lines after the first
// indented by `indent` columns.
std::string wrapped(std::string head, const std::string& text, std::size_t indent) {
  std::size_t column = head.size();
  std::istringstream words(text);
  for (std::string word; words >> word;) {
    if (column > indent && column + 1 + word.size() > kLineWidth) {
      head += '\n';
      head.append(indent, ' ');
      column = indent;
    } else if (column > indent) {
      head += ' ';
      ++column;
    }
    head += word;
    column += word.size();
  }
  return head + "\n";
}

// "  LABEL   TEXT" with TEXT in the column `at`; a label too long for it puts TEXT on the
// next line.
std::string entry(const std::string& label, const std::string& text,
                  std::size_t at = kSummaryColumn) {
  std::string head = "  " + label;
  if (head.size() + 2 > at) return head + "\n" + wrapped(std::string(at, ' '), text, at);
  head.resize(at, ' ');
  return wrapped(head, text, at);
}

// "--wait[=SECONDS]", "--output FILE, -o FILE", "--quiet, -q".
std::string spelled(const OptionSpec& o) {
  // Appended piece by piece: GCC 12 at -O3 warns wrongly (-Wrestrict) about literal + string.
  std::string text = o.longName;
  if (o.value != nullptr) {
    text += o.valueOptional ? "[=" : " ";
    text += o.value;
    if (o.valueOptional) text += ']';
  }
  if (o.shortName != 0) {
    text += ", -";
    text += o.shortName;
    if (o.value != nullptr && !o.valueOptional) {
      text += ' ';
      text += o.value;
    }
  }
  return text;
}

bool everyCommand(const OptionSpec& o) {
  return o.appliesTo == kAllCommands;
}

std::string usageLine(const CommandSpec& c) {
  std::string line = std::string("Usage: vornex-cli ") + c.name;
  if (*c.operands != '\0') line += std::string(" ") + c.operands;
  return line + " [OPTIONS]\n";
}

// A command's own options, then one line naming those every command takes.
std::string optionsOf(Command command) {
  std::string text = "\nOptions:\n";
  bool any = false;
  for (const OptionSpec& o : optionTable()) {
    if (everyCommand(o) || !appliesTo(o, command)) continue;
    text += entry(spelled(o), o.summary);
    any = true;
  }
  if (!any) text += "  (none of its own)\n";
  std::string common;
  for (const OptionSpec& o : optionTable())
    if (everyCommand(o))
      common += (common.empty() ? "" : ", ") + std::string(o.longName) +
                (o.shortName != 0 ? std::string(" (-") + o.shortName + ")" : "");
  return text + wrapped("As every command:", common + " (see 'vornex-cli --help').", 2);
}

std::string overview() {
  std::string text = "Usage: vornex-cli COMMAND [OPTIONS] [--] [OPERAND]\n\n";
  text += kOverviewHead;
  text += "Commands:\n";
  for (const CommandSpec& c : commandTable()) {
    std::string label = c.name;
    if (*c.operands != '\0') label += std::string(" ") + c.operands;
    text += entry(label, c.summary);
  }
  text += "\nOptions:\n";
  for (const OptionSpec& o : optionTable()) {
    std::string summary = o.summary;
    if (!everyCommand(o)) summary += " [" + commandsOf(o) + "]";
    text += entry(spelled(o), summary);
  }
  text += entry("--",
                "the end of the options: every word after it is the command or an operand, "
                "even one that starts with '-'");
  text += kOverviewNotes;
  text += "Exit codes:\n";
  for (const ExitStatusSpec& e : exitStatusTable())
    text += entry(std::to_string(e.code), e.meaning, 7);
  return text;
}

}  // namespace

std::string helpText(Command command) {
  const CommandSpec* entry = commandSpec(command);
  if (entry == nullptr || command == Command::Help) return overview();
  return usageLine(*entry) + "\n" + proseOf(command) + optionsOf(command);
}

}  // namespace nuv::cli
