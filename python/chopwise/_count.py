"""Word counts of files and texts, by the one counting engine, the native WordCounter: plain
files go to it whole (it reads them in large blocks and shares them among its threads), every
other source as a stream of bytes, columns of texts as they are."""

import os
from collections import Counter
from collections.abc import Callable, Iterable
from typing import TYPE_CHECKING, BinaryIO, Literal, TypedDict, Unpack, cast, overload

import chopwiseCXX
from chopwise import _native, _sources
from chopwise._arrow import require_pyarrow
from chopwise._errors import DecodeError, decode_errors
from chopwise._shards import WHOLE, Shard
from chopwise._sources import Source
from chopwise._tokenize import Texts, on_texts
from chopwise._types import Settings, TypeSpec, thread_count

if TYPE_CHECKING:
    import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]

# Bytes of a stream (compressed file, standard input, file object) handed over per call.
BLOCK_SIZE = 1 << 22
WORDS = chopwiseCXX.ENWORD | chopwiseCXX.RUWORD

# Plain files smaller than this are counted side by side, each by one thread: cut in slices,
# a file this small would not keep the threads busy for long.
SMALL_FILE = 8 << 20

# Told the number of bytes read since it was last called.
Progress = Callable[[int], None]


def _nothing(_: int) -> None:
    pass


def add_source(
    counter: _native.WordCounter, source: Source, threads: int, progress: Progress = _nothing
) -> None:
    """Counts the tokens of one source (any form tokenize_file takes) into `counter`."""
    name = _sources.name_of(source)
    path = _sources.plain_file(source)
    if path is None:
        with _sources.open_source(source) as f:
            add_stream(counter, f, name, progress)
        return
    with decode_errors(name):
        counter.add_file(path, threads, progress)


def add_small_files(
    counter: _native.WordCounter, paths: list[_sources.PathArg], threads: int, progress: Progress
) -> None:
    """Counts plain files too small to keep the threads busy alone side by side, each by one
    thread; a single one is shared among them."""
    if len(paths) < 2:
        for path in paths:
            add_source(counter, path, threads, progress)
        return
    try:
        counter.add_files(paths, threads, progress)
    except UnicodeDecodeError as err:
        if isinstance(err, DecodeError):
            raise
        with decode_errors(_sources.name_of(paths[getattr(err, "file", 0)])):
            raise


def add_stream(
    counter: _native.WordCounter,
    f: BinaryIO,
    name: str,
    progress: Progress = _nothing,
    limit: int = -1,
    base: int = 0,
) -> None:
    """Counts the tokens of the bytes of `f` (at most `limit` of them if it is not negative),
    which start at byte `base` of the source `name`."""
    with decode_errors(name, base):
        while limit != 0:
            block = f.read(BLOCK_SIZE if limit < 0 else min(BLOCK_SIZE, limit))
            if not block and limit > 0:
                raise EOFError(f"{name} ended {limit} bytes early: it changed while it was read")
            if not block:
                break
            limit -= len(block) if limit > 0 else 0
            counter.add_bytes(block, False)
            progress(len(block))
        counter.add_bytes(b"", True)


def count_shard(shard: Shard, settings: Settings, lower: bool) -> Counter[str]:
    """The counts of one shard, on one thread: shards are how work is shared among processes."""
    counter = settings.counter(lower)
    if shard.end == WHOLE:
        add_source(counter, shard.path, 1)
    else:
        with open(shard.path, "rb") as f:
            f.seek(shard.start)
            name = _sources.name_of(shard.path)
            add_stream(counter, f, name, limit=shard.end - shard.start, base=shard.start)
    return counts_of(counter)


def counts_of(counter: _native.WordCounter) -> Counter[str]:
    """The counts as a Counter, most common first."""
    counts: Counter[str] = Counter()
    counter.fill(counts)
    return counts


def counts_table(counter: _native.WordCounter) -> "pa.Table":
    """The counts as a pyarrow Table (token: string, count: int64), most common first, ties in
    code point order."""
    pa = require_pyarrow("a table of counts")
    return pa.Table.from_batches([pa.record_batch(counter)])


def _threads(threads: int | None, workers: int | None) -> int:
    if workers is None:
        return thread_count(threads)
    if threads is not None and threads != workers:
        raise ValueError(f"workers and threads mean the same; got workers={workers!r}, threads={threads!r}")
    if isinstance(workers, bool) or not isinstance(workers, int) or workers < 1:
        raise ValueError(f"workers must be an int of at least 1, not {workers!r}")
    return workers


def _source_list(paths: Source | Iterable[Source]) -> list[Source]:
    if isinstance(paths, (str, bytes, os.PathLike)) or hasattr(paths, "read"):
        return [paths]  # type: ignore[list-item]
    return list(paths)


class CountOptions(TypedDict, total=False):
    """The options every count takes, for the typed overloads below."""

    types: TypeSpec | None
    lower: bool
    min_len: int
    max_len: int
    threads: int | None
    errors: str


# The result type follows `table`: a Counter, or a pyarrow Table.
@overload
def count_words(
    paths: Source | Iterable[Source],
    *,
    workers: int | None = ...,
    table: Literal[False] = ...,
    progress: Progress | None = ...,
    **options: Unpack[CountOptions],
) -> Counter[str]: ...
@overload
def count_words(
    paths: Source | Iterable[Source],
    *,
    workers: int | None = ...,
    table: Literal[True],
    progress: Progress | None = ...,
    **options: Unpack[CountOptions],
) -> "pa.Table": ...
def count_words(
    paths: Source | Iterable[Source],
    *,
    types: TypeSpec | None = WORDS,
    lower: bool = False,
    min_len: int = 0,
    max_len: int = 512,
    threads: int | None = None,
    workers: int | None = None,
    errors: str = "strict",
    table: bool = False,
    progress: Progress | None = None,
) -> "Counter[str] | pa.Table":
    """How often each token of the given types and lengths occurs in the files, lower-cased if
    `lower`. A single path, or an iterable of them, each in any form tokenize_file takes.

    The count runs on `threads` threads (None: every CPU this process may use; `workers` is the
    same setting under its older name). The result is a Counter, most common first, or with
    `table=True` a pyarrow Table (token, count) in that order, ties in code point order, made
    without the Counter. `progress`, if given, is told the bytes read as the count goes on."""
    counter = Settings.of(types, min_len, max_len, errors).counter(lower)
    n = _threads(threads, workers)
    tell = progress or _nothing
    small: list[_sources.PathArg] = []  # a run of small plain files, counted together
    for source in _source_list(paths):
        size = _sources.plain_file_size(source)
        if size is not None and size < SMALL_FILE:
            small.append(cast(_sources.PathArg, source))
            continue
        add_small_files(counter, small, n, tell)
        small = []
        add_source(counter, source, n, tell)
    add_small_files(counter, small, n, tell)
    return counts_table(counter) if table else counts_of(counter)


@overload
def count_texts(
    texts: Texts, *, table: Literal[False] = ..., **options: Unpack[CountOptions]
) -> Counter[str]: ...
@overload
def count_texts(texts: Texts, *, table: Literal[True], **options: Unpack[CountOptions]) -> "pa.Table": ...
def count_texts(
    texts: Texts,
    *,
    types: TypeSpec | None = WORDS,
    lower: bool = False,
    min_len: int = 0,
    max_len: int = 512,
    threads: int | None = None,
    errors: str = "strict",
    table: bool = False,
) -> "Counter[str] | pa.Table":
    """count_words for a column of texts (any input tokenize_many takes), null rows empty."""
    counter = Settings.of(types, min_len, max_len, errors).counter(lower)
    with decode_errors(None):
        n = thread_count(threads)
        on_texts(lambda column: counter.add_texts(column, n), texts)
    return counts_table(counter) if table else counts_of(counter)
