"""Builds and runs the native checks of the core, which need no Python."""

import pathlib
import subprocess

ROOT = pathlib.Path(__file__).resolve().parent.parent


def test_native_core_checks(tmp_path):
    exe = tmp_path / "test_core"
    sources = [ROOT / "tests/native/test_core.cpp", ROOT / "src/charlayer/char_class.cpp"]
    subprocess.run(
        ["g++", "-std=c++17", "-O1", "-g", "-Wall", "-Wextra", "-Werror", f"-I{ROOT / 'src'}",
         *map(str, sources), "-o", str(exe)],
        check=True,
    )
    run = subprocess.run([str(exe)], capture_output=True, text=True)
    assert run.returncode == 0, run.stdout + run.stderr
    assert "ok: 0 failures" in run.stdout
