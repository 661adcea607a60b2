#!/usr/bin/python3
# vornex-cli's --json output against docs/cli-schema.json. Runs with Debian's /usr/bin/python3
# and its python3-jsonschema package (the real validator, not a copy of its rules).
#
# Usage: cli_json_schema.py VORNEX_CLI SCHEMA
#
# Runs a table of command lines with --json, on the emulated device and on files, validates
# every line of standard output against the schema, and checks what a schema cannot say: the
# result is the last object and there is one; its exit code is the program's; a phase's total
# stays the same and a phase that ended has done == total at its last progress object; on
# several devices every object but the result names its device.
# Exit 0 when all pass, 1 with the failures, 77 (skipped) without jsonschema.
import concurrent.futures
import json
import os
import signal
import subprocess
import sys
import tempfile
import threading

try:
    import jsonschema
except ImportError:
    print("skipped: the jsonschema module is missing (apt-get install python3-jsonschema)")
    sys.exit(77)

# A run that hangs is a failure, not a wait for ever; the longest run here waits out two of
# the device's 4 s time-outs.
RUN_LIMIT_SECONDS = 120

SIM = ["--sim", "--sim-latency", "0"]


def sim(*args):
    return list(args) + SIM


def writing(obj):
    """Ctrl-C once the Writes are under way: before the silent Write the flow acts on Stop at
    its next Write, at it while waiting for the reply."""
    return obj.get("event") == "progress" and obj["phase"] == "write" and obj["done"] >= 0x1000


def linking(obj):
    """Ctrl-C while the echo flow waits, without a time-out, for a Link reply that never
    comes (its status line shows once Link is sent, when Ctrl-C is already watched for)."""
    return obj.get("event") == "status" and obj["text"] == "Initializing..."


# (name, arguments after the program, exit codes accepted, Ctrl-C when this is true of a line)
CASES = [
    ("version", sim("version"), {0}, None),
    ("version, echo flow, quiet", sim("version", "--flow", "echo", "-q"), {0}, None),
    ("version, verbose", sim("version", "-v"), {0}, None),
    ("download", sim("download", "{good}"), {0}, None),
    ("download --verify", sim("download", "{good}", "--verify"), {0}, None),
    ("download --verify, echo flow",
     sim("download", "{good}", "--verify", "--flow", "echo"), {0}, None),
    ("verify of the blank emulated device", sim("verify", "{good}"), {8}, None),
    ("refused device version", sim("download", "{good}", "--sim-version", "2.00"), {5}, None),
    ("refused image size", sim("download", "{short}"), {4}, None),
    ("refused image version, no device", ["download", "{v2}"], {4}, None),
    ("missing image", sim("download", "{dir}/missing.nuv"), {7}, None),
    ("time-out at Link", sim("download", "{good}", "--sim-fault", "no-reply@link"), {6}, None),
    ("wrong reply to Version", sim("version", "--sim-fault", "wrong-code@version"), {6}, None),
    ("write failure at Erase",
     sim("download", "{good}", "--sim-fault", "write-failure@format"), {6}, None),
    ("time-out while writing",
     sim("download", "{good}", "--sim-fault", "no-reply@0x2000"), {6}, None),
    ("unplugged while writing",
     sim("download", "{good}", "--sim-fault", "unplug@0x1000"), {6}, None),
    ("no response at Burn", sim("download", "{good}", "--sim-fault", "code-zero@burn"), {6}, None),
    ("wrong echo, echo flow",
     sim("download", "{good}", "--flow", "echo", "--sim-fault", "wrong-data@0x2000"), {6}, None),
    ("Ctrl-C while writing",
     sim("download", "{good}", "--sim-fault", "no-reply@0x8000"), {130}, writing),
    ("Ctrl-C, echo flow, silent device",
     sim("download", "{good}", "--flow", "echo", "--sim-fault", "no-reply@link"), {130}, linking),
    ("retry on one device",
     sim("download", "{good}", "--retries", "1", "--sim-fault", "no-reply@0x2000"), {0}, None),
    ("two devices, one fails",
     sim("download", "{good}", "--sim-devices", "2", "--all", "--sim-fault", "2:no-reply@0x2000"),
     {6}, None),
    ("two devices, retried, verified",
     sim("download", "{good}", "--sim-devices", "2", "--all", "--verify", "--retries", "1",
         "--sim-fault", "1:no-reply@0x3000"), {0}, None),
    ("two devices asked", sim("version", "--sim-devices", "2", "--all"), {0}, None),
    ("two devices, none named", sim("version", "--sim-devices", "2"), {2}, None),
    ("record", sim("download", "{good}", "--record", "{dir}/recorded.jsonl"), {0}, None),
    ("replay", ["download", "{good}", "--sim", "--sim-replay", "{session}", "-v"], {0}, None),
    ("usage: option of another command", ["version", "--station"], {2}, None),
    ("usage: -v with -q", sim("version", "-v", "-q"), {2}, None),
    ("usage: emulated device without --sim", ["version", "--sim-latency", "0"], {2}, None),
    ("inspect, accepted", ["inspect", "{good}"], {0}, None),
    ("inspect, wrong size", ["inspect", "{short}"], {4}, None),
    ("inspect, wrong version", ["inspect", "{v2}"], {4}, None),
    ("inspect, missing file", ["inspect", "{dir}/missing.nuv"], {7}, None),
    ("pack", ["pack", "{firmware}", "-o", "{dir}/packed.nuv", "--force"], {0}, None),
    ("pack of a wrong size", ["pack", "{short}", "-o", "{dir}/never.nuv"], {4}, None),
    ("unpack", ["unpack", "{good}", "-o", "{dir}/unpacked.bin", "--force"], {0}, None),
    ("emulate without uhid", ["emulate", "--uhid", "{dir}/no-uhid"], {3}, None),
    ("list, emulated", sim("list", "--sim-devices", "2"), {0}, None),
    # This machine's own devices and setup: whatever they are, the lines follow the schema.
    ("list", ["list"], {0, 3}, None),
    ("doctor", ["doctor"], {0, 1, 3}, None),
    ("udev-rule", ["udev-rule"], {0}, None),
    # completion writes its script as it is, also with --json: there is nothing to validate.
]


def make_files(program, directory):
    """The firmware, a good image packed from it, two images the updater refuses, and a
    session recorded with the good one."""
    firmware = bytearray(b"V1.01 json test ")
    while len(firmware) < 64512:
        firmware += bytes(range(256))
    files = {"dir": directory, "firmware": os.path.join(directory, "firmware.bin")}
    with open(files["firmware"], "wb") as f:
        f.write(firmware[:64512])
    files["good"] = os.path.join(directory, "good.nuv")
    subprocess.run([program, "pack", files["firmware"], "-o", files["good"], "-q"], check=True)
    with open(files["good"], "rb") as f:
        image = f.read()
    files["short"] = os.path.join(directory, "short.nuv")
    with open(files["short"], "wb") as f:
        f.write(image[:-1])
    files["v2"] = os.path.join(directory, "v2.nuv")
    with open(files["v2"], "wb") as f:
        f.write(b"V2.00" + image[5:])
    files["session"] = os.path.join(directory, "session.jsonl")
    subprocess.run([program, "download", files["good"], "--record", files["session"], "-q"] + SIM,
                   check=True)
    return files


def run(program, args, interrupt_when):
    """The program's exit code and its standard output's lines."""
    process = subprocess.Popen([program] + args, stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL, text=True)
    timer = None
    lines = []
    try:
        timer = threading.Timer(RUN_LIMIT_SECONDS, process.kill)
        timer.start()
        for line in process.stdout:
            lines.append(line.rstrip("\n"))
            if interrupt_when is not None:
                try:
                    hit = interrupt_when(json.loads(line))
                except ValueError:
                    hit = False
                if hit:
                    process.send_signal(signal.SIGINT)
                    interrupt_when = None
        return process.wait(), lines
    finally:
        timer.cancel()


def phase_rules(objects, exit_code):
    """A phase's total never changes, and a phase that ended shows done == total last."""
    problems = []
    runs = {}  # device -> list of (phase, [progress objects]) in order
    for obj in objects:
        if obj.get("event") != "progress":
            continue
        phases = runs.setdefault(obj.get("device"), [])
        if not phases or phases[-1][0] != obj["phase"]:
            phases.append((obj["phase"], []))
        phases[-1][1].append(obj)
    ok_devices = {o["device"] for o in objects
                  if o.get("event") == "device_result" and o["ok"]}
    for device, phases in runs.items():
        for index, (phase, steps) in enumerate(phases):
            totals = {p["total"] for p in steps}
            if len(totals) != 1:
                problems.append(f"{device or 'the device'}: {phase}'s total changed: "
                                f"{sorted(totals)}")
            # Ended: another phase followed, or the run (this device's part) succeeded.
            ended = index + 1 < len(phases) or (
                ok_devices and device in ok_devices) or (not ok_devices and exit_code == 0)
            if ended and steps[-1]["done"] != steps[-1]["total"]:
                problems.append(f"{device or 'the device'}: {phase} ended at "
                                f"{steps[-1]['done']} of {steps[-1]['total']}")
    return problems


def check_case(validator, program, files, case):
    name, args, codes, interrupt_when = case
    args = [a.format(**files) for a in args] + ["--json"]
    code, lines = run(program, args, interrupt_when)
    problems = []
    if code not in codes:
        problems.append(f"exit code {code}, wanted {sorted(codes)}")
    objects = []
    for number, line in enumerate(lines, 1):
        try:
            obj = json.loads(line)
        except ValueError:
            problems.append(f"line {number} is no JSON: {line[:120]}")
            continue
        objects.append(obj)
        for error in validator.iter_errors(obj):
            path = "/".join(str(p) for p in error.absolute_path)
            problems.append(f"line {number} ({obj.get('event')}) {path}: {error.message}")
    results = [i for i, o in enumerate(objects) if o.get("event") == "result"]
    if not objects or results != [len(objects) - 1]:
        problems.append(f"the result is not the one last object (results at {results} "
                        f"of {len(objects)} objects)")
    elif objects[-1]["exit_code"] != code:
        problems.append(f"the result says exit code {objects[-1]['exit_code']}, the program {code}")
    if objects and "devices" in objects[-1]:
        unnamed = [o["event"] for o in objects[:-1] if "device" not in o]
        if unnamed:
            problems.append(f"objects without their device on several devices: {unnamed}")
    problems += phase_rules(objects, code)
    return [f"{name} ({' '.join(args)}): {p}" for p in problems]


def main():
    if len(sys.argv) != 3:
        print("usage: cli_json_schema.py VORNEX_CLI SCHEMA", file=sys.stderr)
        return 2
    program, schema_path = sys.argv[1], sys.argv[2]
    with open(schema_path) as f:
        schema = json.load(f)
    validator_class = jsonschema.validators.validator_for(schema)
    validator_class.check_schema(schema)
    validator = validator_class(schema)
    failures = []
    with tempfile.TemporaryDirectory(prefix="cli_json_schema_") as directory:
        files = make_files(program, directory)
        # The runs are independent; most of their time is the device's time-outs.
        with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
            for problems in pool.map(lambda c: check_case(validator, program, files, c), CASES):
                failures += problems
    for failure in failures:
        print("FAIL", failure)
    print(f"{len(CASES)} runs, {len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
