"""Inputs cut into pieces that are counted independently and added up: byte ranges of plain
files, cut at line feeds, and whole sources where no range can be read (compressed files,
standard input, anything that is not a regular file).

A piece's count travels as a Partial: the Arrow tally itself where pyarrow is installed (its
arrays are cheap to send and to add up), a Counter elsewhere. The one Counter of the total is
made at the end, and lower-cased there: the sum of lowered counts is the lowered sum.
"""

from __future__ import annotations

import os
from collections import Counter
from typing import NamedTuple

from chopwise._count import ArrowTally, _count_range, _count_source, _Settings, lowered
from chopwise._shards import split_at_newlines
from chopwise._sources import PathArg, plain_file

WHOLE = -1

Partial = ArrowTally | Counter[str]
Settings = _Settings


class Piece(NamedTuple):
    path: str
    start: int = 0
    end: int = WHOLE  # WHOLE: the source read to its end, however long

    @property
    def size(self) -> int | None:
        return None if self.end == WHOLE else self.end - self.start


def plain_size(path: PathArg) -> int:
    """The size of a plain file; 0 for anything else (it is read whole, never cut)."""
    try:
        return 0 if plain_file(path) is None else os.path.getsize(path)
    except OSError:
        return 0


def pieces_of(path: PathArg, shard_size: int) -> list[Piece]:
    """The pieces of one input, in order. A path that cannot be read is one whole piece: reading
    it raises what is wrong with it."""
    name = os.fsdecode(path)
    if plain_file(name) is None:
        return [Piece(name)]
    return [Piece(name, start, end) for start, end in split_at_newlines(name, shard_size)]


def count_piece(piece: Piece, settings: Settings) -> Partial:
    if piece.end == WHOLE:
        tally = _count_source(piece.path, settings)
    else:
        tally = _count_range(piece.path, piece.start, piece.end, settings)
    return tally if isinstance(tally, ArrowTally) else tally.counts()


def add_partials(*parts: Partial) -> Partial:
    """The sum of `parts`, which are left as they were (a worker may still hold them)."""
    counters = [p for p in parts if isinstance(p, Counter)]
    tallies = [p for p in parts if isinstance(p, ArrowTally)]
    if counters:
        return add_counts(*counters, *(t.counts() for t in tallies))
    total = ArrowTally()
    for tally in tallies:
        total.absorb(tally)
    return total


def final_counts(part: Partial, lower: bool) -> Counter[str]:
    counts = part.counts() if isinstance(part, ArrowTally) else part
    return lowered(counts) if lower else counts


def add_counts(*counts: Counter[str]) -> Counter[str]:
    """The sum of `counts`, which are left as they are."""
    if not counts:
        return Counter()
    largest = max(counts, key=len)
    total = Counter(largest)  # a copy is a dict copy; adding to it is the costly part
    for c in counts:
        if c is not largest:
            total.update(c)
    return total
