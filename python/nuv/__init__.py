"""nuv: the NUV firmware updater from Python.

Writes a .nuv update image into the NUV update device (USB HID, vendor 0xFFFF, product 0x0100),
reads it back, asks for its version, checks, packs and unpacks images, and emulates the device
in the process for tests; the same flows and outcome names as vornex-cli::

    import nuv

    with nuv.Emulator() as device:                   # or device="usb:1-4", "/dev/hidraw3", ...
        firmware = b"V1.01 my board  " + bytes(64512 - 16)
        outcome = nuv.download(nuv.pack(firmware), device, verify=True)
        print(outcome.outcome, outcome.device_version)   # completed 1.01

The package is a thin layer over the C library libnuv.so.1 (package libnuv1), called with
ctypes from the standard library: there is nothing to compile, so it installs offline and works
with Debian's /usr/bin/python3 and any other Python 3.9 or later. The library is the installed
one, or the file that the environment variable NUV_LIBRARY names (a build tree's, for tests).

Blocking calls run in a worker thread while the calling thread waits, so Ctrl-C cancels a
download (the device is left as the flow leaves it, then KeyboardInterrupt is raised) and
progress is called on the calling thread. Several devices may be driven from several threads
at once.
"""

from nuv._devices import DeviceInfo, Emulator, devices
from nuv._flows import download, read_version, verify
from nuv._images import ImageInfo, inspect, pack, unpack
from nuv._outcome import (
    Cancelled,
    DeviceVersionRefused,
    Error,
    ExchangeFailed,
    FileError,
    ImageRefused,
    NoDevice,
    Outcome,
    VerifyMismatch,
)

__all__ = [
    "Cancelled",
    "DeviceInfo",
    "DeviceVersionRefused",
    "Emulator",
    "Error",
    "ExchangeFailed",
    "FileError",
    "ImageInfo",
    "ImageRefused",
    "NoDevice",
    "Outcome",
    "VerifyMismatch",
    "devices",
    "download",
    "inspect",
    "pack",
    "read_version",
    "unpack",
    "verify",
]

__version__ = "1.1.0"
