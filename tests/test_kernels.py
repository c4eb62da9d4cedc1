"""The tokenizing tables once per wide kernel this CPU has, and with the wide kernels off.

CHOPWISE_KERNEL picks the kernel for a process; each run is a process of its own."""

import os
import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent


def cpu_flags():
    try:
        text = pathlib.Path("/proc/cpuinfo").read_text()
    except OSError:
        return set()
    for line in text.splitlines():
        if line.startswith("flags"):
            return set(line.split(":", 1)[1].split())
    return set()


NEEDS = {"plain": set(), "sse42": {"sse4_2", "popcnt"}, "avx2": {"avx2", "bmi1", "bmi2", "popcnt"}}


@pytest.mark.parametrize("kernel", sorted(NEEDS))
def test_tables_pass_with_each_kernel(kernel):
    if not NEEDS[kernel] <= cpu_flags():
        pytest.skip(f"this CPU has no {kernel}")
    env = dict(os.environ, CHOPWISE_KERNEL=kernel)
    run = subprocess.run(
        [
            sys.executable,
            "-m",
            "pytest",
            "-q",
            "-p",
            "no:cacheprovider",
            "-x",
            str(ROOT / "tests" / "test_tokenizing.py"),
        ],
        env=env,
        capture_output=True,
        text=True,
        cwd=ROOT,
    )
    assert run.returncode == 0, run.stdout[-3000:] + run.stderr[-2000:]
    assert " passed" in run.stdout
