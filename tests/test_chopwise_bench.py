"""bench/jobs.py runs end to end on its small synthetic text, checks its jobs agree, and writes
nothing."""

import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
ROWS = [
    "count_words(workers=1)",
    "FFTokenizer + split + Counter",
    "Counter(re.findall)",
    "count_words(workers=1), corpus twice",
    "count_words(workers=2), corpus twice",
    "tokenize_many",
    "one FTTokenizer per line",
    "re.findall per line",
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
    assert "the regex's counts differ in 0 occurrences" in out
