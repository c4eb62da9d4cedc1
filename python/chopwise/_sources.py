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
from typing import BinaryIO, cast

from chopwise._errors import DecodeError

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
        return cast(BinaryIO, gzip.open(path, "rb"))
    if name.endswith(".bz2"):
        return cast(BinaryIO, bz2.open(path, "rb"))
    if name.endswith(".xz"):
        return cast(BinaryIO, lzma.open(path, "rb"))
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
    raw = open(path, "rb")  # noqa: SIM115 - the reader made from it closes it
    try:
        reader = zstandard.ZstdDecompressor().stream_reader(raw, closefd=True)
    except BaseException:
        raw.close()
        raise
    return cast(BinaryIO, io.BufferedReader(reader))


def plain_file(source: Source) -> PathArg | None:
    """The source if it is the path of an uncompressed regular file (its bytes can be read from
    any offset), else None."""
    if not isinstance(source, (str, bytes, os.PathLike)) or os.fsdecode(source) == "-":
        return None
    if os.fsdecode(source).endswith((".gz", ".bz2", ".xz", ".zst")) or not os.path.isfile(source):
        return None
    return source


@contextmanager
def open_source(source: Source) -> Iterator[BinaryIO]:
    """The source as a binary file, closed after if it was opened here."""
    f, owned = open_binary(source)
    try:
        yield f
    finally:
        if owned:
            f.close()


def open_binary(source: Source) -> tuple[BinaryIO, bool]:
    """The source as a binary file, and whether it was opened here (and so is the caller's to
    close): a path is opened, "-" is standard input, a file object is used as it is."""
    if isinstance(source, (str, bytes, os.PathLike)):
        if os.fsdecode(source) == "-":
            return sys.stdin.buffer, False
        return _opener(source), True
    if isinstance(source, io.TextIOBase):
        raise TypeError("a file object must be opened in binary mode ('rb')")
    if not hasattr(source, "read"):
        raise TypeError(f"expected a path or a binary file object, not {type(source).__name__}")
    return source, False


def name_of(source: Source) -> str:
    """How an error message names the source."""
    if isinstance(source, (str, bytes, os.PathLike)):
        name = os.fsdecode(source)
        return "standard input" if name == "-" else name
    return str(getattr(source, "name", source))


def chunks(f: BinaryIO, limit: int = -1) -> Iterator[bytes]:
    """The bytes of `f` (at most `limit` of them if it is not negative) in chunks, each but the
    last ending where a token cannot continue: after a line feed if the chunk holds one."""
    rest = b""
    while limit != 0:
        block = f.read(CHUNK_SIZE if limit < 0 else min(CHUNK_SIZE, limit))
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


def decoded(chunk: bytes, errors: str, name: str, offset: int) -> str:
    """A chunk's text. Chunks end after an ASCII byte, so each decodes exactly as it would inside
    the whole; a bad byte under "strict" raises a DecodeError at its offset in the source."""
    try:
        return chunk.decode("utf-8", errors)
    except UnicodeDecodeError as err:
        raise DecodeError(name, offset + err.start, err) from None
