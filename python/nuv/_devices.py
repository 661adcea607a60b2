"""Attached devices, the emulated device, and opening the device a call names."""

from __future__ import annotations

import ctypes
import os
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass

from nuv import _native
from nuv._outcome import NoDevice, Outcome


@dataclass(frozen=True)
class DeviceInfo:
    """One attached update device, as ``vornex-cli list`` shows it.

    path:         its hidraw node ("/dev/hidraw3"); pass it as ``device=``.
    usb_port:     "1-3.2" (``device="usb:1-3.2"``), or None when not on USB.
    serial:       the HID serial number (``device="serial:A7C2"``), or None.
    manufacturer: "" when unknown.
    product:      "" when unknown.
    can_open:     whether this user may open it (see the udev rule when not).
    """

    path: str
    usb_port: str | None
    serial: str | None
    manufacturer: str
    product: str
    can_open: bool


def devices() -> list[DeviceInfo]:
    """The update devices (USB ffff:0100) attached now, in a stable order (vornex-cli list).

    Raises nuv.NoDevice when the devices cannot be listed (no udev).
    """
    lib = _native.library()
    handle = ctypes.c_void_p()
    error = _native.NuvError()
    status = lib.nuv_device_list_new(ctypes.byref(handle), ctypes.byref(error))
    if status != _native.OK:
        raise _no_device(_native.text(error.message))
    try:
        found = []
        info = _native.NuvDeviceInfo()
        for index in range(lib.nuv_device_list_count(handle)):
            lib.nuv_device_list_get(handle, index, ctypes.byref(info))
            found.append(DeviceInfo(
                path=_native.text(info.path),
                usb_port=_native.text(info.usb_port) if info.usb_port else None,
                serial=_native.text(info.serial) if info.serial else None,
                manufacturer=_native.text(info.manufacturer),
                product=_native.text(info.product),
                can_open=bool(info.can_open),
            ))
        return found
    finally:
        lib.nuv_device_list_free(handle)


class Emulator:
    """An emulated update device in this process, for tests and trials; pass it as ``device=``.

    latency_ms: how long each reply takes (0: at once).
    version:    the four version characters the device reports.
    fault:      what it does wrong, as vornex-cli's --sim-fault spells it
                ("no-reply@0x2000", "wrong-address@write+", "unplug@#10"), or a list of them.

    Its memory starts filled with 0x5A, "the old firmware"; ``memory()`` returns what it holds.
    Use it as a context manager, or call ``close()``. Raises ValueError for a fault or version
    that the device cannot take.
    """

    def __init__(self, latency_ms: int = 0, version: str = "1.01",
                 fault: str | Sequence[str] | None = None) -> None:
        lib = _native.library()
        faults = [fault] if isinstance(fault, str) else list(fault or [])
        encoded = (ctypes.c_char_p * max(len(faults), 1))(*[f.encode() for f in faults])
        options = _native.NuvEmulatorOptions()
        lib.nuv_emulator_options_init(ctypes.byref(options))
        options.latency_ms = int(latency_ms)
        options.version = version.encode()
        options.faults = encoded
        options.fault_count = len(faults)
        self._handle = ctypes.c_void_p()
        error = _native.NuvError()
        status = lib.nuv_emulator_new(ctypes.byref(options), ctypes.byref(self._handle),
                                      ctypes.byref(error))
        if status != _native.OK:
            raise ValueError(_native.text(error.message) or "the emulated device cannot be made")

    def memory(self) -> bytes:
        """The 65,536 bytes the device holds now (address 0 first)."""
        out = (ctypes.c_uint8 * _native.IMAGE_SIZE)()
        status = _native.library().nuv_emulator_memory(self._live(), out, len(out), None)
        if status != _native.OK:
            raise RuntimeError("nuv_emulator_memory failed")
        return bytes(out)

    def close(self) -> None:
        """Frees the device; a flow still running on it keeps it until it ends."""
        if self._handle:
            _native.library().nuv_emulator_free(self._handle)
            self._handle = ctypes.c_void_p()

    def _live(self) -> ctypes.c_void_p:
        if not self._handle:
            raise ValueError("the emulator was closed")
        return self._handle

    def __enter__(self) -> Emulator:
        return self

    def __exit__(self, *_: object) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:  # the library may be gone at interpreter exit
            pass



def _no_device(message: str) -> NoDevice:
    """The error of a device that cannot be had, with the engine's advice for no_device."""
    raw = _native.NuvResult(outcome=_native.OUTCOME_NO_DEVICE, step=_native.STEP_LINK,
                            address=-1, reason=_native.REASON_NONE)
    advice = _native.text(_native.library().nuv_result_advice(raw))
    return NoDevice(message, Outcome(outcome="no_device", step="link", advice=advice))


@contextmanager
def opened(device: str | os.PathLike[str] | Emulator | None) -> Iterator[ctypes.c_void_p]:
    """The device `device` names, opened for the length of the block.

    Raises nuv.NoDevice when there is none, when several are attached and none is named, or
    when this user may not open it.
    """
    lib = _native.library()
    handle = ctypes.c_void_p()
    error = _native.NuvError()
    if isinstance(device, Emulator):
        status = lib.nuv_device_open_emulator(device._live(), ctypes.byref(handle),
                                              ctypes.byref(error))
    else:
        selector = os.fsencode(device) if device is not None else None
        status = lib.nuv_device_open(selector, ctypes.byref(handle), ctypes.byref(error))
    if status != _native.OK:
        raise _no_device(_native.text(error.message))
    try:
        yield handle
    finally:
        lib.nuv_device_free(handle)
