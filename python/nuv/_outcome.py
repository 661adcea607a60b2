"""How a flow ended, and the exceptions of the flows that did not complete."""

from __future__ import annotations

from dataclasses import dataclass

from nuv import _native


@dataclass(frozen=True)
class Outcome:
    """The end of a flow, in the names every front end uses (vornex-cli's JSON among them).

    outcome:          "completed", "cancelled", "no_device", "image_refused",
                      "device_version_refused", "timeout", "no_response", "data_error",
                      "write_failed", "echo_mismatch", "device_gone", "stalled",
                      "verify_mismatch" or "file_error".
    step:             where the flow was: "image", "link", "version", "erase", "write", "burn",
                      "read".
    address:          the Write's or Read's address in question (the first that differs for
                      verify_mismatch), or None.
    device_state:     what the flow left on the device: "untouched", "erased",
                      "partly_written", "burnt".
    device_version:   what the device reported ("1.01"), or None when it did not.
    reason:           why an image was refused ("size", "version", "unreadable"), or None.
    mismatched_bytes: verify_mismatch: how many bytes differ.
    advice:           what to do next, "" for a completed flow.
    message:          what the link said when a report could not go through, or "".
    """

    outcome: str
    step: str
    address: int | None = None
    device_state: str = "untouched"
    device_version: str | None = None
    reason: str | None = None
    mismatched_bytes: int = 0
    advice: str = ""
    message: str = ""

    @property
    def ok(self) -> bool:
        """True when the flow completed."""
        return self.outcome == "completed"


def outcome_of(result: _native.NuvResult) -> Outcome:
    """The Outcome that the C library's result tells."""
    lib = _native.library()
    return Outcome(
        outcome=_native.text(lib.nuv_outcome_name(result.outcome)),
        step=_native.text(lib.nuv_step_name(result.step)),
        address=result.address if result.address >= 0 else None,
        device_state=_native.text(lib.nuv_device_state_name(result.device_state)),
        device_version=_native.text(result.device_version) or None,
        reason=_native.text(lib.nuv_reason_name(result.reason)) or None,
        mismatched_bytes=result.mismatched_bytes,
        advice=_native.text(lib.nuv_result_advice(result)),
        message=_native.text(result.message),
    )


class Error(Exception):
    """A flow that did not complete. Its attributes say how it ended (see Outcome):
    ``outcome``, ``step``, ``address``, ``device_state``, ``device_version``, and
    ``result``, the whole Outcome."""

    def __init__(self, message: str, result: Outcome) -> None:
        super().__init__(message)
        self.result = result
        self.outcome = result.outcome
        self.step = result.step
        self.address = result.address
        self.device_state = result.device_state
        self.device_version = result.device_version


class NoDevice(Error):
    """No update device to work on: none attached, none that the selector names, several
    attached and none named, or one this user may not open (no_device)."""


class ImageRefused(Error):
    """The image was refused before anything was sent (image_refused); ``reason`` says why:
    "size" or "version"."""

    @property
    def reason(self) -> str | None:
        """Why: "size" or "version"."""
        return self.result.reason


class DeviceVersionRefused(Error):
    """The device's firmware version is not one the image is for; nothing was erased
    (device_version_refused)."""


class ExchangeFailed(Error):
    """The device answered wrongly, late or not at all, or went away: timeout, no_response,
    data_error, write_failed, echo_mismatch, device_gone or stalled. ``device_state`` says
    what the device holds now."""


class VerifyMismatch(Error):
    """The device's memory differs from the image (verify_mismatch): ``address`` is the first
    address that differs, ``mismatched_bytes`` how many bytes do."""

    @property
    def mismatched_bytes(self) -> int:
        """How many bytes differ."""
        return self.result.mismatched_bytes


class Cancelled(Error):
    """The flow was cancelled; ``device_state`` says what it left on the device."""


class FileError(Error):
    """The update image could not be read (file_error)."""


_EXCEPTIONS: dict[str, type[Error]] = {
    "no_device": NoDevice,
    "image_refused": ImageRefused,
    "device_version_refused": DeviceVersionRefused,
    "verify_mismatch": VerifyMismatch,
    "cancelled": Cancelled,
    "file_error": FileError,
}


def _describe(result: Outcome) -> str:
    where = f"{result.step}" + (f" at 0x{result.address:04X}" if result.address is not None
                                else "")
    words = f"{result.outcome} ({where}; the device is {result.device_state.replace('_', ' ')})"
    if result.reason:
        words = f"{result.outcome}: {result.reason} ({where})"
    if result.message:
        words += f": {result.message}"
    return f"{words}. {result.advice}".rstrip(". ") + "."


def error_for(result: Outcome, message: str | None = None) -> Error:
    """The exception of a flow that ended as `result`."""
    kind = _EXCEPTIONS.get(result.outcome, ExchangeFailed)
    return kind(message or _describe(result), result)
