"""Builds and runs the native checks of the core, which need no Python."""

import pathlib
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
CORE_SOURCES = ["src/charlayer/char_class.cpp", "src/tokenizers/batch.cpp"]


@pytest.mark.parametrize("program", ["test_core", "test_window_scan", "test_utf8_text", "test_polls"])
def test_native_checks(tmp_path, program):
    exe = tmp_path / program
    sources = [ROOT / "tests/native" / f"{program}.cpp", *(ROOT / s for s in CORE_SOURCES)]
    subprocess.run(
        ["g++", "-std=c++17", "-O2", "-g", "-Wall", "-Wextra", "-Werror", f"-I{ROOT / 'src'}",
         *map(str, sources), "-o", str(exe)],
        check=True,
    )
    run = subprocess.run([str(exe)], capture_output=True, text=True)
    assert run.returncode == 0, run.stdout + run.stderr
    assert "ok: 0 failures" in run.stdout
