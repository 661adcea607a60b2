"""The Python package on the emulated device: how each fault ends, a download compared byte for
byte, refusals, cancel and Ctrl-C, and four devices from four threads."""

from __future__ import annotations

import os
import signal
import threading
from concurrent.futures import ThreadPoolExecutor

import pytest

import nuv
from conftest import make_firmware

ERASED = 0xFF


# fault, flow, stall limit, exception, outcome, step, address, what the device holds
OUTCOMES = [
    ("no-reply@0x2000", "strict", 10, nuv.ExchangeFailed, "timeout", "write", 0x2000,
     "partly_written"),
    ("code-zero@link", "strict", 10, nuv.ExchangeFailed, "no_response", "link", None,
     "untouched"),
    ("wrong-address@0x2000", "strict", 10, nuv.ExchangeFailed, "data_error", "write", 0x2000,
     "partly_written"),
    ("write-failure@format", "strict", 10, nuv.ExchangeFailed, "write_failed", "erase", None,
     "untouched"),
    ("unplug@0x1000", "strict", 10, nuv.ExchangeFailed, "device_gone", "write", 0x1000,
     "partly_written"),
    ("wrong-data@0x3000", "echo", 10, nuv.ExchangeFailed, "echo_mismatch", "write", 0x3000,
     "partly_written"),
    ("no-reply@link+", "echo", 0.2, nuv.ExchangeFailed, "stalled", "link", None, "untouched"),
]


@pytest.mark.parametrize("fault,flow,stall,kind,outcome,step,address,state", OUTCOMES,
                         ids=[row[4] for row in OUTCOMES])
def test_each_fault_ends_with_its_outcome(image, fault, flow, stall, kind, outcome, step,
                                          address, state):
    with nuv.Emulator(fault=fault) as device, pytest.raises(kind) as raised:
        nuv.download(image, device, flow=flow, stall_timeout=stall)
    error = raised.value
    assert (error.outcome, error.step, error.address, error.device_state) == (
        outcome, step, address, state)
    assert error.result.advice and error.result.advice in str(error)


def test_refused_device_version_and_a_device_that_does_not_hold_the_image(image):
    with nuv.Emulator(version="2.00") as device, pytest.raises(nuv.DeviceVersionRefused) as e:
        nuv.download(image, device)
    assert (e.value.step, e.value.device_version, e.value.device_state) == (
        "version", "2.00", "untouched")
    with nuv.Emulator() as fresh, pytest.raises(nuv.VerifyMismatch) as mismatch:
        nuv.verify(image, fresh)  # it holds the "old firmware", 0x5A everywhere
    assert (mismatch.value.step, mismatch.value.address) == ("read", 0)
    assert mismatch.value.mismatched_bytes > 60000


def test_download_leaves_the_image_in_the_device_byte_for_byte(image, tmp_path):
    path = tmp_path / "UPDATA.nuv"
    path.write_bytes(image)
    seen = []
    with nuv.Emulator() as device:
        outcome = nuv.download(str(path), device, verify=True,
                               progress=lambda *report: seen.append(report))
        assert (outcome.outcome, outcome.device_version, outcome.device_state) == (
            "completed", "1.01", "burnt")
        assert device.memory()[:64512] == nuv.unpack(image)
        assert nuv.read_version(device) == "1.01"
    done, total, _ = seen[-1]
    assert done == total == 64512


def test_refusals_come_before_any_device_and_say_why(image, tmp_path):
    # No device is named, and none is attached: the image is refused first all the same.
    with pytest.raises(nuv.ImageRefused) as short:
        nuv.download(image[:1000])
    assert (short.value.reason, short.value.step, short.value.device_state) == (
        "size", "image", "untouched")
    renamed = b"V2.00" + image[5:]
    with pytest.raises(nuv.ImageRefused) as version:
        nuv.download(renamed)
    assert version.value.reason == "version"
    assert nuv.inspect(renamed).refusal == "Version is error"
    with pytest.raises(nuv.FileError):
        nuv.download(tmp_path / "missing.nuv")
    with pytest.raises(nuv.NoDevice) as none:
        nuv.read_version("serial:NO-SUCH-BOARD")
    assert none.value.outcome == "no_device"
    with pytest.raises(ValueError):
        nuv.Emulator(fault="no-reply@nowhere")
    with pytest.raises(ValueError):
        nuv.download(image, nuv.Emulator(), flow="fast")
    with pytest.raises(ValueError):
        nuv.pack(b"too short")


def _interrupt_when(started: threading.Event) -> threading.Thread:
    def press_ctrl_c():
        started.wait(30)
        os.kill(os.getpid(), signal.SIGINT)

    thread = threading.Thread(target=press_ctrl_c)
    thread.start()
    return thread


def test_cancel_and_ctrl_c_leave_the_device_as_the_flow_leaves_it(image):
    firmware = nuv.unpack(image)
    with nuv.Emulator(latency_ms=1) as device:
        cancel = threading.Event()

        def cancel_at_0x400(done, total, address):
            if done >= 0x400:
                cancel.set()

        with pytest.raises(nuv.Cancelled) as cancelled:
            nuv.download(image, device, progress=cancel_at_0x400, cancel=cancel)
        assert (cancelled.value.step, cancelled.value.device_state) == ("write", "partly_written")
        memory = device.memory()
        assert memory[:0x400] == firmware[:0x400] and memory[0x8000] == ERASED

    with nuv.Emulator(latency_ms=1) as device:
        started = threading.Event()
        presser = _interrupt_when(started)
        with pytest.raises(KeyboardInterrupt) as interrupted:
            nuv.download(image, device, progress=lambda done, *_: done and started.set())
        presser.join()
        cause = interrupted.value.__cause__
        assert isinstance(cause, nuv.Cancelled) and cause.device_state == "partly_written"
        assert device.memory()[0x8000] == ERASED


def test_four_devices_from_four_threads_at_once():
    images = [nuv.pack(make_firmware(seed)) for seed in range(4)]
    emulators = [nuv.Emulator(latency_ms=0) for _ in images]
    with ThreadPoolExecutor(max_workers=4) as pool:
        outcomes = list(pool.map(lambda pair: nuv.download(pair[0], pair[1], verify=True),
                                 zip(images, emulators)))
    assert [o.outcome for o in outcomes] == ["completed"] * 4
    for image, emulator in zip(images, emulators):
        assert emulator.memory()[:64512] == nuv.unpack(image)
        emulator.close()
