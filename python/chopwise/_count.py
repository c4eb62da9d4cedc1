"""Counting tokens: a byte range of a file, whole sources, many sources in worker processes.

Counting needs no offsets, so the module itself filters by type and length. The tokens of each
batch go to a tally: with pyarrow, batch texts are gathered and counted by Arrow's hash table,
several times faster than a Counter over the split text; without it, a Counter does it. Both
give the same counts.
"""

import importlib.util
import math
import multiprocessing
import multiprocessing.context
import os
from collections import Counter
from collections.abc import Iterable
from concurrent.futures import ProcessPoolExecutor
from dataclasses import dataclass
from functools import partial
from typing import Any, BinaryIO, TypeGuard

import numpy as np

import chopwiseCXX
from chopwise import _shards, _sources
from chopwise._sources import PathArg, Source
from chopwise._types import TypeSpec, check_lengths, type_mask

_U32_MAX = (1 << 32) - 1
# Arrow counts the gathered batch texts once they hold about this many characters.
_ARROW_GROUP = 1 << 23
# A plain file is split between workers only into parts at least this large.
_MIN_SHARD = 1 << 22


class CounterTally:
    """Counts the tokens of batch texts with a Counter."""

    def __init__(self) -> None:
        self._counts: Counter[str] = Counter()

    def add(self, text: str) -> None:
        parts = text.split("\0")
        parts.pop()  # after the last terminator
        self._counts.update(parts)

    def counts(self) -> Counter[str]:
        return _nul_tokens(Counter(self._counts))


class ArrowTally:
    """Counts the tokens of batch texts with pyarrow.compute.value_counts.

    The gathered texts become one Arrow string array without a str for each token: the NUL
    bytes are taken out, and the offsets are where they were. Distinct tokens and their counts
    stay Arrow arrays (cheap to send from a worker process) until counts() makes the Counter."""

    def __init__(self) -> None:
        _arrow()
        self._texts: list[str] = []
        self._size = 0
        self._values: list[Any] = []
        self._counts: list[Any] = []

    def add(self, text: str) -> None:
        self._texts.append(text)
        self._size += len(text)
        if self._size >= _ARROW_GROUP:
            self._count_gathered()

    def _count_gathered(self) -> None:
        pa, pc = _arrow()
        data = "".join(self._texts).encode("utf-8")
        self._texts, self._size = [], 0
        ends = np.flatnonzero(np.frombuffer(data, np.uint8) == 0)
        offsets = np.concatenate([np.zeros(1, np.int64), ends - np.arange(len(ends))])
        tokens = data.replace(b"\0", b"")
        strings = pa.LargeStringArray.from_buffers(len(ends), pa.py_buffer(offsets), pa.py_buffer(tokens))
        found = pc.value_counts(strings)
        self._values.append(found.field("values"))
        self._counts.append(found.field("counts"))
        if len(self._values) > 8:
            self._merge()

    def _merge(self) -> None:
        pa, pc = _arrow()
        values = pc.dictionary_encode(pa.concat_arrays(self._values))
        counts = pa.concat_arrays(self._counts).to_numpy()
        summed = np.bincount(values.indices.to_numpy(), weights=counts, minlength=len(values.dictionary))
        self._values, self._counts = [values.dictionary], [pa.array(summed.astype(np.int64))]

    def absorb(self, other: "ArrowTally") -> None:
        other.finished()
        self._values += other._values
        self._counts += other._counts
        if len(self._values) > 8:
            self._merge()

    def finished(self) -> "ArrowTally":
        """The tally with every gathered text counted and one array of each kind left."""
        if self._texts:
            self._count_gathered()
        if len(self._values) > 1:
            self._merge()
        return self

    def counts(self) -> Counter[str]:
        self.finished()
        if not self._values:
            return Counter()
        words, counts = self._values[0].to_pylist(), self._counts[0].to_pylist()
        return _nul_tokens(Counter(dict(zip(words, counts, strict=True))))


Tally = CounterTally | ArrowTally


def _arrow() -> tuple[Any, Any]:
    import pyarrow  # type: ignore[import-untyped, unused-ignore]
    import pyarrow.compute  # type: ignore[import-untyped, unused-ignore]

    return pyarrow, pyarrow.compute


def _nul_tokens(counts: Counter[str]) -> Counter[str]:
    """Turns the empty strings that U+0000 tokens leave, two for each (the token's character and
    its terminator), into those tokens. No other token is empty."""
    empty = counts.pop("", 0)
    if empty:
        counts["\0"] += empty // 2
    return counts


# A count on its way to the total: an Arrow tally itself (its arrays are cheap to send between
# processes and to add up), a Counter where pyarrow is missing. The one Counter of the total is
# made at the end, and lower-cased there: the sum of lowered counts is the lowered sum.
Partial = ArrowTally | Counter[str]


def as_partial(tally: Tally) -> Partial:
    return tally if isinstance(tally, ArrowTally) else tally.counts()


def add_partials(*parts: Partial) -> Partial:
    """The sum of `parts`, which are left as they were (a worker may still hold them). Arrow
    tallies are added up in Arrow; only where a part is a Counter does the sum become one."""
    counters = [p for p in parts if not isinstance(p, ArrowTally)]
    tallies = [p for p in parts if isinstance(p, ArrowTally)]
    arrow = None
    if tallies:
        arrow = ArrowTally()
        for tally in tallies:
            arrow.absorb(tally)
        if not counters:
            return arrow
    return _add_counts(*counters, *([arrow.counts()] if arrow is not None else []))


def final_counts(part: Partial, lower: bool) -> Counter[str]:
    counts = part.counts() if isinstance(part, ArrowTally) else part
    return lowered(counts) if lower else counts


def _add_counts(*counts: Counter[str]) -> Counter[str]:
    """The sum of `counts`, which are left as they are."""
    if not counts:
        return Counter()
    largest = max(counts, key=len)
    total = Counter(largest)  # a copy is a dict copy; adding to it is the costly part
    for c in counts:
        if c is not largest:
            total.update(c)
    return total


def new_tally() -> Tally:
    """The fastest tally available here."""
    try:
        return ArrowTally()
    except ImportError:
        return CounterTally()


@dataclass(frozen=True)
class Settings:
    """What the module keeps (it filters itself: counting needs no offsets) and how bytes that
    are not UTF-8 are handled."""

    types: int
    min_len: int
    max_len: int
    errors: str

    def tokenizer(self, text: str | bytes) -> chopwiseCXX.FTTokenizer:
        tok = chopwiseCXX.FTTokenizer(text)
        tok.set_filter(self.types)
        tok.set_token_min_len(min(self.min_len, _U32_MAX))
        tok.set_token_max_len(min(self.max_len, _U32_MAX))
        return tok


def count_range(
    path: PathArg,
    start: int,
    end: int,
    *,
    types: int,
    lower: bool,
    min_len: int,
    max_len: int,
    errors: str = "strict",
) -> Counter[str]:
    """The count of the tokens of bytes [start, end) of the file `path`."""
    check_lengths(min_len, max_len)
    return final_counts(
        as_partial(_count_range(path, start, end, Settings(types, min_len, max_len, errors))), lower
    )


def _count_source(source: Source, settings: Settings) -> Tally:
    """The count of the tokens of a whole source (any form tokenize_file takes)."""
    with _sources.open_source(source) as f:
        return _count_stream(f, -1, settings, _sources.name_of(source), 0)


def count_piece(piece: _shards.Piece, settings: Settings) -> Partial:
    if piece.end == _shards.WHOLE:
        return _count_whole(piece.path, settings)
    return as_partial(_count_range(piece.path, piece.start, piece.end, settings))


def _count_range(path: PathArg, start: int, end: int, settings: Settings) -> Tally:
    with open(path, "rb") as f:
        f.seek(start)
        return _count_stream(f, max(end - start, 0), settings, _sources.name_of(path), start)


def _count_stream(f: BinaryIO, limit: int, settings: Settings, name: str, offset: int) -> Tally:
    tally = new_tally()
    # Under "strict" the bytes go to the module as they are, so its rules for malformed UTF-8
    # apply: a batch that cannot become a str raises.
    strict = settings.errors == "strict"
    for chunk in _sources.chunks(f, limit):
        tok = settings.tokenizer(chunk if strict else _sources.checked(chunk, settings.errors, name, offset))
        try:
            for batch in tok.stream:
                tally.add(batch["text"])
        except UnicodeDecodeError as err:
            err.add_note(f"in {name}, in the {len(chunk)} bytes from byte {offset}")
            raise
        offset += len(chunk)
    return tally.finished() if isinstance(tally, ArrowTally) else tally


def lowered(counts: Counter[str]) -> Counter[str]:
    """The counts with every token lower-cased: lowering the distinct tokens once gives the same
    result as lowering every occurrence, for a fraction of the work."""
    out: Counter[str] = Counter()
    for token, n in counts.items():
        out[token.lower()] += n
    return out


def count_words(
    paths: Source | Iterable[Source],
    *,
    types: TypeSpec | None = chopwiseCXX.ENWORD | chopwiseCXX.RUWORD,
    lower: bool = False,
    min_len: int = 0,
    max_len: int = 512,
    workers: int = 1,
    errors: str = "strict",
) -> Counter[str]:
    """How often each token of the given types and lengths occurs in the files, lower-cased if
    `lower`. A single path, or an iterable of them, each in any form tokenize_file takes. With
    workers > 1, that many worker processes count the files, large plain files in parts."""
    check_lengths(min_len, max_len)
    if isinstance(workers, bool) or not isinstance(workers, int) or workers < 1:
        raise ValueError(f"workers must be an int of at least 1, not {workers!r}")
    _sources.check_errors(errors)
    settings = Settings(type_mask(types), min_len, max_len, errors)
    sources = _source_list(paths)
    if workers == 1:
        total = add_partials(*(_count_whole(source, settings) for source in sources))
    else:
        total = _count_in_workers(sources, workers, settings)
    return final_counts(total, lower)


def _source_list(paths: Source | Iterable[Source]) -> list[Source]:
    if isinstance(paths, (str, bytes, os.PathLike)) or hasattr(paths, "read"):
        return [paths]  # type: ignore[list-item]
    return list(paths)


def _count_in_workers(sources: list[Source], workers: int, settings: Settings) -> Partial:
    """Plain files are split at line feeds into about one part per worker; other paths go to a
    worker whole. This process is one of the workers: it counts standard input and file objects,
    which cannot be passed on, or else the first part, while workers - 1 new processes count the
    rest."""
    paths = [source for source in sources if _sendable(source)]
    shard = max(_MIN_SHARD, math.ceil(sum(map(_shards.plain_size, paths)) / workers))
    theirs = [
        partial(count_piece, piece, settings) for path in paths for piece in _shards.pieces_of(path, shard)
    ]
    mine = [partial(_count_whole, source, settings) for source in sources if not _sendable(source)]
    if not mine:
        mine, theirs = theirs[:1], theirs[1:]
    if not theirs:
        return add_partials(*(task() for task in mine))
    with ProcessPoolExecutor(min(workers - 1, len(theirs)), mp_context=_worker_context()) as pool:
        futures = [pool.submit(task) for task in theirs]
        try:
            parts = [task() for task in mine]
            parts += [future.result() for future in futures]
        except BaseException:
            pool.shutdown(cancel_futures=True)
            raise
    return add_partials(*parts)


def _count_whole(source: Source, settings: Settings) -> Partial:
    return as_partial(_count_source(source, settings))


def _sendable(source: Source) -> TypeGuard[PathArg]:
    """Whether a source can be counted in another process: standard input and file objects
    cannot."""
    return isinstance(source, (str, bytes, os.PathLike)) and os.fsdecode(source) != "-"


def _worker_context() -> multiprocessing.context.BaseContext:
    """Workers forked from a server process that has already imported what counting needs:
    importing pyarrow in every new worker would take longer than many a count. (Forking this
    process instead is not safe once it runs threads, as Arrow's pool does.)"""
    context = multiprocessing.get_context("forkserver")
    global _preloaded
    if not _preloaded:
        modules = ["__main__", "chopwise._count"]  # __main__ is the server's own default
        if importlib.util.find_spec("pyarrow") is not None:
            modules.append("pyarrow.compute")
        context.set_forkserver_preload(modules)
        _preloaded = True
    return context


_preloaded = False
