"""Inputs cut into pieces that are counted independently and added up: byte ranges of plain
files, cut at line feeds, and whole sources where no range can be read (compressed files,
standard input, anything that is not a regular file). A piece's count is a Partial."""

from __future__ import annotations

import os
from typing import NamedTuple

from chopwise._count import (
    Partial,
    _count_range,
    _count_source,
    _Settings,
    add_partials,
    as_partial,
    final_counts,
)
from chopwise._shards import split_at_newlines
from chopwise._sources import PathArg, plain_file

WHOLE = -1

Settings = _Settings
__all__ = ["Partial", "Piece", "Settings", "add_partials", "count_piece", "final_counts", "pieces_of"]


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
    return as_partial(tally)
