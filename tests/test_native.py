"""Runs the native checks of the core, which need no Python, through ctest."""

import subprocess

import pytest

from conftest import native_env, tool


@pytest.mark.parametrize("check", ["test_core", "test_window_scan", "test_utf8_text", "test_polls"])
def test_native_checks(native_build, check):
    run = subprocess.run(
        [tool("ctest"), "--test-dir", str(native_build), "--output-on-failure", "-R", f"^{check}$"],
        capture_output=True,
        text=True,
        env=native_env(),
    )
    assert run.returncode == 0, run.stdout + run.stderr
    assert "100% tests passed" in run.stdout
