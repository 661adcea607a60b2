"""version, download and verify: the C library's blocking flows, run in a worker thread so that
the calling thread stays free to see Ctrl-C and to call progress."""

from __future__ import annotations

import ctypes
import os
import threading
from collections import deque
from collections.abc import Callable

from nuv import _native
from nuv._devices import Emulator, opened
from nuv._images import check_image, read_image
from nuv._outcome import Outcome, error_for, outcome_of

Progress = Callable[[int, int, int], object]

# How often the calling thread looks at the flow: for progress, a cancel event and Ctrl-C.
_POLL_SECONDS = 0.05


def _flow_number(flow: str) -> int:
    if flow not in _native.FLOWS:
        raise ValueError(f'flow must be "strict" or "echo", not {flow!r}')
    return _native.FLOWS[flow]


def _stall_ms(stall_timeout: float | None) -> int:
    if stall_timeout is None or stall_timeout == 0:
        return 0
    if stall_timeout < 0:
        raise ValueError("stall_timeout must be 0 (wait for ever) or more")
    return max(1, round(stall_timeout * 1000))


class _Run:
    """One blocking C call on a worker thread, watched from the calling thread."""

    def __init__(self, handle: ctypes.c_void_p, options: _native.NuvRunOptions,
                 progress: Progress | None, cancel: threading.Event | None) -> None:
        self._handle = handle
        self._options = options
        self._progress = progress
        self._cancel = cancel
        self._reports: deque[tuple[int, int, int]] = deque()
        # Kept referenced while the C call runs: ctypes frees a callback object's thunk with it.
        self._callback = _native.PROGRESS_FN(self._on_progress) if progress else None
        if self._callback is not None:
            options.progress = self._callback

    def _on_progress(self, _user: object, done: int, total: int, address: int) -> None:
        self._reports.append((done, total, address))

    def _deliver(self) -> None:
        """Calls progress with the latest report, and with every report that ends a phase."""
        if self._progress is None:
            return
        latest = None
        while self._reports:
            latest = self._reports.popleft()
            if latest[0] == latest[1]:
                self._progress(*latest)
                latest = None
        if latest is not None:
            self._progress(*latest)

    def __call__(self, call: Callable[[_native.NuvResult], int]) -> tuple[int, Outcome]:
        result = _native.NuvResult()
        box: dict[str, int] = {}
        # The worker says it is done with an event of its own: a Thread.join() that Ctrl-C
        # interrupts can leave the thread looking finished while it still runs.
        finished = threading.Event()

        def work() -> None:
            try:
                box["status"] = call(result)
            finally:
                finished.set()

        threading.Thread(target=work, name="nuv-flow", daemon=True).start()
        try:
            while not finished.wait(_POLL_SECONDS):
                self._deliver()
                if self._cancel is not None and self._cancel.is_set():
                    _native.library().nuv_device_cancel(self._handle)
        except BaseException as interrupt:
            # Ctrl-C, or progress raised: the flow is cancelled, and ends as it leaves the
            # device, before the exception goes on with how the flow ended as its cause.
            _native.library().nuv_device_cancel(self._handle)
            self._wait(finished)
            if box.get("status") == _native.E_FAILED:
                raise interrupt from error_for(outcome_of(result))
            raise
        self._deliver()
        return box.get("status", _native.E_INTERNAL), outcome_of(result)

    @staticmethod
    def _wait(finished: threading.Event) -> None:
        while True:
            try:
                finished.wait()
                return
            except KeyboardInterrupt:  # a second Ctrl-C: the cancel is on its way
                continue


def _run(device: str | os.PathLike[str] | Emulator | None, flow: str, function: str,
         image: bytes | None, *, verify: bool = False, progress: Progress | None = None,
         stall_timeout: float | None = 10.0, cancel: threading.Event | None = None) -> Outcome:
    lib = _native.library()
    options = _native.NuvRunOptions()
    lib.nuv_run_options_init(ctypes.byref(options))
    options.flow = _flow_number(flow)
    options.verify = 1 if verify else 0
    options.stall_timeout_ms = _stall_ms(stall_timeout)
    with opened(device) as handle:
        run = _Run(handle, options, progress, cancel)
        c_function = getattr(lib, function)
        if image is None:
            status, outcome = run(lambda r: c_function(handle, ctypes.byref(options),
                                                       ctypes.byref(r)))
        else:
            status, outcome = run(lambda r: c_function(handle, image, len(image),
                                                       ctypes.byref(options), ctypes.byref(r)))
    if status == _native.OK:
        return outcome
    if status != _native.E_FAILED:
        raise RuntimeError(f"{function}: {_native.text(lib.nuv_status_name(status))}")
    raise error_for(outcome)


def read_version(device: str | os.PathLike[str] | Emulator | None = None,
                 flow: str = "strict") -> str:
    """Ask the device for its firmware version (vornex-cli version).

    device  the device: a node path ("/dev/hidraw3"), "usb:PORT", "serial:TEXT", or an
            nuv.Emulator; None takes the one attached device (refused when several are).
    flow    "strict" (Vornex's flow, the default) or "echo" (QuenlorHID's, which resets the
            device first).

    Returns the version as every front end spells it: "1.01".
    Raises  nuv.NoDevice, nuv.ExchangeFailed; KeyboardInterrupt after a Ctrl-C ended the query.
    """
    outcome = _run(device, flow, "nuv_read_version", None)
    return outcome.device_version or ""


def download(image: str | os.PathLike[str] | bytes, device: str | os.PathLike[str] | Emulator |
             None = None, flow: str = "strict", verify: bool = False,
             progress: Progress | None = None, stall_timeout: float | None = 10.0, *,
             cancel: threading.Event | None = None) -> Outcome:
    """Write an update image into the device (vornex-cli download IMAGE).

    image          the .nuv image: a path, or its 65,536 bytes. It is checked before any
                   device is looked for.
    device         a node path ("/dev/hidraw3"), "usb:PORT", "serial:TEXT", or an
                   nuv.Emulator; None takes the one attached device (refused when several are).
    flow           "strict": Vornex's flow (the default): checks the image's size and version
                   and the device's version before it erases anything; a time-out of about
                   4 s on every exchange.
                   "echo": QuenlorHID's flow: checks the device's echo of every Write; no
                   time-outs but the stall limit.
    verify         read the image back afterwards and compare (vornex-cli download --verify).
    progress       progress(done, total, address), called on this thread as the flow
                   advances: bytes done of total, and the address in hand. An exception it
                   raises cancels the flow and is raised again.
    stall_timeout  echo flow: seconds a reply may be awaited before the flow ends as
                   "stalled"; 0 or None waits for ever, as QuenlorHID does (default 10).
    cancel         a threading.Event; setting it (from any thread) cancels the flow.

    Returns nuv.Outcome with outcome "completed", the device's version and its state "burnt".
    Raises
        nuv.ImageRefused          the image is refused; nothing was sent
        nuv.FileError             the image file cannot be read
        nuv.NoDevice              no device, several and none named, or no permission
        nuv.DeviceVersionRefused  the device's version is not one the image is for
        nuv.ExchangeFailed        timeout, no_response, data_error, write_failed,
                                  echo_mismatch, device_gone, stalled
        nuv.VerifyMismatch        with verify: the device does not hold the image
        nuv.Cancelled             the cancel event was set
        KeyboardInterrupt         Ctrl-C: the flow was cancelled first, leaving the device as
                                  the flow leaves it (the Cancelled error is its __cause__)
    Each nuv.Error says where the flow stopped (step, address), what the device holds now
    (device_state) and what to do (its message, and .result.advice).

    Example:
        with nuv.Emulator() as device:
            nuv.download("UPDATA.nuv", device, verify=True)
    """
    _flow_number(flow)
    data = read_image(image)
    check_image(data, flow)
    return _run(device, flow, "nuv_download", data, verify=verify, progress=progress,
                stall_timeout=stall_timeout, cancel=cancel)


def verify(image: str | os.PathLike[str] | bytes,
           device: str | os.PathLike[str] | Emulator | None = None, *, flow: str = "strict",
           progress: Progress | None = None, cancel: threading.Event | None = None) -> Outcome:
    """Read the device's memory back and compare it with the image (vornex-cli verify IMAGE).

    image     the .nuv image: a path, or its 65,536 bytes.
    device    as for download; None takes the one attached device.
    flow      "echo" also compares 0xFC00..0xFFFF, which the echo download fills with zeros.
    progress  progress(done, total, address), as for download.
    cancel    a threading.Event that cancels the read-back when set.

    Returns nuv.Outcome with outcome "completed" when the device holds the image.
    Raises  nuv.VerifyMismatch (address: the first that differs; mismatched_bytes),
            nuv.ImageRefused (size), nuv.FileError, nuv.NoDevice, nuv.ExchangeFailed,
            nuv.Cancelled; KeyboardInterrupt after Ctrl-C.
    """
    _flow_number(flow)
    data = read_image(image)
    check_image(data, "echo")  # the read-back looks at the size alone
    return _run(device, flow, "nuv_verify", data, progress=progress, cancel=cancel)
