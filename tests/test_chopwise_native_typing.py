"""The stub of chopwise._native: it matches the runtime, and mypy --strict accepts typed use."""

import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

TYPED_USE = """
import numpy as np
import numpy.typing as npt
import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]
from chopwise import _native

table: _native.TokenTable = _native.tokenize(["a b"], 4, 0, 512, "strict", 2)
n: int = len(table)
types: npt.NDArray[np.uint64] = table.types
starts: npt.NDArray[np.int64] = table.start
words: list[str] = table.strings()
lists: _native.TokenLists = table.lists()
capsules: tuple[object, object] = lists.__arrow_c_array__()
stream: object = table.__arrow_c_stream__()
counter = _native.WordCounter(4 | 16, 1, 512, True, "replace")
counter.add_texts(pa.array(["x y"]), 1)
counter.add_file("/dev/null", 2)
counter.add_bytes(b"abc", True)
counter.merge(counter)
items: list[tuple[str, int]] = counter.items()
total: int = counter.total() + len(counter)
"""

MISUSE = """
from chopwise import _native
_native.tokenize(["a"], 4, 0, 512, "strict")
_native.WordCounter(4, 0, 512, True, "strict").add_bytes("text", True)
x: str = _native.tokenize(["a"], 4, 0, 512, "strict", 1).strings()
"""


def mypy(tmp_path, source):
    script = tmp_path / "use.py"
    script.write_text(source)
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), str(script)],
        capture_output=True,
        text=True,
    )


def test_stub_matches_the_runtime():
    run = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy.stubtest",
            "chopwise._native",
            "--allowlist",
            str(ROOT / "tests" / "native_stub_allowlist.txt"),
        ],
        capture_output=True,
        text=True,
    )
    assert run.returncode == 0, run.stdout + run.stderr


def test_mypy_accepts_typed_use(tmp_path):
    run = mypy(tmp_path, TYPED_USE)
    assert run.returncode == 0, run.stdout


def test_mypy_reports_each_misuse(tmp_path):
    run = mypy(tmp_path, MISUSE)
    flagged = {int(line.split(":")[1]) for line in run.stdout.splitlines() if ": error:" in line}
    assert flagged >= {3, 4, 5}, run.stdout
