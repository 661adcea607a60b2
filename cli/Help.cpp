// The help pages: `vornex-cli --help` and `vornex-cli COMMAND --help`.
#include <algorithm>

#include "cli/CommandLine.h"
#include "cli/Options.h"

namespace nuv::cli {

namespace {

// The overview around its command list, which is made from the table of commands.
constexpr const char* kOverviewHead = R"(Usage: vornex-cli COMMAND [OPTIONS]

Updates the firmware of the NUV update device (USB HID, vendor 0xFFFF, product 0x0100).

)";

constexpr const char* kOverviewTail = R"(Device selection (version, download, verify, list):
  --device SELECTOR     a hidraw node or a link to one, usb:PORT (1-3.2) or serial:TEXT;
                        repeatable. Without it the one attached device is used: with several
                        attached, name one (list shows how) or take all with --all
  --all                 every matching device, at once (one process per device)
  --wait[=SECONDS]      wait for the selected devices to appear (without SECONDS: no limit)
  --retries N           download: after an exchange failure start that device again from
                        Link, up to N times (refusals are never retried)
  --station [--count N] download: flash each matching device as it is plugged in, once
                        per plug-in, until Ctrl-C or N devices are done
  --sim                 use the emulated update device instead of hardware
  --sim-devices N       N emulated devices, each with its own serial and port
  --sim-latency MS      the emulated device answers after MS milliseconds
  --sim-version TEXT    the emulated device reports this version (up to 4 characters)
  --sim-fault [N:]KIND@WHERE  the emulated device (only the N-th) misbehaves (see 'help download')
  --memory-out FILE, --ready-file FILE, --uhid PATH   emulate's files (see 'help emulate')

Sessions on record (version, download, verify):
  --record FILE         write every report sent and received, with its time, to FILE as
                        JSON lines (an existing FILE only with --force)
  --sim-replay FILE     the emulated device answers as the device of a recorded session did,
                        and says where this run departs from the record (see 'help download')

Output:
  --json                one JSON object per line: status, progress, messages, result
  --quiet, -q           errors only
  --verbose, -v         also the programs' log lines
  --help, -h            help; --version, -V: the program's version

Exit codes:
  0 success          2 usage error         3 no device         4 image refused
  5 device version refused                 6 exchange failed   7 file error
  8 verify mismatch  130 interrupted (Ctrl-C)
)";

constexpr const char* kList =
    R"(Usage: vornex-cli list [--device SELECTOR]... [--wait[=SECONDS]] [--json]

Lists every hidraw node of vendor 0xFFFF, product 0x0100 (or those --device names) with its
path, ids, whether this user can open it, its USB port path (usb:1-3.2, absent when the
device is not on USB), its serial number (serial:TEXT, the HID unique id, absent when it has
none) and its manufacturer and product names. The usb: and serial: words are the selectors
that --device takes. A node that exists but cannot be opened for lack of permission is
listed with a hint to install the udev rule (see 'vornex-cli udev-rule').
--json: one "device" object per device (fields in docs/cli.md).
Exit: 0 when at least one device can be opened, 3 otherwise.
)";

constexpr const char* kVersion =
    R"(Usage: vornex-cli version [--device SELECTOR... | --all | --sim ...]

Links to the device and asks for its firmware version, as Vornex's Version button does:
Link, then Version, each with a time-out of about 4 seconds. Prints "Version:" and the
device's four version characters. --flow echo asks as QuenlorHID's Version button does (no
time-out: Ctrl-C twice ends a wait for a device that does not answer).
Exit: 0, 3 no device, 6 exchange failed ("No connected", "Data error", "Time out  error",
"No  respond"). With several devices selected, each is asked at once.
)";

constexpr const char* kDownload =
    R"(Usage: vornex-cli download IMAGE [--flow strict|echo] [--verify] [--device SELECTOR... | --all]
                        [--retries N] [--station [--count N]] [--wait[=SECONDS]] [--sim ...]

Writes the update image IMAGE (65,536 bytes, starting with "V1.01") into the device.

--flow strict (default), Vornex's flow: checks the file's size ("Filesize is error") and
  version ("Version is error"), links, checks the device's version ("Device ver is error"),
  erases, writes 16,128 four-byte reports (addresses 0x0000 to 0xFBFC), each answered within
  about 4 seconds and echoing its command, and commits with Burn: "Update Completed".
--flow echo, QuenlorHID's flow: links, erases, waits 4 s, writes 16,384 reports (to 0xFFFC),
  checks the data the device echoes after each, waits 1 s and commits: "Finished".
  It has no time-outs: press Ctrl-C to stop a device that does not answer.

--verify: after a successful download, reads the device back as the verify command does, in
  the same process (the emulated device of --sim lives only as long as the process).

Ctrl-C is the Stop button: the download ends at its next step; the device is left erased or
partly written, and a new download starts over. The echo flow acts on Stop only while it
writes. A second Ctrl-C quits at once.

Several devices (--all, or --device given several times) are flashed at the same time, each
by a process of its own running the flow above, so that one device's failure, silence or
unplug never stops or slows another. On a terminal each device has a live progress line;
otherwise every line starts with the device; with --json every object names its "device".
At the end a summary: device, time, verified or not, result. Exit 0 only when every device
succeeded, otherwise the first failing device's code (the summary names each failure).
Ctrl-C stops them all; a second Ctrl-C quits at once.
--retries N: a device whose exchange failed (time-out, no response, data error, unplugged and
  back within --wait's SECONDS, 10 s by default) starts again from Link (which erases
  again), up to N times; refused images and versions are never retried. Each attempt is shown.
--station: flashes every matching device as it is plugged in (and those attached at the
  start), once per plug-in: a device left plugged in is not flashed twice. Ends on Ctrl-C or
  after --count N devices, with one result line per device and a tally.

Emulated device faults (--sim-fault [N:]KIND@WHERE, repeatable): KIND is no-reply,
code-zero, wrong-code, wrong-address, wrong-data, short-report, duplicate, late:MS,
write-failure or unplug; WHERE is #N (the N-th command), an address such as 0x1000, or a
command name (link, format, burn, read, write, version); a trailing + repeats it at every
match. With --sim-devices, "N:" gives the fault to device N only: 2:no-reply@0x2000.
--record FILE writes the session (every report sent and received, with its time in
  microseconds, as JSON lines; format in docs/cli.md); --sim-replay FILE plays such a record
  back: the emulated device answers each report as the recorded device did, with the recorded
  delay. A report that differs from the record ends the replay (the emulated device unplugs
  itself there) and is named: "the host departed from the record at report N: ...".
Exit: 0, 3, 4 image refused, 5 device version refused, 6 exchange failed, 7 file error,
8 verify mismatch (--verify), 130 interrupted.
)";

constexpr const char* kVerify =
    R"(Usage: vornex-cli verify IMAGE [--device SELECTOR... | --all | --sim ...]

Reads the device's memory back with the Read command (0x14), four bytes per report, and
compares addresses 0x0000 to 0xFBFF with the firmware of IMAGE. For devices that answer Read.
Exit: 0 equal, 8 mismatch (the first differing address is printed), 3, 4, 6, 7.
)";

constexpr const char* kInspect = R"(Usage: vornex-cli inspect IMAGE [--json]

Prints the file's size, its 16-byte header text, its version (the first five bytes) and
whether Vornex would accept it, and if not, why.
Exit: 0 accepted, 4 refused, 7 the file cannot be read.
)";

constexpr const char* kPack = R"(Usage: vornex-cli pack FIRMWARE -o IMAGE [--filler BYTE] [--force]

Makes an update image from a raw memory image of device addresses 0x0000 to 0xFBFF
(exactly 64,512 bytes; its first 16 bytes are the header text, which Vornex wants to begin
with "V1.01"). The 80-byte gap and the byte after each 64-byte record get the filler,
0xFF (erased flash) unless --filler says otherwise; no updater sends them.
An existing IMAGE is never replaced unless --force is given; the file appears whole or not
at all.
Exit: 0, 4 the firmware has the wrong size, 7 file error.
)";

constexpr const char* kUnpack = R"(Usage: vornex-cli unpack IMAGE -o FIRMWARE [--force]

Takes the 64,512 firmware bytes for addresses 0x0000 to 0xFBFF out of an update image of
65,536 bytes; the filler bytes are dropped. An existing FIRMWARE is never replaced unless
--force is given.
Exit: 0, 4 the image has the wrong size, 7 file error.
)";

constexpr const char* kEmulate =
    R"(Usage: vornex-cli emulate [--count N] [--sim-latency MS] [--sim-version TEXT]
                          [--sim-fault [N:]KIND@WHERE]... [--memory-out FILE]
                          [--ready-file FILE] [--uhid PATH]

Presents the emulated update device (vendor 0xFFFF, product 0x0100) to this machine's kernel
through /dev/uhid until Ctrl-C, so that it appears as a /dev/hidrawN node like the real
device: this tool, Vornex, QuenlorHID and your own programs can update it. Prints the node.
The --sim-... options describe the device as for --sim (see 'help download').

--memory-out FILE: the device's 64 KiB of memory, written when it stops and on SIGUSR1
  (through a temporary file and a rename: never half a file).
--ready-file FILE: the hidraw node's path, written once the kernel made it (for scripts).
--uhid PATH: the uhid device node (default /dev/uhid).
--count N: N devices at once (at most 64), each with its own node and unique id
  (nuv-uhid-PID-N); --sim-fault N:... goes to device N only; --memory-out FILE becomes
  FILE-1 ... (the number before the extension); --ready-file lists every node, one a line.
  SIGUSR2 unplugs them all; SIGUSR2 queued with the value N (sigqueue) unplugs device N only;
  emulate ends with its last device.

Needs /dev/uhid (the uhid module: 'modprobe uhid') and the right to open it (usually root).
SIGUSR2 unplugs the device at once.
Exit: 0 after Ctrl-C or an unplug, 3 /dev/uhid is missing or closed to this user, 6 the
kernel refused the device or serving it failed, 7 FILE cannot be written there.
)";

constexpr const char* kDoctor = R"(Usage: vornex-cli doctor [--json]

Checks and explains, one line each: hidraw support, the udev rule (installed where, and
whether it is the current one), access to each matching node (uaccess ACL or mode), another
process holding a node open, and the devices found.
Exit: 0 when all is well, 3 no usable device is found, 1 other problems.
)";

constexpr const char* kUdevRule = R"(Usage: vornex-cli udev-rule

Prints the udev rule that gives the logged-in user access to the device (vendor 0xFFFF,
product 0x0100), for installs that cannot place files in /etc themselves. As root:
  vornex-cli udev-rule > /etc/udev/rules.d/70-nuv-update-device.rules
then replug the device, or run 'udevadm trigger'.
Packages install the same rule as /usr/lib/udev/rules.d/70-nuv-update-device.rules.
Exit: 0.
)";

constexpr const char* kCompletion = R"(Usage: vornex-cli completion SHELL

Prints the completion script for SHELL (bash, zsh or fish) to standard output. It completes
the commands, the options of the command typed and the options' values: files for IMAGE,
FIRMWARE and FILE, strict or echo after --flow, the /dev/hidraw nodes after --device.
Packages install the scripts where the shells look for them; to try one in a running shell:
  bash: source <(vornex-cli completion bash)
  zsh:  source <(vornex-cli completion zsh)     (after compinit)
  fish: vornex-cli completion fish | source
Exit: 0, 2 SHELL is not bash, zsh or fish.
)";

std::string overview() {
  std::string text = kOverviewHead;
  text += "Commands:\n";
  for (const CommandSpec& c : commandTable()) {
    std::string entry = std::string("  ") + c.name;
    if (*c.operands != '\0') entry += std::string(" ") + c.operands;
    entry.resize(std::max<std::size_t>(entry.size() + 2, 24), ' ');
    text += entry + c.summary + "\n";
  }
  return text + "\n" + kOverviewTail;
}

}  // namespace

std::string helpText(Command command) {
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
  return overview();
}

}  // namespace nuv::cli
