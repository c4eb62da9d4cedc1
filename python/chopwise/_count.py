"""Counting tokens: one byte range of a file, or whole sources, in one process."""

import os
from collections import Counter
from typing import BinaryIO

import chopwiseCXX

from chopwise import _sources
from chopwise._sources import PathArg, Source

_U32_MAX = (1 << 32) - 1


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
    with open(path, "rb") as f:
        f.seek(start)
        counts = _count_stream(f, max(end - start, 0), types, min_len, max_len, errors, _name(path), start)
    return lowered(counts) if lower else counts


def count_source(
    source: Source, *, types: int, lower: bool, min_len: int, max_len: int, errors: str = "strict"
) -> Counter[str]:
    """The count of the tokens of a whole source (any form tokenize_file takes)."""
    with _sources.open_source(source) as f:
        counts = _count_stream(f, -1, types, min_len, max_len, errors, _name(source), 0)
    return lowered(counts) if lower else counts


def _count_stream(
    f: BinaryIO, limit: int, types: int, min_len: int, max_len: int, errors: str, name: str, offset: int
) -> Counter[str]:
    counts: Counter[str] = Counter()
    for chunk in _sources.chunks(f, limit):
        tok = chopwiseCXX.FTTokenizer(_sources.checked(chunk, errors, name, offset))
        offset += len(chunk)
        tok.set_filter(types)
        tok.set_token_min_len(min(min_len, _U32_MAX))
        tok.set_token_max_len(min(max_len, _U32_MAX))
        for batch in tok.stream:
            add_batch(counts, batch["text"])
    return counts


def add_batch(counts: Counter[str], text: str) -> None:
    """Adds the tokens of a batch's text to `counts`.

    Tokens are never empty, so the empty strings of the split are the final terminator and two
    for each U+0000 token (its character and its terminator)."""
    counts.update(text.split("\0"))
    empty = counts.pop("", 0)
    if empty > 1:
        counts["\0"] += (empty - 1) // 2


def lowered(counts: Counter[str]) -> Counter[str]:
    """The counts with every token lower-cased: lowering the distinct tokens once is cheaper
    than lowering every occurrence, and gives the same result."""
    out: Counter[str] = Counter()
    for token, n in counts.items():
        out[token.lower()] += n
    return out


def _name(source: Source) -> str:
    if isinstance(source, (str, bytes, os.PathLike)):
        return repr(os.fsdecode(source))
    return repr(getattr(source, "name", source))
