"""The README's "From Python" and "From C" examples run as written, on the emulated device,
and the package says the project's version."""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]


def example(section: str, language: str) -> str:
    text = (ROOT / "README.md").read_text(encoding="utf-8")
    body = text.split(f"\n## {section}\n", 1)[1].split("\n## ", 1)[0]
    return re.search(rf"```{language}\n(.*?)```", body, re.S).group(1)


def test_the_python_example(tmp_path):
    script = tmp_path / "example.py"
    script.write_text(example("From Python", "python"))
    env = dict(os.environ, PYTHONPATH=str(ROOT / "python"))
    done = subprocess.run([sys.executable, str(script)], env=env, capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    assert "completed 1.01 burnt" in done.stdout
    assert "data_error write 0x2000 partly_written" in done.stdout


@pytest.mark.skipif(not os.environ.get("NUV_LIBRARY") or not shutil.which("cc"),
                    reason="needs a built library (NUV_LIBRARY) and a C compiler")
def test_the_c_example(tmp_path):
    source = tmp_path / "example.c"
    source.write_text(example("From C", "c"))
    library = Path(os.environ["NUV_LIBRARY"]).resolve().parent
    program = tmp_path / "example"
    subprocess.run(["cc", "-std=c99", "-Wall", "-Wextra", "-Werror", str(source),
                    f"-I{ROOT / 'include'}", f"-L{library}", "-lnuv", f"-Wl,-rpath,{library}",
                    "-o", str(program)], check=True)
    done = subprocess.run([str(program)], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert "completed (read), device burnt, version 1.01" in done.stdout


def test_the_package_library_and_project_say_one_version():
    import nuv
    from nuv import _native

    project = re.search(r"project\(NuvUpdater VERSION ([0-9.]+)",
                        (ROOT / "CMakeLists.txt").read_text()).group(1)
    pyproject = re.search(r'^version = "([0-9.]+)"', (ROOT / "python" / "pyproject.toml")
                          .read_text(), re.M).group(1)
    library = _native.text(_native.library().nuv_library_version())
    assert project == pyproject == nuv.__version__ == library
