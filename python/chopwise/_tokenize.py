"""Tokens with their offsets: of one text, of a file, of many short texts at once."""

from collections.abc import Generator, Iterable, Iterator
from dataclasses import dataclass
from itertools import accumulate, compress
from typing import TYPE_CHECKING, BinaryIO

import numpy as np
import numpy.typing as npt

import chopwiseCXX
from chopwise import _sources
from chopwise._arrow import require_pyarrow
from chopwise._batch import tokens
from chopwise._sources import Source
from chopwise._types import ALL, MEMBER, Token, TypeSpec, check_lengths, type_mask
from chopwiseCXX import FTTokenizer

if TYPE_CHECKING:
    import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]

# Every token is at most this long, so a larger max_len filters nothing.
_LONGEST_TOKEN = 128
_U32_MAX = (1 << 32) - 1


@dataclass(frozen=True)
class _Keep:
    """Which tokens a call keeps. Tokenizing is always unfiltered, so that offsets follow from
    the lengths of all the tokens; the filter applies after."""

    mask: int
    min_len: int
    max_len: int

    @classmethod
    def of(cls, types: TypeSpec | None, min_len: int, max_len: int) -> "_Keep":
        check_lengths(min_len, max_len)
        return cls(type_mask(types), min_len, max_len)

    @property
    def everything(self) -> bool:
        return self.mask & ALL == ALL and self.min_len <= 1 and self.max_len >= _LONGEST_TOKEN

    def select(self, types: npt.NDArray[np.uint64], lengths: npt.NDArray[np.int64]) -> npt.NDArray[np.bool_]:
        kept: npt.NDArray[np.bool_] = (types & np.uint64(self.mask)) != 0
        return kept & (lengths >= self.min_len) & (lengths <= self.max_len)


def _tokenizer(text: str | bytes) -> FTTokenizer:
    try:
        return FTTokenizer(text)
    except TypeError:
        if isinstance(text, str):
            text.encode("utf-8")  # a lone surrogate: raise the encoder's own error
        raise


def _text_tokens(text: str | bytes, keep: _Keep, base: int) -> Generator[Token, None, int]:
    """The kept tokens of a text whose first character is at offset `base` of the source;
    returns the offset just past the text."""
    for batch in _tokenizer(text).stream:
        texts = tokens(batch)
        ends = list(accumulate(map(len, texts), initial=base))
        base = ends[-1]
        found = map(Token, texts, map(MEMBER.__getitem__, batch["types"].tolist()), ends, ends[1:])
        if keep.everything:
            yield from found
        else:
            lengths = np.fromiter(map(len, texts), np.int64, len(texts))
            yield from compress(found, keep.select(batch["types"], lengths).tolist())
    return base


def tokenize(
    text: str | bytes | bytearray,
    *,
    types: TypeSpec | None = None,
    min_len: int = 0,
    max_len: int = 512,
    errors: str = "strict",
) -> Iterator[Token]:
    """The tokens of a text, each with its character offsets in it (for bytes: in their UTF-8
    decoding, made with `errors`). Only tokens of the given types and lengths are kept."""
    keep = _Keep.of(types, min_len, max_len)
    _sources.check_errors(errors)
    if isinstance(text, (bytes, bytearray)):
        text = _sources.checked(bytes(text), errors, "the bytes", 0)
    elif not isinstance(text, str):
        raise TypeError(f"text must be str, bytes or bytearray, not {type(text).__name__}")
    return _text_tokens(text, keep, 0)


def tokenize_file(
    path: Source,
    *,
    types: TypeSpec | None = None,
    min_len: int = 0,
    max_len: int = 512,
    errors: str = "strict",
) -> Iterator[Token]:
    """The tokens of a file, as `tokenize` gives them for its text, read in constant memory.

    `path` is a path (str, bytes or os.PathLike; .gz, .bz2, .xz and .zst are decompressed),
    "-" for standard input, or a binary file object. The file is opened at once, so a path that
    cannot be read raises here, before the first token."""
    keep = _Keep.of(types, min_len, max_len)
    _sources.check_errors(errors)
    f, owned = _sources.open_binary(path)
    return _file_tokens(f, owned, keep, errors, _sources.name_of(path))


def _file_tokens(f: BinaryIO, owned: bool, keep: _Keep, errors: str, name: str) -> Iterator[Token]:
    try:
        offset = base = 0
        for chunk in _sources.chunks(f):
            text = _sources.checked(chunk, errors, name, offset)
            offset += len(chunk)
            base = yield from _text_tokens(text, keep, base)
    finally:
        if owned:
            f.close()


@dataclass(frozen=True, eq=False)
class Tokens:
    """The tokens of many texts: token i is text[i], of type types[i], found in texts[doc[i]]
    at characters start[i]:end[i]."""

    text: list[str]
    types: npt.NDArray[np.uint64]
    doc: npt.NDArray[np.int64]
    start: npt.NDArray[np.int64]
    end: npt.NDArray[np.int64]

    def __len__(self) -> int:
        return len(self.text)

    def to_arrow(self) -> "pa.RecordBatch":
        """The tokens as a pyarrow RecordBatch: token (string), type (uint64), doc, start, end
        (int64)."""
        pa = require_pyarrow("Tokens.to_arrow")
        columns = [pa.array(self.text, pa.string()), self.types, self.doc, self.start, self.end]
        return pa.record_batch(columns, names=["token", "type", "doc", "start", "end"])


def tokenize_many(
    texts: Iterable[str],
    *,
    types: TypeSpec | None = None,
    min_len: int = 0,
    max_len: int = 512,
) -> Tokens:
    """The tokens of every text, in order, exactly as one tokenizer per text would give them.

    The texts are tokenized as one, joined by line feeds: no token spans a line feed, so each
    text's tokens are its own, and the joining line feeds are told apart by their offsets."""
    keep = _Keep.of(types, min_len, max_len)
    texts = list(texts)
    joined = "\n".join(texts)
    all_types, lengths = _types_and_lengths(joined)
    text_lengths = np.fromiter(map(len, texts), np.int64, len(texts))
    text_starts = np.cumsum(text_lengths + 1) - (text_lengths + 1)
    starts = np.cumsum(lengths) - lengths
    # The joining line feeds are the line feed tokens at the offsets just past each text.
    at_joint = np.zeros(len(joined) + 1, np.bool_)
    at_joint[text_starts[1:] - 1] = True
    joiner = at_joint[starts] & (all_types == np.uint64(chopwiseCXX.NWLINE))
    doc = np.cumsum(joiner) - joiner
    start = starts - text_starts[doc]
    chosen = keep.select(all_types, lengths)
    kept = np.flatnonzero(chosen & ~joiner)
    # A second pass with the module's own filter, the same as `chosen`, makes str objects only
    # for the tokens it keeps; joining line feeds are among them only if line feeds are kept.
    words = _kept_strings(joined, keep)
    if keep.mask & int(chopwiseCXX.NWLINE):
        words = list(compress(words, (~joiner[chosen]).tolist()))
    return Tokens(
        text=words, types=all_types[kept], doc=doc[kept], start=start[kept], end=start[kept] + lengths[kept]
    )


def _types_and_lengths(text: str) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.int64]]:
    """The type and length of every token of the text, without a str for each token."""
    types: list[npt.NDArray[np.uint64]] = [np.zeros(0, np.uint64)]
    lengths: list[npt.NDArray[np.int64]] = [np.zeros(0, np.int64)]
    for batch in _tokenizer(text).stream:
        types.append(batch["types"].copy())
        chars = np.frombuffer(batch["text"].encode("utf-32-le"), np.uint32)
        ends = np.flatnonzero(chars == 0)
        if len(ends) == len(types[-1]):
            lengths.append(np.diff(ends, prepend=-1) - 1)
        else:  # U+0000 tokens: each is "\0\0"
            lengths.append(np.fromiter(map(len, tokens(batch)), np.int64))
    return np.concatenate(types), np.concatenate(lengths)


def _kept_strings(text: str, keep: _Keep) -> list[str]:
    tok = _tokenizer(text)
    tok.set_filter(keep.mask)
    tok.set_token_min_len(min(keep.min_len, _U32_MAX))
    tok.set_token_max_len(min(keep.max_len, _U32_MAX))
    out: list[str] = []
    for batch in tok.stream:
        out += tokens(batch)
    return out
