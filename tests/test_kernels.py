"""The tokenizing tables once per wide kernel this CPU has, and with the wide kernels off.

CHOPWISE_KERNEL picks the kernel for a process; each run is a process of its own."""

import importlib.util
import os
import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
# What each kernel needs of the CPU is stated once, in the benchmark, which runs the same split.
_spec = importlib.util.spec_from_file_location("bench_run", ROOT / "bench" / "run.py")
bench_run = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(bench_run)


@pytest.mark.parametrize("kernel", sorted(bench_run.KERNEL_NEEDS))
def test_tables_pass_with_each_kernel(kernel):
    if kernel not in bench_run.kernels_here():
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
