"""Word frequencies over a folder of UTF-8 files, one file per worker process.

    python examples/word_freq_parallel.py FOLDER [TOP]
"""

import sys
from collections import Counter
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

from batches import WORDS, read_batches, split_tokens
from chopwiseCXX import FFTokenizer

# A small batch keeps each tokenizer's buffers small; the default is sized for throughput.
BATCH_SIZE = 8192


def count_file(path: str) -> Counter[str]:
    """Lower-cased word counts of one file (batches with malformed UTF-8 are skipped)."""
    tok = FFTokenizer(path)
    if not tok.is_fopen():
        raise OSError(f"cannot open {path}")
    tok.set_batch_size(BATCH_SIZE)
    tok.set_filter(WORDS)
    counts: Counter[str] = Counter()
    for batch in read_batches(tok):
        counts.update(map(str.lower, split_tokens(batch)))
    return counts


def list_files(folder: str) -> list[str]:
    return sorted(str(p) for p in Path(folder).rglob("*") if p.is_file())


def count_serial(paths: list[str]) -> Counter[str]:
    total: Counter[str] = Counter()
    for path in paths:
        total.update(count_file(path))
    return total


def count_parallel(paths: list[str], workers: int | None = None) -> Counter[str]:
    total: Counter[str] = Counter()
    with ProcessPoolExecutor(max_workers=workers) as pool:
        for counts in pool.map(count_file, paths):
            total.update(counts)
    return total


def main(argv: list[str]) -> int:
    if not 1 <= len(argv) <= 2:
        print(__doc__, file=sys.stderr)
        return 2
    top = int(argv[1]) if len(argv) == 2 else 20
    counts = count_parallel(list_files(argv[0]))
    for word, n in counts.most_common(top):
        print(f"{n:>10} {word}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
