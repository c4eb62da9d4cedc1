"""Word frequencies over a folder of UTF-8 files on a Dask cluster, one task per file.

    python examples/word_freq_dask.py FOLDER [SCHEDULER_ADDRESS]

Without an address it starts a local cluster of worker processes. The files must be
readable by the workers under the same paths.
"""

import sys
from collections import Counter

from distributed import Client, LocalCluster, as_completed

from word_freq_parallel import count_file, list_files


def count_on_cluster(client: Client, paths: list[str]) -> Counter[str]:
    futures = client.map(count_file, paths, pure=False)
    total: Counter[str] = Counter()
    # Merge in completion order: addition of counters does not depend on it.
    for future in as_completed(futures):
        total.update(future.result())
    return total


def main(argv: list[str]) -> int:
    if not 1 <= len(argv) <= 2:
        print(__doc__, file=sys.stderr)
        return 2
    paths = list_files(argv[0])
    if len(argv) == 2:
        with Client(argv[1]) as client:
            counts = count_on_cluster(client, paths)
    else:
        with LocalCluster(processes=True, threads_per_worker=1, dashboard_address=None) as cluster, Client(
            cluster
        ) as client:
            counts = count_on_cluster(client, paths)
    for word, n in counts.most_common(20):
        print(f"{n:>10} {word}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
