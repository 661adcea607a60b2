#!/usr/bin/env python3
"""A production rig: flash every attached update device with one image, read it back, and write
one line per board, then a summary. Exit status 0 only when every board took the image.

    examples/rig.py UPDATA.nuv               every device attached now
    examples/rig.py UPDATA.nuv --sim 4       four emulated devices, to try it (the third has a
                                             flaky cable: it stops answering at 0x4000)

Boards are flashed at once, one thread each; a board that fails never stops the others.
Ctrl-C cancels every board and leaves each as its flow leaves it.
"""

from __future__ import annotations

import argparse
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor, as_completed

import nuv


def flash(image: bytes, name: str, device: str | nuv.Emulator,
          stop: threading.Event) -> tuple[bool, str]:
    """Downloads and verifies one board; its line for the log."""
    started = time.monotonic()
    try:
        outcome = nuv.download(image, device, verify=True, cancel=stop)
    except nuv.Error as error:
        where = error.step + (f" at 0x{error.address:04X}" if error.address is not None else "")
        return False, (f"{name}  FAIL  {error.outcome} ({where}); device "
                       f"{error.device_state.replace('_', ' ')}; {error.result.advice}")
    seconds = time.monotonic() - started
    return True, f"{name}  OK    firmware {outcome.device_version}, verified, {seconds:.1f} s"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("image", help="the .nuv update image")
    parser.add_argument("--sim", type=int, metavar="N", help="flash N emulated devices instead")
    args = parser.parse_args()

    try:
        info = nuv.inspect(args.image)
    except nuv.FileError as error:
        print(f"rig: {error}", file=sys.stderr)
        return 2
    if not info.accepted:
        print(f"rig: {args.image}: {info.reason_text}; nothing was flashed", file=sys.stderr)
        return 2
    with open(args.image, "rb") as file:
        image = file.read()

    if args.sim:
        boards = {f"sim-{n}": nuv.Emulator(fault="no-reply@0x4000" if n == 3 else None)
                  for n in range(1, args.sim + 1)}
    else:
        boards = {d.serial or d.usb_port or d.path: d.path for d in nuv.devices()}
    if not boards:
        print("rig: no update device is attached", file=sys.stderr)
        return 3

    stop = threading.Event()
    results: list[bool] = []
    with ThreadPoolExecutor(max_workers=len(boards)) as pool:
        jobs = {pool.submit(flash, image, name, device, stop) for name, device in boards.items()}
        while jobs:
            try:
                for job in as_completed(jobs):
                    jobs.discard(job)
                    ok, line = job.result()
                    print(line, flush=True)
                    results.append(ok)
            except KeyboardInterrupt:
                stop.set()  # every board's flow ends as cancelled; their lines still come
    good = sum(results)
    print(f"{good} of {len(results)} boards flashed and verified")
    return 0 if good == len(results) else 1

if __name__ == "__main__":
    sys.exit(main())
