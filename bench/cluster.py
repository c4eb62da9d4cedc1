"""Word counts of one large file on a Dask cluster of two one-thread workers, started as separate
processes on 127.0.0.1, against count_words in one process.

    python bench/cluster.py [--mb 200] [--runs 3]

Both count the same file with the same word definition, and their counts are checked equal.
The cluster's section of bench/results.md is replaced (added the first time).
"""

import argparse
import os
import platform
import statistics
import sys
import tempfile
import time
from pathlib import Path

import chopwise
import chopwise.dask

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "tools"))
import corpus  # noqa: E402
from dask_processes import dask_cluster  # noqa: E402
from run import git_commit  # noqa: E402

MB = 1e6
BEGIN, END = "<!-- cluster: written by bench/cluster.py -->", "<!-- end of cluster -->"


def timed(job, cpu_clock):
    """(wall seconds, CPU seconds, result) of one call of job(); cpu_clock() tells the CPU seconds
    used so far by every process the job runs in."""
    cpu, start = cpu_clock(), time.perf_counter()
    result = job()
    return time.perf_counter() - start, cpu_clock() - cpu, result


def cluster_cpu(client):
    """CPU seconds used so far by the workers, the scheduler and this process."""
    workers = client.run(time.process_time)
    return sum(workers.values()) + client.run_on_scheduler(time.process_time) + time.process_time()


def section(commit, size, load, serial, cluster, ratios, runs):
    setting = (
        f"Measured at commit `{commit}`, Python {platform.python_version()}, {os.cpu_count()} cores, "
        f"load average at start {load:.1f}: one {size / MB:.0f} MB file (the corpus repeated), "
        f"words = ENWORD | RUWORD, {runs} rounds of one run each, best of each; the median of the "
        f"rounds' own ratios is {statistics.median(ratios):.2f}. The cluster is a `dask scheduler` and "
        "two `dask worker --nthreads 1` processes on 127.0.0.1; its time includes cutting the file, "
        "counting the shards on the workers, adding the counts up there and sending the total to "
        "the client. CPU seconds are those of every process taking part (client, scheduler, "
        "workers): on a machine that others keep busy, a second process gets no second core, and "
        "the wall time shows it while the CPU time does not.\n"
    )
    rows = [("count_words(workers=1)", serial), ("chopwise.dask.count_words, 2 workers", cluster)]
    return "\n".join(
        [BEGIN, "## Word counts on a Dask cluster\n", setting]
        + ["| job | seconds | MB/s | × count_words(workers=1) | CPU seconds |", "|---|---:|---:|---:|---:|"]
        + [
            f"| {name} | {wall:.2f} | {size / MB / wall:.1f} | {serial[0] / wall:.2f} | {cpu:.2f} |"
            for name, (wall, cpu) in rows
        ]
        + [END]
    )


def write_section(text):
    results = HERE / "results.md"
    old = results.read_text() if results.exists() else ""
    if BEGIN in old and END in old:
        new = old[: old.index(BEGIN)] + text + old[old.index(END) + len(END) :]
    else:
        new = old.rstrip("\n") + ("\n\n" if old else "") + text + "\n"
    results.write_text(new)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--mb", type=float, default=200, help="size of the file counted")
    ap.add_argument("--runs", type=int, default=5)
    args = ap.parse_args()

    path = corpus.repeated(corpus.DATA / f"corpus-{args.mb:g}mb.txt", args.mb)
    size = path.stat().st_size
    load = os.getloadavg()[0]
    commit = git_commit()
    print(f"commit {commit}, {size / MB:.0f} MB file, load average {load:.1f}", flush=True)

    with tempfile.TemporaryDirectory() as tmp, dask_cluster(Path(tmp), workers=2) as client:
        chopwise.dask.count_words([path], client=client)  # the workers import what counting needs
        serial_runs, cluster_runs = [], []
        # Rounds of one run each, so that both meet the same moods of a shared machine.
        for _ in range(args.runs):
            serial_runs.append(timed(lambda: chopwise.count_words([path], workers=1), time.process_time))
            cluster_runs.append(
                timed(lambda: chopwise.dask.count_words([path], client=client), lambda: cluster_cpu(client))
            )
            print(
                f"  count_words {serial_runs[-1][0]:.2f} s, cluster {cluster_runs[-1][0]:.2f} s", flush=True
            )
    if any(c[2] != s[2] for s, c in zip(serial_runs, cluster_runs, strict=True)):
        raise SystemExit("the cluster's counts differ from count_words")
    serial, cluster = min(r[:2] for r in serial_runs), min(r[:2] for r in cluster_runs)
    ratios = [s[0] / c[0] for s, c in zip(serial_runs, cluster_runs, strict=True)]
    text = section(commit, size, load, serial, cluster, ratios, args.runs)
    print(text)
    write_section(text)


if __name__ == "__main__":
    main()
