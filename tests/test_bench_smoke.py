"""bench/run.py works end to end on its small synthetic text."""

import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
BENCH_PY = ROOT / ".venv-bench" / "bin" / "python"
MODULE_ROWS = [
    "FTTokenizer (str)",
    "FFTokenizer (file)",
    "FTTokenizer, filter 0 (no output)",
    "FTTokenizer, filter 0, after the constructor",
    "FTTokenizer constructor only (encodes the str)",
    "FFTokenizer, large file",
    "FTTokenizer per short line",
]
PEER_ROWS = [
    "re.findall",
    "blingfire text_to_words",
    "tokenizers Whitespace",
    "nltk wordpunct_tokenize",
    "razdel tokenize",
]


def smoke(python):
    results = [ROOT / "bench" / name for name in ("results.md", "results.png")]
    before = [p.stat().st_mtime_ns if p.exists() else None for p in results]
    out = subprocess.run(
        [str(python), str(ROOT / "bench" / "run.py"), "--smoke"],
        check=True,
        capture_output=True,
        text=True,
        timeout=600,
    ).stdout
    assert [p.stat().st_mtime_ns if p.exists() else None for p in results] == before
    assert "WARNING" not in out
    rows = {}
    for line in out.splitlines():
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        if line.startswith("| ") and len(cells) == 5 and cells[0] != "name":
            rows[cells[0]] = cells
    return out, rows


def mbps_and_tps(cells):
    tps = cells[2]
    return float(cells[1]), (float(tps.removesuffix(" M")) if tps != "–" else None)


def test_smoke_reports_the_module_rows_without_peers():
    out, rows = smoke(sys.executable)
    for name in MODULE_ROWS + ["encode + decode round trip", "read + decode (file)", "re.findall"]:
        assert mbps_and_tps(rows[name])[0] > 0, name
    # The cases once per kernel this CPU has, each with its floors; plain is on every CPU.
    summary = [line for line in out.splitlines() if " kernel, in one process: " in line and line[0] != " "]
    kernels = [line.split()[0] for line in summary]
    assert kernels[0] == "plain" and len(set(kernels)) == len(kernels)
    for kernel in kernels:
        for name in ["FTTokenizer (str)", "FFTokenizer (file)", "FTTokenizer per short line"]:
            assert all(x > 0 for x in mbps_and_tps(rows[f"{name}, {kernel} kernel"])), (name, kernel)
        for name in ["encode + decode round trip", "read + decode (file)"]:
            assert mbps_and_tps(rows[f"{name}, {kernel} kernel"])[0] > 0, (name, kernel)
    for name in [
        "FTTokenizer (str)",
        "FFTokenizer (file)",
        "FFTokenizer, large file",
        "FTTokenizer per short line",
        "re.findall per short line",
    ]:
        assert mbps_and_tps(rows[name])[1] > 0, name
    # The core-only run keeps no token, so it has no token rate to report.
    assert mbps_and_tps(rows["FTTokenizer, filter 0 (no output)"])[1] is None
    assert "peak RSS growth" in rows["FFTokenizer, large file"][4]
    assert "% of the speed of the encode + decode round trip" in out
    assert "% of the speed of reading and decoding the file" in out
    for name in ["FTTokenizer per short line", "re.findall per short line"]:
        assert " µs per line, " in rows[name][4], name
    assert "× the time of re.findall" in rows["FTTokenizer per short line"][4]


def test_smoke_reports_every_peer_in_the_bench_venv():
    probe = "import blingfire, tokenizers, nltk, razdel"
    if not BENCH_PY.exists() or subprocess.run([str(BENCH_PY), "-c", probe]).returncode:
        pytest.skip("the bench venv with its peers is not set up (make bench)")
    out, rows = smoke(BENCH_PY)
    for name in PEER_ROWS:
        mbps, tps = mbps_and_tps(rows[name])
        assert mbps > 0 and tps > 0, name
    assert "skipped" not in out
