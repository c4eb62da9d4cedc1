"""Throughput of chopwiseCXX against the UTF-8 round trip and the tokenizers a user would pick
instead, plus the peak memory of FFTokenizer on a large file.

    python bench/run.py            # full run on the corpus (bench/corpus.py builds it)
    python bench/run.py --smoke    # 200 KB synthetic text, prints the table, writes nothing

Besides whole texts, it times many short texts (lines of the corpus), one tokenizer per line,
as users with a column of short strings do: there the object's fixed cost is what counts.

The module picks its wide kernel itself; the rows marked with a kernel's name are the same
module cases in a child process per kernel this CPU has (CHOPWISE_KERNEL), each with the
floors it is compared with measured in that child too.

Every run gets a freshly decoded str, since a str keeps the UTF-8 copy made the first time a
tokenizer asks for it. Peers that are not installed are skipped with a note.
"""

import argparse
import gc
import json
import os
import platform
import random
import re
import subprocess
import sys
import tempfile
import time
from importlib.metadata import version
from pathlib import Path

import chopwiseCXX

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import corpus  # noqa: E402

MB = 1e6
MODULE = "chopwiseCXX"
PEER_RE = re.compile(r"\w+(?:-\w+)*-?|\s|\S")


def drain(tok):
    return sum(len(batch["types"]) for batch in tok.stream)


def ft_default(text, _path):
    return drain(chopwiseCXX.FTTokenizer(text))


def ft_core_only(text, _path):
    tok = chopwiseCXX.FTTokenizer(text)
    tok.set_filter(0)
    drain(tok)
    return None  # the core ran, but no token was kept to count


def ft_construct(text, _path):
    chopwiseCXX.FTTokenizer(text)
    return None


def ft_filter0_made(text, _path):
    tok = chopwiseCXX.FTTokenizer(text)
    tok.set_filter(0)
    return tok


def ft_core_reading(tok, _path):
    drain(tok)
    return None


def ff_default(_text, path):
    return drain(chopwiseCXX.FFTokenizer(str(path)))


def round_trip(text, _path):
    text.encode("utf-8").decode("utf-8")
    return None


def read_decode(_text, path):
    path.read_bytes().decode("utf-8")
    return None


# What each kernel needs of the CPU, as /proc/cpuinfo names it; "plain" is no wide kernel.
KERNEL_NEEDS = {"plain": set(), "sse42": {"sse4_2", "popcnt"}, "avx2": {"avx2", "bmi1", "bmi2", "popcnt"}}


def cpu_flags():
    try:
        text = Path("/proc/cpuinfo").read_text()
    except OSError:
        return set()
    for line in text.splitlines():
        if line.startswith("flags"):
            return set(line.split(":", 1)[1].split())
    return set()


def kernels_here():
    """The kernels this CPU runs, narrowest first. Other CPUs than x86-64 list no such flags
    and have the plain path only, as the module has there."""
    flags = cpu_flags()
    return [k for k, needs in KERNEL_NEEDS.items() if needs <= flags]


def peers():
    """(name, package, make) for each peer; make() imports it and returns fn(text) -> result,
    count(result) -> tokens (left out of the timing) and a note on how it is called."""

    def regex():
        return lambda t: PEER_RE.findall(t), len, ""

    def blingfire():
        from blingfire import text_to_words

        return text_to_words, lambda words: len(words.split()), ""

    def hf_whitespace():
        from tokenizers.pre_tokenizers import Whitespace

        return Whitespace().pre_tokenize_str, len, ""

    def nltk_wordpunct():
        from nltk import redos
        from nltk.tokenize import wordpunct_tokenize

        # Its per-call regex time limit (a few seconds) would refuse a whole corpus in one call.
        redos.DEFAULT_TIMEOUT = None

        return wordpunct_tokenize, len, "regex time limit lifted"

    def razdel_tokenize():
        from razdel import tokenize

        return lambda t: list(tokenize(t)), len, ""

    return [
        ("re.findall", None, regex),
        ("blingfire text_to_words", "blingfire", blingfire),
        ("tokenizers Whitespace", "tokenizers", hf_whitespace),
        ("nltk wordpunct_tokenize", "nltk", nltk_wordpunct),
        ("razdel tokenize", "razdel", razdel_tokenize),
    ]


def pick_lines(text, count):
    """`count` non-empty lines spread evenly over the text (both languages, all sources)."""
    lines = [line for line in text.split("\n") if line.strip()]
    return lines[:: max(1, len(lines) // count)][:count]


def ft_per_line(lines):
    ft, tokens = chopwiseCXX.FTTokenizer, 0
    for line in lines:
        tokens += len(ft(line).get_batch()["text"].split("\0")) - 1
    return tokens


def re_per_line(lines):
    findall, tokens = PEER_RE.findall, 0
    for line in lines:
        tokens += len(findall(line))
    return tokens


def short_line_rows(lines, runs, notes):
    """One FTTokenizer per line (get_batch + split at NUL) against one re.findall per line,
    both over the same list of str; best of `runs`, the two taken in turns so that a change
    in the machine's load falls on both."""
    nbytes = sum(len(line.encode()) for line in lines)
    cases = [
        ("FTTokenizer per short line", MODULE, ft_per_line),
        ("re.findall per short line", "peer", re_per_line),
    ]
    best, tokens = {}, {}
    for _ in range(runs):
        for name, _kind, fn in cases:
            gc.collect()
            t0 = time.perf_counter()
            tokens[name] = fn(lines)
            best[name] = min(best.get(name, float("inf")), time.perf_counter() - t0)
    rows, per_line = [], {}
    for name, kind, _fn in cases:
        per_line[kind] = best[name] / len(lines) * 1e6
        note = f"{per_line[kind]:.2f} µs per line, {len(lines)} lines"
        rows.append(row(name, kind, nbytes, best[name], tokens[name], note) | {"per_line": True})
    ratio = per_line[MODULE] / per_line["peer"]
    rows[0]["note"] += f", {ratio:.2f}× the time of re.findall"
    for r in rows:
        print(f"  {r['name']}: {r['note']}", flush=True)
    notes.append(
        f"Short lines ({len(lines)} lines of {nbytes / len(lines):.0f} bytes on average, "
        "a new FTTokenizer per line with get_batch and split at NUL): "
        f"{per_line[MODULE]:.2f} µs per line against {per_line['peer']:.2f} µs for "
        f"re.findall ({ratio:.2f}×)."
    )
    return rows


def measure(fn, data, path, runs, budget, prepare=None):
    """Best time over a fresh str per run: `runs` runs, or fewer (at least two) once `budget`
    seconds are spent. Returns (seconds, runs done, result of the last run). With `prepare`,
    fn gets what prepare(text, path) made, and only fn is timed."""
    times, result, spent = [], None, 0.0
    while len(times) < runs and (len(times) < 2 or spent < budget):
        result = None
        gc.collect()
        text = data.decode("utf-8")
        arg = prepare(text, path) if prepare else text
        t0 = time.perf_counter()
        result = fn(arg, path)
        times.append(time.perf_counter() - t0)
        spent += times[-1]
        del text
    return min(times), len(times), result


def _fewer(done, runs):
    return f"best of {done} runs (time budget)" if done < runs else ""


def row(name, kind, nbytes, seconds, tokens, note=""):
    return {
        "name": name,
        "kind": kind,
        "mbps": nbytes / MB / seconds,
        "tps": tokens / seconds if tokens is not None else None,
        "note": note,
    }


def rss_child(path):
    """Runs in a subprocess: FFTokenizer over path with default settings, peak RSS growth."""

    def hwm_kb():
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])

    before = hwm_kb()
    t0 = time.perf_counter()
    tokens = drain(chopwiseCXX.FFTokenizer(str(path)))
    seconds = time.perf_counter() - t0
    print(json.dumps({"rss_growth_kb": hwm_kb() - before, "seconds": seconds, "tokens": tokens}))


def memory_row(path):
    out = subprocess.run(
        [sys.executable, __file__, "--rss-child", str(path)], check=True, capture_output=True, text=True
    ).stdout
    m = json.loads(out)
    size = path.stat().st_size
    note = f"{size / MB:.0f} MB file, peak RSS growth {m['rss_growth_kb'] / 1024:.1f} MiB (one run)"
    r = row("FFTokenizer, large file", MODULE, size, m["seconds"], m["tokens"], note)
    r["rss_growth_mib"] = m["rss_growth_kb"] / 1024
    return r


def synthetic(nbytes):
    words = [
        "Токенизатор",
        "делит",
        "текст",
        "на",
        "слова,",
        "числа",
        "и",
        "знаки:",
        "2024",
        "года,",
        "из-за,",
        "kind-hearted",
        "people",
        "read",
        "3.14",
        "books!\nЁлка",
        "и",
        "ёж",
        "—",
        "well-known.",
    ]
    rnd, out, size = random.Random(1), [], 0
    while size < nbytes:
        w = rnd.choice(words)
        out.append(w)
        size += len(w.encode()) + 1
    return " ".join(out).encode()


def git_commit():
    def git(*args):
        return subprocess.run(["git", "-C", str(HERE), *args], capture_output=True, text=True).stdout.strip()

    head = git("rev-parse", "--short", "HEAD") or "unknown"
    return head + ("+uncommitted changes" if git("status", "--porcelain") else "")


def table(rows):
    # Rows over short lines compare with each other (in their notes), not with whole texts.
    peer_best = max((r["mbps"] for r in rows if r["kind"] == "peer" and not r.get("per_line")), default=None)
    lines = ["| name | MB/s | tokens/s | × fastest peer | note |", "|---|---:|---:|---:|---|"]
    for r in rows:
        tps = f"{r['tps'] / 1e6:.2f} M" if r["tps"] else "–"
        ratio = f"{r['mbps'] / peer_best:.2f}" if peer_best and not r.get("per_line") else "–"
        lines.append(f"| {r['name']} | {r['mbps']:.1f} | {tps} | {ratio} | {r['note']} |")
    return "\n".join(lines)


def chart(rows, out, title):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.patches import Patch

    rows = sorted(rows, key=lambda r: r["mbps"])
    colours = {MODULE: "tab:blue", "floor": "tab:gray", "peer": "tab:orange"}
    fig, ax = plt.subplots(figsize=(8, 0.45 * len(rows) + 1.2))
    ax.barh([r["name"] for r in rows], [r["mbps"] for r in rows], color=[colours[r["kind"]] for r in rows])
    for i, r in enumerate(rows):
        ax.text(r["mbps"], i, f" {r['mbps']:.1f}", va="center", fontsize=8)
    ax.legend(handles=[Patch(color=c, label=k) for k, c in colours.items()], loc="lower right", fontsize=8)
    ax.set_xscale("log")
    ax.set_xlim(right=rows[-1]["mbps"] * 2)
    ax.set_xlabel("MB/s of UTF-8 input (log scale, higher is better)")
    ax.set_title(title, fontsize=9)
    fig.tight_layout()
    fig.savefig(out, dpi=100)
    plt.close(fig)


def module_rows(data, path, runs, budget, notes):
    rows, counts = [], {}
    for name, kind, fn, prepare in [
        ("FTTokenizer (str)", MODULE, ft_default, None),
        ("FFTokenizer (file)", MODULE, ff_default, None),
        ("FTTokenizer, filter 0 (no output)", MODULE, ft_core_only, None),
        ("FTTokenizer, filter 0, after the constructor", MODULE, ft_core_reading, ft_filter0_made),
        ("FTTokenizer constructor only (encodes the str)", MODULE, ft_construct, None),
        ("encode + decode round trip", "floor", round_trip, None),
        ("read + decode (file)", "floor", read_decode, None),
    ]:
        seconds, done, tokens = measure(fn, data, path, runs, budget, prepare)
        rows.append(row(name, kind, len(data), seconds, tokens, _fewer(done, runs)))
        counts[name] = tokens
        print(f"  {name}: {rows[-1]['mbps']:.1f} MB/s", flush=True)
    ft, ff = counts["FTTokenizer (str)"], counts["FFTokenizer (file)"]
    if ft != ff:
        notes.append(f"WARNING: FTTokenizer and FFTokenizer disagree on the same text: {ft} vs {ff} tokens")
        print(notes[-1], flush=True)
    return rows


# The cases measured once per kernel, with the floors each is held to.
KERNEL_CASES = [
    ("FTTokenizer (str)", MODULE, ft_default),
    ("FFTokenizer (file)", MODULE, ff_default),
    ("encode + decode round trip", "floor", round_trip),
    ("read + decode (file)", "floor", read_decode),
]


def kernel_child(path, args):
    """Runs in a subprocess under one CHOPWISE_KERNEL: the kernel cases over the file at
    `path`, printed as JSON."""
    data = path.read_bytes()
    out = {"bytes": len(data), "cases": {}}
    for name, _kind, fn in KERNEL_CASES:
        seconds, done, tokens = measure(fn, data, path, args.runs, args.budget)
        out["cases"][name] = [seconds, done, tokens]
    lines = pick_lines(data.decode("utf-8"), args.lines)
    best = float("inf")
    for _ in range(args.runs):
        gc.collect()
        t0 = time.perf_counter()
        tokens = ft_per_line(lines)
        best = min(best, time.perf_counter() - t0)
    out["lines"] = [len(lines), sum(len(line.encode()) for line in lines), best, tokens]
    print(json.dumps(out))


def kernel_rows(path, runs, args, notes):
    rows = []
    for kernel in kernels_here():
        child = subprocess.run(
            [sys.executable, __file__, "--kernel-child", str(path), "--runs", str(runs)]
            + ["--budget", str(args.budget), "--lines", str(args.lines)],
            check=True,
            capture_output=True,
            text=True,
            env=dict(os.environ, CHOPWISE_KERNEL=kernel),
        )
        m = json.loads(child.stdout)
        speed = {}
        for name, kind, _fn in KERNEL_CASES:
            seconds, done, tokens = m["cases"][name]
            r = row(f"{name}, {kernel} kernel", kind, m["bytes"], seconds, tokens, _fewer(done, runs))
            rows.append(r | {"kernel": kernel})
            speed[name] = rows[-1]["mbps"]
        count, nbytes, seconds, tokens = m["lines"]
        per_line = seconds / count * 1e6
        note = f"{per_line:.2f} µs per line, {count} lines"
        r = row(f"FTTokenizer per short line, {kernel} kernel", MODULE, nbytes, seconds, tokens, note)
        rows.append(r | {"per_line": True, "kernel": kernel})
        ft = speed["FTTokenizer (str)"] / speed["encode + decode round trip"]
        ff = speed["FFTokenizer (file)"] / speed["read + decode (file)"]
        notes.append(
            f"{kernel} kernel, in one process: FTTokenizer {ft:.2f}× the speed of encode + decode, "
            f"FFTokenizer {ff:.2f}× read + decode, {per_line:.2f} µs per short line."
        )
        print(f"  {notes[-1]}", flush=True)
    return rows


def peer_rows(data, path, runs, args, notes):
    rows = []
    for name, package, make in peers():
        try:
            fn, count, how = make()
        except ImportError as e:
            notes.append(f"{name} skipped: not installed ({e.name})")
            print(f"  {notes[-1]}", flush=True)
            continue
        sample = data
        note = ", ".join(filter(None, [version(package) if package else "stdlib", how]))
        if package == "razdel" and len(data) > args.razdel_mb * MB:
            sample = data[: int(args.razdel_mb * MB)].decode("utf-8", "ignore").encode()
            note += f", on a {len(sample) / MB:.1f} MB slice"
        try:
            seconds, done, result = measure(lambda t, _p, fn=fn: fn(t), sample, path, runs, args.budget)
        except Exception as e:  # a peer that breaks is reported, not fatal
            notes.append(f"{name} skipped: failed with {type(e).__name__}: {e}")
            print(f"  {notes[-1]}", flush=True)
            continue
        note = ", ".join(filter(None, [note, _fewer(done, runs)]))
        rows.append(row(name, "peer", len(sample), seconds, count(result), note))
        del result
        print(f"  {name}: {rows[-1]['mbps']:.1f} MB/s", flush=True)
    return rows


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--smoke", action="store_true", help="tiny synthetic text, writes nothing")
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument(
        "--budget", type=float, default=40, help="seconds per case before it stops repeating (after two runs)"
    )
    ap.add_argument("--razdel-mb", type=float, default=2, help="slice given to razdel")
    ap.add_argument("--big-mb", type=float, default=300, help="file size for the memory row")
    ap.add_argument("--lines", type=int, default=200_000, help="lines for the short-text rows")
    ap.add_argument("--rss-child", help=argparse.SUPPRESS)
    ap.add_argument("--kernel-child", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.rss_child:
        return rss_child(args.rss_child)
    if args.kernel_child:
        return kernel_child(Path(args.kernel_child), args)

    commit = git_commit()
    tmp = tempfile.TemporaryDirectory()
    if args.smoke:
        data = synthetic(200_000)
        path = Path(tmp.name) / "smoke.txt"
        path.write_bytes(data)
        big = Path(tmp.name) / "smoke-big.txt"
        big.write_bytes(data * 10)
        runs, source = min(args.runs, 2), "200 KB synthetic text"
    else:
        info = corpus.build()
        path, data, runs = corpus.CORPUS, corpus.CORPUS.read_bytes(), args.runs
        big = corpus.repeated(corpus.DATA / "corpus-big.txt", args.big_mb)
        source = (
            f"{len(data) / MB:.1f} MB corpus of Debian documentation "
            f"({info['cyrillic_letter_share']:.0%} of letters Cyrillic); "
            f"{info['distinct_bytes'] / MB:.1f} MB distinct text"
            + (", repeated to reach the size" if info["repeated"] else "")
        )
    load = f"load average at start {os.getloadavg()[0]:.1f}"
    print(f"commit {commit}, Python {platform.python_version()}, {source}, {load}", flush=True)

    notes = []
    rows = module_rows(data, path, runs, args.budget, notes)
    rows += kernel_rows(path, runs, args, notes)
    rows += peer_rows(data, path, runs, args, notes)
    rows += short_line_rows(pick_lines(data.decode("utf-8"), args.lines), runs, notes)
    rows.append(memory_row(big))
    print(f"  {rows[-1]['name']}: {rows[-1]['note']}", flush=True)

    speed = {r["name"]: r["mbps"] for r in rows}
    share = speed["FTTokenizer (str)"] / speed["encode + decode round trip"]
    file_share = speed["FFTokenizer (file)"] / speed["read + decode (file)"]
    summary = [
        f"FTTokenizer runs at {share:.0%} of the speed of the encode + decode round trip, "
        f"FFTokenizer at {file_share:.0%} of the speed of reading and decoding the file.",
        f"Best of {runs} runs each unless noted, a fresh str per run; MB/s counts UTF-8 "
        "input bytes; each tokenizer counts its own tokens (the module and re.findall keep "
        "spaces as tokens, the others drop them).",
    ] + notes
    if not args.smoke:
        summary.append(
            "Corpus: text of the Debian packages "
            + ", ".join(
                f"{deb.split('_')[0]} {deb.split('_')[1].replace('%3a', ':')}" for deb in info["packages"]
            )
            + " (HTML, man pages, reST sources, fortunes)."
        )
    text = table(rows)
    print(f"\n{text}\n\n" + "\n".join(summary))
    if args.smoke:
        return
    md = [
        "# Benchmark\n",
        f"Measured at commit `{commit}`, Python {platform.python_version()}, "
        f"{platform.machine()}, {os.cpu_count()} cores, {load} (the machine is shared), "
        f"{source}.\n",
        "![throughput](results.png)\n",
        text,
        "",
    ]
    (HERE / "results.md").write_text("\n".join(md + summary) + "\n")
    try:
        chart(
            [r for r in rows if "rss_growth_mib" not in r and "kernel" not in r],
            HERE / "results.png",
            f"Tokenizing {len(data) / MB:.0f} MB of Russian + English text (commit {commit})",
        )
    except ImportError:
        print("matplotlib missing: bench/results.png not written")


if __name__ == "__main__":
    main()
