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
from chopwise._count import Partial, Settings, add_partials, count_piece, final_counts
from chopwise._shards import Piece, pieces_of, plain_size
from chopwise._sources import PathArg
from chopwise._types import TypeSpec, check_lengths, type_mask

DEFAULT_SHARD_SIZE = 64 << 20
# Files are cut finer than shard_size when that gives every worker thread this many shards of
# the whole input: shards of equal size end together, and a few of them per thread even out
# workers that run slower than others. Below MIN_SHARD_SIZE a shard costs more than it shares.
SHARDS_PER_THREAD = 2
MIN_SHARD_SIZE = 1 << 20


def count_words(
    paths: Iterable[PathArg],
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

    `client` defaults to the current Dask client. Each plain file is counted in shards of at most
    about `shard_size` bytes (smaller when the input is too small to give every worker thread a
    few shards), and the counts are added `split_every` at a time on the workers. A file
    that a worker cannot read raises the `OSError` the worker met. Standard input ("-") cannot be
    read by the workers and is refused.
    """
    if shard_size < 1:
        raise ValueError(f"shard_size must be at least 1, not {shard_size}")
    if split_every < 2:
        raise ValueError(f"split_every must be at least 2, not {split_every}")
    check_lengths(min_len, max_len)
    files = [_absolute(p) for p in paths]
    settings = Settings(type_mask(types), min_len, max_len, errors)
    client = client if client is not None else get_client()
    size = _shard_size(client, files, shard_size)
    plans: list[list[Piece]] = client.gather(  # type: ignore[no-untyped-call]
        client.map(pieces_of, files, shard_size=size, pure=False)
    )
    counts = [client.submit(count_piece, piece, settings, pure=False) for plan in plans for piece in plan]
    if not counts:
        return Counter()
    total = client.submit(final_counts, _tree_sum(client, counts, split_every), lower, pure=False)
    result: Counter[str] = total.result()
    return result


def _absolute(path: PathArg) -> str:
    """The path as the workers must see it: absolute, since their working directory is theirs."""
    name = os.fsdecode(path)
    if name == "-":
        raise ValueError("standard input cannot be counted on a cluster: give the paths of files")
    return os.path.abspath(name)


def _shard_size(client: Client, files: list[str], largest: int) -> int:
    """The shard size for `files`: at most `largest`, and small enough to give each of the
    cluster's threads SHARDS_PER_THREAD shards, but no smaller than MIN_SHARD_SIZE."""
    sizes: list[int] = client.gather(  # type: ignore[no-untyped-call]
        client.map(plain_size, files, pure=False)
    )
    threads = max(sum(client.nthreads().values()), 1)  # type: ignore[no-untyped-call]
    return min(largest, max(sum(sizes) // (SHARDS_PER_THREAD * threads), MIN_SHARD_SIZE))


def _tree_sum(client: Client, futures: Sequence[Future[Partial]], split_every: int) -> Future[Partial]:
    """One future of the sum of `futures`, added `split_every` at a time on the workers."""
    while len(futures) > 1:
        futures = [
            client.submit(add_partials, *futures[i : i + split_every], pure=False)
            for i in range(0, len(futures), split_every)
        ]
    return futures[0]
