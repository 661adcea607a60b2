"""Update images without a device: inspect, pack, unpack, and reading an image given by path."""

from __future__ import annotations

import ctypes
import os
from dataclasses import dataclass

from nuv import _native
from nuv._outcome import FileError, ImageRefused, Outcome, outcome_of


@dataclass(frozen=True)
class ImageInfo:
    """What ``inspect`` tells of an image, as ``vornex-cli inspect`` does.

    size:        the file's size in bytes (an image has 65,536).
    header:      the 16 header bytes, a non-printable one as \\xNN.
    version:     "1.01" for an image that starts with "V1.01".
    accepted:    whether the strict flow takes it.
    reason:      "size" or "version" when refused, else None.
    refusal:     the strict program's own words ("Filesize is error", "Version is error").
    reason_text: the refusal explained for a person.
    """

    size: int
    header: str
    version: str
    accepted: bool
    reason: str | None
    refusal: str | None
    reason_text: str | None


def _info(raw: _native.NuvImageInfo) -> ImageInfo:
    lib = _native.library()
    return ImageInfo(
        size=raw.size,
        header=_native.text(raw.header),
        version=_native.text(raw.version),
        accepted=bool(raw.accepted),
        reason=_native.text(lib.nuv_reason_name(raw.reason)) or None,
        refusal=_native.text(raw.refusal) or None,
        reason_text=_native.text(raw.reason_text) or None,
    )


def inspect(image: str | os.PathLike[str] | bytes) -> ImageInfo:
    """Tell whether an update image would be taken, without any device (vornex-cli inspect).

    image: a path, or the image's bytes.
    Raises nuv.FileError when the file cannot be read.
    """
    lib = _native.library()
    raw = _native.NuvImageInfo()
    if isinstance(image, (bytes, bytearray, memoryview)):
        data = bytes(image)
        status = lib.nuv_image_inspect(data, len(data), ctypes.byref(raw))
        if status != _native.OK:
            raise ValueError(f"nuv_image_inspect: {_native.text(lib.nuv_status_name(status))}")
        return _info(raw)
    error = _native.NuvError()
    path = os.fsencode(image)
    if lib.nuv_image_inspect_file(path, ctypes.byref(raw), ctypes.byref(error)) != _native.OK:
        raise _file_error(os.fsdecode(path), _native.text(error.message))
    return _info(raw)


def _file_error(path: str, why: str) -> FileError:
    result = Outcome(outcome="file_error", step="image", reason="unreadable",
                     advice="The update image could not be read: check the file and run the "
                            "command again.")
    return FileError(f"{path}: {why}", result)


def read_image(image: str | os.PathLike[str] | bytes | bytearray | memoryview) -> bytes:
    """The bytes of an image given as bytes or by path. A file is read no further than an image
    goes (one byte more, so that a longer file is refused for its size)."""
    if isinstance(image, (bytes, bytearray, memoryview)):
        return bytes(image)
    try:
        with open(image, "rb") as file:
            return file.read(_native.IMAGE_SIZE + 1)
    except OSError as error:
        raise _file_error(os.fsdecode(image), error.strerror or str(error)) from error


def check_image(data: bytes, flow: str) -> None:
    """Raises nuv.ImageRefused when `flow`'s download would refuse `data`, before any device is
    looked for."""
    lib = _native.library()
    result = _native.NuvResult()
    if lib.nuv_image_check(data, len(data), _native.FLOWS[flow], ctypes.byref(result)) == _native.OK:
        return
    refused = outcome_of(result)
    why = ("an update image is exactly 65536 bytes" if refused.reason == "size"
           else 'an update image starts with "V1.01"')
    raise ImageRefused(f"image refused ({refused.reason}): {why}; nothing was sent", refused)


def _convert(function_name: str, data: bytes, size: int, *extra: int) -> bytes:
    lib = _native.library()
    out = (ctypes.c_uint8 * size)()
    written = ctypes.c_size_t()
    function = getattr(lib, function_name)
    status = function(data, len(data), *extra, out, size, ctypes.byref(written))
    if status == _native.E_IMAGE:
        want = _native.FIRMWARE_SIZE if function_name == "nuv_image_pack" else _native.IMAGE_SIZE
        what = "a raw firmware" if function_name == "nuv_image_pack" else "an update image"
        raise ValueError(f"{what} is exactly {want} bytes; this one has {len(data)}")
    if status != _native.OK:
        raise RuntimeError(f"{function_name}: {_native.text(lib.nuv_status_name(status))}")
    return bytes(out[: written.value])


def pack(firmware: bytes, filler: int = 0xFF) -> bytes:
    """Build a 65,536-byte update image from 64,512 bytes of firmware (vornex-cli pack).

    firmware: the bytes for device addresses 0x0000..0xFBFF; the strict flow wants them to
              start with "V1.01".
    filler:   the value of the gap and filler bytes, which are never sent.
    Raises ValueError for firmware of another size.
    """
    return _convert("nuv_image_pack", bytes(firmware), _native.IMAGE_SIZE, filler & 0xFF)


def unpack(image: bytes) -> bytes:
    """The 64,512 firmware bytes of a 65,536-byte update image (vornex-cli unpack).

    Raises ValueError for an image of another size.
    """
    return _convert("nuv_image_unpack", bytes(image), _native.FIRMWARE_SIZE)
