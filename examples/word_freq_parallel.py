"""Word frequencies over a folder of UTF-8 files, counted on every core (threads of the native engine).

python examples/word_freq_parallel.py FOLDER [TOP]
"""

import sys
from collections import Counter
from pathlib import Path

import chopwise


def count_file(path: str) -> Counter[str]:
    """Lower-cased word counts of one file (bytes that are not UTF-8 count as U+FFFD)."""
    return chopwise.count_words(path, lower=True, errors="replace")


def list_files(folder: str) -> list[str]:
    return sorted(str(p) for p in Path(folder).rglob("*") if p.is_file())


def count_serial(paths: list[str]) -> Counter[str]:
    return chopwise.count_words(paths, lower=True, errors="replace")


def count_parallel(paths: list[str], workers: int = 2) -> Counter[str]:
    # Threads, not processes: large files are shared among them too, and no main guard is needed.
    return chopwise.count_words(paths, lower=True, errors="replace", workers=workers)


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
