"""Shared pieces of the nuv tests: images to write. The tests run with Debian's Python and its
pytest (/usr/bin/python3 -m pytest, as CTest runs them), against the library that NUV_LIBRARY
names, or the installed one."""

from __future__ import annotations

import os
import sys

import pytest

# The package of this tree, whatever is installed.
sys.path.insert(0, os.path.join(os.path.dirname(__file__), os.pardir))

import nuv  # noqa: E402


def make_firmware(seed: int = 1) -> bytes:
    """64,512 bytes the strict flow takes ("V1.01" first), different for each seed."""
    body = bytes((i * 31 + seed + (i >> 8)) & 0xFF for i in range(64512 - 16))
    return b"V1.01 nuv tests " + body


@pytest.fixture
def image() -> bytes:
    return nuv.pack(make_firmware())
