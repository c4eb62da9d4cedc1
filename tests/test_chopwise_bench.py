"""bench/jobs.py runs end to end on its small synthetic text, checks its jobs agree, and writes
nothing."""

import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
ROWS = [
    "count_words(threads=1)",
    "count_words(threads=2)",
    "FFTokenizer + split + Counter",
    "Counter(re.findall)",
    "tokenize_many(threads=1).lists()",
    "tokenize_many(threads=2).lists()",
    "tokenize_many(threads=2), Arrow table",
    "one FTTokenizer per line",
    "re.findall per line",
]
PEER_ROWS = [
    "polars str.extract_all + value_counts, 1 thread",
    "polars str.extract_all + value_counts, 2 threads",
    "duckdb regexp_extract_all + group by, 1 thread",
    "duckdb regexp_extract_all + group by, 2 threads",
    "polars str.extract_all, 1 thread",
    "polars str.extract_all, 2 threads",
    "duckdb regexp_extract_all, 1 thread",
    "duckdb regexp_extract_all, 2 threads",
]


def test_jobs_smoke():
    result_file = ROOT / "bench" / "jobs.md"
    before = result_file.stat().st_mtime_ns if result_file.exists() else None
    out = subprocess.run(
        [sys.executable, str(ROOT / "bench" / "jobs.py"), "--smoke"],
        check=True,
        capture_output=True,
        text=True,
        timeout=600,
    ).stdout
    assert (result_file.stat().st_mtime_ns if result_file.exists() else None) == before
    names = [line.split("|")[1].strip() for line in out.splitlines() if line.startswith("| ")]
    assert [n for n in names if n in ROWS] == ROWS
    # The peers of the dev venv run too, each with its version named.
    assert [n for n in names if n in PEER_ROWS] == PEER_ROWS
    assert "polars 1." in out or "polars 2." in out
    assert "duckdb " in out and "not installed" not in out
    assert "the regex's counts differ in 0 occurrences" in out
