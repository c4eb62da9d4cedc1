"""Word counts over files on a Dask cluster.

Each plain file is cut into shards at line feeds on a worker, every shard is tokenized and
counted on a worker, and the counts are added up on the workers in a tree, so one large file
keeps every worker busy and only the final counts travel to the client. The workers need the
installed package and the files under the same paths, nothing else.
"""

from __future__ import annotations

import os
from collections import Counter
from collections.abc import Iterable, Sequence

from distributed import Client, Future, get_client

import chopwiseCXX
from chopwise._count import count_shard
from chopwise._errors import shown_name
from chopwise._shards import Shard, plain_size, shard_size, shards_of
from chopwise._sources import PathArg
from chopwise._types import Settings, TypeSpec

DEFAULT_SHARD_SIZE = 64 << 20


def count_words(
    paths: PathArg | Iterable[PathArg],
    *,
    client: Client | None = None,
    shard_size: int = DEFAULT_SHARD_SIZE,
    types: TypeSpec = chopwiseCXX.ENWORD | chopwiseCXX.RUWORD,
    lower: bool = False,
    min_len: int = 0,
    max_len: int = 512,
    errors: str = "strict",
    split_every: int = 8,
) -> Counter[str]:
    """Word counts of the files `paths`, computed on the cluster of `client`: exactly what
    `chopwise.count_words` gives for the same files and options.

    `paths` is one path or an iterable of them. `client` defaults to the current Dask client. Each
    plain file is counted in shards of at most about `shard_size` bytes (smaller when the input is
    too small to give every worker thread a few shards), and the counts are added `split_every` at a
    time on the workers. A file that a worker cannot read raises the `OSError` the worker met.
    Standard input ("-") cannot be read by the workers and is refused, and so is anything else that
    exists here but is not a regular file or a directory (a pipe, a device): a worker would read its
    own. /dev/stdin and /proc/self/fd/N stand for the file they name in this process.
    """
    if shard_size < 1:
        raise ValueError(f"shard_size must be at least 1, not {shard_size}")
    if split_every < 2:
        raise ValueError(f"split_every must be at least 2, not {split_every}")
    settings = Settings.of(types, min_len, max_len, errors)
    files = [_absolute(p) for p in ([paths] if isinstance(paths, (str, bytes, os.PathLike)) else paths)]
    client = client if client is not None else get_client()
    size = _shard_size(client, files, shard_size)
    plans: list[list[Shard]] = client.gather(  # type: ignore[no-untyped-call]
        client.map(shards_of, files, size=size, pure=False)
    )
    counts = [
        client.submit(count_shard, shard, settings, lower, pure=False) for plan in plans for shard in plan
    ]
    if not counts:
        return Counter()
    result: Counter[str] = _tree_sum(client, counts, split_every).result()
    return result


def _absolute(path: PathArg) -> str:
    """The path as the workers must see it: absolute, since their working directory is theirs."""
    name = os.fsdecode(path)
    if name == "-":
        raise ValueError("standard input cannot be counted on a cluster: give the paths of files")
    if os.path.exists(name) and not (os.path.isfile(name) or os.path.isdir(name)):
        raise ValueError(f"{shown_name(name)} is not a regular file: the workers cannot read it")
    # /dev/stdin and /proc/self/fd/N mean another file in each process: name the file itself.
    real = os.path.realpath(name)
    return real if name.startswith(("/proc/", "/dev/")) else os.path.abspath(name)


def _shard_size(client: Client, files: list[str], largest: int) -> int:
    """The shard size for `files`, shared among the cluster's threads."""
    sizes: list[int] = client.gather(  # type: ignore[no-untyped-call]
        client.map(plain_size, files, pure=False)
    )
    threads = sum(client.nthreads().values())  # type: ignore[no-untyped-call]
    return shard_size(sum(sizes), threads, largest)


def add_counts(*counts: Counter[str]) -> Counter[str]:
    """The sum of shard counts, which are left as they are (a worker may still hold them)."""
    total: Counter[str] = Counter()
    for c in counts:
        total.update(c)
    return total


def _tree_sum(
    client: Client, futures: Sequence[Future[Counter[str]]], split_every: int
) -> Future[Counter[str]]:
    """One future of the sum of `futures`, added `split_every` at a time on the workers."""
    while len(futures) > 1:
        futures = [
            client.submit(add_counts, *futures[i : i + split_every], pure=False)
            for i in range(0, len(futures), split_every)
        ]
    return futures[0]
