"""Cutting inputs into shards that tokenize independently, for work spread over processes: byte
ranges of plain files, cut at line feeds, and whole sources where no range can be read
(compressed files, standard input, anything that is not a regular file). Here alone is decided
how large shards are.

No token spans a line feed (it is a one-character token that ends whatever came before it and
resets the decoder), so the tokens of ranges that end just after a line feed are exactly the
tokens of the whole file.
"""

import os
from typing import BinaryIO, NamedTuple

from chopwise._sources import PathArg, plain_file, plain_file_size

WHOLE = -1


# Shards are cut finer than the largest size asked for when that gives every thread this many
# shards of the whole input: shards of equal size end together, and a few of them per thread
# even out threads that run slower than others. Below MIN_SHARD_SIZE a shard costs more than it
# shares.
SHARDS_PER_THREAD = 2
MIN_SHARD_SIZE = 1 << 20


class Shard(NamedTuple):
    path: str
    start: int = 0
    end: int = WHOLE  # WHOLE: the source read to its end, however long

    @property
    def size(self) -> int | None:
        return None if self.end == WHOLE else self.end - self.start


def plain_size(path: PathArg) -> int:
    """The size of a plain file; 0 for anything else (it is read whole, never cut)."""
    return plain_file_size(path) or 0


def shard_size(total: int, threads: int, largest: int) -> int:
    """The size of shards of an input of `total` bytes shared among `threads` threads: at most
    `largest`, small enough to give each thread SHARDS_PER_THREAD shards, but no smaller than
    MIN_SHARD_SIZE."""
    return min(largest, max(total // (SHARDS_PER_THREAD * max(threads, 1)), MIN_SHARD_SIZE))


def shards_of(path: PathArg, size: int) -> list[Shard]:
    """The shards of one input, in order, plain files in ranges of about `size` bytes. A path
    that cannot be read is one whole shard: reading it raises what is wrong with it."""
    name = os.fsdecode(path)
    if plain_file(name) is None:
        return [Shard(name)]
    return [Shard(name, start, end) for start, end in split_at_newlines(name, size)]


_SCAN = 1 << 16


def split_at_newlines(path: PathArg, shard_size: int) -> list[tuple[int, int]]:
    """Byte ranges [start, end) of the regular file `path`, in order and covering it exactly.

    Each range ends just after a b"\\n" or at the end of the file, and is at least `shard_size`
    bytes long unless it is the last one. An empty file has no range.
    """
    if shard_size < 1:
        raise ValueError(f"shard_size must be at least 1, not {shard_size}")
    ranges: list[tuple[int, int]] = []
    with open(path, "rb") as f:
        size = os.fstat(f.fileno()).st_size
        start = 0
        while start < size:
            end = _line_end_at_or_after(f, start + shard_size - 1, size)
            ranges.append((start, end))
            start = end
    return ranges


def _line_end_at_or_after(f: BinaryIO, pos: int, size: int) -> int:
    """The offset just past the first line feed at or after `pos`, or `size` if there is none."""
    while pos < size:
        f.seek(pos)
        block = f.read(_SCAN)
        if not block:
            break
        found = block.find(b"\n")
        if found >= 0:
            return pos + found + 1
        pos += len(block)
    return size
