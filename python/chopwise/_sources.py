"""Where input bytes come from: paths (plain or compressed), standard input, file objects; and
how they are cut into chunks that tokenize exactly like the whole."""

import bz2
import codecs
import errno
import gzip
import io
import lzma
import os
import stat
import sys
from collections.abc import Iterator
from contextlib import contextmanager
from typing import BinaryIO, cast

import chopwiseCXX
from chopwise._errors import ERROR_HANDLERS, DecodeError, shown_name

PathArg = str | bytes | os.PathLike[str] | os.PathLike[bytes]
Source = PathArg | BinaryIO

# Small enough that the tokens of one chunk, held as str, stay a few megabytes.
CHUNK_SIZE = 1 << 20

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
        _check_zstd_frames(raw)
        reader = zstandard.ZstdDecompressor().stream_reader(raw, closefd=True, read_across_frames=True)
    except BaseException:
        raw.close()
        raise
    return cast(BinaryIO, io.BufferedReader(reader))


_ZSTD_MAGIC = 0xFD2FB528
_ZSTD_SKIPPABLE = 0x184D2A50  # to 0x184D2A5F


def _check_zstd_frames(f: BinaryIO) -> None:
    """Walks the frame and block headers of a .zst file (seeking over the blocks) and raises
    EOFError if the file ends inside a frame: the decompressor takes such a cut for the end.
    Bytes that are not a frame are left for the decompressor to refuse."""
    size = os.fstat(f.fileno()).st_size
    pos = 0
    while pos < size:
        f.seek(pos)
        head = f.read(8)  # a magic number and the frame's first header bytes
        magic = int.from_bytes(head[:4], "little")
        if len(head) < 4:
            # A frame cut inside its magic number.
            pos += 8 if _ZSTD_MAGIC.to_bytes(4, "little").startswith(head) else 0
            break
        if magic & 0xFFFFFFF0 == _ZSTD_SKIPPABLE:
            pos += 8 + int.from_bytes(head[4:8].ljust(4, b"\xff"), "little")
        elif magic == _ZSTD_MAGIC:
            pos = _zstd_frame_end(f, pos, head[4]) if len(head) > 4 else size + 1
        else:
            break
    if pos > size:
        raise EOFError("Compressed file ended before the end-of-stream marker was reached")
    f.seek(0)


def _zstd_frame_end(f: BinaryIO, pos: int, descriptor: int) -> int:
    """Where the frame at `pos`, whose header descriptor byte is given, ends."""
    single_segment = descriptor >> 5 & 1
    content_size = (single_segment, 2, 4, 8)[descriptor >> 6]
    pos += 5 + (1 - single_segment) + (0, 1, 2, 4)[descriptor & 3] + content_size
    while True:
        f.seek(pos)
        header = f.read(3)
        if len(header) < 3:
            return pos + 3
        block = int.from_bytes(header, "little")
        pos += 3 + (1 if block >> 1 & 3 == 1 else block >> 3)
        if block & 1:
            return pos + 4 * (descriptor >> 2 & 1)


def plain_file_size(source: Source) -> int | None:
    """The size of the source if it is the path of an uncompressed regular file (its bytes can
    be read from any offset), else None; one stat."""
    if not isinstance(source, (str, bytes, os.PathLike)):
        return None
    name = os.fsdecode(source)
    if name == "-" or name.endswith((".gz", ".bz2", ".xz", ".zst")):
        return None
    try:
        st = os.stat(source)
    except (OSError, ValueError):
        return None
    # Some file systems give a size of 0 for files that have content (/proc, some network and
    # FUSE ones): only reading such a file to its end tells its size.
    return st.st_size if stat.S_ISREG(st.st_mode) and st.st_size > 0 else None


def plain_file(source: Source) -> PathArg | None:
    """The source if it is the path of an uncompressed regular file, else None."""
    return cast(PathArg, source) if plain_file_size(source) is not None else None


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
            if sys.stdin is None:
                raise OSError(errno.EBADF, "standard input is closed")
            return sys.stdin.buffer, False
        return _opener(source), True
    if isinstance(source, io.TextIOBase):
        raise TypeError("a file object must be opened in binary mode ('rb')")
    if not hasattr(source, "read"):
        raise TypeError(f"expected a path or a binary file object, not {type(source).__name__}")
    return source, False


def name_of(source: Source) -> str:
    """How an error names the source."""
    if isinstance(source, (str, bytes, os.PathLike)):
        return "standard input" if os.fsdecode(source) == "-" else shown_name(source)
    name = getattr(source, "name", None)
    return shown_name(name) if isinstance(name, (str, bytes)) else repr(source)


def chunks(f: BinaryIO, limit: int = -1, errors: str = "strict") -> Iterator[bytes]:
    """The bytes of `f` (exactly `limit` of them if it is not negative: a file that ends sooner
    raises EOFError) in chunks that tokenize, one by one, exactly as the whole: each but the
    last ends after a line feed if it holds one, else after another byte no token continues
    over, else (a long run of letters, digits and hyphens) where its tokens say. Under an error
    handler other than "strict", a chunk cut by its tokens is given decoded and encoded again."""
    rest = b""  # never holds a place to cut
    while limit != 0:
        block = f.read(CHUNK_SIZE if limit < 0 else min(CHUNK_SIZE, limit))
        if not block:
            if limit > 0:
                raise EOFError(f"the file ended {limit} bytes early: it changed while it was read")
            break
        if limit > 0:
            limit -= len(block)
        data = rest + block if rest else block
        cut = _last_cut(block)
        if cut:
            rest = data[len(rest) + cut :]
            yield data[: len(data) - len(rest)] if rest else data
        elif len(data) >= CHUNK_SIZE:
            head, rest = _cut_by_tokens(data, errors)
            if head:
                yield head
        else:
            rest = data
    if rest:
        yield rest


def _last_cut(data: bytes) -> int:
    """The offset after the last line feed of `data`, else after its last safe ASCII byte, else 0."""
    cut = data.rfind(b"\n") + 1
    if cut:
        return cut
    return data.translate(_SAFE_TABLE).rfind(b"\n") + 1


def _cut_by_tokens(data: bytes, errors: str) -> tuple[bytes, bytes]:
    """`data`, which holds no safe byte, as a head that tokenizes as it does inside the whole
    (empty while data is too short to tell) and the rest. Under "strict", data with a bad byte
    before the place to cut is given whole: reading it raises there."""
    if errors != "strict":
        decoder = codecs.getincrementaldecoder("utf-8")(errors)
        text = decoder.decode(data).encode("utf-8")
        cut = _token_cut(text)
        return text[:cut], text[cut:] + decoder.getstate()[0]
    try:
        data.decode("utf-8")
        valid, bad = len(data), False
    except UnicodeDecodeError as err:
        valid, bad = err.start, err.end < len(data)  # else a character the next block may end
    cut = _token_cut(data[:valid])
    if cut or not bad:
        return data[:cut], data[cut:]
    return data, b""


def _token_cut(data: bytes) -> int:
    """The offset in the UTF-8 `data` where its last token but one starts; 0 if it has fewer
    than three. Only the last two tokens can depend on what comes after the data: the tokenizer
    finishes every other one as the next piece arrives, and then goes on as it would from that
    piece with nothing before it, so a tokenizer that starts there gives the same tokens."""
    seen = 0
    tail = ""  # the last two tokens, each with its NUL
    for batch in chopwiseCXX.FTTokenizer(data).stream:
        seen += len(batch["types"])
        tail = "\0".join((tail + batch["text"]).rsplit("\0", 3)[-3:])
    if seen < 3:
        return 0
    return len(data) - len(tail.replace("\0", "").encode("utf-8"))


def check_errors(errors: str) -> None:
    """Refuses an error handler other than those that work here, at the call."""
    if not isinstance(errors, str):
        raise TypeError(f"errors must be a str, not {type(errors).__name__}")
    if errors not in ERROR_HANDLERS:
        raise ValueError(f"errors must be one of {', '.join(map(repr, ERROR_HANDLERS))}, not {errors!r}")


def decoded(chunk: bytes, errors: str, name: str, offset: int) -> str:
    """A chunk's text. Chunks cut where no token continues decode exactly as they would inside
    the whole; a bad byte under "strict" raises a DecodeError at its offset in the source."""
    try:
        return chunk.decode("utf-8", errors)
    except UnicodeDecodeError as err:
        raise DecodeError.of(err, name, offset) from None
