"""The C library under the package: loading libnuv.so.1 and the prototypes of its functions.

Nothing here is public; the rest of the package calls ``library()``.
"""

from __future__ import annotations

import ctypes
import functools
import os

IMAGE_SIZE = 65536
FIRMWARE_SIZE = 64512

# nuv_status
OK = 0
E_ARGUMENT = 1
E_NO_DEVICE = 2
E_AMBIGUOUS = 3
E_ACCESS = 4
E_FAILED = 5
E_IMAGE = 6
E_FILE = 7
E_BUFFER = 8
E_UNSUPPORTED = 9
E_INTERNAL = 10

FLOWS = {"strict": 0, "echo": 1}

# The values of nuv_outcome, nuv_step and nuv_reason that the package itself fills in.
OUTCOME_NO_DEVICE = 2
STEP_LINK = 1
REASON_NONE = -1


class NuvError(ctypes.Structure):
    _fields_ = [("message", ctypes.c_char * 256)]


class NuvResult(ctypes.Structure):
    _fields_ = [
        ("outcome", ctypes.c_int),
        ("step", ctypes.c_int),
        ("address", ctypes.c_int32),
        ("device_version", ctypes.c_char * 16),
        ("device_state", ctypes.c_int),
        ("reason", ctypes.c_int),
        ("mismatched_bytes", ctypes.c_uint32),
        ("message", ctypes.c_char * 256),
    ]


class NuvImageInfo(ctypes.Structure):
    _fields_ = [
        ("size", ctypes.c_uint64),
        ("header", ctypes.c_char * 72),
        ("version", ctypes.c_char * 24),
        ("accepted", ctypes.c_int),
        ("reason", ctypes.c_int),
        ("refusal", ctypes.c_char * 32),
        ("reason_text", ctypes.c_char * 192),
    ]


class NuvDeviceInfo(ctypes.Structure):
    _fields_ = [
        ("path", ctypes.c_char_p),
        ("usb_port", ctypes.c_char_p),
        ("serial", ctypes.c_char_p),
        ("manufacturer", ctypes.c_char_p),
        ("product", ctypes.c_char_p),
        ("can_open", ctypes.c_int),
        ("access_detail", ctypes.c_char_p),
    ]


class NuvEmulatorOptions(ctypes.Structure):
    _fields_ = [
        ("latency_ms", ctypes.c_uint32),
        ("version", ctypes.c_char_p),
        ("faults", ctypes.POINTER(ctypes.c_char_p)),
        ("fault_count", ctypes.c_size_t),
    ]


PROGRESS_FN = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_uint32, ctypes.c_uint32,
                               ctypes.c_uint32)
STEP_FN = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_int)
LOG_FN = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_char_p)


class NuvRunOptions(ctypes.Structure):
    _fields_ = [
        ("flow", ctypes.c_int),
        ("verify", ctypes.c_int),
        ("stall_timeout_ms", ctypes.c_uint32),
        ("progress", PROGRESS_FN),
        ("step", STEP_FN),
        ("log", LOG_FN),
        ("user", ctypes.c_void_p),
    ]


_p = ctypes.POINTER
_u8p = _p(ctypes.c_uint8)
_size_p = _p(ctypes.c_size_t)
_handle = ctypes.c_void_p

_PROTOTYPES = {
    "nuv_status_name": (ctypes.c_char_p, [ctypes.c_int]),
    "nuv_library_version": (ctypes.c_char_p, []),
    "nuv_outcome_name": (ctypes.c_char_p, [ctypes.c_int]),
    "nuv_step_name": (ctypes.c_char_p, [ctypes.c_int]),
    "nuv_device_state_name": (ctypes.c_char_p, [ctypes.c_int]),
    "nuv_reason_name": (ctypes.c_char_p, [ctypes.c_int]),
    "nuv_result_advice": (ctypes.c_char_p, [_p(NuvResult)]),
    "nuv_image_inspect": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_size_t, _p(NuvImageInfo)]),
    "nuv_image_inspect_file": (ctypes.c_int, [ctypes.c_char_p, _p(NuvImageInfo), _p(NuvError)]),
    "nuv_image_check": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_int,
                                       _p(NuvResult)]),
    "nuv_image_pack": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_uint8, _u8p,
                                      ctypes.c_size_t, _size_p]),
    "nuv_image_unpack": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_size_t, _u8p, ctypes.c_size_t,
                                        _size_p]),
    "nuv_device_list_new": (ctypes.c_int, [_p(_handle), _p(NuvError)]),
    "nuv_device_list_count": (ctypes.c_size_t, [_handle]),
    "nuv_device_list_get": (ctypes.c_int, [_handle, ctypes.c_size_t, _p(NuvDeviceInfo)]),
    "nuv_device_list_free": (None, [_handle]),
    "nuv_emulator_options_init": (None, [_p(NuvEmulatorOptions)]),
    "nuv_emulator_new": (ctypes.c_int, [_p(NuvEmulatorOptions), _p(_handle), _p(NuvError)]),
    "nuv_emulator_memory": (ctypes.c_int, [_handle, _u8p, ctypes.c_size_t, _size_p]),
    "nuv_emulator_free": (None, [_handle]),
    "nuv_device_open": (ctypes.c_int, [ctypes.c_char_p, _p(_handle), _p(NuvError)]),
    "nuv_device_open_emulator": (ctypes.c_int, [_handle, _p(_handle), _p(NuvError)]),
    "nuv_device_path": (ctypes.c_char_p, [_handle]),
    "nuv_device_cancel": (ctypes.c_int, [_handle]),
    "nuv_device_free": (None, [_handle]),
    "nuv_run_options_init": (None, [_p(NuvRunOptions)]),
    "nuv_read_version": (ctypes.c_int, [_handle, _p(NuvRunOptions), _p(NuvResult)]),
    "nuv_download": (ctypes.c_int, [_handle, ctypes.c_char_p, ctypes.c_size_t, _p(NuvRunOptions),
                                    _p(NuvResult)]),
    "nuv_verify": (ctypes.c_int, [_handle, ctypes.c_char_p, ctypes.c_size_t, _p(NuvRunOptions),
                                  _p(NuvResult)]),
}


@functools.lru_cache(maxsize=None)
def library() -> ctypes.CDLL:
    """libnuv.so.1: the file NUV_LIBRARY names (a build tree's, for tests), else the installed one.

    Raises OSError, saying how to get the library, when it cannot be loaded.
    """
    path = os.environ.get("NUV_LIBRARY") or "libnuv.so.1"
    try:
        lib = ctypes.CDLL(path)
    except OSError as error:
        raise OSError(f"cannot load {path} ({error}): install the libnuv1 package, or set "
                      "NUV_LIBRARY to the library's path") from None
    for name, (restype, argtypes) in _PROTOTYPES.items():
        function = getattr(lib, name)
        function.restype = restype
        function.argtypes = argtypes
    return lib


def text(raw: bytes | None) -> str:
    """A C string of the library as str (UTF-8; a byte that is not shows as U+FFFD)."""
    return raw.decode("utf-8", "replace") if raw else ""

