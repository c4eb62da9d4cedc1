"""Inputs cut into pieces that are counted independently and added up: byte ranges of plain
files, cut at line feeds, and whole sources where no range can be read (compressed files,
standard input, anything that is not a regular file)."""

from __future__ import annotations

import os
from collections import Counter
from typing import NamedTuple

import chopwise
from chopwise._count import count_range
from chopwise._shards import split_at_newlines
from chopwise._sources import PathArg, plain_file

WHOLE = -1


class Piece(NamedTuple):
    path: str
    start: int = 0
    end: int = WHOLE  # WHOLE: the source read to its end, however long

    @property
    def size(self) -> int | None:
        return None if self.end == WHOLE else self.end - self.start


class CountOptions(NamedTuple):
    types: int
    lower: bool
    min_len: int
    max_len: int
    errors: str


def pieces_of(path: PathArg, shard_size: int) -> list[Piece]:
    """The pieces of one input, in order. A path that cannot be read is one whole piece: reading
    it raises what is wrong with it."""
    name = os.fsdecode(path)
    if plain_file(name) is None:
        return [Piece(name)]
    return [Piece(name, start, end) for start, end in split_at_newlines(name, shard_size)]


def plain_size(path: PathArg) -> int:
    """The size of a plain file; 0 for anything else (it is read whole, never cut)."""
    try:
        return 0 if plain_file(path) is None else os.path.getsize(path)
    except OSError:
        return 0


def count_piece(piece: Piece, options: CountOptions) -> Counter[str]:
    kwargs = options._asdict()
    if piece.end == WHOLE:
        return chopwise.count_words(piece.path, **kwargs)
    return count_range(piece.path, piece.start, piece.end, **kwargs)


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
