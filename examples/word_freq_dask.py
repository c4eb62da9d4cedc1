"""Word frequencies (lower-cased) over a folder of UTF-8 files on a Dask cluster.

    python examples/word_freq_dask.py FOLDER [SCHEDULER_ADDRESS]

With an address (such as tcp://127.0.0.1:8786) it uses that cluster: its workers need chopwise
installed and the files under the same paths, nothing else. Without one it starts a local
cluster of two worker processes. Large files are shared among the workers.
"""

import sys
from collections import Counter
from pathlib import Path

from distributed import Client, LocalCluster

import chopwise.dask


def list_files(folder: str) -> list[str]:
    return sorted(str(p.resolve()) for p in Path(folder).rglob("*") if p.is_file())


def count_folder(folder: str, scheduler: str | None = None) -> Counter[str]:
    paths = list_files(folder)
    if scheduler is not None:
        with Client(scheduler) as client:
            return chopwise.dask.count_words(paths, client=client, lower=True)
    with (
        LocalCluster(
            n_workers=2, threads_per_worker=1, host="127.0.0.1", dashboard_address="127.0.0.1:0"
        ) as cluster,
        Client(cluster) as client,
    ):
        return chopwise.dask.count_words(paths, client=client, lower=True)


def main(argv: list[str]) -> int:
    if not 1 <= len(argv) <= 2:
        print(__doc__, file=sys.stderr)
        return 2
    counts = count_folder(*argv)
    for word, n in counts.most_common(20):
        print(f"{n:>10} {word}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
