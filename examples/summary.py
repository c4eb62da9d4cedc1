"""Tokenizes a text and summarises it.

    python examples/summary.py          # the bundled sample: every token and a count per type
    python examples/summary.py FILE     # a UTF-8 file of any size: counts, top words, speed

The speed is that of the whole script: tokenizing and the Python counting of types and words.
A progress bar is drawn on standard error for large files, when standard error is a terminal.
"""

import os
import sys
import time
from collections import Counter
from itertools import compress
from pathlib import Path
from typing import TextIO

import numpy as np

import chopwise
from batches import read_batches
from chopwiseCXX import FFTokenizer, FTTokenizer, TokenType

SAMPLE = Path(__file__).with_name("sample.txt")
PROGRESS_MIN_BYTES = 20 * 1024 * 1024  # smaller files are done before a bar would help
TYPE_NAMES = {int(t): name for name, t in TokenType.__members__.items()}


def print_type_counts(counts: Counter[int], out: TextIO) -> None:
    print("tokens per type:", file=out)
    for value, name in TYPE_NAMES.items():
        if counts[value]:
            print(f"  {name:<6}  {counts[value]:>12,}", file=out)
    print(f"  {'total':<6}  {sum(counts.values()):>12,}", file=out)


def summarise_sample(out: TextIO) -> None:
    tok = FTTokenizer(SAMPLE.read_text(encoding="utf-8"))
    counts: Counter[int] = Counter()
    for batch in tok.stream:
        types = batch["types"].tolist()
        for token, value in zip(chopwise.tokens(batch), types, strict=True):
            print(f"{token!r:<22} {TYPE_NAMES[value]}", file=out)
        counts.update(types)
    print(file=out)
    print_type_counts(counts, out)


def draw_progress(done: int, total: int, err: TextIO) -> None:
    width = 40
    fill = min(width, done * width // max(total, 1))
    err.write(f"\r[{'#' * fill}{'.' * (width - fill)}] {min(done, total) * 100 // max(total, 1):3d}%")
    err.flush()


def summarise_file(
    path: str, out: TextIO, err: TextIO, progress_min_bytes: int = PROGRESS_MIN_BYTES, top: int = 10
) -> int:
    tok = FFTokenizer(path)
    if not tok.is_fopen():
        print(f"cannot open {path}", file=err)
        return 1
    size = os.path.getsize(path)
    # Only on a terminal: elsewhere (a log file) every frame of the bar would stay in the output.
    progress = size >= progress_min_bytes and err.isatty()
    counts: Counter[int] = Counter()
    words: Counter[str] = Counter()
    done = bad = 0
    word_types = np.array([int(TokenType.ENWORD), int(TokenType.RUWORD)], dtype=np.uint64)

    def skip(error: UnicodeDecodeError) -> None:
        nonlocal bad
        bad += 1

    start = time.perf_counter()
    for batch in read_batches(tok, skip):
        types = batch["types"]
        values, n = np.unique(types, return_counts=True)
        counts.update(dict(zip(values.tolist(), n.tolist(), strict=True)))
        tokens = chopwise.tokens(batch)
        words.update(map(str.lower, compress(tokens, np.isin(types, word_types).tolist())))
        if progress:
            # Every token is kept, so the batch's bytes less its terminators are the bytes read.
            done += len(batch["text"].encode("utf-8")) - len(tokens)
            draw_progress(done, size, err)
    elapsed = time.perf_counter() - start
    if progress:
        draw_progress(size, size, err)
        err.write("\n")

    rate = size / 1e6 / max(elapsed, 1e-9)
    print(f"{path}: {size:,} bytes in {elapsed:.2f} s, {rate:.1f} MB/s (tokenizing and counting)", file=out)
    if bad:
        print(f"skipped {bad} batch(es) holding malformed UTF-8", file=out)
    print_type_counts(counts, out)
    print("most frequent words:", file=out)
    for word, n in words.most_common(top):
        print(f"  {word:<20} {n:>12,}", file=out)
    return 0


def main(argv: list[str]) -> int:
    if len(argv) > 1:
        print(__doc__, file=sys.stderr)
        return 2
    if argv:
        return summarise_file(argv[0], sys.stdout, sys.stderr)
    summarise_sample(sys.stdout)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
