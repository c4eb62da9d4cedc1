"""Whole jobs, as users run them: word counts over a file and tokens of many short lines, with
chopwise against what a user would write without it and against the dataframe engines polars and
duckdb, at 1 and 2 threads. One word definition for all: the module's ENWORD and RUWORD tokens,
and a regex that matches the same tokens (the engines take a simpler one, see PEER_WORD).

    python bench/jobs.py            # on the bench corpus; writes bench/jobs.md
    python bench/jobs.py --smoke    # a small synthetic text, prints the table, writes nothing
"""

import argparse
import gc
import json
import os
import platform
import re
import subprocess
import sys
import tempfile
import time
from collections import Counter
from functools import partial
from importlib.metadata import PackageNotFoundError, version
from pathlib import Path

import chopwise
import chopwiseCXX

HERE = Path(__file__).resolve().parent
CORPUS = HERE / "data" / "corpus.txt"
WORDS = chopwiseCXX.ENWORD | chopwiseCXX.RUWORD
MB = 1e6
THREADS = (1, 2)

# A word token: a run of Latin or of Russian letters, then any (hyphen, run of one kind) pairs
# and maybe a trailing hyphen. Tokens that start with digits, and runs of other characters, are
# matched too (so no match starts inside a token) but not captured: findall gives "" for them.
_RUN = r"(?:[A-Za-z]+|[0-9]+|[А-Яа-яЁё]+)"
WORD_RE = re.compile(rf"((?:[A-Za-z]+|[А-Яа-яЁё]+)(?:-{_RUN})*-?)|[0-9]+(?:-{_RUN})*-?|[^A-Za-z0-9А-Яа-яЁё]+")
# What a data engineer hands the engines' extract-all functions, which give whole matches, not
# groups: the same words, except that a word after digits and a hyphen ("2-й") is found alone.
PEER_WORD = rf"(?:[A-Za-z]+|[А-Яа-яЁё]+)(?:-{_RUN})*-?"


def regex_counts(path):
    counts = Counter(WORD_RE.findall(Path(path).read_text(encoding="utf-8")))
    del counts[""]
    return counts


def ff_counter(path):
    """What the issue's users wrote: FFTokenizer, split each batch, Counter.update."""
    tok = chopwiseCXX.FFTokenizer(str(path))
    tok.set_filter(WORDS)
    counts = Counter()
    for batch in tok.stream:
        counts.update(batch["text"].split("\0")[:-1])
    return counts


def best(fn, runs):
    times, result = [], None
    for _ in range(runs):
        result = None
        gc.collect()
        t0 = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - t0)
    return min(times), result


def best_of_jobs(jobs, runs, turns):
    """Each job's best time and last result. The runs of the jobs named in `turns` (one job at
    each thread count) take turns, so that a host busy for a while slows them alike: the
    2-thread targets are their ratios. Other jobs run their runs one after another."""
    times, results = {name: float("inf") for name, _ in jobs}, {}
    for _ in range(runs):
        for name, fn in jobs:
            if name not in turns:
                continue
            seconds, results[name] = best(fn, 1)
            times[name] = min(times[name], seconds)
    for name, fn in jobs:
        if name not in results:
            times[name], results[name] = best(fn, runs)
    return times, results


def count_rows(path, runs, peers):
    size = path.stat().st_size
    rows = []
    jobs = [
        *((f"count_words(threads={t})", partial(chopwise.count_words, path, threads=t)) for t in THREADS),
        ("FFTokenizer + split + Counter", lambda: ff_counter(path)),
        ("Counter(re.findall)", lambda: regex_counts(path)),
    ]
    times, results = best_of_jobs(jobs, runs, [f"count_words(threads={t})" for t in THREADS])
    for name, seconds in times.items():
        rows.append((name, f"{size / MB:.0f} MB", seconds, size / MB / seconds))
    one = results["count_words(threads=1)"]
    assert one == results["FFTokenizer + split + Counter"] == results["count_words(threads=2)"]
    differ = results["Counter(re.findall)"] - one
    differ += one - results["Counter(re.findall)"]
    for name, seconds in peers["count"].items():
        rows.append((name, f"{size / MB:.0f} MB", seconds, size / MB / seconds))
    return rows, sum(differ.values())


# Each job of a single long line runs in a new process, which reports its time and peak memory.
ONE_LINE_JOBS = {
    "count_words": "chopwise.count_words(path)",
    "tokenize_file": "collections.deque(chopwise.tokenize_file(path), maxlen=0)",
    "FFTokenizer loop": "tok = chopwiseCXX.FFTokenizer(path)\nwhile tok.get_batch(): pass",
}
ONE_LINE_SCRIPT = """
import collections, sys, time, chopwise, chopwiseCXX
path = sys.argv[1]
t0 = time.perf_counter()
{job}
# VmHWM, not ru_maxrss: Linux keeps ru_maxrss across exec, so it would count the forked bench.
peak = next(int(line.split()[1]) for line in open("/proc/self/status") if line.startswith("VmHWM:"))
print(time.perf_counter() - t0, peak * 1024)
"""


def one_line_rows(folder, size):
    """A file of one line of letters and digits and no other byte (like a hex dump): nothing to
    cut it at but its tokens. Seconds, MB/s and the peak memory of the process."""
    path = Path(folder) / "one-line.txt"
    unit = (b"a" * 100 + b"1" * 100 + b"deadbeef0123") * 20000
    with open(path, "wb") as f:
        f.writelines(unit for _ in range(size // len(unit)))
    size = path.stat().st_size
    rows = []
    for name, job in ONE_LINE_JOBS.items():
        out = subprocess.run(
            [sys.executable, "-c", ONE_LINE_SCRIPT.format(job=job), str(path)],
            capture_output=True,
            text=True,
            check=True,
        ).stdout.split()
        seconds, peak = float(out[0]), int(out[1])
        rows.append((name, f"{size / MB:.0f} MB, one line", seconds, size / MB / seconds, peak / MB))
    return rows


def short_lines(path, count):
    lines = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.rstrip("\n")
            if 20 <= len(line) <= 100:
                lines.append(line)
                if len(lines) == count:
                    break
    return lines


def one_tokenizer_per_line(lines):
    out = []
    for line in lines:
        tok = chopwiseCXX.FTTokenizer(line)
        tok.set_filter(WORDS)
        out.append([t for batch in tok.stream for t in chopwise.tokens(batch)])
    return out


def regex_per_line(lines):
    return [[w for w in WORD_RE.findall(line) if w] for line in lines]


def line_rows(lines, runs, peers):
    import pyarrow as pa

    column = pa.array(lines, pa.string())
    rows = []
    jobs = [
        *((f"tokenize_many(threads={t}).lists()", partial(_token_lists, column, t)) for t in THREADS),
        (
            "tokenize_many(threads=2), Arrow table",
            lambda: pa.table(chopwise.tokenize_many(column, types=WORDS, threads=2)),
        ),
        ("one FTTokenizer per line", lambda: one_tokenizer_per_line(lines)),
        ("re.findall per line", lambda: regex_per_line(lines)),
    ]
    times, results = best_of_jobs(jobs, runs, [f"tokenize_many(threads={t}).lists()" for t in THREADS])
    for name, seconds in times.items():
        rows.append((name, f"{len(lines)} lines", seconds, seconds / len(lines) * 1e6))
    want = results["one FTTokenizer per line"]
    for t in THREADS:
        assert results[f"tokenize_many(threads={t}).lists()"].to_pylist() == want
    table = results["tokenize_many(threads=2), Arrow table"]
    per_line = [[] for _ in lines]
    for doc, text in zip(table["doc"].to_pylist(), table["token"].to_pylist(), strict=False):
        per_line[doc].append(text)
    assert per_line == want
    for name, seconds in peers["lines"].items():
        rows.append((name, f"{len(lines)} lines", seconds, seconds / len(lines) * 1e6))
    return rows


def _token_lists(column, threads):
    import pyarrow as pa

    return pa.array(chopwise.tokenize_many(column, types=WORDS, threads=threads).lists())


# --- the engines ------------------------------------------------------------------------------
# Each engine runs each thread count in a process of its own, as a user's job would: polars reads
# POLARS_MAX_THREADS once, before its first use, and neither engine's pool then shares this
# process with chopwise's threads.


def peer_version(name):
    try:
        return version(name)
    except PackageNotFoundError:
        return None


def polars_jobs(threads, corpus, column):
    import polars as pl

    assert pl.thread_pool_size() == threads

    def lines():
        return pl.from_arrow(column).str.extract_all(PEER_WORD)

    def count():
        frame = pl.read_csv(
            corpus,
            has_header=False,
            separator="\x1f",
            quote_char=None,
            new_columns=["line"],
            schema_overrides={"line": pl.String},
        )
        return frame["line"].str.extract_all(PEER_WORD).explode().drop_nulls().value_counts(sort=True)

    return lines, count


def duckdb_jobs(threads, corpus, column):
    import duckdb
    import pyarrow as pa

    con = duckdb.connect()
    con.execute(f"SET threads = {threads}")
    con.register("lines", pa.table({"line": column}))
    per_line_sql = "SELECT regexp_extract_all(line, $1) AS tokens FROM lines"
    count_sql = (
        "SELECT w AS token, count(*) AS count FROM (SELECT unnest(regexp_extract_all(line, $1)) AS w "
        "FROM read_csv($2, columns={'line': 'VARCHAR'}, delim=chr(31), quote='', escape='', "
        "header=false, auto_detect=false)) GROUP BY w ORDER BY count DESC, token"
    )

    def lines():
        return con.sql(per_line_sql, params=[PEER_WORD]).to_arrow_table()

    def count():
        return con.sql(count_sql, params=[PEER_WORD, str(corpus)]).to_arrow_table()

    return lines, count


# name: (the package, its jobs, the row names of its per-line and count jobs)
ENGINES = {
    "polars": (polars_jobs, "polars str.extract_all", "polars str.extract_all + value_counts"),
    "duckdb": (duckdb_jobs, "duckdb regexp_extract_all", "duckdb regexp_extract_all + group by"),
}


def peer_child(engine, threads, corpus, lines_file, runs):
    """Runs in a process of its own: one engine's jobs at one thread count, as JSON on stdout."""
    import pyarrow as pa

    column = pa.array(Path(lines_file).read_bytes().decode("utf-8").split("\n"), pa.string())
    lines, count = ENGINES[engine][0](threads, corpus, column)
    print(json.dumps({"lines": best(lines, runs)[0], "count": best(count, runs)[0]}))


def peer_rows(corpus, lines, runs, folder):
    lines_file = Path(folder) / "lines.txt"
    lines_file.write_bytes("\n".join(lines).encode("utf-8"))
    rows = {"count": {}, "lines": {}}
    for engine, (_, lines_name, count_name) in ENGINES.items():
        if peer_version(engine) is None:
            continue
        for t in THREADS:
            out = subprocess.run(
                [
                    sys.executable,
                    __file__,
                    "--peer-child",
                    engine,
                    str(t),
                    str(corpus),
                    str(lines_file),
                    str(runs),
                ],
                env={**os.environ, "POLARS_MAX_THREADS": str(t)},
                capture_output=True,
                text=True,
                check=True,
            ).stdout
            seconds = json.loads(out)
            name = f"{t} thread{'s' * (t > 1)}"
            rows["count"][f"{count_name}, {name}"] = seconds["count"]
            rows["lines"][f"{lines_name}, {name}"] = seconds["lines"]
    return rows


def git_commit():
    def git(*args):
        return subprocess.run(
            ["git", "-C", str(HERE), *args], capture_output=True, text=True, check=False
        ).stdout.strip()

    return (git("rev-parse", "--short", "HEAD") or "unknown") + (
        "+uncommitted" if git("status", "--porcelain") else ""
    )


def _ratio(rows, slow, fast):
    """How many times the time of row `fast` goes into the time of row `slow`; None if either
    row is missing (a peer that is not installed)."""
    seconds = {name: s for name, _, s, _ in rows}
    if slow not in seconds or fast not in seconds:
        return None
    return seconds[slow] / seconds[fast]


def report(count, lines, regex_differ, load, versions, one_line):
    # (what is claimed, its rows, the slower row, the faster row, how many times faster)
    targets = [
        (
            "count_words(threads=1) ≥ 4× Counter(re.findall)",
            count,
            "Counter(re.findall)",
            "count_words(threads=1)",
            4.0,
        ),
        (
            "count_words threads=2 ≥ 1.7× threads=1",
            count,
            "count_words(threads=1)",
            "count_words(threads=2)",
            1.7,
        ),
        (
            "count_words(threads=2) ≥ 4× duckdb regexp_extract_all + group by (2 threads)",
            count,
            "duckdb regexp_extract_all + group by, 2 threads",
            "count_words(threads=2)",
            4.0,
        ),
        (
            "tokenize_many(threads=2).lists() ≥ 2× polars str.extract_all (2 threads)",
            lines,
            "polars str.extract_all, 2 threads",
            "tokenize_many(threads=2).lists()",
            2.0,
        ),
        (
            "tokenize_many threads=2 ≥ 1.7× threads=1",
            lines,
            "tokenize_many(threads=1).lists()",
            "tokenize_many(threads=2).lists()",
            1.7,
        ),
        (
            "tokenize_many(threads=1) ≥ 2× re.findall per line",
            lines,
            "re.findall per line",
            "tokenize_many(threads=1).lists()",
            2.0,
        ),
    ]
    checks = [(claim, _ratio(rows, slow, fast), factor) for claim, rows, slow, fast, factor in targets]
    peers = ", ".join(
        f"{name} {v}" if v else f"{name} not installed (its rows skipped)" for name, v in versions.items()
    )
    md = [
        (
            f"Measured at {git_commit()}, Python {platform.python_version()}, {os.cpu_count()} cores, "
            f"load average {load:.1f} at start; best of the runs, those of one job at 1 and 2 "
            f"threads taking turns, each peer in a process of its own. Peers: {peers}."
        ),
        "",
        "| job | input | seconds | MB/s |",
        "|---|---|---:|---:|",
        *(f"| {n} | {w} | {s:.3f} | {v:.1f} |" for n, w, s, v in count),
        "",
        "| job | input | seconds | µs per line |",
        "|---|---|---:|---:|",
        *(f"| {n} | {w} | {s:.3f} | {v:.2f} |" for n, w, s, v in lines),
        "",
        "| job, in a new process | input | seconds | MB/s | peak memory, MB |",
        "|---|---|---:|---:|---:|",
        *(f"| {n} | {w} | {s:.3f} | {v:.1f} | {m:.0f} |" for n, w, s, v, m in one_line),
        "",
        (
            "The lines are a pyarrow string array; chopwise gives an Arrow list<string> array or table, "
            "polars a list column, duckdb an Arrow table."
        ),
        "",
        "| target | measured | met |",
        "|---|---:|---|",
        *(
            f"| {n} | {v:.2f}× | {'yes' if v >= goal else 'NO'} |"
            if v is not None
            else f"| {n} | – | skipped |"
            for n, v, goal in checks
        ),
        "",
        (
            "count_words equals FFTokenizer + Counter exactly, at every thread count; "
            f"the regex's counts differ in {regex_differ} "
            "occurrences (the module cuts tokens at 128 characters and hyphen groups at 16 pieces)."
        ),
    ]
    return "\n".join(md)


def main(argv):
    if argv[:1] == ["--peer-child"]:
        engine, threads, corpus, lines_file, runs = argv[1:]
        peer_child(engine, int(threads), corpus, lines_file, int(runs))
        return
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--smoke", action="store_true")
    args = parser.parse_args(argv)
    load = os.getloadavg()[0]
    versions = {name: peer_version(name) for name in ("polars", "duckdb", "pyarrow")}
    with tempfile.TemporaryDirectory() as folder:
        if args.smoke:
            path = Path(folder) / "smoke.txt"
            path.write_text("Ёлка и ёж — well-known, e-mail 2-й раз.\nkind-hearted people 3.14\n" * 3000)
            runs, nlines, one_line_size = 1, 2000, 8 << 20
        else:
            if not CORPUS.exists():
                sys.exit(f"{CORPUS} is missing: make bench builds it")
            path, runs, nlines, one_line_size = CORPUS, 5, 300_000, 256 << 20
        lines = short_lines(path, nlines)
        peers = peer_rows(path, lines, runs, folder)
        count, differ = count_rows(path, runs, peers)
        lines = line_rows(lines, runs, peers)
        one_line = one_line_rows(folder, one_line_size)
    text = report(count, lines, differ, load, versions, one_line)
    print(text)
    if not args.smoke:
        (HERE / "jobs.md").write_text("# Whole jobs\n\n" + text + "\n", encoding="utf-8")


if __name__ == "__main__":
    main(sys.argv[1:])
