#!/usr/bin/python3
"""CPU time per exchange of `vornex-cli download --sim --sim-latency 0` (strict flow).

Runs each vornex-cli given, in turn, ROUNDS times (alternating, so that both see the same
machine), and prints the median user + system time of the child divided by the 16,132
exchanges of a strict download (Link, Version, Format, 16,128 Writes, Burn). Compare two
builds back to back:

    /usr/bin/python3 bench/cli_cpu_per_exchange.py old/vornex-cli build/cli/vornex-cli
"""

import os
import resource
import statistics
import subprocess
import sys
import tempfile

EXCHANGES = 16132
ROUNDS = 7


def sample_image(directory: str, program: str) -> str:
    """Packs a firmware that the strict flow accepts into an update image."""
    firmware = bytearray(b"V1.01 bench     ")
    while len(firmware) < 64512:
        firmware += bytes(range(256))
    raw = os.path.join(directory, "firmware.bin")
    with open(raw, "wb") as f:
        f.write(firmware[:64512])
    image = os.path.join(directory, "UPDATA.nuv")
    subprocess.run([program, "pack", raw, "-o", image, "--force"], check=True,
                   stdout=subprocess.DEVNULL)
    return image


def cpu_seconds(program: str, image: str) -> float:
    """The user + system time of one download by `program`."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    subprocess.run([program, "download", image, "--sim", "--sim-latency", "0"], check=True,
                   stdout=subprocess.DEVNULL)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def main(programs: list[str]) -> int:
    if not programs:
        print(__doc__, file=sys.stderr)
        return 2
    with tempfile.TemporaryDirectory() as directory:
        image = sample_image(directory, programs[-1])
        times: dict[str, list[float]] = {p: [] for p in programs}
        for _ in range(ROUNDS):
            for program in programs:
                times[program].append(cpu_seconds(program, image))
    for program in programs:
        median = statistics.median(times[program])
        print(f"{program}: {median * 1e6 / EXCHANGES:.2f} us CPU per exchange "
              f"(median of {ROUNDS}, {median:.3f} s per download)")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
