"""Where input bytes come from: paths (plain or compressed), standard input, file objects; and
how they are cut into chunks that tokenize exactly like the whole."""

import bz2
import gzip
import io
import lzma
import os
import sys
from collections.abc import Iterator
from contextlib import contextmanager
from typing import BinaryIO

PathArg = str | bytes | os.PathLike[str] | os.PathLike[bytes]
Source = PathArg | BinaryIO

CHUNK_SIZE = 1 << 22

# A chunk may end after any ASCII byte that is a one-character token by itself: such a byte
# ends the token before it, resets the decoder, and starts nothing that the next byte could
# continue. Letters, digits and the hyphen (which joins words) are the only ASCII exceptions.
_WORD_BYTES = frozenset(b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-")
_SAFE_ENDS = bytes(b for b in range(128) if b not in _WORD_BYTES)
_SAFE_TABLE = bytes.maketrans(_SAFE_ENDS, b"\n" * len(_SAFE_ENDS))


def _opener(path: PathArg) -> BinaryIO:
    name = os.fsdecode(path)
    if name.endswith(".gz"):
        return gzip.open(path, "rb")
    if name.endswith(".bz2"):
        return bz2.open(path, "rb")
    if name.endswith(".xz"):
        return lzma.open(path, "rb")
    if name.endswith(".zst"):
        return _open_zstd(path)
    return open(path, "rb")


def _open_zstd(path: PathArg) -> BinaryIO:
    try:
        import zstandard
    except ImportError:
        raise ImportError(
            f"reading {os.fsdecode(path)!r} needs the zstandard package: "
            'pip install zstandard, or the "zstd" extra: pip install "chopwiseCXX[zstd]"'
        ) from None
    raw = open(path, "rb")
    try:
        reader = zstandard.ZstdDecompressor().stream_reader(raw, closefd=True)
    except BaseException:
        raw.close()
        raise
    return io.BufferedReader(reader)  # type: ignore[arg-type]


def is_plain_file(source: Source) -> bool:
    """True for a path to an uncompressed regular file: its bytes can be read at any offset."""
    if not isinstance(source, (str, bytes, os.PathLike)) or os.fsdecode(source) == "-":
        return False
    name = os.fsdecode(source)
    return not name.endswith((".gz", ".bz2", ".xz", ".zst")) and os.path.isfile(source)


@contextmanager
def open_source(source: Source) -> Iterator[BinaryIO]:
    """The source as a binary file; a path is opened here and closed after, "-" is stdin, and a
    file object is used as it is (and left open)."""
    if isinstance(source, (str, bytes, os.PathLike)):
        if os.fsdecode(source) == "-":
            yield sys.stdin.buffer
            return
        with _opener(source) as f:
            yield f
        return
    if isinstance(source, io.TextIOBase):
        raise TypeError("a file object must be opened in binary mode ('rb')")
    yield source


def chunks(f: BinaryIO, limit: int = -1, size: int = CHUNK_SIZE) -> Iterator[bytes]:
    """The bytes of `f` (at most `limit` of them if it is not negative) in chunks, each but the
    last ending where a token cannot continue: after a line feed if the chunk holds one."""
    rest = b""
    while limit != 0:
        block = f.read(size if limit < 0 else min(size, limit))
        if not block:
            break
        if limit > 0:
            limit -= len(block)
        data = rest + block if rest else block
        cut = _last_cut(data)
        if cut == 0:
            rest = data
            continue
        rest = data[cut:]
        yield data[:cut] if rest else data
    if rest:
        yield rest


def _last_cut(data: bytes) -> int:
    """The offset after the last line feed of `data`, else after its last safe ASCII byte, else 0."""
    cut = data.rfind(b"\n") + 1
    if cut:
        return cut
    return data.translate(_SAFE_TABLE).rfind(b"\n") + 1


def checked(chunk: bytes, errors: str, name: str, offset: int) -> str | bytes:
    """A chunk ready for the tokenizer: under "strict" the bytes themselves once known to be
    valid UTF-8 (the tokenizer copies bytes more cheaply than it encodes a str), under any other
    error handler the decoded str. Chunks end after an ASCII byte, so each decodes exactly as it
    would inside the whole. An error names the source and the offset of the bad byte in it."""
    try:
        text = chunk.decode("utf-8", errors)
    except UnicodeDecodeError as err:
        err.add_note(f"in {name} at byte {offset + err.start}")
        raise
    return chunk if errors == "strict" else text
