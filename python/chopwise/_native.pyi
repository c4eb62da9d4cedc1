"""The native engine of the chopwise library: Arrow strings, lists of str or files in, Arrow
tokens and word counts out, on several threads with the interpreter lock released.

Texts: an object with ``__arrow_c_stream__`` or ``__arrow_c_array__`` holding string,
large_string or string_view arrays (nulls are documents without tokens), or a list of str.
Any other Arrow type raises TypeError naming it.

``errors`` is one of "strict", "replace", "ignore", "backslashreplace". Under "strict" the first
malformed byte raises UnicodeDecodeError with the attributes ``row`` (the row, or None for a
file or a byte stream) and ``offset`` (its byte offset within the row, file or stream); the
other handlers behave as ``bytes.decode`` with that handler followed by tokenizing the text.

``threads`` is at least 1; output never depends on it. Every call answers Ctrl-C within a
fraction of a second; an interrupted or failed call leaves every object as it was.
"""

import os
from collections.abc import Callable, Sequence
from typing import Protocol, final

import numpy as np
import numpy.typing as npt

ERRORS: tuple[str, ...]

class ArrowArrayExportable(Protocol):
    def __arrow_c_array__(self, requested_schema: object | None = None) -> tuple[object, object]: ...

class ArrowStreamExportable(Protocol):
    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object: ...

type Texts = ArrowArrayExportable | ArrowStreamExportable | list[str]

@final
class TokenTable:
    """The kept tokens of all rows, in row order. Columns token (string, or large_string past
    2 GiB of token text), type (uint64), doc, start, end (int64; start and end count characters
    of the row's text)."""

    def __len__(self) -> int: ...
    @property
    def rows(self) -> int: ...
    @property
    def types(self) -> npt.NDArray[np.uint64]: ...
    @property
    def doc(self) -> npt.NDArray[np.int64]: ...
    @property
    def start(self) -> npt.NDArray[np.int64]: ...
    @property
    def end(self) -> npt.NDArray[np.int64]: ...
    def strings(self) -> list[str]: ...
    def lists(self) -> TokenLists: ...
    def __arrow_c_schema__(self) -> object: ...
    def __arrow_c_array__(self, requested_schema: object | None = None) -> tuple[object, object]: ...
    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object: ...

@final
class TokenLists:
    """One list<string> of kept tokens per input row (a null row gives a null list)."""

    def __len__(self) -> int: ...
    def __arrow_c_schema__(self) -> object: ...
    def __arrow_c_array__(self, requested_schema: object | None = None) -> tuple[object, object]: ...

def tokenize(
    texts: Texts, mask: int, min_len: int, max_len: int, errors: str, threads: int
) -> TokenTable: ...

@final
class WordCounter:
    """Counts of the kept tokens (lower-cased in Latin and Russian letters when asked)."""

    def __init__(self, mask: int, min_len: int, max_len: int, lower: bool, errors: str) -> None: ...
    def add_texts(self, texts: Texts, threads: int) -> None: ...
    def add_file(
        self,
        path: str | bytes | os.PathLike[str] | os.PathLike[bytes],
        threads: int,
        progress: Callable[[int], object] | None = None,
    ) -> None:
        """Counts a plain file. `progress`, if given, is told the bytes counted since it was
        last told, as slices of the file end; their sum is the file's size."""
    def add_files(
        self,
        paths: Sequence[str | bytes | os.PathLike[str] | os.PathLike[bytes]],
        threads: int,
        progress: Callable[[int], object] | None = None,
    ) -> None:
        """Counts plain files side by side, each by one thread. An error names the first file
        in their order that failed; a decode error also tells its index as `file`."""
    def add_bytes(self, block: bytes | bytearray | memoryview, final: bool) -> None: ...
    def merge(self, other: WordCounter) -> None: ...
    def __len__(self) -> int: ...
    def total(self) -> int: ...
    def items(self) -> list[tuple[str, int]]: ...
    def fill(self, into: dict[str, int]) -> None:
        """Sets every count in `into`, most common first."""
    def __arrow_c_schema__(self) -> object: ...
    def __arrow_c_array__(self, requested_schema: object | None = None) -> tuple[object, object]: ...
