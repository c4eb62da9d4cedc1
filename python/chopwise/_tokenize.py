"""Tokens with their offsets: of one text, of a file, of many texts at once (a column)."""

import importlib.util
from collections.abc import Callable, Iterable, Iterator
from functools import cached_property
from typing import TYPE_CHECKING, Any, BinaryIO, Protocol

import numpy as np
import numpy.typing as npt

from chopwise import _native, _sources
from chopwise._arrow import require_pyarrow
from chopwise._errors import DecodeError, decode_errors
from chopwise._sources import Source
from chopwise._types import MEMBER, Settings, Token, TypeSpec, thread_count

if TYPE_CHECKING:
    import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]


class ArrowArray(Protocol):
    def __arrow_c_array__(self, requested_schema: object | None = None) -> tuple[object, object]: ...


class ArrowStream(Protocol):
    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object: ...


# A column of texts: anything that exports Arrow strings (pyarrow, polars, duckdb, pandas with
# an Arrow dtype) or any iterable of str.
Texts = ArrowArray | ArrowStream | Iterable[str]


def native_texts(texts: Texts) -> Any:
    """The texts in a form the native engine reads without a copy where it can."""
    if hasattr(texts, "__arrow_c_stream__") or hasattr(texts, "__arrow_c_array__"):
        return texts
    array = getattr(texts, "array", texts)  # a pandas Series holds its column here
    if hasattr(array, "__arrow_array__"):
        return array.__arrow_array__()
    if isinstance(texts, str):
        raise TypeError("texts must be an iterable of str, not one str")
    return texts if type(texts) is list else list(texts)


def on_texts[T](call: Callable[[Any], T], texts: Texts) -> T:
    """`call` on the texts; a table of one column of them (a duckdb result, a DataFrame) is taken
    as that column. The engine refuses a table before it reads a row, so it can be asked again."""
    native = native_texts(texts)
    try:
        return call(native)
    except TypeError as err:
        if "struct" not in str(err) or importlib.util.find_spec("pyarrow") is None:
            raise
        table = require_pyarrow("a table of texts").table(native)
        if table.num_columns != 1:
            raise TypeError(f"a table of texts must have one column, not {table.num_columns}") from None
        return call(table.column(0))


class Tokens:
    """The tokens of many texts: token i is text[i], of type types[i], found in texts[doc[i]]
    at characters start[i]:end[i]. Arrow consumers (pyarrow.table, polars.DataFrame, duckdb)
    take it as a table with columns token, type, doc, start, end."""

    def __init__(self, table: _native.TokenTable) -> None:
        self._table = table

    @cached_property
    def text(self) -> list[str]:
        return self._table.strings()

    @property
    def types(self) -> npt.NDArray[np.uint64]:
        return self._table.types

    @property
    def doc(self) -> npt.NDArray[np.int64]:
        return self._table.doc

    @property
    def start(self) -> npt.NDArray[np.int64]:
        return self._table.start

    @property
    def end(self) -> npt.NDArray[np.int64]:
        return self._table.end

    def __len__(self) -> int:
        return len(self._table)

    def lists(self) -> _native.TokenLists:
        """The kept tokens of each input row, as an Arrow list<string> array aligned with the
        rows (a null row gives a null list): pyarrow.array(tokens.lists()) or a polars Series."""
        return self._table.lists()

    def to_arrow(self) -> "pa.RecordBatch":
        """The tokens as a pyarrow RecordBatch: token (string), type (uint64), doc, start, end
        (int64)."""
        return require_pyarrow("Tokens.to_arrow").record_batch(self._table)

    def __arrow_c_schema__(self) -> object:
        return self._table.__arrow_c_schema__()

    def __arrow_c_array__(self, requested_schema: object | None = None) -> tuple[object, object]:
        return self._table.__arrow_c_array__(requested_schema)

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
        return self._table.__arrow_c_stream__(requested_schema)


def tokenize_many(
    texts: Texts,
    *,
    types: TypeSpec | None = None,
    min_len: int = 0,
    max_len: int = 512,
    threads: int | None = None,
    errors: str = "strict",
) -> Tokens:
    """The tokens of every text, in order, exactly as one tokenizer per text would give them,
    on `threads` threads (None: every CPU this process may use). Null rows have no tokens."""
    settings = Settings.of(types, min_len, max_len, errors)
    n = thread_count(threads)
    return on_texts(lambda column: _tokens_of(column, settings, n, None), texts)


def _tokens_of(texts: Any, settings: Settings, threads: int, source: str | None, base: int = 0) -> Tokens:
    with decode_errors(source, base):
        table = _native.tokenize(
            texts, settings.mask, settings.min_len, settings.max_len, settings.errors, threads
        )
    return Tokens(table)


def _token_records(text: str, settings: Settings, base: int) -> Iterator[Token]:
    """The kept tokens of a text whose first character is at offset `base` of its source."""
    found = _tokens_of([text], settings, 1, "text")
    texts = found.text
    # Records are made a slice at a time, so that only the token strings are held whole.
    for i in range(0, len(texts), _SLICE):
        part = slice(i, i + _SLICE)
        types = map(MEMBER.__getitem__, found.types[part].tolist())
        starts, ends = (found.start[part] + base).tolist(), (found.end[part] + base).tolist()
        yield from map(Token, texts[part], types, starts, ends)


_SLICE = 1 << 13


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
    settings = Settings.of(types, min_len, max_len, errors)
    if isinstance(text, (bytes, bytearray)):
        text = _sources.decoded(bytes(text), errors, "text", 0)
    elif not isinstance(text, str):
        raise TypeError(f"text must be str, bytes or bytearray, not {type(text).__name__}")
    return _token_records(text, settings, 0)


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
    settings = Settings.of(types, min_len, max_len, errors)
    f, owned = _sources.open_binary(path)
    return _file_tokens(f, owned, settings, _sources.name_of(path))


def _file_tokens(f: BinaryIO, owned: bool, settings: Settings, name: str) -> Iterator[Token]:
    try:
        offset = base = 0
        for chunk in _sources.chunks(f, errors=settings.errors):
            text = _sources.decoded(chunk, settings.errors, name, offset)
            offset += len(chunk)
            yield from _token_records(text, settings, base)
            base += len(text)
    finally:
        if owned:
            f.close()


__all__ = ["DecodeError", "Texts", "Tokens", "tokenize", "tokenize_file", "tokenize_many"]
